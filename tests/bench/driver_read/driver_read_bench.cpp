// The driver's read path under the host kernel: what one IOCTL_HID_READ_REPORT costs and how many pool
// allocations it makes. Three ways in:
//   ClassDriverRequest  the HID class stand-in's readReport: a fresh request per read, as the class driver
//                       sends it (the request itself is the class driver's allocation, not the driver's);
//   ReusedRequest       one request reused for every read, through the driver's dispatch: the driver alone;
//   ReusedRequestNewPacket  as above, with a new packet from the receiver before each read, so that every
//                       read also completes one interrupt transfer and starts the next.
// Allocations are counted by the host kernel's pool counters: all tags, and the driver's own tag.
//
// Printed figures, not assertions: the program fails only when the driver cannot be started or a read fails.
#include "qelm.h"

#include "hostkernel/hidclass.h"
#include "hostkernel/hostkernel.h"
#include "hostkernel/usbreceiver.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

std::uint64_t driverTagAllocations() {
    for (const auto& s : hostk::poolStats()) {
        if (s.tag == QELM_POOL_TAG) {
            return s.allocations;
        }
    }
    return 0;
}

// qelmrc loaded, one receiver plugged in and started, the class driver's own polling off.
struct Stack {
    PDRIVER_OBJECT driver = nullptr;
    UNICODE_STRING registryPath{};
    std::unique_ptr<hostk::UsbReceiver> receiver;
    std::unique_ptr<hostk::HidClassDevice> device;
    PIRP request = nullptr; // the reused read request

