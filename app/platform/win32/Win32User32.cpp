// user32 for real: windows, subclassing, messages, the tray menu, beep and shutdown.
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <map>

namespace platform {

namespace {

constexpr const char* OwnWindowClass = "TavrelmondWindow";

// Procedures of the program's own windows and of windows it subclassed, by window. All on the UI thread.
std::map<HWND, WindowProc>& ownProcs() {
    static std::map<HWND, WindowProc> procs;
    return procs;
}
std::map<HWND, WindowProc>& subclassProcs() {
    static std::map<HWND, WindowProc> procs;
    return procs;
}

LRESULT CALLBACK OwnWindowThunk(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = ownProcs().find(hwnd);
    if (it != ownProcs().end() && it->second) {
        // A copy: the procedure may destroy its own window while it runs.
        WindowProc proc = it->second;
        return proc(reinterpret_cast<Hwnd>(hwnd), message, wParam, lParam);
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK SubclassThunk(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = subclassProcs().find(hwnd);
    if (it != subclassProcs().end()) {
        WindowProc proc = it->second;
        return proc(reinterpret_cast<Hwnd>(hwnd), message, wParam, lParam);
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND toHwnd(Hwnd h) {
    return reinterpret_cast<HWND>(h);
}

struct TitleSearch {
    const std::string* prefix;
    HWND found;
};

BOOL CALLBACK FindTitlePrefix(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<TitleSearch*>(lParam);
    char title[512];
    const int n = GetWindowTextA(hwnd, title, sizeof title);
    if (n > 0 && std::string(title, static_cast<std::size_t>(n)).rfind(*search->prefix, 0) == 0) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

} // namespace

Hwnd Win32User32::createHiddenWindow(const std::string& title, WindowProc proc) {
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!registered) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = OwnWindowThunk;
        wc.hInstance = instance;
        wc.lpszClassName = OwnWindowClass;
        registered = RegisterClassA(&wc) != 0;
    }
    HWND hwnd =
        CreateWindowExA(0, OwnWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (hwnd != nullptr && proc) {
        ownProcs()[hwnd] = std::move(proc);
    }
    return reinterpret_cast<Hwnd>(hwnd);
}

void Win32User32::destroyWindow(Hwnd window) {
    DestroyWindow(toHwnd(window));
    ownProcs().erase(toHwnd(window));
    subclassProcs().erase(toHwnd(window));
}

MessageResult Win32User32::defWindowProc(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
    return DefWindowProcA(toHwnd(window), message, wParam, lParam);
}

Hwnd Win32User32::findWindow(const std::string& className) {
    return reinterpret_cast<Hwnd>(FindWindowA(className.c_str(), nullptr));
}

bool Win32User32::activateWindowByTitle(const std::string& title) {
    HWND hwnd = FindWindowA(nullptr, title.c_str());
    if (hwnd == nullptr) {
        TitleSearch search{&title, nullptr};
        EnumWindows(FindTitlePrefix, reinterpret_cast<LPARAM>(&search));
        hwnd = search.found;
    }
    if (hwnd == nullptr) {
        return false;
    }
    return SetForegroundWindow(hwnd) != FALSE;
}

bool Win32User32::setWindowPos(Hwnd window, Hwnd insertAfter, int x, int y, int cx, int cy,
                               std::uint32_t flags) {
    return SetWindowPos(toHwnd(window), toHwnd(insertAfter), x, y, cx, cy, flags) != FALSE;
}

Hwnd Win32User32::setActiveWindow(Hwnd window) {
    return reinterpret_cast<Hwnd>(SetActiveWindow(toHwnd(window)));
}

bool Win32User32::setForegroundWindow(Hwnd window) {
    return SetForegroundWindow(toHwnd(window)) != FALSE;
}

bool Win32User32::showWindow(Hwnd window, int command) {
    return ShowWindow(toHwnd(window), command) != FALSE;
}

bool Win32User32::postMessage(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) {
    return PostMessageA(toHwnd(window), message, wParam, lParam) != FALSE;
}

std::uint32_t Win32User32::registerWindowMessage(const std::string& name) {
    return RegisterWindowMessageA(name.c_str());
}

// On 64-bit Windows a window procedure is a pointer: SetWindowLongPtrA, which is SetWindowLongA on 32-bit.
PreviousProc Win32User32::setWindowProc(Hwnd window, WindowProc proc) {
    subclassProcs()[toHwnd(window)] = std::move(proc);
    const LONG_PTR previous =
        SetWindowLongPtrA(toHwnd(window), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassThunk));
    if (previous == 0) {
        subclassProcs().erase(toHwnd(window));
    }
    return static_cast<PreviousProc>(previous);
}

void Win32User32::restoreWindowProc(Hwnd window, PreviousProc previous) {
    if (previous != 0) {
        SetWindowLongPtrA(toHwnd(window), GWLP_WNDPROC, static_cast<LONG_PTR>(previous));
    }
    subclassProcs().erase(toHwnd(window));
}

MessageResult Win32User32::callWindowProc(PreviousProc previous, Hwnd window, std::uint32_t message,
                                          std::uintptr_t wParam, std::intptr_t lParam) {
    if (previous == 0) {
        return DefWindowProcA(toHwnd(window), message, wParam, lParam);
    }
    return CallWindowProcA(reinterpret_cast<WNDPROC>(previous), toHwnd(window), message, wParam, lParam);
}

int Win32User32::popupMenu(Hwnd owner, const std::vector<PopupItem>& items, int defaultItem) {
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return -1;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const UINT flags = MF_STRING | (items[i].checked ? MF_CHECKED : MF_UNCHECKED);
        AppendMenuA(menu, flags, i + 1, items[i].caption.c_str());
    }
    if (defaultItem >= 0) {
        SetMenuDefaultItem(menu, static_cast<UINT>(defaultItem), TRUE);
    }
    POINT at{};
    GetCursorPos(&at);
    const int command = static_cast<int>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                                        at.x, at.y, 0, toHwnd(owner), nullptr));
    // Lets the menu close properly when the user clicks elsewhere.
    PostMessageA(toHwnd(owner), WM_NULL, 0, 0);
    DestroyMenu(menu);
    return command - 1;
}

std::int32_t Win32User32::loadIcon(int resourceId) {
    HANDLE icon = LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resourceId), IMAGE_ICON,
                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    // Icon handles are 32-bit values on every Windows, also in 64-bit processes.
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(icon));
}

