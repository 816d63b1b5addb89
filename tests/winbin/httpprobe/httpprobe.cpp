// httpprobe: the HTTP client port's WinHTTP adapter, as Kodi's JSON-RPC channel uses it, one session per run.
//
//   httpprobe post --port P [--host H] [--count N] [--connect-ms MS] [--reply-ms MS] [--max BYTES]
//                  [--user-hex HEX] [--password-hex HEX]
//        N POSTs of a small JSON body to /jsonrpc on one session; one line per request:
//        "status=NAME http=CODE reused=0|1 bytes=N ms=T error=..."
//   httpprobe press --port P [--host H] [--count N] [--user-hex HEX] [--password-hex HEX]
//        N presses of Down through Kodi's JSON-RPC channel; one line per press: "problem=N reason=..."
// Credentials are given as the hexadecimal form of their UTF-8 bytes (a command line under Wine is not
// UTF-8).
#include "KodiButtonMap.h"
#include "kodi/JsonRpc.h"
#include "platform/win32/Win32HttpClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Status = platform::HttpClient::Status;

struct Args {
    std::vector<std::string> items;
    std::string get(const char* name, const char* fallback = "") const {
        for (std::size_t i = 0; i + 1 < items.size(); ++i) {
            if (items[i] == name) {
                return items[i + 1];
            }
        }
        return fallback;
    }
    long number(const char* name, long fallback) const {
        const std::string text = get(name);
        return text.empty() ? fallback : std::strtol(text.c_str(), nullptr, 10);
    }
};

std::string fromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return out;
}

const char* name(Status status) {
    switch (status) {
    case Status::Ok:
        return "Ok";
    case Status::NoSuchHost:
        return "NoSuchHost";
    case Status::Refused:
        return "Refused";
    case Status::ConnectTimedOut:
        return "ConnectTimedOut";
    case Status::TimedOut:
        return "TimedOut";
    case Status::Dropped:
        return "Dropped";
    case Status::Truncated:
        return "Truncated";
    case Status::BadReply:
        return "BadReply";
    case Status::TooLarge:
        return "TooLarge";
    case Status::Cancelled:
        return "Cancelled";
    case Status::Failed:
        break;
    }
    return "Failed";
}

} // namespace

int main(int argc, char** argv) {
    Args args;
    for (int i = 2; i < argc; ++i) {
        args.items.push_back(argv[i]);
    }
    const std::string command = argc > 1 ? argv[1] : "";
    const std::string host = args.get("--host", "127.0.0.1");
    const auto port = static_cast<std::uint16_t>(args.number("--port", 0));
    const long count = args.number("--count", 1);
    const std::string user = fromHex(args.get("--user-hex"));
    const std::string password = fromHex(args.get("--password-hex"));
    platform::Win32HttpClient http;

    if (command == "post") {
        const auto session = http.openSession();
        platform::HttpClient::Request request;
        request.host = host;
        request.port = port;
        request.path = "/jsonrpc";
        request.contentType = "application/json";
        request.body = R"({"jsonrpc":"2.0","method":"JSONRPC.Ping","id":1})";
        request.user = user;
        request.password = password;
        request.connectTimeout = std::chrono::milliseconds(args.number("--connect-ms", 3000));
        request.replyTimeout = std::chrono::milliseconds(args.number("--reply-ms", 2000));
        request.maxReply = static_cast<std::size_t>(args.number("--max", 64 * 1024));
        for (long i = 0; i < count; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const auto reply = session->post(request);
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            std::printf("status=%s http=%d reused=%d bytes=%zu ms=%lld error=%s\n", name(reply.status),
                        reply.httpStatus, reply.reused ? 1 : 0, reply.body.size(),
                        static_cast<long long>(ms.count()), reply.error.c_str());
            std::fflush(stdout);
        }
        return 0;
    }
    if (command == "press") {
        kodi::JsonRpc channel(&http, {std::chrono::milliseconds(3000), std::chrono::milliseconds(2000)});
        channel.Configure({kodi::ModeJsonRpc, host, std::to_string(port), user, password});
        for (long i = 0; i < count; ++i) {
            const kodi::Outcome outcome = channel.Press(*FindKodiButton("167"));
            std::printf("problem=%d reason=%s\n", static_cast<int>(outcome.problem), outcome.reason.c_str());
            std::fflush(stdout);
        }
        return 0;
    }
    std::fprintf(stderr, "usage: httpprobe post|press --port P ...\n");
    return 2;
}
