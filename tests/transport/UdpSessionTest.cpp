// Hostile and unlucky datagrams sent at a manager over real UDP sockets on loopback: each has
// a defined result, and the session with the known peer goes on afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

namespace {

using portnet_examples::CPositionState;
using Clock = std::chrono::steady_clock;

enum : int { kStatePort = 1, kNumPorts = 2, kHistory = 8 };

sockaddr_in BoundAddr(CNetUDP& driver) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = kNetFamilyInet;
    GetAddrFromString(driver.GetAddr(), &addr);
    return addr;
}

class CountingManager : public CNetManager {
public:
    int CreateClient(CNetBuf* buf) override {
        ++created;
        std::memcpy(&stranger, &buf->m_addr, sizeof stranger);
        return -1;
    }
    int ReadOutOfBand(CNetBuf*) override { return ++out_of_band, 0; }

    int created = 0, out_of_band = 0;
    sockaddr_in stranger{};
};

// Manager `host` on 127.0.0.1 reads port 1 from manager `peer` on 127.0.0.2.
class UdpSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(host_driver.Init(), 0);
        ASSERT_EQ(peer_driver.Init(), 0);
        host_addr = BoundAddr(host_driver);
        peer_addr = BoundAddr(peer_driver);
        to_peer = std::make_unique<CNetBuf>(&host_driver, &peer_addr);
        to_host = std::make_unique<CNetBuf>(&peer_driver, &host_addr);
        client = Join(host, host_driver, *to_peer, false);
        Join(peer, peer_driver, *to_host, true);
        ASSERT_NE(client, nullptr);
    }

    CNetClient* Join(CNetManager& m, CNetUDP& driver, CNetBuf& out, bool writer) {
        m.Init(&driver, kNumPorts);
        auto* state = new CPositionState;
        m.SetPortA(kStatePort, state);
        CNetDataHistory* h = new CNetDataHistory(kHistory, new CPositionState, kStatePort);
        (writer ? m.m_ports[kStatePort].m_writing_history
                : m.m_ports[kStatePort].m_reading_history) = h;
        m.InitPort(kStatePort, -1);
        auto* c = new CNetClient;
        c->m_own_port = new CNetDataPort;
        c->m_send_buf = &out;
        if (m.AddClient(c, -1) == -1) {
            delete c;
            return nullptr;
        }
        c->m_refs[kStatePort].m_write_enabled = writer;
        c->m_refs[kStatePort].m_read_enabled = !writer;
        return c;
    }

    float& PeerX() {
        return static_cast<CPositionState*>(peer.m_ports[kStatePort].m_object)->m_pos[0];
    }
    float HostX() {
        return static_cast<CPositionState*>(host.m_ports[kStatePort].m_object)->m_pos[0];
    }

    // The peer writes one packet carrying x.
    void PeerSends(float x) {
        PeerX() = x;
        ASSERT_EQ(peer.BeginFrame(), 1);
        ASSERT_EQ(peer.Write(), 1);
    }

    int HostRead() {
        host.BeginFrame();
        return host.Read();
    }

    // Reads until the client has taken `packets` datagrams in all; bounded by count and time.
    bool HostReceives(int packets) {
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        for (int i = 0; i < 400 && Clock::now() < deadline; ++i) {
            if (HostRead() == 1 && client->m_packets_in >= packets) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    void Raw(CNetUDP& from, const void* data, int len) {
        ASSERT_EQ(from.SendTo(len, const_cast<void*>(data), &host_addr), 0);
    }

    CNetUDP host_driver{"127.0.0.1:0"};
    CNetUDP peer_driver{"127.0.0.2:0"};
    sockaddr_in host_addr{}, peer_addr{};
    // Buffers outlive the managers whose clients send through them.
    std::unique_ptr<CNetBuf> to_peer, to_host;
    CountingManager host;
    CNetManager peer;
    CNetClient* client = nullptr; // host's client for the peer
};

} // namespace

TEST_F(UdpSession, OversizeDatagramFailsOneReadAndNextPacketArrives) {
    unsigned char big[1001];
    std::memset(big, 0, sizeof big); // channel 0, from the known peer
    Raw(peer_driver, big, sizeof big);
    PeerSends(1.5f);

    EXPECT_EQ(HostRead(), -1); // the receive error ends this frame's Read
    EXPECT_EQ(client->m_packets_in, 0);
    EXPECT_EQ(client->m_bytes_in, 0);
    ASSERT_TRUE(HostReceives(1));
    EXPECT_EQ(HostX(), 1.5f);
    EXPECT_EQ(client->m_read_seq, 1);
}

TEST_F(UdpSession, ZeroLengthDatagramReadsAsNothingWaiting) {
    Raw(peer_driver, "", 0);
    PeerSends(2.5f);

    // Draining stops at the empty datagram; the packet behind it waits for the next Read.
    EXPECT_EQ(HostRead(), 1);
    EXPECT_EQ(client->m_packets_in, 0);
    EXPECT_EQ(host.created + host.out_of_band, 0);
    ASSERT_TRUE(HostReceives(1));
    EXPECT_EQ(HostX(), 2.5f);
}

TEST_F(UdpSession, UnknownSenderReachesOnlyCreateClientAndIsDropped) {
    CNetUDP stranger_driver("127.0.0.3:0");
    ASSERT_EQ(stranger_driver.Init(), 0);
    const sockaddr_in stranger = BoundAddr(stranger_driver);
    const unsigned char packet[6] = {0, 1, 0, 0, 0, 0xFF};
    Raw(stranger_driver, packet, sizeof packet);

    EXPECT_EQ(HostRead(), 1);
    EXPECT_EQ(host.created, 1);
    EXPECT_EQ(std::memcmp(&host.stranger.sin_addr, &stranger.sin_addr, sizeof stranger.sin_addr),
              0);
    EXPECT_EQ(host.stranger.sin_port, stranger.sin_port);
    EXPECT_EQ(host.GetNumClients(), 1);
    EXPECT_EQ(client->m_packets_in, 0);

    PeerSends(3.5f);
    ASSERT_TRUE(HostReceives(1));
    EXPECT_EQ(HostX(), 3.5f);
    EXPECT_EQ(host.created, 1);
}

TEST_F(UdpSession, BurstBeyondSocketBufferIsDrainedAndCountedLost) {
    // Far more than a default receive buffer holds, with nobody reading: the system drops
    // the overflow, the sender is never told.
    constexpr int kBurst = 2000;
    for (int i = 0; i < kBurst; ++i)
        PeerSends(static_cast<float>(i));

    ASSERT_EQ(HostRead(), 1); // one Read drains whatever the socket kept
    const int kept = client->m_packets_in;
    EXPECT_GT(kept, 0);
    ASSERT_LT(kept, kBurst) << "the burst did not fill the socket buffer";
    EXPECT_EQ(client->m_packets_in + client->m_lost_packets, client->m_read_seq);
    EXPECT_EQ(client->m_old_packets, 0);
    EXPECT_EQ(HostX(), static_cast<float>(client->m_read_seq - 1));

    PeerSends(-7.0f);
    ASSERT_TRUE(HostReceives(kept + 1));
    EXPECT_EQ(client->m_read_seq, kBurst + 1);
    EXPECT_EQ(client->m_packets_in + client->m_lost_packets, kBurst + 1);
    EXPECT_EQ(HostX(), -7.0f);
}
