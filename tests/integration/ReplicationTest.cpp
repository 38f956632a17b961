// Replication between two whole managers: states, chat, hooks and lifetimes end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "LoopbackSession.h"

using namespace integration;

namespace {

// A's position runs on straight lines in x and y and holds z: a state against a base sends
// two of three components, and any blend of two states lies on the same path.
void PathAt(int t, float out[3]) {
    out[0] = 0.01f * static_cast<float>(t);
    out[1] = 40.0f - 0.004f * static_cast<float>(t);
    out[2] = 7.0f;
}

// B's playback of A's position, and how far it trails A's clock.
struct Follow {
    float worst_error = 0.0f; // distance of B's position from A's path at B's playback time
    int worst_lag = 0;        // A's clock minus B's playback time, in milliseconds

    void Check(Session& s) {
        const int played = s.b.m_ports[kPositionPort].m_interp_time;
        float want[3];
        PathAt(played, want);
        const float* got = s.b.Object<CPositionState>(kPositionPort)->m_pos;
        for (int i = 0; i < 3; ++i)
            worst_error = std::fmax(worst_error, std::fabs(got[i] - want[i]));
        worst_lag = std::max(worst_lag, CNetTime::m_time - played);
    }
};

class Replication : public ::testing::TestWithParam<int> {};

// Over 600 frames at the given loss: B's position stays on A's path and at most `max_lag`
// behind it, the blob arrives intact through deltas, chat lines arrive whole, once, in order.
TEST_P(Replication, StatesFollowAndChatArrivesExactlyOnce) {
    const int drop = GetParam();
    const int max_lag = drop == 0 ? kFrameMs : 8 * kFrameMs; // the tolerance, in time
    Session s(drop);
    s.to_b->m_timeout = s.to_a->m_timeout = 100; // repeat lost reliable packets soon
    CPositionState* pos = s.a.Object<CPositionState>(kPositionPort);
    Blob* blob = s.a.Object<Blob>(kBlobPort);
    ChatLine ab{"a"}, ba{"b"};
    Follow follow;
    int failed_steps = 0;

    for (int f = 0; f < 600; ++f) {
        PathAt(CNetTime::m_time + kFrameMs, pos->m_pos);
        blob->m_bytes[(f * 7) % 128] = static_cast<unsigned char>(f);
        blob->m_bytes[(f * 7 + 1) % 128] ^= 0x5A;
        s.to_a->Own()->m_pos[0] = static_cast<float>(f);
        ab.Speak(s.a.Object<CChatStream>(kChatPort));
        ba.Speak(s.b.Object<CChatStream>(kChatPort));
        failed_steps += s.Tick();
        ab.Hear(s.b.Object<CChatStream>(kChatPort));
        ba.Hear(s.a.Object<CChatStream>(kChatPort));
        if (f >= 4) follow.Check(s);
    }
    EXPECT_EQ(failed_steps, 0);
    EXPECT_LE(follow.worst_error, 1e-3f);
    EXPECT_LE(follow.worst_lag, max_lag);
    // Stop-and-wait carries one line per round trip when nothing is lost.
    EXPECT_GE(ab.said, drop == 0 ? 590 : 100);
    EXPECT_GE(ba.said, drop == 0 ? 590 : 100);

    // Quiet, lossless frames let every queued line and the newest states through.
    s.a.m_drop_rate = s.b.m_drop_rate = 0;
    for (int f = 0; f < 200 && (ab.heard < ab.said || ba.heard < ba.said); ++f) {
        failed_steps += s.Tick();
        ab.Hear(s.b.Object<CChatStream>(kChatPort));
        ba.Hear(s.a.Object<CChatStream>(kChatPort));
    }
    s.Tick();
    EXPECT_EQ(failed_steps, 0);
    EXPECT_EQ(ab.heard, ab.said);
    EXPECT_EQ(ba.heard, ba.said);
    EXPECT_EQ(ab.wrong + ba.wrong, 0);
    EXPECT_EQ(s.a.Object<CChatStream>(kChatPort)->m_delivered, ab.said);
    EXPECT_EQ(s.b.Object<CChatStream>(kChatPort)->m_delivered, ba.said);
    EXPECT_EQ(std::memcmp(s.b.Object<Blob>(kBlobPort)->m_bytes, blob->m_bytes, 128), 0);
    EXPECT_EQ(s.to_b->Own()->m_pos[0], s.to_a->Own()->m_pos[0]); // port 0 of each client

    // Deltas carried nearly every state, and a whole packet stays below one full blob.
    const CNetDataHistory* hp = s.b.m_ports[kPositionPort].m_reading_history;
    const CNetDataHistory* hb = s.b.m_ports[kBlobPort].m_reading_history;
    EXPECT_GT(hp->m_delta_count, 10 * hp->m_full_count);
    EXPECT_GT(hb->m_delta_count, 10 * hb->m_full_count);
    const int blob_records = hb->m_delta_count + hb->m_full_count;
    EXPECT_LT(s.b.m_ports[kBlobPort].m_read_bytes / blob_records, 1 + 128 / 8);
    EXPECT_LT(s.to_b->m_bytes_out / s.to_b->m_packets_out, 1 + 128);
    std::printf("drop %d%%: %d+%d lines, lag %d ms, %d bytes per packet, %d/%d delta records\n",
                drop, ab.said, ba.said, follow.worst_lag,
                s.to_b->m_bytes_out / s.to_b->m_packets_out, hb->m_delta_count, blob_records);
}

INSTANTIATE_TEST_SUITE_P(Loss, Replication, ::testing::Values(0, 20));

} // namespace

