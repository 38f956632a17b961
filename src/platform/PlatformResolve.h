#pragma once

#include "platform/SocketAddress.h"

// The system's name resolver, the one seam between address text and getaddrinfo.
namespace portnet::platform {

enum : int {
    kResolveOk = 0,
    kResolveNotFound = 1, // the name does not exist, or has no IPv4 address
    kResolveTryAgain = 2, // the resolver could not answer now (no server reached)
    kResolveFailed = 3,   // any other failure (no memory, no socket layer, a system error)
};

// The first IPv4 address the resolver gives for host (a name without port) into *out, as
// sin_addr holds it. Returns one of the codes above; *out is written only on kResolveOk.
// Blocks while the resolver asks the network.
int ResolveIpv4(const char* host, in_addr* out);

} // namespace portnet::platform
