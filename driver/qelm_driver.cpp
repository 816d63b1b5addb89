// qelm_driver: the entry point, dispatch routines, Plug and Play, power and HID requests of qelmrc, the
// HID minidriver for the Xbox DVD remote's USB receiver. Kernel mode.
//
// The HID class driver owns the functional device object and calls these routines for it; the USB
// transport (qelm_usb) configures the receiver and runs its interrupt transfers. Every routine reaches the
// per-device record through the HID class extension (GetDeviceExtension).
//
// Placement: routines marked QELM_PAGED run only at PASSIVE_LEVEL and begin with PAGED_CODE(); the entry
// point is QELM_INIT; the internal-control dispatch (reads arrive at DISPATCH_LEVEL), the Plug and Play
// count helpers and the completion routines are resident. No pageable routine takes a spin lock: the
// transfer state is changed only through qelm_usb's resident routines.
#include "qelm.h"
#include "qelm_hid.h"

static_assert(QELM_REPORT_LENGTH == QELM_INPUT_REPORT_LENGTH, "one receiver packet is one input report");

// The driver-wide copy of the registry path given to the entry point: paged pool, tag "Wdm ", terminated
// by a zero character. Made by DriverEntry, freed by Unload; not used otherwise.
static UNICODE_STRING RegistryPathCopy;

// Windows 8 (6.2) and later have NonPagedPoolNx; earlier versions fail an allocation of it with a bug check.
QELM_INIT static POOL_TYPE ChooseNonPagedPool(VOID) {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
        return NonPagedPoolNx;
    }
    return NonPagedPool;
}

// ---------------------------------------------------------------------------------------------------------
// Entry, unload, device creation
// ---------------------------------------------------------------------------------------------------------

// Installs the dispatch table, registers with the HID class driver as a polled minidriver and copies the
// registry path. Returns the registration's status: a failed registration ends the entry point, a failed
// copy does not (nothing else needs the copy). PASSIVE_LEVEL, INIT.
extern "C" QELM_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    QelmNonPagedPool = ChooseNonPagedPool();
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchPassThrough;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchPassThrough;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverUnload = Unload;
    DriverObject->DriverExtension->AddDevice = AddDevice;

    HID_MINIDRIVER_REGISTRATION registration;
    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = HID_REVISION;
    registration.DriverObject = DriverObject;
    registration.RegistryPath = RegistryPath;
    registration.DeviceExtensionSize = sizeof(DEVICE_EXTENSION);
    registration.DevicesArePolled = TRUE;
    NTSTATUS status = HidRegisterMinidriver(&registration);
    if (!NT_SUCCESS(status)) {
        QelmTrace("HidRegisterMinidriver failed 0x%08lX", (ULONG)status);
        return status;
    }

    // Room for the path and a terminating zero; a path too long for a counted string's size is not copied.
    ULONG size = (ULONG)RegistryPath->Length + sizeof(WCHAR);
    if (size <= 0xFFFF) {
        RegistryPathCopy.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, QELM_POOL_TAG);
        if (RegistryPathCopy.Buffer != NULL) {
            RegistryPathCopy.Length = 0;
            RegistryPathCopy.MaximumLength = (USHORT)size;
            RtlCopyUnicodeString(&RegistryPathCopy, RegistryPath);
            RegistryPathCopy.Buffer[RegistryPathCopy.Length / sizeof(WCHAR)] = UNICODE_NULL;
        }
    }
    if (RegistryPathCopy.Buffer == NULL) {
        QelmTrace("no copy of the registry path (%lu bytes); going on without it", size);
    }
    return status;
}

// Frees the registry-path copy if the entry point made one. PASSIVE_LEVEL, pageable.
QELM_PAGED VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    if (RegistryPathCopy.Buffer != NULL) {
        ExFreePoolWithTag(RegistryPathCopy.Buffer, QELM_POOL_TAG);
        RegistryPathCopy.Buffer = NULL;
        RegistryPathCopy.Length = 0;
        RegistryPathCopy.MaximumLength = 0;
    }
}

