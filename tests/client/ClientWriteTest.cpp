// The packet writer: wire layout, scheduling, stop-and-wait and its failure paths.
#include "ClientFixture.h"

using namespace client_test;

// The first packet, then the last sequence there is: the writer stops rather than wrap.
TEST_F(ClientTest, FirstPacketMatchesTheWorkedExampleAndTheLastSequenceEndsTheWriter) {
    EXPECT_TRUE(Sent().empty()); // nothing to say yet: nothing sent, no sequence used
    State* s = Port(1, new State);
    s->len = 2;
    s->bytes[0] = 0xAA, s->bytes[1] = 0xBB;
    EXPECT_EQ(Sent(), (Bytes{0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA, 0xBB,
                             0xFF}));
    EXPECT_EQ((Ints{c.m_bytes_out, c.m_write_seq}), (Ints{13, 2}));
    c.m_write_seq = 0xFFFFFF;
    const Bytes last = Sent();
    ASSERT_GE(last.size(), 5u);
    EXPECT_EQ((Bytes{last[2], last[3], last[4]}), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ((Ints{c.Write(), Take().empty()}), (Ints{-1, 1}));
}

TEST_F(ClientTest, DeltaPacketMatchesTheSecondWorkedExample) {
    State* s = Port(1, new State);
    s->bytes[0] = 0xCC;
    c.m_write_seq = 3;
    c.m_read_seq = c.m_acked_seq = 2;
    c.m_write_times[2] = 1000;
    c.m_last_read_time = 1035;
    s->m_time = mgr.m_time = 1040; // age 5
    mgr.m_frame = 13;
    c.m_refs[1].SetHash(11, 2); // packet 2 carried frame 11
    EXPECT_EQ(Sent(), (Bytes{0x00, 0x3C, 0x03, 0x00, 0x00, 0x02, 0x00, 0x00, 0x02, 0x00, 0x00, 0x28,
                             0x00, 0x01, 0x0B, 0x05, 0xCC, 0xFF}));
    EXPECT_EQ(s->last_base, mgr.m_ports[1].m_writing_history->m_entries[11 % 8]);
    EXPECT_EQ((Ints{c.m_refs[1].m_base_seq, c.m_refs[1].GetHash(3)}), (Ints{2, 13}));
}

TEST_F(ClientTest, ReliableFirstThenLargerPriorityThenPortOrder) {
    State* p1 = Port(1, new State);
    State* p2 = Port(2, new State);
    State* p3 = Port(3, new State);
    Stream* p4 = Port(4, new Stream);
    Stream* p5 = Port(5, new Stream);
    p2->priority = 5, p4->priority = -10, p5->priority = -3;
    c.m_own_port->m_object = new State; // port 0 without a slot behind it is never offered
    mgr.InitPort(c.m_own_port->m_object, -1);
    c.m_refs[0].m_write_enabled = true;
    c.m_refs[0].m_data_port = nullptr;
    CNetData* list[CNetClient::kMaxPorts];
    int count = 0, reliable = 0;
    c.GetPriorityList(list, &count, &reliable);
    EXPECT_EQ((Ints{count, reliable}), (Ints{5, 2}));
    EXPECT_EQ(std::vector<CNetData*>(list, list + count),
              (std::vector<CNetData*>{p5, p4, p2, p1, p3}));
}

TEST_F(ClientTest, StopAndWaitRepeatsOnlyPendingPortsUnderNewSequenceSameToggle) {
    Port(1, new Stream)->WriteInt(5);
    Stream* s2 = Port(2, new Stream);
    const Bytes first = Sent();
    ASSERT_EQ(first.size(), 1u + 7 + 1 + 6 + 1);
    EXPECT_EQ(first[1], 0x15); // check bits 1, read toggle 1, write toggle 0, reliable
    s2->WriteInt(6);
    EXPECT_EQ((Ints{Sent().empty(), c.m_write_seq}), (Ints{1, 2})); // port 2 waits for the ack
    mgr.m_time = 1000;
    c.BeginFrame();
    const Bytes again = Sent();
    ASSERT_EQ(again.size(), first.size());
    EXPECT_EQ(again[1], 0x25); // sequence 2, same write toggle, the same block
    EXPECT_EQ(Bytes(first.begin() + 8, first.end()), Bytes(again.begin() + 8, again.end()));
    EXPECT_EQ(c.m_num_pending, 1);
}

// A block that does not fit, or a failing encoder, leaves nothing sent or pending, so the
// next Write starts clean.
TEST_F(ClientTest, AbandonedPacketLeavesACleanStart) {
    Stream* s1 = Port(1, new Stream);
    Stream* s2 = Port(2, new Stream);
    State* u = Port(3, new State);
    s1->priority = 1;
    const Bytes big(600, 7);
    s1->Write(big.data(), 600);
    s2->Write(big.data(), 600);
    auto clean = [&] {
        return send.m_write_pos == 0 && c.m_num_pending == 0 && c.m_write_acked && Take().empty();
    };
    EXPECT_EQ((Ints{c.Write(), clean(), u->writes}), (Ints{1, 1, 0})); // the state never reached
    s2->Created();
    u->write_result = -1;
    EXPECT_EQ((Ints{c.Write(), clean()}), (Ints{-1, 1}));
    u->write_result = 0;
    const Bytes d = Sent();
    ASSERT_EQ(d.size(), 1u + 7 + 1 + 602 + 3 + 1);
    EXPECT_EQ((Ints{d[1], c.m_num_pending}), (Ints{0x15, 1}));
}

TEST_F(ClientTest, SizeCapLeavesOutLargeStatesButNotReliableBlocks) {
    State* large = Port(1, new State);
    large->len = 12;
    large->priority = 5;
    Port(2, new State)->len = 2;
    c.m_max_size = 10;
    Bytes d = Sent();
    ASSERT_EQ(d.size(), 1u + 7 + 2 + 2 + 1);
    EXPECT_EQ(d[8], 2); // the smaller state of lower priority got the room
    Port(3, new Stream)->WriteInt(1);
    c.m_max_size = 0;
    d = Sent();
    ASSERT_EQ(d.size(), 1u + 7 + 7 + 1);
    EXPECT_EQ(d[8], 3);
}
