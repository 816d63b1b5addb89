// qelmvusb_bus.cpp - the bus device of the virtual USB bus (kernel mode).
//
// The bus is root-enumerated: its function device (the FDO) sits on the root device that its INF installs.
// When the receiver is plugged, the bus reports one child device in its bus relations; when it is unplugged,
// none, and the Plug and Play manager removes the child.
#include "qelmvusb.h"

namespace qelmvusb {
namespace {

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for it; the request stays with the caller.
NTSTATUS ForwardAndWait(BusExtension* bus, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(bus->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

} // namespace

NTSTATUS PassDown(BusExtension* bus, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->LowerDevice, irp);
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    BusExtension* bus = static_cast<BusExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(bus, irp);
        if (NT_SUCCESS(status)) {
            KeAcquireSpinLock(&Bus.Lock, &irql);
            Bus.BusStarted = TRUE;
            KeReleaseSpinLock(&Bus.Lock, irql);
        }
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations)
            return PassDown(bus, irp);
        PDEVICE_RELATIONS relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), Tag));
        if (relations == NULL)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        relations->Count = 0;
        KeAcquireSpinLock(&Bus.Lock, &irql);
        if (Bus.Present && Bus.Child != NULL) {
            relations->Objects[0] = Bus.Child;
            relations->Count = 1;
            ObReferenceObject(Bus.Child);
        }
        KeReleaseSpinLock(&Bus.Lock, irql);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, irp);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(bus, irp);
    case IRP_MN_REMOVE_DEVICE: {
        KeAcquireSpinLock(&Bus.Lock, &irql);
        PDEVICE_OBJECT child = Bus.Child;
        Bus.Child = NULL;
        Bus.Present = FALSE;
        Bus.BusStarted = FALSE;
        Bus.Bus = NULL;
        KeReleaseSpinLock(&Bus.Lock, irql);
        FailPendingTransfers(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        if (child != NULL)
            IoDeleteDevice(child);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(bus, irp);
        IoDetachDevice(bus->LowerDevice);
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(bus, irp);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT root) {
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    BOOLEAN taken = Bus.Bus != NULL;
    KeReleaseSpinLock(&Bus.Lock, irql);
    if (taken)
        return STATUS_DEVICE_BUSY; // one bus per driver

    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    BusExtension* bus = static_cast<BusExtension*>(device->DeviceExtension);
    bus->Header.Kind = KindBus;
    bus->RootDevice = root;
    bus->LowerDevice = IoAttachDeviceToDeviceStack(device, root);
    if (bus->LowerDevice == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    Bus.Bus = device;
    KeReleaseSpinLock(&Bus.Lock, irql);
    return STATUS_SUCCESS;
}

} // namespace qelmvusb
