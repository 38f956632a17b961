// Wrap-around arithmetic and order of times, frames and 32-bit counters, at the points where
// the value wraps: the largest int to the smallest, 0xFFFFFFFF to 0, and half the circle apart.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "client/NetWrap.h"

namespace {

using namespace portnet;

TEST(NetWrap, ArithmeticCrossesTheWrapWithoutOverflow) {
    // 11 ms across the wrap.
    EXPECT_EQ((std::vector<int>{WrapAdd(INT_MAX, 1), WrapSub(INT_MIN, 1),
                                WrapSub(INT_MIN + 5, INT_MAX - 5), WrapSub(-1, INT_MAX),
                                WrapMul(0x10000, 0x10000)}),
              (std::vector<int>{INT_MIN, INT_MAX, 11, INT_MIN, 0}));
}

TEST(NetWrap, OrderHoldsAcrossTheWrapAndAgreesForBothTypes) {
    // The last time before the wrap and the first after; equal times; half the circle apart
    // each is before the other (the signed difference is INT_MIN).
    EXPECT_EQ(
        (std::vector<bool>{WrapBefore(INT_MAX, INT_MIN), WrapAfter(INT_MIN, INT_MAX),
                           WrapBefore(-1, 0), WrapBefore(7, 7), WrapAfter(7, 7),
                           WrapBefore(0xFFFFFFFFu, 0u), WrapBefore(0u, 0xFFFFFFFFu),
                           WrapBefore(0x7FFFFFFFu, 0x80000000u), WrapBefore(0, INT_MIN),
                           WrapBefore(INT_MIN, 0), WrapAfter(0, INT_MIN)}),
        (std::vector<bool>{true, true, true, false, false, true, false, true, true, true, false}));
    const std::uint32_t points[] = {0u,          1u,          0x7FFFFFFEu, 0x7FFFFFFFu,
                                    0x80000000u, 0x80000001u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (std::uint32_t a : points)
        for (std::uint32_t b : points) {
            const int ia = static_cast<int>(a), ib = static_cast<int>(b);
            EXPECT_EQ(WrapBefore(a, b), WrapBefore(ia, ib)) << a << " " << b;
            if (a - b != 0x80000000u) {
                EXPECT_EQ(WrapAfter(ia, ib), WrapBefore(ib, ia)) << a << " " << b;
            }
        }
}

} // namespace
