// PosixSockets: getaddrinfo, socket, connect, send, recv and poll.
#include "platform/posix/PosixSockets.h"

#include "platform/DatagramAddress.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
    case ECONNRESET:
    case EPIPE:
        return Sockets::Status::Closed;
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

Sockets::Opened PosixSockets::connectStream(const std::string& host, std::uint16_t port,
                                            std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    AddrList list = resolve(host, port, SOCK_STREAM);
    if (!list) {
        return {0, Status::NoSuchHost};
    }
    Status status = Status::Failed;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        const int s = openNonBlocking(*a);
        if (s < 0) {
            continue;
        }
        int error = 0;
        if (connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (!waitFor(s, POLLOUT, left)) {
                    error = ETIMEDOUT;
                } else {
                    socklen_t length = sizeof error;
                    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                        error = errno;
                    }
                }
            }
        }
        if (error == 0) {
            // Requests are written whole; nothing gains from holding a short one back.
            const int on = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return {handle(s), Status::Ok};
        }
        ::close(s);
        status = statusOf(error);
        if (status == Status::TimedOut) {
            break; // the whole budget is spent
        }
    }
    return {0, status};
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

Sockets::Status PosixSockets::receive(Socket socket, void* buffer, std::size_t size, std::size_t& received,
                                      std::chrono::milliseconds timeout) {
    received = 0;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const ssize_t n = recv(fd(socket), buffer, size, 0);
        if (n > 0) {
            received = static_cast<std::size_t>(n);
            return Status::Ok;
        }
        if (n == 0) {
            return Status::Closed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return statusOf(errno);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !waitFor(fd(socket), POLLIN, left)) {
            return Status::TimedOut;
        }
    }
}

Sockets::Status PosixSockets::pending(Socket socket) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd(socket), SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        return Status::Failed;
    }
    char byte;
    if (type == SOCK_STREAM) {
        const ssize_t n = recv(fd(socket), &byte, 1, MSG_PEEK);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Status::Ok;
        }
        return Status::Closed;
    }
    // A datagram socket: drain it (a bounded number of datagrams, so a flood cannot hold the caller); a
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
