// The HID class driver's requests through DispatchInternalIoctl, on the host kernel with the receiver.
#include "driver_fixture.h"

#include <algorithm>
#include <memory>
#include <array>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace qelmtest {
namespace {

using Report = std::array<UCHAR, 6>;

class HidRequests : public DriverTest {
  protected:
    Report read(hostk::HidRequestResult* out = nullptr) {
        Report report;
        report.fill(0xCC);
        hostk::HidRequestResult r = device_->readReport(report.data(), static_cast<ULONG>(report.size()));
        EXPECT_EQ(r.dispatchStatus, STATUS_SUCCESS);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 6u);
        EXPECT_FALSE(r.pendingReturned);
        if (out != nullptr) {
            *out = r;
        }
        return report;
    }

    // ReadReport called directly with a request of our own, to see the transfer start's status.
    NTSTATUS readDirect(Report* report) {
        PIRP irp = IoAllocateIrp(device_->deviceObject()->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
        stack->Parameters.DeviceIoControl.OutputBufferLength = 6;
        stack->DeviceObject = device_->deviceObject();
        irp->UserBuffer = report->data();
        NTSTATUS transfer = ReadReport(extension(), irp);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Information, 6u);
        IoFreeIrp(irp);
        return transfer;
    }
};

TEST_F(HidRequests, StartReadsTheDescriptorsTheClassDriverNeeds) {
    startDevice();
    EXPECT_EQ(device_->hidDescriptor(),
              (std::vector<UCHAR>{0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x1B, 0x00}));
    EXPECT_EQ(device_->reportDescriptor().size(), 27u);
    EXPECT_EQ(device_->inputReportLength(), 6u); // one six-byte input report, as the class driver parses it
    EXPECT_EQ(device_->attributes().Size, 32u);
    EXPECT_EQ(device_->attributes().VendorID, 0x045E);
    EXPECT_EQ(device_->attributes().ProductID, 0x0284);
    EXPECT_EQ(device_->attributes().VersionNumber, 0x000A);
}

TEST_F(HidRequests, AttributesEchoWhateverReceiverTheDriverIsInstalledOn) {
    std::vector<uint8_t> descriptor = hostk::UsbReceiver::realDeviceDescriptor();
    descriptor[8] = 0xCD; // idVendor 0xABCD
    descriptor[9] = 0xAB;
    descriptor[10] = 0x01; // idProduct 0x2301
    descriptor[11] = 0x23;
    descriptor[12] = 0x99; // bcdDevice 0x0199
    descriptor[13] = 0x01;
    receiver_->setDeviceDescriptor(descriptor);
    startDevice();
    EXPECT_EQ(device_->attributes().VendorID, 0xABCD);
    EXPECT_EQ(device_->attributes().ProductID, 0x2301);
    EXPECT_EQ(device_->attributes().VersionNumber, 0x0199);
}

TEST_F(HidRequests, ShortOutputBuffersFailEachRequestAndWriteNothing) {
    startDevice();
    struct Row {
        ULONG code;
        ULONG length;
        NTSTATUS status;
        ULONG_PTR information;
    };
    const Row rows[] = {
        {IOCTL_HID_GET_DEVICE_DESCRIPTOR, 8, STATUS_BUFFER_TOO_SMALL, 0},
        {IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9, STATUS_SUCCESS, 9},
        {IOCTL_HID_GET_REPORT_DESCRIPTOR, 26, STATUS_BUFFER_TOO_SMALL, 0},
        {IOCTL_HID_GET_REPORT_DESCRIPTOR, 27, STATUS_SUCCESS, 27},
        {IOCTL_HID_GET_DEVICE_ATTRIBUTES, 31, STATUS_BUFFER_TOO_SMALL, 0},
        {IOCTL_HID_GET_DEVICE_ATTRIBUTES, 32, STATUS_SUCCESS, 32},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "code 0x" << row.code << std::dec << " length " << row.length);
        std::vector<UCHAR> buffer(64, 0xCC);
        hostk::HidRequestResult r = device_->internalIoctl(row.code, buffer.data(), row.length);
        EXPECT_EQ(r.dispatchStatus, row.status); // the dispatch returns the request's own status
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.information, row.information);
        for (size_t i = row.information; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written";
        }
    }
}

