// HttpSendCommand as a sequence of wininet calls, on the recorded in-memory port.
#include "MediaCenter.h"
#include "modInet.h"
#include "platform/sim/SimWinInet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

using platform::SimWinInet;
using Step = SimWinInet::Step;

namespace {

struct Channel {
    SimWinInet wininet;
    std::string ip = "192.168.1.20";
    std::string port = "8080";
    modInet inet{wininet, ip, port};
};

} // namespace

TEST(HttpSendCommand, MakesTheCallsInOrderWithThePlatformsArguments) {
    Channel c;
    c.wininet.setReply({"<html>OK</html>"});
    c.inet.CommandPath = MediaCenter::SendKeyPath("167");
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "<html>OK</html>");

    const std::vector<std::string> expected = {
        "internetOpen",      "internetSetOption",     "internetSetOption",   "internetSetOption",
        "internetConnect",   "httpOpenRequest",       "internetSetOption",   "internetSetOption",
        "internetSetOption", "httpAddRequestHeaders", "httpSendRequest",     "internetReadFile",
        "internetReadFile",  "internetCloseHandle",   "internetCloseHandle", "internetCloseHandle"};
    EXPECT_EQ(c.wininet.calls(), expected);

    ASSERT_EQ(c.wininet.requests().size(), 1u);
    const SimWinInet::Request& r = c.wininet.requests()[0];
    EXPECT_EQ(r.agent, "http generic");
    EXPECT_EQ(r.accessType, 0u);
    EXPECT_EQ(r.server, "192.168.1.20");
    EXPECT_EQ(r.port, 8080);
    EXPECT_EQ(r.service, 3u);
    EXPECT_EQ(r.verb, "POST");
    EXPECT_EQ(r.object, "/xbmcCmds/xbmcHttp?command=SendKey&parameter=167");
    EXPECT_EQ(r.version, "HTTP/1.0");
    EXPECT_EQ(r.flags, 0x80000000u);
    EXPECT_EQ(r.headers, "Content-Type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ(r.headers.size(), 49u);
    EXPECT_EQ(r.headerModifiers, 0xA0000000u);
    EXPECT_EQ(r.body, "0");
}

TEST(HttpSendCommand, ClosesRequestConnectionAndRootInReverseOrder) {
    Channel c;
    c.inet.HttpSendCommand("0");
    const auto& opened = c.wininet.opened();
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(c.wininet.closed(), (std::vector<SimWinInet::Handle>{opened[2], opened[1], opened[0]}));
    EXPECT_EQ(c.wininet.openHandles(), 0u);
}

