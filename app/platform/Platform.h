// The set of ports the program runs on. Each build hands the program one adapter per port.
#pragma once

#include "platform/Advapi32.h"
#include "platform/Files.h"
#include "platform/HidLibrary.h"
#include "platform/HttpClient.h"
#include "platform/Input.h"
#include "platform/Kernel32.h"
#include "platform/Security.h"
#include "platform/SettingsWindow.h"
#include "platform/Shell32.h"
#include "platform/Sockets.h"
#include "platform/User32.h"
#include "platform/WinInet.h"
#include "platform/Winmm.h"

namespace platform {

struct Platform {
    User32& user32;
    Kernel32& kernel32;
    Advapi32& advapi32;
    Shell32& shell32;
    Winmm& winmm;
    WinInet& wininet;
    HidLibrary& hid;
    // UDP and TCP sockets for Kodi's network channels; without them those channels report that they have no
    // network.
    Sockets* sockets = nullptr;
    // Key presses for the keyboard mode; without it that mode says it cannot send keys.
    Input* input = nullptr;
    // HTTP for Kodi's JSON-RPC channel; without it that channel reports that it has no network.
    HttpClient* http = nullptr;
    // The user's files and folders, the rights on a file and the data protection, and the settings window.
    // Without files the program reads only the Config.ini beside it and keeps no log; without security it
    // takes no command line from that file and keeps no password of its own; without the window the menu's
    // settings items say that there is none.
    Files* files = nullptr;
    Security* security = nullptr;
    SettingsWindow* settingsWindow = nullptr;
};

} // namespace platform
