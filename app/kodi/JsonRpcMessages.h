// The JSON-RPC 2.0 messages the program exchanges with Kodi's web server, written and read with
// nlohmann/json: the request bodies, what the program needs from an answer (its id, its result, the code of
// its error), and Kodi's name and version from Application.GetProperties. A text that is not well-formed JSON
// is never taken for an answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kodi {

struct Notification;

std::string ButtonEventBody(std::string_view r1Name, std::int64_t id);
std::string ExecuteActionBody(std::string_view action, std::int64_t id);
std::string ShowNotificationBody(const Notification& notification, std::int64_t id);
std::string PingBody(std::int64_t id);
// Application.GetProperties for Kodi's name and version.
std::string NameAndVersionBody(std::int64_t id);

struct JsonRpcAnswer {
    bool valid = false; // a well-formed JSON object
    bool hasId = false; // an integer id
    std::int64_t id = 0;
    bool hasResult = false;
    std::string resultText; // the result, when it is a string
    bool hasError = false;
    bool hasErrorCode = false;
    std::int64_t errorCode = 0;
};

JsonRpcAnswer ReadJsonRpcAnswer(std::string_view text);

// "Kodi 20.1" (name, major and minor version) from the answer to NameAndVersionBody; empty when the answer
// has neither.
std::string ReadNameAndVersion(std::string_view text);

} // namespace kodi
