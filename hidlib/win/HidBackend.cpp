// The Windows HID backend of XBMC.dll.
//
// One library thread owns a hidden window and the device manager (DeviceSet), which decides what is opened,
// read, retried and let go. This file is the manager's platform: SetupDi for the HID interfaces present,
// hid.dll for IDs, report length and the class driver's polling interval, RegisterDeviceNotification for
// arrivals and removals (of the interface class, and of each device open for reading), timers for the retry
// back-off, and one reader thread per device read, running one overlapped ReadFile after another. A reader
// hands its reports straight to the core and tells the library thread when a read fails.
//
// The window is a hidden top-level window rather than a message-only one: only top-level windows receive
// WM_POWERBROADCAST, and the resume after a sleep or hibernation is what the manager must hear of.
#include "Backend.h"
#include "hidlib/DeviceSet.h"
#include "hidlib/HidPort.h"

#include <windows.h>

#include <dbt.h>
// mingw-w64's HID headers declare C functions without extern "C"; hidsdi.h brings hidpi.h.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>
#include <winioctl.h>

#include <hidclass.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace hidlib::win {

namespace {

constexpr UINT kReaderFailed = WM_APP + 1; // wParam: reader id, lParam: the reader's generation
constexpr UINT kStop = WM_APP + 2;
constexpr UINT kSetReading = WM_APP + 3; // wParam: core handle, lParam: 1 reading, 0 not; sent
constexpr char kWindowClass[] = "QelmHidLibraryNotify";
constexpr UINT kSetReadingTimeoutMs = 5000;

HMODULE thisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&thisModule), &module);
    return module;
}

HANDLE toHandle(FileId file) {
    return reinterpret_cast<HANDLE>(file);
}

// One device control on a device opened for overlapped I/O, waited for. True when it succeeded.
bool deviceControl(HANDLE file, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }
    DWORD returned = 0;
    BOOL done = DeviceIoControl(file, code, in, inLength, out, outLength, &returned, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        done = GetOverlappedResult(file, &overlapped, &returned, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return done != FALSE;
}

// A reader thread and what it needs; owned by the port, touched by the library thread only.
struct Reader {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE stopEvent = nullptr;
    std::uint32_t generation = 0;
    std::thread thread;
};

// A removal watch on a device open for reading. The file handle is kept (as a value) after the file is
// closed: notices name the handle, the registration, or both.
struct Watch {
    HDEVNOTIFY notify = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
};

class WindowsHid final : public HidPort {
  public:
    explicit WindowsHid(HWND window) : window_(window) {}
    // Reached with readers running only when the process ends while connected: they are gone by then.
    ~WindowsHid() override {
        for (auto& [id, reader] : readers_) {
            if (reader->thread.joinable()) {
                reader->thread.detach();
            }
        }
    }

    std::vector<std::string> presentPaths() override;
    std::optional<DeviceFacts> identify(const std::string& path) override;
    FileId openForReading(const std::string& path) override;
    void close(FileId file) override { CloseHandle(toHandle(file)); }
    std::optional<std::uint32_t> pollInterval(FileId file) override;
    bool setPollInterval(FileId file, std::uint32_t ms) override;
    WatchId watchRemoval(FileId file) override;
    void unwatchRemoval(WatchId watch) override;
    bool startReader(ReaderId id, FileId file, std::uint32_t reportLength, ReportSink& sink) override;
    void stopReader(ReaderId id) override;
    void retryAfter(ReaderId id, std::chrono::milliseconds delay) override {
        SetTimer(window_, id, static_cast<UINT>(delay.count()), nullptr);
    }
    void cancelRetry(ReaderId id) override { KillTimer(window_, id); }
    void note(const std::string& line) override { OutputDebugStringA((line + "\n").c_str()); }

    // The watch a handle notice is about: by its registration, else by the handle it names.
    WatchId watchFor(const DEV_BROADCAST_HANDLE& notice) const;
    // True when the failure came from the reader now running under this id.
    bool currentReader(ReaderId id, std::uint32_t generation) const {
        const auto found = readers_.find(id);
        return found != readers_.end() && found->second->generation == generation;
    }

  private:
    void readerLoop(ReaderId id, std::uint32_t generation, HANDLE file, HANDLE stopEvent, DWORD reportLength,
                    ReportSink& sink);

    HWND window_;
    std::map<ReaderId, std::unique_ptr<Reader>> readers_;
    std::map<WatchId, Watch> watches_;
    WatchId nextWatch_ = 1;
    std::uint32_t nextGeneration_ = 1;
};

std::vector<std::string> WindowsHid::presentPaths() {
    std::vector<std::string> paths;
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data); ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            continue;
        }
        std::vector<std::uint8_t> storage(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
            // The path ends at its NUL within the buffer SetupDi filled.
            const std::size_t room = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
            const char* path = detail->DevicePath;
            paths.emplace_back(path, strnlen(path, room));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::optional<DeviceFacts> WindowsHid::identify(const std::string& path) {
    // No read or write access: enough for the IDs and the report length, and granted for keyboards and mice
    // too.
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    std::optional<DeviceFacts> facts;
    if (HidD_GetAttributes(file, &attributes)) {
        facts = DeviceFacts{attributes.VendorID, attributes.ProductID, 0};
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (HidD_GetPreparsedData(file, &preparsed)) {
            HIDP_CAPS caps{};
            if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
                facts->reportLength = caps.InputReportByteLength; // report ID included
            }
            HidD_FreePreparsedData(preparsed);
        }
    }
    CloseHandle(file);
    return facts;
}

