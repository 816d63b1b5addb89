#include "ReceiverStack.h"

#include "qelm.h"

#include "hostkernel/hidclass.h"
#include "hostkernel/hostkernel.h"
#include "hostkernel/usbreceiver.h"

#include <stdexcept>

struct ReceiverStack::Kernel {
    PDRIVER_OBJECT driver = nullptr;
    UNICODE_STRING registryPath{};
    std::unique_ptr<hostk::UsbReceiver> receiver;
    std::unique_ptr<hostk::HidClassDevice> device;
};

ReceiverStack::ReceiverStack() : kernel_(std::make_unique<Kernel>()) {
    hostk::HidClassDriver::instance().reset();
    kernel_->driver = hostk::createDriverObject(u"\\Driver\\qelmrc");
    RtlInitUnicodeString(&kernel_->registryPath,
                         u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qelmrc");
    if (DriverEntry(kernel_->driver, &kernel_->registryPath) != STATUS_SUCCESS) {
        throw std::runtime_error("DriverEntry failed");
    }
}

ReceiverStack::~ReceiverStack() {
    pullOut();
    if (kernel_->driver->DriverUnload != nullptr) {
        kernel_->driver->DriverUnload(kernel_->driver);
    }
    hostk::deleteDriverObject(kernel_->driver);
    hostk::HidClassDriver::instance().reset();
}

bool ReceiverStack::plugIn(std::chrono::microseconds pollInterval, ReportSink sink) {
    pullOut();
    kernel_->receiver = std::make_unique<hostk::UsbReceiver>();
    kernel_->receiver->setRecording(false); // long runs: keep no request log
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    kernel_->device = hostk::HidClassDriver::instance().addDevice(kernel_->receiver->pdo(), &status);
    if (!kernel_->device) {
        kernel_->receiver.reset();
        return false;
    }
    kernel_->device->setPollInterval(pollInterval);
    kernel_->device->setConsumer(
        [sink = std::move(sink)](const UCHAR* report, ULONG length) { sink(report, length); });
    if (kernel_->device->start() != STATUS_SUCCESS) {
        pullOut();
        return false;
    }
    return true;
}

void ReceiverStack::pullOut() {
    if (kernel_->device) {
        kernel_->device->surpriseRemove();
        kernel_->device->remove();
        kernel_->device.reset();
    }
    kernel_->receiver.reset();
}

bool ReceiverStack::pluggedIn() const {
    return kernel_->device != nullptr;
}

bool ReceiverStack::send(const std::array<std::uint8_t, 6>& packet, std::chrono::milliseconds timeout) {
    if (!kernel_->receiver || !kernel_->receiver->waitForPendingTransfers(1, timeout)) {
        return false;
    }
    return kernel_->receiver->deliver(packet.data(), packet.size());
}

std::uint16_t ReceiverStack::vendorId() const {
    return kernel_->device ? kernel_->device->attributes().VendorID : 0;
}

std::uint16_t ReceiverStack::productId() const {
    return kernel_->device ? kernel_->device->attributes().ProductID : 0;
}

std::chrono::steady_clock::time_point ReceiverStack::lastPollStart() const {
    return kernel_->device ? kernel_->device->lastPollStart() : std::chrono::steady_clock::time_point();
}

unsigned long ReceiverStack::polls() const {
    return kernel_->device ? kernel_->device->pollCount() : 0;
}

std::uint64_t ReceiverStack::outstandingPool() {
    return hostk::outstandingAllocations(QELM_POOL_TAG);
}

std::string ReceiverStack::describePool() {
    return hostk::describeOutstanding();
}
