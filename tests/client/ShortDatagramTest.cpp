// A datagram is decoded from its own bytes only: a short one after a long one must not be read
// on into what the long one left in the shared receive buffer.
#include "ClientFixture.h"

using namespace client_test;

TEST_F(ClientTest, TruncatedDatagramIsRefusedNotDecodedFromLeftoverBytes) {
    State* u = Port(1, new State);
    sockaddr_in to_client{};
    to_client.sin_family = kNetFamilyLocal;
    to_client.sin_port = 1;
    const auto send_datagram = [&](Bytes body) {
        body.insert(body.begin(), 0); // channel 0
        return peer->SendTo(static_cast<int>(body.size()), body.data(), &to_client);
    };
    ASSERT_EQ(send_datagram(Packet(1, 0, 0, {1, 0x00, 0x07})), 0);
    ASSERT_EQ(mgr.Read(), 1);
    ASSERT_EQ(u->reads, 1);

    // Packet 2 stops after its header: no record, no terminator. The buffer still holds packet
    // 1's state record and terminator at the very positions that would follow.
    Bytes header = Packet(2, 0x010101, 0); // acknowledges nothing ever sent: ignored
    header.pop_back();
    ASSERT_EQ(send_datagram(header), 0);
    EXPECT_EQ(mgr.Read(), -1);
    EXPECT_EQ(u->reads, 1);
    EXPECT_EQ(mgr.m_buf->m_read_limit, static_cast<int>(header.size()));

    // Every kind of read stops at the received end; a full-size datagram reads to the last byte.
    CNetBuf* buf = mgr.m_buf;
    buf->SetReadingPos(static_cast<int>(header.size()) - 1, 0);
    unsigned char b = 0;
    std::uint32_t dw = 0;
    char text[CNetBuf::kMaxDatagram];
    EXPECT_EQ((Ints{buf->ReadByte(&b), buf->ReadByte(&b), buf->Read(&b, 1)}), (Ints{1, -1, -1}));
    buf->SetReadingPos(static_cast<int>(header.size()) - 2, 0);
    EXPECT_EQ((Ints{buf->ReadDword(&dw), buf->ReadString(text)}), (Ints{-1, 2}));
    ASSERT_EQ(send_datagram(Bytes(CNetBuf::kMaxPayload, 0x41)), 0);
    ASSERT_EQ(buf->Recv(), CNetBuf::kMaxDatagram);
    buf->SetReadingPos(CNetBuf::kMaxPayload - 1, 0);
    EXPECT_EQ((Ints{buf->ReadByte(&b), b, buf->ReadByte(&b)}), (Ints{1, 0x41, -1}));
    // Nothing waiting leaves nothing readable.
    EXPECT_EQ((Ints{buf->Recv(), buf->ReadByte(&b)}), (Ints{0, -1}));
}
