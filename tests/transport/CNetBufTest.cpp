#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "portnet/CNetBuf.h"
#include "portnet/CNetDriver.h"

namespace {

// Records what the buffer hands over and answers with preset results.
class FakeDriver : public CNetDriver {
public:
    int SetBlockMode(bool) override { return 0; }
    int MakeBroadcastCapable() override { return 0; }
    int Init() override { return 0; }
    int Shutdown() override { return 0; }
    int Connected(sockaddr_in*) override { return 0; }
    int Disconnected(sockaddr_in*) override { return 0; }
    char* GetAddr() override { return nullptr; }
    int SendTo(int len, void* data, sockaddr_in*) override {
        ++sends;
        sent.assign(static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + len);
        return result;
    }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        capacity = *len;
        *len = static_cast<int>(incoming.size());
        if (!incoming.empty()) std::memcpy(buf, incoming.data(), incoming.size());
        from->sin_port = 77;
        return result;
    }
    int Broadcast(int len, void* data, sockaddr_in* to) override { return SendTo(len, data, to); }

    int result = 0;
    int sends = 0;
    int capacity = 0;
    std::vector<unsigned char> sent, incoming;
};

std::vector<unsigned char> Payload(const CNetBuf& b) {
    return {b.m_data + 1, b.m_data + 1 + b.m_write_pos};
}

class CNetBufTest : public ::testing::Test {
protected:
    FakeDriver driver;
    CNetBuf buf{&driver, nullptr};
};

} // namespace

TEST_F(CNetBufTest, PayloadHoldsExactly998Bytes) {
    EXPECT_EQ(buf.GetChannel(), 0);
    EXPECT_EQ(buf.GetAvailable(true), 1000);
    EXPECT_EQ(buf.GetAvailable(false), 1000);
    std::vector<unsigned char> big(999, 0x5A);
    EXPECT_EQ(buf.Write(big.data(), 999), -1);
    EXPECT_EQ(buf.m_write_pos, 0);
    EXPECT_EQ(buf.Write(big.data(), 998), 998);
    EXPECT_EQ(buf.WriteByte(1), -1);
    EXPECT_EQ(buf.m_write_pos, 998);
}

TEST_F(CNetBufTest, RejectsNegativeCountsAndPositions) {
    unsigned char b[4] = {};
    EXPECT_EQ(buf.Write(b, -1), -1);
    EXPECT_EQ(buf.Read(b, -1), -1);
    buf.SetWritingPos(-1, 0);
    EXPECT_EQ(buf.WriteByte(1), -1);
    buf.SetReadingPos(-4, 0);
    EXPECT_EQ(buf.ReadDword(reinterpret_cast<std::uint32_t*>(b)), -1);
    EXPECT_EQ(buf.m_read_pos, -4);
    buf.SetReadingPos(996, 0); // 2 bytes left: a 4-byte field does not fit
    int v = 0;
    EXPECT_EQ(buf.ReadInt(&v), -1);
    EXPECT_EQ(buf.m_read_pos, 996);
}

TEST_F(CNetBufTest, FieldsAreLittleEndianAndReadBack) {
    buf.WriteWord(0x1234);
    buf.WriteFloat(1.0f);
    buf.WriteInt(-2);
    buf.WriteShort(-3);
    buf.WriteDword(0x89ABCDEFu);
    buf.WriteChar('z');
    const std::vector<unsigned char> golden{0x34, 0x12, 0x00, 0x00, 0x80, 0x3F, 0xFE, 0xFF, 0xFF,
                                            0xFF, 0xFD, 0xFF, 0xEF, 0xCD, 0xAB, 0x89, 'z'};
    EXPECT_EQ(Payload(buf), golden);

    unsigned short w;
    float f;
    int i;
    short s;
    std::uint32_t d;
    char c;
    EXPECT_EQ(buf.ReadWord(&w), 2);
    EXPECT_EQ(buf.ReadFloag(&f), 4);
    EXPECT_EQ(buf.ReadInt(&i), 4);
    EXPECT_EQ(buf.ReadShort(&s), 2);
    EXPECT_EQ(buf.ReadDword(&d), 4);
    EXPECT_EQ(buf.ReadChar(&c), 1);
    EXPECT_EQ(w, 0x1234);
    EXPECT_EQ(f, 1.0f);
    EXPECT_EQ(i, -2);
    EXPECT_EQ(s, -3);
    EXPECT_EQ(d, 0x89ABCDEFu);
    EXPECT_EQ(c, 'z');
}

