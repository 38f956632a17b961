#include "platform/PlatformAddr.h"

#include <cstring>

namespace portnet::platform {

namespace {

std::uint16_t PortToNetwork(std::uint16_t port) {
    const unsigned char b[2] = {static_cast<unsigned char>(port >> 8),
                                static_cast<unsigned char>(port)};
    std::uint16_t stored;
    std::memcpy(&stored, b, 2);
    return stored;
}

std::uint16_t PortFromNetwork(std::uint16_t stored) {
    unsigned char b[2];
    std::memcpy(b, &stored, 2);
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

} // namespace

int AddrToSockaddr(const CNetAddr& addr, bool v6_socket, sockaddr_storage* out) {
    std::memset(out, 0, sizeof *out);
    if (addr.IsInet() && !v6_socket) {
        sockaddr_in in;
        std::memset(&in, 0, sizeof in);
        in.sin_family = AF_INET;
        in.sin_port = PortToNetwork(addr.Port());
        std::memcpy(&in.sin_addr, addr.Bytes(), 4);
        std::memcpy(out, &in, sizeof in);
        return static_cast<int>(sizeof in);
    }
    if (!v6_socket || (!addr.IsInet() && !addr.IsInet6())) return -1;
    sockaddr_in6 in6;
    std::memset(&in6, 0, sizeof in6);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = PortToNetwork(addr.Port());
    unsigned char bytes[16] = {};
    if (addr.IsInet()) {
        // ::ffff:a.b.c.d: the dual-stack socket sends it as IPv4.
        bytes[10] = bytes[11] = 0xFF;
        std::memcpy(bytes + 12, addr.Bytes(), 4);
    } else {
        std::memcpy(bytes, addr.Bytes(), 16);
        in6.sin6_scope_id = addr.ScopeId();
    }
    std::memcpy(&in6.sin6_addr, bytes, 16);
    std::memcpy(out, &in6, sizeof in6);
    return static_cast<int>(sizeof in6);
}

int AddrFromSockaddr(const sockaddr* sa, int len, CNetAddr* out) {
    *out = CNetAddr();
    if (sa == nullptr || len < static_cast<int>(sizeof(sa->sa_family))) return -1;
    if (sa->sa_family == AF_INET && len >= static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in in;
        std::memcpy(&in, sa, sizeof in);
        unsigned char bytes[4];
        std::memcpy(bytes, &in.sin_addr, 4);
        *out = CNetAddr::Ipv4(bytes, PortFromNetwork(in.sin_port));
        return 1;
    }
    if (sa->sa_family == AF_INET6 && len >= static_cast<int>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6;
        std::memcpy(&in6, sa, sizeof in6);
        unsigned char bytes[16];
        std::memcpy(bytes, &in6.sin6_addr, 16);
        *out = CNetAddr::Ipv6(bytes, PortFromNetwork(in6.sin6_port),
                              static_cast<std::uint32_t>(in6.sin6_scope_id));
        return 1;
    }
    return -1;
}

} // namespace portnet::platform
