#include "portnet/CNetUDP.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/socket.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Inet(const char* text) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = kNetFamilyInet;
    GetAddrFromString(text, &addr);
    return addr;
}

sockaddr_in Loopback(int port) {
    return Inet(("127.0.0.1:" + std::to_string(port)).c_str());
}

int BoundPort(CNetUDP& driver) {
    sockaddr_in addr = Inet(driver.GetAddr());
    return ntohs(addr.sin_port);
}

// A port that was free a moment ago: bind port 0, read it back, close.
int FreePort() {
    CNetUDP probe(0);
    EXPECT_EQ(probe.Init(), 0);
    int port = BoundPort(probe);
    probe.Shutdown();
    return port;
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

// Polls until RecvFrom reports something other than "nothing waiting" (a datagram is
// recognised by the sender record being filled in, so zero-length datagrams count too).
// Bounded by a count and a deadline.
int RecvWithin(CNetUDP& driver, int* len, void* buf, sockaddr_in* from) {
    const int capacity = *len;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 400 && Clock::now() < deadline; ++i) {
        std::memset(from, 0, sizeof(*from));
        *len = capacity;
        int result = driver.RecvFrom(len, buf, from);
        if (result != 0 || *len != 0 || from->sin_family != 0) return result;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

class UdpPair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(a.Init(), 0);
        ASSERT_EQ(b.Init(), 0);
        to_b = Loopback(BoundPort(b));
    }
    CNetUDP a{"127.0.0.1:0"};
    CNetUDP b{"127.0.0.1:0"};
    sockaddr_in to_b;
    char buf[1000];
    sockaddr_in from;
};

} // namespace

TEST(CNetUDPTest, BindsAnyAddressOnGivenPort) {
    int port = FreePort();
    CNetUDP driver(port);
    ASSERT_EQ(driver.Init(), 0);
    EXPECT_EQ(std::string(driver.GetAddr()), "0.0.0.0:" + std::to_string(port));
}

TEST(CNetUDPTest, TextConstructorBindsGivenAddressAndPort) {
    int port = FreePort();
    std::string text = "127.0.0.1:" + std::to_string(port);
    CNetUDP driver(text.c_str());
    EXPECT_EQ(driver.m_port, port);
    ASSERT_EQ(driver.Init(), 0);
    EXPECT_EQ(std::string(driver.GetAddr()), text);
}

TEST(CNetUDPTest, OverlongTextIsCutToFieldSize) {
    std::string text = "127.0.0.1:4000" + std::string(200, '9');
    CNetUDP driver(text.c_str());
    EXPECT_EQ(std::strlen(driver.m_addr_text), sizeof(driver.m_addr_text) - 1);
    EXPECT_EQ(std::string(driver.m_addr_text), text.substr(0, 99));
}

TEST(CNetUDPTest, PortZeroLetsSystemChoose) {
    CNetUDP driver(0);
    ASSERT_EQ(driver.Init(), 0);
    EXPECT_NE(BoundPort(driver), 0);
}

TEST(CNetUDPTest, SecondInitClosesFirstSocket) {
    int port = FreePort();
    CNetUDP driver(port);
    ASSERT_EQ(driver.Init(), 0);
    int open_after_first = OpenDescriptors();
    // Rebinding the same port succeeds only if the first socket was closed before.
    ASSERT_EQ(driver.Init(), 0);
    EXPECT_EQ(OpenDescriptors(), open_after_first);
    EXPECT_EQ(BoundPort(driver), port);
}

TEST(CNetUDPTest, ClosedDriverFailsWithoutCrash) {
    CNetUDP driver(0);
    char data[4] = {1, 2, 3, 4};
    sockaddr_in to = Loopback(9);
    int len = sizeof(data);
    EXPECT_EQ(driver.SendTo(4, data, &to), -1);
    EXPECT_EQ(driver.RecvFrom(&len, data, &to), -1);
    EXPECT_EQ(driver.SetBlockMode(true), -1);
    EXPECT_EQ(driver.MakeBroadcastCapable(), -1);
    EXPECT_FALSE(driver.m_broadcast_capable);
    EXPECT_EQ(driver.Shutdown(), 0);
    EXPECT_STREQ(driver.GetAddr(), "0.0.0.0:0");
}

