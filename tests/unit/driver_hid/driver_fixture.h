// Test fixture for the driver on the host kernel: the driver object after DriverEntry, the HID class
// driver stand-in, a receiver on the USB bus stand-in, and the leak checks every test ends with.
#pragma once

#include "qelm.h"
#include "qelm_hid.h"

#include "hostkernel/hidclass.h"
#include "hostkernel/hostkernel.h"
#include "hostkernel/usbreceiver.h"

#include <gtest/gtest.h>

#include <memory>

namespace qelmtest {

inline constexpr char16_t kRegistryPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qelmrc";

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hostk::resetPoolCounters();
        baselineBlocks_ = hostk::outstandingAllocations();
        baselineDevices_ = hostk::liveDeviceObjects();
        hostk::HidClassDriver::instance().reset();
        driver_ = hostk::createDriverObject(u"\\Driver\\qelmrc");
        RtlInitUnicodeString(&registryPath_, kRegistryPath);
        receiver_ = std::make_unique<hostk::UsbReceiver>();
    }

    void TearDown() override {
        device_.reset(); // sends the removal if the test did not
        receiver_.reset();
        if (entered_ && driver_->DriverUnload != nullptr) {
            driver_->DriverUnload(driver_);
        }
        hostk::deleteDriverObject(driver_);
        hostk::HidClassDriver::instance().reset();
        hostk::failAllocation(0);
        EXPECT_EQ(hostk::outstandingAllocations(), baselineBlocks_) << hostk::describeOutstanding();
        EXPECT_EQ(hostk::liveDeviceObjects(), baselineDevices_);
    }

    NTSTATUS enterDriver() {
        NTSTATUS status = DriverEntry(driver_, &registryPath_);
        entered_ = true;
        return status;
    }

    // DriverEntry, then a device over the receiver (AddDevice must succeed).
    void addDevice() {
        ASSERT_EQ(enterDriver(), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device_ = hostk::HidClassDriver::instance().addDevice(receiver_->pdo(), &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(device_, nullptr);
        device_->setAutoPoll(false); // tests send their reads themselves unless they poll on purpose
    }

    // A started device: added, started, descriptors read.
    void startDevice() {
        addDevice();
        ASSERT_EQ(device_->start(), STATUS_SUCCESS);
    }

    PDEVICE_EXTENSION extension() const { return static_cast<PDEVICE_EXTENSION>(device_->miniExtension()); }
    LONG removeLockCount() const {
        return __atomic_load_n(&extension()->RemoveLock.Common.IoCount, __ATOMIC_SEQ_CST);
    }

    ULONG driverBlocks() const { return static_cast<ULONG>(hostk::outstandingAllocations(QELM_POOL_TAG)); }

    // How many requests with this major (and minor) function reached the receiver.
    size_t requestsAtReceiver(UCHAR major, int minor = -1) const {
        size_t count = 0;
        for (const auto& request : receiver_->requests()) {
            if (request.majorFunction == major && (minor < 0 || request.minorFunction == minor)) {
                ++count;
            }
        }
        return count;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    UNICODE_STRING registryPath_{};
    std::unique_ptr<hostk::UsbReceiver> receiver_;
    std::unique_ptr<hostk::HidClassDevice> device_;
    bool entered_ = false;

  private:
    uint64_t baselineBlocks_ = 0;
    uint64_t baselineDevices_ = 0;
};

} // namespace qelmtest
