// Host kernel: debug output (DbgPrintEx, recorded for tests) and the version the running "Windows" reports.
#include "hostkernel/hostkernel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

struct DebugState {
    std::mutex lock;
    std::vector<hostk::DebugPrint> lines;
    ULONG major = 10;
    ULONG minor = 0;
    ULONG build = 19045;
};

DebugState& state() {
    static DebugState debug;
    return debug;
}

// The platform's long is 32 bits, the host's 64: 'l' in a conversion is dropped, so "%08lX" formats the
// 32-bit value it formats on the platform.
std::string hostFormat(PCSTR format) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        out += *p;
        if (*p != '%')
            continue;
        ++p;
        while (*p != '\0' && std::strchr("-+ #0123456789.", *p) != nullptr)
            out += *p++;
        if (*p == 'l' && p[1] != 'l')
            ++p;
        if (*p == '\0')
            break;
        out += *p;
    }
    return out;
}

} // namespace

namespace hostk {

std::vector<DebugPrint> debugPrints() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().lines;
}

void clearDebugPrints() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().lines.clear();
}

void setWindowsVersion(ULONG major, ULONG minor, ULONG build) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().major = major;
    state().minor = minor;
    state().build = build;
}

} // namespace hostk

extern "C" {

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    char text[512];
    std::string format = hostFormat(Format);
    va_list arguments;
    va_start(arguments, Format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(text, sizeof text, format.c_str(), arguments);
#pragma GCC diagnostic pop
    va_end(arguments);
    std::lock_guard<std::mutex> guard(state().lock);
    state().lines.push_back({ComponentId, Level, text});
    return STATUS_SUCCESS;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == NULL || lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(state().lock);
    lpVersionInformation->dwMajorVersion = state().major;
    lpVersionInformation->dwMinorVersion = state().minor;
    lpVersionInformation->dwBuildNumber = state().build;
    lpVersionInformation->dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
    lpVersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

} // extern "C"
