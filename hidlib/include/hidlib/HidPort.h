// The platform's HID stack as the device manager (DeviceSet) sees it: HID device interfaces, opened without
// access to read their IDs and report length, and for reading through the HID class driver, whose polling
// interval can be asked and set. The Windows backend implements it with SetupDi, hid.dll and its library
// window; SimHid implements it in memory for host tests.
#pragma once

#include "hidlib/DevicePort.h"

namespace hidlib {

class HidPort : public DevicePort {
  public:
    // A HID device's facts have packets false: reports come through the class driver.
    std::optional<std::uint32_t> pollInterval(FileId file) override = 0;
    bool setPollInterval(FileId file, std::uint32_t ms) override = 0;
};

} // namespace hidlib
