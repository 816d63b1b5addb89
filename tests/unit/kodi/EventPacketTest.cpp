// The EventServer packets, byte for byte against packets worked out by hand from the protocol's layout.
#include "kodi/EventPacket.h"

#include <gtest/gtest.h>

#include <string>

using namespace kodi;

namespace {

// The 32-byte header: "XBMC", version 2.0, type, sequence, packet count 1, payload size, token, 10 zeros.
Packet header(std::uint8_t type, std::initializer_list<std::uint8_t> sequence, std::uint16_t payload,
              std::initializer_list<std::uint8_t> token) {
    Packet p;
    p.reserve(32);
    p.insert(p.end(), {'X', 'B', 'M', 'C', 0x02, 0x00, 0x00, type});
    p.insert(p.end(), sequence);
    p.insert(p.end(), {0x00, 0x00, 0x00, 0x01});
    p.insert(p.end(), {static_cast<std::uint8_t>(payload >> 8), static_cast<std::uint8_t>(payload)});
    p.insert(p.end(), token);
    p.insert(p.end(), 10, 0x00);
    return p;
}

Packet operator+(Packet a, std::initializer_list<std::uint8_t> b) {
    a.insert(a.end(), b);
    return a;
}

} // namespace

TEST(EventPacket, PacketsMatchTheirHandWorkedBytes) {
    const std::initializer_list<std::uint8_t> token = {0x01, 0x02, 0x03, 0x04};
    const struct {
        const char* name;
        Packet encoded;
        Packet expected;
    } cases[] = {
        {"HELO Tavrelmond, no icon", EncodeHelo(1, 0x01020304, "Tavrelmond"),
         header(0x01, {0, 0, 0, 1}, 22, token) +
             std::initializer_list<std::uint8_t>{'T',  'a',  'v',  'r',  'e',  'l',  'm',  'o',
                                                 'n',  'd',  0x00, // name
                                                 0x00,             // icon
                                                 0x00, 0x00,       // port
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"BUTTON R1 down, pressed: use-name + down + no-repeat + queue",
         EncodeButton(2, 0x01020304, 0x33, "R1", "down"),
         header(0x03, {0, 0, 0, 2}, 14, token) + std::initializer_list<std::uint8_t>{0x00, 0x00, // code
                                                                                     0x00, 0x33, // flags
                                                                                     0x00, 0x00, // amount
                                                                                     'R', '1', 0x00, 'd', 'o',
                                                                                     'w', 'n', 0x00}},
        {"BUTTON R1 skipminus, released: use-name + up + no-repeat + queue",
         EncodeButton(0x00010203, 0x01020304, 0x35, "R1", "skipminus"),
         header(0x03, {0x00, 0x01, 0x02, 0x03}, 19, token) +
             std::initializer_list<std::uint8_t>{0x00, 0x00, 0x00, 0x35, 0x00, 0x00, 'R', '1', 0x00, 's', 'k',
                                                 'i', 'p', 'm', 'i', 'n', 'u', 's', 0x00}},
        {"BYE, a sequence and token with every byte distinct", EncodeBye(0xA1B2C3D4, 0xDEADBEEF),
         header(0x02, {0xA1, 0xB2, 0xC3, 0xD4}, 0, {0xDE, 0xAD, 0xBE, 0xEF})},
        {"PING", EncodePing(7, 0x01020304), header(0x05, {0, 0, 0, 7}, 0, token)},
        {"NOTIFICATION: caption, message, no icon, reserved", EncodeNotification(9, 0x01020304, "T", "Hi!"),
         header(0x07, {0, 0, 0, 9}, 11, token) +
             std::initializer_list<std::uint8_t>{'T', 0x00, 'H', 'i', '!', 0x00, // caption, message
                                                 0x00,                           // icon
                                                 0x00, 0x00, 0x00, 0x00}},       // reserved
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.encoded, c.expected);
    }
}

TEST(EventPacket, OverlongNamesAreCutSoThePacketStaysWithinOneDatagram) {
    const std::string huge(5000, 'x');
    for (const Packet& p : {EncodeHelo(1, 1, huge), EncodeButton(1, 1, 0x33, huge, "down"),
                            EncodeButton(1, 1, 0x33, "R1", huge), EncodeButton(1, 1, 0x33, huge, huge),
                            EncodeNotification(1, 1, huge, "m"), EncodeNotification(1, 1, "T", huge)}) {
        ASSERT_EQ(p.size(), MaxPacketSize);
        // The payload size field agrees with the datagram.
        EXPECT_EQ(p[16] << 8 | p[17], static_cast<int>(MaxPacketSize - HeaderSize));
    }
    // HELO keeps its fixed tail after the cut name: NUL, icon type, port, reserved.
    const Packet helo = EncodeHelo(1, 1, huge);
    EXPECT_EQ(Packet(helo.end() - 12, helo.end()), Packet(12, 0x00));
    EXPECT_NE(helo[helo.size() - 13], 0x00);
    // A button whose keymap name fills the packet still ends with the two NUL terminators.
    const Packet button = EncodeButton(1, 1, 0x33, huge, "down");
    EXPECT_EQ(button[button.size() - 1], 0x00);
    EXPECT_EQ(button[button.size() - 2], 0x00);
    // A notification whose caption fills the packet keeps an empty message and its five bytes after it.
    const Packet notification = EncodeNotification(1, 1, huge, "message");
    EXPECT_EQ(Packet(notification.end() - 7, notification.end()), Packet(7, 0x00));
    EXPECT_NE(notification[notification.size() - 8], 0x00);
}

TEST(EventPacket, ANulInsideANameEndsItThere) {
    using namespace std::string_literals;
    EXPECT_EQ(EncodeButton(1, 1, 0x33, "R1", "do\0wn"s), EncodeButton(1, 1, 0x33, "R1", "do"));
}
