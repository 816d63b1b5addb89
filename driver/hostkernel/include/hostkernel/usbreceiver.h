// Host kernel: the USB bus driver's physical device object for one receiver, with a model of the receiver.
//
// It answers the URBs a function driver sends with IOCTL_INTERNAL_USB_SUBMIT_URB:
//  - get-descriptor (device, configuration): copies up to the requested length of the current descriptor
//    bytes and reports the length copied;
//  - select-configuration with a descriptor: checks every interface information record against the
//    descriptor, fills in the handles and pipe information; without one: un-configures the device;
//  - bulk-or-interrupt transfer on the interrupt pipe: pends until the test delivers a packet, fails it, or
//    the request is cancelled. Packets complete at DISPATCH_LEVEL, as the platform completes transfers.
//    A transfer that fails (a stall, a transaction error, a babble; not a cancel) halts the pipe, as the
//    platform's USB stack does: every later transfer fails at once with USBD_STATUS_ENDPOINT_HALTED until a
//    reset-pipe request (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) clears it. The endpoint's state is
//    also lost when the device goes to D1-D3: after the return to D0 the pipe must be reset as well.
//  - select-configuration must name every interface of the configuration (alternate setting 0), as a strict
//    USB stack requires; a list that leaves one out fails with STATUS_INVALID_PARAMETER.
// A return to D0 can be made to fail once (the device does not power up).
// Capability queries are answered as a bus driver does (address, UI number, the sleep-state-to-device-state
// table, wake settings). Other Plug and Play and power requests are completed with success unless the test
// installs its own handler.
// By default the descriptors are the real receiver's (045E:0284); tests may replace them with any bytes.
#pragma once

#include <usbdlib.h>
#include <usbioctl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace hostk {

class UsbReceiver {
  public:
    // One request as it arrived at the device object.
    struct Request {
        UCHAR majorFunction = 0;
        UCHAR minorFunction = 0;
        ULONG ioControlCode = 0; // device-control requests
        USHORT urbLength = 0;    // URB requests: the header's fields
        USHORT urbFunction = 0xFFFF;
        UCHAR descriptorType = 0;       // get-descriptor: the type asked for
        ULONG transferLength = 0;       // get-descriptor and transfers: the length asked for
        ULONG transferFlags = 0;        // transfers
        bool withConfiguration = false; // select-configuration: a descriptor was given
        uint64_t powerStartsBefore = 0; // power requests: PoStartNextPowerIrp calls before this one arrived
        int powerStartLocation = 0;     // power requests: the location PoStartNextPowerIrp last saw
        int stackLocation = 0;          // the request's CurrentLocation when it arrived here
        POWER_STATE_TYPE powerType = SystemPowerState; // power requests
        POWER_STATE powerState{};                      // power requests
        size_t transfersPending = 0;                   // power requests: transfers pending when it arrived
    };

    // The capabilities this bus driver reports for the receiver's port.
    static constexpr ULONG CapabilityAddress = 3;
    static constexpr ULONG CapabilityUINumber = 3;

    UsbReceiver();
    ~UsbReceiver(); // fails any transfer still pending with STATUS_DEVICE_NOT_CONNECTED
    UsbReceiver(const UsbReceiver&) = delete;
    UsbReceiver& operator=(const UsbReceiver&) = delete;

    // The physical device object: the lower device of the driver under test.
    PDEVICE_OBJECT pdo() const { return pdo_; }

    static std::vector<uint8_t> realDeviceDescriptor();
    static std::vector<uint8_t> realConfigurationDescriptor();
    void setDeviceDescriptor(std::vector<uint8_t> bytes);
    void setConfigurationDescriptor(std::vector<uint8_t> bytes);
    // Answers configuration requests of at most nine bytes (the header read) with these bytes instead: a
    // device whose header disagrees with its full descriptor. Empty: no separate header.
    void setConfigurationHeader(std::vector<uint8_t> bytes);

    // Fails the `occurrence`-th (1-based) later URB with this function (and, for get-descriptor, this
    // descriptor type; 0 = any) with `status`. Each rule fires once.
    void failUrb(USHORT function, UCHAR descriptorType, unsigned occurrence, NTSTATUS status);
    // Completes descriptor and configuration requests from another thread after returning STATUS_PENDING.
    void setAsynchronousControl(bool asynchronous);
    // Handles Plug and Play requests instead of completing them with success. The handler owns the request.
    void setPnpHandler(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> handler);

