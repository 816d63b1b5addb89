// CurlWinInet: the wininet port over libcurl's multi interface: one multi handle per adapter, one transfer
// (easy handle) per request handle, and never a connection reused.
#include "platform/posix/CurlWinInet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

namespace platform {

namespace {

enum Kind { Root, Connection, Request };

// A reply is handed to the caller as it arrives; libcurl is paused while this much is waiting to be read.
constexpr std::size_t PendingWindow = 64 * 1024;

std::string text(const char* s) {
    return s ? std::string(s) : std::string();
}

std::string trim(std::string s) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.back()))
        s.pop_back();
    std::size_t start = 0;
    while (start < s.size() && blank(s[start]))
        ++start;
    return s.substr(start);
}

constexpr std::uint32_t AddReqFlagAddIfNew = 0x10000000u; // HTTP_ADDREQ_FLAG_ADD_IF_NEW

} // namespace

// What a request sends and what it has received so far.
struct CurlWinInet::Transfer {
    CURL* easy = nullptr;
    CURLM* multi = nullptr; // the adapter's
    void** spare = nullptr; // the adapter's slot for one finished easy handle, kept for the next request
    curl_slist* headerList = nullptr;
    std::string body;
    std::string pending; // received body bytes not read yet, from pendingAt on
    std::size_t pendingAt = 0;
    long status = 0;          // status of the reply whose headers are arriving
    bool headersDone = false; // a final (non-1xx) reply's headers are complete
    bool paused = false;
    bool done = false;
    CURLcode result = CURLE_OK;

    ~Transfer() {
        if (multi && easy)
            curl_multi_remove_handle(multi, easy);
        if (easy && spare && !*spare) {
            curl_easy_reset(easy);
            *spare = easy;
        } else if (easy) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headerList);
    }

    std::size_t unread() const { return pending.size() - pendingAt; }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        std::size_t n = size * count;
        std::string line(data, n);
        if (line.compare(0, 5, "HTTP/") == 0) {
            std::size_t space = line.find(' ');
            t->status = space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
        } else if (line == "\r\n" || line == "\n") {
            if (t->status >= 200 || t->status == 0)
                t->headersDone = true;
        }
        return n;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        std::size_t n = size * count;
        if (t->unread() >= PendingWindow) {
            t->paused = true;
            return CURL_WRITEFUNC_PAUSE; // handed to us again once the caller has read what is waiting
        }
        if (t->pendingAt == t->pending.size()) {
            t->pending.clear();
            t->pendingAt = 0;
        }
        t->pending.append(data, n);
        t->headersDone = true;
        return n;
    }

    // Lets libcurl move the transfer on, waiting up to a second for the socket.
    void step() {
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            Transfer* owner = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner);
            if (msg->msg == CURLMSG_DONE && owner) {
                owner->done = true;
                owner->result = msg->data.result;
            }
        }
        // Wait for the socket only when nothing is waiting to be handed out and no pause holds libcurl back.
        if (!done && !paused && unread() == 0)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
};

struct CurlWinInet::Node {
    int kind = Root;
    Handle parent = 0;
    // time-outs set on this handle or inherited from the one above it when it was opened
    std::optional<std::uint32_t> connectTimeoutMs, sendTimeoutMs, receiveTimeoutMs;
    // root
    std::string agent;
    std::uint32_t accessType = OpenTypePreconfig;
    std::string proxy;
    std::string proxyBypass;
    // connection
    std::string server;
    std::uint16_t port = 0;
    // request
    std::string verb;
    std::string object;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers; // added header lines, in order
    std::unique_ptr<Transfer> transfer;
};

CurlWinInet::CurlWinInet() : CurlWinInet(Timeouts{}) {}

CurlWinInet::CurlWinInet(Timeouts timeouts) : timeouts_(timeouts) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
}

