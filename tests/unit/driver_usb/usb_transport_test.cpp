// The driver's USB transport against the host kernel's USB bus and receiver model: configuration and its
// failures, malformed configuration descriptors, the interrupt-transfer path and un-configuration.
#include "usb_device.h"

#include "hostkernel/leakcheck.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, 6>;

// ---- Descriptor building --------------------------------------------------------------------------------

Bytes interfaceDescriptor(uint8_t number, uint8_t endpoints, uint8_t cls, uint8_t length = 9) {
    Bytes d = {length, 0x04, number, 0x00, endpoints, cls, 0x00, 0x00, 0x00};
    d.resize(length < 2 ? 2 : length, 0);
    return d;
}

Bytes endpointDescriptor(uint8_t address, uint8_t length = 7) {
    Bytes d = {length, 0x05, address, 0x03, 0x08, 0x00, 0x10};
    d.resize(length < 2 ? 2 : length, 0);
    return d;
}

// A configuration descriptor around `body`; wTotalLength is the real length unless given.
Bytes configuration(const std::vector<Bytes>& body, int totalLength = -1, uint8_t interfaces = 1) {
    Bytes c = {0x09, 0x02, 0x00, 0x00, interfaces, 0x01, 0x00, 0x80, 0x32};
    for (const auto& part : body)
        c.insert(c.end(), part.begin(), part.end());
    uint16_t total = totalLength < 0 ? (uint16_t)c.size() : (uint16_t)totalLength;
    c[2] = (uint8_t)(total & 0xFF);
    c[3] = (uint8_t)(total >> 8);
    return c;
}

Bytes bytesOf(const void* data, size_t length) {
    auto* p = static_cast<const uint8_t*>(data);
    return Bytes(p, p + length);
}

// ---- Fixtures ----------------------------------------------------------------------------------------

// A device that has been through AddDevice and a successful start; stopped and freed on destruction.
struct StartedDevice : UsbTestDevice {
    NTSTATUS allocated;
    NTSTATUS configured;
    StartedDevice() {
        allocated = AllocateTransferResources(fdo);
        configured = ConfigureDevice(fdo);
    }
    ~StartedDevice() {
        UnconfigureDevice(fdo);
        FreeTransferResources(fdo);
    }
    void deliver(const Report& packet) { ASSERT_TRUE(receiver.deliver(packet.data(), packet.size())); }
};

class UsbTransport : public hostk::LeakCheckedTest {};

void expectNothingStored(const UsbTestDevice& d) {
    EXPECT_FALSE(d.ext->Configured);
    EXPECT_EQ(d.ext->ConfigurationBuffer, nullptr);
    EXPECT_EQ(d.ext->ConfigurationHandle, nullptr);
    EXPECT_EQ(d.ext->InterruptPipe, nullptr);
    EXPECT_FALSE(d.receiver.configured());
}

// ---- Configuration -----------------------------------------------------------------------------------

class ConfigureRealReceiver : public hostk::LeakCheckedTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConfigureRealReceiver, SelectsInterfaceZeroAndKeepsItsPipe) {
    UsbTestDevice d;
    d.receiver.setAsynchronousControl(GetParam());
    memset(d.ext->LatestReport, 0xEE, sizeof d.ext->LatestReport);

    ASSERT_EQ(ConfigureDevice(d.fdo), STATUS_SUCCESS);

    EXPECT_TRUE(d.ext->Configured);
    EXPECT_EQ(bytesOf(&d.ext->DeviceDescriptor, 18), hostk::UsbReceiver::realDeviceDescriptor());
    ASSERT_NE(d.ext->ConfigurationBuffer, nullptr);
    EXPECT_EQ(bytesOf(d.ext->ConfigurationBuffer, 34), hostk::UsbReceiver::realConfigurationDescriptor());
    EXPECT_EQ(hostk::outstandingAllocations(QELM_POOL_TAG), 1u);
    EXPECT_EQ(hostk::outstandingAllocations(hostk::UsbdPoolTag), 0u) << "select request not freed";
    EXPECT_NE(d.ext->ConfigurationHandle, nullptr);
    EXPECT_EQ(d.ext->InterruptPipe, d.receiver.interruptPipeHandle());
    EXPECT_EQ(d.latestReport(), Report{});
    // Every interface of the configuration is named; interface 1 has no endpoint.
    EXPECT_EQ(d.receiver.selectedInterfaces(), (std::vector<UCHAR>{0, 1}));

