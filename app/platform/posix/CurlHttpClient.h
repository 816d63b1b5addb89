// The HTTP client port over libcurl, for the host: one easy handle per session, whose connection cache keeps
// the connection between requests. libcurl sends a request again, once, on a fresh connection when a kept one
// turns out closed before any byte of the reply: the port's retry comes from libcurl here (Reply::reused
// stays false after it). No proxy is used: the server is Kodi on this network.
#pragma once

#include "platform/HttpClient.h"

namespace platform {

class CurlHttpClient : public HttpClient {
  public:
    CurlHttpClient();
    std::unique_ptr<Session> openSession() override;
};

} // namespace platform
