// A profile ("INI") file's text, edited in place: setting a key changes its one line and leaves every other
// line as it was (comments, blank lines, keys and sections the program does not know). Sections and keys are
// found as the platform's profile reader finds them: names regardless of ASCII case, blanks around them
// trimmed, the first section of a name and within it the first key of a name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class IniText {
  public:
    explicit IniText(std::string_view text = {});

    // Sets a key of a section to a value: its line is rewritten (the key keeps its spelling); a missing key
    // is added after the section's last entry; a missing section is added at the end. A value with blanks at
    // either end, or enclosed in a pair of quotes, is written in quotes, so the reader gives it back as it
    // was. False, and nothing changed, for a value or name that a line cannot hold (a line end or a NUL).
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    // Whether the section has the key (with or without a value).
    bool Has(std::string_view section, std::string_view key) const;
    // Puts lines before the first line (a comment saying what the file is, say).
    void Prepend(const std::vector<std::string>& lines);

    // The text, lines ended with CR LF.
    std::string Text() const;

  private:
    // The line of the key in the first section of that name: -1 when the key is missing; the section's range
    // through sectionLine (its header, -1 when missing) and lastEntry (its last non-blank line).
    struct Place {
        int sectionLine = -1;
        int lastEntry = -1;
        int keyLine = -1;
    };
    Place find(std::string_view section, std::string_view key) const;

    std::vector<std::string> lines_;
};
