// winprobe: a small console tool that looks at the desktop and drives it the way a user would, for the Wine
// tests and the demo. One command per run; results on standard output, one "key=value ..." line each.
//
//   winprobe windows                          every top-level window: hwnd, pid, rect, class, visible, title
//   winprobe find --title T [--class C]       the first top-level window with that title (and class)
//   winprobe foreground                       the foreground window
//   winprobe tooltips
//        every tooltip window with the text of the tip it shows (asked with WM_GETTEXT, which also reaches
//        another process's tooltip); a tray icon's tip shows once the pointer rests on the icon
//   winprobe tray-menu --pid N [--pick default|none|INDEX] [--items N] [--hold-ms MS] [--cursor X,Y]
//        sends the tray icon's callback for a right-button press to the notification-icon window of process N
//        (as the shell does), waits for the pop-up menu, prints where it is (and its items where the platform
//        lets another process read them), then clicks the item asked for with the mouse, or dismisses the
//        menu with Esc.
//   winprobe post --hwnd H --msg M [--wparam W] [--lparam L]
//        posts a message to a window
//   winprobe broadcast --name NAME            posts the registered message NAME to every top-level window
//   winprobe tray-forget --pid N [--id ID]    removes process N's notification icon (ID 1) as a restarting
//        shell loses it: Shell_NotifyIcon(NIM_DELETE) for the program's notification-icon window
//   winprobe responsive --hwnd H [--for-ms MS] [--every-ms MS] [--timeout-ms MS]
//        whether a window answers messages throughout: sends it WM_NULL (SendMessageTimeout) every MS for the
//        time given, then prints how many were sent and answered and the slowest and median answer
//   winprobe dialog --title T [--timeout MS]  the dialog titled T and each of its controls: id, class,
//        enabled, visible, focused and text (asked with WM_GETTEXT, which also reaches another process's
//        controls)
//   winprobe dialog-set --title T --id N --text S       types S into control N (WM_SETTEXT)
//   winprobe dialog-select --title T --id N --index I   picks item I of the list N, as a user's pick tells
//        the dialog (CB_SETCURSEL, then CBN_SELCHANGE)
//   winprobe dialog-check --title T --id N --checked 0|1
//   winprobe dialog-click --title T --id N              presses button N (the BN_CLICKED it tells its dialog)
//   winprobe dialog-keys --title T --keys K[,K...]      brings the dialog to the front and types the keys,
//        as a user does (SendInput): each K a virtual-key code in hexadecimal, "alt+" before it to hold Alt
//
// Exit status 0 on success, 1 when what was looked for was not found in time, 2 on bad arguments.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Args {
    std::vector<std::string> items;
    std::string get(const char* name, const char* fallback = "") const {
        for (std::size_t i = 0; i + 1 < items.size(); ++i) {
            if (items[i] == name) {
                return items[i + 1];
            }
        }
        return fallback;
    }
};

std::string text(HWND hwnd) {
    char buffer[512];
    const int n = GetWindowTextA(hwnd, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string className(HWND hwnd) {
    char buffer[256];
    const int n = GetClassNameA(hwnd, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

DWORD pidOf(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

void printWindow(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    std::printf("hwnd=0x%llx pid=%lu rect=%ld,%ld,%ld,%ld class=%s visible=%d title=%s\n",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(hwnd)),
                static_cast<unsigned long>(pidOf(hwnd)), r.left, r.top, r.right, r.bottom,
                className(hwnd).c_str(), IsWindowVisible(hwnd) ? 1 : 0, text(hwnd).c_str());
}

BOOL CALLBACK collectWindow(HWND hwnd, LPARAM lParam) {
    reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> topLevelWindows() {
    std::vector<HWND> all;
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&all));
    return all;
}

HWND waitFor(DWORD timeoutMs, HWND (*find)(const Args&), const Args& args) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND hwnd = find(args)) {
            return hwnd;
        }
        if (GetTickCount() - start > timeoutMs) {
            return nullptr;
        }
        Sleep(20);
    }
}

HWND findByTitle(const Args& args) {
    const std::string title = args.get("--title");
    const std::string cls = args.get("--class");
    for (HWND hwnd : topLevelWindows()) {
        if (text(hwnd) == title && (cls.empty() || className(hwnd) == cls)) {
            return hwnd;
        }
    }
    return nullptr;
}

// The program's notification-icon window: its hidden, untitled window of the program's own class.
HWND findTrayWindow(const Args& args) {
    const DWORD pid = static_cast<DWORD>(std::strtoul(args.get("--pid").c_str(), nullptr, 0));
    for (HWND hwnd : topLevelWindows()) {
        if (pidOf(hwnd) == pid && className(hwnd) == "TavrelmondWindow" && text(hwnd).empty()) {
            return hwnd;
        }
    }
    return nullptr;
}

