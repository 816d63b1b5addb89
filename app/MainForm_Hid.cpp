// The main form's handlers of the HID library's notifications: attach, removal, change and report ready.
#include "Conversions.h"
#include "MainForm.h"
#include "Module1.h"
#include "kodi/Notifications.h"

#include <optional>
#include <string>

// The receiver test: the device is not the receiver when its vendor or product ID differs from the configured
// one. The steps run in this order: the library's vendor ID, the configured vendor ID, the library's product
// ID, the configured product ID. When a step fails (an ID text that is not a number, a library call that
// cannot be made) the test is abandoned as a whole and the device counts as the receiver.
bool MainForm::IsReceiver(std::int32_t pHandle) {
    auto& hid = platform_.hid;
    const std::optional<std::int32_t> vendorId = hid.GetVendorID(pHandle);
    if (!vendorId) {
        return true;
    }
    const std::optional<double> configuredVendor = TextToDouble(vendorIdText);
    if (!configuredVendor) {
        return true;
    }
    const std::optional<std::int32_t> productId = hid.GetProductID(pHandle);
    if (!productId) {
        return true;
    }
    const std::optional<double> configuredProduct = TextToDouble(productIdText);
    if (!configuredProduct) {
        return true;
    }
    return *configuredVendor == static_cast<double>(*vendorId) &&
           *configuredProduct == static_cast<double>(*productId);
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
}

void MainForm::OnChanged() {
    std::int32_t handle = 0;
    const auto vendorId = TextToLong(vendorIdText);
    const auto productId = TextToLong(productIdText);
    if (vendorId && productId) {
        handle = platform_.hid.GetHandle(*vendorId, *productId).value_or(0);
    }
    if (handle == 0) {
        SysTray1->SetIcon(Picture1.Picture);
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
