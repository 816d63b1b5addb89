// Latency of one button press through the whole chain on the host: from the moment the receiver model
// delivers a packet to the moment the media center's window gets the key (WM_KEYDOWN) or the HTTP stand-in
// gets the SendKey request. Both HID class polling intervals of interest (8 ms, 1 ms), median and 99th
// percentile.
//
// The program's UI thread is this thread: it sleeps on the notification queue's condition variable and wakes
// as soon as the library posts. Each press waits a random part of a polling interval first, so that packets
// arrive at any point of the class driver's polling cycle, as a person's presses do. Consecutive presses
// alternate between two buttons, since the library passes a report only when it differs from the previous
// one.
//
//   latency_bench window|http [presses]      (default 1000 presses per polling interval)
//
// Printed figures, not assertions: the program fails only when the chain cannot run (start-up failed, or a
// press never arrived).
#include "HostChain.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The chain as the system tests build it, with a clock on what arrives at the far end.
class Chain : public HostChain {
  public:
    Chain(bool windowMode, std::chrono::microseconds poll) : windowMode_(windowMode), poll_(poll) {
        server.onRequest([this](const httpstandin::RecordedRequest&) { arrived(); });
    }
    ~Chain() override {
        // The server's thread reports arrivals into this object: stop it before this object goes.
        server.stop();
    }

    // Start-up: the media center's window, Tavrelmond, the receiver plugged in and read. False on failure.
    bool start() {
        startProgram(windowMode_ ? "true" : "false");
        desk.window(xbmc)->proc = [this](platform::Hwnd, std::uint32_t message, std::uintptr_t,
                                         std::intptr_t) {
            if (message == platform::WM_KEYDOWN) {
                arrived();
            }
            return platform::MessageResult{0};
        };
        return plugIn(poll_) && pumpUntil([&] { return readingReceiver(); }, 10s);
    }

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

    bool windowMode_;
    std::chrono::microseconds poll_;
    std::mutex mutex_;
    std::vector<Clock::time_point> times_;
    std::atomic<std::size_t> count_{0};
};

struct Result {
    std::vector<double> ms; // one latency per press
    std::size_t extra = 0;  // commands beyond one per press
    std::string failure;
};

Result measure(bool windowMode, std::chrono::microseconds poll, int presses) {
    Result result;
    Chain chain(windowMode, poll);
    if (!chain.start()) {
        result.failure = "the program did not start reading the receiver";
        return result;
    }
    std::mt19937 random(12345);
    std::uniform_int_distribution<long> phase(0, poll.count() - 1);
    const std::uint8_t codes[2] = {166, 167};
    // A few unmeasured presses first: the first report read may be the driver's all-zero one, and the first
    // HTTP request sets up what later ones reuse.
    const int warmUp = 5;
    for (int i = -warmUp; i < presses; ++i) {
        const std::size_t before = chain.arrivals();
        std::this_thread::sleep_for(std::chrono::microseconds(phase(random)));
        const auto sent = Clock::now();
        if (!chain.kernel->send(ReceiverStack::buttonPacket(codes[(i + warmUp) % 2]))) {
            result.failure = "the receiver model found no transfer to complete";
            return result;
        }
        if (!chain.pumpUntil([&] { return chain.arrivals() > before; }, 10s)) {
            result.failure = "press " + std::to_string(i + warmUp + 1) + " never arrived";
            return result;
        }
        if (i >= 0) {
            result.ms.push_back(
                std::chrono::duration<double, std::milli>(chain.arrival(before) - sent).count());
        }
    }
    // Let a few more polls pass: a repeated packet must not have become another command.
    const unsigned long polls = chain.kernel->polls() + 5;
    chain.pumpUntil([&] { return chain.kernel->polls() >= polls; }, 2s);
    result.extra = chain.arrivals() - static_cast<std::size_t>(presses + warmUp);
    return result;
}

double percentile(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || (std::strcmp(argv[1], "window") != 0 && std::strcmp(argv[1], "http") != 0)) {
        std::fprintf(stderr, "usage: %s window|http [presses]\n", argv[0]);
        return 2;
    }
    const bool windowMode = std::strcmp(argv[1], "window") == 0;
    const int presses = std::max(1, argc > 2 ? std::atoi(argv[2]) : 1000);
    const char* target =
        windowMode ? "window (WM_KEYDOWN at the media center)" : "http (request at the stand-in)";

    bool failed = false;
    for (const auto poll : {std::chrono::microseconds(8000), std::chrono::microseconds(1000)}) {
        const auto started = Clock::now();
        Result r = measure(windowMode, poll, presses);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const long pollMs = static_cast<long>(poll.count() / 1000);
        if (!r.failure.empty()) {
            std::printf("latency %s poll=%ldms: could not run: %s\n", target, pollMs, r.failure.c_str());
            failed = true;
            continue;
        }
        std::sort(r.ms.begin(), r.ms.end());
        std::printf("latency %s poll=%ldms: median %.2f ms p99 %.2f ms (min %.2f, max %.2f; n=%zu, %.1f s)\n",
                    target, pollMs, percentile(r.ms, 0.5), percentile(r.ms, 0.99), r.ms.front(), r.ms.back(),
                    r.ms.size(), seconds);
        if (r.extra != 0) {
            std::printf("  note: %zu commands arrived beyond one per press\n", r.extra);
        }
        std::fflush(stdout);
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    std::printf("(built with a sanitizer: processing times are inflated; the polling interval dominates)\n");
#endif
    return failed ? 1 : 0;
}
