#include "kodi/JsonRpc.h"

#include "kodi/JsonRpcMessages.h"

namespace kodi {

using Status = platform::HttpClient::Status;

JsonRpc::JsonRpc(platform::HttpClient* http) : JsonRpc(http, Timeouts{}) {}

JsonRpc::JsonRpc(platform::HttpClient* http, Timeouts timeouts, Clock clock)
    : session_(http != nullptr ? http->openSession() : nullptr), timeouts_(timeouts),
      clock_(std::move(clock)) {}

JsonRpc::~JsonRpc() = default;

void JsonRpc::Configure(const ChannelSettings& settings) {
    std::optional<Endpoint> endpoint = ParseEndpoint(settings.host, settings.port, DefaultWebServerPort);
    const bool sameKodi = endpoint && endpoint_ && endpoint->text() == endpoint_->text();
    if (!sameKodi || settings.user != user_ || settings.password != password_) {
        Close();
        holdOffUntil_ = {};
    }
    if (!sameKodi) {
        useExecuteAction_ = false; // another Kodi, maybe one that knows Input.ButtonEvent
    }
    endpoint_ = std::move(endpoint);
    user_ = settings.user;
    password_ = settings.password;
}

void JsonRpc::Cancel() {
    if (session_) {
        session_->cancel();
    }
}

void JsonRpc::Close() {
    if (session_) {
        session_->close();
    }
}

JsonRpc::Exchange JsonRpc::exchange(const std::string& body) {
    platform::HttpClient::Request request;
    request.host = endpoint_->host;
    request.port = endpoint_->port;
    request.path = Path;
    request.contentType = "application/json";
    request.body = body;
    request.user = user_;
    request.password = password_;
    request.connectTimeout = timeouts_.connect;
    request.replyTimeout = timeouts_.reply;
    request.maxReply = MaxReply;

    platform::HttpClient::Reply reply = session_->post(request);
    if (reply.status == Status::Dropped && reply.reused) {
        reply = session_->post(request); // Kodi had closed the kept connection: once more, on a fresh one
    }

    const auto holdOff = [&](std::chrono::seconds duration, Problem problem, std::string reason) {
        holdOffUntil_ = clock_() + duration;
        holdOffProblem_ = problem;
        holdOffReason_ = reason;
        return Exchange{problem, std::move(reason)};
    };
    const auto ms = [](std::chrono::milliseconds t) { return std::to_string(t.count()) + " ms"; };
    switch (reply.status) {
    case Status::Ok:
        return {Problem::None, "", reply.httpStatus, std::move(reply.body)};
    case Status::NoSuchHost:
        return holdOff(HoldOff, Problem::NoSuchHost, "the name does not resolve");
    case Status::Refused:
        return holdOff(RefusedHoldOff, Problem::NotAnswering, "connection refused");
    case Status::ConnectTimedOut:
        return holdOff(HoldOff, Problem::NotAnswering, "no connection within " + ms(timeouts_.connect));
    case Status::Dropped:
        if (!reply.reused) {
            // Taken and closed unanswered: a refusal in all but name.
            return holdOff(RefusedHoldOff, Problem::NotAnswering, "connection closed before any reply");
        }
        return {Problem::NotAnswering, "connection closed before any reply, twice"};
    case Status::TimedOut:
        return {Problem::NotAnswering, "no whole reply within " + ms(timeouts_.reply)};
    case Status::Truncated:
        return {Problem::BadReply, "the reply was cut short"};
    case Status::BadReply:
        return {Problem::BadReply, "not an HTTP reply"};
    case Status::TooLarge:
        return {Problem::BadReply, "a reply longer than " + std::to_string(MaxReply) + " bytes"};
    case Status::Cancelled:
        return {Problem::NotAnswering, "cancelled: the program is ending"};
    case Status::Failed:
        break;
    }
    return {Problem::NotAnswering, reply.error.empty() ? "the request failed" : reply.error};
}

Outcome JsonRpc::call(const std::function<std::string(std::int64_t)>& body) {
    if (!session_) {
        return {Problem::NoNetwork};
    }
    if (!endpoint_) {
        return {Problem::BadPort};
    }
    const std::string where = endpoint_->text();
    if (user_.find(':') != std::string::npos) {
        return {Problem::BadUserName, 0, where};
    }
    if (clock_() < holdOffUntil_) {
        return {holdOffProblem_, 0, where, "not tried again yet after: " + holdOffReason_};
    }
    const std::int64_t id = nextId_++;
    Exchange ex = exchange(body(id));
    if (ex.problem != Problem::None) {
        return {ex.problem, 0, where, std::move(ex.reason)};
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
        return {Problem::BadReply, 0, where, answer.valid ? "the answer to another request" : "not JSON"};
    }
    if (answer.hasError) {
        const int code = answer.hasErrorCode ? static_cast<int>(answer.errorCode) : 0;
        return {Problem::ButtonRefused, code, where};
    }
    if (!answer.hasResult) {
        return {Problem::BadReply, 0, where, "neither a result nor an error"};
    }
    return {Problem::None, 0, where};
}

Outcome JsonRpc::Press(const KodiButtonRow& button) {
    for (;;) {
        const bool fallback = useExecuteAction_;
        Outcome outcome = call([&](std::int64_t id) {
            return fallback ? ExecuteActionBody(button.action, id) : ButtonEventBody(button.r1Name, id);
        });
        if (outcome.problem == Problem::ButtonRefused && outcome.detail == MethodNotFound && !fallback) {
            useExecuteAction_ = true;
            continue;
        }
        return outcome;
    }
}

Outcome JsonRpc::Notify(const Notification& notification) {
    return call([&](std::int64_t id) { return ShowNotificationBody(notification, id); });
}

} // namespace kodi
