// Host kernel: see kernel_extra.h.
#include "kernel_extra.h"

#include "hostkernel/hostkernel.h"

#include <chrono>
#include <thread>

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (KeGetCurrentIrql() > APC_LEVEL) {
        hostk::bugCheck("KeDelayExecutionThread above APC_LEVEL");
    }
    LONGLONG ticks = Interval == nullptr ? 0 : Interval->QuadPart;
    if (ticks < 0) {
        ticks = -ticks; // relative; an absolute time is treated as relative as well
    }
    std::this_thread::sleep_for(std::chrono::microseconds(ticks / 10));
    return STATUS_SUCCESS;
}
