// The EventServer channel over real UDP on loopback (the posix sockets adapter), against a receiving socket
// in Kodi's place: the packets of a press and of a notification, when HELO is sent again, a Kodi that is not
// there, another Kodi configured, and BYE.
#include "LoopbackPeers.h"
#include "kodi/EventServer.h"
#include "platform/DatagramAddress.h"
#include "platform/posix/PosixSockets.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <utility>
#include <vector>

using namespace kodi;
using namespace std::chrono_literals;
using loopback::UdpPeer;

namespace {

constexpr std::uint32_t Token = 0x4B4F4449;

std::uint16_t typeOf(const std::vector<std::uint8_t>& p) {
    return static_cast<std::uint16_t>(p[6] << 8 | p[7]);
}
std::uint32_t sequenceOf(const std::vector<std::uint8_t>& p) {
    return static_cast<std::uint32_t>(p[8] << 24 | p[9] << 16 | p[10] << 8 | p[11]);
}

class EventServerTest : public ::testing::Test {
  protected:
    // A clock the test moves by hand.
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point() + 1000h;
    platform::PosixSockets sockets;
    EventServer channel{&sockets, Token, [this] { return now; }};
    UdpPeer kodi;

    void SetUp() override { configure("127.0.0.1", kodi.portText()); }
    void configure(const std::string& host, const std::string& port) {
        channel.Configure({ModeEventServer, host, port});
    }
    Outcome press(const char* code) { return channel.Press(*FindKodiButton(code)); }

    // The next datagram Kodi's stand-in receives.
    std::vector<std::uint8_t> next() {
        auto d = kodi.receive();
        EXPECT_TRUE(d.has_value()) << "no datagram arrived";
        return d ? *d : std::vector<std::uint8_t>(32, 0);
    }
};

} // namespace

TEST_F(EventServerTest, FirstPressGreetsThenSendsDownAndUpByR1Name) {
    const Outcome outcome = press("167");
    EXPECT_TRUE(outcome.ok());
    EXPECT_EQ(next(), EncodeHelo(1, Token, "Tavrelmond"));
    EXPECT_EQ(next(), EncodeButton(2, Token, 0x33, "R1", "down"));
    EXPECT_EQ(next(), EncodeButton(3, Token, 0x35, "R1", "down"));
    EXPECT_TRUE(kodi.drain().empty());
}

TEST_F(EventServerTest, LaterPressesGoWithoutHeloUntilTheChannelHasBeenSilentForLong) {
    configure("", kodi.portText()); // empty host: this PC
    press("167");
    kodi.drain();
    now += EventServer::GreetAgainAfter - 1s;
    press("216");
    auto packets = kodi.drain();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], EncodeButton(4, Token, 0x33, "R1", "back"));

    // The last packet went out at `now`; as long again without one, and Kodi is greeted once more.
    now += EventServer::GreetAgainAfter;
    press("166");
    packets = kodi.drain();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(typeOf(packets[0]), PacketType::Helo);
    EXPECT_EQ(packets[1], EncodeButton(7, Token, 0x33, "R1", "up"));
}

