// vusbctl.exe: installs the virtual USB bus into a (Wine) Windows system and drives it. Tests and demo only.
//
//   vusbctl install BUSDIR QELMRCDIR
//       Puts qelmrc.inf (from QELMRCDIR, with qelmrc.sys and qelmrc.cat beside it) among the system's INF
//       files, so that the receiver's device finds its driver; creates the root device root\qelmvusb and
//       installs qelmvusb.inf (from BUSDIR, with qelmvusb.sys) for it; waits until the bus's control device
//       opens. Prints "installed" and exits 0, or "error <step> <code>" and exits 1. Running it again is
//       harmless.
//   vusbctl install-bus BUSDIR
//       The same for the bus alone: no qelmrc.inf is put among the system's INF files (the WinUSB route's
//       tests install their own package). Prints "installed" or "error <step> <code>".
//   vusbctl add-inf INF
//       Puts a driver package's INF (with the files it names beside it) among the system's INF files, so that
//       a device plugged later finds it. Prints "added <name the system gave it>" or "error <step> <code>".
//   vusbctl start
//       Starts the installed bus driver (a new Wine session does not start a demand-start driver) and waits
//       until its control device opens. Prints "started" or "error <step> <code>".
//   vusbctl state
//       Prints the bus's state line (below) once.
//   vusbctl feed
//       Reads commands from standard input, one a line, and answers each with one line, "ok ..." or
//       "error <code>":
//         plug [interface0]      attach the receiver (waits up to 20 s while its last removal finishes);
//                                with interface0, its interface 0 alone, as Windows' composite-device
//                                driver presents it (USB\VID_045E&PID_0284&MI_00), for the WinUSB route
//         unplug                 detach it
//         packet XX XX ...       the receiver sends these bytes (hex, 1 to 8) on its interrupt pipe
//         stall                  the interrupt pipe stalls the pending (or next) transfer and halts
//         xact-error             the same with a transaction error (no handshake)
//         state                  "ok state bus=.. plugged=.. started=.. configured=.. pending=.. queued=..
//                                 done=.. dropped=.. descriptors=.. selects=.. removals=.. halted=..
//                                 errors=.. resets=.. haltedfails=.. interface0=.."
//         wait NAME=VALUE [MS]   waits until the state's field NAME has VALUE (default 20000 ms)
//         poll MS                sets the HID class driver's polling interval of the receiver's HID device
//                                (IOCTL_HID_SET_POLL_FREQUENCY_MSEC) and answers "ok poll <interval read
//                                back>"
//         quit                   ends the program
#include <windows.h>

#include <winioctl.h>

#include <cfgmgr32.h>
#include <hidclass.h>
extern "C" {
#include <hidsdi.h>
}
#include <newdev.h>
#include <setupapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vusb_control.h"

namespace {

const wchar_t BusHardwareId[] = L"root\\qelmvusb\0";
// The root device is created without a class; installing the INF gives it the System class.
const GUID NoClass = {};

std::wstring fullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(buffer) : path;
}

int fail(const char* step, DWORD code) {
    std::printf("error %s %lu\n", step, static_cast<unsigned long>(code));
    std::fflush(stdout);
    return 1;
}

HANDLE openBus() {
    return CreateFileA(QVUSB_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// Waits up to 30 s for the bus's control device to open.
bool waitForBus() {
    for (int i = 0; i < 300; ++i) {
        HANDLE bus = openBus();
        if (bus != INVALID_HANDLE_VALUE) {
            CloseHandle(bus);
            return true;
        }
        Sleep(100);
    }
    return false;
}

int start() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return fail("open-service-manager", GetLastError());
    SC_HANDLE service = OpenServiceW(manager, L"qelmvusb", SERVICE_START);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return fail("open-service", error);
    }
    BOOL started = StartServiceW(service, 0, nullptr);
    DWORD error = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!started && error != ERROR_SERVICE_ALREADY_RUNNING)
        return fail("start-service", error);
    if (!waitForBus())
        return fail("open-bus", GetLastError());
    std::printf("started\n");
    std::fflush(stdout);
    return 0;
}

// Creates the root device (unless it exists) and installs the bus driver's INF for it.
int installBus(const std::wstring& inf) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return fail("device-list", GetLastError());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (SetupDiCreateDeviceInfoW(set, L"root\\qelmvusb\\0", &NoClass, nullptr, nullptr, 0, &device)) {
        if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(BusHardwareId),
                                               sizeof(BusHardwareId))) {
            DWORD error = GetLastError();
            SetupDiDestroyDeviceInfoList(set);
            return fail("hardware-id", error);
        }
        if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
            DWORD error = GetLastError();
            SetupDiDestroyDeviceInfoList(set);
            return fail("register-device", error);
        }
    } else if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
        DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        return fail("create-device", error);
    }
    SetupDiDestroyDeviceInfoList(set);

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, BusHardwareId, inf.c_str(), INSTALLFLAG_FORCE, &reboot))
        return fail("install-bus", GetLastError());
    return 0;
}

