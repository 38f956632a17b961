#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/LibraryEntry.h"
#include "platform/PlatformSystem.h"
#include "portnet/CNetDriver.h"
#include "portnet/CNetTime.h"
#include "transport/NetRegistry.h"

namespace sys = portnet::platform;

namespace {

std::vector<std::string> g_calls;
int g_drivers_at_release_log = -1;

void RecordCall(const char* call, const void* arg) {
    std::string entry = call;
    if (entry == "InitLog") entry += std::string(" ") + static_cast<const char*>(arg);
    if (entry == "EnableLog") entry += " " + std::to_string(*static_cast<const int*>(arg));
    if (entry == "QLV_Initialize" && arg == sys::GetCurrentProcess()) entry += " self";
    if (entry == "ReleaseLog") g_drivers_at_release_log = CNetDriver::m_init_cnt;
    g_calls.push_back(entry);
}

class LibraryEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        sys::SetLogObserver(RecordCall);
    }
    void TearDown() override {
        sys::SetLogObserver(nullptr);
        portnet::g_entry_initialised = true;
        ReleaseSystemNetDriver();
    }
};

} // namespace

TEST(LibraryLoad, EntryRanBeforeMain) {
    EXPECT_TRUE(portnet::g_entry_initialised);
    EXPECT_NE(CNetTime::m_timer_proc, nullptr);
}

TEST_F(LibraryEntryTest, FirstCallInitialisesOnceWhateverItsReason) {
    portnet::g_entry_initialised = false;
    CNetTime::m_time = 99;
    EXPECT_EQ(portnet::LibraryEntry(nullptr, portnet::kThreadAttach, nullptr), 1);
    EXPECT_EQ(CNetTime::m_time, 0);
    const std::vector<std::string> expected{"InitLog net_log.txt", "EnableLog 1",
                                            "QLV_Initialize self"};
    EXPECT_EQ(g_calls, expected);

    CNetTime::m_time = 99;
    EXPECT_EQ(portnet::LibraryEntry(nullptr, portnet::kProcessAttach, nullptr), 1);
    EXPECT_EQ(CNetTime::m_time, 99);
    EXPECT_EQ(g_calls.size(), 3u);
    CNetTime::Init();
}

TEST_F(LibraryEntryTest, DetachReleasesDriversBeforeLog) {
    ASSERT_NE(GetSystemNetDriver(kNetDriverLocal, 4), nullptr);
    ASSERT_NE(GetSystemNetDriver(kNetDriverUdp, 0), nullptr);
    ASSERT_GE(CNetDriver::m_init_cnt, 2);
    EXPECT_EQ(portnet::LibraryEntry(nullptr, portnet::kProcessDetach, nullptr), 1);
    EXPECT_EQ(g_calls, std::vector<std::string>{"ReleaseLog"});
    EXPECT_EQ(g_drivers_at_release_log, 0);
    EXPECT_EQ(g_driver_list.Count(), 0);
    EXPECT_TRUE(portnet::g_entry_initialised); // a detach never re-arms the initialisation
}