TEST_F(CNetBufTest, StringsCarryTheirZeroAndStopAtAreaEnd) {
    EXPECT_EQ(buf.WriteString("abc"), 4);
    char text[999];
    EXPECT_EQ(buf.ReadString(text), 3);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(buf.m_read_pos, 4);

    std::memset(buf.m_data + 1, 'q', 998); // no terminator anywhere in the area
    buf.SetReadingPos(0, 0);
    EXPECT_EQ(buf.ReadString(text), 998);
    EXPECT_EQ(text[998], '\0');
    EXPECT_EQ(buf.ReadString(text), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(buf.WriteString(std::string(998, 'x').c_str()), -1);
}

TEST_F(CNetBufTest, PositionModesAndChannelRange) {
    EXPECT_EQ(buf.SetReadingPos(5, 2), 994);
    buf.SetWritingPos(10, 0);
    EXPECT_EQ(buf.SetWritingPos(3, 1), 13);
    EXPECT_EQ(buf.SetWritingPos(3, 7), -1);
    EXPECT_EQ(buf.m_write_pos, 13);
    EXPECT_EQ(buf.GetAvailable(false), 987);

    EXPECT_EQ(buf.SetChannel(255), 255);
    EXPECT_EQ(buf.m_data[0], 0xFF);
    EXPECT_EQ(buf.SetChannel(256), -1);
    EXPECT_EQ(buf.SetChannel(-1), -1);
    EXPECT_EQ(buf.GetChannel(), 255);
}

TEST_F(CNetBufTest, SendRewindsEvenWhenDriverFails) {
    buf.SetChannel(9);
    for (unsigned char i = 0; i < 10; ++i)
        buf.WriteByte(i);
    EXPECT_EQ(buf.Send(), 11);
    ASSERT_EQ(driver.sent.size(), 11u);
    EXPECT_EQ(driver.sent[0], 9);
    EXPECT_EQ(driver.sent[10], 9);
    EXPECT_EQ(buf.m_write_pos, 0);

    buf.WriteInt(1);
    driver.result = -1;
    EXPECT_EQ(buf.Send(), -1);
    EXPECT_EQ(buf.m_write_pos, 0);
}

TEST_F(CNetBufTest, FailedBroadcastKeepsDatagramForRetry) {
    buf.WriteInt(1);
    driver.result = -1;
    EXPECT_EQ(buf.Broadcast(), -1);
    EXPECT_EQ(buf.m_write_pos, 4);
    driver.result = 0;
    EXPECT_EQ(buf.Broadcast(), 1);
    EXPECT_EQ(driver.sent.size(), 5u);
    EXPECT_EQ(buf.m_write_pos, 0);

    buf.SetWritingPos(5000, 0); // would make the driver read past the data area
    EXPECT_EQ(buf.Broadcast(), -1);
    EXPECT_EQ(buf.Send(), -1);
    EXPECT_EQ(driver.sends, 2);
}

TEST_F(CNetBufTest, RecvSetsChannelAndRewindsReading) {
    buf.SetReadingPos(7, 0);
    EXPECT_EQ(buf.Recv(), 0); // nothing waiting
    EXPECT_EQ(driver.capacity, 1000);
    EXPECT_EQ(buf.m_read_pos, 0);

    driver.incoming = {3};
    buf.SetReadingPos(7, 0);
    EXPECT_EQ(buf.Recv(), 1);
    EXPECT_EQ(buf.GetChannel(), 3);
    EXPECT_EQ(buf.m_read_pos, 0);
    EXPECT_EQ(buf.m_addr.sin_port, 77);
}

TEST_F(CNetBufTest, RecvPassesEventsAndFailuresThroughUntouched) {
    buf.SetChannel(4);
    buf.SetReadingPos(7, 0);
    driver.incoming = {1, 2};
    driver.result = kNetEventDisconnect;
    EXPECT_EQ(buf.Recv(), kNetEventDisconnect);
    driver.result = -1;
    EXPECT_EQ(buf.Recv(), -1);
    EXPECT_EQ(buf.m_read_pos, 7);
    EXPECT_EQ(buf.GetChannel(), 4);
}

TEST_F(CNetBufTest, CloneSharesDriverAndAddressOnly) {
    sockaddr_in to{};
    to.sin_family = kNetFamilyLocal;
    to.sin_port = 12;
    CNetBuf src(&driver, &to);
    src.SetChannel(5);
    src.WriteInt(1);
    CNetBuf* copy = src.Clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->m_driver, &driver);
    EXPECT_EQ(copy->m_addr.sin_port, 12);
    EXPECT_EQ(copy->m_write_pos, 0);
    EXPECT_EQ(copy->GetChannel(), 0);
    delete copy;
}
