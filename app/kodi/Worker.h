// The Kodi worker: one thread that does all of the Kodi channels' network work (name lookups, connections,
// requests, replies), so that the program's thread never waits on any of it. The form configures it once
// with the settings (and again when they change), hands it each press and notification, and hears back
// through `wake`, called on the worker's thread when results are waiting (the form posts itself a message and
// takes them on its own thread).
//
// Presses wait in a bounded queue and keep their order; a press to a full queue drops the oldest (counted in
// Dropped()). At most one notification waits, beside the queue: a newer one takes its place. It goes before
// the presses waiting then, as soon as its limit (NotificationLimit) allows, so it costs the presses one
// exchange at most per interval. Without a Kodi mode in the settings nothing is queued, and the thread is
// started only with the first Kodi mode.
//
// Stop ends the worker: presses not begun are dropped, a waiting notification is still sent (whatever the
// limit), the channel closes (the EventServer's BYE), all within the bound where the network allows: past it
// the wait in progress is cancelled. (A name lookup cannot be cancelled; it ends with the name service's own
// time-out.)
#pragma once

#include "kodi/Channel.h"
#include "kodi/Notifications.h"
#include "platform/HttpClient.h"
#include "platform/Sockets.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kodi {

// What the worker did with one job.
struct Result {
    bool press = true;  // a press; false: a notification
    std::string what{}; // the button's name in Kodi's keymap, or the notification's text
    Outcome outcome{};
};

class Worker {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Wake = std::function<void()>;
    // Makes the channel of a Kodi mode (ModeEventServer or ModeJsonRpc).
    using ChannelFactory = std::function<std::unique_ptr<Channel>(const std::string& mode)>;

    static constexpr std::size_t QueueCapacity = 16;
    static constexpr std::size_t MaxResults = 64; // results not yet taken; older ones go first
    static constexpr std::chrono::milliseconds StopBound{1000};

    // The real channels over the ports (either may be null: that channel reports no network).
    Worker(platform::Sockets* sockets, platform::HttpClient* http, Wake wake);
    Worker(ChannelFactory factory, Wake wake, Clock clock = std::chrono::steady_clock::now,
           std::size_t capacity = QueueCapacity, NotificationLimit limit = NotificationLimit());
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // The program's thread: the settings (applied before the next job), a press, a notification.
    void Configure(const ChannelSettings& settings);
    // Whether the settings select a Kodi mode (presses are then queued).
    bool Active() const;
    void Press(const KodiButtonRow& button);
    void Notify(const Notification& notification);

    // The results since the last call, oldest first; the next result wakes the form again.
    std::vector<Result> TakeResults();
    // Presses dropped by a full queue since the start.
    std::uint64_t Dropped() const;

    // Waits until every job queued so far is done (tests and benchmarks); false after the time-out.
    bool WaitIdle(std::chrono::milliseconds timeout);
    // Ends the worker (see above); the worker takes nothing more afterwards.
    void Stop(std::chrono::milliseconds bound = StopBound);

  private:
    void run();
    void apply(const ChannelSettings& settings);
    // A press (button) or the notification, on the channel, with the lock released.
    Result perform(const KodiButtonRow* button, const Notification& notification);
    void report(std::unique_lock<std::mutex>& lock, Result result);

    ChannelFactory factory_;
    Wake wake_;
    Clock clock_;
    std::size_t capacity_;

    mutable std::mutex mutex_;
    std::condition_variable work_; // a job, new settings, or the stop
    std::condition_variable idle_; // a job done, the worker ended
    std::deque<const KodiButtonRow*> queue_;
    std::optional<Notification> notice_; // the notification waiting to go
    ChannelSettings settings_;
    std::uint64_t settingsVersion_ = 0;
    std::uint64_t appliedVersion_ = 0;
    bool active_ = false;
    bool notificationsOn_ = false;
    NotificationLimit limit_; // consulted by the worker's thread when the notification goes
    bool busy_ = false;
    bool stopping_ = false;
    bool abandon_ = false; // past the stop's bound: whatever is queued goes unsent
    bool finished_ = false;
    bool stopped_ = false;
    bool wakePending_ = false;
    std::vector<Result> results_;
    std::uint64_t dropped_ = 0;
    std::thread thread_;

    // The channel is the worker thread's; the mutex guards the pointer against Cancel from Stop.
    std::mutex channelMutex_;
    std::unique_ptr<Channel> channel_;
    std::string channelMode_;
};

} // namespace kodi
