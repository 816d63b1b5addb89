// The Windows HID backend of XBMC.dll.
//
// One library thread owns a message-only window and the table of open devices. It enumerates the HID
// interface class with SetupDi when started and again on every device arrival or removal that
// RegisterDeviceNotification reports, opening new devices and closing vanished ones. Each readable device has
// a reader thread running one overlapped ReadFile after another, sized from the device's input report length;
// a reader whose device fails tells the library thread, which closes the device and reports it removed. Only
// the library thread touches the device table; the readers touch only their own device.
#include "Backend.h"

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
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace hidlib::win {

namespace {

constexpr UINT kReaderFailed = WM_APP + 1; // wParam: serial number of the failed device
constexpr UINT kStop = WM_APP + 2;
constexpr char kWindowClass[] = "QelmHidLibraryNotify";

// The HID class driver reads a polled device (the receiver's driver is one) at its own interval, 200 ms under
// Wine by default: a button press waited for the next poll, up to that long. Devices read slower than this
// are asked for this interval; devices that are not polled report an interval of 0 and are left alone.
constexpr ULONG kPollIntervalMs = 10;

struct Device {
    std::uint32_t serial = 0; // never reused, unlike core handles
    std::string path;         // device interface path, as SetupDi gives it
    HANDLE file = INVALID_HANDLE_VALUE;
    std::int32_t handle = 0;
    HANDLE stopEvent = nullptr; // set to stop the reader
    std::thread reader;
};

HMODULE thisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&thisModule), &module);
    return module;
}

// Device interface paths of the HID devices present now.
std::vector<std::string> presentHidPaths() {
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

class HidBackend final : public Backend {
  public:
    // Reached with threads still running only when the process ends while connected: they are gone by then,
    // and joining them is neither needed nor possible.
    ~HidBackend() override {
        for (auto& device : devices_) {
            if (device->reader.joinable()) {
                device->reader.detach();
            }
        }
        if (thread_.joinable()) {
            thread_.detach();
        }
    }
    bool start(Core& core) override;
    void stop() override;

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    void run(std::promise<bool>& ready);
    void rescan();
    bool open(const std::string& path);
    void close(Device& device);
    void closeAll();
    void readerLoop(Device& device, DWORD reportLength);

    Core* core_ = nullptr;
    std::thread thread_;
    HWND window_ = nullptr; // written by the library thread before start() returns
    HDEVNOTIFY notification_ = nullptr;
    std::vector<std::unique_ptr<Device>> devices_; // library thread only
    std::vector<std::string> failedPaths_;         // devices whose reads failed, while they are present
    std::uint32_t nextSerial_ = 1;
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
    return true;
}

void HidBackend::stop() {
    if (!thread_.joinable()) {
        return;
    }
    PostMessageA(window_, kStop, 0, 0);
    thread_.join();
    window_ = nullptr;
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
    HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (window == nullptr) {
        ready.set_value(false);
        return;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window_ = window;

    // Without arrival and removal notices the devices present now still work; readers still report failures.
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    notification_ = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);

    rescan();
    ready.set_value(true); // `ready` belongs to start(), which may return from here on

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
}

LRESULT CALLBACK HidBackend::windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<HidBackend*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcA(window, msg, wParam, lParam);
    }
    switch (msg) {
    case WM_DEVICECHANGE:
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
            self->rescan();
        }
        return TRUE;
    case kReaderFailed: {
        const auto serial = static_cast<std::uint32_t>(wParam);
        auto found = std::find_if(self->devices_.begin(), self->devices_.end(),
                                  [serial](const auto& device) { return device->serial == serial; });
        if (found != self->devices_.end()) {
            // It stays closed while it is present; if it goes and comes back it is opened afresh.
            self->failedPaths_.push_back((*found)->path);
            const std::int32_t handle = (*found)->handle;
            self->close(**found);
            self->devices_.erase(found);
            self->core_->remove(handle);
            self->core_->change();
        }
        return 0;
    }
    case kStop:
        self->closeAll();
        self->failedPaths_.clear();
        if (self->notification_ != nullptr) {
            UnregisterDeviceNotification(self->notification_);
            self->notification_ = nullptr;
        }
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, msg, wParam, lParam);
    }
}

