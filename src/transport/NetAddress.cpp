#include "portnet/NetAddress.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

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

bool CompareAddr(const sockaddr_in* a, const sockaddr_in* b) {
    if (a == nullptr || b == nullptr) return false;
    if (a->sin_family != b->sin_family) return false;
    if (a->sin_family == kNetFamilyLocal) return a->sin_port == b->sin_port;
    return a->sin_addr.s_addr == b->sin_addr.s_addr;
}

} // extern "C"
