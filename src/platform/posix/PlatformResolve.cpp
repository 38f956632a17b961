#include "platform/PlatformResolve.h"

#include "platform/PlatformAddr.h"

#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace portnet::platform {

namespace {

// The first record of the family (AF_UNSPEC: either) the resolver gives, in its order.
int Lookup(const char* host, int family, sockaddr_storage* out) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    // No AI_ADDRCONFIG: it hides IPv4 answers on a machine whose only IPv4 address is
    // loopback, which is where "localhost" matters most.
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &list);
    if (rc != 0) {
        switch (rc) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return kResolveNotFound;
        case EAI_AGAIN:
            return kResolveTryAgain;
        default:
            return kResolveFailed;
        }
    }
    int result = kResolveNotFound;
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

std::uint32_t InterfaceIndex(const char* name) {
    return if_nametoindex(name);
}

} // namespace portnet::platform
