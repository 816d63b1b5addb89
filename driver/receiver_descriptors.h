// The descriptors of the Xbox DVD remote's USB receiver (USB 045E:0284), as the device returns them.
//
// One copy for every model of the receiver: the host kernel's bus driver (driver/hostkernel) and the
// virtual USB bus driver that plays the receiver under Wine (tools/virtual-usb-bus). Plain byte arrays, so
// that both a hosted and a freestanding build can include it.
#pragma once

// Device descriptor: 18 bytes.
static const unsigned char QelmReceiverDeviceDescriptor[18] = {
    0x12, 0x01,       // bLength 18, device
    0x10, 0x01,       // bcdUSB 1.10
    0x00, 0x00, 0x00, // class, subclass, protocol: per interface
    0x40,             // bMaxPacketSize0 64
    0x5E, 0x04,       // idVendor 0x045E
    0x84, 0x02,       // idProduct 0x0284
    0x0A, 0x00,       // bcdDevice 0x000A
    0x00, 0x00, 0x00, // no strings
    0x01,             // one configuration
};

// Configuration descriptor with its interfaces and endpoint: wTotalLength 34 bytes.
static const unsigned char QelmReceiverConfigurationDescriptor[34] = {
    0x09, 0x02, 0x22, 0x00, 0x02, 0x01, 0x00, 0x80, 0x32, // configuration: wTotalLength 34, 2 interfaces
    0x09, 0x04, 0x00, 0x00, 0x01, 0x58, 0x42, 0x00, 0x00, // interface 0: class 0x58/0x42, one endpoint
    0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x10,             // endpoint 0x81 IN, interrupt, 8 bytes, 16 ms
    0x09, 0x04, 0x01, 0x00, 0x00, 0x59, 0x00, 0x00, 0x00, // interface 1: class 0x59, no endpoints
};
