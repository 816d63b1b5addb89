// The JSON-RPC channel over real HTTP on loopback (the libcurl adapter of the HTTP client port), against a
// raw stand-in for Kodi's web server: one connection for many presses, a connection Kodi drops, credentials
// (UTF-8 bytes in Basic authentication) and their refusal, a silent server, a Kodi that is not there, replies
// too long or broken, the fallback for a Kodi without Input.ButtonEvent, and notifications.
#include "LoopbackPeers.h"
#include "kodi/JsonRpc.h"
#include "kodi/JsonRpcMessages.h"
#include "platform/posix/CurlHttpClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kodi;
using namespace std::chrono_literals;
using loopback::bodyOf;
using loopback::headerOf;
using loopback::httpReply;
using loopback::Reply;
using loopback::TcpStandIn;

namespace {

class JsonRpcTest : public ::testing::Test {
  protected:
    platform::CurlHttpClient http;
    JsonRpc channel{&http, JsonRpc::Timeouts{500ms, 500ms}};
    TcpStandIn kodi;

    void SetUp() override { configure("kodi", "secret"); }
    void configure(const std::string& user, const std::string& password) {
        channel.Configure({ModeJsonRpc, "127.0.0.1", kodi.portText(), user, password});
    }
    Outcome press(const char* code) { return channel.Press(*FindKodiButton(code)); }
};

nlohmann::json parsed(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

} // namespace

TEST_F(JsonRpcTest, PressesShareOneKeepAliveConnection) {
    for (const char* code : {"167", "167", "166", "11"}) {
        const Outcome outcome = press(code);
        EXPECT_TRUE(outcome.ok()) << StatusText(outcome) << " " << outcome.reason;
    }
    EXPECT_EQ(kodi.connections(), 1);
    const auto requests = kodi.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "POST /jsonrpc HTTP/1.1");
    EXPECT_EQ(headerOf(requests[0], "Content-Type"), "application/json");
    EXPECT_EQ(headerOf(requests[0], "Authorization"), "Basic a29kaTpzZWNyZXQ=");
    EXPECT_EQ(parsed(bodyOf(requests[0])), parsed(ButtonEventBody("down", 1)));
    EXPECT_EQ(parsed(bodyOf(requests[3])), parsed(ButtonEventBody("select", 4)));
}

TEST_F(JsonRpcTest, CredentialsGoAsTheBase64OfTheirUtf8Bytes) {
    const struct {
        const char* user;
        const char* password;
        const char* header; // "" : none sent
    } cases[] = {
        {"kodi", "", "Basic a29kaTo="},
        {"", "pw", "Basic OnB3"},
        {"", "", ""},
        {"kodi", "a:b", "Basic a29kaTphOmI="}, // only the first colon separates
        {"k\xc3\xb6"
         "di",
         "p\xc3\xa4ss\xe2\x82\xac", "Basic a8O2ZGk6cMOkc3Pigqw="}, // "ködi", "päss€" in UTF-8
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.user) + " / " + c.password);
        const auto before = kodi.requests().size();
        configure(c.user, c.password);
        ASSERT_TRUE(press("167").ok());
        const auto requests = kodi.requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(headerOf(requests.back(), "Authorization"), c.header);
    }
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
    EXPECT_TRUE(outcome.ok()) << StatusText(outcome) << " " << outcome.reason;
    EXPECT_EQ(kodi.connections(), 3);
    const auto requests = kodi.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(bodyOf(requests[2]), bodyOf(requests[3])) << "the same request, sent again";
}

TEST_F(JsonRpcTest, ARequestKodiDropsEveryTimeIsSentTwiceNotMore) {
    ASSERT_TRUE(press("167").ok()); // a kept connection
    kodi.setFallback({Reply::Kind::CloseUnread});
    const Outcome outcome = press("166");
    EXPECT_EQ(outcome.problem, Problem::NotAnswering) << outcome.reason;
    EXPECT_EQ(kodi.requests().size(), 3u) << "the first press, and the second sent twice";
}