    bool load() {
        hostk::HidClassDriver::instance().reset();
        driver = hostk::createDriverObject(u"\\Driver\\qelmrc");
        RtlInitUnicodeString(&registryPath,
                             u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qelmrc");
        if (DriverEntry(driver, &registryPath) != STATUS_SUCCESS) {
            return false;
        }
        receiver = std::make_unique<hostk::UsbReceiver>();
        receiver->setRecording(false);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        device = hostk::HidClassDriver::instance().addDevice(receiver->pdo(), &status);
        if (!device) {
            return false;
        }
        device->setAutoPoll(false);
        if (device->start() != STATUS_SUCCESS) {
            return false;
        }
        request = IoAllocateIrp(device->deviceObject()->StackSize, FALSE);
        return request != nullptr;
    }

    ~Stack() {
        if (request != nullptr) {
            IoFreeIrp(request);
        }
        if (device) {
            device->surpriseRemove();
            device->remove();
            device.reset();
        }
        receiver.reset();
        if (driver != nullptr) {
            if (driver->DriverUnload != nullptr) {
                driver->DriverUnload(driver);
            }
            hostk::deleteDriverObject(driver);
        }
        hostk::HidClassDriver::instance().reset();
    }

    static NTSTATUS NTAPI keep(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

    // One read with the reused request, sent down the device stack as the class driver sends it.
    bool readReused(UCHAR* buffer) {
        IoReuseIrp(request, STATUS_SUCCESS);
        request->UserBuffer = buffer;
        request->IoStatus.Information = 0;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->MinorFunction = 0;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
        stack->Parameters.DeviceIoControl.OutputBufferLength = QELM_REPORT_LENGTH;
        stack->Parameters.DeviceIoControl.InputBufferLength = 0;
        IoSetCompletionRoutine(request, keep, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(device->deviceObject(), request);
        return request->IoStatus.Status == STATUS_SUCCESS &&
               request->IoStatus.Information == QELM_REPORT_LENGTH;
    }
};

Stack* g_stack = nullptr;

void countAllocations(benchmark::State& state, std::uint64_t allBefore, std::uint64_t driverBefore) {
    const double all = static_cast<double>(hostk::totalAllocations() - allBefore);
    const double own = static_cast<double>(driverTagAllocations() - driverBefore);
    state.counters["allocs/read"] = benchmark::Counter(all, benchmark::Counter::kAvgIterations);
    state.counters["driver_allocs/read"] = benchmark::Counter(own, benchmark::Counter::kAvgIterations);
}

void ClassDriverRequest(benchmark::State& state) {
    std::array<UCHAR, QELM_REPORT_LENGTH> buffer{};
    const std::uint64_t all = hostk::totalAllocations();
    const std::uint64_t own = driverTagAllocations();
    for (auto _ : state) {
        const hostk::HidRequestResult r = g_stack->device->readReport(buffer.data(), QELM_REPORT_LENGTH);
        if (r.status != STATUS_SUCCESS || r.information != QELM_REPORT_LENGTH) {
            state.SkipWithError("a read failed");
            break;
        }
        benchmark::DoNotOptimize(buffer);
    }
    countAllocations(state, all, own);
}

void ReusedRequest(benchmark::State& state) {
    std::array<UCHAR, QELM_REPORT_LENGTH> buffer{};
    const std::uint64_t all = hostk::totalAllocations();
    const std::uint64_t own = driverTagAllocations();
    for (auto _ : state) {
        if (!g_stack->readReused(buffer.data())) {
            state.SkipWithError("a read failed");
            break;
        }
        benchmark::DoNotOptimize(buffer);
    }
    countAllocations(state, all, own);
}

void ReusedRequestNewPacket(benchmark::State& state) {
    std::array<UCHAR, QELM_REPORT_LENGTH> buffer{};
    std::array<std::uint8_t, 6> packet{0x00, 0x00, 0xA6, 0x00, 0x41, 0x00};
    // The first read starts the interrupt transfer the packets complete.
    if (!g_stack->readReused(buffer.data())) {
        state.SkipWithError("the first read failed");
        return;
    }
    const std::uint64_t all = hostk::totalAllocations();
    const std::uint64_t own = driverTagAllocations();
    std::uint64_t wrong = 0;
    for (auto _ : state) {
        packet[2] ^= 0x01; // a different button each time, so a stale copy shows
        if (!g_stack->receiver->deliver(packet.data(), packet.size())) {
            state.SkipWithError("no interrupt transfer was pending");
            break;
        }
        if (!g_stack->readReused(buffer.data())) {
            state.SkipWithError("a read failed");
            break;
        }
        wrong += buffer[2] != packet[2];
    }
    if (wrong != 0) {
        state.SkipWithError("a read returned an older packet");
    }
    countAllocations(state, all, own);
}

// Console output as usual, and the figures kept for the summary lines.
class Reporter : public benchmark::ConsoleReporter {
  public:
    Reporter() : ConsoleReporter(OO_Tabular) {} // no colour codes in a log

    struct Figures {
        double ns = 0, cpuNs = 0, allocs = 0, driverAllocs = 0;
        bool error = false;
    };
    std::map<std::string, Figures> figures;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            Figures f;
            f.error = run.error_occurred;
            f.ns = run.GetAdjustedRealTime(); // time unit: ns
            f.cpuNs = run.GetAdjustedCPUTime();
            if (auto it = run.counters.find("allocs/read"); it != run.counters.end()) {
                f.allocs = it->second.value;
            }
            if (auto it = run.counters.find("driver_allocs/read"); it != run.counters.end()) {
                f.driverAllocs = it->second.value;
            }
            figures[run.run_name.function_name] = f;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Stack stack;
    if (!stack.load()) {
        std::fprintf(stderr, "the driver could not be loaded and started under the host kernel\n");
        return 1;
    }
    g_stack = &stack;
    for (auto* b : {benchmark::RegisterBenchmark("ClassDriverRequest", ClassDriverRequest),
                    benchmark::RegisterBenchmark("ReusedRequest", ReusedRequest),
                    benchmark::RegisterBenchmark("ReusedRequestNewPacket", ReusedRequestNewPacket)}) {
        b->Unit(benchmark::kNanosecond)->MinTime(0.3);
    }
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const char* what[][2] = {
        {"ClassDriverRequest", "via the HID class stand-in, a new request per read"},
        {"ReusedRequest", "via dispatch, one reused request"},
        {"ReusedRequestNewPacket", "via dispatch, one reused request, a new packet before each read"},
    };
    bool failed = false;
    for (const auto& [name, text] : what) {
        auto it = reporter.figures.find(name);
        if (it == reporter.figures.end() || it->second.error) {
            std::printf("driver read %s: did not run\n", text);
            failed = true;
            continue;
        }
        const auto& f = it->second;
        std::printf(
            "driver read path (%s): %.0f ns per read (CPU %.0f ns), allocations per read: %.3g by the "
            "driver, %.3g in all\n",
            text, f.ns, f.cpuNs, f.driverAllocs, f.allocs);
    }
#if defined(__SANITIZE_ADDRESS__)
    std::printf("(built with AddressSanitizer: times are inflated)\n");
#endif
    return failed ? 1 : 0;
}