CurlWinInet::~CurlWinInet() {
    handles_.clear(); // the transfers leave the multi handle first
    if (spareEasy_)
        curl_easy_cleanup(static_cast<CURL*>(spareEasy_));
    if (multi_)
        curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

WinInet::Handle CurlWinInet::add(std::unique_ptr<Node> node) {
    if (auto parent = handles_.find(node->parent); node->parent != 0 && parent != handles_.end()) {
        node->connectTimeoutMs = parent->second->connectTimeoutMs;
        node->sendTimeoutMs = parent->second->sendTimeoutMs;
        node->receiveTimeoutMs = parent->second->receiveTimeoutMs;
    }
    Handle handle = next_++;
    handles_.emplace(handle, std::move(node));
    return handle;
}

CurlWinInet::Node* CurlWinInet::find(Handle handle, int kind) {
    auto it = handles_.find(handle);
    return it != handles_.end() && it->second->kind == kind ? it->second.get() : nullptr;
}

WinInet::Handle CurlWinInet::internetOpen(const char* agent, std::uint32_t accessType, const char* proxy,
                                          const char* proxyBypass, std::uint32_t) {
    if (accessType != OpenTypePreconfig && accessType != OpenTypeDirect && accessType != OpenTypeProxy)
        return 0;
    if (accessType == OpenTypeProxy && (!proxy || !*proxy))
        return 0;
    auto node = std::make_unique<Node>();
    node->kind = Root;
    node->agent = text(agent);
    node->accessType = accessType;
    node->proxy = text(proxy);
    node->proxyBypass = text(proxyBypass);
    return add(std::move(node));
}

bool CurlWinInet::internetSetOption(Handle internet, std::uint32_t option, std::uint32_t value) {
    auto it = handles_.find(internet);
    if (it == handles_.end())
        return false;
    Node& node = *it->second;
    switch (option) {
    case OptionConnectTimeout:
        node.connectTimeoutMs = value;
        return true;
    case OptionSendTimeout:
        node.sendTimeoutMs = value;
        return true;
    case OptionReceiveTimeout:
        node.receiveTimeoutMs = value;
        return true;
    default:
        return false;
    }
}

WinInet::Handle CurlWinInet::internetConnect(Handle internet, const char* serverName,
                                             std::uint16_t serverPort, const char*, const char*,
                                             std::uint32_t service, std::uint32_t, std::uintptr_t) {
    Node* root = find(internet, Root);
    if (!root || service != ServiceHttp || !serverName || !*serverName)
        return 0;
    auto node = std::make_unique<Node>();
    node->kind = Connection;
    node->parent = internet;
    node->server = serverName;
    node->port = serverPort == DefaultPort ? 80 : serverPort;
    return add(std::move(node));
}

WinInet::Handle CurlWinInet::httpOpenRequest(Handle connect, const char* verb, const char* objectName,
                                             const char* version, const char*, const char* const*,
                                             std::uint32_t, std::uintptr_t) {
    Node* connection = find(connect, Connection);
    if (!connection)
        return 0;
    auto node = std::make_unique<Node>();
    node->kind = Request;
    node->parent = connect;
    node->verb = verb && *verb ? verb : "GET";
    node->object = objectName && *objectName ? objectName : "/";
    node->version = version && *version ? version : "HTTP/1.1";
    if (node->version != "HTTP/1.0" && node->version != "HTTP/1.1")
        return 0;
    return add(std::move(node));
}

bool CurlWinInet::httpAddRequestHeaders(Handle request, const char* headers, std::uint32_t headersLength,
                                        std::uint32_t modifiers) {
    Node* req = find(request, Request);
    if (!req || !headers || req->transfer)
        return false;
    std::string block(headers, headersLength == LengthOfText ? std::strlen(headers) : headersLength);
    bool all = true;
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t end = block.find('\n', at);
        std::string line = block.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? block.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            all = false;
            continue;
        }
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        auto same = std::find_if(req->headers.begin(), req->headers.end(), [&](const auto& h) {
            return strcasecmp(h.first.c_str(), name.c_str()) == 0;
        });
        bool exists = same != req->headers.end();
        if (modifiers & AddReqFlagReplace) {
            if (exists && value.empty())
                req->headers.erase(same);
            else if (exists)
                same->second = value;
            else if ((modifiers & AddReqFlagAdd) && !value.empty())
                req->headers.emplace_back(name, value);
            else
                all = false;
        } else if ((modifiers & AddReqFlagAddIfNew) && exists) {
            all = false;
        } else {
            req->headers.emplace_back(name, value);
        }
    }
    return all;
}