// Each failing step, the calls that still follow, and that every handle obtained is closed.
TEST(HttpSendCommand, SkipsWhatAFailedStepLeavesNothingToDoFor) {
    struct Row {
        Step failing;
        std::vector<std::string> calls;
        std::size_t sent;
    };
    // The time-outs, set on the root handle and again on the request.
    const std::vector<std::string> timeouts(3, "internetSetOption");
    auto seq = [](std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const std::vector<Row> rows = {
        {Step::Open, {"internetOpen"}, 0},
        {Step::Connect, seq({{"internetOpen"}, timeouts, {"internetConnect", "internetCloseHandle"}}), 0},
        {Step::OpenRequest,
         seq({{"internetOpen"},
              timeouts,
              {"internetConnect", "httpOpenRequest", "internetCloseHandle", "internetCloseHandle"}}),
         0},
        // The header and the send are not examined: the read loop runs whatever they return.
        {Step::AddHeaders,
         seq({{"internetOpen"},
              timeouts,
              {"internetConnect", "httpOpenRequest"},
              timeouts,
              {"httpAddRequestHeaders", "httpSendRequest", "internetReadFile", "internetReadFile",
               "internetCloseHandle", "internetCloseHandle", "internetCloseHandle"}}),
         1},
        {Step::Send,
         seq({{"internetOpen"},
              timeouts,
              {"internetConnect", "httpOpenRequest"},
              timeouts,
              {"httpAddRequestHeaders", "httpSendRequest", "internetReadFile", "internetCloseHandle",
               "internetCloseHandle", "internetCloseHandle"}}),
         0},
        {Step::Read,
         seq({{"internetOpen"},
              timeouts,
              {"internetConnect", "httpOpenRequest"},
              timeouts,
              {"httpAddRequestHeaders", "httpSendRequest", "internetReadFile", "internetCloseHandle",
               "internetCloseHandle", "internetCloseHandle"}}),
         1},
        // Time-outs the platform refuses change nothing else.
        {Step::SetOption,
         seq({{"internetOpen"},
              timeouts,
              {"internetConnect", "httpOpenRequest"},
              timeouts,
              {"httpAddRequestHeaders", "httpSendRequest", "internetReadFile", "internetReadFile",
               "internetCloseHandle", "internetCloseHandle", "internetCloseHandle"}}),
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "failing step " << static_cast<int>(row.failing));
        Channel c;
        c.wininet.setReply({"reply"});
        c.wininet.failStep(row.failing);
        c.inet.CommandPath = MediaCenter::SendKeyPath("11");
        std::string reply = c.inet.HttpSendCommand("0");
        EXPECT_EQ(c.wininet.calls(), row.calls);
        EXPECT_EQ(c.wininet.requests().size(), row.sent);
        EXPECT_EQ(c.wininet.openHandles(), 0u);
        EXPECT_EQ(reply, row.failing == Step::AddHeaders || row.failing == Step::SetOption ? "reply" : "");
    }
}

TEST(HttpSendCommand, TakesThePortTextAsATcpPortOrConnectsNowhere) {
    struct Row {
        const char* text;
        int port; // 0: no connection is attempted
    };
    const std::vector<Row> rows = {
        {"8080", 8080},  {"40000", 40000}, {"65535", 65535}, {"1", 1},     {"80", 80},
        {"08080", 8080}, {"", 0},          {"0", 0},         {"65536", 0}, {"99999999999999999999", 0},
        {"-1", 0},       {"+80", 0},       {" 80", 0},       {"80 ", 0},   {"8o", 0},
        {"0x50", 0},     {"80.0", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "port text \"" << row.text << "\"");
        Channel c;
        c.port = row.text;
        c.wininet.setReply({"reply"});
        std::string reply = c.inet.HttpSendCommand("0");
        if (row.port != 0) {
            ASSERT_EQ(c.wininet.requests().size(), 1u);
            EXPECT_EQ(c.wininet.requests()[0].port, row.port);
            EXPECT_EQ(reply, "reply");
        } else {
            EXPECT_EQ(c.wininet.calls(),
                      (std::vector<std::string>{"internetOpen", "internetSetOption", "internetSetOption",
                                                "internetSetOption", "internetCloseHandle"}));
            EXPECT_TRUE(c.wininet.requests().empty());
            EXPECT_EQ(reply, "");
        }
        EXPECT_EQ(c.wininet.openHandles(), 0u);
    }
}

TEST(HttpSendCommand, ReadsTheFormsHostAndPortAfreshOnEveryCall) {
    Channel c;
    c.inet.HttpSendCommand("0");
    c.ip = "xbmc.local";
    c.port = "40000";
    c.inet.HttpSendCommand("0");
    ASSERT_EQ(c.wininet.requests().size(), 2u);
    EXPECT_EQ(c.wininet.requests()[1].server, "xbmc.local");
    EXPECT_EQ(c.wininet.requests()[1].port, 40000);
}

TEST(HttpSendCommand, ConcatenatesTheReplyFromItsPieces) {
    struct Row {
        std::size_t size;
        std::size_t maxPiece;
    };
    for (Row row : {Row{0, SIZE_MAX}, Row{2047, SIZE_MAX}, Row{2048, SIZE_MAX}, Row{2049, SIZE_MAX},
                    Row{10000, SIZE_MAX}, Row{10000, 7}, Row{5000, 1}}) {
        SCOPED_TRACE(testing::Message() << row.size << " bytes, pieces of at most " << row.maxPiece);
        Channel c;
        std::string body;
        for (std::size_t i = 0; i < row.size; ++i)
            body.push_back(static_cast<char>('A' + (i * 7 + i / 26) % 26));
        c.wininet.setReply({body, row.maxPiece});
        EXPECT_EQ(c.inet.HttpSendCommand("0"), body);
    }
}

TEST(HttpSendCommand, KeepsTheFirstMebibyteAndReadsTheRestToTheEnd) {
    Channel c;
    std::string body(3 * 1024 * 1024 + 123, 'x');
    for (std::size_t i = 0; i < body.size(); i += 4096)
        body[i] = static_cast<char>('a' + (i / 4096) % 26);
    c.wininet.setReply({body});
    std::string reply = c.inet.HttpSendCommand("0");
    EXPECT_EQ(reply.size(), modInet::ReplyLimit);
    EXPECT_TRUE(reply == body.substr(0, modInet::ReplyLimit));
    EXPECT_EQ(c.wininet.bytesDelivered(), body.size());
    EXPECT_EQ(c.wininet.openHandles(), 0u);
}

TEST(HttpSendCommand, SendsTheBodyAsGivenWithItsLength) {
    for (std::string body : {std::string(), std::string("0"), std::string("a=1&b=2"), std::string("x\0y", 3),
                             std::string(70000, 'z')}) {
        SCOPED_TRACE(testing::Message() << "body of " << body.size() << " bytes");
        Channel c;
        c.inet.HttpSendCommand(body);
        ASSERT_EQ(c.wininet.requests().size(), 1u);
        EXPECT_TRUE(c.wininet.requests()[0].body == body);
    }
}

TEST(HttpSendCommand, OpensFreshHandlesForEveryCommand) {
    Channel c;
    c.wininet.failStep(Step::Send);
    c.inet.HttpSendCommand("0");
    c.wininet.failStep(Step::Send, false);
    c.inet.CommandPath = MediaCenter::SendKeyPath("11");
    c.inet.HttpSendCommand("0");
    const auto& opened = c.wininet.opened();
    ASSERT_EQ(opened.size(), 6u);
    EXPECT_EQ(std::set<SimWinInet::Handle>(opened.begin(), opened.end()).size(), 6u);
    ASSERT_EQ(c.wininet.requests().size(), 1u);
    EXPECT_EQ(c.wininet.requests()[0].object, MediaCenter::SendKeyPath("11"));
    EXPECT_EQ(c.wininet.openHandles(), 0u);
}

TEST(HttpSendCommand, TheRequestCarriesTheStatedTimeOuts) {
    Channel c;
    c.inet.HttpSendCommand("0");
    ASSERT_EQ(c.wininet.requests().size(), 1u);
    const std::map<std::uint32_t, std::uint32_t> expected = {
        {SimWinInet::OptionConnectTimeout, 3000},
        {SimWinInet::OptionSendTimeout, 3000},
        {SimWinInet::OptionReceiveTimeout, 3000},
    };
    EXPECT_EQ(c.wininet.requests()[0].options, expected);
}

TEST(HttpSendCommand, ASilentServerCostsOneReceiveTimeOutAndTheNextCommandGoesThrough) {
    Channel c;
    SimWinInet::Reply silent;
    silent.silent = true;
    c.wininet.setReply(silent);
    const auto start = c.wininet.now();
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "");
    EXPECT_EQ(c.wininet.now() - start, std::chrono::milliseconds(3000));
    EXPECT_EQ(c.wininet.openHandles(), 0u);

    c.wininet.setReply({"back"});
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "back");
    EXPECT_EQ(c.wininet.requests().size(), 2u);
}