TEST_F(JsonRpcTest, RefusedCredentialsAreReportedAndNotRetried) {
    kodi.setFallback({Reply::Kind::Send, httpReply(401, "", "WWW-Authenticate: Basic realm=\"Kodi\"\r\n")});
    configure("kodi", "wrong");
    const Outcome outcome = press("167");
    EXPECT_EQ(outcome.problem, Problem::BadCredentials);
    EXPECT_EQ(StatusText(outcome), "Kodi refused the user name or password");
    ASSERT_EQ(kodi.requests().size(), 1u);
    EXPECT_EQ(headerOf(kodi.requests()[0], "Authorization"), "Basic a29kaTp3cm9uZw==");
    EXPECT_FALSE(channel.UsesExecuteAction());
}

TEST_F(JsonRpcTest, ASilentKodiCostsOneBoundedWaitAndTheNextPressUsesAFreshConnection) {
    kodi.script({Reply::Kind::Silent});
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = press("167");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(outcome.problem, Problem::NotAnswering);
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 5s) << "bounded by the time-outs, with room for a loaded machine";
    EXPECT_EQ(kodi.requests().size(), 1u) << "a request that got no answer is not sent twice";

    // A late answer on the old connection can never be taken for the next press's.
    EXPECT_TRUE(press("166").ok());
    EXPECT_EQ(kodi.connections(), 2);
}

TEST_F(JsonRpcTest, AReplyDrippedSlowerThanTheReplyTimeIsCutThere) {
    // Every byte comes well within the reply time-out, but the whole reply (about 7 s at the stand-in's pace)
    // would take far longer: the time-outs bound the exchange, not each read.
    kodi.script({Reply::Kind::Drip,
                 httpReply(200, loopback::OkAnswer, "X-Padding: " + std::string(250, 'p') + "\r\n")});
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = press("167");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(outcome.problem, Problem::NotAnswering) << StatusText(outcome);
    EXPECT_LT(waited, 5s) << "bounded by the time-outs, with room for a loaded machine";

    // The half-read reply goes with its connection.
    EXPECT_TRUE(press("166").ok());
    EXPECT_EQ(kodi.connections(), 2);
}

