// Servers and connections over CNetDtls: a host that restarts, peers that come and go.
#include <chrono>
#include <thread>

#include "SecurePair.h"
#include "server/ServerRig.h"

namespace {

using namespace rig;

struct SecureHost {
    explicit SecureHost(CNetSimNetwork* net)
        : sim(net, kServerId), dtls(&sim, secure::PskConfig(SNetDtlsConfig::kAccept)) {
        ok = dtls.IsReady() && server.Init(&dtls, 1) == 1 && dtls.Init() == 0;
        server.m_idle_limit_ms = 400;
        server.m_keep_alive_ms = 50;
    }
    CNetSimDriver sim;
    CNetDtls dtls;
    LoggingServer server; // declared last: goes first
    bool ok = false;
};

// A connection to the host over its own secure endpoint.
struct SecurePeer {
    SecurePeer(CNetSimNetwork* net, int id)
        : sim(net, id), dtls(&sim, secure::PskConfig(SNetDtlsConfig::kConnect)) {
        const sockaddr_in to = Addr(kServerId);
        conn.m_keep_alive_ms = 50;
        conn.m_idle_limit_ms = 400;
        ok = dtls.Init() == 0 && conn.Init(&dtls, 1) == 1 && conn.Connect(&to) == 1;
    }
    CNetSimDriver sim;
    CNetDtls dtls;
    CNetConnection conn;
    bool ok = false;
    int frames = 0;
};

class SecureConnection : public Clocked {};

// Peers come and go, four at a time, by goodbye or by silence: every one is admitted and seen
// off, and the host keeps no session of any. Then the host restarts on its address under one
// more peer: the connection is lost with its session, and Reconnect opens a new one.
TEST_F(SecureConnection, PeersComeAndGoAndAHostThatRestartsIsLostAndReconnectOpensANewSession) {
    CNetSimNetwork net(4);
    std::unique_ptr<SecureHost> host(new SecureHost(&net));
    ASSERT_TRUE(host->ok);
    std::vector<std::unique_ptr<SecurePeer>> peers;
    int started = 0, joined = 0, left = 0;
    for (int frame = 0; frame < 20000 && (started < 40 || left < started); ++frame) {
        if (started < 40 && peers.size() < 4)
            peers.emplace_back(new SecurePeer(&net, 100 + started++));
        Tick(net);
        Step(host->server);
        for (auto& p : peers) {
            const bool odd = p->sim.m_endpoint_id % 2 == 1; // odd ones fall silent
            if (!odd || p->frames < 30) Step(p->conn);
            if (++p->frames == 30 && !odd) p->conn.Leave();
        }
        SNetServerEvent e;
        while (host->server.PollEvent(&e)) {
            joined += e.m_type == SNetServerEvent::kJoined;
            if (e.m_type != SNetServerEvent::kLeft) continue;
            ++left;
            EXPECT_EQ(e.m_reason, e.m_addr.sin_port % 2 ? kNetGoneTimedOut : kNetGoneLeft);
            for (auto it = peers.begin(); it != peers.end(); ++it)
                if ((*it)->sim.m_endpoint_id == e.m_addr.sin_port) {
                    peers.erase(it);
                    break;
                }
        }
        if (host->dtls.GetHalfOpen() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    using secure::Ints;
    EXPECT_EQ((Ints{joined, left, host->server.GetNumPeers(), host->dtls.GetOpenSessions(),
                    int(host->dtls.m_stats.m_handshakes_completed)}),
              (Ints{40, 40, 0, 0, 40}));

    SecurePeer peer(&net, 2);
    ASSERT_TRUE(peer.ok);
    SNetConnectionEvent e{};
    // Frames until the connection reports something; DTLS retransmits on the system clock.
    auto next_event = [&] {
        for (int frame = 0; frame < 600; ++frame) {
            Tick(net);
            Step(host->server);
            Step(peer.conn);
            if (peer.conn.PollEvent(&e)) return true;
            if (peer.dtls.GetHalfOpen() > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    };
    const int kConnected = SNetConnectionEvent::kConnected, kLost = SNetConnectionEvent::kLost;
    ASSERT_TRUE(next_event());
    EXPECT_EQ(
        (Ints{e.m_type, host->server.GetNumPeers(), int(peer.dtls.m_stats.m_handshakes_completed)}),
        (Ints{kConnected, 1, 1}));
    host.reset();
    host.reset(new SecureHost(&net)); // a new process on the same address: no session
    ASSERT_TRUE(host->ok);
    ASSERT_TRUE(next_event());
    // The lost session ended with it.
    EXPECT_EQ((Ints{e.m_type, e.m_reason, peer.dtls.GetOpenSessions(), host->server.GetNumPeers()}),
              (Ints{kLost, kNetGoneTimedOut, 0, 0}));
    ASSERT_EQ(peer.conn.Reconnect(), 1);
    ASSERT_TRUE(next_event());
    EXPECT_EQ(
        (Ints{e.m_type, host->server.GetNumPeers(), int(peer.dtls.m_stats.m_handshakes_completed),
              int(host->dtls.m_stats.m_handshakes_completed)}),
        (Ints{kConnected, 1, 2, 1}));
}

} // namespace
