// HttpSendCommand over real sockets: the libcurl adapter against the recording stand-in on loopback.
#include "HttpStandIn.h"
#include "MediaCenter.h"
#include "modInet.h"
#include "platform/posix/CurlWinInet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

using namespace std::chrono_literals;
using httpstandin::Answer;
using httpstandin::StandIn;
using platform::CurlWinInet;

namespace {

// The proxy of the environment is the adapter's "configured proxy"; these tests talk to loopback directly.
class Environment : public testing::Environment {
  public:
    void SetUp() override {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            unsetenv(name);
    }
};
const auto* const environment = testing::AddGlobalTestEnvironment(new Environment);

struct Channel {
    explicit Channel(std::string portText, CurlWinInet::Timeouts timeouts = {})
        : wininet(timeouts), port(std::move(portText)) {}
    CurlWinInet wininet;
    std::string ip = "127.0.0.1";
    std::string port;
    modInet inet{wininet, ip, port};
};

} // namespace

TEST(HttpSendCommandOverLoopback, SendsOneHttp10PostWithTheExactRequestLineAndHeaders) {
    StandIn server;
    server.answer({Answer::Kind::Whole, 200, "<html><li>OK</html>"});
    Channel c(server.portText());
    c.inet.CommandPath = MediaCenter::SendKeyPath("167");
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "<html><li>OK</html>");

    ASSERT_EQ(server.requestCount(), 1u);
    const httpstandin::RecordedRequest r = server.requests()[0];
    EXPECT_EQ(r.requestLine, "POST /xbmcCmds/xbmcHttp?command=SendKey&parameter=167 HTTP/1.0");
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Length", "1"},
        {"Content-Type", "application/x-www-form-urlencoded"},
        {"Host", "127.0.0.1:" + server.portText()},
        {"User-Agent", "http generic"},
    };
    EXPECT_EQ(r.headers, headers);
    EXPECT_EQ(r.body, "0");
    EXPECT_EQ(c.wininet.openHandles(), 0u);
}

TEST(HttpSendCommandOverLoopback, SendsThePathAndBodyUntouched) {
    StandIn server;
    Channel c(server.portText());
    for (const char* path :
         {"/a/../b/./c?x=1&y=%41", "/xbmcCmds/xbmcHttp?command=SendKey&parameter=11", "/"}) {
        SCOPED_TRACE(path);
        server.clear();
        c.inet.CommandPath = path;
        c.inet.HttpSendCommand("a=1&b=%20");
        ASSERT_EQ(server.requestCount(), 1u);
        EXPECT_EQ(server.requests()[0].requestLine, std::string("POST ") + path + " HTTP/1.0");
        EXPECT_EQ(server.requests()[0].body, "a=1&b=%20");
        EXPECT_EQ(server.requests()[0].header("Content-Length"), "9");
    }
}

TEST(HttpSendCommandOverLoopback, ReturnsReplyBodiesWholeWhateverTheStatus) {
    struct Row {
        int status;
        std::size_t size;
        std::chrono::milliseconds delay;
    };
    StandIn server;
    Channel c(server.portText());
    for (Row row : {Row{200, 0, 0ms}, Row{200, 2048, 0ms}, Row{200, 2049, 0ms}, Row{200, 100000, 0ms},
                    Row{200, 5000, 150ms}, Row{404, 0, 0ms}, Row{404, 3000, 0ms}, Row{500, 10, 0ms}}) {
        SCOPED_TRACE(testing::Message() << "status " << row.status << ", " << row.size << " bytes, after "
                                        << row.delay.count() << " ms");
        std::string body = httpstandin::patternBody(row.size);
        server.answer({Answer::Kind::Whole, row.status, body, row.delay});
        std::string reply = c.inet.HttpSendCommand("0");
        EXPECT_EQ(reply.size(), body.size());
        EXPECT_TRUE(reply == body);
        EXPECT_EQ(c.wininet.openHandles(), 0u);
    }
}

TEST(HttpSendCommandOverLoopback, KeepsOneMebibyteOfALongerReplyAndFinishesTheExchange) {
    StandIn server;
    std::string body = httpstandin::patternBody(modInet::ReplyLimit + 300000);
    server.answer({Answer::Kind::Whole, 200, body});
    Channel c(server.portText());
    std::string reply = c.inet.HttpSendCommand("0");
    EXPECT_EQ(reply.size(), modInet::ReplyLimit);
    EXPECT_TRUE(reply == body.substr(0, modInet::ReplyLimit));

    // The exchange ended cleanly: the next command goes through as usual.
    server.answer({Answer::Kind::Whole, 200, "next"});
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "next");
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(HttpSendCommandOverLoopback, AnUnreachableServerGivesNothingAndTheNextCallOpensAnew) {
    int deadPort = 0;
    {
        StandIn gone;
        deadPort = gone.port();
    }
    StandIn server;
    server.answer({Answer::Kind::Whole, 200, "back"});
    Channel c(std::to_string(deadPort));
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "");
    EXPECT_EQ(c.wininet.openHandles(), 0u);

    c.port = server.portText();
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "back");
    EXPECT_EQ(c.wininet.openHandles(), 0u);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(HttpSendCommandOverLoopback, AnUnknownHostGivesNothing) {
    Channel c("80");
    c.ip = "no-such-host.invalid";
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "");
    EXPECT_EQ(c.wininet.openHandles(), 0u);
}

