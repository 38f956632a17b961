// Hostile datagrams through a whole manager, sent from the peer's own address between its
// valid packets. They land in the shared receive buffer behind earlier, longer datagrams, and
// must be refused on their own bytes; the asan build watches every byte the reader touches.
#include <gtest/gtest.h>

#include <vector>

#include "TwoPeerSession.h"

using namespace twopeer;

namespace {

using Bytes = std::vector<unsigned char>;

// The header B would send next (B then skips that number, so its own next packet is newer),
// with B's acknowledgement and read toggle. Reliable ones carry a write toggle that is new to
// A (kFresh: the blocks are read) or one A has seen (kSeen: they are stepped over).
enum Head { kPlain, kFresh, kSeen, kCut, kBadBits, kTopSeq };

struct Case {
    const char* what;
    int read; // A's Read
    Head head;
    Bytes tail;
    int pad; // zero bytes after the tail
};

const Case kCases[] = {
    {"header cut in the acknowledgement", -1, kCut, {}, 0},
    {"check bits that disagree", 1, kBadBits, {0xFF}, 0},
    {"sequence 2^24 - 1 with the check bits of another", 1, kTopSeq, {0xFF}, 0},
    {"port beyond the port count", -1, kPlain, {200, 0, 0xFF}, 0},
    {"port whose reading is off", -1, kPlain, {kPositionPort, 0, 7}, 12},
    {"base slot beyond the history", -1, kPlain, {kOwnPort, (kHistory + 8) << 2 | 1, 1}, 4},
    {"block longer than the datagram", -1, kFresh, {kChatPort, 0xFF, 0x7F}, 0},
    {"repeated block longer than the datagram", -1, kSeen, {kChatPort, 0xFF, 0x7F}, 0},
    {"message of 800 bytes", -1, kFresh, {kChatPort, 0x20, 0x83}, 800},
};

Bytes Body(Session& s, const Case& c) {
    const CNetClient& b = *s.to_a;
    const int seq = c.head == kTopSeq ? 0xFFFFFF : s.to_a->m_write_seq++;
    const int check = (seq % 8) ^ (c.head == kBadBits || c.head == kTopSeq);
    const int toggle = s.to_b->m_read_toggle ^ (c.head == kFresh);
    const int reliable = c.head == kFresh || c.head == kSeen ? 1 | toggle << 1 : 0;
    const int bits = check << 4 | b.m_read_toggle << 2 | reliable;
    const auto byte = [](int v, int shift) { return static_cast<unsigned char>(v >> shift); };
    Bytes h = {byte(bits, 0),         byte(seq, 0),          byte(seq, 8),          byte(seq, 16),
               byte(b.m_read_seq, 0), byte(b.m_read_seq, 8), byte(b.m_read_seq, 16)};
    h.resize(c.head == kCut ? 5 : 7);
    h.insert(h.end(), c.tail.begin(), c.tail.end());
    h.resize(h.size() + static_cast<std::size_t>(c.pad));
    return h;
}

TEST(Hostile, DatagramsThroughTheManagerLeaveTheSessionWorking) {
    Session s(0);
    s.a.Object()->m_pos[1] = 3.0f; // A's own state, which no record from B may touch
    CNetBuf out(s.b.m_driver, &s.to_a->m_out.m_addr);
    // A talks and B moves; B's packets carry its own position and the acknowledgements.
    auto frame = [&s]() {
        s.to_a->Own()->m_pos[0] += 1.0f;
        return s.Talk(true, false);
    };
    for (int f = 0; f < 10; ++f)
        ASSERT_EQ(frame(), 0);

    // B's packet from the last frame waits in A's one-datagram mailbox: A takes it in before
    // each hostile datagram arrives, and takes B's next one in right after B's frame.
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(s.a.Read(), 1);
        const Bytes body = Body(s, c);
        out.SetChannel(0);
        out.Write(body.data(), static_cast<int>(body.size()));
        ASSERT_EQ(out.Send(), static_cast<int>(body.size()) + 1);
        const int read = s.a.Read();
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(frame(), 0);
        EXPECT_EQ(s.a.Read(), 1);
        EXPECT_EQ(s.to_b->m_read_seq, s.to_a->m_write_seq - 1);
        EXPECT_EQ(s.to_b->Own()->m_pos[0], s.to_a->Own()->m_pos[0]);
    }
    for (int f = 0; f < 20; ++f) // quiet at the end, so the last line is acknowledged
        ASSERT_EQ(f < 15 ? frame() : s.Talk(false, false), 0);
    EXPECT_GT(s.ab.said, 25);
    s.ab.ExpectWhole(s.a.Chat());
    EXPECT_EQ(s.a.Object()->m_pos[1], 3.0f);
}

} // namespace
