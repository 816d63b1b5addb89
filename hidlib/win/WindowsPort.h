// What the shipped backend's two device sources (HID and WinUSB) share on Windows: the library window's
// messages, the device interfaces of a class, and per source a port's reader threads, removal watches
// (handle notifications), retry timers and notes, all on the one library window.
//
// Both sources live on that window, so a timer or a reader failure names its source: the reader id is
// tagged with the source's number (sourceKey).
#pragma once

#include "hidlib/DevicePort.h"

#include <windows.h>

#include <dbt.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace hidlib::win {

constexpr UINT kReaderFailed = WM_APP + 1; // wParam: sourceKey of the reader, lParam: the reader's generation
constexpr UINT kStop = WM_APP + 2;
constexpr UINT kSetReading = WM_APP + 3; // wParam: core handle, lParam: 1 reading, 0 not; sent

// A reader id (or timer id) tagged with its source's number (0 or 1).
inline UINT_PTR sourceKey(unsigned source, ReaderId id) {
    return (static_cast<UINT_PTR>(id) << 1) | (source & 1U);
}
inline unsigned sourceOfKey(UINT_PTR key) {
    return static_cast<unsigned>(key & 1U);
}
inline ReaderId readerOfKey(UINT_PTR key) {
    return static_cast<ReaderId>(key >> 1);
}

// Device interface paths of the present devices of an interface class.
std::vector<std::string> interfacePaths(const GUID& interfaceClass);

// A source's reader threads, removal watches and retry timers on the library window. Touched by the library
// thread only (a reader thread only posts its failure).
class PortServices {
  public:
    // The body of a reader thread: reads until stopEvent is set; returns true when it ended with a failure.
    using ReaderBody = std::function<bool(HANDLE stopEvent)>;

    PortServices(HWND window, unsigned source) : window_(window), source_(source) {}
    // Reached with readers running only when the process ends while connected: they are gone by then.
    ~PortServices();
    PortServices(const PortServices&) = delete;
    PortServices& operator=(const PortServices&) = delete;

    // Runs body on a thread of its own; a failure is posted to the window as kReaderFailed.
    bool startReader(ReaderId id, ReaderBody body);
    // Stops the reader (sets its stop event) and waits for its thread.
    void stopReader(ReaderId id);
    // True when a failure came from the reader now running under this id.
    bool currentReader(ReaderId id, std::uint32_t generation) const;

    // Handle notifications for an open file: query-remove and the rest arrive at the window.
    WatchId watch(HANDLE file);
    void unwatch(WatchId watch);
    // The watch a handle notice is about: by its registration, else by the handle it names.
    WatchId watchFor(const DEV_BROADCAST_HANDLE& notice) const;

    void retryAfter(ReaderId id, std::chrono::milliseconds delay) {
        SetTimer(window_, sourceKey(source_, id), static_cast<UINT>(delay.count()), nullptr);
    }
    void cancelRetry(ReaderId id) { KillTimer(window_, sourceKey(source_, id)); }
    static void note(const std::string& line) { OutputDebugStringA((line + "\n").c_str()); }

  private:
    struct Reader {
        HANDLE stopEvent = nullptr;
        std::uint32_t generation = 0;
        std::thread thread;
    };
    // The file handle is kept (as a value) after the file is closed: notices name the handle, the
    // registration, or both.
    struct Watch {
        HDEVNOTIFY notify = nullptr;
        HANDLE file = INVALID_HANDLE_VALUE;
    };

    HWND window_;
    unsigned source_;
    std::map<ReaderId, std::unique_ptr<Reader>> readers_;
    std::map<WatchId, Watch> watches_;
    WatchId nextWatch_ = 1;
    std::uint32_t nextGeneration_ = 1;
};

// What the library thread holds of a source: its port, for the device manager, and what the window's
// messages need of it.
class SourcePort {
  public:
    virtual ~SourcePort() = default;
    virtual DevicePort& port() = 0;
    // The device interface class whose arrivals and removals concern this source.
    virtual GUID interfaceClass() const = 0;
    virtual WatchId watchFor(const DEV_BROADCAST_HANDLE& notice) const = 0;
    virtual bool currentReader(ReaderId id, std::uint32_t generation) const = 0;
};

// A port of Port's kind (HidPort, WinUsbPort) on the library window: the operations every source does the
// same way. fileHandle gives the Windows handle behind an open file, for handle notifications.
template <class Port> class PortOnWindow : public Port, public SourcePort {
  public:
    PortOnWindow(HWND window, unsigned source) : services_(window, source) {}

    WatchId watchRemoval(FileId file) override { return services_.watch(fileHandle(file)); }
    void unwatchRemoval(WatchId watch) override { services_.unwatch(watch); }
    void stopReader(ReaderId id) override { services_.stopReader(id); }
    void retryAfter(ReaderId id, std::chrono::milliseconds delay) override {
        services_.retryAfter(id, delay);
    }
    void cancelRetry(ReaderId id) override { services_.cancelRetry(id); }
    void note(const std::string& line) override { PortServices::note(line); }

    DevicePort& port() override { return *this; }
    WatchId watchFor(const DEV_BROADCAST_HANDLE& notice) const override { return services_.watchFor(notice); }
    bool currentReader(ReaderId id, std::uint32_t generation) const override {
        return services_.currentReader(id, generation);
    }

  protected:
    virtual HANDLE fileHandle(FileId file) const = 0;
    PortServices services_;
};

// The two sources of the shipped library, each on the library window under its number.
std::unique_ptr<SourcePort> makeHidSource(HWND window, unsigned source);
std::unique_ptr<SourcePort> makeWinUsbSource(HWND window, unsigned source);

} // namespace hidlib::win
