// Counts every allocation of this test program, to show that a whole frame makes none.
#include "ManagerDoubles.h"
#include "integration/CountAllocations.h"

namespace {

TEST_F(ManagerTest, FullFrameWithTrafficAllocatesNothing) {
    for (int i = 0; i < 8; ++i)
        Add(i);
    Place(1, 500);
    m.m_ports[1].m_writing_history = new CNetDataHistory(4, new TestState, 1);
    auto* h = m.m_ports[1].m_reading_history = new CNetDataHistory(4, new TestState(100), 1);
    h->SetLink(0);
    m.m_ports[1].m_last_time = 100;
    int results = 0;
    g_counting = true;
    for (int frame = 0; frame < 3; ++frame) {
        driver.Datagram(peer, 0);
        driver.Datagram(peer, 2);
        driver.Result(peer, kNetEventDisconnect);
        CNetTime::m_time += 20;
        for (int r : {m.BeginFrame(), m.Read(), m.Update(true), m.Write(), m.EndFrame()})
            results += r;
    }
    g_counting = false;
    EXPECT_EQ(15, results);
    EXPECT_EQ(0, g_allocations);
    EXPECT_EQ(3, m.m_frame);
}

} // namespace
