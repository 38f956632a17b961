#pragma once

// The recording's pcapng blocks, written and read field by field in little-endian order (see
// docs/protocol.md, "Recording"): the section header, one interface of raw IP (LINKTYPE_RAW,
// each datagram behind an IPv4 or IPv6 header and a UDP header made up from its endpoints),
// enhanced packet blocks, and custom blocks under enterprise number 32473 for what pcapng has
// no block for: the session, each frame's end (clock, hash) and the driver's reports.

#include <cstdint>

#include "portnet/CNetAddr.h"

namespace portnet {
namespace record {

enum : std::uint32_t {
    kSectionHeader = 0x0A0D0D0Au,
    kByteOrderMagic = 0x1A2B3C4Du,
    kInterfaceDescription = 1,
    kEnhancedPacket = 6,
    kCustomCopyable = 0x00000BADu,
    // RFC 5612's number for documentation: portnet has no enterprise number of its own, and
    // this one is nobody's, so no reader mistakes these blocks for a registered vendor's.
    kEnterprise = 32473,
};

enum : int {
    kLinkTypeRaw = 101,      // the version nibble tells IPv4 from IPv6
    kLocalPort = 40000,      // a loopback endpoint's UDP port: the dissector's default
    kOptEpbFlags = 2,        // direction: 1 inbound, 2 outbound
    kOptCustomBinary = 2989, // not to be copied by an editor
    kOptComment = 1,
    kOptShbUserAppl = 4,
    kOptIfName = 2,
    kOptIfTsresol = 9,
    // Custom block kinds (first two bytes of the custom data).
    kBlockSession = 0,
    kBlockFrame = 1,
    kBlockReceiveReport = 2,
    kBlockFlushRefused = 3,
    // Endpoint kinds in the session block and the packet option.
    kEndpointIp = 0,
    kEndpointLocal = 1,
    // Packet option flags.
    kPacketBroadcast = 1,
    // Largest pseudo header (IPv6 40 + UDP 8) and EPB around a datagram of kMaxDatagram.
    kMaxPseudo = 48,
    kMaxDatagram = 65507,
    kSessionData = 36,
    kFrameData = 36,
    kReportData = 32,
    kPacketOption = 16, // PEN, kind, flags, reserved, scope, result
};

inline void Put16(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void Put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void Put64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline std::uint32_t Get16(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0] | p[1] << 8);
}
inline std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t Get64(const unsigned char* p) {
    return Get32(p) | static_cast<std::uint64_t>(Get32(p + 4)) << 32;
}
inline int Pad4(int n) {
    return (n + 3) & ~3;
}

// An endpoint as the 24 bytes the session and report blocks hold: kind (kEndpoint*, or 4 /
// 6 for an IP address of that version), port, scope, 16 address bytes (IPv4 in the first 4;
// a loopback endpoint's id is its port).
void PutEndpoint(unsigned char* p, const CNetAddr& a);
CNetAddr GetEndpoint(const unsigned char* p);

// The IPv4 or IPv6 header and UDP header of a datagram of len bytes from src to dst, into out
// (kMaxPseudo bytes): its length. A loopback endpoint shows as 127.1.h.l (its id in h, l) on
// UDP port kLocalPort. Endpoints of different families meet in the peer's: IPv4 a.b.c.d as
// ::ffff:a.b.c.d, IPv6 as 0.0.0.0. *option_needed: the packet needs the portnet option (a
// loopback peer, or a scope) to be read back as it was.
int PseudoHeader(unsigned char* out, const CNetAddr& src, const CNetAddr& dst,
                 const unsigned char* data, int len, bool* option_needed);

// The peer of a packet read back: the source of an inbound one, the destination of an
// outbound one, made a loopback endpoint or given its scope as the option says (kind, scope).
// Also the payload's offset and length. -1 for a packet that is not IP and UDP as written.
int ReadPseudoHeader(const unsigned char* packet, int caplen, bool inbound, int kind,
                     std::uint32_t scope, CNetAddr* peer, int* payload_at, int* payload_len);

} // namespace record
} // namespace portnet