    struct Expected {
        USHORT function;
        UCHAR type;
        ULONG length;
        USHORT urbLength;
    };
    const Expected expected[] = {
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, 18, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 9, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 34, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
    };
    auto requests = d.receiver.requests();
    ASSERT_EQ(requests.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ(requests[i].majorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(requests[i].ioControlCode, 0x00220003u);
        EXPECT_EQ(requests[i].urbFunction, expected[i].function);
        EXPECT_EQ(requests[i].descriptorType, expected[i].type);
        EXPECT_EQ(requests[i].transferLength, expected[i].length);
        EXPECT_EQ(requests[i].urbLength, expected[i].urbLength);
    }
    EXPECT_EQ(requests[3].urbFunction, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_TRUE(requests[3].withConfiguration);

    UnconfigureDevice(d.fdo);
    EXPECT_FALSE(d.ext->Configured);
    EXPECT_EQ(d.ext->ConfigurationBuffer, nullptr);
    EXPECT_FALSE(d.receiver.configured());
    requests = d.receiver.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[4].urbFunction, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_FALSE(requests[4].withConfiguration);
    EXPECT_EQ(requests[4].urbLength, sizeof(struct _URB_SELECT_CONFIGURATION));
}

INSTANTIATE_TEST_SUITE_P(Control, ConfigureRealReceiver, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pending" : "Immediate"; });

TEST_F(UsbTransport, EachFailingStartStepFailsTheStartWithItsStatusAndLeavesNothing) {
    struct Row {
        const char* step;
        USHORT function;
        UCHAR descriptorType;
        unsigned occurrence;
        NTSTATUS status;
        size_t requestsSent;
    };
    const Row rows[] = {
        {"device descriptor", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, 1, STATUS_DEVICE_NOT_CONNECTED, 1},
        {"configuration header", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 1, STATUS_IO_TIMEOUT, 2},
        {"full configuration", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 2, STATUS_UNSUCCESSFUL, 3},
        {"select configuration", URB_FUNCTION_SELECT_CONFIGURATION, 0, 1, STATUS_DEVICE_DATA_ERROR, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        uint64_t before = hostk::outstandingAllocations();
        UsbTestDevice d;
        d.receiver.failUrb(row.function, row.descriptorType, row.occurrence, row.status);
        EXPECT_EQ(ConfigureDevice(d.fdo), row.status);
        expectNothingStored(d);
        EXPECT_EQ(d.receiver.requests().size(), row.requestsSent);
        EXPECT_EQ(hostk::outstandingAllocations(), before) << hostk::describeOutstanding();
    }
}

TEST_F(UsbTransport, AnyFailedAllocationFailsTheStartWithInsufficientResourcesAndLeavesNothing) {
    uint64_t attempts;
    {
        UsbTestDevice d;
        hostk::resetPoolCounters();
        ASSERT_EQ(ConfigureDevice(d.fdo), STATUS_SUCCESS);
        attempts = hostk::allocationAttempts();
        UnconfigureDevice(d.fdo);
    }
    // Three descriptor requests, the buffer, the interface list, the select-configuration URB and its
    // request.
    ASSERT_EQ(attempts, 7u);
    for (uint64_t n = 1; n <= attempts; ++n) {
        SCOPED_TRACE("failed allocation " + std::to_string(n));
        uint64_t before = hostk::outstandingAllocations();
        UsbTestDevice d;
        hostk::failAllocation(n);
        EXPECT_EQ(ConfigureDevice(d.fdo), STATUS_INSUFFICIENT_RESOURCES);
        expectNothingStored(d);
        EXPECT_EQ(hostk::outstandingAllocations(), before) << hostk::describeOutstanding();
    }
}

TEST_F(UsbTransport, ConfigurationDescriptorsAreCheckedBeforeUse) {
    const Bytes iface0 = interfaceDescriptor(0, 1, 0x58);
    const Bytes ep81 = endpointDescriptor(0x81);
    const Bytes iface1 = interfaceDescriptor(1, 0, 0x59);
    const Bytes real = hostk::UsbReceiver::realConfigurationDescriptor();
    Bytes notConfiguration = real;
    notConfiguration[1] = 0x04;
    Bytes trailing = real;
    trailing.insert(trailing.end(), {0xFF, 0xFF, 0x00});
    const Bytes hidClass = {0x09, 0x21, 0x10, 0x01, 0x00, 0x01, 0x22, 0x1B, 0x00};

    struct Row {
        const char* name;
        Bytes bytes;
        NTSTATUS expected;
        std::vector<UCHAR> interfaces = {}; // named in the select-configuration request
    };
    const Row rows[] = {
        {"first interface with two endpoints",
         configuration({interfaceDescriptor(0, 2, 0x58), ep81, endpointDescriptor(0x02)}),
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"first interface without endpoint", configuration({iface1, iface0, ep81}, -1, 2),
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"no interface", configuration({}), STATUS_DEVICE_CONFIGURATION_ERROR},
        {"only endpoints", configuration({ep81}), STATUS_DEVICE_CONFIGURATION_ERROR},
        {"wTotalLength below nine", configuration({}, 8), STATUS_DEVICE_CONFIGURATION_ERROR},
        {"wTotalLength zero", configuration({}, 0), STATUS_DEVICE_CONFIGURATION_ERROR},
        {"wTotalLength beyond what the device returns", configuration({iface0, ep81}, 200),
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"descriptor running past wTotalLength", configuration({iface0, ep81}, 9 + 9 + 4),
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"zero-length descriptor", configuration({iface0, endpointDescriptor(0x81, 0)}),
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"one-byte descriptor", configuration({iface0, endpointDescriptor(0x81, 1)}),
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"interface descriptor shorter than nine bytes",
         configuration({interfaceDescriptor(0, 1, 0x58, 5), ep81}), STATUS_DEVICE_CONFIGURATION_ERROR},
        {"not a configuration descriptor", notConfiguration, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"configuration descriptor shorter than nine bytes", Bytes{0x09, 0x02, 0x22, 0x00, 0x02},
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"empty reply", Bytes{}, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"real receiver", real, STATUS_SUCCESS, {0, 1}},
        {"bytes after wTotalLength", trailing, STATUS_SUCCESS, {0, 1}},
        {"class descriptor between interface and endpoint",
         configuration({iface0, hidClass, ep81}),
         STATUS_SUCCESS,
         {0}},
        {"second interface with two endpoints",
         configuration({iface0, ep81, interfaceDescriptor(1, 2, 0x59), endpointDescriptor(0x82),
                        endpointDescriptor(0x03)},
                       -1, 2),
         STATUS_SUCCESS,
         {0, 1}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        uint64_t before = hostk::outstandingAllocations();
        UsbTestDevice d;
        d.receiver.setConfigurationDescriptor(row.bytes);
        EXPECT_EQ(ConfigureDevice(d.fdo), row.expected);
        if (row.expected == STATUS_SUCCESS) {
            EXPECT_TRUE(d.ext->Configured);
            EXPECT_EQ(d.ext->InterruptPipe, d.receiver.interruptPipeHandle());
            EXPECT_EQ(d.receiver.selectedInterfaces(), row.interfaces);
            UnconfigureDevice(d.fdo);
        } else {
            expectNothingStored(d);
        }
        EXPECT_EQ(hostk::outstandingAllocations(), before) << hostk::describeOutstanding();
    }
}

TEST_F(UsbTransport, HeaderThatDisagreesWithTheFullDescriptorIsCheckedAgainstWhatArrived) {
    const Bytes real = hostk::UsbReceiver::realConfigurationDescriptor();
    Bytes claimsMore = real;
    claimsMore[2] = 0x2C; // 300 bytes claimed by the full descriptor, 34 present
    claimsMore[3] = 0x01;
    struct Row {
        const char* name;
        uint16_t headerTotal;
        Bytes full;
        NTSTATUS expected;
    };
    const Row rows[] = {
        {"header shorter than the descriptor", 20, real, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"full descriptor claiming more than it returns", 34, claimsMore, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"header longer than the descriptor", 200, real, STATUS_SUCCESS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        uint64_t before = hostk::outstandingAllocations();
        UsbTestDevice d;
        Bytes header(real.begin(), real.begin() + 9);
        header[2] = (uint8_t)(row.headerTotal & 0xFF);
        header[3] = (uint8_t)(row.headerTotal >> 8);
        d.receiver.setConfigurationHeader(header);
        d.receiver.setConfigurationDescriptor(row.full);
        EXPECT_EQ(ConfigureDevice(d.fdo), row.expected);
        if (row.expected == STATUS_SUCCESS)
            UnconfigureDevice(d.fdo);
        else
            expectNothingStored(d);
        EXPECT_EQ(hostk::outstandingAllocations(), before) << hostk::describeOutstanding();
    }
}

TEST_F(UsbTransport, ShortDeviceDescriptorLeavesZerosNotAnEarlierDevice) {
    StartedDevice d;
    ASSERT_EQ(d.configured, STATUS_SUCCESS);
    UnconfigureDevice(d.fdo);
    Bytes shortDescriptor = hostk::UsbReceiver::realDeviceDescriptor();
    shortDescriptor.resize(8);
    d.receiver.setDeviceDescriptor(shortDescriptor);
    ASSERT_EQ(ConfigureDevice(d.fdo), STATUS_SUCCESS);
    EXPECT_EQ(d.ext->DeviceDescriptor.bMaxPacketSize0, 0x40);
    EXPECT_EQ(d.ext->DeviceDescriptor.idVendor, 0);
    EXPECT_EQ(d.ext->DeviceDescriptor.idProduct, 0);
}

// ---- Transfer resources --------------------------------------------------------------------------------

TEST_F(UsbTransport, TransferResourcesAreOneRequestAndOneUrbBlock) {
    UsbTestDevice d;
    ASSERT_EQ(AllocateTransferResources(d.fdo), STATUS_SUCCESS);
    ASSERT_NE(d.ext->TransferIrp, nullptr);
    ASSERT_NE(d.ext->TransferUrb, nullptr);
    EXPECT_EQ(d.ext->TransferIrp->StackCount, d.receiver.pdo()->StackSize);
    EXPECT_EQ(hostk::outstandingAllocations(QELM_POOL_TAG), 1u);
    EXPECT_EQ(hostk::outstandingAllocations(hostk::IrpPoolTag), 1u);
    FreeTransferResources(d.fdo);
    EXPECT_EQ(d.ext->TransferIrp, nullptr);
    EXPECT_EQ(d.ext->TransferUrb, nullptr);
}

TEST_F(UsbTransport, FailedTransferResourceAllocationLeavesNothing) {
    for (uint64_t n : {1u, 2u}) {
        SCOPED_TRACE("failed allocation " + std::to_string(n));
        uint64_t before = hostk::outstandingAllocations();
        UsbTestDevice d;
        hostk::failAllocation(n);
        EXPECT_EQ(AllocateTransferResources(d.fdo), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(d.ext->TransferIrp, nullptr);
        EXPECT_EQ(d.ext->TransferUrb, nullptr);
        EXPECT_EQ(hostk::outstandingAllocations(), before) << hostk::describeOutstanding();
    }
}

// ---- Interrupt transfers ---------------------------------------------------------------------------------

TEST_F(UsbTransport, TransferUrbAsksForAWholePacketInOnTheInterruptPipe) {
    StartedDevice d;
    ASSERT_EQ(d.configured, STATUS_SUCCESS);
    d.receiver.clearRequests();

    EXPECT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);

    const auto& urb = d.ext->TransferUrb->UrbBulkOrInterruptTransfer;
    EXPECT_EQ(urb.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb.Hdr.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_EQ(urb.PipeHandle, d.receiver.interruptPipeHandle());
    EXPECT_EQ(urb.TransferFlags, 3u);
    EXPECT_EQ(urb.TransferBufferLength, 8u); // the endpoint's maximum packet size
    EXPECT_EQ(urb.TransferBufferMDL, nullptr);
    EXPECT_EQ(urb.UrbLink, nullptr);
    // The stack writes into the staging buffer behind the URB, never straight into LatestReport.
    EXPECT_EQ(urb.TransferBuffer, reinterpret_cast<PQELM_TRANSFER_BLOCK>(d.ext->TransferUrb)->Staging);

    auto requests = d.receiver.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].ioControlCode, 0x00220003u);
    EXPECT_EQ(requests[0].urbFunction, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_TRUE(d.ext->TransferBusy);
    EXPECT_EQ(d.removeLockHolders(), 1);

    d.deliver({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(d.latestReport(), (Report{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(d.ext->TransferBusy);
    EXPECT_EQ(d.removeLockHolders(), 0);
}

TEST_F(UsbTransport, SecondStartWhileATransferIsOutstandingIsBusyAndChangesNothing) {
    StartedDevice d;
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(StartInterruptTransfer(d.ext), STATUS_DEVICE_BUSY);
    EXPECT_EQ(d.receiver.pendingTransfers(), 1u);
    EXPECT_EQ(d.removeLockHolders(), 1);
    EXPECT_TRUE(d.ext->TransferBusy);

    d.deliver({9, 9, 9, 9, 9, 9});
    EXPECT_EQ(d.latestReport(), (Report{9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    d.deliver({7, 7, 7, 7, 7, 7});
    EXPECT_EQ(d.receiver.completedTransfers(), 2u);
}

TEST_F(UsbTransport, CancelledTransferEndsOnceAndLeavesTheReport) {
    StartedDevice d;
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    d.deliver({1, 2, 3, 4, 5, 6});
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);

    CancelInterruptTransfer(d.ext);

    EXPECT_EQ(d.receiver.cancelledTransfers(), 1u);
    EXPECT_EQ(d.receiver.pendingTransfers(), 0u);
    EXPECT_FALSE(d.ext->TransferBusy);
    EXPECT_EQ(d.removeLockHolders(), 0); // released exactly once (a second release stops the process)
    EXPECT_EQ(d.latestReport(), (Report{1, 2, 3, 4, 5, 6}));

    // Cancelling an idle transfer does nothing, and the next transfer runs normally.
    CancelInterruptTransfer(d.ext);
    EXPECT_EQ(d.receiver.cancelledTransfers(), 1u);
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    EXPECT_EQ(d.receiver.pendingTransfers(), 1u);
    d.deliver({6, 5, 4, 3, 2, 1});
    EXPECT_EQ(d.latestReport(), (Report{6, 5, 4, 3, 2, 1}));
}

TEST_F(UsbTransport, CancelOfTheIdleRequestDoesNotCancelTheNextTransfer) {
    StartedDevice d;
    // What a stop does: cancel TransferIrp whether or not a transfer is outstanding.
    EXPECT_FALSE(IoCancelIrp(d.ext->TransferIrp));
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    EXPECT_EQ(d.receiver.pendingTransfers(), 1u);
    EXPECT_EQ(d.receiver.cancelledTransfers(), 0u);
    d.deliver({1, 1, 1, 1, 1, 1});
    EXPECT_EQ(d.latestReport(), (Report{1, 1, 1, 1, 1, 1}));
}

TEST_F(UsbTransport, ShortPacketOverwritesOnlyItsOwnLength) {
    for (size_t length = 0; length <= 6; ++length) {
        SCOPED_TRACE("packet of " + std::to_string(length) + " bytes");
        StartedDevice d;
        ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
        d.deliver({0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
        ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
        const uint8_t packet[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
        ASSERT_TRUE(d.receiver.deliver(packet, length));
        Report expected = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
        memcpy(expected.data(), packet, length);
        EXPECT_EQ(d.latestReport(), expected);
        EXPECT_FALSE(d.ext->TransferBusy);
    }
}

// ---- Pipe errors ------------------------------------------------------------------------------------------

size_t resetRequests(const hostk::UsbReceiver& receiver) {
    size_t count = 0;
    for (const auto& request : receiver.requests())
        if (request.urbFunction == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
            ++count;
    return count;
}

size_t driverErrorLines() {
    size_t count = 0;
    for (const auto& line : hostk::debugPrints())
        if (line.component == DPFLTR_IHVDRIVER_ID && line.level == DPFLTR_ERROR_LEVEL &&
            line.text.rfind("qelmrc: ", 0) == 0)
            ++count;
    return count;
}

// A failed transfer halts the pipe (the bus model then fails every transfer at once): the driver resets it
// from a work item, keeps the report it had, and the next transfer brings the next packet.
TEST_F(UsbTransport, FailedTransferResetsTheHaltedPipeAndTheNextPacketArrives) {
    struct Row {
        const char* name;
        void (*fail)(hostk::UsbReceiver&);
    };
    const Row rows[] = {
        {"stall", [](hostk::UsbReceiver& r) { ASSERT_TRUE(r.stall()); }},
        {"transaction error", [](hostk::UsbReceiver& r) { ASSERT_TRUE(r.transactionError()); }},
        {"babble (a packet longer than the endpoint's eight bytes)",
         [](hostk::UsbReceiver& r) {
             const uint8_t babble[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
             ASSERT_TRUE(r.deliver(babble, sizeof babble));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StartedDevice d;
        ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
        d.deliver({1, 2, 3, 4, 5, 6});
        ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
        hostk::clearDebugPrints();

        row.fail(d.receiver);
        ASSERT_TRUE(d.receiver.waitForPipeResets(1, std::chrono::seconds(10)));
        ASSERT_TRUE(hostk::waitForWorkItems());

        EXPECT_EQ(d.latestReport(), (Report{1, 2, 3, 4, 5, 6}));
        EXPECT_FALSE(d.receiver.pipeHalted());
        EXPECT_EQ(resetRequests(d.receiver), 1u);
        EXPECT_FALSE(d.ext->TransferBusy);
        EXPECT_EQ(d.removeLockHolders(), 0); // the reset gave back the transfer's hold
        EXPECT_EQ(driverErrorLines(), 1u);   // one line for the failure

        ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
        ASSERT_EQ(d.receiver.pendingTransfers(), 1u) << "the transfer after the reset failed at once";
        d.deliver({7, 7, 7, 7, 7, 7});
        EXPECT_EQ(d.latestReport(), (Report{7, 7, 7, 7, 7, 7}));
        EXPECT_EQ(d.ext->PipeErrorCount, 0u);
    }
}

// A receiver whose every transfer fails: the first failures in a row are each reset at once, then only every
// QELM_READS_BETWEEN_LATE_RESETS reads; each failure leaves one line. Once it works again, packets arrive.
TEST_F(UsbTransport, ReceiverThatKeepsFailingIsNotResetInATightLoop) {
    StartedDevice d;
    d.receiver.setFailEveryTransfer(true);
    hostk::clearDebugPrints();
    constexpr ULONG Reads = 1000;
    for (ULONG i = 0; i < Reads; ++i) {
        (void)StartInterruptTransfer(d.ext);
        ASSERT_TRUE(hostk::waitForWorkItems());
    }
    // Reads 1-3 fail and are reset at once; read 4 fails; from then on each cycle of 1 + N reads is one reset
    // (the N-th read queues it) and one failed transfer (the read after it).
    constexpr ULONG Cycle = QELM_READS_BETWEEN_LATE_RESETS + 1;
    constexpr ULONG LateCycles = (Reads - (QELM_PIPE_RESETS_IN_A_ROW + 1)) / Cycle;
    EXPECT_EQ(d.receiver.pipeResets(), QELM_PIPE_RESETS_IN_A_ROW + LateCycles);
    EXPECT_EQ(d.receiver.failedTransfers(), QELM_PIPE_RESETS_IN_A_ROW + 1 + LateCycles);
    EXPECT_LT(d.receiver.pipeResets(), Reads / 50) << "reset in a tight loop";
    EXPECT_EQ(driverErrorLines(), d.receiver.failedTransfers());
    EXPECT_FALSE(d.ext->TransferBusy);
    EXPECT_EQ(d.removeLockHolders(), 0);

    // The receiver recovers: within one more cycle of reads the pipe is reset and a transfer pends again.
    d.receiver.setFailEveryTransfer(false);
    for (ULONG i = 0; i <= Cycle && d.receiver.pendingTransfers() == 0; ++i) {
        (void)StartInterruptTransfer(d.ext);
        ASSERT_TRUE(hostk::waitForWorkItems());
    }
    ASSERT_EQ(d.receiver.pendingTransfers(), 1u);
    d.deliver({5, 5, 5, 5, 5, 5});
    EXPECT_EQ(d.latestReport(), (Report{5, 5, 5, 5, 5, 5}));
    EXPECT_EQ(d.ext->PipeErrorCount, 0u);
}

// A reset queued just before a stop begins is not sent: the stop waits for it and nothing reaches the pipe.
TEST_F(UsbTransport, NoPipeResetIsSentOnceStopHasBegun) {
    StartedDevice d;
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    hostk::pauseWorkItems(true);
    ASSERT_TRUE(d.receiver.stall());
    ASSERT_EQ(hostk::queuedWorkItems(), 1u);
    EXPECT_EQ(StartInterruptTransfer(d.ext), STATUS_DEVICE_BUSY); // no transfer on the halted pipe meanwhile

    std::thread stopper([&] { StopInterruptTransfers(d.ext); });
    // The stop cannot finish while the reset holds the transfer state.
    while (!d.ext->TransferStopping)
        std::this_thread::yield();
    hostk::pauseWorkItems(false);
    stopper.join();
    ASSERT_TRUE(hostk::waitForWorkItems());
    EXPECT_EQ(resetRequests(d.receiver), 0u);
    EXPECT_FALSE(d.ext->TransferBusy);
    EXPECT_EQ(d.removeLockHolders(), 0);
    EXPECT_EQ(StartInterruptTransfer(d.ext), STATUS_INVALID_DEVICE_STATE);
    AllowInterruptTransfers(d.ext); // as the next start does
}

TEST_F(UsbTransport, NoTransferStartsOnceRemovalHasBegun) {
    StartedDevice d;
    int tag;
    ASSERT_EQ(IoAcquireRemoveLock(&d.ext->RemoveLock, &tag), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&d.ext->RemoveLock, &tag);
    d.receiver.clearRequests();

    EXPECT_EQ(StartInterruptTransfer(d.ext), STATUS_DELETE_PENDING);
    EXPECT_FALSE(d.ext->TransferBusy);
    EXPECT_TRUE(d.receiver.requests().empty());
}

TEST_F(UsbTransport, TransferPathAllocatesNothing) {
    StartedDevice d;
    d.receiver.setRecording(false);
    uint64_t attempts = hostk::allocationAttempts();
    uint64_t live = hostk::outstandingAllocations();
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
        Report packet = {(uint8_t)i, 0, (uint8_t)(i >> 8), 0, 0x41, 0};
        d.deliver(packet);
    }
    EXPECT_EQ(hostk::allocationAttempts(), attempts);
    EXPECT_EQ(hostk::outstandingAllocations(), live);
    EXPECT_EQ(d.receiver.completedTransfers(), 10000u);
    EXPECT_EQ(d.latestReport(), (Report{(uint8_t)9999, 0, (uint8_t)(9999 >> 8), 0, 0x41, 0}));
}

// ---- Un-configuration ------------------------------------------------------------------------------------

TEST_F(UsbTransport, StopWithoutStartSendsNothingAndFreesNothing) {
    UsbTestDevice d;
    ASSERT_EQ(AllocateTransferResources(d.fdo), STATUS_SUCCESS);
    uint64_t live = hostk::outstandingAllocations();
    UnconfigureDevice(d.fdo);
    EXPECT_TRUE(d.receiver.requests().empty());
    EXPECT_EQ(hostk::outstandingAllocations(), live);
    EXPECT_NE(d.ext->TransferIrp, nullptr);
    FreeTransferResources(d.fdo);
}

TEST_F(UsbTransport, StopCancelsTheOutstandingTransferBeforeUnconfiguring) {
    StartedDevice d;
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    d.receiver.clearRequests();
    UnconfigureDevice(d.fdo);
    EXPECT_EQ(d.receiver.cancelledTransfers(), 1u);
    EXPECT_FALSE(d.ext->TransferBusy);
    EXPECT_EQ(d.removeLockHolders(), 0);
    auto requests = d.receiver.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].urbFunction, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_FALSE(requests[0].withConfiguration);
    expectNothingStored(d);
}

TEST_F(UsbTransport, FailedUnconfigureRequestIsIgnored) {
    StartedDevice d;
    d.receiver.failUrb(URB_FUNCTION_SELECT_CONFIGURATION, 0, 1, STATUS_DEVICE_NOT_CONNECTED);
    UnconfigureDevice(d.fdo);
    EXPECT_FALSE(d.ext->Configured);
    EXPECT_EQ(d.ext->ConfigurationBuffer, nullptr);
    EXPECT_EQ(hostk::outstandingAllocations(QELM_POOL_TAG), 1u); // only the transfer URB block
}

TEST_F(UsbTransport, StartAfterStopConfiguresAgain) {
    StartedDevice d;
    ASSERT_EQ(d.configured, STATUS_SUCCESS);
    UnconfigureDevice(d.fdo);
    ASSERT_EQ(ConfigureDevice(d.fdo), STATUS_SUCCESS);
    EXPECT_EQ(d.receiver.selectConfigurationCount(), 2u);
    ASSERT_EQ(StartInterruptTransfer(d.ext), STATUS_PENDING);
    d.deliver({3, 3, 3, 3, 3, 3});
    EXPECT_EQ(d.latestReport(), (Report{3, 3, 3, 3, 3, 3}));
}

} // namespace
