// httpstandin: the recording HTTP server as a program, for Wine tests and the demo.
//
//   httpstandin [--status N] [--body TEXT] [--body-size N] [--delay-ms N] [--endless | --stall]
//
// Prints "LISTENING <port>" once it accepts connections, then one JSON line per request,
//   {"line":"POST /x HTTP/1.0","headers":[["Content-Length","1"],...],"body":"0"}
// flushed at once, and serves until SIGINT or SIGTERM.
#include "HttpStandIn.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <string>

namespace {

std::string json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

int usage() {
    std::cerr << "usage: httpstandin [--status N] [--body TEXT] [--body-size N] [--delay-ms N] "
                 "[--endless | --stall]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    httpstandin::Answer answer;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--status" && hasValue)
            answer.status = std::atoi(argv[++i]);
        else if (arg == "--body" && hasValue)
            answer.body = argv[++i];
        else if (arg == "--body-size" && hasValue)
            answer.body = httpstandin::patternBody(std::strtoull(argv[++i], nullptr, 10));
        else if (arg == "--delay-ms" && hasValue)
            answer.delay = std::chrono::milliseconds(std::atoi(argv[++i]));
        else if (arg == "--endless")
            answer.kind = httpstandin::Answer::Kind::Endless;
        else if (arg == "--stall")
            answer.kind = httpstandin::Answer::Kind::Stall;
        else
            return usage();
    }

    // The server's threads inherit the blocked signals; only the main thread takes them, with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httpstandin::StandIn server;
    server.answer(answer);
    server.onRequest([](const httpstandin::RecordedRequest& r) {
        std::string line = "{\"line\":" + json(r.requestLine) + ",\"headers\":[";
        for (std::size_t i = 0; i < r.headers.size(); ++i)
            line += (i ? ",[" : "[") + json(r.headers[i].first) + "," + json(r.headers[i].second) + "]";
        line += "],\"body\":" + json(r.body) + "}\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    });
    std::printf("LISTENING %d\n", server.port());
    std::fflush(stdout);

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
