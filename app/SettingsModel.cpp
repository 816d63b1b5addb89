#include "SettingsModel.h"

#include "Configuration.h"
#include "KeyboardButtonMap.h"
#include "kodi/Kodi.h"

#include <array>

namespace settings {

namespace {

using platform::SettingsControl;

const std::array<ChoiceInfo, ChoiceCount> Choices{{
    {MediaCenterChoice::KodiHere, "Kodi on this PC", kodi::ModeEventServer, false, true, false, true, false,
     false,
     "Kodi's EventServer on this PC (empty port: 9777). In Kodi: Settings > Services > Control > "
     "Allow remote control from applications on this system."},
    {MediaCenterChoice::KodiElsewhere, "Kodi on another device (by its address)", kodi::ModeEventServer, true,
     true, false, true, true, false,
     "Kodi's EventServer on a TV box or another PC (empty port: 9777). In that Kodi: Settings > Services > "
     "Control > Allow remote control from applications on other systems."},
    {MediaCenterChoice::KodiWebServer, "Kodi through its web server (user name and password)",
     kodi::ModeJsonRpc, true, true, true, true, false, false,
     "Kodi's web server (empty address: this PC; empty port: 8080). In Kodi: Settings > Services > Control > "
     "Allow remote control via HTTP, with a user name and a password."},
    {MediaCenterChoice::XbmcWindow, "XBMC's window on this PC", "true", false, false, false, false, false,
     false, "Keys are posted to XBMC's window on this PC (or to Kodi's, where there is no XBMC)."},
    {MediaCenterChoice::XbmcWebServer, "XBMC's web server", "false", true, true, false, false, true, true,
     "XBMC's old web server API (XBMC 12 and before; today's Kodi does not have it)."},
    {MediaCenterChoice::Keyboard, "Keys for any player (the window in front)", ModeKeyboard, false, false,
     false, false, false, false,
     "Each button becomes a key press for the window in front (VLC, MPC-HC, a browser...). The key maps are "
     "the [Buttons] sections of Config.ini."},
}};

bool IsLocalHost(const std::string& address) {
    return address.empty() || address == "127.0.0.1" || address == "localhost" || address == "::1";
}

bool HasLineEnd(const std::string& text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

int Index(MediaCenterChoice choice) {
    return static_cast<int>(choice);
}

} // namespace

const ChoiceInfo& Info(MediaCenterChoice choice) {
    return Choices[static_cast<std::size_t>(Index(choice))];
}

MediaCenterChoice ChoiceFor(const Values& values, std::string& note) {
    note.clear();
    for (const ChoiceInfo& info : Choices) {
        if (values.mode != info.mode) {
            continue;
        }
        if (values.mode == kodi::ModeEventServer) {
            return IsLocalHost(values.address) ? MediaCenterChoice::KodiHere
                                               : MediaCenterChoice::KodiElsewhere;
        }
        return info.choice;
    }
    note = values.mode.empty()
               ? "No media center is chosen yet: Kodi on this PC is the usual one."
               : "Config.ini's mode \"" + values.mode + "\" is none of these: choose one and press OK.";
    return MediaCenterChoice::KodiHere;
}

platform::SettingsEntries EntriesFor(const Values& values, std::string& note) {
    platform::SettingsEntries entries;
    const MediaCenterChoice choice = ChoiceFor(values, note);
    entries.mediaCenter = Index(choice);
    entries.address = choice == MediaCenterChoice::KodiHere ? std::string() : values.address;
    entries.port = values.port;
    entries.user = values.user;
    entries.password = values.password;
    entries.notifications = values.notifications != "off";
    return entries;
}

std::optional<EntryProblem> Check(const platform::SettingsEntries& entries) {
    if (entries.mediaCenter < 0 || entries.mediaCenter >= ChoiceCount) {
        return EntryProblem{SettingsControl::MediaCenter, "Choose the media center."};
    }
    const ChoiceInfo& info = Choices[static_cast<std::size_t>(entries.mediaCenter)];
    if (info.address) {
        if (entries.address.empty() && info.addressRequired) {
            return EntryProblem{SettingsControl::Address,
                                "Enter the address (name or IP address) of the device."};
        }
        if (entries.address.find_first_of(" \t") != std::string::npos || HasLineEnd(entries.address)) {
            return EntryProblem{SettingsControl::Address, "The address must not contain blanks."};
        }
        if (entries.address.size() > 253) {
            return EntryProblem{SettingsControl::Address, "The address is too long for a host name."};
        }
    }
    if (info.port) {
        if (entries.port.empty() && info.portRequired) {
            return EntryProblem{SettingsControl::Port, "Enter the port of the web server (1 to 65535)."};
        }
        if (!entries.port.empty() && !kodi::ParseEndpoint("", entries.port, 1)) {
            return EntryProblem{SettingsControl::Port, "The port is a whole number from 1 to 65535."};
        }
    }
    if (info.credentials) {
        if (entries.user.find(':') != std::string::npos || HasLineEnd(entries.user)) {
            return EntryProblem{SettingsControl::User, "The user name must not contain ':'."};
        }
        if (HasLineEnd(entries.password)) {
            return EntryProblem{SettingsControl::Password, "The password must not contain a line end."};
        }
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> KeysToSave(const platform::SettingsEntries& entries) {
    const ChoiceInfo& info = Choices[static_cast<std::size_t>(entries.mediaCenter)];
    std::vector<std::pair<std::string, std::string>> keys{{config::KeyMode, info.mode}};
    if (info.choice == MediaCenterChoice::KodiHere) {
        keys.emplace_back(config::KeyAddress, ""); // this PC, whatever the machine's file says
    } else if (info.address) {
        keys.emplace_back(config::KeyAddress, entries.address);
    }
    if (info.port) {
        keys.emplace_back(config::KeyPort, entries.port);
    }
    if (info.credentials) {
        keys.emplace_back(config::KeyUser, entries.user);
        keys.emplace_back(config::KeyPassword, entries.password);
    }
    if (info.notifications) {
        keys.emplace_back(config::KeyNotifications, entries.notifications ? "on" : "off");
    }
    return keys;
}

platform::SettingsView ViewFor(const platform::SettingsEntries& entries) {
    platform::SettingsView view;
    for (const ChoiceInfo& info : Choices) {
        view.mediaCenters.emplace_back(info.label);
    }
    view.mediaCenter = entries.mediaCenter;
    view.address = entries.address;
    view.port = entries.port;
    view.user = entries.user;
    view.password = entries.password;
    view.notifications = entries.notifications;
    const int index = entries.mediaCenter >= 0 && entries.mediaCenter < ChoiceCount ? entries.mediaCenter : 0;
    const ChoiceInfo& info = Choices[static_cast<std::size_t>(index)];
    view.addressEnabled = info.address;
    view.portEnabled = info.port;
    view.userEnabled = info.credentials;
    view.passwordEnabled = info.credentials;
    view.notificationsEnabled = info.notifications;
    view.hint = info.hint;
    return view;
}

TestTarget TargetFor(const platform::SettingsEntries& entries) {
    const ChoiceInfo& info = Choices[static_cast<std::size_t>(entries.mediaCenter)];
    TestTarget target;
    target.mode = info.mode;
    target.address = info.address ? entries.address : std::string();
    target.port = info.port ? entries.port : std::string();
    if (info.credentials) {
        target.user = entries.user;
        target.password = entries.password;
    }
    return target;
}

} // namespace settings
