// The input port: keyboard events made by the program, and which program is in front.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One key going down or up, by its virtual-key code. `extended` marks the keys of the extended set (the arrow
// and editing blocks, the right-hand modifiers, the media and browser keys), which carry the E0 prefix of the
// keyboard's scan codes: an arrow sent without it reads as the numeric keypad's.
struct KeyEvent {
    std::uint16_t virtualKey = 0;
    bool up = false;
    bool extended = false;
    bool operator==(const KeyEvent&) const = default;
};

class Input {
  public:
    virtual ~Input() = default;

    // SendInput: the events go into the system's input stream in this order, one call, not interleaved with
    // other input, and reach whatever window has the keyboard focus. Returns how many were inserted (fewer
    // than asked when the system blocked them, say because the window in front runs elevated).
    virtual std::uint32_t sendKeys(const std::vector<KeyEvent>& events) = 0;
    // The file name of the program that owns the foreground window ("vlc.exe"), without its folder; empty
    // when there is no foreground window or its program cannot be asked.
    virtual std::string foregroundProgram() = 0;
};

} // namespace platform