namespace {

// A blob that changes only every 30-34 frames, while every packet carries the position: the
// last base used stays in the client's 60-entry record long after both 32-entry histories
// have overwritten it, and a delta against it leaves B with some bytes of an older state.
TEST(Replication, RarelyChangedStateIsNotCodedAgainstAnOverwrittenBase) {
    for (int every = 30; every <= 34; ++every) {
        Session s(0);
        Blob* blob = s.a.Object<Blob>(kBlobPort);
        int differing_frames = 0;
        for (int f = 0; f < 200; ++f) {
            s.a.Object<CPositionState>(kPositionPort)->m_pos[0] = static_cast<float>(f);
            if (f % every == 0) {
                blob->m_bytes[f % 128] = static_cast<unsigned char>(f + 1);
                blob->m_bytes[(3 * f + 5) % 128] = static_cast<unsigned char>(7 * f + 1);
            }
            s.Tick();
            if (std::memcmp(s.b.Object<Blob>(kBlobPort)->m_bytes, blob->m_bytes, 128) != 0)
                ++differing_frames;
        }
        EXPECT_EQ(differing_frames, 0) << "changed every " << every << " frames";
    }
}

} // namespace

namespace {

// The loopback mailbox holds one datagram, so B takes each extra one in at once.
TEST(Replication, InstantAndOutOfBandDatagramsReachTheirHooks) {
    Session s(0);
    for (int f = 0; f < 5; ++f)
        ASSERT_EQ(s.Tick(), 0);
    const int packets_in = s.to_a->m_packets_in;

    ASSERT_EQ(s.to_b->WriteInstant("ping", 5), 1);
    ASSERT_EQ(s.b.Read(), 1);
    EXPECT_EQ(s.to_a->m_instants, 1);
    EXPECT_STREQ(s.to_a->m_instant, "ping");

    const sockaddr_in to_b = LocalAddr(2);
    CNetBuf oob(s.a.m_driver, &to_b);
    oob.SetChannel(3);
    oob.WriteString("status");
    ASSERT_GT(oob.Send(), 0);
    ASSERT_EQ(s.b.Read(), 1);
    EXPECT_EQ(s.b.m_oob_count, 1);
    EXPECT_EQ(s.b.m_oob_channel, 3);
    EXPECT_STREQ(s.b.m_oob, "status");
    EXPECT_EQ(s.to_a->m_packets_in, packets_in + 1); // the instant only: no client saw channel 3

    ASSERT_EQ(s.Tick(), 0); // the sequence goes on behind them
    EXPECT_EQ(s.to_a->m_read_seq, s.to_b->m_write_seq - 1);
}

// A starts an object for 100 ms; B starts its copy on the first record through NewPortID
// with the same life. Each is released once, within a frame of its life.
TEST(Replication, TimedObjectIsReleasedOnTimeOnBothSides) {
    Session s(0);
    ASSERT_EQ(s.Tick(), 0);
    TimedState* mine = s.a.Object<TimedState>(kTimedPort);
    TimedState* theirs = s.b.Object<TimedState>(kTimedPort);
    s.a.InitPort(kTimedPort, kTimedLife);
    for (int f = 0; f < 30; ++f) {
        mine->m_pos[0] = static_cast<float>(f); // something new to send every frame
        ASSERT_EQ(s.Tick(), 0);
    }
    for (const TimedState* t : {mine, theirs}) {
        EXPECT_FALSE(t->m_active);
        EXPECT_EQ(t->releases, 1);
        EXPECT_GE(t->started_at, 0);
        EXPECT_NEAR(t->released_at - t->started_at, kTimedLife, kFrameMs);
    }
    EXPECT_GT(s.b.m_ports[kTimedPort].m_reading_history->m_full_count, 0);
}

TEST(Replication, UnknownSenderBecomesAClientThroughCreateClient) {
    Session s(0, true);
    ASSERT_EQ(s.b.Object<CChatStream>(kChatPort)->Say("hello A"), 1);
    CPositionState* pos = s.a.Object<CPositionState>(kPositionPort);
    for (int f = 0; f < 20; ++f) {
        pos->m_pos[1] = static_cast<float>(f);
        ASSERT_EQ(s.Tick(), 0);
    }
    ASSERT_EQ(s.a.GetNumClients(), 1);
    const sockaddr_in b_addr = LocalAddr(2);
    EXPECT_TRUE(CompareAddr(&s.a.Client(0)->m_send_buf->m_addr, &b_addr));
    // B's first datagram went to the new client: its line was read there.
    EXPECT_EQ(s.a.Object<CChatStream>(kChatPort)->m_received, 1);
    EXPECT_EQ(s.b.Object<CChatStream>(kChatPort)->m_delivered, 1);
    EXPECT_EQ(s.b.Object<CPositionState>(kPositionPort)->m_pos[1], 19.0f);
}

} // namespace
