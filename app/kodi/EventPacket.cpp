// Encoding of the EventServer packets.
#include "kodi/EventPacket.h"

#include <algorithm>

namespace kodi {

namespace {

void put16(Packet& p, std::uint16_t v) {
    p.push_back(static_cast<std::uint8_t>(v >> 8));
    p.push_back(static_cast<std::uint8_t>(v));
}

void put32(Packet& p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v >> 16));
    put16(p, static_cast<std::uint16_t>(v));
}

// A name and its terminating NUL, cut so that the packet stays within MaxPacketSize with `reserve` bytes
// still to follow it. A NUL inside the name ends it there, as the receiver would read it.
void putName(Packet& p, std::string_view name, std::size_t reserve) {
    name = name.substr(0, name.find('\0'));
    const std::size_t room = MaxPacketSize - std::min(MaxPacketSize, p.size() + reserve + 1);
    name = name.substr(0, room);
    p.insert(p.end(), name.begin(), name.end());
    p.push_back(0);
}

Packet header(std::uint16_t type, std::uint32_t sequence, std::uint32_t token) {
    Packet p;
    p.reserve(64);
    p.insert(p.end(), {'X', 'B', 'M', 'C', 2, 0});
    put16(p, type);
    put32(p, sequence);
    put32(p, 1);
    put16(p, 0); // payload size, filled in by finish()
    put32(p, token);
    p.insert(p.end(), 10, 0);
    return p;
}

Packet finish(Packet p) {
    const std::size_t payload = p.size() - HeaderSize;
    p[16] = static_cast<std::uint8_t>(payload >> 8);
    p[17] = static_cast<std::uint8_t>(payload);
    return p;
}

} // namespace

Packet EncodeHelo(std::uint32_t sequence, std::uint32_t token, std::string_view deviceName) {
    Packet p = header(PacketType::Helo, sequence, token);
    putName(p, deviceName, 11);
    p.push_back(0); // icon type: none
    put16(p, 0);    // port
    put32(p, 0);    // reserved
    put32(p, 0);    // reserved
    return finish(std::move(p));
}

Packet EncodeButton(std::uint32_t sequence, std::uint32_t token, std::uint16_t flags, std::string_view keymap,
                    std::string_view buttonName) {
    Packet p = header(PacketType::Button, sequence, token);
    put16(p, 0); // code: the button goes by name
    put16(p, flags);
    put16(p, 0); // amount
    // The keymap name leaves room for at least an empty button name.
    putName(p, keymap, 1);
    putName(p, buttonName, 0);
    return finish(std::move(p));
}

Packet EncodeBye(std::uint32_t sequence, std::uint32_t token) {
    return finish(header(PacketType::Bye, sequence, token));
}

Packet EncodeNotification(std::uint32_t sequence, std::uint32_t token, std::string_view caption,
                          std::string_view message) {
    Packet p = header(PacketType::Notification, sequence, token);
    // The caption leaves room for at least an empty message and the five bytes after it.
    putName(p, caption, 6);
    putName(p, message, 5);
    p.push_back(0); // icon type: none
    put32(p, 0);    // reserved
    return finish(std::move(p));
}

Packet EncodePing(std::uint32_t sequence, std::uint32_t token) {
    return finish(header(PacketType::Ping, sequence, token));
}

} // namespace kodi
