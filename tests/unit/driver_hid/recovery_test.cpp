// The driver recovering on its own while the HID class driver polls: USB pipe errors, sleep and wake, and
// the traces and pool choices that let a field failure be diagnosed. Host kernel, real threads.
#include "driver_fixture.h"

#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace qelmtest {
namespace {

using Report = std::array<UCHAR, 6>;

class Recovery : public DriverTest {
  protected:
    // A started device polled every millisecond; every report goes to `reports_`.
    void startPolling() {
        ASSERT_NO_FATAL_FAILURE(addDevice());
        device_->setAutoPoll(true);
        device_->setPollInterval(std::chrono::milliseconds(1));
        device_->setConsumer([this](const UCHAR* report, ULONG length) {
            Report copy{};
            std::memcpy(copy.data(), report, length < 6 ? length : 6);
            std::lock_guard<std::mutex> guard(lock_);
            reports_.push_back(copy);
            changed_.notify_all();
        });
        ASSERT_EQ(device_->start(), STATUS_SUCCESS);
    }

    // A press: the button's packet, delivered to the next transfer the driver starts; true once a polled
    // report carries it.
    bool press(UCHAR button) {
        const Report packet = {0, 0, button, 0, 0x41, 0};
        if (!receiver_->waitForPendingTransfers(1, std::chrono::seconds(10)) ||
            !receiver_->deliver(packet.data(), packet.size())) {
            ADD_FAILURE() << "no transfer pending for button " << int(button);
            return false;
        }
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10),
                                 [&] { return !reports_.empty() && reports_.back() == packet; });
    }

    // Waits until `count` more reports have been polled.
    bool morePolls(size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        size_t target = reports_.size() + count;
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return reports_.size() >= target; });
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

TEST_F(Recovery, PressesAfterAStallOrATransactionErrorArrive) {
    ASSERT_NO_FATAL_FAILURE(startPolling());
    ASSERT_TRUE(press(0x11));
    hostk::clearDebugPrints();
    struct Row {
        const char* name;
        bool (hostk::UsbReceiver::*fail)();
        UCHAR next;
    };
    const Row rows[] = {
        {"stall", &hostk::UsbReceiver::stall, 0x22},
        {"transaction error", &hostk::UsbReceiver::transactionError, 0x33},
        {"stall again", &hostk::UsbReceiver::stall, 0x44},
    };
    uint64_t resets = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(receiver_->waitForPendingTransfers(1, std::chrono::seconds(10)));
        ASSERT_TRUE((receiver_.get()->*row.fail)());
        ASSERT_TRUE(receiver_->waitForPipeResets(++resets, std::chrono::seconds(10)));
        EXPECT_TRUE(press(row.next)) << "the press after the error did not arrive";
    }
    EXPECT_EQ(receiver_->pipeResets(), 3u);
    EXPECT_EQ(receiver_->failedTransfers(), 3u); // no transfer failed on a halted pipe
    EXPECT_EQ(device_->pollFailures(), 0u);      // every read succeeded throughout
    EXPECT_EQ(hostk::debugPrints().size(), 3u);  // one line per failed transfer
}

