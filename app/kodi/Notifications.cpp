#include "kodi/Notifications.h"

#include <algorithm>

namespace kodi {

Notification ReceiverUnpluggedNotice() {
    return {"The remote's receiver was unplugged", true};
}

Notification ReceiverPluggedNotice() {
    return {"The remote's receiver is plugged in again", false};
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
    return {"Option code 333: shutting down this PC", true};
}

Notification HibernateNotice() {
    return {"Option code 444: hibernating this PC", true};
}

Notification CloseMediaCenterNotice() {
    return {"Option code 222: closing the media center", true};
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
