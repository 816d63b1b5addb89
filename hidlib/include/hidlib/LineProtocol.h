// The virtual backend's line protocol (see hidlib/PROTOCOL.md): parsing and formatting of the lines,
// splitting a byte stream into lines, and the session that applies the lines to the core. Platform-free: the
// virtual DLL wraps it in a Winsock connection, the host feeder uses the formatting, tests use all of it
// directly.
#pragma once

#include "hidlib/Core.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hidlib::wire {

inline constexpr std::size_t kMaxLineLength = 1024; // without the line end
inline constexpr std::size_t kMaxReportBytes = 256;
inline constexpr std::uint32_t kMaxDeviceId = 999999;
inline constexpr std::string_view kHello = "hello XBMC.dll virtual 1";

struct Command {
    enum class Kind { Attach, Remove, Change, Report };
    Kind kind = Kind::Change;
    std::uint32_t device = 0; // the feeder's number for the device
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::vector<std::uint8_t> bytes; // report ID first
};

struct Parsed {
    std::optional<Command> command; // empty for a blank or comment line, and for an error
    std::string error;              // non-empty when the line is malformed
};

Parsed parseLine(std::string_view line);

std::string formatAttach(std::uint32_t device, std::uint16_t vendorId, std::uint16_t productId);
std::string formatRemove(std::uint32_t device);
std::string formatChange();
std::string formatReport(std::uint32_t device, std::span<const std::uint8_t> bytes);

// Cuts a byte stream into lines at LF, dropping a CR before it. A line longer than kMaxLineLength is
// delivered once, when its LF arrives, as too long (with no text).
class LineSplitter {
  public:
    using Sink = std::function<void(std::string_view line, bool tooLong)>;
    void feed(std::string_view chunk, const Sink& sink);

  private:
    std::string pending_;
    bool skipping_ = false;
};

// Applies the lines of one feeder connection to the core and gives the reply to each. The feeder numbers its
// devices itself; the session maps its numbers to the core's handles.
class Session {
  public:
    explicit Session(Core& core) : core_(core) {}
    // The reply to send back: "ok", "ok HANDLE" for an attach, "ok duplicate" for a dropped repeat, or
    // "error TEXT". Empty for a blank or comment line, which gets no reply.
    std::string apply(std::string_view line);
    // The reply for a line that was too long.
    static std::string tooLong();
    // The connection is gone: every device it attached is removed, then one change is posted if there was
    // any.
    void end();

  private:
    Core& core_;
    std::map<std::uint32_t, std::int32_t> handles_; // feeder's number -> core handle
};

} // namespace hidlib::wire
