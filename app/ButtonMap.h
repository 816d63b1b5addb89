// The remote's buttons that reach the media center: button code (report byte 2 in decimal), the keyboard key
// posted to its window, and the SendKey parameter, which is the button code itself. Rows are tried in order.
#pragma once

#include <array>
#include <string_view>

struct ButtonMapRow {
    std::string_view code;
    int virtualKey;
};

inline constexpr std::array<ButtonMapRow, 27> ButtonMap{{
    {"167", 0x28}, // Down arrow
    {"166", 0x26}, // Up arrow
    {"168", 0x27}, // Right arrow
    {"169", 0x25}, // Left arrow
    {"11", 0x0D},  // Enter
    {"216", 0x08}, // Backspace
    {"234", 0x50}, // P
    {"226", 0x52}, // R
    {"227", 0x46}, // F
    {"230", 0x20}, // Space
    {"213", 0x09}, // Tab (also arms option entry)
    {"224", 0x58}, // X
    {"195", 0x49}, // I
    {"229", 0x12}, // Alt
    {"206", 0x31}, // 1
    {"205", 0x32}, // 2
    {"204", 0x33}, // 3
    {"203", 0x34}, // 4
    {"202", 0x35}, // 5
    {"201", 0x36}, // 6
    {"200", 0x37}, // 7
    {"199", 0x38}, // 8
    {"198", 0x39}, // 9
    {"207", 0x30}, // 0
    {"247", 0x1B}, // Esc
    {"223", 0x44}, // D
    {"221", 0x42}, // B
}};

// The row of a button code, or nullptr when the code is not in the map.
inline const ButtonMapRow* FindButton(std::string_view code) {
    for (const auto& row : ButtonMap) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

// The button value on which a button is forwarded: 65 times 154.
inline constexpr std::string_view ForwardButtonValue = "10010";

// Option entry: the arming button and the digit buttons 1 to 5.
inline constexpr std::string_view ArmOptionsCode = "213";
inline constexpr std::array<std::string_view, 5> OptionDigitCodes{"206", "205", "204", "203", "202"};
