// citizenprobe: plays what a user's Windows does around Tavrelmond, for the Wine tests. One command per run;
// results on standard output, one line each.
//
//   citizenprobe hold-mark --name NAME
//        creates the named mutex with a security descriptor whose empty access list lets nobody open it (as
//        an elevated copy's mark denies an unelevated copy of the same user), prints "held", and keeps it
//        until the process is ended
//   citizenprobe open-mark --name NAME
//        creates or opens the named mutex as the program does, prints "handle=0|1 error=N" (N the last error)
//   citizenprobe busy-shell --refuse N
//        a shell too busy to take notification icons (at logon, say): a hidden top-level window of the
//        shell's tray class, placed where the notification-icon calls look for it, refuses the first N
//        notification calls it gets ("refused" each), then leaves ("gone after N refusals") so that the real
//        tray takes the next call; it prints "ready" once it is in place
//
// Exit status 0 on success, 1 on failure, 2 on bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string option(int argc, char** argv, const char* name) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return {};
}

void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

int holdMark(const std::string& name) {
    SECURITY_DESCRIPTOR descriptor;
    ACL empty;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !InitializeAcl(&empty, sizeof empty, ACL_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE)) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    HANDLE mark = CreateMutexA(&attributes, FALSE, name.c_str());
    if (mark == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    say("held");
    Sleep(INFINITE);
    return 0;
}

int openMark(const std::string& name) {
    SetLastError(ERROR_SUCCESS);
    HANDLE mark = CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    std::printf("handle=%d error=%lu\n", mark != nullptr ? 1 : 0, error);
    if (mark != nullptr) {
        CloseHandle(mark);
    }
    return 0;
}

long refusalsLeft = 0;
long refused = 0;

LRESULT CALLBACK busyShell(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        ++refused;
        std::printf("refused %ld\n", refused);
        std::fflush(stdout);
        if (--refusalsLeft == 0) {
            PostMessageA(window, WM_CLOSE, 0, 0);
        }
        return FALSE;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int runBusyShell(long refusals) {
    if (refusals <= 0) {
        return 2;
    }
    refusalsLeft = refusals;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = busyShell;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "Shell_TrayWnd";
    if (RegisterClassA(&windowClass) == 0) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    // Top-most and newest: the first window of its class that a look-up by class finds.
    HWND window = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "Shell_TrayWnd", "", WS_POPUP, 0, 0, 0, 0,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr || FindWindowExA(nullptr, nullptr, "Shell_TrayWnd", nullptr) != window) {
        std::printf("error=not-first\n");
        return 1;
    }
    say("ready");
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
    std::printf("gone after %ld refusals\n", refused);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc >= 2 ? argv[1] : "";
    if (command == "hold-mark" && !option(argc, argv, "--name").empty()) {
        return holdMark(option(argc, argv, "--name"));
    }
    if (command == "open-mark" && !option(argc, argv, "--name").empty()) {
        return openMark(option(argc, argv, "--name"));
    }
    if (command == "busy-shell") {
        return runBusyShell(std::strtol(option(argc, argv, "--refuse").c_str(), nullptr, 10));
    }
    std::fprintf(stderr, "usage: citizenprobe hold-mark --name NAME | open-mark --name NAME | "
                         "busy-shell --refuse N\n");
    return 2;
}