TEST(HttpSendCommand, AReplyThatNeverEndsIsCutOnceTheReplyTimeIsUp) {
    using namespace std::chrono_literals;
    struct Row {
        std::chrono::milliseconds perRead;
        std::size_t maxPiece;
    };
    for (Row row : {Row{1ms, SIZE_MAX}, Row{7ms, 100}, Row{2500ms, SIZE_MAX}, Row{20000ms, SIZE_MAX}}) {
        SCOPED_TRACE(testing::Message() << row.perRead.count() << " ms a read, at most " << row.maxPiece);
        Channel c;
        c.inet.Now = [&] { return c.wininet.now(); };
        SimWinInet::Reply endless;
        endless.endless = true;
        endless.body = "0123456789";
        endless.perRead = row.perRead;
        endless.maxPiece = row.maxPiece;
        c.wininet.setReply(endless);
        const auto start = c.wininet.now();
        const std::string reply = c.inet.HttpSendCommand("0");
        const auto took = c.wininet.now() - start;
        EXPECT_GE(took, c.inet.Limits.replyTime);
        EXPECT_LT(took, c.inet.Limits.replyTime + row.perRead) << "a read was started after the reply time";
        EXPECT_EQ(reply.size(), std::min(modInet::ReplyLimit, c.wininet.bytesDelivered()));
        EXPECT_EQ(reply.substr(0, 12), "012345678901");
        EXPECT_EQ(c.wininet.openHandles(), 0u);
    }
}
