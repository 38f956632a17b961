#include "platform/PlatformAddr.h"
#include "platform/PlatformOs.h"
#include "platform/PlatformResolve.h"

#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace portnet::platform {

int os::Lookup(const char* host, int family, sockaddr_storage* out) {
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
    const int result = FirstAddress(list, out);
    freeaddrinfo(list);
    return result;
}

std::uint32_t InterfaceIndex(const char* name) {
    return if_nametoindex(name);
}

} // namespace portnet::platform
