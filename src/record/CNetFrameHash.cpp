#include "portnet/CNetFrameHash.h"

#include <cstring>

namespace {

// A multiply-and-fold step over 8 bytes at a time: divergence is what it must show, not a
// forger, so a fast mix serves (FNV-1a byte by byte cost a recording more than its copying).
// For a given h it is one-to-one in v, and for a given v in h.
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

// Each lane starts apart, so that equal words in different lanes do not cancel.
const std::uint64_t kLane[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                                0x082EFA98EC4E6C89ull};

std::uint64_t Rot32(std::uint64_t v) {
    return v << 32 | v >> 32;
}

} // namespace

// An item's words go to four lanes in turn (word k to lane k mod 4), each its own chain, folded
// at the item's end; the frame's value then takes one step an item. One chain over every word
// made the frame wait on each multiply in turn (some 870 instructions a frame, latency-bound);
// now the lanes' multiplies, and an item's and the frame's chains, run side by side.
void CNetFrameHash::Add(int kind, int a, int b, const unsigned char* data, int len) {
    if (data == nullptr || len < 0) len = 0;
    std::uint64_t v0 =
        kLane[0] ^ (static_cast<std::uint64_t>(static_cast<std::uint32_t>(kind)) << 32 |
                    static_cast<std::uint32_t>(len));
    std::uint64_t v1 = kLane[1] ^ (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32 |
                                   static_cast<std::uint32_t>(b));
    std::uint64_t v2 = kLane[2], v3 = kLane[3];
    int i = 0;
    for (; i + 32 <= len; i += 32) { // little-endian whatever the machine: the same hash
        v0 = Mix(v0, Load8(data + i));
        v1 = Mix(v1, Load8(data + i + 8));
        v2 = Mix(v2, Load8(data + i + 16));
        v3 = Mix(v3, Load8(data + i + 24));
    }
    const int rest = len - i; // 0 to 31 bytes: up to three whole words and a tail
    if (rest >= 8) v0 = Mix(v0, Load8(data + i));
    if (rest >= 16) v1 = Mix(v1, Load8(data + i + 8));
    if (rest >= 24) v2 = Mix(v2, Load8(data + i + 16));
    if ((rest & 7) != 0) {
        const std::uint64_t t = Tail(data, len, rest & 7);
        switch (rest >> 3) {
        case 0:
            v0 = Mix(v0, t);
            break;
        case 1:
            v1 = Mix(v1, t);
            break;
        case 2:
            v2 = Mix(v2, t);
            break;
        default:
            v3 = Mix(v3, t);
            break;
        }
    }
    // Each step is one-to-one in either input, so an item differing in one lane differs
    // whole; the turns make lanes that swapped contents fold apart.
    const std::uint64_t item = Mix(Mix(v0, Rot32(v1)), Rot32(Mix(v2, Rot32(v3))));
    m_value = Mix(m_value, item);
    ++m_items;
}
