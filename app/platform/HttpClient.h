// The HTTP client port: POST requests to a web server over kept-alive HTTP/1.1 connections, with Basic
// authentication, every wait bounded and the reply's size bounded. Kodi's JSON-RPC channel and its connection
// test use it, from the Kodi worker's thread or the settings window's: a session belongs to one thread at a
// time, except cancel(), which any thread may call.
//
// Adapters: platform/win32/Win32HttpClient (WinHTTP) and platform/posix/CurlHttpClient (libcurl, for host
// tests against servers on loopback).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class HttpClient {
  public:
    enum class Status {
        Ok,              // a whole reply arrived, whatever its HTTP status
        NoSuchHost,      // the host name could not be resolved (or is no host name at all)
        Refused,         // the host refused the connection, or could not be reached
        ConnectTimedOut, // no connection within connectTimeout
        TimedOut,        // connected, but no whole reply within replyTimeout
        Dropped,         // the connection ended before any byte of the reply
        Truncated,       // the connection ended in the middle of the reply
        BadReply,        // what came back is not an HTTP reply
        TooLarge,        // the reply's body is longer than maxReply
        Cancelled,       // cancel() cut the request short
        Failed,          // anything else
    };

    struct Request {
        std::string host; // a name or an address, as configured
        std::uint16_t port = 0;
        std::string path;
        std::string contentType;
        std::string body;
        // Basic authentication when either is not empty: the Base64 of the UTF-8 bytes "user:password", sent
        // with the first request (no challenge round trip).
        std::string user;
        std::string password;
        std::chrono::milliseconds connectTimeout{3000}; // name lookup and connection
        std::chrono::milliseconds replyTimeout{2000};   // from the request sent to the whole reply read
        std::size_t maxReply = 64 * 1024;
    };

    struct Reply {
        Status status = Status::Failed;
        int httpStatus = 0;
        std::string body;
        // The request went out on a connection kept from an earlier request of this session. A Dropped reply
        // on such a connection means the server had closed it meanwhile: the request may be sent once more.
        bool reused = false;
        std::string error; // the platform's account of a failure, for the log
    };

    class Session {
      public:
        virtual ~Session() = default;
        // One request and its reply. The connection is kept for the next request when the server allows.
        virtual Reply post(const Request& request) = 0;
        // From any thread: ends the post() in progress soon, with Cancelled, and its connection with it. A
        // post() that begins afterwards is not affected.
        virtual void cancel() = 0;
        // Closes the kept connection.
        virtual void close() = 0;
    };

    virtual ~HttpClient() = default;
    // A session of its own: its own connection, independent of every other session.
    virtual std::unique_ptr<Session> openSession() = 0;
};

} // namespace platform
