#include "record/RecordFormat.h"

#include <cstring>

namespace portnet {
namespace record {

namespace {

const unsigned char kNone[4] = {0, 0, 0, 0};

// What an endpoint shows as in a pseudo header: an IP address of one version and a port.
struct SIpView {
    int m_version; // 4 or 6
    unsigned char m_bytes[16];
    std::uint16_t m_port;
};

SIpView ViewOf(const CNetAddr& a) {
    SIpView v;
    v.m_version = 4;
    if (a.IsInet6()) {
        v.m_version = 6;
        std::memcpy(v.m_bytes, a.Bytes(), 16);
        v.m_port = a.Port();
    } else if (a.IsLocal()) {
        v.m_version = 4;
        v.m_bytes[0] = 127;
        v.m_bytes[1] = 1;
        v.m_bytes[2] = static_cast<unsigned char>(a.Port() >> 8);
        v.m_bytes[3] = static_cast<unsigned char>(a.Port());
        v.m_port = kLocalPort;
    } else { // no address at all shows as 0.0.0.0:0
        std::memcpy(v.m_bytes, a.IsInet() ? a.Bytes() : kNone, 4);
        v.m_port = a.Port();
    }
    return v;
}

// The view of own in the version of peer's view.
SIpView Meet(SIpView own, int version) {
    if (own.m_version == version) return own;
    SIpView v{};
    v.m_version = version;
    v.m_port = own.m_port;
    if (version == 4) return v; // IPv6 in an IPv4 packet: 0.0.0.0
    if (version == 6) {         // ::ffff:a.b.c.d
        v.m_bytes[10] = 0xff;
        v.m_bytes[11] = 0xff;
        std::memcpy(v.m_bytes + 12, own.m_bytes, 4);
    }
    return v;
}

void PutBe16(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

std::uint32_t GetBe16(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0] << 8 | p[1]);
}

// The Internet checksum's running sum of bytes taken as big-endian 16-bit words.
std::uint32_t SumWords(std::uint32_t sum, const unsigned char* p, int n) {
    for (int i = 0; i + 1 < n; i += 2)
        sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    return sum;
}

std::uint16_t Fold(std::uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xffffu) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffffu);
}

} // namespace

void PutEndpoint(unsigned char* p, const CNetAddr& a) {
    std::memset(p, 0, 24);
    const std::uint32_t kind = a.IsLocal() ? kEndpointLocal : a.IsInet6() ? 6 : a.IsInet() ? 4 : 0;
    Put16(p, kind);
    Put16(p + 2, a.Port());
    Put32(p + 4, a.ScopeId());
    if (a.ByteCount() > 0) std::memcpy(p + 8, a.Bytes(), static_cast<size_t>(a.ByteCount()));
}

CNetAddr GetEndpoint(const unsigned char* p) {
    const std::uint32_t kind = Get16(p);
    const auto port = static_cast<std::uint16_t>(Get16(p + 2));
    if (kind == kEndpointLocal) return CNetAddr::Local(port);
    if (kind == 4) return CNetAddr::Ipv4(p + 8, port);
    if (kind == 6) return CNetAddr::Ipv6(p + 8, port, Get32(p + 4));
    return CNetAddr();
}

int PseudoHeader(unsigned char* out, const CNetAddr& src, const CNetAddr& dst,
                 const unsigned char* data, int len, bool* option_needed) {
    *option_needed = src.IsLocal() || dst.IsLocal() || src.ScopeId() || dst.ScopeId();
    // One IPv6 endpoint makes an IPv6 packet: the other shows in it as an IPv4-mapped address,
    // which reads back as the IPv4 address it was.
    const int version = src.IsInet6() || dst.IsInet6() ? 6 : 4;
    SIpView s = ViewOf(src), d = ViewOf(dst);
    if (version == 6) {
        s = Meet(s, 6);
        d = Meet(d, 6);
    }
    const int udp_len = 8 + len;
    unsigned char* udp;
    if (version == 4) {
        std::memset(out, 0, 20);
        out[0] = 0x45;
        PutBe16(out + 2, static_cast<std::uint32_t>(20 + udp_len) & 0xffffu);
        out[6] = 0x40; // don't fragment
        out[8] = 64;   // time to live
        out[9] = 17;   // UDP
        std::memcpy(out + 12, s.m_bytes, 4);
        std::memcpy(out + 16, d.m_bytes, 4);
        PutBe16(out + 10, Fold(SumWords(0, out, 20)));
        udp = out + 20;
    } else {
        std::memset(out, 0, 40);
        out[0] = 0x60;
        PutBe16(out + 4, static_cast<std::uint32_t>(udp_len) & 0xffffu);
        out[6] = 17;
        out[7] = 64;
        std::memcpy(out + 8, s.m_bytes, 16);
        std::memcpy(out + 24, d.m_bytes, 16);
        udp = out + 40;
    }
    PutBe16(udp, s.m_port);
    PutBe16(udp + 2, d.m_port);
    PutBe16(udp + 4, static_cast<std::uint32_t>(udp_len) & 0xffffu);
    PutBe16(udp + 6, 0);
    if (version == 6) {
        // IPv6 has no "no checksum": the sum over the pseudo header, the UDP header and data.
        std::uint32_t sum = SumWords(0, s.m_bytes, 16);
        sum = SumWords(sum, d.m_bytes, 16);
        sum += static_cast<std::uint32_t>(udp_len) + 17;
        sum = SumWords(sum, udp, 8);
        sum = SumWords(sum, data, len);
        std::uint16_t c = Fold(sum);
        PutBe16(udp + 6, c == 0 ? 0xffffu : c);
    }
    return version == 4 ? 28 : 48;
}

int ReadPseudoHeader(const unsigned char* packet, int caplen, bool inbound, int kind,
                     std::uint32_t scope, CNetAddr* peer, int* payload_at, int* payload_len) {
    if (caplen < 28) return -1;
    const int version = packet[0] >> 4;
    int header;
    const unsigned char* addr;
    if (version == 4 && packet[0] == 0x45 && packet[9] == 17) {
        header = 20;
        addr = packet + (inbound ? 12 : 16);
    } else if (version == 6 && caplen >= 48 && packet[6] == 17) {
        header = 40;
        addr = packet + (inbound ? 8 : 24);
    } else {
        return -1;
    }
    const unsigned char* udp = packet + header;
    const int udp_len = static_cast<int>(GetBe16(udp + 4));
    if (udp_len < 8 || header + udp_len != caplen) return -1;
    const auto port = static_cast<std::uint16_t>(GetBe16(udp + (inbound ? 0 : 2)));
    if (kind == kEndpointLocal) {
        // 127.1.h.l, in an IPv6 packet (this side has an IPv6 address) as ::ffff:127.1.h.l.
        const unsigned char* v4 = version == 4 ? addr : addr + 12;
        *peer = CNetAddr::Local(static_cast<std::uint16_t>(v4[2] << 8 | v4[3]));
    } else if (version == 4) {
        *peer = CNetAddr::Ipv4(addr, port);
    } else {
        *peer = CNetAddr::Ipv6(addr, port, scope);
    }
    *payload_at = header + 8;
    *payload_len = udp_len - 8;
    return 1;
}

} // namespace record
} // namespace portnet
