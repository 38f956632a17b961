#pragma once

#include <cstdint>

#include "NetAddress.h"
#include "PortnetExport.h"

// Address family of an IPv6 address and UDP port. Our own number, not the OS's AF_INET6 (10 on
// Linux, 23 on Windows, 30 on macOS): a CNetAddr is converted field by field, never cast.
enum : unsigned short { kNetFamilyInet6 = 10 };

// One endpoint of either IP family, or an in-process loopback endpoint: what a driver sends to
// and receives from. A plain value (24 bytes, copyable, no allocation), kept normal on every
// way in, so that equal endpoints are equal field for field:
// - an IPv4-mapped IPv6 address (::ffff:a.b.c.d) is stored as the IPv4 address it is, so a
//   player reaching a dual-stack host over IPv4 reads, compares and hashes as that IPv4 address;
// - a scope id is kept only where the address needs one (link-local fe80::/10 and the
//   interface- and link-local multicast scopes), 0 elsewhere;
// - the bytes an address does not use are zero.
// Text forms: "1.2.3.4:5", "[2001:db8::1]:5", "[fe80::1%2]:5" (scope by number; Parse also
// takes an interface name, "[fe80::1%eth0]:5"), "LOCAL:7" for a loopback endpoint.
class PORTNET_API CNetAddr {
public:
    // Longest text ToText writes, with its zero: "[" 39 "%" 10 "]:" 5.
    enum : int { kMaxText = 64 };

    // No address: family 0, which no driver sends to.
    CNetAddr() = default;

    // a.b.c.d as four bytes in reading order, and a port.
    static CNetAddr Ipv4(const unsigned char bytes[4], std::uint16_t port);
    // 16 bytes in reading order; a v4-mapped address becomes its IPv4 address, and the scope
    // is dropped where the address needs none.
    static CNetAddr Ipv6(const unsigned char bytes[16], std::uint16_t port,
                         std::uint32_t scope = 0);
    static CNetAddr Local(std::uint16_t id);
    // An IPv4 record (kNetFamilyInet) or a loopback one (kNetFamilyLocal) as the existing
    // interfaces hold them; any other family gives no address.
    static CNetAddr FromSockaddrIn(const sockaddr_in& in);
    // The reverse, for the interfaces that hold a sockaddr_in: 1 for IPv4 and loopback
    // endpoints; -1, *out untouched, for IPv6 and no address.
    int ToSockaddrIn(sockaddr_in* out) const;

    unsigned short Family() const { return m_family; }
    bool IsInet() const { return m_family == kNetFamilyInet; }
    bool IsInet6() const { return m_family == kNetFamilyInet6; }
    bool IsLocal() const { return m_family == kNetFamilyLocal; }
    // The UDP port; a loopback endpoint's id.
    std::uint16_t Port() const { return m_port; }
    void SetPort(std::uint16_t port) { m_port = port; }
    std::uint32_t ScopeId() const { return m_scope; }
    // The address bytes in reading order: 4 for IPv4, 16 for IPv6, none for the others.
    const unsigned char* Bytes() const { return m_bytes; }
    int ByteCount() const {
        return m_family == kNetFamilyInet ? 4 : m_family == kNetFamilyInet6 ? 16 : 0;
    }
    // 0.0.0.0 or :: (binding to every address), whatever the port.
    bool IsUnspecified() const;
    // 127.0.0.0/8 or ::1.
    bool IsLoopback() const;
    // fe80::/10.
    bool IsLinkLocal() const;

    // Same endpoint: family, address, scope and port (a loopback endpoint: same id).
    bool operator==(const CNetAddr& o) const;
    bool operator!=(const CNetAddr& o) const { return !(*this == o); }
    // Same host, ports ignored for the IP families (what CompareAddr says for IPv4); a
    // loopback endpoint is its id.
    bool SameHost(const CNetAddr& o) const;
    // Equal as operator== when with_port, as SameHost when not.
    bool Equal(const CNetAddr& o, bool with_port) const {
        return with_port ? *this == o : SameHost(o);
    }
    // The one hash of an endpoint for every table keyed by address. `seed` comes from
    // NetAddrHashSeed, so that a sender cannot choose addresses that pile up in one run of a
    // table; equal endpoints (as Equal(o, with_port)) hash equal.
    std::uint64_t Hash(std::uint64_t seed, bool with_port) const;

    // The text form into out (at most size bytes with its zero, kMaxText always fits): the
    // length written, or -1 (out empty when size > 0) for no address or no room. IPv6 prints
    // as RFC 5952 says: lower case, no leading zeros, the longest run of zero groups as "::".
    int ToText(char* out, int size) const;
    // The checked parse of every text form: "a.b.c.d:port" as ParseAddr, "[v6]:port",
    // "[v6%scope]:port" and "LOCAL:id". 1 with *out filled (normalised as above); -1 with *out
    // untouched and a short reason in err, as ParseAddr gives them ("[1::2::3]:5: two '::'").
    // A scope is a decimal interface number or the name of an interface of this machine (on
    // Windows, which names interfaces for people, the number alone), and only a link-local
    // address takes one. Ports and scope numbers are decimal without leading zeros ("[::1]:05",
    // "%01" and "%0" are refused). IPv6 text may end in a dotted IPv4 part, as RFC 4291 allows
    // ("[::ffff:1.2.3.4]:5" reads as 1.2.3.4:5; "[::1.2.3.4]:5" prints as "[::102:304]:5").
    static int Parse(const char* text, CNetAddr* out, char* err, int err_size);
    // Parse, else "name:port" with the name resolved by the system's resolver to its first
    // address of either family, in the order the resolver prefers. Blocks while it asks the
    // network. Results as Parse.
    static int Resolve(const char* text, CNetAddr* out, char* err, int err_size);
    // As CheckDestAddr: 1 for an address other than 0.0.0.0 / :: with a port other than 0, and
    // any loopback endpoint; -1 with a reason otherwise.
    int CheckDest(char* err, int err_size) const;

private:
    std::uint16_t m_family = 0;
    std::uint16_t m_port = 0; // host order
    std::uint32_t m_scope = 0;
    unsigned char m_bytes[16] = {};
};

extern "C" {
// A seed for CNetAddr::Hash, different in every process and every call, from the system's
// random source and the clock.
PORTNET_API std::uint64_t NetAddrHashSeed();
}
