// Replication between two whole managers over loopback: states, chat, hooks and lifetimes end
// to end, and steady frames that allocate nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "CountAllocations.h"
#include "TwoPeerSession.h"

using namespace twopeer;

namespace {

// A's position runs on straight lines in x and y and holds z: a state against a base sends
// two of three components, and any blend of two states lies on the same path.
void PathAt(int t, float out[3]) {
    out[0] = 0.01f * static_cast<float>(t);
    out[1] = 40.0f - 0.004f * static_cast<float>(t);
    out[2] = 7.0f;
}

class Replication : public ::testing::TestWithParam<int> {};

// 1100 frames at the given loss, with an instant message and an out-of-band datagram every
// 50, of which the last 150 are still: B's position stays on A's path and at most `max_lag`
// behind it, the blob arrives intact through deltas, chat lines arrive whole, once, in order,
// and the last 1000 frames allocate nothing.
TEST_P(Replication, StatesFollowChatArrivesOnceAndFramesAllocateNothing) {
    const int drop = GetParam(), frames = 1100, kept = 100 - drop;
    const int max_lag = drop == 0 ? kFrameMs : 8 * kFrameMs; // the tolerance, in time
    Session s(drop);
    s.to_b->m_timeout = s.to_a->m_timeout = 100; // repeat lost reliable packets soon
    Blob* blob = s.a.Object<Blob>(kBlobPort);
    CNetBuf oob(s.a.m_driver, &s.to_b->m_out.m_addr);
    float worst_error = 0.0f;
    int worst_lag = 0, failed = 0, heard = 0; // frames with a record of the position
    for (int f = 0; f < frames; ++f) {
        g_counting = f >= 100;
        const bool moving = f < frames - 150;
        if (f == frames - 150) heard = s.b.Object()->heard_frames; // as told by m_received
        if (moving) {
            PathAt(CNetTime::m_time + kFrameMs, s.a.Object()->m_pos);
            blob->m_bytes[(f * 7) % 128] = static_cast<unsigned char>(f);
            blob->m_bytes[(f * 7 + 1) % 128] ^= 0x5A;
            s.to_a->Own()->m_pos[0] = static_cast<float>(f);
        }
        failed += s.Talk(moving, moving);
        if (f % 50 == 0) { // B takes each in at once: the loopback mailbox holds one datagram
            failed += (s.to_b->WriteInstant("ping", 5) != 1) + (s.b.Read() != 1);
            oob.SetChannel(3);
            oob.WriteString("status");
            failed += (oob.Send() <= 0) + (s.b.Read() != 1);
        }
        const int played = s.b.m_ports[kPositionPort].m_interp_time;
        float want[3];
        PathAt(played, want);
        for (int i = 0; i < 3 && f >= 4 && moving; ++i)
            worst_error = std::max(worst_error, std::fabs(s.b.Object()->m_pos[i] - want[i]));
        worst_lag = std::max(worst_lag, f >= 4 && moving ? CNetTime::m_time - played : 0);
    }
    g_counting = false;
    EXPECT_EQ((std::vector<long>{g_allocations, failed, s.to_b->m_timeouts > 0, s.b.m_oob_channel}),
              (std::vector<long>{0, 0, drop > 0, 3}));
    EXPECT_LE(worst_error, 1e-3f);
    EXPECT_LE(worst_lag, max_lag);
    EXPECT_NEAR(heard, (frames - 150) * kept / 100, 30);
    EXPECT_NEAR(s.to_a->m_instants + s.b.m_oob_count, 44 * kept / 100, drop / 2);
    EXPECT_STREQ(s.to_a->m_instant, "ping");
    EXPECT_STREQ(s.b.m_oob, "status");
    // Stop-and-wait carries one line per round trip when nothing is lost.
    EXPECT_GE(std::min(s.ab.said, s.ba.said), drop == 0 ? frames - 160 : 200);
    s.ab.ExpectWhole(s.a.Chat());
    s.ba.ExpectWhole(s.b.Chat());
    EXPECT_EQ(std::memcmp(s.b.Object<Blob>(kBlobPort)->m_bytes, blob->m_bytes, 128), 0);
    EXPECT_EQ(s.to_b->Own()->m_pos[0], s.to_a->Own()->m_pos[0]); // port 0 of each client

    // Deltas carried nearly every state, and a whole packet stays below one full blob.
    const CNetDataHistory* hb = s.b.m_ports[kBlobPort].m_reading_history;
    EXPECT_GT(hb->m_delta_count, 10 * hb->m_full_count);
    const int blob_records = hb->m_delta_count + hb->m_full_count;
    EXPECT_LT(s.b.m_ports[kBlobPort].m_read_bytes / blob_records, 1 + 128 / 8);
    EXPECT_LT(s.to_b->m_bytes_out / s.to_b->m_packets_out, 1 + 128);
}

INSTANTIATE_TEST_SUITE_P(Loss, Replication, ::testing::Values(0, 20));

// A blob that changes only every 30-34 frames, while every packet carries the position: the
// last base used stays in the client's 60-entry record long after both 32-entry histories
// have overwritten it, and a delta against it leaves B with some bytes of an older state.
TEST(Replication, RarelyChangedStateIsNotCodedAgainstAnOverwrittenBase) {
    for (int every = 30; every <= 34; ++every) {
        Session s(0);
        Blob* blob = s.a.Object<Blob>(kBlobPort);
        int differing_frames = 0;
        for (int f = 0; f < 200; ++f) {
            s.a.Object()->m_pos[0] = static_cast<float>(f);
            if (f % every == 0) {
                blob->m_bytes[f % 128] = static_cast<unsigned char>(f + 1);
                blob->m_bytes[(3 * f + 5) % 128] = static_cast<unsigned char>(7 * f + 1);
            }
            s.Tick();
            differing_frames +=
                std::memcmp(s.b.Object<Blob>(kBlobPort)->m_bytes, blob->m_bytes, 128) != 0;
        }
        EXPECT_EQ(differing_frames, 0) << "changed every " << every << " frames";
    }
}

// A knows no client until B's first datagram, which CreateClient turns into one that reads
// it. A then starts an object for 100 ms; B starts its copy on the first record through
// NewPortID with the same life. Each is released once, within a frame of its life.
TEST(Replication, UnknownSenderIsWelcomedAndTimedObjectEndsOnTimeOnBothSides) {
    Session s(0);
    ASSERT_EQ(s.a.RemoveClient(0), 0);
    s.a.m_welcome = true;
    ASSERT_EQ(s.b.Chat()->Say("hello A"), 1);
    for (int f = 0; f < 3; ++f)
        ASSERT_EQ(s.Tick(), 0);
    ASSERT_EQ(s.a.GetNumClients(), 1);
    const sockaddr_in b_addr = Addr(2);
    EXPECT_EQ(s.a.FindClient(&b_addr), 0);
    EXPECT_EQ(s.a.Chat()->m_received, 1); // B's first datagram went to the new client

    Position* mine = s.a.Object(kTimedPort);
    Position* theirs = s.b.Object(kTimedPort);
    s.a.InitPort(kTimedPort, kTimedLife);
    for (int f = 0; f < 30; ++f) {
        mine->m_pos[0] = static_cast<float>(f); // something new to send every frame
        ASSERT_EQ(s.Tick(), 0);
    }
    EXPECT_EQ(s.b.Chat()->m_delivered, 1);
    for (const Position* t : {mine, theirs}) {
        EXPECT_FALSE(t->m_active);
        EXPECT_EQ(t->releases, 1);
        EXPECT_GE(t->started_at, 0);
        EXPECT_NEAR(t->released_at - t->started_at, kTimedLife, kFrameMs);
    }
}

} // namespace

