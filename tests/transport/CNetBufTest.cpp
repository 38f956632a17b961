#include "TransportFixture.h"

#include <climits>
#include <tuple>

#include "portnet/CNetBuf.h"
#include "portnet/CNetUDP.h"

namespace {

// A driver that never opens a socket: keeps what the buffer hands over and answers with a
// preset result.
class FakeDriver : public CNetUDP {
public:
    FakeDriver() : CNetUDP(0) {}
    int SendTo(int len, void* data, sockaddr_in*) override {
        sent.assign(static_cast<char*>(data), static_cast<std::size_t>(len));
        return ++sends, result;
    }
    int Broadcast(int len, void* data, sockaddr_in* to) override { return SendTo(len, data, to); }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        capacity = *len;
        *len = static_cast<int>(incoming.size());
        std::memcpy(buf, incoming.data(), incoming.size());
        from->sin_port = 77;
        return result;
    }
    int result = 0, sends = 0, capacity = 0;
    std::string sent, incoming;
};

class CNetBufTest : public ::testing::Test {
protected:
    FakeDriver driver;
    CNetBuf buf{&driver, nullptr};
};

} // namespace

TEST_F(CNetBufTest, FieldsAreLittleEndianAndReadBack) {
    EXPECT_EQ((Ints{buf.WriteWord(0x1234), buf.WriteFloat(1.0f), buf.WriteInt(-2),
                    buf.WriteShort(-3), buf.WriteDword(0x89ABCDEFu), buf.WriteChar('z')}),
              (Ints{2, 4, 4, 2, 4, 1}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.m_data + 1), buf.m_write_pos),
              std::string("\x34\x12\0\0\x80\x3F\xFE\xFF\xFF\xFF\xFD\xFF\xEF\xCD\xAB\x89z", 17));
    std::tuple<unsigned short, float, int, short, std::uint32_t, char> v;
    EXPECT_EQ((Ints{buf.ReadWord(&std::get<0>(v)), buf.ReadFloag(&std::get<1>(v)),
                    buf.ReadInt(&std::get<2>(v)), buf.ReadShort(&std::get<3>(v)),
                    buf.ReadDword(&std::get<4>(v)), buf.ReadChar(&std::get<5>(v))}),
              (Ints{2, 4, 4, 2, 4, 1}));
    EXPECT_EQ(v, std::make_tuple(std::uint16_t{0x1234}, 1.0f, -2, short{-3}, 0x89ABCDEFu, 'z'));
}

TEST_F(CNetBufTest, RejectsWhatDoesNotFitTheArea) {
    char big[999] = {};
    int v = 0;
    EXPECT_EQ((Ints{buf.Write(big, 999), buf.Write(big, -1), buf.Read(big, -1), buf.Write(big, 998),
                    buf.WriteByte(1), buf.m_write_pos}),
              (Ints{-1, -1, -1, 998, -1, 998})); // the payload holds exactly 998 bytes
    std::memset(big, 'x', 998);
    EXPECT_EQ(buf.WriteString(big), -1); // 998 characters and their zero
    // 2 bytes left: a 4-byte field does not fit and the position stays.
    EXPECT_EQ((Ints{buf.SetReadingPos(-4, 0), buf.ReadInt(&v), buf.SetReadingPos(996, 0),
                    buf.ReadInt(&v), buf.m_read_pos}),
              (Ints{-4, -1, 996, -1, 996}));
    EXPECT_EQ((Ints{buf.SetReadingPos(5, 2), buf.SetWritingPos(10, 0), buf.SetWritingPos(3, 1),
                    buf.SetWritingPos(3, 7), buf.GetAvailable(false)}),
              (Ints{994, 10, 13, -1, 987})); // modes: absolute, relative, from the end
    EXPECT_EQ((Ints{buf.SetChannel(255), buf.SetChannel(256), buf.SetChannel(-1), buf.GetChannel(),
                    buf.m_data[0]}),
              (Ints{255, -1, -1, 255, 255}));
}

// Encoders work in the buffer itself; a span that does not fit is refused whole, whatever
// the host set the public positions and limit to (UBSan checks the arithmetic).
TEST_F(CNetBufTest, SpansLieInThePayloadAndRefuseWhatDoesNotFit) {
    unsigned char* w = buf.WriteSpan(3);
    ASSERT_EQ(w, buf.m_data + 1);
    w[0] = 7;
    EXPECT_EQ((Ints{buf.m_write_pos, buf.WriteSpan(996) == nullptr, buf.m_write_pos}),
              (Ints{3, 1, 3}));
    buf.m_read_limit = 5; // a 6-byte datagram was received
    EXPECT_EQ(buf.ReadSpan(3), buf.m_data + 1);
    EXPECT_EQ((Ints{buf.ReadSpan(3) == nullptr, buf.m_read_pos, buf.ReadSpan(2) != nullptr}),
              (Ints{1, 3, 1}));
    const int extremes[][3] = {{1, INT_MIN, 1}, {INT_MAX, 998, 1}, {-1, 998, 0}, {1, 998, INT_MAX}};
    for (const auto& e : extremes) {
        buf.m_read_pos = buf.m_write_pos = e[0];
        buf.m_read_limit = e[1];
        EXPECT_EQ((Ints{buf.ReadSpan(e[2]) == nullptr, buf.WriteSpan(e[2]) == nullptr}),
                  (Ints{1, e[1] == INT_MIN ? 0 : 1}))
            << e[0] << " " << e[1] << " " << e[2];
    }
}

