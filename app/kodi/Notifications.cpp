#include "kodi/Notifications.h"

#include <algorithm>

namespace kodi {

Notification ReceiverUnpluggedNotice() {
    return {"Receiver unplugged", true};
}

Notification ReceiverPluggedNotice() {
    return {"Receiver plugged in again", false};
}

Notification OptionCodeNotice(const std::string& digits) {
    std::string text = "Option code:";
    for (std::size_t i = 0; i < 3; ++i) {
        text += ' ';
        text += i < digits.size() ? digits[i] : '_';
    }
    return {text, false};
}

Notification ShutdownNotice() {
    return {"333: shutting down the PC", true};
}

Notification HibernateNotice() {
    return {"444: hibernating the PC", true};
}

Notification CloseMediaCenterNotice() {
    return {"222: closing Kodi", true};
}

NotificationLimit::NotificationLimit(int burst, Duration interval)
    : burst_(burst > 0 ? burst : 1), interval_(interval > Duration::zero() ? interval : Duration(1)) {}

void NotificationLimit::refill(TimePoint now) {
    const Duration capacity = burst_ * interval_;
    if (!started_) {
        started_ = true;
        credit_ = capacity;
    } else if (now > last_) {
        credit_ = std::min(capacity, credit_ + (now - last_));
    }
    last_ = std::max(last_, now);
}

NotificationLimit::Verdict NotificationLimit::Check(const std::string& text, TimePoint now) {
    refill(now);
    if (text == lastText_ && now - lastTextAt_ < RepeatAfter) {
        return Verdict::Drop;
    }
    return credit_ >= interval_ ? Verdict::Send : Verdict::Wait;
}

NotificationLimit::TimePoint NotificationLimit::NextSend(TimePoint now) {
    refill(now);
    return credit_ >= interval_ ? now : now + (interval_ - credit_);
}

void NotificationLimit::Sent(const std::string& text, TimePoint now) {
    refill(now);
    credit_ = credit_ >= interval_ ? credit_ - interval_ : Duration::zero();
    lastText_ = text;
    lastTextAt_ = now;
}

} // namespace kodi
