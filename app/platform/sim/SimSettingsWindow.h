// The settings window for host tests: it keeps what the core shows, and a test acts as the user would (choose
// a media center, type into an entry, press Test, OK or Cancel) from whileOpen, which runs while the window
// is open, as the window's own message loop would run.
#pragma once

#include "platform/SettingsWindow.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class SimSettingsWindow : public platform::SettingsWindow {
  public:
    // --- test side ---
    std::function<void(SimSettingsWindow&)> whileOpen; // run once by the next run()
    std::vector<platform::SettingsView> shown;         // every view shown, in order
    const platform::SettingsView& view() const { return shown.back(); }
    bool isOpen() const { return open_; }
    int runs = 0;
    int broughtToFront = 0;
    platform::Hwnd owner = 0;
    std::optional<platform::SettingsControl> focused;

    void choose(int mediaCenter);
    void type(platform::SettingsControl control, const std::string& text);
    void setNotifications(bool on);
    void pressTest();
    void pressOk();
    void pressCancel();
    void pressEditFile();

    // --- SettingsWindow ---
    void run(platform::Hwnd owner, const platform::SettingsView& view,
             platform::SettingsWindowEvents& events) override;
    void show(const platform::SettingsView& view) override;
    platform::SettingsEntries entries() override { return entries_; }
    void focus(platform::SettingsControl control) override { focused = control; }
    void close() override { open_ = false; }
    void bringToFront() override { ++broughtToFront; }

  private:
    platform::SettingsWindowEvents* events_ = nullptr;
    platform::SettingsEntries entries_;
    bool open_ = false;
};

} // namespace sim
