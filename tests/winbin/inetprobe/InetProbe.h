// The wininet adapter the probe runs on: WinInet itself on Windows, libcurl on the host.
#pragma once

#include "platform/WinInet.h"

platform::WinInet& probeWinInet();