TEST(JsonRpcNotThere, ARefusalIsToldAndPressesWithinTheShortHoldOffCostNothing) {
    std::uint16_t port = 0;
    {
        TcpStandIn gone;
        port = gone.port();
    }
    auto now = std::chrono::steady_clock::time_point() + 1000h;
    loopback::CountingHttp http;
    JsonRpc channel(&http, {500ms, 500ms}, [&] { return now; });
    channel.Configure({ModeJsonRpc, "127.0.0.1", std::to_string(port), "", ""});
    const auto press = [&] { return channel.Press(*FindKodiButton("167")); };
    const Outcome outcome = press();
    EXPECT_EQ(outcome.problem, Problem::NotAnswering);
    EXPECT_EQ(StatusText(outcome), "Kodi does not answer at 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(outcome.reason, "connection refused");
    EXPECT_EQ(http.posts, 1);

    now += JsonRpc::RefusedHoldOff - 1s;
    EXPECT_EQ(press().problem, Problem::NotAnswering);
    EXPECT_EQ(http.posts, 1) << "no attempt within the hold-off";
    now += 1s;
    press();
    EXPECT_EQ(http.posts, 2);
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
    platform::CurlHttpClient http;
    JsonRpc channel(&http, {300ms, 300ms}, [&] { return now; });
    channel.Configure({ModeJsonRpc, "127.0.0.1", kodi.portText(), "", ""});
    const auto press = [&] { return channel.Press(*FindKodiButton("167")); };
    const Outcome first = press();
    EXPECT_EQ(first.problem, Problem::NotAnswering);
    EXPECT_EQ(first.reason, "no connection within 300 ms");

    // The host answers again, but within the hold-off no attempt is made.
    ::close(filler);
    kodi.pauseAccepting(false);
    ASSERT_TRUE(kodi.waitForConnections(1, 5s)) << "the queue is free again";
    now += JsonRpc::HoldOff - 1s;
    EXPECT_EQ(press().problem, Problem::NotAnswering);
    EXPECT_TRUE(kodi.requests().empty());

    now += 1s;
    const Outcome outcome = press();
    EXPECT_TRUE(outcome.ok()) << StatusText(outcome) << " " << outcome.reason;
    EXPECT_EQ(kodi.requests().size(), 1u);
}

TEST(JsonRpcHoldOff, AnUnknownHostNameIsNotLookedUpAgainForAWhile) {
    auto now = std::chrono::steady_clock::time_point() + 1000h;
    loopback::CountingHttp http;
    JsonRpc channel(&http, {300ms, 300ms}, [&] { return now; });
    channel.Configure({ModeJsonRpc, "no-such-host.invalid", "8080", "", ""});
    const auto press = [&] { return channel.Press(*FindKodiButton("167")).problem; };
    EXPECT_EQ(press(), Problem::NoSuchHost);
    now += JsonRpc::HoldOff - 1s;
    EXPECT_EQ(press(), Problem::NoSuchHost) << "the same outcome, at once";
    EXPECT_EQ(http.posts, 1);
    now += 1s;
    EXPECT_EQ(press(), Problem::NoSuchHost);
    EXPECT_EQ(http.posts, 2);
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
    EXPECT_EQ(parsed(bodyOf(requests[0])), parsed(ButtonEventBody("skipminus", 1)));
    EXPECT_EQ(parsed(bodyOf(requests[1])), parsed(ExecuteActionBody("skipprevious", 2)));
    EXPECT_EQ(parsed(bodyOf(requests[2])), parsed(ExecuteActionBody("playpause", 3)));
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
        {"longer than the bound",
         {Reply::Kind::Send,
          httpReply(200, R"({"id":{id},"result":")" + std::string(JsonRpc::MaxReply, 'x') + R"("})")},
         Problem::BadReply,
         0},
        {"chunked, longer than the bound",
         {Reply::Kind::Send, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                 [] {
                                     std::string chunks;
                                     for (int i = 0; i < 20; ++i) {
                                         chunks += "1000\r\n" + std::string(4096, 'y') + "\r\n";
                                     }
                                     return chunks + "0\r\n\r\n";
                                 }()},
         Problem::BadReply,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kodi.script(c.reply);
        const Outcome outcome = press("167");
        EXPECT_EQ(outcome.problem, c.problem) << outcome.reason;
        EXPECT_EQ(outcome.detail, c.detail);
        EXPECT_FALSE(StatusText(outcome).empty());
        // Whatever came before, the next press goes through.
        const Outcome next = press("167");
        EXPECT_TRUE(next.ok()) << StatusText(next) << " " << next.reason;
    }
}

TEST_F(JsonRpcTest, AReplyAtTheBoundIsStillRead) {
    // The whole body exactly MaxReply bytes long.
    const std::string prefix = R"({"id":1,"result":")";
    const std::string suffix = R"("})";
    kodi.script({Reply::Kind::Send,
                 httpReply(200, prefix + std::string(JsonRpc::MaxReply - prefix.size() - suffix.size(), 'x') +
                                    suffix)});
    const Outcome outcome = press("167");
    EXPECT_TRUE(outcome.ok()) << outcome.reason;
}

TEST_F(JsonRpcTest, ANotificationIsShowNotificationWithTheProgramsTitle) {
    EXPECT_TRUE(channel.Notify({"Option code: 1 _ _", false}).ok());
    EXPECT_TRUE(channel.Notify({"Receiver unplugged", true}).ok());
    const auto requests = kodi.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto first = parsed(bodyOf(requests[0]));
    EXPECT_EQ(first["method"], "GUI.ShowNotification");
    EXPECT_EQ(
        first["params"],
        (nlohmann::json{{"title", "Tavrelmond"}, {"message", "Option code: 1 _ _"}, {"image", "info"}}));
    EXPECT_EQ(parsed(bodyOf(requests[1]))["params"]["image"], "warning");
    EXPECT_EQ(headerOf(requests[1], "Authorization"), "Basic a29kaTpzZWNyZXQ=");
}