// Called by the HID class driver for each receiver, with the functional device object it created (its
// minidriver extension zero-filled). Initialises the locks and the event, sets LowerDevice and allocates
// the transfer request and URB. STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES with nothing allocated.
// PASSIVE_LEVEL, pageable.
QELM_PAGED NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT FunctionalDeviceObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    PDEVICE_EXTENSION extension = GetDeviceExtension(FunctionalDeviceObject);

    KeInitializeSpinLock(&extension->TransferLock);
    IoInitializeRemoveLock(&extension->RemoveLock, QELM_REMOVE_LOCK_TAG, 0, 0);
    KeInitializeEvent(&extension->PnpIdleEvent, NotificationEvent, FALSE);

    FunctionalDeviceObject->Flags |= DO_POWER_PAGABLE | DO_DIRECT_IO;
    extension->LowerDevice = GetHidDeviceExtension(FunctionalDeviceObject)->NextDeviceObject;
    extension->TransferStopping = TRUE; // no transfer before the first start (no lock: nothing runs yet)

    NTSTATUS status = AllocateTransferResources(FunctionalDeviceObject);
    if (!NT_SUCCESS(status)) {
        QelmTrace("AddDevice failed: no memory for the transfer resources 0x%08lX", (ULONG)status);
        return status;
    }
    FunctionalDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------------
// Create, close, pass-through, power
// ---------------------------------------------------------------------------------------------------------

// Create and close: nothing to open or close. Completes the request with success. PASSIVE_LEVEL, pageable.
QELM_PAGED NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Device control and WMI requests: not ours; handed unchanged to the device below, which owns them from
// then on. Returns its status. PASSIVE_LEVEL, pageable.
QELM_PAGED NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(GetDeviceExtension(DeviceObject)->LowerDevice, Irp);
}

// Power. A device power-down (D1-D3) first stops interrupt transfers and waits for the outstanding one; the
// return to D0 goes down first and, on its way back up (PowerUpCompletion), queues the pipe reset after which
// the next read starts transfers again. Every request lets the next power request start while its stack
// location is still the driver's own (the order matters on Windows XP and Server 2003), then goes down with
// PoCallDriver. Returns the lower driver's status. PASSIVE_LEVEL (DO_POWER_PAGABLE), pageable.
QELM_PAGED NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        if (state == PowerDeviceD0) {
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, PowerUpCompletion, extension, TRUE, TRUE, TRUE);
            return PoCallDriver(extension->LowerDevice, Irp);
        }
        if (state > PowerDeviceD0 && state < PowerDeviceMaximum) {
            SuspendInterruptTransfers(extension);
        }
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->LowerDevice, Irp);
}

// Completion routine of a device set-power to D0: once the lower drivers have powered the device up, queues
// the pipe reset that lets transfers start again, and lets the next power request start. Context: the device
// extension. Any IRQL up to DISPATCH_LEVEL; resident. Returns STATUS_CONTINUE_COMPLETION.
NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        ResumeInterruptTransfers(extension);
    } else {
        QelmTrace("return to D0 failed 0x%08lX", (ULONG)Irp->IoStatus.Status);
    }
    PoStartNextPowerIrp(Irp);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

// ---------------------------------------------------------------------------------------------------------
// HID requests
// ---------------------------------------------------------------------------------------------------------

// Read report: copies the latest complete packet into the request's user buffer (the dispatch has checked
// that it holds a report), completes the request with success and information 6, and
// starts the next interrupt transfer if none is outstanding. Returns the transfer start's status:
// STATUS_DEVICE_BUSY while one is outstanding, the remove lock's failure during removal, otherwise the USB
// stack's (normally STATUS_PENDING). The request is completed before the transfer starts.
// Once its read is completed the HID class driver may go on to remove the device and delete the device
// object that holds the extension, while this routine is still starting the transfer; the read holds the
// remove lock from before the completion until it leaves the extension, so the removal waits for it.
// Any IRQL up to DISPATCH_LEVEL; resident.
NTSTATUS ReadReport(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    NTSTATUS lock = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, Irp);
    CopyLatestReport(DeviceExtension, Irp->UserBuffer);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = QELM_INPUT_REPORT_LENGTH;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (!NT_SUCCESS(lock))
        return lock;
    NTSTATUS status = StartInterruptTransfer(DeviceExtension);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, Irp);
    return status;
}

