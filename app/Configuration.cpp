#include "Configuration.h"

#include "IniText.h"
#include "Module1.h"

#include <array>

namespace config {

namespace {

constexpr std::string_view Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

} // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        if (i + 2 < bytes.size()) {
            group |= static_cast<unsigned char>(bytes[i + 2]);
        }
        out += Alphabet[(group >> 18) & 63];
        out += Alphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? Alphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? Alphabet[group & 63] : '=';
    }
    return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++padding;
                group <<= 6;
                continue;
            }
            const std::size_t value = Alphabet.find(c);
            if (value == std::string_view::npos || padding > 0) {
                return std::nullopt;
            }
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        out += static_cast<char>((group >> 16) & 0xFF);
        if (padding < 2) {
            out += static_cast<char>((group >> 8) & 0xFF);
        }
        if (padding < 1) {
            out += static_cast<char>(group & 0xFF);
        }
    }
    return out;
}

Configuration::Configuration(platform::Kernel32& kernel32, platform::Files* files,
                             platform::Security* security)
    : kernel32_(kernel32), files_(files), security_(security) {}

std::string Configuration::MachinePath() const {
    return kernel32_.executableFolder() + "\\Config.ini";
}

std::string Configuration::UserFolder() const {
    if (files_ == nullptr) {
        return {};
    }
    const std::string appData = files_->knownFolder(platform::KnownFolder::RoamingAppData);
    return appData.empty() ? std::string() : appData + "\\Tavrelmond";
}

std::string Configuration::UserPath() const {
    const std::string folder = UserFolder();
    return folder.empty() ? std::string() : folder + "\\Config.ini";
}

std::vector<std::string> Configuration::Paths() const {
    std::vector<std::string> paths;
    if (const std::string user = UserPath(); !user.empty()) {
        paths.push_back(user);
    }
    paths.push_back(MachinePath());
    return paths;
}

bool Configuration::UserHas(const std::string& key) {
    const std::string path = UserPath();
    return !path.empty() && files_->readProfileString(ConfigSection, Lower(key), path).has_value();
}

Setting Configuration::Read(const std::string& key) {
    if (UserHas(key)) {
        return {ReadIniValue(kernel32_, ConfigSection, key, UserPath()), Source::User};
    }
    std::string text = ReadIniValue(kernel32_, ConfigSection, key, MachinePath());
    // Empty text is also what a missing key gives; only a Unicode read can tell them apart.
    const bool there = !text.empty() || (files_ != nullptr &&
                                         files_->readProfileString(ConfigSection, Lower(key), MachinePath()));
    return {std::move(text), there ? Source::Machine : Source::None};
}

Setting Configuration::ReadUnicode(const std::string& key) {
    if (files_ == nullptr) {
        std::string text = ReadIniValue(kernel32_, ConfigSection, key, MachinePath());
        const Source source = text.empty() ? Source::None : Source::Machine;
        return {std::move(text), source};
    }
    if (const std::string path = UserPath(); !path.empty()) {
        if (auto value = files_->readProfileString(ConfigSection, Lower(key), path)) {
            return {std::move(*value), Source::User};
        }
    }
    if (auto value = files_->readProfileString(ConfigSection, Lower(key), MachinePath())) {
        return {std::move(*value), Source::Machine};
    }
    return {};
}

Setting Configuration::ReadPassword(std::string& problem) {
    problem.clear();
    Setting password = ReadUnicode(KeyPassword);
    if (!std::string_view(password.text).starts_with(ProtectedPrefix)) {
        return password;
    }
    const std::optional<std::string> blob =
        Base64Decode(std::string_view(password.text).substr(ProtectedPrefix.size()));
    std::optional<std::string> clear;
    if (blob && security_ != nullptr) {
        clear = security_->unprotect(*blob);
    }
    if (!clear) {
        problem = "the stored password cannot be read by this user on this PC: enter it again in Settings";
        password.text.clear();
        return password;
    }
    password.text = std::move(*clear);
    return password;
}

std::string Configuration::CommandRefusal(const std::string& key, const Setting& command) {
    if (command.source != Source::Machine || command.text.empty()) {
        return {};
    }
    const std::string path = MachinePath();
    if (security_ == nullptr) {
        return key + " not run: who may change " + path + " cannot be checked";
    }
    const platform::FileWriters writers = security_->fileWriters(path);
    switch (writers.kind) {
    case platform::FileWriters::Kind::Trusted:
        return {};
    case platform::FileWriters::Kind::Others:
        return key + " not run: " + path + " may be changed by " +
               (writers.who.empty() ? "others" : writers.who);
    case platform::FileWriters::Kind::Unknown:
        break;
    }
    return key + " not run: the rights on " + path + " cannot be read";
}

std::optional<std::string> Configuration::ProtectPassword(std::string_view password) {
    if (security_ == nullptr) {
        return std::nullopt;
    }
    const std::optional<std::string> blob = security_->protect(password);
    if (!blob) {
        return std::nullopt;
    }
    return std::string(ProtectedPrefix) + Base64Encode(*blob);
}

std::vector<std::string> Configuration::HeaderComment() const {
    return {
        "; Your own settings for Tavrelmond: " + UserPath(),
        "; A key here wins over the same key in the defaults of this PC, " + MachinePath() + ";",
        "; a key that is not here comes from there. The settings window (tray menu: Settings...) writes this "
        "file.",
    };
}

bool Configuration::Save(const std::vector<std::pair<std::string, std::string>>& values, std::string& error) {
    const std::string path = UserPath();
    if (path.empty()) {
        error = "this PC gives no folder for your settings (%APPDATA%)";
        return false;
    }
    if (!files_->createFolder(UserFolder())) {
        error = "cannot create " + UserFolder();
        return false;
    }
    const std::optional<std::string> existing = files_->readText(path);
    if (!existing && files_->exists(path)) {
        error = "cannot read " + path;
        return false;
    }
    IniText text(existing.value_or(std::string()));
    if (!existing) {
        text.Prepend(HeaderComment());
    }
    for (const auto& [key, value] : values) {
        if (!text.Set(ConfigSection, key, value)) {
            error = "the value of " + key + " cannot be written (a line end in it)";
            return false;
        }
    }
    if (!files_->replaceText(path, text.Text())) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool Configuration::EnsureUserFile(std::string& error) {
    const std::string path = UserPath();
    if (path.empty()) {
        error = "this PC gives no folder for your settings (%APPDATA%)";
        return false;
    }
    if (files_->exists(path)) {
        return true;
    }
    if (!files_->createFolder(UserFolder())) {
        error = "cannot create " + UserFolder();
        return false;
    }
    IniText text(files_->readText(MachinePath()).value_or("[" + std::string(ConfigSection) + "]\r\n"));
    // A command line copied from a file that others may change would become the user's own: leave it out.
    const bool trusted = security_ != nullptr &&
                         security_->fileWriters(MachinePath()).kind == platform::FileWriters::Kind::Trusted;
    if (!trusted) {
        for (const char* key : {KeyAutorun, KeyRemoteRun}) {
            if (text.Has(ConfigSection, key)) {
                text.Set(ConfigSection, key, "");
            }
        }
    }
    std::vector<std::string> header = HeaderComment();
    if (!trusted) {
        header.push_back("; The command lines (AUtorun, remoterun) were not copied: other users may change " +
                         MachinePath() + ".");
    }
    header.emplace_back();
    text.Prepend(header);
    if (!files_->replaceText(path, text.Text())) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace config
