// Hostile datagrams through a whole manager, sent from the peer's own address between its
// valid packets. They land in the shared receive buffer behind earlier, longer datagrams,
// which the reader may walk into; the asan build watches every byte it touches.
#include <gtest/gtest.h>

#include <vector>

#include "LoopbackSession.h"

using namespace integration;

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kAny = 99; // the result depends on what earlier datagrams left in the buffer

// The header B would send next (B then skips that number, so its own next packet is newer):
// B's acknowledgement and read toggle, and with `reliable` a write toggle that is new to A
// (`fresh`, so the blocks are read) or one A has seen (so they are stepped over).
Bytes NextHeader(Session& s, bool reliable = false, bool fresh = false) {
    CNetClient& b = *s.to_a;
    const int seq = b.m_write_seq++;
    const int toggle = s.to_b->m_read_toggle ^ (fresh ? 1 : 0);
    int bits = (seq % 8) << 4 | b.m_read_toggle << 2;
    if (reliable) bits |= 1 | toggle << 1;
    const auto byte = [](int v, int shift) { return static_cast<unsigned char>(v >> shift); };
    return {byte(bits, 0),         byte(seq, 0),          byte(seq, 8),          byte(seq, 16),
            byte(b.m_read_seq, 0), byte(b.m_read_seq, 8), byte(b.m_read_seq, 16)};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Block(int len, bool last) {
    Bytes b = {static_cast<unsigned char>(len),
               static_cast<unsigned char>(len >> 8 | (last ? 0x80 : 0))};
    return b + Bytes(static_cast<std::size_t>(len), 'x');
}

struct Case {
    const char* what;
    int read; // A's Read
    Bytes (*body)(Session&);
};

const Case kCases[] = {
    {"channel byte only", kAny, [](Session&) { return Bytes{}; }},
    {"header cut after one byte", kAny, [](Session& s) { return Bytes{NextHeader(s)[0]}; }},
    {"header cut in the acknowledgement", kAny,
     [](Session& s) {
         Bytes h = NextHeader(s);
         return Bytes(h.begin(), h.begin() + 5);
     }},
    {"check bits that disagree", 1,
     [](Session& s) {
         Bytes h = NextHeader(s);
         h[0] ^= 0x10;
         return h + Bytes{0xFF};
     }},
    {"sequence 2^24 - 1 with the check bits of another", 1,
     [](Session& s) {
         Bytes h = NextHeader(s);
         h[0] = static_cast<unsigned char>((h[0] & 0x0F) | 0x60);
         h[1] = h[2] = h[3] = 0xFF;
         return h + Bytes{0xFF};
     }},
    {"port beyond the port count", -1,
     [](Session& s) {
         return NextHeader(s) + Bytes{200, 0x00, 0xFF};
     }},
    {"port whose reading is off", -1,
     [](Session& s) {
         return NextHeader(s) + Bytes{kPositionPort, 0x00, 7} + Bytes(12, 0);
     }},
    {"base slot beyond the history", -1,
     [](Session& s) {
         return NextHeader(s) + Bytes{kOwnPort, (kHistory + 8) << 2 | 1, 1, 0, 0, 0, 0, 0xFF};
     }},
    {"block longer than the datagram", -1,
     [](Session& s) {
         return NextHeader(s, true, true) + Bytes{kChatPort, 0xFF, 0x7F};
     }},
    {"repeated block longer than the datagram", -1,
     [](Session& s) {
         return NextHeader(s, true, false) + Bytes{kChatPort, 0xFF, 0x7F};
     }},
    {"message of 800 bytes", -1,
     [](Session& s) { return NextHeader(s, true, true) + Bytes{kChatPort} + Block(800, true); }},
    {"records up to the end of the area, no terminator", -1,
     [](Session& s) {
         return NextHeader(s, true, false) + Bytes{kChatPort} +
                Block(CNetBuf::kMaxPayload - 7 - 3, true);
     }},
    {"instant message filling the datagram", 1,
     [](Session&) { return Bytes{0x80} + Bytes(CNetBuf::kMaxPayload - 1, 'i'); }},
};

TEST(Hostile, DatagramsThroughTheManagerLeaveTheSessionWorking) {
    Session s(0);
    ChatLine ab{"a"};
    const sockaddr_in to_a = LocalAddr(1);
    CNetBuf out(s.b.m_driver, &to_a);
    // A talks and B moves; B's packets carry its own position and the acknowledgements.
    auto frame = [&s, &ab]() {
        s.to_a->Own()->m_pos[0] += 1.0f;
        ab.Speak(s.a.Object<CChatStream>(kChatPort));
        const int failed = s.Tick();
        ab.Hear(s.b.Object<CChatStream>(kChatPort));
        return failed;
    };
    for (int f = 0; f < 10; ++f)
        ASSERT_EQ(frame(), 0);

    // B's packet from the last frame waits in A's one-datagram mailbox: A takes it in before
    // each hostile datagram arrives, and takes B's next one in right after B's frame.
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(s.a.Read(), 1);
        const Bytes body = c.body(s);
        out.SetChannel(0);
        if (!body.empty()) {
            ASSERT_EQ(out.Write(body.data(), static_cast<int>(body.size())),
                      static_cast<int>(body.size()));
        }
        ASSERT_GT(out.Send(), 0);
        const int read = s.a.Read();
        if (c.read != kAny) {
            EXPECT_EQ(read, c.read);
        }
        EXPECT_EQ(frame(), 0);
        EXPECT_EQ(s.a.Read(), 1);
        EXPECT_EQ(s.to_b->m_read_seq, s.to_a->m_write_seq - 1);
        EXPECT_EQ(s.to_b->Own()->m_pos[0], s.to_a->Own()->m_pos[0]);
    }

    // A datagram longer than the receive buffer stays in the mailbox, failing every reading
    // pass, until B's next packet takes its place.
    const unsigned char big[CNetBuf::kDataSize + 200] = {};
    ASSERT_EQ(
        s.b.m_driver->SendTo(sizeof big, const_cast<unsigned char*>(big), &s.to_a->m_out.m_addr),
        0);
    EXPECT_EQ(s.a.Read(), -1);
    EXPECT_EQ(frame(), 1);
    EXPECT_EQ(s.a.Read(), 1);
    EXPECT_EQ(s.to_b->m_read_seq, s.to_a->m_write_seq - 1);

    for (int f = 0; f < 20; ++f)
        ASSERT_EQ(frame(), 0);
    EXPECT_GT(ab.said, 30);
    EXPECT_EQ(ab.heard, ab.said);
    EXPECT_EQ(ab.wrong, 0);
    EXPECT_EQ(s.to_b->m_read_toggle & ~1, 0);
    EXPECT_EQ(s.to_b->m_num_pending & ~1, 0);
}

} // namespace
