// The input port for real: SendInput, and the program behind the foreground window.
#include "platform/win32/Win32Platform.h"

#include <windows.h>

namespace platform {

std::uint32_t Win32Input::sendKeys(const std::vector<KeyEvent>& events) {
    if (events.empty()) {
        return 0;
    }
    std::vector<INPUT> inputs(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        KEYBDINPUT& key = inputs[i].ki;
        inputs[i].type = INPUT_KEYBOARD;
        key.wVk = events[i].virtualKey;
        // The scan code as well: programs that read it (browsers, games) see the key the virtual key names.
        key.wScan = static_cast<WORD>(MapVirtualKeyA(events[i].virtualKey, MAPVK_VK_TO_VSC));
        key.dwFlags = (events[i].up ? KEYEVENTF_KEYUP : 0) | (events[i].extended ? KEYEVENTF_EXTENDEDKEY : 0);
        key.time = 0;
        key.dwExtraInfo = 0;
    }
    return SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

std::string Win32Input::foregroundProgram() {
    HWND window = GetForegroundWindow();
    if (window == nullptr) {
        return {};
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == 0) {
        return {};
    }
    // The limited right is granted for processes of other users and for elevated ones as well.
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return {};
    }
    char path[MAX_PATH * 2];
    DWORD length = sizeof path;
    const BOOL named = QueryFullProcessImageNameA(process, 0, path, &length);
    CloseHandle(process);
    if (!named || length == 0 || length >= sizeof path) {
        return {};
    }
    const std::string full(path, length);
    const auto slash = full.find_last_of("\\/");
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

} // namespace platform
