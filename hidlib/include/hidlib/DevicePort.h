// What the device manager (DeviceSet) needs from a platform's device stack: the device interfaces present,
// opening one to read its IDs or to read from it, removal notices for an open device, reader threads and
// timers. Two stacks implement it on Windows: the HID stack (HidPort: SetupDi, hid.dll, the HID class
// driver's polling interval) and WinUSB (WinUsbPort: SetupDi, winusb.dll, the interrupt pipe read straight);
// SimHid implements it in memory for host tests, with devices of either kind.
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
    // The most bytes one read gives: for a HID device the longest input report, report ID included; for a
    // device read from its interrupt pipe the pipe's maximum packet size. 0: nothing to read.
    std::uint32_t reportLength = 0;
    // Read from its interrupt pipe (WinUSB) rather than through a class driver: each read gives one packet,
    // which becomes one report, and every packet is an event (nothing answers twice with the same packet, so
    // no repeat is dropped). A failed read leaves the file open and the pipe is reset before reading goes on.
    bool packets = false;
};

// Where a reader hands what it read (a report, or a device's packet), on the reader's own thread.
struct ReportSink {
    virtual ~ReportSink() = default;
    virtual void deliver(std::span<const std::uint8_t> bytes) = 0;
};

class DevicePort {
  public:
    virtual ~DevicePort() = default;

    // Device interface paths of the devices present now.
    virtual std::vector<std::string> presentPaths() = 0;
    // Takes the device's IDs and what one read gives, touching the device as little as the stack allows,
    // and lets go of it again. Nothing for a device that cannot be identified (gone, or held by another
    // program).
    virtual std::optional<DeviceFacts> identify(const std::string& path) = 0;
    // Opens the device for reading; 0 when that is refused or the device is gone.
    virtual FileId openForReading(const std::string& path) = 0;
    virtual void close(FileId file) = 0;

    // The class driver's polling interval for the device, in ms: 0 for a device that is not polled, nothing
    // when it cannot be asked (a device read from its pipe has no class driver to ask).
    virtual std::optional<std::uint32_t> pollInterval(FileId) { return std::nullopt; }
    virtual bool setPollInterval(FileId, std::uint32_t) { return false; }
    // Clears the halt of the interrupt pipe of an open device whose reader failed, so that reading can go on
    // through the same file. Only while no reader runs on the file. False when it cannot be done: the
    // manager then closes the device and opens it again.
    virtual bool resetPipe(FileId) { return false; }

    // Asks to be told (DeviceSet::queryRemove and the rest, keyed by the watch) when the device behind an
    // open file is about to be removed. 0 when the platform cannot watch it; the device then works as before,
    // only a driver update has to wait for the program to let go.
    virtual WatchId watchRemoval(FileId file) = 0;
    virtual void unwatchRemoval(WatchId watch) = 0;

    // Starts reading from the file into sink, one report or packet after another (reportLength bytes at
    // most each), until stopReader. A failed read ends the reader and the platform then calls
    // DeviceSet::readFailed(id) on the manager's thread.
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
