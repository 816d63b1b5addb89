// What both Kodi channels share: the endpoint made of the configuration texts, the lines that tell the user
// what went wrong, the notifications key, and the table of Kodi's names for the buttons.
#include "KodiButtonMap.h"
#include "kodi/Kodi.h"

#include <gtest/gtest.h>

#include <set>

using namespace kodi;

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

TEST(KodiSettings, OnlyOffSwitchesTheNotificationsOffAndOnlyTwoModesAreKodis) {
    const struct {
        const char* value;
        bool on;
    } notifications[] = {{"", true},    {"on", true},  {"off", false},
                         {"Off", true}, {"OFF", true}, {"no", true}};
    for (const auto& c : notifications) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(NotificationsOn(c.value), c.on);
    }
    EXPECT_TRUE(IsKodiMode("eventserver"));
    EXPECT_TRUE(IsKodiMode("jsonrpc"));
    for (const char* other : {"true", "false", "", "EventServer", "JSONRPC", "keyboard"}) {
        EXPECT_FALSE(IsKodiMode(other)) << other;
    }
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
