// A connection over CNetDtls whose host restarts on the same address: the old session is
// reported lost, and Reconnect opens a new one to the new host.
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

class SecureConnection : public Clocked {};

TEST_F(SecureConnection, AHostThatRestartsIsLostAndReconnectOpensANewSession) {
    CNetSimNetwork net(9);
    CNetSimDriver sim(&net, 2);
    CNetDtls dtls(&sim, secure::PskConfig(SNetDtlsConfig::kConnect));
    CNetConnection conn;
    ASSERT_TRUE(dtls.IsReady());
    ASSERT_EQ(dtls.Init(), 0);
    ASSERT_EQ(conn.Init(&dtls, 1), 1);
    conn.m_keep_alive_ms = 50;
    conn.m_idle_limit_ms = 400;
    std::unique_ptr<SecureHost> host(new SecureHost(&net));
    ASSERT_TRUE(host->ok);
    const sockaddr_in to = Addr(kServerId);
    ASSERT_EQ(conn.Connect(&to), 1);

    SNetConnectionEvent e{};
    // Frames until the connection reports something; DTLS retransmits on the system clock.
    auto next_event = [&] {
        for (int frame = 0; frame < 600; ++frame) {
            Tick(net);
            Step(host->server);
            Step(conn);
            if (conn.PollEvent(&e)) return true;
            if (dtls.GetHalfOpen() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    };
    ASSERT_TRUE(next_event());
    EXPECT_EQ(e.m_type, SNetConnectionEvent::kConnected);
    EXPECT_EQ(host->server.GetNumPeers(), 1);
    EXPECT_EQ(dtls.m_stats.m_handshakes_completed, 1u);

    host.reset();
    host.reset(new SecureHost(&net)); // a new process on the same address: no session
    ASSERT_TRUE(host->ok);
    ASSERT_TRUE(next_event());
    EXPECT_EQ(e.m_type, SNetConnectionEvent::kLost);
    EXPECT_EQ(e.m_reason, kNetGoneTimedOut);
    EXPECT_EQ(dtls.GetOpenSessions(), 0); // the lost session ended with it
    EXPECT_EQ(host->server.GetNumPeers(), 0);

    ASSERT_EQ(conn.Reconnect(), 1);
    ASSERT_TRUE(next_event());
    EXPECT_EQ(e.m_type, SNetConnectionEvent::kConnected);
    EXPECT_EQ(host->server.GetNumPeers(), 1);
    EXPECT_EQ(dtls.m_stats.m_handshakes_completed, 2u);
    EXPECT_EQ(host->dtls.m_stats.m_handshakes_completed, 1u);
}

} // namespace
