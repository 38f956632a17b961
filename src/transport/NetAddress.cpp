#include "portnet/NetAddress.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/PlatformResolve.h"
#include "transport/AddrText.h"

namespace {

using namespace portnet::addrtext;

// Shared by every ToString call; each call overwrites it.
char g_text[100];

// Byte order is spelled out by hand: sin_port holds the port big-endian in memory.
unsigned PortFromNetwork(std::uint16_t stored) {
    unsigned char b[2];
    std::memcpy(b, &stored, 2);
    return (static_cast<unsigned>(b[0]) << 8) | b[1];
}

std::uint16_t PortToNetwork(unsigned port) {
    const unsigned char b[2] = {static_cast<unsigned char>(port >> 8),
                                static_cast<unsigned char>(port)};
    std::uint16_t stored;
    std::memcpy(&stored, b, 2);
    return stored;
}

// Reads one decimal number the way "%d" does (leading blanks, optional sign), wrapping
// modulo 2^32 instead of overflowing. Returns false, consuming nothing, when no digit follows.
bool ParseNumber(const char*& p, std::uint32_t* out) {
    const char* q = p;
    while (*q == ' ' || (*q >= '\t' && *q <= '\r'))
        ++q;
    bool negative = false;
    if (*q == '+' || *q == '-') negative = *q++ == '-';
    if (*q < '0' || *q > '9') return false;
    std::uint32_t v = 0;
    while (*q >= '0' && *q <= '9')
        v = v * 10u + static_cast<std::uint32_t>(*q++ - '0');
    *out = negative ? 0u - v : v;
    p = q;
    return true;
}

bool Expect(const char*& p, char c) {
    if (*p != c) return false;
    ++p;
    return true;
}

void FillInet(sockaddr_in* addr, const unsigned char a[4], unsigned port) {
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = kNetFamilyInet;
    std::memcpy(&addr->sin_addr, a, 4);
    addr->sin_port = PortToNetwork(port);
}

// Characters of a host name (letters, digits, '-', '.'), at most 253 of them.
constexpr std::size_t kMaxHostName = 253;
bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
}

const char* ResolveText(int code) {
    switch (code) {
    case portnet::platform::kResolveNotFound:
        return "no IPv4 address for this name";
    case portnet::platform::kResolveTryAgain:
        return "the name server did not answer (try again)";
    default:
        return "name lookup failed";
    }
}

} // namespace

extern "C" {

char* ToString(const sockaddr_in* addr) {
    g_text[0] = '\0';
    if (addr == nullptr) return nullptr;
    if (addr->sin_family == kNetFamilyInet) {
        unsigned char a[4];
        std::memcpy(a, &addr->sin_addr, 4);
        std::snprintf(g_text, sizeof g_text, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3],
                      PortFromNetwork(addr->sin_port));
        return g_text;
    }
    if (addr->sin_family == kNetFamilyLocal) {
        std::snprintf(g_text, sizeof g_text, "LOCAL:%u", static_cast<unsigned>(addr->sin_port));
        return g_text;
    }
    return nullptr;
}

void GetAddrFromString(const char* text, sockaddr_in* addr) {
    if (text == nullptr || addr == nullptr) return;
    // Malformed text is not reported: parsing stops at the first mismatch and every number
    // that did not parse counts as 0 ("1.2.3" gives 1.2.3.0 port 0, "" gives 0.0.0.0:0).
    std::uint32_t n[5] = {0, 0, 0, 0, 0};
    const char* p = text;
    if (addr->sin_family == kNetFamilyInet) {
        const char separators[5] = {'\0', '.', '.', '.', ':'};
        for (int i = 0; i < 5; ++i) {
            if (i > 0 && !Expect(p, separators[i])) break;
            if (!ParseNumber(p, &n[i])) break;
        }
        const unsigned char a[4] = {
            static_cast<unsigned char>(n[0]), static_cast<unsigned char>(n[1]),
            static_cast<unsigned char>(n[2]), static_cast<unsigned char>(n[3])};
        std::memcpy(&addr->sin_addr, a, 4);
        addr->sin_port = PortToNetwork(n[4] & 0xFFFFu);
        return;
    }
    if (addr->sin_family == kNetFamilyLocal) {
        // Accepts what ToString prints ("LOCAL:7") as well as a bare id ("7"); the id is stored
        // as a plain 16-bit number, the form the loopback driver matches against.
        if (std::strncmp(p, "LOCAL:", 6) == 0) p += 6;
        ParseNumber(p, &n[0]);
        addr->sin_addr.s_addr = 0;
        addr->sin_port = static_cast<std::uint16_t>(n[0] & 0xFFFFu);
    }
}

