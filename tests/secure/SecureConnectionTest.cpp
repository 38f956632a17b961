// Servers and connections over CNetDtls: a host that restarts, peers that come and go.
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "SecurePair.h"
#include "portnet/CNetConnectToken.h"
#include "server/ServerRig.h"

namespace {

using namespace rig;

struct SecureHost {
    explicit SecureHost(CNetSimNetwork* net,
                        const SNetDtlsConfig& config = secure::PskConfig(SNetDtlsConfig::kAccept))
        : sim(net, kServerId), dtls(&sim, config) {
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
    SecurePeer(CNetSimNetwork* net, int id,
               const SNetDtlsConfig& config = secure::PskConfig(SNetDtlsConfig::kConnect))
        : sim(net, id), dtls(&sim, config) {
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

TEST_F(SecureConnection, AHostThatRestartsIsLostAndReconnectOpensANewSession) {
    CNetSimNetwork net(9);
    std::unique_ptr<SecureHost> host(new SecureHost(&net));
    SecurePeer peer(&net, 2);
    ASSERT_TRUE(host->ok && peer.ok);
    CNetConnection& conn = peer.conn;
    CNetDtls& dtls = peer.dtls;

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

namespace {

// Peers come and go over DTLS, four at a time, leaving by goodbye or by silence: every one is
// admitted and seen off, and the host keeps no session of any.
TEST_F(SecureConnection, PeersComeAndGoAndTheHostKeepsNoSessionOfThem) {
    CNetSimNetwork net(4);
    SecureHost host(&net);
    ASSERT_TRUE(host.ok);
    std::vector<std::unique_ptr<SecurePeer>> peers;
    int started = 0, joined = 0, left = 0;
    for (int frame = 0; frame < 20000 && (started < 40 || left < started); ++frame) {
        if (started < 40 && peers.size() < 4)
            peers.emplace_back(new SecurePeer(&net, 100 + started++));
        Tick(net);
        Step(host.server);
        for (auto& p : peers) {
            const bool odd = p->sim.m_endpoint_id % 2 == 1; // odd ones fall silent
            if (!odd || p->frames < 30) Step(p->conn);
            if (++p->frames == 30 && !odd) p->conn.Leave();
        }
        SNetServerEvent e;
        while (host.server.PollEvent(&e)) {
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
        if (host.dtls.GetHalfOpen() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(joined, 40);
    EXPECT_EQ(left, 40);
    EXPECT_EQ(host.server.GetNumPeers(), 0);
    EXPECT_EQ(host.dtls.GetOpenSessions(), 0);
    EXPECT_EQ(host.dtls.m_stats.m_handshakes_completed, 40u);
}

} // namespace

namespace {

const unsigned char kSealing[32] = {0x5E, 0xA1};

// A token for player (its user data "team-<player>") and the player's side configured with it.
struct Ticket {
    explicit Ticket(std::uint64_t player) {
        SNetConnectToken t;
        t.m_protocol_id = 77, t.m_player_id = player;
        t.m_valid_from = CNetConnectToken::Now() - 60, t.m_expires = t.m_valid_from + 660;
        t.m_user_data_len =
            std::snprintf(reinterpret_cast<char*>(t.m_user_data), 32, "team-%d", int(player));
        t.m_num_servers = 1, std::strcpy(t.m_servers[0], "eu-1");
        char text[CNetConnectToken::kMaxText + 1] = {};
        CNetConnectToken::Mint(&t, kSealing, text, sizeof text);
        token = text;
        config = secure::PskConfig(SNetDtlsConfig::kConnect, nullptr);
        std::memcpy(key, t.m_player_key, sizeof key);
        config.m_psk_key = key, config.m_psk_identity = token.c_str();
    }
    std::string token;
    unsigned char key[32];
    SNetDtlsConfig config;
};

SNetDtlsConfig TokenServer() {
    SNetDtlsConfig c = secure::PskConfig(SNetDtlsConfig::kAccept);
    c.m_psk_key = nullptr;
    c.m_token_key = kSealing, c.m_token_server = "eu-1", c.m_token_protocol_id = 77;
    c.m_idle_timeout_ms = 300; // below the server's idle limit: a silent peer's session ends first
    return c;
}

// Three players join a server over tokens, and the joined events say who they are; then each
// leaves a different way and the server tells why: 2 starts again from its address, 3 falls
// silent, the host kicks 4's player.
TEST_F(SecureConnection, TheJoinedEventNamesThePlayerAndEachDepartureItsCause) {
    CNetSimNetwork net(5);
    SecureHost host(&net, TokenServer());
    host.server.m_idle_limit_ms = 5000;
    ASSERT_TRUE(host.ok);
    std::map<int, std::unique_ptr<SecurePeer>> peers;
    std::map<int, std::unique_ptr<Ticket>> tickets;
    for (int id : {2, 3, 4}) {
        tickets[id].reset(new Ticket(40 + id));
        peers[id].reset(new SecurePeer(&net, id, tickets[id]->config));
        ASSERT_TRUE(peers[id]->ok);
    }
    std::map<int, std::vector<SNetServerEvent>> seen; // by sender
    auto run = [&](int frames, bool silent3) {
        for (int f = 0; f < frames; ++f) {
            Tick(net);
            Step(host.server);
            for (auto& p : peers)
                if (p.first != 3 || !silent3) Step(p.second->conn);
            for (SNetServerEvent e; host.server.PollEvent(&e);)
                seen[e.m_addr.sin_port].push_back(e);
            if (host.dtls.GetHalfOpen() > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    run(150, false);
    for (int id : {2, 3, 4}) {
        ASSERT_EQ(seen[id].size(), 1u) << id;
        const SNetServerEvent& e = seen[id][0];
        const std::string team = "team-" + std::to_string(40 + id);
        EXPECT_EQ(e.m_type, SNetServerEvent::kJoined);
        EXPECT_EQ(e.m_who.m_player_id, 40u + id);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.m_who.m_user_data),
                              e.m_who.m_user_data_len),
                  team);
        EXPECT_EQ(e.m_who.m_identity, tickets[id]->token);
        seen[id].clear();
    }
    EXPECT_EQ(host.server.m_refused[CNetServer::kRefusedByHost], 0u);

    peers[2].reset(); // a new process on the same address, with the same token
    peers[2].reset(new SecurePeer(&net, 2, tickets[2]->config));
    EXPECT_EQ(host.dtls.KickPlayer(44), 1);
    run(150, true);
    const int want[][2] = {{2, kNetGoneRestarted}, {3, kNetGoneSessionEnded}, {4, kNetGoneKicked}};
    for (const auto& w : want) {
        const std::vector<SNetServerEvent>& got = seen[w[0]];
        ASSERT_GE(got.size(), 1u) << w[0];
        EXPECT_EQ((std::vector<int>{got[0].m_type, got[0].m_reason}),
                  (std::vector<int>{SNetServerEvent::kLeft, w[1]}))
            << w[0];
    }
    // The restarted player is back in a new slot, named again; nobody else returned.
    ASSERT_EQ(seen[2].size(), 2u);
    EXPECT_EQ(seen[2][1].m_type, SNetServerEvent::kJoined);
    EXPECT_EQ(seen[2][1].m_who.m_player_id, 42u);
    EXPECT_EQ(seen[3].size() + seen[4].size(), 2u);
    // The kicked player heard the session end and was not greeted again by a new handshake.
    SNetConnectionEvent e{};
    ASSERT_EQ(peers[4]->conn.PollEvent(&e), 1); // its kConnected
    ASSERT_EQ(peers[4]->conn.PollEvent(&e), 1);
    EXPECT_EQ((std::vector<int>{e.m_type, e.m_reason}),
              (std::vector<int>{SNetConnectionEvent::kLost, kNetGoneSessionEnded}));
    EXPECT_EQ((std::vector<unsigned>{host.server.GetNumPeers() + 0u,
                                     host.dtls.m_stats.m_handshakes_started}),
              (std::vector<unsigned>{1u, 4u}));
}

} // namespace
