#include "platform/PlatformResolve.h"

#include "platform/PlatformAddr.h"
#include "platform/PlatformOs.h"

#include <cstring>

#if !defined(_WIN32)
#include <netdb.h>
#endif

namespace portnet::platform {

namespace os {

int FirstAddress(const addrinfo* list, sockaddr_storage* out) {
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        const std::size_t need =
            a->ai_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (a->ai_addrlen < need) continue;
        std::memset(out, 0, sizeof *out);
        std::memcpy(out, a->ai_addr, need);
        return kResolveOk;
    }
    return kResolveNotFound;
}

} // namespace os

int ResolveIpv4(const char* host, in_addr* out) {
    sockaddr_storage found;
    const int code = os::Lookup(host, AF_INET, &found);
    if (code == kResolveOk) *out = reinterpret_cast<const sockaddr_in*>(&found)->sin_addr;
    return code;
}

int ResolveAny(const char* host, std::uint16_t port, CNetAddr* out) {
    sockaddr_storage found;
    const int code = os::Lookup(host, AF_UNSPEC, &found);
    if (code != kResolveOk) return code;
    CNetAddr addr;
    if (AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&found), sizeof found, &addr) != 1)
        return kResolveFailed;
    addr.SetPort(port);
    *out = addr;
    return kResolveOk;
}

} // namespace portnet::platform
