// Silence, goodbyes and restarts, each seen from both ends of one connection.
#include <string>

#include "ServerRig.h"

using namespace rig;

namespace {

class Liveness : public Clocked {
protected:
    // A server and one connected player, from a clean start.
    void Start() {
        player.reset();
        Clocked::SetUp();
        run_server = run_player = true;
        if (!sim.m_attached) sim.Init();
        server.m_keep_alive_ms = 50;
        server.m_idle_limit_ms = kLimit;
        ASSERT_EQ(server.Init(&sim, 1), 1);
        player.reset(new Player(&net, 2));
        player->conn->m_idle_limit_ms = kLimit;
        RunUntil([&] { return player->conn->GetState() == CNetConnection::kConnected; });
        ASSERT_EQ(server.GetNumPeers(), 1);
    }
    // Frames until done() or two seconds; the server and the player run unless told not to.
    template <typename Done> int RunUntil(Done done, int ms = 2000) {
        const int start = s_now;
        while (s_now - start < ms && !done()) {
            Tick(net);
            if (run_server) Step(server);
            if (run_player) Step(*player->conn);
        }
        return s_now - start;
    }
    // The reason of the server's one departure event, 0 when there was none.
    int ServerLeft() {
        SNetServerEvent e;
        int reason = 0, count = 0;
        while (server.PollEvent(&e))
            if (e.m_type == SNetServerEvent::kLeft) reason = e.m_reason, ++count;
        EXPECT_LE(count, 1);
        return reason;
    }
    int PlayerLost() {
        SNetConnectionEvent e;
        int reason = 0;
        while (player->conn->PollEvent(&e))
            if (e.m_type == SNetConnectionEvent::kLost) reason = e.m_reason;
        return reason;
    }
    enum : int { kLimit = 400 };
    CNetSimNetwork net{3};
    CNetSimDriver sim{&net, kServerId};
    LoggingServer server;
    std::unique_ptr<Player> player;
    bool run_server = true, run_player = true;
};

// Alive with nothing to say, neither side is timed out, and it sends bare packets at the
// keep-alive rate, not every frame. Then one side goes: a goodbye is heard within two frames
// as "left", a side fallen silent (no goodbye, no report) is timed out within the limit and
// two frames of its last packet.
TEST_F(Liveness, TheOtherSideHearsADepartureInTime) {
    for (int way = 0; way < 4; ++way) {
        const bool by_server = way % 2, silent = way / 2;
        SCOPED_TRACE(std::string(by_server ? "server" : "player") +
                     (silent ? " silent" : " leaves"));
        Start();
        RunUntil([] { return false; }, kLimit * 10);
        EXPECT_EQ(server.GetNumPeers(), 1);
        ASSERT_EQ(player->conn->GetState(), CNetConnection::kConnected);
        EXPECT_LT(player->conn->GetPeer()->m_packets_out, kLimit * 10 / 50 + 5);
        int from = s_now, reason = 0;
        if (silent) {
            (by_server ? run_server : run_player) = false;
            from = by_server ? player->conn->GetPeer()->m_last_read_time
                             : server.GetPeer(0)->m_last_read_time;
        } else if (by_server) {
            server.Leave();
            EXPECT_EQ(ServerLeft(), kNetGoneKicked);
        } else {
            player->conn->Leave();
        }
        RunUntil([&] { return (reason = by_server ? PlayerLost() : ServerLeft()) != 0; });
        EXPECT_EQ(reason, silent ? kNetGoneTimedOut : kNetGoneLeft);
        EXPECT_LE(s_now - from, (silent ? kLimit : 0) + 2 * kFrameMs);
        EXPECT_GT(s_now - from, silent ? kLimit : 0);
    }
}

} // namespace

// The host goes and a new one takes its address: the new host answers the player's packets,
// which continue a numbering it never saw, with a refusal, so the connection reports the old
// one lost at once (not after its idle limit) and connects to the new one when asked.
TEST_F(Liveness, AConnectionWhoseHostRestartsIsLostAndConnectsAgain) {
    Start();
    player->conn->GetPeer()->m_keep_alive_ms = kFrameMs;
    RunUntil([] { return false; }, 3000); // far into its numbering
    server.Release();
    sim.Shutdown();
    LoggingServer second;
    CNetSimDriver again(&net, kServerId);
    ASSERT_EQ(again.Init(), 0);
    ASSERT_EQ(second.Init(&again, 1), 1);
    second.m_idle_limit_ms = kLimit;
    int lost = 0, refusal = 0;
    run_server = false;
    const int took = RunUntil([&] {
        Step(second);
        SNetConnectionEvent e;
        while (player->conn->PollEvent(&e))
            if (e.m_type == SNetConnectionEvent::kLost) lost = e.m_reason, refusal = e.m_refusal;
        return lost != 0;
    });
    // Two round trips, not the idle limit; what the new host heard continued an earlier
    // numbering, so it took no peer.
    EXPECT_EQ((std::vector<int>{lost, refusal, took < kLimit, second.GetNumPeers()}),
              (std::vector<int>{kNetGoneRefused, CNetServer::kRefusedStale, 1, 0}));
    ASSERT_EQ(player->conn->Reconnect(), 1);
    RunUntil([&] {
        Step(second);
        return player->conn->GetState() == CNetConnection::kConnected;
    });
    EXPECT_EQ((std::vector<int>{player->conn->GetState(), second.GetNumPeers()}),
              (std::vector<int>{CNetConnection::kConnected, 1}));
}
