// Entry point, device creation, Plug and Play, power, create/close and pass-through, on the host kernel
// with the HID class driver stand-in above the driver and the receiver below it.
#include "driver_fixture.h"

#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace qelmtest {
namespace {

class Lifecycle : public DriverTest {};

// ---- entry point, unload, AddDevice ----------------------------------------------------------------

TEST_F(Lifecycle, EntryInstallsTheDispatchTableBeforeRegisteringAsAPolledMinidriver) {
    ASSERT_EQ(enterDriver(), STATUS_SUCCESS);
    auto& hidclass = hostk::HidClassDriver::instance();
    ASSERT_TRUE(hidclass.registered());
    // What the class driver found in the driver object when the driver registered.
    EXPECT_EQ(hidclass.minidriverDispatch(IRP_MJ_CREATE), &DispatchCreateClose);
    EXPECT_EQ(hidclass.minidriverDispatch(IRP_MJ_CLOSE), &DispatchCreateClose);
    EXPECT_EQ(hidclass.minidriverDispatch(IRP_MJ_INTERNAL_DEVICE_CONTROL), &DispatchInternalIoctl);
    EXPECT_EQ(hidclass.minidriverDispatch(IRP_MJ_DEVICE_CONTROL), &DispatchPassThrough);
    EXPECT_EQ(hidclass.minidriverDispatch(IRP_MJ_SYSTEM_CONTROL), &DispatchPassThrough);
    EXPECT_EQ(hidclass.minidriverDispatch(IRP_MJ_POWER), &DispatchPower);
    EXPECT_EQ(hidclass.minidriverDispatch(IRP_MJ_PNP), &DispatchPnp);
    EXPECT_EQ(hidclass.minidriverAddDevice(), &AddDevice);
    EXPECT_EQ(driver_->DriverUnload, &Unload);

    const HID_MINIDRIVER_REGISTRATION& registration = hidclass.registration();
    EXPECT_EQ(registration.Revision, 1u);
    EXPECT_EQ(registration.DriverObject, driver_);
    EXPECT_EQ(registration.RegistryPath, &registryPath_);
    EXPECT_EQ(registration.DeviceExtensionSize, sizeof(DEVICE_EXTENSION));
    EXPECT_EQ(registration.DevicesArePolled, TRUE);
}

TEST_F(Lifecycle, EntryCopiesTheRegistryPathWithATerminatorUntilUnload) {
    ASSERT_EQ(enterDriver(), STATUS_SUCCESS);
    bool found = false;
    for (const auto& stats : hostk::poolStats()) {
        if (stats.tag == QELM_POOL_TAG) {
            found = true;
            EXPECT_EQ(stats.outstanding, 1u);
            EXPECT_EQ(stats.bytes, registryPath_.Length + sizeof(WCHAR));
        }
    }
    EXPECT_TRUE(found);
    driver_->DriverUnload(driver_);
    entered_ = false;
    EXPECT_EQ(driverBlocks(), 0u);
}

TEST_F(Lifecycle, RegistryPathTooLongForACountedCopyIsNotCopied) {
    // 0xFFFE bytes plus the terminator do not fit a counted string's 16-bit size.
    std::vector<char16_t> longPath(0x7FFF, u'x');
    registryPath_.Buffer = longPath.data();
    registryPath_.Length = 0xFFFE;
    registryPath_.MaximumLength = 0xFFFE;
    EXPECT_EQ(enterDriver(), STATUS_SUCCESS);
    EXPECT_EQ(driverBlocks(), 0u);
}

TEST_F(Lifecycle, FailedRegistrationIsTheEntryResultAndNothingMoreHappens) {
    hostk::HidClassDriver::instance().failNextRegistration(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(enterDriver(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hostk::allocationAttempts(), 0u); // no registry-path copy
}

TEST_F(Lifecycle, FailedRegistryPathCopyLeavesTheRegistrationResult) {
    hostk::failAllocation(1); // the copy is the entry point's only allocation
    EXPECT_EQ(enterDriver(), STATUS_SUCCESS);
    EXPECT_TRUE(hostk::HidClassDriver::instance().registered());
    EXPECT_EQ(driverBlocks(), 0u);
    // The driver works without the copy.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    device_ = hostk::HidClassDriver::instance().addDevice(receiver_->pdo(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    device_->setAutoPoll(false);
    EXPECT_EQ(device_->start(), STATUS_SUCCESS);
}

TEST_F(Lifecycle, AddDevicePreparesTheRecordAndTheDeviceObject) {
    addDevice();
    PDEVICE_OBJECT fdo = device_->deviceObject();
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(fdo->Flags & DO_DIRECT_IO);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
    PDEVICE_EXTENSION ext = extension();
    EXPECT_EQ(ext->LowerDevice, receiver_->pdo());
    EXPECT_NE(ext->TransferIrp, nullptr);
    EXPECT_NE(ext->TransferUrb, nullptr);
    EXPECT_FALSE(ext->Configured);
    EXPECT_EQ(ext->PnpRequestCount, 0);
    EXPECT_EQ(KeReadStateEvent(&ext->PnpIdleEvent), 0);
    EXPECT_EQ(removeLockCount(), 1); // initialised, nobody holds it
    EXPECT_EQ(driverBlocks(), 2u);   // the registry-path copy and the URB (the request is the kernel's)
}

TEST_F(Lifecycle, AddDeviceFailsWithNothingAllocatedWhenTheTransferResourcesCannotBe) {
    ASSERT_EQ(enterDriver(), STATUS_SUCCESS);
    const uint64_t live = hostk::outstandingAllocations();
    for (uint64_t n : {1u, 2u, 3u}) { // the request, the URB, the pipe-reset work item
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        hostk::clearDebugPrints();
        hostk::failAllocation(n);
        NTSTATUS status = STATUS_SUCCESS;
        auto device = hostk::HidClassDriver::instance().addDevice(receiver_->pdo(), &status);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(driverBlocks(), 1u); // only the registry-path copy
        EXPECT_EQ(hostk::outstandingAllocations(), live) << hostk::describeOutstanding();
        EXPECT_EQ(hostk::debugPrints().size(), 1u); // the failure leaves one line
    }
}

TEST_F(Lifecycle, ReadsBeforeTheFirstStartStartNoTransfer) {
    addDevice();
    UCHAR report[6] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
    hostk::HidRequestResult r = device_->readReport(report, 6);
    EXPECT_EQ(r.status, STATUS_SUCCESS); // answered, with the zeroed record's report
    EXPECT_EQ(std::vector<UCHAR>(report, report + 6), std::vector<UCHAR>(6, 0));
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_INTERNAL_DEVICE_CONTROL), 0u);
    EXPECT_FALSE(extension()->TransferBusy);
    ASSERT_EQ(device_->start(), STATUS_SUCCESS);
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    EXPECT_EQ(receiver_->pendingTransfers(), 1u);
}

// ---- create, close, pass-through, power -------------------------------------------------------------

TEST_F(Lifecycle, CreateAndCloseSucceedWithoutGoingDown) {
    addDevice();
    for (UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_CLOSE)}) {
        hostk::HidRequestResult r = device_->sendMajor(major);
        EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(requestsAtReceiver(major), 0u);
    }
}

