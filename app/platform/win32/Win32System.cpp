// kernel32, advapi32, shell32 and winmm for real.
#include "platform/win32/Win32Platform.h"

#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

// The port keeps the platform's name; the header's macro would rename it.
#undef mciSendString

#include <cstring>
#include <vector>

namespace platform {

// --- kernel32 ---

std::uint32_t Win32Kernel32::getPrivateProfileString(const std::string& section, const std::string& key,
                                                     const std::string& defaultValue, char* buffer,
                                                     std::uint32_t size, const std::string& path) {
    return GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, size,
                                    path.c_str());
}

std::uint32_t Win32Kernel32::getPrivateProfileSection(const std::string& section, char* buffer,
                                                      std::uint32_t size, const std::string& path) {
    return GetPrivateProfileSectionA(section.c_str(), buffer, size, path.c_str());
}

std::uint32_t Win32Kernel32::getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                                           const std::string& path) {
    return GetPrivateProfileSectionNamesA(buffer, size, path.c_str());
}

std::string Win32Kernel32::executableFolder() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return ".";
        }
        if (n < path.size()) {
            std::string full(path.data(), n);
            const auto slash = full.find_last_of("\\/");
            return slash == std::string::npos ? "." : full.substr(0, slash);
        }
        path.resize(path.size() * 2);
    }
}

bool Win32Kernel32::startProgram(const std::string& commandLine, int showCommand) {
    if (commandLine.empty()) {
        return false;
    }
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showCommand);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool Win32Kernel32::setSystemPowerState(bool suspend, bool force) {
    return SetSystemPowerState(suspend ? TRUE : FALSE, force ? TRUE : FALSE) != FALSE;
}

std::intptr_t Win32Kernel32::createMutex(const std::string& name, bool& alreadyExists) {
    SetLastError(ERROR_SUCCESS);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    alreadyExists = error == ERROR_ALREADY_EXISTS || (mutex == nullptr && error == ERROR_ACCESS_DENIED);
    return reinterpret_cast<std::intptr_t>(mutex);
}

void Win32Kernel32::closeHandle(std::intptr_t handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

// --- advapi32 ---

std::intptr_t Win32Advapi32::openProcessToken(std::uint32_t desiredAccess) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), desiredAccess, &token)) {
        return 0;
    }
    return reinterpret_cast<std::intptr_t>(token);
}

bool Win32Advapi32::lookupPrivilegeValue(const std::string& systemName, const std::string& name, Luid& luid) {
    LUID value{};
    if (!LookupPrivilegeValueA(systemName.empty() ? nullptr : systemName.c_str(), name.c_str(), &value)) {
        return false;
    }
    luid.lowPart = value.LowPart;
    luid.highPart = value.HighPart;
    return true;
}

bool Win32Advapi32::adjustTokenPrivileges(std::intptr_t token, bool disableAll, const Luid& luid,
                                          std::uint32_t attributes, std::uint32_t previousStateLength) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid.LowPart = luid.lowPart;
    privileges.Privileges[0].Luid.HighPart = luid.highPart;
    privileges.Privileges[0].Attributes = attributes;
    TOKEN_PRIVILEGES previous{};
    DWORD length = std::min<DWORD>(previousStateLength, sizeof previous);
    DWORD returned = 0;
    return AdjustTokenPrivileges(reinterpret_cast<HANDLE>(token), disableAll ? TRUE : FALSE, &privileges,
                                 length, &previous, &returned) != FALSE;
}

void Win32Advapi32::closeHandle(std::intptr_t handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

// --- shell32 ---

std::intptr_t Win32Shell32::shellExecute(Hwnd owner, const std::string& verb, const std::string& file,
                                         const std::string& parameters, const std::string& directory,
                                         int showCommand) {
    HINSTANCE result = ShellExecuteA(reinterpret_cast<HWND>(owner), verb.c_str(), file.c_str(),
                                     parameters.empty() ? nullptr : parameters.c_str(),
                                     directory.empty() ? nullptr : directory.c_str(), showCommand);
    return reinterpret_cast<std::intptr_t>(result);
}

bool Win32Shell32::shellNotifyIcon(std::uint32_t message, const NotifyIconData& data) {
    NOTIFYICONDATAA record{};
    record.cbSize = data.cbSize;
    record.hWnd = reinterpret_cast<HWND>(data.hWnd);
    record.uID = data.uID;
    record.uFlags = data.uFlags;
    record.uCallbackMessage = data.uCallbackMessage;
    record.hIcon = reinterpret_cast<HICON>(static_cast<std::intptr_t>(data.hIcon));
    static_assert(sizeof data.szTip <= sizeof record.szTip);
    std::memcpy(record.szTip, data.szTip.data(), data.szTip.size());
    return Shell_NotifyIconA(message, &record) != FALSE;
}

std::uint32_t Win32Shell32::notifyIconDataV1Size() const {
    return NOTIFYICONDATAA_V1_SIZE;
}

// --- winmm ---

std::uint32_t Win32Winmm::mciSendString(const std::string& command) {
    return mciSendStringA(command.c_str(), nullptr, 0, nullptr);
}

} // namespace platform
