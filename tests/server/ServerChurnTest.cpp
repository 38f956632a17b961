// A thousand peers come and go, by every way a peer can go, in an order drawn at random.
#include <map>
#include <random>

#include "ServerRig.h"

using namespace rig;

namespace {

enum Way { kLeave, kSilent, kVanish, kSessionEnd, kDriverRestart, kFreshStart, kKick, kWays };
const int kExpected[kWays] = {kNetGoneLeft,         kNetGoneTimedOut,  kNetGoneUnreachable,
                              kNetGoneSessionEnded, kNetGoneRestarted, kNetGoneRestarted,
                              kNetGoneKicked};

struct Live {
    std::unique_ptr<Player> player;
    Way way;
    int depart_at = -1; // frame time its departure begins; -1 until it joined
    bool departing = false;
};

class ServerChurn : public Clocked {};

TEST_F(ServerChurn, EveryPeerAdmittedWhileASlotIsFreeAndEachDepartureToldOnceWithItsReason) {
    CNetSimNetwork net(11);
    CNetSimDriver sim(&net, kServerId);
    sim.m_report_refused = true; // a send to a vanished peer comes back as 10001
    ReportingDriver driver(&sim);
    ASSERT_EQ(driver.Init(), 0);
    LoggingServer server;
    ASSERT_EQ(server.Init(&driver, 1), 1);
    server.m_keep_alive_ms = 50;
    server.m_idle_limit_ms = 300;
    server.m_banned = 2000; // its peer is refused by the host, never admitted

    std::mt19937 rng(5);
    std::map<int, Live> live; // by endpoint id
    std::map<int, int> expected_reason;
    int next_id = 2000, joins = 0, departures = 0;
    const int limit = server.GetLimit();

    for (int frame = 0; frame < 200000 && (joins < 1000 || !live.empty()); ++frame) {
        Tick(net);
        // A couple more peers than slots try at any time, so some are refused for a full table.
        if (joins + static_cast<int>(live.size()) < 1000 + limit &&
            static_cast<int>(live.size()) < limit + 2 && rng() % 3 == 0) {
            const int id = next_id++;
            Live& l = live[id];
            l.player.reset(new Player(&net, id));
            l.way = static_cast<Way>(rng() % kWays);
            if (l.way == kFreshStart) l.player->conn->m_keep_alive_ms = kFrameMs; // many packets
        }
        Step(server);
        for (auto it = live.begin(); it != live.end();) {
            Live& l = it->second;
            CNetConnection& c = *l.player->conn;
            if (!(l.departing && (l.way == kSilent || l.way == kVanish))) Step(c);
            // A peer that failed to connect while the table stayed full tries again.
            if (c.GetState() == CNetConnection::kLost && !l.departing) c.Reconnect();
            if (it->first == server.m_banned && s_now > 2000) {
                it = live.erase(it);
                continue;
            }
            if (l.depart_at != -1 && !l.departing && s_now >= l.depart_at &&
                (l.way != kFreshStart || !c.GetPeer() ||
                 c.GetPeer()->m_packets_out > 2 * CNetPeer::kFreshSeqs)) {
                l.departing = true;
                const int id = it->first;
                expected_reason[id] = kExpected[l.way];
                switch (l.way) {
                case kLeave:
                    c.Leave();
                    break;
                case kVanish:
                    l.player->drv->Shutdown();
                    break;
                case kSessionEnd: // as a secure driver reports them
                case kDriverRestart:
                    driver.Report(id, kExpected[l.way]);
                    break;
                case kFreshStart: // the same endpoint, a new connection starting at packet 1
                    l.player->conn.reset(new CNetConnection);
                    l.player->conn->Init(l.player->drv.get(), 1);
                    l.player->conn->m_keep_alive_ms = 50;
                    {
                        const sockaddr_in s = Addr(kServerId);
                        l.player->conn->Connect(&s);
                    }
                    break;
                case kKick:
                    for (int slot = 0; slot < limit; ++slot)
                        if (server.GetPeer(slot) &&
                            server.GetPeer(slot)->m_send_buf->m_addr.sin_port == id)
                            server.Kick(slot);
                    break;
                default: // kSilent: it only stops
                    break;
                }
            }
            ++it;
        }
        SNetServerEvent e;
        while (server.PollEvent(&e)) {
            const int id = e.m_addr.sin_port;
            if (e.m_type == SNetServerEvent::kJoined) {
                ++joins;
                char name[32];
                std::snprintf(name, sizeof name, "player-%d", id);
                EXPECT_STREQ(e.m_who.m_identity, name);
                ASSERT_NE(id, server.m_banned);
                auto l = live.find(id);
                ASSERT_NE(l, live.end());
                if (l->second.depart_at == -1)
                    l->second.depart_at = s_now + kFrameMs * static_cast<int>(5 + rng() % 40);
            } else if (e.m_type == SNetServerEvent::kLeft) {
                ++departures;
                ASSERT_TRUE(expected_reason.count(id))
                    << "peer " << id << " left unasked, reason " << e.m_reason << " at " << s_now;
                EXPECT_EQ(e.m_reason, expected_reason[id]) << "peer " << id;
                expected_reason.erase(id);
                // A freshly started peer joins again and is one more to see off.
                auto l = live.find(id);
                if (l != live.end() && l->second.way == kFreshStart && l->second.departing) {
                    l->second.way = kLeave;
                    l->second.departing = false;
                    l->second.depart_at = -1; // set once it has joined again
                } else if (l != live.end()) {
                    live.erase(l);
                }
            }
        }
    }
    // Every refusal for a full table came while every slot was taken, and there were some.
    int full = 0, by_host = 0;
    for (const Logged& l : server.m_log) {
        if (l.e.m_type != SNetServerEvent::kRefused) continue;
        if (l.e.m_reason == CNetServer::kRefusedFull) {
            ++full;
            EXPECT_EQ(l.peers, limit) << "refused at " << l.time;
        }
        by_host += l.e.m_reason == CNetServer::kRefusedByHost;
    }
    EXPECT_EQ(
        (std::vector<int>{joins >= 1000, departures - joins, int(live.size()),
                          int(expected_reason.size()), server.GetNumPeers(), server.GetNumClients(),
                          full > 0, by_host > 0, int(server.m_events_dropped)}),
        (std::vector<int>{1, 0, 0, 0, 0, 0, 1, 1, 0}));
}

} // namespace
