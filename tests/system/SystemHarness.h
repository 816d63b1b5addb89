// The whole chain on the host: receiver packet -> qelmrc under the host kernel -> HID class polling -> the
// HID library's core (sim backend) -> Tavrelmond on the simulated desktop -> a media-center window, or a real
// HTTP server on loopback through libcurl.
//
// Threads as on Windows: the class driver's poll thread feeds the library, which posts notifications; the
// test's thread is the program's UI thread and takes the posted messages into the desktop's message loop.
#pragma once

#include "MainForm.h"
#include "ReceiverStack.h"
#include "hidlib/SimLibrary.h"
#include "platform/posix/CurlWinInet.h"
#include "platform/posix/ProfileReader.h"
#include "platform/sim/SimDesktop.h"

#include "HttpStandIn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

// Notifications posted from the library's side (any thread), queued until the UI thread takes them.
class CrossThreadPoster : public hidlib::Poster {
  public:
    void post(std::intptr_t hwnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override {
        std::lock_guard lock(mutex_);
        queue_.push_back({hwnd, msg, wParam, lParam});
        wake_.notify_all();
    }
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

class SystemTest : public ::testing::Test {
  protected:
    SystemTest() {
        char pattern[] = "/tmp/tavrelmond-system-XXXXXX";
        folder = mkdtemp(pattern);
        desk.exeFolder = folder;
        desk.profileReader = platform::posix::getPrivateProfileString;
    }
    ~SystemTest() override {
        form.reset();
        kernel.reset();
        std::filesystem::remove_all(folder);
    }
    void TearDown() override {
        form.reset();
        kernel.reset();
        EXPECT_EQ(ReceiverStack::outstandingPool(), 0u) << ReceiverStack::describePool();
    }

    // The media center's window and Tavrelmond started in a mode ("true" keys, "false" HTTP).
    void startProgram(const std::string& mode) {
        xbmc = desk.addWindow("SDL_app", "XBMC");
        std::ofstream(folder + "/Config.ini")
            << "[Tavrelmond Config]\r\nAPIControlXBMCOPENGL=" << mode
            << "\r\nVendorID=1118\r\nProductID=644\r\nIP Address=127.0.0.1\r\n"
            << "port=" << server.port() << "\r\n";
        form = std::make_unique<MainForm>(platform);
        form->Load();
        form->SysTray1->SetIcon(form->Icon);
        form->SysTray1->Show();
        pump();
    }

    // Plugging in: the device starts, then the library sees it arrive (as the Windows backend sees the device
    // interface appear) and announces the change.
    void plugIn(std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
        handle = 0;
        ASSERT_TRUE(kernel->plugIn(poll, [this](const std::uint8_t* report, std::size_t length) {
            const std::int32_t h = handle.load();
            if (h == 0) {
                return; // not opened by the library yet
            }
            std::uint8_t buffer[17] = {0}; // report ID 0 first
            const std::size_t n = std::min<std::size_t>(length, 16);
            std::copy_n(report, n, buffer + 1);
            library.report(h, std::span<const std::uint8_t>(buffer, n + 1));
        }));
        handle = library.attach(kernel->vendorId(), kernel->productId());
        library.change();
    }

    // Pulling out: the library loses the device, then the kernel removes it.
    void pullOut() {
        const std::int32_t h = handle.exchange(0);
        library.remove(h);
        library.change();
        kernel->pullOut();
    }

    // The program's UI thread: takes posted notifications into the desktop's queue and runs the message loop
    // until `done` holds or the time is up.
    template <typename Predicate>
    bool pumpUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (const auto& m : poster.take(std::chrono::milliseconds(2))) {
                desk.postMessage(m.window, m.message, m.wParam, m.lParam);
            }
            desk.pump();
            if (done()) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
        }
    }
    void pump() {
        pumpUntil([] { return false; }, std::chrono::milliseconds(0));
    }

    bool readingReceiver() const { return port.readingHandle == handle.load() && handle.load() != 0; }

    std::size_t keyMessages() const { return desk.messagesTo(xbmc).size(); }

    std::string folder;
    std::unique_ptr<ReceiverStack> kernel = std::make_unique<ReceiverStack>();
    CrossThreadPoster poster;
    hidlib::SimLibrary library{poster};
    std::atomic<std::int32_t> handle{0};
    sim::SimDesktop desk;
    LibraryPort port{library};
    platform::CurlWinInet inet;
    httpstandin::StandIn server;
    platform::Platform platform{desk, desk, desk, desk, desk, inet, port};
    std::unique_ptr<MainForm> form;
    platform::Hwnd xbmc = 0;
};
