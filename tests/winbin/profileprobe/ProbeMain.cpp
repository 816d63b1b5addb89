// Profile probe: asks a profile reader for a list of values and prints each answer on one line, so that the
// platform's reader (under Wine) and our own reader (on the host) can be compared line by line.
//
// Usage: profileprobe CASES_FILE
// Each line of CASES_FILE is one question, its fields separated by tabs:
//     file <TAB> section <TAB> key <TAB> default <TAB> size     a value (GetPrivateProfileStringA)
//     file <TAB> section <TAB> size                            a section's lines (GetPrivateProfileSectionA)
//     file <TAB> size                                          the section names
//     (GetPrivateProfileSectionNamesA)
// Each answer line is:
//     ret=N nul=0|1 intact=0|1 value=TEXT
// where N is the returned count, nul tells whether buffer[N] is the terminating zero, intact whether the
// bytes from buffer[size] on are still untouched, and TEXT the buffer up to its first zero (for the lists,
// its first N characters, their zeros included) with bytes outside printable ASCII and the backslash written
// as \xHH.
#include "ProbeReader.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

std::string escape(const char* text, std::size_t length) {
    std::string out;
    for (const char* p = text; p != text + length; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c > 0x7E || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: profileprobe CASES_FILE\n");
        return 2;
    }
    std::FILE* cases = std::fopen(argv[1], "rb");
    if (cases == nullptr) {
        std::fprintf(stderr, "profileprobe: cannot open %s\n", argv[1]);
        return 2;
    }
    constexpr unsigned kGuard = 64;
    constexpr unsigned char kUntouched = 0xA5;
    std::string line;
    int c;
    int lineNumber = 0;
    bool done = false;
    while (!done) {
        c = std::fgetc(cases);
        if (c != EOF && c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        done = c == EOF;
        if (line.empty()) {
            continue;
        }
        ++lineNumber;
        std::vector<std::string> f = splitTabs(line);
        line.clear();
        if (f.size() != 5 && f.size() != 3 && f.size() != 2) {
            std::fprintf(stderr, "profileprobe: case %d has %zu fields, not 5, 3 or 2\n", lineNumber,
                         f.size());
            return 2;
        }
        unsigned long size = std::strtoul(f.back().c_str(), nullptr, 10);
        std::vector<char> buffer(size + kGuard, static_cast<char>(kUntouched));
        unsigned ret = 0;
        const bool list = f.size() != 5;
        if (f.size() == 5) {
            ret = probeRead(f[1].c_str(), f[2].c_str(), f[3].c_str(), buffer.data(),
                            static_cast<unsigned>(size), f[0].c_str());
        } else if (f.size() == 3) {
            ret = probeReadSection(f[1].c_str(), buffer.data(), static_cast<unsigned>(size), f[0].c_str());
        } else {
            ret = probeReadSectionNames(buffer.data(), static_cast<unsigned>(size), f[0].c_str());
        }
        bool nul = ret < buffer.size() && buffer[ret] == '\0';
        bool intact = true;
        for (std::size_t i = size; i < buffer.size(); ++i) {
            intact = intact && static_cast<unsigned char>(buffer[i]) == kUntouched;
        }
        buffer.back() = '\0';
        const std::size_t shown = size == 0 ? 0
                                  : list    ? std::min<std::size_t>(ret, size)
                                            : std::strlen(buffer.data());
        std::printf("ret=%u nul=%d intact=%d value=%s\n", ret, nul ? 1 : 0, intact ? 1 : 0,
                    escape(buffer.data(), shown).c_str());
        std::fflush(stdout);
    }
    std::fclose(cases);
    return 0;
}
