// The library's entry point and its clock, each driven by hand through the platform layer's
// observers and clock source, so every reading is an exact number.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/LibraryEntry.h"
#include "platform/PlatformSystem.h"
#include "portnet/CNetDriver.h"
#include "portnet/CNetTime.h"

namespace sys = portnet::platform;

namespace {

using Ints = std::vector<int>;

// Log calls with their file name, enable flag, or the drivers still alive at the release.
std::vector<std::string> g_calls;

void RecordCall(const char* call, const void* arg) {
    std::string entry = call;
    if (entry == "InitLog") entry += std::string(" ") + static_cast<const char*>(arg);
    if (entry == "EnableLog") entry += " " + std::to_string(*static_cast<const int*>(arg));
    if (entry == "ReleaseLog") entry += " " + std::to_string(CNetDriver::m_init_cnt);
    g_calls.push_back(entry);
}

// A hand-driven counter and millisecond timer.
std::int64_t g_frequency, g_counter;
bool g_have_counter;
std::uint32_t g_mm_time;

const sys::ClockSource kFakeClock{[](std::int64_t* f) { return *f = g_frequency, g_have_counter; },
                                  [](std::int64_t* c) { return *c = g_counter, true; },
                                  [] { return g_mm_time; }};

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        sys::SetLogObserver(RecordCall);
    }
    void TearDown() override {
        sys::SetLogObserver(nullptr);
        sys::SetClockSource(nullptr);
        portnet::g_entry_initialised = true;
        ReleaseSystemNetDriver();
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

TEST_F(EntryTest, LibraryInitialisesOnceWhateverTheFirstReason) {
    EXPECT_TRUE(portnet::g_entry_initialised); // the load-time entry ran before main
    portnet::g_entry_initialised = false;
    CNetTime::m_time = 99;
    EXPECT_EQ(portnet::LibraryEntry(nullptr, portnet::kThreadAttach, nullptr), 1);
    EXPECT_EQ(CNetTime::m_time, 0);
    CNetTime::m_time = 99;
    EXPECT_EQ(portnet::LibraryEntry(nullptr, portnet::kProcessAttach, nullptr), 1);
    EXPECT_EQ(CNetTime::m_time, 99);
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"InitLog net_log.txt", "EnableLog 1", "QLV_Initialize"}));
}

TEST_F(EntryTest, LibraryDetachReleasesDriversBeforeLog) {
    ASSERT_NE(GetSystemNetDriver(kNetDriverLocal, 4), nullptr);
    ASSERT_NE(GetSystemNetDriver(kNetDriverUdp, 0), nullptr);
    EXPECT_EQ(portnet::LibraryEntry(nullptr, portnet::kProcessDetach, nullptr), 1);
    EXPECT_EQ(g_calls, std::vector<std::string>{"ReleaseLog 0"});
    EXPECT_TRUE(portnet::g_entry_initialised); // a detach never re-arms the initialisation
}

TEST_F(EntryTest, ClockFoldsAtTwoSecondsAndWrapsInTheLowHalf) {
    Start(1000000, 5000000);
    // 1999.9 ms does not fold; 2000.7 ms folds 2000 and drops the 0.7 for good.
    EXPECT_EQ((Ints{ReadAt(6999900), ReadAt(7000700), ReadAt(7001000), ReadAt(7002000)}),
              (Ints{1999, 2000, 2000, 2001}));
    // Half a ms per tick: 0xFFFFFFF0 -> 0x10 in the low half is 32 ticks; the high half, which
    // would add 2^31 ms here, never counts.
    Start(2000, 0x1FFFFFFF0);
    EXPECT_EQ((Ints{ReadAt(0x200000010), ReadAt(0x700000020)}), (Ints{16, 24}));
}

TEST_F(EntryTest, ClockRealTimeMovesTheFrame) {
    Start(1000000, 5000000);
    g_counter += 5000;
    CNetTime::Update();
    g_counter += 7000; // the snapshot stays until the next update
    EXPECT_EQ((Ints{CNetTime::GetTime(), CNetTime::GetRealTime(), CNetTime::GetFrameTime(),
                    CNetTime::Update(), CNetTime::GetFrameTime()}),
              (Ints{5, 12, 7, 1, 0}));
}

TEST_F(EntryTest, ClockFallsBackToMillisecondTimerWithoutUsableCounter) {
    g_mm_time = 0xFFFFFF00;
    Start(1000000, 0, false);
    g_mm_time = 0x64; // wrapped: 0x100 + 0x64 ms later
    CNetTime::Update();
    EXPECT_EQ(CNetTime::GetTime(), 356);
    Start(std::int64_t{1} << 32, 0); // low half 0: no usable tick length
    EXPECT_EQ(CNetTime::m_timer_proc, &CNetTime::GetMMTimerClock);
}