// A blob flows one way, a tenth of it changing each frame, and B has nothing to say back.
// Without state acknowledgements A never learns what B holds and sends it whole every frame;
// with them B answers with bare headers and A sends differences, and B still holds every
// frame's blob. Once A falls silent, both sides stop sending: acknowledgements are never
// acknowledged, even with both sides asking for them.
TEST(Replication, OneWayStatesAreSentAsDifferencesOnceAcknowledged) {
    int bytes_per_frame[2] = {};
    for (const bool ack : {false, true}) {
        SCOPED_TRACE(ack ? "acknowledged" : "unacknowledged");
        Session s(0);
        for (int port = 0; port < kNumPorts; ++port) {
            s.to_a->m_refs[port].m_write_enabled = false;
            s.to_b->m_refs[port].m_write_enabled = port == kBlobPort;
        }
        s.to_a->m_ack_states = s.to_b->m_ack_states = ack;
        Blob* blob = s.a.Object<Blob>(kBlobPort);
        int differing_frames = 0, start_bytes = 0;
        for (int f = 0; f < 120; ++f) {
            for (int k = 0; k < 13; ++k)
                blob->m_bytes[(f * 29 + k * 37) % 128] = static_cast<unsigned char>(f * 7 + k);
            if (f == 20) start_bytes = s.to_b->m_bytes_out;
            ASSERT_EQ(s.Tick(), 0);
            differing_frames +=
                std::memcmp(s.b.Object<Blob>(kBlobPort)->m_bytes, blob->m_bytes, 128) != 0;
        }
        EXPECT_EQ(differing_frames, 0);
        EXPECT_EQ(s.to_a->m_packets_out, ack ? 120 : 0); // one answer per frame, no more
        bytes_per_frame[ack] = (s.to_b->m_bytes_out - start_bytes) / 100;

        if (!ack) continue; // unacknowledged, A goes on sending the whole blob
        const std::vector<int> quiet_from{s.to_b->m_packets_out, s.to_a->m_packets_out};
        for (int f = 0; f < 20; ++f)
            ASSERT_EQ(s.Tick(), 0);
        EXPECT_EQ((std::vector<int>{s.to_b->m_packets_out, s.to_a->m_packets_out}), quiet_from);
    }
    std::printf("one-way 128-byte blob, bytes per frame: %d unacknowledged, %d acknowledged\n",
                bytes_per_frame[0], bytes_per_frame[1]);
    EXPECT_GE(bytes_per_frame[0], 129); // the whole blob
    EXPECT_LE(bytes_per_frame[1] * 10, bytes_per_frame[0] * 3) << bytes_per_frame[1];
}
