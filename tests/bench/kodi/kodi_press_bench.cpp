// The program's own part of a press, in the three modes that reach a media center over the network:
//   eventserver  Kodi's EventServer: the press's BUTTON (down) datagram
//   jsonrpc      Kodi's JSON-RPC: the Input.ButtonEvent request to a keep-alive web server (libcurl)
//   http         XBMC's old HTTP API: the SendKey request (one connection per command)
// A press starts when the HID library's read notification is posted to Tavrelmond's form (the report waits in
// the library, as after a poll of the receiver): the form reads it and dispatches it. In the two Kodi modes
// the program's thread hands the press to the Kodi worker and is free again; the worker sends it. So the
// figure bounded here is press to the worker's send: the moment the worker hands the datagram to the socket,
// or the request to the HTTP client (ports wrapped to note it). Beside it: press to wire (the far ends,
// threads on loopback, note the moment the last byte of the datagram or request arrived, and answer as Kodi
// and XBMC do) and how long the program's thread was busy with the press. The old HTTP mode sends on the
// program's thread: its send is the wire. Rounds alternate between the three modes, so all see the same
// machine.
//
//   kodi_press_bench [rounds]        (default 300; ctest runs 1000)
//
// Prints median and 99th percentile per mode and the ratios to the old HTTP mode. Exits non-zero when the
// chain cannot run, when the JSON-RPC presses did not share one connection, or when the median press to the
// worker's send of the EventServer or the keep-alive JSON-RPC path is above the bound (160 microseconds).
#include "MainForm.h"
#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/CurlWinInet.h"
#include "platform/posix/PosixSockets.h"
#include "platform/posix/ProfileReader.h"
#include "platform/sim/ScriptedHidLibrary.h"
#include "platform/sim/SimDesktop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double BoundMicroseconds = 160.0;
constexpr std::int32_t Receiver = 3;
// Two buttons alternate: the library passes a report only when it differs from the one before.
constexpr std::uint8_t Buttons[2] = {167, 166};

// The moments at which the far end saw a press arrive, handed to the measuring thread.
class Arrivals {
  public:
    void note(Clock::time_point t) {
        {
            std::lock_guard lock(mutex_);
            times_.push_back(t);
        }
        changed_.notify_all();
    }
    // The n-th arrival (0-based), waiting up to a second for it; nullopt when it never came.
    std::optional<Clock::time_point> wait(std::size_t n) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 1s, [&] { return times_.size() > n; })) {
            return std::nullopt;
        }
        return times_[n];
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return times_.size();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> times_;
};

int listenOnLoopback(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && listen(fd, 16) != 0)) {
        std::perror("bench: socket");
        std::exit(1);
    }
    return fd;
}

