// Host kernel: interrupt request levels, events, spin locks and remove locks, on real threads.
//
// IRQL is tracked per thread: acquiring a spin lock raises it to DISPATCH_LEVEL, and the checks the platform
// makes in its checked build (no waiting and no pageable code at DISPATCH_LEVEL) stop the process here.
// All events share one mutex and one condition variable: simple, and correct for any number of waiters.
#include "hostkernel/hostkernel.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sched.h>

// Bounds of the "PAGE" section, where the driver's pageable routines are linked (absent: no pageable code).
extern "C" {
extern const char __start_PAGE[] __attribute__((weak));
extern const char __stop_PAGE[] __attribute__((weak));
}

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;

// Pageable routines running on this thread, innermost last (PAGED_CODE() records them).
constexpr int MaxPagedDepth = 64;
thread_local PCSTR pagedRoutines[MaxPagedDepth];
thread_local int pagedDepth = 0;

} // namespace

// Stops the process when `caller`, the return address of a call that raises the IRQL or takes a spin lock,
// lies in the pageable section: that code would run at DISPATCH_LEVEL from a page that may be out.
void hostk::checkCallerResident(const void* caller, const char* what) {
    if (__start_PAGE == nullptr || caller < (const void*)__start_PAGE || caller >= (const void*)__stop_PAGE)
        return;
    static char message[256];
    snprintf(message, sizeof message, "%s called from pageable code (running: %s)", what,
             pagedDepth > 0 ? pagedRoutines[pagedDepth - 1] : "a routine without PAGED_CODE()");
    hostk::bugCheck(message);
}

namespace {

std::mutex& dispatcherLock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& dispatcherSignal() {
    static std::condition_variable signal;
    return signal;
}

} // namespace

extern "C" {

KIRQL KeGetCurrentIrql(VOID) {
    return currentIrql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql > PASSIVE_LEVEL)
        hostk::checkCallerResident(__builtin_return_address(0), "KeRaiseIrql");
    if (NewIrql < currentIrql)
        hostk::bugCheck("KeRaiseIrql to a lower level");
    *OldIrql = currentIrql;
    currentIrql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > currentIrql)
        hostk::bugCheck("KeLowerIrql to a higher level");
    currentIrql = NewIrql;
}

VOID HostPagedEnter(PCSTR Routine) {
    if (pagedDepth < MaxPagedDepth)
        pagedRoutines[pagedDepth] = Routine;
    ++pagedDepth;
}

VOID HostPagedLeave(VOID) {
    if (pagedDepth == 0)
        hostk::bugCheck("HostPagedLeave without a pageable routine");
    --pagedDepth;
}

VOID HostPagedCodeCheck(PCSTR Routine) {
    if (currentIrql > APC_LEVEL) {
        static char message[256];
        snprintf(message, sizeof message, "pageable routine %s called at IRQL %u", Routine, currentIrql);
        hostk::bugCheck(message);
    }
}

// ---- Events --------------------------------------------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Absolute = 0;
    Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    if (currentIrql > DISPATCH_LEVEL)
        hostk::bugCheck("KeSetEvent above DISPATCH_LEVEL");
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(dispatcherLock());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    dispatcherSignal().notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    auto* event = static_cast<PRKEVENT>(Object);
    bool zeroTimeout = Timeout != NULL && Timeout->QuadPart == 0;
    if (!zeroTimeout && currentIrql > APC_LEVEL)
        hostk::bugCheck("KeWaitForSingleObject with a wait at DISPATCH_LEVEL");
    std::unique_lock<std::mutex> guard(dispatcherLock());
    auto signalled = [event] { return event->Header.SignalState != 0; };
    if (Timeout == NULL) {
        dispatcherSignal().wait(guard, signalled);
    } else {
        // Negative: relative, in 100 ns units. Positive (absolute system time) is treated as relative too.
        LONGLONG ticks = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(ticks / 10);
        if (!dispatcherSignal().wait_until(guard, deadline, signalled))
            return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent)
        event->Header.SignalState = 0;
    return STATUS_WAIT_0;
}

// ---- Spin locks ----------------------------------------------------------------------------------------

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

static void AcquireAtDpcLevel(PKSPIN_LOCK SpinLock);

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    hostk::checkCallerResident(__builtin_return_address(0), "KeAcquireSpinLockAtDpcLevel");
    AcquireAtDpcLevel(SpinLock);
}

static void AcquireAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (currentIrql < DISPATCH_LEVEL)
        hostk::bugCheck("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    ULONG_PTR self = (ULONG_PTR)&currentIrql; // unique per thread
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        if (expected == self)
            hostk::bugCheck("spin lock acquired twice by the same thread");
        sched_yield();
    }
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ULONG_PTR self = (ULONG_PTR)&currentIrql;
    ULONG_PTR expected = self;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
        hostk::bugCheck("spin lock released by a thread that does not hold it");
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    hostk::checkCallerResident(__builtin_return_address(0), "KeAcquireSpinLock");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    AcquireAtDpcLevel(SpinLock);
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

// ---- Remove locks --------------------------------------------------------------------------------------
// IoCount starts at 1 (the lock's own bias); each holder adds one. Release-and-wait marks the lock removed,
// drops the caller's hold and the bias, and waits until the holders are gone.

static void CheckRemoveLockSize(ULONG RemlockSize) {
    if (RemlockSize != sizeof(IO_REMOVE_LOCK))
        hostk::bugCheck("remove lock used with a size other than the non-debug IO_REMOVE_LOCK");
}

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize) {
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    CheckRemoveLockSize(RemlockSize);
    __atomic_store_n(&Lock->Common.Removed, FALSE, __ATOMIC_SEQ_CST);
    Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
    __atomic_store_n(&Lock->Common.IoCount, 1, __ATOMIC_SEQ_CST);
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize) {
    (void)Tag;
    (void)File;
    (void)Line;
    CheckRemoveLockSize(RemlockSize);
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST))
        return STATUS_SUCCESS;
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)Tag;
    CheckRemoveLockSize(RemlockSize);
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count < 0)
        hostk::bugCheck("remove lock released more often than acquired");
    if (count == 0) {
        if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST))
            hostk::bugCheck("remove lock's own hold released without release-and-wait");
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)Tag;
    CheckRemoveLockSize(RemlockSize);
    if (currentIrql != PASSIVE_LEVEL)
        hostk::bugCheck("IoReleaseRemoveLockAndWait above PASSIVE_LEVEL");
    if (__atomic_exchange_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST))
        hostk::bugCheck("IoReleaseRemoveLockAndWait called twice on one remove lock");
    InterlockedDecrement(&RemoveLock->Common.IoCount);              // the caller's hold
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount); // the lock's own bias
    if (count < 0)
        hostk::bugCheck("IoReleaseRemoveLockAndWait without holding the remove lock");
    if (count > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
}

} // extern "C"
