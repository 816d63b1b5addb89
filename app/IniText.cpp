#include "IniText.h"

#include <algorithm>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
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

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// "[name]": the name, from after '[' to the last ']'; false for any other line.
bool SectionName(std::string_view line, std::string_view& name) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') {
        return false;
    }
    const std::size_t close = line.rfind(']');
    if (close == std::string_view::npos || close == 0) {
        return false;
    }
    name = line.substr(1, close - 1);
    return true;
}

bool Writable(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

} // namespace

IniText::IniText(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines_.emplace_back(text.substr(start));
            break;
        }
        lines_.emplace_back(text.substr(start, end - start));
        // CR LF, LF or a lone CR each end one line.
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
}

IniText::Place IniText::find(std::string_view section, std::string_view key) const {
    Place place;
    bool inSection = false;
    for (int i = 0; i < static_cast<int>(lines_.size()); ++i) {
        const std::string& line = lines_[static_cast<std::size_t>(i)];
        std::string_view name;
        if (SectionName(line, name)) {
            if (inSection) {
                break; // only the first section of the name counts
            }
            inSection = SameName(name, section);
            if (inSection) {
                place.sectionLine = i;
                place.lastEntry = i;
            }
            continue;
        }
        if (!inSection || Trim(line).empty()) {
            continue;
        }
        place.lastEntry = i;
        if (place.keyLine < 0) {
            const std::size_t eq = line.find('=');
            if (SameName(eq == std::string::npos ? std::string_view(line)
                                                 : std::string_view(line).substr(0, eq),
                         key)) {
                place.keyLine = i;
            }
        }
    }
    return place;
}

bool IniText::Has(std::string_view section, std::string_view key) const {
    return find(section, key).keyLine >= 0;
}

bool IniText::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (!Writable(section) || !Writable(key) || !Writable(value) || Trim(key).empty()) {
        return false;
    }
    std::string written(value);
    const bool blankEnds = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
    const bool quoted =
        value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
    if (blankEnds || quoted) {
        written = "\"" + written + "\"";
    }
    const Place place = find(section, key);
    if (place.keyLine >= 0) {
        std::string& line = lines_[static_cast<std::size_t>(place.keyLine)];
        const std::size_t eq = line.find('=');
        const std::string name(
            Trim(eq == std::string::npos ? std::string_view(line) : std::string_view(line).substr(0, eq)));
        line = name + "=" + written;
        return true;
    }
    const std::string entry = std::string(Trim(key)) + "=" + written;
    if (place.sectionLine >= 0) {
        lines_.insert(lines_.begin() + place.lastEntry + 1, entry);
        return true;
    }
    if (!lines_.empty() && !Trim(lines_.back()).empty()) {
        lines_.emplace_back();
    }
    lines_.push_back("[" + std::string(section) + "]");
    lines_.push_back(entry);
    return true;
}

void IniText::Prepend(const std::vector<std::string>& lines) {
    lines_.insert(lines_.begin(), lines.begin(), lines.end());
}

std::string IniText::Text() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}