TEST(CNetUDPTest, ShutdownReleasesDescriptor) {
    int before = OpenDescriptors();
    CNetUDP driver(0);
    ASSERT_EQ(driver.Init(), 0);
    int fd = driver.m_socket;
    EXPECT_EQ(OpenDescriptors(), before + 1);
    EXPECT_EQ(driver.Shutdown(), 0);
    EXPECT_EQ(driver.m_socket, -1);
    EXPECT_EQ(OpenDescriptors(), before);
    int type = 0;
    socklen_t size = sizeof(type);
    EXPECT_NE(getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size), 0);
}

TEST(CNetUDPTest, PortInUseFailsInit) {
    CNetUDP first(0);
    ASSERT_EQ(first.Init(), 0);
    CNetUDP second(BoundPort(first));
    EXPECT_EQ(second.Init(), -1);
}

TEST_F(UdpPair, NothingWaitingGivesZeroLength) {
    int len = sizeof(buf);
    EXPECT_EQ(b.RecvFrom(&len, buf, &from), 0);
    EXPECT_EQ(len, 0);
}

TEST_F(UdpPair, DatagramArrivesWithSenderAddress) {
    char data[10] = "abcdefghi";
    ASSERT_EQ(a.SendTo(10, data, &to_b), 0);
    int len = sizeof(buf);
    ASSERT_EQ(RecvWithin(b, &len, buf, &from), 0);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::memcmp(buf, data, 10), 0);
    EXPECT_EQ(std::string(ToString(&from)), std::string(a.GetAddr()));
}