// Internal device control, the HID class driver's requests: the HID descriptor, the report descriptor,
// the attributes and reads. Every request is completed here, and the routine returns the request's own
// status: STATUS_SUCCESS for every read (a read is completed before its transfer starts, so the transfer's
// status is not the request's) but one whose buffer cannot hold the report (STATUS_BUFFER_TOO_SMALL, nothing
// written, no transfer started), the answer's status for the others (STATUS_NOT_SUPPORTED for a request
// the driver does not know). Takes no lock on the device. Any IRQL up to DISPATCH_LEVEL; resident.
NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;

    if (code == IOCTL_HID_READ_REPORT) {
        // A buffer too short for the report is refused before anything is copied or started.
        ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (Irp->UserBuffer == NULL || length < QELM_INPUT_REPORT_LENGTH) {
            QelmTrace("read refused: a buffer of %lu bytes", length);
            Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
            Irp->IoStatus.Information = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_BUFFER_TOO_SMALL;
        }
        (void)ReadReport(extension, Irp);
        return STATUS_SUCCESS;
    }

    QELM_HID_ANSWER answer = QelmAnswerHidRequest(code, stack->Parameters.DeviceIoControl.OutputBufferLength,
                                                  (const UCHAR*)&extension->DeviceDescriptor, Irp->UserBuffer,
                                                  (ULONG)Irp->IoStatus.Information);
    Irp->IoStatus.Status = answer.Status;
    Irp->IoStatus.Information = answer.Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return answer.Status;
}

// ---------------------------------------------------------------------------------------------------------
// Plug and Play
// ---------------------------------------------------------------------------------------------------------

