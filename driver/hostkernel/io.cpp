// Host kernel: the I/O manager. Requests with stack locations, IoCallDriver into the target's dispatch table,
// IoCompleteRequest running completion routines from the bottom up, cancellation, device and driver objects,
// and the power manager's two calls.
#include "hostkernel/hostkernel.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    bool Queued; // between IoQueueWorkItem and the start of its routine; atomic accesses
};

namespace {

// AllocationFlags bit marking a request built by IoBuildDeviceIoControlRequest: when it completes, the I/O
// manager copies its status to the caller's status block, signals the caller's event and frees it.
constexpr UCHAR ThreadedIrp = 0x80;

KSPIN_LOCK cancelSpinLock = 0;
std::atomic<uint64_t> liveDevices{0};
std::atomic<uint64_t> startNextPowerCalls{0};
std::atomic<int> startNextPowerLocation{0};

// Device objects stay allocated while work items referencing them are queued or running; IoDeleteDevice of
// a referenced device defers the free to the last reference (the platform's object reference count).
std::mutex& deviceReferenceLock() {
    static std::mutex lock;
    return lock;
}
constexpr CSHORT DeletedDevice = -1; // Type of a deleted device object still referenced

void referenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(deviceReferenceLock());
    ++device->ReferenceCount;
}

void dereferenceDevice(PDEVICE_OBJECT device) {
    bool free = false;
    {
        std::lock_guard<std::mutex> guard(deviceReferenceLock());
        free = --device->ReferenceCount == 0 && device->Type == DeletedDevice;
    }
    if (free)
        std::free(device);
}

const ULONG WorkItemPoolTag = (ULONG)'I' | ((ULONG)'o' << 8) | ((ULONG)'W' << 16) | ((ULONG)'k' << 24);

// One system worker thread runs the queued routines in order, at PASSIVE_LEVEL.
class WorkQueue {
  public:
    struct Entry {
        PIO_WORKITEM item;
        PIO_WORKITEM_ROUTINE routine;
        PDEVICE_OBJECT device;
        PVOID context;
    };

    static WorkQueue& instance() {
        static WorkQueue queue;
        return queue;
    }

    ~WorkQueue() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    void push(const Entry& entry) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            queue_.push_back(entry);
            if (!thread_.joinable())
                thread_ = std::thread([this] { run(); });
        }
        changed_.notify_all();
    }

    bool waitIdle(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, timeout, [this] { return queue_.empty() && !running_; });
    }

    uint64_t runCount() {
        std::lock_guard<std::mutex> guard(lock_);
        return runs_;
    }

    void setPaused(bool paused) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            paused_ = paused;
        }
        changed_.notify_all();
    }

    size_t queued() {
        std::lock_guard<std::mutex> guard(lock_);
        return queue_.size();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return stop_ || (!queue_.empty() && !paused_); });
            if (stop_)
                return;
            Entry entry = queue_.front();
            queue_.pop_front();
            running_ = true;
            guard.unlock();
            // The item may be freed or queued again by its routine: it is not touched after this point.
            __atomic_store_n(&entry.item->Queued, false, __ATOMIC_SEQ_CST);
            entry.routine(entry.device, entry.context);
            if (KeGetCurrentIrql() != PASSIVE_LEVEL)
                hostk::bugCheck("work item routine returned at raised IRQL");
            dereferenceDevice(entry.device);
            guard.lock();
            running_ = false;
            ++runs_;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Entry> queue_;
    bool running_ = false;
    bool paused_ = false;
    bool stop_ = false;
    uint64_t runs_ = 0;
    std::thread thread_;
};

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PIO_STACK_LOCATION FirstStackLocation(PIRP Irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
}

} // namespace

namespace hostk {

PDRIVER_OBJECT createDriverObject(const char16_t* name) {
    auto* driver =
        static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION)));
    if (driver == nullptr)
        bugCheck("out of memory for a driver object");
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    RtlInitUnicodeString(&driver->DriverName, reinterpret_cast<PCWSTR>(name));
    for (auto& entry : driver->MajorFunction)
        entry = InvalidDeviceRequest;
    return driver;
}

