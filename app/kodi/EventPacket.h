// The packets of Kodi's EventServer protocol (UDP), as Tavrelmond sends them. All numbers are big-endian.
//
// Header, 32 bytes:
//   0  "XBMC"              4  version major 2, minor 0   6  u16 packet type
//   8  u32 sequence number 12 u32 packet count (1: every packet here fits one datagram)
//   16 u16 payload size    18 u32 client token           22 10 reserved bytes (0)
// Payloads:
//   HELO    device name, NUL-terminated; u8 icon type (0 none); u16 port (0); two u32 reserved (0)
//   BUTTON  u16 code (0 when sent by name); u16 flags; u16 amount (0); keymap name and button name, each
//           NUL-terminated
//   BYE     none
//   NOTIFICATION  caption and message, each NUL-terminated; u8 icon type (0 none); u32 reserved (0)
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kodi {

using Packet = std::vector<std::uint8_t>;

namespace PacketType {
inline constexpr std::uint16_t Helo = 0x01;
inline constexpr std::uint16_t Bye = 0x02;
inline constexpr std::uint16_t Button = 0x03;
inline constexpr std::uint16_t Ping = 0x05;
inline constexpr std::uint16_t Notification = 0x07;
} // namespace PacketType

namespace ButtonFlag {
inline constexpr std::uint16_t UseName = 0x01;
inline constexpr std::uint16_t Down = 0x02;
inline constexpr std::uint16_t Up = 0x04;
// Kodi queues the press for its main loop instead of looking at the button's state when the loop next runs:
// without it, a down followed at once by its up is mostly never acted on.
inline constexpr std::uint16_t Queue = 0x10;
inline constexpr std::uint16_t NoRepeat = 0x20;
} // namespace ButtonFlag

inline constexpr std::size_t HeaderSize = 32;
// The protocol's datagrams carry at most 1024 bytes; names are cut so that a packet never exceeds it.
inline constexpr std::size_t MaxPacketSize = 1024;

Packet EncodeHelo(std::uint32_t sequence, std::uint32_t token, std::string_view deviceName);
Packet EncodeButton(std::uint32_t sequence, std::uint32_t token, std::uint16_t flags, std::string_view keymap,
                    std::string_view buttonName);
Packet EncodeBye(std::uint32_t sequence, std::uint32_t token);
Packet EncodePing(std::uint32_t sequence, std::uint32_t token);
Packet EncodeNotification(std::uint32_t sequence, std::uint32_t token, std::string_view caption,
                          std::string_view message);

} // namespace kodi
