// The notifications the program shows on Kodi's screen, and the limit on how many: a storm of events (a
// receiver with a loose cable, a button held down) gives a few notifications, not a queue of them on Kodi's
// screen.
#pragma once

#include "kodi/Channel.h"

#include <chrono>
#include <string>

namespace kodi {

Notification ReceiverUnpluggedNotice();
Notification ReceiverPluggedNotice();
// The option code as typed so far, the rest as blanks: "Option code: _ _ _" (just armed), "Option code: 1 _
// _".
Notification OptionCodeNotice(const std::string& digits);
// What a complete option code is about to do: "333: shutting down the PC", ...
Notification ShutdownNotice();
Notification HibernateNotice();
Notification CloseMediaCenterNotice();

// How many notifications go to Kodi, and when: Burst at once, then one per Interval (a token bucket). A
// notification that must wait is sent as soon as the bucket allows, unless a newer one has taken its place
// meanwhile: after a storm Kodi's screen ends with the latest news. The same text as the last one sent is
// dropped for RepeatAfter (Kodi still shows it).
class NotificationLimit {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    static constexpr int DefaultBurst = 4;
    static constexpr std::chrono::seconds DefaultInterval{4};
    static constexpr std::chrono::seconds RepeatAfter{5};

    explicit NotificationLimit(int burst = DefaultBurst, Duration interval = DefaultInterval);

    enum class Verdict { Send, Wait, Drop };
    Verdict Check(const std::string& text, TimePoint now);
    // When a notification told to wait may go.
    TimePoint NextSend(TimePoint now);
    // Counts a notification sent.
    void Sent(const std::string& text, TimePoint now);

  private:
    void refill(TimePoint now);

    int burst_;
    Duration interval_;
    bool started_ = false;
    Duration credit_{}; // one interval per notification, up to burst of them
    TimePoint last_{};
    std::string lastText_;
    TimePoint lastTextAt_{};
};

} // namespace kodi