TEST_F(HidRequests, AReadWhoseBufferCannotHoldTheReportFailsWritesNothingAndStartsNoTransfer) {
    startDevice();
    const UCHAR packet[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(read(), (Report{0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(receiver_->deliver(packet, sizeof(packet))); // LatestReport now holds a packet
    struct Row {
        ULONG length;
        bool buffer;
        NTSTATUS status;
        ULONG_PTR information;
    };
    const Row rows[] = {
        {0, true, STATUS_BUFFER_TOO_SMALL, 0},  {5, true, STATUS_BUFFER_TOO_SMALL, 0},
        {6, false, STATUS_BUFFER_TOO_SMALL, 0}, {6, true, STATUS_SUCCESS, 6},
        {7, true, STATUS_SUCCESS, 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "length " << row.length << (row.buffer ? "" : ", no buffer"));
        std::vector<UCHAR> buffer(16, 0xCC);
        const size_t pendingBefore = receiver_->pendingTransfers();
        hostk::HidRequestResult r =
            device_->internalIoctl(IOCTL_HID_READ_REPORT, row.buffer ? buffer.data() : nullptr, row.length);
        EXPECT_EQ(r.dispatchStatus, row.status);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.information, row.information);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_TRUE(std::equal(packet, packet + 6, buffer.begin()));
            EXPECT_EQ(receiver_->pendingTransfers(), 1u);
        } else {
            EXPECT_EQ(buffer, std::vector<UCHAR>(16, 0xCC));
            EXPECT_EQ(receiver_->pendingTransfers(), pendingBefore) << "a refused read started a transfer";
        }
        for (size_t i = row.information; i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written";
        }
    }
}

// Each transfer asks for one whole packet of the pipe's maximum packet size: 8 bytes on the receiver, whose
// full packets must not overrun the transfer (a babble error would halt the pipe). The report is the
// packet's first six bytes; a shorter packet overwrites only its own length.
TEST_F(HidRequests, APacketOfTheEndpointsFullSizeGivesItsFirstSixBytesWithoutAPipeError) {
    startDevice();
    ASSERT_EQ(read(), (Report{0, 0, 0, 0, 0, 0}));
    bool sawTransfer = false;
    for (const auto& request : receiver_->requests()) {
        if (request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            sawTransfer = true;
            EXPECT_EQ(request.transferLength, 8u) << "the transfer does not ask for a whole packet";
        }
    }
    EXPECT_TRUE(sawTransfer);
    struct Row {
        std::vector<UCHAR> packet;
        Report report;
    };
    const Row rows[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6}},
        {{0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17}, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16}},
        {{0x21, 0x22, 0x23, 0x24, 0x25, 0x26}, {0x21, 0x22, 0x23, 0x24, 0x25, 0x26}},
        {{0x31, 0x32, 0x33}, {0x31, 0x32, 0x33, 0x24, 0x25, 0x26}},
        {{0, 0x0A, 0xD5, 0, 0x41, 0, 0xEE, 0xFF}, {0, 0x0A, 0xD5, 0, 0x41, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.packet.size() << "-byte packet");
        ASSERT_TRUE(receiver_->deliver(row.packet.data(), row.packet.size()));
        EXPECT_EQ(read(), row.report); // the read that sees the packet starts the next transfer
    }
    EXPECT_EQ(receiver_->failedTransfers(), 0u);
    EXPECT_FALSE(receiver_->pipeHalted());
    EXPECT_EQ(receiver_->pipeResets(), 0u);
}

