#include "traycontrol/SysTray.h"

#include <algorithm>

using namespace platform;

SysTray::SysTray(User32& user32, Shell32& shell32, bool userMode)
    : user32_(user32), shell32_(shell32), userMode_(userMode) {
    taskbarCreated_ = user32_.registerWindowMessage("TaskbarCreated");
    window_ = user32_.createHiddenWindow("",
                                         [this](Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                                std::intptr_t lParam) -> MessageResult {
                                             if (message == CallbackMessage) {
                                                 OnCallback(lParam);
                                                 return 0;
                                             }
                                             if (message == taskbarCreated_ && taskbarCreated_ != 0) {
                                                 OnTaskbarCreated();
                                                 return 0;
                                             }
                                             if (message == WM_TIMER && wParam == RetryTimerId) {
                                                 PutIconBack();
                                                 return 0;
                                             }
                                             if (message == WM_CLOSE) {
                                                 if (CloseRequested) {
                                                     CloseRequested();
                                                 }
                                                 return 0;
                                             }
                                             return user32_.defWindowProc(window, message, wParam, lParam);
                                         });
    if (window_ != 0 && taskbarCreated_ != 0) {
        user32_.allowMessageFromLowerIntegrity(window_, taskbarCreated_);
    }
    shown_ = false;
}

SysTray::~SysTray() {
    Wait(false);
    if (shown_) {
        shell32_.shellNotifyIcon(NIM_DELETE, record_);
    }
    if (window_ != 0) {
        user32_.destroyWindow(window_);
    }
}

int SysTray::SetIcon(std::int32_t New_Icon) {
    if (!userMode_) {
        return ErrSetNotPermitted;
    }
    icon_ = New_Icon;
    if (shown_) {
        record_.hIcon = icon_;
        shell32_.shellNotifyIcon(NIM_MODIFY, record_);
    }
    Changed("Icon");
    return 0;
}

void SysTray::SetTip(const std::string& New_Tip) {
    tip_ = New_Tip;
    if (shown_) {
        PutTip(tip_);
        shell32_.shellNotifyIcon(NIM_MODIFY, record_);
    }
    Changed("Tip");
}

int SysTray::SetAfficher(bool New_Afficher) {
    if (!userMode_) {
        return ErrSetNotPermitted;
    }
    shown_ = New_Afficher;
    Changed("Afficher");
    return 0;
}

// The tip is padded with blanks, and always ends with a zero: the shell reads it as a C string, so at most
// 63 characters are shown.
void SysTray::PutTip(const std::string& text) {
    record_.szTip.fill(' ');
    std::copy_n(text.begin(), std::min(text.size(), record_.szTip.size() - 1), record_.szTip.begin());
    record_.szTip.back() = '\0';
}

void SysTray::Show() {
    if (shown_) {
        return;
    }
    shown_ = true;
    record_.cbSize = shell32_.notifyIconDataV1Size();
    record_.hWnd = window_;
    record_.uID = IconId;
    record_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record_.uCallbackMessage = CallbackMessage;
    record_.hIcon = icon_;
    PutTip(tip_);
    const bool added = shell32_.shellNotifyIcon(NIM_ADD, record_);
    // A failed add may still have reached the shell (it answered too late): then the modify succeeds.
    const bool modified = shell32_.shellNotifyIcon(NIM_MODIFY, record_);
    Wait(!added && !modified);
}

void SysTray::Hide() {
    if (!shown_) {
        return;
    }
    shown_ = false;
    Wait(false);
    shell32_.shellNotifyIcon(NIM_DELETE, record_);
}

void SysTray::UpdateIcon(const std::string& ToolTip) {
    record_.hWnd = window_;
    record_.uFlags = NIF_ICON | NIF_TIP;
    PutTip(ToolTip);
    shell32_.shellNotifyIcon(NIM_MODIFY, record_);
}

void SysTray::OnTaskbarCreated() {
    PutIconBack();
}

// Adds a shown icon from the stored record (its current picture and tip) with the callback. An add the shell
// refuses is either an icon it holds already ("TaskbarCreated" also comes when only the taskbar changed, and
// a late answer to an earlier add) or one it did not take: a modify tells the two apart. Until the shell has
// the icon, the retry timer runs.
void SysTray::PutIconBack() {
    if (!shown_) {
        Wait(false);
        return;
    }
    // A copy: UpdateIcon may have left the stored record without the callback flag, which later modify calls
    // keep; the new icon needs it.
    NotifyIconData again = record_;
    again.cbSize = shell32_.notifyIconDataV1Size();
    again.hWnd = window_;
    again.uID = IconId;
    again.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    again.uCallbackMessage = CallbackMessage;
    const bool there =
        shell32_.shellNotifyIcon(NIM_ADD, again) || shell32_.shellNotifyIcon(NIM_MODIFY, again);
    Wait(!there);
}

void SysTray::Wait(bool on) {
    if (on == waiting_ || window_ == 0) {
        return;
    }
    if (on) {
        waiting_ = user32_.setTimer(window_, RetryTimerId, RetryIntervalMs);
    } else {
        user32_.killTimer(window_, RetryTimerId);
        waiting_ = false;
    }
}

void SysTray::InitProperties() {
    icon_ = 0;
    tip_ = "0";
    shown_ = false;
}

void SysTray::ReadProperties(const PropertyBag& bag) {
    icon_ = std::get<std::int32_t>(bag.ReadProperty("Icon", std::int32_t{0}));
    tip_ = std::get<std::string>(bag.ReadProperty("Tip", std::string("0")));
    // A control that has just been loaded never counts as shown: the host calls Show.
    shown_ = std::get<bool>(bag.ReadProperty("Afficher", false));
    shown_ = false;
}

void SysTray::WriteProperties(PropertyBag& bag) const {
    bag.WriteProperty("Icon", icon_, std::int32_t{0});
    bag.WriteProperty("Tip", tip_, std::string("0"));
    bag.WriteProperty("Afficher", shown_, false);
}

void SysTray::OnCallback(std::intptr_t lParam) {
    if (events_ == nullptr) {
        return;
    }
    switch (static_cast<std::uint32_t>(lParam & 0xFFFF)) {
    case WM_MOUSEMOVE:
        events_->MouseMove();
        break;
    case WM_LBUTTONDBLCLK:
        events_->DbClickGauche();
        break;
    case WM_RBUTTONDOWN:
        events_->ClickDroit();
        break;
    case WM_LBUTTONUP:
        events_->ClickGauche();
        break;
    case WM_RBUTTONDBLCLK:
        events_->DbClickDroit();
        break;
    default:
        break;
    }
}
