#include "kodi/Kodi.h"

namespace kodi {

std::optional<Endpoint> ParseEndpoint(const std::string& ip, const std::string& port,
                                      std::uint16_t defaultPort) {
    Endpoint endpoint{ip.empty() ? DefaultHost : ip, defaultPort};
    if (port.empty()) {
        return endpoint;
    }
    std::uint32_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) {
            return std::nullopt;
        }
    }
    if (value == 0) {
        return std::nullopt;
    }
    endpoint.port = static_cast<std::uint16_t>(value);
    return endpoint;
}

std::string StatusText(const Outcome& outcome) {
    switch (outcome.problem) {
    case Problem::None:
        return "";
    case Problem::NoNetwork:
        return "Kodi: no network in this build";
    case Problem::BadPort:
        return "Kodi: the port in Config.ini is not a port";
    case Problem::BadUserName:
        return "Kodi: the user name must not contain ':'";
    case Problem::NoSuchHost:
        return "Kodi: unknown host " + outcome.endpoint;
    case Problem::NotAnswering:
        return "Kodi does not answer at " + outcome.endpoint;
    case Problem::BadCredentials:
        return "Kodi refused the user name or password";
    case Problem::HttpStatus:
        return "Kodi answered HTTP " + std::to_string(outcome.detail);
    case Problem::ButtonRefused:
        return "Kodi refused the button (error " + std::to_string(outcome.detail) + ")";
    case Problem::BadReply:
        return "Kodi sent a reply that cannot be read";
    }
    return "";
}

} // namespace kodi
