// SysTray: a reusable notification-area icon control. It wraps the shell's notification-icon interface, keeps
// the icon record between calls, and turns the shell's callbacks into mouse events. It knows nothing of the
// program that holds it.
//
// Its window lives as long as the control: a WM_CLOSE sent to it is handed to the holder (CloseRequested)
// and never destroys it. When the shell restarts (Explorer broadcasts its registered "TaskbarCreated"
// message) a shown icon is added again with the picture and tip it showed. The window lets that message in
// from the shell also while the program runs elevated, where the platform's message filter would drop it.
//
// A shown icon always ends up in the notification area: when the shell does not take it (at logon the shell
// may be too busy to answer, and the call fails), the control tries again on a timer of its window until the
// shell has it, and again on "TaskbarCreated".
#pragma once

#include "platform/Shell32.h"
#include "platform/User32.h"
#include "traycontrol/PropertyBag.h"

#include <cstdint>
#include <functional>
#include <string>

// The control's events, in declaration order. None has arguments.
class SysTrayEvents {
  public:
    virtual ~SysTrayEvents() = default;
    virtual void MouseMove() {}
    virtual void DbClickGauche() {}
    virtual void ClickDroit() {}
    virtual void ClickGauche() {}
    virtual void DbClickDroit() {}
};

class SysTray {
  public:
    // Run-time error raised when a run-time-only property is set in design mode.
    static constexpr int ErrSetNotPermitted = 387;
    // The callback message the shell sends to the control's window; the mouse message is in lParam's low
    // word.
    static constexpr std::uint32_t CallbackMessage = platform::WM_MOUSEMOVE;
    static constexpr std::uint32_t IconId = 1;
    // The timer of the control's window that tries again to add an icon the shell did not take, and its
    // period.
    static constexpr std::uintptr_t RetryTimerId = 1;
    static constexpr std::uint32_t RetryIntervalMs = 2000;

    // Creation. userMode is false while the control sits in a form designer.
    SysTray(platform::User32& user32, platform::Shell32& shell32, bool userMode = true);
    // Destruction removes the icon when it is shown.
    ~SysTray();
    SysTray(const SysTray&) = delete;
    SysTray& operator=(const SysTray&) = delete;

    std::int32_t Icon() const { return icon_; }
    int SetIcon(std::int32_t New_Icon); // 0, or ErrSetNotPermitted in design mode
    const std::string& Tip() const { return tip_; }
    void SetTip(const std::string& New_Tip);
    bool Afficher() const { return shown_; }
    int SetAfficher(bool New_Afficher); // 0, or ErrSetNotPermitted in design mode
    std::int32_t TrayIcon() const { return trayIcon_; }
    void SetTrayIcon(std::int32_t picture) { trayIcon_ = picture; }

    void Show();
    void Hide();
    void UpdateIcon(const std::string& ToolTip);

    // Persisted properties: a new instance, and loading and saving with the form.
    void InitProperties();
    void ReadProperties(const PropertyBag& bag);
    void WriteProperties(PropertyBag& bag) const;

    // The holder's event sink; may be null.
    void SetEvents(SysTrayEvents* events) { events_ = events; }
    // Called with the property name whenever a property changes, so the host can mark the form as changed.
    std::function<void(const char*)> PropertyChanged;
    // Called when the control's window is asked to close (WM_CLOSE): the holder decides what ends.
    std::function<void()> CloseRequested;

    // The control's own window, which receives the shell's callbacks.
    platform::Hwnd hWnd() const { return window_; }
    // The record passed to the shell.
    const platform::NotifyIconData& Record() const { return record_; }

    // Decodes one callback (the mouse message in the low word of lParam) into an event.
    void OnCallback(std::intptr_t lParam);
    // The shell came back: a shown icon is added again from the stored record (its current picture and
    // tip), with the callback; a hidden one stays hidden.
    void OnTaskbarCreated();
    // The number of the shell's "TaskbarCreated" message in this session (0 when it could not be had).
    std::uint32_t TaskbarCreatedMessage() const { return taskbarCreated_; }
    // The icon counts as shown but the shell has not taken it yet: the retry timer runs.
    bool Waiting() const { return waiting_; }

  private:
    void PutTip(const std::string& text);
    void PutIconBack();
    void Wait(bool on);
    void Changed(const char* name) {
        if (PropertyChanged) {
            PropertyChanged(name);
        }
    }

    platform::User32& user32_;
    platform::Shell32& shell32_;
    bool userMode_;
    platform::Hwnd window_ = 0;
    std::int32_t icon_ = 0;
    std::string tip_;
    bool shown_ = false;
    std::int32_t trayIcon_ = 0;
    platform::NotifyIconData record_{};
    SysTrayEvents* events_ = nullptr;
    std::uint32_t taskbarCreated_ = 0;
    bool waiting_ = false;
};
