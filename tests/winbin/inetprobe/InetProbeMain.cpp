// inetprobe: one HttpSendCommand, as the program makes it, through the wininet adapter of the build.
//
//   inetprobe <ip> <port> <path> <body>
//
// Prints "REPLY <length> <fnv1a-64 of the reply, hex>", then "ELAPSED <ms>" (how long HttpSendCommand took),
// and exits 0. Built for Windows with WinInet itself
// (tests/winbin/inetprobe) and for the host with the libcurl adapter (tests/wine/inet), so a Wine test can
// compare what both send to the same recording server.
#include "InetProbe.h"
#include "modInet.h"

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: inetprobe <ip> <port> <path> <body>\n");
        return 2;
    }
    std::string ip = argv[1];
    std::string port = argv[2];
    modInet inet(probeWinInet(), ip, port);
    inet.CommandPath = argv[3];
    const auto started = std::chrono::steady_clock::now();
    std::string reply = inet.HttpSendCommand(argv[4]);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);

    std::uint64_t hash = 0xcbf29ce484222325u;
    for (unsigned char c : reply) {
        hash ^= c;
        hash *= 0x100000001b3u;
    }
    std::printf("REPLY %zu %016" PRIx64 "\n", reply.size(), hash);
    std::printf("ELAPSED %lld\n", static_cast<long long>(elapsed.count()));
    std::fflush(stdout);
    return 0;
}
