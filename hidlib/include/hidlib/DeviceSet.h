// The device manager of a backend that reaches a platform's device stack: the HID stack (the Windows HID
// backend; SimHid in host tests) or WinUSB (the Windows WinUSB backend; SimHid's packet devices in host
// tests). Which devices are open and how, in one place, so that the library touches only what it is asked
// to.
//
//  - A device is opened to read its IDs and let go of at once. It is opened for reading, and a polled
//    device's interval lowered to kPollIntervalMs, only while the program reads it (its read notify is on);
//    the interval it had is put back when reading stops, the device goes or the library disconnects. The
//    first report of a polled device just opened is its current state (its driver answers every poll with
//    its latest packet, which may be a press from long ago): it primes the repeat filter instead of being
//    announced, and it is waited for (at most kPrimeWait) before the change of reading returns, so that
//    every report after that counts as an event.
//  - A device read from its interrupt pipe (DeviceFacts::packets) is not polled: each packet becomes one
//    report, report ID 0 then six bytes, as the HID route's driver gives it (a short packet replaces only its
//    own bytes of the previous one, a longer one is cut to six, an empty one gives none), and no repeat is
//    dropped: two identical packets are two presses.
//  - A failed read closes the device and opens it again after a back-off that doubles from kFirstRetry up to
//    kLongestRetry; a device read from its pipe keeps its file, and after the back-off its pipe is reset
//    and reading goes on (opened afresh if the reset is refused). A new report, or a second one since the
//    reopening, starts the back-off afresh; the repeat a polled device answers its first poll with does not.
//    The device is never given up while it is present. A device that cannot be opened for reading when the
//    program asks is tried kOpenAttempts times with the same back-off, then left unread (the system keeps
//    keyboards and mice for itself; another program may hold a WinUSB device).
//  - After a resume every device read is closed, the devices are rescanned and the ones still read opened
//    again.
//  - When reading a device ends, one line of statistics goes to DevicePort::note: the core's counters for it
//    (reports handed in, repeats dropped, primed, announced, held, discarded, read) and the manager's own
//    (failed reads, reopenings, and for a device read from its pipe the pipe resets).
//  - Each device open for reading is watched for removal: when the system asks whether it may remove it
//    (a driver update or disable), the device is closed and counts as away (removal and change posted); when
//    the removal is cancelled it is opened again (attach and change posted).
//
// Not thread-safe: every member runs on the backend's one thread. Reports travel from the readers' threads
// straight to the core.
#pragma once

#include "hidlib/Core.h"
#include "hidlib/DevicePort.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hidlib {

inline constexpr std::uint32_t kPollIntervalMs = 10; // asked of a polled device read slower than this
inline constexpr std::chrono::milliseconds kFirstRetry{20};
inline constexpr std::chrono::milliseconds kLongestRetry{1000};
inline constexpr std::chrono::milliseconds kPrimeWait{500}; // Wine polls every 200 ms until told otherwise
inline constexpr unsigned kOpenAttempts = 5; // a device that never opens for reading is given up after these

class DeviceSet {
  public:
    DeviceSet(Core& core, DevicePort& port);
    ~DeviceSet();
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;

    // Brings the table in line with the devices present: vanished ones are closed and posted as removed,
    // new ones identified and posted as attached, then one change if anything happened.
    void rescan();
    // The program switched a device's read notify (Core's ReadingListener, forwarded to this thread).
    void readingChanged(std::int32_t handle, bool reading);
    // A reader ended with a failure.
    void readFailed(ReaderId id);
    // A back-off is over.
    void retry(ReaderId id);
    // Removal notices for a watched device.
    void queryRemove(WatchId watch);
    void removeCancelled(WatchId watch);
    void removeDone(WatchId watch);
    // The system woke from sleep or hibernation.
    void resume();
    // Closes every device (intervals put back) and removes it from the core, without notifications if the
    // core is disconnected.
    void closeAll();

    // For tests and diagnostics: the device's reader number (0 for an unknown handle), and whether it is
    // open for reading now.
    ReaderId readerOf(std::int32_t handle) const;
    bool openForReading(std::int32_t handle) const;

  private:
    struct Device;
    struct Held {
        WatchId watch;
        std::string path;
    };
    Device* byHandle(std::int32_t handle) const;
    Device* byId(ReaderId id) const;
    Device* byWatch(WatchId watch) const;
    bool openReading(Device& device, bool primeFirst);
    void closeReading(Device& device, bool restoreInterval, bool keepWatch);
    void scheduleRetry(Device& device);
    bool readOnAfterReset(Device& device);
    void forget(Device& device);
    void noteStatistics(const Device& device);

    Core& core_;
    DevicePort& port_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<Held> held_; // asked for removal and let go: not opened again until the outcome is known
    ReaderId nextId_ = 1;
};

} // namespace hidlib
