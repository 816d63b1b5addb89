// The host-side feeder of the virtual XBMC.dll (POSIX sockets).
#include "Feeder.h"

#include "hidlib/LineProtocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hidfeed {

namespace {

// Milliseconds left until deadline, at least 0.
int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

Feeder::~Feeder() {
    closeConnection();
    if (listener_ >= 0) {
        ::close(listener_);
    }
}

std::uint16_t Feeder::listen(std::uint16_t port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        return 0;
    }
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener_);
        listener_ = -1;
        return 0;
    }
    return ntohs(address.sin_port);
}

bool Feeder::accept(std::chrono::milliseconds timeout) {
    if (listener_ < 0) {
        return false;
    }
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0) {
        return false;
    }
    pending_.clear();
    const auto hello = readLine(timeout);
    if (!hello || *hello != hidlib::wire::kHello) {
        closeConnection();
        return false;
    }
    greeting_ = *hello;
    return true;
}

std::optional<std::string> Feeder::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        pollfd waiting{client_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready != 1) {
            return std::nullopt;
        }
        char chunk[1024];
        const ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closeConnection();
            return std::nullopt;
        }
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> Feeder::request(std::string_view line, std::chrono::milliseconds timeout) {
    if (client_ < 0) {
        return std::nullopt;
    }
    std::string text(line);
    text += '\n';
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(client_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            closeConnection();
            return std::nullopt;
        }
        sent += static_cast<std::size_t>(n);
    }
    return readLine(timeout);
}

std::int32_t Feeder::attach(std::uint32_t device, std::uint16_t vendorId, std::uint16_t productId) {
    const auto reply = request(hidlib::wire::formatAttach(device, vendorId, productId));
    if (!reply || reply->rfind("ok ", 0) != 0) {
        return 0;
    }
    try {
        return static_cast<std::int32_t>(std::stol(reply->substr(3)));
    } catch (const std::exception&) {
        return 0;
    }
}

bool Feeder::remove(std::uint32_t device) {
    return request(hidlib::wire::formatRemove(device)) == "ok";
}

bool Feeder::change() {
    return request(hidlib::wire::formatChange()) == "ok";
}

std::optional<std::string> Feeder::report(std::uint32_t device, std::span<const std::uint8_t> bytes) {
    return request(hidlib::wire::formatReport(device, bytes));
}

void Feeder::closeConnection() {
    if (client_ >= 0) {
        ::close(client_);
        client_ = -1;
    }
}

std::vector<std::uint8_t> buttonReport(std::uint8_t code) {
    return {0x00, 0x00, 0x00, code, 0x00, 0x41, 0x00};
}

} // namespace hidfeed
