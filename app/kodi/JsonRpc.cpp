#include "kodi/JsonRpc.h"

#include "kodi/HttpReply.h"
#include "kodi/JsonReply.h"

namespace kodi {

using platform::Sockets;
using Clock = std::chrono::steady_clock;

std::string Base64(std::string_view bytes) {
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                                static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                                static_cast<unsigned char>(bytes[i + 2]);
        out += Alphabet[v >> 18 & 63];
        out += Alphabet[v >> 12 & 63];
        out += Alphabet[v >> 6 & 63];
        out += Alphabet[v & 63];
    }
    if (i < bytes.size()) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) {
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        out += Alphabet[v >> 18 & 63];
        out += Alphabet[v >> 12 & 63];
        out += i + 1 < bytes.size() ? Alphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::string BasicAuthorization(const std::string& user, const std::string& password) {
    if (user.empty() && password.empty()) {
        return "";
    }
    return "Basic " + Base64(user + ":" + password);
}

std::string ButtonEventBody(std::string_view r1Name, std::int64_t id) {
    return R"({"jsonrpc":"2.0","method":"Input.ButtonEvent","params":{"button":")" + std::string(r1Name) +
           R"(","keymap":")" + RemoteKeymap + R"(","holdtime":0},"id":)" + std::to_string(id) + "}";
}

std::string ExecuteActionBody(std::string_view action, std::int64_t id) {
    return R"({"jsonrpc":"2.0","method":"Input.ExecuteAction","params":{"action":")" + std::string(action) +
           R"("},"id":)" + std::to_string(id) + "}";
}

std::string JsonRpcRequest(const Endpoint& endpoint, const std::string& authorization,
                           const std::string& body) {
    // An IPv6 address is bracketed in the Host header.
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    std::string request = std::string("POST ") + JsonRpc::Path + " HTTP/1.1\r\n";
    request += "Host: " + (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" +
               std::to_string(endpoint.port) + "\r\n";
    request += "Connection: keep-alive\r\n";
    request += "Content-Type: application/json\r\n";
    if (!authorization.empty()) {
        request += "Authorization: " + authorization + "\r\n";
    }
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    request += body;
    return request;
}

JsonRpc::JsonRpc(Sockets* sockets) : JsonRpc(sockets, Timeouts{}) {}

JsonRpc::JsonRpc(Sockets* sockets, Timeouts timeouts) : sockets_(sockets), timeouts_(timeouts) {}

JsonRpc::~JsonRpc() {
    Close();
}

void JsonRpc::Close() {
    if (socket_ != 0) {
        sockets_->close(socket_);
        socket_ = 0;
    }
}

JsonRpc::Exchange JsonRpc::attempt(const Endpoint& endpoint, const std::string& request, bool& retry) {
    retry = false;
    const std::string where = endpoint.text();
    if (socket_ != 0 && (endpoint_ != where || sockets_->pending(socket_) != Sockets::Status::Ok)) {
        Close(); // dropped by Kodi while idle, or meant for another server
    }
    const bool reused = socket_ != 0;
    if (!reused) {
        const Sockets::Opened opened =
            sockets_->connectStream(endpoint.host, endpoint.port, timeouts_.connect);
        if (opened.status != Sockets::Status::Ok) {
            return {opened.status == Sockets::Status::NoSuchHost ? Problem::NoSuchHost
                                                                 : Problem::NotAnswering};
        }
        socket_ = opened.socket;
        endpoint_ = where;
        ++connectionsOpened_;
    }

    const auto deadline = Clock::now() + timeouts_.reply;
    const Sockets::Status sent = sockets_->send(socket_, request.data(), request.size(), timeouts_.reply);
    if (sent != Sockets::Status::Ok) {
        Close();
        retry = reused && sent != Sockets::Status::TimedOut;
        return {Problem::NotAnswering};
    }

    HttpReply reply;
    char buffer[4096];
    while (reply.state() == HttpReply::State::Incomplete) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::size_t received = 0;
        const Sockets::Status status = left.count() > 0
                                           ? sockets_->receive(socket_, buffer, sizeof buffer, received, left)
                                           : Sockets::Status::TimedOut;
        if (status == Sockets::Status::Ok) {
            reply.feed(buffer, received);
            continue;
        }
        if (status == Sockets::Status::Closed && reply.started()) {
            reply.endOfStream();
            continue;
        }
        // Silent past the time-out, reset, or closed before answering. A late answer must never be taken for
        // the next request's, so the connection goes.
        Close();
        retry = reused && !reply.started() && status != Sockets::Status::TimedOut;
        return {Problem::NotAnswering};
    }
    if (reply.state() == HttpReply::State::Bad) {
        Close();
        return {Problem::BadReply};
    }
    if (!reply.keepAlive()) {
        Close();
    }
    return {Problem::None, reply.status(), reply.body()};
}

JsonRpc::Exchange JsonRpc::exchange(const Endpoint& endpoint, const std::string& request) {
    bool retry = false;
    Exchange result = attempt(endpoint, request, retry);
    if (retry) {
        result = attempt(endpoint, request, retry);
    }
    return result;
}

Outcome JsonRpc::Press(const KodiButtonRow& button, const std::string& ip, const std::string& port,
                       const std::string& user, const std::string& password) {
    if (sockets_ == nullptr) {
        return {Problem::NoNetwork};
    }
    const std::optional<Endpoint> endpoint = ParseEndpoint(ip, port, DefaultWebServerPort);
    if (!endpoint) {
        return {Problem::BadPort};
    }
    const std::string where = endpoint->text();
    if (user.find(':') != std::string::npos) {
        return {Problem::BadUserName, 0, where};
    }
    const std::string authorization = BasicAuthorization(user, password);

    for (;;) {
        const std::int64_t id = nextId_++;
        const std::string body =
            useExecuteAction_ ? ExecuteActionBody(button.action, id) : ButtonEventBody(button.r1Name, id);
        const Exchange ex = exchange(*endpoint, JsonRpcRequest(*endpoint, authorization, body));
        if (ex.problem != Problem::None) {
            return {ex.problem, 0, where};
        }
        if (ex.status == 401) {
            return {Problem::BadCredentials, 401, where};
        }
        if (ex.status != 200) {
            return {Problem::HttpStatus, ex.status, where};
        }
        const JsonRpcAnswer answer = ReadJsonRpcAnswer(ex.body);
        if (!answer.valid || !answer.hasId || answer.id != id) {
            Close(); // out of step with the server: start afresh next time
            return {Problem::BadReply, 0, where};
        }
        if (answer.hasError) {
            const int code = answer.hasErrorCode ? static_cast<int>(answer.errorCode) : 0;
            if (code == MethodNotFound && !useExecuteAction_) {
                useExecuteAction_ = true;
                continue;
            }
            return {Problem::ButtonRefused, code, where};
        }
        if (!answer.hasResult) {
            return {Problem::BadReply, 0, where};
        }
        return {Problem::None, 0, where};
    }
}

} // namespace kodi
