// A Poster that keeps every posted notification, for the hidlib tests.
#pragma once

#include "hidlib/Core.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <utility>
#include <vector>

struct Posted {
    std::intptr_t hwnd;
    std::uint32_t msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool operator==(const Posted&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Posted& p) {
    return out << "{hwnd " << p.hwnd << ", msg 0x" << std::hex << p.msg << std::dec << ", wParam " << p.wParam
               << ", lParam " << p.lParam << "}";
}

// The library's four notices (message 0x80C8) to one window: attach, removal, change, report ready.
struct Notices {
    std::intptr_t window;
    Posted attach(std::int32_t handle) const { return {window, 0x80C8, 1, handle}; }
    Posted removal(std::int32_t handle) const { return {window, 0x80C8, 2, handle}; }
    Posted change() const { return {window, 0x80C8, 3, 0}; }
    Posted read(std::int32_t handle) const { return {window, 0x80C8, 4, handle}; }
};

class RecordingPoster final : public hidlib::Poster {
  public:
    void post(std::intptr_t hwnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override {
        {
            std::lock_guard lock(mutex_);
            messages_.push_back({hwnd, msg, wParam, lParam});
        }
        arrived_.notify_all();
    }
    // Takes everything posted so far.
    std::vector<Posted> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(messages_, {});
    }
    // Waits for a message and takes the oldest one.
    Posted next() {
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [this] { return !messages_.empty(); });
        Posted first = messages_.front();
        messages_.erase(messages_.begin());
        return first;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Posted> messages_;
};
