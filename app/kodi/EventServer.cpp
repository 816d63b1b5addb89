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
    close();
}

void EventServer::close() {
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

Outcome EventServer::Press(const KodiButtonRow& button, const std::string& ip, const std::string& port) {
    if (sockets_ == nullptr) {
        return {Problem::NoNetwork};
    }
    const std::optional<Endpoint> endpoint = ParseEndpoint(ip, port, DefaultEventServerPort);
    if (!endpoint) {
        return {Problem::BadPort};
    }
    const std::string where = endpoint->text();
    if (socket_ != 0 && endpoint_ != where) {
        close();
    }
    if (socket_ == 0) {
        if (clock_() < holdOffUntil_) {
            return {Problem::NoSuchHost, 0, where};
        }
        const Sockets::Opened opened = sockets_->openDatagram(endpoint->host, endpoint->port);
        if (opened.status == Sockets::Status::NoSuchHost) {
            holdOffUntil_ = clock_() + HoldOff;
        }
        if (opened.status != Sockets::Status::Ok) {
            return {opened.status == Sockets::Status::NoSuchHost ? Problem::NoSuchHost
                                                                 : Problem::NotAnswering,
                    0, where};
        }
        socket_ = opened.socket;
        endpoint_ = where;
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
    sent = sent && send(EncodeButton(++sequence_, token_, DownFlags, RemoteKeymap, button.r1Name), refused);
    sent = sent && send(EncodeButton(++sequence_, token_, UpFlags, RemoteKeymap, button.r1Name), refused);
    if (!sent || refused) {
        return {Problem::NotAnswering, 0, where};
    }
    return {Problem::None, 0, where};
}

void EventServer::Bye() {
    if (socket_ != 0 && greeted_) {
        bool refused = false;
        send(EncodeBye(++sequence_, token_), refused);
    }
    close();
}

} // namespace kodi
