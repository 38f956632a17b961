// A block on a capped path: the datagrams it keeps in flight stay near what the path holds,
// during its ramp as after, so the states sent behind them wait little in the path's queue;
// and the transfer still fills the path. On a round trip far below a frame it ramps faster.
#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "integration/TwoPeerSession.h"
#include "portnet/portnet.h"

namespace {

int s_clock = 0;

class Sink : public CNetBlockStream {
public:
    int BlockReceived(CNetClient*, std::uint32_t, const unsigned char* data,
                      std::uint32_t len) override {
        intact = len == 1u << 20;
        for (std::uint32_t i = 0; intact && i < len; ++i)
            intact = data[i] == static_cast<unsigned char>(i * 7 >> 3);
        return ++got, 1;
    }
    int got = 0;
    bool intact = false;
};

struct Case {
    int cap, latency;
};

// Two adapting peers on the simulator, the first sending the second 1 MiB.
struct Transfer {
    CNetSimNetwork net{1};
    CNetSimDriver d[2] = {CNetSimDriver(&net, 1), CNetSimDriver(&net, 2)};
    CNetManager m[2];
    Sink* sink[2] = {new Sink, new Sink};

    ~Transfer() {
        for (CNetManager& x : m)
            x.Release();
    }
    bool Start(Case k) {
        for (int i = 0; i < 2; ++i) {
            d[i].m_impairment.m_bandwidth_bytes_per_s = k.cap;
            d[i].m_impairment.m_latency_ms = k.latency;
            if (d[i].Init() != 0 || m[i].Init(&d[i], 2) != 1) return false;
            m[i].SetPortA(1, sink[i]);
            m[i].InitPort(1, -1);
            auto* peer = new twopeer::Peer(&d[i], twopeer::Addr(2 - i));
            peer->m_adapt_rate = true;
            if (m[i].AddClient(peer, -1) < 0) return delete peer, false;
            peer->m_refs[1].m_write_enabled = peer->m_refs[1].m_read_enabled = true;
            sender = i == 0 ? peer : sender;
        }
        std::vector<unsigned char> block(1u << 20);
        for (std::uint32_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<unsigned char>(i * 7 >> 3);
        return sink[0]->Send(sender, block.data(), 1u << 20) > 0;
    }
    void Frame() {
        net.SetTime(s_clock);
        CNetTime::Update();
        for (CNetManager& x : m)
            x.BeginFrame(), x.Read(), x.Update(false), x.Write(), x.EndFrame();
    }
    CNetClient* sender = nullptr;
};

class Clocked : public ::testing::Test {
protected:
    void SetUp() override {
        s_clock = 0;
        CNetTime::m_timer_proc = [] { return s_clock; };
        CNetTime::Update();
    }
    void TearDown() override { CNetTime::Init(); }
};

class BlockRate : public Clocked, public ::testing::WithParamInterface<Case> {};

TEST_P(BlockRate, TheTransferFillsThePathWithoutQueueingBehindIt) {
    const Case k = GetParam();
    Transfer t;
    ASSERT_TRUE(t.Start(k));
    // Frames that end with more than two frames' worth in the capped link's queue. Without the
    // window, the ramp's overshoot filled most of the link's backlog and a cut budget left it
    // standing for half the transfer.
    int frames = 0, queued = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (; frames < 1000 && t.sink[1]->got == 0 && std::chrono::steady_clock::now() < end;
         ++frames) {
        s_clock += 16;
        t.Frame();
        queued += static_cast<long long>(t.d[0].m_link_free_us / 1000) - s_clock > 32;
    }
    ASSERT_EQ(t.sink[1]->got, 1);
    EXPECT_TRUE(t.sink[1]->intact);
    // The ramp's own overshoot takes a dozen frames at 1 MB/s; without the window, two thirds.
    EXPECT_LE(queued * 4, frames) << queued << " of " << frames << " frames queued";
    // At least 70 % of the cap (the ramp and the headers take the rest).
    const long long ideal_ms = (1LL << 20) * 1000 / k.cap;
    EXPECT_LE(frames * 16 * 7, ideal_ms * 10) << frames << " frames";
}

INSTANTIATE_TEST_SUITE_P(Paths, BlockRate, ::testing::Values(Case{1000000, 20}, Case{250000, 20}),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             return "Cap" + std::to_string(i.param.cap / 1000) + "KBps" +
                                    std::to_string(i.param.latency) + "ms";
                         });

// One frame's datagrams lost on a long path: what they carried is sent again in the frame
// after the first acknowledgement that shows them missing, a frame or two past the round
// trip; a quarter of a round trip of margin more held every loss of a lossy path back 56 ms
// at 224 ms, and its transfer's last repetitions wait for nothing else.
TEST_F(Clocked, ALostFragmentIsSentAgainAFramePastTheRoundTrip) {
    Transfer t;
    ASSERT_TRUE(t.Start(Case{0, 100}));
    int lost_at = -1, again_at = -1, rtt = 0;
    std::uint32_t resent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int f = 0; f < 2000 && again_at < 0 && std::chrono::steady_clock::now() < end; ++f) {
        s_clock += 16;
        t.d[0].m_impairment.m_loss_percent = f == 40 ? 100 : 0; // the path settled by then
        const std::uint32_t sent = t.sink[0]->m_fragments_sent;
        t.Frame();
        if (f == 40 && t.sink[0]->m_fragments_sent > sent) lost_at = s_clock;
        if (f == 40) rtt = t.sender->m_ping, resent = t.sink[0]->m_fragments_resent;
        if (lost_at >= 0 && t.sink[0]->m_fragments_resent > resent) again_at = s_clock;
    }
    ASSERT_GE(lost_at, 0) << "nothing sent in the lossy frame";
    ASSERT_GE(again_at, 0) << "never sent again";
    EXPECT_GE(rtt, 200);
    EXPECT_EQ(resent, 0u) << "repeated before any loss";
    EXPECT_LE(again_at - lost_at, rtt + 3 * 16) << "round trip " << rtt << " ms";
}

