// What is wrong with the settings read, said so that a user can mend it: which key, and what is wrong with
// its value. A mode that is no mode, a receiver ID that is no USB ID, a port that is no port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The values of "APIControlXBMCOPENGL", compared exactly: "true" (window keys), "false" (XBMC's web server),
// "eventserver" and "jsonrpc" (Kodi), "keyboard" (keys to the window in front).
bool IsKnownMode(std::string_view mode);
// Whether the mode sends to a network port (and so reads "port").
bool ModeUsesPort(std::string_view mode);

// A USB vendor or product ID: decimal (1118), hexadecimal as 0x045E or &H045E, or octal as &O2136; blanks
// around it ignored. Nothing for text that is not a whole number from 0 to 65535.
std::optional<std::uint16_t> ParseUsbId(std::string_view text);

struct SettingsProblem {
    std::string key; // the key as the program names it ("VendorID")
    std::string
        text; // the key and what is wrong, short enough for the tray tip: VendorID "045E" is not a number
    std::string hint; // how to mend it (for the log and the settings window); may be empty
};

// Every problem of the mode, the two IDs and, where the mode uses it, the port. Empty when all are good.
std::vector<SettingsProblem> CheckSettings(std::string_view mode, std::string_view vendorId,
                                           std::string_view productId, std::string_view port);
