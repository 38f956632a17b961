#include "platform/PlatformResolve.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace portnet::platform {

int ResolveIpv4(const char* host, in_addr* out) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    // No AI_ADDRCONFIG: it hides IPv4 answers on a machine whose only IPv4 address is
    // loopback, which is where "localhost" matters most.
    hints.ai_family = AF_INET;
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
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in found;
        std::memcpy(&found, a->ai_addr, sizeof found);
        *out = found.sin_addr;
        result = kResolveOk;
        break;
    }
    freeaddrinfo(list);
    return result;
}

} // namespace portnet::platform
