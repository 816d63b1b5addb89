// Reads claiming transfers while the receiver completes them and a stop-like canceller cancels them, all on
// real threads at the interrupt levels the platform uses. Run under ThreadSanitizer in the host-tsan build.
#include "usb_device.h"

#include "hostkernel/leakcheck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class UsbConcurrency : public hostk::LeakCheckedTest {};

TEST_F(UsbConcurrency, ReadsCompletionsAndCancelsNeverTearAReportNorLoseATransfer) {
    constexpr int Deliveries = 1500;
    UsbTestDevice d;
    ASSERT_EQ(AllocateTransferResources(d.fdo), STATUS_SUCCESS);
    ASSERT_EQ(ConfigureDevice(d.fdo), STATUS_SUCCESS);
    d.receiver.setRecording(false);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> started{0}, refused{0}, unexpected{0}, torn{0}, cancels{0};

    auto reader = [&] {
        while (!stop.load()) {
            hostk::IrqlScope dispatch(DISPATCH_LEVEL); // reads arrive at raised level
            uint8_t report[6];
            CopyLatestReport(d.ext, report);
            for (int i = 1; i < 6; ++i)
                if (report[i] != report[0])
                    torn++;
            NTSTATUS status = StartInterruptTransfer(d.ext);
            if (status == STATUS_PENDING)
                started++;
            else if (status == STATUS_DEVICE_BUSY)
                refused++;
            else
                unexpected++;
        }
    };
    auto canceller = [&] {
        unsigned spin = 0;
        while (!stop.load()) {
            if (!d.receiver.waitForPendingTransfers(1, std::chrono::milliseconds(20)))
                continue;
            for (unsigned i = 0; i < spin % 13; ++i)
                std::this_thread::yield();
            ++spin;
            CancelInterruptTransfer(d.ext);
            cancels++;
        }
    };

    std::vector<std::thread> threads;
    threads.emplace_back(reader);
    threads.emplace_back(reader);
    threads.emplace_back(canceller);

    int delivered = 0;
    bool stalled = false;
    while (delivered < Deliveries && !stalled) {
        if (!d.receiver.waitForPendingTransfers(1, std::chrono::seconds(10))) {
            stalled = true;
            break;
        }
        uint8_t value = (uint8_t)(delivered % 250 + 1);
        const uint8_t packet[6] = {value, value, value, value, value, value};
        if (d.receiver.deliver(packet, sizeof packet)) // the canceller may have taken it first
            ++delivered;
    }
    stop = true;
    for (auto& thread : threads)
        thread.join();

    // Nothing starts transfers any more; end the last one, as a stop would.
    while (QelmReadBoolean(&d.ext->TransferBusy)) {
        CancelInterruptTransfer(d.ext);
        std::this_thread::yield();
    }

    ASSERT_FALSE(stalled) << "no transfer started for ten seconds";
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_EQ(unexpected.load(), 0u);
    EXPECT_GT(started.load(), (uint64_t)Deliveries - 1);
    EXPECT_EQ(d.receiver.completedTransfers(), started.load()) << "a started transfer never completed";
    EXPECT_EQ(d.receiver.pendingTransfers(), 0u);
    EXPECT_EQ(d.removeLockHolders(), 0);
    auto report = d.latestReport();
    EXPECT_NE(report[0], 0);
    for (int i = 1; i < 6; ++i)
        EXPECT_EQ(report[i], report[0]);
    RecordProperty("transfers", (int)started.load());
    RecordProperty("cancelled", (int)d.receiver.cancelledTransfers());
    RecordProperty("busy", (int)refused.load());

    UnconfigureDevice(d.fdo);
    FreeTransferResources(d.fdo);
}

} // namespace
