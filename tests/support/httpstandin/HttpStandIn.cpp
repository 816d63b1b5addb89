// StandIn: the recording HTTP server for tests.
#include "HttpStandIn.h"

#include <httplib.h>

#include <cstdio>
#include <stdexcept>
#include <strings.h>

namespace httpstandin {

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return {};
}

bool RecordedRequest::hasHeader(const std::string& name) const {
    for (const auto& entry : headers)
        if (strcasecmp(entry.first.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

std::string patternBody(std::size_t n, std::size_t from) {
    std::string body;
    body.reserve(n + 32);
    char block[17];
    std::size_t first = from - from % 16;
    for (std::size_t at = first; body.size() < n + (from - first); at += 16) {
        std::snprintf(block, sizeof block, "<%013zx>\n", at);
        body.append(block, 16);
    }
    return body.substr(from - first, n);
}

StandIn::StandIn() : StandIn(0) {}

StandIn::StandIn(int port) : server_(std::make_unique<httplib::Server>()) {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        RecordedRequest r;
        r.method = req.method;
        r.target = req.target;
        r.version = req.version;
        r.requestLine = req.method + " " + req.target + " " + req.version;
        for (const auto& [key, value] : req.headers)
            if (key != "REMOTE_ADDR" && key != "REMOTE_PORT" && key != "LOCAL_ADDR" && key != "LOCAL_PORT")
                r.headers.emplace_back(key, value);
        r.body = req.body;

        Answer answer;
        std::function<void(const RecordedRequest&)> observer;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(r);
            answer = answer_;
            observer = observer_;
        }
        changed_.notify_all();
        if (observer)
            observer(r);
        serve(r, std::move(answer), &res);
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Delete(".*", handler);
    server_->Patch(".*", handler);
    server_->Options(".*", handler);

    // SO_REUSEADDR only: cpp-httplib's default SO_REUSEPORT would let two servers share a fixed port.
    server_->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else {
        port_ = port;
        if (!server_->bind_to_port("127.0.0.1", port))
            port_ = -1;
    }
    if (port_ <= 0)
        throw std::runtime_error("httpstandin: cannot bind port " + std::to_string(port) + " on 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // cpp-httplib's stop() does nothing before the accept loop runs; wait for it so a quick stop cannot be
    // lost.
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StandIn::~StandIn() {
    stop();
}

void StandIn::serve(const RecordedRequest&, Answer answer, void* response) {
    auto& res = *static_cast<httplib::Response*>(response);
    if (answer.delay.count() > 0) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, answer.delay, [this] { return stopping_; });
    }
    res.status = answer.status;
    switch (answer.kind) {
    case Answer::Kind::Whole:
        res.set_content(answer.body, "text/html");
        break;
    case Answer::Kind::Endless:
        res.set_content_provider("text/plain", [this](std::size_t offset, httplib::DataSink& sink) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return false;
            }
            std::string chunk = patternBody(16384, offset);
            if (!sink.write(chunk.data(), chunk.size()))
                return false;
            std::lock_guard lock(mutex_);
            endlessBytes_ += chunk.size();
            return true;
        });
        break;
    case Answer::Kind::Stall:
        res.set_content_provider("text/plain", [this](std::size_t, httplib::DataSink& sink) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || stallReleased_; });
            if (stopping_)
                return false;
            sink.done();
            return true;
        });
        break;
    }
}

void StandIn::answer(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
}

void StandIn::onRequest(std::function<void(const RecordedRequest&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

std::vector<RecordedRequest> StandIn::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t StandIn::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

void StandIn::clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool StandIn::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

std::size_t StandIn::endlessBytesSent() const {
    std::lock_guard lock(mutex_);
    return endlessBytes_;
}

void StandIn::releaseStall() {
    {
        std::lock_guard lock(mutex_);
        stallReleased_ = true;
    }
    changed_.notify_all();
}

void StandIn::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

} // namespace httpstandin
