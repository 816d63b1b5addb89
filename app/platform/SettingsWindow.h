// The settings-window port: a dialog from the program's resources that shows what the core puts in a
// SettingsView and reports what the user does. The window holds no logic: which entries apply, what they
// mean, whether they are good and what is saved are decided by the core (SettingsDialog).
//
// Adapters: platform/win32/Win32SettingsWindow (a DIALOGEX template, modal) and
// platform/sim/SimSettingsWindow (a scripted window for host tests).
#pragma once

#include "platform/Types.h"

#include <string>
#include <vector>

namespace platform {

// Everything the window shows.
struct SettingsView {
    std::vector<std::string> mediaCenters; // the choices of the media-center list, in order
    int mediaCenter = 0;                   // the one chosen
    std::string address, port, user, password;
    bool notifications = true;
    // Which entries apply to the chosen media center (the others are shown greyed).
    bool addressEnabled = true, portEnabled = true, userEnabled = true, passwordEnabled = true,
         notificationsEnabled = true, testEnabled = true;
    std::string hint;                 // what the chosen media center needs (a line or two)
    std::string result;               // what the last test found, or what is wrong with an entry
    std::string file;                 // the file the settings are saved in
    std::vector<std::string> keyMaps; // the keyboard mode's key maps read (a read-only list)
};

// What the user has entered.
struct SettingsEntries {
    int mediaCenter = 0;
    std::string address, port, user, password;
    bool notifications = true;
};

enum class SettingsControl { MediaCenter, Address, Port, User, Password, Notifications, Test, Ok };

// The core's side: called on the program's thread while the window is open.
class SettingsWindowEvents {
  public:
    virtual ~SettingsWindowEvents() = default;
    virtual void mediaCenterChanged() = 0;
    virtual void testClicked() = 0;
    // OK, Cancel (also Esc and the close box) and "Edit Config.ini". The window stays open until close().
    virtual void okClicked() = 0;
    virtual void cancelClicked() = 0;
    virtual void editFileClicked() = 0;
};

class SettingsWindow {
  public:
    virtual ~SettingsWindow() = default;

    // Shows the window owned by `owner` with `view` and returns once it is closed. Its own message loop runs
    // meanwhile and delivers the thread's other messages too (the receiver's, the tray's).
    virtual void run(Hwnd owner, const SettingsView& view, SettingsWindowEvents& events) = 0;
    // While it is open: shows `view`, entries included.
    virtual void show(const SettingsView& view) = 0;
    virtual SettingsEntries entries() = 0;
    // Puts the keyboard focus on a control (the entry that is wrong, say).
    virtual void focus(SettingsControl control) = 0;
    // Ends run().
    virtual void close() = 0;
    // Brings the open window to the front (asked for it a second time).
    virtual void bringToFront() = 0;
};

} // namespace platform
