#include "portnet/CNetFrameHash.h"

#include <cstring>

namespace {

// A multiply-and-fold step over 8 bytes at a time: divergence is what it must show, not a
// forger, so a fast mix serves (FNV-1a byte by byte cost a recording more than its copying).
const std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

std::uint64_t Mix(std::uint64_t h, std::uint64_t v) {
    h = (h ^ v) * kMul;
    return h ^ (h >> 29);
}

#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_WIN32)
// Whole loads where the machine is little-endian: the compiler does not merge the byte loop
// into one, and a copy of a variable length goes out to memcpy and back through memory.
std::uint64_t Load8(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
std::uint64_t Load4(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
#else
std::uint64_t Load8(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k)
        v |= static_cast<std::uint64_t>(p[k]) << (8 * k);
    return v;
}
std::uint64_t Load4(const unsigned char* p) {
    return static_cast<std::uint64_t>(p[0] | p[1] << 8 | p[2] << 16) |
           static_cast<std::uint64_t>(p[3]) << 24;
}
#endif

// The last n (1 to 7) bytes of data[0, len) as a little-endian number, the high bytes zero.
std::uint64_t Tail(const unsigned char* data, int len, int n) {
    if (len >= 8) return Load8(data + len - 8) >> (8 * (8 - n)); // the bytes before drop out
    const unsigned char* p = data + len - n;
    if (n >= 4) return Load4(p) | Load4(p + n - 4) << (8 * (n - 4)); // the overlap ORs alike
    std::uint64_t v = 0;
    for (int k = 0; k < n; ++k)
        v |= static_cast<std::uint64_t>(p[k]) << (8 * k);
    return v;
}

} // namespace

void CNetFrameHash::Add(int kind, int a, int b, const unsigned char* data, int len) {
    if (data == nullptr || len < 0) len = 0;
    std::uint64_t h = m_value;
    h = Mix(h, static_cast<std::uint64_t>(static_cast<std::uint32_t>(kind)) << 32 |
                   static_cast<std::uint32_t>(len));
    h = Mix(h, static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32 |
                   static_cast<std::uint32_t>(b));
    int i = 0;
    for (; i + 8 <= len; i += 8)
        h = Mix(h, Load8(data + i)); // little-endian whatever the machine: the same hash
    if (i < len) h = Mix(h, Tail(data, len, len - i));
    m_value = h;
    ++m_items;
}
