#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "portnet/CNetBuf.h"
#include "portnet/CNetReliable.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Records what the hooks saw, and lets a test pick their results.
struct Stream : CNetReliable {
    int written = 0, read = 0, write_result = 0, seen_len = -1, text_result = -1, pos_after = -1;
    std::string text;
    int WritingCompleted() override { return ++written, write_result; }
    int ReadingCompleted() override {
        ++read;
        seen_len = m_read_buf.m_len;
        char dest[801];
        text_result = ReadString(dest);
        text = dest;
        pos_after = m_read_buf.m_pos;
        return 42;
    }
};

Bytes Written(const CNetBuf& buf) {
    return Bytes(buf.m_data + 1, buf.m_data + 1 + buf.m_write_pos);
}

// Places raw bytes at payload position `at` and reads from there.
void Load(CNetBuf& buf, const Bytes& bytes, int at = 0) {
    std::memcpy(buf.m_data + 1 + at, bytes.data(), bytes.size());
    buf.m_read_pos = at;
}

TEST(ReliableWrite, BlockIsRepeatedUntilAcknowledged) {
    Stream s;
    CNetBuf buf(nullptr, nullptr);
    EXPECT_EQ(s.Write(&buf, 100, nullptr), 0);
    EXPECT_EQ(s.Begin(), 1);
    ASSERT_EQ(s.WriteInt(5), 4);
    const Bytes block{0x04, 0x80, 0x05, 0x00, 0x00, 0x00};
    for (int i = 0; i < 2; ++i) {
        buf.m_write_pos = 0;
        EXPECT_EQ(s.Write(&buf, 100, nullptr), 6);
        EXPECT_EQ(Written(buf), block);
        EXPECT_EQ(s.m_write_index, 1);
    }
    EXPECT_EQ(s.WriteSucceeded(), 1);
    EXPECT_EQ(s.written, 1);
    EXPECT_EQ(s.m_write_bufs[0].m_len, 0);
    EXPECT_EQ(s.m_send_index, 1);
    EXPECT_EQ(s.Write(&buf, 100, nullptr), 0);
}

TEST(ReliableWrite, BlockThatDoesNotFitLeavesNoBytes) {
    Stream s;
    CNetBuf buf(nullptr, nullptr);
    s.WriteInt(5);
    EXPECT_EQ(s.Write(&buf, 5, nullptr), 1000);
    EXPECT_EQ(buf.m_write_pos, 0);
    EXPECT_EQ(s.m_write_index, 0); // not sent, so not closed
    buf.m_write_pos = 995;         // room granted, but the datagram holds 3 more bytes
    EXPECT_EQ(s.Write(&buf, 100, nullptr), 1000);
    EXPECT_EQ(buf.m_write_pos, 995);
}

TEST(ReliableWrite, AcknowledgementWithNothingInFlightIsIgnored) {
    Stream s;
    CNetBuf buf(nullptr, nullptr);
    s.WriteInt(1);
    ASSERT_EQ(s.Write(&buf, 5, nullptr), 1000); // chunk sized, never sent
    EXPECT_EQ(s.WriteSucceeded(), 1);
    EXPECT_EQ(s.written, 0);
    EXPECT_EQ(s.m_write_bufs[0].m_len, 4);
    s.Write(&buf, 100, nullptr);
    EXPECT_EQ(s.WriteSucceeded(), 1);
    EXPECT_EQ(s.WriteSucceeded(), 1); // the same datagram reported twice
    EXPECT_EQ(s.written, 1);
    EXPECT_EQ(s.m_send_index, 1);

    s.write_result = -1; // a failing hook still frees the message
    s.WriteByte(1);
    s.Write(&buf, 100, nullptr);
    EXPECT_EQ(s.WriteSucceeded(), -1);
    EXPECT_EQ(s.m_send_index, 2);
}

TEST(ReliableWrite, TenMessagesQueueAndAreDeliveredInOrder) {
    Stream s;
    CNetBuf buf(nullptr, nullptr);
    for (int i = 0; i < 10; ++i)
        s.WriteByte(static_cast<unsigned char>(i)), s.Begin();
    EXPECT_EQ(s.Begin(), -1);
    EXPECT_EQ(s.m_write_index, 9);
    s.WriteByte(0xEE); // extends the open message, never a queued one
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(s.m_write_bufs[i].m_len, 1);
    EXPECT_EQ(s.Write(&buf, 100, nullptr), -1); // closing message 0 finds the ring full

    s.Created();
    for (int i = 0; i < 9; ++i)
        s.WriteByte(static_cast<unsigned char>(i)), s.Begin();
    for (int i = 0; i < 9; ++i) {
        buf.m_write_pos = 0;
        ASSERT_EQ(s.Write(&buf, 100, nullptr), 3);
        EXPECT_EQ(buf.m_data[3], i);
        ASSERT_EQ(s.WriteSucceeded(), 1);
    }
    EXPECT_EQ(s.written, 9);
}

TEST(ReliableWrite, AppendPastTheMessageAreaIsRefused) {
    Stream s;
    Bytes bytes(799, 0x5A);
    ASSERT_EQ(s.Write(bytes.data(), 799), 799);
    EXPECT_EQ(s.WriteInt(1), -1);
    EXPECT_EQ(s.WriteString("x"), -1);
    EXPECT_EQ(s.WriteByte(7), 1);
    EXPECT_EQ(s.WriteByte(8), -1);
    EXPECT_EQ(s.m_write_bufs[0].m_len, 800);

    s.GetWriteBuf()->m_len = 5000; // filled by hand beyond the area
    EXPECT_EQ(s.WriteByte(1), -1);
    CNetBuf buf(nullptr, nullptr);
    EXPECT_EQ(s.Write(&buf, 1000, nullptr), 802);
}