// The transfer length follows whatever endpoint the driver is installed on, within a report's six bytes and
// the staging buffer.
TEST_F(HidRequests, EachTransferAsksForThePipesMaximumPacketSizeWithinBounds) {
    const struct {
        USHORT maxPacket;
        ULONG asked;
    } rows[] = {{8, 8}, {16, 16}, {64, 64}, {4, 6}, {0, 6}, {512, 64}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "wMaxPacketSize " << row.maxPacket);
        TearDown();
        SetUp();
        std::vector<uint8_t> configuration = hostk::UsbReceiver::realConfigurationDescriptor();
        configuration[18 + 4] = static_cast<uint8_t>(row.maxPacket & 0xFF); // the endpoint's wMaxPacketSize
        configuration[18 + 5] = static_cast<uint8_t>(row.maxPacket >> 8);
        receiver_->setConfigurationDescriptor(configuration);
        startDevice();
        receiver_->clearRequests();
        read();
        ASSERT_EQ(receiver_->pendingTransfers(), 1u);
        const auto requests = receiver_->requests();
        const auto transfer = std::find_if(requests.begin(), requests.end(), [](const auto& request) {
            return request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        });
        ASSERT_NE(transfer, requests.end());
        EXPECT_EQ(transfer->transferLength, row.asked);
        const std::vector<UCHAR> full(row.asked, 0x5A);
        ASSERT_TRUE(receiver_->deliver(full.data(), std::min<size_t>(full.size(), 8)));
        EXPECT_EQ(read(), (Report{0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}));
        EXPECT_EQ(receiver_->failedTransfers(), 0u);
    }
}

TEST_F(HidRequests, UnrecognisedCodesAreCompletedAsNotSupported) {
    startDevice();
    for (ULONG code :
         {ULONG(IOCTL_HID_GET_FEATURE), ULONG(IOCTL_HID_SET_FEATURE), ULONG(IOCTL_HID_WRITE_REPORT),
          ULONG(IOCTL_HID_GET_STRING), 0x00220003u /* a USB code */}) {
        SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << code);
        std::vector<UCHAR> buffer(64, 0xCC);
        hostk::HidRequestResult r = device_->internalIoctl(code, buffer.data(), 64, 0x5A);
        EXPECT_EQ(r.dispatchStatus, STATUS_NOT_SUPPORTED); // not a success with an empty buffer
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.information, 0x5Au); // left as it was
        EXPECT_EQ(buffer, std::vector<UCHAR>(64, 0xCC));
    }
    EXPECT_EQ(receiver_->pendingTransfers(), 0u); // none of them starts a transfer
}

