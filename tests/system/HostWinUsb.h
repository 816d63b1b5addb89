// The receiver read the WinUSB way on the host: the host kernel's USB bus stand-in with the receiver model
// (the same one qelmrc is tested on), and above it, in place of Microsoft's WinUSB and XBMC.dll's Windows
// port, a DevicePort that reads the interrupt pipe the way those two do: two interrupt transfers always at
// the bus, a reader thread that takes each completed one (as the Windows port's thread wakes on its read's
// event), hands the packet on and asks again. The library's device manager (DeviceSet) drives it, as it
// drives the Windows WinUSB port.
//
// A plain C++ face: the kernel's headers stay in HostWinUsb.cpp.
#pragma once

#include "hidlib/DevicePort.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class HostWinUsb final : public hidlib::DevicePort {
  public:
    HostWinUsb(); // the receiver present, not configured
    ~HostWinUsb() override;
    HostWinUsb(const HostWinUsb&) = delete;
    HostWinUsb& operator=(const HostWinUsb&) = delete;

    // The receiver sends one packet on its interrupt pipe: completes the oldest pending transfer, waiting at
    // most `timeout` for one to be there; false when none was.
    bool send(const std::array<std::uint8_t, 6>& packet, std::chrono::milliseconds timeout);
    std::size_t pendingTransfers() const;
    bool reading() const;

    // DevicePort: one device interface, the receiver's interface 0.
    std::vector<std::string> presentPaths() override;
    std::optional<hidlib::DeviceFacts> identify(const std::string& path) override;
    hidlib::FileId openForReading(const std::string& path) override;
    void close(hidlib::FileId file) override;
    bool resetPipe(hidlib::FileId file) override;
    hidlib::WatchId watchRemoval(hidlib::FileId) override { return 0; }
    void unwatchRemoval(hidlib::WatchId) override {}
    bool startReader(hidlib::ReaderId id, hidlib::FileId file, std::uint32_t reportLength,
                     hidlib::ReportSink& sink) override;
    void stopReader(hidlib::ReaderId id) override;
    // A failed read is counted and not asked again; nothing here calls the manager back.
    void retryAfter(hidlib::ReaderId, std::chrono::milliseconds) override {}
    void cancelRetry(hidlib::ReaderId) override {}
    void note(const std::string& line) override { notes_.push_back(line); }

    const std::vector<std::string>& notes() const { return notes_; }
    std::uint64_t failedReads() const;

  private:
    struct Kernel;
    std::unique_ptr<Kernel> kernel_;
    std::vector<std::string> notes_;
};
