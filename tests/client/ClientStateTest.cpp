// Connection state of one client: start values, names, timing, rates and instant messages.
#include "ClientFixture.h"

using namespace client_test;

TEST_F(ClientTest, FreshClientSendsNothingUntilThereIsSomethingToSay) {
    OpenBoth(2);
    CNetClient& c = *a->client;
    EXPECT_EQ(c.m_read_toggle, c.m_sent_read_toggle);
    EXPECT_TRUE(c.m_write_acked);
    EXPECT_EQ(c.m_write_seq, 1);
    EXPECT_EQ(c.m_timeout, 1000);
    EXPECT_EQ(c.m_max_size, -1);
    EXPECT_EQ(c.m_write_times[59], -1);
    EXPECT_EQ(c.Write(), 1);
    EXPECT_TRUE(b->Take().empty());
    EXPECT_EQ(c.m_write_seq, 1);
    EXPECT_EQ(c.m_packets_out, 0);
}

TEST(ClientName, LongNameIsCutAndTerminated) {
    CNetClient c;
    const std::string longer(150, 'x');
    c.SetName(longer.c_str());
    EXPECT_EQ(std::string(c.m_name), std::string(99, 'x'));
    c.SetName("peer");
    EXPECT_STREQ(c.m_name, "peer");
}

TEST_F(ClientTest, HaveReadSeesGapsAndRefusesSequencesBeforeTheFirst) {
    OpenBoth(2);
    ASSERT_EQ(Feed(Packet(5, 0, 0)), 1);
    ASSERT_EQ(Feed(Packet(7, 0, 0)), 1);
    CNetClient& c = *a->client;
    EXPECT_TRUE(c.HaveRead(0));
    EXPECT_FALSE(c.HaveRead(1)); // 6 never came
    EXPECT_TRUE(c.HaveRead(2));
    EXPECT_FALSE(c.HaveRead(8));
    EXPECT_FALSE(c.HaveRead(-1));
}

TEST(ClientRoundTrip, RisesSlowlyAndFallsAtOnce) {
    CNetClient c;
    c.m_acked_seq = 61; // ring entry 1
    auto sample = [&](int ping, int rtt) {
        c.m_ping = ping;
        c.m_write_times[1] = 5000;
        c.m_ack_times[1] = 5000 + rtt;
        c.CalcNet();
        return c.m_ping;
    };
    EXPECT_EQ(sample(0, 100), 20);
    EXPECT_EQ(sample(100, 50), 50);
    EXPECT_EQ(sample(100, 200), 120);
}

TEST_F(ClientTest, RoundTripSampleComesFromTheAcknowledgingPacket) {
    OpenBoth(2);
    State* s = a->Port(1, new State);
    s->len = 1;
    ASSERT_EQ(a->client->Write(), 1);
    a->mgr.m_time = 100;
    ASSERT_EQ(Feed(Packet(1, 1, 0)), 1);
    EXPECT_EQ(a->client->m_acked_seq, 1);
    EXPECT_EQ(a->client->m_ping, 20);
}

TEST_F(ClientTest, TimeOutFiresOnceAtTheLimitAndAgainOnlyAfterTheRepetition) {
    OpenBoth(2);
    Stream* s = a->Port(1, new Stream);
    Probe& c = *a->client;
    a->mgr.m_time = 5000;
    EXPECT_EQ(c.BeginFrame(), 1); // nothing outstanding
    EXPECT_EQ(c.timeouts_seen, 0);

    s->WriteInt(5);
    ASSERT_EQ(c.Write(), 1);
    ASSERT_FALSE(c.m_write_acked);
    for (int t : {5999, 6000, 6500}) {
        a->mgr.m_time = t;
        EXPECT_EQ(c.BeginFrame(), 1);
    }
    EXPECT_EQ(c.m_timeouts, 1);
    EXPECT_EQ(c.timeouts_seen, 1);
    EXPECT_EQ(c.m_reliable_wait, 1500);

    ASSERT_EQ(c.Write(), 1); // the repetition renews the clock
    EXPECT_FALSE(c.m_resend);
    a->mgr.m_time = 7499;
    c.BeginFrame();
    EXPECT_EQ(c.m_timeouts, 1);
    a->mgr.m_time = 7500;
    c.BeginFrame();
    EXPECT_EQ(c.m_timeouts, 2);
}

TEST_F(ClientTest, RatesAreMeasuredOncePerSecond) {
    OpenBoth(2);
    CNetClient& c = *a->client;
    c.m_bytes_in = 3000;
    c.m_bytes_out = 600;
    a->mgr.m_time = 1500; // the first measurement spans the time since the clock started
    ASSERT_EQ(c.EndFrame(), 1);
    EXPECT_EQ(c.m_rate_in, 2000);
    EXPECT_EQ(c.m_rate_out, 400);
    c.m_bytes_in = 9000;
    a->mgr.m_time = 2499;
    c.EndFrame();
    EXPECT_EQ(c.m_rate_in, 2000);
    EXPECT_EQ(c.m_rate_time, 1500);
}

TEST_F(ClientTest, RateProductWrapsIn32BitsWithoutOverflow) {
    OpenBoth(2);
    CNetClient& c = *a->client;
    c.m_bytes_in = 3000000; // x 1000 passes 2^31
    a->mgr.m_time = 1000;
    c.EndFrame();
    EXPECT_EQ(c.m_rate_in, -1294967); // (3e9 - 2^32) / 1000
}

TEST_F(ClientTest, InstantMessageIsMarkedAndCountsOnlyItsPayload) {
    OpenBoth(2);
    CNetClient& c = *a->client;
    const unsigned char payload[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(c.WriteInstant(payload, 10), 1);
    EXPECT_EQ(b->Take(), (Bytes{0x00, 0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(c.m_bytes_out, 10);
    EXPECT_EQ(c.m_packets_out, 0);

    // One that does not fit leaves nothing behind in the buffer for the next packet.
    const std::vector<unsigned char> big(998, 0x55);
    EXPECT_EQ(c.WriteInstant(big.data(), 998), -1);
    EXPECT_EQ(a->send->m_write_pos, 0);
}

TEST_F(ClientTest, InstantMessageGoesToTheHookBehindItsFirstByte) {
    OpenBoth(2);
    EXPECT_EQ(Feed({0x80, 0x01, 0xFF}), 7);
    EXPECT_EQ(a->client->instant_pos, 1);
    EXPECT_EQ(a->client->m_read_seq, 0);
}
