// The teardown race on real threads: the HID class stand-in polls every 50 microseconds and keeps polling
// while stop, surprise removal and removal are handled, while packets (and now and then a stall, whose pipe
// reset then races the teardown) arrive from another thread, again and again. Run under ThreadSanitizer in
// the host-tsan build; every cycle must leave no pool block, request, work item or remove-lock hold behind,
// and no report may ever mix two packets.
#include "driver_fixture.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace qelmtest {
namespace {

constexpr int kCycles = 1000;
constexpr int kStallEvery = 7; // one pending transfer in seven is stalled instead of answered

class Stress : public DriverTest {
  protected:
    // Packets of six equal bytes 1..255, delivered whenever a transfer is pending; every kStallEvery-th
    // pending transfer is stalled instead.
    void feed() {
        UCHAR value = 1;
        unsigned turn = 0;
        while (!stopFeeding_.load()) {
            if (!receiver_->waitForPendingTransfers(1, std::chrono::milliseconds(1))) {
                continue;
            }
            if (++turn % kStallEvery == 0) {
                if (receiver_->stall()) {
                    stalls_++;
                }
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
        device_->setPollInterval(std::chrono::microseconds(50));
        device_->setPollDuringTeardown(true);
        device_->setConsumer([this](const UCHAR* report, ULONG length) { consume(report, length); });
    }

    void startAndPoll() {
        ASSERT_EQ(device_->start(), STATUS_SUCCESS);
        ASSERT_TRUE(device_->polling());
        ASSERT_TRUE(waitForReports(2));
    }

    // Sends one teardown request while the poll thread reads on; counts the reads that ran meanwhile.
    NTSTATUS racing(NTSTATUS (hostk::HidClassDevice::*request)()) {
        ULONG before = device_->pollCount();
        NTSTATUS status = (device_.get()->*request)();
        readsDuringTeardown_ += device_ ? device_->pollCount() - before : 0;
        return status;
    }

    std::atomic<bool> stopFeeding_{false};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> stalls_{0};
    std::atomic<uint64_t> mixed_{0};
    uint64_t readsDuringTeardown_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    uint64_t reports_ = 0;
};

TEST_F(Stress, ReadsRacingWithStopSurpriseRemovalAndRemovalLeaveNothingBehind) {
    ASSERT_EQ(enterDriver(), STATUS_SUCCESS);
    const uint64_t entryBlocks = hostk::outstandingAllocations(); // the registry-path copy
    std::thread feeder([this] { feed(); });

    for (int cycle = 0; cycle < kCycles && !HasFatalFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        newDevice();
        startAndPoll();
        switch (cycle % 3) {
        case 0: // stop, start again, surprise removal, removal
            ASSERT_EQ(racing(&hostk::HidClassDevice::stop), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 1);
            ASSERT_FALSE(QelmReadBoolean(&extension()->TransferBusy));
            startAndPoll();
            ASSERT_EQ(racing(&hostk::HidClassDevice::surpriseRemove), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 0);
            ASSERT_FALSE(QelmReadBoolean(&extension()->TransferBusy));
            break;
        case 1: // stop, start again, removal with the transfer outstanding or just completing
            ASSERT_EQ(racing(&hostk::HidClassDevice::stop), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 1);
            startAndPoll();
            break;
        case 2: // surprise removal straight from polling
            ASSERT_EQ(racing(&hostk::HidClassDevice::surpriseRemove), STATUS_SUCCESS);
            ASSERT_EQ(removeLockCount(), 0);
            break;
        }
        ASSERT_EQ(racing(&hostk::HidClassDevice::remove), STATUS_SUCCESS);
        device_.reset();
        ASSERT_TRUE(hostk::waitForWorkItems());
        ASSERT_EQ(hostk::outstandingAllocations(), entryBlocks) << hostk::describeOutstanding();
    }

    stopFeeding_ = true;
    feeder.join();
    EXPECT_EQ(mixed_.load(), 0u);
    EXPECT_GT(delivered_.load(), 0u);
    EXPECT_GT(stalls_.load(), 0u);
    EXPECT_GT(receiver_->pipeResets(), 0u);
    EXPECT_GT(readsDuringTeardown_, 0u) << "no read raced a teardown request";
    RecordProperty("reports", static_cast<int>(reports_));
    RecordProperty("packets", static_cast<int>(delivered_.load()));
    RecordProperty("stalls", static_cast<int>(stalls_.load()));
    RecordProperty("reads_during_teardown", static_cast<int>(readsDuringTeardown_));
}

} // namespace
} // namespace qelmtest
