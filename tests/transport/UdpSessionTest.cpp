// Hostile and unlucky datagrams sent at a manager over real UDP sockets on loopback: each has
// a defined result, and the session with the known peer goes on afterwards.
#include "TransportFixture.h"

#include <tuple>

#include "ReplicatedObjects.h"
#include "client/ClientFixture.h"
#include "platform/PlatformSystem.h"
#include "portnet/portnet.h"

namespace {

using portnet_examples::CPositionState;

enum : int { kStatePort = 1, kNumPorts = 2, kHistory = 8 };

// Over IPv4 the peer has an address of its own, 127.0.0.2. Over ::1, and under Wine (which
// binds a socket asked for 127.0.0.2 to any address, so that its datagrams leave from
// 127.0.0.1), the peer shares the host's address, which still tells it apart from nobody.
std::string PeerBind(Fam f) {
    return f == Fam::v4 && !portnet::platform::RunningUnderWine() ? "127.0.0.2:0" : Loopback(f);
}

class CountingManager : public CNetManager {
public:
    // Refuses strangers, or with `welcome` takes the first one in as a reader of the state port.
    int CreateClient(CNetBuf* buf) override {
        stranger = buf->Addr();
        ++created;
        if (!welcome) return -1;
        auto* c = new CNetClient;
        c->m_own_port = new CNetDataPort;
        welcome->SetAddr(buf->Addr());
        c->m_send_buf = welcome;
        welcome = nullptr;
        if (AddClient(c, -1) == -1) return delete c, -1;
        c->m_refs[1].m_read_enabled = true;
        return c->m_id;
    }
    int created = 0;
    CNetAddr stranger;
    CNetBuf* welcome = nullptr;
};

// Manager `host` on the family's loopback address reads port 1 from manager `peer`; with
// port matching or without it.
class UdpSession : public ::testing::TestWithParam<std::tuple<bool, Fam>> {
protected:
    void SetUp() override {
        if (Family() == Fam::v6 && !HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 on loopback";
        for (CNetUDP* d : {&host_driver, &peer_driver, &twin_driver})
            ApplyUdpMode(*d);
        ASSERT_EQ(host_driver.Init() + peer_driver.Init(), 0);
        host_addr = host_driver.GetLocalAddr();
        to_host.SetAddr(host_addr);
        to_peer.SetAddr(peer_driver.GetLocalAddr());
        client = Join(host, host_driver, to_peer, false);
        Join(peer, peer_driver, to_host, true);
    }

    static CNetClient* Join(CNetManager& m, CNetUDP& driver, CNetBuf& out, bool writer) {
        m.Init(&driver, kNumPorts);
        m.SetPortA(kStatePort, new CPositionState);
        CNetDataHistory* h = new CNetDataHistory(kHistory, new CPositionState, kStatePort);
        (writer ? m.m_ports[kStatePort].m_writing_history
                : m.m_ports[kStatePort].m_reading_history) = h;
        m.InitPort(kStatePort, -1);
        auto* c = new CNetClient;
        c->m_own_port = new CNetDataPort;
        c->m_send_buf = &out;
        EXPECT_NE(m.AddClient(c, -1), -1);
        c->m_refs[kStatePort].m_write_enabled = writer;
        c->m_refs[kStatePort].m_read_enabled = !writer;
        return c;
    }

    static float& X(CNetManager& m) {
        return static_cast<CPositionState*>(m.m_ports[kStatePort].m_object)->m_pos[0];
    }

    // The peer writes one packet carrying x.
    void PeerSends(float x) {
        X(peer) = x;
        ASSERT_EQ(peer.BeginFrame(), 1);
        ASSERT_EQ(peer.Write(), 1);
    }

    void HostRead() {
        host.BeginFrame();
        host.Read();
    }

    // Reads until the client has taken in, or refused as old, one datagram beyond `seen`;
    // bounded by a count and a deadline.
    bool HostTakes(const CNetClient* c, int seen) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (int i = 0; i < 400 && std::chrono::steady_clock::now() < deadline; ++i) {
            HostRead();
            if (c->m_packets_in + c->m_old_packets > seen) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    static Fam Family() { return std::get<1>(GetParam()); }

    CNetUDP host_driver{Loopback(Family()).c_str()};
    CNetUDP peer_driver{PeerBind(Family()).c_str()};
    CNetUDP twin_driver{PeerBind(Family()).c_str()}; // a second sender on the peer's address
    CNetAddr host_addr;
    // Buffers outlive the managers that send through them.
    CNetBuf to_peer{&host_driver, nullptr}, to_host{&peer_driver, nullptr};
    CNetBuf to_twin{&host_driver, nullptr}, twin_out{&twin_driver, nullptr};
    CountingManager host;
    CNetManager peer;
    CNetClient* client = nullptr; // host's client for the peer
};

} // namespace

// A second sender on the peer's IP address, another port: a peer behind the same NAT, or
// someone forging the peer's address. The twin sends a header with a sequence far ahead, the
// right check bits and no records; then the real peer sends 200 frames. Without port matching
// the forgery ends the session: the host's state follows the peer in none of them. With it,
// the twin is a stranger, and once taken in a client of its own.
TEST_P(UdpSession, ASecondSenderOnThePeersAddress) {
    const bool matched = host.m_match_ports = std::get<0>(GetParam());
    ASSERT_EQ(twin_driver.Init(), 0);
    const CNetAddr twin_addr = twin_driver.GetLocalAddr();
    const client_test::Bytes body = client_test::Packet(client->m_read_seq + 100000, 0, 0);
    const std::string forged = '\0' + std::string(body.begin(), body.end());
    ASSERT_EQ(Send(twin_driver, forged, host_addr), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (host.created == 0 && client->m_packets_in == 0 &&
           std::chrono::steady_clock::now() < deadline)
        HostRead();
    int held = 0;
    for (int f = 0; f < 200; ++f) {
        const int seen = client->m_packets_in + client->m_old_packets;
        PeerSends(f + 1.0f); // never the state's initial 0
        EXPECT_TRUE(HostTakes(client, seen));
        held += X(host) == f + 1.0f;
    }
    EXPECT_EQ((Ints{held, host.created}), matched ? (Ints{200, 1}) : (Ints{0, 0}));
    if (!matched) return;
    EXPECT_EQ(host.stranger, twin_addr);

    // Taken in as a client of its own, the twin's packets count there, not in the peer's.
    twin_out.SetAddr(host_addr);
    CNetManager twin;
    Join(twin, twin_driver, twin_out, true);
    host.welcome = &to_twin;
    const int peer_before = client->m_packets_in;
    for (int f = 0; f < 5; ++f) {
        ASSERT_EQ(twin.BeginFrame() + twin.Write(), 2);
        HostRead(); // loopback delivers before sendto returns
    }
    ASSERT_EQ(host.GetNumClients(), 2);
    const int id = host.FindClient(twin_addr);
    ASSERT_NE(id, -1);
    const CNetClient* other = host.m_clients[id].m_client;
    ASSERT_NE(other, client);
    EXPECT_EQ((Ints{host.created, client->m_packets_in - peer_before, other->m_old_packets}),
              (Ints{2, 0, 0}));
    EXPECT_GE(other->m_packets_in, 4);
}

INSTANTIATE_TEST_SUITE_P(Ports, UdpSession,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(Fam::v4, Fam::v6)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "matched" : "unmatched") +
                                    (std::get<1>(info.param) == Fam::v6 ? "_v6" : "_v4");
                         });
