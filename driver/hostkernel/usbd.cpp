// Host kernel: the USBD library routines the driver calls, following their documented behaviour.
//
// Like the platform's, they trust wTotalLength and the descriptors they are given: the caller must have
// checked the configuration descriptor. Where the platform's routines would read past the buffer or loop
// for ever (a descriptor crossing wTotalLength, a length below two, an interface descriptor shorter than
// nine bytes), these stop the process instead, so that a caller that forgot the check is caught.
#include "hostkernel/hostkernel.h"

#include <usbdlib.h>

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* end = begin + TotalLength;
    auto* position = static_cast<PUCHAR>(StartPosition);
    if (position < begin)
        hostk::bugCheck("USBD_ParseDescriptors: start position before the buffer");
    while (position < end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (end - position < (ptrdiff_t)sizeof(USB_COMMON_DESCRIPTOR) || common->bLength < 2 ||
            common->bLength > end - position)
            hostk::bugCheck(
                "USBD_ParseDescriptors: a descriptor does not fit in the buffer (unchecked input)");
        if (common->bDescriptorType == DescriptorType)
            return common;
        position += common->bLength;
    }
    return NULL;
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID position = StartPosition;
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found =
            USBD_ParseDescriptors(ConfigurationDescriptor, total, position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == NULL)
            return NULL;
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (interface->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
            hostk::bugCheck(
                "USBD_ParseConfigurationDescriptorEx: interface descriptor shorter than nine bytes");
        if ((InterfaceNumber == -1 || interface->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || interface->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || interface->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || interface->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || interface->bInterfaceProtocol == InterfaceProtocol))
            return interface;
        position = reinterpret_cast<PUCHAR>(interface) + interface->bLength;
    }
}

// One URB for all listed interfaces: the header and configuration fields, then per interface an interface
// information record sized for its bNumEndpoints pipes. Each pipe's maximum transfer size gets the default;
// the bus driver fills in handles and the rest when the request is submitted.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0)
        size += sizeof(USBD_INTERFACE_INFORMATION);
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION))
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF)
        return NULL;

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, hostk::UsbdPoolTag));
    if (urb == NULL)
        return NULL;
    memset(urb, 0, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* place = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(place);
        information->Length = (USHORT)GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < descriptor->bNumEndpoints; ++pipe) {
            information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            information->Pipes[pipe].PipeFlags = 0;
        }
        entry->Interface = information;
        place += information->Length;
    }
    return urb;
}

} // extern "C"
