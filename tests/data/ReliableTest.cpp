#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "portnet/CNetBuf.h"
#include "portnet/CNetReliable.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Ints = std::vector<int>;

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
    EXPECT_EQ(s.WriteSucceeded(), 1);
    EXPECT_EQ(s.WriteSucceeded(), 1); // the same datagram reported twice
    EXPECT_EQ((Ints{s.written, s.m_send_index, s.Send(100)}), (Ints{1, 1, 0}));

    s.write_result = -1; // a failing hook still frees the message
    s.WriteInt(1);
    s.buf.m_write_pos = 995; // room granted, but the datagram holds 3 more bytes
    EXPECT_EQ(s.Write(&s.buf, 100, nullptr), 1000);
    EXPECT_EQ(s.buf.m_write_pos, 995);
    s.Send(100);
    EXPECT_EQ(s.WriteSucceeded(), -1);
    EXPECT_EQ(s.m_send_index, 2);
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
    EXPECT_EQ(s.WriteInt(1), -1);
    EXPECT_EQ(s.WriteString("x"), -1);
    EXPECT_EQ(s.WriteByte(7), 1);
    EXPECT_EQ(s.WriteByte(8), -1);
    EXPECT_EQ(s.m_write_bufs[0].m_len, 800);
    s.GetWriteBuf()->m_len = 5000; // filled by hand beyond the area
    EXPECT_EQ(s.WriteByte(1), -1);
    EXPECT_EQ(s.Send(1000), 802);
}

TEST(ReliableRead, ChunksAreGatheredIntoOneMessage) {
    Stream s;
    EXPECT_EQ(s.Receive({0x03, 0x00, 'A', 'B', 'C', 0x02, 0x80, 'D', 0x00}), 3);
    EXPECT_EQ(s.m_read_buf.m_len, 3);
    EXPECT_EQ(s.Read(&s.buf, nullptr), 42);
    EXPECT_EQ((Ints{s.seen_len, s.text_result, s.m_read_buf.m_len}), (Ints{5, 4, 0}));
    EXPECT_EQ(s.text, "ABCD");
}

TEST(ReliableRead, HostileBlocksLeaveTheMessageAlone) {
    Stream s;
    ASSERT_EQ(s.Receive({0x90, 0x01}), 400);     // 400 bytes, not last
    EXPECT_EQ(s.Receive({0x90, 0x81}), -1);      // 400 more would make 800
    EXPECT_EQ(s.Receive({0xF1, 0x01}, 500), -1); // 497 claimed, 496 remain
    EXPECT_EQ(s.Receive({0xF1, 0x83}, 500), -1); // more than the whole datagram
    EXPECT_EQ(s.Receive({}, 997), -1);           // the header itself runs off the payload
    EXPECT_EQ(s.m_read_buf.m_len, 400);
    EXPECT_EQ(s.Receive({0x8F, 0x81}), 42); // 399 more makes 799
    EXPECT_EQ(s.seen_len, 799);

    EXPECT_EQ(s.Receive({0x05, 0x80}, 0, true), 7); // skipping stays inside the datagram too
    EXPECT_EQ(s.buf.m_read_pos, 7);
    EXPECT_EQ(s.Receive({0x07, 0x80}, 990, true), -1); // 7 claimed, 6 remain
    EXPECT_EQ(s.Receive({0x06, 0x80}, 990, true), 8);
    EXPECT_EQ(s.buf.m_read_pos, 998);
    EXPECT_EQ(s.m_read_buf.m_len, 0);
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
    EXPECT_EQ(s.Read(text, 4), -1);
    EXPECT_EQ(s.m_read_buf.m_pos, 796);
    s.m_read_buf.m_pos = 795;
    EXPECT_EQ(s.Read(text, 4), 4);
    std::memset(s.m_read_buf.m_buf, 'z', sizeof s.m_read_buf.m_buf);
    s.m_read_buf.m_pos = 798;
    EXPECT_EQ(s.ReadString(text), 2); // no terminator before the end of the area
    EXPECT_STREQ(text, "zz");
    EXPECT_EQ(s.m_read_buf.m_pos, 801);
}

} // namespace
