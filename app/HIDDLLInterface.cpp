#include "HIDDLLInterface.h"

#include "MainForm.h"

using namespace platform;

std::optional<std::int16_t> HIDDLLInterface::HidConnect(Hwnd window) {
    NotifyWindow = window;
    auto result = hid_.Connect(static_cast<std::int32_t>(window));
    if (!result) {
        return std::nullopt;
    }
    // The procedure is replaced even when the library reported failure.
    PreviousWndProc = user32_.setWindowProc(
        window, [this](Hwnd w, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
            return HidWindowProc(w, message, wParam, lParam);
        });
    return result;
}

std::optional<std::int16_t> HIDDLLInterface::HidDisconnect() {
    auto result = hid_.Disconnect();
    if (!result) {
        return std::nullopt;
    }
    user32_.restoreWindowProc(NotifyWindow, PreviousWndProc);
    return result;
}

MessageResult HIDDLLInterface::HidWindowProc(Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                             std::intptr_t lParam) {
    if (message == HidNotifyMessage) {
        const auto handle = static_cast<std::int32_t>(lParam);
        switch (wParam) {
        case HidNotifyAttach:
            form_.OnPlugged(handle);
            break;
        case HidNotifyRemove:
            form_.OnUnplugged(handle);
            break;
        case HidNotifyChange:
            form_.OnChanged();
            break;
        case HidNotifyRead:
            form_.OnRead(handle);
            break;
        default:
            break;
        }
    }
    return user32_.callWindowProc(PreviousWndProc, window, message, wParam, lParam);
}
