// Our own profile readers, for the host build of the probe.
#include "ProbeReader.h"

#include "platform/posix/ProfileReader.h"

unsigned probeRead(const char* section, const char* key, const char* defaultValue, char* buffer,
                   unsigned size, const char* path) {
    return platform::posix::getPrivateProfileString(section, key, defaultValue, buffer, size, path);
}

unsigned probeReadSection(const char* section, char* buffer, unsigned size, const char* path) {
    return platform::posix::getPrivateProfileSection(section, buffer, size, path);
}

unsigned probeReadSectionNames(char* buffer, unsigned size, const char* path) {
    return platform::posix::getPrivateProfileSectionNames(buffer, size, path);
}