TEST_F(HidRequests, ReadBeforeAnyPacketGivesZerosAndStartsOneTransfer) {
    startDevice();
    EXPECT_EQ(receiver_->pendingTransfers(), 0u); // transfers start only with reads
    EXPECT_EQ(read(), (Report{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(receiver_->pendingTransfers(), 1u);
}

TEST_F(HidRequests, ReadWhileATransferIsOutstandingSucceedsWithTheSameReportAndNoSecondTransfer) {
    startDevice();
    Report first;
    EXPECT_EQ(readDirect(&first), STATUS_PENDING); // the first read's transfer is with the bus driver
    Report second;
    EXPECT_EQ(readDirect(&second), STATUS_DEVICE_BUSY);
    EXPECT_EQ(second, first);
    EXPECT_EQ(read(), first); // through the dispatch: success, whatever the start said
    EXPECT_EQ(receiver_->pendingTransfers(), 1u);
}

// The class driver may remove the device (and delete the device object holding the extension) as soon as
// its read is completed, while the read is still inside the driver starting the next transfer. So the read
// still holds the remove lock when the class driver's completion runs, and lets it go only on its way out.
NTSTATUS NTAPI RecordRemoveLockCount(PDEVICE_OBJECT, PIRP, PVOID Context) {
    auto* seen = static_cast<std::pair<PDEVICE_EXTENSION, LONG>*>(Context);
    seen->second = __atomic_load_n(&seen->first->RemoveLock.Common.IoCount, __ATOMIC_SEQ_CST);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(HidRequests, ReadHoldsTheRemoveLockUntilItHasLeftTheDriver) {
    startDevice();
    // The first read starts a transfer (which then holds the lock too); the second finds it outstanding.
    for (LONG heldByTransfer : {0, 1}) {
        SCOPED_TRACE(heldByTransfer ? "transfer outstanding" : "no transfer yet");
        Report report;
        PIRP irp = IoAllocateIrp(device_->deviceObject()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
        stack->Parameters.DeviceIoControl.OutputBufferLength = 6;
        irp->UserBuffer = report.data();
        std::pair<PDEVICE_EXTENSION, LONG> seen{extension(), -1};
        IoSetCompletionRoutine(irp, RecordRemoveLockCount, &seen, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device_->deviceObject(), irp), STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        IoFreeIrp(irp);
        EXPECT_EQ(seen.second, 1 + heldByTransfer + 1) << "the lock's bias, the transfer, the read itself";
        EXPECT_EQ(removeLockCount(), 2) << "the read gave its hold back; the transfer keeps its own";
    }
    EXPECT_EQ(receiver_->pendingTransfers(), 1u);
}

TEST_F(HidRequests, EachReadReturnsTheLatestPacketUntilANewOneArrives) {
    startDevice();
    read();
    const UCHAR packet[6] = {0x00, 0x0A, 0xD5, 0x00, 0x41, 0x00};
    ASSERT_TRUE(receiver_->deliver(packet, sizeof(packet)));
    Report expected = {0x00, 0x0A, 0xD5, 0x00, 0x41, 0x00};
    EXPECT_EQ(read(), expected);
    EXPECT_EQ(read(), expected); // repeated: the driver never filters
    const UCHAR shorter[3] = {0x01, 0x02, 0x03};
    ASSERT_TRUE(receiver_->deliver(shorter, sizeof(shorter)));
    EXPECT_EQ(read(), (Report{0x01, 0x02, 0x03, 0x00, 0x41, 0x00}));
}

TEST_F(HidRequests, ReadsAnswerAtDispatchLevel) {
    startDevice();
    Report report;
    report.fill(0xCC);
    {
        hostk::IrqlScope dispatch(DISPATCH_LEVEL); // the read path must be resident and must not wait
        EXPECT_EQ(readDirect(&report), STATUS_PENDING);
    }
    EXPECT_EQ(report, (Report{0, 0, 0, 0, 0, 0}));
}

TEST_F(HidRequests, PolledReportsReachTheConsumer) {
    startDevice();
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Report> seen;
    device_->setConsumer([&](const UCHAR* report, ULONG length) {
        ASSERT_EQ(length, 6u);
        Report copy;
        std::copy(report, report + 6, copy.begin());
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(copy);
        changed.notify_all();
    });
    device_->setPollInterval(std::chrono::milliseconds(1));
    device_->startPolling();
    ASSERT_TRUE(receiver_->waitForPendingTransfers(1, std::chrono::seconds(5)));
    const UCHAR packet[6] = {9, 8, 7, 6, 5, 4};
    ASSERT_TRUE(receiver_->deliver(packet, sizeof(packet)));
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(5),
                                 [&] { return !seen.empty() && seen.back() == Report{9, 8, 7, 6, 5, 4}; }));
    guard.unlock();
    device_->stopPolling();
    EXPECT_EQ(device_->pollFailures(), 0u);
}

// The class stand-in sizes its read buffer from the report descriptor; malformed ones must not overrun.
TEST(ReportDescriptorLength, InputItemsAreSummedAndMalformedDescriptorsGiveZero) {
    struct Row {
        const char* name;
        std::vector<UCHAR> descriptor;
        ULONG length;
    };
    const std::vector<Row> rows = {
        {"the driver's own", std::vector<UCHAR>(QelmReportDescriptor, QelmReportDescriptor + 27), 6},
        {"two input items", {0x75, 0x10, 0x95, 0x03, 0x81, 0x02, 0x75, 0x01, 0x95, 0x04, 0x81, 0x02}, 7},
        {"output items do not count", {0x75, 0x08, 0x95, 0x02, 0x91, 0x02}, 0},
        {"four-byte data and a long item",
         {0xFE, 0x01, 0x00, 0x55, 0x77, 0x08, 0, 0, 0, 0x95, 0x01, 0x81, 0x02},
         1},
        {"item cut short", {0x75, 0x08, 0x96, 0x06}, 0},
        {"long item cut short", {0xFE, 0x05, 0x00, 0x01}, 0},
        {"empty", {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Exactly sized heap copy: a read past the end is an AddressSanitizer error.
        std::unique_ptr<UCHAR[]> bytes(new UCHAR[row.descriptor.size()]);
        std::copy(row.descriptor.begin(), row.descriptor.end(), bytes.get());
        EXPECT_EQ(
            hostk::InputReportLengthFromDescriptor(bytes.get(), static_cast<ULONG>(row.descriptor.size())),
            row.length);
    }
}

} // namespace
} // namespace qelmtest
