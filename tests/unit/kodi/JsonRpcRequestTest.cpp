// What goes on the wire for a JSON-RPC press: the body, the Basic credentials and the whole request; and the
// endpoint made of the configuration texts.
#include "KodiButtonMap.h"
#include "kodi/JsonRpc.h"

#include <gtest/gtest.h>

#include <set>

using namespace kodi;

TEST(JsonRpcRequest, ButtonEventBodyNamesTheR1ButtonAndTheId) {
    EXPECT_EQ(
        ButtonEventBody("down", 1),
        R"({"jsonrpc":"2.0","method":"Input.ButtonEvent","params":{"button":"down","keymap":"R1","holdtime":0},"id":1})");
    EXPECT_EQ(
        ExecuteActionBody("skipprevious", 42),
        R"({"jsonrpc":"2.0","method":"Input.ExecuteAction","params":{"action":"skipprevious"},"id":42})");
}

TEST(JsonRpcRequest, Base64FollowsTheStandardsVectors) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\x80", "//6A"}, // bytes above 127 are not sign-extended
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Base64(c.in), c.out);
    }
}

TEST(JsonRpcRequest, BasicCredentialsAreUserColonPasswordInBase64) {
    EXPECT_EQ(BasicAuthorization("kodi", "secret"), "Basic a29kaTpzZWNyZXQ=");
    EXPECT_EQ(BasicAuthorization("kodi", ""), "Basic a29kaTo=");
    EXPECT_EQ(BasicAuthorization("", "pw"), "Basic OnB3");
    EXPECT_EQ(BasicAuthorization("", ""), "") << "no credentials, no header";
    // A password may hold a colon and any byte; only the first colon separates.
    EXPECT_EQ(BasicAuthorization("kodi", "a:b\xe9"), "Basic " + Base64("kodi:a:b\xe9"));
}

TEST(JsonRpcRequest, RequestIsAKeepAliveHttp11PostWithTheBodyAndItsLength) {
    const std::string body = ButtonEventBody("up", 3);
    EXPECT_EQ(JsonRpcRequest({"127.0.0.1", 8080}, BasicAuthorization("kodi", "secret"), body),
              "POST /jsonrpc HTTP/1.1\r\n"
              "Host: 127.0.0.1:8080\r\n"
              "Connection: keep-alive\r\n"
              "Content-Type: application/json\r\n"
              "Authorization: Basic a29kaTpzZWNyZXQ=\r\n"
              "Content-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
    const std::string anonymous = JsonRpcRequest({"::1", 9000}, "", "{}");
    EXPECT_EQ(anonymous.find("Authorization"), std::string::npos);
    EXPECT_NE(anonymous.find("Host: [::1]:9000\r\n"), std::string::npos);
}

TEST(KodiEndpoint, ConfigurationTextsGiveAnEndpointOrNone) {
    const struct {
        const char* ip;
        const char* port;
        std::uint16_t defaultPort;
        const char* expected; // nullptr: no endpoint
    } cases[] = {
        {"192.168.1.20", "9777", 9777, "192.168.1.20:9777"},
        {"kodi.local", "", 9777, "kodi.local:9777"}, // empty port: the mode's default
        {"", "", 8080, "127.0.0.1:8080"},            // empty host: this PC
        {"", "65535", 8080, "127.0.0.1:65535"},
        {"", "1", 8080, "127.0.0.1:1"},
        {"", "08080", 8080, "127.0.0.1:8080"},
        {"", "0", 8080, nullptr},
        {"", "65536", 8080, nullptr},
        {"", "99999999999999999999", 8080, nullptr},
        {"", "-1", 8080, nullptr},
        {"", "80 80", 8080, nullptr},
        {"", "8080x", 8080, nullptr},
        {"", "0x1f90", 8080, nullptr},
        {"", "+80", 8080, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ip) + " | " + c.port);
        const auto endpoint = ParseEndpoint(c.ip, c.port, c.defaultPort);
        if (c.expected == nullptr) {
            EXPECT_FALSE(endpoint.has_value());
        } else {
            ASSERT_TRUE(endpoint.has_value());
            EXPECT_EQ(endpoint->text(), c.expected);
        }
    }
}

TEST(KodiStatus, EveryProblemHasItsOwnLineThatFitsTheTrayTip) {
    std::set<std::string> seen;
    for (Problem p : {Problem::NoNetwork, Problem::BadPort, Problem::BadUserName, Problem::NoSuchHost,
                      Problem::NotAnswering, Problem::BadCredentials, Problem::HttpStatus,
                      Problem::ButtonRefused, Problem::BadReply}) {
        const std::string text = StatusText({p, 404, "192.168.100.200:65535"});
        SCOPED_TRACE(text);
        EXPECT_FALSE(text.empty());
        EXPECT_LE(text.size(), 63u);
        EXPECT_TRUE(seen.insert(text).second);
    }
    EXPECT_EQ(StatusText({Problem::None}), "");
    EXPECT_EQ(StatusText({Problem::BadCredentials, 401, "x:1"}), "Kodi refused the user name or password");
    EXPECT_EQ(StatusText({Problem::NotAnswering, 0, "127.0.0.1:8080"}),
              "Kodi does not answer at 127.0.0.1:8080");
}

TEST(KodiButtonTable, EveryButtonHasAnR1NameAndAnActionAndNamesAreDistinct) {
    std::set<std::string_view> names;
    for (const auto& row : KodiButtonMap) {
        SCOPED_TRACE(std::string(row.code));
        EXPECT_FALSE(row.r1Name.empty());
        EXPECT_FALSE(row.action.empty());
        EXPECT_TRUE(names.insert(row.r1Name).second);
        EXPECT_EQ(FindKodiButton(row.code), &row);
    }
    EXPECT_EQ(FindKodiButton("100"), nullptr);
    // Kodi's own codes for the two names checked against it: the codes this remote sends.
    EXPECT_EQ(FindKodiButton("167")->r1Name, "down");
    EXPECT_EQ(FindKodiButton("166")->r1Name, "up");
}