void deleteDriverObject(PDRIVER_OBJECT driver) {
    if (driver != nullptr && driver->DeviceObject != nullptr)
        bugCheck("driver object deleted while it still has device objects");
    std::free(driver);
}

uint64_t liveDeviceObjects() {
    return liveDevices.load();
}

uint64_t poStartNextPowerIrpCalls() {
    return startNextPowerCalls.load();
}

int lastPoStartNextPowerIrpLocation() {
    return startNextPowerLocation.load();
}

bool waitForWorkItems(std::chrono::milliseconds timeout) {
    return WorkQueue::instance().waitIdle(timeout);
}

uint64_t workItemsRun() {
    return WorkQueue::instance().runCount();
}

void pauseWorkItems(bool paused) {
    WorkQueue::instance().setPaused(paused);
}

size_t queuedWorkItems() {
    return WorkQueue::instance().queued();
}

} // namespace hostk

extern "C" {

// ---- Requests ------------------------------------------------------------------------------------------

USHORT IoSizeOfIrp(CCHAR StackSize) {
    return (USHORT)(sizeof(IRP) + (size_t)(UCHAR)StackSize * sizeof(IO_STACK_LOCATION));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    // Written field by field: Cancel and CancelRoutine may be touched concurrently by IoCancelIrp.
    UCHAR allocationFlags = Irp->AllocationFlags;
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->MdlAddress = NULL;
    Irp->Flags = 0;
    Irp->AssociatedIrp.SystemBuffer = NULL;
    Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    Irp->RequestorMode = KernelMode;
    Irp->PendingReturned = FALSE;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    __atomic_store_n(&Irp->Cancel, FALSE, __ATOMIC_SEQ_CST);
    Irp->CancelIrql = PASSIVE_LEVEL;
    Irp->ApcEnvironment = 0;
    Irp->AllocationFlags = allocationFlags;
    Irp->UserIosb = NULL;
    Irp->UserEvent = NULL;
    Irp->Overlay.AllocationSize.QuadPart = 0;
    __atomic_store_n(&Irp->CancelRoutine, (PDRIVER_CANCEL)NULL, __ATOMIC_SEQ_CST);
    Irp->UserBuffer = NULL;
    memset(&Irp->Tail, 0, sizeof Irp->Tail);
    memset(FirstStackLocation(Irp), 0, (size_t)(UCHAR)StackSize * sizeof(IO_STACK_LOCATION));
    Irp->Tail.Overlay.CurrentStackLocation = FirstStackLocation(Irp) + (UCHAR)StackSize;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    if (StackSize < 1)
        hostk::bugCheck("IoAllocateIrp with no stack location");
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, hostk::IrpPoolTag));
    if (irp == NULL)
        return NULL;
    memset(irp, 0, size);
    IoInitializeIrp(irp, size, StackSize);
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    if (Irp->Type != IO_TYPE_IRP)
        hostk::bugCheck("IoFreeIrp of something that is not a request");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != NULL)
        hostk::bugCheck("IoFreeIrp of a request that still has a cancel routine");
    Irp->Type = 0;
    ExFreePoolWithTag(Irp, hostk::IrpPoolTag);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->IoStatus.Status = Iostatus;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        hostk::bugCheck("IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL)
        return NULL;
    irp->AllocationFlags |= ThreadedIrp;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    // Only the method-neither form, the one internal requests use, is needed here.
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    return irp;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->Type != IO_TYPE_IRP)
        hostk::bugCheck("IoCallDriver with something that is not a live request");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        hostk::bugCheck("IoCallDriver above DISPATCH_LEVEL");
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        hostk::bugCheck("NO_MORE_IRP_STACK_LOCATIONS");
    PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        // Nothing may be checked on the request here: it may already be completed and freed.
    }
    return status;
}

