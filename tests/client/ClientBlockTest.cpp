// The block record on the wire: the documented example both ways, a loss found from a
// selective acknowledgement, hostile records.
#include "ClientFixture.h"

using namespace client_test;

namespace {

struct Ends : CNetBlockStream {
    std::vector<int> reasons;
    std::vector<Bytes> got;
    int BlockEnded(CNetClient*, std::uint32_t, int reason) override {
        return reasons.push_back(reason), 1;
    }
    int BlockReceived(CNetClient*, std::uint32_t, const unsigned char* d,
                      std::uint32_t n) override {
        return got.emplace_back(d, d + n), 1;
    }
};

Ends* PlaceBlocks(CNetManager& mgr, CNetClient& c) {
    auto* s = new Ends;
    mgr.SetPortA(1, s);
    mgr.InitPort(1, -1);
    c.m_refs[1].m_read_enabled = c.m_refs[1].m_write_enabled = true;
    return s;
}

// A fragment: block, total, offset, then the bytes.
Bytes Fragment(int block, std::uint32_t total, std::uint32_t offset, const Bytes& bytes) {
    Bytes f = {static_cast<unsigned char>(block), static_cast<unsigned char>(block >> 8)};
    for (std::uint32_t v : {total, offset})
        for (int shift = 0; shift < 32; shift += 8)
            f.push_back(static_cast<unsigned char>(v >> shift));
    f.push_back(static_cast<unsigned char>(bytes.size()));
    f.push_back(static_cast<unsigned char>(bytes.size() >> 8));
    f.insert(f.end(), bytes.begin(), bytes.end());
    return f;
}

} // namespace

// The documented exchange: "hello" as block 1, and the peer's acknowledgement of it whole.
TEST_F(ClientTest, BlockRecordMatchesTheWorkedExampleBothWays) {
    Ends* s = PlaceBlocks(mgr, c);
    ASSERT_EQ(s->Send(&c, "hello", 5), 1);
    EXPECT_EQ(Sent(), (Bytes{0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x04,
                             0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x05, 0x00, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0xFF}));
    ASSERT_EQ(Feed({0x14, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00,
                    0x00, 0x00, 0x00, 0xFF}),
              1);
    EXPECT_EQ(s->reasons, (Ints{CNetBlockStream::kDelivered}));
    EXPECT_EQ(s->m_blocks_sent, 1u);
}

// Two fragments in two packets; the peer's acknowledgement, written after it read the second
// packet, holds only the second. Arriving sooner than the first could have been overtaken, it
// changes nothing; a round trip later the first is sent again, well before any time-out.
TEST_F(ClientTest, AFragmentTheAcknowledgementSkipsIsSentAgainAtOnce) {
    Ends* s = PlaceBlocks(mgr, c);
    c.m_max_size = 120; // one fragment of 96 bytes per packet
    Bytes block(150);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(s->Send(&c, block.data(), 150), 1);
    const Bytes first = Sent(), second = Sent();
    ASSERT_EQ(first.size(), 8u + 1 + 1 + 12 + 96 + 1);
    ASSERT_EQ(second.size(), 8u + 1 + 1 + 12 + 54 + 1);
    EXPECT_EQ(Sent().size(), 0u); // everything in flight, nothing to repeat yet
    // Held: bytes 96..150 (the second fragment); the packet acknowledges our packet 2.
    const Bytes held = {1, 0x01, 1, 0, 0, 0, 0, 0, 1, 96, 0, 0, 0, 150, 0, 0, 0};
    mgr.m_time = 20;
    ASSERT_EQ(Feed(Packet(1, 2, 0, held)), 1);
    EXPECT_EQ(Sent().size(), 0u);
    mgr.m_time = 160; // well past the round trip the acknowledgement took (20 ms) and a frame
    ASSERT_EQ(Feed(Packet(2, 2, 0, held)), 1);
    const Bytes again = Sent();
    ASSERT_EQ(again.size(), first.size() + 5); // the timing fields now come with it
    EXPECT_TRUE(std::equal(first.begin() + 8, first.end(), again.begin() + 13));
    EXPECT_EQ(s->m_fragments_resent, 1u);
}

