// What a family changes: which sockets a port alone, "[::]" and each family alone reach, and a
// session of players of both families with one dual-stack host. (The UDP tests that a family
// does not change run over both, see INSTANTIATE_FAMILIES.)
#include "TransportFixture.h"

#include <memory>

#include "platform/PlatformSystem.h"
#include "portnet/CNetAddr.h"
#include "portnet/CNetConnection.h"
#include "portnet/CNetServer.h"
#include "portnet/CNetTime.h"

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
        ASSERT_EQ(Send(v4_sender, "v4", to("127.0.0.1", *d)), 0);
        const Received g = Recv(*d, 1000, true);
        EXPECT_EQ(g.data, "v4");
        EXPECT_TRUE(g.peer.IsInet());
    }
    ASSERT_EQ(Send(v6_sender, "v6", to("[::1]", v6only)), 0);
    EXPECT_EQ(Recv(v6only, 1000, true).data, "v6");
    if (!portnet::platform::RunningUnderWine()) {
        ASSERT_EQ(Send(v4_sender, "v4", to("127.0.0.1", v6only)), 0);
        EXPECT_EQ(Recv(v4_sender, 1000, true).result, kNetEventDisconnect);
        ASSERT_EQ(Send(v6_sender, "v6", to("[::1]", v4only)), 0);
        EXPECT_EQ(Recv(v6_sender, 1000, true).result, kNetEventDisconnect);
    }
    // An IPv4 socket cannot send to an IPv6 address, nor an IPv6-only one to IPv4.
    EXPECT_EQ(Send(v4only, "x", At("[::1]:9")), -1);
    EXPECT_EQ(Send(v6only, "x", At("127.0.0.1:9")), -1);

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
