// The library's core: handles, report queues, repeats and when notifications are posted.
#include "RecordingPoster.h"
#include "hidlib/Core.h"
#include "hidlib/SimLibrary.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using hidlib::Core;
using hidlib::ReportResult;

namespace {

constexpr std::intptr_t kWindow = 0x1234;
constexpr std::uint16_t kVid = 0x045E;
constexpr std::uint16_t kPid = 0x0284;

constexpr Notices notices{kWindow};

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> list) {
    return list;
}

std::vector<std::uint8_t> readAll(Core& core, std::int32_t handle) {
    std::vector<std::uint8_t> firsts;
    std::array<std::uint8_t, 17> buffer{};
    while (core.read(handle, buffer.data()) != 0) {
        firsts.push_back(buffer[1]);
    }
    return firsts;
}

struct CoreTest : ::testing::Test {
    RecordingPoster poster;
    Core core{poster};
};

TEST_F(CoreTest, HandlesAreNonZeroAndARemovedHandleWaitsForTheRoundBeforeReuse) {
    EXPECT_EQ(core.attach(kVid, kPid), 1);
    EXPECT_EQ(core.attach(0x1111, 0x2222), 2);
    EXPECT_EQ(core.attach(0x3333, 0x4444), 3);
    ASSERT_TRUE(core.remove(2));
    EXPECT_FALSE(core.remove(2)) << "a removed handle is not attached any more";
    EXPECT_EQ(core.attach(0x5555, 0x6666), 4) << "a handle just freed is not given out at once";
    // The removed device's IDs stay readable, so a removal notification can still be matched.
    EXPECT_EQ(core.getVendorId(2), 0x1111);
    EXPECT_EQ(core.getProductId(2), 0x2222);
    EXPECT_EQ(core.getHandle(0x1111, 0x2222), 0) << "but the device cannot be found as attached";
    EXPECT_EQ(core.attached(), (std::vector<std::int32_t>{1, 3, 4}));
}

TEST_F(CoreTest, FullTableRefusesAttachAndReusesFreedHandlesAfterWrapping) {
    for (std::int32_t h = 1; h <= hidlib::kMaxHandle; ++h) {
        ASSERT_EQ(core.attach(kVid, static_cast<std::uint16_t>(h)), h);
    }
    EXPECT_EQ(core.attach(kVid, kPid), 0);
    ASSERT_TRUE(core.remove(7));
    EXPECT_EQ(core.attach(0xAAAA, 0xBBBB), 7);
    EXPECT_EQ(core.getVendorId(7), 0xAAAA) << "the new device's IDs replace the old ones";
    EXPECT_EQ(core.getProductId(7), 0xBBBB);
}

