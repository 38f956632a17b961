#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/PlatformSystem.h"
#include "portnet/CNetDriver.h"
#include "transport/CNetList.h"
#include "transport/NetRegistry.h"

namespace sys = portnet::platform;

namespace {

std::vector<std::string> g_destroyed;

// A driver that notes its destruction, placed in the registry the way GetSystemNetDriver does.
class NamedDriver : public CNetDriver {
public:
    explicit NamedDriver(std::string name) : m_name(std::move(name)) {}
    ~NamedDriver() override { g_destroyed.push_back(m_name); }
    int SetBlockMode(bool) override { return 0; }
    int MakeBroadcastCapable() override { return 0; }
    int Init() override { return 0; }
    int Shutdown() override { return 0; }
    int Connected(sockaddr_in*) override { return 0; }
    int Disconnected(sockaddr_in*) override { return 0; }
    char* GetAddr() override { return nullptr; }
    int SendTo(int, void*, sockaddr_in*) override { return 0; }
    int RecvFrom(int*, void*, sockaddr_in*) override { return 0; }
    int Broadcast(int, void*, sockaddr_in*) override { return 0; }
    std::string m_name;
};

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ReleaseSystemNetDriver();
        ASSERT_EQ(CNetDriver::m_init_cnt, 0) << "a driver outlived an earlier test";
        g_destroyed.clear();
    }
    void TearDown() override { ReleaseSystemNetDriver(); }
};

} // namespace

TEST_F(RegistryTest, SocketLayerStartsOnceAndCleansUpAfterLastDriver) {
    const int startups = sys::SocketStartupCalls();
    const int cleanups = sys::SocketCleanupCalls();
    ASSERT_NE(GetSystemNetDriver(kNetDriverLocal, 5), nullptr);
    ASSERT_NE(GetSystemNetDriver(kNetDriverUdp, 0), nullptr);
    EXPECT_EQ(CNetDriver::m_init_cnt, 2);
    EXPECT_EQ(sys::SocketStartupCalls(), startups + 1);
    EXPECT_EQ(CNetDriver::m_winsockdata.m_version, 0x0202);
    EXPECT_EQ(ReleaseSystemNetDriver(), 1);
    EXPECT_EQ(CNetDriver::m_init_cnt, 0);
    EXPECT_EQ(sys::SocketCleanupCalls(), cleanups + 1);
}

TEST_F(RegistryTest, UnknownTypeRegistersNothing) {
    EXPECT_EQ(GetSystemNetDriver(3, 0), nullptr);
    EXPECT_EQ(GetSystemNetDriver(0, 0), nullptr);
    EXPECT_EQ(g_driver_list.Count(), 0);
    EXPECT_EQ(CNetDriver::m_init_cnt, 0);
}

TEST_F(RegistryTest, ReleaseDestroysMostRecentFirstAndTwiceIsHarmless) {
    g_driver_list.AddHead(new NamedDriver("oldest"));
    CNetDriver* local = GetSystemNetDriver(kNetDriverLocal, 5);
    ASSERT_EQ(local->Init(), 0);
    g_driver_list.AddHead(nullptr); // empty slots are skipped
    g_driver_list.AddHead(new NamedDriver("newest"));
    EXPECT_EQ(g_driver_list.Get(2), local);

    EXPECT_EQ(ReleaseSystemNetDriver(), 1);
    EXPECT_EQ(g_destroyed, (std::vector<std::string>{"newest", "oldest"}));
    EXPECT_EQ(g_driver_list.Count(), 0);
    EXPECT_EQ(g_local_list.Count(), 0);
    EXPECT_EQ(CNetDriver::m_init_cnt, 0);
    EXPECT_EQ(ReleaseSystemNetDriver(), 1);
    EXPECT_EQ(g_destroyed.size(), 2u);
}

TEST(CNetList, CursorFollowsInsertionsRemovalsAndBackwardSteps) {
    int v[4];
    CNetList list;
    for (int& x : v)
        list.AddHead(&x); // list order: v3 v2 v1 v0
    EXPECT_EQ(list.Get(2), &v[1]);
    EXPECT_EQ(list.m_cursor_index, 2);
    EXPECT_EQ(list.Get(1), &v[2]); // behind the cursor: walks from the head again
    EXPECT_EQ(list.Get(3), &v[0]);
    EXPECT_EQ(list.Get(4), nullptr);
    EXPECT_EQ(list.Get(-1), nullptr);

    EXPECT_TRUE(list.RemoveAt(list.Find(&v[2])));
    EXPECT_EQ(list.m_cursor_index, -1);
    EXPECT_EQ(list.Get(1), &v[1]);
    list.AddHead(&v[2]);
    EXPECT_EQ(list.Get(1), &v[3]);
    EXPECT_EQ(list.Find(&list), -1);
    EXPECT_FALSE(list.RemoveAt(-1));

    list.RemoveNode(list.m_tail);
    EXPECT_EQ(list.m_tail->m_data, &v[1]);
    EXPECT_EQ(list.m_tail->m_next, nullptr);
    list.RemoveAll();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.m_head, nullptr);
    EXPECT_EQ(list.m_tail, nullptr);
}
