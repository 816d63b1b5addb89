// The platform's profile reader, for the Windows build of the probe.
#include "ProbeReader.h"

#include <windows.h>

unsigned probeRead(const char* section, const char* key, const char* defaultValue, char* buffer,
                   unsigned size, const char* path) {
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, path);
}
