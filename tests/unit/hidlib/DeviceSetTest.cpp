// The sim backend: the device manager over the in-memory HID stack. What the library opens and when, the
// polling interval it sets and puts back, retries after read failures, the resume, and letting go of a
// device the system wants to remove.
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

constexpr std::intptr_t kWindow = 0x4321;
const std::string kReceiver = "\\\\?\\hid#vid_045e&pid_0284#1";
const std::string kGamepad = "\\\\?\\hid#vid_1234&pid_5678#1";
const std::string kKeyboard = "\\\\?\\hid#vid_046d&pid_c31c#1";

constexpr Notices notices{kWindow};

// The receiver's report for a button, report ID first.
std::array<std::uint8_t, 7> button(std::uint8_t code) {
    return {0, 0, 0, code, 0, 0x41, 0};
}

struct DeviceSetTest : ::testing::Test, SimManager {
    SimHid& hid = sim;

    DeviceSetTest() {
        hid.plug({kReceiver, 0x045E, 0x0284, 7, 200, true}); // polled at Wine's default
        hid.plug({kGamepad, 0x1234, 0x5678, 9, 0, true});    // interrupt-driven
        hid.plug({kKeyboard, 0x046D, 0xC31C, 9, 0, false});  // kept by the system
        core.connect(kWindow);
        set.rescan();
    }

    std::int32_t handleOf(std::uint16_t vid, std::uint16_t pid) { return core.getHandle(vid, pid); }
    std::int32_t receiver() { return handleOf(0x045E, 0x0284); }
    bool deliver(const std::string& path, const std::array<std::uint8_t, 7>& bytes) {
        return hid.deliver(path, bytes);
    }
    // The button code of each report waiting for the device.
    std::vector<int> readCodes(std::int32_t handle) {
        std::vector<int> codes;
        std::array<std::uint8_t, 17> buffer{};
        while (core.read(handle, buffer.data()) != 0) {
            codes.push_back(buffer[3]);
        }
        return codes;
    }
};

TEST_F(DeviceSetTest, DevicesAreIdentifiedWithoutAHandleLeftOpenUntilTheProgramReadsOne) {
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.attach(1), notices.attach(2), notices.attach(3),
                                                  notices.change()}));
    for (const std::string& path : {kReceiver, kGamepad, kKeyboard}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(hid.identifyCount(path), 1u);
        EXPECT_EQ(hid.openCount(path), 0u) << "nothing is held for a device nobody reads";
    }
    EXPECT_EQ(hid.interval(kReceiver), 200u) << "the interval is left alone until the program reads";

    ASSERT_TRUE(core.setReadNotify(receiver(), true));
    EXPECT_EQ(hid.openCount(kReceiver), 1u);
    EXPECT_TRUE(hid.reading(kReceiver));
    EXPECT_EQ(hid.interval(kReceiver), hidlib::kPollIntervalMs);
    EXPECT_EQ(hid.watchCount(kReceiver), 1u) << "a device held open is watched for removal";
    EXPECT_EQ(hid.openCount(kGamepad) + hid.openCount(kKeyboard), 0u) << "other devices are not touched";
    // Asking again while it is on opens nothing more.
    ASSERT_TRUE(core.setReadNotify(receiver(), true));
    EXPECT_EQ(hid.openCount(kReceiver), 1u);
}

