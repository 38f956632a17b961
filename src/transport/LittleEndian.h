#pragma once

#include <cstdint>

// Every multi-byte field on the wire and in a message is little-endian, written and read a
// byte at a time so the layout never depends on the host's own byte order.
namespace portnet {

inline void StoreLE(unsigned char* out, std::uint32_t v, int width) {
    for (int i = 0; i < width; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline std::uint32_t LoadLE(const unsigned char* in, int width) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return v;
}

} // namespace portnet
