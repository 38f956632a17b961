#include "portnet/CNetFrameHash.h"

namespace {

// A multiply-and-fold step over 8 bytes at a time: divergence is what it must show, not a
// forger, so a fast mix serves (FNV-1a byte by byte cost a recording more than its copying).
const std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

std::uint64_t Mix(std::uint64_t h, std::uint64_t v) {
    h = (h ^ v) * kMul;
    return h ^ (h >> 29);
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
    for (; i + 8 <= len; i += 8) {
        std::uint64_t v = 0;
        for (int k = 0; k < 8; ++k) // little-endian whatever the machine: the same hash
            v |= static_cast<std::uint64_t>(data[i + k]) << (8 * k);
        h = Mix(h, v);
    }
    if (i < len) {
        std::uint64_t v = 0;
        for (int k = 0; i + k < len; ++k)
            v |= static_cast<std::uint64_t>(data[i + k]) << (8 * k);
        h = Mix(h, v);
    }
    m_value = h;
    ++m_items;
}