// Each row: what the program does after reading the receiver, and the receiver's interval afterwards.
TEST_F(DeviceSetTest, TheReceiversIntervalIsPutBackWhenReadingEnds) {
    struct Row {
        const char* ending;
        void (*end)(DeviceSetTest&);
    };
    const Row rows[] = {
        {"read notify off", [](DeviceSetTest& t) { t.core.setReadNotify(t.receiver(), false); }},
        {"disconnect",
         [](DeviceSetTest& t) {
             t.core.disconnect();
             t.set.closeAll();
         }},
        {"failure, then read notify off before the retry",
         [](DeviceSetTest& t) {
             t.hid.failRead(kReceiver);
             t.core.setReadNotify(t.receiver(), false);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ending);
        hid.plug({kReceiver, 0x045E, 0x0284, 7, 200, true});
        core.connect(kWindow);
        set.rescan();
        ASSERT_TRUE(core.setReadNotify(receiver(), true));
        ASSERT_EQ(hid.interval(kReceiver), hidlib::kPollIntervalMs);
        row.end(*this);
        EXPECT_EQ(hid.interval(kReceiver), 200u);
        EXPECT_EQ(hid.openCount(kReceiver), 0u);
        EXPECT_EQ(hid.watchCount(kReceiver), 0u);
        EXPECT_EQ(hid.pendingRetries(), 0u) << "no retry for a device nobody reads";
    }
}

TEST_F(DeviceSetTest, OnlyASlowerPolledDeviceGetsItsIntervalChanged) {
    const std::string fast = "\\\\?\\hid#fast";
    hid.plug({fast, 0x0001, 0x0002, 7, 8, true});
    set.rescan();
    ASSERT_TRUE(core.setReadNotify(handleOf(0x0001, 0x0002), true));
    ASSERT_TRUE(core.setReadNotify(handleOf(0x1234, 0x5678), true));
    EXPECT_EQ(hid.interval(fast), 8u) << "already faster than asked: left alone";
    EXPECT_EQ(hid.interval(kGamepad), 0u) << "not polled: left alone";
    EXPECT_TRUE(hid.reading(fast));
    EXPECT_TRUE(hid.reading(kGamepad));
    set.closeAll();
    EXPECT_EQ(hid.interval(fast), 8u);
}

TEST_F(DeviceSetTest, AKeyboardTheSystemKeepsIsListedTriedAFewTimesAndLeftUnread) {
    ASSERT_TRUE(core.setReadNotify(handleOf(0x046D, 0xC31C), true));
    EXPECT_EQ(hid.openCount(kKeyboard), 0u);
    std::vector<std::chrono::milliseconds> delays;
    std::chrono::milliseconds delay{};
    while (hid.fireRetry(&delay)) {
        delays.push_back(delay);
    }
    EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{20ms, 40ms, 80ms, 160ms}))
        << "five attempts in all, then no more";
    EXPECT_FALSE(hid.reading(kKeyboard));
    EXPECT_EQ(core.getVendorId(handleOf(0x046D, 0xC31C)), 0x046D) << "still listed";
}

TEST_F(DeviceSetTest, ADeviceNotReadyWhenTheProgramAsksIsReadOnceItOpens) {
    const auto old = button(0xA7);
    hid.plug({kReceiver, 0x045E, 0x0284, 7, 200, false, {old.begin(), old.end()}});
    poster.take();
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    EXPECT_FALSE(hid.reading(kReceiver));
    hid.plug({kReceiver, 0x045E, 0x0284, 7, 200, true, {old.begin(), old.end()}}); // ready now
    ASSERT_TRUE(hid.fireRetry());
    EXPECT_TRUE(hid.reading(kReceiver));
    EXPECT_EQ(core.counters(rx).primed, 1u) << "its first open still takes the state";
    ASSERT_TRUE(deliver(kReceiver, button(0xA6)));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA6}));
}

TEST_F(DeviceSetTest, APolledDevicesStateIsTakenBeforeReadingBeginsAndEveryLaterReportIsAnEvent) {
    // The receiver's driver answers every poll with the last packet it ever got: here an old press.
    const auto old = button(0xA7);
    hid.plug({kReceiver, 0x045E, 0x0284, 7, 200, true, {old.begin(), old.end()}});
    poster.take();
    const std::int32_t rx = receiver();
    const std::int32_t pad = handleOf(0x1234, 0x5678);
    ASSERT_TRUE(core.setReadNotify(rx, true));
    EXPECT_EQ(core.counters(rx).primed, 1u) << "taken as state by the time reading is switched on";
    ASSERT_TRUE(core.setReadNotify(pad, true));
    ASSERT_TRUE(deliver(kReceiver, button(0xA7))); // the next polls repeat it
    ASSERT_TRUE(deliver(kGamepad, button(0x11)));  // an interrupt device's first report is an event
    ASSERT_TRUE(deliver(kReceiver, button(0xA6)));
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.read(pad), notices.read(rx)}));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA6}));
    EXPECT_EQ(readCodes(pad), (std::vector<int>{0x11}));
    const hidlib::DeviceCounters counters = core.counters(rx);
    EXPECT_EQ(counters.reports, 3u);
    EXPECT_EQ(counters.primed, 1u);
    EXPECT_EQ(counters.duplicates, 1u);
    EXPECT_EQ(counters.announced, 1u);
}

TEST_F(DeviceSetTest, AReadFailureIsRetriedWithoutARemovalAndTheNextPressArrives) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    ASSERT_TRUE(deliver(kReceiver, button(0xA6)));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA6}));
    poster.take();
    hid.failRead(kReceiver);
    EXPECT_EQ(hid.openCount(kReceiver), 0u) << "the failed handle is closed";
    EXPECT_EQ(hid.interval(kReceiver), hidlib::kPollIntervalMs) << "the device keeps the lowered interval";
    std::chrono::milliseconds delay{};
    ASSERT_TRUE(hid.fireRetry(&delay));
    EXPECT_EQ(delay, hidlib::kFirstRetry);
    EXPECT_EQ(hid.openCount(kReceiver), 1u);
    EXPECT_TRUE(poster.take().empty()) << "the first poll after the retry repeats the last press: dropped";
    // A press that came while the device failed is a report after the retry: an event, not state.
    ASSERT_TRUE(deliver(kReceiver, button(0xA7)));
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.read(rx)}));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA7}));
    EXPECT_EQ(core.getHandle(0x045E, 0x0284), rx) << "the same handle: the program saw no removal";
}

