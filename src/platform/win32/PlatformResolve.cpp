#include "platform/PlatformAddr.h"
#include "platform/PlatformOs.h"
#include "platform/PlatformResolve.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace portnet::platform {

int os::Lookup(const char* host, int family, sockaddr_storage* out) {
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
        result = FirstAddress(list, out);
        freeaddrinfo(list);
    }
    WSACleanup();
    return result;
}

// Windows names its interfaces for people ("Ethernet 2") and writes scopes as numbers
// ("fe80::1%12"); the number is what a scope takes here.
std::uint32_t InterfaceIndex(const char*) {
    return 0;
}

} // namespace portnet::platform
