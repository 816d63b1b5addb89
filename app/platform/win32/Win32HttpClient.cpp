// Win32HttpClient: WinHttpOpen, WinHttpConnect, WinHttpOpenRequest, WinHttpSendRequest,
// WinHttpReceiveResponse, WinHttpQueryHeaders, WinHttpQueryDataAvailable and WinHttpReadData.
//
// The waits: WinHTTP's resolve and connect time-outs bound the connection; its send time-out, the time-out
// for the whole head of the reply (WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT) and, before each read of the
// body, a receive time-out of what is left of the reply time bound the rest. The body is read as it arrives,
// so one dripped a byte at a time is cut at the reply time too. The whole exchange has a deadline besides
// (connect and reply time together): a timer-queue timer cuts the request there. A request is cut, by the
// deadline or by cancel(), by closing its handle while a call is in progress on it, which ends a synchronous
// call on Windows (Wine's winhttp lets the call run on to its own time-out); between calls the request is
// only marked, and the next call is not made.
//
// A request that fails before any byte of its reply, on a session whose last request got a whole reply, is
// reported as reused: WinHTTP does not say whether it took a kept connection, and that is when it will have.
#include "platform/win32/Win32HttpClient.h"
#include "platform/win32/WideText.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

namespace platform {

namespace {

using Status = HttpClient::Status;

// The Base64 form of the bytes, by the platform's own encoder.
std::string base64(const std::string& bytes) {
    DWORD size = 0;
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    const DWORD length = static_cast<DWORD>(bytes.size());
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    if (!CryptBinaryToStringA(data, length, flags, nullptr, &size) || size == 0) {
        return {};
    }
    std::string out(size, '\0');
    if (!CryptBinaryToStringA(data, length, flags, out.data(), &size)) {
        return {};
    }
    out.resize(size); // without the NUL
    return out;
}

// Wine's winhttp reports some failures with the socket's own error instead of WinHTTP's.
constexpr DWORD WinsockTimedOut = 10060;        // WSAETIMEDOUT
constexpr DWORD WinsockConnectionReset = 10054; // WSAECONNRESET

int clampMs(std::chrono::milliseconds ms) {
    return static_cast<int>(std::clamp<long long>(ms.count(), 1, 0x7FFFFFFF));
}

Status sendStatus(DWORD error, bool kept) {
    switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return Status::NoSuchHost;
    case ERROR_WINHTTP_CANNOT_CONNECT:
        return Status::Refused;
    case ERROR_WINHTTP_TIMEOUT:
    case WinsockTimedOut:
        return kept ? Status::TimedOut : Status::ConnectTimedOut;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WinsockConnectionReset:
        return Status::Dropped;
    case ERROR_WINHTTP_OPERATION_CANCELLED:
        return Status::Cancelled;
    default:
        return Status::Failed;
    }
}

// WinHTTP reports a connection closed before the reply and a reply that is no HTTP alike (an invalid server
// response): both are taken for a reply that never came.
Status receiveStatus(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
    case WinsockTimedOut:
        return Status::TimedOut;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case WinsockConnectionReset:
        return Status::Dropped;
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
        return Status::TooLarge;
    case ERROR_WINHTTP_OPERATION_CANCELLED:
        return Status::Cancelled;
    default:
        return Status::Failed;
    }
}

Status readStatus(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
    case WinsockTimedOut:
        return Status::TimedOut;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WinsockConnectionReset:
        return Status::Truncated;
    case ERROR_WINHTTP_OPERATION_CANCELLED:
        return Status::Cancelled;
    default:
        return Status::Failed;
    }
}

class WinHttpSession : public HttpClient::Session {
  public:
    WinHttpSession()
        : session_(WinHttpOpen(L"Tavrelmond", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0)) {}
    ~WinHttpSession() override {
        closeConnection();
        if (session_ != nullptr) {
            WinHttpCloseHandle(session_);
        }
    }
    WinHttpSession(const WinHttpSession&) = delete;
    WinHttpSession& operator=(const WinHttpSession&) = delete;

    HttpClient::Reply post(const HttpClient::Request& request) override;

    void cancel() override { cut(false); }

    void close() override { closeConnection(); }

  private:
    void closeConnection() {
        if (connect_ != nullptr) {
            WinHttpCloseHandle(connect_);
            connect_ = nullptr;
        }
        kept_ = false;
    }