// Brings the device table in line with the devices present: vanished ones are closed and reported removed,
// new ones opened and reported attached, then one change if anything happened. A device whose reads failed is
// not opened again until it has left.
void HidBackend::rescan() {
    const std::vector<std::string> present = presentHidPaths();
    bool changed = false;
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (std::find(present.begin(), present.end(), (*it)->path) == present.end()) {
            const std::int32_t handle = (*it)->handle;
            close(**it);
            it = devices_.erase(it);
            core_->remove(handle);
            changed = true;
        } else {
            ++it;
        }
    }
    std::erase_if(failedPaths_, [&present](const std::string& path) {
        return std::find(present.begin(), present.end(), path) == present.end();
    });
    for (const std::string& path : present) {
        if (std::find(failedPaths_.begin(), failedPaths_.end(), path) != failedPaths_.end()) {
            continue;
        }
        const bool known = std::any_of(devices_.begin(), devices_.end(),
                                       [&path](const auto& device) { return device->path == path; });
        if (!known && open(path)) {
            changed = true;
        }
    }
    if (changed) {
        core_->change();
    }
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

// Shortens the polling interval of a polled device that is read slower than kPollIntervalMs.
void quickenPolling(HANDLE file) {
    ULONG interval = 0;
    if (deviceControl(file, IOCTL_HID_GET_POLL_FREQUENCY_MSEC, nullptr, 0, &interval, sizeof interval) &&
        interval > kPollIntervalMs) {
        ULONG wanted = kPollIntervalMs;
        deviceControl(file, IOCTL_HID_SET_POLL_FREQUENCY_MSEC, &wanted, sizeof wanted, nullptr, 0);
    }
}

bool HidBackend::open(const std::string& path) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    bool readable = true;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        file = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        // Keyboards and mice are kept by the system; their IDs can still be read.
        readable = false;
        file = CreateFileA(path.c_str(), 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(file, &attributes)) {
        CloseHandle(file);
        return false;
    }
    DWORD reportLength = 0;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (HidD_GetPreparsedData(file, &preparsed)) {
        HIDP_CAPS caps{};
        if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
            reportLength = caps.InputReportByteLength; // report ID included
        }
        HidD_FreePreparsedData(preparsed);
    }
    const std::int32_t handle = core_->attach(attributes.VendorID, attributes.ProductID);
    if (handle == 0) {
        CloseHandle(file);
        return false;
    }
    auto device = std::make_unique<Device>();
    device->serial = nextSerial_++;
    device->path = path;
    device->file = file;
    device->handle = handle;
    if (readable && reportLength > 0) {
        quickenPolling(file);
        device->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (device->stopEvent != nullptr) {
            Device* raw = device.get();
            device->reader = std::thread([this, raw, reportLength] { readerLoop(*raw, reportLength); });
        }
    }
    devices_.push_back(std::move(device));
    return true;
}

void HidBackend::close(Device& device) {
    if (device.reader.joinable()) {
        SetEvent(device.stopEvent);
        device.reader.join();
    }
    if (device.stopEvent != nullptr) {
        CloseHandle(device.stopEvent);
        device.stopEvent = nullptr;
    }
    if (device.file != INVALID_HANDLE_VALUE) {
        CloseHandle(device.file);
        device.file = INVALID_HANDLE_VALUE;
    }
}

// Every device is closed and removed from the core. Removals are not announced: the core is disconnected by
// now.
void HidBackend::closeAll() {
    for (auto& device : devices_) {
        close(*device);
        core_->remove(device->handle);
    }
    devices_.clear();
}

void HidBackend::readerLoop(Device& device, DWORD reportLength) {
    std::vector<std::uint8_t> buffer(reportLength);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool failed = overlapped.hEvent == nullptr;
    while (!failed && WaitForSingleObject(device.stopEvent, 0) != WAIT_OBJECT_0) {
        ResetEvent(overlapped.hEvent);
        if (!ReadFile(device.file, buffer.data(), reportLength, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            failed = true;
            break;
        }
        HANDLE waits[2] = {overlapped.hEvent, device.stopEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            // Stopping (or the wait failed): the buffer must outlive the read, so wait for its end.
            CancelIo(device.file);
            DWORD ignored = 0;
            GetOverlappedResult(device.file, &overlapped, &ignored, TRUE);
            break;
        }
        DWORD length = 0;
        if (!GetOverlappedResult(device.file, &overlapped, &length, FALSE) || length == 0) {
            failed = true;
            break;
        }
        core_->report(device.handle,
                      std::span<const std::uint8_t>(buffer.data(), std::min<DWORD>(length, reportLength)));
    }
    if (overlapped.hEvent != nullptr) {
        CloseHandle(overlapped.hEvent);
    }
    if (failed) {
        PostMessageA(window_, kReaderFailed, device.serial, 0);
    }
}

} // namespace

Backend& backend() {
    static HidBackend instance;
    return instance;
}

} // namespace hidlib::win
