// The HID source of the shipped XBMC.dll: the device manager's port on the platform's HID stack. SetupDi for
// the HID interfaces present, hid.dll for IDs, report length and the class driver's polling interval, and one
// reader thread per device read, running one overlapped ReadFile after another. A reader hands its reports
// straight to the core and tells the library thread when a read fails. The library thread, its window and
// what the two sources share are in LibraryBackend.cpp and WindowsPort.cpp.
#include "WindowsPort.h"
#include "hidlib/HidPort.h"

#include <windows.h>

// mingw-w64's HID headers declare C functions without extern "C"; hidsdi.h brings hidpi.h.
extern "C" {
#include <hidsdi.h>
}
#include <winioctl.h>

#include <hidclass.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hidlib::win {

namespace {

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

// One overlapped ReadFile after another until stopEvent; true when a read failed.
bool readReports(HANDLE file, HANDLE stopEvent, DWORD reportLength, ReportSink& sink) {
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
    return failed;
}

class WindowsHid final : public PortOnWindow<HidPort> {
  public:
    using PortOnWindow::PortOnWindow;

    std::vector<std::string> presentPaths() override { return interfacePaths(interfaceClass()); }
    std::optional<DeviceFacts> identify(const std::string& path) override;
    FileId openForReading(const std::string& path) override;
    void close(FileId file) override { CloseHandle(toHandle(file)); }
    std::optional<std::uint32_t> pollInterval(FileId file) override;
    bool setPollInterval(FileId file, std::uint32_t ms) override;
    bool startReader(ReaderId id, FileId file, std::uint32_t reportLength, ReportSink& sink) override;
    GUID interfaceClass() const override {
        GUID hidGuid;
        HidD_GetHidGuid(&hidGuid);
        return hidGuid;
    }

  protected:
    HANDLE fileHandle(FileId file) const override { return toHandle(file); }
};

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

bool WindowsHid::startReader(ReaderId id, FileId file, std::uint32_t reportLength, ReportSink& sink) {
    return services_.startReader(id, [handle = toHandle(file), reportLength, &sink](HANDLE stop) {
        return readReports(handle, stop, reportLength, sink);
    });
}

} // namespace

std::unique_ptr<SourcePort> makeHidSource(HWND window, unsigned source) {
    return std::make_unique<WindowsHid>(window, source);
}

} // namespace hidlib::win
