// The status line of the tray menu and the tray tip, composed from what the program knows: the mode and where
// it sends, what is wrong with the settings, whether the last press reached Kodi, whether the receiver is
// there, and a notice (a command line refused). The tip always has text; the status line names what matters
// most. In XBMC's two modes the status line keeps its own texts (XBMC:APICONTROL, XBMC NOT RUN...).
#pragma once

#include "SettingsCheck.h"

#include <string>
#include <vector>

struct StatusInput {
    std::string mode;
    std::string address, port;             // the configured address and port
    std::vector<SettingsProblem> problems; // what is wrong with the settings
    bool receiver = false;                 // the receiver is attached
    std::string xbmcCaption;               // the status line chosen by the media-center check (XBMC modes)
    enum class Press { None, Reached, Failed } press = Press::None; // the last press to Kodi
    std::string pressError;                                         // why it failed
    std::string notice;   // something refused or unreadable, said once more in the tip
    std::string modeLine; // the keyboard mode's own words (a key map's problem), if any
};

struct StatusLines {
    std::string caption; // the tray menu's status line
    std::string tip;     // the tray tip (lines separated by "\n"; the shell shows 63 characters)
};

// "Kodi on this PC" or "Kodi at host:port" in the two Kodi modes (the port as the channel uses it).
std::string KodiTarget(const std::string& mode, const std::string& address, const std::string& port);

StatusLines ComposeStatus(const StatusInput& input);