    // Cuts the request in progress: cancel() (any thread) or the deadline (the timer queue's thread).
    void cut(bool deadline) {
        HINTERNET closing = nullptr;
        {
            std::lock_guard lock(mutex_);
            (deadline ? timedOut_ : cancelled_) = true;
            if (inCall_) {
                closing = std::exchange(request_, nullptr);
            }
        }
        // Outside the lock: the call in progress may hold WinHTTP's own lock of the request until it returns.
        if (closing != nullptr) {
            WinHttpCloseHandle(closing);
        }
    }
    static void CALLBACK onDeadline(PVOID self, BOOLEAN) { static_cast<WinHttpSession*>(self)->cut(true); }

    HttpClient::Reply exchange(HINTERNET handle, const HttpClient::Request& request, HttpClient::Reply reply);

    // Around each WinHTTP call on the request: false when the request was cut, and no call is made.
    bool beginCall() {
        std::lock_guard lock(mutex_);
        if (cancelled_ || timedOut_ || request_ == nullptr) {
            return false;
        }
        inCall_ = true;
        return true;
    }
    void endCall() {
        std::lock_guard lock(mutex_);
        inCall_ = false;
    }
    void finish() {
        std::lock_guard lock(mutex_);
        if (request_ != nullptr) {
            WinHttpCloseHandle(request_);
            request_ = nullptr;
        }
    }
    // A failed step; a cut request says why it was cut. connecting: no reply byte came yet on a new
    // connection.
    HttpClient::Reply fail(HttpClient::Reply reply, Status status, const char* step, DWORD error,
                           bool connecting) {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            reply.status = Status::Cancelled;
        } else if (timedOut_) {
            reply.status = connecting ? Status::ConnectTimedOut : Status::TimedOut;
        } else {
            reply.status = status;
        }
        reply.error = std::string("WinHTTP error ") + std::to_string(error) + " in " + step;
        reply.body.clear();
        return reply;
    }

    HINTERNET session_;
    HINTERNET connect_ = nullptr;
    std::string connectHost_;
    std::uint16_t connectPort_ = 0;
    bool kept_ = false; // the last request got a whole reply: its connection may be kept

    std::mutex mutex_; // guards the four below against cancel() and the deadline
    HINTERNET request_ = nullptr;
    bool cancelled_ = false;
    bool timedOut_ = false;
    bool inCall_ = false;
};

