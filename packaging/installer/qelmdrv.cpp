// qelmdrv.exe: installs and removes the receiver's driver packages; the setup runs it elevated.
//
//   qelmdrv install-winusb FOLDER   the WinUSB package in FOLDER (qelmusb.inf): signs its catalog with a
//                                   certificate made here, trusts the certificate, installs the package
//   qelmdrv remove-winusb           removes the installed WinUSB package and its certificate
//   qelmdrv remove-qelmrc           removes the qelmrc kernel driver's packages from the driver store
//   qelmdrv status                  what is installed
//
// Exit codes: 0 done, 259 staged (Windows installs it when the receiver is plugged in), 3010 done and a
// restart completes it; failures 1, 2 and 4 to 9 (packaging/installer/DriverInstall.h). Every line it prints
// says what was done or why not.
#include "DriverInstall.h"
#include "WinDriverSystem.h"

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    using namespace installer;
    const std::wstring command = argc > 1 ? argv[1] : L"";
    WinDriverSystem system;
    Outcome out;
    if (command == L"install-winusb" && argc == 3) {
        out = installWinUsb(system, narrow(argv[2]));
    } else if (command == L"remove-winusb" && argc == 2) {
        out = removeWinUsb(system);
    } else if (command == L"remove-qelmrc" && argc == 2) {
        out = removeKernelDriver(system);
    } else if (command == L"status" && argc == 2) {
        out = status(system);
    } else {
        out.code = Usage;
        out.lines = {"usage: qelmdrv install-winusb FOLDER | remove-winusb | remove-qelmrc | status"};
    }
    for (const std::string& line : out.lines) {
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    return out.code;
}
