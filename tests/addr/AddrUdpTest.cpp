// CNetUDP and CNetServer over both families on this machine (127.0.0.1 and ::1): who reaches
// which socket, how senders are named, ICMPv6 refusals and broadcast.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/PlatformSystem.h"
#include "portnet/portnet.h"

namespace {

CNetAddr P(const char* text) {
    CNetAddr a;
    EXPECT_EQ(CNetAddr::Parse(text, &a, nullptr, 0), 1) << text;
    return a;
}

std::string T(const CNetAddr& a) {
    char out[CNetAddr::kMaxText];
    return a.ToText(out, sizeof out) > 0 ? out : "<none>";
}

CNetAddr At(const char* host, const CNetUDP& udp) {
    CNetAddr a = P(host);
    a.SetPort(udp.GetLocalAddr().Port());
    return a;
}

// The first datagram within ms: 1 (RecvFrom answers 0 with its length), a report (10001),
// or 0 when nothing came.
int Await(CNetUDP& udp, char* buf, int* len, CNetAddr* from, int ms = 1000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (int i = 0; i < 10000 && std::chrono::steady_clock::now() < end; ++i) {
        *len = 512;
        const int r = udp.RecvFromAddr(len, buf, from);
        if (r != 0) return r;
        if (*len > 0) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
}

int Say(CNetUDP& udp, const char* what, const CNetAddr& to) {
    return udp.SendToAddr(static_cast<int>(std::strlen(what)) + 1, const_cast<char*>(what), to);
}

} // namespace

// (Which family reaches which socket, and how the sender is named, are UdpFamiliesTest's.)
// The sockaddr_in calls of an IPv4 program on a dual-stack socket; an IPv6 sender through
// them shows its family alone, the rest in LastSender. IPv4 cannot reach a socket on [::1].
TEST(AddrUdp, SockaddrInCallsOnADualStackSocketAndLastSender) {
    CNetUDP host(0), v4("127.0.0.1:0"), v6("[::1]:0");
    ASSERT_EQ(host.Init(), 0) << host.GetError();
    ASSERT_EQ(v4.Init(), 0) << v4.GetError();
    ASSERT_EQ(v6.Init(), 0) << v6.GetError();
    char buf[512];
    int len = 0;
    CNetAddr from;
    sockaddr_in to, rec;
    ASSERT_EQ(v4.GetLocalAddr().ToSockaddrIn(&to), 1);
    char hi[] = "old";
    ASSERT_GE(host.SendTo(sizeof hi, hi, &to), 0);
    ASSERT_GT(Await(v4, buf, &len, &from), 0);
    EXPECT_STREQ(buf, "old");
    EXPECT_EQ(from, At("127.0.0.1:0", host));
    ASSERT_GE(Say(v6, "six again", At("[::1]:0", host)), 0);
    int r = 0;
    const auto end6 = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (int i = 0; i < 1000 && r == 0 && std::chrono::steady_clock::now() < end6; ++i) {
        len = sizeof buf;
        if ((r = host.RecvFrom(&len, buf, &rec)) == 0 && (r = len) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GT(r, 0);
    EXPECT_EQ(rec.sin_family, kNetFamilyInet6);
    EXPECT_EQ(rec.sin_port, 0);
    EXPECT_EQ(rec.sin_addr.s_addr, 0u);
    EXPECT_EQ(host.LastSender(), v6.GetLocalAddr());

    Say(v4, "four", At("127.0.0.1:0", v6));
    EXPECT_EQ(Await(v6, buf, &len, &from, 200), 0);
}

TEST(AddrUdp, Icmpv6RefusalIsReportedAs10001NamingTheDestination) {
    if (portnet::platform::RunningUnderWine())
        GTEST_SKIP() << "Wine does not report an ICMP port unreachable as WSAECONNRESET";
    CNetUDP gone("[::1]:0"), gone4("127.0.0.1:0");
    ASSERT_EQ(gone.Init(), 0);
    ASSERT_EQ(gone4.Init(), 0);
    const CNetAddr closed = gone.GetLocalAddr(), closed4 = gone4.GetLocalAddr();
    gone.Shutdown();
    gone4.Shutdown();
    for (int batch = 0; batch < 2; ++batch) {
        CNetUDP me(0); // dual-stack: the IPv4 report names the IPv4 address
        me.m_batch_receive = me.m_batch_send = batch == 1;
        ASSERT_EQ(me.Init(), 0);
        char buf[512];
        int len = 0;
        CNetAddr from;
        ASSERT_GE(Say(me, "anyone?", closed), 0);
        EXPECT_EQ(Await(me, buf, &len, &from), kNetEventDisconnect);
        EXPECT_EQ(from, closed) << T(from);
        EXPECT_EQ(me.LastSender(), closed);
        ASSERT_GE(Say(me, "anyone?", closed4), 0);
        EXPECT_EQ(Await(me, buf, &len, &from), kNetEventDisconnect);
        EXPECT_EQ(from, closed4) << T(from);
        EXPECT_EQ(Await(me, buf, &len, &from, 100), 0); // once per refused datagram
    }
}

TEST(AddrUdp, BroadcastIsIpv4Alone) {
    CNetUDP dual(0), four(0);
    four.m_stack = CNetUDP::kIpv4Only;
    ASSERT_EQ(dual.Init(), 0);
    ASSERT_EQ(four.Init(), 0);
    dual.MakeBroadcastCapable();
    four.MakeBroadcastCapable();
    char b[] = "bc";
    // (IPv6 destinations are refused: UdpStacks.) To an IPv4 address a dual-stack socket does
    // what an IPv4 one does.
    sockaddr_in bc;
    ASSERT_EQ(ParseAddr("127.255.255.255:9", &bc, nullptr, 0), 1);
    const int r4 = four.Broadcast(sizeof b, b, &bc);
    EXPECT_EQ(dual.Broadcast(sizeof b, b, &bc) >= 0, r4 >= 0) << r4;
    EXPECT_EQ(dual.BroadcastAddr(sizeof b, b, P("127.255.255.255:9")) >= 0, r4 >= 0);
}

TEST(AddrUdp, ADualStackPortHoldsIpv4TooAnIpv6OnlyOneDoesNot) {
    CNetUDP dual(0), only6(0);
    only6.m_stack = CNetUDP::kIpv6Only;
    ASSERT_EQ(dual.Init(), 0);
    ASSERT_EQ(only6.Init(), 0);
    const std::string d = "127.0.0.1:" + std::to_string(dual.GetLocalAddr().Port());
    const std::string o = "127.0.0.1:" + std::to_string(only6.GetLocalAddr().Port());
    CNetUDP clash(d.c_str()), beside(o.c_str());
    EXPECT_NE(clash.Init(), 0); // IPV6_V6ONLY is 0: the IPv4 port is taken
    EXPECT_NE(std::string(clash.GetError()).find("in use"), std::string::npos) << clash.GetError();
    EXPECT_EQ(beside.Init(), 0) << beside.GetError();

    CNetUDP big("[::1]:65536"), cut("[::1");
    EXPECT_NE(big.Init(), 0);
    EXPECT_NE(big.GetError()[0], '\0');
    EXPECT_NE(cut.Init(), 0);
    EXPECT_NE(cut.GetError()[0], '\0');
}
