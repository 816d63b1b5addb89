#include "KeyMap.h"

#include <algorithm>
#include <set>

namespace {

struct KeyName {
    std::string_view name;
    std::uint16_t virtualKey;
};

// Names of keys besides the letters A to Z, the digits 0 to 9 and F1 to F24. The first name of a key is the
// one descriptions use. The punctuation keys are named by their place on a US keyboard; the character they
// type depends on the keyboard layout.
constexpr KeyName NamedKeys[] = {
    {"Enter", 0x0D},
    {"Return", 0x0D},
    {"Space", 0x20},
    {"Tab", 0x09},
    {"Escape", 0x1B},
    {"Esc", 0x1B},
    {"Backspace", 0x08},
    {"Delete", 0x2E},
    {"Del", 0x2E},
    {"Insert", 0x2D},
    {"Ins", 0x2D},
    {"Home", 0x24},
    {"End", 0x23},
    {"PageUp", 0x21},
    {"PgUp", 0x21},
    {"PageDown", 0x22},
    {"PgDn", 0x22},
    {"Up", 0x26},
    {"Down", 0x28},
    {"Left", 0x25},
    {"Right", 0x27},
    {"Apps", 0x5D},
    {"ContextMenu", 0x5D},
    {"PrintScreen", 0x2C},
    {"Pause", 0x13},
    {"CapsLock", 0x14},
    {"NumLock", 0x90},
    {"ScrollLock", 0x91},
    {"Ctrl", 0x11},
    {"Control", 0x11},
    {"Shift", 0x10},
    {"Alt", 0x12},
    {"Win", 0x5B},
    {"MediaPlayPause", 0xB3},
    {"MediaStop", 0xB2},
    {"MediaNextTrack", 0xB0},
    {"MediaNext", 0xB0},
    {"MediaPrevTrack", 0xB1},
    {"MediaPreviousTrack", 0xB1},
    {"MediaPrev", 0xB1},
    {"VolumeUp", 0xAF},
    {"VolumeDown", 0xAE},
    {"VolumeMute", 0xAD},
    {"BrowserBack", 0xA6},
    {"BrowserForward", 0xA7},
    {"BrowserRefresh", 0xA8},
    {"BrowserStop", 0xA9},
    {"BrowserSearch", 0xAA},
    {"BrowserFavorites", 0xAB},
    {"BrowserHome", 0xAC},
    {"Numpad0", 0x60},
    {"Numpad1", 0x61},
    {"Numpad2", 0x62},
    {"Numpad3", 0x63},
    {"Numpad4", 0x64},
    {"Numpad5", 0x65},
    {"Numpad6", 0x66},
    {"Numpad7", 0x67},
    {"Numpad8", 0x68},
    {"Numpad9", 0x69},
    {"Multiply", 0x6A},
    {"Add", 0x6B},
    {"Subtract", 0x6D},
    {"Decimal", 0x6E},
    {"Divide", 0x6F},
    {"Semicolon", 0xBA},
    {"Equals", 0xBB},
    {"Plus", 0xBB},
    {"Comma", 0xBC},
    {"Minus", 0xBD},
    {"Period", 0xBE},
    {"Slash", 0xBF},
    {"Backquote", 0xC0},
    {"LeftBracket", 0xDB},
    {"Backslash", 0xDC},
    {"RightBracket", 0xDD},
    {"Quote", 0xDE},
};

// The keys held around another: Ctrl, Shift, Alt, Win.
bool IsModifier(std::uint16_t virtualKey) {
    return virtualKey == 0x11 || virtualKey == 0x10 || virtualKey == 0x12 || virtualKey == 0x5B;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), LowerAscii);
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// The name of a key as descriptions write it.
std::string NameOf(std::uint16_t virtualKey) {
    if ((virtualKey >= '0' && virtualKey <= '9') || (virtualKey >= 'A' && virtualKey <= 'Z')) {
        return std::string(1, static_cast<char>(virtualKey));
    }
    if (virtualKey >= 0x70 && virtualKey <= 0x87) {
        return "F" + std::to_string(virtualKey - 0x70 + 1);
    }
    for (const auto& key : NamedKeys) {
        if (key.virtualKey == virtualKey) {
            return std::string(key.name);
        }
    }
    return "key " + std::to_string(virtualKey);
}

