// The UDP driver over both families: IPv4, IPv6 on ::1, and IPv4 peers of a dual-stack socket,
// which must read as the IPv4 addresses they are. Each case runs batched and one call at a time
// (udp_one_at_a_time).
#include "TransportFixture.h"

#include <memory>

#include "platform/PlatformSystem.h"
#include "portnet/CNetAddr.h"
#include "portnet/CNetConnection.h"
#include "portnet/CNetServer.h"
#include "portnet/CNetTime.h"

namespace {

CNetAddr At(const std::string& text) {
    CNetAddr a;
    char err[128];
    EXPECT_EQ(CNetAddr::Parse(text.c_str(), &a, err, sizeof err), 1) << err;
    return a;
}

std::string Text(const CNetAddr& a) {
    char text[CNetAddr::kMaxText];
    return a.ToText(text, sizeof text) > 0 ? text : "(none)";
}

// The system has IPv6 on loopback: a socket can be bound to [::1].
bool HasIpv6Loopback() {
    CNetUDP probe("[::1]:0");
    return probe.Init() == 0;
}

// `sender` reaches `receiver` at `dest_host`:port, and the receiver sees the sender as
// `seen_host`:its port.
struct Families {
    const char* name;
    const char* sender;
    const char* receiver; // nullptr: a driver bound to a port alone (dual-stack)
    const char* dest_host;
    const char* seen_host;
    bool needs_v6;
};

const Families kFamilies[] = {
    {"Ipv4", "127.0.0.1:0", "127.0.0.1:0", "127.0.0.1", "127.0.0.1", false},
    {"Ipv6", "[::1]:0", "[::1]:0", "[::1]", "[::1]", true},
    {"Ipv4ToDualStack", "127.0.0.1:0", nullptr, "127.0.0.1", "127.0.0.1", false},
    {"Ipv6ToDualStack", "[::1]:0", nullptr, "[::1]", "[::1]", true},
};

// One receive of a datagram or report, waiting up to two seconds.
struct Got {
    int result = 0;
    std::string data;
    CNetAddr from;
};
Got RecvAddr(CNetDriver& d) {
    Got g;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 400 && std::chrono::steady_clock::now() < deadline; ++i) {
        char buf[1000];
        int len = sizeof buf;
        g.from = CNetAddr();
        g.result = d.RecvFromAddr(&len, buf, &g.from);
        if (g.result != 0 || len > 0) {
            if (g.result == 0) g.data.assign(buf, static_cast<std::size_t>(len));
            return g;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return g;
}

int SendAddr(CNetDriver& d, const std::string& data, const CNetAddr& to) {
    return d.SendToAddr(static_cast<int>(data.size()), const_cast<char*>(data.data()), to);
}

class UdpFamilies : public ::testing::TestWithParam<Families> {
protected:
    void SetUp() override {
        if (GetParam().needs_v6 && !HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 on loopback";
        a = std::make_unique<CNetUDP>(GetParam().sender);
        b = GetParam().receiver ? std::make_unique<CNetUDP>(GetParam().receiver)
                                : std::make_unique<CNetUDP>(0);
        for (CNetUDP* d : {a.get(), b.get()}) {
            ApplyUdpMode(*d);
            ASSERT_EQ(d->Init(), 0) << d->GetError();
        }
        to_b =
            At(std::string(GetParam().dest_host) + ":" + std::to_string(b->GetLocalAddr().Port()));
        a_seen =
            At(std::string(GetParam().seen_host) + ":" + std::to_string(a->GetLocalAddr().Port()));
    }
    std::unique_ptr<CNetUDP> a, b;
    CNetAddr to_b, a_seen;
};

} // namespace

TEST_P(UdpFamilies, DatagramsGoBothWaysAndNameTheSenderAsItIs) {
    ASSERT_EQ(SendAddr(*a, "ping", to_b), 0);
    const Got ping = RecvAddr(*b);
    EXPECT_EQ(ping.result, 0);
    EXPECT_EQ(ping.data, "ping");
    EXPECT_EQ(Text(ping.from), Text(a_seen)); // a v4-mapped sender reads as IPv4
    EXPECT_EQ(ping.from.Family(), a_seen.Family());
    ASSERT_EQ(SendAddr(*b, "pong", ping.from), 0);
    const Got pong = RecvAddr(*a);
    EXPECT_EQ(pong.data, "pong");
    EXPECT_EQ(pong.from.Port(), b->GetLocalAddr().Port());

    // The sockaddr_in interface of today: an IPv4 sender as its record, an IPv6 one as its
    // family alone.
    ASSERT_EQ(SendAddr(*a, "old", to_b), 0);
    Received old = Recv(*b, 1000, true);
    EXPECT_EQ(old.data, "old");
    if (a_seen.IsInet()) {
        EXPECT_STREQ(ToString(&old.from), Text(a_seen).c_str());
    } else {
        EXPECT_EQ(old.from.sin_family, kNetFamilyInet6);
        EXPECT_EQ(ToString(&old.from), nullptr);
    }
}

TEST_P(UdpFamilies, AHeldBurstLeavesInFewCallsAndArrivesInOrder) {
    enum : int { kBurst = 40 };
    const int calls_before = a->m_send_calls;
    ASSERT_EQ(a->HoldSends(), 0);
    for (int i = 0; i < kBurst; ++i)
        ASSERT_EQ(SendAddr(*a, "d" + std::to_string(i), to_b), 0);
    ASSERT_EQ(a->FlushSends(), 0);
    if (!OneAtATime()) {
        EXPECT_LT(a->m_send_calls - calls_before, kBurst / 4);
    }
    for (int i = 0; i < kBurst; ++i) {
        const Got g = RecvAddr(*b);
        ASSERT_EQ(g.data, "d" + std::to_string(i));
        ASSERT_EQ(g.from, a_seen);
    }
    if (!OneAtATime()) {
        EXPECT_LT(b->m_recv_calls, kBurst); // batched receives served some of them
    }
}

TEST_P(UdpFamilies, ARefusedDatagramComesBackAsDisconnectNamingItsDestination) {
    if (portnet::platform::RunningUnderWine())
        GTEST_SKIP() << "Wine does not report an ICMP port unreachable as WSAECONNRESET";
    // A port that was bound a moment ago and is closed now: the ICMP (ICMPv6) report of the
    // datagram sent there names it.
    CNetAddr dead;
    {
        CNetUDP gone(GetParam().receiver ? GetParam().receiver : "[::]:0");
        ASSERT_EQ(gone.Init(), 0);
        dead = At(std::string(GetParam().dest_host) + ":" +
                  std::to_string(gone.GetLocalAddr().Port()));
    }
    ASSERT_EQ(SendAddr(*a, "to nobody", dead), 0);
    const Got g = RecvAddr(*a);
    EXPECT_EQ(g.result, kNetEventDisconnect);
    EXPECT_EQ(Text(g.from), Text(dead));
    // The driver goes on: a datagram to the live peer still arrives.
    ASSERT_EQ(SendAddr(*a, "still", to_b), 0);
    EXPECT_EQ(RecvAddr(*b).data, "still");
}

INSTANTIATE_TEST_SUITE_P(Both, UdpFamilies, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<Families>& info) {
                             return std::string(info.param.name);
                         });

TEST(UdpStacks, APortAloneIsDualStackAndEachFamilyAloneIsAvailable) {
    if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 on loopback";
    CNetUDP dual(0), v4only(0), v6only(0), v6_text("[::1]:0"), any_text("[::]:0");
    v4only.m_stack = CNetUDP::kIpv4Only;
    v6only.m_stack = CNetUDP::kIpv6Only;
    for (CNetUDP* d : {&dual, &v4only, &v6only, &v6_text, &any_text})
        ASSERT_EQ(d->Init(), 0) << d->GetError();
    EXPECT_TRUE(dual.IsIpv6Socket());
    EXPECT_FALSE(v4only.IsIpv6Socket());
    EXPECT_TRUE(v6only.IsIpv6Socket());
    // GetAddr keeps the IPv4 form programs parse; GetLocalAddr tells the socket as it is.
    const std::string port = std::to_string(dual.GetLocalAddr().Port());
    EXPECT_EQ(std::string(dual.GetAddr()), "0.0.0.0:" + port);
    EXPECT_EQ(Text(dual.GetLocalAddr()), "[::]:" + port);
    EXPECT_EQ(Text(v4only.GetLocalAddr()).rfind("0.0.0.0:", 0), 0u);
    EXPECT_EQ(Text(v6_text.GetLocalAddr()).rfind("[::1]:", 0), 0u);
    EXPECT_EQ(std::string(v6_text.GetAddr()), Text(v6_text.GetLocalAddr()));

    // Who reaches whom: IPv4 reaches the dual-stack and the "[::]" sockets, not the IPv6-only
    // one (its port is free for IPv4: the datagram is refused); IPv6 does not reach the
    // IPv4-only socket.
    CNetUDP v4_sender("127.0.0.1:0"), v6_sender("[::1]:0");
    ASSERT_EQ(v4_sender.Init() + v6_sender.Init(), 0);
    auto to = [](const char* host, CNetUDP& d) {
        return At(std::string(host) + ":" + std::to_string(d.GetLocalAddr().Port()));
    };
    for (CNetUDP* d : {&dual, &any_text}) {
        ASSERT_EQ(SendAddr(v4_sender, "v4", to("127.0.0.1", *d)), 0);
        const Got g = RecvAddr(*d);
        EXPECT_EQ(g.data, "v4");
        EXPECT_TRUE(g.from.IsInet());
    }
    ASSERT_EQ(SendAddr(v6_sender, "v6", to("[::1]", v6only)), 0);
    EXPECT_EQ(RecvAddr(v6only).data, "v6");
    if (!portnet::platform::RunningUnderWine()) {
        ASSERT_EQ(SendAddr(v4_sender, "v4", to("127.0.0.1", v6only)), 0);
        EXPECT_EQ(RecvAddr(v4_sender).result, kNetEventDisconnect);
        ASSERT_EQ(SendAddr(v6_sender, "v6", to("[::1]", v4only)), 0);
        EXPECT_EQ(RecvAddr(v6_sender).result, kNetEventDisconnect);
    }
    // An IPv4 socket cannot send to an IPv6 address, nor an IPv6-only one to IPv4.
    EXPECT_EQ(SendAddr(v4only, "x", At("[::1]:9")), -1);
    EXPECT_EQ(SendAddr(v6only, "x", At("127.0.0.1:9")), -1);

    // Broadcast is IPv4's: refused to an IPv6 address and on an IPv6-only socket.
    char data[1] = {0};
    EXPECT_EQ(dual.BroadcastAddr(1, data, At("[ff02::1%1]:9")), -1);
    EXPECT_EQ(dual.BroadcastAddr(1, data, At("[::1]:9")), -1);
    EXPECT_EQ(v6only.BroadcastAddr(1, data, At("127.255.255.255:9")), -1);

    // An IPv6 address on a driver asked for IPv4 alone is refused with its reason.
    CNetUDP refused("[::1]:0");
    refused.m_stack = CNetUDP::kIpv4Only;
    EXPECT_EQ(refused.Init(), -1);
    EXPECT_NE(std::string(refused.GetError()).find("IPv4-only"), std::string::npos);
}

// A whole session through CNetServer and CNetConnection: the host bound to a port alone
// (dual-stack), players over ::1 and over IPv4, each seen by the host as it is.
TEST(UdpStacks, PlayersOfBothFamiliesJoinADualStackHostAndAreSeenAsTheyAre) {
    const bool v6 = HasIpv6Loopback();
    CNetUDP host_udp(0);
    ASSERT_EQ(host_udp.Init(), 0);
    CNetServer host;
    ASSERT_EQ(host.Init(&host_udp, 1), 1);
    const std::string port = std::to_string(host_udp.GetLocalAddr().Port());

    struct Player {
        std::unique_ptr<CNetUDP> udp;
        CNetConnection conn;
    };
    std::vector<std::string> binds = {"127.0.0.1:0"}, dests = {"127.0.0.1:" + port};
    if (v6) {
        binds.push_back("[::1]:0");
        dests.push_back("[::1]:" + port);
    }
    std::vector<std::unique_ptr<Player>> players;
    for (std::size_t i = 0; i < binds.size(); ++i) {
        players.push_back(std::make_unique<Player>());
        Player& p = *players.back();
        p.udp = std::make_unique<CNetUDP>(binds[i].c_str());
        ASSERT_EQ(p.udp->Init(), 0);
        ASSERT_EQ(p.conn.Init(p.udp.get(), 1), 1);
        char err[128] = "";
        ASSERT_EQ(p.conn.Connect(dests[i].c_str(), err, sizeof err), 1) << err;
    }
    auto step = [](CNetManager& m) {
        m.BeginFrame();
        m.Read();
        m.Update(false);
        m.Write();
        m.EndFrame();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::vector<CNetAddr> joined;
    for (int frame = 0; frame < 500 && std::chrono::steady_clock::now() < deadline; ++frame) {
        CNetTime::Update();
        step(host);
        for (auto& p : players)
            step(p->conn);
        SNetServerEvent e;
        while (host.PollEvent(&e) == 1)
            if (e.m_type == SNetServerEvent::kJoined) joined.push_back(e.m_peer);
        bool all = joined.size() == players.size();
        for (auto& p : players)
            all = all && p->conn.GetState() == CNetConnection::kConnected;
        if (all) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(joined.size(), players.size());
    for (std::size_t i = 0; i < players.size(); ++i) {
        EXPECT_EQ(players[i]->conn.GetState(), CNetConnection::kConnected) << binds[i];
        // The player's own socket, as the host must name it: IPv4 as IPv4, never ::ffff:.
        const CNetAddr mine = players[i]->udp->GetLocalAddr();
        bool found = false;
        for (const CNetAddr& j : joined)
            found = found || j == mine;
        EXPECT_TRUE(found) << Text(mine);
        if (mine.IsInet()) {
            // The sockaddr_in form of the event still names an IPv4 player.
            sockaddr_in record;
            ASSERT_EQ(mine.ToSockaddrIn(&record), 1);
            EXPECT_GE(host.FindClient(&record), 0);
        }
        EXPECT_GE(host.FindClient(mine), 0);
    }
    for (auto& p : players)
        p->conn.Release();
    host.Release();
}