TEST_F(EventServerTest, KodiGoneIsReportedAndAKodiStartedAgainIsGreetedBeforeTheNextButton) {
    std::optional<UdpPeer> kodiHere(std::in_place);
    const std::string port = kodiHere->portText();
    configure("127.0.0.1", port);
    EXPECT_TRUE(press("167").ok());
    EXPECT_EQ(kodiHere->drain().size(), 3u);

    // Kodi stops: nothing listens on its port any more, and its host says so.
    kodiHere.reset();
    const Outcome lost = press("168");
    EXPECT_EQ(lost.problem, Problem::NotAnswering);
    EXPECT_EQ(StatusText(lost), "Kodi does not answer at 127.0.0.1:" + port);

    // Kodi is back on its port: the next press says HELO first, and goes through. It still reports the
    // refusal of the last datagram sent while Kodi was away, which it is the first to see; the press after it
    // is clear.
    kodiHere.emplace(static_cast<std::uint16_t>(std::stoi(port)));
    const Outcome back = press("169");
    EXPECT_EQ(back.problem, Problem::NotAnswering) << StatusText(back);
    const auto packets = kodiHere->drain();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(typeOf(packets[0]), PacketType::Helo);
    EXPECT_EQ(typeOf(packets[1]), PacketType::Button);
    EXPECT_EQ(std::vector<std::uint8_t>(packets[2].begin() + 32, packets[2].end()),
              std::vector<std::uint8_t>({0, 0, 0, 0x35, 0, 0, 'R', '1', 0, 'l', 'e', 'f', 't', 0}));
    EXPECT_LT(sequenceOf(packets[0]), sequenceOf(packets[1]));
    EXPECT_LT(sequenceOf(packets[1]), sequenceOf(packets[2]));
    const Outcome after = press("169");
    EXPECT_TRUE(after.ok()) << StatusText(after);
    EXPECT_EQ(kodiHere->drain().size(), 2u);
}

namespace {

// Kodi on another host, or any host on Windows: a refusal never fails a send; it comes back after the
// datagram and is seen at the next look (pending()). Sends are counted, nothing goes on the wire.
class LateRefusalSockets : public platform::Sockets {
  public:
    Opened openDatagram(const std::string&, std::uint16_t) override { return {7, Status::Ok}; }
    Status send(Socket, const void* data, std::size_t size, std::chrono::milliseconds) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        sent.emplace_back(bytes, bytes + size);
        return Status::Ok;
    }
    Status pending(Socket) override { return std::exchange(waiting, Status::Ok); }
    void close(Socket) override {}

    Status waiting = Status::Ok; // what the next pending() reports
    std::vector<std::vector<std::uint8_t>> sent;
};

} // namespace

TEST(EventServerLateRefusal, ARefusalSeenAfterThePressIsReportedByTheNextAndKodiIsGreetedAgain) {
    auto now = std::chrono::steady_clock::time_point() + 1000h;
    LateRefusalSockets sockets;
    EventServer channel(&sockets, Token, [&] { return now; });
    channel.Configure({ModeEventServer, "192.0.2.7", ""});
    const KodiButtonRow& down = *FindKodiButton("167");

    EXPECT_TRUE(channel.Press(down).ok());
    ASSERT_EQ(sockets.sent.size(), 3u);

    // Kodi's host refused those datagrams; the refusal is there at the next press.
    sockets.waiting = platform::Sockets::Status::Refused;
    const Outcome lost = channel.Press(down);
    EXPECT_EQ(lost.problem, Problem::NotAnswering) << StatusText(lost);
    ASSERT_EQ(sockets.sent.size(), 6u);
    EXPECT_EQ(typeOf(sockets.sent[3]), PacketType::Helo) << "whatever listens now is greeted first";

    // Nothing refused since: the press went through.
    EXPECT_TRUE(channel.Press(down).ok());
    EXPECT_EQ(sockets.sent.size(), 8u);
}

TEST_F(EventServerTest, ByeFollowsAGreetingAndNothingElse) {
    channel.Close();
    EXPECT_FALSE(kodi.receive(50ms).has_value()) << "never greeted: no BYE";

    press("11");
    kodi.drain();
    channel.Close();
    const auto bye = next();
    EXPECT_EQ(bye, EncodeBye(4, Token));
    channel.Close();
    EXPECT_FALSE(kodi.receive(50ms).has_value()) << "one BYE only";
}