TEST_F(Lifecycle, DeviceControlAndSystemControlGoDownUnchanged) {
    addDevice();
    for (UCHAR major : {UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_SYSTEM_CONTROL)}) {
        hostk::HidRequestResult r = device_->sendMajor(major);
        // The bus stand-in does not handle these: its answer comes back unchanged.
        EXPECT_EQ(r.dispatchStatus, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// Every power request lets the next one start while its stack location is still the driver's own, then goes
// down with PoCallDriver: before the location is skipped for the ones passed straight down, from the
// completion routine for the return to D0.
TEST_F(Lifecycle, PowerRequestsStartTheNextOneBeforeTheirLocationIsSkipped) {
    startDevice();
    struct Row {
        const char* name;
        UCHAR minor;
        POWER_STATE_TYPE type;
        int state;
    };
    const Row rows[] = {
        {"system S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
        {"device D2", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2},
        {"device D3", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3},
        {"query S4", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate},
        {"system S0", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
        {"device D0", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        receiver_->clearRequests();
        POWER_STATE state;
        state.SystemState = static_cast<SYSTEM_POWER_STATE>(row.state);
        uint64_t before = hostk::poStartNextPowerIrpCalls();
        hostk::HidRequestResult r = device_->sendPower(row.minor, row.type, state);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(hostk::poStartNextPowerIrpCalls(), before + 1);
        std::vector<hostk::UsbReceiver::Request> power;
        for (const auto& request : receiver_->requests()) {
            if (request.majorFunction == IRP_MJ_POWER) {
                power.push_back(request);
            }
        }
        ASSERT_EQ(power.size(), 1u);
        EXPECT_EQ(power[0].minorFunction, row.minor);
        bool toD0 = row.type == DevicePowerState && row.state == PowerDeviceD0;
        if (toD0) {
            EXPECT_EQ(power[0].powerStartsBefore, before); // on the way back up, not before
        } else {
            EXPECT_EQ(power[0].powerStartsBefore, before + 1);
            // Called while the current location was the driver's own, which the bus driver's location reuses
            // after the skip.
            EXPECT_EQ(power[0].powerStartLocation, power[0].stackLocation);
        }
        ASSERT_TRUE(hostk::waitForWorkItems());
        EXPECT_EQ(removeLockCount(), 1); // no Plug and Play lock for power requests
    }
}

TEST_F(Lifecycle, CapabilitiesGoDownFirstAndKeepTheBusDriversFields) {
    addDevice();
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF; // unknown until the bus driver fills it in
    caps.UINumber = 0xFFFFFFFF;
    caps.EjectSupported = 1;
    caps.LockSupported = 1;
    caps.DockDevice = 1;
    hostk::HidRequestResult r = device_->sendPnp(IRP_MN_QUERY_CAPABILITIES, &caps);
    EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 1u);
    // The driver's flags, set on the way up (the bus driver reported latencies of 100).
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.EjectSupported, 0u);
    EXPECT_EQ(caps.LockSupported, 0u);
    EXPECT_EQ(caps.DockDevice, 0u);
    EXPECT_EQ(caps.D1Latency, 0u);
    EXPECT_EQ(caps.D2Latency, 0u);
    EXPECT_EQ(caps.D3Latency, 0u);
    // The bus driver's answer, kept.
    EXPECT_EQ(caps.Size, sizeof(caps));
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.Address, hostk::UsbReceiver::CapabilityAddress);
    EXPECT_EQ(caps.UINumber, hostk::UsbReceiver::CapabilityUINumber);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(caps.DeviceD2, 1u);
    EXPECT_EQ(caps.WakeFromD2, 1u);
    EXPECT_EQ(removeLockCount(), 1);
    EXPECT_EQ(extension()->PnpRequestCount, 0);
}

TEST_F(Lifecycle, CapabilitiesFailedBelowFailTheRequestWithoutTheDriversFlags) {
    addDevice();
    receiver_->setPnpHandler([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_CONNECTED;
    });
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.Size = sizeof(caps);
    hostk::clearDebugPrints();
    hostk::HidRequestResult r = device_->sendPnp(IRP_MN_QUERY_CAPABILITIES, &caps);
    receiver_->setPnpHandler(nullptr);
    EXPECT_EQ(r.dispatchStatus, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    EXPECT_EQ(hostk::debugPrints().size(), 1u);
    EXPECT_EQ(removeLockCount(), 1);
}

TEST_F(Lifecycle, UnrecognisedMinorCodesGoDownAndReleaseTheLockAfterTheCall) {
    addDevice();
    PDEVICE_EXTENSION ext = extension();
    std::vector<LONG> heldDuringCall;
    receiver_->setPnpHandler([&](PDEVICE_OBJECT, PIRP irp) {
        heldDuringCall.push_back(__atomic_load_n(&ext->RemoveLock.Common.IoCount, __ATOMIC_SEQ_CST));
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED; // unchanged, as a bus driver leaves what it ignores
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    });
    for (UCHAR minor :
         {UCHAR(IRP_MN_QUERY_RESOURCES), UCHAR(IRP_MN_QUERY_ID), UCHAR(IRP_MN_QUERY_DEVICE_RELATIONS),
          UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE), UCHAR(0x42)}) {
        SCOPED_TRACE(testing::Message() << "minor 0x" << std::hex << int(minor));
        hostk::HidRequestResult r = device_->sendPnp(minor);
        EXPECT_EQ(r.dispatchStatus, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
        ASSERT_FALSE(heldDuringCall.empty());
        EXPECT_EQ(heldDuringCall.back(), 2); // the lock's own count plus this request
        EXPECT_EQ(removeLockCount(), 1);     // released after the call
        EXPECT_EQ(ext->PnpRequestCount, 0);
    }
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES), 1u);
    receiver_->setPnpHandler(nullptr);
}

TEST_F(Lifecycle, LowerDriverFailingTheStartFailsItWithoutReadingDescriptors) {
    addDevice();
    receiver_->setPnpHandler([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_CONNECTED;
    });
    receiver_->clearRequests();
    hostk::HidRequestResult r = device_->sendPnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(r.dispatchStatus, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_INTERNAL_DEVICE_CONTROL), 0u);
    EXPECT_FALSE(extension()->Configured);
    EXPECT_EQ(removeLockCount(), 1);
    receiver_->setPnpHandler(nullptr);
}

