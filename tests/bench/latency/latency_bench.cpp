// Latency of one button press through the whole chain on the host, split into its parts: from the moment
// the receiver model delivers a packet to the moment the media center's window gets the key (WM_KEYDOWN), the
// HTTP stand-in gets the SendKey request, or, in the keyboard mode, the program hands the key presses to the
// system (SendInput; the player in front has a map of its own, so the press also asks which program it is).
//
//   total     packet sent -> key (or request) arrived
//   polling   packet sent -> start of the class driver's read that delivered it (the wait for the next poll)
//   software  start of that read -> arrived: the driver's read, the library, the program and, in HTTP mode,
//             the request on a new connection
//
// Next to it, in the same run, a bare thread-wake baseline: a thread on the same fixed-rate timer takes a
// timestamp at its tick and wakes a thread waiting on a condition variable, the least a report can cost to
// get from the poll thread to the program's UI thread. The software part is given as a ratio to it.
//
// Presses are spaced like a person's (about 100 ms apart, so caches and predictors are cold again) and land
// at random points of the polling cycle; the poll thread runs on a fixed-rate timer. Consecutive presses
// alternate between two buttons, since the library passes a report only when it differs from the previous.
//
//   latency_bench window|http|keyboard [presses] [poll-ms]   (default 200 presses, 10 ms: XBMC.dll's
//   interval)
//
// Exit status: 1 when the chain cannot run or a press gave more than one command; in window and keyboard mode
// also when the software part's median exceeds 160 us or its 99th percentile 1 ms (bounds for an optimized
// build on a shared 2-core machine) in each of three runs made one after the other. The figures are printed
// in every case.
#include "HostChain.h"
#include "KeyboardButtonMap.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double SoftwareMedianBoundUs = 160.0;

enum class Target { Window, Http, Keyboard };
constexpr double SoftwareP99BoundUs = 1000.0;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The chain as the system tests build it, with a clock on the poll that delivers each press and on what
// arrives at the far end.
class Chain : public HostChain {
  public:
    Chain(Target target, std::chrono::microseconds poll) : target_(target), poll_(poll) {
        server.onRequest([this](const httpstandin::RecordedRequest&) { arrived(); });
        reportObserver = [this](const std::uint8_t* report, std::size_t length) {
            // On the poll thread: the first read that carries the awaited button is the one that delivers it.
            if (length > 2 && report[2] == awaited_.load() && delivered_.load() == 0) {
                delivered_ = kernel->lastPollStart().time_since_epoch().count();
            }
        };
    }
    ~Chain() override {
        // The server's thread reports arrivals into this object: stop it before this object goes.
        server.stop();
    }

    // Start-up: the media center's window, Tavrelmond, the receiver plugged in and read. False on failure.
    bool start() {
        if (target_ == Target::Keyboard) {
            // The two buttons pressed: one from the player's own map, one from [Buttons].
            startProgram(ModeKeyboard, "[Buttons]\r\nup=W\r\n[Buttons:player.exe]\r\ndown=Ctrl+Right\r\n");
            const platform::Hwnd player = desk.addWindow("Player", "player");
            desk.window(player)->program = "player.exe";
            desk.setForegroundWindow(player);
            desk.onKeys = [this](const std::vector<platform::KeyEvent>&) { arrived(); };
        } else {
            startProgram(target_ == Target::Window ? "true" : "false");
        }
        desk.window(xbmc)->proc = [this](platform::Hwnd, std::uint32_t message, std::uintptr_t,
                                         std::intptr_t) {
            if (message == platform::WM_KEYDOWN) {
                arrived();
            }
            return platform::MessageResult{0};
        };
        return plugIn(poll_) && pumpUntil([&] { return readingReceiver(); }, 10s);
    }

    // The next packet to watch for: its button code. Clears the delivering poll's time.
    void await(std::uint8_t code) {
        delivered_ = 0;
        awaited_ = code;
    }
    // When the read that delivered the awaited packet started; the epoch if none has yet.
    Clock::time_point deliveredAt() const { return Clock::time_point(Clock::duration(delivered_.load())); }

