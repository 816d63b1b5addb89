// The library as host code sees it: the seven operations with the exports' types and results, driven by test
// code (or by a simulated driver) through attach, remove, change and report. Notifications go to the Poster
// the caller supplies, for example a simulated desktop's window queues.
#pragma once

#include "hidlib/Core.h"

#include <cstdint>
#include <initializer_list>
#include <span>

namespace hidlib {

class SimLibrary {
  public:
    explicit SimLibrary(Poster& poster) : core_(poster) {}

    // The seven operations, as the exports behave (16-bit booleans: -1 true, 0 false).
    std::int16_t connect(std::int32_t hwnd);
    std::int16_t disconnect();
    std::int32_t getHandle(std::int32_t vendorId, std::int32_t productId) const;
    std::int32_t getVendorId(std::int32_t handle) const;
    std::int32_t getProductId(std::int32_t handle) const;
    std::int16_t setReadNotify(std::int32_t handle, std::int16_t enable);
    std::int16_t read(std::int32_t handle, std::uint8_t* buffer17);

    // The devices' side.
    std::int32_t attach(std::uint16_t vendorId, std::uint16_t productId) {
        return core_.attach(vendorId, productId);
    }
    bool remove(std::int32_t handle) { return core_.remove(handle); }
    void change() { core_.change(); }
    ReportResult report(std::int32_t handle, std::span<const std::uint8_t> bytes) {
        return core_.report(handle, bytes);
    }
    ReportResult report(std::int32_t handle, std::initializer_list<std::uint8_t> bytes) {
        return core_.report(handle, std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }

    Core& core() { return core_; }

  private:
    Core core_;
};

} // namespace hidlib