int ParseAddr(const char* text, sockaddr_in* addr, char* err, int err_size) {
    if (text == nullptr) return Refuse(err, err_size, nullptr, "no address given");
    if (addr == nullptr) return Refuse(err, err_size, text, "no record to fill");
    if (*text == '\0') return Refuse(err, err_size, nullptr, "empty address (a.b.c.d:port)");
    if (*text == ':') return Refuse(err, err_size, text, "missing address before the port");
    unsigned char a[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        const Digits d = ReadDigits(p, 255);
        if (d.len == 0) {
            if (*p == '.' || *p == ':' || *p == '\0')
                return Refuse(err, err_size, text, "part %d is empty", i + 1);
            return Refuse(err, err_size, text, "part %d starts with %s, not a digit", i + 1,
                          Show(*p).text);
        }
        if (d.value > 255) return Refuse(err, err_size, text, "part %d is above 255", i + 1);
        if (d.len > 1 && *p == '0')
            return Refuse(err, err_size, text, "part %d has a leading zero", i + 1);
        a[i] = static_cast<unsigned char>(d.value);
        p += d.len;
        if (i == 3) break;
        if (*p == ':' || *p == '\0')
            return Refuse(err, err_size, text, "%d parts where the address has 4", i + 1);
        if (*p != '.') return Refuse(err, err_size, text, "%s after part %d", Show(*p).text, i + 1);
        ++p;
    }
    if (*p == '\0') return Refuse(err, err_size, text, "missing port");
    if (*p == '.') return Refuse(err, err_size, text, "more than 4 parts");
    if (*p != ':') return Refuse(err, err_size, text, "%s after part 4", Show(*p).text);
    const long port = ReadPort(p + 1, text, err, err_size);
    if (port < 0) return -1;
    FillInet(addr, a, static_cast<unsigned>(port));
    if (err != nullptr && err_size > 0) err[0] = '\0';
    return 1;
}

int ResolveAddr(const char* text, sockaddr_in* addr, char* err, int err_size) {
    if (ParseAddr(text, addr, err, err_size) == 1) return 1;
    if (text == nullptr || addr == nullptr || *text == '\0') return -1;
    // A name: everything before the last colon. Text of digits and dots, or with any other
    // character a name cannot hold, keeps ParseAddr's reason.
    const char* colon = std::strrchr(text, ':');
    const std::size_t len =
        colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
    if (len == 0 || len > kMaxHostName || text[0] == '.' || text[0] == '-') return -1;
    std::size_t last_label = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (!IsNameChar(text[i])) return -1;
        if (text[i] == '.' && i + 1 < len) last_label = i + 1;
    }
    // No top-level domain starts with a digit: such text is an address typed wrong ("1.2.3",
    // "0x7f.1"), which a resolver might read in the old numeric forms.
    if (text[last_label] >= '0' && text[last_label] <= '9') return -1;
    if (colon == nullptr) return Refuse(err, err_size, text, "missing port (name:port)");
    const long port = ReadPort(colon + 1, text, err, err_size);
    if (port < 0) return -1;
    char host[kMaxHostName + 1];
    std::memcpy(host, text, len);
    host[len] = '\0';
    in_addr found;
    const int code = portnet::platform::ResolveIpv4(host, &found);
    if (code != portnet::platform::kResolveOk)
        return Refuse(err, err_size, text, "%s", ResolveText(code));
    unsigned char a[4];
    std::memcpy(a, &found, 4);
    FillInet(addr, a, static_cast<unsigned>(port));
    if (err != nullptr && err_size > 0) err[0] = '\0'; // ParseAddr's reason no longer holds
    return 1;
}

int CheckDestAddr(const sockaddr_in* addr, char* err, int err_size) {
    if (addr == nullptr) return Refuse(err, err_size, nullptr, "no address given");
    if (addr->sin_family == kNetFamilyLocal) return 1;
    if (addr->sin_family != kNetFamilyInet)
        return Refuse(err, err_size, nullptr, "not an IPv4 address (family %u)",
                      static_cast<unsigned>(addr->sin_family));
    // Printed here rather than by ToString, whose buffer the caller may still be reading.
    unsigned char a[4];
    std::memcpy(a, &addr->sin_addr, 4);
    char shown[24];
    std::snprintf(shown, sizeof shown, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3],
                  PortFromNetwork(addr->sin_port));
    if (addr->sin_addr.s_addr == 0)
        return Refuse(err, err_size, shown, "0.0.0.0 means any address, not a destination");
    if (addr->sin_port == 0) return Refuse(err, err_size, shown, "port 0 is no destination");
    return 1;
}

bool CompareAddr(const sockaddr_in* a, const sockaddr_in* b) {
    if (a == nullptr || b == nullptr) return false;
    if (a->sin_family != b->sin_family) return false;
    if (a->sin_family == kNetFamilyLocal) return a->sin_port == b->sin_port;
    return a->sin_addr.s_addr == b->sin_addr.s_addr;
}

} // extern "C"
