// The host kernel's own semantics that the driver's tests rely on: completion routines, pending requests
// and their events, cancellation, remove locks, pool accounting and the USBD routines.
#include "hostkernel/hostkernel.h"
#include "hostkernel/leakcheck.h"
#include "hostkernel/usbreceiver.h"

#include <usbdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

class HostKernel : public hostk::LeakCheckedTest {};

// A stack of three drivers. The top and middle pass requests down with a completion routine that logs its
// name; the bottom either completes at once, or pends and keeps the request for the test.
struct Stack {
    PDRIVER_OBJECT driver = hostk::createDriverObject(u"\\Driver\\stack");
    PDEVICE_OBJECT bottom = nullptr, middle = nullptr, top = nullptr;
    static inline std::vector<std::string> log;
    static inline NTSTATUS middleResult = STATUS_SUCCESS;
    static inline bool bottomPends = false;
    static inline PIRP held = nullptr;

    static NTSTATUS NTAPI Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        log.push_back(std::string(static_cast<const char*>(context)) +
                      (irp->PendingReturned ? "+pending" : ""));
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        return std::string(static_cast<const char*>(context)) == "middle" ? middleResult : STATUS_SUCCESS;
    }
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        auto* below = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
        if (below == nullptr) { // the bottom
            if (bottomPends) {
                IoMarkIrpPending(irp);
                held = irp;
                return STATUS_PENDING;
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Complete, (PVOID)name(device), TRUE, TRUE, TRUE);
        return IoCallDriver(below, irp);
    }
    static const char* name(PDEVICE_OBJECT device) { return device->DeviceType == 1 ? "top" : "middle"; }

    Stack() {
        log.clear();
        middleResult = STATUS_SUCCESS;
        bottomPends = false;
        held = nullptr;
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), NULL, 3, 0, FALSE, &bottom);
        IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), NULL, 2, 0, FALSE, &middle);
        IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), NULL, 1, 0, FALSE, &top);
        *static_cast<PDEVICE_OBJECT*>(bottom->DeviceExtension) = nullptr;
        *static_cast<PDEVICE_OBJECT*>(middle->DeviceExtension) = IoAttachDeviceToDeviceStack(middle, bottom);
        *static_cast<PDEVICE_OBJECT*>(top->DeviceExtension) = IoAttachDeviceToDeviceStack(top, middle);
    }
    ~Stack() {
        IoDeleteDevice(top);
        IoDeleteDevice(middle);
        IoDeleteDevice(bottom);
        hostk::deleteDriverObject(driver);
    }
    PIRP request() {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        return irp;
    }
};

TEST_F(HostKernel, CompletionRoutinesRunBottomUpAndStopAtMoreProcessingRequired) {
    Stack s;
    PIRP irp = s.request();
    EXPECT_EQ(IoCallDriver(s.top, irp), STATUS_SUCCESS);
    EXPECT_EQ(Stack::log, (std::vector<std::string>{"middle", "top"}));
    IoFreeIrp(irp);

    Stack::log.clear();
    Stack::middleResult = STATUS_MORE_PROCESSING_REQUIRED;
    irp = s.request();
    IoCallDriver(s.top, irp);
    EXPECT_EQ(Stack::log, std::vector<std::string>{"middle"});
    // The middle driver owns the request again; completing it once more resumes the walk above it.
    Stack::middleResult = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(Stack::log, (std::vector<std::string>{"middle", "top"}));
    IoFreeIrp(irp);
}

TEST_F(HostKernel, RequestCompletedLaterOnAnotherThreadReportsPendingUpward) {
    Stack s;
    Stack::bottomPends = true;
    PIRP irp = s.request();
    EXPECT_EQ(IoCallDriver(s.top, irp), STATUS_PENDING);
    EXPECT_TRUE(Stack::log.empty());
    std::thread([] {
        Stack::held->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Stack::held, IO_NO_INCREMENT);
    }).join();
    EXPECT_EQ(Stack::log, (std::vector<std::string>{"middle+pending", "top+pending"}));
    IoFreeIrp(irp);
}