TEST_F(CoreTest, LookupsNeedBothIdsAndKnownHandles) {
    const std::int32_t receiver = core.attach(kVid, kPid);
    core.attach(kVid, 0x0001);
    core.attach(0x0001, kPid);
    struct Row {
        std::int32_t vid, pid, expected;
    };
    const Row rows[] = {
        {kVid, kPid, receiver},    {kVid, 0x0002, 0}, {0x0002, kPid, 0},
        {kVid + 0x10000, kPid, 0}, {-1, -1, 0},       {0, 0, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(core.getHandle(row.vid, row.pid), row.expected) << row.vid << " " << row.pid;
    }
    for (std::int32_t handle : {0, -1, 99, hidlib::kMaxHandle + 1, INT32_MIN}) {
        EXPECT_EQ(core.getVendorId(handle), 0) << handle;
        EXPECT_EQ(core.getProductId(handle), 0) << handle;
        EXPECT_FALSE(core.setReadNotify(handle, true)) << handle;
        std::array<std::uint8_t, 17> buffer{};
        EXPECT_EQ(core.read(handle, buffer.data()), 0u) << handle;
        EXPECT_EQ(core.report(handle, bytes({0, 1})), ReportResult::Unknown) << handle;
    }
}

TEST_F(CoreTest, QueueKeepsTheNewest64InOrder) {
    const std::int32_t h = core.attach(kVid, kPid);
    for (int i = 0; i < 70; ++i) {
        ASSERT_EQ(core.report(h, bytes({0, static_cast<std::uint8_t>(i)})), ReportResult::Held);
    }
    EXPECT_EQ(core.queued(h), hidlib::kQueueCapacity);
    std::vector<std::uint8_t> expected;
    for (int i = 70 - 64; i < 70; ++i) {
        expected.push_back(static_cast<std::uint8_t>(i));
    }
    EXPECT_EQ(readAll(core, h), expected);
    std::array<std::uint8_t, 17> buffer{};
    EXPECT_EQ(core.read(h, buffer.data()), 0u) << "an empty queue gives nothing";
}

TEST_F(CoreTest, RepeatsOfThePreviousReportAreDropped) {
    struct Row {
        const char* name;
        std::vector<std::vector<std::uint8_t>> sent;
        std::vector<std::uint8_t> read; // byte 1 of each report read back
    };
    std::vector<std::uint8_t> long1(40, 0x11);
    std::vector<std::uint8_t> long2 = long1;
    long2[30] = 0x22; // differs only past what Read hands out
    const Row rows[] = {
        {"repeat dropped", {{0, 5}, {0, 5}, {0, 5}}, {5}},
        {"alternating kept", {{0, 5}, {0, 6}, {0, 5}}, {5, 6, 5}},
        {"longer is different", {{0, 5}, {0, 5, 0}}, {5, 5}},
        {"difference past byte 17 counts", {long1, long2, long2}, {0x11, 0x11}},
        {"empty ignored", {{0, 7}, {}, {0, 7}}, {7}},
    };
    for (const Row& row : rows) {
        RecordingPoster rowPoster;
        Core rowCore(rowPoster);
        const std::int32_t h = rowCore.attach(kVid, kPid);
        for (const auto& report : row.sent) {
            rowCore.report(h, report);
        }
        EXPECT_EQ(readAll(rowCore, h), row.read) << row.name;
    }
}

TEST_F(CoreTest, RepeatIsDroppedEvenAfterThePreviousWasRead) {
    const std::int32_t h = core.attach(kVid, kPid);
    EXPECT_EQ(core.report(h, bytes({0, 0, 0, 0xA7, 0, 0x41, 0})), ReportResult::Held);
    EXPECT_EQ(readAll(core, h).size(), 1u);
    EXPECT_EQ(core.report(h, bytes({0, 0, 0, 0xA7, 0, 0x41, 0})), ReportResult::Duplicate);
    EXPECT_EQ(core.queued(h), 0u);
}

TEST_F(CoreTest, ReadWritesTheReportAndNeverPastSeventeenBytes) {
    const std::int32_t wide = core.attach(0x0001, 0x0001);
    const std::int32_t receiver = core.attach(kVid, kPid);
    std::vector<std::uint8_t> wideReport(64);
    for (std::size_t i = 0; i < wideReport.size(); ++i) {
        wideReport[i] = static_cast<std::uint8_t>(i + 1);
    }
    core.report(wide, wideReport);
    core.report(receiver, bytes({0, 1, 2, 0xA7, 4, 0x41, 6}));

    std::array<std::uint8_t, 32> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(core.read(wide, buffer.data()), 17u);
    for (std::size_t i = 0; i < 17; ++i) {
        EXPECT_EQ(buffer[i], i + 1) << i;
    }
    for (std::size_t i = 17; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], 0xEE) << "written past 17 bytes at " << i;
    }

    buffer.fill(0xEE);
    EXPECT_EQ(core.read(receiver, buffer.data()), 7u);
    EXPECT_EQ(buffer[3], 0xA7);
    EXPECT_EQ(buffer[5], 0x41);
    EXPECT_EQ(buffer[7], 0xEE) << "a short report writes only its own length";
    EXPECT_EQ(core.read(receiver, nullptr), 0u);
}

TEST_F(CoreTest, NothingIsPostedWhileNotConnected) {
    const std::int32_t h = core.attach(kVid, kPid);
    core.setReadNotify(h, true);
    core.report(h, bytes({0, 1}));
    core.change();
    core.remove(h);
    EXPECT_TRUE(poster.take().empty());
    EXPECT_FALSE(core.connect(0)) << "window 0 is refused";
    EXPECT_FALSE(core.connected());
    core.attach(kVid, kPid);
    EXPECT_TRUE(poster.take().empty());
}

TEST_F(CoreTest, ConnectedEventsArePostedInOrder) {
    ASSERT_TRUE(core.connect(kWindow));
    const std::int32_t h = core.attach(kVid, kPid);
    core.change();
    core.report(h, bytes({0, 1})); // notify still off: queued silently
    ASSERT_TRUE(core.setReadNotify(h, true));
    core.report(h, bytes({0, 2}));
    core.report(h, bytes({0, 2})); // repeat: no notification
    core.report(h, bytes({0, 3}));
    core.remove(h);
    core.change();
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.attach(h), notices.change(), notices.read(h),
                                                  notices.read(h), notices.removal(h), notices.change()}));
}

