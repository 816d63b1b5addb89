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
    case WSAECONNRESET: // on a UDP socket: the peer's host refused an earlier datagram (ICMP port
                        // unreachable)
        return Sockets::Status::Refused;
    case WSAETIMEDOUT:
    case WSAEWOULDBLOCK:
        return Sockets::Status::TimedOut;
    default:
        return Sockets::Status::Failed;
    }
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

// Waits until the socket can take a datagram; false on time-out.
bool waitWritable(SOCKET s, std::chrono::milliseconds timeout) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    const long long ms = std::min<long long>(timeout.count(), INT_MAX);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    return select(0, nullptr, &writable, nullptr, &tv) > 0;
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
        const Status status = statusOf(WSAGetLastError());
        closesocket(s);
        return {0, status};
    }
    return {handle(s), Status::Ok};
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
            return statusOf(error);
        }
        if (!waitWritable(sock(socket), left(deadline))) {
            return Status::TimedOut;
        }
    } while (sent < size);
    return Status::Ok;
}

Sockets::Status Win32Sockets::pending(Socket socket) {
    const SOCKET s = sock(socket);
    char byte;
    // Drain the socket (a bounded number of datagrams, so a flood cannot hold the caller); a
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
        return statusOf(error);
    }
    return Status::Ok;
}

void Win32Sockets::close(Socket socket) {
    if (socket != 0) {
        closesocket(sock(socket));
    }
}

} // namespace platform