// The class driver puts the device in D3 when the system sleeps (S3) or hibernates (S4) and back in D0 on
// wake; it keeps polling meanwhile. The endpoint's state does not survive: only a pipe reset lets the
// presses after wake arrive.
TEST_F(Recovery, PressesAfterSleepAndWakeArrive) {
    ASSERT_NO_FATAL_FAILURE(startPolling());
    ASSERT_TRUE(press(0x10));
    UCHAR button = 0x20;
    for (SYSTEM_POWER_STATE sleep : {PowerSystemSleeping3, PowerSystemHibernate, PowerSystemSleeping3}) {
        SCOPED_TRACE(testing::Message() << "S" << (sleep == PowerSystemHibernate ? 4 : 3));
        receiver_->clearRequests();
        uint64_t resets = receiver_->pipeResets();

        ASSERT_EQ(device_->sleep(sleep), STATUS_SUCCESS);
        EXPECT_EQ(receiver_->powerState(), PowerDeviceD3);
        bool sawD3 = false;
        for (const auto& request : receiver_->requests()) {
            if (request.majorFunction == IRP_MJ_POWER && request.powerType == DevicePowerState) {
                sawD3 = true;
                EXPECT_EQ(request.transfersPending, 0u) << "the transfer was not cancelled before D3";
            }
        }
        EXPECT_TRUE(sawD3);
        ASSERT_TRUE(morePolls(20)); // reads go on answering while the device sleeps
        EXPECT_EQ(receiver_->pendingTransfers(), 0u);
        EXPECT_EQ(receiver_->transfersWhilePoweredDown(), 0u);

        ASSERT_EQ(device_->wake(), STATUS_SUCCESS);
        ASSERT_TRUE(receiver_->waitForPipeResets(resets + 1, std::chrono::seconds(10)));
        button = (UCHAR)(button + 0x10);
        EXPECT_TRUE(press(button)) << "the press after wake did not arrive";
        EXPECT_EQ(device_->pollFailures(), 0u);
        EXPECT_EQ(removeLockCount(), 2); // the lock's bias and the transfer now outstanding
    }
    EXPECT_EQ(receiver_->failedTransfers(), 0u);
}

