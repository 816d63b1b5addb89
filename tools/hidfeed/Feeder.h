// The host side of the virtual XBMC.dll: listens on 127.0.0.1, takes the library's connection and sends it
// device events as lines (hidlib/PROTOCOL.md), waiting for the reply to each.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hidfeed {

using namespace std::chrono_literals;

class Feeder {
  public:
    Feeder() = default;
    ~Feeder();
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

    // Listens on 127.0.0.1:port; 0 picks a free port. Returns the port, or 0 on failure.
    std::uint16_t listen(std::uint16_t port = 0);
    // Waits for the library to connect and greet. False on timeout or a wrong greeting.
    bool accept(std::chrono::milliseconds timeout = 30s);
    const std::string& greeting() const { return greeting_; }
    bool connected() const { return client_ >= 0; }

    // Sends one line and returns the library's reply, or nothing on timeout or when the connection is gone.
    std::optional<std::string> request(std::string_view line, std::chrono::milliseconds timeout = 5s);

    // The library's handle for the new device, or 0 when the library refused it.
    std::int32_t attach(std::uint32_t device, std::uint16_t vendorId, std::uint16_t productId);
    bool remove(std::uint32_t device);
    bool change();
    // "ok", "ok duplicate" or "error ..."; nothing when the connection is gone.
    std::optional<std::string> report(std::uint32_t device, std::span<const std::uint8_t> bytes);

    // Closes the connection: the library reports the feeder's devices removed.
    void closeConnection();

  private:
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);

    int listener_ = -1;
    int client_ = -1;
    std::string pending_; // bytes received after the last full line
    std::string greeting_;
};

// The receiver's report as the library reads it: report ID 0, then six bytes with the button code in byte 2
// and 0x41 in byte 4. Two identical reports in a row count once (the library drops the repeat).
std::vector<std::uint8_t> buttonReport(std::uint8_t code);

} // namespace hidfeed
