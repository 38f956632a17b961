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

// Fills addr from text according to the family addr already holds. Reports nothing: malformed
// text gives whatever the digits it met make (unparsed fields count as 0, numbers keep their low
// bits). Text a user typed goes through ParseAddr or ResolveAddr instead.
PORTNET_API void GetAddrFromString(const char* text, sockaddr_in* addr);

// The checked parse of "a.b.c.d:port": four decimal parts of 0..255 and a port of 0..65535,
// nothing before, between or after (no signs, blanks or host names). Leading zeros are refused
// ("010" is octal 8 to inet_aton and 10 to others), so the one accepted spelling of a record is
// the one ToString prints. 1 with *addr filled (family kNetFamilyInet, the rest zero, network
// byte order); -1 with *addr untouched and, when err is not null, a short reason such as
// "300.1.2.3:40631: part 1 is above 255" in err, always zero-terminated within err_size
// (err_size 0 or a null err: no reason written). A success leaves err empty.
PORTNET_API int ParseAddr(const char* text, sockaddr_in* addr, char* err, int err_size);

// ParseAddr, else "name:port" with the name resolved to its first IPv4 address by the system's
// resolver ("localhost:4000" gives 127.0.0.1:4000). Blocks while the resolver asks the network:
// call it when starting or connecting, not in the frame loop. A name whose last label starts
// with a digit is taken as a mistyped address and gets ParseAddr's reason, so no resolver
// reads "1.2.3:4" as 1.2.0.3. Results and err as ParseAddr.
PORTNET_API int ResolveAddr(const char* text, sockaddr_in* addr, char* err, int err_size);

// Whether a record can be sent to: 1 for an IPv4 address other than 0.0.0.0 with a port other
// than 0, and for any loopback endpoint (kNetFamilyLocal); -1 with a reason in err otherwise
// ("0.0.0.0:4000: 0.0.0.0 is no destination"). ParseAddr and ResolveAddr accept both zeros, as
// binding uses them ("0.0.0.0:0": any address, a port the system chooses); a connecting side
// checks the record it got with this as well.
PORTNET_API int CheckDestAddr(const sockaddr_in* addr, char* err, int err_size);

// IPv4: same address, ports ignored. Local endpoints: same id.
PORTNET_API bool CompareAddr(const sockaddr_in* a, const sockaddr_in* b);

// Creates and registers a driver: type 1 loopback endpoint with id param, type 2 UDP on
// port param. The registry owns it; call Init next. Null for any other type.
PORTNET_API CNetDriver* GetSystemNetDriver(int type, int param);

// Destroys every registered driver, most recent first, and empties both registries.
PORTNET_API int ReleaseSystemNetDriver();
}
