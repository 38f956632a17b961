#include <gtest/gtest.h>

#include "platform/PlatformSystem.h"

namespace sys = portnet::platform;

TEST(PlatformClock, CounterRunsAtOneMegahertzInStepWithMillisecondTimer) {
    std::int64_t frequency = 0, counter = 0;
    ASSERT_TRUE(sys::QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency, 1000000); // below 2^31: two seconds fit the low half
    const std::uint32_t before = sys::TimeGetTime();
    sys::QueryPerformanceCounter(&counter);
    // Both read one monotonic clock: the counter's milliseconds lie between two timer readings.
    EXPECT_LE(static_cast<std::uint32_t>(counter / 1000) - before, sys::TimeGetTime() - before);
}
