// modMain: the program's start-up routine.
#pragma once

#include "platform/Platform.h"

namespace modMain {

// Loads the hidden main form (which reads the configuration, starts the media center if needed and connects
// the HID library), shows the tray icon, then runs the message loop until the form is unloaded.
void Main(platform::Platform& platform);

} // namespace modMain
