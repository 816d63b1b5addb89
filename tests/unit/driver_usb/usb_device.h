// A receiver on the host kernel's USB bus with the driver's device object above it, set up as AddDevice
// leaves it: HID class extension, device extension with its locks and event, lower device. Tests of the
// transport drive qelm_usb directly on it.
#pragma once

#include "qelm.h"

#include "hostkernel/hostkernel.h"
#include "hostkernel/usbreceiver.h"

#include <array>
#include <cstdint>
#include <vector>

struct UsbTestDevice {
    hostk::UsbReceiver receiver;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;

    UsbTestDevice() {
        driver = hostk::createDriverObject(u"\\Driver\\qelmrc");
        IoCreateDevice(driver, sizeof(HID_DEVICE_EXTENSION) + sizeof(DEVICE_EXTENSION), NULL,
                       FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        IoAttachDeviceToDeviceStack(fdo, receiver.pdo());
        auto* hid = static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension);
        hid->PhysicalDeviceObject = receiver.pdo();
        hid->NextDeviceObject = receiver.pdo();
        hid->MiniDeviceExtension = hid + 1;
        ext = GetDeviceExtension(fdo);
        KeInitializeSpinLock(&ext->TransferLock);
        IoInitializeRemoveLock(&ext->RemoveLock, QELM_REMOVE_LOCK_TAG, 0, 0);
        KeInitializeEvent(&ext->PnpIdleEvent, NotificationEvent, FALSE);
        ext->LowerDevice = hid->NextDeviceObject;
    }

    ~UsbTestDevice() {
        IoDetachDevice(receiver.pdo());
        IoDeleteDevice(fdo);
        hostk::deleteDriverObject(driver);
    }

    UsbTestDevice(const UsbTestDevice&) = delete;
    UsbTestDevice& operator=(const UsbTestDevice&) = delete;

    // Holders of the remove lock besides its own bias.
    LONG removeLockHolders() const { return ext->RemoveLock.Common.IoCount - 1; }

    std::array<uint8_t, 6> latestReport() const {
        std::array<uint8_t, 6> report{};
        CopyLatestReport(ext, report.data());
        return report;
    }
};
