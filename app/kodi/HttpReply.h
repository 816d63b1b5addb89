// A reader of one HTTP/1.x reply, fed with the bytes as they arrive: status line, headers, and a body
// delimited by Content-Length, by chunked transfer coding, or by the end of the connection. Interim (1xx)
// replies are skipped. Sizes are bounded: a head over MaxHead bytes or a body over MaxBody bytes makes the
// reply Bad, so a hostile server can neither exhaust memory nor overrun anything.
#pragma once

#include <cstddef>
#include <string>

namespace kodi {

class HttpReply {
  public:
    static constexpr std::size_t MaxHead = 16 * 1024;
    static constexpr std::size_t MaxBody = 64 * 1024;

    enum class State { Incomplete, Complete, Bad };

    // Adds bytes that arrived. Bytes after a complete reply are not kept, and the connection is then not
    // reusable (keepAlive() turns false).
    State feed(const char* data, std::size_t size);
    // The peer ended the connection: a body that runs to the end is complete, anything else unfinished is
    // Bad.
    State endOfStream();

    State state() const { return state_; }
    // Whether any byte of the reply has arrived.
    bool started() const { return started_; }
    int status() const { return status_; }
    const std::string& body() const { return body_; }
    // Whether the connection may carry the next request after this reply.
    bool keepAlive() const { return keepAlive_; }

  private:
    enum class Phase { Head, Length, ChunkSize, ChunkData, Trailer, UntilClose };
    State advance();
    bool parseHead(const std::string& head);
    State bad() { return state_ = State::Bad; }

    State state_ = State::Incomplete;
    Phase phase_ = Phase::Head;
    std::string buffer_; // bytes not consumed yet
    std::string body_;
    std::size_t remaining_ = 0; // of the body (Length) or of the chunk (ChunkData)
    std::size_t trailerBytes_ = 0;
    int status_ = 0;
    bool keepAlive_ = false;
    bool started_ = false;
};

} // namespace kodi
