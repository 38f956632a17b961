#pragma once

#include <cstdint>

// 32-bit signed arithmetic that wraps like the counters of the wire protocol instead of
// overflowing into undefined behaviour: the work is done in uint32_t and converted back.
namespace portnet {

inline int WrapAdd(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

inline int WrapSub(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

inline int WrapMul(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

} // namespace portnet