TEST(ReliableRead, ChunksAreGatheredIntoOneMessage) {
    Stream s;
    CNetBuf buf(nullptr, nullptr);
    Load(buf, {0x03, 0x00, 'A', 'B', 'C', 0x02, 0x80, 'D', 0x00});
    EXPECT_EQ(s.Read(&buf, nullptr), 3);
    EXPECT_EQ(s.m_read_buf.m_len, 3);
    EXPECT_EQ(s.Read(&buf, nullptr), 42);
    EXPECT_EQ(s.seen_len, 5);
    EXPECT_EQ(s.text, "ABCD");
    EXPECT_EQ(s.text_result, 4);
    EXPECT_EQ(s.pos_after, 5);
    EXPECT_EQ(s.m_read_buf.m_pos, 0);
    EXPECT_EQ(s.m_read_buf.m_len, 0);
}

TEST(ReliableRead, HostileBlocksLeaveTheMessageAlone) {
    Stream s;
    CNetBuf buf(nullptr, nullptr);
    Load(buf, {0x90, 0x01}); // 400 bytes, not last
    ASSERT_EQ(s.Read(&buf, nullptr), 400);
    Load(buf, {0x90, 0x81}); // 400 more would make 800
    EXPECT_EQ(s.Read(&buf, nullptr), -1);
    Load(buf, {0xF1, 0x01}, 500); // 497 claimed, 496 remain
    EXPECT_EQ(s.Read(&buf, nullptr), -1);
    Load(buf, {0xF1, 0x83}, 500); // more than the whole datagram
    EXPECT_EQ(s.Read(&buf, nullptr), -1);
    buf.m_read_pos = 997; // the header itself runs off the payload
    EXPECT_EQ(s.Read(&buf, nullptr), -1);
    EXPECT_EQ(s.m_read_buf.m_len, 400);
    Load(buf, {0x8F, 0x81}); // 399 more makes 799
    EXPECT_EQ(s.Read(&buf, nullptr), 42);
    EXPECT_EQ(s.seen_len, 799);
}

TEST(ReliableRead, SkipStaysInsideTheDatagram) {
    Stream s;
    CNetBuf buf(nullptr, nullptr);
    Load(buf, {0x05, 0x80});
    EXPECT_EQ(s.Skip(&buf), 7);
    EXPECT_EQ(buf.m_read_pos, 7);
    Load(buf, {0x07, 0x80}, 990); // 7 claimed, 6 remain
    EXPECT_EQ(s.Skip(&buf), -1);
    Load(buf, {0x06, 0x80}, 990);
    EXPECT_EQ(s.Skip(&buf), 8);
    EXPECT_EQ(buf.m_read_pos, 998);
    EXPECT_EQ(s.m_read_buf.m_len, 0);
}

TEST(ReliableRead, TypedReadsStayInsideTheArea) {
    Stream s;
    char dest[801];
    s.m_read_buf.m_pos = 796;
    EXPECT_EQ(s.Read(dest, 4), -1);
    EXPECT_EQ(s.m_read_buf.m_pos, 796);
    s.m_read_buf.m_pos = 795;
    EXPECT_EQ(s.Read(dest, 4), 4);
    std::memset(s.m_read_buf.m_buf, 'z', sizeof s.m_read_buf.m_buf);
    s.m_read_buf.m_pos = 798;
    EXPECT_EQ(s.ReadString(dest), 2); // no terminator before the end of the area
    EXPECT_STREQ(dest, "zz");
    EXPECT_EQ(s.m_read_buf.m_pos, 801);
}

// Every typed append travels through a block and comes back as the same value.
TEST(ReliableRoundTrip, TypedValuesSurviveTheBlock) {
    struct Reader : CNetReliable {
        unsigned char b = 0;
        char c = 0, text[801] = {}, empty[801] = {'x'};
        unsigned short w = 0;
        short sh = 0;
        int i = 0;
        std::uint32_t d = 0;
        float f = 0;
        int ReadingCompleted() override {
            ReadByte(&b), ReadChar(&c), ReadWord(&w), ReadShort(&sh);
            ReadInt(&i), ReadDword(&d), ReadFloat(&f), ReadString(text);
            return ReadString(empty) == 0 ? 1 : -1;
        }
    };
    CNetReliable out;
    out.WriteByte(0xAB), out.WriteChar('q'), out.WriteWord(0x1234), out.WriteShort(-2);
    out.WriteInt(-100000), out.WriteDword(0xDEADBEEF), out.WriteFloat(1.5f);
    out.WriteString("net");
    EXPECT_EQ(out.WriteString(""), 1);
    CNetBuf buf(nullptr, nullptr);
    ASSERT_EQ(out.Write(&buf, 998, nullptr), 2 + 1 + 1 + 2 + 2 + 4 + 4 + 4 + 4 + 1);
    EXPECT_EQ(Bytes(buf.m_data + 5, buf.m_data + 7), Bytes({0x34, 0x12}));
    EXPECT_EQ(Bytes(buf.m_data + 17, buf.m_data + 21), Bytes({0x00, 0x00, 0xC0, 0x3F}));

    Reader in;
    EXPECT_EQ(in.Read(&buf, nullptr), 1);
    EXPECT_EQ(in.b, 0xAB);
    EXPECT_EQ(in.c, 'q');
    EXPECT_EQ(in.w, 0x1234);
    EXPECT_EQ(in.sh, -2);
    EXPECT_EQ(in.i, -100000);
    EXPECT_EQ(in.d, 0xDEADBEEFu);
    EXPECT_EQ(in.f, 1.5f);
    EXPECT_STREQ(in.text, "net");
}

} // namespace
