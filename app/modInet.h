// modInet: the HTTP command channel. One POST request per command to the media center's web server: a fresh
// root handle, connection and request each time, the reply read in 2048-byte pieces, everything closed again.
// The key commands' path and body are the media center's (MediaCenter::SendKeyPath,
// MediaCenter::SendKeyBody).
#pragma once

#include <cstddef>
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

  private:
    platform::WinInet& wininet;
    const std::string& ip;
    const std::string& port;
};
