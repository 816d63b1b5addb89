// HID minidriver declarations: the registration with the HID class driver, the class driver's per-device
// extension, the HID and attribute records, and the internal HID control codes.
//
// mingw-w64 ships none of these in a usable form (its ddk/hidclass.h carries wrong control-code values),
// so the driver takes them from here in its kernel build as well as in its host build.
#pragma once

#if !defined(QELM_HOST_KERNEL)
// mingw-w64's wdm.h redefines two intrinsics that its intrin.h already defines; keep intrin.h's out.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif
#endif
#include <wdm.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HID_REVISION 0x00000001

// Filled by the minidriver's entry point and handed to HidRegisterMinidriver.
typedef struct _HID_MINIDRIVER_REGISTRATION {
    ULONG Revision;               // HID_REVISION
    PDRIVER_OBJECT DriverObject;  // the minidriver's driver object
    PUNICODE_STRING RegistryPath; // the registry path given to the entry point
    ULONG DeviceExtensionSize;    // size of the minidriver's own per-device record
    BOOLEAN DevicesArePolled;     // the class driver polls with read requests at its own interval
    UCHAR Reserved[3];
} HID_MINIDRIVER_REGISTRATION, *PHID_MINIDRIVER_REGISTRATION;

// The HID class driver's extension of every functional device object it creates for the minidriver.
typedef struct _HID_DEVICE_EXTENSION {
    PDEVICE_OBJECT PhysicalDeviceObject; // the bus driver's device object
    PDEVICE_OBJECT NextDeviceObject;     // the device object below in the stack
    PVOID MiniDeviceExtension;           // the minidriver's own record, DeviceExtensionSize bytes, zeroed
} HID_DEVICE_EXTENSION, *PHID_DEVICE_EXTENSION;

#define HID_HID_DESCRIPTOR_TYPE 0x21
#define HID_REPORT_DESCRIPTOR_TYPE 0x22

// The HID descriptor as it appears on the wire: nine bytes with one report-descriptor entry, unaligned.
#pragma pack(push, 1)
typedef struct _HID_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    struct _HID_DESCRIPTOR_DESC_LIST {
        UCHAR bReportType;
        USHORT wReportLength;
    } DescriptorList[1];
} HID_DESCRIPTOR, *PHID_DESCRIPTOR;
#pragma pack(pop)

typedef struct _HID_DEVICE_ATTRIBUTES {
    ULONG Size; // sizeof(HID_DEVICE_ATTRIBUTES)
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} HID_DEVICE_ATTRIBUTES, *PHID_DEVICE_ATTRIBUTES;

static_assert(sizeof(HID_DESCRIPTOR) == 9, "HID_DESCRIPTOR is nine bytes on the wire");
static_assert(sizeof(HID_DEVICE_ATTRIBUTES) == 32, "HID_DEVICE_ATTRIBUTES is 32 bytes");
static_assert(sizeof(HID_MINIDRIVER_REGISTRATION) == (sizeof(PVOID) == 8 ? 32 : 20),
              "HID_MINIDRIVER_REGISTRATION layout");

// Internal control codes the HID class driver sends to its minidriver (device type FILE_DEVICE_KEYBOARD,
// method neither). Defined here whatever another header may have said.
#define HID_CTL_CODE(id) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_NEITHER, FILE_ANY_ACCESS)
#define HID_IN_CTL_CODE(id) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_IN_DIRECT, FILE_ANY_ACCESS)
#define HID_OUT_CTL_CODE(id) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_OUT_DIRECT, FILE_ANY_ACCESS)

#undef IOCTL_HID_GET_DEVICE_DESCRIPTOR
#undef IOCTL_HID_GET_REPORT_DESCRIPTOR
#undef IOCTL_HID_READ_REPORT
#undef IOCTL_HID_WRITE_REPORT
#undef IOCTL_HID_GET_STRING
#undef IOCTL_HID_ACTIVATE_DEVICE
#undef IOCTL_HID_DEACTIVATE_DEVICE
#undef IOCTL_HID_GET_DEVICE_ATTRIBUTES
#undef IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST
#undef IOCTL_HID_SET_FEATURE
#undef IOCTL_HID_GET_FEATURE

#define IOCTL_HID_GET_DEVICE_DESCRIPTOR HID_CTL_CODE(0)
#define IOCTL_HID_GET_REPORT_DESCRIPTOR HID_CTL_CODE(1)
#define IOCTL_HID_READ_REPORT HID_CTL_CODE(2)
#define IOCTL_HID_WRITE_REPORT HID_CTL_CODE(3)
#define IOCTL_HID_GET_STRING HID_CTL_CODE(4)
#define IOCTL_HID_ACTIVATE_DEVICE HID_CTL_CODE(7)
#define IOCTL_HID_DEACTIVATE_DEVICE HID_CTL_CODE(8)
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES HID_CTL_CODE(9)
#define IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST HID_CTL_CODE(10)
#define IOCTL_HID_SET_FEATURE HID_IN_CTL_CODE(100)
#define IOCTL_HID_GET_FEATURE HID_OUT_CTL_CODE(100)

static_assert(IOCTL_HID_GET_DEVICE_DESCRIPTOR == 0x000B0003, "IOCTL_HID_GET_DEVICE_DESCRIPTOR");
static_assert(IOCTL_HID_GET_REPORT_DESCRIPTOR == 0x000B0007, "IOCTL_HID_GET_REPORT_DESCRIPTOR");
static_assert(IOCTL_HID_READ_REPORT == 0x000B000B, "IOCTL_HID_READ_REPORT");
static_assert(IOCTL_HID_GET_DEVICE_ATTRIBUTES == 0x000B0027, "IOCTL_HID_GET_DEVICE_ATTRIBUTES");
static_assert(IOCTL_HID_GET_FEATURE == 0x000B0192, "IOCTL_HID_GET_FEATURE");

// Registers the minidriver with the HID class driver; called once from the entry point.
NTSTATUS NTAPI HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION MinidriverRegistration);

#ifdef __cplusplus
} // extern "C"
#endif

// Declarations added by the driver's other modules follow.
