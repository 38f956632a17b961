// The packet reader: sequence and toggle bookkeeping, records into ports, hostile input.
#include "ClientFixture.h"

using namespace client_test;

TEST_F(ClientTest, SkippedSequenceIsLostAndALateOneIsOld) {
    OpenBoth(2);
    ASSERT_EQ(Feed(Packet(3, 0, 0)), 1);
    const int lost = a->client->m_lost_packets; // 1 and 2 never came
    ASSERT_EQ(Feed(Packet(5, 0, 0)), 1);
    EXPECT_EQ(a->client->m_lost_packets - lost, 1);
    EXPECT_EQ(Feed(Packet(4, 0, 0)), 0);
    EXPECT_EQ(a->client->m_old_packets, 1);
    EXPECT_EQ(a->client->m_read_seq, 5);
    EXPECT_EQ(a->client->m_packets_in, 3);
}

TEST_F(ClientTest, CheckBitsThatDisagreeDropThePacketWhole) {
    OpenBoth(2);
    Bytes p = Packet(3, 0, 0);
    p[0] ^= 0x10;
    EXPECT_EQ(Feed(p), 0);
    EXPECT_EQ(a->client->m_read_seq, 0);
    EXPECT_EQ(a->client->m_old_packets, 0);
    EXPECT_EQ(a->client->m_packets_in, 1);
}

TEST_F(ClientTest, RepeatedReliableBlockIsSkippedButItsStatesAreRead) {
    OpenBoth(3);
    Stream* s = a->Port(1, new Stream);
    State* u = a->Port(2, new State);
    const Bytes records = {1, 0x01, 0x80, 0x33, 2, 0x00, 0x44};
    ASSERT_EQ(Feed(Packet(1, 0, 0x01, records)), 1); // toggle 0 differs from ours: new
    ASSERT_EQ(Feed(Packet(2, 0, 0x01, records)), 1); // same toggle: a repetition
    EXPECT_EQ(s->completed_reads, 1);
    EXPECT_EQ(u->reads, 2);
    EXPECT_EQ(a->client->m_read_toggle, 0);
    EXPECT_EQ(a->mgr.m_ports[1].m_read_bytes, 1 + 3); // Read's result, then Skip's
}

TEST_F(ClientTest, BaseSlotMustLieInsideTheReadingHistory) {
    OpenBoth(3);
    a->Port(1, new State);
    State* deep = a->Port(2, new State, 64);
    EXPECT_EQ(Feed(Packet(1, 0, 0, {1, 0xFD, 0x00})), -1); // slot 63 of 8
    EXPECT_EQ(Feed(Packet(2, 0, 0, {1, 0x21, 0x00})), -1); // slot 8 of 8
    ASSERT_EQ(Feed(Packet(3, 0, 0, {2, 0xFD, 0x00})), 1);
    EXPECT_EQ(deep->last_base, a->mgr.m_ports[2].m_reading_history->m_entries[63]);
    EXPECT_EQ(a->mgr.m_ports[2].m_reading_history->m_delta_count, 1);
}

TEST_F(ClientTest, StatesAreStampedOnOurClockAndNeverBackInTime) {
    OpenBoth(2);
    State* u = a->Port(1, new State);
    CNetDataPort& port = a->mgr.m_ports[1];
    a->mgr.m_time = 100;
    ASSERT_EQ(Feed(Packet(1, 0, 0)), 1);
    a->mgr.m_time = 300; // timing sequence 1, age 40; record age 5
    ASSERT_EQ(Feed(Packet(2, 0, 0x08, {1, 0, 0, 40, 0, 1, 0x02, 5, 0x11})), 1);
    EXPECT_EQ(u->m_time, 145);
    EXPECT_EQ(port.m_reading_history->m_entries[2]->m_time, 145);
    EXPECT_EQ(port.m_reading_history->m_newest, 2);
    ASSERT_EQ(Feed(Packet(3, 0, 0x08, {1, 0, 0, 0, 0, 1, 0x00, 0x12})), 1);
    EXPECT_EQ(u->m_time, 145); // 100 + 0 is older than what the port holds
    EXPECT_EQ(port.m_reading_history->GetLink(3), 2);
}

TEST_F(ClientTest, InactivePortIsStartedBeforeItsStateIsRead) {
    OpenBoth(2);
    State* u = a->Port(1, new State);
    a->mgr.ReleasePort(1);
    ASSERT_EQ(Feed(Packet(1, 0, 0, {1, 0x00, 0x07})), 1);
    EXPECT_EQ(a->client->new_ports, std::vector<int>{1});
    EXPECT_TRUE(u->m_active);
    EXPECT_EQ(u->bytes[0], 0x07);
    EXPECT_TRUE(u->m_received);
}

