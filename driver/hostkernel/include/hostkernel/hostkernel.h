// Host kernel: what tests and stand-in drivers use beyond the platform's names.
//
// Pool accounting and allocation-failure injection, driver-object creation, IRQL scopes and the stop that
// stands for a bug check. Everything here is thread-safe.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hostk {

// Stops the process with a message on stderr: what the platform would answer with a bug check.
[[noreturn]] void bugCheck(const char* what);

// Pool tags of allocations made by the host kernel itself ("Irp " for requests, "USBD" for URBs built by
// USBD_CreateConfigurationRequestEx), so that tests can tell them from the driver's.
constexpr ULONG IrpPoolTag = (ULONG)'I' | ((ULONG)'r' << 8) | ((ULONG)'p' << 16) | ((ULONG)' ' << 24);
constexpr ULONG UsbdPoolTag = (ULONG)'U' | ((ULONG)'S' << 8) | ((ULONG)'B' << 16) | ((ULONG)'D' << 24);

// ---- Pool -----------------------------------------------------------------------------------------------
struct PoolTagStats {
    ULONG tag = 0;
    uint64_t outstanding = 0; // live blocks
    uint64_t bytes = 0;       // live bytes
    uint64_t allocations = 0; // successful allocations since the last reset
    uint64_t frees = 0;       // frees since the last reset
};

uint64_t outstandingAllocations();          // live blocks, all tags (requests included)
uint64_t outstandingAllocations(ULONG tag); // live blocks of one tag
uint64_t totalAllocations();                // successful allocations since the last reset, all tags
uint64_t allocationAttempts();              // allocation attempts since the last reset
std::vector<PoolTagStats> poolStats();      // one entry per tag seen
std::string describeOutstanding();          // "tag 'Wdm ': 2 blocks, 40 bytes; ..." for failure messages
std::string tagName(ULONG tag);             // the four characters of a tag as they lie in memory

// Makes the n-th allocation attempt from now fail (n = 1: the next one). Pool allocations, requests and
// USBD-built URBs all count. Fires once. n = 0 disarms.
void failAllocation(uint64_t n);
// Resets the per-tag totals, the attempt counter and the injection. Live blocks stay counted.
void resetPoolCounters();

// ---- IRQL ----------------------------------------------------------------------------------------------
// Raises the calling thread's IRQL for a scope, as a DPC or an interrupt-time completion would run.
class IrqlScope {
  public:
    explicit IrqlScope(KIRQL level) { KeRaiseIrql(level, &old_); }
    ~IrqlScope() { KeLowerIrql(old_); }
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

  private:
    KIRQL old_ = PASSIVE_LEVEL;
};

// Stops the process if `caller` (a return address) lies in the driver's pageable section: `what`, a routine
// that takes a spin lock or raises the IRQL, was called from pageable code.
void checkCallerResident(const void* caller, const char* what);

// ---- Debug output, version ---------------------------------------------------------------------------
struct DebugPrint {
    ULONG component;
    ULONG level;
    std::string text;
};
std::vector<DebugPrint> debugPrints(); // every DbgPrintEx line since the last clear, oldest first
void clearDebugPrints();
// What RtlGetVersion reports from now on.
void setWindowsVersion(ULONG major, ULONG minor, ULONG build);

// ---- Work items ---------------------------------------------------------------------------------------
// Waits until no work item is queued or running; false on time-out.
bool waitForWorkItems(std::chrono::milliseconds timeout = std::chrono::seconds(10));
uint64_t workItemsRun(); // routines run since start-up
// While paused, queued work items wait (a busy system worker thread); waitForWorkItems then times out.
void pauseWorkItems(bool paused);
size_t queuedWorkItems();

// Pool type of a live block from ExAllocatePoolWithTag.
POOL_TYPE poolTypeOf(PVOID block);

// ---- Drivers and devices --------------------------------------------------------------------------------
// A driver object whose dispatch table answers every request with STATUS_INVALID_DEVICE_REQUEST until
// filled. Not pool memory.
PDRIVER_OBJECT createDriverObject(const char16_t* name);
void deleteDriverObject(PDRIVER_OBJECT driver);
// Device objects made by IoCreateDevice and not yet deleted.
uint64_t liveDeviceObjects();

// PoStartNextPowerIrp calls since start-up (power requests must call it before PoCallDriver).
uint64_t poStartNextPowerIrpCalls();
// The request's current stack location (CurrentLocation) at the latest PoStartNextPowerIrp call: equal to the
// driver's own location when called before its location is skipped.
int lastPoStartNextPowerIrpLocation();

} // namespace hostk
