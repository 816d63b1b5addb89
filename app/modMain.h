// modMain: the program's start-up routine.
#pragma once

#include "platform/Platform.h"

#include <string>

namespace modMain {

// The named mutex that marks a running copy in this user session ("Local\": one per logon session, so every
// logged-on user can run a copy of their own).
inline constexpr const char* OneCopyMutex = "Local\\Tavrelmond";

// The switches of the command line (case does not matter):
//   /settings    open the settings window: the running copy's, else this copy's once it has started (the
//                setup's finish page starts the program so)
//   /editconfig  open the user's Config.ini in its editor (made first as a copy of the defaults) and end
//                (the Start menu's "Edit Config.ini"); no copy of the program is started for it
enum class Switch { None, Settings, EditConfig };
Switch ParseSwitch(const std::string& commandLine);

// Runs the program unless a copy already runs in this session: loads the hidden main form (which reads the
// configuration, starts the media center if needed and connects the HID library), shows the tray icon, then
// runs the message loop until the form is unloaded. The log (%LOCALAPPDATA%\Tavrelmond\Tavrelmond.log) gets a
// line at start and at end. A second copy ends at once and touches nothing: not the receiver, not the
// notification area, not the media center; it tells the first copy nothing, unless it was started with
// /settings: then it asks the first copy to open its settings window.
void Main(platform::Platform& platform, const std::string& commandLine = "");

} // namespace modMain
