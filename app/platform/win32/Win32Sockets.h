// The sockets port on Windows: Winsock 2. Sockets are non-blocking; every wait is a select() bounded by the
// caller's time-out. Winsock is started with the adapter and cleaned up with it.
#pragma once

#include "platform/Sockets.h"

namespace platform {

class Win32Sockets : public Sockets {
  public:
    Win32Sockets();
    ~Win32Sockets() override;
    Win32Sockets(const Win32Sockets&) = delete;
    Win32Sockets& operator=(const Win32Sockets&) = delete;

    Opened openDatagram(const std::string& host, std::uint16_t port) override;
    Status send(Socket socket, const void* data, std::size_t size,
                std::chrono::milliseconds timeout) override;
    Status pending(Socket socket) override;
    void close(Socket socket) override;

  private:
    bool started_ = false;
};

} // namespace platform
