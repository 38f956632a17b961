// Servers and connections over CNetDtls: a host that restarts, peers that come and go.
#include <chrono>
#include <string>
#include <thread>

#include "SecureRig.h"
#include "portnet/CNetConnectToken.h"

namespace {

using namespace rig;

using secure::SecureHost;
using secure::SecurePeer;

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

namespace {

const unsigned char kSealing[32] = {0x5E, 0xA1};

// The side of player 40 + id with a token (its user data: id) and the key that came with it.
SNetDtlsConfig Ticket(int id, std::string* token, unsigned char* key) {
    SNetConnectToken t;
    t.m_protocol_id = 77, t.m_player_id = 40 + id, t.m_user_data_len = 1, t.m_user_data[0] = id;
    t.m_valid_from = CNetConnectToken::Now() - 60, t.m_expires = t.m_valid_from + 660;
    t.m_num_servers = 1, std::strcpy(t.m_servers[0], "eu-1");
    char text[CNetConnectToken::kMaxText + 1] = {};
    CNetConnectToken::Mint(&t, kSealing, text, sizeof text);
    *token = text, std::memcpy(key, t.m_player_key, 32);
    SNetDtlsConfig c = secure::PskConfig(SNetDtlsConfig::kConnect, key);
    c.m_psk_identity = token->c_str();
    return c;
}

// Three players join a server over tokens and the joined events say who they are; then each
// leaves another way and the server tells why: 2 starts again from its address, 3 falls silent
// (its session's idle limit comes before the server's), the host kicks 4's player.
TEST_F(SecureConnection, TheJoinedEventNamesThePlayerAndEachDepartureItsCause) {
    CNetSimNetwork net(5);
    SNetDtlsConfig c = secure::PskConfig(SNetDtlsConfig::kAccept);
    c.m_psk_key = nullptr, c.m_idle_timeout_ms = 300;
    c.m_token_key = kSealing, c.m_token_server = "eu-1", c.m_token_protocol_id = 77;
    SecureHost host(&net, c);
    host.server.m_idle_limit_ms = 5000;
    ASSERT_TRUE(host.ok);
    std::string tokens[5];
    unsigned char keys[5][32];
    std::unique_ptr<SecurePeer> peers[5];
    for (int id : {2, 3, 4})
        peers[id].reset(new SecurePeer(&net, id, Ticket(id, &tokens[id], keys[id])));
    std::vector<int> seen[5]; // per sender: type, reason, player, user data
    auto run = [&](bool silent3) {
        for (int f = 0; f < 150; ++f) {
            Tick(net), Step(host.server);
            for (int id : {2, 3, 4})
                if (id != 3 || !silent3) Step(peers[id]->conn);
            for (SNetServerEvent e; host.server.PollEvent(&e);) {
                seen[e.m_addr.sin_port].insert(
                    seen[e.m_addr.sin_port].end(),
                    {e.m_type, e.m_reason, int(e.m_who.m_player_id),
                     e.m_who.m_user_data_len ? e.m_who.m_user_data[0] : -1});
                EXPECT_EQ(e.m_who.m_identity, e.m_type == 1 ? tokens[e.m_addr.sin_port] : "");
            }
            if (host.dtls.GetHalfOpen() > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    run(false);
    // The welcome told each player who the host knows it as, and where it sits.
    for (int id : {2, 3, 4})
        EXPECT_EQ((secure::Ints{int(peers[id]->conn.GetPlayerId()), peers[id]->conn.GetSlot()}),
                  (secure::Ints{40 + id, id - 2}));
    peers[2].reset(); // a new process on the same address, with a new token of the same player
    peers[2].reset(new SecurePeer(&net, 2, Ticket(2, &tokens[2], keys[2])));
    EXPECT_EQ(host.dtls.KickPlayer(44), 1);
    run(true);
    using E = SNetServerEvent;
    EXPECT_EQ(seen[2], (std::vector<int>{E::kJoined, 0, 42, 2, E::kLeft, kNetGoneRestarted, 0, -1,
                                         E::kJoined, 0, 42, 2}));
    EXPECT_EQ(seen[3],
              (std::vector<int>{E::kJoined, 0, 43, 3, E::kLeft, kNetGoneSessionEnded, 0, -1}));
    EXPECT_EQ(seen[4], (std::vector<int>{E::kJoined, 0, 44, 4, E::kLeft, kNetGoneKicked, 0, -1}));
    EXPECT_EQ(peers[2]->conn.GetPlayerId(), 42u); // the new process, welcomed as the same player
}

} // namespace
