// What a family changes: which sockets a port alone, "[::]" and each family alone reach. (The
// UDP tests that a family does not change run over both, see INSTANTIATE_FAMILIES; a session
// of players of both families with one dual-stack host is AddrServer's.)
#include "TransportFixture.h"

#include "platform/PlatformSystem.h"
#include "portnet/CNetAddr.h"

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

    // A port alone holds the IPv4 port too (IPV6_V6ONLY 0); beside IPv6 alone it is free.
    const auto v4_at = [](CNetUDP& d) {
        return "127.0.0.1:" + std::to_string(d.GetLocalAddr().Port());
    };
    CNetUDP clash(v4_at(dual).c_str()), beside(v4_at(v6only).c_str());
    EXPECT_EQ(clash.Init(), -1);
    EXPECT_NE(std::string(clash.GetError()).find("in use"), std::string::npos) << clash.GetError();
    EXPECT_EQ(beside.Init(), 0) << beside.GetError();
}