TEST_F(EventServerTest, AnotherKodiConfiguredHearsHeloAndTheOldOneBye) {
    press("11");
    kodi.drain();
    UdpPeer other;
    channel.Configure({ModeEventServer, "127.0.0.1", kodi.portText()});
    EXPECT_FALSE(kodi.receive(50ms).has_value()) << "the same Kodi: nothing changes";
    channel.Configure({ModeEventServer, "127.0.0.1", other.portText()});
    EXPECT_EQ(typeOf(next()), PacketType::Bye);
    EXPECT_TRUE(press("167").ok());
    const auto packets = other.drain();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(typeOf(packets[0]), PacketType::Helo);
}

TEST_F(EventServerTest, ANotificationIsGreetedLikeAPressAndCarriesTheProgramsTitle) {
    EXPECT_TRUE(channel.Notify({"Option code: 1 _ _"}).ok());
    EXPECT_EQ(next(), EncodeHelo(1, Token, "Tavrelmond"));
    EXPECT_EQ(next(), EncodeNotification(2, Token, "Tavrelmond", "Option code: 1 _ _"));
    EXPECT_TRUE(press("167").ok());
    EXPECT_EQ(kodi.drain().size(), 2u) << "no second HELO";
}

TEST(EventServerHoldOff, AnUnknownHostNameIsNotLookedUpAgainForAWhile) {
    auto now = std::chrono::steady_clock::time_point() + 1000h;
    loopback::CountingSockets sockets;
    EventServer channel(&sockets, Token, [&] { return now; });
    channel.Configure({ModeEventServer, "no-such-host.invalid", ""});
    const auto press = [&] { return channel.Press(*FindKodiButton("167")).problem; };
    EXPECT_EQ(press(), Problem::NoSuchHost);
    now += EventServer::HoldOff - 1s;
    EXPECT_EQ(press(), Problem::NoSuchHost);
    EXPECT_EQ(sockets.opens, 1);
    now += 1s;
    EXPECT_EQ(press(), Problem::NoSuchHost);
    EXPECT_EQ(sockets.opens, 2);
}

// Windows resolves "localhost" to ::1 before 127.0.0.1, and a Kodi that serves only its own PC listens on
// 127.0.0.1 alone: the datagrams go to the name's IPv4 address when it has one.
TEST(DatagramAddress, AnIpv4AddressOfTheNameGoesFirstElseTheFirstAddress) {
    addrinfo v4{};
    v4.ai_family = AF_INET;
    addrinfo v6second{};
    v6second.ai_family = AF_INET6;
    addrinfo v6{};
    v6.ai_family = AF_INET6;

    v6.ai_next = &v4; // ::1, then 127.0.0.1
    EXPECT_EQ(platform::preferIpv4(&v6, AF_INET), &v4);
    v6.ai_next = &v6second; // IPv6 only
    EXPECT_EQ(platform::preferIpv4(&v6, AF_INET), &v6);
    v4.ai_next = &v6;
    EXPECT_EQ(platform::preferIpv4(&v4, AF_INET), &v4);
    EXPECT_EQ(platform::preferIpv4<addrinfo>(nullptr, AF_INET), nullptr);
}

TEST_F(EventServerTest, BadConfigurationAndNoNetworkAreReportedWithoutSending) {
    const struct {
        const char* host;
        const char* port;
        Problem problem;
    } cases[] = {
        {"127.0.0.1", "97770", Problem::BadPort},
        {"127.0.0.1", "port", Problem::BadPort},
        {"no-such-host.invalid", "9777", Problem::NoSuchHost},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + c.port);
        EventServer fresh(&sockets, Token, [this] { return now; });
        fresh.Configure({ModeEventServer, c.host, c.port});
        EXPECT_EQ(fresh.Press(*FindKodiButton("167")).problem, c.problem);
        EXPECT_EQ(fresh.Notify({"x"}).problem, c.problem);
    }
    EventServer offline(nullptr, Token);
    offline.Configure({ModeEventServer, "127.0.0.1", kodi.portText()});
    EXPECT_EQ(offline.Press(*FindKodiButton("167")).problem, Problem::NoNetwork);
    offline.Close();
    EXPECT_TRUE(kodi.drain().empty());
}
