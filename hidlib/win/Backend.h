// The device source behind the exports. Each build of XBMC.dll links exactly one: the Windows HID backend
// (the shipped library) or the virtual backend (tests and the demo).
#pragma once

#include "hidlib/Core.h"

namespace hidlib::win {

class Backend {
  public:
    virtual ~Backend() = default;
    // Starts watching devices, feeding them to core from the backend's own threads. Devices found at once are
    // attached (and announced, the core being connected already) before it returns, followed by one change.
    virtual bool start(Core& core) = 0;
    // Stops every backend thread, closes every device and removes it from the core.
    virtual void stop() = 0;
};

// The backend of this build.
Backend& backend();

} // namespace hidlib::win
