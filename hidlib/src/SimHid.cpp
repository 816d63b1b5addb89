// The sim backend's device stack in memory.
#include "hidlib/SimHid.h"

#include <algorithm>
#include <utility>

namespace hidlib {

SimHid::Device* SimHid::device(const std::string& path) {
    for (Device& d : devices_) {
        if (d.info.path == path) {
            return &d;
        }
    }
    return nullptr;
}

const SimHid::Device* SimHid::device(const std::string& path) const {
    return const_cast<SimHid*>(this)->device(path);
}

void SimHid::plug(const DeviceInfo& info) {
    if (Device* d = device(info.path)) {
        d->info = info;
        d->present = true;
        d->broken = false;
        d->halted = false;
        return;
    }
    devices_.push_back({info, true, false, false, 0, 0, 0});
}

void SimHid::unplug(const std::string& path) {
    if (Device* d = device(path)) {
        d->present = false;
        // Reads on its open files fail from now on, as they do for a device that is gone.
        std::vector<ReaderId> ended;
        for (const auto& [id, reader] : readers_) {
            if (files_.at(reader.file).path == path) {
                ended.push_back(id);
            }
        }
        for (ReaderId id : ended) {
            endReader(id);
        }
    }
}

bool SimHid::deliver(const std::string& path, std::span<const std::uint8_t> bytes) {
    if (Device* d = device(path); d != nullptr && d->info.pollInterval > 0) {
        d->info.state.assign(bytes.begin(), bytes.end());
    }
    for (const auto& [id, reader] : readers_) {
        if (files_.at(reader.file).path == path) {
            reader.sink->deliver(bytes);
            return true;
        }
    }
    return false;
}

void SimHid::endReader(ReaderId id) {
    readers_.erase(id);
    if (manager_ != nullptr) {
        manager_->readFailed(id);
    }
}

void SimHid::failRead(const std::string& path) {
    if (Device* d = device(path); d != nullptr && d->info.packets) {
        d->halted = true;
    }
    for (const auto& [id, reader] : readers_) {
        if (files_.at(reader.file).path == path) {
            endReader(id);
            return;
        }
    }
}

void SimHid::setBroken(const std::string& path, bool broken) {
    if (Device* d = device(path)) {
        d->broken = broken;
        if (broken) {
            failRead(path);
        }
    }
}

bool SimHid::fireRetry(std::chrono::milliseconds* delay) {
    if (timers_.empty()) {
        return false;
    }
    auto earliest = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
        return a.delay != b.delay ? a.delay < b.delay : a.order < b.order;
    });
    const Timer timer = *earliest;
    timers_.erase(earliest);
    if (delay != nullptr) {
        *delay = timer.delay;
    }
    if (manager_ != nullptr) {
        manager_->retry(timer.id);
    }
    for (const ReaderId id : std::exchange(failedAtStart_, {})) {
        if (readers_.contains(id)) {
            endReader(id);
        }
    }
    return true;
}

// The handle notifications registered for the file at `path`, collected first: the manager's answer may
// register or unregister some.
std::vector<WatchId> SimHid::watchesOf(const std::string& path) const {
    std::vector<WatchId> watching;
    for (const auto& [watch, watchedPath] : watchPaths_) {
        if (watchedPath == path) {
            watching.push_back(watch);
        }
    }
    return watching;
}

bool SimHid::queryRemove(const std::string& path) {
    for (WatchId watch : watchesOf(path)) {
        if (manager_ != nullptr) {
            manager_->queryRemove(watch);
        }
    }
    return openCount(path) == 0;
}

void SimHid::cancelRemove(const std::string& path) {
    for (WatchId watch : watchesOf(path)) {
        if (manager_ != nullptr) {
            manager_->removeCancelled(watch);
        }
    }
}

void SimHid::completeRemove(const std::string& path) {
    for (WatchId watch : watchesOf(path)) {
        if (manager_ != nullptr) {
            manager_->removeDone(watch);
        }
    }
    unplug(path);
}

std::vector<SimHid::Open> SimHid::openFiles() const {
    std::vector<Open> open;
    for (const auto& [file, entry] : files_) {
        open.push_back(entry);
    }
    return open;
}

std::size_t SimHid::openCount(const std::string& path) const {
    return static_cast<std::size_t>(std::count_if(
        files_.begin(), files_.end(), [&path](const auto& entry) { return entry.second.path == path; }));
}

std::size_t SimHid::identifyCount(const std::string& path) const {
    const Device* d = device(path);
    return d != nullptr ? d->identified : 0;
}

bool SimHid::reading(const std::string& path) const {
    return std::any_of(readers_.begin(), readers_.end(), [this, &path](const auto& entry) {
        return files_.at(entry.second.file).path == path;
    });
}

