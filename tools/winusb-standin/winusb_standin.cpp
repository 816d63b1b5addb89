// winusb.sys, the stand-in: a small function driver in the place of Microsoft's WinUSB for the Wine tests
// (Wine has no winusb.sys). Kernel mode; a test tool, never shipped.
//
// It does for a USB device (here the receiver's interface 0 on the virtual USB bus) what the WinUSB route
// needs of Microsoft's driver:
//  - at start it reads the device and configuration descriptors, selects the configuration with the
//    interfaces the descriptor lists, and registers each device interface GUID that the device's INF wrote
//    under DeviceInterfaceGUIDs (REG_MULTI_SZ, or DeviceInterfaceGUID, REG_SZ) in its hardware key;
//  - it serves the stand-in winusb.dll's requests (standin_io.h): descriptors, reads of an IN pipe, each one
//    interrupt or bulk transfer passed to the bus in the same request (so that cancelling the read cancels
//    the transfer), pipe reset and abort, pipe policies;
//  - it lets one file at a time use the device, as WinUSB does.
#include <ntddk.h>
#include <usb.h>
// mingw-w64's usbdlib.h declares the USBD routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include "standin_io.h"

namespace {

// Pool tag of every allocation: the bytes 'W' 'u' 's' 'b' in memory.
constexpr ULONG Tag = (ULONG)'W' | ((ULONG)'u' << 8) | ((ULONG)'s' << 16) | ((ULONG)'b' << 24);
constexpr ULONG MaxPipes = 8;
constexpr ULONG MaxInterfaces = 4;
constexpr ULONG MaxConfiguration = 512;

struct Pipe {
    USBD_PIPE_HANDLE Handle;
    UCHAR Address;
    USBD_PIPE_TYPE Type;
    USHORT MaxPacket;
    ULONG Policies[WUSB_POLICIES + 1];
};

// One per device. Written by AddDevice and the start (Plug and Play requests come one at a time); the
// counters by the request that counts.
struct Extension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    BOOLEAN Started;
    LONG OpenFiles; // 0 or 1
    UCHAR DeviceDescriptor[sizeof(USB_DEVICE_DESCRIPTOR)];
    ULONG DeviceDescriptorLength;
    UCHAR Configuration[MaxConfiguration];
    ULONG ConfigurationLength;
    Pipe Pipes[MaxPipes];
    ULONG PipeCount;
    UNICODE_STRING Interfaces[MaxInterfaces];
    ULONG InterfaceCount;
    WUSB_STATE State;
};

Extension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<Extension*>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------------------------------------------------
// Requests to the bus
// ---------------------------------------------------------------------------------------------------------

// Sends the URB down in an internal device-control request and waits for it. PASSIVE_LEVEL.
NTSTATUS SubmitUrb(Extension* extension, PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->Lower, NULL, 0, NULL,
                                             0, TRUE, &done, &status);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = urb;
    NTSTATUS result = IoCallDriver(extension->Lower, irp);
    if (result == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        result = status.Status;
    }
    return result;
}

NTSTATUS ReadDescriptor(Extension* extension, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                        ULONG length, PULONG returned) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    UsbBuildGetDescriptorRequest(reinterpret_cast<PURB>(&request), (USHORT)sizeof(request), type, index,
                                 language, buffer, NULL, length, NULL);
    NTSTATUS status = SubmitUrb(extension, reinterpret_cast<PURB>(&request));
    *returned =
        NT_SUCCESS(status) && request.TransferBufferLength <= length ? request.TransferBufferLength : 0;
    return status;
}

Pipe* FindPipe(Extension* extension, UCHAR address) {
    for (ULONG i = 0; i < extension->PipeCount; ++i) {
        if (extension->Pipes[i].Address == address)
            return &extension->Pipes[i];
    }
    return NULL;
}

// A pipe request (reset or abort) carried out synchronously.
NTSTATUS PipeRequest(Extension* extension, Pipe* pipe, USHORT function) {
    struct _URB_PIPE_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Hdr.Length = (USHORT)sizeof(request);
    request.Hdr.Function = function;
    request.PipeHandle = pipe->Handle;
    return SubmitUrb(extension, reinterpret_cast<PURB>(&request));
}

