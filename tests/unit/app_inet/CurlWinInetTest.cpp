// The libcurl adapter's own contract, beyond what HttpSendCommand asks of it: handles used wrongly, header
// replacement, and a request closed while its reply is still coming.
#include "HttpStandIn.h"
#include "platform/posix/CurlWinInet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

using namespace std::chrono_literals;
using httpstandin::Answer;
using httpstandin::StandIn;
using platform::CurlWinInet;
using platform::WinInet;

namespace {

struct Open {
    explicit Open(CurlWinInet& w, int port) : wininet(w) {
        unsetenv("http_proxy");
        root = w.internetOpen("http generic", WinInet::OpenTypePreconfig, nullptr, nullptr, 0);
        connection = w.internetConnect(root, "127.0.0.1", static_cast<std::uint16_t>(port), nullptr, nullptr,
                                       WinInet::ServiceHttp, 0, 0);
        request =
            w.httpOpenRequest(connection, "POST", "/r", "HTTP/1.0", nullptr, nullptr, WinInet::FlagReload, 0);
    }
    CurlWinInet& wininet;
    WinInet::Handle root = 0, connection = 0, request = 0;
};

} // namespace

TEST(CurlWinInet, RefusesHandlesOfTheWrongKindOrAlreadyClosed) {
    StandIn server;
    CurlWinInet w;
    Open o(w, server.port());
    ASSERT_NE(o.request, 0u);
    char buffer[16];
    std::uint32_t n = 99;
    EXPECT_FALSE(w.internetReadFile(o.request, buffer, sizeof buffer, n)) << "read before the send";
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(w.internetConnect(o.request, "127.0.0.1", 80, nullptr, nullptr, WinInet::ServiceHttp, 0, 0),
              0u);
    EXPECT_EQ(w.httpOpenRequest(o.root, "POST", "/", "HTTP/1.0", nullptr, nullptr, 0, 0), 0u);
    EXPECT_FALSE(w.httpSendRequest(o.connection, nullptr, 0, "0", 1));
    EXPECT_FALSE(w.httpSendRequest(0, nullptr, 0, "0", 1));
    EXPECT_EQ(w.internetConnect(o.root, "127.0.0.1", 80, nullptr, nullptr, 1 /* ftp */, 0, 0), 0u);
    EXPECT_EQ(w.internetConnect(o.root, "", 80, nullptr, nullptr, WinInet::ServiceHttp, 0, 0), 0u);

    // Closing the root closes what was opened below it.
    EXPECT_TRUE(w.internetCloseHandle(o.root));
    EXPECT_EQ(w.openHandles(), 0u);
    EXPECT_FALSE(w.internetCloseHandle(o.request));
    EXPECT_FALSE(w.httpSendRequest(o.request, nullptr, 0, "0", 1));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST(CurlWinInet, AddsAndReplacesHeaderLinesAsWinInetDoes) {
    StandIn server;
    CurlWinInet w;
    Open o(w, server.port());
    const std::uint32_t addReplace = WinInet::AddReqFlagAdd | WinInet::AddReqFlagReplace;
    EXPECT_TRUE(w.httpAddRequestHeaders(o.request, "Content-Type: text/plain\r\nX-One: 1\r\n",
                                        WinInet::LengthOfText, addReplace));
    EXPECT_TRUE(w.httpAddRequestHeaders(o.request, "content-type: application/x-www-form-urlencoded\r\n", 49,
                                        addReplace));
    EXPECT_FALSE(
        w.httpAddRequestHeaders(o.request, "X-Two: 2\r\n", WinInet::LengthOfText, WinInet::AddReqFlagReplace))
        << "replacing a header that is not there";
    EXPECT_FALSE(w.httpAddRequestHeaders(o.request, "no colon here\r\n", WinInet::LengthOfText, addReplace));
    // Only the first 8 characters count: "X-Three:" with an empty value adds nothing.
    w.httpAddRequestHeaders(o.request, "X-Three: 3\r\n", 8, addReplace);
    EXPECT_TRUE(w.httpSendRequest(o.request, nullptr, 0, "0", 1));
    w.internetCloseHandle(o.root);

    ASSERT_EQ(server.requestCount(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.header("X-One"), "1");
    EXPECT_FALSE(r.hasHeader("X-Two"));
    EXPECT_FALSE(r.hasHeader("X-Three"));
    std::size_t contentTypes = 0;
    for (const auto& h : r.headers)
        contentTypes += h.first == "Content-Type";
    EXPECT_EQ(contentTypes, 1u);
}

TEST(CurlWinInet, ClosesARequestWhoseReplyNeverEnds) {
    StandIn server;
    server.answer({Answer::Kind::Endless, 200, ""});
    CurlWinInet w;
    Open o(w, server.port());
    ASSERT_TRUE(w.httpSendRequest(o.request, nullptr, 0, "0", 1));
    std::string got;
    char buffer[2048];
    while (got.size() < 3 * 1024 * 1024) {
        std::uint32_t n = 0;
        ASSERT_TRUE(w.internetReadFile(o.request, buffer, sizeof buffer, n));
        ASSERT_GT(n, 0u);
        got.append(buffer, n);
    }
    EXPECT_TRUE(got.substr(0, 4096) == httpstandin::patternBody(4096));
    EXPECT_TRUE(got.substr(3 * 1024 * 1024 - 100, 100) ==
                httpstandin::patternBody(100, 3 * 1024 * 1024 - 100));

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(w.internetCloseHandle(o.request));
    EXPECT_TRUE(w.internetCloseHandle(o.connection));
    EXPECT_TRUE(w.internetCloseHandle(o.root));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(w.openHandles(), 0u);
}

// A receive time-out set on the root, the connection or the request holds for that request, over the
// adapter's default (WinInet's 30 s).
TEST(CurlWinInet, ATimeOutSetOnAHandleHoldsForTheRequestsBelowIt) {
    for (const char* on : {"root", "connection", "request"}) {
        SCOPED_TRACE(on);
        StandIn server;
        server.answer({Answer::Kind::Stall, 200, ""});
        unsetenv("http_proxy");
        CurlWinInet w;
        const std::string where = on;
        WinInet::Handle root =
            w.internetOpen("http generic", WinInet::OpenTypePreconfig, nullptr, nullptr, 0);
        if (where == "root") {
            ASSERT_TRUE(w.internetSetOption(root, WinInet::OptionReceiveTimeout, 1000));
        }
        WinInet::Handle connection =
            w.internetConnect(root, "127.0.0.1", static_cast<std::uint16_t>(server.port()), nullptr, nullptr,
                              WinInet::ServiceHttp, 0, 0);
        if (where == "connection") {
            ASSERT_TRUE(w.internetSetOption(connection, WinInet::OptionReceiveTimeout, 1000));
        }
        WinInet::Handle request =
            w.httpOpenRequest(connection, "POST", "/r", "HTTP/1.0", nullptr, nullptr, WinInet::FlagReload, 0);
        if (where == "request") {
            ASSERT_TRUE(w.internetSetOption(request, WinInet::OptionReceiveTimeout, 1000));
        }

        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(w.httpSendRequest(request, nullptr, 0, "0", 1)) << "the headers come at once";
        char buffer[64];
        std::uint32_t n = 0;
        EXPECT_FALSE(w.internetReadFile(request, buffer, sizeof buffer, n));
        EXPECT_EQ(n, 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        EXPECT_TRUE(w.internetCloseHandle(root));
    }
}

TEST(CurlWinInet, RefusesOptionsItDoesNotKnowAndHandlesThatAreNotOpen) {
    CurlWinInet w;
    WinInet::Handle root = w.internetOpen("http generic", WinInet::OpenTypePreconfig, nullptr, nullptr, 0);
    EXPECT_FALSE(w.internetSetOption(root, 77, 1));
    EXPECT_FALSE(w.internetSetOption(root + 100, WinInet::OptionReceiveTimeout, 1000));
    w.internetCloseHandle(root);
    EXPECT_FALSE(w.internetSetOption(root, WinInet::OptionReceiveTimeout, 1000));
}
