// The whole chain on the host, wired once for the system tests and the latency benchmark: the receiver
// under qelmrc and the HID class stand-in, the HID library's core (sim backend), Tavrelmond on the simulated
// desktop with a media-center window, and a real HTTP server on loopback through libcurl.
//
// Threads as on Windows: the class driver's poll thread feeds the library, which posts notifications; the
// caller's thread is the program's UI thread and takes the posted messages into the desktop's message loop.
#pragma once

#include "ChainParts.h"
#include "MainForm.h"
#include "ReceiverStack.h"
#include "hidlib/SimLibrary.h"
#include "platform/posix/CurlWinInet.h"
#include "platform/posix/ProfileReader.h"
#include "platform/sim/SimDesktop.h"

#include "HttpStandIn.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

class HostChain {
  public:
    HostChain() {
        char pattern[] = "/tmp/tavrelmond-chain-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("no temporary folder");
        }
        folder = pattern;
        desk.exeFolder = folder;
        desk.profileReader = platform::posix::getPrivateProfileString;
        desk.sectionReader = platform::posix::getPrivateProfileSection;
        desk.sectionNamesReader = platform::posix::getPrivateProfileSectionNames;
    }
    virtual ~HostChain() {
        form.reset();
        kernel.reset();
        std::filesystem::remove_all(folder);
    }
    HostChain(const HostChain&) = delete;
    HostChain& operator=(const HostChain&) = delete;

    // The media center's window, then Tavrelmond started in a mode ("true" keys, "false" HTTP, "keyboard"),
    // with more sections after the program's own (key maps) where given.
    void startProgram(const std::string& mode, const std::string& moreSections = "") {
        xbmc = desk.addWindow("SDL_app", "XBMC");
        std::ofstream(folder + "/Config.ini")
            << "[Tavrelmond Config]\r\nAPIControlXBMCOPENGL=" << mode
            << "\r\nVendorID=1118\r\nProductID=644\r\nIP Address=127.0.0.1\r\n"
            << "port=" << server.port() << "\r\n"
            << moreSections;
        form = std::make_unique<MainForm>(platform);
        form->Load();
        form->SysTray1->SetIcon(form->Icon);
        form->SysTray1->Show();
        pump();
    }

    // Plugging in: the device starts, then the library sees it arrive (as the Windows backend sees the device
    // interface appear) and announces the change. False when the device did not start.
    bool plugIn(std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
        handle = 0;
        const bool started = kernel->plugIn(poll, [this](const std::uint8_t* report, std::size_t length) {
            if (reportObserver) {
                reportObserver(report, length);
            }
            const std::int32_t h = handle.load();
            if (h == 0) {
                return; // not opened by the library yet
            }
            std::uint8_t buffer[17] = {0}; // report ID 0 first
            const std::size_t n = std::min<std::size_t>(length, 16);
            std::copy_n(report, n, buffer + 1);
            library.report(h, std::span<const std::uint8_t>(buffer, n + 1));
        });
        if (!started) {
            return false;
        }
        handle = library.attach(kernel->vendorId(), kernel->productId());
        library.change();
        return true;
    }

    // Pulling out: the library loses the device, then the kernel removes it.
    void pullOut() {
        const std::int32_t h = handle.exchange(0);
        library.remove(h);
        library.change();
        kernel->pullOut();
    }

    // The program's UI thread: takes posted notifications into the desktop's queue and runs the message loop
    // until `done` holds or the time is up. It sleeps on the notification queue in between.
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

    // The program asked for the reports of the receiver now attached.
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
    platform::Platform platform{desk, desk, desk, desk, desk, inet, port, nullptr, &desk};
    std::unique_ptr<MainForm> form;
    platform::Hwnd xbmc = 0;
    // Sees every report the class driver reads, on its poll thread, before the library does. Set before
    // plugIn (the poll thread reads it unguarded).
    std::function<void(const std::uint8_t* report, std::size_t length)> reportObserver;
};
