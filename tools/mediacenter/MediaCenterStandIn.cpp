// mediacenter.exe: a stand-in for the XBMC media center (or for Kodi's window, or for any other player), for
// tests and the demo; never shipped.
//
// It creates one top-level window as the media center does and writes down what reaches that window.
//
// Usage: mediacenter.exe [--directx | --kodi | --player] [--log PATH] [anything else, ignored]
//   (default)   window class "SDL_app", title "XBMC"
//   --directx   window class "XBoxMediaCenterPC", title "XBoxMediaCenter PC Skin Preview"
//   --kodi      window class "Kodi", title "Kodi" (today's Kodi, 19 to 21, on Windows)
//   --player    window class "StandInPlayer", title "Player <file name of this program>": a player such as
//               VLC, known by its program's file name (copies of this program named vlc.exe, mpc-hc64.exe);
//               its keys go on to the default processing, which may turn them into application commands
//   --log PATH  append the log to PATH (created if missing); without it nothing is logged
// The window is shown with the show state the program was started with (minimized, for instance).
//
// Log: one line per event, ended by "\r\n", each written with a single append and visible at once. Numbers
// are decimal. The lines, in the order they can appear:
//   started pid=<pid> hwnd=<window handle> class=<class> args=<the whole command line, as received>
//   key down vk=<wParam> lparam=<lParam>           WM_KEYDOWN    (lParam as an unsigned 32-bit number)
//   key up vk=<wParam> lparam=<lParam>             WM_KEYUP
//   syskey down vk=<wParam> lparam=<lParam>        WM_SYSKEYDOWN
//   syskey up vk=<wParam> lparam=<lParam>          WM_SYSKEYUP
//   appcommand cmd=<command> device=<device> keys=<key state>
//                                                  WM_APPCOMMAND (player), the parts of its lParam
//   front <0|1>                                    the window asked to be the foreground window (message
//                                                  WM_APP + 1) and whether the system agreed
//   showwindow show=<0|1> status=<lParam>          WM_SHOWWINDOW (status 0: ShowWindow was called)
//   visible <0|1>                                  the window's visibility changed
//   topmost <0|1>                                  the window's top-most state changed
//   activate <0|1|2>                               WM_ACTIVATE: 0 inactive, 1 active, 2 clicked active
//   sizestate <restored|minimized|maximized>       the window's size state changed
//   close                                          WM_CLOSE; the window is then destroyed and the program
//   ends exited                                         the last line, when the program ends failed <call>
//   error=<code>                     the window could not be made (then "exited")
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
bool player = false; // keys go on to the default processing
bool lastVisible = false;
bool lastTopmost = false;
int lastSizeState = -1; // unknown until the first WM_SIZE

// Lines are written only once the window exists and "started" is out, so the log begins with "started".
bool logging = false;

