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

// A peer with nothing of its own to send must still answer a repeated reliable packet: when
// its acknowledgements were lost, silence would leave the sender repeating forever. Until then
// the sender hears nothing back and repeats at fixed intervals from its first sending.
TEST(Fault, ShortIdlePeerAcknowledgesARepeatedReliablePacket) {
    Session s(0, &kClean, 4);
    for (int p = 0; p < kNumPorts; ++p) // only chat travels: every packet A sends is reliable
        s.to_b->m_refs[p].m_write_enabled = s.to_a->m_refs[p].m_write_enabled = p == kChatPort;
    s.to_b->m_timeout = kTimeout;
    s.ab.Speak(s.a.Chat());
    SNetImpairment cut;
    cut.m_loss_percent = 100;
    ASSERT_EQ(0, s.net->SetLinkImpairment(2, 1, cut)); // B's acknowledgements are lost
    const int first_send = CNetTime::m_time + kStepMs;
    for (int t = 0; t < 1500; t += kStepMs)
        ASSERT_EQ(0, s.Tick(kStepMs));
    const Peer& a = *s.to_b;
    const int expected = (CNetTime::m_time - first_send) / kTimeout;
    EXPECT_EQ(expected, a.m_timeouts);            // each retransmission restarts the wait
    EXPECT_EQ(1 + a.m_timeouts, a.m_packets_out); // one retransmission per time-out
    EXPECT_EQ(1, s.b.Chat()->m_received);         // B stepped over every repetition

    ASSERT_EQ(0, s.net->ClearLinkImpairment(2, 1));
    for (int t = 0; t < 2000; t += kStepMs)
        ASSERT_EQ(0, s.Talk(false, false, kStepMs));
    s.ab.ExpectWhole(s.a.Chat());
    EXPECT_LE(a.m_timeouts, expected + 1); // one more repetition, acknowledged at last
}

// Datagrams that look like packets (mostly channel 0, header bits, records) and noise on
// other channels, 200 a frame (within A's queue of 256), from ten senders unknown to A.
TEST(Fault, ShortFloodFromUnknownSendersLeavesClientTableAlone) {
    enum : int { kFlooders = 10, kPerFrame = 200, kFrames = 50 };
    Session s(0, &kClean, 5);
    std::unique_ptr<CNetSimDriver> flooders[kFlooders];
    for (int i = 0; i < kFlooders; ++i) {
        flooders[i] = std::make_unique<CNetSimDriver>(s.net.get(), 100 + i);
        ASSERT_EQ(0, flooders[i]->Init());
    }
    std::minstd_rand rng(12345);
    unsigned char junk[300];
    std::chrono::duration<double, std::nano> took{0}; // in A's and B's frames
    for (int f = 0; f < kFrames + 20; ++f) { // then quiet frames for the last lines in flight
        for (int k = 0; k < kPerFrame && f < kFrames; ++k) {
            const int len = 1 + static_cast<int>(rng() % sizeof junk);
            for (int b = 0; b < len; ++b)
                junk[b] = static_cast<unsigned char>(rng());
            if (rng() % 10 != 0) junk[0] = 0;
            ASSERT_EQ(0, flooders[k % kFlooders]->SendTo(len, junk, &s.to_a->m_out.m_addr));
        }
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(0, s.Talk(false, f < kFrames, kStepMs));
        took += std::chrono::steady_clock::now() - t0;
    }
    const int flood = kPerFrame * kFrames;
    // All of it reached A's manager, but B's last packet, still on its way.
    const int from_b = s.to_a->m_packets_out - 1;
    EXPECT_EQ(static_cast<std::uint32_t>(flood + from_b), s.sims[0]->m_stats.m_delivered);
    EXPECT_EQ(1, s.a.GetNumClients());
    EXPECT_EQ(0, s.a.FindClient(&s.to_b->m_out.m_addr));
    // The one real peer was served throughout, and only its packets reached the client.
    EXPECT_EQ(from_b, s.to_b->m_packets_in);
    EXPECT_GT(s.ba.said, 10);
    s.ba.ExpectWhole(s.b.Chat());
    // Generous for an unoptimised, sanitised build; an optimised one takes well under 1 us.
    std::printf("flood: %d datagrams, %.0f ns each\n", flood, took.count() / flood);
    EXPECT_LT(took.count() / flood, 50000.0);
}

} // namespace