    // Commands that reached the far end so far, and when the n-th arrived.
    std::size_t arrivals() const { return count_.load(); }
    Clock::time_point arrival(std::size_t n) {
        std::lock_guard lock(mutex_);
        return times_.at(n);
    }

  private:
    void arrived() {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        times_.push_back(now);
        count_ = times_.size();
    }

    Target target_;
    std::chrono::microseconds poll_;
    std::atomic<int> awaited_{-1};
    std::atomic<Clock::rep> delivered_{0};
    std::mutex mutex_;
    std::vector<Clock::time_point> times_;
    std::atomic<std::size_t> count_{0};
};

// The baseline: a thread on a fixed-rate timer that, at the first tick after a request, takes the time and
// wakes the requesting thread.
class WakeBaseline {
  public:
    explicit WakeBaseline(std::chrono::microseconds interval) : interval_(interval) {
        thread_ = std::thread([this] { run(); });
    }
    ~WakeBaseline() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        tick_.notify_all();
        thread_.join();
    }
    WakeBaseline(const WakeBaseline&) = delete;
    WakeBaseline& operator=(const WakeBaseline&) = delete;

    // One wake: the time from the tick that took the request to the requester running again.
    Clock::duration once() {
        std::unique_lock lock(mutex_);
        requested_ = true;
        woken_ = false;
        done_.wait(lock, [this] { return woken_; });
        const auto now = Clock::now();
        return now - tickAt_;
    }

  private:
    void run() {
        auto next = Clock::now();
        std::unique_lock lock(mutex_);
        for (;;) {
            next += interval_;
            if (tick_.wait_until(lock, next, [this] { return stop_; })) {
                return;
            }
            const auto now = Clock::now();
            if (now - next > interval_) {
                next = now;
            }
            if (requested_) {
                requested_ = false;
                tickAt_ = now;
                woken_ = true;
                done_.notify_one();
            }
        }
    }

    std::chrono::microseconds interval_;
    std::mutex mutex_;
    std::condition_variable tick_;
    std::condition_variable done_;
    bool stop_ = false;
    bool requested_ = false;
    bool woken_ = false;
    Clock::time_point tickAt_;
    std::thread thread_;
};

struct Samples {
    std::vector<double> total, polling, software, baseline; // microseconds, one per press
    std::size_t extra = 0;                                  // commands beyond one per press
    std::string failure;
};

