// hidfeed: feeds device events to the virtual XBMC.dll.
//
//   hidfeed [--port N] [--accept-timeout SECONDS]
//
// Listens on 127.0.0.1 (port 0 picks a free one) and prints "listening PORT". Start the program that loads
// the virtual XBMC.dll with QELM_VIRTUAL_HID_PORT=PORT; once the library connects, hidfeed prints
// "connected". Then each line read from standard input is sent to the library and its reply printed. Besides
// the protocol's own lines it understands "button DEVICE CODE" (the receiver's report for a button code,
// decimal) and "quit". Exit status: 0 at end of input or "quit", 1 for bad arguments, 2 when no library
// connects, 3 when the library goes away.
#include "Feeder.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

namespace {

bool parseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

void say(const std::string& text) {
    std::cout << text << '\n' << std::flush;
}

// "button DEVICE CODE" becomes a report line; other lines go out as they are.
std::string expand(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    long device = 0;
    long code = 0;
    std::string deviceText;
    std::string codeText;
    std::string extra;
    if (!(words >> verb) || verb != "button" || !(words >> deviceText >> codeText) || (words >> extra) ||
        !parseNumber(deviceText.c_str(), 1, 999999, device) || !parseNumber(codeText.c_str(), 0, 255, code)) {
        return line;
    }
    std::string out = "report " + std::to_string(device);
    char hex[4];
    for (std::uint8_t byte : hidfeed::buttonReport(static_cast<std::uint8_t>(code))) {
        std::snprintf(hex, sizeof hex, " %02X", byte);
        out += hex;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    long port = 0;
    long acceptSeconds = 30;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--port" && i + 1 < argc && parseNumber(argv[i + 1], 0, 65535, port)) {
            ++i;
        } else if (option == "--accept-timeout" && i + 1 < argc &&
                   parseNumber(argv[i + 1], 1, 3600, acceptSeconds)) {
            ++i;
        } else {
            std::cerr << "usage: hidfeed [--port N] [--accept-timeout SECONDS]\n";
            return 1;
        }
    }
    hidfeed::Feeder feeder;
    const std::uint16_t bound = feeder.listen(static_cast<std::uint16_t>(port));
    if (bound == 0) {
        std::cerr << "hidfeed: cannot listen on 127.0.0.1:" << port << '\n';
        return 1;
    }
    say("listening " + std::to_string(bound));
    if (!feeder.accept(std::chrono::seconds(acceptSeconds))) {
        say("no library");
        return 2;
    }
    say("connected");
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue; // the library would not answer these
        }
        if (line == "quit") {
            break;
        }
        const auto reply = feeder.request(expand(line));
        if (!reply) {
            say("closed");
            return 3;
        }
        say(*reply);
    }
    feeder.closeConnection();
    return 0;
}
