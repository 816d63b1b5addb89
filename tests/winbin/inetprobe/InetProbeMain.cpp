// inetprobe: one HttpSendCommand, as the program makes it, through the wininet adapter of the build.
//
//   inetprobe <ip> <port> <path> <body>
//
// Prints "REPLY <length> <fnv1a-64 of the reply, hex>" and exits 0. Built for Windows with WinInet itself
// (tests/winbin/inetprobe) and for the host with the libcurl adapter (tests/wine/inet), so a Wine test can
// compare what both send to the same recording server.
#include "InetProbe.h"
#include "modInet.h"

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
    std::string reply = inet.HttpSendCommand(argv[4]);

    std::uint64_t hash = 0xcbf29ce484222325u;
    for (unsigned char c : reply) {
        hash ^= c;
        hash *= 0x100000001b3u;
    }
    std::printf("REPLY %zu %016" PRIx64 "\n", reply.size(), hash);
    std::fflush(stdout);
    return 0;
}
