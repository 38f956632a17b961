#include "TransportFixture.h"

#include <memory>

#include "platform/PlatformUdp.h"
#include "portnet/CNetUDP.h"

namespace {

int BoundPort(CNetUDP& driver) {
    return driver.GetLocalAddr().Port();
}

// A port that was free a moment ago: bind port 0, read it back, close.
int FreePort() {
    CNetUDP probe(0);
    EXPECT_EQ(probe.Init(), 0);
    return BoundPort(probe);
}

int BroadcastOption(int sock) {
    return portnet::platform::UdpBroadcastEnabled(sock);
}

class UdpPair : public FamilyTest, public UdpEnds {
protected:
    UdpPair() : UdpEnds(GetParam()) {}
};
using UdpBind = FamilyTest;

} // namespace

TEST(CNetUDPTest, InitRefusesBadAddressesBeforeMakingASocket) {
    const std::string long_text = "127.0.0.1:1" + std::string(100, '0');
    const struct {
        std::unique_ptr<CNetUDP> driver;
        const char* err;
    } cases[] = {
        {std::make_unique<CNetUDP>(99999), "port 99999 is above 65535"},
        {std::make_unique<CNetUDP>(65536), "port 65536 is above 65535"},
        {std::make_unique<CNetUDP>(-1), "port -1 is negative"},
        {std::make_unique<CNetUDP>("127.0.0.1:99999"),
         "127.0.0.1:99999: port 99999 is above 65535"},
        {std::make_unique<CNetUDP>("[::1]:65536"), "[::1]:65536: port 65536 is above 65535"},
        {std::make_unique<CNetUDP>("[::1"), "[::1: '[' without ']'"},
        {std::make_unique<CNetUDP>("nonsense"), "nonsense: missing port (name:port)"},
        {std::make_unique<CNetUDP>(""), "empty address (a.b.c.d:port)"},
        {std::make_unique<CNetUDP>(nullptr), "empty address (a.b.c.d:port)"},
        {std::make_unique<CNetUDP>(long_text.c_str()), "address text longer than 99 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        EXPECT_EQ(c.driver->Init(), -1);
        EXPECT_EQ(c.driver->m_socket, -1);
        EXPECT_STREQ(c.driver->GetError(), c.err);
    }
}

TEST_P(UdpBind, BindsAPortTextNameOrChosenPortAndAPortInUseSaysSo) {
    const int port = FreePort();
    const std::string in_use = "0.0.0.0:" + std::to_string(port) + ": address in use";
    {
        CNetUDP any(port), second(port);
        ASSERT_EQ(any.Init(), 0);
        EXPECT_EQ(std::string(any.GetAddr()), "0.0.0.0:" + std::to_string(port));
        ASSERT_EQ(any.Init(), 0); // binds the same port again only if the first socket is closed
        EXPECT_EQ((Ints{second.Init(), second.GetError() == in_use}), (Ints{-1, true}));
    }
    const std::string text = Loopback(GetParam(), std::to_string(port));
    CNetUDP bound(text.c_str()), chosen(0);
    ASSERT_EQ(bound.Init() + chosen.Init(), 0);
    EXPECT_EQ(std::string(bound.GetAddr()), text);
    EXPECT_NE(BoundPort(chosen), 0);

    // The name is IPv4's: the resolver here puts 127.0.0.1 first for "localhost".
    CNetUDP named(GetParam() == Fam::v4 ? "localhost:0" : "[::1]:0");
    ASSERT_EQ(named.Init(), 0) << named.GetError();
    EXPECT_STREQ(named.GetError(), "");
    const std::string name_bound = named.GetAddr();
    EXPECT_EQ(name_bound.rfind(Loopback(GetParam(), ""), 0), 0u) << name_bound;
    CNetUDP taken(name_bound.c_str());
    EXPECT_EQ(taken.Init(), -1);
    EXPECT_EQ(taken.GetError(), name_bound + ": address in use");
    // Once the port is free, Init succeeds and forgets the reason.
    named.Shutdown();
    ASSERT_EQ(taken.Init(), 0) << taken.GetError();
    EXPECT_STREQ(taken.GetError(), "");
    EXPECT_EQ(taken.GetAddr(), name_bound);
}

TEST(CNetUDPTest, ClosedDriverFailsWithoutCrash) {
    CNetUDP driver(std::string(200, '9').c_str()); // cut to the 99 characters that fit
    EXPECT_EQ(
        (Ints{Send(driver, "data", Inet("127.0.0.1:9")), Recv(driver).result,
              driver.SetBlockMode(true), driver.MakeBroadcastCapable(), driver.m_broadcast_capable,
              driver.Shutdown(), static_cast<int>(std::strlen(driver.m_addr_text))}),
        (Ints{-1, -1, -1, -1, false, 0, 99}));
    EXPECT_STREQ(driver.GetAddr(), "0.0.0.0:0");
}

TEST_P(UdpPair, DatagramsArriveWholeOrFailAndNothingWaitingIsZero) {
    const Received nothing = Recv(b);
    EXPECT_EQ((Ints{nothing.result, static_cast<int>(nothing.data.size())}), (Ints{0, 0}));
    const std::string exact(1000, 'y');
    // Too long for the capacity by one byte, and longer than a batch's slot; after two
    // datagrams, so that a batching driver reads them through its ring.
    for (const std::string& data : {exact, std::string("hello"), std::string(1001, 'x'),
                                    std::string(3000, 'w'), std::string("bye"), std::string()})
        ASSERT_EQ(Send(a, data, to_b), 0);
    EXPECT_EQ(Recv(b, 1000, true).data, exact);
    EXPECT_EQ(Recv(b, 1000, true).data, "hello");
    EXPECT_EQ(Recv(b, 1000, true).result, -1); // never a cut 1000-byte datagram
    EXPECT_EQ(Recv(b, 1000, true).result, -1);
    EXPECT_EQ(Recv(b, 1000, true).data, "bye");
    const Received empty = Recv(b, 1000, true);
    EXPECT_EQ((Ints{empty.result, static_cast<int>(empty.data.size())}), (Ints{0, 0}));
    // b, dual-stack, names an IPv4 sender as IPv4, never ::ffff:127.0.0.1; the sockaddr_in form
    // holds an IPv6 one as its family alone.
    EXPECT_EQ(Text(empty.peer), a.GetAddr());
    if (GetParam() == Fam::v4) {
        EXPECT_STREQ(ToString(&empty.from), a.GetAddr());
        // The sockaddr_in calls of an IPv4 program work on the dual-stack socket.
        ASSERT_EQ(Send(b, "back", empty.from), 0);
        EXPECT_EQ(Recv(a, 1000, true).data, "back");
    } else {
        EXPECT_EQ(
            (Ints{empty.from.sin_family, empty.from.sin_port, ToString(&empty.from) == nullptr}),
            (Ints{kNetFamilyInet6, 0, true}));
    }
    // A capacity above a batch's slots is served whole.
    ASSERT_EQ(Send(a, std::string(3000, 'z'), to_b), 0);
    EXPECT_EQ(Recv(b, 4000, true).data, std::string(3000, 'z'));
}

TEST_P(UdpPair, BroadcastEnablesTheOptionOnce) {
    std::string ping = "ping";
    if (GetParam() == Fam::v6) {
        // Broadcast is IPv4's: refused to an IPv6 address, even a multicast group, and on a
        // socket of IPv6 alone, which keeps the option off.
        EXPECT_EQ((Ints{b.BroadcastAddr(4, ping.data(), At("[ff02::1%1]:9")),
                        b.BroadcastAddr(4, ping.data(), to_b),
                        a.BroadcastAddr(4, ping.data(), At("127.255.255.255:" + BPort())),
                        BroadcastOption(a.m_socket)}),
                  (Ints{-1, -1, -1, 0}));
        return;
    }
    sockaddr_in everyone = Inet("127.255.255.255:" + BPort());
    EXPECT_EQ((Ints{BroadcastOption(a.m_socket), a.Broadcast(4, ping.data(), &everyone),
                    BroadcastOption(a.m_socket)}),
              (Ints{0, 0, 1}));
    EXPECT_EQ(Recv(b, 1000, true).data, "ping");
    // A dual-stack socket broadcasts to an IPv4 address as an IPv4 one does.
    EXPECT_EQ(b.BroadcastAddr(4, ping.data(), At("127.255.255.255:" + BPort())), 0);
    EXPECT_EQ(Recv(b, 1000, true).data, "ping");
    // Init keeps the flag but not the option: the next Broadcast does not set it again and the
    // system refuses the broadcast.
    ASSERT_EQ(a.Init(), 0);
    EXPECT_EQ((Ints{a.Broadcast(4, ping.data(), &everyone), BroadcastOption(a.m_socket)}),
              (Ints{-1, 0}));
}

INSTANTIATE_FAMILIES(UdpBind);
INSTANTIATE_FAMILIES(UdpPair);
