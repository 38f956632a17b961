#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "portnet/CNetBuf.h"
#include "portnet/CNetDataHistory.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetReliable.h"
#include "portnet/CNetUnreliable.h"

namespace {

// A host state class that counts its lives, so a leak or a double delete shows in the balance.
struct Counted : CNetUnreliable {
    static int made, gone;
    Counted() { ++made; }
    Counted(const Counted& o) : CNetUnreliable(o) { ++made; }
    ~Counted() override { ++gone; }
    CNetData* Clone() override { return new Counted(*this); }
};
int Counted::made = 0;
int Counted::gone = 0;

using Bytes = std::vector<unsigned char>;
using Ints = std::vector<int>;

TEST(DataRef, HashSlotAnswersOnlyItsLastKey) {
    CNetDataRef ref;
    EXPECT_EQ(ref.GetHash(0), -1);
    ref.SetHash(7, 61);
    EXPECT_EQ((Ints{ref.GetHash(61), ref.GetHash(1)}), (Ints{7, -1})); // 1: same slot, other key
    ref.SetHash(9, 1);
    EXPECT_EQ(ref.GetHash(61), -1);
    ref.InvalidateHash(1);
    EXPECT_EQ(ref.GetHash(1), -1);
}

// Copies of histories and ports are views: only the original deletes, and each object once.
TEST(DataOwnership, EveryObjectIsDeletedExactlyOnce) {
    Counted::made = Counted::gone = 0;
    {
        CNetDataHistory h(4, new Counted, 12);
        EXPECT_EQ((Ints{Counted::made, Counted::gone}), (Ints{5, 1})); // the prototype went
        EXPECT_EQ(std::set<CNetUnreliable*>(h.m_entries, h.m_entries + 4).size(), 4u);
        EXPECT_EQ(h.m_entries[3]->m_port_id, 12);
        CNetDataHistory copy(h);
        EXPECT_EQ(copy.m_entries, h.m_entries);
        CNetDataHistory other(2, new Counted, 1);
        other = copy; // frees what `other` owned and becomes a view
        CNetDataHistory view(h);
        h = view; // a view assigned back leaves the owner owning

        Counted host_entry;
        CNetDataHistory bare(4, nullptr, 3);
        EXPECT_EQ(bare.m_entries[3], nullptr);
        bare.m_entries[0] = &host_entry; // placed by the host, stays the host's

        CNetDataPort port;
        port.m_object = new Counted;
        port.m_reading_history = new CNetDataHistory(2, new Counted, 0);
        port.m_writing_history = new CNetDataHistory(2, new Counted, 0);
        CNetDataPort port_copy(port);
        CNetDataPort replaced;
        replaced.m_object = new Counted;
        // One history attached on both sides.
        replaced.m_reading_history = replaced.m_writing_history =
            new CNetDataHistory(3, new Counted, 0);
        replaced = port_copy; // frees what `replaced` owned
        CNetDataPort port_view(port);
        port = port_view;
    }
    EXPECT_EQ(Counted::made, Counted::gone);
}

TEST(DataHistory, LinksCloseCyclesAndIgnoreIndicesOutsideTheArray) {
    const CNetDataHistory none(0, nullptr, 0), many(300, nullptr, 0);
    EXPECT_EQ((Ints{none.m_size, many.m_size}), (Ints{1, 255}));
    CNetDataHistory h(8, nullptr, 0);
    h.SetLink(3);
    EXPECT_EQ(h.GetLink(3), 255);
    h.SetLink(5);
    h.SetLink(3);
    EXPECT_EQ((Ints{h.m_newest, h.GetLink(3), h.GetLink(5)}), (Ints{3, 5, 3})); // 3 -> 5 -> 3
    h.InitLink();
    h.SetLink(8);
    EXPECT_EQ(h.m_newest, 255);
    h.SetLink(1);
    h.FixLink(9, 0);
    h.FixLink(1, 8); // would lead the chain outside the entries
    EXPECT_EQ((Ints{h.GetLink(1), h.GetLink(200)}), (Ints{255, 255}));
}

// Records what the hooks saw, and lets a test pick their results.
struct Stream : CNetReliable {
    int written = 0, write_result = 0, seen_len = -1, text_result = -1;
    std::string text;
    CNetBuf buf{nullptr, nullptr};
    int WritingCompleted() override { return ++written, write_result; }
    int ReadingCompleted() override {
        seen_len = m_read_buf.m_len;
        char dest[801];
        text_result = ReadString(dest);
        text = dest;
        return 42;
    }
    // Sends from an empty datagram with the given room.
    int Send(int room) {
        buf.m_write_pos = 0;
        return Write(&buf, room, nullptr);
    }
    // Reads (or skips) a block of raw bytes placed at payload position `at`.
    int Receive(const Bytes& bytes, int at = 0, bool skip = false) {
        std::copy(bytes.begin(), bytes.end(), buf.m_data + 1 + at);
        buf.m_read_pos = at;
        return skip ? Skip(&buf) : Read(&buf, nullptr);
    }
};

TEST(ReliableWrite, BlockIsRepeatedUntilAcknowledgedThenFreedOnce) {
    Stream s;
    EXPECT_EQ((Ints{s.WriteSucceeded(), s.written, s.Send(100)}), (Ints{1, 0, 0})); // idle
    EXPECT_EQ(s.Begin(), 1);
    ASSERT_EQ(s.WriteInt(5), 4);
    EXPECT_EQ(s.Send(5), 1000); // does not fit: no bytes, and not closed
    EXPECT_EQ(s.buf.m_write_pos + s.m_write_index, 0);
    EXPECT_EQ((Ints{s.WriteSucceeded(), s.m_write_bufs[0].m_len}), (Ints{1, 4})); // never sent
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(s.Send(100), 6);
        EXPECT_EQ(Bytes(s.buf.m_data + 1, s.buf.m_data + 7), Bytes({4, 0x80, 5, 0, 0, 0}));
        EXPECT_EQ(s.m_write_index, 1);
    }
    // The same datagram reported twice; then nothing is left to send.
    EXPECT_EQ(
        (Ints{s.WriteSucceeded(), s.WriteSucceeded(), s.written, s.m_send_index, s.Send(100)}),
        (Ints{1, 1, 1, 1, 0}));

