#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/PlatformSystem.h"

namespace sys = portnet::platform;

TEST(PlatformClock, CounterFrequencyFitsLowHalfAndCounterKeepsPaceWithMillisecondTimer) {
    std::int64_t frequency = 0, first = 0, second = 0;
    ASSERT_TRUE(sys::QueryPerformanceFrequency(&frequency));
    // At least 1 kHz, and below 2^31: two seconds fit the low half.
    ASSERT_GE(frequency, 1000);
    EXPECT_LE(frequency, sys::kMaxCounterFrequency);
    const std::int64_t ticks_per_ms = frequency / 1000;
    ASSERT_TRUE(sys::QueryPerformanceCounter(&first));
    const std::uint32_t start = sys::TimeGetTime();
    std::uint32_t now = start;
    // Two clocks of their own on Windows: compared over 50 ms, with 20 ms of slack for the
    // timer's coarser steps.
    for (int i = 0; i < 100 && now - start < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        now = sys::TimeGetTime();
    }
    ASSERT_TRUE(sys::QueryPerformanceCounter(&second));
    const std::int64_t counter_ms = (second - first) / ticks_per_ms;
    const std::int64_t timer_ms = now - start;
    EXPECT_GE(timer_ms, 50);
    EXPECT_LE(counter_ms - timer_ms, 20);
    EXPECT_GE(counter_ms - timer_ms, -20);
}
