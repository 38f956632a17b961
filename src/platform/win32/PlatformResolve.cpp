#include "platform/PlatformResolve.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace portnet::platform {

int ResolveIpv4(const char* host, in_addr* out) {
    // Winsock answers nothing before WSAStartup, and a program may resolve before it made its
    // first driver; Winsock counts the pair, so a started layer is left as it was.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return kResolveFailed;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
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
            if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
            sockaddr_in found;
            std::memcpy(&found, a->ai_addr, sizeof found);
            *out = found.sin_addr;
            result = kResolveOk;
            break;
        }
        freeaddrinfo(list);
    }
    WSACleanup();
    return result;
}

} // namespace portnet::platform
