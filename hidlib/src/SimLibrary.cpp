// The sim backend: the core's operations with the exports' types.
#include "hidlib/SimLibrary.h"

namespace hidlib {

namespace {
std::int16_t toBool16(bool value) {
    return value ? std::int16_t{-1} : std::int16_t{0};
}
} // namespace

// A window handle crosses the exports as a 32-bit value; widening keeps its sign, as the platform does.
std::int16_t SimLibrary::connect(std::int32_t hwnd) {
    return toBool16(core_.connect(static_cast<std::intptr_t>(hwnd)));
}
std::int16_t SimLibrary::disconnect() {
    return toBool16(core_.disconnect());
}
std::int32_t SimLibrary::getHandle(std::int32_t vendorId, std::int32_t productId) const {
    return core_.getHandle(vendorId, productId);
}
std::int32_t SimLibrary::getVendorId(std::int32_t handle) const {
    return core_.getVendorId(handle);
}
std::int32_t SimLibrary::getProductId(std::int32_t handle) const {
    return core_.getProductId(handle);
}
std::int16_t SimLibrary::setReadNotify(std::int32_t handle, std::int16_t enable) {
    return toBool16(core_.setReadNotify(handle, enable != 0));
}
std::int16_t SimLibrary::read(std::int32_t handle, std::uint8_t* buffer17) {
    return toBool16(core_.read(handle, buffer17) != 0);
}

} // namespace hidlib