// Runs frame after frame, the clock stepping a millisecond every `per_ms` of them, until the
// peer holds the block (at most 4000 frames or 30 s); returns the frames run.
int PassesUntilDelivered(Transfer& t, int per_ms) {
    int frames = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (; frames < 4000 && t.sink[1]->got == 0 && std::chrono::steady_clock::now() < end;
         ++frames) {
        s_clock += frames % per_ms == 0;
        t.Frame();
    }
    return frames;
}

// 1 MiB over an uncapped path in passes of `per_ms` to a millisecond, delivered whole; *frames
// gets the passes it took.
void DeliverUncapped(Transfer& t, int per_ms, int* frames) {
    ASSERT_TRUE(t.Start(Case{0, 0}));
    *frames = PassesUntilDelivered(t, per_ms);
    ASSERT_EQ(t.sink[1]->got, 1);
    EXPECT_TRUE(t.sink[1]->intact);
}

// A loop that runs frames back to back on an uncapped path, four to a millisecond: the round
// trip is below the clock's step, every datagram acknowledged before the next frame. The ramp
// doubles a frame and a frame's writes send more than one burst: 1 MiB in 14 ms; with one
// burst a millisecond and the ramp for long paths, 27.
TEST_F(Clocked, ARoundTripFarBelowAFrameRampsFastAndSendsMoreThanABurst) {
    Transfer t;
    int frames = 0;
    ASSERT_NO_FATAL_FAILURE(DeliverUncapped(t, 4, &frames));
    EXPECT_LE(s_clock, 18) << frames << " frames";
}

// Passes far faster than the clock steps, sixty-four to a millisecond: each pass has the
// peer's acknowledgement of all the pass before sent, so the next round may start at once.
// Clocked by its round trips, 1 MiB takes 22 passes, all in the first millisecond; held to the
// clock's frames, 197 passes over 4 ms. Nothing is lost, so nothing goes twice.
TEST_F(Clocked, PassesFasterThanTheClockAreClockedByTheirRoundTrips) {
    Transfer t;
    int frames = 0;
    ASSERT_NO_FATAL_FAILURE(DeliverUncapped(t, 64, &frames));
    EXPECT_LE(frames, 40) << s_clock << " ms";
    EXPECT_LE(s_clock, 1);
    EXPECT_EQ(t.sink[0]->m_fragments_resent, 0u);
}

} // namespace

// A host without block streams keeps the clock's frames however fast its passes run, as it
// always did: both peers' positions change every pass and each is answered within the pass,
// yet only a frame's credit a millisecond goes out, not a datagram for every answer.
TEST_F(Clocked, WithoutBlockStreamsTheFramesStayTheClocks) {
    CNetSimNetwork net{1};
    CNetSimDriver d[2] = {CNetSimDriver(&net, 1), CNetSimDriver(&net, 2)};
    CNetManager m[2];
    twopeer::Peer* peer[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(d[i].Init(), 0);
        ASSERT_EQ(m[i].Init(&d[i], 2), 1);
        peer[i] = new twopeer::Peer(&d[i], twopeer::Addr(2 - i));
        peer[i]->m_adapt_rate = true;
        ASSERT_GE(m[i].AddClient(peer[i], -1), 0);
        peer[i]->m_refs[0].m_write_enabled = peer[i]->m_refs[0].m_read_enabled = true;
    }
    for (int pass = 0; pass < 64 * 20; ++pass) {
        s_clock += pass % 64 == 0;
        net.SetTime(s_clock);
        CNetTime::Update();
        for (int i = 0; i < 2; ++i) {
            peer[i]->Own()->m_pos[0] = static_cast<float>(pass);
            m[i].BeginFrame(), m[i].Read(), m[i].Update(false), m[i].Write(), m[i].EndFrame();
        }
    }
    EXPECT_GT(peer[0]->m_acked_seq, 0);
    // About eight a millisecond, what the frame's credit holds; a frame per answer, over forty.
    EXPECT_LE(peer[0]->m_packets_out, 16 * s_clock);
    for (CNetManager& x : m)
        x.Release();
}
