// Test doubles for the manager: clients that count their steps, a state object that records
// its blends, a driver that hands out a scripted list of datagrams and events, and a fixture.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "portnet/portnet.h"

using Ints = std::vector<int>;

// A client whose frame steps only count and answer what the test sets.
struct StepClient : CNetClient {
    explicit StepClient(int* destroyed = nullptr) : m_destroyed(destroyed) {
        m_own_port = new CNetDataPort;
    }
    ~StepClient() override {
        if (m_destroyed) ++*m_destroyed;
    }
    int Init() override { return ++inits, init_result; }
    int Release() override { return ++releases, 1; }
    int Read(CNetBuf*) override { return ++reads, 1; }
    int Update(bool) override { return ++updates, 1; }
    int Write() override { return ++writes, write_result; }
    int Disconnected() override { return ++disconnects, CNetClient::Disconnected(); }

    int* m_destroyed;
    int init_result = 1, write_result = 1;
    int inits = 0, releases = 0, reads = 0, updates = 0, writes = 0, disconnects = 0;
};

struct TestState : CNetUnreliable {
    explicit TestState(int time = -1) { m_time = time; }
    CNetData* Clone() override { return new TestState(*this); }
    int Created() override { return 7; }
    int Destroyed() override { return ++destroyed, 8; }
    int Update(bool) override { return ++updates, 1; }
    int CopyFrom(CNetUnreliable* src) override {
        return value = static_cast<TestState*>(src)->value, 1;
    }
    int Interp(float a, CNetUnreliable* f, CNetUnreliable* t, CNetDataPort*) override {
        last_a = a, from = f, to = t, ++interps;
        return 1;
    }
    int value = 0, destroyed = 0, updates = 0, interps = 0;
    float last_a = -1.0f;
    CNetUnreliable *from = nullptr, *to = nullptr;
};

inline sockaddr_in Ipv4(unsigned short port, unsigned last_byte) {
    sockaddr_in a{};
    a.sin_family = kNetFamilyInet;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(0x7F000000u | last_byte); // 127.0.0.x
    return a;
}

// Each RecvFrom hands out the next scripted item: a datagram (channel byte first) or a bare
// result such as an event code; sends go nowhere. Fixed storage, so a frame over it allocates
// nothing; the UDP driver it derives from never opens a socket.
struct ScriptDriver : CNetUDP {
    ScriptDriver() : CNetUDP(0) {}
    struct Item {
        int result, len;
        unsigned char data[8];
        sockaddr_in from;
    };
    void Datagram(const sockaddr_in& from, unsigned char channel, int len = 4) {
        items[count++] = Item{0, len, {channel, 1, 2, 3}, from};
    }
    void Result(const sockaddr_in& from, int result) { items[count++] = Item{result, 0, {}, from}; }
    int SendTo(int, void*, sockaddr_in*) override { return 0; }
    int Broadcast(int, void*, sockaddr_in*) override { return 0; }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        if (next == count) return *len = 0, 0;
        const Item& it = items[next++];
        *from = it.from;
        *len = it.len;
        std::memcpy(buf, it.data, sizeof it.data);
        return it.result;
    }
    Item items[16];
    int count = 0, next = 0;
};

// Refuses every unknown sender and records what reaches its hooks.
struct HookManager : CNetManager {
    int CreateClient(CNetBuf*) override { return ++creates, -1; }
    int ReadOutOfBand(CNetBuf* buf) override { return out_of_band = buf->GetChannel(), 0; }
    int DestroyClient(int slot) override { return destroyed_slot = slot, 0; }
    int creates = 0, out_of_band = -1, destroyed_slot = -1;
};

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, m.Init(&driver, 4)); }
    // A counting client in `slot`, found by the peer's address unless `findable` is false.
    StepClient* Add(int slot, bool findable = true) {
        auto* c = new StepClient(&destroyed);
        c->m_send_buf = findable ? &peer_buf : nullptr;
        EXPECT_EQ(slot, m.AddClient(c, slot));
        return c;
    }
    TestState* Place(int port, int life_time) {
        auto* s = new TestState;
        m.SetPortA(port, s);
        m.InitPort(port, life_time);
        return s;
    }

    ScriptDriver driver;
    const sockaddr_in peer = Ipv4(7000, 5), stranger = Ipv4(7000, 6);
    CNetBuf peer_buf{&driver, &peer};
    int destroyed = 0;
    HookManager m; // declared last: destroyed first, while the buffer still exists
};
