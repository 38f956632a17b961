#include <cstdlib>

#include "ManagerDoubles.h"
#include "integration/CountAllocations.h" // counts every allocation of this program

namespace {

TEST_F(ManagerTest, DropRateHundredDiscardsDatagramsAndEvents) {
    StepClient* c = Add(0);
    driver.Datagram(peer, 0);
    driver.Result(peer, 10002); // would fail Read if it were dispatched
    driver.Datagram(peer, 0);
    m.m_drop_rate = 100;
    EXPECT_EQ((Ints{1, 3, 0, 0}), (Ints{m.Read(), driver.next, c->reads, c->m_bytes_in}));

    std::srand(5); // at rate 0 still exactly one draw per datagram
    std::rand();
    const int second = std::rand();
    std::srand(5);
    m.m_drop_rate = 0;
    driver.Datagram(peer, 0);
    EXPECT_EQ((Ints{1, 1, second}), (Ints{m.Read(), c->reads, std::rand()}));
}

TEST_F(ManagerTest, IntakeRoutesBySenderChannelAndEvent) {
    StepClient* c = Add(1);
    driver.Datagram(peer, 0, 5);
    driver.Datagram(peer, 3);     // out of band even from a known sender
    driver.Datagram(stranger, 0); // refused by CreateClient: dropped
    driver.Result(stranger, kNetEventDisconnect);
    driver.Result(peer, kNetEventDisconnect);
    driver.Datagram(peer, 0, 7);
    EXPECT_EQ(1, m.Read()); // a disconnect from nobody known is no error
    // The peer's disconnect reached its client and, through it, DestroyClient for its slot.
    EXPECT_EQ((Ints{2, 12, 3, 1, 1, 1, 1}),
              (Ints{c->reads, c->m_bytes_in, m.out_of_band, m.creates, c->disconnects,
                    m.destroyed_slot, m.GetNumClients()}));
    EXPECT_EQ(-1, m.DispatchEvent(kNetEventDisconnect, 5)); // an unused slot names no client

    driver.Result(peer, -1);    // a receive error ends the step at once,
    driver.Result(peer, 10002); // and so does an unknown event from a known client
    driver.Datagram(peer, 0);
    EXPECT_EQ((Ints{-1, -1}), (Ints{m.Read(), m.Read()}));
    EXPECT_EQ(driver.count - 1, driver.next);

    ScriptDriver own_driver; // a client with its own buffer is fed whatever the sender
    CNetBuf own{&own_driver, nullptr};
    c->m_recv_buf = &own;
    own_driver.Datagram(stranger, 0, 9);
    EXPECT_EQ(1, m.Read()); // the peer's datagram left over no longer finds the client
    EXPECT_EQ((Ints{3, 21, 2}), (Ints{c->reads, c->m_bytes_in, m.creates}));
    // The sender is found in the lowest slot with its address, whatever the port.
    Add(5), Add(3);
    const sockaddr_in other_port = Ipv4(7001, 5);
    EXPECT_EQ((Ints{3, -1}), (Ints{m.FindClient(&other_port), m.FindClient(&stranger)}));
}

TEST_F(ManagerTest, FailingWriteInSlotTwoStopsLaterSlotsAndKeepsFrame) {
    StepClient* c[8];
    for (int i = 0; i < 8; ++i)
        c[i] = Add(i);
    c[2]->write_result = -1;
    EXPECT_EQ((Ints{-1, 0}), (Ints{m.Write(), m.m_frame}));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(i <= 2 ? 1 : 0, c[i]->writes) << i;
    c[2]->write_result = 1;
    EXPECT_EQ((Ints{1, 1}), (Ints{m.Write(), m.m_frame}));
}

TEST_F(ManagerTest, LifetimesCountDownAndReleaseAtZero) {
    TestState* once = Place(0, -2);
    m.m_ports[0].m_writing_history = new CNetDataHistory(2, new TestState, 0);
    once->value = 42;
    TestState* timed = Place(1, 50);
    TestState* zero = Place(2, 0);
    auto* stream = new CNetReliable;
    m.SetPortA(3, stream);
    m.InitPort(3, -2);
    CNetTime::m_time = 1000;
    // The first frame has no predecessor; the state written once is recorded, its life spent.
    ASSERT_EQ((Ints{1, 0, 1}), (Ints{m.BeginFrame(), m.m_delta_time, m.Write()}));
    const auto* recorded = static_cast<TestState*>(m.m_ports[0].m_writing_history->m_entries[0]);
    EXPECT_EQ((Ints{42, 0}), (Ints{recorded->value, once->m_life_time}));
    zero->m_received = true;
    ASSERT_EQ(1, m.EndFrame()); // no time passed: lives at 0 end here
    EXPECT_EQ((Ints{1, 1, 0}), (Ints{once->destroyed, zero->destroyed, zero->m_received}));
    for (int f = 1; f <= 3; ++f) { // 20 ms frames: 50 lasts into the third
        CNetTime::m_time += 20;
        ASSERT_EQ((Ints{1, 1}), (Ints{m.BeginFrame(), m.EndFrame()}));
        EXPECT_EQ((Ints{20, f == 3}), (Ints{m.m_delta_time, timed->destroyed})) << f;
    }
    EXPECT_EQ(-10, timed->m_life_time);
    // Released once only; a restart flips the toggle and restarts the port's playback.
    m.m_ports[1].m_interp_time = 55;
    EXPECT_EQ((Ints{-1, 7, 8}),
              (Ints{m.ReleasePort(1), m.InitPort(timed, 50), m.ReleasePort(timed)}));
    EXPECT_EQ((Ints{2, 0, -1, 50}), (Ints{timed->destroyed, timed->m_init_toggle,
                                          m.m_ports[1].m_interp_time, timed->m_life_time}));
    // A reliable stream is never "written once".
    EXPECT_EQ((Ints{-2, 1}), (Ints{stream->m_life_time, stream->m_active}));
}

TEST_F(ManagerTest, UpdateInterpolatesOnlyActiveUnreliableInterpolatingPorts) {
    StepClient* c = Add(0);
    TestState* blended = Place(0, -1);
    TestState* plain = Place(1, -1);
    plain->m_interpolate = false;
    TestState* idle = Place(2, -1);
    m.ReleasePort(2);
    for (int p = 0; p < 3; ++p) {
        auto* h = new CNetDataHistory(2, new TestState(100), p);
        h->SetLink(0);
        m.m_ports[p].m_reading_history = h;
        m.m_ports[p].m_last_time = 100;
    }
    EXPECT_EQ((Ints{1, 1}), (Ints{m.Update(true), m.Update(false)}));
    EXPECT_EQ((Ints{1, 0, 0}), (Ints{blended->interps, plain->interps, idle->interps}));
    EXPECT_EQ((Ints{2, 2, 0, 2}),
              (Ints{blended->updates, plain->updates, idle->updates, c->updates}));
}

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
    EXPECT_EQ((Ints{15, 3, 0}), (Ints{results, m.m_frame, static_cast<int>(g_allocations)}));
}

} // namespace
