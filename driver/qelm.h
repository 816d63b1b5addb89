// qelmrc: the HID minidriver for the Xbox DVD remote's USB receiver (kernel mode).
//
// Shared by the driver's two modules: qelm_driver (entry, dispatch, Plug and Play, power, HID requests)
// and qelm_usb (USB transport). Holds the per-device record, the tags, the code-placement markers and the
// declaration of every driver routine, each with the platform's role type where it has one.
//
// The same header serves the kernel build (mingw-w64's DDK headers) and the host build (the user-mode
// kernel in driver/hostkernel, selected by QELM_HOST_KERNEL). Routines declared with a role type are
// defined with NTAPI, which is the calling convention that type carries on 32-bit Windows.
#pragma once

// First: hidport.h brings in wdm.h with the guard against mingw-w64's doubly defined intrinsics.
#include "hidport.h"

#include <ntddk.h>
#include <usb.h>
// mingw-w64's usbdlib.h declares the USBD routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

// ---------------------------------------------------------------------------------------------------------
// Tags and sizes
// ---------------------------------------------------------------------------------------------------------

// Pool tag of every allocation the driver makes: the bytes 'W' 'd' 'm' ' ' in memory.
constexpr ULONG QELM_POOL_TAG = (ULONG)'W' | ((ULONG)'d' << 8) | ((ULONG)'m' << 16) | ((ULONG)' ' << 24);
static_assert(QELM_POOL_TAG == 0x206D6457, "pool tag reads \"Wdm \" in memory");

// Allocation tag of the remove lock: QELM as one multi-character constant, 'Q' in the most significant byte.
constexpr ULONG QELM_REMOVE_LOCK_TAG =
    ((ULONG)'Q' << 24) | ((ULONG)'E' << 16) | ((ULONG)'L' << 8) | (ULONG)'M';
static_assert(QELM_REMOVE_LOCK_TAG == 0x51454C4D, "remove-lock tag QELM");

// The HID input report: six bytes, no report ID; the first six bytes of the receiver's packet.
constexpr ULONG QELM_REPORT_LENGTH = 6;

// The staging buffer's size: the largest packet a full-speed interrupt endpoint may send. Each interrupt
// transfer asks for one whole packet of the pipe's maximum packet size (8 on the receiver), so that a full
// packet never overruns the transfer (a babble error halts the pipe).
constexpr ULONG QELM_MAX_PACKET_LENGTH = 64;

// ---------------------------------------------------------------------------------------------------------
// Code placement
// ---------------------------------------------------------------------------------------------------------
// QELM_PAGED marks a routine that runs only at PASSIVE_LEVEL and may be paged out; it begins with
// PAGED_CODE(). QELM_INIT marks the entry point, discarded after initialisation. Routines without a marker
// are resident. A pageable routine never takes a spin lock nor raises the IRQL itself: it calls a resident
// routine for that. The host build places code in the same sections, and its kernel stops the process when
// code in PAGE takes a spin lock; a check on the built image looks for such calls in the kernel build.
#define QELM_PAGED __attribute__((section("PAGE")))
#define QELM_INIT __attribute__((section("INIT")))

// ---------------------------------------------------------------------------------------------------------
// Pipe errors, pool, debug output
// ---------------------------------------------------------------------------------------------------------
// A failed interrupt transfer (not a cancel) leaves the pipe halted until it is reset. The first failures in
// a row are each followed by a reset at once; after that the pipe is reset again only every
// QELM_READS_BETWEEN_LATE_RESETS reads, so a receiver that keeps failing is never reset in a tight loop.
constexpr ULONG QELM_PIPE_RESETS_IN_A_ROW = 3;
constexpr ULONG QELM_READS_BETWEEN_LATE_RESETS = 128;

// Non-paged pool the driver allocates from: NonPagedPoolNx on Windows 8 and later, NonPagedPool before
// (where NonPagedPoolNx does not exist). Chosen by DriverEntry; read everywhere else.
extern POOL_TYPE QelmNonPagedPool;

