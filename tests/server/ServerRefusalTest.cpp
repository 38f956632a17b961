// What a server says to those it does not take, and how much it tells its game about them.
#include <functional>

#include "ServerRig.h"

using namespace rig;

namespace {

using Ints = std::vector<int>;

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
    EXPECT_EQ(
        (Ints{told.m_type, told.m_reason, told.m_refusal,
              told_at - asked_at <= 4 * kLatency + 2 * kFrameMs, late.GetSlot()}),
        (Ints{SNetConnectionEvent::kFailed, kNetGoneRefused, CNetServer::kRefusedFull, 1, -1}));

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
    const int refusals = int(server.m_refused[CNetServer::kRefusedFull] - counted);
    // Every refusal told is counted, and each is an event or counted as unreported; the two
    // inside never noticed.
    EXPECT_EQ((Ints{events >= 2 && events <= 4, refusals >= 25,
                    int(server.m_refusals_unreported - unreported), int(server.m_events_dropped),
                    server.GetNumPeers(), Events(SNetServerEvent::kLeft)}),
              (Ints{1, 1, refusals - events, 0, 2, 0}))
        << events << " events, " << refusals << " refusals";
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
    // Packets in flight from the kicked one and copies of the bye came after it left.
    SNetConnectionEvent e{};
    ASSERT_EQ(players[0]->conn->PollEvent(&e), 1); // its kConnected
    ASSERT_EQ(players[0]->conn->PollEvent(&e), 1);
    EXPECT_EQ((Ints{Events(SNetServerEvent::kRefused), server.m_after_leave > 0,
                    server.GetNumPeers(), e.m_type, e.m_reason}),
              (Ints{0, 1, 0, SNetConnectionEvent::kLost, kNetGoneLeft}));
    players.emplace_back(new Player(&net, 4));
    Run(500);
    EXPECT_EQ((Ints{players[2]->conn->GetState(), server.GetNumPeers()}),
              (Ints{CNetConnection::kConnected, 1}));
}

// A player that never hears of its end keeps talking until its idle limit: the server answers
// it, but not every packet (a crowd left talking would have its whole traffic answered).
TEST_F(Refusal, APlayerStillTalkingIsAnsweredSeldom) {
    players.emplace_back(new Player(&net, 2));
    players[0]->conn->m_keep_alive_ms = 1; // a packet every frame
    Run(500);
    ASSERT_EQ(server.GetNumPeers(), 1);
    SNetImpairment deaf;
    deaf.m_latency_ms = kLatency;
    deaf.m_loss_percent = 100.0;
    net.SetLinkImpairment(kServerId, 2, deaf);
    ASSERT_EQ(server.Kick(players[0]->conn->GetSlot()), players[0]->conn->GetSlot());
    const unsigned after_leave = server.m_after_leave;
    const std::uint32_t sent = sim.m_stats.m_sent; // the goodbyes are out
    Run(250);                                      // within the player's idle limit, 300 ms
    const int heard = int(server.m_after_leave - after_leave);
    const int answers = int(sim.m_stats.m_sent - sent);
    EXPECT_GE(heard, 10);
    EXPECT_GE(answers, 1);
    EXPECT_LE(answers, 3) << heard << " packets after its end";
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
    for (const char* text : {"0.0.0.0:4000", "127.0.0.1:0", "300.1.2.3:40631", ":99999", "", "x",
                             "[::]:4000", "[::1]:0", "[::1:4000", "::1:4000"}) {
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