// The built-in map, read once.
const std::array<KeySequence, KeyboardButtonMap.size()>& DefaultKeys() {
    static const auto keys = [] {
        std::array<KeySequence, KeyboardButtonMap.size()> all;
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = ParseKeys(KeyboardButtonMap[i].defaultKeys).keys;
        }
        return all;
    }();
    return keys;
}

std::optional<std::size_t> FindButtonName(std::string_view name) {
    for (std::size_t i = 0; i < KeyboardButtonMap.size(); ++i) {
        if (EqualsIgnoreCase(KeyboardButtonMap[i].r1Name, name)) {
            return i;
        }
    }
    return std::nullopt;
}

// A list of zero-terminated strings as the profile reader fills it, read whole: the buffer grows while the
// reader says it was too small, up to a bound. `truncated` tells that even the bound was too small; the last,
// cut string is then left out.
template <typename ReadInto> std::vector<std::string> ReadStringList(ReadInto read, bool& truncated) {
    constexpr std::uint32_t First = 4096;
    constexpr std::uint32_t Bound = 1u << 20;
    std::vector<char> buffer;
    std::uint32_t n = 0;
    truncated = false;
    for (std::uint32_t size = First;; size *= 2) {
        buffer.assign(size, '\0');
        n = std::min(read(buffer.data(), size), size - 2);
        if (n < size - 2) {
            break;
        }
        if (size >= Bound) {
            truncated = true;
            break;
        }
    }
    std::vector<std::string> strings;
    for (std::size_t at = 0; at < n;) {
        const std::size_t end = std::find(buffer.begin() + static_cast<std::ptrdiff_t>(at),
                                          buffer.begin() + static_cast<std::ptrdiff_t>(n), '\0') -
                                buffer.begin();
        if (end > at) {
            strings.emplace_back(buffer.data() + at, end - at);
        }
        at = end + 1;
    }
    if (truncated && !strings.empty()) {
        strings.pop_back();
    }
    return strings;
}

} // namespace

std::optional<std::uint16_t> FindKeyName(std::string_view name) {
    if (name.size() == 1) {
        const char c = LowerAscii(name[0]);
        if (c >= 'a' && c <= 'z') {
            return static_cast<std::uint16_t>(c - 'a' + 'A');
        }
        if (c >= '0' && c <= '9') {
            return static_cast<std::uint16_t>(c);
        }
    }
    if ((name.size() == 2 || name.size() == 3) && LowerAscii(name[0]) == 'f' && name[1] >= '1' &&
        name[1] <= '9') {
        int number = name[1] - '0';
        if (name.size() == 3) {
            if (name[2] < '0' || name[2] > '9') {
                return std::nullopt;
            }
            number = number * 10 + (name[2] - '0');
        }
        if (number >= 1 && number <= 24) {
            return static_cast<std::uint16_t>(0x70 + number - 1);
        }
        return std::nullopt;
    }
    for (const auto& key : NamedKeys) {
        if (EqualsIgnoreCase(key.name, name)) {
            return key.virtualKey;
        }
    }
    return std::nullopt;
}

bool IsExtendedKey(std::uint16_t virtualKey) {
    switch (virtualKey) {
    case 0x21: // Page Up
    case 0x22: // Page Down
    case 0x23: // End
    case 0x24: // Home
    case 0x25: // the arrows
    case 0x26:
    case 0x27:
    case 0x28:
    case 0x2C: // Print Screen
    case 0x2D: // Insert
    case 0x2E: // Delete
    case 0x5B: // Win
    case 0x5D: // Apps
    case 0x6F: // the keypad's divide
    case 0x90: // Num Lock
        return true;
    default:
        // The browser, volume and media keys.
        return virtualKey >= 0xA6 && virtualKey <= 0xB7;
    }
}

