// The main form's handlers of the HID library's notifications: attach, removal, change and report ready.
#include "SettingsCheck.h"
#include "MainForm.h"
#include "Module1.h"
#include "kodi/Notifications.h"

#include <optional>
#include <string>

// The receiver test: the device is not the receiver when its vendor or product ID differs from the configured
// one. The steps run in this order: the library's vendor ID, the configured vendor ID, the library's product
// ID, the configured product ID. A library call that cannot be made abandons the test, and the device counts
// as the receiver. A configured ID that is no USB ID makes no device the receiver (the tip says which key is
// wrong): taking every device for the receiver would have them all blink the icon and be read.
bool MainForm::IsReceiver(std::int32_t pHandle) {
    auto& hid = platform_.hid;
    const std::optional<std::int32_t> vendorId = hid.GetVendorID(pHandle);
    if (!vendorId) {
        return true;
    }
    const std::optional<std::uint16_t> configuredVendor = ParseUsbId(vendorIdText);
    if (!configuredVendor) {
        return false;
    }
    const std::optional<std::int32_t> productId = hid.GetProductID(pHandle);
    if (!productId) {
        return true;
    }
    const std::optional<std::uint16_t> configuredProduct = ParseUsbId(productIdText);
    if (!configuredProduct) {
        return false;
    }
    return *configuredVendor == *vendorId && *configuredProduct == *productId;
}

void MainForm::OnPlugged(std::int32_t pHandle) {
    if (!IsReceiver(pHandle)) {
        return;
    }
    SysTray1->SetIcon(Icon);
    if (detect.Value == 0 && receiverLost_) {
        NotifyKodi(kodi::ReceiverPluggedNotice()); // back after a removal (its first arrival is no news)
    }
    detect.Value = 1;
    Diagnostics().Write("Receiver plugged in");
    CheckMediaCenter(*this);
}

void MainForm::OnUnplugged(std::int32_t pHandle) {
    if (!IsReceiver(pHandle)) {
        return;
    }
    SysTray1->SetIcon(Picture1.Picture);
    if (detect.Value == 1) {
        receiverLost_ = true;
        NotifyKodi(kodi::ReceiverUnpluggedNotice());
    }
    detect.Value = 0;
    Diagnostics().Write("Receiver removed");
    ShowStatus();
}

void MainForm::OnChanged() {
    std::int32_t handle = 0;
    const auto vendorId = ParseUsbId(vendorIdText);
    const auto productId = ParseUsbId(productIdText);
    if (vendorId && productId) {
        handle = platform_.hid.GetHandle(*vendorId, *productId).value_or(0);
    }
    if (handle == 0) {
        SysTray1->SetIcon(Picture1.Picture);
        if (detect.Value != 0) {
            Diagnostics().Write("Receiver gone");
        }
        if (detect.Value == 1) {
            receiverLost_ = true;
            NotifyKodi(kodi::ReceiverUnpluggedNotice());
        }
        detect.Value = 0;
        CheckMediaCenter(*this);
    }
    // Also with the handle 0: the library then has no device to notify about.
    platform_.hid.SetReadNotify(handle, platform::HidTrue);
}

void MainForm::OnRead(std::int32_t pHandle) {
    const auto read = platform_.hid.Read(pHandle, readBuffer.data());
    if (!read || *read == 0) {
        return;
    }
    // Buffer byte 0 is the report ID; byte k + 1 is report byte k.
    Rcv2.SetCaption(std::to_string(readBuffer[3]));
    // The button value is computed as a signed 16-bit product: from 213 on it overflows and this report
    // leaves the button value, and the dispatch, alone.
    const int product = static_cast<int>(readBuffer[5]) * 154;
    if (product > 32767) {
        return;
    }
    Rcv3.SetCaption(std::to_string(product));
}
