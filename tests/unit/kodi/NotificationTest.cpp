// The notifications' texts and their limit, on a clock the test moves by hand.
#include "kodi/Notifications.h"

#include <gtest/gtest.h>

using namespace kodi;
using namespace std::chrono_literals;
using Verdict = NotificationLimit::Verdict;

TEST(Notification, TheOptionCodeShowsWhatIsTypedAndBlanksForTheRest) {
    const struct {
        const char* digits;
        const char* text;
    } cases[] = {
        {"", "Option code: _ _ _"},    {"1", "Option code: 1 _ _"},    {"12", "Option code: 1 2 _"},
        {"123", "Option code: 1 2 3"}, {"1234", "Option code: 1 2 3"}, // never more than three places
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.digits);
        EXPECT_EQ(OptionCodeNotice(c.digits).message, c.text);
    }
    EXPECT_TRUE(ShutdownNotice().warning);
    EXPECT_TRUE(ReceiverUnpluggedNotice().warning);
    EXPECT_FALSE(ReceiverPluggedNotice().warning);
}

TEST(NotificationLimit, ABurstGoesThenOnePerIntervalAndARepeatIsDropped) {
    const auto t0 = std::chrono::steady_clock::time_point() + 1000h;
    const struct {
        std::chrono::milliseconds at; // since t0
        const char* text;
        Verdict verdict;
    } steps[] = {
        {0ms, "a", Verdict::Send},     {10ms, "b", Verdict::Send},    {20ms, "c", Verdict::Send},
        {30ms, "d", Verdict::Send},    {40ms, "e", Verdict::Wait}, // the burst of four is spent
        {50ms, "d", Verdict::Drop},   // the same as the last sent, still on Kodi's screen
        {4030ms, "e", Verdict::Send}, // one interval has given one back
        {4040ms, "f", Verdict::Wait},  {8500ms, "e", Verdict::Drop},  // "e" is still the last text sent
        {10100ms, "f", Verdict::Send}, {12100ms, "e", Verdict::Send}, // another text came between
        {60000ms, "g", Verdict::Send}, {60001ms, "h", Verdict::Send}, {60002ms, "i", Verdict::Send},
        {60003ms, "j", Verdict::Send}, {60004ms, "k", Verdict::Wait}, // a long pause refills no more than a
                                                                      // burst
    };
    NotificationLimit limit;
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.at.count()) + " ms: " + s.text);
        const auto now = t0 + s.at;
        EXPECT_EQ(limit.Check(s.text, now), s.verdict);
        if (s.verdict == Verdict::Send) {
            limit.Sent(s.text, now);
        }
        if (s.verdict == Verdict::Wait) {
            const auto next = limit.NextSend(now);
            EXPECT_GT(next, now);
            EXPECT_LE(next, now + NotificationLimit::DefaultInterval);
            EXPECT_EQ(limit.Check("other", next), Verdict::Send) << "it may go when NextSend says";
        }
    }
}
