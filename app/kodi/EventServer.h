// The EventServer channel: each forwarded button becomes a BUTTON packet (down, then its up) for Kodi's
// keymap "R1" by button name, sent over UDP to Kodi's EventServer (default port 9777); a notification becomes
// a NOTIFICATION packet. Before the first packet the program greets Kodi with HELO, and greets it again
// whenever Kodi may have forgotten it:
//  - after GreetAgainAfter without a packet. Kodi drops a client that has been silent for a minute, and a
//    Kodi restarted meanwhile (which takes longer than GreetAgainAfter) knows no client. A HELO to a Kodi
//    that still knows this client changes nothing there (Kodi 20.1 shows its "Detected new connection"
//    notice only for a new client), so greeting again after a short pause costs one datagram;
//  - after Kodi's host refused a datagram (nothing listened on the port: Kodi was stopped).
// BYE goes out when the channel closes. UDP carries no answer, so the only failure that shows is a refusal
// from Kodi's host (reported as "does not answer", by the press during which it is seen: often the next one,
// since it comes back after the datagram). Nothing here waits on the network but the name lookup, which the
// worker's thread does.
#pragma once

#include "kodi/Channel.h"
#include "kodi/EventPacket.h"
#include "platform/Sockets.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kodi {

class EventServer : public Channel {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::seconds GreetAgainAfter{5};
    // Sending a datagram does not wait in practice; the bound is there for a full send buffer.
    static constexpr std::chrono::milliseconds SendTimeout{250};
    // A host name that did not resolve is not looked up again for this long: the presses meanwhile are
    // dropped at once instead of each waiting on the name service.
    static constexpr std::chrono::seconds HoldOff{5};

    // sockets may be null (no network: every press reports it). token identifies this client to Kodi for the
    // whole run; clock is the time source for GreetAgainAfter and HoldOff.
    explicit EventServer(platform::Sockets* sockets, std::uint32_t token = NewToken(),
                         Clock clock = std::chrono::steady_clock::now);
    ~EventServer() override;
    EventServer(const EventServer&) = delete;
    EventServer& operator=(const EventServer&) = delete;

    // The "IP Address" and "port" texts (empty host is this PC, empty port Kodi's default).
    void Configure(const ChannelSettings& settings) override;
    // One press: HELO when needed, then the down and the up packet.
    Outcome Press(const KodiButtonRow& button) override;
    Outcome Notify(const Notification& notification) override;
    // Says goodbye to Kodi (BYE) when it was greeted, and closes the socket.
    void Close() override;

    std::uint32_t Token() const { return token_; }
    static std::uint32_t NewToken();

  private:
    // Sends the packets (each made with the next sequence number) after a HELO where one is due, on a socket
    // opened when there is none.
    Outcome deliver(const std::vector<std::function<Packet(std::uint32_t sequence)>>& packets);
    // Sends one packet; a refusal reported on the way (it belongs to an earlier datagram) is noted and the
    // packet sent once more. False when the packet could not be sent.
    bool send(const Packet& packet, bool& refused);
    void closeSocket();

    platform::Sockets* sockets_;
    std::uint32_t token_;
    Clock clock_;
    std::optional<Endpoint> endpoint_; // none: "port" is not a port
    platform::Sockets::Socket socket_ = 0;
    std::uint32_t sequence_ = 0;
    bool greeted_ = false;
    std::chrono::steady_clock::time_point lastSent_{};
    std::chrono::steady_clock::time_point holdOffUntil_{};
};

} // namespace kodi
