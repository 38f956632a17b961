// What a server says to those it does not take, and how much it tells its game about them.
#include <functional>

#include "ServerRig.h"

using namespace rig;

namespace {

class Refusal : public Clocked {
protected:
    enum : int { kLatency = 30 }; // each way

    void SetUp() override {
        Clocked::SetUp();
        SNetImpairment link;
        link.m_latency_ms = kLatency;
        for (int id = 2; id <= 4; ++id) {
            net.SetLinkImpairment(kServerId, id, link);
            net.SetLinkImpairment(id, kServerId, link);
        }
        ASSERT_EQ(sim.Init(), 0);
        server.m_max_clients = 2;
        server.m_keep_alive_ms = 50; // the players' idle limit is 300 ms
        ASSERT_EQ(server.Init(&sim, 1), 1);
    }
    // Frames for ms, every player stepped after the server.
    void Run(int ms) {
        for (const int end = s_now + ms; s_now < end;) {
            Tick(net);
            Step(server);
            for (auto& p : players)
                Step(*p->conn);
            if (each_frame) each_frame();
        }
    }
    int Events(int type) const {
        int n = 0;
        for (const Logged& l : server.m_log)
            n += l.e.m_type == type;
        return n;
    }

    CNetSimNetwork net{5};
    CNetSimDriver sim{&net, kServerId};
    LoggingServer server;
    std::vector<std::unique_ptr<Player>> players;
    std::function<void()> each_frame;
};

// A player beyond the table is told "full" within two round trips of its first hello, not left
// to its connect time-out; one that keeps asking for seconds raises one event a second, while
// every refusal is counted.
TEST_F(Refusal, AFullServerSaysSoPromptlyAndOnceASecond) {
    players.emplace_back(new Player(&net, 2));
    players.emplace_back(new Player(&net, 3));
    Run(500);
    ASSERT_EQ(server.GetNumPeers(), 2);
    EXPECT_EQ(players[0]->conn->GetSlot() + players[1]->conn->GetSlot(), 1); // slots 0 and 1

    players.emplace_back(new Player(&net, 4));
    CNetConnection& late = *players[2]->conn;
    SNetConnectionEvent told{};
    int told_at = -1;
    const int asked_at = s_now;
    each_frame = [&] {
        SNetConnectionEvent e;
        while (late.PollEvent(&e))
            if (told_at == -1) told = e, told_at = s_now;
    };
    Run(500);
    ASSERT_NE(told_at, -1);
    EXPECT_EQ(told.m_type, SNetConnectionEvent::kFailed);
    EXPECT_EQ(told.m_reason, kNetGoneRefused);
    EXPECT_EQ(told.m_refusal, CNetServer::kRefusedFull);
    EXPECT_LE(told_at - asked_at, 4 * kLatency + 2 * kFrameMs);
    EXPECT_EQ(late.GetSlot(), -1);

    // Asking again every 100 ms for three seconds.
    server.m_log.clear();
    const unsigned counted = server.m_refused[CNetServer::kRefusedFull];
    const unsigned unreported = server.m_refusals_unreported;
    int frames = 0;
    each_frame = [&] {
        if (++frames % 6 == 0) late.Reconnect();
    };
    Run(3000);
    const int events = Events(SNetServerEvent::kRefused);
    EXPECT_GE(events, 2);
    EXPECT_LE(events, 4);
    const unsigned refusals = server.m_refused[CNetServer::kRefusedFull] - counted;
    EXPECT_GE(refusals, 25u);
    // Every refusal told is counted, and each is an event or counted as unreported.
    EXPECT_EQ(server.m_refusals_unreported - unreported, refusals - static_cast<unsigned>(events));
    EXPECT_EQ(server.m_events_dropped, 0u);
    EXPECT_EQ(server.GetNumPeers(), 2); // the two inside never noticed
    EXPECT_EQ(Events(SNetServerEvent::kLeft), 0);
}

// What a kicked player still had in flight, and the late copies of a goodbye, are dropped
// without an event; the kicked player hears the goodbye, and a slot freed is taken by the next.
TEST_F(Refusal, TrafficOfAPeerJustGoneRaisesNoEvent) {
    players.emplace_back(new Player(&net, 2));
    players.emplace_back(new Player(&net, 3));
    Run(500);
    ASSERT_EQ(server.GetNumPeers(), 2);
    const int slot = players[0]->conn->GetSlot();
    server.m_log.clear();
    ASSERT_EQ(server.Kick(slot), slot);
    players[1]->conn->Leave();
    Run(500);
    EXPECT_EQ(Events(SNetServerEvent::kRefused), 0);
    EXPECT_GT(server.m_after_leave, 0u); // packets in flight from the kicked one, copies of the bye
    EXPECT_EQ(server.GetNumPeers(), 0);
    SNetConnectionEvent e{};
    ASSERT_EQ(players[0]->conn->PollEvent(&e), 1); // its kConnected
    ASSERT_EQ(players[0]->conn->PollEvent(&e), 1);
    EXPECT_EQ(e.m_type, SNetConnectionEvent::kLost);
    EXPECT_EQ(e.m_reason, kNetGoneLeft);

    players.emplace_back(new Player(&net, 4));
    Run(500);
    EXPECT_EQ(players[2]->conn->GetState(), CNetConnection::kConnected);
    EXPECT_EQ(server.GetNumPeers(), 1);
}

} // namespace

namespace {

// An address that names no host is refused by Connect at once, with a reason for text; a name
// is resolved.
TEST(ConnectTo, RefusesWhatNamesNoHostAndResolvesNames) {
    CNetUDP udp("127.0.0.1:0");
    CNetConnection conn;
    ASSERT_EQ(udp.Init(), 0);
    ASSERT_EQ(conn.Init(&udp, 1), 1);
    sockaddr_in any{};
    any.sin_family = kNetFamilyInet;
    EXPECT_EQ(conn.Connect(&any), -1);
    char err[128] = "";
    for (const char* text : {"0.0.0.0:4000", "127.0.0.1:0", "300.1.2.3:40631", ":99999", "", "x"}) {
        err[0] = '\0';
        EXPECT_EQ(conn.Connect(text, err, sizeof err), -1) << text;
        EXPECT_NE(err[0], '\0') << text;
    }
    EXPECT_EQ(conn.GetState(), CNetConnection::kIdle);
    ASSERT_EQ(conn.Connect("localhost:4000", err, sizeof err), 1) << err;
    EXPECT_EQ(conn.GetState(), CNetConnection::kConnecting);
    conn.Release();
}

} // namespace
