// HIDDLLInterface: the link between the HID access library and the main form. HidConnect registers the form's
// window with the library and routes the library's notification message to the form's handlers through
// HidWindowProc; HidDisconnect undoes both.
#pragma once

#include "platform/HidLibrary.h"
#include "platform/User32.h"

#include <cstdint>
#include <optional>

class MainForm;

class HIDDLLInterface {
  public:
    HIDDLLInterface(platform::HidLibrary& hid, platform::User32& user32, MainForm& form)
        : hid_(hid), user32_(user32), form_(form) {}

    // The library's Connect result, or no value when the library could not be called (nothing else is done).
    std::optional<std::int16_t> HidConnect(platform::Hwnd window);
    // The library's Disconnect result, or no value when the library could not be called.
    std::optional<std::int16_t> HidDisconnect();
    platform::MessageResult HidWindowProc(platform::Hwnd window, std::uint32_t message, std::uintptr_t wParam,
                                          std::intptr_t lParam);

    platform::Hwnd NotifyWindow = 0;
    platform::PreviousProc PreviousWndProc = 0;

  private:
    platform::HidLibrary& hid_;
    platform::User32& user32_;
    MainForm& form_;
};
