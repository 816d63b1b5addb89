// The device manager: opening, reading, retrying, watching and closing the platform's HID devices.
#include "hidlib/DeviceSet.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>

namespace hidlib {

namespace {

constexpr std::size_t kPacketReportLength = 6; // the report a packet becomes, after its report ID

// Takes a reader's reports into the core; the first one after opening a polled device only primes it. For a
// device read from its pipe, turns each packet into a report first.
struct Feed final : ReportSink {
    Core* core = nullptr;
    std::int32_t handle = 0;
    bool packets = false;
    // The report the packets of a device read from its pipe have made so far, report ID 0 first; the reader's
    // thread alone touches it.
    std::array<std::uint8_t, 1 + kPacketReportLength> packetReport{};
    std::atomic<bool> primeNext{false};
    std::atomic<unsigned> reads{0};     // reports since the reader started
    std::atomic<bool> delivered{false}; // the device has worked since the reader started (see deliver)
    std::mutex mutex;
    std::condition_variable primedSignal;
    bool primed = false; // guarded by mutex

    void deliver(std::span<const std::uint8_t> bytes) override {
        if (packets) {
            deliverPacket(bytes);
            return;
        }
        const unsigned count = ++reads;
        if (!primeNext.exchange(false)) {
            // A polled device answers the first poll after a reopening with its latest packet: that repeat
            // alone shows no progress. A new report does, and so do polls that go on being answered.
            const ReportResult result = core->report(handle, bytes);
            if (count > 1 || result == ReportResult::Queued || result == ReportResult::Held) {
                delivered.store(true);
            }
            return;
        }
        core->prime(handle, bytes);
        {
            std::lock_guard lock(mutex);
            primed = true;
        }
        primedSignal.notify_all();
    }
    // A packet is an event: the device sends one only when it has something to say. It overwrites the bytes
    // it has of the report, as the HID route's driver overwrites its latest packet, so that the program gets
    // the same report either way.
    void deliverPacket(std::span<const std::uint8_t> bytes) {
        delivered.store(true); // the pipe answered: the device works
        if (bytes.empty()) {
            return; // a zero-length packet carries nothing
        }
        const std::size_t length = std::min(bytes.size(), kPacketReportLength);
        std::copy_n(bytes.begin(), length, packetReport.begin() + 1);
        core->report(handle, packetReport);
    }
    // Waits for the priming report; without one in time, the next report counts as an event.
    void awaitPrimed(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        if (!primedSignal.wait_for(lock, timeout, [this] { return primed; })) {
            primeNext.store(false);
        }
    }
};

} // namespace

struct DeviceSet::Device {
    ReaderId id = 0;
    std::string path;
    std::int32_t handle = 0;
    DeviceFacts facts;
    bool reading = false; // the program reads it
    FileId file = 0;      // open for reading
    WatchId watch = 0;
    bool readerRunning = false;
    bool polled = false;
    std::optional<std::uint32_t> originalInterval; // saved when the interval was lowered
    unsigned failures = 0;                         // failed reads in a row (a report in between resets)
    std::uint64_t failedReads = 0;                 // since reading began, for the statistics
    std::uint64_t reopened = 0;
    std::uint64_t pipeResets = 0;
    bool everOpened = false; // opened for reading since the program began reading it
    bool retryPending = false;
    Feed feed;
};

DeviceSet::DeviceSet(Core& core, DevicePort& port) : core_(core), port_(port) {}

DeviceSet::~DeviceSet() {
    closeAll();
}

DeviceSet::Device* DeviceSet::byHandle(std::int32_t handle) const {
    for (const auto& device : devices_) {
        if (device->handle == handle) {
            return device.get();
        }
    }
    return nullptr;
}

DeviceSet::Device* DeviceSet::byId(ReaderId id) const {
    for (const auto& device : devices_) {
        if (device->id == id) {
            return device.get();
        }
    }
    return nullptr;
}

DeviceSet::Device* DeviceSet::byWatch(WatchId watch) const {
    if (watch == 0) {
        return nullptr;
    }
    for (const auto& device : devices_) {
        if (device->watch == watch) {
            return device.get();
        }
    }
    return nullptr;
}

ReaderId DeviceSet::readerOf(std::int32_t handle) const {
    const Device* device = byHandle(handle);
    return device != nullptr ? device->id : 0;
}

bool DeviceSet::openForReading(std::int32_t handle) const {
    const Device* device = byHandle(handle);
    return device != nullptr && device->file != 0;
}

void DeviceSet::rescan() {
    const std::vector<std::string> present = port_.presentPaths();
    const auto isPresent = [&present](const std::string& path) {
        return std::find(present.begin(), present.end(), path) != present.end();
    };
    bool changed = false;
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (!isPresent((*it)->path)) {
            closeReading(**it, true, false);
            noteStatistics(**it);
            core_.remove((*it)->handle);
            it = devices_.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    for (auto it = held_.begin(); it != held_.end();) {
        if (!isPresent(it->path)) {
            port_.unwatchRemoval(it->watch);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& path : present) {
        const bool known =
            std::any_of(devices_.begin(), devices_.end(),
                        [&path](const auto& device) { return device->path == path; }) ||
            std::any_of(held_.begin(), held_.end(), [&path](const Held& held) { return held.path == path; });
        if (known) {
            continue;
        }
        const std::optional<DeviceFacts> facts = port_.identify(path);
        if (!facts) {
            continue;
        }
        const std::int32_t handle = core_.attach(facts->vendorId, facts->productId, !facts->packets);
        if (handle == 0) {
            continue;
        }
        auto device = std::make_unique<Device>();
        device->id = nextId_++;
        device->path = path;
        device->handle = handle;
        device->facts = *facts;
        device->feed.core = &core_;
        device->feed.handle = handle;
        device->feed.packets = facts->packets;
        devices_.push_back(std::move(device));
        changed = true;
    }
    if (changed) {
        core_.change();
    }
}

bool DeviceSet::openReading(Device& device, bool primeFirst) {
    device.file = port_.openForReading(device.path);
    if (device.file == 0) {
        return false;
    }
    const std::optional<std::uint32_t> interval = port_.pollInterval(device.file);
    if (interval) {
        device.polled = *interval > 0;
        if (device.originalInterval) {
            // Opened again (after a failure or a resume): the device may have come back at its default.
            if (*interval != kPollIntervalMs) {
                port_.setPollInterval(device.file, kPollIntervalMs);
            }
        } else if (*interval > kPollIntervalMs && port_.setPollInterval(device.file, kPollIntervalMs)) {
            device.originalInterval = *interval;
        }
    }
    device.watch = port_.watchRemoval(device.file);
    const bool prime = primeFirst && device.polled;
    device.feed.primeNext.store(prime);
    device.feed.reads.store(0);
    device.feed.delivered.store(false);
    {
        std::lock_guard lock(device.feed.mutex);
        device.feed.primed = false;
    }
    device.readerRunning = port_.startReader(device.id, device.file, device.facts.reportLength, device.feed);
    if (!device.readerRunning) {
        closeReading(device, false, false);
        return false;
    }
    device.everOpened = true;
    if (prime) {
        // The device's state is taken before the program hears that reading began: whatever comes after
        // is an event. The first poll comes within the interval the device had before.
        device.feed.awaitPrimed(kPrimeWait);
    }
    return true;
}

void DeviceSet::closeReading(Device& device, bool restoreInterval, bool keepWatch) {
    if (device.retryPending) {
        port_.cancelRetry(device.id);
        device.retryPending = false;
    }
    if (device.readerRunning) {
        port_.stopReader(device.id);
        device.readerRunning = false;
    }
    if (device.file == 0) {
        // Between a failure and its retry: the interval is put back through a handle of its own, if the
        // device still lets itself be opened.
        if (restoreInterval && device.originalInterval) {
            if (const FileId file = port_.openForReading(device.path); file != 0) {
                port_.setPollInterval(file, *device.originalInterval);
                port_.close(file);
            }
            device.originalInterval.reset();
        }
        return;
    }
    if (restoreInterval && device.originalInterval) {
        port_.setPollInterval(device.file, *device.originalInterval);
        device.originalInterval.reset();
    }
    if (device.watch != 0 && !keepWatch) {
        port_.unwatchRemoval(device.watch);
        device.watch = 0;
    }
    port_.close(device.file);
    device.file = 0;
}

void DeviceSet::scheduleRetry(Device& device) {
    const unsigned doublings = std::min(device.failures > 0 ? device.failures - 1 : 0U, 16U);
    const auto delay = std::min<std::chrono::milliseconds>(kFirstRetry * (1LL << doublings), kLongestRetry);
    device.retryPending = true;
    port_.retryAfter(device.id, delay);
}

void DeviceSet::readingChanged(std::int32_t handle, bool reading) {
    Device* device = byHandle(handle);
    if (device == nullptr || device->reading == reading) {
        return;
    }
    if (!reading) {
        closeReading(*device, true, false);
        noteStatistics(*device);
        device->reading = false;
        return;
    }
    device->reading = true;
    device->failures = 0;
    device->failedReads = 0;
    device->reopened = 0;
    device->pipeResets = 0;
    device->everOpened = false;
    if (device->facts.reportLength > 0 && !openReading(*device, true)) {
        // Perhaps not ready yet; a device the system keeps (a keyboard or mouse) is refused every time and
        // given up after kOpenAttempts.
        device->failures = 1;
        scheduleRetry(*device);
    }
}

void DeviceSet::readFailed(ReaderId id) {
    Device* device = byId(id);
    if (device == nullptr || !device->readerRunning) {
        return;
    }
    device->failures = device->feed.delivered.load() ? 1 : device->failures + 1;
    ++device->failedReads;
    if (device->facts.packets) {
        // A device read from its pipe keeps its file: after the back-off its pipe is reset (a stall halts
        // it until then) and reading goes on.
        port_.stopReader(device->id);
        device->readerRunning = false;
    } else {
        // The handle may be stale (the device restarted underneath it): the retry opens the device afresh.
        // The lowered interval stays noted, to be put back later.
        closeReading(*device, false, false);
    }
    if (device->reading) {
        scheduleRetry(*device);
    }
}

void DeviceSet::retry(ReaderId id) {
    Device* device = byId(id);
    if (device == nullptr || !device->retryPending) {
        return;
    }
    device->retryPending = false;
    if (!device->reading || device->readerRunning) {
        return;
    }
    if (device->file != 0) {
        if (readOnAfterReset(*device)) {
            return;
        }
        closeReading(*device, false, false); // the file may lead nowhere now: opened afresh below
    }
    // Reports that arrived while the device failed are events, not its old state: no priming, unless it was
    // never open.
    ++device->reopened;
    if (!openReading(*device, !device->everOpened)) {
        ++device->failures;
        if (device->everOpened || device->failures < kOpenAttempts) {
            scheduleRetry(*device);
        }
    }
}

// A device read from its pipe, whose reader failed: resets the pipe and reads on through the same file.
bool DeviceSet::readOnAfterReset(Device& device) {
    if (!port_.resetPipe(device.file)) {
        return false;
    }
    ++device.pipeResets;
    device.feed.delivered.store(false);
    device.readerRunning = port_.startReader(device.id, device.file, device.facts.reportLength, device.feed);
    return device.readerRunning;
}

void DeviceSet::noteStatistics(const Device& device) {
    if (!device.reading) {
        return;
    }
    const DeviceCounters c = core_.counters(device.handle);
    char resets[48] = "";
    if (device.facts.packets) {
        std::snprintf(resets, sizeof resets, " pipe resets %llu",
                      static_cast<unsigned long long>(device.pipeResets));
    }
    char line[360];
    std::snprintf(line, sizeof line,
                  "XBMC.dll: %04X:%04X handle %d read: reports %llu repeats %llu primed %llu announced %llu "
                  "held %llu discarded %llu read %llu; failed reads %llu reopened %llu%s",
                  device.facts.vendorId, device.facts.productId, static_cast<int>(device.handle),
                  static_cast<unsigned long long>(c.reports), static_cast<unsigned long long>(c.duplicates),
                  static_cast<unsigned long long>(c.primed), static_cast<unsigned long long>(c.announced),
                  static_cast<unsigned long long>(c.held), static_cast<unsigned long long>(c.discarded),
                  static_cast<unsigned long long>(c.read),
                  static_cast<unsigned long long>(device.failedReads),
                  static_cast<unsigned long long>(device.reopened), resets);
    port_.note(line);
}

void DeviceSet::forget(Device& device) {
    noteStatistics(device);
    const std::int32_t handle = device.handle;
    std::erase_if(devices_, [&device](const auto& entry) { return entry.get() == &device; });
    core_.remove(handle);
    core_.change();
}

void DeviceSet::queryRemove(WatchId watch) {
    Device* device = byWatch(watch);
    if (device == nullptr) {
        return;
    }
    // Let go while the handle still works (the interval is put back), but keep the watch to hear the outcome.
    closeReading(*device, true, true);
    held_.push_back({watch, device->path});
    forget(*device);
}

void DeviceSet::removeCancelled(WatchId watch) {
    const auto found =
        std::find_if(held_.begin(), held_.end(), [watch](const Held& held) { return held.watch == watch; });
    if (found == held_.end()) {
        return;
    }
    port_.unwatchRemoval(watch);
    held_.erase(found);
    rescan(); // opened afresh: attach and change posted, the program asks for its reports again
}

void DeviceSet::removeDone(WatchId watch) {
    const auto found =
        std::find_if(held_.begin(), held_.end(), [watch](const Held& held) { return held.watch == watch; });
    if (found != held_.end()) {
        port_.unwatchRemoval(watch);
        held_.erase(found);
        return;
    }
    // Removed without asking (surprise removal) while open.
    if (Device* device = byWatch(watch)) {
        closeReading(*device, false, false);
        forget(*device);
    }
}

void DeviceSet::resume() {
    // Handles from before the sleep may lead nowhere now: close, rescan, and open again what is read.
    for (const auto& device : devices_) {
        closeReading(*device, false, false);
    }
    rescan();
    for (const auto& device : devices_) {
        if (device->reading && device->file == 0 && device->facts.reportLength > 0) {
            device->failures = 0;
            if (!openReading(*device, true)) {
                device->failures = 1;
                scheduleRetry(*device);
            }
        }
    }
}

void DeviceSet::closeAll() {
    for (const auto& device : devices_) {
        closeReading(*device, true, false);
        noteStatistics(*device);
        core_.remove(device->handle);
    }
    devices_.clear();
    for (const Held& held : held_) {
        port_.unwatchRemoval(held.watch);
    }
    held_.clear();
}

} // namespace hidlib
