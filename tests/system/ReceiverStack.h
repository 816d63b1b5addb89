// The receiver under the host kernel, as Windows runs it: the USB bus stand-in with the receiver model,
// qelmrc loaded (DriverEntry), the HID class driver stand-in creating the device, starting it and polling
// reads. Plugging in and pulling out the receiver are whole Plug and Play sequences.
//
// A plain C++ face: the kernel's headers stay in ReceiverStack.cpp.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class ReceiverStack {
  public:
    // Each report read by the class driver's poll thread (six bytes, no report ID), on that thread.
    using ReportSink = std::function<void(const std::uint8_t* report, std::size_t length)>;

    ReceiverStack();  // loads the driver
    ~ReceiverStack(); // pulls the receiver out if it is in, unloads the driver
    ReceiverStack(const ReceiverStack&) = delete;
    ReceiverStack& operator=(const ReceiverStack&) = delete;

    // A receiver arrives: a new USB device, AddDevice, start; then the class driver polls every interval.
    // False when the start failed.
    bool plugIn(std::chrono::microseconds pollInterval, ReportSink sink);
    // The receiver is pulled out: surprise removal, then removal.
    void pullOut();
    bool pluggedIn() const;

    // The receiver sends one packet on its interrupt pipe (waits for the driver's transfer to be there).
    bool send(const std::array<std::uint8_t, 6>& packet,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The USB IDs the class driver read from the device's attributes.
    std::uint16_t vendorId() const;
    std::uint16_t productId() const;
    // Reads the class driver's poll thread has sent so far.
    unsigned long polls() const;
    // When the poll thread's latest read started: called from the ReportSink, the start of the read that
    // delivered that report.
    std::chrono::steady_clock::time_point lastPollStart() const;

    // Kernel pool blocks still allocated beyond what existed before the stack was built (0 after unloading),
    // and a description for failure messages.
    static std::uint64_t outstandingPool();
    static std::string describePool();

    // The receiver's packet for a button: code in byte 2, value byte 4 (0x41 for a button press).
    static std::array<std::uint8_t, 6> buttonPacket(std::uint8_t code, std::uint8_t value = 0x41) {
        return {0x00, 0x00, code, 0x00, value, 0x00};
    }

  private:
    struct Kernel;
    std::unique_ptr<Kernel> kernel_;
};
