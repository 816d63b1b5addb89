#include "kodi/Worker.h"

#include "kodi/EventServer.h"
#include "kodi/JsonRpc.h"

#include <utility>

namespace kodi {

Worker::Worker(platform::Sockets* sockets, platform::HttpClient* http, Wake wake)
    : Worker(
          [sockets, http](const std::string& mode) -> std::unique_ptr<Channel> {
              if (mode == ModeEventServer) {
                  return std::make_unique<EventServer>(sockets);
              }
              return std::make_unique<JsonRpc>(http);
          },
          std::move(wake)) {}

Worker::Worker(ChannelFactory factory, Wake wake, Clock clock, std::size_t capacity, NotificationLimit limit)
    : factory_(std::move(factory)), wake_(std::move(wake)), clock_(std::move(clock)),
      capacity_(capacity > 0 ? capacity : 1), limit_(std::move(limit)) {}

Worker::~Worker() {
    Stop();
}

void Worker::Configure(const ChannelSettings& settings) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return;
    }
    settings_ = settings;
    ++settingsVersion_;
    active_ = IsKodiMode(settings.mode);
    notificationsOn_ = active_ && settings.notifications;
    if (!notificationsOn_) {
        notice_.reset();
    }
    if (active_ && !thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
    work_.notify_all();
}

bool Worker::Active() const {
    std::lock_guard lock(mutex_);
    return active_ && !stopped_;
}

void Worker::Press(const KodiButtonRow& button) {
    std::lock_guard lock(mutex_);
    if (!active_ || stopping_ || stopped_) {
        return;
    }
    if (queue_.size() >= capacity_) {
        queue_.pop_front();
        ++dropped_;
    }
    queue_.push_back(&button);
    work_.notify_all();
}

void Worker::Notify(const Notification& notification) {
    std::lock_guard lock(mutex_);
    if (!notificationsOn_ || stopping_ || stopped_) {
        return;
    }
    notice_ = notification; // one not sent yet says less than this one
    work_.notify_all();
}

std::vector<Result> Worker::TakeResults() {
    std::lock_guard lock(mutex_);
    wakePending_ = false;
    return std::exchange(results_, {});
}

std::uint64_t Worker::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

bool Worker::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [&] {
        return finished_ || !thread_.joinable() ||
               (queue_.empty() && !notice_ && !busy_ && appliedVersion_ == settingsVersion_);
    });
}

void Worker::Stop(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    if (stopped_) {
        return;
    }
    stopped_ = true;
    if (!thread_.joinable()) {
        return;
    }
    stopping_ = true;
    queue_.clear(); // presses not begun are dropped; a waiting notification still goes
    work_.notify_all();
    if (!idle_.wait_for(lock, bound, [&] { return finished_; })) {
        abandon_ = true;
        lock.unlock();
        std::lock_guard channelLock(channelMutex_);
        if (channel_) {
            channel_->Cancel();
        }
    } else {
        lock.unlock();
    }
    thread_.join();
}

void Worker::apply(const ChannelSettings& settings) {
    if (!IsKodiMode(settings.mode)) {
        if (channel_) {
            channel_->Close();
        }
        std::lock_guard channelLock(channelMutex_);
        channel_.reset();
        channelMode_.clear();
        return;
    }
    if (!channel_ || settings.mode != channelMode_) {
        if (channel_) {
            channel_->Close();
        }
        std::unique_ptr<Channel> channel = factory_(settings.mode);
        std::lock_guard channelLock(channelMutex_);
        channel_ = std::move(channel);
        channelMode_ = settings.mode;
    }
    if (channel_) {
        channel_->Configure(settings);
    }
}

Result Worker::perform(const KodiButtonRow* button, const Notification& notification) {
    Result result;
    result.press = button != nullptr;
    result.what = result.press ? std::string(button->r1Name) : notification.message;
    if (!channel_) {
        result.outcome = {Problem::NoNetwork, 0, "", "no channel for the mode"};
    } else if (result.press) {
        result.outcome = channel_->Press(*button);
    } else {
        result.outcome = channel_->Notify(notification);
    }
    return result;
}

void Worker::report(std::unique_lock<std::mutex>& lock, Result result) {
    if (results_.size() >= MaxResults) {
        results_.erase(results_.begin());
    }
    results_.push_back(std::move(result));
    const bool wake = !wakePending_ && !stopping_;
    wakePending_ = true;
    if (wake && wake_) {
        lock.unlock();
        wake_();
        lock.lock();
    }
    // Idle only now: whoever waits for it finds the form's message posted.
    busy_ = false;
    idle_.notify_all();
}

void Worker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (appliedVersion_ != settingsVersion_) {
            const ChannelSettings settings = settings_;
            const std::uint64_t version = settingsVersion_;
            lock.unlock();
            apply(settings);
            lock.lock();
            appliedVersion_ = version;
            idle_.notify_all();
            continue;
        }
        if (abandon_) {
            break;
        }
        // The notification first, when its limit lets it go (or the program is ending).
        bool noticeWaits = false;
        if (notice_) {
            const auto verdict = limit_.Check(notice_->message, clock_());
            if (verdict == NotificationLimit::Verdict::Drop) {
                notice_.reset();
                idle_.notify_all();
                continue;
            }
            if (verdict == NotificationLimit::Verdict::Send || stopping_) {
                const Notification notification = std::move(*notice_);
                notice_.reset();
                limit_.Sent(notification.message, clock_());
                busy_ = true;
                lock.unlock();
                Result result = perform(nullptr, notification);
                lock.lock();
                report(lock, std::move(result));
                continue;
            }
            noticeWaits = true;
        }
        if (!queue_.empty()) {
            const KodiButtonRow* button = queue_.front();
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            Result result = perform(button, {});
            lock.lock();
            report(lock, std::move(result));
            continue;
        }
        if (stopping_) {
            break;
        }
        if (noticeWaits) {
            const auto now = clock_();
            work_.wait_until(lock, std::chrono::steady_clock::now() + (limit_.NextSend(now) - now));
        } else {
            work_.wait(lock);
        }
    }
    lock.unlock();
    if (channel_) {
        channel_->Close(); // the EventServer hears BYE
    }
    lock.lock();
    finished_ = true;
    idle_.notify_all();
}

} // namespace kodi