void logLine(const char* format, ...) {
    if (logFile == INVALID_HANDLE_VALUE || !logging) {
        return;
    }
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line;
    if (n >= 0) {
        line.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(line.data(), line.size(), format, again);
        line.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    line += "\r\n";
    DWORD written = 0;
    WriteFile(logFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Logs visibility and top-most changes, whatever changed them.
void noteWindowState(HWND hwnd) {
    bool visible = IsWindowVisible(hwnd) != FALSE;
    if (visible != lastVisible) {
        lastVisible = visible;
        logLine("visible %d", visible ? 1 : 0);
    }
    bool topmost = (GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    if (topmost != lastTopmost) {
        lastTopmost = topmost;
        logLine("topmost %d", topmost ? 1 : 0);
    }
}

void logKey(const char* kind, WPARAM wParam, LPARAM lParam) {
    logLine("%s vk=%u lparam=%lu", kind, static_cast<unsigned>(wParam),
            static_cast<unsigned long>(static_cast<DWORD>(lParam)));
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_KEYDOWN:
        logKey("key down", wParam, lParam);
        if (player) {
            break;
        }
        return 0;
    case WM_KEYUP:
        logKey("key up", wParam, lParam);
        if (player) {
            break;
        }
        return 0;
    case WM_APPCOMMAND:
        logLine("appcommand cmd=%u device=%u keys=%u", static_cast<unsigned>(GET_APPCOMMAND_LPARAM(lParam)),
                static_cast<unsigned>(GET_DEVICE_LPARAM(lParam)),
                static_cast<unsigned>(GET_KEYSTATE_LPARAM(lParam)));
        return TRUE;
    case WM_APP + 1:
        logLine("front %d", SetForegroundWindow(hwnd) ? 1 : 0);
        return 0;
    case WM_SYSKEYDOWN:
        logKey("syskey down", wParam, lParam);
        break;
    case WM_SYSKEYUP:
        logKey("syskey up", wParam, lParam);
        break;
    case WM_SHOWWINDOW:
        logLine("showwindow show=%d status=%ld", wParam ? 1 : 0, static_cast<long>(lParam));
        break;
    case WM_WINDOWPOSCHANGED:
        noteWindowState(hwnd);
        break;
    case WM_ACTIVATE:
        logLine("activate %u", static_cast<unsigned>(LOWORD(wParam)));
        break;
    case WM_SIZE: {
        int state = wParam == SIZE_MINIMIZED   ? 1
                    : wParam == SIZE_MAXIMIZED ? 2
                    : wParam == SIZE_RESTORED  ? 0
                                               : -1;
        if (state >= 0 && state != lastSizeState) {
            lastSizeState = state;
            static const char* const names[] = {"restored", "minimized", "maximized"};
            logLine("sizestate %s", names[state]);
        }
        break;
    }
    case WM_CLOSE:
        logLine("close");
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // The window's class and title: XBMC's OpenGL build unless told otherwise.
    const char* className = "SDL_app";
    const char* title = "XBMC";
    const char* logPath = nullptr;
    std::string playerTitle;
    for (int i = 1; i < __argc; ++i) {
        if (std::strcmp(__argv[i], "--directx") == 0) {
            className = "XBoxMediaCenterPC";
            title = "XBoxMediaCenter PC Skin Preview";
        } else if (std::strcmp(__argv[i], "--kodi") == 0) {
            className = "Kodi";
            title = "Kodi";
        } else if (std::strcmp(__argv[i], "--player") == 0) {
            player = true;
            className = "StandInPlayer";
            char path[MAX_PATH];
            const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
            const std::string file(path, n < MAX_PATH ? n : 0);
            playerTitle = "Player " + file.substr(file.find_last_of("\\/") + 1);
            title = playerTitle.c_str();
        } else if (std::strcmp(__argv[i], "--log") == 0 && i + 1 < __argc) {
            logPath = __argv[++i];
        }
    }
    if (logPath != nullptr) {
        logFile =
            CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    WNDCLASSA wc{};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = className;
    logging = true; // a failure below still leaves a trace
    if (RegisterClassA(&wc) == 0) {
        logLine("failed RegisterClassA error=%lu", static_cast<unsigned long>(GetLastError()));
        logLine("exited");
        return 1;
    }
    logging = false;
    // Away from the top-left corner, where Wine shows its tray window on a bare X display: the tray icon
    // stays in sight while the program under test keeps this window on top.
    HWND hwnd = CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW, 320, 200, 480, 320, nullptr,
                                nullptr, instance, nullptr);
    logging = true;
    if (hwnd == nullptr) {
        logLine("failed CreateWindowExA error=%lu", static_cast<unsigned long>(GetLastError()));
        logLine("exited");
        return 1;
    }
    logLine("started pid=%lu hwnd=%llu class=%s args=%s", static_cast<unsigned long>(GetCurrentProcessId()),
            static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(hwnd)), className,
            GetCommandLineA());
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    logLine("exited");
    if (logFile != INVALID_HANDLE_VALUE) {
        CloseHandle(logFile);
    }
    return 0;
}
