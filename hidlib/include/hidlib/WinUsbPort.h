// The receiver as Microsoft's WinUSB driver presents it, for the device manager (DeviceSet): the devices of
// our device interface GUID (WinUsbInterface.h), each opened and initialized for WinUSB to read its device
// descriptor (vendor and product ID) and to find its interrupt IN pipe, and for reading that pipe straight
// from user mode. The Windows backend implements it with SetupDi and winusb.dll; SimHid plays such devices
// in memory for host tests (plugged with DeviceInfo::packets).
//
// What the manager relies on:
//  - identify gives facts with packets true and reportLength the interrupt IN pipe's maximum packet size
//    (0 when the interface has no such pipe); the pipe is found by querying the interface, never assumed.
//  - A reader keeps reads pending at all times, so that the host controller always has a transfer to fill
//    and no packet waits for the next read to be asked; it hands each packet, as it came, to the sink.
//  - WinUSB lets one file at a time use a device: identify lets go before it returns, and the manager never
//    opens a device twice.
#pragma once

#include "hidlib/DevicePort.h"

namespace hidlib {

class WinUsbPort : public DevicePort {
  public:
    // WinUsb_ResetPipe on the file's interrupt IN pipe.
    bool resetPipe(FileId file) override = 0;
};

} // namespace hidlib