TEST_F(UdpPair, OversizeDatagramFailsAndNextArrivesIntact) {
    char big[1001];
    std::memset(big, 'x', sizeof(big));
    char exact[1000];
    std::memset(exact, 'y', sizeof(exact));
    char small[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(a.SendTo(1001, big, &to_b), 0);
    ASSERT_EQ(a.SendTo(1000, exact, &to_b), 0);
    ASSERT_EQ(a.SendTo(5, small, &to_b), 0);

    int len = sizeof(buf);
    EXPECT_EQ(RecvWithin(b, &len, buf, &from), -1); // never a cut 1000-byte datagram
    len = sizeof(buf);
    ASSERT_EQ(RecvWithin(b, &len, buf, &from), 0);
    ASSERT_EQ(len, 1000);
    EXPECT_EQ(std::memcmp(buf, exact, 1000), 0);
    len = sizeof(buf);
    ASSERT_EQ(RecvWithin(b, &len, buf, &from), 0);
    ASSERT_EQ(len, 5);
    EXPECT_EQ(std::memcmp(buf, small, 5), 0);
}

TEST_F(UdpPair, ZeroLengthDatagramIsReceived) {
    ASSERT_EQ(a.SendTo(0, buf, &to_b), 0);
    int len = sizeof(buf);
    ASSERT_EQ(RecvWithin(b, &len, buf, &from), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(from.sin_family, kNetFamilyInet);
    EXPECT_EQ(BoundPort(a), ntohs(from.sin_port));
}

TEST_F(UdpPair, RefusedPeerBecomesDisconnectEvent) {
    int dead_port = FreePort();
    sockaddr_in dead = Loopback(dead_port);
    char data[3] = {7, 8, 9};
    int result = 0;
    int len = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    for (int i = 0; i < 300 && result == 0 && Clock::now() < deadline; ++i) {
        ASSERT_EQ(a.SendTo(3, data, &dead), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::memset(&from, 0, sizeof(from));
        len = sizeof(buf);
        result = a.RecvFrom(&len, buf, &from);
    }
    ASSERT_EQ(result, kNetEventDisconnect);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(from.sin_family, kNetFamilyInet);
    EXPECT_EQ(ntohs(from.sin_port), dead_port);
    EXPECT_TRUE(CompareAddr(&from, &dead));

    // A refusal pending on b must neither swallow b's next datagram nor get lost itself.
    ASSERT_EQ(b.SendTo(3, data, &dead), 0);
    sockaddr_in to_a = Loopback(BoundPort(a));
    ASSERT_EQ(b.SendTo(3, data, &to_a), 0);
    len = sizeof(buf);
    ASSERT_EQ(RecvWithin(a, &len, buf, &from), 0);
    EXPECT_EQ(len, 3);
    len = sizeof(buf);
    EXPECT_EQ(RecvWithin(b, &len, buf, &from), kNetEventDisconnect);
    EXPECT_EQ(ntohs(from.sin_port), dead_port);
}

TEST_F(UdpPair, BroadcastEnablesOptionOnceAndFlagSurvivesReinit) {
    auto option = [](int sock) {
        int on = -1;
        socklen_t size = sizeof(on);
        getsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, &size);
        return on;
    };
    sockaddr_in everyone = Inet(("127.255.255.255:" + std::to_string(BoundPort(b))).c_str());
    char data[4] = {'p', 'i', 'n', 'g'};
    EXPECT_EQ(option(a.m_socket), 0);
    ASSERT_EQ(a.Broadcast(4, data, &everyone), 0);
    EXPECT_TRUE(a.m_broadcast_capable);
    EXPECT_EQ(option(a.m_socket), 1);

    // Reinit keeps the flag but not the option, so the next Broadcast does not set it again
    // and the system refuses the broadcast.
    ASSERT_EQ(a.Init(), 0);
    EXPECT_TRUE(a.m_broadcast_capable);
    EXPECT_EQ(option(a.m_socket), 0);
    EXPECT_EQ(a.Broadcast(4, data, &everyone), -1);
    EXPECT_EQ(option(a.m_socket), 0);
}

TEST(CNetUDPTest, BroadcastReachesSocketBoundToAnyAddress) {
    CNetUDP sender(0);
    CNetUDP receiver(0);
    ASSERT_EQ(sender.Init(), 0);
    ASSERT_EQ(receiver.Init(), 0);
    sockaddr_in everyone = Inet(("127.255.255.255:" + std::to_string(BoundPort(receiver))).c_str());
    char data[4] = {'p', 'i', 'n', 'g'};
    ASSERT_EQ(sender.Broadcast(4, data, &everyone), 0);
    char buf[1000];
    sockaddr_in from;
    int len = sizeof(buf);
    ASSERT_EQ(RecvWithin(receiver, &len, buf, &from), 0);
    ASSERT_EQ(len, 4);
    EXPECT_EQ(std::memcmp(buf, data, 4), 0);
}

TEST(CNetUDPTest, SystemDriverTypeTwoIsWorkingUdp) {
    CNetDriver* driver = GetSystemNetDriver(kNetDriverUdp, 0);
    ASSERT_NE(driver, nullptr);
    auto* udp = dynamic_cast<CNetUDP*>(driver);
    ASSERT_NE(udp, nullptr);
    ASSERT_EQ(driver->Init(), 0);
    CNetUDP peer(0);
    ASSERT_EQ(peer.Init(), 0);
    sockaddr_in to = Loopback(BoundPort(*udp));
    char data[2] = {'o', 'k'};
    ASSERT_EQ(peer.SendTo(2, data, &to), 0);
    char buf[1000];
    sockaddr_in from;
    int len = sizeof(buf);
    EXPECT_EQ(RecvWithin(*udp, &len, buf, &from), 0);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(ReleaseSystemNetDriver(), 1);
}