// ---------------------------------------------------------------------------------------------------------
// Start: descriptors, configuration, device interfaces
// ---------------------------------------------------------------------------------------------------------

NTSTATUS Configure(Extension* extension) {
    ULONG length = 0;
    NTSTATUS status = ReadDescriptor(extension, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, extension->DeviceDescriptor,
                                     sizeof(extension->DeviceDescriptor), &length);
    if (!NT_SUCCESS(status) || length < sizeof(USB_DEVICE_DESCRIPTOR))
        return NT_SUCCESS(status) ? STATUS_DEVICE_CONFIGURATION_ERROR : status;
    extension->DeviceDescriptorLength = length;

    status = ReadDescriptor(extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, extension->Configuration,
                            sizeof(extension->Configuration), &length);
    PUSB_CONFIGURATION_DESCRIPTOR configuration =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(extension->Configuration);
    if (!NT_SUCCESS(status) || length < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->wTotalLength > length || configuration->wTotalLength < sizeof(*configuration))
        return NT_SUCCESS(status) ? STATUS_DEVICE_CONFIGURATION_ERROR : status;
    extension->ConfigurationLength = configuration->wTotalLength;

    // Every interface the descriptor lists, alternate setting 0.
    USBD_INTERFACE_LIST_ENTRY interfaces[MaxInterfaces + 1];
    RtlZeroMemory(interfaces, sizeof(interfaces));
    ULONG count = 0;
    PUCHAR end = extension->Configuration + extension->ConfigurationLength;
    for (PUCHAR at = extension->Configuration; at < end && count < MaxInterfaces;) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(configuration, at, -1, 0, -1, -1, -1);
        if (found == NULL)
            break;
        interfaces[count++].InterfaceDescriptor = found;
        at = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
    if (count == 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    PURB select = USBD_CreateConfigurationRequestEx(configuration, interfaces);
    if (select == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = SubmitUrb(extension, select);
    if (NT_SUCCESS(status)) {
        extension->PipeCount = 0;
        for (ULONG i = 0; i < count; ++i) {
            PUSBD_INTERFACE_INFORMATION info = interfaces[i].Interface;
            for (ULONG p = 0; info != NULL && p < info->NumberOfPipes && extension->PipeCount < MaxPipes;
                 ++p) {
                Pipe* pipe = &extension->Pipes[extension->PipeCount++];
                RtlZeroMemory(pipe, sizeof(*pipe));
                pipe->Handle = info->Pipes[p].PipeHandle;
                pipe->Address = info->Pipes[p].EndpointAddress;
                pipe->Type = info->Pipes[p].PipeType;
                pipe->MaxPacket = info->Pipes[p].MaximumPacketSize;
            }
        }
    }
    ExFreePool(select);
    return status;
}

// Registers one device interface by its GUID's text and switches it on.
void AddInterface(Extension* extension, const WCHAR* text, USHORT bytes) {
    if (extension->InterfaceCount == MaxInterfaces)
        return;
    UNICODE_STRING string;
    string.Buffer = const_cast<PWCH>(text);
    string.Length = bytes;
    string.MaximumLength = bytes;
    GUID guid;
    if (!NT_SUCCESS(RtlGUIDFromString(&string, &guid)))
        return;
    UNICODE_STRING* link = &extension->Interfaces[extension->InterfaceCount];
    if (!NT_SUCCESS(IoRegisterDeviceInterface(extension->Pdo, &guid, NULL, link)))
        return;
    extension->InterfaceCount++;
    IoSetDeviceInterfaceState(link, TRUE);
}

// The device interface GUIDs of the device's hardware key, as Microsoft's WinUSB reads them.
void RegisterInterfaces(Extension* extension) {
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(extension->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)))
        return;
    const WCHAR* names[] = {L"DeviceInterfaceGUIDs", L"DeviceInterfaceGUID"};
    for (const WCHAR* name : names) {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, name);
        ULONG size = 0;
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &size);
        if (size == 0)
            continue;
        PKEY_VALUE_PARTIAL_INFORMATION value =
            static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, Tag));
        if (value == NULL)
            break;
        if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, size, &size)) &&
            (value->Type == REG_MULTI_SZ || value->Type == REG_SZ)) {
            // Strings one after another, each ended by a NUL; a GUID's text is 38 characters.
            const WCHAR* text = reinterpret_cast<const WCHAR*>(value->Data);
            ULONG chars = value->DataLength / sizeof(WCHAR);
            for (ULONG at = 0; at < chars;) {
                ULONG length = 0;
                while (at + length < chars && text[at + length] != 0)
                    ++length;
                if (length == 38)
                    AddInterface(extension, text + at, (USHORT)(length * sizeof(WCHAR)));
                at += length + 1;
            }
        }
        ExFreePool(value);
    }
    ZwClose(key);
}

