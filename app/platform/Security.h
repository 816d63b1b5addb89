// The security port: who may change a file, and the platform's data protection for the user's secrets.
//
// Adapters: platform/win32/Win32Security (the file's security descriptor; CryptProtectData) and
// platform/sim/SimSecurity (scripted rights, a reversible stand-in for the protection).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct FileWriters {
    enum class Kind {
        Trusted, // only the system, administrators and the user running the program may change it
        Others,  // someone else may change it (or replace it in its folder, or change its rights)
        Unknown, // its rights could not be read
    };
    Kind kind = Kind::Unknown;
    // For Others: who, as the platform names them (an account name, else the SID in text form).
    std::string who{};
};

class Security {
  public:
    virtual ~Security() = default;

    // Who besides the system, the administrators and the user running the program may change the file: its
    // access list and owner, and the right to delete files in its folder.
    virtual FileWriters fileWriters(const std::string& path) = 0;

    // CryptProtectData for the user running the program on this PC: opaque bytes, nothing on failure.
    virtual std::optional<std::string> protect(std::string_view data) = 0;
    // CryptUnprotectData: the bytes given to protect, nothing when they cannot be recovered (another user,
    // another PC, damaged data).
    virtual std::optional<std::string> unprotect(std::string_view blob) = 0;
};

} // namespace platform