TEST(HttpSendCommandOverLoopback, BadPortTextsSendNothing) {
    StandIn server;
    for (std::string text : {std::string(), std::string("0"), std::string("65536"), "-" + server.portText(),
                             "+" + server.portText(), server.portText() + "x", " " + server.portText()}) {
        SCOPED_TRACE("port text \"" + text + "\"");
        Channel c(text);
        EXPECT_EQ(c.inet.HttpSendCommand("0"), "");
        EXPECT_EQ(c.wininet.openHandles(), 0u);
    }
    // Proof that the server was listening all along.
    Channel good(server.portText());
    good.inet.HttpSendCommand("0");
    EXPECT_EQ(server.requestCount(), 1u);
}

// Ports 8080 and 40000 on loopback: skipped when another program holds them.
TEST(HttpSendCommandOverLoopback, UsesPorts8080And40000) {
    for (int port : {8080, 40000}) {
        SCOPED_TRACE(port);
        std::optional<StandIn> server;
        try {
            server.emplace(port);
        } catch (const std::runtime_error&) {
            GTEST_SKIP() << "port " << port << " is in use on this machine";
        }
        server->answer({Answer::Kind::Whole, 200, "on " + std::to_string(port)});
        Channel c(std::to_string(port));
        EXPECT_EQ(c.inet.HttpSendCommand("0"), "on " + std::to_string(port));
        ASSERT_EQ(server->requestCount(), 1u);
        EXPECT_EQ(server->requests()[0].header("Host"), "127.0.0.1:" + std::to_string(port));
    }
}

// The adapter waits as long as WinInet does by default (30 s); the time-outs the program sets on its handles
// rule: the stated one, and a shorter one a test sets.
TEST(HttpSendCommandOverLoopback, GivesUpOnASilentServerAfterTheProgramsReceiveTimeOut) {
    struct Row {
        const char* name;
        Answer answer;
        std::uint32_t receiveMs;
    };
    for (const Row& row : {Row{"no answer at all, the stated time-out",
                               {Answer::Kind::Whole, 200, "late", 20s},
                               modInet::TimeLimits{}.receiveMs},
                           Row{"stalled after the headers", {Answer::Kind::Stall, 200, ""}, 1000}}) {
        SCOPED_TRACE(row.name);
        StandIn server;
        server.answer(row.answer);
        Channel c(server.portText());
        c.inet.Limits.receiveMs = row.receiveMs;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.inet.HttpSendCommand("0"), "");
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(row.receiveMs) - 100ms);
        // Well before the server's own answer (20 s, or never), with room for a busy machine.
        EXPECT_LT(took, std::chrono::milliseconds(row.receiveMs) + 8s);
        EXPECT_EQ(c.wininet.openHandles(), 0u);
        EXPECT_EQ(server.requestCount(), 1u);
    }
}

TEST(HttpSendCommandOverLoopback, CutsAReplyThatNeverEndsOnceTheReplyTimeIsUp) {
    StandIn server;
    server.answer({Answer::Kind::Endless, 200, ""});
    Channel c(server.portText());
    c.inet.Limits.replyTime = 500ms;
    auto start = std::chrono::steady_clock::now();
    std::string reply = c.inet.HttpSendCommand("0");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 500ms);
    EXPECT_LT(took, 3s);
    ASSERT_FALSE(reply.empty());
    EXPECT_TRUE(reply == httpstandin::patternBody(reply.size()));
    EXPECT_EQ(c.wininet.openHandles(), 0u);

    // The connection was dropped, not left streaming: the next command is answered.
    server.answer({Answer::Kind::Whole, 200, "next"});
    EXPECT_EQ(c.inet.HttpSendCommand("0"), "next");
}

TEST(HttpSendCommandOverLoopback, GoesThroughTheProxyNamedByTheEnvironment) {
    StandIn proxy;
    proxy.answer({Answer::Kind::Whole, 200, "via proxy"});
    std::string proxyUrl = "http://127.0.0.1:" + proxy.portText();
    setenv("http_proxy", proxyUrl.c_str(), 1);
    Channel c("8080");
    c.ip = "xbmc.example";
    c.inet.CommandPath = MediaCenter::SendKeyPath("11");
    std::string reply = c.inet.HttpSendCommand("0");
    unsetenv("http_proxy");

    EXPECT_EQ(reply, "via proxy");
    ASSERT_EQ(proxy.requestCount(), 1u);
    EXPECT_EQ(proxy.requests()[0].requestLine,
              "POST http://xbmc.example:8080/xbmcCmds/xbmcHttp?command=SendKey&parameter=11 HTTP/1.0");
    EXPECT_EQ(proxy.requests()[0].body, "0");
}