    s.write_result = -1; // a failing hook still frees the message
    s.WriteInt(1);
    s.buf.m_write_pos = 995; // room granted, but the datagram holds 3 more bytes
    EXPECT_EQ((Ints{s.Write(&s.buf, 100, nullptr), s.buf.m_write_pos, s.Send(100),
                    s.WriteSucceeded(), s.m_send_index}),
              (Ints{1000, 995, 6, -1, 2}));
}

TEST(ReliableWrite, TenMessagesQueueAndAreDeliveredInOrder) {
    Stream s;
    for (int i = 0; i < 10; ++i)
        s.WriteByte(static_cast<unsigned char>(i)), s.Begin();
    EXPECT_EQ((Ints{s.Begin(), s.m_write_index}), (Ints{-1, 9}));
    s.WriteByte(0xEE); // extends the open message, never a queued one
    EXPECT_EQ(s.m_write_bufs[8].m_len, 1);
    EXPECT_EQ(s.Send(100), -1); // closing message 0 finds the ring full

    s.Created();
    for (int i = 0; i < 9; ++i)
        s.WriteByte(static_cast<unsigned char>(i)), s.Begin();
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(s.Send(100), 3);
        EXPECT_EQ(s.buf.m_data[3], i);
        ASSERT_EQ(s.WriteSucceeded(), 1);
    }
    EXPECT_EQ(s.written, 9);
}

TEST(ReliableWrite, AppendPastTheMessageAreaIsRefused) {
    Stream s;
    const Bytes bytes(799, 0x5A);
    ASSERT_EQ(s.Write(bytes.data(), 799), 799);
    EXPECT_EQ((Ints{s.WriteInt(1), s.WriteString("x"), s.WriteByte(7), s.WriteByte(8),
                    s.m_write_bufs[0].m_len}),
              (Ints{-1, -1, 1, -1, 800}));
    s.GetWriteBuf()->m_len = 5000; // filled by hand beyond the area
    EXPECT_EQ(s.WriteByte(1), -1);
    EXPECT_EQ(s.Send(1000), 802);
}