TEST_F(CNetBufTest, StringReadStopsAtTheZeroOrTheAreaEnd) {
    char text[999];
    EXPECT_EQ((Ints{buf.WriteString("abc"), buf.ReadString(text), buf.m_read_pos}),
              (Ints{4, 3, 4}));
    EXPECT_STREQ(text, "abc");
    std::memset(buf.m_data + 1, 'q', 998); // no zero anywhere in the area
    buf.SetReadingPos(0, 0);
    EXPECT_EQ((Ints{buf.ReadString(text), text[998], buf.ReadString(text)}), (Ints{998, 0, 0}));
}

TEST_F(CNetBufTest, SendRewindsEvenWhenTheDriverFails) {
    buf.SetChannel(9);
    buf.WriteInt(0x04030201);
    EXPECT_EQ(buf.Send(), 5);
    EXPECT_EQ(driver.sent, "\x09\x01\x02\x03\x04");
    buf.WriteInt(1);
    driver.result = -1;
    EXPECT_EQ((Ints{buf.m_write_pos, buf.Send(), buf.m_write_pos}), (Ints{4, -1, 0}));
    buf.WriteInt(1); // a failed broadcast keeps the datagram for a retry
    EXPECT_EQ((Ints{buf.Broadcast(), buf.m_write_pos}), (Ints{-1, 4}));
    buf.SetWritingPos(5000, 0); // would make the driver read past the data area
    EXPECT_EQ((Ints{buf.Broadcast(), buf.Send(), driver.sends}), (Ints{-1, -1, 3}));
}

TEST_F(CNetBufTest, RecvSetsChannelAndPassesEventsThrough) {
    buf.SetReadingPos(7, 0);
    EXPECT_EQ((Ints{buf.Recv(), driver.capacity, buf.m_read_pos}), (Ints{0, 1000, 0}));
    driver.incoming = "\x03z";
    buf.SetReadingPos(7, 0);
    EXPECT_EQ((Ints{buf.Recv(), buf.GetChannel(), buf.m_read_pos, buf.m_addr.sin_port}),
              (Ints{2, 3, 0, 77}));
    buf.SetReadingPos(7, 0);
    driver.incoming = "\x05";
    driver.result = kNetEventDisconnect;
    EXPECT_EQ(buf.Recv(), kNetEventDisconnect);
    driver.result = -1;
    EXPECT_EQ((Ints{buf.Recv(), buf.m_read_pos, buf.GetChannel()}), (Ints{-1, 7, 3}));
}

// A datagram is read from its own bytes only: every kind of read stops at its end, never going
// on into what a longer one left behind, and a full-size one reads to its last byte.
TEST_F(CNetBufTest, ReadsStopAtTheEndOfTheReceivedDatagram) {
    unsigned char b = 0;
    std::uint32_t dw = 0;
    char text[CNetBuf::kMaxDatagram];
    driver.incoming.assign(CNetBuf::kMaxDatagram, 'A');
    ASSERT_EQ(buf.Recv(), CNetBuf::kMaxDatagram);
    buf.SetReadingPos(CNetBuf::kMaxPayload - 1, 0);
    EXPECT_EQ((Ints{buf.ReadByte(&b), b, buf.ReadByte(&b)}), (Ints{1, 'A', -1}));
    driver.incoming.assign("\0xyz", 4);
    ASSERT_EQ(buf.Recv(), 4);
    buf.SetReadingPos(2, 0);
    EXPECT_EQ((Ints{buf.ReadByte(&b), buf.ReadByte(&b), buf.Read(&b, 1)}), (Ints{1, -1, -1}));
    buf.SetReadingPos(1, 0);
    EXPECT_EQ((Ints{buf.ReadDword(&dw), buf.ReadString(text)}), (Ints{-1, 2}));
    driver.incoming.clear(); // nothing waiting leaves nothing readable
    EXPECT_EQ((Ints{buf.Recv(), buf.ReadByte(&b)}), (Ints{0, -1}));
}

TEST_F(CNetBufTest, CopiesFromItsOwnBytesAndNullWithZeroCount) {
    for (int i = 0; i < 12; ++i)
        buf.m_data[i] = static_cast<unsigned char>(i);
    // The source overlaps the destination (payload starts at m_data + 1): bytes 0..9 of
    // m_data must land at 1..10 as if copied through a temporary.
    ASSERT_EQ(buf.Write(buf.m_data, 10), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(buf.m_data[1 + i], i);
    EXPECT_EQ((Ints{buf.Write(nullptr, 0), buf.Read(nullptr, 0)}), (Ints{0, 0}));
    EXPECT_EQ(buf.m_write_pos, 10);
}
