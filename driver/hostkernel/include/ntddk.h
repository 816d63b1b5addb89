// Host kernel: the platform's ntddk.h is a superset of wdm.h; the driver needs nothing beyond wdm.h.
#pragma once
#include <wdm.h>