TEST_F(CoreTest, ReadNotificationsOnlyForDevicesWithTheFlagOn) {
    ASSERT_TRUE(core.connect(kWindow));
    const std::int32_t on = core.attach(kVid, kPid);
    const std::int32_t off = core.attach(0x0001, 0x0002);
    poster.take();
    core.setReadNotify(on, true);
    core.report(off, bytes({0, 1}));
    core.report(on, bytes({0, 1}));
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.read(on)}));
    EXPECT_EQ(core.queued(off), 1u) << "reports are still queued without notification";

    core.setReadNotify(on, false);
    core.report(on, bytes({0, 2}));
    EXPECT_TRUE(poster.take().empty());
}

TEST_F(CoreTest, SwitchingNotifyOnDropsOnlyReportsQueuedWhileItWasOff) {
    ASSERT_TRUE(core.connect(kWindow));
    const std::int32_t h = core.attach(kVid, kPid);
    core.report(h, bytes({0, 0, 0, 0, 0, 0, 0})); // the receiver's zeros before its first packet
    ASSERT_TRUE(core.setReadNotify(h, true));
    core.report(h, bytes({0, 0, 0, 0xA7, 0, 0x41, 0}));
    ASSERT_TRUE(core.setReadNotify(h, true)) << "asking again (each change does) keeps what is queued";
    core.report(h, bytes({0, 0, 0, 0xA8, 0, 0x41, 0}));
    std::array<std::uint8_t, 17> buffer{};
    ASSERT_EQ(core.read(h, buffer.data()), 7u);
    EXPECT_EQ(buffer[3], 0xA7) << "the first read gives the first report announced";
    ASSERT_EQ(core.read(h, buffer.data()), 7u);
    EXPECT_EQ(buffer[3], 0xA8);
}

TEST_F(CoreTest, ConnectAnnouncesDevicesAlreadyPresentAndDisconnectStopsPosting) {
    const std::int32_t a = core.attach(kVid, kPid);
    const std::int32_t b = core.attach(0x0001, 0x0002);
    ASSERT_TRUE(core.connect(kWindow));
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.attach(a), notices.attach(b), notices.change()}));
    EXPECT_TRUE(core.disconnect());
    EXPECT_FALSE(core.disconnect()) << "not connected any more";
    core.setReadNotify(a, true);
    core.report(a, bytes({0, 1}));
    core.remove(b);
    core.change();
    EXPECT_TRUE(poster.take().empty());

    ASSERT_TRUE(core.connect(kWindow + 1));
    EXPECT_EQ(poster.take(), (std::vector<Posted>{{kWindow + 1, 0x80C8, 1, a}, {kWindow + 1, 0x80C8, 3, 0}}))
        << "a new window hears of the devices still attached";

    RecordingPoster emptyPoster;
    Core empty(emptyPoster);
    ASSERT_TRUE(empty.connect(kWindow));
    EXPECT_TRUE(emptyPoster.take().empty()) << "no device: nothing to announce";
}

TEST_F(CoreTest, RemovalDropsTheQueueAndTheRepeatMemory) {
    const std::int32_t h = core.attach(kVid, kPid);
    core.report(h, bytes({0, 9}));
    core.remove(h);
    std::array<std::uint8_t, 17> buffer{};
    EXPECT_EQ(core.read(h, buffer.data()), 0u);
    EXPECT_EQ(core.report(h, bytes({0, 9})), ReportResult::Unknown);
    // A device given the same handle later starts afresh.
    for (int i = 1; i < hidlib::kMaxHandle; ++i) {
        core.remove(core.attach(1, 1));
    }
    ASSERT_EQ(core.attach(kVid, kPid), h);
    EXPECT_EQ(core.queued(h), 0u);
    EXPECT_EQ(core.report(h, bytes({0, 9})), ReportResult::Held);
}

TEST(SimLibraryTest, OperationsUseSixteenBitBooleansAndThirtyTwoBitWindows) {
    RecordingPoster poster;
    hidlib::SimLibrary library(poster);
    EXPECT_EQ(library.connect(0), 0);
    EXPECT_EQ(library.connect(-2), -1);
    const std::int32_t h = library.attach(kVid, kPid);
    EXPECT_EQ(poster.take(), (std::vector<Posted>{{-2, 0x80C8, 1, h}})) << "the window handle keeps its sign";
    EXPECT_EQ(library.getHandle(kVid, kPid), h);
    EXPECT_EQ(library.getVendorId(h), kVid);
    EXPECT_EQ(library.getProductId(h), kPid);
    EXPECT_EQ(library.setReadNotify(h, -1), -1);
    EXPECT_EQ(library.setReadNotify(0, -1), 0);
    EXPECT_EQ(library.report(h, {0, 0, 0, 0xA7, 0, 0x41, 0}), ReportResult::Queued);
    std::array<std::uint8_t, 17> buffer{};
    EXPECT_EQ(library.read(h, buffer.data()), -1);
    EXPECT_EQ(buffer[3], 0xA7);
    EXPECT_EQ(library.read(h, buffer.data()), 0);
    EXPECT_EQ(library.disconnect(), -1);
    EXPECT_EQ(library.disconnect(), 0);
}

} // namespace

