#include <gtest/gtest.h>

#include <cstdlib>

#include "ManagerDoubles.h"

namespace {

class HookManager : public CNetManager {
public:
    int CreateClient(CNetBuf*) override { return ++creates, accept; }
    int ReadOutOfBand(CNetBuf* buf) override { return out_of_band = buf->GetChannel(), 0; }
    int creates = 0, accept = -1, out_of_band = -1;
};

class FrameLoop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, m.Init(&driver, 4)); }
    StepClient* Add(int slot) {
        auto* c = new StepClient;
        c->m_send_buf = &peer_buf;
        EXPECT_EQ(slot, m.AddClient(c, slot));
        return c;
    }
    TestState* Place(int port, int life_time, bool history = false) {
        auto* s = new TestState;
        m.SetPortA(port, s);
        m.InitPort(port, life_time);
        if (history)
            m.m_ports[port].m_writing_history = new CNetDataHistory(2, new TestState, port);
        return s;
    }

    ScriptDriver driver;
    const sockaddr_in peer = Ipv4(7000, 5);
    const sockaddr_in stranger = Ipv4(7000, 6);
    CNetBuf peer_buf{&driver, &peer};
    HookManager m;
};

TEST_F(FrameLoop, FirstBeginFrameHasZeroDelta) {
    StepClient* c = Add(0);
    CNetTime::m_time = 1000;
    EXPECT_EQ(1, m.BeginFrame());
    EXPECT_EQ(0, m.m_delta_time);
    CNetTime::m_time = 1020;
    EXPECT_EQ(1, m.BeginFrame());
    EXPECT_EQ(20, m.m_delta_time);
    EXPECT_EQ(1020, m.m_time);
    EXPECT_EQ(2, c->begins);
}

TEST_F(FrameLoop, DropRateHundredDiscardsDatagramsAndEvents) {
    StepClient* c = Add(0);
    driver.Datagram(peer, 0);
    driver.Result(peer, 10002); // would fail Read if it were dispatched
    driver.Datagram(peer, 0);
    m.m_drop_rate = 100;
    EXPECT_EQ(1, m.Read());
    EXPECT_EQ(0, driver.Pending());
    EXPECT_EQ(0, c->reads);
    EXPECT_EQ(0, c->m_bytes_in);

    std::srand(5); // at rate 0 still exactly one draw per datagram
    std::rand();
    const int second = std::rand();
    std::srand(5);
    m.m_drop_rate = 0;
    driver.Datagram(peer, 0);
    EXPECT_EQ(1, m.Read());
    EXPECT_EQ(1, c->reads);
    EXPECT_EQ(second, std::rand());
}

TEST_F(FrameLoop, IntakeRoutesBySenderChannelAndEvent) {
    StepClient* c = Add(1);
    driver.Datagram(peer, 0, 5);
    driver.Datagram(peer, 3);     // out of band even from a known sender
    driver.Datagram(stranger, 0); // refused by CreateClient: dropped
    driver.Result(stranger, kNetEventDisconnect);
    driver.Result(peer, kNetEventDisconnect);
    driver.Datagram(peer, 0, 7);
    EXPECT_EQ(1, m.Read());
    EXPECT_EQ(2, c->reads);
    EXPECT_EQ(12, c->m_bytes_in);
    EXPECT_EQ(3, m.out_of_band);
    EXPECT_EQ(1, m.creates);
    EXPECT_EQ(1, c->disconnects);
    EXPECT_EQ(1, m.GetNumClients());

    driver.Result(peer, 10002);
    driver.Datagram(peer, 0);
    EXPECT_EQ(-1, m.Read()); // unknown event from a known client ends the step at once
    EXPECT_EQ(1, driver.Pending());
}

TEST_F(FrameLoop, CreatedClientGetsTheFirstDatagram) {
    StepClient* c = Add(2);
    c->m_send_buf = nullptr; // not findable by address: only CreateClient can name it
    m.accept = 2;
    driver.Datagram(stranger, 0, 6);
    EXPECT_EQ(1, m.Read());
    EXPECT_EQ(1, c->reads);
    EXPECT_EQ(6, c->m_bytes_in);
    c->read_result = -1;
    driver.Datagram(stranger, 0);
    EXPECT_EQ(-1, m.Read());
}

