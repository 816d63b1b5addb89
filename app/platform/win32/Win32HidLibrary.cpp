// XBMC.dll, loaded by name at the first call, its functions called with the platform's standard convention.
#include "platform/win32/Win32Platform.h"

#include <windows.h>

namespace platform {

namespace {
using ConnectFn = std::int16_t(WINAPI*)(std::int32_t);
using DisconnectFn = std::int16_t(WINAPI*)();
using GetHandleFn = std::int32_t(WINAPI*)(std::int32_t, std::int32_t);
using GetIdFn = std::int32_t(WINAPI*)(std::int32_t);
using SetReadNotifyFn = std::int16_t(WINAPI*)(std::int32_t, std::int16_t);
using ReadFn = std::int16_t(WINAPI*)(std::int32_t, std::uint8_t*);
} // namespace

Win32HidLibrary::~Win32HidLibrary() {
    if (module_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(module_));
    }
}

void* Win32HidLibrary::function(const char* name) {
    if (module_ == nullptr) {
        module_ = LoadLibraryA("XBMC.dll");
        if (module_ == nullptr) {
            return nullptr;
        }
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module_), name));
}

template <typename Fn> static Fn as(void* p) {
    return reinterpret_cast<Fn>(p);
}

std::optional<std::int16_t> Win32HidLibrary::Connect(std::int32_t hwnd) {
    auto fn = as<ConnectFn>(function("Connect"));
    if (fn == nullptr) {
        return std::nullopt;
    }
    return fn(hwnd);
}

std::optional<std::int16_t> Win32HidLibrary::Disconnect() {
    auto fn = as<DisconnectFn>(function("Disconnect"));
    if (fn == nullptr) {
        return std::nullopt;
    }
    return fn();
}

std::optional<std::int32_t> Win32HidLibrary::GetHandle(std::int32_t vendorId, std::int32_t productId) {
    auto fn = as<GetHandleFn>(function("GetHandle"));
    if (fn == nullptr) {
        return std::nullopt;
    }
    return fn(vendorId, productId);
}

std::optional<std::int32_t> Win32HidLibrary::GetVendorID(std::int32_t handle) {
    auto fn = as<GetIdFn>(function("GetVendorID"));
    if (fn == nullptr) {
        return std::nullopt;
    }
    return fn(handle);
}

std::optional<std::int32_t> Win32HidLibrary::GetProductID(std::int32_t handle) {
    auto fn = as<GetIdFn>(function("GetProductID"));
    if (fn == nullptr) {
        return std::nullopt;
    }
    return fn(handle);
}

std::optional<std::int16_t> Win32HidLibrary::SetReadNotify(std::int32_t handle, std::int16_t enable) {
    auto fn = as<SetReadNotifyFn>(function("SetReadNotify"));
    if (fn == nullptr) {
        return std::nullopt;
    }
    return fn(handle, enable);
}

std::optional<std::int16_t> Win32HidLibrary::Read(std::int32_t handle, std::uint8_t* buffer17) {
    auto fn = as<ReadFn>(function("Read"));
    if (fn == nullptr) {
        return std::nullopt;
    }
    return fn(handle, buffer17);
}

} // namespace platform
