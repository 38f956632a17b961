#pragma once

// sockaddr_in and the byte-order helpers.
#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

#include "PortnetExport.h"

class CNetDriver;

// Address family of an IPv4 address and UDP port (the platform's AF_INET).
enum : unsigned short { kNetFamilyInet = AF_INET };
// Address family of an in-process loopback endpoint: the endpoint id stands in
// sin_port as a plain 16-bit number and sin_addr is 0. Our own number, not an OS one.
enum : unsigned short { kNetFamilyLocal = 23 };

// Driver types understood by GetSystemNetDriver.
enum : int { kNetDriverLocal = 1, kNetDriverUdp = 2 };

extern "C" {

// The address as text ("a.b.c.d:port" or "LOCAL:id") in one process-wide buffer of
// 100 characters that every call overwrites; null for any other family.
PORTNET_API char* ToString(const sockaddr_in* addr);

// Fills addr from text according to the family addr already holds.
PORTNET_API void GetAddrFromString(const char* text, sockaddr_in* addr);

// IPv4: same address, ports ignored. Local endpoints: same id.
PORTNET_API bool CompareAddr(const sockaddr_in* a, const sockaddr_in* b);

// Creates and registers a driver: type 1 loopback endpoint with id param, type 2 UDP on
// port param. The registry owns it; call Init next. Null for any other type.
PORTNET_API CNetDriver* GetSystemNetDriver(int type, int param);

// Destroys every registered driver, most recent first, and empties both registries.
PORTNET_API int ReleaseSystemNetDriver();
}
