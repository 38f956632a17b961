#pragma once

#include <cstdint>

// 32-bit signed arithmetic that wraps like the counters of the wire protocol instead of
// overflowing into undefined behaviour: the work is done in uint32_t and converted back.
// The one home of wrap-around arithmetic and order for millisecond times, frame numbers and
// 32-bit counters; every file that needs them includes this one.
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

// Order on a circle of 2^32: a comes before b when b is less than half the circle ahead of
// it. Half the circle apart (2^31) counts as before, as the signed difference says.
inline bool WrapBefore(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
}

inline bool WrapBefore(int a, int b) {
    return WrapSub(a, b) < 0;
}

inline bool WrapAfter(int a, int b) {
    return WrapSub(a, b) > 0;
}

} // namespace portnet
