// qelmvusb_child.cpp - the receiver's device on the virtual USB bus (kernel mode).
//
// The child device (a PDO) that the bus reports while the receiver is plugged. It carries the receiver's
// hardware ID, USB\VID_045E&PID_0284, for which the Plug and Play manager installs qelmrc from qelmrc.inf,
// and serves what a function driver asks of a USB device: the receiver's descriptors, select configuration,
// and interrupt-IN transfers that pend until the test sends a packet or the transfer is cancelled. A pipe
// error the test injects (a stall or a transaction error) halts the interrupt pipe until the function driver
// resets it.
//
// Plugged as interface 0 alone, it is what Windows' composite-device driver makes of the receiver's first
// interface (Wine has no such driver): hardware ID USB\VID_045E&PID_0284&MI_00, for which the WinUSB
// package's INF matches, and a configuration descriptor that holds that interface only.
#include "qelmvusb.h"

#include "hidlib/WinUsbInterface.h"
#include "receiver_descriptors.h"

namespace qelmvusb {
namespace {

// Handles given out for the configuration, the interfaces and the pipe: distinct addresses, never read.
UCHAR ConfigurationToken;
UCHAR InterfaceTokens[2];
UCHAR PipeToken;

const WCHAR DeviceId[] = L"USB\\VID_045E&PID_0284";
const WCHAR InstanceId[] = L"QELM0001";
const WCHAR HardwareIds[] = L"USB\\VID_045E&PID_0284&REV_000A\0USB\\VID_045E&PID_0284\0";
const WCHAR CompatibleIds[] =
    L"USB\\Class_58&SubClass_42&Prot_00\0USB\\Class_58&SubClass_42\0USB\\Class_58\0";
const WCHAR Description[] = L"Xbox DVD Playback Remote Control receiver (virtual)";

// Interface 0 alone, as a composite device's function: Windows' composite-device driver names it after the
// device, with the interface number added.
const WCHAR Interface0DeviceId[] = L"" QELM_RECEIVER_INTERFACE0_HARDWARE_ID;
const WCHAR Interface0InstanceId[] = L"QELM0001&00";
const WCHAR Interface0HardwareIds[] =
    L"USB\\VID_045E&PID_0284&REV_000A&MI_00\0" QELM_RECEIVER_INTERFACE0_HARDWARE_ID "\0";
const WCHAR Interface0CompatibleIds[] =
    L"USB\\Class_58&SubClass_42&Prot_00\0USB\\Class_58&SubClass_42\0USB\\Class_58\0";
const WCHAR Interface0Description[] = L"Xbox DVD Playback Remote Control receiver, interface 0 (virtual)";

// The configuration descriptor as a composite device's function for interface 0 gets it: the configuration's
// header, then only the descriptors of interface 0 (up to the next interface). Filled by DriverEntry.
UCHAR Interface0Configuration[sizeof(QelmReceiverConfigurationDescriptor)];
ULONG Interface0ConfigurationLength;

} // namespace

void PrepareDescriptors() {
    const UCHAR* source = QelmReceiverConfigurationDescriptor;
    const ULONG total = sizeof(QelmReceiverConfigurationDescriptor);
    ULONG length = source[0];
    RtlCopyMemory(Interface0Configuration, source, length);
    BOOLEAN inInterface0 = FALSE;
    for (ULONG at = source[0]; at + 2 <= total && source[at] >= 2 && at + source[at] <= total;
         at += source[at]) {
        if (source[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            inInterface0 = source[at + 2] == 0;
        if (inInterface0) {
            RtlCopyMemory(Interface0Configuration + length, source + at, source[at]);
            length += source[at];
        }
    }
    Interface0Configuration[2] = static_cast<UCHAR>(length & 0xFF); // wTotalLength
    Interface0Configuration[3] = static_cast<UCHAR>(length >> 8);
    Interface0Configuration[4] = 1; // bNumInterfaces
    Interface0ConfigurationLength = length;
}

namespace {

BOOLEAN PluggedAsInterface0() {
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    BOOLEAN interface0 = Bus.Interface0;
    KeReleaseSpinLock(&Bus.Lock, irql);
    return interface0;
}

// ---------------------------------------------------------------------------------------------------------
// Interrupt transfers
// ---------------------------------------------------------------------------------------------------------

// Fills the transfer's buffer with a packet and completes it. The URB's buffer is its TransferBuffer, or
// its MDL when there is none.
void FinishTransfer(PIRP irp, const Packet* packet, NTSTATUS status, USBD_STATUS usbStatus) {
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
    ULONG length = 0;
    if (packet != NULL) {
        PVOID buffer = transfer->TransferBuffer;
        if (buffer == NULL && transfer->TransferBufferMDL != NULL)
            buffer = MmGetSystemAddressForMdlSafe(transfer->TransferBufferMDL, NormalPagePriority);
        length =
            packet->Length < transfer->TransferBufferLength ? packet->Length : transfer->TransferBufferLength;
        if (buffer == NULL)
            length = 0;
        else
            RtlCopyMemory(buffer, packet->Bytes, length);
    }
    transfer->TransferBufferLength = length;
    urb->UrbHeader.Status = usbStatus;
    Complete(irp, status);
}

// Cancel routine of a pending transfer. The transfer is taken off the list and completed as cancelled.
VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    Bus.PendingCount--;
    KeReleaseSpinLock(&Bus.Lock, irql);
    FinishTransfer(irp, NULL, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Takes the oldest pending transfer whose cancel routine has not started; NULL if none. Under Bus.Lock.
PIRP TakePendingTransfer() {
    while (!IsListEmpty(&Bus.PendingTransfers)) {
        PLIST_ENTRY entry = RemoveHeadList(&Bus.PendingTransfers);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            Bus.PendingCount--;
            return irp;
        }
        // Being cancelled: the cancel routine completes it; its removal from the list must stay harmless.
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
    }
    return NULL;
}

} // namespace

// Fails every pending transfer (receiver gone or removed).
void FailPendingTransfers(NTSTATUS status, USBD_STATUS usbStatus) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&Bus.Lock, &irql);
        PIRP irp = TakePendingTransfer();
        KeReleaseSpinLock(&Bus.Lock, irql);
        if (irp == NULL)
            return;
        FinishTransfer(irp, NULL, status, usbStatus);
    }
}

