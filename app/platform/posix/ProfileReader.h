// Our own reader of Windows profile ("INI") files, for the host. It follows the rules of the platform's
// GetPrivateProfileStringA, GetPrivateProfileSectionA and GetPrivateProfileSectionNamesA as Wine implements
// them; a Wine test runs both over the same files:
//   - the file is split into lines at CR and at LF; blanks (space, tab, CR, LF, VT, FF) are trimmed at both
//     ends of each line and blank lines are skipped; a UTF-8 or UTF-16 byte-order mark is honoured (the text
//     is then read into the ANSI code page, Windows-1252);
//   - "[name]" starts a section: the name runs from after '[' to the last ']' of the line, blanks around it
//     trimmed; a '[' line without a later ']' is a key line; keys before the first header belong to the
//     section "";
//   - any other line is a key: its name is the text before the first '=' (trailing blanks removed), its value
//     the text after it (leading blanks removed); a line without '=' is a key without a value, which answers
//     with the default. A line starting with ';' is not skipped as such: it is a key whose name starts with
//     ';', so it never answers an ordinary key name and works as a comment;
//   - section and key names match regardless of ASCII case, after blanks around the asked names are trimmed;
//     only the first section of a name is searched, and within it the first key of a name wins;
//   - one pair of matching surrounding quotes (' or ") is removed from the value, and from the default;
//     trailing spaces of the default are removed;
//   - the result is cut to size - 1 characters and NUL-terminated.
// Kept differences from Wine, by choice: a NULL section or key gives the default (the platform enumerates
// names instead; the program never asks that), and a quoted value whose inside is exactly size - 1 characters
// long comes back whole (Wine drops its last character as well).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform::posix {

// Same contract as GetPrivateProfileStringA: copies at most size-1 characters of the value into buffer,
// NUL-terminates, returns the number of characters copied (not counting the NUL). A missing or unreadable
// file, section or key gives the default. The path may be written with backslashes ("<folder>\Config.ini");
// they are read as '/'. A NULL buffer or a size of 0 copies nothing and returns 0.
std::uint32_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                      char* buffer, std::uint32_t size, const std::string& path);

// The Unicode reader's contract (GetPrivateProfileStringW, the value converted to UTF-8), by the same rules:
// the file's text is read as UTF-8 (by its byte-order mark: UTF-16 either way, or UTF-8; else Windows-1252),
// one pair of enclosing quotes is removed, and there is no length limit. Nothing when the file, the section
// or the key is missing, or the key's line has no '='.
std::optional<std::string> readProfileStringUtf8(const std::string& section, const std::string& key,
                                                 const std::string& path);

// Same contract as GetPrivateProfileSectionA: the lines of the first section of that name (asked as it is,
// blanks included, case ignored; "" is the part before the first header), each as "key=value" (key and value
// as above, quotes kept) or the key alone for a line without '=', each ended by a zero, the last followed by
// a second zero. Comment lines (';' first) are left out, and so is a line without a name ("=value") that
// follows another such line. Returns the characters written without the final zero; size - 2 when they did
// not fit (the last string is then cut and followed by two zeros); 0 for a missing file or section. A buffer
// of fewer than 3 characters gets zeros only.
std::uint32_t getPrivateProfileSection(const char* section, char* buffer, std::uint32_t size,
                                       const std::string& path);

// Same contract as GetPrivateProfileSectionNamesA: the names of the file's sections (headers with an empty
// name left out, a name given twice listed twice) in the same form.
std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size, const std::string& path);

} // namespace platform::posix
