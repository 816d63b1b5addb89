#include "platform/posix/PosixFiles.h"

#include "platform/posix/ProfileReader.h"
#include "platform/posix/TextCodec.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace platform::posix {

std::string hostPath(const std::string& path) {
    std::string host = path;
    std::replace(host.begin(), host.end(), '\\', '/');
    return host;
}

namespace {

bool writeAll(const std::string& path, std::string_view bytes, const char* mode) {
    std::FILE* out = std::fopen(hostPath(path).c_str(), mode);
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

} // namespace

std::string PosixFiles::knownFolder(KnownFolder folder) {
    const auto it = folders.find(folder);
    return it == folders.end() ? std::string() : it->second;
}

bool PosixFiles::createFolder(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(hostPath(path), error);
    return std::filesystem::is_directory(hostPath(path), error);
}

bool PosixFiles::exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(hostPath(path), error);
}

std::optional<std::string> PosixFiles::readText(const std::string& path) {
    const std::optional<std::string> bytes = readFileBytes(path);
    if (!bytes) {
        return std::nullopt;
    }
    return decodeText(*bytes);
}

bool PosixFiles::replaceText(const std::string& path, std::string_view utf8) {
    if (writesFail) {
        return false;
    }
    const std::string next = path + ".new";
    if (!writeAll(next, "\xFF\xFE" + utf8ToUtf16le(utf8), "wb")) {
        std::remove(hostPath(next).c_str());
        return false;
    }
    return moveReplacing(next, path);
}

bool PosixFiles::append(const std::string& path, std::string_view bytes) {
    return writeAll(path, bytes, "ab");
}

std::optional<std::uint64_t> PosixFiles::size(const std::string& path) {
    std::error_code error;
    const auto n = std::filesystem::file_size(hostPath(path), error);
    if (error) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(n);
}

bool PosixFiles::moveReplacing(const std::string& from, const std::string& to) {
    return std::rename(hostPath(from).c_str(), hostPath(to).c_str()) == 0;
}

std::optional<std::string> PosixFiles::readProfileString(const std::string& section, const std::string& key,
                                                         const std::string& path) {
    return readProfileStringUtf8(section, key, path);
}

} // namespace platform::posix