ParsedKeys ParseKeys(std::string_view value) {
    ParsedKeys result;
    value = Trim(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    auto fail = [&](std::string why) {
        result.keys.clear();
        result.error = std::move(why);
        return result;
    };
    const auto isSeparator = [](char c) { return IsBlank(c) || c == ','; };
    std::size_t at = 0;
    const auto skipBlanks = [&] {
        while (at < value.size() && IsBlank(value[at])) {
            ++at;
        }
    };
    for (;;) {
        while (at < value.size() && isSeparator(value[at])) {
            ++at;
        }
        if (at == value.size()) {
            return result;
        }
        // One key: names joined by '+', all but the last a modifier.
        const std::size_t strokeStart = at;
        std::vector<std::string_view> names;
        for (;;) {
            skipBlanks();
            const std::size_t nameStart = at;
            while (at < value.size() && !isSeparator(value[at]) && value[at] != '+') {
                ++at;
            }
            const std::string_view name = value.substr(nameStart, at - nameStart);
            if (name.empty()) {
                if (names.empty()) {
                    return fail("\"+\" with no key before it");
                }
                return fail(Quoted(Trim(value.substr(strokeStart, at - strokeStart))) +
                            " has no key after its last \"+\"");
            }
            names.push_back(name);
            skipBlanks();
            if (at < value.size() && value[at] == '+') {
                ++at;
                continue;
            }
            break;
        }
        const std::string_view written = Trim(value.substr(strokeStart, at - strokeStart));
        KeyStroke stroke;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::optional<std::uint16_t> key = FindKeyName(names[i]);
            if (!key) {
                return fail("no key is called " + Quoted(names[i]));
            }
            const bool last = i + 1 == names.size();
            if (!last && !IsModifier(*key)) {
                return fail(Quoted(written) +
                            ": only Ctrl, Shift, Alt and Win can be held with another key, not " +
                            Quoted(names[i]));
            }
            const auto heldEnd = stroke.held.begin() + stroke.heldCount;
            if (std::find(stroke.held.begin(), heldEnd, *key) != heldEnd) {
                return fail(Quoted(written) + " names " + NameOf(*key) + " twice");
            }
            if (last) {
                stroke.key = *key;
            } else {
                stroke.held[stroke.heldCount++] = *key;
            }
        }
        if (result.keys.size() == MaxKeysPerButton) {
            return fail("more than " + std::to_string(MaxKeysPerButton) + " keys");
        }
        result.keys.push_back(stroke);
    }
}

std::string DescribeKeys(const KeySequence& keys) {
    if (keys.empty()) {
        return "nothing";
    }
    std::string text;
    for (const auto& stroke : keys) {
        if (!text.empty()) {
            text += ", ";
        }
        for (std::size_t i = 0; i < stroke.heldCount; ++i) {
            text += NameOf(stroke.held[i]) + "+";
        }
        text += NameOf(stroke.key);
    }
    return text;
}

std::vector<platform::KeyEvent> KeyEventsFor(const KeySequence& keys) {
    std::vector<platform::KeyEvent> events;
    for (const auto& stroke : keys) {
        for (std::size_t i = 0; i < stroke.heldCount; ++i) {
            events.push_back({stroke.held[i], false, IsExtendedKey(stroke.held[i])});
        }
        events.push_back({stroke.key, false, IsExtendedKey(stroke.key)});
        events.push_back({stroke.key, true, IsExtendedKey(stroke.key)});
        for (std::size_t i = stroke.heldCount; i > 0; --i) {
            events.push_back({stroke.held[i - 1], true, IsExtendedKey(stroke.held[i - 1])});
        }
    }
    return events;
}

std::string KeyMapProblem::Text() const {
    const std::string where = section.empty() ? std::string() : "[" + section + "] ";
    const std::string what = line.empty() || line == "[" + section + "]" ? std::string() : line + ": ";
    return where + what + reason + " (" + path + ")";
}

