// The keyboard mode's key maps: what a [Buttons] line's value means, the maps read from Config.ini, and the
// key events a button's keys come to.
//
// Config.ini may hold a section [Buttons] with one line per button by its R1 name (KeyboardButtonMap.h), and
// sections [Buttons:<program>] ("[Buttons:vlc.exe]") whose lines count while that program's window is in
// front. A line's value is
//   - a key, with the modifiers held while it is pressed: "Space", "F11", "MediaPlayPause", "Ctrl+Shift+M";
//   - several such keys pressed in turn, separated by blanks or commas: "Down Down Enter", "Ctrl+S, Enter";
//   - nothing ("play="): the button does nothing.
// Names are matched without regard to case; one pair of surrounding quotes is removed, as from other values.
// For a button, the line of the program in front wins, then the [Buttons] line, then the built-in map. Among
// several files, the earlier file's line wins. A line that is not understood counts as absent: it is
// reported, and the rest of the map works.
#pragma once

#include "KeyboardButtonMap.h"
#include "platform/Input.h"
#include "platform/Kernel32.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One key press: the modifiers held down around it, in the order written, and the key itself (virtual-key
// codes).
struct KeyStroke {
    static constexpr std::size_t MaxHeld = 4; // Ctrl, Shift, Alt and Win, each at most once
    std::array<std::uint16_t, MaxHeld> held{};
    std::uint8_t heldCount = 0;
    std::uint16_t key = 0;
    bool operator==(const KeyStroke&) const = default;
};

// Keys pressed in turn; empty for a button that does nothing.
using KeySequence = std::vector<KeyStroke>;

// At most this many keys in one line.
inline constexpr std::size_t MaxKeysPerButton = 16;

// A value read: its keys, or why it was not understood.
struct ParsedKeys {
    KeySequence keys;
    std::string error; // empty when the value was understood
};
ParsedKeys ParseKeys(std::string_view value);

// The virtual-key code of a key name ("PageDown", "f11", "Ctrl"), or nothing.
std::optional<std::uint16_t> FindKeyName(std::string_view name);
// Whether a key belongs to the extended set (sent with the E0 scan-code prefix).
bool IsExtendedKey(std::uint16_t virtualKey);
// The keys as a line's value would name them: "Ctrl+Shift+M, Enter"; "nothing" for none.
std::string DescribeKeys(const KeySequence& keys);

// The events that press the keys: for each key, its modifiers down in the order written, the key down and up,
// then the modifiers up in the reverse order.
std::vector<platform::KeyEvent> KeyEventsFor(const KeySequence& keys);

// A line of a key map that was not understood: where it is and why.
struct KeyMapProblem {
    std::string path;    // the file
    std::string section; // as written in the file: "Buttons:vlc.exe"
    std::string line;    // the line as the profile reader lists it: "plya=Space"
    std::string reason;
    // "[Buttons] plya=Space: no button is called "plya" (C:\...\Config.ini)"
    std::string Text() const;
};

class KeyMaps {
  public:
    // The built-in map only.
    KeyMaps() = default;

    // Reads [Buttons] and every [Buttons:<program>] from the files, earlier files winning line by line.
    static KeyMaps Read(platform::Kernel32& kernel32, const std::vector<std::string>& paths);

    // The keys of a button (index into KeyboardButtonMap) while `program` is in front (empty: none known).
    const KeySequence& Keys(std::size_t button, std::string_view program) const;
    // Whether any program has a map of its own: only then does a press ask which program is in front.
    bool HasProgramMaps() const { return !programs_.empty(); }

    const std::vector<KeyMapProblem>& Problems() const { return problems_; }
    // The problems in a line for the tray tip; empty when there are none.
    std::string TipText() const;
    // The maps as read, in plain lines of text: the files, the key of every button and where it comes from,
    // each program's own lines, and the lines not understood.
    std::vector<std::string> Describe() const;

  private:
    struct Line {
        KeySequence keys;
        std::string path; // the file it came from
    };
    using Map = std::array<std::optional<Line>, KeyboardButtonMap.size()>;

    std::vector<std::string> paths_;
    Map general_;
    std::map<std::string, Map> programs_;             // by program name in lower case
    std::map<std::string, std::string> programNames_; // lower case -> as first written
    std::vector<KeyMapProblem> problems_;
};
