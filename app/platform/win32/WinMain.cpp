// Tavrelmond.exe: hands the program the real Windows adapters and runs its start-up routine.
#include "modMain.h"
#include "platform/win32/Win32HttpClient.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32SettingsPorts.h"
#include "platform/win32/Win32Sockets.h"
#include "platform/win32/Win32WinInet.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    platform::Win32User32 user32;
    platform::Win32Kernel32 kernel32;
    platform::Win32Advapi32 advapi32;
    platform::Win32Shell32 shell32;
    platform::Win32Winmm winmm;
    platform::Win32WinInet wininet;
    platform::Win32HidLibrary hid;
    platform::Win32Sockets sockets;
    platform::Win32Input input;
    platform::Win32HttpClient http;
    platform::Win32Files files;
    platform::Win32Security security;
    platform::Win32SettingsWindow settingsWindow;
    platform::Platform platform{user32,   kernel32, advapi32, shell32, winmm,     wininet,        hid,
                                &sockets, &input,   &http,    &files,  &security, &settingsWindow};
    modMain::Main(platform, commandLine != nullptr ? commandLine : "");
    return 0;
}
