// The host kernel's own semantics that the driver's tests rely on: completion routines, pending requests
// and their events, cancellation, remove locks, pool accounting and the USBD routines.
#include "hostkernel/hostkernel.h"
#include "hostkernel/leakcheck.h"
#include "hostkernel/usbreceiver.h"

#include <usbdlib.h>

#include <gtest/gtest.h>

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