// The device fails to power up on the first return to D0: it stays powered down, nothing is sent to it, and
// reads go on answering. The next return to D0 that succeeds resets the pipe once and the presses arrive.
TEST_F(Recovery, AFailedReturnToD0IsMadeGoodByTheNextOne) {
    ASSERT_NO_FATAL_FAILURE(startPolling());
    ASSERT_TRUE(press(0x10));
    ASSERT_EQ(device_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    const uint64_t resets = receiver_->pipeResets();

    receiver_->failNextPowerUp(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device_->wake(), STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(hostk::waitForWorkItems());
    EXPECT_EQ(receiver_->powerState(), PowerDeviceD3);
    ASSERT_TRUE(morePolls(20));
    EXPECT_EQ(receiver_->pendingTransfers(), 0u) << "a transfer was sent to a device that did not power up";
    EXPECT_EQ(receiver_->transfersWhilePoweredDown(), 0u);
    EXPECT_EQ(receiver_->pipeResets(), resets);

    ASSERT_EQ(device_->wake(), STATUS_SUCCESS);
    ASSERT_TRUE(receiver_->waitForPipeResets(resets + 1, std::chrono::seconds(10)));
    EXPECT_TRUE(press(0x20)) << "the press after the successful return to D0 did not arrive";
    EXPECT_TRUE(press(0x30));
    EXPECT_EQ(receiver_->pipeResets(), resets + 1);
    EXPECT_EQ(receiver_->failedTransfers(), 0u);
    EXPECT_EQ(device_->pollFailures(), 0u);

    // And once more through a whole sleep: nothing was left behind by the failure.
    ASSERT_EQ(device_->sleep(PowerSystemHibernate), STATUS_SUCCESS);
    ASSERT_EQ(device_->wake(), STATUS_SUCCESS);
    ASSERT_TRUE(receiver_->waitForPipeResets(resets + 2, std::chrono::seconds(10)));
    EXPECT_TRUE(press(0x40));
}

// A device stopped while it sleeps is started again in D0: transfers start without a wake.
TEST_F(Recovery, StopWhileAsleepThenStartPollsAgain) {
    ASSERT_NO_FATAL_FAILURE(startPolling());
    ASSERT_TRUE(press(0x10));
    ASSERT_EQ(device_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(device_->stop(), STATUS_SUCCESS);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    ASSERT_EQ(device_->sendPower(IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_SUCCESS);
    ASSERT_TRUE(hostk::waitForWorkItems());
    ASSERT_EQ(device_->start(), STATUS_SUCCESS);
    EXPECT_TRUE(press(0x77));
}

// Each way a start can fail leaves exactly one line for a kernel debugger, at error level, from this driver.
TEST_F(Recovery, EachFailedStartLeavesOneDebugLine) {
    ASSERT_NO_FATAL_FAILURE(addDevice());
    constexpr USHORT LowerDrivers = 0xFFFF, NoUrb = 0xFFFE;
    struct Row {
        const char* name;
        USHORT function; // LowerDrivers: they fail the start itself; NoUrb: no URB fails
        UCHAR descriptorType;
        unsigned occurrence;
        std::vector<uint8_t> configuration; // empty: the real one
    };
    const Row rows[] = {
        {"lower drivers", LowerDrivers, 0, 0, {}},
        {"device descriptor", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, 1, {}},
        {"configuration header", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 1, {}},
        {"full configuration", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 2, {}},
        {"select configuration", URB_FUNCTION_SELECT_CONFIGURATION, 0, 1, {}},
        {"malformed configuration", NoUrb, 0, 0, {0x09, 0x02, 0x09, 0x00, 0x00, 0x01, 0x00, 0x80, 0x32}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        receiver_->setConfigurationDescriptor(row.configuration.empty()
                                                  ? hostk::UsbReceiver::realConfigurationDescriptor()
                                                  : row.configuration);
        if (row.function == LowerDrivers) {
            receiver_->setPnpHandler([](PDEVICE_OBJECT, PIRP irp) {
                irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_DEVICE_NOT_CONNECTED;
            });
        } else if (row.function != NoUrb) {
            receiver_->failUrb(row.function, row.descriptorType, row.occurrence, STATUS_IO_DEVICE_ERROR);
        }
        hostk::clearDebugPrints();
        EXPECT_FALSE(NT_SUCCESS(device_->start()));
        receiver_->setPnpHandler(nullptr);
        auto lines = hostk::debugPrints();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].component, ULONG(DPFLTR_IHVDRIVER_ID));
        EXPECT_EQ(lines[0].level, ULONG(DPFLTR_ERROR_LEVEL));
        EXPECT_EQ(lines[0].text.rfind("qelmrc: ", 0), 0u) << lines[0].text;
        EXPECT_EQ(lines[0].text.back(), '\n');
        EXPECT_FALSE(extension()->Configured);
    }
    receiver_->setConfigurationDescriptor(hostk::UsbReceiver::realConfigurationDescriptor());
    hostk::clearDebugPrints();
    EXPECT_EQ(device_->start(), STATUS_SUCCESS);
    EXPECT_TRUE(hostk::debugPrints().empty()); // a good start says nothing
}

// Windows 8 (6.2) and later get no-execute pool; older versions, which have none, the classic pool.
class NonPagedPoolChoice : public DriverTest,
                           public ::testing::WithParamInterface<std::tuple<ULONG, ULONG, POOL_TYPE>> {
  protected:
    void TearDown() override {
        hostk::setWindowsVersion(10, 0, 19045);
        DriverTest::TearDown();
    }
};

TEST_P(NonPagedPoolChoice, FollowsTheRunningWindowsVersion) {
    auto [major, minor, expected] = GetParam();
    hostk::setWindowsVersion(major, minor, 1);
    ASSERT_NO_FATAL_FAILURE(startDevice());
    EXPECT_EQ(hostk::poolTypeOf(extension()->TransferUrb), expected);
    EXPECT_EQ(hostk::poolTypeOf(extension()->ConfigurationBuffer), expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, NonPagedPoolChoice,
                         ::testing::Values(std::make_tuple(5u, 1u, NonPagedPool),    // XP
                                           std::make_tuple(6u, 1u, NonPagedPool),    // 7
                                           std::make_tuple(6u, 2u, NonPagedPoolNx),  // 8
                                           std::make_tuple(6u, 3u, NonPagedPoolNx),  // 8.1
                                           std::make_tuple(10u, 0u, NonPagedPoolNx)) // 10, 11
);

} // namespace
} // namespace qelmtest
