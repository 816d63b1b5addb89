// winusb.dll, the stand-in: the WinUsb_* calls XBMC.dll makes, over the stand-in winusb.sys (standin_io.h),
// for the Wine tests (Wine's own winusb.dll has stubs only). A test tool, never shipped. Installed into a
// test prefix in place of Wine's, loaded as a native DLL (a DllOverrides entry "winusb"="native").
//
// A WinUSB handle holds the file and the descriptors read when it was made, so that the interface and pipe
// queries are answered from them, as Microsoft's are. Failures set the last error as the platform's calls
// do; a handle that is not one of ours (null) gives ERROR_INVALID_HANDLE.
#include <windows.h>

#include <winusb.h>

#include "standin_io.h"

#include <cstring>
#include <new>

namespace {

struct Interface {
    HANDLE file;
    UCHAR configuration[512];
    ULONG configurationLength;
};

Interface* interfaceOf(WINUSB_INTERFACE_HANDLE handle) {
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return static_cast<Interface*>(handle);
}

// One request to the driver, waited for (the file is opened for overlapped I/O).
BOOL request(HANDLE file, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
             DWORD* returned) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return FALSE;
    }
    DWORD length = 0;
    BOOL done =
        DeviceIoControl(file, code, const_cast<void*>(in), inLength, out, outLength, &length, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        done = GetOverlappedResult(file, &overlapped, &length, TRUE);
    }
    const DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    if (returned != nullptr) {
        *returned = length;
    }
    return done;
}

// The interface descriptor of interface setting `alternate` (0: the first one the configuration lists) and
// where its endpoints begin; nullptr when there is none.
const USB_INTERFACE_DESCRIPTOR* findInterface(const Interface& usb, UCHAR alternate, const UCHAR** next) {
    const UCHAR* at = usb.configuration;
    const UCHAR* end = usb.configuration + usb.configurationLength;
    UCHAR seen = 0;
    for (at += at[0]; at + 2 <= end && at[0] >= 2 && at + at[0] <= end; at += at[0]) {
        if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            if (seen++ == alternate) {
                *next = at + at[0];
                return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(at);
            }
        }
    }
    return nullptr;
}

} // namespace

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    if (handle == nullptr || file == nullptr || file == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* usb = new (std::nothrow) Interface{};
    if (usb == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    usb->file = file;
    const WUSB_DESCRIPTOR_REQUEST configuration = {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0};
    DWORD length = 0;
    if (!request(file, IOCTL_WUSB_GET_DESCRIPTOR, &configuration, sizeof configuration, usb->configuration,
                 sizeof usb->configuration, &length) ||
        length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        const DWORD error = length != 0 ? ERROR_BAD_DEVICE : GetLastError();
        delete usb;
        SetLastError(error);
        return FALSE;
    }
    usb->configurationLength = length;
    *handle = usb;
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
    delete interfaceOf(handle);
    return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
                                 PUCHAR buffer, ULONG length, PULONG transferred) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    const WUSB_DESCRIPTOR_REQUEST descriptor = {type, index, language};
    DWORD returned = 0;
    const BOOL done = request(usb->file, IOCTL_WUSB_GET_DESCRIPTOR, &descriptor, sizeof descriptor, buffer,
                              length, &returned);
    if (transferred != nullptr) {
        *transferred = returned;
    }
    return done;
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                          PUSB_INTERFACE_DESCRIPTOR descriptor) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    const UCHAR* next = nullptr;
    const USB_INTERFACE_DESCRIPTOR* found = findInterface(*usb, alternate, &next);
    if (found == nullptr || descriptor == nullptr) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::memcpy(descriptor, found, sizeof *descriptor);
    return TRUE;
}

BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR pipeIndex,
                             PWINUSB_PIPE_INFORMATION pipe) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    const UCHAR* at = nullptr;
    const USB_INTERFACE_DESCRIPTOR* found = findInterface(*usb, alternate, &at);
    const UCHAR* end = usb->configuration + usb->configurationLength;
    UCHAR seen = 0;
    for (; found != nullptr && pipe != nullptr && at + 2 <= end && at[0] >= 2 && at + at[0] <= end &&
           at[1] != USB_INTERFACE_DESCRIPTOR_TYPE;
         at += at[0]) {
        if (at[1] != USB_ENDPOINT_DESCRIPTOR_TYPE || at[0] < sizeof(USB_ENDPOINT_DESCRIPTOR) ||
            seen++ != pipeIndex) {
            continue;
        }
        const auto* endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(at);
        static const USBD_PIPE_TYPE types[4] = {UsbdPipeTypeControl, UsbdPipeTypeIsochronous,
                                                UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
        pipe->PipeType = types[endpoint->bmAttributes & 3];
        pipe->PipeId = endpoint->bEndpointAddress;
        pipe->MaximumPacketSize = endpoint->wMaxPacketSize & 0x7FF;
        pipe->Interval = endpoint->bInterval;
        return TRUE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policy, ULONG length,
                                 PVOID value) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    if (value == nullptr || length == 0 || length > sizeof(ULONG)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WUSB_POLICY_REQUEST set = {pipeId, policy, 0};
    std::memcpy(&set.Value, value, length);
    return request(usb->file, IOCTL_WUSB_SET_PIPE_POLICY, &set, sizeof set, nullptr, 0, nullptr);
}

BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG policy, PULONG length,
                                 PVOID value) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    if (length == nullptr || value == nullptr || *length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const WUSB_POLICY_REQUEST get = {pipeId, policy, 0};
    ULONG kept = 0;
    if (!request(usb->file, IOCTL_WUSB_GET_PIPE_POLICY, &get, sizeof get, &kept, sizeof kept, nullptr)) {
        return FALSE;
    }
    // RAW_IO and the other switches are one byte; the time-outs and sizes a ULONG.
    *length = *length < sizeof kept ? *length : static_cast<ULONG>(sizeof kept);
    std::memcpy(value, &kept, *length);
    return TRUE;
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                            PULONG transferred, LPOVERLAPPED overlapped) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    const WUSB_PIPE_REQUEST read = {pipeId};
    if (overlapped != nullptr) {
        DWORD returned = 0;
        const BOOL done =
            DeviceIoControl(usb->file, IOCTL_WUSB_READ_PIPE, const_cast<WUSB_PIPE_REQUEST*>(&read),
                            sizeof read, buffer, length, &returned, overlapped);
        if (done && transferred != nullptr) {
            *transferred = returned;
        }
        return done;
    }
    DWORD returned = 0;
    const BOOL done = request(usb->file, IOCTL_WUSB_READ_PIPE, &read, sizeof read, buffer, length, &returned);
    if (transferred != nullptr) {
        *transferred = returned;
    }
    return done;
}

BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                       LPDWORD transferred, BOOL wait) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    return GetOverlappedResult(usb->file, overlapped, transferred, wait);
}

BOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    const WUSB_PIPE_REQUEST reset = {pipeId};
    return request(usb->file, IOCTL_WUSB_RESET_PIPE, &reset, sizeof reset, nullptr, 0, nullptr);
}

BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    Interface* usb = interfaceOf(handle);
    if (usb == nullptr) {
        return FALSE;
    }
    const WUSB_PIPE_REQUEST abort = {pipeId};
    return request(usb->file, IOCTL_WUSB_ABORT_PIPE, &abort, sizeof abort, nullptr, 0, nullptr);
}

} // extern "C"
