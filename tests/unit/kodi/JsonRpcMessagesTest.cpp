// The JSON-RPC messages: the request bodies as JSON, and Kodi's answers read for what the program needs,
// including answers a broken or hostile server could send.
#include "kodi/Channel.h"
#include "kodi/JsonRpcMessages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

using namespace kodi;
using nlohmann::json;

TEST(JsonRpcRequest, BodiesAreJsonRpcCallsWithTheirParamsAndId) {
    const struct {
        std::string body;
        const char* expected;
    } cases[] = {
        {ButtonEventBody("down", 1),
         R"({"jsonrpc":"2.0","method":"Input.ButtonEvent","params":{"button":"down","keymap":"R1","holdtime":0},"id":1})"},
        {ExecuteActionBody("skipprevious", 42),
         R"({"jsonrpc":"2.0","method":"Input.ExecuteAction","params":{"action":"skipprevious"},"id":42})"},
        {ShowNotificationBody({"Option code: 1 _ _", false}, 7),
         R"({"jsonrpc":"2.0","method":"GUI.ShowNotification","params":{"title":"Tavrelmond","message":"Option code: 1 _ _","image":"info"},"id":7})"},
        {ShowNotificationBody({"a \"quoted\" \\ line\n", true}, 8),
         R"({"jsonrpc":"2.0","method":"GUI.ShowNotification","params":{"title":"Tavrelmond","message":"a \"quoted\" \\ line\n","image":"warning"},"id":8})"},
        {PingBody(3), R"({"jsonrpc":"2.0","method":"JSONRPC.Ping","id":3})"},
        {NameAndVersionBody(4),
         R"({"jsonrpc":"2.0","method":"Application.GetProperties","params":{"properties":["name","version"]},"id":4})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(json::parse(c.body, nullptr, false), json::parse(c.expected, nullptr, false));
        EXPECT_EQ(c.body.find_first_of("\r\n"), std::string::npos) << "one line";
    }
    // A text that is not UTF-8 still makes a JSON body (never an exception).
    EXPECT_TRUE(json::accept(ShowNotificationBody({"bad \xff byte"}, 9)));
}

TEST(JsonRpcAnswer, AnswersAreReadForIdResultAndErrorCode) {
    const struct {
        const char* text;
        bool valid;
        std::int64_t id; // -1000: no integer id
        bool hasResult;
        const char* resultText;
        bool hasError;
        std::int64_t errorCode; // 0: none
    } cases[] = {
        {R"({"id":1,"jsonrpc":"2.0","result":"OK"})", true, 1, true, "OK", false, 0},
        {" {\n\t\"result\" : \"OK\" , \"id\" : 77 }\r\n", true, 77, true, "OK", false, 0},
        {R"({"error":{"code":-32601,"message":"Method not found."},"id":2,"jsonrpc":"2.0"})", true, 2, false,
         "", true, -32601},
        {R"({"error":{"message":"x","data":{"stack":[1,2,{"a":null}]},"code":-32602},"id":3})", true, 3,
         false, "", true, -32602},
        {R"({"result":{"nested":["OK",true,false,null,-1.5e3]},"id":4})", true, 4, true, "", false, 0},
        {R"({"result":"O\u004b\"\\\/","id":5})", true, 5, true, "OK\"\\/", false, 0},
        {R"({"result":"OK","id":"5"})", true, -1000, true, "OK", false, 0}, // a string id is no integer id
        {R"({"result":"OK","id":9223372036854775807})", true, 9223372036854775807, true, "OK", false, 0},
        {R"({"result":"OK","id":99999999999999999999})", true, -1000, true, "OK", false, 0},
        {R"({"result":"OK","id":1.0})", true, -1000, true, "OK", false, 0},
        {R"({"result":"OK","id":1} trailing)", false, 1, true, "OK", false, 0},
        {R"({"result":"OK","id":1)", false, 1, true, "OK", false, 0},
        {R"({"result":"OK" "id":1})", false, -1000, true, "OK", false, 0},
        {R"({"result":"unterminated)", false, -1000, true, "", false, 0},
        {"{\"result\":\"control\x01char\",\"id\":1}", false, -1000, true, "", false, 0},
        {R"({"result":tru,"id":1})", false, -1000, true, "", false, 0},
        {R"({"result":01,"id":1})", false, -1000, true, "", false, 0},
        {R"(["OK"])", false, -1000, false, "", false, 0},
        {"", false, -1000, false, "", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const JsonRpcAnswer a = ReadJsonRpcAnswer(c.text);
        EXPECT_EQ(a.valid, c.valid);
        if (!c.valid) {
            continue;
        }
        EXPECT_EQ(a.hasId, c.id != -1000);
        if (a.hasId) {
            EXPECT_EQ(a.id, c.id);
        }
        EXPECT_EQ(a.hasResult, c.hasResult);
        EXPECT_EQ(a.resultText, c.resultText);
        EXPECT_EQ(a.hasError, c.hasError);
        EXPECT_EQ(a.hasErrorCode, c.errorCode != 0);
        if (a.hasErrorCode) {
            EXPECT_EQ(a.errorCode, c.errorCode);
        }
    }
}

TEST(JsonRpcAnswer, DeepNestingIsReadWithoutRecursingThroughTheStack) {
    // The bound on a reply's length (64 KiB) leaves room for some 30000 levels; read and thrown away without
    // a call per level, or this would overflow the stack.
    const std::string deep =
        R"({"result":)" + std::string(100000, '[') + std::string(100000, ']') + R"(,"id":1})";
    const JsonRpcAnswer answer = ReadJsonRpcAnswer(deep);
    EXPECT_TRUE(answer.valid);
    EXPECT_EQ(answer.id, 1);
    EXPECT_FALSE(ReadJsonRpcAnswer(std::string(100000, '[')).valid);
}

TEST(JsonRpcAnswer, KodisNameAndVersionAreReadFromItsProperties) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {R"({"id":2,"jsonrpc":"2.0","result":{"name":"Kodi","version":{"major":20,"minor":1,"revision":"x","tag":"stable"}}})",
         "Kodi 20.1"},
        {R"({"result":{"version":{"major":21,"minor":0}}})", "21.0"},
        {R"({"result":{"name":"Kodi"}})", "Kodi"},
        {R"({"result":{"name":"Kodi","version":{"major":-1,"minor":2}}})", "Kodi"},
        {R"({"result":{"name":"Kodi","version":{"major":"20","minor":1}}})", "Kodi"},
        {R"({"result":{"name":42}})", ""},
        {R"({"result":"OK"})", ""},
        {R"({"error":{"code":-32601}})", ""},
        {"not json", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadNameAndVersion(c.text), c.expected);
    }
    EXPECT_EQ(ReadNameAndVersion(R"({"result":{"name":")" + std::string(41, 'n') + R"("}})"), "")
        << "a name longer than any Kodi's is left out";
}
