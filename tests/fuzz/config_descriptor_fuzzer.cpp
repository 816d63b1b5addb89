// libFuzzer target: whatever bytes the receiver returns for its configuration descriptor go through the
// driver's start (ConfigureDevice), a transfer if the start succeeded, and the stop. The start must either
// succeed with a configuration that holds together or fail with nothing stored; nothing may be read outside
// a buffer (AddressSanitizer) and no pool block may be left behind.
//
// Input: two bytes, little-endian, for the wTotalLength of the nine-byte header the device returns first,
// then the bytes it returns for the full descriptor (whose first nine bytes also make the header). A device
// may well report one length in the header and another in the full descriptor.
#include "usb_device.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "config_descriptor_fuzzer: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096)
        return 0;
    const uint16_t headerTotal = (uint16_t)(data[0] | (data[1] << 8));
    data += 2;
    size -= 2;
    std::vector<uint8_t> header(data, data + (size < 9 ? size : 9));
    if (header.size() >= 4) {
        header[2] = (uint8_t)(headerTotal & 0xFF);
        header[3] = (uint8_t)(headerTotal >> 8);
    }
    uint64_t before = hostk::outstandingAllocations();
    {
        UsbTestDevice d;
        d.receiver.setRecording(false);
        d.receiver.setConfigurationHeader(header);
        d.receiver.setConfigurationDescriptor(std::vector<uint8_t>(data, data + size));
        if (AllocateTransferResources(d.fdo) != STATUS_SUCCESS)
            fail("transfer resources not allocated");

        NTSTATUS status = ConfigureDevice(d.fdo);
        if (NT_SUCCESS(status)) {
            if (!d.ext->Configured || d.ext->ConfigurationBuffer == NULL || d.ext->InterruptPipe == NULL)
                fail("successful start without a configuration");
            ULONG received = headerTotal < size ? headerTotal : (ULONG)size;
            if (CheckConfigurationDescriptor(data, received) != STATUS_SUCCESS)
                fail("start accepted a configuration descriptor that does not pass the check");
            if (StartInterruptTransfer(d.ext) == STATUS_PENDING) {
                const uint8_t packet[6] = {1, 2, 3, 4, 5, 6};
                if (!d.receiver.deliver(packet, sizeof packet))
                    fail("pending transfer not at the bus");
                if (d.latestReport()[5] != 6)
                    fail("packet not in the report");
            }
        } else {
            if (status != STATUS_DEVICE_CONFIGURATION_ERROR && status != STATUS_INVALID_PARAMETER)
                fail("unexpected start status");
            if (d.ext->Configured || d.ext->ConfigurationBuffer != NULL || d.ext->InterruptPipe != NULL ||
                d.ext->ConfigurationHandle != NULL)
                fail("failed start left a configuration behind");
        }
        UnconfigureDevice(d.fdo);
        FreeTransferResources(d.fdo);
    }
    if (hostk::outstandingAllocations() != before) {
        std::fprintf(stderr, "pool left allocated: %s\n", hostk::describeOutstanding().c_str());
        fail("leak");
    }
    return 0;
}
