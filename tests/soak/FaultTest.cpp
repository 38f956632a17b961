// Faults from the outside: a peer that falls silent, and a flood of datagrams from senders
// nobody added.
#include <gtest/gtest.h>

#include <chrono>

#include "SimSession.h"

namespace {

using namespace soak;

constexpr int kFrameMs = 10;

TEST(Fault, ShortSilentPeerIsRetriedEveryTimeoutUntilItReturns) {
    SSession s(3, SNetImpairment{});
    const int timeout = 200;
    ASSERT_TRUE(s.Start(timeout));
    // Only the chat line is to travel, so every packet A sends is a reliable one.
    for (int p = 1; p < kNumPorts; ++p)
        s.m_a.m_client->m_refs[p].m_write_enabled = s.m_b.m_client->m_refs[p].m_write_enabled =
            false;
    ASSERT_EQ(1, SayNumbered(s.m_a.m_chat, 'A', 0));

    // B is not driven for 3 s: A hears nothing back.
    const int silent_ms = 3000;
    int first_send = -1;
    for (int t = 0; t < silent_ms; t += kFrameMs) {
        s.Tick(kFrameMs);
        ASSERT_TRUE(s.m_a.Frame());
        if (first_send == -1 && s.m_a.m_client->m_packets_out > 0)
            first_send = s.m_a.m_manager.m_time;
    }
    ASSERT_NE(-1, first_send);
    const CSoakClient& a = *s.m_a.m_client;
    const int expected = (s.m_a.m_manager.m_time - first_send) / timeout;
    EXPECT_EQ(expected, a.m_timeouts);
    ASSERT_EQ(expected, a.m_noted);
    // Fixed intervals from the first sending, each retransmission restarting the wait.
    for (int i = 0; i < a.m_noted; ++i)
        EXPECT_EQ(first_send + (i + 1) * timeout, a.m_timeout_times[i]) << "time-out " << i;
    EXPECT_EQ(1 + a.m_timeouts, a.m_packets_out); // one retransmission per time-out
    EXPECT_EQ(a.m_packets_out, static_cast<int>(s.m_b.m_driver.GetQueued()));

    // B comes back: it reads the first sending and steps over every repetition.
    for (int f = 0; f < 10; ++f) {
        s.Tick(kFrameMs);
        ASSERT_TRUE(s.m_b.Frame());
        ASSERT_TRUE(s.m_a.Frame());
    }
    EXPECT_EQ(1, s.m_b.m_chat->m_received);
    EXPECT_EQ(1, s.m_a.m_chat->m_delivered);
    const int timeouts = a.m_timeouts;
    for (int t = 0; t < 2 * timeout; t += kFrameMs) {
        s.Tick(kFrameMs);
        ASSERT_TRUE(s.m_b.Frame());
        ASSERT_TRUE(s.m_a.Frame());
    }
    EXPECT_EQ(timeouts, a.m_timeouts); // acknowledged: no more retries
}

// A peer with nothing of its own to send must still answer a repeated reliable packet:
// when its one acknowledgement was lost, silence would leave the sender repeating forever.
TEST(Fault, ShortIdlePeerAcknowledgesARepeatedReliablePacket) {
    SSession s(4, SNetImpairment{});
    ASSERT_TRUE(s.Start(200));
    for (int p = 1; p < kNumPorts; ++p)
        s.m_a.m_client->m_refs[p].m_write_enabled = s.m_b.m_client->m_refs[p].m_write_enabled =
            false;
    ASSERT_EQ(1, SayNumbered(s.m_a.m_chat, 'A', 0));
    SNetImpairment cut;
    cut.m_loss_percent = 100;
    ASSERT_EQ(0, s.m_net.SetLinkImpairment(2, 1, cut)); // B's acknowledgement is lost
    s.Tick(kFrameMs);
    ASSERT_TRUE(s.m_a.Frame());
    ASSERT_TRUE(s.m_b.Frame());
    ASSERT_EQ(1, s.m_b.m_chat->m_received);
    ASSERT_EQ(0, s.m_net.ClearLinkImpairment(2, 1));

    for (int t = 0; t < 2000; t += kFrameMs) {
        s.Tick(kFrameMs);
        ASSERT_TRUE(s.m_a.Frame());
        ASSERT_TRUE(s.m_b.Frame());
    }
    EXPECT_GT(s.m_a.m_client->m_timeouts, 0);
    EXPECT_EQ(1, s.m_a.m_chat->m_delivered);
    EXPECT_EQ(1, s.m_b.m_chat->m_received);
}

TEST(Fault, ShortFloodFromUnknownSendersLeavesClientTableAlone) {
    SSession s(5, SNetImpairment{});
    ASSERT_TRUE(s.Start(200));
    // 200 a frame stay within A's queue of 256, beside B's own packets.
    enum : int { kFlooders = 10, kPerFlooder = 1000, kPerFrame = 20, kFirstId = 100 };
    CNetSimDriver* flooders[kFlooders];
    for (int i = 0; i < kFlooders; ++i) {
        flooders[i] = new CNetSimDriver(&s.m_net, kFirstId + i);
        ASSERT_EQ(0, flooders[i]->Init());
    }

    // Datagrams that look like packets (channel 0, header bits, records) and noise on other
    // channels; every sender is unknown to A.
    std::uint64_t rng = 12345;
    auto next = [&rng]() {
        rng = rng * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>(rng >> 33);
    };
    unsigned char junk[300];
    sockaddr_in to_a = SimAddr(1);
    double read_ns = 0.0;
    int said = 0;
    for (int f = 0; f < kPerFlooder / kPerFrame; ++f) {
        for (int i = 0; i < kFlooders; ++i)
            for (int k = 0; k < kPerFrame; ++k) {
                const int len = 1 + static_cast<int>(next() % sizeof junk);
                for (int b = 0; b < len; ++b)
                    junk[b] = static_cast<unsigned char>(next());
                if (next() % 10 != 0) junk[0] = 0; // mostly channel 0
                ASSERT_EQ(0, flooders[i]->SendTo(len, junk, &to_a));
            }
        if (SayNumbered(s.m_b.m_chat, 'B', said) == 1) ++said;
        s.Tick(kFrameMs);
        ASSERT_TRUE(s.m_b.Frame());
        ASSERT_EQ(1, s.m_a.m_manager.BeginFrame());
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(1, s.m_a.m_manager.Read());
        read_ns +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        ASSERT_EQ(3, s.m_a.m_manager.Update(true) + s.m_a.m_manager.Write() +
                         s.m_a.m_manager.EndFrame());
    }
    for (int f = 0; f < 20; ++f) { // quiet frames for the last lines in flight
        s.Tick(kFrameMs);
        ASSERT_TRUE(s.m_b.Frame());
        ASSERT_TRUE(s.m_a.Frame());
    }

    const int flood = kFlooders * kPerFlooder;
    EXPECT_EQ(static_cast<std::uint32_t>(flood + s.m_b.m_client->m_packets_out),
              s.m_a.m_driver.m_stats.m_delivered); // all of it reached A's manager
    EXPECT_EQ(1, s.m_a.m_manager.GetNumClients());
    for (int i = 0; i < kFlooders; ++i) {
        const sockaddr_in from = SimAddr(kFirstId + i);
        EXPECT_EQ(-1, s.m_a.m_manager.FindClient(&from));
    }
    // The one real peer was served throughout, and only its packets reached the client.
    EXPECT_EQ(s.m_b.m_client->m_packets_out, s.m_a.m_client->m_packets_in);
    EXPECT_EQ(said, s.m_a.m_chat->m_received);
    EXPECT_GT(said, 10);
    // Generous for an unoptimised, sanitised build; an optimised one takes well under 1 us.
    const double per_datagram = read_ns / flood;
    std::printf("flood: %d datagrams, %.0f ns of Read each\n", flood, per_datagram);
    EXPECT_LT(per_datagram, 50000.0);

    for (CNetSimDriver* d : flooders)
        delete d;
}

} // namespace