// Counts a Plug and Play request in. STATUS_DELETE_PENDING, with the count restored (and the idle event
// signalled if it fell to zero), once a removal has begun. Any IRQL; resident.
NTSTATUS IncrementPnpCount(PDEVICE_EXTENSION DeviceExtension) {
    InterlockedIncrement(&DeviceExtension->PnpRequestCount);
    if (QelmReadBoolean(&DeviceExtension->Removing)) {
        if (InterlockedDecrement(&DeviceExtension->PnpRequestCount) == 0) {
            KeSetEvent(&DeviceExtension->PnpIdleEvent, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

// Counts a Plug and Play request out; wakes a waiting removal when the last one leaves. Any IRQL; resident.
VOID DecrementPnpCount(PDEVICE_EXTENSION DeviceExtension) {
    if (InterlockedDecrement(&DeviceExtension->PnpRequestCount) == 0 &&
        QelmReadBoolean(&DeviceExtension->Removing)) {
        KeSetEvent(&DeviceExtension->PnpIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Completion routine of a request passed down and waited for (start, capabilities): hands the request back to
// DispatchPnp, which waits on the event. It does not mark the request pending, because DispatchPnp completes
// it itself and returns its status. Any IRQL up to DISPATCH_LEVEL (the lower driver's completion context);
// resident.
NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Hands the request to the device below and waits until the lower drivers have completed it; the request
// comes back to the caller, who completes it. Returns the lower drivers' status. PASSIVE_LEVEL.
QELM_PAGED static NTSTATUS ForwardAndWait(PDEVICE_EXTENSION Extension, PIRP Irp) {
    PAGED_CODE();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// Shared tail of the requests that go down unchanged: hand the request to the device below, then give
// back the remove lock and the count. Returns the lower driver's status.
QELM_PAGED static NTSTATUS PassDownAndRelease(PDEVICE_EXTENSION Extension, PIRP Irp) {
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    DecrementPnpCount(Extension);
    return status;
}

// Shared tail of the requests answered here: complete the request with `status`, then give back the remove
// lock and the count. Returns `status`.
QELM_PAGED static NTSTATUS CompleteAndRelease(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS status) {
    PAGED_CODE();
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    DecrementPnpCount(Extension);
    return status;
}

// Start: the lower drivers start the device first (synchronously, through StartCompletion), then the
// receiver is configured. Completes the request with the resulting status and returns it.
QELM_PAGED static NTSTATUS HandleStart(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
    PAGED_CODE();
    NTSTATUS status = ForwardAndWait(Extension, Irp);
    if (!NT_SUCCESS(status)) {
        QelmTrace("start failed in the lower drivers 0x%08lX", (ULONG)status);
    } else {
        status = ConfigureDevice(DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        AllowInterruptTransfers(Extension);
    }
    return CompleteAndRelease(Extension, Irp, status);
}

// Stop: waits for the outstanding transfer after cancelling it, un-configures the receiver and passes the
// request down with success. The remove lock stays usable, so a later start configures the device again.
QELM_PAGED static NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
    PAGED_CODE();
    StopInterruptTransfers(Extension);
    UnconfigureDevice(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownAndRelease(Extension, Irp);
}

// Surprise removal: as a stop, but the remove lock is released and waited for, which leaves it in its
// removed state: no transfer and no other Plug and Play request takes it again. The removal that follows
// is let through without it (DispatchPnp).
QELM_PAGED static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension,
                                                 PIRP Irp) {
    PAGED_CODE();
    QelmWriteBoolean(&Extension->SurpriseRemoved, TRUE);
    StopInterruptTransfers(Extension);
    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);
    UnconfigureDevice(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);
    DecrementPnpCount(Extension);
    return status;
}

// Removal: refuses further Plug and Play requests, waits for the outstanding transfer and every remove-lock
// holder (unless a surprise removal did so already), un-configures, frees the transfer request and URB,
// passes the request down and waits for Plug and Play requests still inside DispatchPnp. The HID class
// driver deletes the device object afterwards. Returns STATUS_SUCCESS.
QELM_PAGED static NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
    PAGED_CODE();
    QelmWriteBoolean(&Extension->Removing, TRUE);
    // After a surprise removal this finds the transfer idle; it also makes sure that no read is still
    // inside the transfer start when the request is freed below.
    StopInterruptTransfers(Extension);
    if (!QelmReadBoolean(&Extension->SurpriseRemoved)) {
        IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);
        UnconfigureDevice(DeviceObject);
    }
    if (Extension->TransferIrp != NULL) {
        FreeTransferResources(DeviceObject);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    (void)IoCallDriver(Extension->LowerDevice, Irp);

    if (InterlockedDecrement(&Extension->PnpRequestCount) > 0) {
        KeWaitForSingleObject(&Extension->PnpIdleEvent, Executive, KernelMode, FALSE, NULL);
    }
    return STATUS_SUCCESS;
}

// Capabilities: the bus driver fills them in first (address, UI number, the sleep-state-to-device-state
// table, wake settings); on the way back up the driver sets its own flags: the receiver can be unplugged at
// any time without harm. A failure of the lower drivers is the request's status.
QELM_PAGED static NTSTATUS HandleCapabilities(PDEVICE_EXTENSION Extension, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities == NULL) {
        QelmTrace("capabilities request without a capabilities record");
        return CompleteAndRelease(Extension, Irp, STATUS_INVALID_PARAMETER);
    }
    NTSTATUS status = ForwardAndWait(Extension, Irp);
    if (!NT_SUCCESS(status)) {
        QelmTrace("capabilities failed in the lower drivers 0x%08lX", (ULONG)status);
        return CompleteAndRelease(Extension, Irp, status);
    }
    capabilities->SurpriseRemovalOK = 1;
    capabilities->EjectSupported = 0;
    capabilities->Removable = 1;
    capabilities->DockDevice = 0;
    capabilities->LockSupported = 0;
    capabilities->D1Latency = 0;
    capabilities->D2Latency = 0;
    capabilities->D3Latency = 0;
    return CompleteAndRelease(Extension, Irp, STATUS_SUCCESS);
}

// Plug and Play. Each request holds the remove lock (tag: the request) and the Plug and Play count while
// it is handled; a request that cannot take either is completed with that failure and not passed down.
// The one exception is the removal after a surprise removal, which left the lock in its removed state.
// The system sends these requests one at a time. PASSIVE_LEVEL, pageable.
QELM_PAGED NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    BOOLEAN lockHeld = FALSE;

    if (minor != IRP_MN_REMOVE_DEVICE || !QelmReadBoolean(&extension->SurpriseRemoved)) {
        NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
        if (!NT_SUCCESS(status)) {
            QelmTrace("Plug and Play request 0x%02X refused after removal began 0x%08lX", minor,
                      (ULONG)status);
            Irp->IoStatus.Status = status;
            Irp->IoStatus.Information = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return status;
        }
        lockHeld = TRUE;
    }
    if (!NT_SUCCESS(IncrementPnpCount(extension))) {
        QelmTrace("Plug and Play request 0x%02X refused during removal", minor);
        if (lockHeld) {
            IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        }
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    switch (minor) {
    case IRP_MN_START_DEVICE:
        return HandleStart(DeviceObject, extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemove(DeviceObject, extension, Irp);
    case IRP_MN_STOP_DEVICE:
        return HandleStop(DeviceObject, extension, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return HandleCapabilities(extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return HandleSurpriseRemoval(DeviceObject, extension, Irp);
    default:
        return PassDownAndRelease(extension, Irp);
    }
}
