// The files port over the host's real files, for host tests and tools. The user's folders are whatever the
// test names (a temporary folder, say); backslashes in paths are read as '/'.
#pragma once

#include "platform/Files.h"

#include <map>

namespace platform::posix {

class PosixFiles : public Files {
  public:
    // Folders handed out by knownFolder; a folder not named here is empty (the platform has none).
    std::map<KnownFolder, std::string> folders;
    // Whether replaceText fails (a full disk, a file in use).
    bool writesFail = false;

    std::string knownFolder(KnownFolder folder) override;
    bool createFolder(const std::string& path) override;
    bool exists(const std::string& path) override;
    std::optional<std::string> readText(const std::string& path) override;
    bool replaceText(const std::string& path, std::string_view utf8) override;
    bool append(const std::string& path, std::string_view bytes) override;
    std::optional<std::uint64_t> size(const std::string& path) override;
    bool moveReplacing(const std::string& from, const std::string& to) override;
    std::optional<std::string> readProfileString(const std::string& section, const std::string& key,
                                                 const std::string& path) override;
};

// A path of the program's (backslashes) as a host path.
std::string hostPath(const std::string& path);

} // namespace platform::posix