TEST_F(JsonRpcTest, BadSettingsAreReportedWithoutConnecting) {
    const struct {
        ChannelSettings settings;
        Problem problem;
    } cases[] = {
        {{ModeJsonRpc, "127.0.0.1", "80a", "", ""}, Problem::BadPort},
        {{ModeJsonRpc, "127.0.0.1", kodi.portText(), "ko:di", "pw"}, Problem::BadUserName},
        {{ModeJsonRpc, "no-such-host.invalid", "8080", "", ""}, Problem::NoSuchHost},
        {{ModeJsonRpc, "127.0.0.1/evil?", "8080", "", ""}, Problem::NoSuchHost},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.host + " " + c.settings.port + " " + c.settings.user);
        JsonRpc fresh(&http, {300ms, 300ms});
        fresh.Configure(c.settings);
        EXPECT_EQ(fresh.Press(*FindKodiButton("167")).problem, c.problem);
    }
    JsonRpc offline(nullptr);
    offline.Configure({ModeJsonRpc, "127.0.0.1", kodi.portText(), "", ""});
    EXPECT_EQ(offline.Press(*FindKodiButton("167")).problem, Problem::NoNetwork);
    EXPECT_EQ(kodi.connections(), 0);
}

namespace {

// An HTTP client whose one session answers from a script and counts the requests.
class ScriptedHttp : public platform::HttpClient {
  public:
    using Reply = platform::HttpClient::Reply;
    std::unique_ptr<Session> openSession() override { return std::make_unique<Scripted>(*this); }
    std::vector<Reply> replies; // in order; the last one answers whatever comes after
    int posts = 0;

  private:
    class Scripted : public Session {
      public:
        explicit Scripted(ScriptedHttp& http) : http_(http) {}
        Reply post(const Request&) override {
            const std::size_t n = static_cast<std::size_t>(http_.posts++);
            return http_.replies[std::min(n, http_.replies.size() - 1)];
        }
        void cancel() override {}
        void close() override {}

      private:
        ScriptedHttp& http_;
    };
};

} // namespace

TEST(JsonRpcRetry, OnlyARequestDroppedOnAKeptConnectionIsSentAgainAndOnlyOnce) {
    using Status = platform::HttpClient::Status;
    const platform::HttpClient::Reply ok{Status::Ok, 200, R"({"id":1,"result":"OK"})", false, ""};
    const struct {
        const char* name;
        std::vector<platform::HttpClient::Reply> replies;
        int posts;
        Problem problem;
    } cases[] = {
        {"dropped on a kept connection, then answered",
         {{Status::Dropped, 0, "", true, ""}, ok},
         2,
         Problem::None},
        {"dropped on a kept connection twice",
         {{Status::Dropped, 0, "", true, ""}, {Status::Dropped, 0, "", true, ""}, ok},
         2,
         Problem::NotAnswering},
        {"dropped on a new connection", {{Status::Dropped, 0, "", false, ""}, ok}, 1, Problem::NotAnswering},
        {"timed out on a kept connection",
         {{Status::TimedOut, 0, "", true, ""}, ok},
         1,
         Problem::NotAnswering},
        {"cut short on a kept connection", {{Status::Truncated, 0, "", true, ""}, ok}, 1, Problem::BadReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHttp http;
        http.replies = c.replies;
        JsonRpc channel(&http);
        channel.Configure({ModeJsonRpc, "127.0.0.1", "8080"});
        EXPECT_EQ(channel.Press(*FindKodiButton("167")).problem, c.problem);
        EXPECT_EQ(http.posts, c.posts);
    }
}
