// The kernel32 port: the profile reader (values, a section's lines, section names), program start, the
// power state and named mutexes.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class Kernel32 {
  public:
    virtual ~Kernel32() = default;

    // GetPrivateProfileStringA: copies at most size - 1 characters of the value into buffer, ends it with a
    // zero, and returns the number of characters copied.
    virtual std::uint32_t getPrivateProfileString(const std::string& section, const std::string& key,
                                                  const std::string& defaultValue, char* buffer,
                                                  std::uint32_t size, const std::string& path) = 0;
    // GetPrivateProfileSectionA: the lines of a section as "key=value" texts (a line without '=' as its key
    // alone), each ended by a zero and the last followed by one more; returns the number of characters
    // copied, not counting the final zero, and size - 2 when the buffer was too small. A missing file or
    // section gives no lines.
    virtual std::uint32_t getPrivateProfileSection(const std::string& section, char* buffer,
                                                   std::uint32_t size, const std::string& path) = 0;
    // GetPrivateProfileSectionNamesA: the names of the file's sections, in the same form.
    virtual std::uint32_t getPrivateProfileSectionNames(char* buffer, std::uint32_t size,
                                                        const std::string& path) = 0;
    // The folder of the running executable, without a trailing separator.
    virtual std::string executableFolder() = 0;
    // Starts a command line (program path and its arguments) as a new process with the given show state.
    virtual bool startProgram(const std::string& commandLine, int showCommand) = 0;
    // SetSystemPowerState(suspend, force) for the current process.
    virtual bool setSystemPowerState(bool suspend, bool force) = 0;
    // CreateMutexA without ownership: a handle to the named mutex (0 on failure). alreadyExists tells that
    // the name was taken before this call (ERROR_ALREADY_EXISTS, or ERROR_ACCESS_DENIED for a mutex this
    // process may not open).
    virtual std::intptr_t createMutex(const std::string& name, bool& alreadyExists) = 0;
    // CloseHandle.
    virtual void closeHandle(std::intptr_t handle) = 0;
};

} // namespace platform
