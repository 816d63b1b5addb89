// The platform's profile readers, for the Windows build of the probe.
#include "ProbeReader.h"

#include <windows.h>

unsigned probeRead(const char* section, const char* key, const char* defaultValue, char* buffer,
                   unsigned size, const char* path) {
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, path);
}

unsigned probeReadSection(const char* section, char* buffer, unsigned size, const char* path) {
    return GetPrivateProfileSectionA(section, buffer, size, path);
}

unsigned probeReadSectionNames(char* buffer, unsigned size, const char* path) {
    return GetPrivateProfileSectionNamesA(buffer, size, path);
}