HWND findPopupMenu(const Args&) {
    for (HWND hwnd : topLevelWindows()) {
        if (className(hwnd) == "#32768" && IsWindowVisible(hwnd)) {
            return hwnd;
        }
    }
    return nullptr;
}

void click(int x, int y) {
    const int w = GetSystemMetrics(SM_CXSCREEN) - 1;
    const int h = GetSystemMetrics(SM_CYSCREEN) - 1;
    INPUT input[3]{};
    input[0].type = INPUT_MOUSE;
    input[0].mi.dx = x * 65535 / (w > 0 ? w : 1);
    input[0].mi.dy = y * 65535 / (h > 0 ? h : 1);
    input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    input[1] = input[0];
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    input[2] = input[0];
    input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input[0], sizeof(INPUT));
    Sleep(150); // the menu highlights the item under the pointer first
    SendInput(2, &input[1], sizeof(INPUT));
}

int trayMenu(const Args& args) {
    const DWORD timeout =
        static_cast<DWORD>(std::strtoul(args.get("--timeout", "15000").c_str(), nullptr, 0));
    HWND tray = waitFor(timeout, findTrayWindow, args);
    if (tray == nullptr) {
        std::printf("error=no-tray-window\n");
        return 1;
    }
    // --cursor X,Y: where the mouse is when the button goes down (the menu opens there).
    const std::string cursor = args.get("--cursor");
    if (!cursor.empty()) {
        SetCursorPos(std::atoi(cursor.c_str()), std::atoi(cursor.c_str() + cursor.find(',') + 1));
    }
    // The shell's callback: the tray icon's message with the mouse message in lParam.
    PostMessageA(tray, WM_MOUSEMOVE, 1, WM_RBUTTONDOWN);
    HWND popup = waitFor(timeout, findPopupMenu, args);
    if (popup == nullptr) {
        std::printf("error=no-menu\n");
        return 1;
    }
    Sleep(200); // shown is not yet tracking: give the menu's loop a moment to start
    RECT frame{};
    GetWindowRect(popup, &frame);
    std::printf("menu left=%ld top=%ld right=%ld bottom=%ld\n", frame.left, frame.top, frame.right,
                frame.bottom);
    const std::string pick = args.get("--pick", "default");
    if (pick == "none") {
        // --hold-ms: leave the menu open that long first (for a screenshot).
        Sleep(static_cast<DWORD>(std::strtoul(args.get("--hold-ms", "0").c_str(), nullptr, 0)));
        keybd_event(VK_ESCAPE, 0, 0, 0);
        keybd_event(VK_ESCAPE, 0, KEYEVENTF_KEYUP, 0);
        return 0;
    }
    // The menu belongs to another process; where the platform shares its items (Windows does, Wine keeps them
    // in the owning process) they are listed and the default item is found by asking. Otherwise the caller
    // says how many items of equal height the menu has and which one to click (--items N --pick INDEX).
    HMENU menu = reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0));
    const int count = menu != nullptr ? GetMenuItemCount(menu) : -1;
    int index = pick == "default" ? -1 : std::atoi(pick.c_str());
    RECT rect{};
    if (count > 0) {
        const UINT byPosition = GetMenuDefaultItem(menu, TRUE, 0);
        if (pick == "default" && byPosition != static_cast<UINT>(-1)) {
            index = static_cast<int>(byPosition);
        }
        for (int i = 0; i < count; ++i) {
            char caption[256] = {};
            GetMenuStringA(menu, static_cast<UINT>(i), caption, sizeof caption, MF_BYPOSITION);
            std::printf("item=%d default=%d caption=%s\n", i, static_cast<UINT>(i) == byPosition ? 1 : 0,
                        caption);
        }
        if (index < 0 || !GetMenuItemRect(nullptr, menu, static_cast<UINT>(index), &rect)) {
            std::printf("error=no-item\n");
            return 1;
        }
    } else {
        const int items = std::atoi(args.get("--items", "0").c_str());
        if (index < 0 || items <= 0 || index >= items) {
            std::printf("error=menu-items-unknown (give --items N and --pick INDEX)\n");
            return 1;
        }
        RECT client{};
        GetClientRect(popup, &client);
        POINT origin{0, 0};
        ClientToScreen(popup, &origin);
        const int height = (client.bottom - client.top) / items;
        rect.left = origin.x;
        rect.right = origin.x + (client.right - client.left);
        rect.top = origin.y + height * index;
        rect.bottom = rect.top + height;
    }
    std::fflush(stdout);
    click((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    std::printf("clicked=%d\n", index);
    return 0;
}

int responsive(const Args& args) {
    HWND hwnd = reinterpret_cast<HWND>(
        static_cast<std::uintptr_t>(std::strtoull(args.get("--hwnd").c_str(), nullptr, 0)));
    const double forMs = std::strtod(args.get("--for-ms", "5000").c_str(), nullptr);
    const DWORD everyMs = static_cast<DWORD>(std::strtoul(args.get("--every-ms", "20").c_str(), nullptr, 0));
    const UINT timeoutMs =
        static_cast<UINT>(std::strtoul(args.get("--timeout-ms", "5000").c_str(), nullptr, 0));
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const auto msSince = [&](const LARGE_INTEGER& from) {
        QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - from.QuadPart) /
               static_cast<double>(frequency.QuadPart);
    };
    std::vector<double> answers;
    unsigned sent = 0;
    while (msSince(start) < forMs) {
        LARGE_INTEGER before;
        QueryPerformanceCounter(&before);
        DWORD_PTR result = 0;
        ++sent;
        if (SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0) {
            answers.push_back(msSince(before));
        }
        Sleep(everyMs);
    }
    std::vector<double> sorted = answers;
    std::sort(sorted.begin(), sorted.end());
    std::printf("sent=%u answered=%u slowest_ms=%.1f median_ms=%.1f\n", sent,
                static_cast<unsigned>(answers.size()), sorted.empty() ? 0.0 : sorted.back(),
                sorted.empty() ? 0.0 : sorted[sorted.size() / 2]);
    return answers.size() == sent && sent > 0 ? 0 : 1;
}

