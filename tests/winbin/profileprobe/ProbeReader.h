// The reader a profile probe asks: the platform's GetPrivateProfileStringA in the Windows build, our own
// reader in the host build.
#pragma once

unsigned probeRead(const char* section, const char* key, const char* defaultValue, char* buffer,
                   unsigned size, const char* path);
