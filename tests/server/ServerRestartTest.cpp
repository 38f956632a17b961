// A player that starts afresh from the address it had (a restarted process, or Reconnect) over
// a link with latency and loss: the host's packets to the former attempt are still in flight
// when the new one asks, and must never be taken for an answer or for a restarted host.
#include <string>

#include "ServerRig.h"

using namespace rig;

namespace {

struct Case {
    int latency_ms;
    bool reconnect; // Reconnect() in the same process, else a new process at the same address
};

class PlayerRestart : public Clocked, public ::testing::WithParamInterface<Case> {
protected:
    enum : int { kIdle = 1000, kPlayerId = 2 };

    // A fresh network, host and player for one seed.
    void Begin(int seed) {
        player.reset();
        server.reset();
        sim.reset();
        Clocked::SetUp();
        net.reset(new CNetSimNetwork(static_cast<std::uint64_t>(seed)));
        SNetImpairment link;
        link.m_latency_ms = GetParam().latency_ms;
        link.m_jitter_ms = GetParam().latency_ms / 5;
        link.m_loss_percent = 10.0;
        net->SetLinkImpairment(kServerId, kPlayerId, link);
        net->SetLinkImpairment(kPlayerId, kServerId, link);
        sim.reset(new CNetSimDriver(net.get(), kServerId));
        ASSERT_EQ(sim->Init(), 0);
        server.reset(new LoggingServer);
        server->m_idle_limit_ms = kIdle;
        server->m_keep_alive_ms = 100;
        ASSERT_EQ(server->Init(sim.get(), 1), 1);
        NewPlayer();
    }
    void NewPlayer() {
        player.reset(); // its driver leaves the network before the new one takes its id
        player.reset(new Player(net.get(), kPlayerId));
        player->conn->m_idle_limit_ms = kIdle;
    }
    // Steps both sides for ms, collecting the player's events.
    void Run(int ms) {
        for (const int end = s_now + ms; s_now < end;) {
            Tick(*net);
            Step(*server);
            Step(*player->conn);
            SNetConnectionEvent e;
            while (player->conn->PollEvent(&e)) {
                if (e.m_type == SNetConnectionEvent::kConnected)
                    ++connected;
                else
                    ++lost, last_reason = e.m_reason;
            }
        }
    }

    std::unique_ptr<CNetSimNetwork> net;
    std::unique_ptr<CNetSimDriver> sim;
    std::unique_ptr<LoggingServer> server;
    std::unique_ptr<Player> player;
    int connected = 0, lost = 0, last_reason = 0;
};

// After the restart the player connects exactly once and is never told anything is lost; the
// host ends the former peer as restarted and admits the new one, which stays for good.
TEST_P(PlayerRestart, ConnectsOnceAndTheHostEndsTheFormerPeer) {
    for (int seed = 1; seed <= 100; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Begin(seed);
        connected = lost = 0;
        Run(300 * kFrameMs); // frame 300: far into both numberings
        ASSERT_EQ(connected, 1);
        ASSERT_EQ(server->GetNumPeers(), 1);

        connected = 0;
        if (GetParam().reconnect)
            ASSERT_EQ(player->conn->Reconnect(), 1);
        else
            NewPlayer();
        Run(3 * kIdle); // long past every idle limit: a broken pair would have ended
        int joined = 0, left = 0, left_reason = 0;
        for (const Logged& l : server->m_log) {
            joined += l.e.m_type == SNetServerEvent::kJoined;
            if (l.e.m_type == SNetServerEvent::kLeft) ++left, left_reason = l.e.m_reason;
        }
        EXPECT_EQ((std::vector<int>{connected, lost, player->conn->GetState(),
                                    player->conn->GetSlot(), server->GetNumPeers(), joined, left}),
                  (std::vector<int>{1, 0, CNetConnection::kConnected, 0, 1, 2, 1}))
            << "told: " << NetGoneText(last_reason);
        // Reconnect says goodbye first, though jitter may bring its hello ahead of it; a new
        // process does not know to.
        if (GetParam().reconnect)
            EXPECT_TRUE(left_reason == kNetGoneLeft || left_reason == kNetGoneRestarted);
        else
            EXPECT_EQ(left_reason, kNetGoneRestarted);
        // The pair still talks: the host took the new attempt's packets, the player the host's.
        CNetPeer* host_side = server->GetPeer(0);
        ASSERT_NE(host_side, nullptr);
        EXPECT_TRUE(host_side->m_packets_in > 10 && host_side->m_fresh_run == 0);
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Latency, PlayerRestart,
                         ::testing::Values(Case{0, false}, Case{50, false}, Case{250, false},
                                           Case{50, true}, Case{250, true}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.reconnect ? "Reconnect" : "NewProcess") +
                                    std::to_string(info.param.latency_ms) + "ms";
                         });

} // namespace
