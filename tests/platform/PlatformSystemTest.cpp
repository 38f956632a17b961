#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "platform/PlatformSystem.h"
#include "portnet/CNetDriver.h"

namespace sys = portnet::platform;

TEST(PlatformClock, CounterRunsAtOneMegahertzInStepWithMillisecondTimer) {
    std::int64_t frequency = 0;
    ASSERT_TRUE(sys::QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency, 1000000);
    EXPECT_LT(frequency, std::int64_t{1} << 31); // two seconds must fit the low half

    std::int64_t before = 0, after = 0;
    const std::uint32_t ms_before = sys::TimeGetTime();
    sys::QueryPerformanceCounter(&before);
    sys::QueryPerformanceCounter(&after);
    const std::uint32_t ms_after = sys::TimeGetTime();
    EXPECT_LE(before, after);
    // Both read CLOCK_MONOTONIC: the counter in microseconds, the timer in milliseconds.
    EXPECT_GE(static_cast<std::int64_t>(ms_after) + 1, (before / 1000) & 0xFFFFFFFF);
    EXPECT_LE(static_cast<std::int64_t>(ms_before), (after / 1000 + 1) & 0xFFFFFFFF);
}

TEST(PlatformSockets, StartupFillsVersionAndCountsEveryCall) {
    const int startups = sys::SocketStartupCalls();
    const int cleanups = sys::SocketCleanupCalls();
    SNetSocketData data{};
    EXPECT_EQ(sys::SocketStartup(0x0202, &data), 0);
    EXPECT_EQ(sys::SocketCleanup(), 0);
    EXPECT_EQ(data.m_version, 0x0202);
    EXPECT_NE(data.m_description[0], '\0');
    EXPECT_EQ(sys::SocketStartupCalls(), startups + 1);
    EXPECT_EQ(sys::SocketCleanupCalls(), cleanups + 1);
}

TEST(PlatformLog, StandInCreatesNoFile) {
    namespace fs = std::filesystem;
    const fs::path old_dir = fs::current_path();
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path dir = fs::temp_directory_path() / ("portnet_log_" + std::to_string(stamp));
    fs::create_directories(dir);
    fs::current_path(dir);
    sys::InitLog("net_log.txt");
    sys::EnableLog(1);
    sys::QLV_Initialize(sys::GetCurrentProcess());
    sys::ReleaseLog();
    const bool empty = fs::is_empty(dir);
    fs::current_path(old_dir);
    fs::remove_all(dir);
    EXPECT_TRUE(empty);
}