void Win32User32::messageBeep() {
    MessageBeep(MB_OK);
}

bool Win32User32::exitWindowsEx(std::uint32_t flags, std::uint32_t reserved) {
    return ExitWindowsEx(flags, reserved) != FALSE;
}

bool Win32User32::setTimer(Hwnd window, std::uintptr_t id, std::uint32_t milliseconds) {
    return SetTimer(toHwnd(window), id, milliseconds, nullptr) != 0;
}

void Win32User32::killTimer(Hwnd window, std::uintptr_t id) {
    KillTimer(toHwnd(window), id);
}

// Windows 7 has the call; it is looked up all the same, so that the program imports nothing a Windows without
// it lacks, and goes on without it there.
bool Win32User32::allowMessageFromLowerIntegrity(Hwnd window, std::uint32_t message) {
    using FilterFn = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    constexpr DWORD allow = 1; // MSGFLT_ALLOW
    HMODULE user32 = GetModuleHandleA("user32.dll");
    if (user32 == nullptr) {
        return false;
    }
    const auto filter = reinterpret_cast<FilterFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "ChangeWindowMessageFilterEx")));
    return filter != nullptr && filter(toHwnd(window), message, allow, nullptr) != FALSE;
}

void Win32User32::runMessageLoop() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Win32User32::quit() {
    PostQuitMessage(0);
}

} // namespace platform
