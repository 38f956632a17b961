#include "TransportFixture.h"

#include "platform/PlatformSystem.h"
#include "portnet/CNetUDP.h"
#include "transport/CNetLocal.h"
#include "transport/NetRegistry.h"

namespace sys = portnet::platform;

namespace {

std::vector<std::string> g_destroyed;

// Notes its destruction; placed in the registry the way GetSystemNetDriver does.
class NamedDriver : public CNetUDP {
public:
    explicit NamedDriver(const char* name) : CNetUDP(0), m_name(name) {}
    ~NamedDriver() override { g_destroyed.push_back(m_name); }
    const char* m_name;
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

TEST_F(RegistryTest, MakesKnownTypesAndStartsSocketLayerOnce) {
    const int startups = sys::SocketStartupCalls(), cleanups = sys::SocketCleanupCalls();
    EXPECT_EQ(GetSystemNetDriver(3, 0), nullptr);
    EXPECT_NE(dynamic_cast<CNetLocal*>(GetSystemNetDriver(kNetDriverLocal, 5)), nullptr);
    EXPECT_NE(dynamic_cast<CNetUDP*>(GetSystemNetDriver(kNetDriverUdp, 0)), nullptr);
    EXPECT_EQ((Ints{g_driver_list.Count(), sys::SocketStartupCalls() - startups,
                    CNetDriver::m_winsockdata.m_version, ReleaseSystemNetDriver(),
                    CNetDriver::m_init_cnt, sys::SocketCleanupCalls() - cleanups}),
              (Ints{2, 1, 0x0202, 1, 0, 1}));
}

TEST_F(RegistryTest, ReleaseDestroysMostRecentFirstAndTwiceIsHarmless) {
    g_driver_list.AddHead(new NamedDriver("oldest"));
    ASSERT_EQ(GetSystemNetDriver(kNetDriverLocal, 5)->Init(), 0);
    g_driver_list.AddHead(nullptr); // empty slots are skipped
    g_driver_list.AddHead(new NamedDriver("newest"));
    EXPECT_EQ((Ints{ReleaseSystemNetDriver(), g_driver_list.Count(), g_local_list.Count(),
                    CNetDriver::m_init_cnt, ReleaseSystemNetDriver()}),
              (Ints{1, 0, 0, 0, 1}));
    EXPECT_EQ(g_destroyed, (std::vector<std::string>{"newest", "oldest"}));
}

TEST(CNetList, CursorSurvivesRemovalsAndBackwardSteps) {
    int v[4];
    CNetList list;
    for (int& x : v)
        list.AddHead(&x); // v3 v2 v1 v0
    // Index 1 lies behind the cursor; removing the cursor's node must not leave it dangling.
    EXPECT_EQ((std::vector<void*>{list.Get(2), list.Get(1), list.Get(4),
                                  list.RemoveAt(list.Find(&v[2])) ? list.Get(1) : nullptr}),
              (std::vector<void*>{&v[1], &v[2], nullptr, &v[1]}));
    list.RemoveNode(list.m_tail);
    EXPECT_EQ((std::vector<void*>{list.Get(2), list.Get(1), list.m_tail->m_data}),
              (std::vector<void*>{nullptr, &v[1], &v[1]}));
    list.RemoveAll();
    EXPECT_EQ(list.m_head, list.m_tail);
    EXPECT_EQ(list.Count(), 0);
}
