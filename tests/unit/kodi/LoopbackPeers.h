// Peers on 127.0.0.1 for the Kodi channels' tests: a UDP receiver standing in for Kodi's EventServer, and a
// raw TCP server standing in for its web server, scripted per request, that records what it received and
// counts the connections it accepted; and the real adapters with their calls counted.
#pragma once

#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/PosixSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

inline sockaddr_in address(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A bound UDP socket on 127.0.0.1; port 0 picks a free one.
class UdpPeer {
  public:
    explicit UdpPeer(std::uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = address(port);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            throw std::runtime_error("cannot bind UDP port " + std::to_string(port));
        }
        socklen_t length = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

    // The next datagram, or nothing after the timeout.
    std::optional<std::vector<std::uint8_t>>
    receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> datagram(65536);
        const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        datagram.resize(static_cast<std::size_t>(n));
        return datagram;
    }

    // Every datagram already waiting.
    std::vector<std::vector<std::uint8_t>> drain() {
        std::vector<std::vector<std::uint8_t>> all;
        while (auto d = receive(std::chrono::milliseconds(0))) {
            all.push_back(std::move(*d));
        }
        return all;
    }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// What the TCP stand-in does with one request. In text, "{id}" stands for the id of the request's body.
struct Reply {
    enum class Kind {
        Send,         // write text, keep the connection
        SendAndClose, // write text, then close the connection
        CloseUnread,  // close the connection without answering
        Silent,       // answer nothing; the connection stays open until the server stops
        Drip,         // write text one byte per tick of the server's loop (about 20 ms), reading nothing more
    };
    Kind kind = Kind::Send;
    std::string text{};
};

// Kodi's answer to a button event.
inline constexpr const char* OkAnswer = R"({"id":{id},"jsonrpc":"2.0","result":"OK"})";

// A whole HTTP/1.1 reply with a Content-Length (filled in once "{id}" is replaced).
inline std::string httpReply(int status, const std::string& body, const std::string& extraHeaders = "") {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Type: application/json\r\nContent-Length: {length}\r\n" + extraHeaders + "\r\n" +
           body;
}

// A raw TCP server on 127.0.0.1. Each request (head up to the blank line, then Content-Length bytes of body)
// is recorded whole and answered by the next scripted reply; without one, by `fallback`.
class TcpStandIn {
  public:
    // backlog is listen()'s: with 0, and accepting paused, a second connection attempt goes unanswered.
    explicit TcpStandIn(int backlog = 8) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = address(0);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, backlog);
        socklen_t length = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TcpStandIn() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }
    TcpStandIn(const TcpStandIn&) = delete;
    TcpStandIn& operator=(const TcpStandIn&) = delete;

    std::uint16_t port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

    void script(Reply reply) {
        std::lock_guard lock(mutex_);
        replies_.push_back(std::move(reply));
    }
    // The answer to requests beyond the script.
    void setFallback(Reply reply) {
        std::lock_guard lock(mutex_);
        fallback_ = std::move(reply);
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int connections() const { return connections_; }
    // Waits until n connections have been accepted; false after the timeout.
    bool waitForConnections(int n, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return accepted_.wait_for(lock, timeout, [&] { return connections_ >= n; });
    }
    // While paused, connections wait in the listen queue, unaccepted.
    void pauseAccepting(bool paused) { paused_ = paused; }

  private:
    struct Connection {
        int fd;
        std::string in;
        bool silent = false;
        std::string drip{}; // what is still to be dripped
    };

    void run() {
        std::vector<Connection> open;
        while (!stopping_) {
            std::vector<pollfd> fds{{listener_, static_cast<short>(paused_ ? 0 : POLLIN), 0}};
            for (const auto& c : open) {
                fds.push_back({c.fd, static_cast<short>(c.silent ? 0 : POLLIN), 0});
            }
            const int ready = poll(fds.data(), fds.size(), 20);
            for (auto& c : open) {
                if (!c.drip.empty()) {
                    if (send(c.fd, c.drip.data(), 1, MSG_NOSIGNAL) != 1) {
                        ::close(c.fd);
                        c.fd = -1;
                        c.drip.clear();
                        continue;
                    }
                    c.drip.erase(0, 1);
                }
            }
            if (ready <= 0) {
                std::erase_if(open, [](const Connection& c) { return c.fd < 0; });
                continue;
            }
            if (fds[0].revents & POLLIN) {
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd >= 0) {
                    std::lock_guard lock(mutex_);
                    ++connections_;
                    accepted_.notify_all();
                    open.push_back({fd, {}});
                }
            }
            for (std::size_t i = 0; i < open.size(); ++i) {
                if (open[i].fd < 0 || !(fds.size() > i + 1 && (fds[i + 1].revents & (POLLIN | POLLHUP)))) {
                    continue;
                }
                char buffer[4096];
                const ssize_t n = recv(open[i].fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    ::close(open[i].fd);
                    open[i].fd = -1;
                    continue;
                }
                open[i].in.append(buffer, static_cast<std::size_t>(n));
                serve(open[i]);
            }
            std::erase_if(open, [](const Connection& c) { return c.fd < 0; });
        }
        for (const auto& c : open) {
            ::close(c.fd);
        }
    }

    // Answers every whole request received on the connection.
    void serve(Connection& c) {
        for (;;) {
            const std::size_t headEnd = c.in.find("\r\n\r\n");
            if (headEnd == std::string::npos) {
                return;
            }
            std::size_t length = 0;
            const std::size_t at = c.in.find("Content-Length: ");
            if (at != std::string::npos && at < headEnd) {
                length = std::stoul(c.in.substr(at + 16));
            }
            if (c.in.size() < headEnd + 4 + length) {
                return;
            }
            const std::string request = c.in.substr(0, headEnd + 4 + length);
            c.in.erase(0, request.size());
            Reply reply;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
                if (!replies_.empty()) {
                    reply = replies_.front();
                    replies_.pop_front();
                } else {
                    reply = fallback_;
                }
            }
            // The body's top-level id: a number (the program writes no spaces).
            const std::size_t idAt = request.find("\"id\":", headEnd);
            std::string id = "null";
            if (idAt != std::string::npos) {
                const std::size_t from = idAt + 5;
                const std::size_t to = request.find_first_not_of("-0123456789", from);
                id = request.substr(from, (to == std::string::npos ? request.size() : to) - from);
            }
            for (std::size_t p = reply.text.find("{id}"); p != std::string::npos;
                 p = reply.text.find("{id}")) {
                reply.text.replace(p, 4, id);
            }
            if (const std::size_t p = reply.text.find("{length}"); p != std::string::npos) {
                const std::size_t bodyAt = reply.text.find("\r\n\r\n");
                reply.text.replace(p, 8, std::to_string(reply.text.size() - bodyAt - 4));
            }
            switch (reply.kind) {
            case Reply::Kind::Send:
            case Reply::Kind::SendAndClose:
                send(c.fd, reply.text.data(), reply.text.size(), MSG_NOSIGNAL);
                if (reply.kind == Reply::Kind::Send) {
                    break;
                }
                [[fallthrough]];
            case Reply::Kind::CloseUnread:
                ::close(c.fd);
                c.fd = -1;
                return;
            case Reply::Kind::Silent:
                c.silent = true;
                return;
            case Reply::Kind::Drip:
                c.silent = true;
                c.drip = reply.text;
                return;
            }
        }
    }

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> paused_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::condition_variable accepted_;
    std::deque<Reply> replies_;
    Reply fallback_{Reply::Kind::Send, httpReply(200, OkAnswer)};
    std::vector<std::string> requests_;
};

