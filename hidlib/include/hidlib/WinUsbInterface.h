// The receiver as the WinUSB route sees it: the device interface that our INF-only package publishes for the
// receiver's interface 0 (through Microsoft's WinUSB driver, as DeviceInterfaceGUIDs), and the hardware ID
// that package matches. XBMC.dll lists the devices of this interface; the package generator writes the same
// GUID into the INF. Defined here once; plain C so that every build (user mode, tools, host tests) can read it.
#ifndef HIDLIB_WINUSB_INTERFACE_H
#define HIDLIB_WINUSB_INTERFACE_H

#include <stdint.h>

// The interface GUID as the INF and the registry write it.
#define QELM_WINUSB_INTERFACE_GUID_TEXT "{A44DE763-3637-412B-9680-F59B54DF8F68}"

// The same GUID as its fields (Data1, Data2, Data3, Data4[0..7]), for a GUID initializer.
#define QELM_WINUSB_INTERFACE_GUID_FIELDS                                                                      \
    0xA44DE763u, 0x3637u, 0x412Bu, { 0x96u, 0x80u, 0xF5u, 0x9Bu, 0x54u, 0xDFu, 0x8Fu, 0x68u }

// The receiver's interface 0 as Windows' composite-device driver names it: the WinUSB package's hardware ID.
#define QELM_RECEIVER_VENDOR_ID 0x045Eu
#define QELM_RECEIVER_PRODUCT_ID 0x0284u
#define QELM_RECEIVER_INTERFACE0_HARDWARE_ID "USB\\VID_045E&PID_0284&MI_00"

#endif
