// What a server holds of players that are gone: after a thousand came and went through its
// sixteen slots, each leaving with a goodbye, nothing of any of them.
#include <chrono>
#include <memory>

#include "ServerRig.h"
#include "integration/CountAllocations.h" // counts every allocation of this program

using namespace rig;

namespace {

enum : int { kSlots = 16, kEndpoints = kSlots + 8, kPlayers = 1000 };

class ServerHeap : public Clocked {};

// The players' endpoints are made before the empty table is counted and kept to the end; each
// player is a CNetConnection of its own, deleted as it leaves. Endpoints are taken in turn, so
// one rests eight frames before a new player joins from it. Every frame the oldest player
// leaves once sixteen are in play and a new one joins, so the table stays full and every slot
// is freed and taken again some sixty times.
TEST_F(ServerHeap, AThousandPlayersThroughSixteenSlotsLeaveTheHeapOfTheEmptyTable) {
    CNetSimNetwork net(3, kEndpoints + 2);
    CNetSimDriver host(&net, kServerId, 4 * kSlots);
    ASSERT_EQ(host.Init(), 0);
    std::unique_ptr<CNetSimDriver> ends[kEndpoints];
    for (int i = 0; i < kEndpoints; ++i) {
        ends[i].reset(new CNetSimDriver(&net, 100 + i));
        ASSERT_EQ(ends[i]->Init(), 0);
    }
    CNetServer server;
    server.m_max_clients = kSlots;
    ASSERT_EQ(server.Init(&host, 1), 1);
    for (int f = 0; f < 3; ++f) {
        Tick(net);
        Step(server);
    }
    const long empty = g_live;

    const sockaddr_in server_addr = Addr(kServerId);
    CNetConnection* players[kEndpoints] = {};
    int first = 0, in_play = 0, started = 0, joined = 0, left = 0, other = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int frame = 0; frame < 20 * kPlayers && std::chrono::steady_clock::now() < deadline;
         ++frame) {
        if (started == kPlayers && in_play == 0 && server.GetNumPeers() == 0) break;
        Tick(net);
        if (in_play == kSlots || (started == kPlayers && in_play > 0)) {
            players[first]->Leave(); // the goodbye is on its way: the player can go
            delete players[first];
            players[first] = nullptr;
            first = (first + 1) % kEndpoints;
            --in_play;
        }
        if (started < kPlayers) {
            CNetConnection*& p = players[(first + in_play) % kEndpoints];
            p = new CNetConnection;
            ASSERT_EQ(p->Init(ends[(first + in_play) % kEndpoints].get(), 1), 1);
            ASSERT_EQ(p->Connect(&server_addr), 1);
            ++in_play;
            ++started;
        }
        Step(server);
        for (CNetConnection* p : players)
            if (p) Step(*p);
        SNetServerEvent e;
        while (server.PollEvent(&e) == 1) {
            joined += e.m_type == SNetServerEvent::kJoined;
            left += e.m_type == SNetServerEvent::kLeft && e.m_reason == kNetGoneLeft;
            other += e.m_type == SNetServerEvent::kRefused ||
                     (e.m_type == SNetServerEvent::kLeft && e.m_reason != kNetGoneLeft);
        }
    }
    for (int f = 0; f < 3; ++f) {
        Tick(net);
        Step(server);
    }
    const long held = g_live - empty; // read before a failing check allocates its message

    EXPECT_EQ((std::vector<int>{joined, left, other, server.GetNumPeers(), server.GetNumClients(),
                                int(server.m_events_dropped)}),
              (std::vector<int>{kPlayers, kPlayers, 0, 0, 0, 0}));
    EXPECT_EQ(held, 0) << "blocks still allocated after every player left, over the " << kSlots
                       << "-slot table's own";
}

} // namespace
