// CurlHttpClient: curl_easy_perform with a URL built by curl_url, Basic credentials, time-outs, a bounded
// write callback and a progress callback that answers cancel().
#include "platform/posix/CurlHttpClient.h"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace platform {

namespace {

using Status = HttpClient::Status;

class CurlSession : public HttpClient::Session {
  public:
    CurlSession() : easy_(curl_easy_init()) {}
    ~CurlSession() override {
        if (easy_ != nullptr) {
            curl_easy_cleanup(easy_);
        }
    }
    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    HttpClient::Reply post(const HttpClient::Request& request) override;
    void cancel() override { cancelled_ = true; }
    void close() override {
        // A fresh handle has an empty connection cache.
        if (easy_ != nullptr) {
            curl_easy_cleanup(easy_);
        }
        easy_ = curl_easy_init();
    }

  private:
    struct Sink {
        std::string* body;
        std::size_t limit;
        bool overflowed = false;
    };
    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* user) {
        auto* sink = static_cast<Sink*>(user);
        const std::size_t n = size * count;
        if (n > sink->limit - sink->body->size()) {
            sink->overflowed = true;
            return 0; // ends the transfer with CURLE_WRITE_ERROR
        }
        sink->body->append(data, n);
        return n;
    }
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<CurlSession*>(user)->cancelled_ ? 1 : 0;
    }

    CURL* easy_;
    std::atomic<bool> cancelled_{false};
};

// The URL of the request: the host goes through curl_url, which refuses a host text that is not a host (one
// that would otherwise bring its own path, user or port into the URL).
std::string urlOf(const HttpClient::Request& request, bool& valid) {
    valid = false;
    CURLU* url = curl_url();
    if (url == nullptr) {
        return "";
    }
    const bool v6 = request.host.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + request.host + "]" : request.host;
    std::string text;
    char* full = nullptr;
    if (curl_url_set(url, CURLUPART_SCHEME, "http", 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_HOST, host.c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_PORT, std::to_string(request.port).c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_PATH, request.path.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_URL, &full, 0) == CURLUE_OK) {
        text = full;
        valid = true;
    }
    curl_free(full);
    curl_url_cleanup(url);
    return text;
}

Status statusOf(CURL* easy, CURLcode code, bool overflowed, bool gotHeaders) {
    long osError = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
    switch (code) {
    case CURLE_OK:
        return Status::Ok;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_URL_MALFORMAT:
        return Status::NoSuchHost;
    case CURLE_COULDNT_CONNECT:
        return osError == ETIMEDOUT ? Status::ConnectTimedOut : Status::Refused;
    case CURLE_OPERATION_TIMEDOUT: {
        curl_off_t connected = 0;
        curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
        long connects = 0;
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        // A reused connection reports no connect time either: only a new one that never came up counts.
        return connected == 0 && connects == 0 && !gotHeaders ? Status::ConnectTimedOut : Status::TimedOut;
    }
    case CURLE_GOT_NOTHING:
        return Status::Dropped;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return gotHeaders ? Status::Truncated : Status::Dropped;
    case CURLE_WRITE_ERROR:
        return overflowed ? Status::TooLarge : Status::Failed;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
        return Status::BadReply;
    case CURLE_ABORTED_BY_CALLBACK:
        return Status::Cancelled;
    default:
        return Status::Failed;
    }
}

HttpClient::Reply CurlSession::post(const HttpClient::Request& request) {
    HttpClient::Reply reply;
    cancelled_ = false;
    if (easy_ == nullptr) {
        reply.error = "libcurl could not start a transfer";
        return reply;
    }
    bool valid = false;
    const std::string url = urlOf(request, valid);
    if (!valid) {
        reply.status = Status::NoSuchHost;
        reply.error = "not a host name: " + request.host;
        return reply;
    }

    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, ("Content-Type: " + request.contentType).c_str());
    headers = curl_slist_append(headers, "Expect:"); // never wait for a 100 Continue
    Sink sink{&reply.body, request.maxReply};
    char error[CURL_ERROR_SIZE] = "";

    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
    if (!request.user.empty() || !request.password.empty()) {
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(e, CURLOPT_USERNAME, request.user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, request.password.c_str());
    } else {
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_NONE));
        curl_easy_setopt(e, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(e, CURLOPT_PASSWORD, nullptr);
    }
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS,
                     static_cast<long>((request.connectTimeout + request.replyTimeout).count()));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlSession::onData);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &CurlSession::onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(e, CURLOPT_MAXCONNECTS, 1L);

    const CURLcode code = curl_easy_perform(e);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);

    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    long connects = 0;
    curl_easy_getinfo(e, CURLINFO_NUM_CONNECTS, &connects);
    reply.httpStatus = static_cast<int>(status);
    reply.status = statusOf(e, code, sink.overflowed, status != 0);
    reply.reused = connects == 0 && code != CURLE_COULDNT_CONNECT && code != CURLE_COULDNT_RESOLVE_HOST;
    if (reply.status != Status::Ok) {
        reply.error = error[0] != '\0' ? error : curl_easy_strerror(code);
        reply.body.clear();
    }
    return reply;
}

} // namespace

CurlHttpClient::CurlHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::unique_ptr<HttpClient::Session> CurlHttpClient::openSession() {
    return std::make_unique<CurlSession>();
}

} // namespace platform