TEST_F(DeviceSetTest, ADeviceThatKeepsFailingIsRetriedEverBackingOffToTheBound) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    poster.take();
    hid.setBroken(kReceiver, true);
    const std::vector<std::chrono::milliseconds> expected = {20ms,  40ms,   80ms,   160ms,  320ms,
                                                             640ms, 1000ms, 1000ms, 1000ms, 1000ms};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(hid.pendingRetries(), 1u) << "exactly one retry waits: no busy loop";
        std::chrono::milliseconds delay{};
        ASSERT_TRUE(hid.fireRetry(&delay));
        EXPECT_EQ(delay, expected[i]);
    }
    EXPECT_TRUE(poster.take().empty()) << "a failing device is not reported removed";
    // Mended: the next retry reads again, and a later failure starts the back-off afresh.
    hid.setBroken(kReceiver, false);
    ASSERT_TRUE(hid.fireRetry());
    ASSERT_TRUE(deliver(kReceiver, button(0xA6)));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA6}));
    hid.failRead(kReceiver);
    std::chrono::milliseconds delay{};
    ASSERT_TRUE(hid.fireRetry(&delay));
    EXPECT_EQ(delay, hidlib::kFirstRetry);
}

// A polled device answers the first poll after every reopening with its latest packet: that repeat alone is
// no sign that the device works again, so a device that fails after every such answer still backs off.
TEST_F(DeviceSetTest, ARepeatedStateBetweenFailuresDoesNotStartTheBackOffAfresh) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    ASSERT_TRUE(deliver(kReceiver, button(0xA6)));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA6}));
    std::vector<std::chrono::milliseconds> delays;
    for (int i = 0; i < 5; ++i) {
        hid.failRead(kReceiver);
        std::chrono::milliseconds delay{};
        ASSERT_TRUE(hid.fireRetry(&delay)); // reopened: its first poll repeats 0xA6
        ASSERT_TRUE(hid.reading(kReceiver));
        delays.push_back(delay);
    }
    EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{20ms, 40ms, 80ms, 160ms, 320ms}));
    EXPECT_EQ(core.counters(rx).duplicates, 5u);
    // Polls that go on being answered, repeats though they are (nobody presses a button), show that it works
    // again: the next failure is retried at the first step.
    ASSERT_TRUE(deliver(kReceiver, button(0xA6)));
    hid.failRead(kReceiver);
    std::chrono::milliseconds delay{};
    ASSERT_TRUE(hid.fireRetry(&delay));
    EXPECT_EQ(delay, hidlib::kFirstRetry);
    // So does a new report as the first one after a reopening (an interrupt-driven device's next event).
    const std::int32_t pad = handleOf(0x1234, 0x5678);
    ASSERT_TRUE(core.setReadNotify(pad, true));
    hid.failRead(kGamepad);
    ASSERT_TRUE(hid.fireRetry(&delay));
    EXPECT_EQ(delay, hidlib::kFirstRetry);
    ASSERT_TRUE(deliver(kGamepad, button(0x11)));
    hid.failRead(kGamepad);
    ASSERT_TRUE(hid.fireRetry(&delay));
    EXPECT_EQ(delay, hidlib::kFirstRetry);
}

TEST_F(DeviceSetTest, AnUnpluggedDeviceIsRemovedAndItsRetryDropped) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    poster.take();
    hid.unplug(kReceiver); // its read fails first, then the removal notice brings a rescan
    set.rescan();
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.removal(rx), notices.change()}));
    EXPECT_EQ(hid.pendingRetries(), 0u);
    EXPECT_TRUE(hid.openFiles().empty());
}