TEST_F(HostKernel, BuiltRequestSignalsItsEventWithTheFinalStatusAndIsFreed) {
    Stack s;
    Stack::bottomPends = true;
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x220003, s.bottom, nullptr, 0, nullptr, 0, TRUE, &event, &status);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(IoCallDriver(s.bottom, irp), STATUS_PENDING);

    auto waiter = std::async(std::launch::async, [&] {
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    });
    LARGE_INTEGER none{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_TIMEOUT);
    Stack::held->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(Stack::held, IO_NO_INCREMENT);
    EXPECT_EQ(waiter.get(), STATUS_WAIT_0);
    EXPECT_EQ(status.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(hostk::outstandingAllocations(hostk::IrpPoolTag), 0u);
}

TEST_F(HostKernel, CancelCallsTheCancelRoutineOrOnlySetsTheFlag) {
    static PIRP cancelled = nullptr;
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_FALSE(irp->Cancel);

    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP request) {
        IoReleaseCancelSpinLock(request->CancelIrql);
        cancelled = request;
    });
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(cancelled, irp);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    IoFreeIrp(irp);
}

TEST_F(HostKernel, RemoveLockWaitsForEveryHolderAndThenRefusesNewOnes) {
    IO_REMOVE_LOCK lock;
    int self, a, b;
    IoInitializeRemoveLock(&lock, 0x51454C4D, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &self), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &a), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &b), STATUS_SUCCESS);

    auto remover = std::async(std::launch::async, [&] { IoReleaseRemoveLockAndWait(&lock, &self); });
    IoReleaseRemoveLock(&lock, &a);
    EXPECT_EQ(remover.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    IoReleaseRemoveLock(&lock, &b);
    remover.get();
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &a), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(HostKernel, PoolCountsPerTagAndFailsTheChosenAllocation) {
    const ULONG tag = 0x206D6457;
    hostk::failAllocation(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 10, tag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 10, tag);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 20, tag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(hostk::outstandingAllocations(tag), 2u);
    EXPECT_EQ(hostk::allocationAttempts(), 3u);
    EXPECT_NE(hostk::describeOutstanding().find("'Wdm ': 2 blocks, 30 bytes"), std::string::npos)
        << hostk::describeOutstanding();
    ExFreePoolWithTag(first, tag);
    ExFreePool(third);
    EXPECT_EQ(hostk::outstandingAllocations(tag), 0u);
}

TEST_F(HostKernel, UsbdParsingFindsInterfacesByCriteriaAndSizesTheSelectRequest) {
    auto bytes = hostk::UsbReceiver::realConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());

    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR second =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x59, -1, -1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->bInterfaceNumber, 0);
    EXPECT_EQ(second->bInterfaceNumber, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, (PUCHAR)first + 9, -1, -1, 0x58, -1, -1), nullptr);

    USBD_INTERFACE_LIST_ENTRY list[3] = {{first, nullptr}, {second, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 1));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[0].Interface->Pipes[0].MaximumTransferSize, (ULONG)USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);
    EXPECT_EQ((PUCHAR)list[1].Interface, (PUCHAR)list[0].Interface + GET_USBD_INTERFACE_SIZE(1));
    ExFreePool(urb);
}

} // namespace

namespace {

// The USBD stand-ins stop where the platform's routines would read past the buffer, so that a driver that
// hands them an unchecked descriptor fails its tests.
TEST(HostKernelDeathTest, UsbdParsingStopsOnDescriptorsThatLeaveTheBuffer) {
    // An endpoint of seven bytes where only three remain inside wTotalLength (21).
    std::vector<uint8_t> crossing = {0x09, 0x02, 0x15, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04,
                                     0x00, 0x00, 0x01, 0x58, 0x42, 0x00, 0x00, 0x07, 0x05, 0x81};
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(crossing.data());
    EXPECT_DEATH(USBD_ParseDescriptors(config, config->wTotalLength, config, USB_ENDPOINT_DESCRIPTOR_TYPE),
                 "does not fit");
    std::vector<uint8_t> zero = {0x09, 0x02, 0x0B, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x00, 0x04};
    config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(zero.data());
    EXPECT_DEATH(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), "does not fit");
}

} // namespace

