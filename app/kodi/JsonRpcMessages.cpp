#include "kodi/JsonRpcMessages.h"

#include "kodi/Channel.h"
#include "kodi/Kodi.h"

#include <nlohmann/json.hpp>

namespace kodi {

namespace {

using nlohmann::json;

std::string request(std::string_view method, json params, std::int64_t id) {
    json body = {{"jsonrpc", "2.0"}, {"method", method}, {"id", id}};
    if (!params.is_null()) {
        body["params"] = std::move(params);
    }
    // Texts that are not UTF-8 are written with replacement characters rather than refused.
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The parsed text, or a discarded value when it is not JSON. Never throws.
json parse(std::string_view text) {
    return json::parse(text.begin(), text.end(), nullptr, false);
}

} // namespace

std::string ButtonEventBody(std::string_view r1Name, std::int64_t id) {
    return request("Input.ButtonEvent", {{"button", r1Name}, {"keymap", RemoteKeymap}, {"holdtime", 0}}, id);
}

std::string ExecuteActionBody(std::string_view action, std::int64_t id) {
    return request("Input.ExecuteAction", {{"action", action}}, id);
}

std::string ShowNotificationBody(const Notification& notification, std::int64_t id) {
    return request("GUI.ShowNotification",
                   {{"title", NotificationTitle},
                    {"message", notification.message},
                    {"image", notification.warning ? "warning" : "info"}},
                   id);
}

std::string PingBody(std::int64_t id) {
    return request("JSONRPC.Ping", nullptr, id);
}

std::string NameAndVersionBody(std::int64_t id) {
    return request("Application.GetProperties", {{"properties", json::array({"name", "version"})}}, id);
}

JsonRpcAnswer ReadJsonRpcAnswer(std::string_view text) {
    JsonRpcAnswer answer;
    const json value = parse(text);
    if (!value.is_object()) {
        return answer;
    }
    answer.valid = true;
    if (const auto id = value.find("id"); id != value.end() && id->is_number_integer()) {
        answer.hasId = true;
        answer.id = id->get<std::int64_t>();
    }
    if (const auto result = value.find("result"); result != value.end()) {
        answer.hasResult = true;
        if (result->is_string()) {
            answer.resultText = result->get<std::string>();
        }
    }
    if (const auto error = value.find("error"); error != value.end()) {
        answer.hasError = true;
        if (error->is_object()) {
            if (const auto code = error->find("code"); code != error->end() && code->is_number_integer()) {
                answer.hasErrorCode = true;
                answer.errorCode = code->get<std::int64_t>();
            }
        }
    }
    return answer;
}

std::string ReadNameAndVersion(std::string_view text) {
    const json value = parse(text);
    if (!value.is_object()) {
        return "";
    }
    const auto result = value.find("result");
    if (result == value.end() || !result->is_object()) {
        return "";
    }
    std::string out;
    // A name longer than any Kodi's is left out rather than cut in the middle of a character.
    if (const auto name = result->find("name"); name != result->end() && name->is_string()) {
        if (const auto& text = name->get_ref<const std::string&>(); text.size() <= 40) {
            out = text;
        }
    }
    if (const auto version = result->find("version"); version != result->end() && version->is_object()) {
        const auto major = version->find("major");
        const auto minor = version->find("minor");
        if (major != version->end() && major->is_number_unsigned() && minor != version->end() &&
            minor->is_number_unsigned()) {
            out += (out.empty() ? "" : " ") + std::to_string(major->get<std::uint64_t>()) + "." +
                   std::to_string(minor->get<std::uint64_t>());
        }
    }
    return out;
}

} // namespace kodi
