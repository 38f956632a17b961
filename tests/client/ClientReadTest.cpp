// The packet reader: sequence and toggle bookkeeping, records into ports, hostile input.
#include "ClientFixture.h"

using namespace client_test;

TEST_F(ClientTest, SequenceBookkeepingCountsLostAndOldAndDropsBadCheckBits) {
    for (int seq : {5, 7})
        ASSERT_EQ(Feed(Packet(seq, 0, 0)), 1);
    EXPECT_TRUE(c.HaveRead(0) && c.HaveRead(2));
    for (int n : {-1, 1, 8}) // 6 never came; 8 back lies before the first
        EXPECT_FALSE(c.HaveRead(n)) << n;
    const struct {
        int seq, ack, flip, result, read_seq, old;
    } rows[] = {
        {6, 0, 0, 0, 7, 1},               // late
        {8, 0, 0x10, 0, 7, 1},            // check bits disagree: dropped whole, not old
        {8, 50, 0, 1, 8, 1},              // acknowledges a packet never sent: ignored
        {8, 0, 0, 0, 8, 2},               // the same again: old
        {0xFFFFFF, 0, 0, 1, 0xFFFFFF, 2}, // the last sequence
        {0, 0, 0, 0, 0xFFFFFF, 3},        // wrapped: old
    };
    for (const auto& r : rows) {
        Bytes p = Packet(r.seq, r.ack, 0);
        p[0] ^= r.flip;
        EXPECT_EQ(Feed(p), r.result) << r.seq;
        EXPECT_EQ((Ints{c.m_read_seq, c.m_old_packets}), (Ints{r.read_seq, r.old})) << r.seq;
    }
    // Lost: 1-4, 6, then 9 to 0xFFFFFE. Eight packets came in.
    EXPECT_EQ((Ints{c.m_lost_packets, c.m_acked_seq, c.m_packets_in}),
              (Ints{4 + 1 + (0xFFFFFF - 9), 0, 8}));
}

TEST_F(ClientTest, RepeatedReliableBlockIsSkippedButItsStatesAreRead) {
    Stream* s = Port(1, new Stream);
    State* u = Port(2, new State);
    c.m_refs[1].m_write_enabled = c.m_refs[2].m_write_enabled = false; // nothing of our own
    const Bytes records = {1, 0x01, 0x80, 0x33, 2, 0x00, 0x44};
    // Toggle 0 differs from ours: new; then the same toggle: a repetition, because our
    // acknowledgement was lost. Each is acknowledged, or the peer would repeat for ever.
    for (int seq : {1, 2}) {
        ASSERT_EQ(Feed(Packet(seq, 0, 0x01, records)), 1);
        EXPECT_EQ(Sent().size(), 1u + 7 + 1) << seq;
    }
    EXPECT_EQ((Ints{s->completed_reads, u->reads, c.m_read_toggle}), (Ints{1, 2, 0}));
    EXPECT_EQ(mgr.m_ports[1].m_read_bytes, 1 + 3); // Read's result, then Skip's
}

TEST_F(ClientTest, StatesAreStampedOnOurClockAndNeverBackInTime) {
    State* u = Port(1, new State);
    const CNetDataHistory* h = mgr.m_ports[1].m_reading_history;
    mgr.m_time = 100;
    ASSERT_EQ(Feed(Packet(1, 0, 0, {1, 0x00, 0x07})), 1);
    mgr.m_time = 300; // timing: sequence 1 (read at 100), age 40; record age 5
    ASSERT_EQ(Feed(Packet(2, 0, 0x08, {1, 0, 0, 40, 0, 1, 0x02, 5, 0x11})), 1);
    EXPECT_EQ((Ints{u->m_time, h->m_entries[2]->m_time}), (Ints{145, 145}));
    ASSERT_EQ(Feed(Packet(3, 0, 0x08, {1, 0, 0, 0, 0, 1, 0x00, 0x12})), 1);
    EXPECT_EQ((Ints{u->m_time, h->GetLink(3)}), (Ints{145, 2})); // 100 + 0 is older than 145
}

TEST_F(ClientTest, AcknowledgementCompletesEachPendingPortOnceEvenAfterAFailure) {
    Stream* s1 = Port(1, new Stream);
    Stream* s2 = Port(2, new Stream);
    s1->write_completed_result = -1;
    s1->WriteInt(1);
    s2->WriteInt(2);
    ASSERT_EQ(c.Write(), 1);
    ASSERT_EQ(c.m_num_pending, 2);
    mgr.m_time = 100;
    EXPECT_EQ(Feed(Packet(1, 1, 0)), -1); // read toggle 0 = our write toggle; s1's hook fails
    EXPECT_EQ(Feed(Packet(2, 1, 0)), 1);  // nothing outstanding any more
    EXPECT_EQ((Ints{s1->completed_writes, s2->completed_writes, c.m_num_pending, c.m_read_seq}),
              (Ints{1, 1, 0, 2}));
    // The toggle flipped; the round-trip sample: written at 0, acknowledged at 100.
    EXPECT_EQ((Ints{c.m_write_acked, c.m_write_toggle, c.m_acked_seq, c.m_ping}),
              (Ints{1, 1, 1, 20}));
}

// Malformed records fail with -1 without reading or writing out of bounds, and the next valid
// packet is still accepted. Ports beyond the count or switched off, bad base slots and
// oversized blocks also go through a whole manager in the integration tests.
TEST_F(ClientTest, HostileRecordsAreRefusedAndTheNextPacketIsRead) {
    State* u = Port(2, new State);
    State* v = Port(5, new State);
    c.m_refs[4].m_read_enabled = c.m_refs[0].m_read_enabled = true;
    c.m_refs[0].m_data_port = nullptr; // a client without an own port
    for (int p : {2, 5}) {
        delete mgr.m_ports[p].m_reading_history;
        mgr.m_ports[p].m_reading_history = new CNetDataHistory(8, nullptr, p); // never filled
    }
    CNetDataHistory* h2 = mgr.m_ports[2].m_reading_history;
    mgr.m_ports[5].m_reading_history->m_size = 0;
    int seq = 1;
    // No object in the slot; port 0 with no slot behind it; null entries; a history of size 0.
    for (unsigned char port : {4, 0, 2, 5})
        EXPECT_EQ(Feed(Packet(seq++, 0, 0, {port, 0x00, 0x01})), -1) << port;
    const Bytes head = Packet(seq, 0, 0);
    EXPECT_EQ(Feed({0x10, 0x01}, 996), -1);                          // header past the buffer
    EXPECT_EQ(Feed(Bytes(head.begin(), head.begin() + 7), 991), -1); // port byte past it
    EXPECT_EQ((Ints{u->reads + v->reads, c.m_read_seq}), (Ints{0, seq}));

    State entries[8];
    for (int i = 0; i < 8; ++i)
        h2->m_entries[i] = &entries[i];
    // Base slots 63 and 8 lie outside the 8 entries; 7 is the last inside.
    EXPECT_EQ(Feed(Packet(seq + 1, 0, 0, {2, 0xFD, 0x00})), -1);
    EXPECT_EQ(Feed(Packet(seq + 2, 0, 0, {2, 0x21, 0x00})), -1);
    EXPECT_EQ(Feed(Packet(seq + 3, 0, 0, {2, 0x1D, 0x09})), 1);
    EXPECT_EQ((Ints{u->bytes[0], entries[(seq + 3) % 8].bytes[0], h2->m_delta_count}),
              (Ints{9, 9, 1}));
    EXPECT_EQ(u->last_base, &entries[7]);
}
