#include "HostWinUsb.h"

#include "hidlib/WinUsbInterface.h"
#include "hostkernel/hostkernel.h"
#include "hostkernel/usbreceiver.h"

#include <usbdlib.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <tuple>

namespace {

const std::string kPath =
    std::string("\\\\?\\usb#vid_045e&pid_0284&mi_00#host#") + QELM_WINUSB_INTERFACE_GUID_TEXT;
constexpr hidlib::FileId kFile = 1;

// One interrupt transfer at the bus: its request, URB and buffer.
struct Transfer {
    PIRP irp = nullptr;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
    std::vector<UCHAR> buffer;
    bool pending = false;
};

} // namespace

struct HostWinUsb::Kernel {
    hostk::UsbReceiver receiver;
    USBD_PIPE_HANDLE pipe = nullptr;
    USHORT maxPacket = 0;
    bool open = false;

    // The reader: two transfers, the completed ones in the order they completed, its thread.
    std::mutex mutex;
    std::condition_variable changed;
    std::array<Transfer, 2> transfers;
    std::deque<std::size_t> completed;
    bool stopping = false;
    std::thread thread;
    hidlib::ReportSink* sink = nullptr;
    std::uint64_t failed = 0;

    static NTSTATUS NTAPI transferDone(PDEVICE_OBJECT, PIRP irp, PVOID context);
    NTSTATUS submitSync(PURB urb);
    void submit(std::size_t index); // under mutex
    void readLoop();
};

// Completion, at DISPATCH_LEVEL on the thread that delivered the packet: the request stays the reader's.
NTSTATUS NTAPI HostWinUsb::Kernel::transferDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Kernel*>(context);
    std::lock_guard lock(self->mutex);
    for (std::size_t i = 0; i < self->transfers.size(); ++i) {
        if (self->transfers[i].irp == irp) {
            self->transfers[i].pending = false;
            self->completed.push_back(i);
        }
    }
    self->changed.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS HostWinUsb::Kernel::submitSync(PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT pdo = receiver.pdo();
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &status);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS result = IoCallDriver(pdo, irp);
    if (result == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        result = status.Status;
    }
    return result;
}

void HostWinUsb::Kernel::submit(std::size_t index) {
    Transfer& transfer = transfers[index];
    if (transfer.irp != nullptr) {
        IoFreeIrp(transfer.irp);
    }
    PDEVICE_OBJECT pdo = receiver.pdo();
    transfer.irp = IoAllocateIrp(pdo->StackSize, FALSE);
    UsbBuildInterruptOrBulkTransferRequest(
        reinterpret_cast<PURB>(&transfer.urb), static_cast<USHORT>(sizeof transfer.urb), pipe,
        transfer.buffer.data(), nullptr, static_cast<ULONG>(transfer.buffer.size()),
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &transfer.urb;
    IoSetCompletionRoutine(transfer.irp, transferDone, this, TRUE, TRUE, TRUE);
    transfer.pending = true;
    PIRP irp = transfer.irp;
    // The bus may complete it at once (a packet waiting), calling transferDone, which takes the mutex.
    mutex.unlock();
    IoCallDriver(pdo, irp);
    mutex.lock();
}

void HostWinUsb::Kernel::readLoop() {
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || !completed.empty(); });
        if (stopping) {
            return;
        }
        const std::size_t index = completed.front();
        completed.pop_front();
        Transfer& transfer = transfers[index];
        if (!NT_SUCCESS(transfer.irp->IoStatus.Status)) {
            ++failed; // not asked again
            continue;
        }
        const ULONG length = std::min<ULONG>(transfer.urb.TransferBufferLength, maxPacket);
        lock.unlock();
        sink->deliver(std::span<const std::uint8_t>(transfer.buffer.data(), length));
        lock.lock();
        if (!stopping) {
            submit(index);
        }
    }
}

HostWinUsb::HostWinUsb() : kernel_(std::make_unique<Kernel>()) {
    kernel_->receiver.setRecording(false);
}

HostWinUsb::~HostWinUsb() {
    stopReader(0);
}

bool HostWinUsb::send(const std::array<std::uint8_t, 6>& packet, std::chrono::milliseconds timeout) {
    return kernel_->receiver.waitForPendingTransfers(1, timeout) &&
           kernel_->receiver.deliver(packet.data(), packet.size());
}

std::size_t HostWinUsb::pendingTransfers() const {
    return kernel_->receiver.pendingTransfers();
}

bool HostWinUsb::reading() const {
    return kernel_->thread.joinable();
}

std::uint64_t HostWinUsb::failedReads() const {
    std::lock_guard lock(kernel_->mutex);
    return kernel_->failed;
}

std::vector<std::string> HostWinUsb::presentPaths() {
    return {kPath};
}

