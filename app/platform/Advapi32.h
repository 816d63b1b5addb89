// The advapi32 port: enabling a privilege in the process's access token.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct Luid {
    std::uint32_t lowPart = 0;
    std::int32_t highPart = 0;
};

class Advapi32 {
  public:
    virtual ~Advapi32() = default;

    // OpenProcessToken(GetCurrentProcess(), access). Returns 0 on failure.
    virtual std::intptr_t openProcessToken(std::uint32_t desiredAccess) = 0;
    // LookupPrivilegeValueA(systemName, name). Empty systemName is the local system.
    virtual bool lookupPrivilegeValue(const std::string& systemName, const std::string& name, Luid& luid) = 0;
    // AdjustTokenPrivileges with one privilege entry; previousStateLength is the length given for the
    // previous-state buffer.
    virtual bool adjustTokenPrivileges(std::intptr_t token, bool disableAll, const Luid& luid,
                                       std::uint32_t attributes, std::uint32_t previousStateLength) = 0;
    virtual void closeHandle(std::intptr_t handle) = 0;
};

inline constexpr std::uint32_t TOKEN_QUERY = 0x0008;
inline constexpr std::uint32_t TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr std::uint32_t SE_PRIVILEGE_ENABLED = 0x0002;

} // namespace platform