HttpClient::Reply WinHttpSession::post(const HttpClient::Request& request) {
    HttpClient::Reply reply;
    if (session_ == nullptr) {
        reply.error = "WinHTTP is not available";
        return reply;
    }
    if (connect_ == nullptr || connectHost_ != request.host || connectPort_ != request.port) {
        closeConnection();
        connect_ = WinHttpConnect(session_, Widen(request.host).c_str(), request.port, 0);
        if (connect_ == nullptr) {
            reply.status = Status::NoSuchHost;
            reply.error = "WinHTTP error " + std::to_string(GetLastError()) + " for the host " + request.host;
            return reply;
        }
        connectHost_ = request.host;
        connectPort_ = request.port;
    }
    reply.reused = kept_;

    HINTERNET handle = WinHttpOpenRequest(connect_, L"POST", Widen(request.path).c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (handle == nullptr) {
        reply.error = "WinHTTP error " + std::to_string(GetLastError()) + " opening the request";
        return reply;
    }
    {
        std::lock_guard lock(mutex_);
        request_ = handle;
        cancelled_ = false;
        timedOut_ = false;
    }
    HANDLE deadline = nullptr;
    const DWORD budget = static_cast<DWORD>(clampMs(request.connectTimeout)) +
                         static_cast<DWORD>(clampMs(request.replyTimeout));
    if (!CreateTimerQueueTimer(&deadline, nullptr, &WinHttpSession::onDeadline, this, budget, 0,
                               WT_EXECUTEONLYONCE)) {
        deadline = nullptr; // the steps' own time-outs still bound it
    }
    reply = exchange(handle, request, std::move(reply));
    if (deadline != nullptr) {
        DeleteTimerQueueTimer(nullptr, deadline, INVALID_HANDLE_VALUE); // waits for a cut in progress
    }
    finish();
    kept_ = reply.status == Status::Ok;
    return reply;
}

HttpClient::Reply WinHttpSession::exchange(HINTERNET handle, const HttpClient::Request& request,
                                           HttpClient::Reply reply) {
    const bool kept = reply.reused;
    const int connectMs = clampMs(request.connectTimeout);
    const int replyMs = clampMs(request.replyTimeout);
    WinHttpSetTimeouts(handle, connectMs, connectMs, replyMs, replyMs);
    DWORD headTimeout = static_cast<DWORD>(replyMs);
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headTimeout, sizeof headTimeout);
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);

    std::string headers = "Content-Type: " + request.contentType + "\r\n";
    if (!request.user.empty() || !request.password.empty()) {
        headers += "Authorization: Basic " + base64(request.user + ":" + request.password) + "\r\n";
    }
    const std::wstring wideHeaders = Widen(headers);

    // The send: the connection (unless one is kept), then the request.
    if (!beginCall()) {
        return fail(std::move(reply), Status::Cancelled, "sending", ERROR_WINHTTP_OPERATION_CANCELLED, !kept);
    }
    BOOL ok =
        WinHttpSendRequest(handle, wideHeaders.c_str(), static_cast<DWORD>(wideHeaders.size()),
                           const_cast<char*>(request.body.data()), static_cast<DWORD>(request.body.size()),
                           static_cast<DWORD>(request.body.size()), 0);
    DWORD error = GetLastError();
    endCall();
    if (!ok) {
        return fail(std::move(reply), sendStatus(error, kept), "sending", error, !kept);
    }
    const auto deadline = std::chrono::steady_clock::now() + request.replyTimeout;
    if (!beginCall()) {
        return fail(std::move(reply), Status::Cancelled, "receiving", ERROR_WINHTTP_OPERATION_CANCELLED,
                    false);
    }
    ok = WinHttpReceiveResponse(handle, nullptr);
    error = GetLastError();
    endCall();
    if (!ok) {
        return fail(std::move(reply), receiveStatus(error), "receiving the reply", error, false);
    }

    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    reply.httpStatus = static_cast<int>(status);
    DWORD length = 0;
    size = sizeof length;
    const bool hasLength =
        WinHttpQueryHeaders(handle, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;

    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return fail(std::move(reply), Status::TimedOut, "reading the reply", ERROR_WINHTTP_TIMEOUT,
                        false);
        }
        DWORD receiveTimeout = static_cast<DWORD>(clampMs(left));
        WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof receiveTimeout);
        // What has arrived, then that much: a read never waits for more than is there (a read of a whole
        // buffer would wait for the rest of a body that comes a byte at a time).
        DWORD available = 0;
        if (!beginCall()) {
            return fail(std::move(reply), Status::Cancelled, "reading", ERROR_WINHTTP_OPERATION_CANCELLED,
                        false);
        }
        ok = WinHttpQueryDataAvailable(handle, &available);
        error = GetLastError();
        endCall();
        if (!ok) {
            return fail(std::move(reply), readStatus(error), "reading the reply", error, false);
        }
        DWORD read = 0;
        if (available > 0) {
            if (!beginCall()) {
                return fail(std::move(reply), Status::Cancelled, "reading", ERROR_WINHTTP_OPERATION_CANCELLED,
                            false);
            }
            ok = WinHttpReadData(handle, buffer, std::min<DWORD>(available, sizeof buffer), &read);
            error = GetLastError();
            endCall();
            if (!ok) {
                return fail(std::move(reply), readStatus(error), "reading the reply", error, false);
            }
        }
        if (read == 0) {
            break;
        }
        if (read > request.maxReply - std::min(request.maxReply, reply.body.size())) {
            return fail(std::move(reply), Status::TooLarge, "reading the reply", 0, false);
        }
        reply.body.append(buffer, read);
    }
    if (hasLength && reply.body.size() < length) {
        return fail(std::move(reply), Status::Truncated, "reading the reply", ERROR_WINHTTP_CONNECTION_ERROR,
                    false);
    }
    reply.status = Status::Ok;
    return reply;
}

} // namespace

std::unique_ptr<HttpClient::Session> Win32HttpClient::openSession() {
    return std::make_unique<WinHttpSession>();
}

} // namespace platform
