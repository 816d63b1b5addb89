// The WinUSB source of the shipped XBMC.dll: the device manager's port on Microsoft's WinUSB driver, bound to
// the receiver's interface 0 by our INF-only package, which publishes the device interface GUID of
// WinUsbInterface.h. The interrupt IN pipe is read straight from user mode: no class driver polls the device,
// each packet is handed over as soon as the host controller has fetched it.
//
// As the platform's WinUSB guide has it: the interface found by its GUID (SetupDi), the device opened for
// overlapped I/O and initialized for WinUSB, the pipe found by querying the interface, reads kept pending at
// all times. Each device read has a reader thread with two overlapped reads of one maximum-size packet each,
// with RAW_IO: every read goes straight to the host controller as one transfer, and while one read's packet
// is handed on the other waits at the controller, so no packet waits for a read to be asked. Whoever opened a
// file closes it: WinUsb_Free, then CloseHandle.
#include "WindowsPort.h"
#include "hidlib/WinUsbInterface.h"
#include "hidlib/WinUsbPort.h"

#include <windows.h>

#include <winusb.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hidlib::win {

namespace {

const GUID kInterfaceClass = {QELM_WINUSB_INTERFACE_GUID_FIELDS};
constexpr std::size_t kReadsPending = 2;

// A device opened for WinUSB: the file, its WinUSB handle and its interrupt IN pipe.
struct UsbFile {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    UCHAR pipe = 0;
    USHORT maxPacket = 0;
    USB_DEVICE_DESCRIPTOR device{};

    ~UsbFile() {
        if (usb != nullptr) {
            WinUsb_Free(usb);
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
};

// Opens the device for WinUSB, reads its device descriptor and finds the first interrupt IN pipe of its
// interface (maxPacket 0 when it has none). Nothing when any step fails (gone, held by another program, not a
// WinUSB device, a descriptor too short).
std::unique_ptr<UsbFile> openUsb(const std::string& path) {
    auto opened = std::make_unique<UsbFile>();
    opened->file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (opened->file == INVALID_HANDLE_VALUE || !WinUsb_Initialize(opened->file, &opened->usb)) {
        return nullptr;
    }
    ULONG length = 0;
    if (!WinUsb_GetDescriptor(opened->usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                              reinterpret_cast<PUCHAR>(&opened->device), sizeof opened->device, &length) ||
        length < offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice)) {
        return nullptr;
    }
    USB_INTERFACE_DESCRIPTOR interface {};
    if (!WinUsb_QueryInterfaceSettings(opened->usb, 0, &interface)) {
        return nullptr;
    }
    for (UCHAR index = 0; index < interface.bNumEndpoints; ++index) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (WinUsb_QueryPipe(opened->usb, 0, index, &pipe) && pipe.PipeType == UsbdPipeTypeInterrupt &&
            USB_ENDPOINT_DIRECTION_IN(pipe.PipeId) && pipe.MaximumPacketSize > 0) {
            opened->pipe = pipe.PipeId;
            opened->maxPacket = pipe.MaximumPacketSize;
            break;
        }
    }
    return opened;
}

// Keeps kReadsPending reads on the pipe until stopEvent, handing each packet on in the order the reads
// were asked (the order the controller fills them); true when a read failed. Before it returns, every read
// it asked has ended, so that its buffers may go.
bool readPackets(const UsbFile& opened, HANDLE stopEvent, ReportSink& sink) {
    struct Read {
        OVERLAPPED overlapped{};
        std::vector<UCHAR> buffer;
        bool pending = false;
    };
    std::array<Read, kReadsPending> reads;
    bool failed = false;
    const auto ask = [&opened, &failed](Read& read) {
        ResetEvent(read.overlapped.hEvent);
        read.pending = WinUsb_ReadPipe(opened.usb, opened.pipe, read.buffer.data(),
                                       static_cast<ULONG>(read.buffer.size()), nullptr, &read.overlapped) ||
                       GetLastError() == ERROR_IO_PENDING;
        failed = failed || !read.pending;
    };
    for (Read& read : reads) {
        // One maximum-size packet per read: a multiple of the packet size, as RAW_IO wants, and every read
        // ends with the packet it got, whatever its length.
        read.buffer.resize(opened.maxPacket);
        read.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        failed = failed || read.overlapped.hEvent == nullptr;
    }
    for (std::size_t i = 0; i < reads.size() && !failed; ++i) {
        ask(reads[i]);
    }
    for (std::size_t next = 0; !failed; next = (next + 1) % reads.size()) {
        Read& read = reads[next];
        HANDLE waits[2] = {read.overlapped.hEvent, stopEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            break; // stopping (or the wait failed)
        }
        ULONG length = 0;
        read.pending = false;
        if (!WinUsb_GetOverlappedResult(opened.usb, &read.overlapped, &length, FALSE)) {
            failed = true;
            break;
        }
        sink.deliver(
            std::span<const std::uint8_t>(read.buffer.data(), std::min<ULONG>(length, opened.maxPacket)));
        ask(read);
    }
    // Ends the reads still pending (the pipe's transfers are cancelled) and waits for each.
    WinUsb_AbortPipe(opened.usb, opened.pipe);
    for (Read& read : reads) {
        if (read.pending) {
            ULONG ignored = 0;
            WinUsb_GetOverlappedResult(opened.usb, &read.overlapped, &ignored, TRUE);
        }
        if (read.overlapped.hEvent != nullptr) {
            CloseHandle(read.overlapped.hEvent);
        }
    }
    return failed;
}

class WindowsWinUsb final : public PortOnWindow<WinUsbPort> {
  public:
    using PortOnWindow::PortOnWindow;

