// Reads one value from a Windows profile file on the host; the rules are listed in ProfileReader.h.
#include "platform/posix/ProfileReader.h"

#include "platform/posix/TextCodec.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace platform::posix {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// A NUL byte in a broken file ends a name or value, as in a C string.
std::string_view cString(std::string_view s) {
    return s.substr(0, s.find('\0'));
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

// One code point to the ANSI code page (Windows-1252): ASCII and Latin-1 letters map to themselves, the rest
// to '?', as the platform's conversion does for characters the code page lacks.
void appendAnsi(std::string& out, std::uint32_t codePoint) {
    static constexpr std::uint16_t kCp1252High[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        out.push_back(static_cast<char>(codePoint));
        return;
    }
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == codePoint) {
            out.push_back(static_cast<char>(0x80 + i));
            return;
        }
    }
    out.push_back('?');
}

std::string utf16ToAnsi(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        auto b0 = static_cast<unsigned char>(bytes[i]);
        auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        std::uint32_t unit = bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            // A surrogate pair is one character outside the code page; a lone half is one bad character.
            if (unit <= 0xDBFF && i + 3 < bytes.size()) {
                auto c0 = static_cast<unsigned char>(bytes[i + 2]);
                auto c1 = static_cast<unsigned char>(bytes[i + 3]);
                std::uint32_t next = bigEndian ? (c0 << 8 | c1) : (c1 << 8 | c0);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    i += 2;
                }
            }
            out.push_back('?');
            continue;
        }
        appendAnsi(out, unit);
    }
    return out;
}

std::string utf8ToAnsi(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        int extra = lead < 0x80             ? 0
                    : (lead & 0xE0) == 0xC0 ? 1
                    : (lead & 0xF0) == 0xE0 ? 2
                    : (lead & 0xF8) == 0xF0 ? 3
                                            : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= bytes.size()) {
            out.push_back('?');
            ++i;
            continue;
        }
        std::uint32_t codePoint = extra == 0 ? lead : lead & (0x3F >> extra);
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            codePoint = codePoint << 6 | (c & 0x3F);
        }
        if (!valid) {
            out.push_back('?');
            ++i;
            continue;
        }
        appendAnsi(out, codePoint);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

// The file's text in the ANSI code page, or nothing when it cannot be read.
std::optional<std::string> loadText(const std::string& path) {
    const std::optional<std::string> bytes = readFileBytes(path);
    if (!bytes) {
        return std::nullopt;
    }
    std::string_view view(*bytes);
    if (view.starts_with("\xEF\xBB\xBF")) {
        return utf8ToAnsi(view.substr(3));
    }
    if (view.starts_with("\xFF\xFE")) {
        return utf16ToAnsi(view.substr(2), false);
    }
    if (view.starts_with("\xFE\xFF")) {
        return utf16ToAnsi(view.substr(2), true);
    }
    return *bytes;
}

// One line of a profile file, as the reader sees it (lines are trimmed, blank lines skipped).
struct Line {
    bool header = false;   // "[name]": `name` is the section's name
    std::string_view name; // the section's name, or the key's: the text before '=' (the whole line without)
    std::string_view value;
    bool hasValue = false; // a key line with '='
};

// Calls visit(line) for each line of the text in order, until it returns false.
template <typename Visit> void walkLines(std::string_view text, Visit visit) {
    while (!text.empty()) {
        std::size_t end = text.find_first_of("\r\n");
        std::string_view raw = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (raw.empty()) {
            continue;
        }
        Line line;
        if (raw.front() == '[') {
            std::size_t close = raw.rfind(']');
            if (close != std::string_view::npos && close > 0) {
                line.header = true;
                line.name = cString(trim(raw.substr(1, close - 1)));
                if (!visit(line)) {
                    return;
                }
                continue;
            }
            // No closing bracket: the line is read as a key line.
        }
        std::size_t eq = raw.find('=');
        line.name = eq == std::string_view::npos ? raw : trim(raw.substr(0, eq));
        if (eq != std::string_view::npos) {
            line.hasValue = true;
            line.value = trim(raw.substr(eq + 1));
        }
        if (!visit(line)) {
            return;
        }
    }
}

struct Found {
    bool hasValue = false; // the key exists with a '='
    std::string value;
};

// The value of the first key named `key` in the first section named `section` (names already trimmed).
Found findValue(std::string_view text, std::string_view section, std::string_view key) {
    Found result;
    // Keys before the first header belong to the section "".
    bool inWanted = section.empty();
    walkLines(text, [&](const Line& line) {
        if (line.header) {
            if (inWanted) {
                // Only the first section of the wanted name counts, and the key was not in it.
                return false;
            }
            inWanted = equalsIgnoreCase(line.name, section);
            return true;
        }
        if (!inWanted || !equalsIgnoreCase(cString(line.name), key)) {
            return true;
        }
        if (line.hasValue) {
            result.hasValue = true;
            result.value = std::string(line.value);
        }
        return false;
    });
    return result;
}

