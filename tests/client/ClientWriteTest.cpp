// The packet writer: wire layout, scheduling, stop-and-wait and its failure paths.
#include "ClientFixture.h"

using namespace client_test;

TEST_F(ClientTest, FirstPacketMatchesTheWorkedExample) {
    OpenBoth(2);
    State* s = a->Port(1, new State);
    s->len = 2;
    s->bytes[0] = 0xAA;
    s->bytes[1] = 0xBB;
    ASSERT_EQ(a->client->Write(), 1);
    EXPECT_EQ(b->Take(), (Bytes{0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA,
                                0xBB, 0xFF}));
    EXPECT_EQ(a->client->m_bytes_out, 13);
    EXPECT_EQ(a->client->m_write_seq, 2);
}

TEST_F(ClientTest, DeltaPacketMatchesTheSecondWorkedExample) {
    OpenBoth(2);
    State* s = a->Port(1, new State);
    s->bytes[0] = 0xCC;
    CNetClient& c = *a->client;
    c.m_write_seq = 3;
    c.m_read_seq = 2;
    c.m_acked_seq = 2;
    c.m_write_times[2] = 1000;
    c.m_last_read_time = 1035;
    s->m_time = 1040; // age 5
    a->mgr.m_time = 1040;
    a->mgr.m_frame = 13;
    c.m_refs[1].SetHash(11, 2); // packet 2 carried frame 11
    ASSERT_EQ(c.Write(), 1);
    EXPECT_EQ(b->Take(), (Bytes{0x00, 0x3C, 0x03, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0x00,
                                0x28, 0x00, 0x01, 0x0B, 0x05, 0xCC, 0xFF}));
    EXPECT_EQ(s->last_base, a->mgr.m_ports[1].m_writing_history->m_entries[11 % 8]);
    EXPECT_EQ(c.m_refs[1].m_base_seq, 2);
    EXPECT_EQ(c.m_refs[1].GetHash(3), 13);
}

TEST_F(ClientTest, ReliableFirstThenLargerPriorityThenPortOrder) {
    OpenBoth(6);
    State* p1 = a->Port(1, new State);
    State* p2 = a->Port(2, new State);
    State* p3 = a->Port(3, new State);
    Stream* p4 = a->Port(4, new Stream);
    Stream* p5 = a->Port(5, new Stream);
    p2->priority = 5;
    p4->priority = -10;
    p5->priority = -3;
    CNetData* list[CNetClient::kMaxPorts];
    int count = 0, reliable = 0;
    a->client->GetPriorityList(list, &count, &reliable);
    ASSERT_EQ(count, 5);
    EXPECT_EQ(reliable, 2);
    const CNetData* expect[] = {p5, p4, p2, p1, p3};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(list[i], expect[i]) << i;
    EXPECT_EQ(p1->asked + p2->asked + p3->asked + p4->asked + p5->asked, 5);
}

TEST_F(ClientTest, StopAndWaitRepeatsOnlyPendingPortsUnderNewSequenceSameToggle) {
    OpenBoth(3);
    Stream* s1 = a->Port(1, new Stream);
    Stream* s2 = a->Port(2, new Stream);
    CNetClient& c = *a->client;
    s1->WriteInt(5);
    ASSERT_EQ(c.Write(), 1);
    const Bytes first = b->Take();
    ASSERT_EQ(first.size(), 1u + 7 + 1 + 6 + 1);
    EXPECT_EQ(first[1], 0x15); // check bits 1, read toggle 1, write toggle 0, reliable
    s2->WriteInt(6);
    ASSERT_EQ(c.Write(), 1);
    EXPECT_TRUE(b->Take().empty()); // port 2 waits for the acknowledgement
    EXPECT_EQ(c.m_write_seq, 2);

    a->mgr.m_time = 1000;
    c.BeginFrame();
    ASSERT_EQ(c.Write(), 1);
    Bytes again = b->Take();
    ASSERT_EQ(again.size(), first.size());
    EXPECT_EQ(again[1], 0x25); // sequence 2, same write toggle
    EXPECT_TRUE(std::equal(first.begin() + 8, first.end(), again.begin() + 8));
    EXPECT_EQ(c.m_num_pending, 1);
}

TEST_F(ClientTest, AcknowledgementCompletesEachPendingPortOnce) {
    OpenBoth(3);
    Stream* s1 = a->Port(1, new Stream);
    Stream* s2 = a->Port(2, new Stream);
    s1->WriteInt(1);
    s2->WriteInt(2);
    ASSERT_EQ(a->client->Write(), 1);
    ASSERT_EQ(a->client->m_num_pending, 2);
    ASSERT_EQ(Feed(Packet(1, 1, 0)), 1); // read toggle 0 = our write toggle
    ASSERT_EQ(Feed(Packet(2, 1, 0)), 1); // nothing outstanding any more
    EXPECT_EQ(s1->completed_writes, 1);
    EXPECT_EQ(s2->completed_writes, 1);
    EXPECT_EQ(a->client->m_num_pending, 0);
    EXPECT_TRUE(a->client->m_write_acked);
    EXPECT_EQ(a->client->m_write_toggle, 1);
}

