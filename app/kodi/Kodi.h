// What Kodi's two network channels (EventServer, JSON-RPC) share: the mode values that select them, their
// default ports, the settings a channel is configured with, how the "IP Address" and "port" texts become an
// endpoint, and what a press came to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kodi {

// Values of "APIControlXBMCOPENGL" beside "true" and "false", compared exactly (lower case).
inline constexpr const char* ModeEventServer = "eventserver";
inline constexpr const char* ModeJsonRpc = "jsonrpc";
inline bool IsKodiMode(const std::string& mode) {
    return mode == ModeEventServer || mode == ModeJsonRpc;
}

// Kodi's own defaults, used when "port" is empty.
inline constexpr std::uint16_t DefaultEventServerPort = 9777;
inline constexpr std::uint16_t DefaultWebServerPort = 8080;
// Used when "IP Address" is empty: Kodi on this PC.
inline constexpr const char* DefaultHost = "127.0.0.1";

// Kodi's keymap for this remote, and the name this program gives itself.
inline constexpr const char* RemoteKeymap = "R1";
inline constexpr const char* DeviceName = "Tavrelmond";

// What a channel is configured with, once, when the settings are read or changed: the forwarding mode, the
// "IP Address" and "port" texts, and Kodi's web server credentials as UTF-8 text. notifications is false when
// Config.ini switches the notifications on Kodi's screen off.
struct ChannelSettings {
    std::string mode{};
    std::string host{};
    std::string port{};
    std::string user{};
    std::string password{};
    bool notifications = true;
};

// Whether the "notifications" key (compared exactly) leaves the notifications on: anything but "off".
inline bool NotificationsOn(const std::string& value) {
    return value != "off";
}

struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
    std::string text() const { return host + ":" + std::to_string(port); }
};

// The endpoint of the configuration texts: an empty host is DefaultHost, an empty port the mode's default.
// A port must be decimal digits only, 1 to 65535; anything else gives no endpoint.
std::optional<Endpoint> ParseEndpoint(const std::string& ip, const std::string& port,
                                      std::uint16_t defaultPort);

enum class Problem {
    None,
    NoNetwork,      // this build has no sockets
    BadPort,        // "port" is not a port
    BadUserName,    // "user" holds a ':' (Basic authentication cannot carry it)
    NoSuchHost,     // "IP Address" does not resolve
    NotAnswering,   // refused, unreachable or silent past the time-out
    BadCredentials, // the web server answered 401
    HttpStatus,     // another HTTP status than 200 (detail: the status)
    ButtonRefused,  // a JSON-RPC error (detail: its code)
    BadReply,       // a reply that cannot be read
};

// What one press came to. detail is the HTTP status or the JSON-RPC error code where that applies; reason is
// how it failed, in more words than StatusText gives the user (refused, timed out, ...), for the log.
struct Outcome {
    Problem problem = Problem::None;
    int detail = 0;
    std::string endpoint{};
    std::string reason{};
    bool ok() const { return problem == Problem::None; }
};

// A line for the user (the tray tip shows 63 characters of it); empty for a press that went through.
std::string StatusText(const Outcome& outcome);

} // namespace kodi
