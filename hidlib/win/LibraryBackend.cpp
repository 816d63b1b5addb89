// The backend of the shipped XBMC.dll: two device sources at once, the HID stack (HidBackend.cpp: the
// receiver through qelmrc and the HID class driver) and WinUSB (WinUsbBackend.cpp: the receiver's interface 0
// bound to Microsoft's WinUSB driver, its interrupt pipe read straight). The program does not know which
// route a device came by: both give the core the same reports.
//
// One library thread owns a hidden window and, per source, its port and device manager (DeviceSet), which
// decides what is opened, read, retried and let go. The window gets arrivals and removals of each source's
// device interface class and the handle notices of each device open for reading (RegisterDeviceNotification),
// the retry timers and reader failures (tagged with their source), and WM_POWERBROADCAST.
//
// The window is a hidden top-level window rather than a message-only one: only top-level windows receive
// WM_POWERBROADCAST, and the resume after a sleep or hibernation is what the managers must hear of.
#include "Backend.h"
#include "WindowsPort.h"
#include "hidlib/DeviceSet.h"

#include <windows.h>

#include <dbt.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <future>
#include <memory>
#include <thread>

namespace hidlib::win {

namespace {

constexpr char kWindowClass[] = "QelmHidLibraryNotify";
constexpr UINT kSetReadingTimeoutMs = 5000;
constexpr unsigned kSources = 2; // 0: HID, 1: WinUSB

HMODULE thisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&thisModule), &module);
    return module;
}

// A source on the library thread: its port, its manager and its arrival notifications.
struct Source {
    std::unique_ptr<SourcePort> port;
    std::unique_ptr<DeviceSet> set;
    HDEVNOTIFY notification = nullptr;
};

// The backend: the library thread, its window and the sources. Forwards the program's read-notify changes
// to the library thread.
class LibraryBackend final : public Backend, private ReadingListener {
  public:
    // Reached with the thread still running only when the process ends while connected: it is gone by then,
    // and neither joining it nor closing the devices is possible. The managers and ports are left as they
    // are.
    ~LibraryBackend() override {
        if (thread_.joinable()) {
            thread_.detach();
            for (Source& source : sources_) {
                (void)source.set.release();
                (void)source.port.release();
            }
        }
    }
    bool start(Core& core) override;
    void stop() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT deviceChange(WPARAM event, LPARAM data);
    void run(std::promise<bool>& ready);
    void close(HWND window);
    void readingChanged(std::int32_t handle, bool reading) override;

    Core* core_ = nullptr;
    std::thread thread_;
    std::atomic<HWND> window_{nullptr};    // written by the library thread before start() returns
    std::array<Source, kSources> sources_; // library thread only
};

bool LibraryBackend::start(Core& core) {
    core_ = &core;
    std::promise<bool> ready;
    std::future<bool> started = ready.get_future();
    thread_ = std::thread([this, &ready] { run(ready); });
    if (!started.get()) {
        thread_.join();
        return false;
    }
    core.setListener(this);
    return true;
}

void LibraryBackend::stop() {
    if (!thread_.joinable()) {
        return;
    }
    core_->setListener(nullptr);
    PostMessageA(window_.load(), kStop, 0, 0);
    thread_.join();
    window_ = nullptr;
}

// On the program's thread, from SetReadNotify. Sent, so that the device is open (and its interval lowered)
// by the time SetReadNotify returns; bounded, so that a stuck library thread cannot freeze the program.
void LibraryBackend::readingChanged(std::int32_t handle, bool reading) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(window_.load(), kSetReading, static_cast<WPARAM>(handle), reading ? 1 : 0,
                        SMTO_NORMAL, kSetReadingTimeoutMs, &ignored);
}

void LibraryBackend::run(std::promise<bool>& ready) {
    const HMODULE module = thisModule();
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &LibraryBackend::windowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        ready.set_value(false);
        return;
    }
    // Never shown; WS_EX_TOOLWINDOW keeps it off the task switcher even if something did show it.
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  module, nullptr);
    if (window == nullptr) {
        ready.set_value(false);
        return;
    }
    sources_[0].port = makeHidSource(window, 0);
    sources_[1].port = makeWinUsbSource(window, 1);
    for (Source& source : sources_) {
        source.set = std::make_unique<DeviceSet>(*core_, source.port->port());
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window_ = window;

    // Without arrival and removal notices the devices present now still work; readers still report failures.
    for (Source& source : sources_) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = source.port->interfaceClass();
        source.notification = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        source.set->rescan();
    }
    ready.set_value(true); // `ready` belongs to start(), which may return from here on

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
}

LRESULT LibraryBackend::deviceChange(WPARAM event, LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_HANDLE &&
        header->dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid)) {
        const auto& notice = *reinterpret_cast<const DEV_BROADCAST_HANDLE*>(data);
        for (Source& source : sources_) {
            const WatchId watch = source.port->watchFor(notice);
            if (watch == 0) {
                continue;
            }
            switch (event) {
            case DBT_DEVICEQUERYREMOVE:
                source.set->queryRemove(watch); // the handle is closed now: the removal may go on
                break;
            case DBT_DEVICEQUERYREMOVEFAILED:
                source.set->removeCancelled(watch);
                break;
            case DBT_DEVICEREMOVEPENDING:
            case DBT_DEVICEREMOVECOMPLETE:
                source.set->removeDone(watch);
                break;
            default:
                break;
            }
            break;
        }
        return TRUE;
    }
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) {
        return TRUE;
    }
    // An interface arrival or removal concerns the source of its class; a notice without one, every source.
    const bool named = header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
                       header->dbch_size >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    for (Source& source : sources_) {
        if (!named ||
            IsEqualGUID(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(data)->dbcc_classguid,
                        source.port->interfaceClass())) {
            source.set->rescan();
        }
    }
    return TRUE;
}

void LibraryBackend::close(HWND window) {
    for (Source& source : sources_) {
        source.set->closeAll();
        if (source.notification != nullptr) {
            UnregisterDeviceNotification(source.notification);
            source.notification = nullptr;
        }
        source.set.reset();
        source.port.reset();
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    DestroyWindow(window);
    PostQuitMessage(0);
}

LRESULT CALLBACK LibraryBackend::windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<LibraryBackend*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcA(window, msg, wParam, lParam);
    }
    switch (msg) {
    case WM_DEVICECHANGE:
        return self->deviceChange(wParam, lParam);
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMEAUTOMATIC) {
            for (Source& source : self->sources_) {
                source.set->resume();
            }
        }
        return TRUE;
    case WM_TIMER: {
        KillTimer(window, wParam); // one retry per back-off
        Source& source = self->sources_[sourceOfKey(wParam)];
        source.set->retry(readerOfKey(wParam));
        return 0;
    }
    case kReaderFailed: {
        Source& source = self->sources_[sourceOfKey(wParam)];
        const ReaderId id = readerOfKey(wParam);
        if (source.port->currentReader(id, static_cast<std::uint32_t>(lParam))) {
            source.set->readFailed(id);
        }
        return 0;
    }
    case kSetReading:
        // The handle belongs to one source; the other's manager does not know it and leaves it alone.
        for (Source& source : self->sources_) {
            source.set->readingChanged(static_cast<std::int32_t>(wParam), lParam != 0);
        }
        return 0;
    case kStop:
        self->close(window);
        return 0;
    default:
        return DefWindowProcA(window, msg, wParam, lParam);
    }
}

} // namespace

Backend& backend() {
    static LibraryBackend instance;
    return instance;
}

} // namespace hidlib::win
