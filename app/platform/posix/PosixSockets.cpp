// PosixSockets: getaddrinfo, socket, connect, send, recv and poll.
#include "platform/posix/PosixSockets.h"

#include "platform/DatagramAddress.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams dropped by one pending() at most.
constexpr int MaxDrained = 64;

// Socket handles are the descriptor plus one, so that 0 stays "none".
int fd(Sockets::Socket socket) {
    return static_cast<int>(socket - 1);
}
Sockets::Socket handle(int fd) {
    return static_cast<Sockets::Socket>(fd) + 1;
}

Sockets::Status statusOf(int error) {
    switch (error) {
    case ECONNREFUSED:
        return Sockets::Status::Refused;
    case ETIMEDOUT:
    case EAGAIN:
        return Sockets::Status::TimedOut;
    default:
        return Sockets::Status::Failed;
    }
}

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrList = std::unique_ptr<addrinfo, AddrInfoFree>;

AddrList resolve(const std::string& host, std::uint16_t port, int type) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) {
        return nullptr;
    }
    return AddrList(list);
}

int openNonBlocking(const addrinfo& address) {
    return socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
}

// Waits until the socket is ready for `events`; false on time-out. A negative remaining time waits not at
// all.
bool waitFor(int socket, short events, std::chrono::milliseconds timeout) {
    pollfd p{socket, events, 0};
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int n = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

} // namespace

Sockets::Opened PosixSockets::openDatagram(const std::string& host, std::uint16_t port) {
    AddrList list = resolve(host, port, SOCK_DGRAM);
    if (!list) {
        return {0, Status::NoSuchHost};
    }
    const addrinfo& first = *preferIpv4(list.get(), AF_INET);
    const int s = openNonBlocking(first);
    if (s < 0) {
        return {0, Status::Failed};
    }
    if (connect(s, first.ai_addr, first.ai_addrlen) != 0) {
        const Status status = statusOf(errno);
        ::close(s);
        return {0, status};
    }
    return {handle(s), Status::Ok};
}

Sockets::Status PosixSockets::send(Socket socket, const void* data, std::size_t size,
                                   std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    do {
        const ssize_t n = ::send(fd(socket), bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return statusOf(errno);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (!waitFor(fd(socket), POLLOUT, left)) {
            return Status::TimedOut;
        }
    } while (sent < size);
    return Status::Ok;
}

Sockets::Status PosixSockets::pending(Socket socket) {
    char byte;
    // Drain the socket (a bounded number of datagrams, so a flood cannot hold the caller); a
    // refusal reported by the peer's host shows up as the error of a read.
    for (int i = 0; i < MaxDrained; ++i) {
        const ssize_t n = recv(fd(socket), &byte, 1, 0);
        if (n >= 0 || errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return Status::Ok;
        }
        return statusOf(errno);
    }
    return Status::Ok;
}

void PosixSockets::close(Socket socket) {
    if (socket != 0) {
        ::close(fd(socket));
    }
}

} // namespace platform