// The real sockets, counting the sockets asked for (each count is one name lookup and one attempt).
class CountingSockets : public platform::PosixSockets {
  public:
    Opened openDatagram(const std::string& host, std::uint16_t port) override {
        ++opens;
        return PosixSockets::openDatagram(host, port);
    }
    int opens = 0;
};

// The real HTTP client (libcurl), counting the requests its sessions were asked to make.
class CountingHttp : public platform::HttpClient {
  public:
    std::unique_ptr<Session> openSession() override {
        return std::make_unique<Counted>(real_.openSession(), posts);
    }
    std::atomic<int> posts{0};

  private:
    class Counted : public Session {
      public:
        Counted(std::unique_ptr<Session> session, std::atomic<int>& posts)
            : session_(std::move(session)), posts_(posts) {}
        Reply post(const Request& request) override {
            ++posts_;
            return session_->post(request);
        }
        void cancel() override { session_->cancel(); }
        void close() override { session_->close(); }

      private:
        std::unique_ptr<Session> session_;
        std::atomic<int>& posts_;
    };
    platform::CurlHttpClient real_;
};

// The value of a header line of a recorded request ("" when it has none); the name is matched exactly.
inline std::string headerOf(const std::string& request, const std::string& name) {
    const std::size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > request.find("\r\n\r\n")) {
        return "";
    }
    const std::size_t from = at + name.size() + 4;
    return request.substr(from, request.find("\r\n", from) - from);
}

// The body of a request recorded by TcpStandIn.
inline std::string bodyOf(const std::string& request) {
    const std::size_t at = request.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : request.substr(at + 4);
}

} // namespace loopback
