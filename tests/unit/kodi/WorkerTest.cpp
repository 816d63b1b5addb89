// The Kodi worker with a channel in Kodi's place that records what it is asked and can be held in the middle
// of a press: order, the bounded queue, the one waiting notification, settings applied between jobs, the
// form woken once per batch of results, and the stop (BYE after a waiting notification; a wait cut short).
#include "KodiButtonMap.h"
#include "kodi/Worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace kodi;
using namespace std::chrono_literals;

namespace {

// What every channel the worker made was asked, in order, and a gate that holds presses.
struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    bool holdPresses = false;
    bool cancelled = false;
    int made = 0;

    void record(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
        changed.notify_all();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }
    bool waitFor(const std::string& call, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout,
                                [&] { return std::find(calls.begin(), calls.end(), call) != calls.end(); });
    }
    void release() {
        std::lock_guard lock(mutex);
        holdPresses = false;
        changed.notify_all();
    }
};

class ScriptedChannel : public Channel {
  public:
    ScriptedChannel(Script& script, std::string mode) : script_(script), mode_(std::move(mode)) {}
    void Configure(const ChannelSettings& s) override { script_.record(mode_ + " configure " + s.port); }
    Outcome Press(const KodiButtonRow& button) override {
        script_.record(mode_ + " press " + std::string(button.r1Name));
        std::unique_lock lock(script_.mutex);
        script_.changed.wait(lock, [&] { return !script_.holdPresses || script_.cancelled; });
        if (script_.cancelled) {
            return {Problem::NotAnswering, 0, "", "cancelled"};
        }
        return button.r1Name == "back" ? Outcome{Problem::NotAnswering, 0, "kodi:1"} : Outcome{};
    }
    Outcome Notify(const Notification& n) override {
        script_.record(mode_ + " notify " + n.message);
        return {};
    }
    void Cancel() override {
        std::lock_guard lock(script_.mutex);
        script_.cancelled = true;
        script_.changed.notify_all();
    }
    void Close() override { script_.record(mode_ + " close"); }

  private:
    Script& script_;
    std::string mode_;
};

const KodiButtonRow& button(const char* code) {
    return *FindKodiButton(code);
}

class WorkerTest : public ::testing::Test {
  protected:
    Script script;
    std::atomic<int> wakes{0};
    Worker worker{[this](const std::string& mode) {
                      ++script.made;
                      return std::make_unique<ScriptedChannel>(script, mode);
                  },
                  [this] { ++wakes; }, std::chrono::steady_clock::now, 4};

    void configure(const std::string& mode = ModeEventServer, const std::string& port = "1") {
        worker.Configure({mode, "127.0.0.1", port});
    }
    std::vector<std::string> calls() { return script.snapshot(); }
};

} // namespace

TEST_F(WorkerTest, PressesKeepTheirOrderAndEachComesBackAsAResult) {
    configure();
    for (const char* code : {"167", "166", "168", "216"}) {
        worker.Press(button(code));
    }
    ASSERT_TRUE(worker.WaitIdle(5s));
    EXPECT_EQ(calls(), (std::vector<std::string>{"eventserver configure 1", "eventserver press down",
                                                 "eventserver press up", "eventserver press right",
                                                 "eventserver press back"}));
    const auto results = worker.TakeResults();
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0].what, "down");
    EXPECT_TRUE(results[0].press);
    EXPECT_TRUE(results[0].outcome.ok());
    EXPECT_EQ(results[3].outcome.problem, Problem::NotAnswering);
    EXPECT_TRUE(worker.TakeResults().empty());
}

TEST_F(WorkerTest, AFullQueueDropsTheOldestPressAndCountsIt) {
    configure();
    script.holdPresses = true;
    worker.Press(button("167")); // taken, and held
    ASSERT_TRUE(script.waitFor("eventserver press down"));
    for (const char* code : {"166", "168", "169", "11", "216", "234"}) { // six for a queue of four
        worker.Press(button(code));
    }
    EXPECT_EQ(worker.Dropped(), 2u);
    script.release();
    ASSERT_TRUE(worker.WaitIdle(5s));
    const auto c = calls();
    EXPECT_EQ(std::vector<std::string>(c.begin() + 1, c.end()),
              (std::vector<std::string>{"eventserver press down", "eventserver press left",
                                        "eventserver press select", "eventserver press back",
                                        "eventserver press play"}))
        << "up and right, the oldest waiting, made room";
}

TEST_F(WorkerTest, OneNotificationWaitsTheNewestAndItGoesBeforeThePressesWaitingThen) {
    configure();
    script.holdPresses = true;
    worker.Press(button("167"));
    ASSERT_TRUE(script.waitFor("eventserver press down"));
    worker.Press(button("166"));
    worker.Notify({"Option code: 1 _ _"});
    worker.Notify({"Option code: 1 2 _"});
    script.release();
    ASSERT_TRUE(worker.WaitIdle(5s));
    const auto c = calls();
    EXPECT_EQ(std::vector<std::string>(c.begin() + 1, c.end()),
              (std::vector<std::string>{"eventserver press down", "eventserver notify Option code: 1 2 _",
                                        "eventserver press up"}));
    const auto results = worker.TakeResults();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[1].press);
    EXPECT_EQ(results[1].what, "Option code: 1 2 _");
}

