// inetprobe on the host: the libcurl adapter.
#include "InetProbe.h"
#include "platform/posix/CurlWinInet.h"

platform::WinInet& probeWinInet() {
    static platform::CurlWinInet wininet;
    return wininet;
}
