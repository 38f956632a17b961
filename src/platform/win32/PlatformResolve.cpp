#include "platform/PlatformResolve.h"

#include "platform/PlatformAddr.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace portnet::platform {

namespace {

// The first record of the family (AF_UNSPEC: either) the resolver gives, in its order.
int Lookup(const char* host, int family, sockaddr_storage* out) {
    // Winsock answers nothing before WSAStartup, and a program may resolve before it made its
    // first driver; Winsock counts the pair, so a started layer is left as it was.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return kResolveFailed;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &list);
    int result = kResolveNotFound;
    if (rc == WSAHOST_NOT_FOUND || rc == WSANO_DATA) {
        result = kResolveNotFound;
    } else if (rc == WSATRY_AGAIN) {
        result = kResolveTryAgain;
    } else if (rc != 0) {
        result = kResolveFailed;
    } else {
        for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
            if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
            const std::size_t need =
                a->ai_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            if (a->ai_addrlen < need) continue;
            std::memset(out, 0, sizeof *out);
            std::memcpy(out, a->ai_addr, need);
            result = kResolveOk;
            break;
        }
        freeaddrinfo(list);
    }
    WSACleanup();
    return result;
}

} // namespace

int ResolveIpv4(const char* host, in_addr* out) {
    sockaddr_storage found;
    const int code = Lookup(host, AF_INET, &found);
    if (code == kResolveOk) *out = reinterpret_cast<const sockaddr_in*>(&found)->sin_addr;
    return code;
}

int ResolveAny(const char* host, std::uint16_t port, CNetAddr* out) {
    sockaddr_storage found;
    const int code = Lookup(host, AF_UNSPEC, &found);
    if (code != kResolveOk) return code;
    CNetAddr addr;
    if (AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&found), sizeof found, &addr) != 1)
        return kResolveFailed;
    addr.SetPort(port);
    *out = addr;
    return kResolveOk;
}

// Windows names its interfaces for people ("Ethernet 2") and writes scopes as numbers
// ("fe80::1%12"); the number is what a scope takes here.
std::uint32_t InterfaceIndex(const char*) {
    return 0;
}

} // namespace portnet::platform
