#pragma once

// What each OS folder (posix/, win32/) provides to the layer's shared code; nothing outside
// src/platform/ includes this.

#include <cstdint>

#include "platform/PlatformSystem.h"
#include "platform/SocketAddress.h"

struct addrinfo;

namespace portnet::platform::os {

int SocketStartup(std::uint16_t version, SocketLayerInfo* info);
int SocketCleanup();
bool CounterFrequency(std::int64_t* frequency);
bool Counter(std::int64_t* count);
std::uint32_t MillisecondTimer();

// The first address of the family (AF_UNSPEC: either) the system's resolver gives for host, in
// its order, into *out; one of the kResolve codes.
int Lookup(const char* host, int family, sockaddr_storage* out);
// Shared, for the folders' Lookup: the first IPv4 or IPv6 record of a resolver's list into
// *out; kResolveOk or kResolveNotFound.
int FirstAddress(const addrinfo* list, sockaddr_storage* out);

} // namespace portnet::platform::os
