// What the program needs from a JSON-RPC 2.0 answer: its id, whether it carries a result (and the result when
// it is a string, such as "OK"), and the code of its error. The reader walks the whole text, so an answer
// that is not well-formed JSON is not taken; nesting is bounded, so a hostile answer cannot exhaust the
// stack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kodi {

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

} // namespace kodi
