// Address makers and datagram helpers shared by the transport tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

struct Received {
    int result = 0;
    std::string data; // empty unless the receive succeeded
    sockaddr_in from{};
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
        r.data.resize(r.result == 0 ? static_cast<std::size_t>(len) : 0);
        if (r.result != 0 || len != 0 || r.from.sin_family != 0) break;
    }
    return r;
}

// Every result until nothing waits and `want` results came (bounded by a count and a
// deadline; a system may deliver later than the send returns): the payload, or "#<result>".
inline std::vector<std::string> Drain(CNetDriver& d, std::size_t want = 0, int capacity = 1000) {
    std::vector<std::string> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 10000 && std::chrono::steady_clock::now() < deadline; ++i) {
        const Received r = Recv(d, capacity);
        if (r.result == 0 && r.data.empty() && r.from.sin_family == 0) {
            if (out.size() >= want) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        out.push_back(r.result == 0 ? r.data : "#" + std::to_string(r.result));
    }
    return out;
}

// Two UDP drivers on loopback in this run's mode; b is bound to any address, so broadcasts
// reach it too.
struct UdpEnds {
    UdpEnds() {
        for (CNetUDP* d : {&a, &b}) {
            ApplyUdpMode(*d);
            EXPECT_EQ(d->Init(), 0);
        }
        to_b = Inet("127.0.0.1:" + BPort());
    }
    std::string BPort() { return std::to_string(ntohs(Inet(b.GetAddr()).sin_port)); }
    CNetUDP a{"127.0.0.1:0"}, b{0};
    sockaddr_in to_b{};
};
