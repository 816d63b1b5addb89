// The seven exports of XBMC.dll: they hand the program's calls to the core and start and stop the backend.
// Notifications are posted with PostMessageA, never sent, so they reach the program through its message
// queue.
#include "Backend.h"
#include "XBMC.h"

#include <windows.h>

#include <mutex>

namespace {

struct WindowPoster final : hidlib::Poster {
    void post(std::intptr_t hwnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override {
        PostMessageA(reinterpret_cast<HWND>(hwnd), msg, static_cast<WPARAM>(wParam),
                     static_cast<LPARAM>(lParam));
    }
};

WindowPoster poster;
hidlib::Core core(poster);
std::mutex connectMutex; // Connect and Disconnect one at a time
bool running = false;    // the backend is started; guarded by connectMutex

int16_t toBool16(bool value) {
    return value ? XBMC_TRUE : XBMC_FALSE;
}

} // namespace

extern "C" {

int16_t XBMC_CALL Connect(int32_t hwnd) {
    std::lock_guard lock(connectMutex);
    // A window handle travels as 32 bits; sign extension gives back the 64-bit handle.
    if (!core.connect(static_cast<std::intptr_t>(hwnd))) {
        return XBMC_FALSE;
    }
    if (!running) {
        if (!hidlib::win::backend().start(core)) {
            core.disconnect();
            return XBMC_FALSE;
        }
        running = true;
        // The library's threads run its code until Disconnect; a FreeLibrary before that must not unmap it.
        HMODULE self = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&Connect), &self);
    }
    return XBMC_TRUE;
}

int16_t XBMC_CALL Disconnect(void) {
    std::lock_guard lock(connectMutex);
    const bool wasConnected = core.disconnect();
    if (running) {
        hidlib::win::backend().stop();
        running = false;
    }
    return toBool16(wasConnected);
}

int32_t XBMC_CALL GetHandle(int32_t vendorId, int32_t productId) {
    return core.getHandle(vendorId, productId);
}

int32_t XBMC_CALL GetVendorID(int32_t handle) {
    return core.getVendorId(handle);
}

int32_t XBMC_CALL GetProductID(int32_t handle) {
    return core.getProductId(handle);
}

int16_t XBMC_CALL SetReadNotify(int32_t handle, int16_t enable) {
    return toBool16(core.setReadNotify(handle, enable != 0));
}

int16_t XBMC_CALL Read(int32_t handle, uint8_t* buffer17) {
    return toBool16(core.read(handle, buffer17) != 0);
}

} // extern "C"
