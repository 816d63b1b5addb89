// The JSON-RPC channel: each forwarded button becomes one Input.ButtonEvent request for Kodi's keymap "R1",
// and a notification one GUI.ShowNotification request, POSTed to Kodi's web server at /jsonrpc (default port
// 8080) with HTTP Basic authentication from the "user" and "password" keys, through the HTTP client port.
// Its session keeps one connection alive between requests; a request that fails on a kept connection
// before any byte of its reply (Kodi closed it meanwhile) is sent once more on a fresh one.
//
// A Kodi that answers that the method does not exist (error -32601, an older Kodi) is sent the button's
// action through Input.ExecuteAction instead, from then on.
//
// Every wait is bounded (Timeouts), so a press to a Kodi that is off, silent or refusing is dropped within a
// bounded time, and the outcome says why. A host that did not answer a connection attempt (a TV box that is
// off, say), or whose name did not resolve, is not tried again for HoldOff; one that refused it (Kodi not
// running) for RefusedHoldOff: the presses meanwhile are dropped at once, with the same outcome, instead of
// each costing another attempt. On Windows a refusal takes as long as the retries of the connection
// request (1 to 2 s, also on this PC), which the connect time-out leaves room for, so that a refusal is not
// taken for a host that is off.
#pragma once

#include "kodi/Channel.h"
#include "platform/HttpClient.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kodi {

class JsonRpc : public Channel {
  public:
    struct Timeouts {
        std::chrono::milliseconds connect{3000};
        std::chrono::milliseconds reply{2000};
    };
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::seconds HoldOff{5};
    static constexpr std::chrono::seconds RefusedHoldOff{2};
    static constexpr const char* Path = "/jsonrpc";
    static constexpr std::int64_t MethodNotFound = -32601;
    // Replies longer than this are not read (a button event's answer is some 40 bytes).
    static constexpr std::size_t MaxReply = 64 * 1024;

    // http may be null (no network: every press reports it). clock is the time source for the hold-offs.
    explicit JsonRpc(platform::HttpClient* http);
    JsonRpc(platform::HttpClient* http, Timeouts timeouts, Clock clock = std::chrono::steady_clock::now);
    ~JsonRpc() override;
    JsonRpc(const JsonRpc&) = delete;
    JsonRpc& operator=(const JsonRpc&) = delete;

    // The "IP Address" and "port" texts (empty host is this PC, empty port Kodi's default) and the
    // credentials.
    void Configure(const ChannelSettings& settings) override;
    // One press: one request (two when the fallback is learnt on it).
    Outcome Press(const KodiButtonRow& button) override;
    Outcome Notify(const Notification& notification) override;
    void Cancel() override;
    void Close() override;

    // Whether this Kodi is sent Input.ExecuteAction (it did not know Input.ButtonEvent).
    bool UsesExecuteAction() const { return useExecuteAction_; }

  private:
    struct Exchange {
        Problem problem = Problem::None;
        std::string reason{};
        int status = 0;
        std::string body{};
    };
    // One request, sent again once when the kept connection had been closed.
    Exchange exchange(const std::string& body);
    // One call: the body made with the next id; its answer must carry that id and a result.
    Outcome call(const std::function<std::string(std::int64_t id)>& body);

    std::unique_ptr<platform::HttpClient::Session> session_;
    Timeouts timeouts_;
    Clock clock_;
    std::optional<Endpoint> endpoint_; // none: "port" is not a port
    std::string user_;
    std::string password_;
    std::chrono::steady_clock::time_point holdOffUntil_{};
    Problem holdOffProblem_ = Problem::None;
    std::string holdOffReason_;
    std::int64_t nextId_ = 1;
    bool useExecuteAction_ = false;
};

} // namespace kodi
