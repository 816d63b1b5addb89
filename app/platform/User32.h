// The user32 port: windows, messages, window procedures, menus, beep and shutdown.
#pragma once

#include "platform/Types.h"

#include <functional>
#include <string>
#include <vector>

namespace platform {

// A window procedure installed by the program. The adapter calls it for every message to the window.
using WindowProc = std::function<MessageResult(Hwnd, std::uint32_t, std::uintptr_t, std::intptr_t)>;

// The procedure a window had before the program replaced it; opaque to the program.
using PreviousProc = std::intptr_t;

struct PopupItem {
    std::string caption;
    bool checked = false;
};

class User32 {
  public:
    virtual ~User32() = default;

    // Windows of the program itself: a hidden top-level window whose messages go to proc (to the platform's
    // default processing when proc is empty).
    virtual Hwnd createHiddenWindow(const std::string& title, WindowProc proc) = 0;
    virtual void destroyWindow(Hwnd window) = 0;
    // DefWindowProcA: the platform's default processing of a message.
    virtual MessageResult defWindowProc(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                        std::intptr_t lParam) = 0;

    // FindWindowA with a class name and no title.
    virtual Hwnd findWindow(const std::string& className) = 0;
    // Activates the top-level window titled exactly `title`, or failing that one whose title begins with it,
    // without waiting for this program to have the focus. False when no window carries the title.
    virtual bool activateWindowByTitle(const std::string& title) = 0;
    virtual bool setWindowPos(Hwnd window, Hwnd insertAfter, int x, int y, int cx, int cy,
                              std::uint32_t flags) = 0;
    virtual Hwnd setActiveWindow(Hwnd window) = 0;
    virtual bool setForegroundWindow(Hwnd window) = 0;
    virtual bool showWindow(Hwnd window, int command) = 0;
    virtual bool postMessage(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) = 0;
    // RegisterWindowMessageA: the session's number for a named message (the same in every program), 0 on
    // failure.
    virtual std::uint32_t registerWindowMessage(const std::string& name) = 0;

    // SetWindowLongA(GWL_WNDPROC): installs proc, returns the procedure it replaced.
    virtual PreviousProc setWindowProc(Hwnd window, WindowProc proc) = 0;
    // Puts back a procedure returned by setWindowProc.
    virtual void restoreWindowProc(Hwnd window, PreviousProc previous) = 0;
    // CallWindowProcA.
    virtual MessageResult callWindowProc(PreviousProc previous, Hwnd window, std::uint32_t message,
                                         std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // Shows a pop-up menu at the mouse position, owned by `owner`, with `defaultItem` in bold.
    // Returns the index of the item picked, or -1 when the menu was dismissed.
    virtual int popupMenu(Hwnd owner, const std::vector<PopupItem>& items, int defaultItem) = 0;

    // The program's own icons, by resource number; 0 when missing.
    virtual std::int32_t loadIcon(int resourceId) = 0;

    virtual void messageBeep() = 0;
    virtual bool exitWindowsEx(std::uint32_t flags, std::uint32_t reserved) = 0;

    // SetTimer on one of the program's own windows: WM_TIMER with wParam `id` reaches its procedure every
    // `milliseconds` until killTimer. False when the timer could not be made.
    virtual bool setTimer(Hwnd window, std::uintptr_t id, std::uint32_t milliseconds) = 0;
    // KillTimer.
    virtual void killTimer(Hwnd window, std::uintptr_t id) = 0;
    // ChangeWindowMessageFilterEx(window, message, MSGFLT_ALLOW), looked up when called: lets `message` reach
    // `window` from programs of a lower integrity level (the shell, while this program runs elevated). False
    // where this Windows has no such call, or it failed.
    virtual bool allowMessageFromLowerIntegrity(Hwnd window, std::uint32_t message) = 0;

    // The message loop: runs until quit() is called on this thread.
    virtual void runMessageLoop() = 0;
    virtual void quit() = 0;
};

} // namespace platform
