// The library's core: handle table, report queues and notification rules. Platform-free.
#include "hidlib/Core.h"

#include <algorithm>
#include <cstring>

namespace hidlib {

namespace {

struct QueuedReport {
    std::uint8_t length = 0;
    std::array<std::uint8_t, kReadBufferSize> bytes{};
};

} // namespace

// One slot of the handle table. A slot keeps the IDs of its last device after a removal until the handle is
// given out again.
struct Core::Device {
    bool attached = false;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool notify = false;
    bool dropRepeats = true;
    // Ring of the reports not read yet: `count` entries starting at `head`.
    std::array<QueuedReport, kQueueCapacity> queue{};
    std::size_t head = 0;
    std::size_t count = 0;
    // The whole of the previous report, for dropping repeats.
    std::vector<std::uint8_t> previous;
    bool hasPrevious = false;
    DeviceCounters counters;

    void reset(std::uint16_t vid, std::uint16_t pid, bool drop) {
        attached = true;
        vendorId = vid;
        productId = pid;
        notify = false;
        dropRepeats = drop;
        head = 0;
        count = 0;
        previous.clear();
        hasPrevious = false;
        counters = {};
    }
    void clearQueue() {
        counters.discarded += count;
        head = 0;
        count = 0;
    }
};

Core::Core(Poster& poster) : poster_(poster) {}
Core::~Core() = default;

Core::Device* Core::attachedDevice(std::int32_t handle) const {
    if (handle < 1 || handle > kMaxHandle) {
        return nullptr;
    }
    Device* device = slots_[static_cast<std::size_t>(handle - 1)].get();
    return device != nullptr && device->attached ? device : nullptr;
}

void Core::postLocked(std::uintptr_t wParam, std::intptr_t lParam) {
    if (connected_) {
        poster_.post(window_, kNotifyMessage, wParam, lParam);
    }
}

void Core::setListener(ReadingListener* listener) {
    std::lock_guard lock(mutex_);
    listener_ = listener;
}

bool Core::connect(std::intptr_t hwnd) {
    std::lock_guard lock(mutex_);
    if (hwnd == 0) {
        return false;
    }
    window_ = hwnd;
    connected_ = true;
    bool any = false;
    for (std::int32_t handle = 1; handle <= kMaxHandle; ++handle) {
        if (attachedDevice(handle) != nullptr) {
            postLocked(kNotifyAttach, handle);
            any = true;
        }
    }
    if (any) {
        postLocked(kNotifyChange, 0);
    }
    return true;
}

bool Core::disconnect() {
    std::lock_guard lock(mutex_);
    const bool was = connected_;
    connected_ = false;
    window_ = 0;
    return was;
}

bool Core::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

std::intptr_t Core::window() const {
    std::lock_guard lock(mutex_);
    return window_;
}

std::int32_t Core::getHandle(std::int32_t vendorId, std::int32_t productId) const {
    std::lock_guard lock(mutex_);
    for (std::int32_t handle = 1; handle <= kMaxHandle; ++handle) {
        const Device* device = attachedDevice(handle);
        if (device != nullptr && device->vendorId == vendorId && device->productId == productId) {
            return handle;
        }
    }
    return 0;
}

std::int32_t Core::getVendorId(std::int32_t handle) const {
    std::lock_guard lock(mutex_);
    if (handle < 1 || handle > kMaxHandle || !slots_[static_cast<std::size_t>(handle - 1)]) {
        return 0;
    }
    return slots_[static_cast<std::size_t>(handle - 1)]->vendorId;
}

std::int32_t Core::getProductId(std::int32_t handle) const {
    std::lock_guard lock(mutex_);
    if (handle < 1 || handle > kMaxHandle || !slots_[static_cast<std::size_t>(handle - 1)]) {
        return 0;
    }
    return slots_[static_cast<std::size_t>(handle - 1)]->productId;
}

bool Core::setReadNotify(std::int32_t handle, bool enable) {
    ReadingListener* listener = nullptr;
    {
        std::lock_guard lock(mutex_);
        Device* device = attachedDevice(handle);
        if (device == nullptr) {
            return false;
        }
        if (enable && !device->notify) {
            // Whatever came in while nobody listened (typically the all-zero report a receiver gives before
            // its first packet) would otherwise be read one notification late, in place of the report
            // announced.
            device->clearQueue();
        }
        if (device->notify != enable) {
            listener = listener_;
        }
        device->notify = enable;
    }
    if (listener != nullptr) {
        listener->readingChanged(handle, enable);
    }
    return true;
}

std::size_t Core::read(std::int32_t handle, std::uint8_t* buffer) {
    std::lock_guard lock(mutex_);
    Device* device = attachedDevice(handle);
    if (device == nullptr || buffer == nullptr || device->count == 0) {
        return 0;
    }
    const QueuedReport& entry = device->queue[device->head];
    std::memcpy(buffer, entry.bytes.data(), entry.length);
    device->head = (device->head + 1) % kQueueCapacity;
    --device->count;
    ++device->counters.read;
    return entry.length;
}

std::int32_t Core::attach(std::uint16_t vendorId, std::uint16_t productId, bool dropRepeats) {
    std::lock_guard lock(mutex_);
    for (std::int32_t step = 1; step <= kMaxHandle; ++step) {
        const std::int32_t handle = (lastHandle_ + step - 1) % kMaxHandle + 1;
        auto& slot = slots_[static_cast<std::size_t>(handle - 1)];
        if (!slot) {
            slot = std::make_unique<Device>();
        } else if (slot->attached) {
            continue;
        }
        slot->reset(vendorId, productId, dropRepeats);
        lastHandle_ = handle;
        postLocked(kNotifyAttach, handle);
        return handle;
    }
    return 0;
}

bool Core::remove(std::int32_t handle) {
    std::lock_guard lock(mutex_);
    Device* device = attachedDevice(handle);
    if (device == nullptr) {
        return false;
    }
    device->attached = false;
    device->notify = false;
    device->clearQueue();
    device->previous.clear();
    device->previous.shrink_to_fit();
    device->hasPrevious = false;
    postLocked(kNotifyRemove, handle);
    return true;
}

void Core::change() {
    std::lock_guard lock(mutex_);
    postLocked(kNotifyChange, 0);
}

ReportResult Core::report(std::int32_t handle, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    Device* device = attachedDevice(handle);
    if (device == nullptr) {
        return ReportResult::Unknown;
    }
    if (bytes.empty()) {
        return ReportResult::Empty;
    }
    ++device->counters.reports;
    if (device->dropRepeats && device->hasPrevious && std::ranges::equal(device->previous, bytes)) {
        ++device->counters.duplicates;
        return ReportResult::Duplicate;
    }
    device->previous.assign(bytes.begin(), bytes.end());
    device->hasPrevious = true;

    if (device->count == kQueueCapacity) {
        device->head = (device->head + 1) % kQueueCapacity; // full: the oldest report goes
        --device->count;
        ++device->counters.discarded;
    }
    QueuedReport& entry = device->queue[(device->head + device->count) % kQueueCapacity];
    entry.length = static_cast<std::uint8_t>(std::min(bytes.size(), kReadBufferSize));
    std::copy_n(bytes.begin(), entry.length, entry.bytes.begin());
    ++device->count;

    if (device->notify && connected_) {
        ++device->counters.announced;
        postLocked(kNotifyRead, handle);
        return ReportResult::Queued;
    }
    ++device->counters.held;
    return ReportResult::Held;
}

bool Core::prime(std::int32_t handle, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    Device* device = attachedDevice(handle);
    if (device == nullptr || bytes.empty()) {
        return false;
    }
    ++device->counters.reports;
    ++device->counters.primed;
    device->previous.assign(bytes.begin(), bytes.end());
    device->hasPrevious = true;
    return true;
}

std::vector<std::int32_t> Core::attached() const {
    std::lock_guard lock(mutex_);
    std::vector<std::int32_t> handles;
    for (std::int32_t handle = 1; handle <= kMaxHandle; ++handle) {
        if (attachedDevice(handle) != nullptr) {
            handles.push_back(handle);
        }
    }
    return handles;
}

std::size_t Core::queued(std::int32_t handle) const {
    std::lock_guard lock(mutex_);
    const Device* device = attachedDevice(handle);
    return device != nullptr ? device->count : 0;
}

DeviceCounters Core::counters(std::int32_t handle) const {
    std::lock_guard lock(mutex_);
    const Device* device = attachedDevice(handle);
    return device != nullptr ? device->counters : DeviceCounters{};
}

} // namespace hidlib