void UnregisterInterfaces(Extension* extension) {
    for (ULONG i = 0; i < extension->InterfaceCount; ++i) {
        IoSetDeviceInterfaceState(&extension->Interfaces[i], FALSE);
        RtlFreeUnicodeString(&extension->Interfaces[i]);
    }
    extension->InterfaceCount = 0;
}

// ---------------------------------------------------------------------------------------------------------
// Plug and Play and power
// ---------------------------------------------------------------------------------------------------------

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Extension* extension, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(extension->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(Extension* extension, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->Lower, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* extension = ExtensionOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(extension, irp);
        if (NT_SUCCESS(status))
            status = Configure(extension);
        if (NT_SUCCESS(status)) {
            extension->Started = TRUE;
            extension->State.Started = 1;
            if (extension->InterfaceCount == 0)
                RegisterInterfaces(extension);
            extension->State.Interfaces = extension->InterfaceCount;
        }
        return Complete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
        extension->Started = FALSE;
        extension->State.Started = 0;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(extension, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(extension, irp);
    case IRP_MN_REMOVE_DEVICE: {
        extension->Started = FALSE;
        UnregisterInterfaces(extension);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(extension, irp);
        IoDetachDevice(extension->Lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(extension, irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ExtensionOf(device)->Lower, irp);
}

// ---------------------------------------------------------------------------------------------------------
// Files and the stand-in DLL's requests
// ---------------------------------------------------------------------------------------------------------

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    Extension* extension = ExtensionOf(device);
    if (!extension->Started)
        return Complete(irp, STATUS_DEVICE_NOT_READY);
    if (InterlockedCompareExchange(&extension->OpenFiles, 1, 0) != 0) {
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&extension->State.OpensRefused));
        return Complete(irp, STATUS_ACCESS_DENIED);
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    InterlockedExchange(&ExtensionOf(device)->OpenFiles, 0);
    return Complete(irp, STATUS_SUCCESS);
}

// A file's last handle is closed: its transfers end.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    Extension* extension = ExtensionOf(device);
    for (ULONG i = 0; extension->Started && i < extension->PipeCount; ++i)
        PipeRequest(extension, &extension->Pipes[i], URB_FUNCTION_ABORT_PIPE);
    return Complete(irp, STATUS_SUCCESS);
}

// Completion of a read passed to the bus: the URB's length is what the read gives back.
NTSTATUS NTAPI ReadCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    PURB urb = static_cast<PURB>(context);
    irp->IoStatus.Information =
        NT_SUCCESS(irp->IoStatus.Status) ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    ExFreePoolWithTag(urb, Tag);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

// One read: the same request, turned into an interrupt or bulk IN transfer, goes to the bus.
NTSTATUS ReadPipe(Extension* extension, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    Pipe* pipe = buffer != NULL && inLength >= sizeof(WUSB_PIPE_REQUEST)
                     ? FindPipe(extension, static_cast<WUSB_PIPE_REQUEST*>(buffer)->PipeId)
                     : NULL;
    const BOOLEAN rawIo = pipe != NULL && pipe->Policies[WUSB_POLICY_RAW_IO] != 0;
    if (pipe == NULL || !USB_ENDPOINT_DIRECTION_IN(pipe->Address) ||
        (pipe->Type != UsbdPipeTypeInterrupt && pipe->Type != UsbdPipeTypeBulk) || outLength == 0 ||
        (rawIo && (pipe->MaxPacket == 0 || outLength % pipe->MaxPacket != 0))) {
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&extension->State.ReadsRefused));
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Tag));
    if (urb == NULL)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe->Handle, buffer, NULL, outLength,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&extension->State.Reads));
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, ReadCompleted, urb, TRUE, TRUE, TRUE);
    return IoCallDriver(extension->Lower, irp);
}

