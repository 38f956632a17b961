// Faults from the outside, on the simulated network: a peer that falls silent, one whose
// acknowledgement is lost, and a flood of datagrams from senders nobody added.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "integration/TwoPeerSession.h"

using namespace twopeer;

namespace {

constexpr int kStepMs = 10, kTimeout = 200;
const SNetImpairment kClean;

// Only chat travels, so every packet A sends is a reliable one.
void ChatOnly(Session& s) {
    for (int p = 0; p < kNumPorts; ++p)
        s.to_b->m_refs[p].m_write_enabled = s.to_a->m_refs[p].m_write_enabled = p == kChatPort;
    ASSERT_EQ(1, s.a.Chat()->Say("A0"));
}

TEST(Fault, ShortSilentPeerIsRetriedEveryTimeoutUntilItReturns) {
    Session s(0, &kClean, 3);
    s.to_b->m_timeout = kTimeout;
    ChatOnly(s);
    int first_send = -1;
    for (int t = 0; t < 3000; t += kStepMs) { // B is not driven: A hears nothing back
        ASSERT_EQ(0, s.Tick(kStepMs, false));
        if (first_send == -1 && s.to_b->m_packets_out > 0) first_send = s.a.m_time;
    }
    ASSERT_NE(-1, first_send);
    const Peer& a = *s.to_b;
    const int expected = (s.a.m_time - first_send) / kTimeout;
    EXPECT_EQ(expected, a.m_timeouts);
    ASSERT_EQ(expected, a.m_noted);
    // Fixed intervals from the first sending, each retransmission restarting the wait.
    for (int i = 0; i < a.m_noted; ++i)
        EXPECT_EQ(first_send + (i + 1) * kTimeout, a.m_timeout_at[i]) << "time-out " << i;
    EXPECT_EQ(1 + a.m_timeouts, a.m_packets_out); // one retransmission per time-out
    EXPECT_EQ(a.m_packets_out, s.sims[1]->GetQueued());

    // B comes back: it reads the first sending and steps over every repetition.
    for (int f = 0; f < 10; ++f)
        ASSERT_EQ(0, s.Tick(kStepMs));
    EXPECT_EQ(1, s.b.Chat()->m_received);
    EXPECT_EQ(1, s.a.Chat()->m_delivered);
    const int timeouts = a.m_timeouts;
    for (int t = 0; t < 2 * kTimeout; t += kStepMs)
        ASSERT_EQ(0, s.Tick(kStepMs));
    EXPECT_EQ(timeouts, a.m_timeouts); // acknowledged: no more retries
}

// A peer with nothing of its own to send must still answer a repeated reliable packet:
// when its one acknowledgement was lost, silence would leave the sender repeating forever.
TEST(Fault, ShortIdlePeerAcknowledgesARepeatedReliablePacket) {
    Session s(0, &kClean, 4);
    s.to_b->m_timeout = kTimeout;
    ChatOnly(s);
    SNetImpairment cut;
    cut.m_loss_percent = 100;
    ASSERT_EQ(0, s.net->SetLinkImpairment(2, 1, cut)); // B's acknowledgement is lost
    ASSERT_EQ(0, s.Tick(kStepMs));
    ASSERT_EQ(1, s.b.Chat()->m_received);
    ASSERT_EQ(0, s.net->ClearLinkImpairment(2, 1));
    for (int t = 0; t < 2000; t += kStepMs)
        ASSERT_EQ(0, s.Tick(kStepMs));
    EXPECT_GT(s.to_b->m_timeouts, 0);
    EXPECT_EQ(1, s.a.Chat()->m_delivered);
    EXPECT_EQ(1, s.b.Chat()->m_received);
}

// Datagrams that look like packets (mostly channel 0, header bits, records) and noise on
// other channels, 200 a frame (within A's queue of 256), from ten senders unknown to A.
TEST(Fault, ShortFloodFromUnknownSendersLeavesClientTableAlone) {
    enum : int { kFlooders = 10, kPerFrame = 20, kFrames = 50, kFirstId = 100 };
    Session s(0, &kClean, 5);
    std::unique_ptr<CNetSimDriver> flooders[kFlooders];
    for (int i = 0; i < kFlooders; ++i) {
        flooders[i] = std::make_unique<CNetSimDriver>(s.net.get(), kFirstId + i);
        ASSERT_EQ(0, flooders[i]->Init());
    }
    std::minstd_rand rng(12345);
    unsigned char junk[300];
    sockaddr_in a_addr = Addr(1);
    ChatLine ba{"B"};
    double frame_ns = 0.0;
    for (int f = 0; f < kFrames + 20; ++f) { // then quiet frames for the last lines in flight
        for (int i = 0; i < kFlooders && f < kFrames; ++i)
            for (int k = 0; k < kPerFrame; ++k) {
                const int len = 1 + static_cast<int>(rng() % sizeof junk);
                for (int b = 0; b < len; ++b)
                    junk[b] = static_cast<unsigned char>(rng());
                if (rng() % 10 != 0) junk[0] = 0;
                ASSERT_EQ(0, flooders[i]->SendTo(len, junk, &a_addr));
            }
        if (f < kFrames) ba.Speak(s.b.Chat());
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(0, s.Tick(kStepMs));
        frame_ns +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        ba.Hear(s.a.Chat());
    }
    const int flood = kFlooders * kPerFrame * kFrames;
    // All of it reached A's manager, but B's last packet, still on its way.
    const int from_b = s.to_a->m_packets_out - 1;
    EXPECT_EQ(static_cast<std::uint32_t>(flood + from_b), s.sims[0]->m_stats.m_delivered);
    EXPECT_EQ(1, s.a.GetNumClients());
    for (int i = 0; i < kFlooders; ++i) {
        const sockaddr_in from = Addr(kFirstId + i);
        EXPECT_EQ(-1, s.a.FindClient(&from));
    }
    // The one real peer was served throughout, and only its packets reached the client.
    EXPECT_EQ(from_b, s.to_b->m_packets_in);
    EXPECT_GT(ba.said, 10);
    EXPECT_EQ(ba.said, ba.heard);
    EXPECT_EQ(0, ba.wrong);
    // Generous for an unoptimised, sanitised build; an optimised one takes well under 1 us.
    std::printf("flood: %d datagrams, %.0f ns of frame each\n", flood, frame_ns / flood);
    EXPECT_LT(frame_ns / flood, 50000.0);
}

} // namespace