std::optional<std::uint32_t> SimHid::interval(const std::string& path) const {
    const Device* d = device(path);
    return d != nullptr ? std::optional<std::uint32_t>(d->info.pollInterval) : std::nullopt;
}

std::size_t SimHid::watchCount(const std::string& path) const {
    return static_cast<std::size_t>(std::count_if(
        watchPaths_.begin(), watchPaths_.end(), [&path](const auto& entry) { return entry.second == path; }));
}

std::size_t SimHid::pipeResets(const std::string& path) const {
    const Device* d = device(path);
    return d != nullptr ? d->resets : 0;
}

std::size_t SimHid::refusedResets(const std::string& path) const {
    const Device* d = device(path);
    return d != nullptr ? d->refused : 0;
}

bool SimHid::halted(const std::string& path) const {
    const Device* d = device(path);
    return d != nullptr && d->halted;
}

std::vector<std::string> SimHid::presentPaths() {
    std::vector<std::string> paths;
    for (const Device& d : devices_) {
        if (d.present) {
            paths.push_back(d.info.path);
        }
    }
    return paths;
}

std::optional<DeviceFacts> SimHid::identify(const std::string& path) {
    Device* d = device(path);
    if (d == nullptr || !d->present) {
        return std::nullopt;
    }
    ++d->identified; // opened without access and closed again: no file stays open
    return DeviceFacts{d->info.vendorId, d->info.productId, d->info.reportLength, d->info.packets};
}

FileId SimHid::openForReading(const std::string& path) {
    const Device* d = device(path);
    if (d == nullptr || !d->present || !d->info.readable) {
        return 0;
    }
    if (d->info.packets && openCount(path) != 0) {
        return 0; // one file at a time
    }
    const FileId file = nextFile_++;
    files_[file] = {path, true};
    return file;
}

void SimHid::close(FileId file) {
    files_.erase(file);
}

std::optional<std::uint32_t> SimHid::pollInterval(FileId file) {
    const auto found = files_.find(file);
    if (found == files_.end()) {
        return std::nullopt;
    }
    const Device* d = device(found->second.path);
    return d != nullptr && d->present ? std::optional<std::uint32_t>(d->info.pollInterval) : std::nullopt;
}

bool SimHid::setPollInterval(FileId file, std::uint32_t ms) {
    const auto found = files_.find(file);
    Device* d = found != files_.end() ? device(found->second.path) : nullptr;
    if (d == nullptr || !d->present || d->info.pollInterval == 0) {
        return false;
    }
    d->info.pollInterval = ms;
    return true;
}

bool SimHid::resetPipe(FileId file) {
    const auto found = files_.find(file);
    Device* d = found != files_.end() ? device(found->second.path) : nullptr;
    if (d == nullptr || !d->present || !d->info.packets) {
        return false;
    }
    const bool readerRuns = std::any_of(readers_.begin(), readers_.end(),
                                        [file](const auto& entry) { return entry.second.file == file; });
    if (readerRuns) {
        ++d->refused; // reads still pending on the pipe: a host controller refuses
        return false;
    }
    d->halted = false;
    ++d->resets;
    return true;
}

WatchId SimHid::watchRemoval(FileId file) {
    const auto found = files_.find(file);
    if (found == files_.end()) {
        return 0;
    }
    const WatchId watch = nextWatch_++;
    watches_[watch] = file;
    watchPaths_[watch] = found->second.path;
    return watch;
}

void SimHid::unwatchRemoval(WatchId watch) {
    watches_.erase(watch);
    watchPaths_.erase(watch);
}

bool SimHid::startReader(ReaderId id, FileId file, std::uint32_t, ReportSink& sink) {
    const auto found = files_.find(file);
    const Device* d = found != files_.end() ? device(found->second.path) : nullptr;
    if (d == nullptr || !d->present) {
        return false;
    }
    readers_[id] = {file, &sink};
    if (d->broken || d->halted) {
        // The first read fails at once; the manager hears of it on its own thread, later.
        failedAtStart_.push_back(id);
    } else if (d->info.pollInterval > 0 && !d->info.state.empty()) {
        sink.deliver(d->info.state); // the first poll
    }
    return true;
}

void SimHid::stopReader(ReaderId id) {
    readers_.erase(id);
    std::erase(failedAtStart_, id);
}

void SimHid::retryAfter(ReaderId id, std::chrono::milliseconds delay) {
    cancelRetry(id);
    timers_.push_back({id, delay, nextOrder_++});
}

void SimHid::cancelRetry(ReaderId id) {
    std::erase_if(timers_, [id](const Timer& timer) { return timer.id == id; });
}

} // namespace hidlib