NTSTATUS GetDescriptor(Extension* extension, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (buffer == NULL ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(WUSB_DESCRIPTOR_REQUEST))
        return Complete(irp, STATUS_INVALID_PARAMETER);
    WUSB_DESCRIPTOR_REQUEST request = *static_cast<WUSB_DESCRIPTOR_REQUEST*>(buffer);
    const UCHAR* source = NULL;
    ULONG size = 0;
    if (request.Type == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0) {
        source = extension->DeviceDescriptor;
        size = extension->DeviceDescriptorLength;
    } else if (request.Type == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
        source = extension->Configuration;
        size = extension->ConfigurationLength;
    }
    if (source != NULL) {
        ULONG length = outLength < size ? outLength : size;
        RtlCopyMemory(buffer, source, length);
        return Complete(irp, STATUS_SUCCESS, length);
    }
    // Anything else (a string) is the device's to answer.
    ULONG returned = 0;
    NTSTATUS status = ReadDescriptor(extension, request.Type, request.Index, request.LanguageId, buffer,
                                     outLength, &returned);
    return Complete(irp, status, NT_SUCCESS(status) ? returned : 0);
}

NTSTATUS PipeControl(Extension* extension, PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (buffer == NULL || inLength < sizeof(WUSB_PIPE_REQUEST))
        return Complete(irp, STATUS_INVALID_PARAMETER);
    Pipe* pipe = FindPipe(extension, static_cast<WUSB_PIPE_REQUEST*>(buffer)->PipeId);
    if (pipe == NULL)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    switch (code) {
    case IOCTL_WUSB_RESET_PIPE: {
        NTSTATUS status = PipeRequest(extension, pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(
            NT_SUCCESS(status) ? &extension->State.Resets : &extension->State.ResetsRefused));
        return Complete(irp, status);
    }
    case IOCTL_WUSB_ABORT_PIPE:
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&extension->State.Aborts));
        return Complete(irp, PipeRequest(extension, pipe, URB_FUNCTION_ABORT_PIPE));
    default: {
        if (inLength < sizeof(WUSB_POLICY_REQUEST))
            return Complete(irp, STATUS_INVALID_PARAMETER);
        WUSB_POLICY_REQUEST* policy = static_cast<WUSB_POLICY_REQUEST*>(buffer);
        if (policy->Policy == 0 || policy->Policy > WUSB_POLICIES)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        if (code == IOCTL_WUSB_SET_PIPE_POLICY) {
            pipe->Policies[policy->Policy] = policy->Value;
            return Complete(irp, STATUS_SUCCESS);
        }
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        const ULONG value = pipe->Policies[policy->Policy];
        RtlCopyMemory(buffer, &value, sizeof(value));
        return Complete(irp, STATUS_SUCCESS, sizeof(value));
    }
    }
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Extension* extension = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_WUSB_STATE) {
        if (irp->AssociatedIrp.SystemBuffer == NULL ||
            stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(WUSB_STATE))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &extension->State, sizeof(WUSB_STATE));
        return Complete(irp, STATUS_SUCCESS, sizeof(WUSB_STATE));
    }
    if (!extension->Started)
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    switch (code) {
    case IOCTL_WUSB_GET_DESCRIPTOR:
        return GetDescriptor(extension, irp);
    case IOCTL_WUSB_READ_PIPE:
        return ReadPipe(extension, irp);
    case IOCTL_WUSB_RESET_PIPE:
    case IOCTL_WUSB_ABORT_PIPE:
    case IOCTL_WUSB_SET_PIPE_POLICY:
    case IOCTL_WUSB_GET_PIPE_POLICY:
        return PipeControl(extension, irp, code);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    Extension* extension = ExtensionOf(device);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Self = device;
    extension->Pdo = pdo;
    extension->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (extension->Lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