    std::vector<std::string> presentPaths() override { return interfacePaths(kInterfaceClass); }
    std::optional<DeviceFacts> identify(const std::string& path) override;
    FileId openForReading(const std::string& path) override;
    void close(FileId file) override { files_.erase(file); }
    bool resetPipe(FileId file) override;
    bool startReader(ReaderId id, FileId file, std::uint32_t reportLength, ReportSink& sink) override;
    GUID interfaceClass() const override { return kInterfaceClass; }

  protected:
    HANDLE fileHandle(FileId file) const override {
        const UsbFile* opened = find(file);
        return opened != nullptr ? opened->file : INVALID_HANDLE_VALUE;
    }

  private:
    const UsbFile* find(FileId file) const {
        const auto found = files_.find(file);
        return found != files_.end() ? found->second.get() : nullptr;
    }

    std::map<FileId, std::unique_ptr<UsbFile>> files_;
    FileId nextFile_ = 1;
};

std::optional<DeviceFacts> WindowsWinUsb::identify(const std::string& path) {
    // WinUSB lets one file at a time use the device: it is let go of before this returns.
    const std::unique_ptr<UsbFile> opened = openUsb(path);
    if (!opened) {
        return std::nullopt;
    }
    return DeviceFacts{opened->device.idVendor, opened->device.idProduct, opened->maxPacket, true};
}

FileId WindowsWinUsb::openForReading(const std::string& path) {
    std::unique_ptr<UsbFile> opened = openUsb(path);
    if (!opened || opened->maxPacket == 0) {
        return 0;
    }
    // Reads go straight to the host controller, no buffering by WinUSB between them. Without it (refused)
    // reading still works, through WinUSB's own buffering.
    UCHAR raw = TRUE;
    WinUsb_SetPipePolicy(opened->usb, opened->pipe, RAW_IO, sizeof raw, &raw);
    const FileId file = nextFile_++;
    files_[file] = std::move(opened);
    return file;
}

bool WindowsWinUsb::resetPipe(FileId file) {
    const UsbFile* opened = find(file);
    return opened != nullptr && WinUsb_ResetPipe(opened->usb, opened->pipe);
}

bool WindowsWinUsb::startReader(ReaderId id, FileId file, std::uint32_t, ReportSink& sink) {
    const UsbFile* opened = find(file);
    if (opened == nullptr) {
        return false;
    }
    return services_.startReader(id,
                                 [opened, &sink](HANDLE stop) { return readPackets(*opened, stop, sink); });
}

} // namespace

std::unique_ptr<SourcePort> makeWinUsbSource(HWND window, unsigned source) {
    return std::make_unique<WindowsWinUsb>(window, source);
}

} // namespace hidlib::win
