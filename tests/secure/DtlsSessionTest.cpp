// Whole sessions through CNetDtls over the simulated network: handshake, chat and states under
// loss, duplication and reordering; a restarted peer; sessions that end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "SecurePair.h"

using namespace secure;

namespace {

struct Network {
    const char* name;
    SNetImpairment imp;
    int role; // kBoth: A sends to B from the first frame too, and either ClientHello may win
};

SNetImpairment Lossy() {
    SNetImpairment i;
    i.m_loss_percent = 20;
    i.m_duplicate_percent = 10;
    i.m_reorder_percent = 10;
    i.m_reorder_delay_ms = 40; // within three frames
    i.m_latency_ms = 20;
    i.m_jitter_ms = 10;
    return i;
}

class SecureSession : public ::testing::TestWithParam<Network> {};

// The handshake completes within a bounded number of frames, then 1200 frames of chat both
// ways and a moving position: every line arrives once and in order, B's copy of A's position
// ends equal to it, and only authentic datagrams reached either manager.
TEST_P(SecureSession, ChatOnceInOrderAndStatesConverge) {
    const bool both = GetParam().role == SNetDtlsConfig::kBoth;
    Pair p(GetParam().imp, PskConfig(both ? SNetDtlsConfig::kBoth : SNetDtlsConfig::kAccept),
           PskConfig(both ? SNetDtlsConfig::kBoth : SNetDtlsConfig::kConnect));
    if (both) p.a->host.Connect(Addr(2), true);
    const int frames = p.Handshake(2000);
    ASSERT_GT(frames, 0) << "no session";
    Peer* to_b = p.ToB();
    to_b->m_timeout = p.to_a->m_timeout = 150;
    ChatLine ab{"a"}, ba{"b"};
    int failed = 0;
    for (int f = 0; f < 1200; ++f) {
        if (f < 1000) {
            p.a->host.Object()->m_pos[0] = static_cast<float>(f);
            ab.Speak(p.a->host.Chat());
            ba.Speak(p.b->host.Chat());
        }
        failed += p.Tick();
        ab.Hear(p.b->host.Chat());
        ba.Hear(p.a->host.Chat());
    }
    EXPECT_GE(std::min(ab.said, ba.said), 100);
    EXPECT_EQ((Ints{failed, ab.heard, ba.heard, ab.wrong + ba.wrong, p.a->host.m_created}),
              (Ints{0, ab.said, ba.said, 0, both ? 0 : 1}));
    EXPECT_FLOAT_EQ(p.b->host.Object()->m_pos[0], 999.0f);
    for (Side* s : {p.a.get(), p.b.get()}) {
        const SNetDtlsStats& st = s->dtls.m_stats;
        EXPECT_EQ((Ints{int(st.m_handshakes_completed), int(st.m_sessions_ended),
                        s->host.GetNumClients(), s->host.m_destroyed}),
                  (Ints{1, 0, 1, 0}));
        // Nothing but records left the tap, and no datagram exceeded one IPv4 datagram.
        for (const Tap::Sent& d : s->tap.m_sent) {
            ASSERT_GE(d.bytes.size(), 13u);
            EXPECT_TRUE(d.bytes[0] >= 20 && d.bytes[0] <= 23 && d.bytes[1] == 0xFE);
            EXPECT_LE(d.bytes.size(), static_cast<size_t>(CNetDtls::kMtu));
        }
    }
    const SNetDtlsStats &sa = p.a->dtls.m_stats, &sb = p.b->dtls.m_stats;
    // Copies made by the network are dropped as replays, never handed up twice; when both
    // start, the ClientHello that gives way is counted as refused.
    EXPECT_TRUE(GetParam().imp.m_duplicate_percent == 0 || sa.m_replayed + sb.m_replayed > 0);
    EXPECT_TRUE(both || sa.m_rejected + sb.m_rejected == 0);
}

INSTANTIATE_TEST_SUITE_P(Networks, SecureSession,
                         ::testing::Values(Network{"clean", {}, SNetDtlsConfig::kAccept},
                                           Network{"lossy", Lossy(), SNetDtlsConfig::kAccept},
                                           Network{"both_start", {}, SNetDtlsConfig::kBoth}),
                         [](const auto& info) { return std::string(info.param.name); });

// How a session ends, and that each way is reported to the host once as 10001. A peer that
// restarts on the same address shakes hands again: the old session's end goes up before any
// datagram of the new one, a fresh client is created, and chat from the new process arrives
// from its first line (a stale client would refuse it).
struct Ending {
    const char* name;
    int (*end)(Pair& p); // ends the session, returns the frames to run afterwards
    bool restarts = false;
};

const Ending kEndings[] = {
    {"close_notify", // B leaves politely
     [](Pair& p) {
         p.b->dtls.CloseAll();
         p.b->net_quiet = true;
         return 10;
     }},
    {"idle", // B goes quiet: A's idle limit (2 s of frame clock) ends it
     [](Pair& p) {
         p.b->net_quiet = true;
         return 200;
     }},
    {"unreachable", // the wrapped driver reports the peer gone (an ICMP refusal over UDP)
     [](Pair& p) {
         p.a->sim.m_report_refused = true;
         p.b->sim.Shutdown();
         return 20;
     }},
    {"restart", // the process dies without a word and starts again
     [](Pair& p) {
         p.b.reset();
         p.StartB(SNetImpairment{}, PskConfig(SNetDtlsConfig::kConnect));
         return 200;
     },
     true},
};

class SecureEnding : public ::testing::TestWithParam<Ending> {};

TEST_P(SecureEnding, TheHostHearsOfItOnce) {
    const bool restarts = GetParam().restarts;
    Pair p(SNetImpairment{}, PskConfig(SNetDtlsConfig::kAccept),
           PskConfig(SNetDtlsConfig::kConnect));
    ASSERT_GT(p.Handshake(100), 0);
    for (int f = 0; f < 20; ++f)
        p.Tick();
    const int old_packets = p.ToB()->m_packets_in;
    ChatLine ba{"new"};
    for (int f = GetParam().end(p); f > 0; --f) {
        if (restarts) ba.Speak(p.b->host.Chat());
        p.Tick();
        ba.Hear(p.a->host.Chat());
    }
    const SNetDtlsStats& st = p.a->dtls.m_stats;
    EXPECT_EQ(
        (Ints{p.a->host.m_destroyed, p.a->host.m_packets_at_destroy, p.a->host.m_created,
              p.a->host.GetNumClients(), p.a->dtls.GetOpenSessions(), ba.heard > 20, ba.wrong,
              int(st.m_handshakes_completed), int(st.m_sessions_ended)}),
        (Ints{1, old_packets, 1 + restarts, restarts, restarts, restarts, 0, 1 + restarts, 1}));
}

INSTANTIATE_TEST_SUITE_P(Ways, SecureEnding, ::testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
