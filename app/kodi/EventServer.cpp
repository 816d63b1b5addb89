#include "kodi/EventServer.h"

namespace kodi {

using platform::Sockets;

namespace {

constexpr std::uint16_t DownFlags =
    ButtonFlag::UseName | ButtonFlag::Down | ButtonFlag::NoRepeat | ButtonFlag::Queue;
constexpr std::uint16_t UpFlags =
    ButtonFlag::UseName | ButtonFlag::Up | ButtonFlag::NoRepeat | ButtonFlag::Queue;

} // namespace

std::uint32_t EventServer::NewToken() {
    // Any number that differs between runs will do; 0 is avoided.
    const auto ticks =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto token = static_cast<std::uint32_t>(ticks ^ (ticks >> 32));
    return token != 0 ? token : 1;
}

EventServer::EventServer(Sockets* sockets, std::uint32_t token, Clock clock)
    : sockets_(sockets), token_(token), clock_(std::move(clock)) {}

EventServer::~EventServer() {
    closeSocket();
}

void EventServer::Configure(const ChannelSettings& settings) {
    std::optional<Endpoint> endpoint = ParseEndpoint(settings.host, settings.port, DefaultEventServerPort);
    const bool same = endpoint && endpoint_ && endpoint->text() == endpoint_->text();
    if (!same) {
        Close(); // the Kodi talked to so far hears that this client is gone
        holdOffUntil_ = {};
    }
    endpoint_ = std::move(endpoint);
}

void EventServer::closeSocket() {
    if (socket_ != 0) {
        sockets_->close(socket_);
        socket_ = 0;
    }
    greeted_ = false;
}

bool EventServer::send(const Packet& packet, bool& refused) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Sockets::Status status = sockets_->send(socket_, packet.data(), packet.size(), SendTimeout);
        if (status == Sockets::Status::Ok) {
            lastSent_ = clock_();
            return true;
        }
        if (status != Sockets::Status::Refused) {
            return false;
        }
        refused = true;
        greeted_ = false;
    }
    return false;
}

Outcome EventServer::deliver(const std::vector<std::function<Packet(std::uint32_t)>>& packets) {
    if (sockets_ == nullptr) {
        return {Problem::NoNetwork};
    }
    if (!endpoint_) {
        return {Problem::BadPort};
    }
    const std::string where = endpoint_->text();
    if (socket_ == 0) {
        if (clock_() < holdOffUntil_) {
            return {Problem::NoSuchHost, 0, where, "not looked up again yet"};
        }
        const Sockets::Opened opened = sockets_->openDatagram(endpoint_->host, endpoint_->port);
        if (opened.status == Sockets::Status::NoSuchHost) {
            holdOffUntil_ = clock_() + HoldOff;
            return {Problem::NoSuchHost, 0, where, "the name does not resolve"};
        }
        if (opened.status != Sockets::Status::Ok) {
            return {Problem::NotAnswering, 0, where, "no socket for the address"};
        }
        socket_ = opened.socket;
        greeted_ = false;
    }

    // A datagram sent earlier found nothing listening: whatever listens now has not heard of this program.
    // The refusal is this press's news too: from a Kodi on another host (and on Windows, which reports it
    // only to a later read, never to a send) it arrives after the press that caused it has returned, and
    // this is the first look at it.
    bool refused = false;
    if (sockets_->pending(socket_) == Sockets::Status::Refused) {
        greeted_ = false;
        refused = true;
    }

    const bool silent = clock_() - lastSent_ >= GreetAgainAfter;
    bool sent = true;
    if (!greeted_ || silent) {
        sent = send(EncodeHelo(++sequence_, token_, DeviceName), refused);
        greeted_ = sent;
    }
    for (const auto& make : packets) {
        sent = sent && send(make(++sequence_), refused);
    }
    if (!sent || refused) {
        return {Problem::NotAnswering, 0, where,
                refused ? "the host refused a datagram (nothing listens on the port)"
                        : "a datagram could not be sent"};
    }
    return {Problem::None, 0, where};
}

Outcome EventServer::Press(const KodiButtonRow& button) {
    const std::string_view name = button.r1Name;
    return deliver({[&](std::uint32_t s) { return EncodeButton(s, token_, DownFlags, RemoteKeymap, name); },
                    [&](std::uint32_t s) { return EncodeButton(s, token_, UpFlags, RemoteKeymap, name); }});
}

Outcome EventServer::Notify(const Notification& notification) {
    return deliver({[&](std::uint32_t s) {
        return EncodeNotification(s, token_, NotificationTitle, notification.message);
    }});
}

void EventServer::Close() {
    if (socket_ != 0 && greeted_) {
        bool refused = false;
        send(EncodeBye(++sequence_, token_), refused);
    }
    closeSocket();
}

} // namespace kodi
