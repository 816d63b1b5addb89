// modInet: HttpSendCommand and the key-command path.
#include "modInet.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

using platform::WinInet;

namespace {

const char* const UserAgent = "http generic";
const char* const ContentTypeHeader = "Content-Type: application/x-www-form-urlencoded\r\n";
constexpr std::uint32_t ContentTypeHeaderLength = 49;

// The port text as a TCP port: decimal digits only, 1 to 65535. Anything else has no port.
std::optional<std::uint16_t> TcpPort(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535)
            return std::nullopt;
    }
    if (value == 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace

modInet::modInet(WinInet& wininet, const std::string& ip, const std::string& port)
    : wininet(wininet), ip(ip), port(port) {}

void modInet::SetTimeouts(WinInet::Handle handle) {
    wininet.internetSetOption(handle, WinInet::OptionConnectTimeout, Limits.connectMs);
    wininet.internetSetOption(handle, WinInet::OptionSendTimeout, Limits.sendMs);
    wininet.internetSetOption(handle, WinInet::OptionReceiveTimeout, Limits.receiveMs);
}

std::string modInet::HttpSendCommand(const std::string& body) {
    static_assert(std::char_traits<char>::length("Content-Type: application/x-www-form-urlencoded\r\n") ==
                  ContentTypeHeaderLength);
    std::string reply;
    const auto deadline = Now() + Limits.replyTime;

    // 1. The root handle, with the system's configured proxy settings and the time-outs.
    WinInet::Handle hInternet =
        wininet.internetOpen(UserAgent, WinInet::OpenTypePreconfig, nullptr, nullptr, 0);
    if (hInternet == 0)
        return reply;
    SetTimeouts(hInternet);

    // 2. The connection to ip:port. A port text that is no TCP port fails this step.
    WinInet::Handle hConnect = 0;
    if (std::optional<std::uint16_t> serverPort = TcpPort(port))
        hConnect = wininet.internetConnect(hInternet, ip.c_str(), *serverPort, nullptr, nullptr,
                                           WinInet::ServiceHttp, 0, 0);
    if (hConnect != 0) {
        // 3. The request: POST CommandPath HTTP/1.0, never answered from a cache.
        WinInet::Handle hRequest = wininet.httpOpenRequest(hConnect, "POST", CommandPath.c_str(), "HTTP/1.0",
                                                           nullptr, nullptr, WinInet::FlagReload, 0);
        if (hRequest != 0) {
            // Again on the request: Wine's WinInet does not hand the root handle's time-outs down.
            SetTimeouts(hRequest);
            // 4. The content type. 5. The body. Neither outcome decides anything: the reply is read
            // regardless.
            wininet.httpAddRequestHeaders(hRequest, ContentTypeHeader, ContentTypeHeaderLength,
                                          WinInet::AddReqFlagAdd | WinInet::AddReqFlagReplace);
            wininet.httpSendRequest(hRequest, nullptr, 0, body.data(),
                                    static_cast<std::uint32_t>(body.size()));

            // 6. The reply in 2048-byte pieces until a read brings nothing or fails, or the reply time is
            // up. Beyond ReplyLimit the pieces are still read, so the exchange ends as the server ends it,
            // but no longer kept.
            char buffer[ReadPiece];
            while (Now() < deadline) {
                std::memset(buffer, 0, sizeof buffer);
                std::uint32_t bytesRead = 0;
                bool ok = wininet.internetReadFile(hRequest, buffer, sizeof buffer, bytesRead);
                std::size_t n = std::min<std::size_t>(bytesRead, sizeof buffer);
                std::size_t kept = std::min(n, ReplyLimit - reply.size());
                reply.append(buffer, kept);
                if (!ok || n == 0)
                    break;
            }

            // 7. Close the request.
            wininet.internetCloseHandle(hRequest);
        }
        // 8. Close the connection.
        wininet.internetCloseHandle(hConnect);
    }
    // 9. Close the root handle.
    wininet.internetCloseHandle(hInternet);
    return reply;
}
