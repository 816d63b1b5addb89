// The control interface of the virtual USB bus (qelmvusb.sys), shared by the driver and its user-mode
// feeder (vusbctl.exe).
//
// The driver creates one named control device, \Device\QelmVirtualUsb, reachable from user mode as
// \\.\QelmVirtualUsb. Its device-control requests (METHOD_BUFFERED, any access):
//   PLUG    no input: the receiver is attached to the bus (a child device appears)
//   UNPLUG  no input: the receiver is detached (its transfers fail, the child device goes away)
//   PACKET  1 to QVUSB_MAX_PACKET bytes: the receiver sends this packet on its interrupt-IN pipe
//   STATE   output QVUSB_STATE: what the bus has seen, for tests
#pragma once

#define QVUSB_DEVICE_TYPE 0x8000u
#define QVUSB_CODE(function)                                                                                 \
    ((QVUSB_DEVICE_TYPE << 16) | ((function) << 2)) // METHOD_BUFFERED, FILE_ANY_ACCESS

#define IOCTL_QVUSB_PLUG QVUSB_CODE(0x800u)
#define IOCTL_QVUSB_UNPLUG QVUSB_CODE(0x801u)
#define IOCTL_QVUSB_PACKET QVUSB_CODE(0x802u)
#define IOCTL_QVUSB_STATE QVUSB_CODE(0x803u)

// The interrupt endpoint's wMaxPacketSize.
#define QVUSB_MAX_PACKET 8u
// Packets the receiver holds while no transfer is outstanding; the oldest is dropped beyond this.
#define QVUSB_QUEUE_LENGTH 16u

#define QVUSB_CONTROL_NAME L"\\Device\\QelmVirtualUsb"
#define QVUSB_CONTROL_LINK L"\\DosDevices\\QelmVirtualUsb"
#define QVUSB_USER_PATH "\\\\.\\QelmVirtualUsb"

typedef struct _QVUSB_STATE {
    unsigned int BusStarted;       // the bus device (root-enumerated) is started
    unsigned int Plugged;          // the receiver is attached
    unsigned int ChildStarted;     // the receiver's device got its start request
    unsigned int Configured;       // a configuration is selected on the receiver
    unsigned int TransfersPending; // interrupt transfers waiting for a packet
    unsigned int PacketsQueued;    // packets waiting for a transfer
    unsigned int TransfersDone;    // interrupt transfers completed with a packet (since the driver loaded)
    unsigned int PacketsDropped;   // packets dropped from a full queue or sent while unplugged
    unsigned int DescriptorReads;  // get-descriptor requests answered
    unsigned int SelectConfigurations; // select-configuration requests (with a configuration) answered
    unsigned int Removals;             // removal requests the receiver's device got
} QVUSB_STATE;
