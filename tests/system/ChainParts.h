// Pieces of the whole chain on the host shared by the system tests and the benchmarks: the notification
// queue between the library's threads and the program's UI thread, and the program's HID-library port over
// the library's sim backend.
#pragma once

#include "hidlib/SimLibrary.h"
#include "platform/HidLibrary.h"
#include "platform/sim/SimDesktop.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

// Notifications posted from the library's side (any thread), queued until the UI thread takes them.
class CrossThreadPoster : public hidlib::Poster {
  public:
    void post(std::intptr_t hwnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override {
        std::lock_guard lock(mutex_);
        queue_.push_back({hwnd, msg, wParam, lParam});
        wake_.notify_all();
    }
    // Waits until something is queued (at most `wait`), then takes all of it.
    std::deque<sim::Message> take(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, wait, [&] { return !queue_.empty(); });
        return std::exchange(queue_, {});
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<sim::Message> queue_;
};

// The program's HID-library port over the library's sim backend.
class LibraryPort : public platform::HidLibrary {
  public:
    explicit LibraryPort(hidlib::SimLibrary& library) : library_(library) {}
    std::optional<std::int16_t> Connect(std::int32_t hwnd) override { return library_.connect(hwnd); }
    std::optional<std::int16_t> Disconnect() override { return library_.disconnect(); }
    std::optional<std::int32_t> GetHandle(std::int32_t vid, std::int32_t pid) override {
        return library_.getHandle(vid, pid);
    }
    std::optional<std::int32_t> GetVendorID(std::int32_t h) override { return library_.getVendorId(h); }
    std::optional<std::int32_t> GetProductID(std::int32_t h) override { return library_.getProductId(h); }
    std::optional<std::int16_t> SetReadNotify(std::int32_t h, std::int16_t enable) override {
        if (h != 0 && enable != 0) {
            readingHandle = h;
        }
        return library_.setReadNotify(h, enable);
    }
    std::optional<std::int16_t> Read(std::int32_t h, std::uint8_t* buffer17) override {
        return library_.read(h, buffer17);
    }

    std::int32_t readingHandle = 0; // the last handle the program asked reports of

  private:
    hidlib::SimLibrary& library_;
};
