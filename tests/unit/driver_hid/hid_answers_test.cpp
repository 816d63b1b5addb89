// The descriptor and attribute answers as pure functions: no kernel, no device, no request.
#include <ntddk.h>

#include "hidport.h"
#include "qelm_hid.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr UCHAR kFill = 0xCC;

// The receiver's device descriptor with recognisable numbers: idVendor 0x1234, idProduct 0x5678,
// bcdDevice 0x9ABC, each stored little-endian at bytes 8-9, 10-11 and 12-13.
const std::array<UCHAR, 18> kDescriptor = {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, 0x34,
                                           0x12, 0x78, 0x56, 0xBC, 0x9A, 0x01, 0x02, 0x00, 0x01};

const std::vector<UCHAR> kHidDescriptor = {0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x1B, 0x00};

const std::vector<UCHAR> kReportDescriptor = {0x05, 0x01, 0x09, 0x00, 0xA1, 0x01, 0x05, 0x01, 0x09,
                                              0x3A, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x35, 0x00, 0x46,
                                              0xFF, 0x00, 0x75, 0x08, 0x95, 0x06, 0x81, 0x02, 0xC0};

std::vector<UCHAR> attributesFor(USHORT vendor, USHORT product, USHORT version) {
    std::vector<UCHAR> bytes(32, 0);
    bytes[0] = 32;
    bytes[4] = vendor & 0xFF;
    bytes[5] = vendor >> 8;
    bytes[6] = product & 0xFF;
    bytes[7] = product >> 8;
    bytes[8] = version & 0xFF;
    bytes[9] = version >> 8;
    return bytes;
}

struct Row {
    const char* name;
    ULONG code;
    ULONG outputLength;
    NTSTATUS status;
    std::vector<UCHAR> written; // what must be at the start of the buffer; the rest stays untouched
};

TEST(HidAnswers, ShortBuffersWriteNothingAndLongOnesExactlyTheAnswer) {
    const std::vector<UCHAR> none;
    const std::vector<Row> rows = {
        {"HID descriptor, 8 bytes", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 8, STATUS_BUFFER_TOO_SMALL, none},
        {"HID descriptor, 0 bytes", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 0, STATUS_BUFFER_TOO_SMALL, none},
        {"HID descriptor, 9 bytes", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9, STATUS_SUCCESS, kHidDescriptor},
        {"HID descriptor, 64 bytes", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 64, STATUS_SUCCESS, kHidDescriptor},
        {"report descriptor, 26 bytes", IOCTL_HID_GET_REPORT_DESCRIPTOR, 26, STATUS_BUFFER_TOO_SMALL, none},
        {"report descriptor, 27 bytes", IOCTL_HID_GET_REPORT_DESCRIPTOR, 27, STATUS_SUCCESS,
         kReportDescriptor},
        {"report descriptor, 64 bytes", IOCTL_HID_GET_REPORT_DESCRIPTOR, 64, STATUS_SUCCESS,
         kReportDescriptor},
        {"attributes, 31 bytes", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 31, STATUS_BUFFER_TOO_SMALL, none},
        {"attributes, 32 bytes", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 32, STATUS_SUCCESS,
         attributesFor(0x1234, 0x5678, 0x9ABC)},
        {"attributes, 64 bytes", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 64, STATUS_SUCCESS,
         attributesFor(0x1234, 0x5678, 0x9ABC)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<UCHAR> buffer(64, kFill);
        QELM_HID_ANSWER answer =
            QelmAnswerHidRequest(row.code, row.outputLength, kDescriptor.data(), buffer.data(), 0x77);
        EXPECT_EQ(answer.Status, row.status);
        EXPECT_EQ(answer.Information, row.written.size());
        for (size_t i = 0; i < buffer.size(); ++i) {
            UCHAR expected = i < row.written.size() ? row.written[i] : kFill;
            ASSERT_EQ(buffer[i], expected) << "byte " << i;
        }
    }
}

TEST(HidAnswers, UnrecognisedCodesAreNotSupportedAndLeaveInformationAndBuffer) {
    const ULONG codes[] = {IOCTL_HID_GET_FEATURE,
                           IOCTL_HID_SET_FEATURE,
                           IOCTL_HID_WRITE_REPORT,
                           IOCTL_HID_GET_STRING,
                           IOCTL_HID_ACTIVATE_DEVICE,
                           0u,
                           IOCTL_HID_READ_REPORT,
                           0xFFFFFFFFu,
                           IOCTL_HID_GET_DEVICE_DESCRIPTOR | 0x80000000u};
    for (ULONG code : codes) {
        SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << code);
        std::vector<UCHAR> buffer(64, kFill);
        QELM_HID_ANSWER answer = QelmAnswerHidRequest(code, 64, kDescriptor.data(), buffer.data(), 0x77);
        EXPECT_EQ(answer.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(answer.Information, 0x77u);
        EXPECT_EQ(buffer, std::vector<UCHAR>(64, kFill));
    }
}

TEST(HidAnswers, AttributesEchoTheReceiversNumbersWithoutByteSwapping) {
    // The real receiver: 045E:0284, bcdDevice 0x000A.
    std::array<UCHAR, 18> real = {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, 0x5E,
                                  0x04, 0x84, 0x02, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x01};
    HID_DEVICE_ATTRIBUTES attributes;
    std::memset(&attributes, kFill, sizeof(attributes));
    QELM_HID_ANSWER answer = QelmAnswerDeviceAttributes(sizeof(attributes), real.data(), &attributes);
    ASSERT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(attributes.Size, 32u);
    EXPECT_EQ(attributes.VendorID, 0x045E);
    EXPECT_EQ(attributes.ProductID, 0x0284);
    EXPECT_EQ(attributes.VersionNumber, 0x000A);
    for (USHORT reserved : attributes.Reserved) {
        EXPECT_EQ(reserved, 0);
    }
}

TEST(HidAnswers, HidDescriptorNamesTheReportDescriptorLength) {
    HID_DESCRIPTOR descriptor;
    ASSERT_EQ(QelmAnswerHidDescriptor(sizeof(descriptor), &descriptor).Status, STATUS_SUCCESS);
    USHORT reportLength = descriptor.DescriptorList[0].wReportLength; // packed fields: copy before use
    USHORT bcdHID = descriptor.bcdHID;
    EXPECT_EQ(reportLength, sizeof(QelmReportDescriptor));
    EXPECT_EQ(bcdHID, 0x0001);
}

} // namespace
