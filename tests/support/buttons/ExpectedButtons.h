// The remote's 27 buttons as the tests expect them, written out row by row: the button code, the virtual key
// posted to the media center's window, and the SendKey parameter of the HTTP mode. Deliberately not taken
// from app/ButtonMap.h: a wrong row there must fail the tests that walk this table.
#pragma once

#include <array>
#include <string_view>

struct ExpectedButton {
    int code;
    int virtualKey;
    std::string_view sendKeyParameter;
};

inline constexpr std::array<ExpectedButton, 27> ExpectedButtons{{
    {167, 0x28, "167"}, // Down arrow
    {166, 0x26, "166"}, // Up arrow
    {168, 0x27, "168"}, // Right arrow
    {169, 0x25, "169"}, // Left arrow
    {11, 0x0D, "11"},   // Enter
    {216, 0x08, "216"}, // Backspace
    {234, 0x50, "234"}, // P
    {226, 0x52, "226"}, // R
    {227, 0x46, "227"}, // F
    {230, 0x20, "230"}, // Space
    {213, 0x09, "213"}, // Tab
    {224, 0x58, "224"}, // X
    {195, 0x49, "195"}, // I
    {229, 0x12, "229"}, // Alt
    {206, 0x31, "206"}, // 1
    {205, 0x32, "205"}, // 2
    {204, 0x33, "204"}, // 3
    {203, 0x34, "203"}, // 4
    {202, 0x35, "202"}, // 5
    {201, 0x36, "201"}, // 6
    {200, 0x37, "200"}, // 7
    {199, 0x38, "199"}, // 8
    {198, 0x39, "198"}, // 9
    {207, 0x30, "207"}, // 0
    {247, 0x1B, "247"}, // Esc
    {223, 0x44, "223"}, // D
    {221, 0x42, "221"}, // B
}};

// True when the code is one of the 27.
constexpr bool IsExpectedButton(int code) {
    for (const auto& b : ExpectedButtons) {
        if (b.code == code) {
            return true;
        }
    }
    return false;
}
