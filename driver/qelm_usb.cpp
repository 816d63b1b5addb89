// qelm_usb.cpp - USB transport of qelmrc (kernel mode).
//
// The driver's side of the USB bus. At start it reads the receiver's descriptors, checks the configuration
// descriptor and selects it, taking the first interface and its only pipe; at stop it un-configures the
// receiver. Packets are fetched from the interrupt-IN pipe one transfer at a time with a request and a URB
// allocated once per device, into a staging buffer that the completion routine copies into LatestReport.
// Every request goes to LowerDevice, the USB bus driver's device object, as IOCTL_INTERNAL_USB_SUBMIT_URB.
//
// Placement: the transfer path (start, completion, cancel, report copy) may run at DISPATCH_LEVEL and is
// resident; the rest runs at PASSIVE_LEVEL inside Plug and Play requests and is pageable.
#include "qelm.h"

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

// Builds the select-configuration request for the first interface of the checked configuration in Buffer,
// checks that the interface has exactly one endpoint and one pipe, and submits it. On success stores the
// configuration and pipe handles. IRQL: PASSIVE_LEVEL. The request is freed before returning.
static QELM_PAGED NTSTATUS SelectFirstInterface(PDEVICE_OBJECT DeviceObject,
                                                PUSB_CONFIGURATION_DESCRIPTOR Buffer) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    PUSB_INTERFACE_DESCRIPTOR firstInterface =
        USBD_ParseConfigurationDescriptorEx(Buffer, Buffer, -1, -1, -1, -1, -1);
    if (firstInterface == NULL)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    USBD_INTERFACE_LIST_ENTRY interfaces[2];
    interfaces[0].InterfaceDescriptor = firstInterface;
    interfaces[0].Interface = NULL;
    interfaces[1].InterfaceDescriptor = NULL;
    interfaces[1].Interface = NULL;

    PURB request = USBD_CreateConfigurationRequestEx(Buffer, interfaces);
    if (request == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    NTSTATUS status;
    if (firstInterface->bNumEndpoints != 1 || interfaces[0].Interface == NULL ||
        interfaces[0].Interface->NumberOfPipes != 1) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else {
        status = SubmitUrbSync(DeviceObject, request);
        if (NT_SUCCESS(status)) {
            extension->ConfigurationHandle = request->UrbSelectConfiguration.ConfigurationHandle;
            extension->InterruptPipe = interfaces[0].Interface->Pipes[0].PipeHandle;
            status = STATUS_SUCCESS;
        }
    }
    ExFreePool(request);
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
    if (!NT_SUCCESS(status))
        return status;

    USB_CONFIGURATION_DESCRIPTOR header;
    RtlZeroMemory(&header, sizeof(header));
    status =
        ReadDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header), &returned);
    if (!NT_SUCCESS(status))
        return status;
    ULONG totalLength = header.wTotalLength;
    if (returned < sizeof(header) || totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    PUSB_CONFIGURATION_DESCRIPTOR buffer =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, totalLength, QELM_POOL_TAG);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    status = ReadDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, totalLength, &returned);
    if (NT_SUCCESS(status))
        status = CheckConfigurationDescriptor(buffer, returned);
    if (NT_SUCCESS(status))
        status = SelectFirstInterface(DeviceObject, buffer);
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
        (VOID) SubmitUrbSync(DeviceObject, &urb);
        extension->ConfigurationHandle = NULL;
        extension->InterruptPipe = NULL;
    }

    if (extension->ConfigurationBuffer != NULL) {
        ExFreePoolWithTag(extension->ConfigurationBuffer, QELM_POOL_TAG);
        extension->ConfigurationBuffer = NULL;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Transfer resources
// ---------------------------------------------------------------------------------------------------------

// Allocates the one request and the one URB block used for every interrupt transfer; called from AddDevice
// once LowerDevice is set. IRQL: PASSIVE_LEVEL. STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES with
// nothing allocated.
QELM_PAGED NTSTATUS AllocateTransferResources(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    PIRP irp = IoAllocateIrp(extension->LowerDevice->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    // sizeof the platform's interrupt-transfer URB: 72 bytes on 32-bit Windows, 128 on 64-bit.
    PQELM_TRANSFER_BLOCK block =
        (PQELM_TRANSFER_BLOCK)ExAllocatePoolWithTag(NonPagedPool, sizeof(QELM_TRANSFER_BLOCK), QELM_POOL_TAG);
    if (block == NULL) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(block, sizeof(*block));

    extension->TransferIrp = irp;
    extension->TransferUrb = (PURB)&block->Urb;
    return STATUS_SUCCESS;
}

// Frees the transfer request and URB block at removal, once no transfer can be outstanding.
// IRQL: PASSIVE_LEVEL.
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
}

// ---------------------------------------------------------------------------------------------------------
// Interrupt transfers (resident)
// ---------------------------------------------------------------------------------------------------------

// Starts one six-byte interrupt-IN transfer into the staging buffer, unless one is outstanding.
// IRQL: <= DISPATCH_LEVEL. Returns STATUS_DEVICE_BUSY if a transfer is outstanding (nothing changed), the
// remove lock's failure status during removal, otherwise the lower driver's status (normally
// STATUS_PENDING). While the transfer is outstanding the USB stack owns TransferIrp, TransferBusy is set
// and the remove lock is held with TransferIrp as tag.
NTSTATUS StartInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
    PIRP irp = DeviceExtension->TransferIrp;
    PQELM_TRANSFER_BLOCK block = (PQELM_TRANSFER_BLOCK)DeviceExtension->TransferUrb;
    KIRQL irql;

    // Claim the transfer. The idle request is reset here, under the lock: a cancel left by an earlier stop
    // is forgotten, while a cancel that arrives after the claim stays set and ends this transfer.
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    if (QelmReadBoolean(&DeviceExtension->TransferBusy)) {
        KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    QelmWriteBoolean(&DeviceExtension->TransferBusy, TRUE);
    IoReuseIrp(irp, STATUS_SUCCESS);
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);

    NTSTATUS status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, irp);
    if (!NT_SUCCESS(status)) {
        // No transfer is outstanding, so nothing races this write.
        QelmWriteBoolean(&DeviceExtension->TransferBusy, FALSE);
        return status;
    }

    RtlZeroMemory(&block->Urb, sizeof(block->Urb));
    UsbBuildInterruptOrBulkTransferRequest(
        DeviceExtension->TransferUrb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
        DeviceExtension->InterruptPipe, block->Staging, NULL, QELM_REPORT_LENGTH,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = DeviceExtension->TransferUrb;
    IoSetCompletionRoutine(irp, InterruptTransferComplete, DeviceExtension, TRUE, TRUE, TRUE);

    return IoCallDriver(DeviceExtension->LowerDevice, irp);
}

