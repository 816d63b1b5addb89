#include "platform/sim/ScriptedHidLibrary.h"

#include <algorithm>
#include <cstring>

namespace sim {

void ScriptedHidLibrary::queueReport(std::int32_t handle, const std::array<std::uint8_t, 6>& report) {
    std::vector<std::uint8_t> bytes{0};
    bytes.insert(bytes.end(), report.begin(), report.end());
    devices[handle].reports.push_back(std::move(bytes));
}

std::optional<std::int16_t> ScriptedHidLibrary::Connect(std::int32_t hwnd) {
    if (!loadable) {
        return std::nullopt;
    }
    calls.push_back("Connect " + std::to_string(hwnd));
    connected = true;
    return connectResult;
}

std::optional<std::int16_t> ScriptedHidLibrary::Disconnect() {
    if (!loadable) {
        return std::nullopt;
    }
    calls.push_back("Disconnect");
    connected = false;
    return platform::HidTrue;
}

std::optional<std::int32_t> ScriptedHidLibrary::GetHandle(std::int32_t vendorId, std::int32_t productId) {
    if (!loadable) {
        return std::nullopt;
    }
    calls.push_back("GetHandle " + std::to_string(vendorId) + " " + std::to_string(productId));
    for (const auto& [handle, device] : devices) {
        if (device.vendorId == vendorId && device.productId == productId) {
            return handle;
        }
    }
    return 0;
}

std::optional<std::int32_t> ScriptedHidLibrary::GetVendorID(std::int32_t handle) {
    if (!loadable) {
        return std::nullopt;
    }
    calls.push_back("GetVendorID " + std::to_string(handle));
    auto it = devices.find(handle);
    return it == devices.end() ? 0 : it->second.vendorId;
}

std::optional<std::int32_t> ScriptedHidLibrary::GetProductID(std::int32_t handle) {
    if (!loadable) {
        return std::nullopt;
    }
    calls.push_back("GetProductID " + std::to_string(handle));
    auto it = devices.find(handle);
    return it == devices.end() ? 0 : it->second.productId;
}

std::optional<std::int16_t> ScriptedHidLibrary::SetReadNotify(std::int32_t handle, std::int16_t enable) {
    if (!loadable) {
        return std::nullopt;
    }
    calls.push_back("SetReadNotify " + std::to_string(handle) + " " + std::to_string(enable));
    auto it = devices.find(handle);
    if (it == devices.end()) {
        return 0;
    }
    it->second.notify = enable != 0;
    return platform::HidTrue;
}

std::optional<std::int16_t> ScriptedHidLibrary::Read(std::int32_t handle, std::uint8_t* buffer17) {
    if (!loadable) {
        return std::nullopt;
    }
    calls.push_back("Read " + std::to_string(handle));
    auto it = devices.find(handle);
    if (it == devices.end() || it->second.reports.empty()) {
        return 0;
    }
    const auto& report = it->second.reports.front();
    std::memcpy(buffer17, report.data(), std::min<std::size_t>(report.size(), 17));
    it->second.reports.pop_front();
    return platform::HidTrue;
}

int ScriptedHidLibrary::count(const std::string& prefix) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

} // namespace sim