TEST_F(ClientTest, AcknowledgementOfAPacketNeverSentIsIgnored) {
    OpenBoth(2);
    ASSERT_EQ(Feed(Packet(1, 50, 0)), 1);
    EXPECT_EQ(a->client->m_acked_seq, 0);
}

TEST_F(ClientTest, SequenceNearTheLimitThenWrappedIsOld) {
    OpenBoth(2);
    ASSERT_EQ(Feed(Packet(0xFFFFFF, 0, 0)), 1);
    EXPECT_EQ(a->client->m_read_seq, 0xFFFFFF);
    EXPECT_EQ(Feed(Packet(0, 0, 0)), 0);
    EXPECT_EQ(a->client->m_old_packets, 1);
}

TEST_F(ClientTest, FailedCompletionStillEmptiesThePendingList) {
    OpenBoth(2);
    Stream* s = a->Port(1, new Stream);
    s->write_completed_result = -1;
    s->WriteInt(1);
    ASSERT_EQ(a->client->Write(), 1);
    EXPECT_EQ(Feed(Packet(1, 1, 0)), -1);
    EXPECT_EQ(a->client->m_num_pending, 0);
    EXPECT_EQ(a->client->m_read_seq, 1);
    s->WriteInt(2);
    b->Take();
    ASSERT_EQ(a->client->Write(), 1);
    EXPECT_EQ(a->client->m_num_pending, 1);
}

// Every malformed packet fails with -1 without reading or writing out of bounds, and the
// next valid packet is still accepted.
TEST_F(ClientTest, HostileRecordsAreRefusedAndTheNextPacketIsRead) {
    OpenBoth(6);
    Stream* s = a->Port(1, new Stream);
    State* u = a->Port(2, new State);
    a->Port(3, new State);
    State* v = a->Port(5, new State);
    a->client->m_refs[3].m_read_enabled = false;
    a->client->m_refs[4].m_read_enabled = true; // no object in the slot
    a->client->m_refs[0].m_read_enabled = true;
    a->client->m_refs[0].m_data_port = nullptr; // a client without an own port
    CNetDataHistory*& h2 = a->mgr.m_ports[2].m_reading_history;
    delete h2;
    h2 = new CNetDataHistory(8, nullptr, 2); // entries never filled
    CNetDataHistory*& h5 = a->mgr.m_ports[5].m_reading_history;
    delete h5;
    h5 = new CNetDataHistory(4, nullptr, 5);
    h5->m_size = 0;

    const Bytes cases[] = {
        {6, 0x00, 0x01}, // port beyond m_num_ports
        {3, 0x00, 0x01}, // reading switched off
        {4, 0x00, 0x01}, // slot without an object
        {0, 0x00, 0x01}, // port 0 with no slot behind it
        {2, 0x00, 0x01}, // null history entries
        {5, 0x00, 0x01}, // history of size 0
        {1, 0xFF, 0x7F}, // reliable block longer than the datagram
        {1, 0x20, 0x83}, // message of 800 bytes
    };
    int seq = 1;
    for (const Bytes& records : cases) {
        SCOPED_TRACE(seq);
        // Reliable and with a fresh toggle each time, so blocks are read, not skipped.
        EXPECT_EQ(Feed(Packet(seq, 0, 0x01 | (seq % 2 ? 0 : 0x02), records)), -1);
        ++seq;
    }
    EXPECT_EQ(s->completed_reads, 0);
    EXPECT_EQ(u->reads + v->reads, 0);

    const unsigned char cut[2] = {0x10, 0x01}; // a header that runs past the buffer
    in.SetWritingPos(996, 0);
    in.Write(cut, 2);
    in.SetReadingPos(996, 0);
    EXPECT_EQ(a->client->Read(&in), -1);
    const Bytes head = Packet(seq, 0, 0); // its port byte would lie past the buffer
    in.SetWritingPos(991, 0);
    in.Write(head.data(), 7);
    in.SetReadingPos(991, 0);
    EXPECT_EQ(a->client->Read(&in), -1);
    EXPECT_EQ(a->client->m_read_seq, seq);

    State entries[8];
    for (int i = 0; i < 8; ++i)
        h2->m_entries[i] = &entries[i];
    EXPECT_EQ(Feed(Packet(seq + 1, 0, 0, {2, 0x00, 0x09})), 1);
    EXPECT_EQ(u->bytes[0], 0x09);
    EXPECT_EQ(entries[(seq + 1) % 8].bytes[0], 0x09);
}
