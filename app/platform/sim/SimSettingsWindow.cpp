#include "platform/sim/SimSettingsWindow.h"

namespace sim {

using platform::SettingsControl;

void SimSettingsWindow::run(platform::Hwnd ownerWindow, const platform::SettingsView& view,
                            platform::SettingsWindowEvents& events) {
    ++runs;
    owner = ownerWindow;
    events_ = &events;
    open_ = true;
    show(view);
    if (whileOpen) {
        const std::function<void(SimSettingsWindow&)> user = std::move(whileOpen);
        whileOpen = nullptr;
        user(*this);
    }
    // A window the test left open is closed as with Esc.
    if (open_) {
        events.cancelClicked();
    }
    open_ = false;
    events_ = nullptr;
}

void SimSettingsWindow::show(const platform::SettingsView& view) {
    shown.push_back(view);
    entries_.mediaCenter = view.mediaCenter;
    entries_.address = view.address;
    entries_.port = view.port;
    entries_.user = view.user;
    entries_.password = view.password;
    entries_.notifications = view.notifications;
}

void SimSettingsWindow::choose(int mediaCenter) {
    entries_.mediaCenter = mediaCenter;
    if (events_ != nullptr) {
        events_->mediaCenterChanged();
    }
}

void SimSettingsWindow::type(SettingsControl control, const std::string& text) {
    switch (control) {
    case SettingsControl::Address:
        entries_.address = text;
        break;
    case SettingsControl::Port:
        entries_.port = text;
        break;
    case SettingsControl::User:
        entries_.user = text;
        break;
    case SettingsControl::Password:
        entries_.password = text;
        break;
    default:
        break;
    }
}

void SimSettingsWindow::setNotifications(bool on) {
    entries_.notifications = on;
}

void SimSettingsWindow::pressTest() {
    if (events_ != nullptr && view().testEnabled) {
        events_->testClicked();
    }
}

void SimSettingsWindow::pressOk() {
    if (events_ != nullptr) {
        events_->okClicked();
    }
}

void SimSettingsWindow::pressCancel() {
    if (events_ != nullptr) {
        events_->cancelClicked();
    }
}

void SimSettingsWindow::pressEditFile() {
    if (events_ != nullptr) {
        events_->editFileClicked();
    }
}

} // namespace sim
