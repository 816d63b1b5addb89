// The sockets port: the UDP sockets of Kodi's EventServer channel (the JSON-RPC channel goes through the HTTP
// client port). Every operation that can wait takes a time-out. The Kodi worker's thread and the settings
// window's connection test use it, each with sockets of its own.
//
// Adapters: platform/win32/Win32Sockets (Winsock) and platform/posix/PosixSockets (BSD sockets, for host
// tests against peers on loopback).
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
        NoSuchHost, // the host name could not be resolved
        Failed,     // any other error (network unreachable, ...)
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

    // Sends one datagram of size bytes within timeout.
    virtual Status send(Socket socket, const void* data, std::size_t size,
                        std::chrono::milliseconds timeout) = 0;

    // What is waiting on the socket, without waiting: Ok when nothing is, Refused when the peer's host
    // refused a datagram sent earlier. Any datagram received is dropped.
    virtual Status pending(Socket socket) = 0;

    virtual void close(Socket socket) = 0;
};

} // namespace platform
