// The sockets port over BSD sockets, for the host: real UDP, so the EventServer channel can be checked
// against peers on loopback. Sockets are non-blocking; every wait is a poll() bounded by the caller's
// time-out.
#pragma once

#include "platform/Sockets.h"

namespace platform {

class PosixSockets : public Sockets {
  public:
    Opened openDatagram(const std::string& host, std::uint16_t port) override;
    Status send(Socket socket, const void* data, std::size_t size,
                std::chrono::milliseconds timeout) override;
    Status pending(Socket socket) override;
    void close(Socket socket) override;
};

} // namespace platform
