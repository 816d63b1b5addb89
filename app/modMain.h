// modMain: the program's start-up routine.
#pragma once

#include "platform/Platform.h"

namespace modMain {

// The named mutex that marks a running copy in this user session ("Local\": one per logon session, so every
// logged-on user can run a copy of their own).
inline constexpr const char* OneCopyMutex = "Local\\Tavrelmond";

// Runs the program unless a copy already runs in this session: loads the hidden main form (which reads the
// configuration, starts the media center if needed and connects the HID library), shows the tray icon, then
// runs the message loop until the form is unloaded. A second copy ends at once and touches nothing: not the
// receiver, not the notification area, not the media center; it tells the first copy nothing either.
void Main(platform::Platform& platform);

} // namespace modMain
