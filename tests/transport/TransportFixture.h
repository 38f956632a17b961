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

// The payloads waiting now, in arrival order (bounded by a count).
inline std::vector<std::string> Drain(CNetDriver& d) {
    std::vector<std::string> out;
    for (Received r = Recv(d); r.result == 0 && !r.data.empty() && out.size() < 10000; r = Recv(d))
        out.push_back(r.data);
    return out;
}
