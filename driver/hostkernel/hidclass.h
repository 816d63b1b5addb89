// Host kernel: a stand-in for the HID class driver (HIDCLASS.SYS) behind HidRegisterMinidriver.
//
// Like the platform's class driver it keeps the minidriver's registration and dispatch table, takes over
// the driver object's dispatch entries (forwarding each request to the minidriver's routine), creates the
// functional device object for a physical device with its HID class extension (the minidriver's record
// zero-filled, of the registered size; next device = the device below in the stack), calls the
// minidriver's AddDevice, sends the Plug and Play, power and HID requests a test asks for, reads the
// descriptors after a start, and polls read requests from its own thread at an interval, handing each
// report to a consumer callback. Polling runs on a fixed-rate timer.
#pragma once

#include <wdm.h>

#include "hidport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace hostk {

// Outcome of one request sent down the device stack.
struct HidRequestResult {
    NTSTATUS dispatchStatus; // what the top dispatch routine returned
    NTSTATUS status;         // the request's final status
    ULONG_PTR information;   // the request's final information
    bool pendingReturned;    // came back marked pending; must agree with dispatchStatus == STATUS_PENDING
};

// Receives every report the poll thread reads: its bytes and length (the request's information).
using HidReportConsumer = std::function<void(const UCHAR* report, ULONG length)>;

class HidClassDevice;

// The class driver: one per process, as on the platform. Tests reset it between cases.
class HidClassDriver {
  public:
    static HidClassDriver& instance();

    // Forgets the registration (the driver object it took over is the test's).
    void reset();

    // The next HidRegisterMinidriver call fails with this status and keeps nothing.
    void failNextRegistration(NTSTATUS status);

    bool registered() const { return registered_; }
    ULONG registrationCount() const { return registrationCount_; }
    const HID_MINIDRIVER_REGISTRATION& registration() const { return registration_; }

    // The minidriver's routines as they were in the driver object when it registered.
    PDRIVER_DISPATCH minidriverDispatch(UCHAR majorFunction) const;
    PDRIVER_ADD_DEVICE minidriverAddDevice() const { return addDevice_; }

    // Creates the functional device object over `physicalDevice` (attached on top of it) and calls the
    // minidriver's AddDevice. On failure the device object is deleted again and nullptr returned; the
    // AddDevice status is stored in *addStatus either way.
    std::unique_ptr<HidClassDevice> addDevice(PDEVICE_OBJECT physicalDevice, NTSTATUS* addStatus);

    // Called by HidRegisterMinidriver.
    NTSTATUS registerMinidriver(const HID_MINIDRIVER_REGISTRATION& registration);

  private:
    static NTSTATUS NTAPI classDispatch(PDEVICE_OBJECT deviceObject, PIRP irp);

    bool registered_ = false;
    ULONG registrationCount_ = 0;
    NTSTATUS failNext_ = STATUS_SUCCESS;
    HID_MINIDRIVER_REGISTRATION registration_{};
    PDRIVER_DISPATCH dispatch_[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    PDRIVER_ADD_DEVICE addDevice_ = nullptr;
};

// One functional device object created by the class driver, with the requests the class driver sends.
class HidClassDevice {
  public:
    HidClassDevice(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT nextDevice);
    // Stops polling; sends the removal if the test did not, then deletes the device object.
    ~HidClassDevice();
    HidClassDevice(const HidClassDevice&) = delete;
    HidClassDevice& operator=(const HidClassDevice&) = delete;

    PDEVICE_OBJECT deviceObject() const { return device_; }
    PDEVICE_OBJECT nextDevice() const { return next_; }
    PHID_DEVICE_EXTENSION classExtension() const;
    PVOID miniExtension() const;
    bool removed() const { return device_ == nullptr; }

    // --- Plug and Play -------------------------------------------------------------------------------
    // Start: the start request; on success the class driver reads the HID descriptor, the report
    // descriptor and the attributes (their answers are kept below), then starts polling if polling is
    // enabled. A failed descriptor read fails the start as the class driver would see it.
    NTSTATUS start();
    // Stop, surprise removal: stop polling first, as the class driver stops reading before these, then
    // send the request. With setPollDuringTeardown(true) reads go on while the request is handled.
    NTSTATUS stop();
    NTSTATUS surpriseRemove();
    // Removal: stop polling, send the request, then detach and delete the device object. With
    // setPollDuringTeardown(true) polling stops only once the removal has returned.
    NTSTATUS remove();
    // Keep polling through stop, surprise removal and removal, so that reads race with them.
    void setPollDuringTeardown(bool on) { pollDuringTeardown_ = on; }

