// qelm_usb.cpp - USB transport of qelmrc (kernel mode).
//
// The driver's side of the USB bus. At start it reads the receiver's descriptors, checks the configuration
// descriptor and selects it, taking the first interface and its only pipe; at stop it un-configures the
// receiver. Packets are fetched from the interrupt-IN pipe one transfer at a time with a request and a URB
// allocated once per device, into a staging buffer that the completion routine copies into LatestReport.
// Every request goes to LowerDevice, the USB bus driver's device object, as IOCTL_INTERNAL_USB_SUBMIT_URB.
//
// A failed transfer (not a cancel) halts the pipe; a work item resets it at PASSIVE_LEVEL, a bounded number
// of times in a row, and transfers start again. Stop, removal and device power-down keep transfers from
// starting (under TransferLock) and wait for the one in progress.
//
// Placement: the transfer path (start, completion, cancel, report copy), the pipe-reset work item and every
// routine that takes TransferLock are resident; the rest runs at PASSIVE_LEVEL inside Plug and Play
// requests (or the work item) and is pageable.
#include "qelm.h"

#if defined(QELM_HOST_KERNEL)
#include "hostkernel/kernel_extra.h"
#endif

// The non-paged pool type of every allocation of the driver (see qelm.h); DriverEntry chooses it.
POOL_TYPE QelmNonPagedPool = NonPagedPool;

// ---------------------------------------------------------------------------------------------------------
// Synchronous URB submission
// ---------------------------------------------------------------------------------------------------------

// Sends Urb to the lower device in an internal device-control request and waits for it.
// IRQL: PASSIVE_LEVEL. Returns the request's final status; the URB's own USB status is not examined.
// The I/O manager frees the request when it completes.
QELM_PAGED NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDevice, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = Urb;

    NTSTATUS status = IoCallDriver(extension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// Reads descriptor Type (index 0, language 0) into Buffer; on success *Returned is the length the device
// actually returned. IRQL: PASSIVE_LEVEL.
static QELM_PAGED NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Type, PVOID Buffer, ULONG Length,
                                          PULONG Returned) {
    PAGED_CODE();
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, 0, 0,
                                 Buffer, NULL, Length, NULL);
    NTSTATUS status = SubmitUrbSync(DeviceObject, &urb);
    if (NT_SUCCESS(status)) {
        ULONG returned = urb.UrbControlDescriptorRequest.TransferBufferLength;
        *Returned = returned < Length ? returned : Length;
    }
    return status;
}

// ---------------------------------------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------------------------------------

// A configuration descriptor as the device returned it is used only if it holds together: a configuration
// descriptor first, wTotalLength from 9 up to what the device returned, every descriptor at least two bytes
// and inside wTotalLength, every interface descriptor complete, and at least one interface. The USBD parsing
// routines trust all of this, so nothing may reach them unchecked.
// IRQL: any. Returns STATUS_SUCCESS or STATUS_DEVICE_CONFIGURATION_ERROR; reads only Buffer[0..Length).
NTSTATUS CheckConfigurationDescriptor(const VOID* Buffer, ULONG Length) {
    const UCHAR* bytes = (const UCHAR*)Buffer;
    if (bytes == NULL || Length < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    if (bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    ULONG total = (ULONG)bytes[2] | ((ULONG)bytes[3] << 8);
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > Length)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    BOOLEAN interfaceFound = FALSE;
    ULONG offset = 0;
    while (offset < total) {
        if (total - offset < sizeof(USB_COMMON_DESCRIPTOR))
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        ULONG length = bytes[offset];
        UCHAR type = bytes[offset + 1];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > total - offset)
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_INTERFACE_DESCRIPTOR))
                return STATUS_DEVICE_CONFIGURATION_ERROR;
            interfaceFound = TRUE;
        }
        offset += length;
    }
    return interfaceFound ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

