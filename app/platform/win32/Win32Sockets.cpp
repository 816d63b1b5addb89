// Win32Sockets: WSAStartup, getaddrinfo, socket, connect, send, recv and select.
#include "platform/win32/Win32Sockets.h"

#include "platform/DatagramAddress.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams dropped by one pending() at most.
constexpr int MaxDrained = 64;

// Socket handles are the SOCKET plus one, so that 0 stays "none".
SOCKET sock(Sockets::Socket socket) {
    return static_cast<SOCKET>(socket - 1);
}
Sockets::Socket handle(SOCKET s) {
    return static_cast<Sockets::Socket>(s) + 1;
}

Sockets::Status statusOf(int error) {
    switch (error) {
    case WSAECONNREFUSED:
        return Sockets::Status::Refused;
    case WSAETIMEDOUT:
    case WSAEWOULDBLOCK:
        return Sockets::Status::TimedOut;
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
        return Sockets::Status::Closed;
    default:
        return Sockets::Status::Failed;
    }
}

// WSAECONNRESET on a UDP socket is the peer's host refusing an earlier datagram (ICMP port unreachable); on a
// TCP connection it is the peer resetting it.
Sockets::Status statusOf(SOCKET s, int error) {
    if (error != WSAECONNRESET) {
        return statusOf(error);
    }
    int type = 0;
    int length = sizeof type;
    getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length);
    return type == SOCK_DGRAM ? Sockets::Status::Refused : Sockets::Status::Closed;
}

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

addrinfo* resolve(const std::string& host, std::uint16_t port, int type) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) {
        return nullptr;
    }
    return list;
}

SOCKET openNonBlocking(const addrinfo& address) {
    SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        return s;
    }
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    return s;
}

std::chrono::milliseconds left(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

// Waits until the socket is writable (connected, for a connect in progress) or readable; false on time-out.
// failed is set when select reports the socket in its exception set (a connect that failed).
bool waitFor(SOCKET s, bool write, std::chrono::milliseconds timeout, bool* failed = nullptr) {
    fd_set readable, writable, exceptional;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&exceptional);
    FD_SET(s, write ? &writable : &readable);
    FD_SET(s, &exceptional);
    const long long ms = std::min<long long>(timeout.count(), INT_MAX);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    const int n = select(0, &readable, &writable, &exceptional, &tv);
    if (n <= 0) {
        return false;
    }
    if (failed != nullptr) {
        *failed = FD_ISSET(s, &exceptional) != 0;
    }
    return true;
}

} // namespace

Win32Sockets::Win32Sockets() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Win32Sockets::~Win32Sockets() {
    if (started_) {
        WSACleanup();
    }
}

Sockets::Opened Win32Sockets::openDatagram(const std::string& host, std::uint16_t port) {
    if (!started_) {
        return {0, Status::Failed};
    }
    std::unique_ptr<addrinfo, AddrInfoFree> list(resolve(host, port, SOCK_DGRAM));
    if (!list) {
        return {0, Status::NoSuchHost};
    }
    const addrinfo& address = *preferIpv4(list.get(), AF_INET);
    const SOCKET s = openNonBlocking(address);
    if (s == INVALID_SOCKET) {
        return {0, Status::Failed};
    }
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        const Status status = statusOf(s, WSAGetLastError());
        closesocket(s);
        return {0, status};
    }
    return {handle(s), Status::Ok};
}

Sockets::Opened Win32Sockets::connectStream(const std::string& host, std::uint16_t port,
                                            std::chrono::milliseconds timeout) {
    if (!started_) {
        return {0, Status::Failed};
    }
    const auto deadline = Clock::now() + timeout;
    std::unique_ptr<addrinfo, AddrInfoFree> list(resolve(host, port, SOCK_STREAM));
    if (!list) {
        return {0, Status::NoSuchHost};
    }
    Status status = Status::Failed;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        const SOCKET s = openNonBlocking(*a);
        if (s == INVALID_SOCKET) {
            continue;
        }
        int error = 0;
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                bool failed = false;
                if (!waitFor(s, true, left(deadline), &failed)) {
                    error = WSAETIMEDOUT;
                } else {
                    error = 0;
                    int length = sizeof error;
                    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
                    if (failed && error == 0) {
                        error = WSAECONNREFUSED;
                    }
                }
            }
        }
        if (error == 0) {
            // Requests are written whole; nothing gains from holding a short one back.
            const BOOL on = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            return {handle(s), Status::Ok};
        }
        closesocket(s);
        status = statusOf(error);
        if (status == Status::TimedOut) {
            break; // the whole budget is spent
        }
    }
    return {0, status};
}

Sockets::Status Win32Sockets::send(Socket socket, const void* data, std::size_t size,
                                   std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    do {
        const int chunk = static_cast<int>(std::min<std::size_t>(size - sent, INT_MAX));
        const int n = ::send(sock(socket), bytes + sent, chunk, 0);
        if (n != SOCKET_ERROR) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return statusOf(sock(socket), error);
        }
        if (!waitFor(sock(socket), true, left(deadline))) {
            return Status::TimedOut;
        }
    } while (sent < size);
    return Status::Ok;
}

Sockets::Status Win32Sockets::receive(Socket socket, void* buffer, std::size_t size, std::size_t& received,
                                      std::chrono::milliseconds timeout) {
    received = 0;
    const auto deadline = Clock::now() + timeout;
    const int want = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    for (;;) {
        const int n = recv(sock(socket), static_cast<char*>(buffer), want, 0);
        if (n > 0) {
            received = static_cast<std::size_t>(n);
            return Status::Ok;
        }
        if (n == 0) {
            return Status::Closed;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return statusOf(sock(socket), error);
        }
        const auto wait = left(deadline);
        if (wait.count() <= 0 || !waitFor(sock(socket), false, wait)) {
            return Status::TimedOut;
        }
    }
}

Sockets::Status Win32Sockets::pending(Socket socket) {
    const SOCKET s = sock(socket);
    int type = 0;
    int length = sizeof type;
    if (getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0) {
        return Status::Failed;
    }
    char byte;
    if (type == SOCK_STREAM) {
        const int n = recv(s, &byte, 1, MSG_PEEK);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            return Status::Ok;
        }
        return Status::Closed;
    }
    // A datagram socket: drain it (a bounded number of datagrams, so a flood cannot hold the caller); a
    // refusal reported by the peer's host shows up as the error of a read.
    for (int i = 0; i < MaxDrained; ++i) {
        const int n = recv(s, &byte, 1, 0);
        if (n != SOCKET_ERROR) {
            continue;
        }
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            return Status::Ok;
        }
        if (error == WSAEMSGSIZE) {
            continue; // a datagram longer than one byte, dropped
        }
        return statusOf(s, error);
    }
    return Status::Ok;
}

void Win32Sockets::close(Socket socket) {
    if (socket != 0) {
        closesocket(sock(socket));
    }
}

} // namespace platform
