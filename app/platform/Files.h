// The files port: the user's folders, whole text files, the log's appends and turns, and the Unicode profile
// reader. Paths are in the ANSI code page, as every other path of the program; text is UTF-8.
//
// Adapters: platform/win32/Win32Files (the platform's calls) and platform/posix/PosixFiles (real files on the
// host; backslashes in paths are read as '/').
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class KnownFolder {
    RoamingAppData, // %APPDATA%: the user's settings, which follow the user from PC to PC
    LocalAppData,   // %LOCALAPPDATA%: what stays on this PC (the log)
};

class Files {
  public:
    virtual ~Files() = default;

    // SHGetFolderPath: the folder, without a trailing separator; empty when the platform has none.
    virtual std::string knownFolder(KnownFolder folder) = 0;
    // Creates a folder and the folders above it; true when it exists afterwards.
    virtual bool createFolder(const std::string& path) = 0;
    virtual bool exists(const std::string& path) = 0;

    // A whole text file as UTF-8: UTF-16 (either byte order) or UTF-8 when it starts with that byte-order
    // mark, otherwise the ANSI code page. Nothing when it cannot be read.
    virtual std::optional<std::string> readText(const std::string& path) = 0;
    // Writes UTF-8 text as UTF-16 (little-endian, with its byte-order mark: the form in which the platform's
    // profile reader reads every character) to a new file beside `path`, then puts it in place of `path` in
    // one step, so that a failure leaves the old file whole. False when it could not be written.
    virtual bool replaceText(const std::string& path, std::string_view utf8) = 0;

    // Appends bytes to a file, creating it. False when they could not be written.
    virtual bool append(const std::string& path, std::string_view bytes) = 0;
    // The size of a file in bytes; nothing when it does not exist.
    virtual std::optional<std::uint64_t> size(const std::string& path) = 0;
    // Renames a file, replacing `to` if it exists.
    virtual bool moveReplacing(const std::string& from, const std::string& to) = 0;

    // GetPrivateProfileStringW, the value as UTF-8: blanks around it removed, one pair of enclosing quotes
    // removed. Nothing when the file, the section or the key is missing (a key line without '=' counts as
    // missing).
    virtual std::optional<std::string> readProfileString(const std::string& section, const std::string& key,
                                                         const std::string& path) = 0;
};

} // namespace platform
