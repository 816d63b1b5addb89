// The JSON-RPC channel: each forwarded button becomes one Input.ButtonEvent request for Kodi's keymap "R1",
// POSTed to Kodi's web server at /jsonrpc (default port 8080) with HTTP Basic authentication from the "user"
// and "password" keys. One keep-alive HTTP/1.1 connection carries the requests; it is opened at the first
// press, checked before each reuse, and opened again when Kodi has dropped it (a request that fails on a
// reused connection before any byte of its reply is sent once more on a fresh one).
//
// A Kodi that answers that the method does not exist (error -32601, an older Kodi) is sent the button's
// action through Input.ExecuteAction instead, from then on.
//
// Every wait is bounded (ConnectTimeout, ReplyTimeout), so a press to a Kodi that is off, silent or refusing
// is dropped within a bounded time, and the outcome says why.
#pragma once

#include "KodiButtonMap.h"
#include "kodi/Kodi.h"
#include "platform/Sockets.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kodi {

// HTTP Basic credentials: "Basic " and the Base64 form of user:password. Empty when both are empty (no
// Authorization header is sent then).
std::string BasicAuthorization(const std::string& user, const std::string& password);
std::string Base64(std::string_view bytes);

// The request bodies.
std::string ButtonEventBody(std::string_view r1Name, std::int64_t id);
std::string ExecuteActionBody(std::string_view action, std::int64_t id);

// The whole request: request line, headers (Authorization only when authorization is not empty) and body.
std::string JsonRpcRequest(const Endpoint& endpoint, const std::string& authorization,
                           const std::string& body);

class JsonRpc {
  public:
    struct Timeouts {
        std::chrono::milliseconds connect{1500};
        std::chrono::milliseconds reply{2000};
    };
    static constexpr const char* Path = "/jsonrpc";
    static constexpr std::int64_t MethodNotFound = -32601;

    // sockets may be null (no network: every press reports it).
    explicit JsonRpc(platform::Sockets* sockets);
    JsonRpc(platform::Sockets* sockets, Timeouts timeouts);
    ~JsonRpc();
    JsonRpc(const JsonRpc&) = delete;
    JsonRpc& operator=(const JsonRpc&) = delete;

    // One press: one request (two when the fallback is learnt on it), to ip:port as configured (empty ip is
    // this PC, empty port Kodi's default).
    Outcome Press(const KodiButtonRow& button, const std::string& ip, const std::string& port,
                  const std::string& user, const std::string& password);

    // Closes the connection.
    void Close();

    // Whether this Kodi is sent Input.ExecuteAction (it did not know Input.ButtonEvent).
    bool UsesExecuteAction() const { return useExecuteAction_; }
    // Connections opened so far (for tests of the reuse).
    int ConnectionsOpened() const { return connectionsOpened_; }

  private:
    struct Exchange {
        Problem problem = Problem::None;
        int status = 0;
        std::string body{};
    };
    Exchange exchange(const Endpoint& endpoint, const std::string& request);
    // One attempt on the current connection (opened when there is none). retry is set when the attempt failed
    // on a reused connection before any byte of the reply, so the request can be sent again on a fresh one.
    Exchange attempt(const Endpoint& endpoint, const std::string& request, bool& retry);

    platform::Sockets* sockets_;
    Timeouts timeouts_;
    platform::Sockets::Socket socket_ = 0;
    std::string endpoint_; // host:port the connection goes to
    std::int64_t nextId_ = 1;
    bool useExecuteAction_ = false;
    int connectionsOpened_ = 0;
};

} // namespace kodi