// The bus driver answers the start with STATUS_PENDING and completes it later from another thread.
TEST_F(Lifecycle, LowerDriverFinishingTheStartLaterDecidesTheStart) {
    for (NTSTATUS later : {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR}) {
        SCOPED_TRACE(testing::Message() << std::hex << "completed later with 0x" << later);
        addDevice();
        std::promise<PIRP> held;
        receiver_->setPnpHandler([&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held.set_value(irp);
            return STATUS_PENDING;
        });
        auto start = std::async(std::launch::async, [&] { return device_->sendPnp(IRP_MN_START_DEVICE); });
        PIRP irp = held.get_future().get();
        receiver_->setPnpHandler(nullptr);
        irp->IoStatus.Status = later;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        hostk::HidRequestResult r = start.get();
        EXPECT_EQ(r.status, later);
        EXPECT_EQ(r.dispatchStatus, later); // the start is completed by the driver itself, synchronously
        EXPECT_FALSE(r.pendingReturned);    // so it must not come back marked pending
        EXPECT_EQ(bool(extension()->Configured), later == STATUS_SUCCESS);
        EXPECT_EQ(receiver_->configured(), later == STATUS_SUCCESS);
        EXPECT_EQ(removeLockCount(), 1);
        EXPECT_EQ(device_->remove(), STATUS_SUCCESS);
        device_.reset();
        EXPECT_EQ(driverBlocks(), 1u); // the registry-path copy only
        driver_->DriverUnload(driver_);
        entered_ = false;
    }
}