// Puts the INF among the system's INF files, its source media the INF's own folder; the name the system
// gave it goes to Destination. False on failure (GetLastError).
bool copyInf(const std::wstring& inf, wchar_t (&destination)[MAX_PATH]) {
    std::wstring path = fullPath(inf);
    std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    return SetupCopyOEMInfW(path.c_str(), folder.c_str(), SPOST_PATH, 0, destination, MAX_PATH, nullptr,
                            nullptr) != FALSE;
}

// Installs the bus and waits until its control device opens.
int installBusAndWait(const std::wstring& busDir) {
    int result = installBus(fullPath(busDir + L"\\qelmvusb.inf"));
    if (result != 0)
        return result;
    if (!waitForBus())
        return fail("open-bus", GetLastError());
    std::printf("installed\n");
    std::fflush(stdout);
    return 0;
}

int install(const std::wstring& busDir, const std::wstring& qelmrcDir) {
    wchar_t destination[MAX_PATH];
    if (!copyInf(qelmrcDir + L"\\qelmrc.inf", destination))
        return fail("copy-qelmrc-inf", GetLastError());
    std::printf("qelmrc-inf %ls\n", destination);
    return installBusAndWait(busDir);
}

int addInf(const std::wstring& inf) {
    wchar_t destination[MAX_PATH];
    if (!copyInf(inf, destination))
        return fail("copy-inf", GetLastError());
    std::printf("added %ls\n", destination);
    std::fflush(stdout);
    return 0;
}