// Completion routine of every interrupt transfer, for success, failure and cancel alike. A successful
// transfer's bytes (as many as arrived; a short packet overwrites only its own length) are copied from the
// staging buffer into LatestReport under TransferLock; then the transfer is released. No retry and no
// resubmission: the next read starts the next transfer.
// IRQL: <= DISPATCH_LEVEL. Context: the device extension. Returns STATUS_MORE_PROCESSING_REQUIRED, so
// TransferIrp stays with the driver for reuse.
NTSTATUS NTAPI InterruptTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PQELM_TRANSFER_BLOCK block = (PQELM_TRANSFER_BLOCK)extension->TransferUrb;
    KIRQL irql;

    KeAcquireSpinLock(&extension->TransferLock, &irql);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        ULONG length = block->Urb.TransferBufferLength;
        if (length > QELM_REPORT_LENGTH)
            length = QELM_REPORT_LENGTH;
        RtlCopyMemory(extension->LatestReport, block->Staging, length);
    }
    QelmWriteBoolean(&extension->TransferBusy, FALSE);
    KeReleaseSpinLock(&extension->TransferLock, irql);

    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancels the outstanding transfer, if any. TransferBusy is read without the lock: if the transfer
// completes just after the read, cancelling the idle request only sets its cancel flag, which the next
// claim clears. IRQL: <= DISPATCH_LEVEL.
VOID CancelInterruptTransfer(PDEVICE_EXTENSION DeviceExtension) {
    if (QelmReadBoolean(&DeviceExtension->TransferBusy) && DeviceExtension->TransferIrp != NULL)
        IoCancelIrp(DeviceExtension->TransferIrp);
}

// Copies the latest complete packet to Buffer (six bytes) under TransferLock, so that a read never sees
// half of a packet. IRQL: <= DISPATCH_LEVEL.
VOID CopyLatestReport(PDEVICE_EXTENSION DeviceExtension, PVOID Buffer) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    RtlCopyMemory(Buffer, DeviceExtension->LatestReport, QELM_REPORT_LENGTH);
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
}