// Writes zero-terminated strings into a buffer of `size` characters the way the platform fills one with a
// section's lines or the section names: each string cut to what still fits, the last one followed by a second
// zero; the count of characters written without the final zero, or size - 2 when the strings did not fit.
class StringList {
  public:
    StringList(char* buffer, std::uint32_t size) : buffer_(buffer), size_(size), left_(size) {}

    // A line: its key and, when it has one, "=" and its value. False once the buffer is full.
    bool add(std::string_view key, std::optional<std::string_view> value) {
        if (left_ <= 2) {
            return false;
        }
        put(key);
        if (left_ < 2) {
            return false;
        }
        if (value) {
            buffer_[at_ - 1] = '=';
            put(*value);
        }
        return true;
    }

    std::uint32_t finish() {
        if (size_ < 3) {
            // Too small for any line: the platform leaves two zeros.
            for (std::uint32_t i = 0; i < size_ && i < 2; ++i) {
                buffer_[i] = '\0';
            }
            return 0;
        }
        buffer_[at_] = '\0';
        std::uint32_t count = size_ - left_;
        if (left_ <= 1) {
            // Cut short: the last string is followed by two zeros.
            buffer_[at_ - 1] = '\0';
            count = size_ - 2;
        }
        return count;
    }

  private:
    // One string and its zero, cut to leave room for the list's final zero.
    void put(std::string_view text) {
        text = cString(text);
        const std::size_t n = std::min<std::size_t>(text.size(), left_ - 2);
        if (n > 0) {
            std::memcpy(buffer_ + at_, text.data(), n);
        }
        buffer_[at_ + n] = '\0';
        at_ += static_cast<std::uint32_t>(n + 1);
        left_ -= static_cast<std::uint32_t>(n + 1);
    }

    char* buffer_;
    std::uint32_t size_;
    std::uint32_t left_;
    std::uint32_t at_ = 0;
};

// Copies a value or the default into the buffer: one pair of matching surrounding quotes removed, cut to
// size - 1 characters (a NUL inside the text ends it, as in a C string).
std::uint32_t copyEntry(std::string_view value, char* buffer, std::uint32_t size) {
    value = cString(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    std::size_t n = std::min<std::size_t>(value.size(), size - 1);
    if (n > 0) {
        std::memcpy(buffer, value.data(), n);
    }
    buffer[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

} // namespace

std::uint32_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                      char* buffer, std::uint32_t size, const std::string& path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    std::string_view def = defaultValue != nullptr ? std::string_view(defaultValue) : std::string_view();
    while (!def.empty() && def.back() == ' ') {
        def.remove_suffix(1);
    }
    if (section == nullptr || key == nullptr) {
        return copyEntry(def, buffer, size);
    }
    std::optional<std::string> text = loadText(path);
    if (!text) {
        return copyEntry(def, buffer, size);
    }
    Found found = findValue(*text, trim(section), trim(key));
    return copyEntry(found.hasValue ? std::string_view(found.value) : def, buffer, size);
}

std::uint32_t getPrivateProfileSection(const char* section, char* buffer, std::uint32_t size,
                                       const std::string& path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    StringList list(buffer, size);
    std::optional<std::string> text = section != nullptr ? loadText(path) : std::nullopt;
    if (text) {
        // The asked name is taken as it is, blanks included; "" is the part before the first header.
        const std::string_view wanted(section);
        bool inWanted = wanted.empty();
        bool afterNameless = false; // the section's previous line was a line without a name
        walkLines(*text, [&](const Line& line) {
            if (line.header) {
                if (inWanted) {
                    return false; // only the first section of the name
                }
                inWanted = !line.name.empty() && equalsIgnoreCase(line.name, wanted);
                afterNameless = false;
                return true;
            }
            const std::string_view key = cString(line.name);
            // A line without a name ("=value") is listed, unless the line before it had no name either.
            const bool nameless = key.empty();
            const bool repeated = nameless && afterNameless;
            afterNameless = nameless;
            // Comment lines (';' first) are not listed.
            if (!inWanted || repeated || (!nameless && key.front() == ';')) {
                return true;
            }
            return list.add(key, line.hasValue ? std::optional<std::string_view>(line.value) : std::nullopt);
        });
    }
    return list.finish();
}

std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size, const std::string& path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    StringList list(buffer, size);
    if (std::optional<std::string> text = loadText(path)) {
        walkLines(*text, [&](const Line& line) {
            if (!line.header || line.name.empty()) {
                return true;
            }
            return list.add(line.name, std::nullopt);
        });
    }
    return list.finish();
}

std::optional<std::string> readProfileStringUtf8(const std::string& section, const std::string& key,
                                                 const std::string& path) {
    const std::optional<std::string> bytes = readFileBytes(path);
    if (!bytes) {
        return std::nullopt;
    }
    const std::string text = decodeText(*bytes);
    const Found found = findValue(text, trim(section), trim(key));
    if (!found.hasValue) {
        return std::nullopt;
    }
    std::string_view value = cString(found.value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

} // namespace platform::posix
