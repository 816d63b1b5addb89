// qelmvusb.cpp - entry and dispatch of the virtual USB bus (kernel mode).
//
// The driver creates three kinds of device object (qelmvusb.h): the named control device at entry, the bus
// device in AddDevice, and the receiver's device when the test plugs it. Each dispatch routine here hands
// the request to the module of the device's kind.
#include "qelmvusb.h"

namespace qelmvusb {

BusState Bus;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PWCHAR CopyString(const WCHAR* text, SIZE_T bytes) {
    PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, Tag));
    if (copy != NULL)
        RtlCopyMemory(copy, text, bytes);
    return copy;
}

namespace {

DeviceKind KindOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceHeader*>(device->DeviceExtension)->Kind;
}

// ---------------------------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------------------------

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    switch (KindOf(device)) {
    case KindBus:
        return BusPnp(device, irp);
    case KindChild:
        return ChildPnp(device, irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (KindOf(device) == KindBus) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(static_cast<BusExtension*>(device->DeviceExtension)->LowerDevice, irp);
    }
    return Complete(irp, KindOf(device) == KindChild ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    return Complete(irp, KindOf(device) == KindControl ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    switch (KindOf(device)) {
    case KindControl:
        return ControlIoctl(irp);
    case KindBus:
        return PassDown(static_cast<BusExtension*>(device->DeviceExtension), irp);
    default:
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    switch (KindOf(device)) {
    case KindChild:
        return ChildInternalIoctl(irp);
    case KindBus:
        return PassDown(static_cast<BusExtension*>(device->DeviceExtension), irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, QVUSB_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (Bus.Control != NULL) {
        IoDeleteDevice(Bus.Control);
        Bus.Control = NULL;
    }
}

} // namespace
} // namespace qelmvusb

using namespace qelmvusb;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    RtlZeroMemory(&Bus, sizeof(Bus));
    KeInitializeSpinLock(&Bus.Lock);
    InitializeListHead(&Bus.PendingTransfers);
    PrepareDescriptors();

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, QVUSB_CONTROL_NAME);
    PDEVICE_OBJECT control;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceHeader), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &control);
    if (!NT_SUCCESS(status))
        return status;
    static_cast<DeviceHeader*>(control->DeviceExtension)->Kind = KindControl;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, QVUSB_CONTROL_LINK);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    Bus.Control = control;
    return STATUS_SUCCESS;
}
