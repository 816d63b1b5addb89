// A scripted HID library for host tests of the program: devices with IDs and queued reports set by the test,
// every call recorded. Notifications are posted by the test (through the simulated desktop), as the real
// library would post them.
#pragma once

#include "platform/HidLibrary.h"

#include <array>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace sim {

class ScriptedHidLibrary : public platform::HidLibrary {
  public:
    struct Device {
        std::int32_t vendorId = 0;
        std::int32_t productId = 0;
        std::deque<std::vector<std::uint8_t>> reports; // each report ID first
        bool notify = false;
    };

    // False: the library file cannot be loaded, and every call fails.
    bool loadable = true;
    std::int16_t connectResult = platform::HidTrue;
    std::map<std::int32_t, Device> devices;
    std::vector<std::string> calls; // "Connect 65552", "SetReadNotify 3 -1", ...
    bool connected = false;

    // A report as the receiver sends it: six bytes, behind report ID 0.
    void queueReport(std::int32_t handle, const std::array<std::uint8_t, 6>& report);

    std::optional<std::int16_t> Connect(std::int32_t hwnd) override;
    std::optional<std::int16_t> Disconnect() override;
    std::optional<std::int32_t> GetHandle(std::int32_t vendorId, std::int32_t productId) override;
    std::optional<std::int32_t> GetVendorID(std::int32_t handle) override;
    std::optional<std::int32_t> GetProductID(std::int32_t handle) override;
    std::optional<std::int16_t> SetReadNotify(std::int32_t handle, std::int16_t enable) override;
    std::optional<std::int16_t> Read(std::int32_t handle, std::uint8_t* buffer17) override;

    int count(const std::string& prefix) const;
};

} // namespace sim
