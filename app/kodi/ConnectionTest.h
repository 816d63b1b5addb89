// The connection test of the settings window: what can be found out about Kodi with the settings as they
// stand in the window, said in a line or two.
//   jsonrpc      JSONRPC.Ping with the credentials; then Kodi's name and version (Application.GetProperties).
//   eventserver  whether Kodi's host refuses a datagram (the EventServer itself never answers); then, where
//                Kodi's web server answers on its default port of the same host, its name and version.
// Blocking, bounded (a few seconds at most: TestOptions), and callable from any thread, also while the Kodi
// worker runs: the test uses a socket and an HTTP session of its own.
#pragma once

#include "kodi/Kodi.h"
#include "platform/HttpClient.h"
#include "platform/Sockets.h"

#include <chrono>
#include <string>

namespace kodi {

struct TestReport {
    bool ok = false;  // Kodi, or at least its EventServer's port, was found
    std::string text; // what was found, plainly
};

struct TestOptions {
    std::chrono::milliseconds connect{3000};
    std::chrono::milliseconds reply{2000};
    // How long a refusal of the datagram is awaited (it comes back at once from a host that sends one).
    std::chrono::milliseconds refusal{600};
    // The web server beside an EventServer: asked more briefly, as it is only extra news.
    std::chrono::milliseconds webServer{1500};
    std::uint16_t webServerPort = DefaultWebServerPort;
};

// sockets serves the EventServer test, http the JSON-RPC one and the web server beside an EventServer; either
// may be null (no network in this build). A mode that is not a Kodi mode gets a report saying there is
// nothing to test.
TestReport TestConnection(const ChannelSettings& settings, platform::Sockets* sockets,
                          platform::HttpClient* http);
TestReport TestConnection(const ChannelSettings& settings, platform::Sockets* sockets,
                          platform::HttpClient* http, const TestOptions& options);

} // namespace kodi
