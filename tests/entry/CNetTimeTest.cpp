#include <gtest/gtest.h>

#include "platform/PlatformSystem.h"
#include "portnet/CNetTime.h"

namespace sys = portnet::platform;

namespace {

// A hand-driven counter and millisecond timer, so every reading is an exact number.
std::int64_t g_frequency = 1000000;
bool g_have_counter = true;
std::int64_t g_counter = 0;
std::uint32_t g_mm_time = 0;

const sys::ClockSource kFakeClock{[](std::int64_t* f) {
                                      *f = g_frequency;
                                      return g_have_counter;
                                  },
                                  [](std::int64_t* c) {
                                      *c = g_counter;
                                      return true;
                                  },
                                  [] { return g_mm_time; }};

class CNetTimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_frequency = 1000000;
        g_have_counter = true;
        g_counter = 5000000;
        g_mm_time = 0;
        sys::SetClockSource(&kFakeClock);
    }
    void TearDown() override {
        sys::SetClockSource(nullptr);
        CNetTime::Init();
    }
};

} // namespace

TEST_F(CNetTimeTest, InitResetsSnapshotAndSelectsCounter) {
    CNetTime::m_time = 123;
    CNetTime::m_frame_time = 9;
    EXPECT_EQ(CNetTime::Init(), 1);
    EXPECT_EQ(CNetTime::GetTime(), 0);
    EXPECT_EQ(CNetTime::GetFrameTime(), 0);
    EXPECT_EQ(CNetTime::m_timer_proc, &CNetTime::GetHardwareTimerClock);
    EXPECT_DOUBLE_EQ(CNetTime::m_msec_per_tick, 0.001);
    EXPECT_EQ(CNetTime::m_HT_last_time, 5000000);
}

TEST_F(CNetTimeTest, NoFoldBelowTwoSecondsFoldDropsFraction) {
    CNetTime::Init();
    g_counter += 1999900; // 1999.9 ms pending
    EXPECT_EQ(CNetTime::GetHardwareTimerClock(), 1999);
    EXPECT_EQ(CNetTime::m_HT_cur_time, 0);
    EXPECT_EQ(CNetTime::m_HT_last_time, 5000000);

    g_counter = 5000000 + 2000700; // 2000.7 ms pending: folds 2000, drops 0.7
    EXPECT_EQ(CNetTime::GetHardwareTimerClock(), 2000);
    EXPECT_EQ(CNetTime::m_HT_cur_time, 2000);
    EXPECT_EQ(CNetTime::m_HT_last_time, 5000000 + 2000700);

    g_counter += 300; // with the 0.7 ms kept this would read 2001
    EXPECT_EQ(CNetTime::GetHardwareTimerClock(), 2000);
    g_counter += 1000;
    EXPECT_EQ(CNetTime::GetHardwareTimerClock(), 2001);
}

TEST_F(CNetTimeTest, LowHalfWrapCountsThirtyTwoTicks) {
    g_frequency = 1000; // one tick per millisecond makes 32 ticks visible
    g_counter = 0x1FFFFFFF0;
    CNetTime::Init();
    g_counter = 0x200000010;
    EXPECT_EQ(CNetTime::GetHardwareTimerClock(), 32);
    g_counter = 0x700000020; // the high half never takes part
    EXPECT_EQ(CNetTime::GetHardwareTimerClock(), 48);
}

TEST_F(CNetTimeTest, UpdateAndRealTimeMoveTheFrame) {
    CNetTime::Init();
    g_counter += 5000;
    EXPECT_EQ(CNetTime::Update(), 1);
    EXPECT_EQ(CNetTime::GetTime(), 5);
    EXPECT_EQ(CNetTime::GetFrameTime(), 5);
    g_counter += 7000;
    EXPECT_EQ(CNetTime::GetTime(), 5); // constant between updates
    EXPECT_EQ(CNetTime::GetRealTime(), 12);
    EXPECT_EQ(CNetTime::m_last_time, 5);
    EXPECT_EQ(CNetTime::GetFrameTime(), 7);
    CNetTime::Update();
    EXPECT_EQ(CNetTime::GetFrameTime(), 0);
}

TEST_F(CNetTimeTest, FallsBackToMillisecondTimerWithoutCounter) {
    g_have_counter = false;
    g_mm_time = 0xFFFFFF00;
    CNetTime::Init();
    EXPECT_EQ(CNetTime::m_timer_proc, &CNetTime::GetMMTimerClock);
    EXPECT_DOUBLE_EQ(CNetTime::m_msec_per_tick, 1.0);
    g_mm_time = 0x64; // wrapped: 0x100 + 0x64 ms later
    CNetTime::Update();
    EXPECT_EQ(CNetTime::GetTime(), 356);

    g_have_counter = true;
    g_frequency = std::int64_t{1} << 32; // low half 0: no usable tick length
    CNetTime::Init();
    EXPECT_EQ(CNetTime::m_timer_proc, &CNetTime::GetMMTimerClock);
}