TEST_F(ClientTest, BlockThatDoesNotFitAbandonsTheWholePacket) {
    OpenBoth(4);
    Stream* s1 = a->Port(1, new Stream);
    Stream* s2 = a->Port(2, new Stream);
    State* u = a->Port(3, new State);
    s1->priority = 1;
    const std::vector<unsigned char> big(600, 7);
    s1->Write(big.data(), 600);
    s2->Write(big.data(), 600);
    ASSERT_EQ(a->client->Write(), 1);
    EXPECT_TRUE(b->Take().empty());
    EXPECT_EQ(a->send->m_write_pos, 0);
    EXPECT_EQ(a->client->m_num_pending, 0);
    EXPECT_TRUE(a->client->m_write_acked);
    EXPECT_EQ(u->last_room, -1); // the unreliable state was never reached
}

TEST_F(ClientTest, EncoderFailureLeavesACleanPacketStart) {
    OpenBoth(3);
    Stream* s = a->Port(1, new Stream);
    State* u = a->Port(2, new State);
    s->WriteInt(9);
    u->write_result = -1;
    EXPECT_EQ(a->client->Write(), -1);
    EXPECT_EQ(a->send->m_write_pos, 0);
    EXPECT_EQ(a->client->m_num_pending, 0);
    EXPECT_TRUE(b->Take().empty());

    u->write_result = 0;
    ASSERT_EQ(a->client->Write(), 1);
    const Bytes d = b->Take();
    ASSERT_EQ(d.size(), 1u + 7 + 7 + 3 + 1);
    EXPECT_EQ(d[1], 0x15);
    EXPECT_EQ(a->client->m_num_pending, 1);
}

TEST_F(ClientTest, SizeCapLeavesOutLargeStatesButNotReliableBlocks) {
    OpenBoth(4);
    State* large = a->Port(1, new State);
    State* small = a->Port(2, new State);
    large->len = 12;
    large->priority = 5;
    small->len = 2;
    a->client->m_max_size = 10;
    ASSERT_EQ(a->client->Write(), 1);
    Bytes d = b->Take();
    ASSERT_EQ(d.size(), 1u + 7 + 2 + 2 + 1);
    EXPECT_EQ(d[8], 2); // the smaller state of lower priority got the room

    Stream* s = a->Port(3, new Stream);
    s->WriteInt(1);
    a->client->m_max_size = 0;
    ASSERT_EQ(a->client->Write(), 1);
    d = b->Take();
    ASSERT_EQ(d.size(), 1u + 7 + 7 + 1);
    EXPECT_EQ(d[8], 3);
}

TEST_F(ClientTest, PortZeroWithoutASlotIsNeverWritten) {
    OpenBoth(2);
    State* own = new State;
    a->client->m_own_port->m_object = own;
    a->mgr.InitPort(own, -1);
    a->client->m_refs[0].m_write_enabled = true;
    a->client->m_refs[0].m_data_port = nullptr; // as for a client that never had an own port
    EXPECT_EQ(a->client->Write(), 1);
    EXPECT_TRUE(b->Take().empty());
}

TEST_F(ClientTest, WriterRefusesSequencesBeyond24Bits) {
    OpenBoth(2);
    a->Port(1, new State);
    a->client->m_write_seq = 0xFFFFFF;
    ASSERT_EQ(a->client->Write(), 1);
    const Bytes last = b->Take();
    ASSERT_GE(last.size(), 5u);
    EXPECT_EQ((Bytes{last[2], last[3], last[4]}), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(a->client->Write(), -1);
    EXPECT_TRUE(b->Take().empty());
}

TEST_F(ClientTest, DeltaBaseFollowsTheAcknowledgedPacketAcrossManagers) {
    OpenBoth(2);
    State* sa = a->Port(1, new State);
    State* sb = b->Port(1, new State);
    sa->bytes[0] = 0x42;
    ASSERT_EQ(a->mgr.Write(), 1); // frame 0 carried by packet 1
    ASSERT_EQ(Deliver(*b), 1);
    EXPECT_EQ(sb->bytes[0], 0x42);
    ASSERT_EQ(b->mgr.Write(), 1); // b's packet acknowledges a's packet 1
    ASSERT_EQ(Deliver(*a), 1);
    ASSERT_EQ(a->client->m_acked_seq, 1);

    ASSERT_EQ(a->mgr.Write(), 1);
    EXPECT_EQ(sa->last_base, a->mgr.m_ports[1].m_writing_history->m_entries[0]);
    ASSERT_EQ(Deliver(*b), 1);
    EXPECT_EQ(sb->last_base, b->mgr.m_ports[1].m_reading_history->m_entries[1]);
    EXPECT_EQ(b->mgr.m_ports[1].m_reading_history->m_delta_count, 1);
}
