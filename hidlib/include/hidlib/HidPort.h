// What the device manager (DeviceSet) needs from the platform's HID stack: the device interfaces present,
// opening one to read its IDs or to read its reports, the HID class driver's polling interval, removal
// notices for an open device, reader threads and timers. The Windows backend implements it with SetupDi,
// hid.dll and a message-only window; SimHid implements it in memory for host tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hidlib {

using FileId = std::uintptr_t;  // an open device; 0 is none
using WatchId = std::uintptr_t; // a removal watch on an open device; 0 is none
using ReaderId = std::uint32_t; // the device manager's number for a device, never reused

struct DeviceFacts {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint32_t reportLength = 0; // the longest input report, report ID included; 0: nothing to read
};

// Where a reader hands its reports, on the reader's own thread.
struct ReportSink {
    virtual ~ReportSink() = default;
    virtual void deliver(std::span<const std::uint8_t> bytes) = 0;
};

class HidPort {
  public:
    virtual ~HidPort() = default;

    // Device interface paths of the HID devices present now.
    virtual std::vector<std::string> presentPaths() = 0;
    // Opens the device without read or write access, takes its IDs and report length, and closes it again.
    virtual std::optional<DeviceFacts> identify(const std::string& path) = 0;
    // Opens the device for reading; 0 when that is refused (the system keeps keyboards and mice) or the
    // device is gone.
    virtual FileId openForReading(const std::string& path) = 0;
    virtual void close(FileId file) = 0;

    // The HID class driver's polling interval for the device, in ms: 0 for a device that is not polled,
    // nothing when it cannot be asked.
    virtual std::optional<std::uint32_t> pollInterval(FileId file) = 0;
    virtual bool setPollInterval(FileId file, std::uint32_t ms) = 0;

    // Asks to be told (DeviceSet::queryRemove and the rest, keyed by the watch) when the device behind an
    // open file is about to be removed. 0 when the platform cannot watch it; the device then works as before,
    // only a driver update has to wait for the program to let go.
    virtual WatchId watchRemoval(FileId file) = 0;
    virtual void unwatchRemoval(WatchId watch) = 0;

    // Starts reading reports from the file into sink, one after another, until stopReader. A failed read ends
    // the reader and the platform then calls DeviceSet::readFailed(id) on the manager's thread.
    virtual bool startReader(ReaderId id, FileId file, std::uint32_t reportLength, ReportSink& sink) = 0;
    // Stops the reader (if it still runs) and waits for it; the sink is not called afterwards.
    virtual void stopReader(ReaderId id) = 0;

    // Calls DeviceSet::retry(id) on the manager's thread after the delay. A later call for the same id
    // replaces an earlier one; cancelRetry drops it.
    virtual void retryAfter(ReaderId id, std::chrono::milliseconds delay) = 0;
    virtual void cancelRetry(ReaderId id) = 0;

    // One line of diagnostics (on Windows, OutputDebugString: a debugger or DebugView shows it).
    virtual void note(const std::string& line) = 0;
};

} // namespace hidlib