    // --- power (the class driver is the device's power policy owner) ---------------------------------
    // System set-power to `sleep` (S1-S4), then the device set-power to D3, as the class driver asks for when
    // the system sleeps; polling goes on unless the test stops it.
    NTSTATUS sleep(SYSTEM_POWER_STATE sleep);
    // System set-power to S0, then the device set-power to D0.
    NTSTATUS wake();
    // Any Plug and Play request; `argument` goes to Parameters.Others.Argument1 (for example the
    // DEVICE_CAPABILITIES of a capabilities query). Initial status STATUS_NOT_SUPPORTED, as the platform
    // requires of Plug and Play requests.
    HidRequestResult sendPnp(UCHAR minorFunction, PVOID argument = nullptr);

    // --- other requests ------------------------------------------------------------------------------
    HidRequestResult sendPower(UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state);
    HidRequestResult sendMajor(UCHAR majorFunction); // create, close, device control, system control...
    HidRequestResult internalIoctl(ULONG controlCode, PVOID buffer, ULONG outputLength,
                                   ULONG_PTR initialInformation = 0);
    HidRequestResult readReport(UCHAR* buffer, ULONG length);

    // --- what the class driver learnt at start ------------------------------------------------------
    const std::vector<UCHAR>& hidDescriptor() const { return hidDescriptor_; }
    const std::vector<UCHAR>& reportDescriptor() const { return reportDescriptor_; }
    const HID_DEVICE_ATTRIBUTES& attributes() const { return attributes_; }
    ULONG inputReportLength() const { return inputReportLength_; }

    // --- polling -------------------------------------------------------------------------------------
    void setPollInterval(std::chrono::microseconds interval) { pollInterval_ = interval; }
    void setConsumer(HidReportConsumer consumer);
    // Poll automatically from a successful start until stop, surprise removal or removal (default on).
    void setAutoPoll(bool on) { autoPoll_ = on; }
    void startPolling();
    void stopPolling();
    bool polling() const { return pollThread_.joinable(); }
    ULONG pollCount() const { return pollCount_.load(); }       // reads sent by the poll thread
    ULONG pollFailures() const { return pollFailures_.load(); } // of which did not succeed
    // When the poll thread's latest read started (read on the poll thread, e.g. by the consumer, it is the
    // start of the read whose report the consumer has).
    std::chrono::steady_clock::time_point lastPollStart() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(lastPollStart_.load()));
    }

  private:
    HidRequestResult send(UCHAR majorFunction, UCHAR minorFunction, NTSTATUS initialStatus,
                          const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare);
    NTSTATUS readDescriptors();
    void pollLoop();
    void destroyDeviceObject();

    friend class HidClassDriver;

    PDEVICE_OBJECT device_;
    PDEVICE_OBJECT next_;
    bool added_ = false; // AddDevice succeeded: the device gets a removal request before deletion
    std::vector<UCHAR> hidDescriptor_;
    std::vector<UCHAR> reportDescriptor_;
    HID_DEVICE_ATTRIBUTES attributes_{};
    ULONG inputReportLength_ = 0;

    std::chrono::microseconds pollInterval_{8000};
    bool autoPoll_ = true;
    bool pollDuringTeardown_ = false;
    std::mutex pollMutex_;
    std::condition_variable pollWake_;
    bool pollStop_ = false;
    HidReportConsumer consumer_;
    std::thread pollThread_;
    std::atomic<ULONG> pollCount_{0};
    std::atomic<ULONG> pollFailures_{0};
    std::atomic<std::chrono::steady_clock::rep> lastPollStart_{0};
};

// Length in bytes of the input report that a report descriptor declares (sum of report size times
// report count over the Input main items, without report IDs); 0 when it declares none or is malformed.
ULONG InputReportLengthFromDescriptor(const UCHAR* descriptor, ULONG length);

} // namespace hostk