TEST_F(Lifecycle, RemovalWithAnOutstandingTransferWaitsForItsCompletionThenFrees) {
    startDevice();
    UCHAR report[6];
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    ASSERT_EQ(receiver_->pendingTransfers(), 1u);
    EXPECT_EQ(removeLockCount(), 2); // held by the transfer
    EXPECT_EQ(device_->remove(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->cancelledTransfers(), 1u);
    EXPECT_EQ(receiver_->pendingTransfers(), 0u);
    EXPECT_EQ(receiver_->unconfigureCount(), 1u);
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(driverBlocks(), 1u); // transfer URB freed; only the registry-path copy
    EXPECT_EQ(hostk::outstandingAllocations(hostk::IrpPoolTag), 0u);
}

// A filter between the driver and the receiver that holds interrupt transfers, cancel or not, until the
// test lets them go: a bus driver slow to complete a cancelled transfer.
class HoldingFilter {
  public:
    explicit HoldingFilter(PDEVICE_OBJECT pdo) {
        driver_ = hostk::createDriverObject(u"\\Driver\\HoldingFilter");
        for (auto& dispatch : driver_->MajorFunction) {
            dispatch = &HoldingFilter::Dispatch;
        }
        EXPECT_EQ(
            IoCreateDevice(driver_, sizeof(HoldingFilter*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
            STATUS_SUCCESS);
        *static_cast<HoldingFilter**>(device_->DeviceExtension) = this;
        lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
    }
    ~HoldingFilter() {
        IoDetachDevice(lower_);
        IoDeleteDevice(device_);
        hostk::deleteDriverObject(driver_);
    }
    size_t held() {
        std::lock_guard<std::mutex> guard(lock_);
        return held_.size();
    }
    void release(NTSTATUS status) {
        PIRP irp;
        {
            std::lock_guard<std::mutex> guard(lock_);
            irp = held_.back();
            held_.pop_back();
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        HoldingFilter* self = *static_cast<HoldingFilter**>(device->DeviceExtension);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                IoMarkIrpPending(irp);
                std::lock_guard<std::mutex> guard(self->lock_);
                self->held_.push_back(irp);
                return STATUS_PENDING;
            }
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(self->lower_, irp);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    std::mutex lock_;
    std::vector<PIRP> held_;
};

TEST_F(Lifecycle, RemovalWaitsForATransferTheBusDriverCompletesLate) {
    HoldingFilter filter(receiver_->pdo());
    startDevice();
    UCHAR report[6];
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    ASSERT_EQ(filter.held(), 1u);
    auto removal = std::async(std::launch::async, [&] { return device_->remove(); });
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(driverBlocks(), 3u); // path copy, transfer URB and configuration: nothing freed yet
    filter.release(STATUS_CANCELLED);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(driverBlocks(), 1u);
    device_.reset();
}

TEST_F(Lifecycle, StopWaitsForATransferTheBusDriverCompletesLate) {
    HoldingFilter filter(receiver_->pdo());
    startDevice();
    UCHAR report[6];
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    auto stop = std::async(std::launch::async, [&] { return device_->stop(); });
    EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(receiver_->unconfigureCount(), 0u); // not un-configured under a running transfer
    filter.release(STATUS_CANCELLED);
    EXPECT_EQ(stop.get(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->unconfigureCount(), 1u);
    EXPECT_EQ(removeLockCount(), 1);
    EXPECT_EQ(device_->start(), STATUS_SUCCESS);
    EXPECT_EQ(device_->remove(), STATUS_SUCCESS);
    device_.reset();
}

TEST_F(Lifecycle, SurpriseRemovalThenRemovalUnconfiguresAndWaitsOnce) {
    startDevice();
    UCHAR report[6];
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    EXPECT_EQ(device_->surpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->unconfigureCount(), 1u);
    EXPECT_EQ(receiver_->cancelledTransfers(), 1u);
    EXPECT_TRUE(extension()->SurpriseRemoved);
    EXPECT_EQ(removeLockCount(), 0); // released and waited for: in its removed state
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), 1u);

    // Reads still answer; no transfer can start any more.
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    EXPECT_EQ(receiver_->pendingTransfers(), 0u);
    // Other Plug and Play requests are refused and not passed down; each refusal leaves one line.
    hostk::clearDebugPrints();
    hostk::HidRequestResult refused = device_->sendPnp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(refused.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE), 0u);
    ASSERT_EQ(hostk::debugPrints().size(), 1u);
    EXPECT_EQ(hostk::debugPrints()[0].text,
              "qelmrc: Plug and Play request 0x14 refused after removal began 0xC0000056\n");

    // The removal is let through, does not un-configure again, frees and goes down with success.
    EXPECT_EQ(device_->remove(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->unconfigureCount(), 1u);
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(driverBlocks(), 1u);
}

TEST_F(Lifecycle, StopThenStartConfiguresTheDeviceAgain) {
    startDevice();
    UCHAR report[6];
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    const UCHAR packet[6] = {1, 1, 1, 1, 1, 1};
    ASSERT_TRUE(receiver_->deliver(packet, sizeof(packet)));
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS); // a transfer is outstanding again

    EXPECT_EQ(device_->stop(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->cancelledTransfers(), 1u);
    EXPECT_EQ(receiver_->unconfigureCount(), 1u);
    EXPECT_FALSE(extension()->Configured);
    EXPECT_EQ(extension()->ConfigurationBuffer, nullptr);
    EXPECT_EQ(removeLockCount(), 1); // usable, not removed
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_STOP_DEVICE), 1u);

    ASSERT_EQ(device_->start(), STATUS_SUCCESS);
    EXPECT_TRUE(extension()->Configured);
    EXPECT_EQ(receiver_->selectConfigurationCount(), 2u);
    UCHAR zeros[6] = {0, 0, 0, 0, 0, 0};
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(report, zeros, 6), 0); // the restart begins with zeros
    const UCHAR next[6] = {2, 2, 2, 2, 2, 2};
    ASSERT_TRUE(receiver_->deliver(next, sizeof(next)));
    ASSERT_EQ(device_->readReport(report, 6).status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(report, next, 6), 0);

    EXPECT_EQ(device_->remove(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->unconfigureCount(), 2u);
    EXPECT_EQ(driverBlocks(), 1u);
}

TEST_F(Lifecycle, StopOfADeviceNeverStartedSendsNoUnconfigure) {
    addDevice();
    EXPECT_EQ(device_->stop(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->unconfigureCount(), 0u);
    EXPECT_EQ(requestsAtReceiver(IRP_MJ_PNP, IRP_MN_STOP_DEVICE), 1u);
    EXPECT_EQ(device_->remove(), STATUS_SUCCESS);
    EXPECT_EQ(receiver_->unconfigureCount(), 0u);
}

TEST(PnpCount, RequestsArrivingDuringRemovalAreRefusedAndWakeTheRemovalWhenLast) {
    DEVICE_EXTENSION ext;
    std::memset(&ext, 0, sizeof(ext));
    KeInitializeEvent(&ext.PnpIdleEvent, NotificationEvent, FALSE);

    EXPECT_EQ(IncrementPnpCount(&ext), STATUS_SUCCESS);
    EXPECT_EQ(ext.PnpRequestCount, 1);
    DecrementPnpCount(&ext);
    EXPECT_EQ(ext.PnpRequestCount, 0);
    EXPECT_EQ(KeReadStateEvent(&ext.PnpIdleEvent), 0); // not removing: nobody to wake

    EXPECT_EQ(IncrementPnpCount(&ext), STATUS_SUCCESS); // a request inside
    ext.Removing = TRUE;
    EXPECT_EQ(IncrementPnpCount(&ext), STATUS_DELETE_PENDING); // refused, count restored
    EXPECT_EQ(ext.PnpRequestCount, 1);
    EXPECT_EQ(KeReadStateEvent(&ext.PnpIdleEvent), 0);
    DecrementPnpCount(&ext); // the last one leaves
    EXPECT_EQ(ext.PnpRequestCount, 0);
    EXPECT_NE(KeReadStateEvent(&ext.PnpIdleEvent), 0);

    KeClearEvent(&ext.PnpIdleEvent);
    EXPECT_EQ(IncrementPnpCount(&ext), STATUS_DELETE_PENDING); // refused with nobody inside
    EXPECT_EQ(ext.PnpRequestCount, 0);
    EXPECT_NE(KeReadStateEvent(&ext.PnpIdleEvent), 0);
}

} // namespace
} // namespace qelmtest
