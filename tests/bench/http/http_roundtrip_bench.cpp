// How much one HttpSendCommand round trip (libcurl adapter) costs next to the least an HTTP/1.0 POST can
// cost: a raw socket that connects, writes the request in one piece and reads the reply to the end. Both talk
// to the same stand-in server on loopback, alternately, and the ratio of the medians is printed.
//
//   http_roundtrip_bench [rounds]        (default 300; ctest runs 1000)
//
// Exit status 1 when a round fails or the ratio exceeds 1.5.
#include "HttpStandIn.h"
#include "MediaCenter.h"
#include "modInet.h"
#include "platform/posix/CurlWinInet.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The most one HttpSendCommand may cost, as a multiple of the raw-socket POST: above it the program adds
// noticeably to what the HTTP mode's new connection per key already costs.
constexpr double MaxRatio = 1.5;

// One POST on a plain socket; returns the number of reply bytes (headers included), or -1.
long rawPost(int port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    long total = -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        total = 0;
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            total += n;
    }
    close(fd);
    return total;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    if (rounds < 1)
        rounds = 1;

    httpstandin::StandIn server;
    server.answer({httpstandin::Answer::Kind::Whole, 200, "<html>\n<li>OK\n</html>\n"});

    platform::CurlWinInet wininet;
    std::string ip = "127.0.0.1";
    std::string port = server.portText();
    modInet inet(wininet, ip, port);
    inet.CommandPath = MediaCenter::SendKeyPath("167");

    const std::string request = "POST " + MediaCenter::SendKeyPath("167") +
                                " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                "User-Agent: http generic\r\nHost: 127.0.0.1:" +
                                port + "\r\nContent-Length: 1\r\n\r\n0";

    // Warm both paths (first connections, libcurl's one-time set-up).
    for (int i = 0; i < 10; ++i) {
        inet.HttpSendCommand("0");
        rawPost(server.port(), request);
    }

    std::vector<double> command, raw;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        std::string reply = inet.HttpSendCommand("0");
        auto t1 = Clock::now();
        long n = rawPost(server.port(), request);
        auto t2 = Clock::now();
        if (reply.empty() || n <= 0) {
            std::fprintf(stderr, "round %d failed (reply %zu bytes, raw %ld bytes)\n", i, reply.size(), n);
            return 1;
        }
        command.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        raw.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }

    double c = median(command), r = median(raw);
    std::printf("HttpSendCommand round trip: median %.1f us over %d rounds\n", c, rounds);
    std::printf("raw-socket HTTP/1.0 POST:   median %.1f us over %d rounds\n", r, rounds);
    const bool within = c / r <= MaxRatio;
    std::printf("%s: ratio %.2f (bound %.1f)\n", within ? "ok" : "FAILED", c / r, MaxRatio);
    return within ? 0 : 1;
}
