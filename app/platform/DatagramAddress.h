// Which of the addresses a host name resolves to the sockets adapters send datagrams to. Kodi's EventServer
// listens on IPv4 whatever its settings (on 127.0.0.1 alone when it serves only its own PC, on every
// address, IPv4 included, otherwise), while Windows lists "localhost" as ::1 before 127.0.0.1, so the first
// address would miss a Kodi on this PC. An IPv4 address therefore goes first when the name has one.
//
// getaddrinfo's list has the same shape with Winsock and with BSD sockets; each adapter passes its own list
// and its AF_INET.
#pragma once

namespace platform {

template <typename AddrInfo> const AddrInfo* preferIpv4(const AddrInfo* list, int inetFamily) {
    for (const AddrInfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family == inetFamily) {
            return a;
        }
    }
    return list;
}

} // namespace platform
