// qelm_hid.h - what qelmrc tells the HID class driver about the receiver.
//
// The report descriptor, the HID descriptor and the device attributes are answered by pure functions:
// given the control code, the output length and the stored USB device descriptor, they fill the output
// buffer and return the status and information for the request. They touch no device state and run in
// kernel mode at any IRQL (resident code), or in the host tests without any kernel at all.
//
// Include after the platform headers (<ntddk.h>) and "hidport.h".
#pragma once

// The one input report: six bytes, no report ID. Report byte i is byte i of the latest receiver packet.
inline constexpr ULONG QELM_INPUT_REPORT_LENGTH = 6;

// The report descriptor, returned unchanged: one application collection (Generic Desktop, usage 0)
// holding one input report of six unsigned 8-bit fields, without a report ID.
inline constexpr UCHAR QelmReportDescriptor[] = {
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x00,       // Usage (undefined)
    0xA1, 0x01,       // Collection (Application)
    0x05, 0x01,       //   Usage Page (Generic Desktop)
    0x09, 0x3A,       //   Usage (Counted Buffer)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x35, 0x00,       //   Physical Minimum (0)
    0x46, 0xFF, 0x00, //   Physical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x06,       //   Report Count (6)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0xC0,             // End Collection
};
inline constexpr ULONG QELM_REPORT_DESCRIPTOR_LENGTH = sizeof(QelmReportDescriptor);
static_assert(QELM_REPORT_DESCRIPTOR_LENGTH == 27, "the report descriptor is 27 bytes");

inline constexpr ULONG QELM_HID_DESCRIPTOR_LENGTH = 9;
inline constexpr ULONG QELM_DEVICE_ATTRIBUTES_LENGTH = 32;
inline constexpr ULONG QELM_USB_DEVICE_DESCRIPTOR_LENGTH = 18;
static_assert(sizeof(HID_DESCRIPTOR) == QELM_HID_DESCRIPTOR_LENGTH,
              "HID_DESCRIPTOR must be packed to 9 bytes");
static_assert(sizeof(HID_DEVICE_ATTRIBUTES) == QELM_DEVICE_ATTRIBUTES_LENGTH,
              "HID_DEVICE_ATTRIBUTES is 32 bytes");

// Outcome of one descriptor or attribute request: the request's status and its information.
struct QELM_HID_ANSWER {
    NTSTATUS Status;
    ULONG Information;
};

inline void QelmCopyBytes(UCHAR* Destination, const UCHAR* Source, ULONG Length) {
    for (ULONG i = 0; i < Length; ++i) {
        Destination[i] = Source[i];
    }
}

inline void QelmZeroBytes(PVOID Destination, ULONG Length) {
    for (ULONG i = 0; i < Length; ++i) {
        static_cast<UCHAR*>(Destination)[i] = 0;
    }
}

// IOCTL_HID_GET_DEVICE_DESCRIPTOR: the 9-byte HID descriptor, 09 21 01 00 00 01 22 1B 00 on the wire.
// bcdHID is 0x0001 (bytes 01 00), as the device has always reported it.
inline QELM_HID_ANSWER QelmAnswerHidDescriptor(ULONG OutputLength, PVOID Output) {
    if (OutputLength < QELM_HID_DESCRIPTOR_LENGTH) {
        return {STATUS_BUFFER_TOO_SMALL, 0};
    }
    HID_DESCRIPTOR descriptor;
    QelmZeroBytes(&descriptor, sizeof(descriptor));
    descriptor.bLength = QELM_HID_DESCRIPTOR_LENGTH;
    descriptor.bDescriptorType = 0x21; // HID
    descriptor.bcdHID = 0x0001;
    descriptor.bCountry = 0;
    descriptor.bNumDescriptors = 1;
    descriptor.DescriptorList[0].bReportType = 0x22; // report descriptor
    descriptor.DescriptorList[0].wReportLength = QELM_REPORT_DESCRIPTOR_LENGTH;
    QelmCopyBytes(static_cast<UCHAR*>(Output), reinterpret_cast<const UCHAR*>(&descriptor),
                  QELM_HID_DESCRIPTOR_LENGTH);
    return {STATUS_SUCCESS, QELM_HID_DESCRIPTOR_LENGTH};
}

// IOCTL_HID_GET_REPORT_DESCRIPTOR: the 27-byte report descriptor.
inline QELM_HID_ANSWER QelmAnswerReportDescriptor(ULONG OutputLength, PVOID Output) {
    if (OutputLength < QELM_REPORT_DESCRIPTOR_LENGTH) {
        return {STATUS_BUFFER_TOO_SMALL, 0};
    }
    QelmCopyBytes(static_cast<UCHAR*>(Output), QelmReportDescriptor, QELM_REPORT_DESCRIPTOR_LENGTH);
    return {STATUS_SUCCESS, QELM_REPORT_DESCRIPTOR_LENGTH};
}

// IOCTL_HID_GET_DEVICE_ATTRIBUTES: the receiver's own idVendor, idProduct and bcdDevice (bytes 8-9,
// 10-11 and 12-13 of its 18-byte USB device descriptor, little-endian), everything else zero.
inline QELM_HID_ANSWER QelmAnswerDeviceAttributes(ULONG OutputLength, const UCHAR* DeviceDescriptor,
                                                  PVOID Output) {
    if (OutputLength < QELM_DEVICE_ATTRIBUTES_LENGTH) {
        return {STATUS_BUFFER_TOO_SMALL, 0};
    }
    auto word = [DeviceDescriptor](ULONG offset) {
        return static_cast<USHORT>(DeviceDescriptor[offset] | (DeviceDescriptor[offset + 1] << 8));
    };
    HID_DEVICE_ATTRIBUTES attributes;
    QelmZeroBytes(&attributes, sizeof(attributes));
    attributes.Size = QELM_DEVICE_ATTRIBUTES_LENGTH;
    attributes.VendorID = word(8);
    attributes.ProductID = word(10);
    attributes.VersionNumber = word(12);
    QelmCopyBytes(static_cast<UCHAR*>(Output), reinterpret_cast<const UCHAR*>(&attributes),
                  QELM_DEVICE_ATTRIBUTES_LENGTH);
    return {STATUS_SUCCESS, QELM_DEVICE_ATTRIBUTES_LENGTH};
}

// Every internal HID request except the read: the three answers above, and STATUS_NOT_SUPPORTED with
// nothing written and the information left as it was (Information is then the caller's own value).
inline QELM_HID_ANSWER QelmAnswerHidRequest(ULONG IoControlCode, ULONG OutputLength,
                                            const UCHAR* DeviceDescriptor, PVOID Output,
                                            ULONG PreviousInformation) {
    switch (IoControlCode) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
        return QelmAnswerHidDescriptor(OutputLength, Output);
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        return QelmAnswerReportDescriptor(OutputLength, Output);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
        return QelmAnswerDeviceAttributes(OutputLength, DeviceDescriptor, Output);
    default:
        return {STATUS_NOT_SUPPORTED, PreviousInformation};
    }
}

// ---------------------------------------------------------------------------------------------------------
// The read path (qelm_driver.cpp)
// ---------------------------------------------------------------------------------------------------------
struct _DEVICE_EXTENSION;

// Answers a read request with the latest report and starts the next transfer; returns the transfer
// start's status (the request itself is already completed with success). Resident.
NTSTATUS ReadReport(struct _DEVICE_EXTENSION* DeviceExtension, PIRP Irp);
