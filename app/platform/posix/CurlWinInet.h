// The wininet port over libcurl, for the host: real HTTP over real sockets, so the program's requests can be
// checked against a server on loopback. It behaves as WinInet does for the calls the program makes:
//  - internetOpen and internetConnect only record their arguments; nothing touches the network before
//    httpSendRequest, which sends the request and returns once the reply's headers have arrived;
//  - internetReadFile hands out the reply body as it comes, holding at most a small window of it in memory;
//  - the configured proxy of the system is the one named by the environment (http_proxy, no_proxy), as
//  libcurl
//    reads it;
//  - the time-outs are WinInet's defaults (see Timeouts; a test may construct the adapter with others) unless
//    internetSetOption sets them on a handle, which then holds for the handles opened below it afterwards.
//    The connect time-out bounds the connection; the receive time-out ends a transfer that brings nothing for
//    that long (libcurl's low-speed limit, in whole seconds, rounded up). The send time-out is kept but has
//    nothing to bound: libcurl hands a request of this size to the socket at once.
// Closing a handle closes the handles opened below it as well.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/WinInet.h"

namespace platform {

class CurlWinInet : public WinInet {
  public:
    struct Timeouts {
        // WinInet waits 60 seconds for a connection (INTERNET_OPTION_CONNECT_TIMEOUT, 60000 ms by default).
        std::chrono::milliseconds connect{60000};
        // WinInet 7 and later give up on a reply after 30 seconds without data
        // (INTERNET_OPTION_RECEIVE_TIMEOUT, 30000 ms by default; older versions waited 5 or 60 minutes).
        std::chrono::milliseconds receive{30000};
    };

    CurlWinInet();
    explicit CurlWinInet(Timeouts timeouts);
    ~CurlWinInet() override;
    CurlWinInet(const CurlWinInet&) = delete;
    CurlWinInet& operator=(const CurlWinInet&) = delete;

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

    // Handles open now (for tests: every exchange must leave none behind).
    std::size_t openHandles() const { return handles_.size(); }

  private:
    struct Node;
    struct Transfer;
    Handle add(std::unique_ptr<Node> node);
    Node* find(Handle handle, int kind);

    Timeouts timeouts_;
    void* multi_ = nullptr;     // CURLM*, shared by this adapter's transfers
    void* spareEasy_ = nullptr; // CURL*, a finished transfer's handle, reset, for the next request
    std::map<Handle, std::unique_ptr<Node>> handles_;
    Handle next_ = 1;
};

} // namespace platform
