// The control interface of the virtual USB bus (qelmvusb.sys), shared by the driver and its user-mode
// feeder (vusbctl.exe).
//
// The driver creates one named control device, \Device\QelmVirtualUsb, reachable from user mode as
// \\.\QelmVirtualUsb. Its device-control requests (METHOD_BUFFERED, any access):
//   PLUG    no input, or ULONG QVUSB_PLUG_*: the receiver is attached to the bus (a child device appears):
//           by default the whole device (USB\VID_045E&PID_0284), which qelmrc drives; with
//           QVUSB_PLUG_INTERFACE0 its interface 0 alone, as Windows' composite-device driver presents it
//           (USB\VID_045E&PID_0284&MI_00, a configuration descriptor with that interface only), for the
//           WinUSB route: Wine has no composite-device driver
//   UNPLUG  no input: the receiver is detached (its transfers fail, the child device goes away)
//   PACKET  1 to QVUSB_MAX_PACKET bytes: the receiver sends this packet on its interrupt-IN pipe
//   STATE   output QVUSB_STATE: what the bus has seen, for tests
//   FAIL    input ULONG QVUSB_FAIL_*: the interrupt pipe fails the pending transfer (or, with none pending,
//           the next one) with a STALL handshake or a transaction error, and halts: as on a real host
//           controller, every later transfer fails at once (USBD_STATUS_ENDPOINT_HALTED) until the function
//           driver resets the pipe (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
#pragma once

#define QVUSB_DEVICE_TYPE 0x8000u
#define QVUSB_CODE(function)                                                                                 \
    ((QVUSB_DEVICE_TYPE << 16) | ((function) << 2)) // METHOD_BUFFERED, FILE_ANY_ACCESS

#define IOCTL_QVUSB_PLUG QVUSB_CODE(0x800u)
#define IOCTL_QVUSB_UNPLUG QVUSB_CODE(0x801u)
#define IOCTL_QVUSB_PACKET QVUSB_CODE(0x802u)
#define IOCTL_QVUSB_STATE QVUSB_CODE(0x803u)
#define IOCTL_QVUSB_FAIL QVUSB_CODE(0x804u)

#define QVUSB_PLUG_DEVICE 0u     // the whole receiver
#define QVUSB_PLUG_INTERFACE0 1u // its interface 0, as a composite device's function

#define QVUSB_FAIL_STALL 1u // the endpoint answers with STALL (USBD_STATUS_STALL_PID)
#define QVUSB_FAIL_XACT 2u  // no handshake at all: a transaction error (USBD_STATUS_XACT_ERROR)

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
    unsigned int Halted;               // the interrupt pipe is halted until it is reset
    unsigned int PipeErrors;           // transfers failed by FAIL (a stall or a transaction error)
    unsigned int PipeResets;           // reset-pipe requests that cleared the halt
    unsigned int HaltedFailures;       // transfers failed at once because the pipe was halted
    unsigned int Interface0;           // plugged as interface 0 alone (QVUSB_PLUG_INTERFACE0)
} QVUSB_STATE;
