// The remote's buttons as Kodi names them. Kodi knows this very remote as its keymap "R1" (the <remote>
// section of its keymaps, system/keymaps/remote.xml), and each button of the button map has an element
// there. Checked against Kodi 20.1's debug log (HandleKey lines), over the EventServer and over JSON-RPC:
// every name below gives the code in its row, which is the code this remote sends (down 167, up 166, ...).
// Rows follow ButtonMap row for row; none of the 27 buttons is without an R1 name.
//
// The third column is the action Kodi's remote keymap binds to the button in its global section, in the
// lower-case form Input.ExecuteAction takes, for a Kodi too old to take a button event over JSON-RPC. Kodi
// 20.1 accepted each of them that was tried (all but jumpsms3 to jumpsms8, which belong to the same family).
#pragma once

#include "ButtonMap.h"

#include <array>
#include <string_view>

struct KodiButtonRow {
    std::string_view code;   // the button code, as in ButtonMap
    std::string_view r1Name; // the element name in Kodi's <remote> keymap
    std::string_view action; // what that keymap does with it in its global section
};

inline constexpr std::array<KodiButtonRow, ButtonMap.size()> KodiButtonMap{{
    {"167", "down", "down"},
    {"166", "up", "up"},
    {"168", "right", "right"},
    {"169", "left", "left"},
    {"11", "select", "select"},
    {"216", "back", "back"},
    {"234", "play", "playpause"},
    {"226", "reverse", "rewind"},
    {"227", "forward", "fastforward"},
    {"230", "pause", "pause"},
    {"213", "display", "fullscreen"},
    {"224", "stop", "stop"},
    {"195", "info", "info"},
    {"229", "title", "contextmenu"},
    {"206", "one", "number1"},
    {"205", "two", "jumpsms2"},
    {"204", "three", "jumpsms3"},
    {"203", "four", "jumpsms4"},
    {"202", "five", "jumpsms5"},
    {"201", "six", "jumpsms6"},
    {"200", "seven", "jumpsms7"},
    {"199", "eight", "jumpsms8"},
    {"198", "nine", "jumpsms9"},
    {"207", "zero", "number0"},
    {"247", "menu", "contextmenu"},
    {"223", "skipplus", "skipnext"},
    {"221", "skipminus", "skipprevious"},
}};

// The two tables name the same buttons in the same order.
constexpr bool KodiButtonMapFollowsButtonMap() {
    for (std::size_t i = 0; i < ButtonMap.size(); ++i) {
        if (KodiButtonMap[i].code != ButtonMap[i].code) {
            return false;
        }
    }
    return true;
}
static_assert(KodiButtonMapFollowsButtonMap());

// The Kodi row of a button code, or nullptr when the code is not in the map.
inline const KodiButtonRow* FindKodiButton(std::string_view code) {
    for (const auto& row : KodiButtonMap) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}
