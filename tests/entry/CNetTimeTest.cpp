#include <gtest/gtest.h>

#include <vector>

#include "platform/PlatformSystem.h"
#include "portnet/CNetTime.h"

namespace sys = portnet::platform;

namespace {

using Ints = std::vector<int>;

// A hand-driven counter and millisecond timer, so every reading is an exact number.
std::int64_t g_frequency, g_counter;
bool g_have_counter;
std::uint32_t g_mm_time;

const sys::ClockSource kFakeClock{[](std::int64_t* f) { return *f = g_frequency, g_have_counter; },
                                  [](std::int64_t* c) { return *c = g_counter, true; },
                                  [] { return g_mm_time; }};

class CNetTimeTest : public ::testing::Test {
protected:
    void TearDown() override {
        sys::SetClockSource(nullptr);
        CNetTime::Init();
    }
    // Starts the clock on a counter of the given rate and reading (or on none).
    static void Start(std::int64_t frequency, std::int64_t counter, bool have_counter = true) {
        g_frequency = frequency;
        g_counter = counter;
        g_have_counter = have_counter;
        sys::SetClockSource(&kFakeClock);
        CNetTime::Init();
    }
    static int ReadAt(std::int64_t counter) {
        g_counter = counter;
        return CNetTime::GetHardwareTimerClock();
    }
};

} // namespace

TEST_F(CNetTimeTest, FoldsAtTwoSecondsAndWrapsInTheLowHalf) {
    Start(1000000, 5000000);
    // 1999.9 ms does not fold; 2000.7 ms folds 2000 and drops the 0.7 for good.
    EXPECT_EQ((Ints{ReadAt(6999900), ReadAt(7000700), ReadAt(7001000), ReadAt(7002000)}),
              (Ints{1999, 2000, 2000, 2001}));
    // Half a ms per tick: 0xFFFFFFF0 -> 0x10 in the low half is 32 ticks; the high half, which
    // would add 2^31 ms here, never counts.
    Start(2000, 0x1FFFFFFF0);
    EXPECT_EQ((Ints{ReadAt(0x200000010), ReadAt(0x700000020)}), (Ints{16, 24}));
}

TEST_F(CNetTimeTest, RealTimeMovesTheFrame) {
    Start(1000000, 5000000);
    g_counter += 5000;
    CNetTime::Update();
    g_counter += 7000; // the snapshot stays until the next update
    EXPECT_EQ((Ints{CNetTime::GetTime(), CNetTime::GetRealTime(), CNetTime::GetFrameTime(),
                    CNetTime::Update(), CNetTime::GetFrameTime()}),
              (Ints{5, 12, 7, 1, 0}));
}

TEST_F(CNetTimeTest, FallsBackToMillisecondTimerWithoutUsableCounter) {
    g_mm_time = 0xFFFFFF00;
    Start(1000000, 0, false);
    g_mm_time = 0x64; // wrapped: 0x100 + 0x64 ms later
    CNetTime::Update();
    EXPECT_EQ(CNetTime::GetTime(), 356);
    Start(std::int64_t{1} << 32, 0); // low half 0: no usable tick length
    EXPECT_EQ(CNetTime::m_timer_proc, &CNetTime::GetMMTimerClock);
}
