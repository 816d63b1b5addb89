// The wininet port in memory, for host tests of the program: every call is logged, every sent request is
// recorded (server, port, verb, object, version, headers, body), the reply is scripted, and any step can be
// made to fail. Handles are small numbers; a handle is valid from its open to its close. Time is simulated: a
// silent server costs the receive time-out set on the request (WinInet's default without one), an endless
// reply a fixed time per read; now() tells the simulated time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/WinInet.h"

namespace platform {

class SimWinInet : public WinInet {
  public:
    enum class Step { Open, Connect, OpenRequest, AddHeaders, Send, Read, Close, SetOption };

    // WinInet's receive time-out when none is set (INTERNET_OPTION_RECEIVE_TIMEOUT, 30 s since WinInet 7).
    static constexpr std::uint32_t DefaultReceiveTimeoutMs = 30000;

    struct Request {
        std::string agent;
        std::uint32_t accessType = 0;
        std::string server;
        std::uint16_t port = 0;
        std::uint32_t service = 0;
        std::string verb;
        std::string object;
        std::string version;
        std::uint32_t flags = 0;
        std::string headers; // the header lines added before the send, as given (CR LF included)
        std::uint32_t headerModifiers = 0;
        std::string body;
        std::map<std::uint32_t, std::uint32_t> options; // the request handle's options when it was sent
    };

    struct Reply {
        std::string body;
        std::size_t maxPiece = SIZE_MAX; // at most this many bytes per read, even when more are asked for
        // The server accepts the request and never answers: the send waits the receive time-out and fails.
        bool silent = false;
        // The body never ends: the reply's body is repeated for ever (an empty body gives 'x's).
        bool endless = false;
        std::chrono::milliseconds perRead{0}; // simulated time each read takes
    };

    // Steps made to fail return 0 or false and leave nothing open.
    void failStep(Step step, bool fail = true);
    // The reply every following request receives (default: an empty body).
    void setReply(Reply reply) { reply_ = std::move(reply); }

    const std::vector<Request>& requests() const { return sent_; }
    // Each call in order: "internetOpen", "internetConnect", "httpOpenRequest", "httpAddRequestHeaders",
    // "httpSendRequest", "internetReadFile", "internetCloseHandle".
    const std::vector<std::string>& calls() const { return calls_; }
    // Handles opened and not yet closed.
    std::size_t openHandles() const { return open_.size(); }
    // Every handle handed out, in order, and every successful close, in order.
    const std::vector<Handle>& opened() const { return openedOrder_; }
    const std::vector<Handle>& closed() const { return closedOrder_; }
    // Reply bytes handed out by internetReadFile over the whole run.
    std::size_t bytesDelivered() const { return bytesDelivered_; }
    // The simulated clock, moved on only by the waits modelled here.
    std::chrono::steady_clock::time_point now() const { return epoch_ + elapsed_; }

    Handle internetOpen(const char* agent, std::uint32_t accessType, const char* proxy,
                        const char* proxyBypass, std::uint32_t flags) override;
    bool internetSetOption(Handle internet, std::uint32_t option, std::uint32_t value) override;
    Handle internetConnect(Handle internet, const char* serverName, std::uint16_t serverPort,
                           const char* userName, const char* password, std::uint32_t service,
                           std::uint32_t flags, std::uintptr_t context) override;
    Handle httpOpenRequest(Handle connect, const char* verb, const char* objectName, const char* version,
                           const char* referrer, const char* const* acceptTypes, std::uint32_t flags,
                           std::uintptr_t context) override;
    bool httpAddRequestHeaders(Handle request, const char* headers, std::uint32_t headersLength,
                               std::uint32_t modifiers) override;
    bool httpSendRequest(Handle request, const char* headers, std::uint32_t headersLength,
                         const void* optional, std::uint32_t optionalLength) override;
    bool internetReadFile(Handle file, void* buffer, std::uint32_t bytesToRead,
                          std::uint32_t& bytesRead) override;
    bool internetCloseHandle(Handle internet) override;

  private:
    enum class Kind { Root, Connection, Request };
    struct Open {
        Kind kind;
        Handle parent;
        Request request; // what is known of the request so far (root, connection and request fields)
        bool sent = false;
        std::size_t readAt = 0; // position in the reply body
        std::map<std::uint32_t, std::uint32_t> options;
    };

    Handle add(Kind kind, Handle parent, Request request);
    Open* find(Handle handle, Kind kind);

    std::set<Step> failing_;
    Reply reply_;
    std::map<Handle, Open> open_;
    Handle next_ = 0x100;
    std::vector<Request> sent_;
    std::vector<std::string> calls_;
    std::vector<Handle> openedOrder_;
    std::vector<Handle> closedOrder_;
    std::size_t bytesDelivered_ = 0;
    std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
    std::chrono::milliseconds elapsed_{0};
};

} // namespace platform
