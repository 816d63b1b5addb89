// The JSON-RPC channel over real TCP on loopback (the posix sockets adapter), against a raw stand-in for
// Kodi's web server: one connection for many presses, a connection Kodi drops, credentials refused, a silent
// server, a Kodi that is not there, and the fallback for a Kodi without Input.ButtonEvent.
#include "LoopbackPeers.h"
#include "kodi/JsonRpc.h"
#include "platform/posix/PosixSockets.h"

#include <gtest/gtest.h>

using namespace kodi;
using namespace std::chrono_literals;
using loopback::bodyOf;
using loopback::httpReply;
using loopback::Reply;
using loopback::TcpStandIn;

namespace {

class JsonRpcTest : public ::testing::Test {
  protected:
    platform::PosixSockets sockets;
    JsonRpc channel{&sockets, JsonRpc::Timeouts{500ms, 500ms}};
    TcpStandIn kodi;

    Outcome press(const char* code, const std::string& user = "kodi",
                  const std::string& password = "secret") {
        return channel.Press(*FindKodiButton(code), "127.0.0.1", kodi.portText(), user, password);
    }
};

} // namespace

TEST_F(JsonRpcTest, PressesShareOneKeepAliveConnection) {
    for (const char* code : {"167", "167", "166", "11"}) {
        const Outcome outcome = press(code);
        EXPECT_TRUE(outcome.ok()) << StatusText(outcome);
    }
    EXPECT_EQ(kodi.connections(), 1);
    EXPECT_EQ(channel.ConnectionsOpened(), 1);
    const auto requests = kodi.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], JsonRpcRequest({"127.0.0.1", kodi.port()},
                                          "Basic a29kaTpzZWNyZXQ=", ButtonEventBody("down", 1)));
    EXPECT_EQ(bodyOf(requests[3]), ButtonEventBody("select", 4));
}

TEST_F(JsonRpcTest, AConnectionKodiDroppedIsOpenedAgainAndThePressStillGoesThrough) {
    // Kodi answers and then closes; the channel notices before the next request.
    kodi.script({Reply::Kind::SendAndClose, httpReply(200, loopback::OkAnswer)});
    EXPECT_TRUE(press("167").ok());
    EXPECT_TRUE(press("167").ok());
    EXPECT_EQ(kodi.connections(), 2);

    // Kodi closes the idle connection just as the request goes out: the request is sent again, once, on a
    // fresh connection.
    kodi.script({Reply::Kind::CloseUnread});
    const Outcome outcome = press("166");
    EXPECT_TRUE(outcome.ok()) << StatusText(outcome);
    EXPECT_EQ(kodi.connections(), 3);
    const auto requests = kodi.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(bodyOf(requests[2]), bodyOf(requests[3])) << "the same request, sent again";
}

TEST_F(JsonRpcTest, RefusedCredentialsAreReportedAndNotRetried) {
    kodi.setFallback({Reply::Kind::Send, httpReply(401, "", "WWW-Authenticate: Basic realm=\"Kodi\"\r\n")});
    const Outcome outcome = press("167", "kodi", "wrong");
    EXPECT_EQ(outcome.problem, Problem::BadCredentials);
    EXPECT_EQ(StatusText(outcome), "Kodi refused the user name or password");
    EXPECT_EQ(kodi.requests().size(), 1u);
    EXPECT_NE(kodi.requests()[0].find("Authorization: Basic a29kaTp3cm9uZw==\r\n"), std::string::npos);
    EXPECT_FALSE(channel.UsesExecuteAction());
}

TEST_F(JsonRpcTest, ASilentKodiCostsOneBoundedWaitAndTheNextPressUsesAFreshConnection) {
    kodi.script({Reply::Kind::Silent});
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = press("167");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(outcome.problem, Problem::NotAnswering);
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 5s) << "bounded by the reply time-out, with room for a loaded machine";
    EXPECT_EQ(kodi.requests().size(), 1u) << "a request that got no answer is not sent twice";

    // A late answer on the old connection can never be taken for the next press's.
    EXPECT_TRUE(press("166").ok());
    EXPECT_EQ(kodi.connections(), 2);
}

TEST_F(JsonRpcTest, AReplyDrippedSlowerThanTheReplyTimeIsCutThere) {
    // Every byte comes well within the reply time-out, but the whole reply (about 7 s at the stand-in's pace)
    // would take far longer: the reply time bounds the exchange, not each read.
    kodi.script({Reply::Kind::Drip,
                 httpReply(200, loopback::OkAnswer, "X-Padding: " + std::string(250, 'p') + "\r\n")});
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = press("167");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(outcome.problem, Problem::NotAnswering) << StatusText(outcome);
    EXPECT_LT(waited, 5s) << "bounded by the reply time-out, with room for a loaded machine";

    // The half-read reply goes with its connection.
    EXPECT_TRUE(press("166").ok());
    EXPECT_EQ(kodi.connections(), 2);
}

TEST_F(JsonRpcTest, NothingListeningIsReportedAtOnce) {
    std::uint16_t port = 0;
    {
        TcpStandIn gone;
        port = gone.port();
    }
    const Outcome outcome = channel.Press(*FindKodiButton("167"), "127.0.0.1", std::to_string(port), "", "");
    EXPECT_EQ(outcome.problem, Problem::NotAnswering);
    EXPECT_EQ(StatusText(outcome), "Kodi does not answer at 127.0.0.1:" + std::to_string(port));
}