    // ---- Interrupt transfers ----
    size_t pendingTransfers() const;
    // Waits until at least `count` transfers are pending; false on time-out.
    bool waitForPendingTransfers(size_t count, std::chrono::milliseconds timeout) const;
    // Completes the oldest pending transfer with a packet of `length` bytes (the receiver's endpoint sends at
    // most 8; a packet longer than the transfer's buffer is a babble error). False if none is pending.
    bool deliver(const void* packet, size_t length);
    // Completes the oldest pending transfer with a failure. False if none is pending.
    bool failTransfer(NTSTATUS status, USBD_STATUS usbdStatus);
    uint64_t completedTransfers() const; // completions of any kind, cancels included
    uint64_t cancelledTransfers() const;

    // ---- Pipe errors and power ----
    // Completes the oldest pending transfer with a STALL handshake (stall) or with no handshake at all
    // (transactionError); either halts the pipe. False if none is pending.
    bool stall();
    bool transactionError();
    // While on, every transfer fails at once with a transaction error (a receiver that keeps failing).
    void setFailEveryTransfer(bool on);
    bool pipeHalted() const;
    uint64_t pipeResets() const;      // reset-pipe requests that succeeded
    uint64_t failedTransfers() const; // completions with an error other than a cancel
    bool waitForPipeResets(uint64_t count, std::chrono::milliseconds timeout) const;
    DEVICE_POWER_STATE powerState() const;
    // The next device set-power to D0 fails with `status` and leaves the device in the state it was in.
    void failNextPowerUp(NTSTATUS status);
    uint64_t transfersWhilePoweredDown() const; // transfers submitted in D1-D3

    // ---- Observation ----
    std::vector<Request> requests() const;
    void clearRequests();
    void setRecording(bool record); // on by default
    bool configured() const;
    uint64_t selectConfigurationCount() const; // with a descriptor
    uint64_t unconfigureCount() const;         // without one
    std::vector<UCHAR> selectedInterfaces() const;
    USBD_PIPE_HANDLE interruptPipeHandle() const; // the handle given out for endpoint 0x81 (never NULL)

  private:
    struct FailRule {
        USHORT function;
        UCHAR descriptorType;
        unsigned remaining;
        NTSTATUS status;
    };

    static NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
    static UsbReceiver* self(PDEVICE_OBJECT device);

    NTSTATUS submitUrb(PIRP irp, PURB urb);
    NTSTATUS controlUrb(PURB urb);
    NTSTATUS getDescriptor(PURB urb);
    NTSTATUS selectConfiguration(PURB urb);
    NTSTATUS resetPipe(PURB urb);
    static NTSTATUS answerCapabilities(PIRP irp);
    NTSTATUS queueTransfer(PIRP irp, PURB urb);
    void completeTransfer(PIRP irp, NTSTATUS status, USBD_STATUS usbdStatus, const void* packet,
                          size_t length);
    PIRP takeOldestTransfer();
    void record(const Request& request);
    bool matchFailure(USHORT function, UCHAR descriptorType, NTSTATUS* status);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configurationDescriptor_;
    std::vector<uint8_t> configurationHeader_;
    std::vector<FailRule> failRules_;
    bool asynchronousControl_ = false;
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> pnpHandler_;
    std::deque<PIRP> pending_;
    std::vector<Request> requests_;
    bool recording_ = true;
    bool configured_ = false;
    uint64_t selectCount_ = 0;
    uint64_t unconfigureCount_ = 0;
    uint64_t completed_ = 0;
    uint64_t cancelled_ = 0;
    std::vector<UCHAR> selectedInterfaces_;
    bool halted_ = false;
    bool failEveryTransfer_ = false;
    uint64_t pipeResets_ = 0;
    uint64_t failed_ = 0;
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
    NTSTATUS failPowerUp_ = STATUS_SUCCESS;
    uint64_t transfersWhilePoweredDown_ = 0;
    std::vector<USBD_PIPE_HANDLE> openPipes_;
};

} // namespace hostk
