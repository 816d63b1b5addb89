// The WinUSB route's device source: the device manager over devices read from their interrupt pipe, in
// memory. Every packet is one report, in order, identical ones included; a stalled pipe is reset after the
// back-off and reading goes on through the same file; removal, a query-remove and a resume let go of the
// device and open it again as the HID route does.
#include "SimManager.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using hidlib::Core;
using hidlib::DeviceSet;
using hidlib::SimHid;
using namespace std::chrono_literals;

namespace {

constexpr std::intptr_t kWindow = 0x5150;
const std::string kReceiver =
    "\\\\?\\usb#vid_045e&pid_0284&mi_00#qelm0001&0#{a44de763-3637-412b-9680-f59b54df8f68}";

constexpr Notices notices{kWindow};

using Bytes = std::vector<std::uint8_t>;

// The receiver's packet for a button: six bytes, the code in byte 2, 0x41 (a press) in byte 4.
Bytes packet(std::uint8_t code) {
    return {0, 0, code, 0, 0x41, 0};
}

struct WinUsbSourceTest : ::testing::Test, SimManager {
    SimHid& usb = sim;
    std::int32_t rx = 0;

    WinUsbSourceTest() {
        usb.plug(SimHid::pipeDevice(kReceiver, 0x045E, 0x0284));
        core.connect(kWindow);
        set.rescan();
        rx = core.getHandle(0x045E, 0x0284);
    }

    // Switches reading on, as the program's change handler does, and forgets the notices so far.
    void startReading() {
        ASSERT_TRUE(core.setReadNotify(rx, true));
        ASSERT_TRUE(usb.reading(kReceiver));
        poster.take();
    }
    // Every report waiting for the receiver, whole (report ID first).
    std::vector<Bytes> readReports() {
        std::vector<Bytes> reports;
        std::array<std::uint8_t, 17> buffer{};
        while (const std::size_t n = core.read(rx, buffer.data())) {
            reports.emplace_back(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return reports;
    }
    std::vector<int> readCodes() {
        std::vector<int> codes;
        for (const Bytes& report : readReports()) {
            codes.push_back(report.at(3));
        }
        return codes;
    }
    // The files the library holds to the receiver (what stands in the way of a removal) and its retries.
    void expectLetGo(const char* when) {
        EXPECT_EQ(usb.openCount(kReceiver), 0u) << when;
        EXPECT_EQ(usb.pendingRetries(), 0u) << when << ": no retry for a device let go of";
    }
};

TEST_F(WinUsbSourceTest, TheReceiverIsAnnouncedAndOpenedOnlyWhileTheProgramReadsIt) {
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.attach(rx), notices.change()}));
    EXPECT_EQ(core.getVendorId(rx), 0x045E);
    EXPECT_EQ(usb.identifyCount(kReceiver), 1u);
    EXPECT_EQ(usb.openCount(kReceiver), 0u) << "let go of after its IDs were read";
    startReading();
    EXPECT_EQ(usb.openCount(kReceiver), 1u);
    EXPECT_EQ(usb.watchCount(kReceiver), 1u);
    ASSERT_TRUE(core.setReadNotify(rx, false));
    expectLetGo("read notify off");
}

TEST_F(WinUsbSourceTest, EveryPacketIsOneReportInOrderIdenticalOnesIncluded) {
    startReading();
    // The same button twice, another, then the first again three times: a person pressing, or a receiver
    // repeating while a button is held. Nothing answers twice with one packet, so nothing is a repeat.
    const std::vector<int> codes = {0xA7, 0xA7, 0xA6, 0xA7, 0xA7, 0xA7};
    for (const int code : codes) {
        ASSERT_TRUE(usb.deliver(kReceiver, packet(static_cast<std::uint8_t>(code))));
    }
    EXPECT_EQ(poster.take(), std::vector<Posted>(codes.size(), notices.read(rx)));
    EXPECT_EQ(readCodes(), codes);
    const hidlib::DeviceCounters counters = core.counters(rx);
    EXPECT_EQ(counters.reports, codes.size());
    EXPECT_EQ(counters.duplicates, 0u);
    EXPECT_EQ(counters.primed, 0u) << "a device read from its pipe has no state to take";
}

