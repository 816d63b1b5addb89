// The requests the stand-in winusb.dll sends to the stand-in winusb.sys, one per WinUsb_* call that needs
// the device. Our own codes (Microsoft's WinUSB keeps its own private); both sides are built from this file.
// Test tools under Wine only, never shipped.
//
// Device-control requests on a device the stand-in driver serves (METHOD_BUFFERED, any access):
//   GET_DESCRIPTOR  in WUSB_DESCRIPTOR_REQUEST, out the descriptor's bytes (as many as fit): the device and
//                   configuration descriptors the driver read at start; others as the device answers them
//   READ_PIPE       in WUSB_PIPE_REQUEST, out the buffer to fill: one interrupt or bulk IN transfer of the
//                   output length, completed when the host controller has filled it (a short packet ends it);
//                   with RAW_IO on the pipe the length must be a multiple of the pipe's maximum packet size
//   RESET_PIPE      in WUSB_PIPE_REQUEST: clears a halt (refused by the bus while a transfer is pending)
//   ABORT_PIPE      in WUSB_PIPE_REQUEST: cancels the pipe's pending transfers
//   SET_PIPE_POLICY in WUSB_POLICY_REQUEST: keeps the value (RAW_IO changes what READ_PIPE accepts)
//   GET_PIPE_POLICY in WUSB_POLICY_REQUEST, out ULONG: the value kept (0 when never set)
//   STATE           out WUSB_STATE: what the driver has seen, for tests
#pragma once

#define WUSB_DEVICE_TYPE 0x8001u
#define WUSB_CODE(function) ((WUSB_DEVICE_TYPE << 16) | ((function) << 2)) // METHOD_BUFFERED, FILE_ANY_ACCESS

#define IOCTL_WUSB_GET_DESCRIPTOR WUSB_CODE(0x900u)
#define IOCTL_WUSB_READ_PIPE WUSB_CODE(0x901u)
#define IOCTL_WUSB_RESET_PIPE WUSB_CODE(0x902u)
#define IOCTL_WUSB_ABORT_PIPE WUSB_CODE(0x903u)
#define IOCTL_WUSB_SET_PIPE_POLICY WUSB_CODE(0x904u)
#define IOCTL_WUSB_GET_PIPE_POLICY WUSB_CODE(0x905u)
#define IOCTL_WUSB_STATE WUSB_CODE(0x906u)

// The pipe policies the stand-in knows (the values of winusbio.h); 1 to WUSB_POLICIES are kept.
#define WUSB_POLICIES 9u
#define WUSB_POLICY_RAW_IO 7u

typedef struct _WUSB_DESCRIPTOR_REQUEST {
    unsigned char Type;
    unsigned char Index;
    unsigned short LanguageId;
} WUSB_DESCRIPTOR_REQUEST;

typedef struct _WUSB_PIPE_REQUEST {
    unsigned char PipeId; // the endpoint address
} WUSB_PIPE_REQUEST;

typedef struct _WUSB_POLICY_REQUEST {
    unsigned char PipeId;
    unsigned long Policy;
    unsigned long Value;
} WUSB_POLICY_REQUEST;

typedef struct _WUSB_STATE {
    unsigned int Interfaces;    // device interfaces registered (from DeviceInterfaceGUIDs)
    unsigned int Started;       // the device is started and configured
    unsigned int Reads;         // READ_PIPE requests passed to the bus
    unsigned int ReadsRefused;  // READ_PIPE requests refused (unknown pipe, a length RAW_IO forbids)
    unsigned int Resets;        // RESET_PIPE requests the bus carried out
    unsigned int ResetsRefused; // RESET_PIPE requests the bus refused (a transfer was pending)
    unsigned int Aborts;        // ABORT_PIPE requests
    unsigned int OpensRefused;  // files refused because another one was open
} WUSB_STATE;
