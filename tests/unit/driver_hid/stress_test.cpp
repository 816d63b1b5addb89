// Real threads: the HID class stand-in polls every millisecond while packets arrive from another thread
// and the device goes through start, stop, surprise removal and removal, again and again. Run under
// ThreadSanitizer in the host-tsan build; every cycle must leave no pool block and no remove-lock hold
// behind, and no report may ever mix two packets.
#include "driver_fixture.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace qelmtest {
namespace {

constexpr int kCycles = 1000;

class Stress : public DriverTest {
  protected:
    // Packets of six equal bytes 1..255, delivered whenever a transfer is pending.
    void feed() {
        UCHAR value = 1;
        while (!stopFeeding_.load()) {
            if (!receiver_->waitForPendingTransfers(1, std::chrono::milliseconds(1))) {
                continue;
            }
            UCHAR packet[6];
            std::memset(packet, value, sizeof(packet));
            if (receiver_->deliver(packet, sizeof(packet))) {
                value = value == 255 ? 1 : value + 1;
                delivered_++;
            }
        }
    }

    void consume(const UCHAR* report, ULONG length) {
        bool whole = length == 6;
        for (ULONG i = 1; whole && i < length; ++i) {
            whole = report[i] == report[0];
        }
        if (!whole) {
            mixed_++;
        }
        std::lock_guard<std::mutex> guard(lock_);
        reports_++;
        changed_.notify_all();
    }

    // Waits until the poll thread has handed over `count` more reports.
    bool waitForReports(uint64_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        uint64_t target = reports_ + count;
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return reports_ >= target; });
    }

    void newDevice() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device_ = hostk::HidClassDriver::instance().addDevice(receiver_->pdo(), &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        device_->setPollInterval(std::chrono::milliseconds(1));
        device_->setConsumer([this](const UCHAR* report, ULONG length) { consume(report, length); });
    }

    void startAndPoll() {
        ASSERT_EQ(device_->start(), STATUS_SUCCESS);
        ASSERT_TRUE(device_->polling());
        ASSERT_TRUE(waitForReports(2));
    }

    std::atomic<bool> stopFeeding_{false};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> mixed_{0};
    std::mutex lock_;
    std::condition_variable changed_;
    uint64_t reports_ = 0;
};

TEST_F(Stress, PollingThroughStartStopSurpriseRemovalAndRemovalLeavesNothingBehind) {
    ASSERT_EQ(enterDriver(), STATUS_SUCCESS);
    const uint64_t entryBlocks = driverBlocks(); // the registry-path copy
    std::thread feeder([this] { feed(); });

    for (int cycle = 0; cycle < kCycles && !HasFatalFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        newDevice();
        startAndPoll();
        switch (cycle % 3) {
        case 0: // stop, start again, surprise removal, removal
            ASSERT_EQ(device_->stop(), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 1);
            ASSERT_FALSE(extension()->TransferBusy);
            startAndPoll();
            ASSERT_EQ(device_->surpriseRemove(), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 0);
            ASSERT_FALSE(extension()->TransferBusy);
            break;
        case 1: // stop, start again, removal with the transfer outstanding or just completing
            ASSERT_EQ(device_->stop(), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 1);
            startAndPoll();
            break;
        case 2: // surprise removal straight from polling
            ASSERT_EQ(device_->surpriseRemove(), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 0);
            break;
        }
        ASSERT_EQ(device_->remove(), STATUS_SUCCESS);
        device_.reset();
        ASSERT_EQ(driverBlocks(), entryBlocks) << hostk::describeOutstanding();
        ASSERT_EQ(hostk::outstandingAllocations(hostk::IrpPoolTag), 0u) << hostk::describeOutstanding();
    }

    stopFeeding_ = true;
    feeder.join();
    EXPECT_EQ(mixed_.load(), 0u);
    EXPECT_GT(delivered_.load(), 0u);
    RecordProperty("reports", static_cast<int>(reports_));
    RecordProperty("packets", static_cast<int>(delivered_.load()));
}

} // namespace
} // namespace qelmtest
