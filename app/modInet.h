// modInet: the HTTP command channel. One POST request per command to the media center's web server: a fresh
// root handle, connection and request each time, the reply read in 2048-byte pieces, everything closed again.
// The key commands' path and body are the media center's (MediaCenter::SendKeyPath,
// MediaCenter::SendKeyBody).
//
// The exchange runs on the user-interface thread, so its every wait is bounded: connect, send and receive
// time-outs are set on the root handle (and again on the request), and a reply still coming after
// ReplyTime is cut there. A silent server costs one receive time-out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/WinInet.h"

class modInet {
  public:
    // ip and port are the main form's variables; both are read afresh on every call.
    modInet(platform::WinInet& wininet, const std::string& ip, const std::string& port);

    // Request path (object name and query) of the next command; the caller sets it right before the call.
    std::string CommandPath;

    // Sends body as a POST to CommandPath on ip:port and returns the reply body (empty when no request could
    // be made). At most ReplyLimit bytes are kept; the rest of a longer reply is read and dropped.
    std::string HttpSendCommand(const std::string& body);

    static constexpr std::size_t ReadPiece = 2048;
    static constexpr std::size_t ReplyLimit = 1024 * 1024;

    // The bounds of one exchange. The defaults are the program's; tests may shorten them.
    struct TimeLimits {
        std::uint32_t connectMs = 3000; // INTERNET_OPTION_CONNECT_TIMEOUT
        std::uint32_t sendMs = 3000;    // INTERNET_OPTION_SEND_TIMEOUT
        std::uint32_t receiveMs =
            3000; // INTERNET_OPTION_RECEIVE_TIMEOUT: the longest wait for any reply data
        // No read starts once this much time has passed since the exchange began.
        std::chrono::milliseconds replyTime{10000};
    };
    TimeLimits Limits;
    // The clock the reply time is measured by.
    std::function<std::chrono::steady_clock::time_point()> Now = [] {
        return std::chrono::steady_clock::now();
    };

  private:
    void SetTimeouts(platform::WinInet::Handle handle);

    platform::WinInet& wininet;
    const std::string& ip;
    const std::string& port;
};
