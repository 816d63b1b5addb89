#include "platform/sim/SimSecurity.h"

namespace sim {

namespace {

constexpr std::string_view Magic = "SIMPROTECT";

std::string scramble(std::string_view data) {
    std::string out(data);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(out[i] ^ static_cast<char>(0xA5 + i * 7));
    }
    return out;
}

} // namespace

platform::FileWriters SimSecurity::fileWriters(const std::string& path) {
    checked.push_back(path);
    const auto it = writers.find(path);
    if (it == writers.end()) {
        return {platform::FileWriters::Kind::Trusted, {}};
    }
    return it->second;
}

std::optional<std::string> SimSecurity::protect(std::string_view data) {
    if (protectFails) {
        return std::nullopt;
    }
    std::string blob(Magic);
    blob += static_cast<char>(user.size());
    blob += user;
    blob += scramble(data);
    return blob;
}

std::optional<std::string> SimSecurity::unprotect(std::string_view blob) {
    if (!blob.starts_with(Magic) || blob.size() <= Magic.size()) {
        return std::nullopt;
    }
    blob.remove_prefix(Magic.size());
    const auto length = static_cast<unsigned char>(blob.front());
    blob.remove_prefix(1);
    if (blob.size() < length || blob.substr(0, length) != user) {
        return std::nullopt;
    }
    return scramble(blob.substr(length));
}

} // namespace sim
