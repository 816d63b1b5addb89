// The settings window's connection test against stand-ins on loopback (real UDP, real HTTP through libcurl):
// each thing it can find, said plainly, within its bound.
#include "LoopbackPeers.h"
#include "kodi/ConnectionTest.h"
#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/PosixSockets.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kodi;
using namespace std::chrono_literals;
using loopback::headerOf;
using loopback::httpReply;
using loopback::Reply;
using loopback::TcpStandIn;
using loopback::UdpPeer;

namespace {

constexpr const char* Pong = R"({"id":{id},"jsonrpc":"2.0","result":"pong"})";
constexpr const char* Properties =
    R"({"id":{id},"jsonrpc":"2.0","result":{"name":"Kodi","version":{"major":20,"minor":1,"tag":"stable"}}})";

class ConnectionTestTest : public ::testing::Test {
  protected:
    platform::PosixSockets sockets;
    platform::CurlHttpClient http;
    TestOptions options{500ms, 500ms, 300ms, 500ms, 1};

    TestReport test(const ChannelSettings& settings) {
        const auto start = std::chrono::steady_clock::now();
        TestReport report = TestConnection(settings, &sockets, &http, options);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "bounded";
        return report;
    }
};

std::uint16_t closedPort(int type) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in a = loopback::address(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

} // namespace

TEST_F(ConnectionTestTest, JsonRpcSaysWhatAnsweredAndHow) {
    const struct {
        const char* name;
        std::vector<Reply> replies;
        bool ok;
        const char* text; // after "127.0.0.1:PORT" is put in for {at}
    } cases[] = {
        {"Kodi, name and version",
         {{Reply::Kind::Send, httpReply(200, Pong)}, {Reply::Kind::Send, httpReply(200, Properties)}},
         true,
         "Kodi 20.1 answers at {at}; the user name and password are right."},
        {"Kodi, no properties",
         {{Reply::Kind::Send, httpReply(200, Pong)}, {Reply::Kind::Send, httpReply(500, "")}},
         true,
         "Kodi answers at {at}; the user name and password are right."},
        {"a wrong password",
         {{Reply::Kind::Send, httpReply(401, "", "WWW-Authenticate: Basic realm=\"Kodi\"\r\n")}},
         false,
         "Kodi at {at} refused the user name or password."},
        {"another web server",
         {{Reply::Kind::Send, httpReply(404, "no")}},
         false,
         "{at} answered HTTP 404: no JSON-RPC of Kodi's there."},
        {"not JSON-RPC",
         {{Reply::Kind::Send, httpReply(200, "<html>pong</html>")}},
         false,
         "{at} answers, but not as Kodi's JSON-RPC does."},
        {"not HTTP",
         {{Reply::Kind::Send, "SSH-2.0-OpenSSH\r\n\r\n"}},
         false,
         "{at} answers, but not as Kodi's web server does."},
        {"closed unanswered",
         {{Reply::Kind::CloseUnread}},
         false,
         "{at} closed the connection without a reply."},
        {"silent",
         {{Reply::Kind::Silent}},
         false,
         "{at} took the connection but sent no reply within 0.5 s."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TcpStandIn kodi;
        for (const Reply& r : c.replies) {
            kodi.script(r);
        }
        const TestReport report = test({ModeJsonRpc, "127.0.0.1", kodi.portText(), "kodi", "p\xc3\xa4ss"});
        std::string expected = c.text;
        expected.replace(expected.find("{at}"), 4, "127.0.0.1:" + kodi.portText());
        EXPECT_EQ(report.text, expected);
        EXPECT_EQ(report.ok, c.ok);
        ASSERT_FALSE(kodi.requests().empty());
        EXPECT_NE(kodi.requests()[0].find("\"JSONRPC.Ping\""), std::string::npos);
        EXPECT_EQ(headerOf(kodi.requests()[0], "Authorization"), "Basic a29kaTpww6Rzcw==")
            << "the credentials as the channel sends them";
    }
}

TEST_F(ConnectionTestTest, JsonRpcTellsANoOneThereFromASilentHost) {
    const std::uint16_t closed = closedPort(SOCK_STREAM);
    TestReport report = test({ModeJsonRpc, "127.0.0.1", std::to_string(closed)});
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.text, "Nothing takes connections at 127.0.0.1:" + std::to_string(closed) +
                               ". Is Kodi running there, with \"Allow remote control via HTTP\" on?");

    TcpStandIn full(0);
    full.pauseAccepting(true);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback::address(full.port());
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    report = test({ModeJsonRpc, "127.0.0.1", full.portText()});
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.text, "No answer from 127.0.0.1:" + full.portText() +
                               " within 0.5 s. Is the address right, and the device on?");
    ::close(filler);
}

