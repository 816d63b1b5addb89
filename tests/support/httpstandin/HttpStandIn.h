// A stand-in HTTP server for tests: cpp-httplib on a free port of 127.0.0.1. It records every request it gets
// (request line, headers, body) and answers each with the configured reply: a status and a body, optionally
// after a delay, or a reply that never ends (an endless body, or headers and then silence) until the server
// stops or the stall is released.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace httpstandin {

struct RecordedRequest {
    std::string requestLine; // "POST /path?query HTTP/1.0", the target exactly as it came
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers; // sorted by name, case-insensitively
    std::string body;

    // The value of the first header of that name (case-insensitive), or empty.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

struct Answer {
    enum class Kind {
        Whole,   // status and body, with Content-Length
        Endless, // status, then body bytes for as long as the client reads and the server runs
        Stall,   // status and headers, then nothing until stop() or releaseStall()
    };
    Kind kind = Kind::Whole;
    int status = 200;
    std::string body;
    std::chrono::milliseconds delay{0}; // wait this long before answering
};

// Bytes from..from+n of an endless printable text whose every 16-byte block names its own offset, so a
// misplaced or lost piece shows.
std::string patternBody(std::size_t n, std::size_t from = 0);

class StandIn {
  public:
    StandIn(); // binds a free port on 127.0.0.1 and starts serving
    // Binds the given port on 127.0.0.1; throws std::runtime_error when it is taken.
    explicit StandIn(int port);
    ~StandIn(); // stops (ending stalled and endless replies) and joins
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

    void answer(Answer answer);
    // Called on the server's thread for each request once it is recorded (for the command-line tool).
    void onRequest(std::function<void(const RecordedRequest&)> observer);

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    void clear();
    // Waits until at least n requests are recorded; false after the timeout.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;
    // Body bytes handed out by endless replies so far.
    std::size_t endlessBytesSent() const;

    void releaseStall();
    void stop();

  private:
    void serve(const RecordedRequest& request, Answer answer, void* response);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Answer answer_;
    std::vector<RecordedRequest> requests_;
    std::function<void(const RecordedRequest&)> observer_;
    std::size_t endlessBytes_ = 0;
    bool stallReleased_ = false;
    bool stopping_ = false;
};

} // namespace httpstandin