TEST(JsonRpcHoldOff, AHostThatLetAConnectTimeOutIsNotTriedAgainForAWhile) {
    // A listener that accepts nothing and whose queue is full: a connection attempt gets no answer at all,
    // as with a machine that is off.
    TcpStandIn kodi(0);
    kodi.pauseAccepting(true);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback::address(kodi.port());
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    auto now = std::chrono::steady_clock::time_point() + 1000h;
    platform::PosixSockets sockets;
    JsonRpc channel(&sockets, {300ms, 300ms}, [&] { return now; });
    const auto press = [&] {
        return channel.Press(*FindKodiButton("167"), "127.0.0.1", kodi.portText(), "", "");
    };
    EXPECT_EQ(press().problem, Problem::NotAnswering);
    EXPECT_EQ(channel.ConnectionsOpened(), 0);

    // The host answers again, but within the hold-off no attempt is made.
    ::close(filler);
    kodi.pauseAccepting(false);
    ASSERT_TRUE(kodi.waitForConnections(1, 5s)) << "the queue is free again";
    now += JsonRpc::HoldOff - 1s;
    EXPECT_EQ(press().problem, Problem::NotAnswering);
    EXPECT_TRUE(kodi.requests().empty());

    now += 1s;
    const Outcome outcome = press();
    EXPECT_TRUE(outcome.ok()) << StatusText(outcome);
    EXPECT_EQ(kodi.requests().size(), 1u);
}

TEST(JsonRpcHoldOff, AnUnknownHostNameIsNotLookedUpAgainForAWhile) {
    auto now = std::chrono::steady_clock::time_point() + 1000h;
    loopback::CountingSockets sockets;
    JsonRpc channel(&sockets, {300ms, 300ms}, [&] { return now; });
    const auto press = [&] {
        return channel.Press(*FindKodiButton("167"), "no-such-host.invalid", "8080", "", "").problem;
    };
    EXPECT_EQ(press(), Problem::NoSuchHost);
    now += JsonRpc::HoldOff - 1s;
    EXPECT_EQ(press(), Problem::NoSuchHost) << "the same outcome, at once";
    EXPECT_EQ(sockets.opens, 1);
    now += 1s;
    EXPECT_EQ(press(), Problem::NoSuchHost);
    EXPECT_EQ(sockets.opens, 2);
}

TEST_F(JsonRpcTest, AKodiWithoutButtonEventIsSentTheButtonsActionFromThenOn) {
    kodi.script(
        {Reply::Kind::Send,
         httpReply(200,
                   R"({"error":{"code":-32601,"message":"Method not found."},"id":{id},"jsonrpc":"2.0"})")});
    EXPECT_TRUE(press("221").ok());
    EXPECT_TRUE(channel.UsesExecuteAction());
    EXPECT_TRUE(press("234").ok());
    const auto requests = kodi.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(bodyOf(requests[0]), ButtonEventBody("skipminus", 1));
    EXPECT_EQ(bodyOf(requests[1]), ExecuteActionBody("skipprevious", 2));
    EXPECT_EQ(bodyOf(requests[2]), ExecuteActionBody("playpause", 3));
}

TEST_F(JsonRpcTest, AnswersThatAreNotOkSayWhy) {
    const struct {
        const char* name;
        Reply reply;
        Problem problem;
        int detail;
    } cases[] = {
        {"invalid params",
         {Reply::Kind::Send,
          httpReply(200, R"({"error":{"code":-32602,"message":"Invalid params."},"id":{id}})")},
         Problem::ButtonRefused,
         -32602},
        {"no web server of Kodi's",
         {Reply::Kind::Send, httpReply(404, "not here")},
         Problem::HttpStatus,
         404},
        {"an answer to another request",
         {Reply::Kind::Send, httpReply(200, R"({"id":999,"result":"OK"})")},
         Problem::BadReply,
         0},
        {"not JSON", {Reply::Kind::Send, httpReply(200, "<html>OK</html>")}, Problem::BadReply, 0},
        {"neither result nor error",
         {Reply::Kind::Send, httpReply(200, R"({"id":{id}})")},
         Problem::BadReply,
         0},
        {"not HTTP", {Reply::Kind::Send, "garbage\r\n\r\n"}, Problem::BadReply, 0},
        {"cut short",
         {Reply::Kind::SendAndClose, "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"id\""},
         Problem::BadReply,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kodi.script(c.reply);
        const Outcome outcome = press("167");
        EXPECT_EQ(outcome.problem, c.problem);
        EXPECT_EQ(outcome.detail, c.detail);
        EXPECT_FALSE(StatusText(outcome).empty());
        // Whatever came before, the next press goes through.
        EXPECT_TRUE(press("167").ok());
    }
}

TEST_F(JsonRpcTest, BadConfigurationIsReportedWithoutConnecting) {
    EXPECT_EQ(channel.Press(*FindKodiButton("167"), "127.0.0.1", "80a", "", "").problem, Problem::BadPort);
    EXPECT_EQ(press("167", "ko:di", "pw").problem, Problem::BadUserName);
    EXPECT_EQ(channel.Press(*FindKodiButton("167"), "no-such-host.invalid", "8080", "", "").problem,
              Problem::NoSuchHost);
    JsonRpc offline(nullptr);
    EXPECT_EQ(offline.Press(*FindKodiButton("167"), "127.0.0.1", kodi.portText(), "", "").problem,
              Problem::NoNetwork);
    EXPECT_EQ(kodi.connections(), 0);
}
