// modInet: the HTTP command channel. One POST request per command to the media center's web server: a fresh
// root handle, connection and request each time, the reply read in 2048-byte pieces, everything closed again.
#pragma once

#include <cstddef>
#include <string>

#include "platform/WinInet.h"

// Request path of a key command without its parameter; the button code follows in decimal.
inline constexpr const char* SendKeyPathPrefix = "/xbmcCmds/xbmcHttp?command=SendKey&parameter=";

// The request path of the SendKey command for one button code, e.g. SendKeyPath(167) is
// "/xbmcCmds/xbmcHttp?command=SendKey&parameter=167".
std::string SendKeyPath(int buttonCode);

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
