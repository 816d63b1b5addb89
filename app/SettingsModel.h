// The settings window's model: which media center, and the entries that go with it. It turns the settings
// read from the files into what the window shows, checks what the user entered, and turns it back into the
// keys to save. Platform-free; the window (platform::SettingsWindow) only shows it.
#pragma once

#include "platform/SettingsWindow.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace settings {

// The media centers the window offers, in the order of its list.
enum class MediaCenterChoice {
    KodiHere,      // Kodi on this PC: the EventServer, no address
    KodiElsewhere, // Kodi on another device: the EventServer at an address
    KodiWebServer, // Kodi through its web server (JSON-RPC), user name and password
    XbmcWindow,    // XBMC's window on this PC (window keys, "true")
    XbmcWebServer, // XBMC's web server (its old HTTP API, "false")
    Keyboard,      // keys to the window in front, for any player ("keyboard")
};
inline constexpr int ChoiceCount = 6;

// What is shown for each choice, and the mode it saves.
struct ChoiceInfo {
    MediaCenterChoice choice;
    const char* label;
    const char* mode;
    bool address, port, credentials, notifications;
    bool addressRequired, portRequired;
    const char* hint;
};
const ChoiceInfo& Info(MediaCenterChoice choice);

// The settings as read (UTF-8 where it matters: user and password).
struct Values {
    std::string mode, address, port, user, password, notifications;
};

// The choice that shows these settings. A mode that is no mode gives Kodi on this PC and `note` says so.
MediaCenterChoice ChoiceFor(const Values& values, std::string& note);

// A complaint about one entry.
struct EntryProblem {
    platform::SettingsControl control;
    std::string text;
};
// What is wrong with the entries for their choice; nothing when they may be saved.
std::optional<EntryProblem> Check(const platform::SettingsEntries& entries);

// The keys (and UTF-8 values) the entries save. Keys that do not apply to the choice are left as they are in
// the file (a password kept for the web server while the EventServer is chosen, say). The password is given
// as entered; the caller stores it protected.
std::vector<std::pair<std::string, std::string>> KeysToSave(const platform::SettingsEntries& entries);

// The window's content for these entries: the list, which entries apply, the hint.
platform::SettingsView ViewFor(const platform::SettingsEntries& entries);

// The entries that show these settings.
platform::SettingsEntries EntriesFor(const Values& values, std::string& note);

// The mode of a choice as the connection test takes it, with the address and port to test.
struct TestTarget {
    std::string mode, address, port, user, password;
};
TestTarget TargetFor(const platform::SettingsEntries& entries);

} // namespace settings
