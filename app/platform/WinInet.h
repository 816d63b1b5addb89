// The wininet port: the calls of the platform's Internet client that the HTTP command channel makes,
// shaped as the platform shapes them (handles, flags, lengths), so that HttpSendCommand reads as the sequence
// of platform calls it is.
//
// Adapters: platform/win32/Win32WinInet (WinInet itself), platform/posix/CurlWinInet (libcurl, for host tests
// against a real server on loopback) and platform/sim/SimWinInet (recorded in memory, scripted replies).
#pragma once

#include <cstdint>

namespace platform {

class WinInet {
  public:
    // An Internet handle: the root session, a connection or a request. 0 means none (a failed call).
    using Handle = std::uintptr_t;

    // The platform's values, under names that do not clash with <wininet.h>'s macros.
    static constexpr std::uint32_t OpenTypePreconfig = 0; // INTERNET_OPEN_TYPE_PRECONFIG: configured proxy
    static constexpr std::uint32_t OpenTypeDirect = 1;    // INTERNET_OPEN_TYPE_DIRECT
    static constexpr std::uint32_t OpenTypeProxy = 3;     // INTERNET_OPEN_TYPE_PROXY
    static constexpr std::uint32_t ServiceHttp = 3;       // INTERNET_SERVICE_HTTP
    static constexpr std::uint16_t DefaultPort = 0; // INTERNET_INVALID_PORT_NUMBER: the service's default
    static constexpr std::uint32_t FlagReload = 0x80000000u;        // INTERNET_FLAG_RELOAD
    static constexpr std::uint32_t AddReqFlagAdd = 0x20000000u;     // HTTP_ADDREQ_FLAG_ADD
    static constexpr std::uint32_t AddReqFlagReplace = 0x80000000u; // HTTP_ADDREQ_FLAG_REPLACE
    static constexpr std::uint32_t LengthOfText = 0xFFFFFFFFu;      // a header length of -1: up to the NUL
    static constexpr std::uint32_t OptionConnectTimeout = 2;        // INTERNET_OPTION_CONNECT_TIMEOUT, ms
    static constexpr std::uint32_t OptionSendTimeout = 5;           // INTERNET_OPTION_SEND_TIMEOUT, ms
    static constexpr std::uint32_t OptionReceiveTimeout = 6;        // INTERNET_OPTION_RECEIVE_TIMEOUT, ms

    virtual ~WinInet() = default;

    // InternetOpenA. proxy and proxyBypass may be null.
    virtual Handle internetOpen(const char* agent, std::uint32_t accessType, const char* proxy,
                                const char* proxyBypass, std::uint32_t flags) = 0;

    // InternetSetOptionA with a 32-bit value (the time-outs above). Set on a handle, an option holds for the
    // handles opened below it afterwards.
    virtual bool internetSetOption(Handle internet, std::uint32_t option, std::uint32_t value) = 0;

    // InternetConnectA. userName and password may be null.
    virtual Handle internetConnect(Handle internet, const char* serverName, std::uint16_t serverPort,
                                   const char* userName, const char* password, std::uint32_t service,
                                   std::uint32_t flags, std::uintptr_t context) = 0;

    // HttpOpenRequestA. version, referrer and acceptTypes may be null; acceptTypes is a null-terminated list.
    virtual Handle httpOpenRequest(Handle connect, const char* verb, const char* objectName,
                                   const char* version, const char* referrer, const char* const* acceptTypes,
                                   std::uint32_t flags, std::uintptr_t context) = 0;

    // HttpAddRequestHeadersA: one or more header lines, each ended by CR LF; length LengthOfText means up to
    // the terminating NUL.
    virtual bool httpAddRequestHeaders(Handle request, const char* headers, std::uint32_t headersLength,
                                       std::uint32_t modifiers) = 0;

    // HttpSendRequestA: sends the request with optional extra headers and the optional body; true once the
    // reply's headers have arrived.
    virtual bool httpSendRequest(Handle request, const char* headers, std::uint32_t headersLength,
                                 const void* optional, std::uint32_t optionalLength) = 0;

    // InternetReadFile: up to bytesToRead bytes of the reply body, returning as soon as some have arrived (a
    // reply that trickles in holds a read no longer than the receive time-out); bytesRead 0 with true means
    // the end.
    virtual bool internetReadFile(Handle file, void* buffer, std::uint32_t bytesToRead,
                                  std::uint32_t& bytesRead) = 0;

    // InternetCloseHandle.
    virtual bool internetCloseHandle(Handle internet) = 0;
};

} // namespace platform
