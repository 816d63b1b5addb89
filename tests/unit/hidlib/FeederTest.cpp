// The host feeder against a stand-in for the virtual DLL: a loopback client that runs the same line session
// the DLL runs, over a real TCP connection.
#include "Feeder.h"
#include "RecordingPoster.h"
#include "hidlib/LineProtocol.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendText(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// What the virtual DLL does with its connection, in POSIX terms.
void serveLibrary(int fd, hidlib::Core& core) {
    sendText(fd, std::string(hidlib::wire::kHello) + "\n");
    hidlib::wire::Session session(core);
    hidlib::wire::LineSplitter splitter;
    char chunk[512];
    ssize_t n;
    while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) {
        splitter.feed(
            std::string_view(chunk, static_cast<std::size_t>(n)), [&](std::string_view line, bool tooLong) {
                const std::string reply = tooLong ? hidlib::wire::Session::tooLong() : session.apply(line);
                if (!reply.empty()) {
                    sendText(fd, reply + "\n");
                }
            });
    }
    session.end();
    ::close(fd);
}

TEST(FeederTest, DrivesTheLibrarySessionOverLoopback) {
    RecordingPoster poster;
    hidlib::Core core(poster);
    ASSERT_TRUE(core.connect(5));

    hidfeed::Feeder feeder;
    const std::uint16_t port = feeder.listen();
    ASSERT_NE(port, 0);
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    std::thread library(serveLibrary, client, std::ref(core));
    ASSERT_TRUE(feeder.accept());
    EXPECT_EQ(feeder.greeting(), hidlib::wire::kHello);

    const std::int32_t h = feeder.attach(1, 0x045E, 0x0284);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(feeder.attach(1, 0x045E, 0x0284), 0) << "the same device twice is refused";
    EXPECT_TRUE(feeder.change());
    core.setReadNotify(h, true);
    EXPECT_EQ(feeder.report(1, hidfeed::buttonReport(0xA7)), "ok");
    EXPECT_EQ(feeder.report(1, hidfeed::buttonReport(0xA7)), "ok duplicate");
    EXPECT_EQ(feeder.request("frobnicate"), "error unknown command");
    EXPECT_EQ(feeder.request(std::string(2000, 'x')), "error line too long");
    EXPECT_FALSE(feeder.remove(2));

    std::array<std::uint8_t, 17> buffer{};
    ASSERT_EQ(core.read(h, buffer.data()), 7u);
    EXPECT_EQ(buffer[3], 0xA7);
    EXPECT_EQ(buffer[5], 0x41);

    feeder.closeConnection();
    library.join();
    EXPECT_EQ(
        poster.take(),
        (std::vector<Posted>{
            {5, 0x80C8, 1, 1}, {5, 0x80C8, 3, 0}, {5, 0x80C8, 4, 1}, {5, 0x80C8, 2, 1}, {5, 0x80C8, 3, 0}}));
    EXPECT_FALSE(feeder.request("change").has_value()) << "no connection any more";
}

TEST(FeederTest, RefusesAClientWithoutTheGreeting) {
    hidfeed::Feeder feeder;
    const std::uint16_t port = feeder.listen();
    ASSERT_NE(port, 0);
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    sendText(client, "GET / HTTP/1.0\r\n");
    EXPECT_FALSE(feeder.accept(std::chrono::milliseconds(2000)));
    EXPECT_FALSE(feeder.connected());
    ::close(client);
}

} // namespace