// One line for a kernel debugger or DebugView on each failure path: the IHV driver component, error level.
#define QelmTrace(Format, ...)                                                                               \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "qelmrc: " Format "\n", ##__VA_ARGS__)

// ---------------------------------------------------------------------------------------------------------
// The device extension: one per receiver
// ---------------------------------------------------------------------------------------------------------
// The HID class driver allocates it zero-filled as the minidriver extension of the device object it creates
// for the receiver, and deletes it with that device object after removal. AddDevice initialises the locks and
// the event, sets LowerDevice and allocates the transfer request and URB; the start fills the USB fields.
typedef struct _DEVICE_EXTENSION {
    // Next-lower device object (the HID class extension's NextDeviceObject); every request passed down goes
    // here. Written by AddDevice only.
    PDEVICE_OBJECT LowerDevice;

    // A configuration is selected and must be undone at stop. Set at the end of a successful
    // ConfigureDevice, cleared by UnconfigureDevice; both run inside Plug and Play requests (no lock).
    BOOLEAN Configured;

    // Plug and Play requests inside DispatchPnp. Changed only by InterlockedIncrement/Decrement in
    // IncrementPnpCount, DecrementPnpCount and the removal.
    volatile LONG PnpRequestCount;

    // A removal request has begun. Set by the removal in DispatchPnp; read by IncrementPnpCount (no lock).
    BOOLEAN Removing;

    // A surprise-removal request has been handled. Set by DispatchPnp; read by the removal (no lock).
    BOOLEAN SurpriseRemoved;

    // Notification event, not signalled at creation; signalled when PnpRequestCount falls to zero while
    // Removing is set. Initialised by AddDevice; waited on by the removal.
    KEVENT PnpIdleEvent;

    // Copy of the receiver's 18-byte USB device descriptor. Read by ConfigureDevice at start; the HID
    // attributes take idVendor, idProduct and bcdDevice from it. Written only during a start (no lock).
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;

    // Handle of the selected configuration, from the select-configuration request. Set by ConfigureDevice;
    // not used afterwards.
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;

    // Pipe handle of the receiver's interrupt-IN pipe (the first interface's only pipe). Set by
    // ConfigureDevice; read by every StartInterruptTransfer.
    USBD_PIPE_HANDLE InterruptPipe;

    // Bytes each interrupt transfer asks for: the pipe's maximum packet size, at least QELM_REPORT_LENGTH
    // and at most QELM_MAX_PACKET_LENGTH. Set by ConfigureDevice; read by every StartInterruptTransfer.
    ULONG InterruptTransferLength;

    // The full configuration descriptor, wTotalLength bytes of non-paged pool (tag "Wdm "). Allocated by a
    // successful ConfigureDevice, freed and cleared by UnconfigureDevice.
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationBuffer;

    // The one request used for every interrupt transfer, with the lower device's stack size. Allocated by
    // AllocateTransferResources (AddDevice), freed by FreeTransferResources (removal). Owned by the USB stack
    // while TransferBusy is set, by the driver otherwise.
    PIRP TransferIrp;

    // The one URB used for every interrupt transfer: a QELM_TRANSFER_BLOCK of non-paged pool (tag "Wdm "),
    // the URB followed by the staging buffer the transfer lands in. Same life as TransferIrp.
    PURB TransferUrb;

    // The first six bytes of the latest complete packet, source of every read. Zeroed by a successful
    // ConfigureDevice; updated from the staging buffer by InterruptTransferComplete under TransferLock; read
    // under TransferLock by CopyLatestReport.
    UCHAR LatestReport[QELM_REPORT_LENGTH];

    // An interrupt transfer is outstanding, or the pipe reset that follows a failed one (or a return to D0)
    // is queued or running. Claimed by StartInterruptTransfer and ResumeInterruptTransfers, released by
    // InterruptTransferComplete or ResetPipeWorker, all under TransferLock; read without the lock by
    // CancelInterruptTransfer. Accessed only through QelmReadBoolean/QelmWriteBoolean.
    BOOLEAN TransferBusy;

    // Spin lock guarding TransferBusy, the transfer state below and the copy into and out of LatestReport.
    // Initialised by AddDevice.
    KSPIN_LOCK TransferLock;

    // Remove lock (tag QELM, non-debug size). Held by each Plug and Play request and by each read while it is
    // in the driver, with the request as tag, and, with TransferIrp as tag, by each outstanding interrupt
    // transfer and each queued pipe reset. Initialised by AddDevice.
    IO_REMOVE_LOCK RemoveLock;

    // The device is not started, or stop, surprise removal or removal has begun: no transfer and no pipe
    // reset starts. Set by AddDevice, and under TransferLock by StopInterruptTransfers before it waits for
    // the transfer; cleared under TransferLock by AllowInterruptTransfers after a successful start.
    BOOLEAN TransferStopping;

    // The device is in D1-D3 (or on its way back to D0 until the pipe is reset): no transfer starts. Set
    // under TransferLock by SuspendInterruptTransfers; cleared under TransferLock by the pipe reset after a
    // successful return to D0 (also after a failed one: it stays set until a return succeeds), or by a start.
    BOOLEAN PoweredDown;

    // The queued pipe reset is the one after a return to D0 (it clears PoweredDown). Under TransferLock.
    BOOLEAN ResettingAfterWake;

    // Interrupt transfers that failed in a row (cancels not counted); zeroed by a successful transfer, a
    // start and a return to D0. Under TransferLock.
    ULONG PipeErrorCount;

    // After more than QELM_PIPE_RESETS_IN_A_ROW failures in a row: reads left before the next pipe reset; 0
    // when none is waited for. Under TransferLock.
    ULONG ReadsBeforePipeReset;

    // Work item that resets the interrupt pipe at PASSIVE_LEVEL. Allocated with TransferIrp by
    // AllocateTransferResources, freed by FreeTransferResources once no reset can be queued.
    PIO_WORKITEM PipeResetWorkItem;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// What TransferUrb points at: the interrupt-transfer URB, sized for this platform, followed by the staging
// buffer the USB stack fills (one packet). The first six bytes of a completed transfer are copied from the
// staging buffer into LatestReport under TransferLock, so a read never sees half a packet.
typedef struct _QELM_TRANSFER_BLOCK {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    UCHAR Staging[QELM_MAX_PACKET_LENGTH];
} QELM_TRANSFER_BLOCK, *PQELM_TRANSFER_BLOCK;

// Reaches the driver's record from any device object the HID class driver hands it.
static inline PDEVICE_EXTENSION GetDeviceExtension(PDEVICE_OBJECT DeviceObject) {
    return (PDEVICE_EXTENSION)((PHID_DEVICE_EXTENSION)DeviceObject->DeviceExtension)->MiniDeviceExtension;
}

// The HID class driver's extension of the same device object (NextDeviceObject supplies LowerDevice).
static inline PHID_DEVICE_EXTENSION GetHidDeviceExtension(PDEVICE_OBJECT DeviceObject) {
    return (PHID_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// Single-byte flags that one routine reads without the lock another writes under: plain byte accesses on the
// processor, spelt so that the compiler neither tears, caches nor reorders them away.
static inline BOOLEAN QelmReadBoolean(const BOOLEAN* Flag) {
    return __atomic_load_n(Flag, __ATOMIC_RELAXED);
}
static inline VOID QelmWriteBoolean(BOOLEAN* Flag, BOOLEAN Value) {
    __atomic_store_n(Flag, Value, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------------------------------------
// qelm_driver: entry, dispatch, Plug and Play, power, HID requests
// ---------------------------------------------------------------------------------------------------------
extern "C" DRIVER_INITIALIZE DriverEntry;                      // INIT
DRIVER_ADD_DEVICE AddDevice;                                   // PAGE
DRIVER_UNLOAD Unload;                                          // PAGE
DRIVER_DISPATCH DispatchCreateClose;                           // PAGE
DRIVER_DISPATCH DispatchPassThrough;                           // PAGE
DRIVER_DISPATCH DispatchPower;                                 // PAGE
DRIVER_DISPATCH DispatchPnp;                                   // PAGE
DRIVER_DISPATCH DispatchInternalIoctl;                         // resident: reads arrive at DISPATCH_LEVEL
IO_COMPLETION_ROUTINE StartCompletion;                         // resident: the lower driver's context
IO_COMPLETION_ROUTINE PowerUpCompletion;                       // resident: the lower driver's context
NTSTATUS IncrementPnpCount(PDEVICE_EXTENSION DeviceExtension); // resident
VOID DecrementPnpCount(PDEVICE_EXTENSION DeviceExtension);     // resident

// ---------------------------------------------------------------------------------------------------------
// qelm_usb: USB transport
// ---------------------------------------------------------------------------------------------------------
// PAGE. Sends a URB to LowerDevice and waits for it; returns the request's final status.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
// PAGE. Reads the descriptors, checks the configuration and selects it, taking the first interface's
// only pipe. STATUS_SUCCESS with the device configured, or a failure with nothing stored or allocated.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
// PAGE. Cancels the outstanding transfer, un-configures the receiver if configured, frees the
// configuration buffer.
VOID UnconfigureDevice(PDEVICE_OBJECT DeviceObject);
// PAGE. Allocates TransferIrp, TransferUrb and PipeResetWorkItem; STATUS_SUCCESS or
// STATUS_INSUFFICIENT_RESOURCES with nothing allocated.
NTSTATUS AllocateTransferResources(PDEVICE_OBJECT DeviceObject);
// PAGE. Frees TransferUrb, TransferIrp and PipeResetWorkItem and clears the fields.
VOID FreeTransferResources(PDEVICE_OBJECT DeviceObject);
// PAGE. Sends URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL for the interrupt pipe and waits for it.
NTSTATUS ResetInterruptPipe(PDEVICE_OBJECT DeviceObject);
// Resident, PASSIVE_LEVEL. Stop, surprise removal, removal: no transfer starts from now on; cancels the
// outstanding transfer and waits until neither it nor a pipe reset is in progress.
VOID StopInterruptTransfers(PDEVICE_EXTENSION DeviceExtension);
// Resident, PASSIVE_LEVEL. Device power-down: as StopInterruptTransfers, until the return to D0.
VOID SuspendInterruptTransfers(PDEVICE_EXTENSION DeviceExtension);
// Resident, <= DISPATCH_LEVEL. Back in D0: queues the pipe reset after which transfers start again.
VOID ResumeInterruptTransfers(PDEVICE_EXTENSION DeviceExtension);
// Resident. After a successful start: transfers may start; error counts and power state begin afresh.
VOID AllowInterruptTransfers(PDEVICE_EXTENSION DeviceExtension);
// Resident (takes TransferLock), runs at PASSIVE_LEVEL. Resets the interrupt pipe unless stop, removal or a
// power-down has begun, then releases the transfer state; context is the device extension.
IO_WORKITEM_ROUTINE ResetPipeWorker;
// Resident. Claims and starts one interrupt-IN transfer; STATUS_DEVICE_BUSY while one is outstanding, the
// remove lock's status during removal, otherwise the lower driver's (normally STATUS_PENDING).
NTSTATUS StartInterruptTransfer(PDEVICE_EXTENSION DeviceExtension);
// Resident. Completion routine of every interrupt transfer; context is the device extension.
IO_COMPLETION_ROUTINE InterruptTransferComplete;
// Resident. Cancels TransferIrp if a transfer is outstanding.
VOID CancelInterruptTransfer(PDEVICE_EXTENSION DeviceExtension);
// Resident. Copies the six bytes of LatestReport to Buffer under TransferLock (a whole packet, never half).
VOID CopyLatestReport(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer);
// Checks a configuration descriptor of Length bytes as returned by the device: wTotalLength of at least 9
// and not above Length, every descriptor within wTotalLength, at least one interface.
// STATUS_SUCCESS or STATUS_DEVICE_CONFIGURATION_ERROR; reads nothing outside the buffer.
NTSTATUS CheckConfigurationDescriptor(const VOID* Buffer, ULONG Length);
