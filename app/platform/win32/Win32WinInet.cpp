// Win32WinInet: the WinInet calls themselves.
#include "platform/win32/Win32WinInet.h"

#include <windows.h>
#include <wininet.h>

namespace platform {

static_assert(WinInet::OpenTypePreconfig == INTERNET_OPEN_TYPE_PRECONFIG);
static_assert(WinInet::OpenTypeDirect == INTERNET_OPEN_TYPE_DIRECT);
static_assert(WinInet::OpenTypeProxy == INTERNET_OPEN_TYPE_PROXY);
static_assert(WinInet::ServiceHttp == INTERNET_SERVICE_HTTP);
static_assert(WinInet::DefaultPort == INTERNET_INVALID_PORT_NUMBER);
static_assert(WinInet::FlagReload == INTERNET_FLAG_RELOAD);
static_assert(WinInet::AddReqFlagAdd == HTTP_ADDREQ_FLAG_ADD);
static_assert(WinInet::AddReqFlagReplace == HTTP_ADDREQ_FLAG_REPLACE);
static_assert(WinInet::LengthOfText == static_cast<DWORD>(-1L));
static_assert(WinInet::OptionConnectTimeout == INTERNET_OPTION_CONNECT_TIMEOUT);
static_assert(WinInet::OptionSendTimeout == INTERNET_OPTION_SEND_TIMEOUT);
static_assert(WinInet::OptionReceiveTimeout == INTERNET_OPTION_RECEIVE_TIMEOUT);
static_assert(sizeof(WinInet::Handle) == sizeof(HINTERNET));

namespace {
HINTERNET h(WinInet::Handle handle) {
    return reinterpret_cast<HINTERNET>(handle);
}
WinInet::Handle handleOf(HINTERNET h) {
    return reinterpret_cast<WinInet::Handle>(h);
}
} // namespace

WinInet::Handle Win32WinInet::internetOpen(const char* agent, std::uint32_t accessType, const char* proxy,
                                           const char* proxyBypass, std::uint32_t flags) {
    return handleOf(InternetOpenA(agent, accessType, proxy, proxyBypass, flags));
}

bool Win32WinInet::internetSetOption(Handle internet, std::uint32_t option, std::uint32_t value) {
    DWORD buffer = value;
    return InternetSetOptionA(h(internet), option, &buffer, sizeof buffer) != FALSE;
}

WinInet::Handle Win32WinInet::internetConnect(Handle internet, const char* serverName,
                                              std::uint16_t serverPort, const char* userName,
                                              const char* password, std::uint32_t service,
                                              std::uint32_t flags, std::uintptr_t context) {
    return handleOf(
        InternetConnectA(h(internet), serverName, serverPort, userName, password, service, flags, context));
}

WinInet::Handle Win32WinInet::httpOpenRequest(Handle connect, const char* verb, const char* objectName,
                                              const char* version, const char* referrer,
                                              const char* const* acceptTypes, std::uint32_t flags,
                                              std::uintptr_t context) {
    // The platform's declaration lacks the inner const; it does not write to the list.
    return handleOf(HttpOpenRequestA(h(connect), verb, objectName, version, referrer,
                                     const_cast<LPCSTR*>(acceptTypes), flags, context));
}

bool Win32WinInet::httpAddRequestHeaders(Handle request, const char* headers, std::uint32_t headersLength,
                                         std::uint32_t modifiers) {
    return HttpAddRequestHeadersA(h(request), headers, headersLength, modifiers) != FALSE;
}

bool Win32WinInet::httpSendRequest(Handle request, const char* headers, std::uint32_t headersLength,
                                   const void* optional, std::uint32_t optionalLength) {
    // The platform's declaration takes the body through a non-const pointer; it only reads it.
    return HttpSendRequestA(h(request), headers, headersLength, const_cast<void*>(optional),
                            optionalLength) != FALSE;
}

// InternetReadFile on its own waits until it has all bytesToRead bytes (or the reply ends): a server that
// trickles its reply a byte at a time, each within the receive time-out, would hold one read for many minutes
// and the caller's bound on the whole reply with it. So it is asked first what has arrived (waiting, within
// the receive time-out, until something has) and reads no more than that.
bool Win32WinInet::internetReadFile(Handle file, void* buffer, std::uint32_t bytesToRead,
                                    std::uint32_t& bytesRead) {
    bytesRead = 0;
    DWORD available = 0;
    if (!InternetQueryDataAvailable(h(file), &available, 0, 0)) {
        return false;
    }
    if (available == 0) {
        return true; // the end of the reply
    }
    DWORD read = 0;
    BOOL ok = InternetReadFile(h(file), buffer, available < bytesToRead ? available : bytesToRead, &read);
    bytesRead = read;
    return ok != FALSE;
}

bool Win32WinInet::internetCloseHandle(Handle internet) {
    return InternetCloseHandle(h(internet)) != FALSE;
}

} // namespace platform
