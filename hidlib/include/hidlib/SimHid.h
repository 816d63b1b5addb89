// The sim backend's device stack: devices in memory behind the port that DeviceSet drives, for host tests.
// HID devices (polled or interrupt-driven, as the HID class driver presents them) and devices read from
// their interrupt pipe (as WinUSB presents the receiver: DeviceInfo::packets). Test code plugs and unplugs
// devices, hands reports or packets to the running readers, fails reads, fires timers and plays the system's
// removal notices, all on the calling thread; it then looks at what the library opened, which intervals it
// set, which pipes it reset and which watches it holds.
#pragma once

#include "hidlib/DeviceSet.h"
#include "hidlib/HidPort.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hidlib {

class SimHid final : public HidPort {
  public:
    struct DeviceInfo {
        std::string path;
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        std::uint32_t reportLength = 7;
        std::uint32_t pollInterval = 0; // 0: not polled
        bool readable = true;           // false: opening for reading is refused, as for a keyboard
        // What a polled device's driver answers every poll with, report ID first: its latest packet. A reader
        // started on a polled device gets it at once, as from the first poll.
        std::vector<std::uint8_t> state = {0, 0, 0, 0, 0, 0, 0};
        // Read from its interrupt pipe: reportLength is the pipe's maximum packet size, a failed read halts
        // the pipe until it is reset, and one file at a time may use the device (as WinUSB allows).
        bool packets = false;
    };
    // A device read from its interrupt pipe, with a pipe of maxPacket bytes.
    static DeviceInfo pipeDevice(std::string path, std::uint16_t vendorId, std::uint16_t productId,
                                 std::uint32_t maxPacket = 8) {
        return {std::move(path), vendorId, productId, maxPacket, 0, true, {}, true};
    }
    struct Open {
        std::string path;
        bool forReading = false;
    };

    // The manager that the sim's events go to (read failures, timers, removal notices).
    void setManager(DeviceSet* manager) { manager_ = manager; }

    void plug(const DeviceInfo& info);
    void unplug(const std::string& path);
    // Hands a report (or a pipe device's packet) to the reader of the device (for a polled device it is its
    // latest packet from now on); false when no reader runs.
    bool deliver(const std::string& path, std::span<const std::uint8_t> bytes);
    // The device's current read fails: its reader ends and the manager hears of it. A pipe device's pipe
    // halts (a stall): every read fails at once until the pipe is reset.
    void failRead(const std::string& path);
    // Every read fails from now on (at once, when a reader starts) until cleared.
    void setBroken(const std::string& path, bool broken);
    // Fires the earliest pending retry timer, then tells the manager of reads that failed at once (a broken
    // device's); false when no timer is pending. The delay the timer was set with goes to *delay.
    bool fireRetry(std::chrono::milliseconds* delay = nullptr);
    std::size_t pendingRetries() const { return timers_.size(); }
    // The system asks whether it may remove the device (as for a driver update); returns whether the
    // library let go of every handle, so that the removal could go on.
    bool queryRemove(const std::string& path);
    void cancelRemove(const std::string& path);
    void completeRemove(const std::string& path);

    // What the library holds and did.
    std::vector<Open> openFiles() const;
    std::size_t openCount(const std::string& path) const;
    std::size_t identifyCount(const std::string& path) const;
    bool reading(const std::string& path) const;
    std::optional<std::uint32_t> interval(const std::string& path) const;
    std::size_t watchCount(const std::string& path) const;
    // Pipe resets of a pipe device that cleared its halt, and those refused because a reader still ran.
    std::size_t pipeResets(const std::string& path) const;
    std::size_t refusedResets(const std::string& path) const;
    bool halted(const std::string& path) const;
    // The diagnostics lines noted so far.
    const std::vector<std::string>& notes() const { return notes_; }

    // HidPort.
    std::vector<std::string> presentPaths() override;
    std::optional<DeviceFacts> identify(const std::string& path) override;
    FileId openForReading(const std::string& path) override;
    void close(FileId file) override;
    std::optional<std::uint32_t> pollInterval(FileId file) override;
    bool setPollInterval(FileId file, std::uint32_t ms) override;
    bool resetPipe(FileId file) override;
    WatchId watchRemoval(FileId file) override;
    void unwatchRemoval(WatchId watch) override;
    bool startReader(ReaderId id, FileId file, std::uint32_t reportLength, ReportSink& sink) override;
    void stopReader(ReaderId id) override;
    void retryAfter(ReaderId id, std::chrono::milliseconds delay) override;
    void cancelRetry(ReaderId id) override;
    void note(const std::string& line) override { notes_.push_back(line); }

  private:
    std::vector<WatchId> watchesOf(const std::string& path) const;

    struct Device {
        DeviceInfo info;
        bool present = true;
        bool broken = false;
        bool halted = false;
        std::size_t identified = 0;
        std::size_t resets = 0;
        std::size_t refused = 0;
    };
    struct Reader {
        FileId file = 0;
        ReportSink* sink = nullptr;
    };
    struct Timer {
        ReaderId id = 0;
        std::chrono::milliseconds delay{0};
        std::uint64_t order = 0;
    };
    Device* device(const std::string& path);
    const Device* device(const std::string& path) const;
    void endReader(ReaderId id);

    DeviceSet* manager_ = nullptr;
    std::vector<Device> devices_;
    std::map<FileId, Open> files_;
    std::map<WatchId, FileId> watches_; // a watch outlives the file it was made for
    std::map<WatchId, std::string> watchPaths_;
    std::map<ReaderId, Reader> readers_;
    std::vector<Timer> timers_;
    std::vector<std::string> notes_;
    std::vector<ReaderId> failedAtStart_; // readers of broken devices, whose failure is still to be told
    FileId nextFile_ = 1;
    WatchId nextWatch_ = 1;
    std::uint64_t nextOrder_ = 0;
};

} // namespace hidlib
