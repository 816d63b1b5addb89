// The device manager over the sim backend's stack, wired as the Windows backend wires it: the sim tells the
// manager of failed reads, timers and removal notices, and the program's read-notify changes reach the
// manager (on Windows through the library thread). For the device manager's tests, HID and WinUSB alike.
#pragma once

#include "RecordingPoster.h"
#include "hidlib/Core.h"
#include "hidlib/DeviceSet.h"
#include "hidlib/SimHid.h"

struct SimManager {
    RecordingPoster poster;
    hidlib::Core core{poster};
    hidlib::SimHid sim;
    hidlib::DeviceSet set{core, sim};

    SimManager() {
        sim.setManager(&set);
        forward_.set = &set;
        core.setListener(&forward_);
    }
    SimManager(const SimManager&) = delete;
    SimManager& operator=(const SimManager&) = delete;

  private:
    struct Forward final : hidlib::ReadingListener {
        hidlib::DeviceSet* set = nullptr;
        void readingChanged(std::int32_t handle, bool reading) override {
            set->readingChanged(handle, reading);
        }
    };
    Forward forward_;
};
