// The keyboard mode: each button becomes key presses sent to whatever window has the focus, so that any
// player drives from the remote. This is the map used where Config.ini says nothing else, one row per button
// by its name in Kodi's keymap R1 (the names [Buttons] lines use), in the order of ButtonMap.
//
// The keys are ones a player understands without setup: the arrows, Enter, Backspace and Escape for moving
// about, the media keys for play/pause, stop and next/previous track (Windows hands these to the player that
// registered for them, or to the window in front). The choices beyond the obvious:
//   forward, reverse  Right and Left. No media key seeks; the arrow keys are the seek keys players share
//                     (VLC outside disc menus, MPC-HC, mpv, the video players of browsers, Kodi's full-screen
//                     video), and a player's menus still take them as arrows.
//   info              I: Kodi's information key; VLC shows its controls on it in full screen.
//   title             Apps, the context-menu key: the menu where players list titles, chapters and tracks
//                     (Kodi gives this button its context menu as well).
//   display           F: full screen in VLC, mpv and the video players of browsers. Display is also the
//   button
//                     that arms the option codes, as in every mode.
#pragma once

#include "ButtonMap.h"
#include "KodiButtonMap.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

// The value of APIControlXBMCOPENGL that selects this mode.
inline constexpr const char* ModeKeyboard = "keyboard";

struct KeyboardButtonRow {
    std::string_view r1Name;      // the button's name in Kodi's keymap R1, as in KodiButtonMap
    std::string_view defaultKeys; // written as a [Buttons] line's value
};

inline constexpr std::array<KeyboardButtonRow, ButtonMap.size()> KeyboardButtonMap{{
    {"down", "Down"},
    {"up", "Up"},
    {"right", "Right"},
    {"left", "Left"},
    {"select", "Enter"},
    {"back", "Backspace"},
    {"play", "MediaPlayPause"},
    {"reverse", "Left"},
    {"forward", "Right"},
    {"pause", "MediaPlayPause"},
    {"display", "F"},
    {"stop", "MediaStop"},
    {"info", "I"},
    {"title", "Apps"},
    {"one", "1"},
    {"two", "2"},
    {"three", "3"},
    {"four", "4"},
    {"five", "5"},
    {"six", "6"},
    {"seven", "7"},
    {"eight", "8"},
    {"nine", "9"},
    {"zero", "0"},
    {"menu", "Escape"},
    {"skipplus", "MediaNextTrack"},
    {"skipminus", "MediaPrevTrack"},
}};

// The rows name the buttons of KodiButtonMap in its order, so a row's index is the button's everywhere.
constexpr bool KeyboardButtonMapFollowsKodiButtonMap() {
    for (std::size_t i = 0; i < KodiButtonMap.size(); ++i) {
        if (KeyboardButtonMap[i].r1Name != KodiButtonMap[i].r1Name) {
            return false;
        }
    }
    return true;
}
static_assert(KeyboardButtonMapFollowsKodiButtonMap());

// The index of a button code's row, or nothing when the code is not in the map.
inline std::optional<std::size_t> FindKeyboardButton(std::string_view code) {
    for (std::size_t i = 0; i < ButtonMap.size(); ++i) {
        if (ButtonMap[i].code == code) {
            return i;
        }
    }
    return std::nullopt;
}
