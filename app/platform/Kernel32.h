// The kernel32 port: the profile reader, program start, the power state and named mutexes.
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