namespace {

USBD_STATUS FailureStatus(ULONG kind) {
    return kind == QVUSB_FAIL_STALL ? USBD_STATUS_STALL_PID : USBD_STATUS_XACT_ERROR;
}

} // namespace

// A pipe error from the test: the pending transfer fails now, or, with none pending, the next one does when
// it arrives; either way the pipe halts.
NTSTATUS FailPipe(ULONG kind) {
    if (kind != QVUSB_FAIL_STALL && kind != QVUSB_FAIL_XACT)
        return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    if (!Bus.Present || !Bus.Configured) {
        KeReleaseSpinLock(&Bus.Lock, irql);
        return STATUS_DEVICE_NOT_READY;
    }
    PIRP irp = TakePendingTransfer();
    if (irp != NULL) {
        Bus.Halted = TRUE;
        Bus.PipeErrors++;
    } else {
        Bus.FailNext = kind;
    }
    KeReleaseSpinLock(&Bus.Lock, irql);
    if (irp != NULL)
        FinishTransfer(irp, NULL, STATUS_UNSUCCESSFUL, FailureStatus(kind));
    return STATUS_SUCCESS;
}

namespace {

// An interrupt-IN transfer: answered at once with a queued packet, otherwise pends until one arrives. On a
// halted pipe (or with a pipe error armed) it fails at once.
NTSTATUS SubmitTransfer(PIRP irp, PURB urb) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
    if (transfer->PipeHandle != &PipeToken || !(transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }

    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    if (!Bus.Present || !Bus.Configured) {
        KeReleaseSpinLock(&Bus.Lock, irql);
        FinishTransfer(irp, NULL, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (Bus.Halted || Bus.FailNext != 0) {
        USBD_STATUS usbStatus = USBD_STATUS_ENDPOINT_HALTED;
        if (Bus.Halted) {
            Bus.HaltedFailures++;
        } else {
            usbStatus = FailureStatus(Bus.FailNext);
            Bus.FailNext = 0;
            Bus.Halted = TRUE;
            Bus.PipeErrors++;
        }
        KeReleaseSpinLock(&Bus.Lock, irql);
        FinishTransfer(irp, NULL, STATUS_UNSUCCESSFUL, usbStatus);
        return STATUS_UNSUCCESSFUL;
    }
    if (Bus.QueueCount > 0) {
        Packet packet = Bus.Queue[Bus.QueueHead];
        Bus.QueueHead = (Bus.QueueHead + 1) % QVUSB_QUEUE_LENGTH;
        Bus.QueueCount--;
        Bus.TransfersDone++;
        KeReleaseSpinLock(&Bus.Lock, irql);
        FinishTransfer(irp, &packet, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&Bus.Lock, irql);
        FinishTransfer(irp, NULL, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    InsertTailList(&Bus.PendingTransfers, &irp->Tail.Overlay.ListEntry);
    Bus.PendingCount++;
    KeReleaseSpinLock(&Bus.Lock, irql);
    return STATUS_PENDING;
}

} // namespace

// A packet from the test: completes the oldest pending transfer, or waits in the queue (the oldest queued
// packet is dropped when it is full).
NTSTATUS SendPacket(const UCHAR* bytes, ULONG length) {
    if (length == 0 || length > QVUSB_MAX_PACKET)
        return STATUS_INVALID_PARAMETER;
    Packet packet;
    packet.Length = length;
    RtlCopyMemory(packet.Bytes, bytes, length);

    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    if (!Bus.Present) {
        Bus.PacketsDropped++;
        KeReleaseSpinLock(&Bus.Lock, irql);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    PIRP irp = TakePendingTransfer();
    if (irp != NULL) {
        Bus.TransfersDone++;
    } else {
        if (Bus.QueueCount == QVUSB_QUEUE_LENGTH) {
            Bus.QueueHead = (Bus.QueueHead + 1) % QVUSB_QUEUE_LENGTH;
            Bus.QueueCount--;
            Bus.PacketsDropped++;
        }
        Bus.Queue[(Bus.QueueHead + Bus.QueueCount) % QVUSB_QUEUE_LENGTH] = packet;
        Bus.QueueCount++;
    }
    KeReleaseSpinLock(&Bus.Lock, irql);
    if (irp != NULL)
        FinishTransfer(irp, &packet, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------------
// URBs
// ---------------------------------------------------------------------------------------------------------

namespace {

NTSTATUS GetDescriptor(PIRP irp, PURB urb) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &urb->UrbControlDescriptorRequest;
    const UCHAR* source = NULL;
    ULONG size = 0;
    if (request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request->Index == 0) {
        source = QelmReceiverDeviceDescriptor;
        size = sizeof(QelmReceiverDeviceDescriptor);
    } else if (request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request->Index == 0) {
        source = QelmReceiverConfigurationDescriptor;
        size = sizeof(QelmReceiverConfigurationDescriptor);
        if (PluggedAsInterface0()) {
            source = Interface0Configuration;
            size = Interface0ConfigurationLength;
        }
    } else {
        // The receiver has no strings: the device stalls the request.
        request->TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    PVOID buffer = request->TransferBuffer;
    if (buffer == NULL && request->TransferBufferMDL != NULL)
        buffer = MmGetSystemAddressForMdlSafe(request->TransferBufferMDL, NormalPagePriority);
    if (buffer == NULL) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    ULONG length = request->TransferBufferLength < size ? request->TransferBufferLength : size;
    RtlCopyMemory(buffer, source, length);
    request->TransferBufferLength = length;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;

    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    Bus.DescriptorReads++;
    KeReleaseSpinLock(&Bus.Lock, irql);
    return Complete(irp, STATUS_SUCCESS);
}

// Clears the halt of the interrupt pipe. Like a host controller, the bus refuses while a transfer is pending
// on the pipe.
NTSTATUS ResetPipe(PIRP irp, PURB urb) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST) ||
        urb->UrbPipeRequest.PipeHandle != &PipeToken) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    if (Bus.PendingCount != 0) {
        KeReleaseSpinLock(&Bus.Lock, irql);
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return Complete(irp, STATUS_INVALID_DEVICE_STATE);
    }
    if (Bus.Halted)
        Bus.PipeResets++;
    Bus.Halted = FALSE;
    KeReleaseSpinLock(&Bus.Lock, irql);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return Complete(irp, STATUS_SUCCESS);
}

// Select configuration: without a descriptor the receiver is un-configured; with one, each interface in
// the request gets its handle and its pipes (interface 0 has the interrupt-IN pipe, interface 1 none).
NTSTATUS SelectConfiguration(PIRP irp, PURB urb) {
    struct _URB_SELECT_CONFIGURATION* select = &urb->UrbSelectConfiguration;
    KIRQL irql;
    if (select->ConfigurationDescriptor == NULL) {
        KeAcquireSpinLock(&Bus.Lock, &irql);
        Bus.Configured = FALSE;
        KeReleaseSpinLock(&Bus.Lock, irql);
        FailPendingTransfers(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return Complete(irp, STATUS_SUCCESS);
    }

    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    PUCHAR cursor = reinterpret_cast<PUCHAR>(&select->Interface);
    const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    while (cursor + header <= end) {
        PUSBD_INTERFACE_INFORMATION info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        if (info->Length < header || cursor + info->Length > end)
            break;
        UCHAR number = info->InterfaceNumber;
        // Plugged as interface 0 alone, the function has no interface 1.
        if (number > (PluggedAsInterface0() ? 0 : 1) || info->AlternateSetting != 0) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        ULONG pipes = number == 0 ? 1 : 0;
        if (info->Length < header + pipes * sizeof(USBD_PIPE_INFORMATION)) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        info->Class = number == 0 ? 0x58 : 0x59;
        info->SubClass = number == 0 ? 0x42 : 0x00;
        info->Protocol = 0;
        info->InterfaceHandle = &InterfaceTokens[number];
        info->NumberOfPipes = pipes;
        if (pipes == 1) {
            info->Pipes[0].MaximumPacketSize = QVUSB_MAX_PACKET;
            info->Pipes[0].EndpointAddress = 0x81;
            info->Pipes[0].Interval = 16;
            info->Pipes[0].PipeType = UsbdPipeTypeInterrupt;
            info->Pipes[0].PipeHandle = &PipeToken;
            if (info->Pipes[0].MaximumTransferSize == 0)
                info->Pipes[0].MaximumTransferSize = 4096;
        }
        cursor += info->Length;
    }
    select->ConfigurationHandle = &ConfigurationToken;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    Bus.Configured = TRUE;
    Bus.Halted = FALSE;
    Bus.FailNext = 0;
    Bus.SelectConfigurations++;
    KeReleaseSpinLock(&Bus.Lock, irql);
    return Complete(irp, STATUS_SUCCESS);
}

} // namespace

NTSTATUS ChildInternalIoctl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return Complete(irp, STATUS_NOT_SUPPORTED);
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == NULL)
        return Complete(irp, STATUS_INVALID_PARAMETER);

    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    BOOLEAN present = Bus.Present;
    KeReleaseSpinLock(&Bus.Lock, irql);
    if (!present) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    }

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return SubmitTransfer(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return ResetPipe(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        FailPendingTransfers(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return Complete(irp, STATUS_SUCCESS);
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}
// ---------------------------------------------------------------------------------------------------------
// Plug and Play
// ---------------------------------------------------------------------------------------------------------

namespace {

NTSTATUS ChildQueryId(PIRP irp) {
    const WCHAR* text = NULL;
    SIZE_T bytes = 0;
    const BOOLEAN interface0 = PluggedAsInterface0();
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        text = interface0 ? Interface0DeviceId : DeviceId;
        bytes = interface0 ? sizeof(Interface0DeviceId) : sizeof(DeviceId);
        break;
    case BusQueryInstanceID:
        text = interface0 ? Interface0InstanceId : InstanceId;
        bytes = interface0 ? sizeof(Interface0InstanceId) : sizeof(InstanceId);
        break;
    case BusQueryHardwareIDs:
        // The literal's own terminator ends the list.
        text = interface0 ? Interface0HardwareIds : HardwareIds;
        bytes = interface0 ? sizeof(Interface0HardwareIds) : sizeof(HardwareIds);
        break;
    case BusQueryCompatibleIDs:
        text = interface0 ? Interface0CompatibleIds : CompatibleIds;
        bytes = interface0 ? sizeof(Interface0CompatibleIds) : sizeof(CompatibleIds);
        break;
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    PWCHAR copy = CopyString(text, bytes);
    if (copy == NULL)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

} // namespace

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return ChildQueryId(irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            const BOOLEAN interface0 = PluggedAsInterface0();
            PWCHAR copy = interface0 ? CopyString(Interface0Description, sizeof(Interface0Description))
                                     : CopyString(Description, sizeof(Description));
            if (copy == NULL)
                return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
        }
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == NULL)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->EjectSupported = 0;
        caps->UniqueID = 0;
        caps->RawDeviceOK = 0;
        caps->Address = 1;
        caps->UINumber = 1;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
        KeAcquireSpinLock(&Bus.Lock, &irql);
        Bus.ChildStarted = TRUE;
        KeReleaseSpinLock(&Bus.Lock, irql);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), Tag));
            if (relations == NULL)
                return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 1;
            relations->Objects[0] = device;
            ObReferenceObject(device);
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
        }
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
        KeAcquireSpinLock(&Bus.Lock, &irql);
        Bus.ChildStarted = FALSE;
        Bus.Configured = FALSE;
        KeReleaseSpinLock(&Bus.Lock, irql);
        FailPendingTransfers(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        FailPendingTransfers(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        KeAcquireSpinLock(&Bus.Lock, &irql);
        Bus.ChildStarted = FALSE;
        Bus.Configured = FALSE;
        Bus.Removals++;
        // A receiver still attached stays: the bus reports it again. One that is gone is deleted.
        BOOLEAN gone = !Bus.Present || Bus.Child != device;
        if (gone && Bus.Child == device)
            Bus.Child = NULL;
        KeReleaseSpinLock(&Bus.Lock, irql);
        Complete(irp, STATUS_SUCCESS);
        if (gone)
            IoDeleteDevice(device);
        return STATUS_SUCCESS;
    }
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

} // namespace qelmvusb