// --- dialogs of another process ---

HWND findDialog(const Args& args) {
    const std::string title = args.get("--title");
    for (HWND hwnd : topLevelWindows()) {
        if (className(hwnd) == "#32770" && IsWindowVisible(hwnd) && text(hwnd) == title) {
            return hwnd;
        }
    }
    return nullptr;
}

std::string controlText(HWND control) {
    char buffer[1024] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutA(control, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                        SMTO_ABORTIFHUNG, 2000, &length);
    std::string value(buffer);
    for (char& c : value) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return value;
}

BOOL CALLBACK printControl(HWND control, LPARAM focused) {
    std::printf("control id=%d class=%s enabled=%d visible=%d focused=%d text=%s\n", GetDlgCtrlID(control),
                className(control).c_str(), IsWindowEnabled(control) ? 1 : 0,
                IsWindowVisible(control) ? 1 : 0, reinterpret_cast<HWND>(focused) == control ? 1 : 0,
                controlText(control).c_str());
    return TRUE;
}

int dialogCommand(const std::string& command, const Args& args) {
    const DWORD timeout = static_cast<DWORD>(std::strtoul(args.get("--timeout", "5000").c_str(), nullptr, 0));
    HWND dialog = waitFor(timeout, findDialog, args);
    if (dialog == nullptr) {
        std::printf("error=no-dialog\n");
        return 1;
    }
    if (command == "dialog") {
        GUITHREADINFO gui{};
        gui.cbSize = sizeof gui;
        GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui);
        printWindow(dialog);
        EnumChildWindows(dialog, printControl, reinterpret_cast<LPARAM>(gui.hwndFocus));
        return 0;
    }
    if (command == "dialog-keys") {
        SetForegroundWindow(dialog);
        Sleep(200);
        std::string keys = args.get("--keys");
        std::size_t start = 0;
        while (start <= keys.size()) {
            const std::size_t end = std::min(keys.find(',', start), keys.size());
            std::string key = keys.substr(start, end - start);
            const bool alt = key.rfind("alt+", 0) == 0;
            const WORD vk = static_cast<WORD>(std::strtoul(key.c_str() + (alt ? 4 : 0), nullptr, 16));
            std::vector<INPUT> inputs;
            auto push = [&inputs](WORD code, bool up) {
                INPUT input{};
                input.type = INPUT_KEYBOARD;
                input.ki.wVk = code;
                input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
                inputs.push_back(input);
            };
            if (alt) {
                push(VK_MENU, false);
            }
            push(vk, false);
            push(vk, true);
            if (alt) {
                push(VK_MENU, true);
            }
            SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
            Sleep(150);
            start = end + 1;
        }
        return 0;
    }
    const int id = std::atoi(args.get("--id").c_str());
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        std::printf("error=no-control\n");
        return 1;
    }
    DWORD_PTR result = 0;
    if (command == "dialog-set") {
        const std::string value = args.get("--text");
        return SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()),
                                   SMTO_ABORTIFHUNG, 5000, &result) != 0
                   ? 0
                   : 1;
    }
    if (command == "dialog-select") {
        const WPARAM index = static_cast<WPARAM>(std::atoi(args.get("--index").c_str()));
        SendMessageTimeoutA(control, CB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, 5000, &result);
        return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                            reinterpret_cast<LPARAM>(control))
                   ? 0
                   : 1;
    }
    if (command == "dialog-check") {
        const WPARAM state = args.get("--checked") == "1" ? BST_CHECKED : BST_UNCHECKED;
        return SendMessageTimeoutA(control, BM_SETCHECK, state, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0 ? 0
                                                                                                         : 1;
    }
    if (command == "dialog-click") {
        // What a click tells the dialog, posted: its handler may take its time (or close the dialog) without
        // holding this tool. A greyed button takes no click.
        if (!IsWindowEnabled(control)) {
            std::printf("error=disabled\n");
            return 1;
        }
        return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control))
                   ? 0
                   : 1;
    }
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Args args;
    for (int i = 2; i < argc; ++i) {
        args.items.push_back(argv[i]);
    }
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "windows") {
        for (HWND hwnd : topLevelWindows()) {
            printWindow(hwnd);
        }
        return 0;
    }
    if (command == "find") {
        const DWORD timeout =
            static_cast<DWORD>(std::strtoul(args.get("--timeout", "0").c_str(), nullptr, 0));
        HWND hwnd = waitFor(timeout, findByTitle, args);
        if (hwnd == nullptr) {
            std::printf("error=not-found\n");
            return 1;
        }
        printWindow(hwnd);
        return 0;
    }
    if (command == "foreground") {
        HWND hwnd = GetForegroundWindow();
        if (hwnd == nullptr) {
            std::printf("error=none\n");
            return 1;
        }
        printWindow(hwnd);
        return 0;
    }
    if (command == "tooltips") {
        for (HWND hwnd : topLevelWindows()) {
            if (className(hwnd) != "tooltips_class32") {
                continue;
            }
            char buffer[512] = {};
            DWORD_PTR length = 0;
            SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                                SMTO_ABORTIFHUNG, 2000, &length);
            std::printf("tooltip hwnd=0x%llx pid=%lu visible=%d text=%s\n",
                        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(hwnd)),
                        static_cast<unsigned long>(pidOf(hwnd)), IsWindowVisible(hwnd) ? 1 : 0, buffer);
        }
        return 0;
    }
    if (command == "tray-menu") {
        return trayMenu(args);
    }
    if (command == "post") {
        HWND hwnd = reinterpret_cast<HWND>(
            static_cast<std::uintptr_t>(std::strtoull(args.get("--hwnd").c_str(), nullptr, 0)));
        const UINT msg = static_cast<UINT>(std::strtoul(args.get("--msg").c_str(), nullptr, 0));
        const WPARAM w = static_cast<WPARAM>(std::strtoull(args.get("--wparam", "0").c_str(), nullptr, 0));
        const LPARAM l = static_cast<LPARAM>(std::strtoll(args.get("--lparam", "0").c_str(), nullptr, 0));
        return PostMessageA(hwnd, msg, w, l) ? 0 : 1;
    }
    if (command == "broadcast") {
        const UINT msg = RegisterWindowMessageA(args.get("--name").c_str());
        if (msg == 0) {
            return 2;
        }
        std::printf("msg=0x%x\n", msg);
        return PostMessageA(HWND_BROADCAST, msg, 0, 0) ? 0 : 1;
    }
    if (command == "responsive") {
        return responsive(args);
    }
    if (command.rfind("dialog", 0) == 0) {
        return dialogCommand(command, args);
    }
    if (command == "tray-forget") {
        HWND tray = findTrayWindow(args);
        if (tray == nullptr) {
            std::printf("error=no-tray-window\n");
            return 1;
        }
        NOTIFYICONDATAA record{};
        record.cbSize = NOTIFYICONDATAA_V1_SIZE;
        record.hWnd = tray;
        record.uID = static_cast<UINT>(std::strtoul(args.get("--id", "1").c_str(), nullptr, 0));
        return Shell_NotifyIconA(NIM_DELETE, &record) ? 0 : 1;
    }
    std::fprintf(
        stderr,
        "usage: winprobe windows | find --title T [--class C] [--timeout MS] | "
        "tray-menu --pid N [--pick default|none|INDEX] | post --hwnd H --msg M [--wparam W] [--lparam L] | "
        "broadcast --name NAME | tray-forget --pid N [--id ID]\n");
    return 2;
}