TEST(FrameLoopBase, UnknownSenderIsDroppedByBaseCreateClient) {
    ScriptDriver driver;
    CNetManager m;
    ASSERT_EQ(1, m.Init(&driver, 1));
    driver.Datagram(Ipv4(7000, 8), 0);
    EXPECT_EQ(1, m.Read());
    EXPECT_EQ(0, m.GetNumClients());
    EXPECT_EQ(0, driver.Pending());
}

TEST_F(FrameLoop, OwnReceiveBufferFeedsItsClientWhateverTheSender) {
    ScriptDriver own_driver;
    CNetBuf own{&own_driver, nullptr};
    StepClient* c = Add(3);
    c->m_recv_buf = &own;
    own_driver.Datagram(stranger, 0, 9);
    driver.Datagram(peer, 0); // matches the address, but the client is never found by it
    EXPECT_EQ(1, m.Read());
    EXPECT_EQ(1, c->reads);
    EXPECT_EQ(9, c->m_bytes_in);
    EXPECT_EQ(1, m.creates);
}

TEST_F(FrameLoop, FailingWriteInSlotTwoStopsLaterSlotsAndKeepsFrame) {
    StepClient* c[8];
    for (int i = 0; i < 8; ++i)
        c[i] = Add(i);
    c[2]->write_result = -1;
    EXPECT_EQ(-1, m.Write());
    EXPECT_EQ(0, m.m_frame);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(i <= 2 ? 1 : 0, c[i]->writes);
    c[2]->write_result = 1;
    EXPECT_EQ(1, m.Write());
    EXPECT_EQ(1, m.m_frame);
}

TEST_F(FrameLoop, LifetimesCountDownAndReleaseAtZero) {
    TestState* once = Place(0, -2, true);
    once->value = 42;
    TestState* timed = Place(1, 50);
    TestState* zero = Place(2, 0);
    auto* stream = new CNetReliable;
    m.SetPortA(3, stream);
    m.InitPort(3, -2);
    m.m_delta_time = 20;

    ASSERT_EQ(1, m.Write());
    auto* recorded = static_cast<TestState*>(m.m_ports[0].m_writing_history->m_entries[0]);
    EXPECT_EQ(42, recorded->value);
    EXPECT_EQ(0, once->m_life_time);
    zero->m_received = true;
    ASSERT_EQ(1, m.EndFrame());
    EXPECT_EQ(1, once->destroyed);
    EXPECT_EQ(1, zero->destroyed);
    EXPECT_FALSE(zero->m_received);
    ASSERT_EQ(1, m.EndFrame());
    EXPECT_EQ(0, timed->destroyed);
    ASSERT_EQ(1, m.EndFrame());
    EXPECT_EQ(1, timed->destroyed);
    EXPECT_EQ(-10, timed->m_life_time);
    EXPECT_EQ(-2, stream->m_life_time); // a reliable stream is never "written once"
    EXPECT_TRUE(stream->m_active);
}

TEST_F(FrameLoop, UpdateInterpolatesOnlyActiveUnreliableInterpolatingPorts) {
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
    EXPECT_EQ(1, m.Update(true));
    EXPECT_EQ(1, blended->interps);
    EXPECT_EQ(0, plain->interps + idle->interps);
    EXPECT_EQ(1, m.Update(false));
    EXPECT_EQ(1, blended->interps);
    EXPECT_EQ(2, blended->updates);
    EXPECT_EQ(2, plain->updates);
    EXPECT_EQ(0, idle->updates);
    EXPECT_EQ(2, c->updates);
}

TEST(FrameLoopBase, StepsBeforeInitFail) {
    CNetManager m;
    EXPECT_EQ(-1, m.BeginFrame());
    EXPECT_EQ(-1, m.Read());
    EXPECT_EQ(-1, m.Update(true));
    EXPECT_EQ(-1, m.Write());
    EXPECT_EQ(-1, m.EndFrame());
}

} // namespace