// Sets the polling interval of every HID device of the receiver (045E:0284), unless Milliseconds is 0;
// returns the interval read back from the last one, or -1 if none was found or a request failed.
long setPollInterval(ULONG milliseconds) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return -1;
    long result = -1;
    SP_DEVICE_INTERFACE_DATA item = {};
    item.cbSize = sizeof(item);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, i, &item); ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            wchar_t room[512];
        } path = {};
        path.detail.cbSize = sizeof(path.detail);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &item, &path.detail, sizeof(path), nullptr, nullptr))
            continue;
        HANDLE device = CreateFileW(path.detail.DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            continue;
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof(attributes);
        if (HidD_GetAttributes(device, &attributes) && attributes.VendorID == 0x045E &&
            attributes.ProductID == 0x0284) {
            DWORD returned = 0;
            ULONG readBack = 0;
            if (DeviceIoControl(device, IOCTL_HID_SET_POLL_FREQUENCY_MSEC, &milliseconds,
                                sizeof(milliseconds), nullptr, 0, &returned, nullptr) &&
                DeviceIoControl(device, IOCTL_HID_GET_POLL_FREQUENCY_MSEC, nullptr, 0, &readBack,
                                sizeof(readBack), &returned, nullptr))
                result = static_cast<long>(readBack);
        }
        CloseHandle(device);
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

bool control(HANDLE bus, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength) {
    DWORD returned = 0;
    return DeviceIoControl(bus, code, const_cast<void*>(in), inLength, out, outLength, &returned, nullptr) !=
           0;
}

bool readState(HANDLE bus, QVUSB_STATE& state) {
    return control(bus, IOCTL_QVUSB_STATE, nullptr, 0, &state, sizeof(state));
}

std::string describe(const QVUSB_STATE& s) {
    char line[400];
    std::snprintf(line, sizeof(line),
                  "bus=%u plugged=%u started=%u configured=%u pending=%u queued=%u done=%u dropped=%u "
                  "descriptors=%u selects=%u removals=%u halted=%u errors=%u resets=%u haltedfails=%u "
                  "interface0=%u",
                  s.BusStarted, s.Plugged, s.ChildStarted, s.Configured, s.TransfersPending, s.PacketsQueued,
                  s.TransfersDone, s.PacketsDropped, s.DescriptorReads, s.SelectConfigurations, s.Removals,
                  s.Halted, s.PipeErrors, s.PipeResets, s.HaltedFailures, s.Interface0);
    return line;
}

// The value of field Name in a state line, or -1 if there is no such field.
long field(const std::string& line, const std::string& name) {
    std::string key = " " + name + "=";
    std::string padded = " " + line;
    size_t at = padded.find(key);
    if (at == std::string::npos)
        return -1;
    return std::strtol(padded.c_str() + at + key.size(), nullptr, 10);
}

void reply(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void replyError() {
    reply("error %lu", static_cast<unsigned long>(GetLastError()));
}

int feed() {
    HANDLE bus = openBus();
    if (bus == INVALID_HANDLE_VALUE)
        return fail("open-bus", GetLastError());
    reply("ready");
    char line[512];
    while (std::fgets(line, sizeof(line), stdin) != nullptr) {
        char command[32] = {};
        int used = 0;
        if (std::sscanf(line, "%31s%n", command, &used) != 1)
            continue;
        const char* rest = line + used;
        if (std::strcmp(command, "quit") == 0) {
            reply("ok");
            break;
        } else if (std::strcmp(command, "plug") == 0) {
            char how[32] = {};
            std::sscanf(rest, "%31s", how);
            ULONG presentation =
                std::strcmp(how, "interface0") == 0 ? QVUSB_PLUG_INTERFACE0 : QVUSB_PLUG_DEVICE;
            if (how[0] != '\0' && presentation == QVUSB_PLUG_DEVICE) {
                reply("error bad-plug");
                continue;
            }
            bool done = false;
            for (int i = 0; i < 400 && !done; ++i) {
                done = control(bus, IOCTL_QVUSB_PLUG, &presentation, sizeof(presentation), nullptr, 0);
                if (!done && GetLastError() != ERROR_BUSY)
                    break;
                if (!done)
                    Sleep(50);
            }
            done ? reply("ok") : replyError();
        } else if (std::strcmp(command, "unplug") == 0) {
            control(bus, IOCTL_QVUSB_UNPLUG, nullptr, 0, nullptr, 0) ? reply("ok") : replyError();
        } else if (std::strcmp(command, "packet") == 0) {
            unsigned char bytes[QVUSB_MAX_PACKET + 1];
            DWORD count = 0;
            const char* p = rest;
            char* next = nullptr;
            for (;;) {
                unsigned long value = std::strtoul(p, &next, 16);
                if (next == p)
                    break;
                if (count == sizeof(bytes) || value > 0xFF) {
                    count = sizeof(bytes);
                    break;
                }
                bytes[count++] = static_cast<unsigned char>(value);
                p = next;
            }
            if (count == 0 || count > QVUSB_MAX_PACKET) {
                reply("error bad-packet");
                continue;
            }
            control(bus, IOCTL_QVUSB_PACKET, bytes, count, nullptr, 0) ? reply("ok") : replyError();
        } else if (std::strcmp(command, "stall") == 0 || std::strcmp(command, "xact-error") == 0) {
            ULONG kind = command[0] == 's' ? QVUSB_FAIL_STALL : QVUSB_FAIL_XACT;
            control(bus, IOCTL_QVUSB_FAIL, &kind, sizeof(kind), nullptr, 0) ? reply("ok") : replyError();
        } else if (std::strcmp(command, "state") == 0) {
            QVUSB_STATE state;
            readState(bus, state) ? reply("ok state %s", describe(state).c_str()) : replyError();
        } else if (std::strcmp(command, "wait") == 0) {
            char name[32] = {};
            long value = 0;
            long timeout = 20000;
            if (std::sscanf(rest, " %31[a-z]=%ld %ld", name, &value, &timeout) < 2) {
                reply("error bad-wait");
                continue;
            }
            std::string last;
            bool matched = false;
            DWORD start = GetTickCount();
            for (;;) {
                QVUSB_STATE state;
                if (!readState(bus, state))
                    break;
                last = describe(state);
                if (field(last, name) == value) {
                    matched = true;
                    break;
                }
                if (static_cast<long>(GetTickCount() - start) > timeout)
                    break;
                Sleep(5);
            }
            matched ? reply("ok state %s", last.c_str()) : reply("error timeout state %s", last.c_str());
        } else if (std::strcmp(command, "poll") == 0) {
            long interval = std::strtol(rest, nullptr, 10);
            long readBack = interval >= 0 ? setPollInterval(static_cast<ULONG>(interval)) : -1;
            readBack >= 0 ? reply("ok poll %ld", readBack) : reply("error poll");
        } else {
            reply("error unknown-command");
        }
    }
    CloseHandle(bus);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wcscmp(argv[1], L"install") == 0)
        return install(argv[2], argv[3]);
    if (argc == 3 && std::wcscmp(argv[1], L"install-bus") == 0)
        return installBusAndWait(argv[2]);
    if (argc == 3 && std::wcscmp(argv[1], L"add-inf") == 0)
        return addInf(argv[2]);
    if (argc == 2 && std::wcscmp(argv[1], L"start") == 0)
        return start();
    if (argc == 2 && std::wcscmp(argv[1], L"feed") == 0)
        return feed();
    if (argc == 2 && std::wcscmp(argv[1], L"state") == 0) {
        HANDLE bus = openBus();
        if (bus == INVALID_HANDLE_VALUE)
            return fail("open-bus", GetLastError());
        QVUSB_STATE state;
        bool ok = readState(bus, state);
        CloseHandle(bus);
        if (!ok)
            return fail("state", GetLastError());
        std::printf("state %s\n", describe(state).c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: vusbctl install BUSDIR QELMRCDIR | install-bus BUSDIR | add-inf INF | start "
                         "| state | feed\n");
    return 2;
}
