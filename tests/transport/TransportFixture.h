// Address makers and datagram helpers shared by the transport tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "portnet/CNetAddr.h"
#include "portnet/CNetDriver.h"
#include "portnet/CNetUDP.h"

// The UDP tests run twice: with batched system calls (the default) and, when the variable
// PORTNET_UDP_ONE_AT_A_TIME is set, with one call per datagram.
inline bool OneAtATime() {
    return std::getenv("PORTNET_UDP_ONE_AT_A_TIME") != nullptr;
}
inline void ApplyUdpMode(CNetUDP& d) {
    d.m_batch_receive = d.m_batch_send = !OneAtATime();
}

// Results of a sequence of calls, compared in one go (a braced list runs them in order).
using Ints = std::vector<int>;

inline sockaddr_in Addr(unsigned short family, const std::string& text) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = family;
    GetAddrFromString(text.c_str(), &a);
    return a;
}
inline sockaddr_in Inet(const std::string& text) {
    return Addr(kNetFamilyInet, text);
}
inline sockaddr_in Local(int id) {
    return Addr(kNetFamilyLocal, std::to_string(id));
}

inline int Send(CNetDriver& d, const std::string& data, sockaddr_in to) {
    return d.SendTo(static_cast<int>(data.size()), const_cast<char*>(data.data()), &to);
}
inline int Send(CNetDriver& d, const std::string& data, const CNetAddr& to) {
    return d.SendToAddr(static_cast<int>(data.size()), const_cast<char*>(data.data()), to);
}

// The UDP tests that a family does not change run over 127.0.0.1 and over ::1
// (INSTANTIATE_FAMILIES); a test of the other family skips where loopback has no IPv6.
enum class Fam { v4, v6 };
inline void PrintTo(Fam f, std::ostream* os) {
    *os << (f == Fam::v6 ? "v6" : "v4");
}
inline std::string Loopback(Fam f, const std::string& port = "0") {
    return (f == Fam::v6 ? "[::1]:" : "127.0.0.1:") + port;
}
inline bool HasIpv6Loopback() {
    CNetUDP probe("[::1]:0");
    return probe.Init() == 0;
}
class FamilyTest : public ::testing::TestWithParam<Fam> {
protected:
    void SetUp() override {
        if (GetParam() == Fam::v6 && !HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 on loopback";
    }
};
#define INSTANTIATE_FAMILIES(suite)                                                                \
    INSTANTIATE_TEST_SUITE_P(Family, suite, ::testing::Values(Fam::v4, Fam::v6),                   \
                             [](const auto& info) { return info.param == Fam::v6 ? "v6" : "v4"; })

inline CNetAddr At(const std::string& text) {
    CNetAddr a;
    char err[128];
    EXPECT_EQ(CNetAddr::Parse(text.c_str(), &a, err, sizeof err), 1) << err;
    return a;
}
inline std::string Text(const CNetAddr& a) {
    char text[CNetAddr::kMaxText];
    return a.ToText(text, sizeof text) > 0 ? text : "(none)";
}

struct Received {
    int result = 0;
    std::string data;   // empty unless the receive succeeded
    sockaddr_in from{}; // the record RecvFrom wrote: an IPv6 sender as its family alone
    CNetAddr peer;      // the sender (or refused peer) of either family
};

// One receive; with `wait`, polls (for a socket) until anything but "nothing waiting" comes,
// a zero-length datagram showing by its filled-in sender. Bounded by a count and a deadline.
inline Received Recv(CNetDriver& d, int capacity = 1000, bool wait = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    Received r;
    for (int i = 0; i < (wait ? 400 : 1) && std::chrono::steady_clock::now() < deadline; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        r = Received{};
        r.data.resize(static_cast<std::size_t>(capacity));
        int len = capacity;
        r.result = d.RecvFrom(&len, r.data.data(), &r.from);
        r.peer = r.from.sin_family == kNetFamilyInet6 ? d.LastSender()
                                                      : CNetAddr::FromSockaddrIn(r.from);
        r.data.resize(r.result == 0 ? static_cast<std::size_t>(len) : 0);
        if (r.result != 0 || len != 0 || r.from.sin_family != 0) break;
    }
    return r;
}

// Every result until nothing waits and `want` results came (bounded by a count and a
// deadline; a system may deliver later than the send returns): the payload, or "#<result>";
// with `from`, a payload from anyone else as "?<payload>".
inline std::vector<std::string> Drain(CNetDriver& d, std::size_t want = 0, int capacity = 1000,
                                      const CNetAddr* from = nullptr) {
    std::vector<std::string> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 10000 && std::chrono::steady_clock::now() < deadline; ++i) {
        const Received r = Recv(d, capacity);
        if (r.result == 0 && r.data.empty() && r.from.sin_family == 0) {
            if (out.size() >= want) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        out.push_back(r.result != 0                ? "#" + std::to_string(r.result)
                      : from && !(r.peer == *from) ? "?" + r.data
                                                   : r.data);
    }
    return out;
}

// Two UDP drivers in this run's mode: a on the family's loopback address, b bound to a port
// alone (dual-stack), so broadcasts reach it too, and reached at that loopback address.
struct UdpEnds {
    explicit UdpEnds(Fam f = Fam::v4) : a(Loopback(f).c_str()) {
        if (f == Fam::v6 && !HasIpv6Loopback()) return; // the test skips
        for (CNetUDP* d : {&a, &b}) {
            ApplyUdpMode(*d);
            EXPECT_EQ(d->Init(), 0) << d->GetError();
        }
        to_b = At(Loopback(f, BPort()));
    }
    std::string BPort() { return std::to_string(b.GetLocalAddr().Port()); }
    CNetUDP a, b{0};
    CNetAddr to_b;
};