TEST_F(DeviceSetTest, AfterAResumeReadDevicesAreOpenedAfreshAndTheSetRescanned) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    ASSERT_TRUE(deliver(kReceiver, button(0xA7)));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA7}));
    poster.take();
    // While asleep the gamepad went and a new device came.
    hid.unplug(kGamepad);
    hid.plug({"\\\\?\\hid#new", 0x0AAA, 0x0BBB, 7, 0, true});
    set.resume();
    const std::int32_t fresh = handleOf(0x0AAA, 0x0BBB);
    EXPECT_EQ(poster.take(),
              (std::vector<Posted>{notices.removal(2), notices.attach(fresh), notices.change()}));
    EXPECT_EQ(hid.openCount(kReceiver), 1u) << "the receiver is open again, on a new handle";
    EXPECT_EQ(hid.interval(kReceiver), hidlib::kPollIntervalMs);
    // Its driver answered the first poll after the wake with the last packet from before the sleep: taken
    // as state, not replayed. The next press arrives.
    EXPECT_EQ(core.counters(rx).primed, 2u);
    EXPECT_EQ(core.queued(rx), 0u);
    ASSERT_TRUE(deliver(kReceiver, button(0xA8)));
    EXPECT_EQ(readCodes(rx), (std::vector<int>{0xA8}));
    set.closeAll();
    EXPECT_EQ(hid.interval(kReceiver), 200u) << "the original interval survives the reopening";
}

TEST_F(DeviceSetTest, AQueryRemoveClosesTheDeviceAndACancelledRemovalOpensItAgain) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    poster.take();
    EXPECT_TRUE(hid.queryRemove(kReceiver)) << "every handle let go: the driver update may go on";
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.removal(rx), notices.change()}));
    EXPECT_EQ(hid.interval(kReceiver), 200u) << "put back while the handle still worked";
    EXPECT_EQ(core.getHandle(0x045E, 0x0284), 0) << "it counts as away";
    set.rescan(); // some other device's arrival: the receiver must stay closed
    EXPECT_TRUE(poster.take().empty());
    EXPECT_EQ(hid.openCount(kReceiver), 0u);

    hid.cancelRemove(kReceiver);
    const std::int32_t again = receiver();
    ASSERT_NE(again, 0);
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.attach(again), notices.change()}));
    EXPECT_EQ(hid.watchCount(kReceiver), 0u) << "the old watch is dropped";
    ASSERT_TRUE(core.setReadNotify(again, true)); // what the program's change handler does
    EXPECT_TRUE(hid.reading(kReceiver));
    EXPECT_EQ(hid.watchCount(kReceiver), 1u);
}

TEST_F(DeviceSetTest, AfterACompletedRemovalTheDeviceReturnsOnlyAsANewArrival) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true));
    ASSERT_TRUE(hid.queryRemove(kReceiver));
    hid.completeRemove(kReceiver);
    set.rescan();
    poster.take();
    EXPECT_EQ(hid.watchCount(kReceiver), 0u);
    // The driver was updated: the device comes back.
    hid.plug({kReceiver, 0x045E, 0x0284, 7, 200, true});
    set.rescan();
    const std::int32_t back = receiver();
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.attach(back), notices.change()}));
}

TEST_F(DeviceSetTest, DevicesNobodyReadsNeverStandInTheWayOfARemoval) {
    poster.take();
    for (const std::string& path : {kReceiver, kGamepad, kKeyboard}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(hid.queryRemove(path));
    }
    EXPECT_TRUE(poster.take().empty()) << "nothing held, nothing to let go of";
}

} // namespace

namespace {

TEST_F(DeviceSetTest, EndingAReadLeavesOneLineOfStatisticsForThatDevice) {
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true)); // primed with the all-zero state
    ASSERT_TRUE(deliver(kReceiver, button(0xA7)));
    ASSERT_TRUE(deliver(kReceiver, button(0xA7)));
    hid.failRead(kReceiver);
    ASSERT_TRUE(hid.fireRetry()); // the first poll repeats 0xA7
    ASSERT_TRUE(deliver(kReceiver, button(0xA6)));
    readCodes(rx);
    EXPECT_TRUE(hid.notes().empty()) << "nothing while reading goes on";
    ASSERT_TRUE(core.setReadNotify(rx, false));
    EXPECT_EQ(hid.notes(),
              (std::vector<std::string>{
                  "XBMC.dll: 045E:0284 handle 1 read: reports 5 repeats 2 primed 1 announced 2 held 0 "
                  "discarded 0 read 2; failed reads 1 reopened 1"}));
    set.closeAll();
    EXPECT_EQ(hid.notes().size(), 1u) << "a device not read leaves no line";
}

} // namespace

namespace {

TEST_F(DeviceSetTest, APolledDeviceSilentPastThePrimingWaitHasItsNextReportAnnounced) {
    hid.plug({kReceiver, 0x045E, 0x0284, 7, 200, true, {}}); // answers no poll for now
    poster.take();
    const std::int32_t rx = receiver();
    ASSERT_TRUE(core.setReadNotify(rx, true)); // returns after the wait, without a state
    EXPECT_EQ(core.counters(rx).primed, 0u);
    ASSERT_TRUE(deliver(kReceiver, button(0xA7)));
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.read(rx)})) << "not taken as state after the wait";
}

} // namespace
