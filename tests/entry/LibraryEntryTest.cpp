#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/LibraryEntry.h"
#include "platform/PlatformSystem.h"
#include "portnet/CNetDriver.h"
#include "portnet/CNetTime.h"

namespace sys = portnet::platform;

namespace {

// Log calls with their file name, enable flag, or the drivers still alive at the release.
std::vector<std::string> g_calls;

void RecordCall(const char* call, const void* arg) {
    std::string entry = call;
    if (entry == "InitLog") entry += std::string(" ") + static_cast<const char*>(arg);
    if (entry == "EnableLog") entry += " " + std::to_string(*static_cast<const int*>(arg));
    if (entry == "ReleaseLog") entry += " " + std::to_string(CNetDriver::m_init_cnt);
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
        CNetTime::Init();
    }
};

} // namespace

TEST_F(LibraryEntryTest, InitialisesOnceWhateverTheFirstReason) {
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

TEST_F(LibraryEntryTest, DetachReleasesDriversBeforeLog) {
    ASSERT_NE(GetSystemNetDriver(kNetDriverLocal, 4), nullptr);
    ASSERT_NE(GetSystemNetDriver(kNetDriverUdp, 0), nullptr);
    EXPECT_EQ(portnet::LibraryEntry(nullptr, portnet::kProcessDetach, nullptr), 1);
    EXPECT_EQ(g_calls, std::vector<std::string>{"ReleaseLog 0"});
    EXPECT_TRUE(portnet::g_entry_initialised); // a detach never re-arms the initialisation
}
