// Module1: routines shared by the form's handlers: media-center detection, configuration reads and the
// option-code step of the button dispatch.
#pragma once

#include "platform/Kernel32.h"

#include <string>

class MainForm;

// The section of Config.ini that holds every setting.
inline constexpr const char* ConfigSection = "Tavrelmond Config";

// Is the media center running (XBMC's "SDL_app" or "XBoxMediaCenterPC" window, else Kodi's)? Raises its
// window (not in the keyboard mode), rewrites the status caption of the menu item f, and returns "1" when a
// media-center window exists, "0" otherwise.
std::string CheckMediaCenter(MainForm& form);

// One value of a profile file: the key is asked for in lower case; at most 749 characters come back; a
// missing file, section or key gives empty text.
std::string ReadIniValue(platform::Kernel32& kernel32, const std::string& section, const std::string& key,
                         const std::string& path);

// The option-code step of the dispatch: the arming button empties the buffer Rcv1 and ticks C; a full buffer
// is emptied; the digit buttons 1 to 5 append their digit. Returns empty text.
std::string CollectOptionCode(MainForm& form);
