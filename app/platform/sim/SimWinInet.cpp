// SimWinInet: the wininet port in memory.
#include "platform/sim/SimWinInet.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {
std::string text(const char* s) {
    return s ? std::string(s) : std::string();
}
} // namespace

void SimWinInet::failStep(Step step, bool fail) {
    if (fail)
        failing_.insert(step);
    else
        failing_.erase(step);
}

WinInet::Handle SimWinInet::add(Kind kind, Handle parent, Request request) {
    Handle handle = next_++;
    Open entry{kind, parent, std::move(request), false, 0, {}};
    if (auto it = open_.find(parent); it != open_.end())
        entry.options = it->second.options;
    open_.emplace(handle, std::move(entry));
    openedOrder_.push_back(handle);
    return handle;
}

SimWinInet::Open* SimWinInet::find(Handle handle, Kind kind) {
    auto it = open_.find(handle);
    return it != open_.end() && it->second.kind == kind ? &it->second : nullptr;
}

WinInet::Handle SimWinInet::internetOpen(const char* agent, std::uint32_t accessType, const char*,
                                         const char*, std::uint32_t) {
    calls_.push_back("internetOpen");
    if (failing_.count(Step::Open))
        return 0;
    Request r;
    r.agent = text(agent);
    r.accessType = accessType;
    return add(Kind::Root, 0, std::move(r));
}

bool SimWinInet::internetSetOption(Handle internet, std::uint32_t option, std::uint32_t value) {
    calls_.push_back("internetSetOption");
    auto it = open_.find(internet);
    if (failing_.count(Step::SetOption) || it == open_.end())
        return false;
    it->second.options[option] = value;
    return true;
}

WinInet::Handle SimWinInet::internetConnect(Handle internet, const char* serverName, std::uint16_t serverPort,
                                            const char*, const char*, std::uint32_t service, std::uint32_t,
                                            std::uintptr_t) {
    calls_.push_back("internetConnect");
    Open* root = find(internet, Kind::Root);
    if (failing_.count(Step::Connect) || !root)
        return 0;
    Request r = root->request;
    r.server = text(serverName);
    r.port = serverPort;
    r.service = service;
    return add(Kind::Connection, internet, std::move(r));
}

WinInet::Handle SimWinInet::httpOpenRequest(Handle connect, const char* verb, const char* objectName,
                                            const char* version, const char*, const char* const*,
                                            std::uint32_t flags, std::uintptr_t) {
    calls_.push_back("httpOpenRequest");
    Open* connection = find(connect, Kind::Connection);
    if (failing_.count(Step::OpenRequest) || !connection)
        return 0;
    Request r = connection->request;
    r.verb = verb ? verb : "GET";
    r.object = text(objectName);
    r.version = version ? version : "HTTP/1.1";
    r.flags = flags;
    return add(Kind::Request, connect, std::move(r));
}

bool SimWinInet::httpAddRequestHeaders(Handle request, const char* headers, std::uint32_t headersLength,
                                       std::uint32_t modifiers) {
    calls_.push_back("httpAddRequestHeaders");
    Open* req = find(request, Kind::Request);
    if (failing_.count(Step::AddHeaders) || !req || !headers)
        return false;
    std::size_t length = headersLength == LengthOfText ? std::strlen(headers) : headersLength;
    req->request.headers.append(headers, length);
    req->request.headerModifiers = modifiers;
    return true;
}

bool SimWinInet::httpSendRequest(Handle request, const char* headers, std::uint32_t headersLength,
                                 const void* optional, std::uint32_t optionalLength) {
    calls_.push_back("httpSendRequest");
    Open* req = find(request, Kind::Request);
    if (failing_.count(Step::Send) || !req)
        return false;
    if (headers)
        req->request.headers.append(headers,
                                    headersLength == LengthOfText ? std::strlen(headers) : headersLength);
    if (optional)
        req->request.body.assign(static_cast<const char*>(optional), optionalLength);
    req->request.options = req->options;
    sent_.push_back(req->request);
    if (reply_.silent) {
        auto timeout = req->options.find(OptionReceiveTimeout);
        elapsed_ += std::chrono::milliseconds(timeout == req->options.end() ? DefaultReceiveTimeoutMs
                                                                            : timeout->second);
        return false;
    }
    req->sent = true;
    req->readAt = 0;
    return true;
}

bool SimWinInet::internetReadFile(Handle file, void* buffer, std::uint32_t bytesToRead,
                                  std::uint32_t& bytesRead) {
    calls_.push_back("internetReadFile");
    bytesRead = 0;
    Open* req = find(file, Kind::Request);
    if (failing_.count(Step::Read) || !req || !req->sent)
        return false;
    elapsed_ += reply_.perRead;
    if (reply_.endless) {
        const std::string pattern = reply_.body.empty() ? std::string("x") : reply_.body;
        std::size_t n = std::min(static_cast<std::size_t>(bytesToRead), reply_.maxPiece);
        for (std::size_t i = 0; i < n; ++i)
            static_cast<char*>(buffer)[i] = pattern[(req->readAt + i) % pattern.size()];
        req->readAt += n;
        bytesDelivered_ += n;
        bytesRead = static_cast<std::uint32_t>(n);
        return true;
    }
    std::size_t left = reply_.body.size() - std::min(req->readAt, reply_.body.size());
    std::size_t n = std::min({left, static_cast<std::size_t>(bytesToRead), reply_.maxPiece});
    std::memcpy(buffer, reply_.body.data() + req->readAt, n);
    req->readAt += n;
    bytesDelivered_ += n;
    bytesRead = static_cast<std::uint32_t>(n);
    return true;
}

bool SimWinInet::internetCloseHandle(Handle internet) {
    calls_.push_back("internetCloseHandle");
    if (failing_.count(Step::Close))
        return false;
    if (open_.erase(internet) == 0)
        return false;
    closedOrder_.push_back(internet);
    return true;
}

} // namespace platform