KeyMaps KeyMaps::Read(platform::Kernel32& kernel32, const std::vector<std::string>& paths) {
    KeyMaps maps;
    maps.paths_ = paths;
    for (const std::string& path : paths) {
        bool truncated = false;
        const std::vector<std::string> sections = ReadStringList(
            [&](char* buffer, std::uint32_t size) {
                return kernel32.getPrivateProfileSectionNames(buffer, size, path);
            },
            truncated);
        if (truncated) {
            maps.problems_.push_back({path, "", "", "too many sections: the last ones were not read"});
        }
        // The reader lists only the first section of a name: a name given again adds nothing.
        std::set<std::string> seen;
        for (const std::string& section : sections) {
            const std::string lower = Lower(Trim(section));
            if (!seen.insert(lower).second) {
                continue;
            }
            Map* map = nullptr;
            if (lower == "buttons") {
                map = &maps.general_;
            } else if (lower.rfind("buttons:", 0) == 0) {
                const std::string_view program =
                    Trim(std::string_view(section).substr(section.find(':') + 1));
                if (program.empty()) {
                    maps.problems_.push_back(
                        {path, section, "[" + section + "]", "the section names no program"});
                    continue;
                }
                const std::string key = Lower(program);
                map = &maps.programs_[key];
                maps.programNames_.emplace(key, std::string(program));
            } else {
                continue;
            }
            bool cut = false;
            const std::vector<std::string> lines = ReadStringList(
                [&](char* buffer, std::uint32_t size) {
                    return kernel32.getPrivateProfileSection(section, buffer, size, path);
                },
                cut);
            if (cut) {
                maps.problems_.push_back({path, section, "[" + section + "]",
                                          "the section is too long: its last lines were not read"});
            }
            std::array<bool, KeyboardButtonMap.size()> inThisSection{};
            for (const std::string& line : lines) {
                const std::size_t eq = line.find('=');
                if (eq == std::string::npos) {
                    maps.problems_.push_back({path, section, line, "no \"=\" in the line"});
                    continue;
                }
                const std::string_view name = Trim(std::string_view(line).substr(0, eq));
                const std::optional<std::size_t> button = FindButtonName(name);
                if (!button) {
                    maps.problems_.push_back({path, section, line, "no button is called " + Quoted(name)});
                    continue;
                }
                if (inThisSection[*button]) {
                    maps.problems_.push_back(
                        {path, section, line, Quoted(name) + " is given twice; the first line counts"});
                    continue;
                }
                ParsedKeys parsed = ParseKeys(std::string_view(line).substr(eq + 1));
                if (!parsed.error.empty()) {
                    maps.problems_.push_back({path, section, line, parsed.error});
                    continue;
                }
                inThisSection[*button] = true;
                // An earlier file's line for the button wins.
                if (!(*map)[*button]) {
                    (*map)[*button] = Line{std::move(parsed.keys), path};
                }
            }
        }
    }
    return maps;
}

const KeySequence& KeyMaps::Keys(std::size_t button, std::string_view program) const {
    if (!program.empty() && !programs_.empty()) {
        const auto it = programs_.find(Lower(program));
        if (it != programs_.end() && it->second[button]) {
            return it->second[button]->keys;
        }
    }
    if (general_[button]) {
        return general_[button]->keys;
    }
    return DefaultKeys()[button];
}

std::string KeyMaps::TipText() const {
    if (problems_.empty()) {
        return {};
    }
    const KeyMapProblem& first = problems_.front();
    if (problems_.size() == 1) {
        return "Key map line not understood: " + first.line;
    }
    return "Key map: " + std::to_string(problems_.size()) + " lines not understood, first " + first.line;
}

std::vector<std::string> KeyMaps::Describe() const {
    std::vector<std::string> lines;
    std::string files;
    for (const auto& path : paths_) {
        files += (files.empty() ? "" : ", then ") + path;
    }
    lines.push_back("Key maps read from " + (files.empty() ? std::string("no file") : files));
    lines.push_back("[Buttons] (every program):");
    for (std::size_t i = 0; i < KeyboardButtonMap.size(); ++i) {
        const std::string name(KeyboardButtonMap[i].r1Name);
        if (general_[i]) {
            lines.push_back("  " + name + " = " + DescribeKeys(general_[i]->keys) + "  (" +
                            general_[i]->path + ")");
        } else {
            lines.push_back("  " + name + " = " + DescribeKeys(DefaultKeys()[i]) + "  (built in)");
        }
    }
    for (const auto& [key, map] : programs_) {
        lines.push_back("[Buttons:" + programNames_.at(key) +
                        "] (while it is in front; other buttons as above):");
        bool any = false;
        for (std::size_t i = 0; i < map.size(); ++i) {
            if (map[i]) {
                any = true;
                lines.push_back("  " + std::string(KeyboardButtonMap[i].r1Name) + " = " +
                                DescribeKeys(map[i]->keys) + "  (" + map[i]->path + ")");
            }
        }
        if (!any) {
            lines.push_back("  no lines of its own");
        }
    }
    if (!problems_.empty()) {
        lines.push_back("Lines not understood (left out):");
        for (const auto& problem : problems_) {
            lines.push_back("  " + problem.Text());
        }
    }
    return lines;
}
