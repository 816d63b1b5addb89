// The reader a profile probe asks: the platform's GetPrivateProfileStringA, GetPrivateProfileSectionA and
// GetPrivateProfileSectionNamesA in the Windows build, our own reader in the host build.
#pragma once

unsigned probeRead(const char* section, const char* key, const char* defaultValue, char* buffer,
                   unsigned size, const char* path);
unsigned probeReadSection(const char* section, char* buffer, unsigned size, const char* path);
unsigned probeReadSectionNames(char* buffer, unsigned size, const char* path);