// Chunks gather into one message; hostile blocks are refused and leave it alone.
TEST(ReliableRead, ChunksAreGatheredAndHostileBlocksRefused) {
    Stream s;
    EXPECT_EQ(s.Receive({0x03, 0x00, 'A', 'B', 'C', 0x02, 0x80, 'D', 0x00}), 3);
    EXPECT_EQ((Ints{s.m_read_buf.m_len, s.Read(&s.buf, nullptr)}), (Ints{3, 42}));
    EXPECT_EQ((Ints{s.seen_len, s.text_result, s.m_read_buf.m_len}), (Ints{5, 4, 0}));
    EXPECT_EQ(s.text, "ABCD");
    ASSERT_EQ(s.Receive({0x90, 0x01}), 400);     // 400 bytes, not last
    EXPECT_EQ(s.Receive({0x90, 0x81}), -1);      // 400 more would make 800
    EXPECT_EQ(s.Receive({0xF1, 0x01}, 500), -1); // 497 claimed, 496 remain
    EXPECT_EQ(s.Receive({0xF1, 0x83}, 500), -1); // more than the whole datagram
    EXPECT_EQ(s.Receive({}, 997), -1);           // the header itself runs off the payload
    // None of them touched the 400 bytes; 399 more make 799.
    EXPECT_EQ((Ints{s.m_read_buf.m_len, s.Receive({0x8F, 0x81}), s.seen_len}),
              (Ints{400, 42, 799}));
    // Skipping stays inside the datagram too: 7 claimed where 6 remain.
    EXPECT_EQ((Ints{s.Receive({0x05, 0x80}, 0, true), s.buf.m_read_pos}), (Ints{7, 7}));
    EXPECT_EQ(s.Receive({0x07, 0x80}, 990, true), -1);
    EXPECT_EQ((Ints{s.Receive({0x06, 0x80}, 990, true), s.buf.m_read_pos, s.m_read_buf.m_len}),
              (Ints{8, 998, 0}));
}

// Typed values are little-endian, come back the same, and typed reads stop at the area's end.
TEST(ReliableRoundTrip, TypedValuesSurviveTheMessage) {
    Stream s;
    s.WriteWord(0x1234), s.WriteShort(-2), s.WriteInt(-100000), s.WriteFloat(1.5f);
    s.WriteString("net");
    const unsigned char* m = s.m_write_bufs[0].m_buf;
    EXPECT_EQ(Bytes(m, m + 4), Bytes({0x34, 0x12, 0xFE, 0xFF}));
    EXPECT_EQ(Bytes(m + 8, m + 12), Bytes({0, 0, 0xC0, 0x3F}));
    std::memcpy(s.m_read_buf.m_buf, m, sizeof s.m_read_buf.m_buf);
    unsigned short w = 0;
    short sh = 0;
    int i = 0;
    float f = 0;
    char text[801] = {};
    s.ReadWord(&w), s.ReadShort(&sh), s.ReadInt(&i), s.ReadFloat(&f), s.ReadString(text);
    EXPECT_TRUE(w == 0x1234 && sh == -2 && i == -100000 && f == 1.5f);
    EXPECT_STREQ(text, "net");

    s.m_read_buf.m_pos = 796;
    EXPECT_EQ((Ints{s.Read(text, 4), s.m_read_buf.m_pos}), (Ints{-1, 796}));
    s.m_read_buf.m_pos = 795;
    EXPECT_EQ(s.Read(text, 4), 4);
    std::memset(s.m_read_buf.m_buf, 'z', sizeof s.m_read_buf.m_buf);
    s.m_read_buf.m_pos = 798; // no terminator before the end of the area
    EXPECT_EQ((Ints{s.ReadString(text), s.m_read_buf.m_pos}), (Ints{2, 801}));
    EXPECT_STREQ(text, "zz");
}

} // namespace
