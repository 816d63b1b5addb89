// The wininet port on Windows: each call is the WinInet function of the same name.
#pragma once

#include "platform/WinInet.h"

namespace platform {

class Win32WinInet : public WinInet {
  public:
    Handle internetOpen(const char* agent, std::uint32_t accessType, const char* proxy,
                        const char* proxyBypass, std::uint32_t flags) override;
    bool internetSetOption(Handle internet, std::uint32_t option, std::uint32_t value) override;
    Handle internetConnect(Handle internet, const char* serverName, std::uint16_t serverPort,
                           const char* userName, const char* password, std::uint32_t service,
                           std::uint32_t flags, std::uintptr_t context) override;
    Handle httpOpenRequest(Handle connect, const char* verb, const char* objectName, const char* version,
                           const char* referrer, const char* const* acceptTypes, std::uint32_t flags,
                           std::uintptr_t context) override;
    bool httpAddRequestHeaders(Handle request, const char* headers, std::uint32_t headersLength,
                               std::uint32_t modifiers) override;
    bool httpSendRequest(Handle request, const char* headers, std::uint32_t headersLength,
                         const void* optional, std::uint32_t optionalLength) override;
    bool internetReadFile(Handle file, void* buffer, std::uint32_t bytesToRead,
                          std::uint32_t& bytesRead) override;
    bool internetCloseHandle(Handle internet) override;
};

} // namespace platform
