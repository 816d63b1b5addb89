// Text between the program's narrow strings (UTF-8, or the ANSI code page where a caller says so) and the
// wide strings of the W functions.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace platform {

inline std::wstring Widen(std::string_view text, UINT codePage = CP_UTF8) {
    if (text.empty()) {
        return {};
    }
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    }
    return wide;
}

inline std::string Utf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr,
                            nullptr);
    }
    return text;
}

} // namespace platform
