// Connection state of one client: name, round trip, time-out, rates and instant messages.
#include "ClientFixture.h"

using namespace client_test;

TEST(ClientState, RoundTripRisesSlowlyAndFallsAtOnce) {
    CNetClient c;
    c.m_acked_seq = CNetClient::kRing + 1;                                // ring entry 1
    const int rows[][3] = {{0, 100, 20}, {100, 50, 50}, {100, 200, 120}}; // ping, sample, result
    for (const auto& r : rows) {
        c.m_ping = r[0];
        c.m_write_times[1] = 5000;
        c.m_ack_times[1] = 5000 + r[1];
        c.CalcNet();
        EXPECT_EQ(c.m_ping, r[2]) << r[0] << " " << r[1];
    }
    c.SetName(std::string(150, 'x').c_str()); // a long name is cut and terminated
    EXPECT_EQ(std::string(c.m_name), std::string(99, 'x'));
}

TEST_F(ClientTest, TimeOutFiresOnceAtTheLimitAndAgainOnlyAfterTheRepetition) {
    Stream* s = Port(1, new Stream);
    mgr.m_time = 5000;
    EXPECT_EQ(c.BeginFrame(), 1); // nothing outstanding
    s->WriteInt(5);
    ASSERT_EQ(c.Write(), 1);
    for (int t : {5999, 6000, 6500}) {
        mgr.m_time = t;
        EXPECT_EQ(c.BeginFrame(), 1);
        EXPECT_EQ(c.m_timeouts, t < 6000 ? 0 : 1) << t;
    }
    EXPECT_EQ((Ints{c.timeouts_seen, c.m_reliable_wait}), (Ints{1, 1500}));
    ASSERT_EQ((Ints{c.Write(), c.m_resend}), (Ints{1, 0})); // the repetition renews the clock
    for (int t : {7499, 7500}) {
        mgr.m_time = t;
        c.BeginFrame();
        EXPECT_EQ(c.m_timeouts, t < 7500 ? 1 : 2) << t;
    }
}

TEST_F(ClientTest, RatesAreMeasuredOncePerSecondAndWrapIn32Bits) {
    c.m_bytes_in = 3000;
    c.m_bytes_out = 600;
    mgr.m_time = 1500; // the first measurement spans the time since the clock started
    ASSERT_EQ(c.EndFrame(), 1);
    EXPECT_EQ((Ints{c.m_rate_in, c.m_rate_out}), (Ints{2000, 400}));
    c.m_bytes_in = 3003000;      // 3e6 more: times 1000 passes 2^31
    for (int t : {2499, 2500}) { // not a second yet; then (3e9 - 2^32) / 1000
        mgr.m_time = t;
        c.EndFrame();
        EXPECT_EQ(c.m_rate_in, t < 2500 ? 2000 : -1294967) << t;
    }
}

// The hook on the receiving side is reached in the integration tests.
TEST_F(ClientTest, InstantMessageIsMarkedAndCountsOnlyItsPayload) {
    const unsigned char payload[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(c.WriteInstant(payload, 10), 1);
    EXPECT_EQ(Take(), (Bytes{0x00, 0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ((Ints{c.m_bytes_out, c.m_packets_out}), (Ints{10, 0}));
    const Bytes big(998, 0x55); // does not fit: nothing left behind for the next packet
    EXPECT_EQ((Ints{c.WriteInstant(big.data(), 998), send.m_write_pos}), (Ints{-1, 0}));
}