// Each row: the packets the pipe gives, one after another, and the reports they make, report ID first: the
// bytes the HID route's driver would give for the same packets.
TEST_F(WinUsbSourceTest, APacketBecomesTheReportTheHidRouteWouldGive) {
    struct Row {
        const char* what;
        std::vector<Bytes> packets;
        std::vector<Bytes> reports;
    };
    const std::vector<Row> rows = {
        {"six bytes", {{1, 2, 3, 4, 5, 6}}, {{0, 1, 2, 3, 4, 5, 6}}},
        {"a full packet of eight is cut to six", {{1, 2, 3, 4, 5, 6, 7, 8}}, {{0, 1, 2, 3, 4, 5, 6}}},
        {"a short packet replaces only its own bytes",
         {{1, 2, 3, 4, 5, 6}, {9, 9}},
         {{0, 1, 2, 3, 4, 5, 6}, {0, 9, 9, 3, 4, 5, 6}}},
        {"a short first packet: the rest is zero", {{7, 7, 7}}, {{0, 7, 7, 7, 0, 0, 0}}},
        {"a zero-length packet gives no report", {{}, {1, 2, 3, 4, 5, 6}, {}}, {{0, 1, 2, 3, 4, 5, 6}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // A receiver plugged afresh for each row: its report starts at zero.
        usb.unplug(kReceiver);
        set.rescan();
        usb.plug(SimHid::pipeDevice(kReceiver, 0x045E, 0x0284));
        set.rescan();
        rx = core.getHandle(0x045E, 0x0284);
        startReading();
        for (const Bytes& bytes : row.packets) {
            ASSERT_TRUE(usb.deliver(kReceiver, bytes));
        }
        EXPECT_EQ(readReports(), row.reports);
    }
}

TEST_F(WinUsbSourceTest, AStalledReadResetsThePipeAfterTheBackOffAndTheNextPacketsArrive) {
    startReading();
    ASSERT_TRUE(usb.deliver(kReceiver, packet(0xA6)));
    usb.failRead(kReceiver); // the endpoint stalls: the pipe halts
    EXPECT_EQ(usb.openCount(kReceiver), 1u) << "the file is kept: only its pipe needs a reset";
    EXPECT_EQ(usb.pipeResets(kReceiver), 0u) << "not reset before the back-off";
    std::chrono::milliseconds delay{};
    ASSERT_TRUE(usb.fireRetry(&delay));
    EXPECT_EQ(delay, hidlib::kFirstRetry);
    EXPECT_EQ(usb.pipeResets(kReceiver), 1u);
    EXPECT_EQ(usb.refusedResets(kReceiver), 0u) << "reset only once no read was pending";
    EXPECT_FALSE(usb.halted(kReceiver));
    EXPECT_TRUE(usb.reading(kReceiver));
    for (const int code : {0xA7, 0xA7}) {
        ASSERT_TRUE(usb.deliver(kReceiver, packet(static_cast<std::uint8_t>(code))));
    }
    EXPECT_EQ(readCodes(), (std::vector<int>{0xA6, 0xA7, 0xA7}));
    EXPECT_EQ(poster.take(), std::vector<Posted>(3, notices.read(rx))) << "no removal: the same handle";
    // It works again: the next stall is retried at the first step.
    usb.failRead(kReceiver);
    ASSERT_TRUE(usb.fireRetry(&delay));
    EXPECT_EQ(delay, hidlib::kFirstRetry);
}

TEST_F(WinUsbSourceTest, ADeviceFailingEveryReadIsResetOnlyAfterEachBackOff) {
    startReading();
    usb.setBroken(kReceiver, true);
    const std::vector<std::chrono::milliseconds> expected = {20ms,  40ms,   80ms,   160ms,  320ms,
                                                             640ms, 1000ms, 1000ms, 1000ms, 1000ms};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(usb.pendingRetries(), 1u) << "exactly one retry waits: no busy loop";
        EXPECT_EQ(usb.pipeResets(kReceiver), i) << "one reset per back-off, none in between";
        std::chrono::milliseconds delay{};
        ASSERT_TRUE(usb.fireRetry(&delay));
        EXPECT_EQ(delay, expected[i]);
    }
    EXPECT_EQ(usb.refusedResets(kReceiver), 0u);
    EXPECT_TRUE(poster.take().empty()) << "a failing device is not reported removed";
    usb.setBroken(kReceiver, false);
    ASSERT_TRUE(usb.fireRetry());
    ASSERT_TRUE(usb.deliver(kReceiver, packet(0xA6)));
    EXPECT_EQ(readCodes(), (std::vector<int>{0xA6}));
}

// Each row: how the device goes, or the program stops reading it, while it is read (or while its stalled
// pipe waits for the reset); afterwards the library holds nothing of it.
TEST_F(WinUsbSourceTest, RemovalQueryRemoveAndTheEndOfReadingLetGoOfTheDevice) {
    struct Row {
        const char* what;
        bool stalledFirst;
        void (*end)(WinUsbSourceTest&);
        bool announcedAway; // the program hears of a removal
        bool watchKept;     // a query-remove keeps the watch to hear whether the removal goes on
    };
    const Row rows[] = {
        {"unplugged", false,
         [](WinUsbSourceTest& t) {
             t.usb.unplug(kReceiver);
             t.set.rescan();
         },
         true, false},
        {"unplugged while the stalled pipe waits for its reset", true,
         [](WinUsbSourceTest& t) {
             t.usb.unplug(kReceiver);
             t.set.rescan();
         },
         true, false},
        {"the system asks to remove it (a driver update)", false,
         [](WinUsbSourceTest& t) { EXPECT_TRUE(t.usb.queryRemove(kReceiver)) << "every handle let go"; },
         true, true},
        {"the same while the stalled pipe waits for its reset", true,
         [](WinUsbSourceTest& t) { EXPECT_TRUE(t.usb.queryRemove(kReceiver)) << "every handle let go"; },
         true, true},
        {"read notify off", false, [](WinUsbSourceTest& t) { t.core.setReadNotify(t.rx, false); }, false,
         false},
        {"the library disconnects", true,
         [](WinUsbSourceTest& t) {
             t.core.disconnect();
             t.set.closeAll();
         },
         false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        usb.plug(SimHid::pipeDevice(kReceiver, 0x045E, 0x0284));
        usb.cancelRemove(kReceiver); // a removal asked for in the row before is over
        core.connect(kWindow);
        set.rescan();
        rx = core.getHandle(0x045E, 0x0284);
        ASSERT_NE(rx, 0);
        startReading();
        if (row.stalledFirst) {
            usb.failRead(kReceiver);
            ASSERT_EQ(usb.openCount(kReceiver), 1u);
        }
        row.end(*this);
        expectLetGo(row.what);
        EXPECT_EQ(usb.watchCount(kReceiver), row.watchKept ? 1u : 0u);
        const std::vector<Posted> away = {notices.removal(rx), notices.change()};
        EXPECT_EQ(poster.take(), row.announcedAway ? away : std::vector<Posted>{});
    }
}

TEST_F(WinUsbSourceTest, ACancelledRemovalOpensTheDeviceAfreshUnderANewHandle) {
    startReading();
    ASSERT_TRUE(usb.queryRemove(kReceiver));
    poster.take();
    set.rescan(); // another device's arrival: the receiver stays let go of
    EXPECT_EQ(usb.openCount(kReceiver), 0u);
    usb.cancelRemove(kReceiver);
    const std::int32_t again = core.getHandle(0x045E, 0x0284);
    ASSERT_NE(again, 0);
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.attach(again), notices.change()}));
    ASSERT_TRUE(core.setReadNotify(again, true));
    ASSERT_TRUE(usb.deliver(kReceiver, packet(0xA7)));
    rx = again;
    EXPECT_EQ(readCodes(), (std::vector<int>{0xA7}));
}

