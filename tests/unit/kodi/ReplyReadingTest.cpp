// Reading Kodi's answers: the HTTP reply around them and the JSON-RPC answer inside, including replies a
// broken or hostile server could send.
#include "kodi/HttpReply.h"
#include "kodi/JsonReply.h"

#include <gtest/gtest.h>

#include <string>

using namespace kodi;
using State = HttpReply::State;

namespace {

// Feeds the whole text at once, then byte by byte into a second reader; both must agree.
HttpReply readWhole(const std::string& text, bool closeAfter, State* byteByByte = nullptr) {
    HttpReply reply;
    reply.feed(text.data(), text.size());
    if (closeAfter && reply.state() == State::Incomplete) {
        reply.endOfStream();
    }
    HttpReply slow;
    for (char c : text) {
        slow.feed(&c, 1);
    }
    if (closeAfter && slow.state() == State::Incomplete) {
        slow.endOfStream();
    }
    if (byteByByte != nullptr) {
        *byteByByte = slow.state();
    }
    if (slow.state() == State::Complete) {
        EXPECT_EQ(slow.body(), reply.body());
        EXPECT_EQ(slow.status(), reply.status());
    }
    return reply;
}

} // namespace

TEST(HttpReply, RepliesAreReadWholeHoweverTheyArrive) {
    const struct {
        const char* name;
        std::string text;
        bool closeAfter; // the server ends the connection after the text
        State state;
        int status;
        std::string body;
        bool keepAlive;
    } cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, State::Complete, 200, "hello",
         true},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2;x=y\r\nlo\r\n0\r\nT: 1\r\n\r\n",
         false, State::Complete, 200, "hello", true},
        {"upper-case hex chunk",
         "HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n", false,
         State::Complete, 200, "0123456789", true},
        {"to the close", "HTTP/1.1 200 OK\r\n\r\nhello", true, State::Complete, 200, "hello", false},
        {"HTTP/1.0 closes", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, State::Complete, 200,
         "ok", false},
        {"HTTP/1.0 keep-alive", "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok",
         false, State::Complete, 200, "ok", true},
        {"Connection: close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", false,
         State::Complete, 200, "ok", false},
        {"401 with a body",
         "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Kodi\"\r\nContent-Length: "
         "3\r\n\r\nno!",
         false, State::Complete, 401, "no!", true},
        {"interim 100 first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
         false, State::Complete, 200, "x", true},
        {"204 has no body", "HTTP/1.1 204 No Content\r\n\r\n", false, State::Complete, 204, "", true},
        {"bytes after the reply", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nxHTTP/1.1 200", false,
         State::Complete, 200, "x", false},
        {"cut in the body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", true, State::Bad, 200, "",
         false},
        {"cut in the head", "HTTP/1.1 200 OK\r\nContent-Len", true, State::Bad, 0, "", false},
        {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n\r\n", false, State::Bad, 0, "", false},
        {"status not a number", "HTTP/1.1 2x0 OK\r\n\r\n", false, State::Bad, 0, "", false},
        {"header without a colon", "HTTP/1.1 200 OK\r\nbroken\r\n\r\n", false, State::Bad, 200, "", false},
        {"length not a number", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, State::Bad, 200, "",
         false},
        {"two lengths that differ", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
         false, State::Bad, 200, "", false},
        {"length past the bound", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", false,
         State::Bad, 200, "", false},
        {"gzip coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", false, State::Bad, 200, "",
         false},
        {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
         State::Bad, 200, "", false},
        {"chunk size huge", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFF\r\n",
         false, State::Bad, 200, "", false},
        {"chunk size past eight digits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n", false, State::Bad, 200,
         "", false},
        {"chunk without its CR LF", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nxyz", false,
         State::Bad, 200, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        State slow = State::Incomplete;
        const HttpReply reply = readWhole(c.text, c.closeAfter, &slow);
        EXPECT_EQ(reply.state(), c.state);
        EXPECT_EQ(slow, c.state);
        if (c.state == State::Complete) {
            EXPECT_EQ(reply.status(), c.status);
            EXPECT_EQ(reply.body(), c.body);
            EXPECT_EQ(reply.keepAlive(), c.keepAlive);
        }
    }
}

TEST(HttpReply, SizesAreBounded) {
    // A head that never ends.
    HttpReply head;
    const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    std::string text = "HTTP/1.1 200 OK\r\n";
    head.feed(text.data(), text.size());
    for (int i = 0; i < 40 && head.state() == State::Incomplete; ++i) {
        head.feed(line.data(), line.size());
    }
    EXPECT_EQ(head.state(), State::Bad);

    // A body that runs to the close but past the bound.
    HttpReply endless;
    text = "HTTP/1.1 200 OK\r\n\r\n";
    endless.feed(text.data(), text.size());
    const std::string piece(4096, 'b');
    for (int i = 0; i < 40 && endless.state() == State::Incomplete; ++i) {
        endless.feed(piece.data(), piece.size());
    }
    EXPECT_EQ(endless.state(), State::Bad);

    // Chunks that add up past the bound, each within it.
    HttpReply chunks;
    text = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    chunks.feed(text.data(), text.size());
    const std::string chunk = "1000\r\n" + piece + "\r\n";
    for (int i = 0; i < 40 && chunks.state() == State::Incomplete; ++i) {
        chunks.feed(chunk.data(), chunk.size());
    }
    EXPECT_EQ(chunks.state(), State::Bad);

    // Exactly at the bound is still read.
    HttpReply full;
    text = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(HttpReply::MaxBody) + "\r\n\r\n" +
           std::string(HttpReply::MaxBody, 'c');
    full.feed(text.data(), text.size());
    EXPECT_EQ(full.state(), State::Complete);
    EXPECT_EQ(full.body().size(), HttpReply::MaxBody);
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
        {R"({"result":"O\u004b\"\\\/","id":5})", true, 5, true, "O?\"\\/", false, 0},
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

TEST(JsonRpcAnswer, DeepNestingIsRefusedNotRecursedWithoutEnd) {
    const std::string deep =
        R"({"result":)" + std::string(100000, '[') + std::string(100000, ']') + R"(,"id":1})";
    EXPECT_FALSE(ReadJsonRpcAnswer(deep).valid);
    const std::string fine = R"({"result":)" + std::string(50, '[') + std::string(50, ']') + R"(,"id":1})";
    EXPECT_TRUE(ReadJsonRpcAnswer(fine).valid);
}
