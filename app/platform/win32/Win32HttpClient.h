// The HTTP client port on Windows: WinHTTP, synchronous, one WinHTTP session per port session (WinHTTP keeps
// its connections alive per session). Basic credentials are sent as a header made here, the Base64 of the
// UTF-8 bytes (CryptBinaryToStringA), with the first request. No proxy, no redirects: the server is Kodi on
// this network.
#pragma once

#include "platform/HttpClient.h"

namespace platform {

class Win32HttpClient : public HttpClient {
  public:
    std::unique_ptr<Session> openSession() override;
};

} // namespace platform
