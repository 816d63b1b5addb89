#include "MediaCenter.h"

using namespace platform;

void MediaCenter::Raise(Hwnd window, const std::string& activationTitle) {
    user32_.activateWindowByTitle(activationTitle);
    user32_.setWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    user32_.setActiveWindow(window);
}

void MediaCenter::PostKey(Hwnd window, int virtualKey) {
    if (window == 0) {
        return;
    }
    user32_.postMessage(window, WM_KEYDOWN, static_cast<std::uintptr_t>(virtualKey), 0);
    user32_.postMessage(window, WM_KEYUP, static_cast<std::uintptr_t>(virtualKey), 0);
}

// Without a window these do nothing: a message posted to no window would land in this program's own queue.
void MediaCenter::Close(Hwnd window) {
    if (window != 0) {
        user32_.postMessage(window, WM_CLOSE, 0, 0);
    }
}

void MediaCenter::Hide(Hwnd window) {
    if (window != 0) {
        user32_.showWindow(window, SW_HIDE);
    }
}

void MediaCenter::Show(Hwnd window) {
    if (window != 0) {
        user32_.showWindow(window, SW_SHOW);
    }
}

bool MediaCenter::Start(const std::string& commandLine) {
    return kernel32_.startProgram(commandLine, SW_SHOWMINIMIZED);
}
