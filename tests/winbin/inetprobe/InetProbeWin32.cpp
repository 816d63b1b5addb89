// inetprobe on Windows: the real WinInet.
#include "InetProbe.h"
#include "platform/win32/Win32WinInet.h"

platform::WinInet& probeWinInet() {
    static platform::Win32WinInet wininet;
    return wininet;
}
