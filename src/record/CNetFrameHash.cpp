#include "portnet/CNetFrameHash.h"

namespace {

const std::uint64_t kPrime = 0x100000001b3ull;

std::uint64_t MixWord(std::uint64_t h, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        h ^= (v >> (8 * i)) & 0xffu;
        h *= kPrime;
    }
    return h;
}

} // namespace

void CNetFrameHash::Add(int kind, int a, int b, const unsigned char* data, int len) {
    if (data == nullptr || len < 0) len = 0;
    std::uint64_t h = m_value;
    h = MixWord(h, static_cast<std::uint32_t>(kind));
    h = MixWord(h, static_cast<std::uint32_t>(a));
    h = MixWord(h, static_cast<std::uint32_t>(b));
    h = MixWord(h, static_cast<std::uint32_t>(len));
    for (int i = 0; i < len; ++i) {
        h ^= data[i];
        h *= kPrime;
    }
    m_value = h;
    ++m_items;
}