// The feeder learns from the result whether the program was told: a report held while nobody listens is
// dropped when the program starts reading, so only announced reports reach it.
TEST_F(CoreTest, ReportIsHeldUntilTheProgramListensAndAnnouncedAfterwards) {
    const std::int32_t h = core.attach(kVid, kPid);
    EXPECT_EQ(core.report(h, bytes({0, 1})), ReportResult::Held) << "not connected";
    ASSERT_TRUE(core.connect(kWindow));
    EXPECT_EQ(core.report(h, bytes({0, 2})), ReportResult::Held) << "notify off";
    ASSERT_TRUE(core.setReadNotify(h, true));
    EXPECT_EQ(core.queued(h), 0u) << "held reports go when reading starts";
    poster.take();
    EXPECT_EQ(core.report(h, bytes({0, 3})), ReportResult::Queued);
    EXPECT_EQ(poster.take(), (std::vector<Posted>{notices.read(h)}));
    ASSERT_TRUE(core.disconnect());
    EXPECT_EQ(core.report(h, bytes({0, 4})), ReportResult::Held) << "disconnected: nothing is posted";
    EXPECT_TRUE(poster.take().empty());
}

namespace {

// Records the read-notify changes the core passes on, and checks that the core's lock is free by then.
struct RecordingListener final : hidlib::ReadingListener {
    Core* core = nullptr;
    std::vector<std::pair<std::int32_t, bool>> changes;
    void readingChanged(std::int32_t handle, bool reading) override {
        changes.emplace_back(handle, reading);
        core->queued(handle); // would deadlock if the lock were still held
    }
};

} // namespace

TEST_F(CoreTest, TheListenerHearsOnlyRealReadNotifyChangesOfAttachedDevices) {
    RecordingListener listener;
    listener.core = &core;
    core.setListener(&listener);
    const std::int32_t h = core.attach(kVid, kPid);
    core.setReadNotify(h, true);
    core.setReadNotify(h, true);
    core.setReadNotify(h, false);
    core.setReadNotify(h, false);
    core.setReadNotify(0, true);
    core.setReadNotify(h + 1, true);
    EXPECT_EQ(listener.changes, (std::vector<std::pair<std::int32_t, bool>>{{h, true}, {h, false}}));
    core.setListener(nullptr);
    core.setReadNotify(h, true);
    EXPECT_EQ(listener.changes.size(), 2u);
}

TEST_F(CoreTest, APrimedReportIsComparedWithButNeverQueuedAndEveryHopIsCounted) {
    ASSERT_TRUE(core.connect(kWindow));
    const std::int32_t h = core.attach(kVid, kPid);
    ASSERT_TRUE(core.setReadNotify(h, true));
    poster.take();
    EXPECT_TRUE(core.prime(h, bytes({0, 7})));
    EXPECT_FALSE(core.prime(h + 1, bytes({0, 7}))) << "unknown handle";
    EXPECT_FALSE(core.prime(h, {})) << "no bytes";
    EXPECT_TRUE(poster.take().empty());
    EXPECT_EQ(core.queued(h), 0u);
    EXPECT_EQ(core.report(h, bytes({0, 7})), ReportResult::Duplicate) << "the primed state repeated";
    EXPECT_EQ(core.report(h, bytes({0, 8})), ReportResult::Queued);
    std::array<std::uint8_t, 17> buffer{};
    EXPECT_EQ(core.read(h, buffer.data()), 2u);
    ASSERT_TRUE(core.setReadNotify(h, false));
    EXPECT_EQ(core.report(h, bytes({0, 9})), ReportResult::Held);
    ASSERT_TRUE(core.setReadNotify(h, true)); // drops the held one
    const hidlib::DeviceCounters c = core.counters(h);
    EXPECT_EQ(c.reports, 4u);
    EXPECT_EQ(c.primed, 1u);
    EXPECT_EQ(c.duplicates, 1u);
    EXPECT_EQ(c.announced, 1u);
    EXPECT_EQ(c.held, 1u);
    EXPECT_EQ(c.discarded, 1u);
    EXPECT_EQ(c.read, 1u);
    EXPECT_EQ(core.counters(h + 1).reports, 0u);
}