FileId WindowsHid::openForReading(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return file == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<FileId>(file);
}

std::optional<std::uint32_t> WindowsHid::pollInterval(FileId file) {
    ULONG interval = 0;
    if (!deviceControl(toHandle(file), IOCTL_HID_GET_POLL_FREQUENCY_MSEC, nullptr, 0, &interval,
                       sizeof interval)) {
        return std::nullopt;
    }
    return interval;
}

bool WindowsHid::setPollInterval(FileId file, std::uint32_t ms) {
    ULONG wanted = ms;
    return deviceControl(toHandle(file), IOCTL_HID_SET_POLL_FREQUENCY_MSEC, &wanted, sizeof wanted, nullptr,
                         0);
}

WatchId WindowsHid::watchRemoval(FileId file) {
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = toHandle(file);
    HDEVNOTIFY notify = RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notify == nullptr) {
        return 0;
    }
    const WatchId watch = nextWatch_++;
    watches_[watch] = {notify, toHandle(file)};
    return watch;
}

void WindowsHid::unwatchRemoval(WatchId watch) {
    const auto found = watches_.find(watch);
    if (found != watches_.end()) {
        UnregisterDeviceNotification(found->second.notify);
        watches_.erase(found);
    }
}

WatchId WindowsHid::watchFor(const DEV_BROADCAST_HANDLE& notice) const {
    for (const auto& [watch, entry] : watches_) {
        if (notice.dbch_hdevnotify != nullptr && notice.dbch_hdevnotify == entry.notify) {
            return watch;
        }
    }
    for (const auto& [watch, entry] : watches_) {
        if (notice.dbch_handle == entry.file) {
            return watch;
        }
    }
    return 0;
}

bool WindowsHid::startReader(ReaderId id, FileId file, std::uint32_t reportLength, ReportSink& sink) {
    auto reader = std::make_unique<Reader>();
    reader->file = toHandle(file);
    reader->generation = nextGeneration_++;
    reader->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (reader->stopEvent == nullptr) {
        return false;
    }
    reader->thread = std::thread([this, id, generation = reader->generation, handle = reader->file,
                                  stop = reader->stopEvent, reportLength,
                                  &sink] { readerLoop(id, generation, handle, stop, reportLength, sink); });
    readers_[id] = std::move(reader);
    return true;
}

void WindowsHid::stopReader(ReaderId id) {
    const auto found = readers_.find(id);
    if (found == readers_.end()) {
        return;
    }
    Reader& reader = *found->second;
    SetEvent(reader.stopEvent);
    if (reader.thread.joinable()) {
        reader.thread.join();
    }
    CloseHandle(reader.stopEvent);
    readers_.erase(found);
}