std::optional<hidlib::DeviceFacts> HostWinUsb::identify(const std::string& path) {
    if (path != kPath) {
        return std::nullopt;
    }
    USB_DEVICE_DESCRIPTOR device{};
    std::array<UCHAR, 256> configuration{};
    for (auto [type, buffer, length] :
         {std::tuple{UCHAR(USB_DEVICE_DESCRIPTOR_TYPE), static_cast<PVOID>(&device), ULONG(sizeof device)},
          std::tuple{UCHAR(USB_CONFIGURATION_DESCRIPTOR_TYPE), static_cast<PVOID>(configuration.data()),
                     ULONG(configuration.size())}}) {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST request {};
        UsbBuildGetDescriptorRequest(reinterpret_cast<PURB>(&request), static_cast<USHORT>(sizeof request),
                                     type, 0, 0, buffer, nullptr, length, nullptr);
        if (!NT_SUCCESS(kernel_->submitSync(reinterpret_cast<PURB>(&request)))) {
            return std::nullopt;
        }
    }
    // The interrupt IN endpoint of interface 0: its maximum packet size.
    auto* header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    PUSB_INTERFACE_DESCRIPTOR interface0 =
        USBD_ParseConfigurationDescriptorEx(header, header, 0, 0, -1, -1, -1);
    std::uint32_t maxPacket = 0;
    const UCHAR* end =
        configuration.data() + std::min<std::size_t>(header->wTotalLength, configuration.size());
    for (const UCHAR* at = reinterpret_cast<const UCHAR*>(interface0); interface0 != nullptr && at + 2 <= end;
         at += at[0]) {
        if (at[0] < 2 ||
            (at != reinterpret_cast<const UCHAR*>(interface0) && at[1] == USB_INTERFACE_DESCRIPTOR_TYPE)) {
            break;
        }
        if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && (at[2] & 0x80) != 0 && (at[3] & 3) == 3) {
            maxPacket = static_cast<std::uint32_t>(at[4] | (at[5] << 8));
            break;
        }
    }
    return hidlib::DeviceFacts{device.idVendor, device.idProduct, maxPacket, true};
}

hidlib::FileId HostWinUsb::openForReading(const std::string& path) {
    if (path != kPath || kernel_->open) {
        return 0;
    }
    // The configuration with both interfaces, as the receiver model requires; interface 0 has the pipe.
    std::array<UCHAR, 256> configuration{};
    struct _URB_CONTROL_DESCRIPTOR_REQUEST request {};
    UsbBuildGetDescriptorRequest(reinterpret_cast<PURB>(&request), static_cast<USHORT>(sizeof request),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration.data(), nullptr,
                                 static_cast<ULONG>(configuration.size()), nullptr);
    if (!NT_SUCCESS(kernel_->submitSync(reinterpret_cast<PURB>(&request)))) {
        return 0;
    }
    auto* header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    USBD_INTERFACE_LIST_ENTRY interfaces[3] = {};
    interfaces[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(header, header, 0, 0, -1, -1, -1);
    interfaces[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(header, header, 1, 0, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(header, interfaces);
    if (select == nullptr) {
        return 0;
    }
    const NTSTATUS status = kernel_->submitSync(select);
    if (NT_SUCCESS(status) && interfaces[0].Interface != nullptr &&
        interfaces[0].Interface->NumberOfPipes > 0) {
        kernel_->pipe = interfaces[0].Interface->Pipes[0].PipeHandle;
        kernel_->maxPacket = interfaces[0].Interface->Pipes[0].MaximumPacketSize;
        kernel_->open = true;
    }
    ExFreePool(select);
    return kernel_->open ? kFile : 0;
}

void HostWinUsb::close(hidlib::FileId file) {
    if (file == kFile) {
        kernel_->open = false;
    }
}

bool HostWinUsb::resetPipe(hidlib::FileId file) {
    if (file != kFile || !kernel_->open) {
        return false;
    }
    struct _URB_PIPE_REQUEST request {};
    request.Hdr.Length = static_cast<USHORT>(sizeof request);
    request.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    request.PipeHandle = kernel_->pipe;
    return NT_SUCCESS(kernel_->submitSync(reinterpret_cast<PURB>(&request)));
}

bool HostWinUsb::startReader(hidlib::ReaderId, hidlib::FileId file, std::uint32_t reportLength,
                             hidlib::ReportSink& sink) {
    Kernel& k = *kernel_;
    if (file != kFile || !k.open || k.thread.joinable() || reportLength == 0) {
        return false;
    }
    std::unique_lock lock(k.mutex);
    k.stopping = false;
    k.completed.clear();
    k.sink = &sink;
    for (std::size_t i = 0; i < k.transfers.size(); ++i) {
        k.transfers[i].buffer.assign(reportLength, 0);
        k.submit(i);
    }
    k.thread = std::thread([&k] { k.readLoop(); });
    return true;
}

void HostWinUsb::stopReader(hidlib::ReaderId) {
    Kernel& k = *kernel_;
    if (!k.thread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(k.mutex);
        k.stopping = true;
    }
    k.changed.notify_all();
    k.thread.join();
    // Only completions run now: cancel what is pending, wait for it, free the requests.
    for (Transfer& transfer : k.transfers) {
        PIRP pending = nullptr;
        {
            std::lock_guard lock(k.mutex);
            pending = transfer.pending ? transfer.irp : nullptr;
        }
        if (pending != nullptr) {
            IoCancelIrp(pending);
        }
    }
    std::unique_lock lock(k.mutex);
    k.changed.wait(lock, [&k] { return !k.transfers[0].pending && !k.transfers[1].pending; });
    for (Transfer& transfer : k.transfers) {
        if (transfer.irp != nullptr) {
            IoFreeIrp(transfer.irp);
            transfer.irp = nullptr;
        }
    }
}
