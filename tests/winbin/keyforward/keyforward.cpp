// keyforward.exe: the least a Windows program does to forward the remote's buttons as keys, and nothing
// more: it loads XBMC.dll as Tavrelmond does, connects a hidden window, asks for the receiver's reports when
// the library announces a change, and on each report finds the media center's window and posts the button's
// key down and up to it. No tray icon, no configuration, no option codes. The Wine latency benchmark runs it
// next to Tavrelmond.exe as the baseline of the same path.
//
//   keyforward.exe [--raise --tray]
//
// With --raise and --tray it also does, per report, the platform calls Tavrelmond's dispatch makes besides
// posting the key: it changes its tray icon (Shell_NotifyIcon) and raises the media center's window twice
// (SetForegroundWindow, SetWindowPos top-most, SetActiveWindow), as the dispatch's two media-center checks
// do. That run tells the cost of those calls under Wine from the program's own.
//
// It forwards only the right and left arrows (buttons 168 and 169) and, with --raise, Enter and Backspace
// (buttons 11 and 216), so that each run's keys are told apart from Tavrelmond's (down and up) at the same
// media-center window.
#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <cstring>

namespace {

using ConnectFn = int16_t(WINAPI*)(int32_t);
using GetHandleFn = int32_t(WINAPI*)(int32_t, int32_t);
using SetReadNotifyFn = int16_t(WINAPI*)(int32_t, int16_t);
using ReadFn = int16_t(WINAPI*)(int32_t, uint8_t*);

constexpr UINT NotifyMessage = 0x80C8; // XBMC.dll's notification: wParam 3 change, 4 report ready
constexpr int32_t VendorId = 0x045E;
constexpr int32_t ProductId = 0x0284;

GetHandleFn getHandle = nullptr;
SetReadNotifyFn setReadNotify = nullptr;
ReadFn readReport = nullptr;
bool raise = false;
bool tray = false;
NOTIFYICONDATAA icon{};
bool iconAlternate = false;

// What Tavrelmond's media-center check does to the window it finds.
void raiseWindow(HWND target) {
    HWND titled = FindWindowA(nullptr, "XBMC");
    if (titled != nullptr) {
        SetForegroundWindow(titled);
    }
    SetWindowPos(target, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetActiveWindow(target);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != NotifyMessage) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    if (wParam == 3) {
        setReadNotify(getHandle(VendorId, ProductId), -1);
    } else if (wParam == 4) {
        uint8_t report[64] = {};
        if (readReport(static_cast<int32_t>(lParam), report) != 0 && report[5] == 0x41) {
            WPARAM key = report[3] == 168 ? VK_RIGHT : report[3] == 169 ? VK_LEFT : 0;
            if (raise) {
                key = report[3] == 11 ? VK_RETURN : report[3] == 216 ? VK_BACK : 0;
            }
            if (tray) {
                iconAlternate = !iconAlternate;
                icon.hIcon = LoadIconA(nullptr, iconAlternate ? IDI_WARNING : IDI_APPLICATION);
                Shell_NotifyIconA(NIM_MODIFY, &icon);
            }
            HWND target = FindWindowA("SDL_app", nullptr);
            if (raise && target != nullptr) {
                raiseWindow(target);
                raiseWindow(target);
            }
            if (key != 0 && target != nullptr) {
                PostMessageA(target, WM_KEYDOWN, key, 0);
                PostMessageA(target, WM_KEYUP, key, 0);
            }
        }
    }
    return 0;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    raise = std::strstr(commandLine, "--raise") != nullptr;
    tray = std::strstr(commandLine, "--tray") != nullptr;
    HMODULE library = LoadLibraryA("XBMC.dll");
    if (library == nullptr) {
        return 1;
    }
    auto connect = reinterpret_cast<ConnectFn>(reinterpret_cast<void*>(GetProcAddress(library, "Connect")));
    getHandle = reinterpret_cast<GetHandleFn>(reinterpret_cast<void*>(GetProcAddress(library, "GetHandle")));
    setReadNotify =
        reinterpret_cast<SetReadNotifyFn>(reinterpret_cast<void*>(GetProcAddress(library, "SetReadNotify")));
    readReport = reinterpret_cast<ReadFn>(reinterpret_cast<void*>(GetProcAddress(library, "Read")));
    if (connect == nullptr || getHandle == nullptr || setReadNotify == nullptr || readReport == nullptr) {
        return 1;
    }
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = "KeyForwardWindow";
    if (RegisterClassA(&wc) == 0) {
        return 1;
    }
    HWND window = CreateWindowExA(0, wc.lpszClassName, "keyforward", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 200, 100, nullptr, nullptr, instance, nullptr);
    if (window == nullptr || connect(static_cast<int32_t>(reinterpret_cast<intptr_t>(window))) == 0) {
        return 1;
    }
    if (tray) {
        icon.cbSize = sizeof icon;
        icon.hWnd = window;
        icon.uID = 1;
        icon.uFlags = NIF_ICON;
        icon.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
        Shell_NotifyIconA(NIM_ADD, &icon);
    }
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
    if (tray) {
        Shell_NotifyIconA(NIM_DELETE, &icon);
    }
    return 0;
}