int portOf(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// Kodi's EventServer as far as the wire goes: notes every BUTTON packet with the down flag.
class EventServerPeer {
  public:
    EventServerPeer() : fd_(listenOnLoopback(SOCK_DGRAM)), thread_([this] { run(); }) {}
    ~EventServerPeer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port() const { return portOf(fd_); }
    Arrivals arrivals;

  private:
    void run() {
        unsigned char packet[1024];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = recv(fd_, packet, sizeof packet, 0);
            const auto now = Clock::now();
            // Header: "XBMC", version, u16 type at offset 6; a BUTTON payload starts at 32 with u16 code, u16
            // flags.
            if (n >= 36 && std::memcmp(packet, "XBMC", 4) == 0 && packet[6] == 0 && packet[7] == 0x03 &&
                (packet[35] & 0x02) != 0) {
                arrivals.note(now);
            }
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A web server that answers each request as soon as its last byte is in: Kodi's JSON-RPC "OK" over HTTP/1.1
// keep-alive, or XBMC's SendKey page over HTTP/1.0 with the connection closed after it.
class WebPeer {
  public:
    WebPeer() : fd_(listenOnLoopback(SOCK_STREAM)), thread_([this] { run(); }) {}
    ~WebPeer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port() const { return portOf(fd_); }
    Arrivals arrivals;
    std::atomic<int> connections{0};

  private:
    struct Connection {
        int fd;
        std::string in;
    };

    void run() {
        std::vector<Connection> open;
        while (!stop_) {
            std::vector<pollfd> fds{{fd_, POLLIN, 0}};
            for (const auto& c : open) {
                fds.push_back({c.fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                const int c = accept(fd_, nullptr, nullptr);
                if (c >= 0) {
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    open.push_back({c, {}});
                    ++connections;
                }
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                Connection& c = open[i - 1];
                char buffer[4096];
                const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
                const auto now = Clock::now();
                if (n <= 0) {
                    close(c.fd);
                    c.fd = -1;
                    continue;
                }
                c.in.append(buffer, static_cast<std::size_t>(n));
                if (!answer(c, now)) {
                    close(c.fd);
                    c.fd = -1;
                }
            }
            open.erase(std::remove_if(open.begin(), open.end(), [](const Connection& c) { return c.fd < 0; }),
                       open.end());
        }
        for (const auto& c : open) {
            close(c.fd);
        }
    }

    // Answers every complete request in c.in; false when the connection is to be closed.
    bool answer(Connection& c, Clock::time_point now) {
        for (;;) {
            const auto end = c.in.find("\r\n\r\n");
            if (end == std::string::npos) {
                return true;
            }
            std::size_t length = 0;
            std::string head = c.in.substr(0, end);
            std::string lower = head;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char ch) { return std::tolower(ch); });
            if (const auto at = lower.find("content-length:"); at != std::string::npos) {
                length = std::strtoul(lower.c_str() + at + 15, nullptr, 10);
            }
            if (c.in.size() < end + 4 + length) {
                return true;
            }
            const std::string body = c.in.substr(end + 4, length);
            c.in.erase(0, end + 4 + length);
            arrivals.note(now);
            const bool keepAlive = head.find(" HTTP/1.1\r\n") != std::string::npos;
            std::string reply;
            if (keepAlive) {
                // The request's id, echoed as Kodi does.
                std::string id = "0";
                if (const auto at = body.find("\"id\":"); at != std::string::npos) {
                    id = std::to_string(std::strtoll(body.c_str() + at + 5, nullptr, 10));
                }
                const std::string json = "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"result\":\"OK\"}";
                reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                        std::to_string(json.size()) + "\r\n\r\n" + json;
            } else {
                const std::string page = "<html>\n<li>OK\n</html>\n";
                reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                        std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
            }
            if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) {
                return false;
            }
            if (!keepAlive) {
                return false;
            }
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The real adapters, noting when the worker hands them a press: a BUTTON (down) datagram, or any request.
class TimedSockets : public platform::PosixSockets {
  public:
    Status send(Socket socket, const void* data, std::size_t size,
                std::chrono::milliseconds timeout) override {
        const auto* p = static_cast<const unsigned char*>(data);
        if (size >= 36 && p[7] == 0x03 && (p[35] & 0x02) != 0) {
            sends.note(Clock::now());
        }
        return PosixSockets::send(socket, data, size, timeout);
    }
    Arrivals sends;
};

class TimedHttp : public platform::HttpClient {
  public:
    std::unique_ptr<Session> openSession() override {
        return std::make_unique<Timed>(real_.openSession(), sends);
    }
    Arrivals sends;

  private:
    class Timed : public Session {
      public:
        Timed(std::unique_ptr<Session> session, Arrivals& sends)
            : session_(std::move(session)), sends_(sends) {}
        Reply post(const Request& request) override {
            sends_.note(Clock::now());
            return session_->post(request);
        }
        void cancel() override { session_->cancel(); }
        void close() override { session_->close(); }

      private:
        std::unique_ptr<Session> session_;
        Arrivals& sends_;
    };
    platform::CurlHttpClient real_;
};

// Tavrelmond on the simulated desktop with the real network adapters, in one mode, receiver plugged in.
class Program {
  public:
    Program(const std::string& mode, int port) : mode_(mode) {
        char pattern[] = "/tmp/tavrelmond-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("bench: mkdtemp");
            std::exit(1);
        }
        folder_ = pattern;
        desk_.exeFolder = folder_;
        desk_.profileReader = platform::posix::getPrivateProfileString;
        std::ofstream(folder_ + "/Config.ini")
            << "[Tavrelmond Config]\r\nAPIControlXBMCOPENGL=" << mode
            << "\r\nVendorID=1118\r\nProductID=644\r\nIP Address=127.0.0.1\r\nport=" << port
            << "\r\nuser=kodi\r\npassword=tavrelmond\r\n";
        if (mode == "false") {
            desk_.addWindow("SDL_app", "XBMC"); // the old HTTP mode forwards only while XBMC's window exists
        }
        hid_.devices[Receiver] = {1118, 644, {}, false};
        form_ = std::make_unique<MainForm>(platform_);
        form_->Load();
        form_->SysTray1->SetIcon(form_->Icon);
        form_->SysTray1->Show();
        notify(platform::HidNotifyAttach, Receiver);
    }
    ~Program() {
        form_.reset();
        std::filesystem::remove_all(folder_);
    }

    // One press of the n-th alternating button: the report waits in the library, the notification is posted
    // and the program's message loop runs until it is handled. Returns when the press was posted and when the
    // program's thread was done with it. (What the worker reported about the last press is taken first.)
    std::pair<Clock::time_point, Clock::time_point> press(std::size_t n) {
        desk_.pump();
        hid_.queueReport(Receiver, {0, 0, Buttons[n % 2], 0, 0x41, 0});
        const auto t0 = Clock::now();
        notify(platform::HidNotifyRead, Receiver);
        return {t0, Clock::now()};
    }
    // The moments the worker sent the presses (none in the old HTTP mode, where the program's thread sends).
    Arrivals* sends() {
        return mode_ == "eventserver" ? &sockets_.sends : mode_ == "jsonrpc" ? &http_.sends : nullptr;
    }

  private:
    void notify(std::uintptr_t wParam, std::intptr_t handle) {
        desk_.postMessage(form_->hWnd(), platform::HidNotifyMessage, wParam, handle);
        desk_.pump();
    }

    std::string mode_;
    std::string folder_;
    sim::SimDesktop desk_;
    sim::ScriptedHidLibrary hid_;
    platform::CurlWinInet wininet_;
    TimedSockets sockets_;
    TimedHttp http_;
    platform::Platform platform_{desk_, desk_, desk_, desk_, desk_, wininet_, hid_, &sockets_, &desk_, &http_};
    std::unique_ptr<MainForm> form_;
};

struct Mode {
    const char* name;
    const char* what;
    Arrivals& arrivals;
    std::unique_ptr<Program> program;
    std::vector<double> sent;   // press to the worker's send (the old HTTP mode: to the wire)
    std::vector<double> micros; // press to wire
    std::vector<double> busy;   // press to the program's thread being free again
    std::size_t presses = 0;
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    if (rounds < 1) {
        rounds = 1;
    }
    EventServerPeer eventServer;
    WebPeer kodiWeb;
    WebPeer xbmcWeb;

    Mode modes[] = {
        {"eventserver",
         "BUTTON datagram at Kodi's EventServer",
         eventServer.arrivals,
         std::make_unique<Program>("eventserver", eventServer.port()),
         {},
         {},
         {},
         0},
        {"jsonrpc",
         "Input.ButtonEvent request at Kodi's web server, keep-alive",
         kodiWeb.arrivals,
         std::make_unique<Program>("jsonrpc", kodiWeb.port()),
         {},
         {},
         {},
         0},
        {"http",
         "SendKey request at XBMC's web server, one connection per command",
         xbmcWeb.arrivals,
         std::make_unique<Program>("false", xbmcWeb.port()),
         {},
         {},
         {},
         0},
    };

    // Warm-up (first connection, HELO, libcurl's one-time set-up), then the measured rounds, modes
    // alternating.
    const int warmup = 20;
    for (int round = 0; round < warmup + rounds; ++round) {
        for (Mode& m : modes) {
            const auto [t0, done] = m.program->press(m.presses);
            const auto arrival = m.arrivals.wait(m.presses);
            Arrivals* sends = m.program->sends();
            const auto sent = sends != nullptr ? sends->wait(m.presses) : arrival;
            if (!arrival || !sent) {
                std::fprintf(stderr, "%s: press %zu never arrived\n", m.name, m.presses);
                return 1;
            }
            ++m.presses;
            if (round >= warmup) {
                m.sent.push_back(std::chrono::duration<double, std::micro>(*sent - t0).count());
                m.micros.push_back(std::chrono::duration<double, std::micro>(*arrival - t0).count());
                m.busy.push_back(std::chrono::duration<double, std::micro>(done - t0).count());
            }
        }
    }

    const double httpMedian = percentile(modes[2].micros, 0.5);
    bool withinBound = true;
    for (const Mode& m : modes) {
        const double median = percentile(m.sent, 0.5);
        const bool http = std::strcmp(m.name, "http") == 0;
        std::printf(
            "press to %s, %-11s (%s): median %.1f us, p99 %.1f us, %.2f x the HTTP mode's press to "
            "wire (n=%d);\n  press to wire: median %.1f us, p99 %.1f us; program's thread busy: median "
            "%.1f us, p99 %.1f us\n",
            http ? "wire (its own thread's send)" : "the worker's send", m.name, m.what, median,
            percentile(m.sent, 0.99), median / httpMedian, rounds, percentile(m.micros, 0.5),
            percentile(m.micros, 0.99), percentile(m.busy, 0.5), percentile(m.busy, 0.99));
        if (!http && median > BoundMicroseconds) {
            std::printf("  %s: median above the bound of %.0f us\n", m.name, BoundMicroseconds);
            withinBound = false;
        }
    }
    std::printf("connections opened: jsonrpc %d (keep-alive), http %d (one per command)\n",
                kodiWeb.connections.load(), xbmcWeb.connections.load());
    if (kodiWeb.connections.load() != 1) {
        std::printf("  jsonrpc: more than one connection: the figure is not that of the keep-alive path\n");
        withinBound = false;
    }
    return withinBound ? 0 : 1;
}
