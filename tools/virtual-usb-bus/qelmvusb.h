// qelmvusb.sys: a virtual USB bus with one port, on which the Xbox DVD remote's receiver can be plugged.
// Kernel mode, for tests and the demo under Wine; never shipped.
//
// Shared by the bus driver's modules, one per kind of device object it creates:
//   qelmvusb.cpp          entry, unload, and the dispatch routines that route each request by device kind
//   qelmvusb_control.cpp  the named control device the tests drive: plug, unplug, packet, state
//   qelmvusb_bus.cpp      the bus device (FDO on the root-enumerated device): AddDevice, Plug and Play
//   qelmvusb_child.cpp    the receiver's device (PDO): identity, Plug and Play, URBs, interrupt transfers
// Holds the device kinds, the extensions, the one bus's state with its lock, and the routines each module
// offers the others.
//
// Plug and Play requests are all answered synchronously: Wine's Plug and Play code waits on each one.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "vusb_control.h"

namespace qelmvusb {

// Pool tag of every allocation the bus makes: the bytes 'V' 'u' 's' 'b' in memory.
constexpr ULONG Tag = (ULONG)'V' | ((ULONG)'u' << 8) | ((ULONG)'s' << 16) | ((ULONG)'b' << 24);

// The kind of a device object, first in each of their extensions.
enum DeviceKind : ULONG { KindControl = 1, KindBus = 2, KindChild = 3 };

struct DeviceHeader {
    DeviceKind Kind;
};

// Extension of the bus device. Written by AddDevice only.
struct BusExtension {
    DeviceHeader Header;
    PDEVICE_OBJECT LowerDevice; // the root device below the bus
    PDEVICE_OBJECT RootDevice;  // the same, the device whose relations change
};

// Extension of the receiver's device: only its kind; its state is in the bus's.
struct ChildExtension {
    DeviceHeader Header;
};

struct Packet {
    ULONG Length;
    UCHAR Bytes[QVUSB_MAX_PACKET];
};

// The one bus. Control is written by DriverEntry and Unload; every field below Lock is guarded by it.
struct BusState {
    PDEVICE_OBJECT Control;
    PDEVICE_OBJECT Bus;
    KSPIN_LOCK Lock;
    PDEVICE_OBJECT Child; // the receiver's device, from plug until its removal
    BOOLEAN Present;      // the receiver is attached (the child is reported to the Plug and Play manager)
    BOOLEAN Interface0;   // attached as its interface 0 alone (QVUSB_PLUG_INTERFACE0), until the next plug
    BOOLEAN ChildStarted;
    BOOLEAN Configured;
    BOOLEAN BusStarted;
    LIST_ENTRY PendingTransfers; // interrupt transfers waiting for a packet, oldest first
    ULONG PendingCount;
    Packet Queue[QVUSB_QUEUE_LENGTH]; // packets waiting for a transfer, a ring
    ULONG QueueHead;
    ULONG QueueCount;
    ULONG TransfersDone;
    ULONG PacketsDropped;
    ULONG DescriptorReads;
    ULONG SelectConfigurations;
    ULONG Removals;
    BOOLEAN Halted; // the interrupt pipe is halted: transfers fail until it is reset
    ULONG FailNext; // QVUSB_FAIL_* armed for the next transfer (none was pending); 0: none
    ULONG PipeErrors;
    ULONG PipeResets;
    ULONG HaltedFailures;
};

extern BusState Bus;

// ---------------------------------------------------------------------------------------------------------
// qelmvusb.cpp: shared helpers
// ---------------------------------------------------------------------------------------------------------

// Completes the request with this status and information; returns the status. The request is gone after.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// A copy of a string (Bytes long, terminators included) in paged pool, which the caller of the request
// frees; NULL without memory.
PWCHAR CopyString(const WCHAR* text, SIZE_T bytes);

// ---------------------------------------------------------------------------------------------------------
// qelmvusb_control.cpp: the control device
// ---------------------------------------------------------------------------------------------------------

// A device-control request on the control device (vusb_control.h). Completes it.
NTSTATUS ControlIoctl(PIRP irp);

// ---------------------------------------------------------------------------------------------------------
// qelmvusb_bus.cpp: the bus device
// ---------------------------------------------------------------------------------------------------------

// Creates the bus device on the root-enumerated device; one bus per driver.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT root);

// A Plug and Play request on the bus device; passed down or completed.
NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp);

// Passes the request to the device below the bus; it is the lower driver's after.
NTSTATUS PassDown(BusExtension* bus, PIRP irp);

// ---------------------------------------------------------------------------------------------------------
// qelmvusb_child.cpp: the receiver's device
// ---------------------------------------------------------------------------------------------------------

// A Plug and Play request on the receiver's device. Completes it.
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp);

// An internal device-control request (a URB) on the receiver's device. Completes it or pends it.
NTSTATUS ChildInternalIoctl(PIRP irp);

// A packet from the test: completes the oldest pending transfer, or waits in the queue (the oldest queued
// packet is dropped when it is full).
NTSTATUS SendPacket(const UCHAR* bytes, ULONG length);

// Fails every pending transfer (receiver gone or removed).
void FailPendingTransfers(NTSTATUS status, USBD_STATUS usbStatus);

// A pipe error from the test (QVUSB_FAIL_*): fails the pending transfer, or the next one, and halts the pipe.
NTSTATUS FailPipe(ULONG kind);

// Derives the descriptors of interface 0 alone from the receiver's. Called once, by DriverEntry.
void PrepareDescriptors();

} // namespace qelmvusb