// ---- Code placement: the PAGE section may not take spin locks ---------------------------------------------

namespace {

KSPIN_LOCK placementLock;

// Resident: takes and drops the lock. Calling it from pageable code is allowed.
__attribute__((noinline)) VOID ResidentTakesLock() {
    KIRQL irql;
    KeAcquireSpinLock(&placementLock, &irql);
    KeReleaseSpinLock(&placementLock, irql);
}

__attribute__((section("PAGE"), noinline)) VOID PageableCallsResident() {
    PAGED_CODE();
    ResidentTakesLock();
}

__attribute__((section("PAGE"), noinline)) VOID PageableTakesLock() {
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&placementLock, &irql);
    KeReleaseSpinLock(&placementLock, irql);
}

__attribute__((section("PAGE"), noinline)) VOID PageableRaisesIrql() {
    PAGED_CODE();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    KeLowerIrql(irql);
}

__attribute__((section("PAGE"), noinline)) VOID PageableTakesCancelLock() {
    PAGED_CODE();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
}

TEST(HostKernelPlacement, PageableCodeMayCallResidentCodeThatTakesASpinLock) {
    KeInitializeSpinLock(&placementLock);
    PageableCallsResident();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(HostKernelDeathTest, SpinLockOrRaisedIrqlInPageableCodeStopsTheProcess) {
    KeInitializeSpinLock(&placementLock);
    EXPECT_DEATH(PageableTakesLock(),
                 "KeAcquireSpinLock called from pageable code \\(running: PageableTakesLock\\)");
    EXPECT_DEATH(PageableRaisesIrql(), "KeRaiseIrql called from pageable code");
    EXPECT_DEATH(PageableTakesCancelLock(), "IoAcquireCancelSpinLock called from pageable code");
}

// ---- Work items ---------------------------------------------------------------------------------------

struct WorkRecord {
    std::atomic<int> runs{0};
    KIRQL irql = HIGH_LEVEL_FOR_TEST;
    PDEVICE_OBJECT device = nullptr;
    static constexpr KIRQL HIGH_LEVEL_FOR_TEST = 31;
};

VOID NTAPI RecordWork(PDEVICE_OBJECT device, PVOID context) {
    auto* record = static_cast<WorkRecord*>(context);
    record->irql = KeGetCurrentIrql();
    record->device = device;
    record->runs++;
}

TEST_F(HostKernel, WorkItemsRunAtPassiveLevelAndKeepTheirDeviceObjectAlive) {
    PDRIVER_OBJECT driver = hostk::createDriverObject(u"\\Driver\\work");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    WorkRecord record;
    {
        hostk::IrqlScope dispatch(DISPATCH_LEVEL); // queued from a completion routine
        IoQueueWorkItem(item, RecordWork, DelayedWorkQueue, &record);
    }
    ASSERT_TRUE(hostk::waitForWorkItems());
    EXPECT_EQ(record.runs.load(), 1);
    EXPECT_EQ(record.irql, PASSIVE_LEVEL);
    EXPECT_EQ(record.device, device);

    // Deleted while its work item waits: the object stays allocated until the routine has run.
    uint64_t live = hostk::liveDeviceObjects();
    hostk::pauseWorkItems(true);
    IoQueueWorkItem(item, RecordWork, DelayedWorkQueue, &record);
    IoDeleteDevice(device);
    EXPECT_EQ(hostk::liveDeviceObjects(), live - 1);
    hostk::pauseWorkItems(false);
    ASSERT_TRUE(hostk::waitForWorkItems());
    EXPECT_EQ(record.runs.load(), 2);
    EXPECT_EQ(record.device, device); // AddressSanitizer would report a freed object here
    IoFreeWorkItem(item);
    hostk::deleteDriverObject(driver);
}

// A work item queued while the work queue is held, so that it stays queued.
PIO_WORKITEM QueuedWorkItem() {
    PDRIVER_OBJECT driver = hostk::createDriverObject(u"\\Driver\\work");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    static WorkRecord record;
    hostk::pauseWorkItems(true);
    IoQueueWorkItem(item, RecordWork, DelayedWorkQueue, &record);
    return item;
}

TEST(HostKernelDeathTest, FreeingOrRequeuingAQueuedWorkItemStopsTheProcess) {
    EXPECT_DEATH(IoFreeWorkItem(QueuedWorkItem()), "still queued");
    EXPECT_DEATH(
        {
            static WorkRecord record;
            IoQueueWorkItem(QueuedWorkItem(), RecordWork, DelayedWorkQueue, &record);
        },
        "already queued");
}

// ---- The receiver model: halted pipe, strict interface list ----------------------------------------------

// Submits a URB to the receiver synchronously (the model completes control requests at once).
NTSTATUS submit(hostk::UsbReceiver& receiver, PURB urb) {
    PIRP irp = IoAllocateIrp(receiver.pdo()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(receiver.pdo(), irp);
    IoFreeIrp(irp);
    return status;
}

TEST_F(HostKernel, ReceiverRejectsASelectConfigurationThatLeavesAnInterfaceOut) {
    hostk::UsbReceiver receiver;
    std::vector<uint8_t> bytes = hostk::UsbReceiver::realConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR second = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    struct Row {
        const char* name;
        std::vector<PUSB_INTERFACE_DESCRIPTOR> interfaces;
        NTSTATUS expected;
    };
    const Row rows[] = {
        {"interface 0 only", {first}, STATUS_INVALID_PARAMETER},
        {"interface 1 only", {second}, STATUS_INVALID_PARAMETER},
        {"both", {first, second}, STATUS_SUCCESS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (auto* descriptor : row.interfaces)
            list.push_back({descriptor, nullptr});
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(submit(receiver, urb), row.expected);
        EXPECT_EQ(receiver.configured(), row.expected == STATUS_SUCCESS);
        ExFreePool(urb);
    }
}

TEST_F(HostKernel, ReceiverPipeHaltsOnAFailedTransferUntilItIsReset) {
    hostk::UsbReceiver receiver;
    std::vector<uint8_t> bytes = hostk::UsbReceiver::realConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_EQ(submit(receiver, select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = list[0].Interface->Pipes[0].PipeHandle;
    ExFreePool(select);

    struct Transfer {
        URB urb{};
        UCHAR buffer[6] = {};
        PIRP irp = nullptr;
        NTSTATUS status = STATUS_PENDING;
    };
    auto start = [&](Transfer& t) {
        t.irp = IoAllocateIrp(receiver.pdo()->StackSize, FALSE);
        UsbBuildInterruptOrBulkTransferRequest(&t.urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               pipe, t.buffer, nullptr, 6, USBD_TRANSFER_DIRECTION_IN,
                                               nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &t.urb;
        IoSetCompletionRoutine(
            t.irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                static_cast<Transfer*>(context)->status = irp->IoStatus.Status;
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &t, TRUE, TRUE, TRUE);
        IoCallDriver(receiver.pdo(), t.irp);
    };
    auto reset = [&] {
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        urb.UrbPipeRequest.PipeHandle = pipe;
        return submit(receiver, &urb);
    };

    Transfer stalled, refused, after;
    start(stalled);
    ASSERT_TRUE(receiver.stall());
    EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(receiver.pipeHalted());
    start(refused); // fails at once on the halted pipe
    EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(reset(), STATUS_SUCCESS);
    EXPECT_FALSE(receiver.pipeHalted());
    EXPECT_EQ(receiver.pipeResets(), 1u);
    start(after);
    EXPECT_EQ(receiver.pendingTransfers(), 1u);
    EXPECT_EQ(reset(), STATUS_INVALID_DEVICE_STATE); // not while a transfer is pending
    const UCHAR packet[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(receiver.deliver(packet, sizeof packet));
    EXPECT_EQ(after.status, STATUS_SUCCESS);
    EXPECT_EQ(after.buffer[5], 6);
    for (Transfer* t : {&stalled, &refused, &after})
        IoFreeIrp(t->irp);
}

} // namespace
