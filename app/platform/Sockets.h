// The sockets port: the UDP and TCP sockets that Kodi's two network channels use (its EventServer and its
// JSON-RPC web server). Every operation that can wait takes a time-out, so a silent peer costs one bounded
// wait on the user-interface thread, never a frozen program.
//
// Adapters: platform/win32/Win32Sockets (Winsock) and platform/posix/PosixSockets (BSD sockets, for host
// tests against servers on loopback).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class Sockets {
  public:
    // A socket of this port; 0 is none.
    using Socket = std::intptr_t;

    enum class Status {
        Ok,
        TimedOut,   // nothing happened within the time-out
        Refused,    // the peer's host answered that nothing listens on that port
        Closed,     // the peer ended the connection (or, for pending(), left something unread on it)
        NoSuchHost, // the host name could not be resolved
        Failed,     // any other error (network unreachable, reset, ...)
    };

    struct Opened {
        Socket socket = 0;
        Status status = Status::Failed;
    };

    virtual ~Sockets() = default;

    // A UDP socket connected to host:port (an IPv4 address of the name when it has one, else the first it
    // resolves to: see DatagramAddress.h), so that send() reaches that peer and a refusal from its host is
    // reported by a later call.
    virtual Opened openDatagram(const std::string& host, std::uint16_t port) = 0;

    // A TCP connection to host:port, trying each address the name resolves to, within timeout in all.
    virtual Opened connectStream(const std::string& host, std::uint16_t port,
                                 std::chrono::milliseconds timeout) = 0;

    // Sends all size bytes (one datagram on a UDP socket) within timeout.
    virtual Status send(Socket socket, const void* data, std::size_t size,
                        std::chrono::milliseconds timeout) = 0;

    // Waits up to timeout for data and reads what has arrived, at most size bytes, into buffer; received
    // is the count. Closed (received 0) when the peer ended the connection.
    virtual Status receive(Socket socket, void* buffer, std::size_t size, std::size_t& received,
                           std::chrono::milliseconds timeout) = 0;

    // What is waiting on the socket, without waiting: Ok when nothing is. On a TCP connection that is idle
    // between requests, Closed when the peer has ended it or left bytes on it (either way it can no longer
    // carry a request). On a UDP socket, Refused when the peer's host refused a datagram sent earlier; any
    // datagram received is dropped.
    virtual Status pending(Socket socket) = 0;

    virtual void close(Socket socket) = 0;
};

} // namespace platform
