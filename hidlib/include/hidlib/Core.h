// The HID access library's core, shared by every backend: the connected window, the handle table, per device
// its IDs, read-notify flag and report queue, and the rules for posting notifications.
//
// Backends (Windows HID, virtual, sim) feed it device events from their own threads; the program's thread
// calls the seven operations. Every member is safe to call from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace hidlib {

inline constexpr std::uint32_t kNotifyMessage = 0x80C8; // WM_APP + 200
inline constexpr std::uintptr_t kNotifyAttach = 1;
inline constexpr std::uintptr_t kNotifyRemove = 2;
inline constexpr std::uintptr_t kNotifyChange = 3;
inline constexpr std::uintptr_t kNotifyRead = 4;

inline constexpr std::size_t kReadBufferSize = 17; // report ID + 16 report bytes
inline constexpr std::size_t kQueueCapacity = 64;  // reports kept per device; the oldest goes first
inline constexpr std::int32_t kMaxHandle = 256;    // handles are 1..kMaxHandle

// Where notifications go. On Windows this is PostMessageA. It is called with the core's lock held, so that
// notifications leave in the order the events happened: it must only queue the message, never call back into
// the library.
struct Poster {
    virtual ~Poster() = default;
    virtual void post(std::intptr_t hwnd, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

// Told when the program switches a device's read notify on or off, so that a backend opens the device for
// reading only while it is read. Called after the core's lock is released, on the thread that called
// setReadNotify; it may call back into the core.
struct ReadingListener {
    virtual ~ReadingListener() = default;
    virtual void readingChanged(std::int32_t handle, bool reading) = 0;
};

// What the core counted for one device since it was attached (the library's own statistics).
struct DeviceCounters {
    std::uint64_t reports = 0;    // reports the backend handed in, repeats included
    std::uint64_t duplicates = 0; // dropped as repeats of the previous report
    std::uint64_t primed = 0;     // taken as the device's current state, not as an event
    std::uint64_t announced = 0;  // queued with a read notification
    std::uint64_t held = 0;       // queued without one
    std::uint64_t discarded = 0;  // dropped from the queue: overflow, or notify switched on
    std::uint64_t read = 0;       // handed out by read
};

enum class ReportResult {
    Queued,    // queued and announced: connected, and the device's notify flag is on
    Held,      // queued without a notification (not connected, or the device's notify flag is off)
    Duplicate, // identical to the device's previous report: dropped
    Unknown,   // no attached device has this handle
    Empty,     // a report without bytes: ignored
};

class Core {
  public:
    explicit Core(Poster& poster);
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // --- The program's side (the seven exports) ---

    // Starts posting to hwnd (0 fails) and announces the attached devices: one attach each, in handle order,
    // then one change if there was any.
    bool connect(std::intptr_t hwnd);
    // The listener told about read-notify changes (none by default). Set before the program can call
    // setReadNotify.
    void setListener(ReadingListener* listener);

    // Stops posting. False when not connected.
    bool disconnect();
    bool connected() const;
    std::intptr_t window() const;

    std::int32_t getHandle(std::int32_t vendorId, std::int32_t productId) const;
    // IDs of an attached device, or of a removed one whose handle has not been given out again; else 0.
    std::int32_t getVendorId(std::int32_t handle) const;
    std::int32_t getProductId(std::int32_t handle) const;
    // Switching the flag on from off discards reports queued before: the first report announced is one that
    // came after the request. False for a handle that is not attached.
    bool setReadNotify(std::int32_t handle, bool enable);
    // Pops the oldest report into buffer (kReadBufferSize bytes), report ID first. Returns the number of
    // bytes written: the report's length, at most kReadBufferSize; 0 when there is none or the handle is
    // unknown.
    std::size_t read(std::int32_t handle, std::uint8_t* buffer);

    // --- The backend's side ---

    // A device arrived: gives it a handle (0 when all are in use) and posts an attach. Handles go round the
    // range, so a removed device's handle (and IDs) stay untouched as long as possible. With dropRepeats, a
    // report identical to the device's previous one is dropped (a polled device answers every poll with its
    // latest packet); without, every report is an event (a device read from its interrupt pipe).
    std::int32_t attach(std::uint16_t vendorId, std::uint16_t productId, bool dropRepeats = true);
    // A device left: its queue is dropped and a removal is posted. False for a handle that is not attached.
    bool remove(std::int32_t handle);
    // Posts a change.
    void change();
    // A report read from the device, report ID first, any length. Duplicate only for a device attached with
    // dropRepeats.
    ReportResult report(std::int32_t handle, std::span<const std::uint8_t> bytes);
    // The device's current state rather than an event, for example the first answer of a polled device just
    // opened (its driver answers every poll with its latest packet, however old): it becomes the report
    // that later ones are compared with, and is neither queued nor announced. False for an unknown handle.
    bool prime(std::int32_t handle, std::span<const std::uint8_t> bytes);

    // Handles of the attached devices, in handle order.
    std::vector<std::int32_t> attached() const;
    // Reports waiting in the device's queue (0 for an unknown handle).
    std::size_t queued(std::int32_t handle) const;
    // The counters of an attached device (all zero for an unknown handle).
    DeviceCounters counters(std::int32_t handle) const;

  private:
    struct Device;
    Device* attachedDevice(std::int32_t handle) const;
    void postLocked(std::uintptr_t wParam, std::intptr_t lParam);

    Poster& poster_;
    ReadingListener* listener_ = nullptr;
    mutable std::mutex mutex_;
    std::intptr_t window_ = 0;
    bool connected_ = false;
    std::int32_t lastHandle_ = 0; // the handle given out last; the search for a free one starts after it
    std::array<std::unique_ptr<Device>, kMaxHandle> slots_; // slot h-1; null until handle h is first used
};

} // namespace hidlib
