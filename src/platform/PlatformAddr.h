#pragma once

#include <cstdint>

#include "platform/SocketAddress.h"
#include "portnet/CNetAddr.h"

// Between CNetAddr and the system's socket address records, field by field.
namespace portnet::platform {

// The record a socket of the given kind sends to: a v6 socket (dual-stack or IPv6-only) takes
// an IPv4 address v4-mapped, a v4 socket takes IPv4 only. The record's length, or -1 for an
// address the socket cannot reach (IPv6 on a v4 socket, a loopback endpoint, no address).
int AddrToSockaddr(const CNetAddr& addr, bool v6_socket, sockaddr_storage* out);
// The address a system record holds (normalised as CNetAddr keeps it); 1, or -1 with *out
// set to no address for a family other than AF_INET and AF_INET6 or a short record.
int AddrFromSockaddr(const sockaddr* sa, int len, CNetAddr* out);

// The number of the interface of this machine with this name, 0 when there is none.
std::uint32_t InterfaceIndex(const char* name);

// The first address of either family the resolver gives for host (a name without port), with
// the port set. Returns a kResolve* code (PlatformResolve.h); *out is written only on success.
int ResolveAny(const char* host, std::uint16_t port, CNetAddr* out);

} // namespace portnet::platform
