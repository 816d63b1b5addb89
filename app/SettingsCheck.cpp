#include "SettingsCheck.h"

#include "Conversions.h"
#include "KeyboardButtonMap.h"
#include "kodi/Kodi.h"

#include <array>
#include <cmath>

namespace {

const std::array<const char*, 5> Modes{"true", "false", kodi::ModeEventServer, kodi::ModeJsonRpc,
                                       ModeKeyboard};

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A value as it is quoted in a message: in quotes, cut after 16 characters.
std::string Quoted(std::string_view value) {
    constexpr std::size_t Shown = 16;
    if (value.size() > Shown) {
        return "\"" + std::string(value.substr(0, Shown)) + "...\"";
    }
    return "\"" + std::string(value) + "\"";
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

bool HexDigits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return false;
        }
    }
    return true;
}

// The number of an ID written in decimal, &H or &O notation. An exponent is not taken: "045E" and "0E12" are
// hexadecimal digits written without their prefix, not numbers in scientific notation.
std::optional<double> IdNumber(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    if (text.front() != '&' && text.find_first_of("eE") != std::string_view::npos) {
        return std::nullopt;
    }
    return TextToDouble(text);
}

void CheckId(std::string_view key, std::string_view value, std::vector<SettingsProblem>& problems) {
    const std::string name(key);
    const std::string_view trimmed = TrimBlanks(value);
    if (trimmed.empty()) {
        problems.push_back({name, name + " is empty",
                            "the receiver's is " + std::string(key == "VendorID" ? "0x045E" : "0x0284")});
        return;
    }
    if (ParseUsbId(trimmed)) {
        return;
    }
    if (!IdNumber(trimmed)) {
        // Hexadecimal digits without their prefix, as Device Manager shows them: say how to write them.
        const std::string hint = HexDigits(trimmed) ? "write 0x" + std::string(trimmed) + " for hexadecimal"
                                                    : "write it in decimal (1118) or hexadecimal (0x045E)";
        problems.push_back({name, name + " " + Quoted(trimmed) + " is not a number", hint});
        return;
    }
    problems.push_back(
        {name, name + " " + Quoted(trimmed) + " is not a USB ID", "a whole number from 0 to 65535"});
}

} // namespace

bool IsKnownMode(std::string_view mode) {
    for (const char* known : Modes) {
        if (mode == known) {
            return true;
        }
    }
    return false;
}

bool ModeUsesPort(std::string_view mode) {
    return mode == "false" || mode == kodi::ModeEventServer || mode == kodi::ModeJsonRpc;
}

std::optional<std::uint16_t> ParseUsbId(std::string_view text) {
    text = TrimBlanks(text);
    double value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const std::string_view digits = text.substr(2);
        if (!HexDigits(digits) || digits.size() > 8) {
            return std::nullopt;
        }
        value = static_cast<double>(std::stoul(std::string(digits), nullptr, 16));
    } else if (const std::optional<double> number = IdNumber(text)) {
        value = *number;
    } else {
        return std::nullopt;
    }
    if (value < 0 || value > 65535 || std::floor(value) != value) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::vector<SettingsProblem> CheckSettings(std::string_view mode, std::string_view vendorId,
                                           std::string_view productId, std::string_view port) {
    std::vector<SettingsProblem> problems;
    const std::string modeKey = "APIControlXBMCOPENGL";
    if (mode.empty()) {
        problems.push_back({modeKey, modeKey + " is empty", "choose the media center in Settings"});
    } else if (!IsKnownMode(mode)) {
        const std::string lower = Lower(mode);
        if (IsKnownMode(lower)) {
            problems.push_back({modeKey, modeKey + " " + Quoted(mode) + ": write " + lower,
                                "modes are written in lower case"});
        } else {
            problems.push_back({modeKey, modeKey + " " + Quoted(mode) + " is not a mode",
                                "true, false, eventserver, jsonrpc or keyboard"});
        }
    }
    CheckId("VendorID", vendorId, problems);
    CheckId("ProductID", productId, problems);
    if (ModeUsesPort(mode)) {
        const bool kodiMode = mode != "false"; // an empty port is Kodi's default
        if (port.empty() && !kodiMode) {
            problems.push_back({"port", "port is empty", "the port of XBMC's web server, 1 to 65535"});
        } else if (!port.empty() && !kodi::ParseEndpoint("", std::string(port), 1)) {
            problems.push_back(
                {"port", "port " + Quoted(port) + " is not a port", "a whole number from 1 to 65535"});
        }
    }
    return problems;
}
