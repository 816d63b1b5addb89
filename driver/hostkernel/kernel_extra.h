// Host kernel: platform routines the driver's lifecycle code uses beyond what wdm.h declares here.
// Same names and semantics as the platform's; included by the driver only in its host build.
#pragma once

#include <wdm.h>

#ifdef __cplusplus
extern "C" {
#endif

// Puts the calling thread to sleep for Interval (negative: relative, in 100 ns units). PASSIVE_LEVEL or
// APC_LEVEL only; a wait at DISPATCH_LEVEL stops the process as the platform's bug check would.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

#ifdef __cplusplus
} // extern "C"
#endif