TEST_F(ConnectionTestTest, SettingsThatCannotWorkAreToldWithoutTheNetwork) {
    const struct {
        ChannelSettings settings;
        const char* text;
    } cases[] = {
        {{ModeJsonRpc, "127.0.0.1", "80a"}, "The port is not a port (1 to 65535)."},
        {{ModeEventServer, "127.0.0.1", "0"}, "The port is not a port (1 to 65535)."},
        {{ModeJsonRpc, "127.0.0.1", "8080", "ko:di"}, "The user name must not contain ':'."},
        {{ModeJsonRpc, "no-such-host.invalid", "8080"}, "Unknown host: no-such-host.invalid."},
        {{ModeEventServer, "no-such-host.invalid", ""}, "Unknown host: no-such-host.invalid."},
        {{"true", "", ""}, "Only Kodi's two modes can be tested."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.mode + " " + c.settings.host + ":" + c.settings.port);
        const TestReport report = test(c.settings);
        EXPECT_FALSE(report.ok);
        EXPECT_EQ(report.text, c.text);
    }
    EXPECT_EQ(TestConnection({ModeJsonRpc, "", ""}, &sockets, nullptr).text, "This build has no network.");
    EXPECT_EQ(TestConnection({ModeEventServer, "", ""}, nullptr, &http).text, "This build has no network.");
}

TEST_F(ConnectionTestTest, EventServerSaysWhetherTheDatagramsAreRefusedAndWhatWebServerIsBeside) {
    const std::uint16_t closed = closedPort(SOCK_DGRAM);
    TestReport report = test({ModeEventServer, "127.0.0.1", std::to_string(closed)});
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.text, "127.0.0.1:" + std::to_string(closed) +
                               " refuses the datagrams: Kodi is not running there, or its \"Allow remote "
                               "control from applications\" is off.");

    UdpPeer eventServer;
    const std::string takes =
        "127.0.0.1:" + eventServer.portText() +
        " takes the datagrams. The EventServer sends no answer, so that is all it shows.";
    const struct {
        const char* name;
        std::vector<Reply> replies; // none: nothing listens on the web server's port
        std::string more;
    } cases[] = {
        {"no web server", {}, ""},
        {"Kodi's web server",
         {{Reply::Kind::Send, httpReply(200, Pong)}, {Reply::Kind::Send, httpReply(200, Properties)}},
         " Kodi 20.1 answers on its web server at 127.0.0.1:{web}."},
        {"a web server that wants a password",
         {{Reply::Kind::Send, httpReply(401, "")}},
         " A web server at 127.0.0.1:{web} asks for a user name and password (Kodi's, if it is Kodi)."},
        {"some other web server", {{Reply::Kind::Send, httpReply(404, "")}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<TcpStandIn> web;
        if (c.replies.empty()) {
            options.webServerPort = closedPort(SOCK_STREAM);
        } else {
            web.emplace();
            for (const Reply& r : c.replies) {
                web->script(r);
            }
            options.webServerPort = web->port();
        }
        report = test({ModeEventServer, "127.0.0.1", eventServer.portText(), "kodi", "pw"});
        std::string expected = takes + c.more;
        if (const auto at = expected.find("{web}"); at != std::string::npos) {
            expected.replace(at, 5, std::to_string(options.webServerPort));
        }
        EXPECT_TRUE(report.ok);
        EXPECT_EQ(report.text, expected);
        const auto datagrams = eventServer.drain();
        ASSERT_EQ(datagrams.size(), 1u);
        EXPECT_EQ(datagrams[0][7], 0x05) << "a PING, which changes nothing in Kodi";
    }
}

TEST_F(ConnectionTestTest, TestsOnTwoThreadsAtOnceEachGetTheirOwnAnswer) {
    TcpStandIn kodi;
    kodi.setFallback({Reply::Kind::Send, httpReply(200, Pong)});
    const std::uint16_t closed = closedPort(SOCK_STREAM);
    TestReport a, b;
    std::thread one([&] {
        a = TestConnection({ModeJsonRpc, "127.0.0.1", kodi.portText()}, &sockets, &http, options);
    });
    std::thread two([&] {
        b = TestConnection({ModeJsonRpc, "127.0.0.1", std::to_string(closed)}, &sockets, &http, options);
    });
    one.join();
    two.join();
    EXPECT_TRUE(a.ok) << a.text;
    EXPECT_FALSE(b.ok) << b.text;
}
