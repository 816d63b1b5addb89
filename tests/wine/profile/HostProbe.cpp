// Our own profile reader, for the host build of the probe.
#include "ProbeReader.h"

#include "platform/posix/ProfileReader.h"

unsigned probeRead(const char* section, const char* key, const char* defaultValue, char* buffer,
                   unsigned size, const char* path) {
    return platform::posix::getPrivateProfileString(section, key, defaultValue, buffer, size, path);
}
