// The winmm port: MCI command strings.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class Winmm {
  public:
    virtual ~Winmm() = default;

    // mciSendStringA with no return buffer and no callback window. Returns the MCI error code (0 = success).
    virtual std::uint32_t mciSendString(const std::string& command) = 0;
};

} // namespace platform