TEST_F(WinUsbSourceTest, AfterAResumeTheDeviceIsReadThroughAFreshFile) {
    startReading();
    const std::vector<SimHid::Open> before = usb.openFiles();
    ASSERT_EQ(before.size(), 1u);
    set.resume();
    EXPECT_EQ(usb.openCount(kReceiver), 1u) << "closed, then opened again";
    EXPECT_TRUE(usb.reading(kReceiver));
    EXPECT_EQ(usb.watchCount(kReceiver), 1u) << "the old watch went with the old file";
    EXPECT_TRUE(poster.take().empty()) << "the program saw no removal";
    ASSERT_TRUE(usb.deliver(kReceiver, packet(0xA8)));
    EXPECT_EQ(readCodes(), (std::vector<int>{0xA8}));

    // A resume while a stalled pipe waits for its reset: the fresh file reads at once if the device came
    // back mended, and no old retry is left to reset the new file.
    usb.failRead(kReceiver);
    usb.plug(SimHid::pipeDevice(kReceiver, 0x045E, 0x0284)); // re-enumerated while asleep: no halt
    set.resume();
    EXPECT_EQ(usb.pendingRetries(), 0u);
    EXPECT_TRUE(usb.reading(kReceiver));
    ASSERT_TRUE(usb.deliver(kReceiver, packet(0xA9)));
    EXPECT_EQ(readCodes(), (std::vector<int>{0xA9}));
}

TEST_F(WinUsbSourceTest, EndingAReadLeavesOneLineOfStatisticsWithThePipeResets) {
    startReading();
    for (const int code : {0xA7, 0xA7}) {
        ASSERT_TRUE(usb.deliver(kReceiver, packet(static_cast<std::uint8_t>(code))));
    }
    usb.failRead(kReceiver);
    ASSERT_TRUE(usb.fireRetry());
    ASSERT_TRUE(usb.deliver(kReceiver, packet(0xA6)));
    readCodes();
    ASSERT_TRUE(core.setReadNotify(rx, false));
    EXPECT_EQ(usb.notes(), (std::vector<std::string>{
                               "XBMC.dll: 045E:0284 handle 1 read: reports 3 repeats 0 primed 0 announced 3 "
                               "held 0 discarded 0 read 3; failed reads 1 reopened 0 pipe resets 1"}));
}

TEST_F(WinUsbSourceTest, AReceiverAnotherProgramHoldsIsTriedAFewTimesThenLeftUnread) {
    // WinUSB lets one file at a time use a device: here another program has it open.
    usb.unplug(kReceiver);
    set.rescan();
    SimHid::DeviceInfo held = SimHid::pipeDevice(kReceiver, 0x045E, 0x0284);
    held.readable = false;
    usb.plug(held);
    set.rescan();
    rx = core.getHandle(0x045E, 0x0284);
    ASSERT_TRUE(core.setReadNotify(rx, true));
    unsigned retries = 0;
    while (usb.fireRetry()) {
        ++retries;
    }
    EXPECT_EQ(retries, hidlib::kOpenAttempts - 1);
    EXPECT_FALSE(usb.reading(kReceiver));
    EXPECT_EQ(usb.pipeResets(kReceiver), 0u);
}

} // namespace