bool CurlWinInet::httpSendRequest(Handle request, const char* headers, std::uint32_t headersLength,
                                  const void* optional, std::uint32_t optionalLength) {
    Node* req = find(request, Request);
    if (!req || req->transfer)
        return false;
    if (headers && !httpAddRequestHeaders(request, headers, headersLength, AddReqFlagAdd | AddReqFlagReplace))
        return false;
    Node* connection = find(req->parent, Connection);
    Node* root = connection ? find(connection->parent, Root) : nullptr;
    if (!root)
        return false;

    auto t = std::make_unique<Transfer>();
    t->easy = spareEasy_ ? static_cast<CURL*>(spareEasy_) : curl_easy_init();
    spareEasy_ = nullptr;
    t->spare = &spareEasy_;
    t->multi = static_cast<CURLM*>(multi_);
    if (!t->easy || !t->multi)
        return false;
    if (optional)
        t->body.assign(static_cast<const char*>(optional), optionalLength);

    // The request line: the object name exactly as given (no dot-segment clean-up), the version asked for.
    std::string host = connection->server.find(':') != std::string::npos && connection->server.front() != '['
                           ? "[" + connection->server + "]"
                           : connection->server;
    std::string url = "http://" + host + ":" + std::to_string(connection->port) +
                      (req->object.front() == '/' ? "" : "/") + req->object;
    CURL* e = t->easy;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                     req->version == "HTTP/1.0" ? long(CURL_HTTP_VERSION_1_0) : long(CURL_HTTP_VERSION_1_1));
    if (req->verb == "POST") {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->body.data());
    } else if (req->verb == "GET" && t->body.empty()) {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, req->verb.c_str());
        if (!t->body.empty()) {
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->body.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->body.data());
        }
    }

    // The headers: the caller's, and User-Agent and Host as WinInet writes them. libcurl's own additions that
    // WinInet does not make (Accept, Expect, a default Content-Type) are switched off.
    bool hasContentType = false;
    for (const auto& [name, value] : req->headers) {
        hasContentType = hasContentType || strcasecmp(name.c_str(), "Content-Type") == 0;
        t->headerList = curl_slist_append(t->headerList, (name + ": " + value).c_str());
    }
    for (const char* off : {"Accept:", "Expect:"})
        t->headerList = curl_slist_append(t->headerList, off);
    if (!hasContentType)
        t->headerList = curl_slist_append(t->headerList, "Content-Type:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);
    if (!root->agent.empty())
        curl_easy_setopt(e, CURLOPT_USERAGENT, root->agent.c_str());

    // The proxy: the environment's (libcurl's default) for the configured settings, none for a direct
    // connection, the named one otherwise.
    if (root->accessType == OpenTypeDirect) {
        curl_easy_setopt(e, CURLOPT_PROXY, "");
    } else if (root->accessType == OpenTypeProxy) {
        curl_easy_setopt(e, CURLOPT_PROXY, root->proxy.c_str());
        curl_easy_setopt(e, CURLOPT_NOPROXY, root->proxyBypass.c_str());
    }

    // The time-outs: the request's own, else the adapter's. A value of 0 leaves the adapter's in place.
    const long connectMs = req->connectTimeoutMs.value_or(0) != 0
                               ? static_cast<long>(*req->connectTimeoutMs)
                               : static_cast<long>(timeouts_.connect.count());
    const long receiveMs = req->receiveTimeoutMs.value_or(0) != 0
                               ? static_cast<long>(*req->receiveTimeoutMs)
                               : static_cast<long>(timeouts_.receive.count());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, std::max(1L, (receiveMs + 999) / 1000));
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    if (curl_multi_add_handle(t->multi, e) != CURLM_OK)
        return false;

    Transfer& transfer = *t;
    req->transfer = std::move(t);
    while (!transfer.headersDone && !transfer.done)
        transfer.step();
    return !(transfer.done && transfer.result != CURLE_OK);
}

bool CurlWinInet::internetReadFile(Handle file, void* buffer, std::uint32_t bytesToRead,
                                   std::uint32_t& bytesRead) {
    bytesRead = 0;
    Node* req = find(file, Request);
    if (!req || !req->transfer || !buffer)
        return false;
    Transfer& t = *req->transfer;
    if (t.done && t.result != CURLE_OK && t.unread() == 0)
        return false;
    while (t.unread() == 0 && !t.done) {
        if (t.paused) {
            t.paused = false;
            curl_easy_pause(t.easy, CURLPAUSE_CONT); // may hand over the held data at once
            if (t.unread() > 0)
                break;
        }
        t.step();
    }
    std::size_t n = std::min<std::size_t>(bytesToRead, t.unread());
    std::memcpy(buffer, t.pending.data() + t.pendingAt, n);
    t.pendingAt += n;
    bytesRead = static_cast<std::uint32_t>(n);
    return n > 0 || t.result == CURLE_OK;
}

bool CurlWinInet::internetCloseHandle(Handle internet) {
    auto it = handles_.find(internet);
    if (it == handles_.end())
        return false;
    // Children first, then the handle itself.
    std::vector<Handle> children;
    for (const auto& [handle, node] : handles_)
        if (node->parent == internet)
            children.push_back(handle);
    for (Handle child : children)
        internetCloseHandle(child);
    handles_.erase(internet);
    return true;
}

} // namespace platform
