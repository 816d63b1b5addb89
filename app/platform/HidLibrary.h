// The HID access library port: the seven functions of XBMC.dll as the program calls them.
// The library is loaded by name at its first call. When it cannot be loaded, every call fails: the
// functions return no value (std::nullopt) and the caller skips the step.
#pragma once

#include <cstdint>
#include <optional>

namespace platform {

// The library's notification message and its wParam values.
inline constexpr std::uint32_t HidNotifyMessage = 0x80C8;
inline constexpr std::uintptr_t HidNotifyAttach = 1;
inline constexpr std::uintptr_t HidNotifyRemove = 2;
inline constexpr std::uintptr_t HidNotifyChange = 3;
inline constexpr std::uintptr_t HidNotifyRead = 4;

// The library's booleans are 16-bit: true is -1.
inline constexpr std::int16_t HidTrue = -1;

class HidLibrary {
  public:
    virtual ~HidLibrary() = default;

    virtual std::optional<std::int16_t> Connect(std::int32_t hwnd) = 0;
    virtual std::optional<std::int16_t> Disconnect() = 0;
    virtual std::optional<std::int32_t> GetHandle(std::int32_t vendorId, std::int32_t productId) = 0;
    virtual std::optional<std::int32_t> GetVendorID(std::int32_t handle) = 0;
    virtual std::optional<std::int32_t> GetProductID(std::int32_t handle) = 0;
    virtual std::optional<std::int16_t> SetReadNotify(std::int32_t handle, std::int16_t enable) = 0;
    // Copies one report, report ID first, into buffer17 (never more than 17 bytes).
    virtual std::optional<std::int16_t> Read(std::int32_t handle, std::uint8_t* buffer17) = 0;
};

} // namespace platform