// Builds the select-configuration request for every interface of the checked configuration in Buffer (one
// entry per interface, alternate setting 0, then the terminating entry, as the request builder expects),
// checks that the first interface has exactly one endpoint and one pipe, and submits it. On success stores
// the configuration handle, the first interface's pipe and the length of its transfers (its maximum packet
// size, kept between a report's six bytes and the staging buffer's size). IRQL: PASSIVE_LEVEL. The list and
// the request are freed before returning.
static QELM_PAGED NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                               PUSB_CONFIGURATION_DESCRIPTOR Buffer) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    // Count the interfaces first: the list is allocated to fit, whatever bNumInterfaces claims.
    ULONG count = 0;
    PUCHAR end = (PUCHAR)Buffer + Buffer->wTotalLength;
    for (PUSB_INTERFACE_DESCRIPTOR found =
             USBD_ParseConfigurationDescriptorEx(Buffer, Buffer, -1, 0, -1, -1, -1);
         found != NULL;) {
        ++count;
        PUCHAR next = (PUCHAR)found + found->bLength;
        found = next < end ? USBD_ParseConfigurationDescriptorEx(Buffer, next, -1, 0, -1, -1, -1) : NULL;
    }
    if (count == 0) {
        QelmTrace("start failed: the configuration has no interface with alternate setting 0");
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    ULONG listSize = (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY interfaces =
        (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(PagedPool, listSize, QELM_POOL_TAG);
    if (interfaces == NULL) {
        QelmTrace("start failed: no memory for the interface list");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(interfaces, listSize);
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(Buffer, Buffer, -1, 0, -1, -1, -1);
    for (ULONG i = 0; i < count && found != NULL; ++i) {
        interfaces[i].InterfaceDescriptor = found;
        PUCHAR next = (PUCHAR)found + found->bLength;
        found = next < end ? USBD_ParseConfigurationDescriptorEx(Buffer, next, -1, 0, -1, -1, -1) : NULL;
    }
    PUSB_INTERFACE_DESCRIPTOR firstInterface = interfaces[0].InterfaceDescriptor;

    NTSTATUS status;
    PURB request = USBD_CreateConfigurationRequestEx(Buffer, interfaces);
    if (request == NULL) {
        QelmTrace("start failed: the select-configuration request could not be built");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (firstInterface->bNumEndpoints != 1 || interfaces[0].Interface == NULL ||
               interfaces[0].Interface->NumberOfPipes != 1) {
        QelmTrace("start failed: interface %u has %u endpoints, one expected",
                  firstInterface->bInterfaceNumber, firstInterface->bNumEndpoints);
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else {
        status = SubmitUrbSync(DeviceObject, request);
        if (NT_SUCCESS(status)) {
            extension->ConfigurationHandle = request->UrbSelectConfiguration.ConfigurationHandle;
            extension->InterruptPipe = interfaces[0].Interface->Pipes[0].PipeHandle;
            ULONG packet = interfaces[0].Interface->Pipes[0].MaximumPacketSize;
            if (packet < QELM_REPORT_LENGTH)
                packet = QELM_REPORT_LENGTH;
            if (packet > QELM_MAX_PACKET_LENGTH)
                packet = QELM_MAX_PACKET_LENGTH;
            extension->InterruptTransferLength = packet;
            status = STATUS_SUCCESS;
        } else {
            QelmTrace("start failed: select configuration 0x%08lX", (ULONG)status);
        }
    }
    if (request != NULL)
        ExFreePool(request);
    ExFreePoolWithTag(interfaces, QELM_POOL_TAG);
    return status;
}

// Configures the receiver at start, after the lower drivers have started it: reads the device descriptor
// into DeviceDescriptor, reads and checks the configuration descriptor, selects the first interface and
// keeps its pipe. IRQL: PASSIVE_LEVEL. Returns STATUS_SUCCESS with Configured set, the configuration
// buffer kept and LatestReport zeroed; or the failing step's status with nothing allocated or stored.
QELM_PAGED NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    ULONG returned = 0;

    // A short reply leaves zeros, not what an earlier start read.
    RtlZeroMemory(&extension->DeviceDescriptor, sizeof(extension->DeviceDescriptor));
    NTSTATUS status = ReadDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, &extension->DeviceDescriptor,
                                     sizeof(USB_DEVICE_DESCRIPTOR), &returned);
    if (!NT_SUCCESS(status)) {
        QelmTrace("start failed: device descriptor 0x%08lX", (ULONG)status);
        return status;
    }

    USB_CONFIGURATION_DESCRIPTOR header;
    RtlZeroMemory(&header, sizeof(header));
    status =
        ReadDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header), &returned);
    if (!NT_SUCCESS(status)) {
        QelmTrace("start failed: configuration descriptor header 0x%08lX", (ULONG)status);
        return status;
    }
    ULONG totalLength = header.wTotalLength;
    if (returned < sizeof(header) || totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        QelmTrace("start failed: configuration header of %lu bytes, wTotalLength %lu", returned, totalLength);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    PUSB_CONFIGURATION_DESCRIPTOR buffer =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(QelmNonPagedPool, totalLength, QELM_POOL_TAG);
    if (buffer == NULL) {
        QelmTrace("start failed: no memory for a configuration of %lu bytes", totalLength);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = ReadDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, totalLength, &returned);
    if (!NT_SUCCESS(status)) {
        QelmTrace("start failed: configuration descriptor 0x%08lX", (ULONG)status);
    } else {
        status = CheckConfigurationDescriptor(buffer, returned);
        if (!NT_SUCCESS(status))
            QelmTrace("start failed: malformed configuration descriptor (%lu bytes)", returned);
    }
    if (NT_SUCCESS(status))
        status = SelectConfiguration(DeviceObject, buffer);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(buffer, QELM_POOL_TAG);
        return status;
    }

    extension->ConfigurationBuffer = buffer;
    RtlZeroMemory(extension->LatestReport, sizeof(extension->LatestReport));
    extension->Configured = TRUE;
    return STATUS_SUCCESS;
}

// Un-configures the receiver at stop, surprise removal and removal: cancels the outstanding transfer, sends a
// select-configuration request without a descriptor if a configuration was selected (its result ignored),
// and frees the configuration buffer. IRQL: PASSIVE_LEVEL.
QELM_PAGED VOID UnconfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    CancelInterruptTransfer(extension);

    if (extension->Configured) {
        extension->Configured = FALSE;
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
        NTSTATUS status = SubmitUrbSync(DeviceObject, &urb);
        if (!NT_SUCCESS(status))
            QelmTrace("un-configure failed 0x%08lX (ignored)", (ULONG)status);
        extension->ConfigurationHandle = NULL;
        extension->InterruptPipe = NULL;
        extension->InterruptTransferLength = 0;
    }

    if (extension->ConfigurationBuffer != NULL) {
        ExFreePoolWithTag(extension->ConfigurationBuffer, QELM_POOL_TAG);
        extension->ConfigurationBuffer = NULL;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Transfer resources
// ---------------------------------------------------------------------------------------------------------

// Allocates the one request, the one URB block and the pipe-reset work item used for every interrupt
// transfer; called from AddDevice once LowerDevice is set. IRQL: PASSIVE_LEVEL. STATUS_SUCCESS, or
// STATUS_INSUFFICIENT_RESOURCES with nothing allocated.
QELM_PAGED NTSTATUS AllocateTransferResources(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    PIRP irp = IoAllocateIrp(extension->LowerDevice->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    // sizeof the platform's interrupt-transfer URB: 72 bytes on 32-bit Windows, 128 on 64-bit.
    PQELM_TRANSFER_BLOCK block = (PQELM_TRANSFER_BLOCK)ExAllocatePoolWithTag(
        QelmNonPagedPool, sizeof(QELM_TRANSFER_BLOCK), QELM_POOL_TAG);
    if (block == NULL) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(block, sizeof(*block));

    PIO_WORKITEM workItem = IoAllocateWorkItem(DeviceObject);
    if (workItem == NULL) {
        ExFreePoolWithTag(block, QELM_POOL_TAG);
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    extension->TransferIrp = irp;
    extension->TransferUrb = (PURB)&block->Urb;
    extension->PipeResetWorkItem = workItem;
    return STATUS_SUCCESS;
}

// Frees the transfer request, URB block and work item at removal, once no transfer and no pipe reset can be
// outstanding (StopInterruptTransfers has run). IRQL: PASSIVE_LEVEL.
QELM_PAGED VOID FreeTransferResources(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    if (extension->TransferUrb != NULL) {
        ExFreePoolWithTag(extension->TransferUrb, QELM_POOL_TAG);
        extension->TransferUrb = NULL;
    }
    if (extension->TransferIrp != NULL) {
        IoFreeIrp(extension->TransferIrp);
        extension->TransferIrp = NULL;
    }
    if (extension->PipeResetWorkItem != NULL) {
        IoFreeWorkItem(extension->PipeResetWorkItem);
        extension->PipeResetWorkItem = NULL;
    }
}

// Clears the halt of the interrupt pipe after a failed transfer or a return to D0.
// IRQL: PASSIVE_LEVEL. Returns the request's status.
QELM_PAGED NTSTATUS ResetInterruptPipe(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = extension->InterruptPipe;
    return SubmitUrbSync(DeviceObject, &urb);
}

// ---------------------------------------------------------------------------------------------------------
// Interrupt transfers (resident)
// ---------------------------------------------------------------------------------------------------------

// Starts one interrupt-IN transfer of a whole packet (InterruptTransferLength bytes) into the staging buffer,
// unless one is outstanding.
// IRQL: <= DISPATCH_LEVEL. Returns STATUS_DEVICE_BUSY if a transfer or a pipe reset is in progress (nothing
// changed), STATUS_INVALID_DEVICE_STATE before the first start and once stop or removal has begun,
// STATUS_DEVICE_NOT_READY while the device is powered down or its halted pipe waits for its next reset, the
// remove lock's failure status during removal, STATUS_PENDING when this read queued the pipe's next reset,
// otherwise the lower driver's status (normally STATUS_PENDING). While the transfer is outstanding the USB
// stack owns TransferIrp, TransferBusy is set and the remove lock is held with TransferIrp as tag.
NTSTATUS StartInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    BOOLEAN resetNow = FALSE;

    // Claim the transfer. Nothing about the request is touched before the claim: once stop or removal has
    // begun it may be freed. The idle request is reset here, under the lock: a cancel left by an earlier stop
    // is forgotten, while a cancel that arrives after the claim stays set and ends this transfer.
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    if (QelmReadBoolean(&DeviceExtension->TransferBusy)) {
        KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    if (DeviceExtension->TransferStopping) {
        KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (DeviceExtension->PoweredDown) {
        KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
        return STATUS_DEVICE_NOT_READY;
    }
    if (DeviceExtension->ReadsBeforePipeReset != 0) {
        if (--DeviceExtension->ReadsBeforePipeReset != 0) {
            KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
            return STATUS_DEVICE_NOT_READY;
        }
        resetNow = TRUE; // the pipe is still halted: this read queues its next reset instead of a transfer
    }
    QelmWriteBoolean(&DeviceExtension->TransferBusy, TRUE);
    PIRP irp = DeviceExtension->TransferIrp;
    if (!resetNow)
        IoReuseIrp(irp, STATUS_SUCCESS);
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);

    NTSTATUS status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, irp);
    if (!NT_SUCCESS(status)) {
        KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
        if (resetNow)
            DeviceExtension->ReadsBeforePipeReset = 1;
        QelmWriteBoolean(&DeviceExtension->TransferBusy, FALSE);
        KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
        return status;
    }
    if (resetNow) {
        IoQueueWorkItem(DeviceExtension->PipeResetWorkItem, ResetPipeWorker, DelayedWorkQueue,
                        DeviceExtension);
        return STATUS_PENDING;
    }

    PQELM_TRANSFER_BLOCK block = (PQELM_TRANSFER_BLOCK)DeviceExtension->TransferUrb;
    RtlZeroMemory(&block->Urb, sizeof(block->Urb));
    UsbBuildInterruptOrBulkTransferRequest(
        DeviceExtension->TransferUrb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
        DeviceExtension->InterruptPipe, block->Staging, NULL, DeviceExtension->InterruptTransferLength,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = DeviceExtension->TransferUrb;
    IoSetCompletionRoutine(irp, InterruptTransferComplete, DeviceExtension, TRUE, TRUE, TRUE);

    return IoCallDriver(DeviceExtension->LowerDevice, irp);
}

// Completion routine of every interrupt transfer, for success, failure and cancel alike. A successful
// transfer's first six bytes (as many as arrived, up to six; a short packet overwrites only its own length)
// are copied from the staging buffer into LatestReport under TransferLock; then the transfer is released. A
// failed transfer that was not cancelled left the pipe halted: the transfer state and the remove lock pass to
// a pipe reset (ResetPipeWorker) for the first QELM_PIPE_RESETS_IN_A_ROW failures in a row; after that the
// reset waits QELM_READS_BETWEEN_LATE_RESETS reads. Otherwise the next read starts the next transfer. IRQL:
// <= DISPATCH_LEVEL. Context: the device extension. Returns STATUS_MORE_PROCESSING_REQUIRED, so TransferIrp
// stays with the driver for reuse.
NTSTATUS NTAPI InterruptTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PQELM_TRANSFER_BLOCK block = (PQELM_TRANSFER_BLOCK)extension->TransferUrb;
    NTSTATUS status = Irp->IoStatus.Status;
    BOOLEAN cancelled = status == STATUS_CANCELLED || QelmReadBoolean(&Irp->Cancel);
    BOOLEAN resetNow = FALSE;
    ULONG errors = 0;
    KIRQL irql;

    KeAcquireSpinLock(&extension->TransferLock, &irql);
    if (NT_SUCCESS(status)) {
        ULONG length = block->Urb.TransferBufferLength;
        if (length > QELM_REPORT_LENGTH)
            length = QELM_REPORT_LENGTH;
        RtlCopyMemory(extension->LatestReport, block->Staging, length);
        extension->PipeErrorCount = 0;
    } else if (!cancelled && !extension->TransferStopping && !extension->PoweredDown) {
        errors = ++extension->PipeErrorCount;
        if (errors <= QELM_PIPE_RESETS_IN_A_ROW)
            resetNow = TRUE;
        else
            extension->ReadsBeforePipeReset = QELM_READS_BETWEEN_LATE_RESETS;
    }
    if (!resetNow)
        QelmWriteBoolean(&extension->TransferBusy, FALSE);
    KeReleaseSpinLock(&extension->TransferLock, irql);

    if (errors != 0) {
        QelmTrace("interrupt transfer failed 0x%08lX (USBD 0x%08lX), %lu in a row; %s", (ULONG)status,
                  (ULONG)block->Urb.Hdr.Status, errors,
                  resetNow ? "resetting the pipe" : "the pipe is reset again after more reads");
    }
    if (resetNow) {
        // The remove lock stays held for the reset, which releases it.
        IoQueueWorkItem(extension->PipeResetWorkItem, ResetPipeWorker, DelayedWorkQueue, extension);
    } else {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The queued pipe reset: after a failed transfer, or after the return to D0. Resets the interrupt pipe
// unless stop or removal has begun (or, for a failed transfer, a power-down), then ends the transfer state it
// held, so that the next read starts a transfer, and releases the remove lock it held. A failed reset leaves
// the pipe halted: the next transfer fails and counts as one more error in a row.
// IRQL: PASSIVE_LEVEL (system worker thread). Resident: it takes TransferLock.
VOID NTAPI ResetPipeWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PIRP tag = extension->TransferIrp;
    KIRQL irql;

    KeAcquireSpinLock(&extension->TransferLock, &irql);
    BOOLEAN wake = extension->ResettingAfterWake;
    BOOLEAN skip = extension->TransferStopping || (extension->PoweredDown && !wake);
    KeReleaseSpinLock(&extension->TransferLock, irql);

    if (!skip && extension->Configured) {
        NTSTATUS status = ResetInterruptPipe(DeviceObject);
        if (!NT_SUCCESS(status))
            QelmTrace("pipe reset failed 0x%08lX", (ULONG)status);
    }

    KeAcquireSpinLock(&extension->TransferLock, &irql);
    if (wake && extension->ResettingAfterWake) {
        extension->ResettingAfterWake = FALSE;
        extension->PoweredDown = FALSE;
        extension->PipeErrorCount = 0;
        extension->ReadsBeforePipeReset = 0;
    }
    QelmWriteBoolean(&extension->TransferBusy, FALSE);
    KeReleaseSpinLock(&extension->TransferLock, irql);

    IoReleaseRemoveLock(&extension->RemoveLock, tag);
}

// Cancels the outstanding transfer, if any. TransferBusy is read without the lock: if the transfer
// completes just after the read, cancelling the idle request only sets its cancel flag, which the next
// claim clears. IRQL: <= DISPATCH_LEVEL.
VOID CancelInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
    if (QelmReadBoolean(&DeviceExtension->TransferBusy) && DeviceExtension->TransferIrp != NULL)
        IoCancelIrp(DeviceExtension->TransferIrp);
}

// Cancels TransferIrp until neither a transfer nor a pipe reset is in progress. The caller has already
// stopped new transfers (TransferStopping or PoweredDown, set under TransferLock), so at most the one in
// progress is waited for. IRQL: PASSIVE_LEVEL. Resident: it takes TransferLock.
static VOID CancelTransferAndWait(PDEVICE_EXTENSION Extension) {
    // How long to sleep between looks at a transfer that has been cancelled: 1 ms, relative.
    const LONGLONG pollInterval = -10 * 1000;
    if (Extension->TransferIrp == NULL)
        return;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&Extension->TransferLock, &irql);
        BOOLEAN busy = QelmReadBoolean(&Extension->TransferBusy);
        KeReleaseSpinLock(&Extension->TransferLock, irql);
        if (!busy)
            return;
        IoCancelIrp(Extension->TransferIrp);
        LARGE_INTEGER interval;
        interval.QuadPart = pollInterval;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

// Stop, surprise removal and removal: from now on no transfer and no pipe reset starts; then the one in
// progress is cancelled and waited for. Afterwards TransferIrp may be freed. IRQL: PASSIVE_LEVEL.
VOID StopInterruptTransfers(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    DeviceExtension->TransferStopping = TRUE;
    DeviceExtension->ResettingAfterWake = FALSE;
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
    CancelTransferAndWait(DeviceExtension);
}

// Device power-down (D1-D3): no transfer starts until the pipe has been reset after the return to D0; the
// outstanding transfer is cancelled and waited for. IRQL: PASSIVE_LEVEL.
VOID SuspendInterruptTransfers(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    DeviceExtension->PoweredDown = TRUE;
    DeviceExtension->ResettingAfterWake = FALSE; // a reset queued by an earlier wake leaves PoweredDown set
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
    CancelTransferAndWait(DeviceExtension);
}

// Back in D0 after a power-down: claims the transfer state for a pipe reset and queues it; the reset lets
// transfers start again. Nothing happens if the device was not powered down, or stop or removal has begun.
// IRQL: <= DISPATCH_LEVEL (a power request's completion).
VOID ResumeInterruptTransfers(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    if (!DeviceExtension->PoweredDown || DeviceExtension->TransferStopping ||
        QelmReadBoolean(&DeviceExtension->TransferBusy) || DeviceExtension->PipeResetWorkItem == NULL) {
        KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
        return;
    }
    QelmWriteBoolean(&DeviceExtension->TransferBusy, TRUE);
    DeviceExtension->ResettingAfterWake = TRUE;
    PIRP tag = DeviceExtension->TransferIrp;
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);

    if (!NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RemoveLock, tag))) {
        KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
        DeviceExtension->ResettingAfterWake = FALSE;
        QelmWriteBoolean(&DeviceExtension->TransferBusy, FALSE);
        KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
        return;
    }
    IoQueueWorkItem(DeviceExtension->PipeResetWorkItem, ResetPipeWorker, DelayedWorkQueue, DeviceExtension);
}

// After a successful start: transfers may start again, and the error count and power state begin afresh
// (a started device is in D0). IRQL: <= DISPATCH_LEVEL.
VOID AllowInterruptTransfers(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    DeviceExtension->TransferStopping = FALSE;
    DeviceExtension->PoweredDown = FALSE;
    DeviceExtension->ResettingAfterWake = FALSE;
    DeviceExtension->PipeErrorCount = 0;
    DeviceExtension->ReadsBeforePipeReset = 0;
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
}

// Copies the latest complete packet to Buffer (six bytes) under TransferLock, so that a read never sees
// half of a packet. IRQL: <= DISPATCH_LEVEL.
VOID CopyLatestReport(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    RtlCopyMemory(Buffer, DeviceExtension->LatestReport, QELM_REPORT_LENGTH);
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
}
