// The shell32 port: opening a document, and the notification-area icon.
#pragma once

#include "platform/Types.h"

#include <array>
#include <cstdint>
#include <string>

namespace platform {

// The first-version notification record, field for field. The adapter copies it into the platform's record.
struct NotifyIconData {
    std::uint32_t cbSize = 0;
    Hwnd hWnd = 0;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    std::int32_t hIcon = 0;
    std::array<char, 64> szTip{};
};

inline constexpr std::uint32_t NIM_ADD = 0;
inline constexpr std::uint32_t NIM_MODIFY = 1;
inline constexpr std::uint32_t NIM_DELETE = 2;
inline constexpr std::uint32_t NIF_MESSAGE = 1;
inline constexpr std::uint32_t NIF_ICON = 2;
inline constexpr std::uint32_t NIF_TIP = 4;

class Shell32 {
  public:
    virtual ~Shell32() = default;

    // ShellExecuteA. Returns the platform's result (greater than 32 on success).
    virtual std::intptr_t shellExecute(Hwnd owner, const std::string& verb, const std::string& file,
                                       const std::string& parameters, const std::string& directory,
                                       int showCommand) = 0;
    // Shell_NotifyIconA.
    virtual bool shellNotifyIcon(std::uint32_t message, const NotifyIconData& data) = 0;
    // The size of the first-version notification record on this platform (88 on 32-bit Windows).
    virtual std::uint32_t notifyIconDataV1Size() const = 0;
};

} // namespace platform