Samples measure(Target target, std::chrono::microseconds poll, int presses) {
    Samples s;
    Chain chain(target, poll);
    if (!chain.start()) {
        s.failure = "the program did not start reading the receiver";
        return s;
    }
    WakeBaseline baseline(poll);
    std::mt19937 random(12345);
    std::uniform_int_distribution<long> gap(45000, 55000); // half the spacing of two presses, in us
    const std::uint8_t codes[2] = {166, 167};
    // A few unmeasured presses first: the first report read may be the driver's all-zero one, and the first
    // HTTP request sets up what later ones reuse.
    const int warmUp = 5;
    for (int i = -warmUp; i < presses; ++i) {
        const std::uint8_t code = codes[(i + warmUp) % 2];
        const std::size_t before = chain.arrivals();
        chain.await(code);
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        const auto sent = Clock::now();
        if (!chain.kernel->send(ReceiverStack::buttonPacket(code))) {
            s.failure = "the receiver model found no transfer to complete";
            return s;
        }
        if (!chain.pumpUntil([&] { return chain.arrivals() > before; }, 10s)) {
            s.failure = "press " + std::to_string(i + warmUp + 1) + " never arrived";
            return s;
        }
        const auto arrived = chain.arrival(before);
        const auto polled = chain.deliveredAt();
        if (polled == Clock::time_point()) {
            s.failure = "press " + std::to_string(i + warmUp + 1) + " arrived without a read that carried it";
            return s;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        const auto wake = baseline.once();
        if (i >= 0) {
            s.total.push_back(micros(arrived - sent));
            s.polling.push_back(micros(polled - sent));
            s.software.push_back(micros(arrived - polled));
            s.baseline.push_back(micros(wake));
        }
    }
    // Let a few more polls pass: a repeated packet must not have become another command.
    const unsigned long polls = chain.kernel->polls() + 5;
    chain.pumpUntil([&] { return chain.kernel->polls() >= polls; }, 2s);
    s.extra = chain.arrivals() - static_cast<std::size_t>(presses + warmUp);
    return s;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

std::string figure(double us) {
    char text[32];
    if (us >= 1000.0) {
        std::snprintf(text, sizeof text, "%.2f ms", us / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%.0f us", us);
    }
    return text;
}

// One run: measures, prints the figures, and tells whether they are within the bounds (window mode) and the
// chain worked. Returns 0 within, 1 past the bounds, 2 when the chain failed.
int runOnce(Target mode, long pollMs, int presses) {
    const char* target = mode == Target::Window ? "window (WM_KEYDOWN at the media center)"
                         : mode == Target::Http ? "http (request at the stand-in)"
                                                : "keyboard (SendInput of the keys for the player in front)";
    const auto started = Clock::now();
    Samples s = measure(mode, std::chrono::milliseconds(pollMs), presses);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (!s.failure.empty()) {
        std::printf("latency %s poll=%ldms: could not run: %s\n", target, pollMs, s.failure.c_str());
        return 2;
    }
    const double baseMedian = percentile(s.baseline, 0.5);
    const double baseP99 = percentile(s.baseline, 0.99);
    const double softMedian = percentile(s.software, 0.5);
    const double softP99 = percentile(s.software, 0.99);
    std::printf("latency %s poll=%ldms, %zu presses about 100 ms apart (%.0f s):\n", target, pollMs,
                s.total.size(), seconds);
    std::printf("  total     median %-9s p99 %s\n", figure(percentile(s.total, 0.5)).c_str(),
                figure(percentile(s.total, 0.99)).c_str());
    std::printf("  polling   median %-9s p99 %s   (the wait for the class driver's next read)\n",
                figure(percentile(s.polling, 0.5)).c_str(), figure(percentile(s.polling, 0.99)).c_str());
    std::printf("  software  median %-9s p99 %-9s (x%.1f and x%.1f the baseline)\n",
                figure(softMedian).c_str(), figure(softP99).c_str(), softMedian / baseMedian,
                softP99 / baseP99);
    std::printf("  baseline  median %-9s p99 %-9s (a timer thread waking a waiting thread)\n",
                figure(baseMedian).c_str(), figure(baseP99).c_str());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
    std::printf("  (not an optimized build: these figures are not the program's)\n");
#endif
    int result = 0;
    if (s.extra != 0) {
        std::printf("  FAILED: %zu commands arrived beyond one per press\n", s.extra);
        result = 2;
    }
    if (mode != Target::Http) {
        const bool within = softMedian <= SoftwareMedianBoundUs && softP99 <= SoftwareP99BoundUs;
        std::printf("  %s: software part median %s (bound %s), p99 %s (bound %s)\n", within ? "ok" : "past",
                    figure(softMedian).c_str(), figure(SoftwareMedianBoundUs).c_str(),
                    figure(softP99).c_str(), figure(SoftwareP99BoundUs).c_str());
        if (!within && result == 0) {
            result = 1;
        }
    }
    std::fflush(stdout);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const std::string name = argc < 2 ? "" : argv[1];
    if (name != "window" && name != "http" && name != "keyboard") {
        std::fprintf(stderr, "usage: %s window|http|keyboard [presses] [poll-ms]\n", argv[0]);
        return 2;
    }
    const Target target = name == "window" ? Target::Window
                          : name == "http" ? Target::Http
                                           : Target::Keyboard;
    const int presses = std::max(1, argc > 2 ? std::atoi(argv[2]) : 200);
    const long pollMs = std::max(1, argc > 3 ? std::atoi(argv[3]) : 10);

    // A shared machine can stall a thread for milliseconds at any time, and two such moments among 200
    // presses move the 99th percentile past its bound: a run past the bounds is measured again, up to three
    // runs. A slow program is past its bounds in every run.
    int result = 1;
    for (int run = 1; run <= 3 && result == 1; ++run) {
        if (run > 1) {
            std::printf("  past the bounds: measuring again (run %d of 3)\n", run);
        }
        result = runOnce(target, pollMs, presses);
    }
    if (result != 0) {
        std::printf("FAILED\n");
    }
    return result == 0 ? 0 : 1;
}
