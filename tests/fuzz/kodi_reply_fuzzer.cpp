// libFuzzer target: Kodi's answers as a hostile or broken server could send them, and the texts the program
// writes into its requests. The input, cut at the channel's reply bound, is read as a JSON-RPC answer and as
// the answer with Kodi's name and version: nothing may crash, overrun or leak, and what is read stays within
// its bounds. It is also written into a notification's request, which must be JSON that reads back whole.
#include "kodi/Channel.h"
#include "kodi/JsonRpc.h"
#include "kodi/JsonRpcMessages.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data),
                                size < kodi::JsonRpc::MaxReply ? size : kodi::JsonRpc::MaxReply);

    const kodi::JsonRpcAnswer answer = kodi::ReadJsonRpcAnswer(text);
    if (!answer.valid && (answer.hasId || answer.hasResult || answer.hasError)) {
        std::abort(); // nothing is taken from a text that is not a JSON object
    }
    if (answer.resultText.size() > text.size()) {
        std::abort();
    }
    // "Kodi 20.1": a name of 40 bytes at most and two numbers of 20 digits at most.
    if (kodi::ReadNameAndVersion(text).size() > 40 + 1 + 20 + 1 + 20) {
        std::abort();
    }

    const std::string body = kodi::ShowNotificationBody({std::string(text), false}, 1);
    const nlohmann::json written = nlohmann::json::parse(body, nullptr, false);
    if (!written.is_object() || !written["params"]["message"].is_string()) {
        std::abort();
    }
    // Valid UTF-8 comes back unchanged (anything else with replacement characters).
    if (nlohmann::json::accept("\"" + std::string(text) + "\"") &&
        std::string(text).find_first_of("\"\\") == std::string::npos &&
        written["params"]["message"].get<std::string>() != text) {
        std::abort();
    }
    return 0;
}
