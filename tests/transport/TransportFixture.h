// Address makers, a do-nothing driver and datagram helpers shared by the transport tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "portnet/CNetDriver.h"

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

// Every call succeeds and does nothing; tests override what they watch.
class StubDriver : public CNetDriver {
public:
    int SetBlockMode(bool) override { return 0; }
    int MakeBroadcastCapable() override { return 0; }
    int Init() override { return 0; }
    int Shutdown() override { return 0; }
    int Connected(sockaddr_in*) override { return 0; }
    int Disconnected(sockaddr_in*) override { return 0; }
    char* GetAddr() override { return nullptr; }
    int SendTo(int, void*, sockaddr_in*) override { return 0; }
    int RecvFrom(int* len, void*, sockaddr_in*) override { return *len = 0; }
    int Broadcast(int, void*, sockaddr_in*) override { return 0; }
};

inline int Send(CNetDriver& d, const std::string& data, sockaddr_in to) {
    return d.SendTo(static_cast<int>(data.size()), const_cast<char*>(data.data()), &to);
}

struct Received {
    int result = 0;
    std::string data; // empty unless the receive succeeded
    sockaddr_in from{};
};

inline Received Recv(CNetDriver& d, int capacity = 1000) {
    Received r;
    r.data.resize(static_cast<std::size_t>(capacity));
    int len = capacity;
    r.result = d.RecvFrom(&len, r.data.data(), &r.from);
    r.data.resize(r.result == 0 ? static_cast<std::size_t>(len) : 0);
    return r;
}

// Polls a socket until anything but "nothing waiting" comes (a zero-length datagram shows by
// its filled-in sender). Bounded by a count and a deadline.
inline Received RecvWithin(CNetDriver& d, int capacity = 1000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    Received r;
    for (int i = 0; i < 400 && std::chrono::steady_clock::now() < deadline; ++i) {
        r = Recv(d, capacity);
        if (r.result != 0 || !r.data.empty() || r.from.sin_family != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
