#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

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

TEST(PlatformLog, StandInCreatesNoFile) {
    namespace fs = std::filesystem;
    char dir[] = "/tmp/portnet_log_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const fs::path old_dir = fs::current_path();
    fs::current_path(dir);
    sys::InitLog("net_log.txt");
    sys::EnableLog(1);
    sys::ReleaseLog();
    fs::current_path(old_dir);
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}
