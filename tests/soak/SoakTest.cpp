// Long runs of two managers over impaired simulated networks, one of them through CNetDtls:
// chat must arrive whole, once and in order, positions must follow within a stated bound and
// settle exactly, and the frame loop must not allocate. The short run is part of every suite;
// the long one runs on request (label soak).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "integration/CountAllocations.h"
#include "integration/TwoPeerSession.h"
#ifdef PORTNET_HAS_SECURE // built with libportnet-secure
#include "portnet/CNetDtls.h"
#endif

using namespace twopeer;

namespace {

constexpr int kStepMs = 20;
constexpr float kRadius = 10.0f, kRadPerSec = 0.5f; // every position moves at 5 units a second

// Loss %, latency, jitter, duplicates %, reordered % and their extra delay; how many frames
// of packets in a row the position bound allows to be lost; the chat's retransmission time-out
// (about twice the worst round trip: a few spurious repeats); whether both sides run CNetDtls;
// whether the long run takes ten times the frames.
struct Condition {
    const char* name;
    SNetImpairment imp;
    int lost_run;
    int timeout_ms;
    bool secure;
    bool longer;
};
const Condition kConditions[] = {
    {"clean", {0, 10, 0, 0, 0, 0}, 10, 250, false, false},
    {"lossy", {20, 30, 20, 5, 5, 80}, 10, 250, false, false},
    {"slow lossy", {20, 120, 60, 5, 5, 80}, 10, 250, false, false},
    // 100 ms +- 100 ms: no fixed delay, up to 200 ms of jitter; a loss that runs longer
    // becomes likely over a million frames at 25 %.
    {"harsh", {25, 0, 200, 25, 10, 80}, 16, 600, false, true},
#ifdef PORTNET_HAS_SECURE
    {"lossy dtls", {20, 30, 20, 5, 5, 80}, 10, 250, true, true},
#endif
};

#ifdef PORTNET_HAS_SECURE
// A CNetDtls under each manager: A accepts, B starts the handshake.
CNetDriver* Secure(CNetDriver* endpoint, int side) {
    static const unsigned char key[32] = {0x50, 0x6f, 0x72, 0x74, 0x6e, 0x65, 0x74};
    SNetDtlsConfig c;
    c.m_role = side == 0 ? SNetDtlsConfig::kAccept : SNetDtlsConfig::kConnect;
    c.m_psk_key = key;
    c.m_psk_key_len = sizeof key;
    c.m_retransmit_ms = 20; // system clock: the handshake loop sleeps
    c.m_handshake_timeout_ms = 60000;
    return new CNetDtls(endpoint, c);
}
bool Ready(const Session& s) {
    for (const auto& d : s.wrapped)
        if (d && static_cast<CNetDtls*>(d.get())->GetOpenSessions() != 1) return false;
    return true;
}
#else
const Session::Wrap Secure = nullptr;
bool Ready(const Session&) {
    return true;
}
#endif

void Run(const Condition& c, int frames, std::uint64_t seed) {
    const SNetImpairment& imp = c.imp;
    // How far a shown position may trail the true one: its travel over the worst one-way
    // delay, a run of frames whose packets are all lost and the playback one state behind the
    // newest.
    const int worst_ms = imp.m_latency_ms + imp.m_jitter_ms + imp.m_reorder_delay_ms;
    const int lag_ms = worst_ms + c.lost_run * kStepMs;
    const float bound = kRadius * kRadPerSec * static_cast<float>(lag_ms) / 1000.0f;
    Session s(0, &imp, seed, c.secure ? Secure : nullptr);
    s.to_b->m_timeout = s.to_a->m_timeout = c.timeout_ms;
    Host* hosts[2] = {&s.a, &s.b}; // A writes the first port, B the second
    const int ports[2] = {kPositionPort, kBackPort};
    auto place = [&] { // both positions where they are due in the next frame
        const float angle = kRadPerSec * static_cast<float>(CNetTime::m_time + kStepMs) / 1000.0f;
        for (int i = 0; i < 2; ++i) {
            hosts[i]->Object(ports[i])->m_pos[0] =
                kRadius * std::cos(angle + static_cast<float>(i));
            hosts[i]->Object(ports[i])->m_pos[1] =
                kRadius * std::sin(angle + static_cast<float>(i));
        }
    };
    int handshake = 0; // frames until both sessions are open; nothing is measured before
    for (; !Ready(s) && handshake < 3000; ++handshake) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // for DTLS's timer
        place(), s.Tick(kStepMs);
    }
    ASSERT_TRUE(Ready(s)) << c.name;
    float max_error = 0.0f;
    int failed = 0, still = 0;
    g_allocations = 0;
    g_counting = true;
    for (int f = 0; f < frames + 3000 && still < 50; ++f) { // then settled for a second
        const bool moving = f < frames;
        if (moving) place();
        failed += s.Talk(moving, moving, kStepMs);
        bool equal = true;
        for (int i = 0; i < 2; ++i) {
            const int p = ports[i];
            if (hosts[1 - i]->m_ports[p].m_reading_history->m_newest == CNetDataHistory::kNoLink)
                continue; // measured once the reader holds a state at all
            const float* want = hosts[i]->Object(p)->m_pos;
            const float* got = hosts[1 - i]->Object(p)->m_pos;
            const float e = std::hypot(want[0] - got[0], want[1] - got[1]);
            max_error = std::max(max_error, moving ? e : 0.0f);
            equal = equal && e == 0.0f;
        }
        const bool done =
            equal && s.a.Chat()->m_delivered == s.ab.said && s.b.Chat()->m_delivered == s.ba.said;
        still = !moving && done ? still + 1 : 0;
    }
    g_counting = false;

    const SNetSimStats& n = s.net->m_stats;
    const unsigned lost = n.m_dropped_loss + n.m_dropped_queue_full;
    std::printf("%-11s %7d %8u %7u %6u %6u %10d %10d %9.3f %7.3f %5d\n", c.name, frames, n.m_sent,
                lost, n.m_duplicated, n.m_reordered, s.ab.heard, s.ba.heard, max_error, bound,
                handshake);
    SCOPED_TRACE(c.name);
    // Still 50 frames at the end: positions and chat settled after the run.
    EXPECT_EQ((std::vector<long>{failed, g_allocations, still}), (std::vector<long>{0, 0, 50}));
    EXPECT_LE(max_error, bound);
    s.ab.ExpectWhole(s.a.Chat());
    s.ba.ExpectWhole(s.b.Chat());
    EXPECT_GT(std::min(s.ab.heard, s.ba.heard), frames / 100); // else a stalled stream would pass
    // The impairments really happened, or the run proves nothing.
    EXPECT_TRUE(imp.m_loss_percent == 0 ||
                (lost > n.m_sent / 10 && n.m_duplicated > 0 && n.m_reordered > 0));
}

// frames for every condition; ten times as many for those marked longer when long is set.
void RunAll(int frames, bool long_run) {
    std::printf("%-11s %7s %8s %7s %6s %6s %10s %10s %9s %7s %5s\n", "network", "frames", "packets",
                "lost", "dup", "reord", "msgs A>B", "msgs B>A", "max err", "bound", "hs");
    std::uint64_t seed = 7;
    for (const Condition& c : kConditions) {
        Run(c, long_run && c.longer ? 10 * frames : frames, seed++);
    }
}

TEST(Soak, ShortRunsKeepChatWholeAndPositionsBounded) {
    RunAll(5000, false);
}

// The harsh network and the lossy one through CNetDtls run a million frames each.
TEST(Soak, LongRunsKeepChatWholeAndPositionsBounded) {
    RunAll(100000, true);
}

} // namespace