TEST_F(WorkerTest, NothingIsQueuedOutsideTheKodiModesOrWhenNotificationsAreOff) {
    worker.Press(button("167"));
    worker.Notify({"x"});
    EXPECT_FALSE(worker.Active());
    configure("true");
    worker.Press(button("167"));
    EXPECT_FALSE(worker.Active());
    EXPECT_TRUE(worker.WaitIdle(1s));
    EXPECT_EQ(script.made, 0) << "no thread and no channel for XBMC's modes";

    worker.Configure({ModeJsonRpc, "127.0.0.1", "2", "", "", false});
    worker.Notify({"not shown"});
    worker.Press(button("167"));
    ASSERT_TRUE(worker.WaitIdle(5s));
    EXPECT_EQ(calls(), (std::vector<std::string>{"jsonrpc configure 2", "jsonrpc press down"}));
}

TEST_F(WorkerTest, NewSettingsApplyBeforeTheNextJobAndAnotherModeClosesTheOldChannel) {
    configure(ModeEventServer, "1");
    worker.Press(button("167"));
    ASSERT_TRUE(worker.WaitIdle(5s));
    configure(ModeEventServer, "2");
    worker.Press(button("166"));
    ASSERT_TRUE(worker.WaitIdle(5s));
    configure(ModeJsonRpc, "3");
    worker.Press(button("168"));
    ASSERT_TRUE(worker.WaitIdle(5s));
    configure("false");
    worker.Press(button("169"));
    ASSERT_TRUE(worker.WaitIdle(5s));
    EXPECT_EQ(calls(), (std::vector<std::string>{"eventserver configure 1", "eventserver press down",
                                                 "eventserver configure 2", "eventserver press up",
                                                 "eventserver close", "jsonrpc configure 3",
                                                 "jsonrpc press right", "jsonrpc close"}));
    EXPECT_EQ(script.made, 2);
}

TEST_F(WorkerTest, TheFormIsWokenOncePerBatchOfResults) {
    configure();
    script.holdPresses = true;
    worker.Press(button("167"));
    ASSERT_TRUE(script.waitFor("eventserver press down"));
    worker.Press(button("166"));
    worker.Press(button("168"));
    script.release();
    ASSERT_TRUE(worker.WaitIdle(5s));
    EXPECT_EQ(wakes, 1) << "the results not taken yet are one message's worth";
    EXPECT_EQ(worker.TakeResults().size(), 3u);
    worker.Press(button("169"));
    ASSERT_TRUE(worker.WaitIdle(5s));
    EXPECT_EQ(wakes, 2);
}

TEST_F(WorkerTest, StopDropsPressesSendsTheWaitingNotificationAndThenClosesTheChannel) {
    configure();
    script.holdPresses = true;
    worker.Press(button("167"));
    ASSERT_TRUE(script.waitFor("eventserver press down"));
    worker.Press(button("166"));
    worker.Notify({"333: shutting down the PC", true});
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        script.release();
    });
    worker.Stop(5s);
    releaser.join();
    const auto c = calls();
    EXPECT_EQ(
        std::vector<std::string>(c.begin() + 1, c.end()),
        (std::vector<std::string>{"eventserver press down", "eventserver notify 333: shutting down the PC",
                                  "eventserver close"}));
    worker.Press(button("168"));
    worker.Configure({ModeEventServer, "127.0.0.1", "9"});
    EXPECT_EQ(calls().size(), c.size()) << "a stopped worker takes nothing more";
}

TEST_F(WorkerTest, StopCutsAWaitThatOutlastsItsBound) {
    configure();
    script.holdPresses = true; // released only by Cancel
    worker.Press(button("167"));
    ASSERT_TRUE(script.waitFor("eventserver press down"));
    const auto start = std::chrono::steady_clock::now();
    worker.Stop(200ms);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(script.cancelled);
    EXPECT_EQ(calls().back(), "eventserver close") << "the channel still closes (BYE)";
}

TEST(WorkerLimit, AWaitingNotificationGoesWhenTheLimitAllowsUnlessANewerOneTookItsPlace) {
    Script script;
    Worker worker([&](const std::string& mode) { return std::make_unique<ScriptedChannel>(script, mode); },
                  nullptr, std::chrono::steady_clock::now, 4, NotificationLimit(1, 300ms));
    worker.Configure({ModeEventServer, "127.0.0.1", "1"});
    worker.Notify({"first"});
    ASSERT_TRUE(script.waitFor("eventserver notify first"));
    const auto sent = std::chrono::steady_clock::now();
    worker.Notify({"second"});
    worker.Notify({"third"});
    ASSERT_TRUE(script.waitFor("eventserver notify third"));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 250ms) << "one interval later";
    worker.Stop();
    const auto c = script.snapshot();
    EXPECT_EQ(std::count(c.begin(), c.end(), "eventserver notify second"), 0);
}
