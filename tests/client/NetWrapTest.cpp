// Wrap-around arithmetic and order of times, frames and 32-bit counters, at the points where
// the value wraps: the largest int to the smallest, 0xFFFFFFFF to 0, and half the circle apart.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "client/NetWrap.h"

namespace {

using namespace portnet;

TEST(NetWrap, ArithmeticCrossesTheWrapWithoutOverflow) {
    EXPECT_EQ(WrapAdd(INT_MAX, 1), INT_MIN);
    EXPECT_EQ(WrapSub(INT_MIN, 1), INT_MAX);
    EXPECT_EQ(WrapSub(INT_MIN + 5, INT_MAX - 5), 11); // 11 ms across the wrap
    EXPECT_EQ(WrapSub(-1, INT_MAX), INT_MIN);
    EXPECT_EQ(WrapMul(0x10000, 0x10000), 0);
}

TEST(NetWrap, OrderHoldsAcrossTheWrapAndAgreesForBothTypes) {
    EXPECT_TRUE(WrapBefore(INT_MAX, INT_MIN)); // the last time before the wrap, the first after
    EXPECT_TRUE(WrapAfter(INT_MIN, INT_MAX));
    EXPECT_TRUE(WrapBefore(-1, 0));
    EXPECT_FALSE(WrapBefore(7, 7));
    EXPECT_FALSE(WrapAfter(7, 7));
    EXPECT_TRUE(WrapBefore(0xFFFFFFFFu, 0u));
    EXPECT_FALSE(WrapBefore(0u, 0xFFFFFFFFu));
    EXPECT_TRUE(WrapBefore(0x7FFFFFFFu, 0x80000000u));
    // Half the circle apart each is before the other: the signed difference is INT_MIN.
    EXPECT_TRUE(WrapBefore(0, INT_MIN));
    EXPECT_TRUE(WrapBefore(INT_MIN, 0));
    EXPECT_FALSE(WrapAfter(0, INT_MIN));
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
