#include "portnet/CNetAddr.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/PlatformAddr.h"
#include "platform/PlatformResolve.h"
#include "transport/AddrText.h"

namespace {

using namespace portnet::addrtext;

std::uint16_t PortFromNetwork(std::uint16_t stored) {
    unsigned char b[2];
    std::memcpy(b, &stored, 2);
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

std::uint16_t PortToNetwork(std::uint16_t port) {
    const unsigned char b[2] = {static_cast<unsigned char>(port >> 8),
                                static_cast<unsigned char>(port)};
    std::uint16_t stored;
    std::memcpy(&stored, b, 2);
    return stored;
}

// The finaliser of MurmurHash3: every input bit reaches every output bit.
std::uint64_t Mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

// Eight bytes as one number, the first lowest.
std::uint64_t Load64(const unsigned char* b) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | b[i];
    return v;
}

bool NeedsScope(const unsigned char b[16]) {
    if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return true; // fe80::/10
    // Multicast scoped to the interface (ff?1) or the link (ff?2).
    return b[0] == 0xFF && ((b[1] & 0x0F) == 1 || (b[1] & 0x0F) == 2);
}

bool IsMapped(const unsigned char b[16]) {
    static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(b, kPrefix, 12) == 0;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// a.b.c.d filling [p, end) exactly, as ParseAddr reads it: false with the reason.
bool ReadDotted(const char* p, const char* end, unsigned char out[4], const char* text, char* err,
                int err_size) {
    for (int i = 0; i < 4; ++i) {
        const Digits d = ReadDigits(p, 255);
        if (d.len == 0 || p + d.len > end) {
            Refuse(err, err_size, text, "part %d of the IPv4 tail is empty", i + 1);
            return false;
        }
        if (d.value > 255) {
            Refuse(err, err_size, text, "part %d of the IPv4 tail is above 255", i + 1);
            return false;
        }
        if (d.len > 1 && *p == '0') {
            Refuse(err, err_size, text, "part %d of the IPv4 tail has a leading zero", i + 1);
            return false;
        }
        out[i] = static_cast<unsigned char>(d.value);
        p += d.len;
        if (i < 3) {
            if (p >= end || *p != '.') {
                Refuse(err, err_size, text, "%d parts in the IPv4 tail where it has 4", i + 1);
                return false;
            }
            ++p;
        }
    }
    if (p != end) {
        Refuse(err, err_size, text, "%s after the IPv4 tail", Show(*p).text);
        return false;
    }
    return true;
}

// The 16 bytes of the IPv6 text in [p, end): false with the reason.
bool ReadV6(const char* p, const char* end, unsigned char out[16], const char* text, char* err,
            int err_size) {
    std::uint16_t head[8], tail[8];
    int nh = 0, nt = 0;
    bool gap = false; // "::" met
    unsigned char dotted[4];
    bool has_dotted = false;
    if (p == end) return Refuse(err, err_size, text, "empty IPv6 address"), false;
    if (*p == ':') {
        if (p + 1 >= end || p[1] != ':')
            return Refuse(err, err_size, text, "starts with a single ':'"), false;
        gap = true;
        p += 2;
    }
    while (p < end) {
        int n = 0;
        unsigned v = 0;
        while (p + n < end && HexValue(p[n]) >= 0) {
            if (n < 5) v = v << 4 | static_cast<unsigned>(HexValue(p[n]));
            ++n;
        }
        const int groups = nh + nt;
        if (p + n < end && p[n] == '.') {
            // The last 32 bits as a dotted quad (::ffff:1.2.3.4, 64:ff9b::192.0.2.1).
            if (groups > 6) return Refuse(err, err_size, text, "too many groups"), false;
            if (!ReadDotted(p, end, dotted, text, err, err_size)) return false;
            has_dotted = true;
            p = end;
            break;
        }
        if (n == 0) {
            if (*p == ':') return Refuse(err, err_size, text, "':::' in the address"), false;
            return Refuse(err, err_size, text, "%s is no hex digit", Show(*p).text), false;
        }
        if (n > 4)
            return Refuse(err, err_size, text, "group %d has more than 4 hex digits", groups + 1),
                   false;
        if (groups == 8) return Refuse(err, err_size, text, "more than 8 groups"), false;
        (gap ? tail[nt++] : head[nh++]) = static_cast<std::uint16_t>(v);
        p += n;
        if (p == end) break;
        if (*p != ':')
            return Refuse(err, err_size, text, "%s is no hex digit", Show(*p).text), false;
        ++p;
        if (p < end && *p == ':') {
            if (gap) return Refuse(err, err_size, text, "two '::'"), false;
            gap = true;
            ++p;
        } else if (p == end) {
            return Refuse(err, err_size, text, "ends with a single ':'"), false;
        }
    }
    const int total = nh + nt + (has_dotted ? 2 : 0);
    if (!gap && total != 8)
        return Refuse(err, err_size, text, "%d groups where the address has 8", total), false;
    if (gap && total > 7)
        return Refuse(err, err_size, text, "too many groups for '::' to stand for any"), false;
    std::memset(out, 0, 16);
    for (int i = 0; i < nh; ++i) {
        out[2 * i] = static_cast<unsigned char>(head[i] >> 8);
        out[2 * i + 1] = static_cast<unsigned char>(head[i]);
    }
    const int tail_bytes = 2 * nt + (has_dotted ? 4 : 0);
    unsigned char* t = out + 16 - tail_bytes;
    for (int i = 0; i < nt; ++i) {
        t[2 * i] = static_cast<unsigned char>(tail[i] >> 8);
        t[2 * i + 1] = static_cast<unsigned char>(tail[i]);
    }
    if (has_dotted) std::memcpy(out + 12, dotted, 4);
    return true;
}

// The scope after '%' in [p, end): an interface number or name; 0 with the reason on failure.
std::uint32_t ReadScope(const char* p, const char* end, const char* text, char* err, int err_size) {
    const int len = static_cast<int>(end - p);
    if (len == 0) return Refuse(err, err_size, text, "empty scope"), 0u;
    if (*p >= '0' && *p <= '9') {
        std::uint64_t v = 0;
        for (const char* q = p; q < end; ++q) {
            if (*q < '0' || *q > '9')
                return Refuse(err, err_size, text, "%s in the scope number", Show(*q).text), 0u;
            if (v <= 0xFFFFFFFFull) v = v * 10 + static_cast<unsigned>(*q - '0');
        }
        if (len > 1 && *p == '0')
            return Refuse(err, err_size, text, "scope has a leading zero"), 0u;
        if (v == 0 || v > 0xFFFFFFFFull)
            return Refuse(err, err_size, text, "scope %.*s names no interface", len > 10 ? 10 : len,
                          p),
                   0u;
        return static_cast<std::uint32_t>(v);
    }
    char name[16];
    if (len >= static_cast<int>(sizeof name))
        return Refuse(err, err_size, text, "interface name longer than 15 characters"), 0u;
    for (int i = 0; i < len; ++i) {
        const char c = p[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.'))
            return Refuse(err, err_size, text, "%s in the interface name", Show(c).text), 0u;
        name[i] = c;
    }
    name[len] = '\0';
    const std::uint32_t index = portnet::platform::InterfaceIndex(name);
    if (index == 0) return Refuse(err, err_size, text, "no interface named %s", name), 0u;
    return index;
}

int ParseBracketed(const char* text, CNetAddr* out, char* err, int err_size) {
    const char* close = std::strchr(text, ']');
    if (close == nullptr) return Refuse(err, err_size, text, "'[' without ']'");
    const char* open2 = std::strchr(text + 1, '[');
    if (open2 != nullptr && open2 < close) return Refuse(err, err_size, text, "'[' inside '[...]'");
    const char* percent = static_cast<const char*>(std::memchr(text + 1, '%', close - text - 1));
    const char* addr_end = percent != nullptr ? percent : close;
    unsigned char bytes[16];
    if (!ReadV6(text + 1, addr_end, bytes, text, err, err_size)) return -1;
    std::uint32_t scope = 0;
    if (percent != nullptr) {
        scope = ReadScope(percent + 1, close, text, err, err_size);
        if (scope == 0) return -1;
        if (!NeedsScope(bytes))
            return Refuse(err, err_size, text, "only a link-local address takes a scope");
    }
    if (close[1] == '\0') return Refuse(err, err_size, text, "missing port");
    if (close[1] != ':') return Refuse(err, err_size, text, "%s after ']'", Show(close[1]).text);
    const long port = ReadPort(close + 2, text, err, err_size);
    if (port < 0) return -1;
    *out = CNetAddr::Ipv6(bytes, static_cast<std::uint16_t>(port), scope);
    if (err != nullptr && err_size > 0) err[0] = '\0';
    return 1;
}

} // namespace

CNetAddr CNetAddr::Ipv4(const unsigned char bytes[4], std::uint16_t port) {
    CNetAddr a;
    a.m_family = kNetFamilyInet;
    a.m_port = port;
    std::memcpy(a.m_bytes, bytes, 4);
    return a;
}

CNetAddr CNetAddr::Ipv6(const unsigned char bytes[16], std::uint16_t port, std::uint32_t scope) {
    if (IsMapped(bytes)) return Ipv4(bytes + 12, port);
    CNetAddr a;
    a.m_family = kNetFamilyInet6;
    a.m_port = port;
    a.m_scope = NeedsScope(bytes) ? scope : 0;
    std::memcpy(a.m_bytes, bytes, 16);
    return a;
}

CNetAddr CNetAddr::Local(std::uint16_t id) {
    CNetAddr a;
    a.m_family = kNetFamilyLocal;
    a.m_port = id;
    return a;
}

CNetAddr CNetAddr::FromSockaddrIn(const sockaddr_in& in) {
    if (in.sin_family == kNetFamilyLocal) return Local(in.sin_port);
    if (in.sin_family != kNetFamilyInet) return CNetAddr();
    unsigned char bytes[4];
    std::memcpy(bytes, &in.sin_addr, 4);
    return Ipv4(bytes, PortFromNetwork(in.sin_port));
}

int CNetAddr::ToSockaddrIn(sockaddr_in* out) const {
    if (out == nullptr || (m_family != kNetFamilyInet && m_family != kNetFamilyLocal)) return -1;
    std::memset(out, 0, sizeof *out);
    out->sin_family = m_family;
    if (m_family == kNetFamilyLocal) {
        out->sin_port = m_port; // the id as a plain number, as the loopback driver keeps it
        return 1;
    }
    out->sin_port = PortToNetwork(m_port);
    std::memcpy(&out->sin_addr, m_bytes, 4);
    return 1;
}

bool CNetAddr::IsUnspecified() const {
    static const unsigned char kZero[16] = {};
    return (IsInet() || IsInet6()) && std::memcmp(m_bytes, kZero, 16) == 0;
}

bool CNetAddr::IsLoopback() const {
    if (IsInet()) return m_bytes[0] == 127;
    static const unsigned char kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return IsInet6() && std::memcmp(m_bytes, kOne, 16) == 0;
}

bool CNetAddr::IsLinkLocal() const {
    return IsInet6() && m_bytes[0] == 0xFE && (m_bytes[1] & 0xC0) == 0x80;
}

bool CNetAddr::SameHost(const CNetAddr& o) const {
    if (m_family != o.m_family) return false;
    if (m_family == kNetFamilyLocal) return m_port == o.m_port;
    return m_scope == o.m_scope && std::memcmp(m_bytes, o.m_bytes, 16) == 0;
}

bool CNetAddr::operator==(const CNetAddr& o) const {
    return SameHost(o) && m_port == o.m_port;
}

std::uint64_t CNetAddr::Hash(std::uint64_t seed, bool with_port) const {
    // The fields SameHost compares, and the port where it counts: a loopback id always.
    const std::uint64_t port = with_port || m_family == kNetFamilyLocal ? m_port : 0;
    const std::uint64_t head = static_cast<std::uint64_t>(m_family) << 48 | port << 32 | m_scope;
    std::uint64_t h = Mix(seed ^ head);
    h = Mix(h ^ Load64(m_bytes));
    if (m_family == kNetFamilyInet6) h = Mix(h ^ Load64(m_bytes + 8));
    return h;
}

int CNetAddr::ToText(char* out, int size) const {
    if (out == nullptr || size <= 0) return -1;
    out[0] = '\0';
    char text[kMaxText];
    int n = -1;
    if (IsInet()) {
        n = std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", m_bytes[0], m_bytes[1], m_bytes[2],
                          m_bytes[3], static_cast<unsigned>(m_port));
    } else if (IsLocal()) {
        n = std::snprintf(text, sizeof text, "LOCAL:%u", static_cast<unsigned>(m_port));
    } else if (IsInet6()) {
        unsigned g[8];
        for (int i = 0; i < 8; ++i)
            g[i] = static_cast<unsigned>(m_bytes[2 * i] << 8 | m_bytes[2 * i + 1]);
        // The longest run of two or more zero groups, the first of equals, becomes "::".
        int best = -1, best_len = 1;
        for (int i = 0; i < 8;) {
            int j = i;
            while (j < 8 && g[j] == 0)
                ++j;
            if (j - i > best_len) {
                best = i;
                best_len = j - i;
            }
            i = j > i ? j : i + 1;
        }
        n = 1;
        text[0] = '[';
        for (int i = 0; i < 8; ++i) {
            if (i == best) {
                n += std::snprintf(text + n, sizeof text - n, "::");
                i += best_len - 1;
                continue;
            }
            const bool colon = i > 0 && i != best + best_len;
            n += std::snprintf(text + n, sizeof text - n, colon ? ":%x" : "%x", g[i]);
        }
        if (m_scope != 0) n += std::snprintf(text + n, sizeof text - n, "%%%u", m_scope);
        n += std::snprintf(text + n, sizeof text - n, "]:%u", static_cast<unsigned>(m_port));
    }
    if (n < 0 || n >= size) return -1;
    std::memcpy(out, text, static_cast<std::size_t>(n) + 1);
    return n;
}

int CNetAddr::Parse(const char* text, CNetAddr* out, char* err, int err_size) {
    if (text == nullptr) return Refuse(err, err_size, nullptr, "no address given");
    if (out == nullptr) return Refuse(err, err_size, text, "no record to fill");
    if (text[0] == '[') return ParseBracketed(text, out, err, err_size);
    if (std::strncmp(text, "LOCAL:", 6) == 0) {
        const Digits d = ReadDigits(text + 6, 65535);
        if (d.len == 0 || text[6 + d.len] != '\0' || d.value > 65535 ||
            (d.len > 1 && text[6] == '0'))
            return Refuse(err, err_size, text, "a loopback endpoint is LOCAL:0..65535");
        *out = Local(static_cast<std::uint16_t>(d.value));
        if (err != nullptr && err_size > 0) err[0] = '\0';
        return 1;
    }
    const char* colon = std::strchr(text, ':');
    if (colon != nullptr && std::strchr(colon + 1, ':') != nullptr)
        return Refuse(err, err_size, text, "an IPv6 address goes in brackets: [address]:port");
    sockaddr_in in;
    if (ParseAddr(text, &in, err, err_size) != 1) return -1;
    *out = FromSockaddrIn(in);
    return 1;
}

int CNetAddr::Resolve(const char* text, CNetAddr* out, char* err, int err_size) {
    if (Parse(text, out, err, err_size) == 1) return 1;
    if (text == nullptr || out == nullptr || text[0] == '[') return -1;
    // ResolveAddr's rules for what is a name rather than a mistyped address; a name it takes is
    // then looked up for either family.
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr || std::strchr(text, ':') != colon) return -1;
    // A name ResolveAddr refuses before asking the resolver keeps Parse's reason.
    const std::size_t len = static_cast<std::size_t>(colon - text);
    if (len == 0 || len > 253 || text[0] == '.' || text[0] == '-') return -1;
    std::size_t last_label = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.'))
            return -1;
        if (c == '.' && i + 1 < len) last_label = i + 1;
    }
    if (text[last_label] >= '0' && text[last_label] <= '9') return -1;
    const long port = ReadPort(colon + 1, text, err, err_size);
    if (port < 0) return -1;
    char host[254];
    std::memcpy(host, text, len);
    host[len] = '\0';
    CNetAddr found;
    const int code = portnet::platform::ResolveAny(host, static_cast<std::uint16_t>(port), &found);
    if (code == portnet::platform::kResolveNotFound)
        return Refuse(err, err_size, text, "no address for this name");
    if (code == portnet::platform::kResolveTryAgain)
        return Refuse(err, err_size, text, "the name server did not answer (try again)");
    if (code != portnet::platform::kResolveOk)
        return Refuse(err, err_size, text, "name lookup failed");
    *out = found;
    if (err != nullptr && err_size > 0) err[0] = '\0';
    return 1;
}

int CNetAddr::CheckDest(char* err, int err_size) const {
    if (IsLocal()) return 1;
    if (!IsInet() && !IsInet6()) return Refuse(err, err_size, nullptr, "no address");
    char shown[kMaxText];
    ToText(shown, sizeof shown);
    if (IsUnspecified())
        return Refuse(err, err_size, shown, "%s means any address, not a destination",
                      IsInet() ? "0.0.0.0" : "::");
    if (m_port == 0) return Refuse(err, err_size, shown, "port 0 is no destination");
    if (IsInet6() && NeedsScope(m_bytes) && m_scope == 0)
        return Refuse(err, err_size, shown, "a link-local address needs a scope (%%interface)");
    return 1;
}

extern "C" std::uint64_t NetAddrHashSeed() {
    static std::atomic<std::uint64_t> calls{0};
    std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= Mix(++calls + 0x9E3779B97F4A7C15ull);
    try {
        std::random_device device;
        seed ^= static_cast<std::uint64_t>(device()) << 32 ^ device();
    } catch (...) {
        // No random source: the clock and the count still differ from call to call.
    }
    return Mix(seed);
}