// Hostile fragments: a repetition with other bytes never changes what is delivered, sizes
// that lie are refused without allocation, and records that overrun the packet fail it.
TEST_F(ClientTest, HostileFragmentsNeverChangeADeliveredBlock) {
    Ends* s = PlaceBlocks(mgr, c);
    const Bytes a(32, 0xAA), b(32, 0xBB), tail(8, 0xCC);
    Bytes rec = {1, 3 << 2};
    for (const Bytes& f : {Fragment(1, 40, 0, a), Fragment(1, 40, 0, b), Fragment(1, 41, 32, tail)})
        rec.insert(rec.end(), f.begin(), f.end());
    ASSERT_EQ(Feed(Packet(1, 0, 0, rec)), 1);
    EXPECT_TRUE(s->got.empty()); // the lying total was refused
    rec = {1, 2 << 2};
    for (const Bytes& f : {Fragment(1, 40, 8, tail), Fragment(1, 40, 32, tail)})
        rec.insert(rec.end(), f.begin(), f.end());
    ASSERT_EQ(Feed(Packet(2, 0, 0, rec)), 1); // offset 8 is not on a unit: refused
    ASSERT_EQ(s->got.size(), 1u);
    Bytes want = a;
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(s->got[0], want);
    EXPECT_EQ(s->m_fragments_refused, 2u);
    // Over any limit there is: refused before anything is made.
    rec = {1, 1 << 2};
    const Bytes huge = Fragment(2, CNetBlockStream::kMaxLimit + 1, 0, a);
    rec.insert(rec.end(), huge.begin(), huge.end());
    ASSERT_EQ(Feed(Packet(3, 0, 0, rec)), 1);
    SNetBlockProgress p;
    ASSERT_EQ(s->GetReceiveProgress(&c, &p), 1);
    EXPECT_EQ(p.m_id, 0u);
    EXPECT_EQ(s->m_fragments_refused, 3u);
    // A length beyond the datagram (its received length bounds the reads, as after a Recv),
    // and an acknowledgement with ranges out of order.
    const Bytes overrun = Packet(4, 0, 0, {1, 1 << 2, 3, 0, 40, 0, 0, 0, 0, 0, 0, 0, 200, 0});
    in.m_read_limit = static_cast<int>(overrun.size());
    EXPECT_EQ(Feed(overrun), -1);
    in.m_read_limit = CNetBuf::kMaxPayload;
    EXPECT_EQ(Feed(Packet(5, 0, 0, {1,  0x01, 1, 0, 0,  0, 0, 0, 2,  64, 0, 0, 0,
                                    80, 0,    0, 0, 32, 0, 0, 0, 48, 0,  0, 0})),
              -1);
}

// The extra datagrams of a frame hold block records alone and may arrive before the frame's own
// packet. That packet is still read whole: its state taken, its fragment kept, its reliable
// content delivered, but its stale acknowledgement toggle ignored. A packet overtaken by one with
// a state, or a second copy, gives only its fragments, as before.
TEST_F(ClientTest, APacketOvertakenOnlyByBlockDatagramsIsStillReadWhole) {
    Ends* s = PlaceBlocks(mgr, c);
    State* u = Port(2, new State);
    Stream* chat = Port(3, new Stream);
    c.m_refs[2].m_write_enabled = false;
    chat->WriteInt(9); // our message waits for the toggle 0
    ASSERT_EQ(c.Write(), 1);
    Take();
    ASSERT_FALSE(c.m_write_acked);
    auto fragment = [](std::uint32_t offset, unsigned char v) {
        Bytes r = {1, 1 << 2};
        const Bytes f = Fragment(1, 64, offset, Bytes(32, v));
        r.insert(r.end(), f.begin(), f.end());
        return r;
    };
    // Packet 3 (fragments only, toggle 1: our message not yet read) before packet 2.
    ASSERT_EQ(Feed(Packet(3, 0, 0x04, fragment(32, 0xBB))), 1);
    Bytes frame = {2, 0x00, 0x07, 3, 0x01, 0x80, 0x33};
    const Bytes tail = fragment(0, 0xAA);
    frame.insert(frame.end(), tail.begin(), tail.end());
    ASSERT_EQ(Feed(Packet(2, 0, 0x01, frame)), 1); // toggle 0 would acknowledge our message
    EXPECT_EQ((Ints{u->reads, u->bytes[0], chat->completed_reads, c.m_write_acked}),
              (Ints{1, 7, 1, 0}));
    EXPECT_EQ((Ints{c.m_read_seq, c.m_old_packets, c.m_lost_packets}), (Ints{3, 0, 1}));
    ASSERT_EQ(s->got.size(), 1u);
    EXPECT_EQ(s->got[0][0], 0xAA);
    EXPECT_EQ(s->got[0][63], 0xBB);
    // Its second copy, and then an older packet overtaken by a state: dropped as old.
    ASSERT_EQ(Feed(Packet(2, 0, 0x01, frame)), 0);
    ASSERT_EQ(Feed(Packet(4, 0, 0x04, {2, 0x00, 0x08})), 1);
    ASSERT_EQ(Feed(Packet(5, 0, 0x04, fragment(0, 0xCC))), 1);
    ASSERT_EQ(Feed(Packet(1, 0, 0x04, {2, 0x00, 0x05})), 0);
    EXPECT_EQ((Ints{u->reads, u->bytes[0], chat->completed_reads, c.m_old_packets}),
              (Ints{2, 8, 1, 2}));
}