void WindowsHid::readerLoop(ReaderId id, std::uint32_t generation, HANDLE file, HANDLE stopEvent,
                            DWORD reportLength, ReportSink& sink) {
    std::vector<std::uint8_t> buffer(reportLength);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool failed = overlapped.hEvent == nullptr;
    while (!failed && WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
        ResetEvent(overlapped.hEvent);
        if (!ReadFile(file, buffer.data(), reportLength, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            failed = true;
            break;
        }
        HANDLE waits[2] = {overlapped.hEvent, stopEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // Stopping (or the wait failed): the buffer must outlive the read, so wait for its end.
            CancelIo(file);
            DWORD ignored = 0;
            GetOverlappedResult(file, &overlapped, &ignored, TRUE);
            break;
        }
        DWORD length = 0;
        if (!GetOverlappedResult(file, &overlapped, &length, FALSE) || length == 0) {
            failed = true;
            break;
        }
        sink.deliver(std::span<const std::uint8_t>(buffer.data(), std::min<DWORD>(length, reportLength)));
    }
    if (overlapped.hEvent != nullptr) {
        CloseHandle(overlapped.hEvent);
    }
    if (failed) {
        PostMessageA(window_, kReaderFailed, id, static_cast<LPARAM>(generation));
    }
}

// The backend: the library thread, its window, the port and the manager. Forwards the program's read-notify
// changes to the library thread.
class HidBackend final : public Backend, private ReadingListener {
  public:
    // Reached with the thread still running only when the process ends while connected: it is gone by then,
    // and neither joining it nor closing the devices is possible. The manager and port are left as they are.
    ~HidBackend() override {
        if (thread_.joinable()) {
            thread_.detach();
            (void)set_.release();
            (void)port_.release();
        }
    }
    bool start(Core& core) override;
    void stop() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT deviceChange(WPARAM event, LPARAM data);
    void run(std::promise<bool>& ready);
    void readingChanged(std::int32_t handle, bool reading) override;

    Core* core_ = nullptr;
    std::thread thread_;
    std::atomic<HWND> window_{nullptr}; // written by the library thread before start() returns
    HDEVNOTIFY notification_ = nullptr;
    std::unique_ptr<WindowsHid> port_; // library thread only
    std::unique_ptr<DeviceSet> set_;   // library thread only
};

bool HidBackend::start(Core& core) {
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

void HidBackend::stop() {
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
void HidBackend::readingChanged(std::int32_t handle, bool reading) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(window_.load(), kSetReading, static_cast<WPARAM>(handle), reading ? 1 : 0,
                        SMTO_NORMAL, kSetReadingTimeoutMs, &ignored);
}

void HidBackend::run(std::promise<bool>& ready) {
    const HMODULE module = thisModule();
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &HidBackend::windowProc;
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
    port_ = std::make_unique<WindowsHid>(window);
    set_ = std::make_unique<DeviceSet>(*core_, *port_);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window_ = window;

    // Without arrival and removal notices the devices present now still work; readers still report failures.
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    notification_ = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);

    set_->rescan();
    ready.set_value(true); // `ready` belongs to start(), which may return from here on

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
}

LRESULT HidBackend::deviceChange(WPARAM event, LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_HANDLE &&
        header->dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid)) {
        const WatchId watch = port_->watchFor(*reinterpret_cast<const DEV_BROADCAST_HANDLE*>(data));
        switch (event) {
        case DBT_DEVICEQUERYREMOVE:
            set_->queryRemove(watch); // the handle is closed now: the removal may go on
            return TRUE;
        case DBT_DEVICEQUERYREMOVEFAILED:
            set_->removeCancelled(watch);
            return TRUE;
        case DBT_DEVICEREMOVEPENDING:
        case DBT_DEVICEREMOVECOMPLETE:
            set_->removeDone(watch);
            return TRUE;
        default:
            return TRUE;
        }
    }
    if (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE) {
        set_->rescan();
    }
    return TRUE;
}

LRESULT CALLBACK HidBackend::windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<HidBackend*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcA(window, msg, wParam, lParam);
    }
    switch (msg) {
    case WM_DEVICECHANGE:
        return self->deviceChange(wParam, lParam);
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMEAUTOMATIC) {
            self->set_->resume();
        }
        return TRUE;
    case WM_TIMER:
        KillTimer(window, wParam); // one retry per back-off
        self->set_->retry(static_cast<ReaderId>(wParam));
        return 0;
    case kReaderFailed:
        if (self->port_->currentReader(static_cast<ReaderId>(wParam), static_cast<std::uint32_t>(lParam))) {
            self->set_->readFailed(static_cast<ReaderId>(wParam));
        }
        return 0;
    case kSetReading:
        self->set_->readingChanged(static_cast<std::int32_t>(wParam), lParam != 0);
        return 0;
    case kStop:
        self->set_->closeAll();
        if (self->notification_ != nullptr) {
            UnregisterDeviceNotification(self->notification_);
            self->notification_ = nullptr;
        }
        self->set_.reset();
        self->port_.reset();
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, msg, wParam, lParam);
    }
}

} // namespace

Backend& backend() {
    static HidBackend instance;
    return instance;
}

} // namespace hidlib::win
