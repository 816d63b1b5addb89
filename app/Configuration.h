// The program's two settings files. The Config.ini beside the program holds the machine's defaults: the setup
// writes it, administrators edit it, and it is read as it always was (ReadIniValue). Each user may have a
// Config.ini of their own in %APPDATA%\Tavrelmond, with the same section and keys: a key found there wins
// over the same key of the machine's file, key by key, so a user without a file of their own gets the
// machine's settings. The program writes only the user's file (the settings window), never the machine's.
//
// A command line in the settings is run as the user who runs the program. It is taken from the user's own
// file, or from the machine's file only when nobody but the system, the administrators and this user may
// change that file (someone who may write it could otherwise have their command run by the next user).
#pragma once

#include "platform/Files.h"
#include "platform/Kernel32.h"
#include "platform/Security.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace config {

// The keys, as the program names them.
inline constexpr const char* KeyMode = "APIControlXBMCOPENGL";
inline constexpr const char* KeyVendorId = "VendorID";
inline constexpr const char* KeyProductId = "ProductID";
inline constexpr const char* KeyAutorun = "AUtorun";
inline constexpr const char* KeyAddress = "IP Address";
inline constexpr const char* KeyPort = "port";
inline constexpr const char* KeyUser = "user";
inline constexpr const char* KeyPassword = "password";
inline constexpr const char* KeyNotifications = "notifications";
inline constexpr const char* KeyRemoteRun = "remoterun";

// A password the program stored, protected for its user: this prefix, then the protected bytes in Base64.
// Any other value of "password" is the password itself, as written by hand.
inline constexpr std::string_view ProtectedPrefix = "dpapi:";

enum class Source {
    None,    // in neither file
    User,    // the user's own file
    Machine, // the file beside the program
};

struct Setting {
    std::string text;
    Source source = Source::None;
};

std::string Base64Encode(std::string_view bytes);
// Nothing for text that is not Base64.
std::optional<std::string> Base64Decode(std::string_view text);

class Configuration {
  public:
    // files and security may be null: then only the machine's file is read, no command line is taken from
    // it, and no password can be stored.
    Configuration(platform::Kernel32& kernel32, platform::Files* files, platform::Security* security);

    // The machine's file: the executable's folder with "\Config.ini" appended.
    std::string MachinePath() const;
    // The user's folder and file; empty where the platform has no such folder.
    std::string UserFolder() const;
    std::string UserPath() const;
    // The files in the order they are asked for a key: the user's (where there is one), then the machine's.
    std::vector<std::string> Paths() const;

    // One key: from the user's file when it has the key, otherwise from the machine's file (empty text and
    // Source::None when neither has it). The text is as ReadIniValue gives it.
    Setting Read(const std::string& key);
    // The same, read as Unicode and given as UTF-8 (the user name and password of Kodi's web server).
    Setting ReadUnicode(const std::string& key);
    // The password: a protected one is recovered for this user; one written by hand is taken as it is.
    // `problem` says why a protected one could not be recovered (the text is then empty).
    Setting ReadPassword(std::string& problem);

    // Why a command line (key AUtorun or remoterun) must not run, or empty text when it may: it comes from
    // the machine's file and others may change that file, or its rights cannot be read.
    std::string CommandRefusal(const std::string& key, const Setting& command);

    // The password as it is stored: protected for this user. Nothing when the platform cannot protect it.
    std::optional<std::string> ProtectPassword(std::string_view password);

    // Writes keys (UTF-8 values) into the user's file, creating the folder and the file (a new file starts
    // with a comment saying what it is). Every other line of an existing file stays as it was. False with
    // `error` set when nothing could be written.
    bool Save(const std::vector<std::pair<std::string, std::string>>& values, std::string& error);
    // Makes the user's file, where there is none, as a copy of the machine's with a comment saying which
    // file it is; command lines of a machine file that others may change are left out of the copy.
    bool EnsureUserFile(std::string& error);

  private:
    bool UserHas(const std::string& key);
    std::vector<std::string> HeaderComment() const;

    platform::Kernel32& kernel32_;
    platform::Files* files_;
    platform::Security* security_;
};

} // namespace config