// Walks the stack locations from the current one upward. Each location's completion routine, set by the
// driver above it, runs if its invoke flags match; STATUS_MORE_PROCESSING_REQUIRED stops the walk and
// leaves the request with that driver.
VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    if (Irp->Type != IO_TYPE_IRP)
        hostk::bugCheck("IoCompleteRequest of something that is not a live request");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        hostk::bugCheck("IoCompleteRequest above DISPATCH_LEVEL");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        hostk::bugCheck("request completed with STATUS_PENDING");
    if (Irp->CurrentLocation > Irp->StackCount + 1)
        hostk::bugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != NULL)
        hostk::bugCheck("CANCEL_STATE_IN_COMPLETED_IRP: completed with a cancel routine set");

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        UCHAR control = location->Control;
        // The platform clears each location as the request leaves it.
        location->MinorFunction = 0;
        location->Flags = 0;
        location->Control = 0;
        location->CompletionRoutine = NULL;
        location->Context = NULL;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;

        bool success = NT_SUCCESS(Irp->IoStatus.Status);
        bool invoke = routine != NULL && ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                                          (!success && (control & SL_INVOKE_ON_ERROR)) ||
                                          (HostIrpCancelled(Irp) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? NULL
                                        : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return; // the request belongs to that driver again; it may already be freed
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    if (Irp->AllocationFlags & ThreadedIrp) {
        if (Irp->UserIosb != NULL)
            *Irp->UserIosb = Irp->IoStatus;
        PKEVENT event = Irp->UserEvent;
        IoFreeIrp(Irp);
        if (event != NULL)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
    // A request from IoAllocateIrp that completes past its top stays with its owner, who frees it.
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    hostk::checkCallerResident(__builtin_return_address(0), "IoAcquireCancelSpinLock");
    KeAcquireSpinLock(&cancelSpinLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&cancelSpinLock, Irql);
}

// Sets the cancel flag and, if the request has a cancel routine, calls it with the cancel spin lock held;
// the routine releases the lock. Returns whether a routine was called.
BOOLEAN IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (routine == NULL) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // A request that no driver holds has no current stack location.
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : NULL;
    routine(device, Irp);
    return TRUE;
}

// ---- Devices -------------------------------------------------------------------------------------------

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    (void)DeviceName;
    (void)Exclusive;
    size_t extension = (DeviceExtensionSize + 15) & ~size_t{15};
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + extension));
    if (device == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? device + 1 : NULL;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    liveDevices++;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDEVICE_OBJECT* link = &driver->DeviceObject;
    while (*link != NULL && *link != DeviceObject)
        link = &(*link)->NextDevice;
    if (*link == NULL)
        hostk::bugCheck("IoDeleteDevice of a device object its driver does not own");
    *link = DeviceObject->NextDevice;
    liveDevices--;
    {
        std::lock_guard<std::mutex> guard(deviceReferenceLock());
        DeviceObject->Type = DeletedDevice;
        if (DeviceObject->ReferenceCount != 0)
            return; // freed by the last work item that references it
    }
    std::free(DeviceObject);
}

// ---- Work items ----------------------------------------------------------------------------------------

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = static_cast<PIO_WORKITEM>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _IO_WORKITEM), WorkItemPoolTag));
    if (item == NULL)
        return NULL;
    item->DeviceObject = DeviceObject;
    item->Queued = false;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    if (__atomic_load_n(&IoWorkItem->Queued, __ATOMIC_SEQ_CST))
        hostk::bugCheck("IoFreeWorkItem of a work item that is still queued");
    ExFreePoolWithTag(IoWorkItem, WorkItemPoolTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    (void)QueueType;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        hostk::bugCheck("IoQueueWorkItem above DISPATCH_LEVEL");
    if (__atomic_exchange_n(&IoWorkItem->Queued, true, __ATOMIC_SEQ_CST))
        hostk::bugCheck("IoQueueWorkItem of a work item that is already queued");
    if (IoWorkItem->DeviceObject->Type != IO_TYPE_DEVICE)
        hostk::bugCheck("IoQueueWorkItem for a deleted device object");
    referenceDevice(IoWorkItem->DeviceObject);
    WorkQueue::instance().push({IoWorkItem, WorkerRoutine, IoWorkItem->DeviceObject, Context});
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != NULL)
        top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    TargetDevice->AttachedDevice = NULL;
}

// ---- Power ---------------------------------------------------------------------------------------------

VOID PoStartNextPowerIrp(PIRP Irp) {
    startNextPowerLocation = Irp->CurrentLocation;
    startNextPowerCalls++;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        hostk::bugCheck("PoCallDriver with a request that is not a power request");
    return IoCallDriver(DeviceObject, Irp);
}

} // extern "C"
