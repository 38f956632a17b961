#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "portnet/portnet.h"

// A client in a real manager on loopback endpoint 1; its packets go to endpoint 2.
namespace client_test {

using Bytes = std::vector<unsigned char>;
using Ints = std::vector<int>;

// An unreliable state of `len` bytes; records what the client hands to its hooks.
struct State : CNetUnreliable {
    unsigned char bytes[16] = {};
    int len = 1, priority = 0, write_result = 0, reads = 0, writes = 0;
    CNetUnreliable* last_base = nullptr;
    CNetData* Clone() override { return new State; }
    int GetPriority(CNetClient*) override { return priority; }
    int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient*) override {
        last_base = base, ++writes;
        if (write_result != 0) return write_result;
        return len > room ? len : buf->Write(bytes, len); // too big: the client withdraws it
    }
    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient*) override {
        last_base = base, ++reads;
        return buf->Read(bytes, len);
    }
    int CopyFrom(CNetUnreliable* src) override {
        std::memcpy(bytes, static_cast<State*>(src)->bytes, sizeof bytes);
        return 1;
    }
};

struct Stream : CNetReliable {
    int priority = 0, completed_writes = 0, completed_reads = 0, write_completed_result = 0;
    int GetPriority(CNetClient*) override { return priority; }
    int WritingCompleted() override { return ++completed_writes, write_completed_result; }
    int ReadingCompleted() override { return ++completed_reads; }
};

struct Probe : CNetClient {
    int timeouts_seen = 0;
    int TimeOut() override { return ++timeouts_seen, 0; }
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        CNetDriver* driver = GetSystemNetDriver(kNetDriverLocal, 1);
        peer = GetSystemNetDriver(kNetDriverLocal, 2);
        ASSERT_EQ(driver->Init() + peer->Init(), 0);
        ASSERT_EQ(mgr.Init(driver, 6), 1);
        sockaddr_in to{};
        to.sin_family = kNetFamilyLocal;
        to.sin_port = 2;
        send = CNetBuf(driver, &to);
        c.m_send_buf = &send;
        c.m_own_port = new CNetDataPort;
        ASSERT_EQ(mgr.AddClient(&c, -1), 0);
        mgr.m_time = 0;
    }
    void TearDown() override {
        mgr.Release(); // the client goes before the buffer it sends through
        ReleaseSystemNetDriver();
    }
    // Places an object on a port, starts it and opens the port both ways with histories.
    template <class T> T* Port(int port, T* obj) {
        mgr.SetPortA(port, obj);
        mgr.InitPort(port, -1);
        if (!obj->m_reliable) {
            mgr.m_ports[port].m_reading_history = new CNetDataHistory(8, new State, port);
            mgr.m_ports[port].m_writing_history = new CNetDataHistory(8, new State, port);
        }
        c.m_refs[port].m_read_enabled = c.m_refs[port].m_write_enabled = true;
        return obj;
    }
    // The datagram waiting at the peer's endpoint, channel byte included; empty if none.
    Bytes Take() {
        unsigned char data[1000];
        int len = sizeof data;
        sockaddr_in from{};
        if (peer->RecvFrom(&len, data, &from) != 0 || len <= 0) return {};
        return Bytes(data, data + len);
    }
    // What one Write sends.
    Bytes Sent() {
        EXPECT_EQ(c.Write(), 1);
        return Take();
    }
    // Hands a body to the client as the manager would: reading position `at`.
    int Feed(const Bytes& body, int at = 0) {
        in.SetWritingPos(at, 0);
        in.Write(body.data(), static_cast<int>(body.size()));
        in.SetReadingPos(at, 0);
        return c.Read(&in);
    }

    CNetDriver* peer = nullptr;
    CNetBuf send{nullptr, nullptr}, in{nullptr, nullptr};
    Probe& c = *new Probe; // the manager's once added
    CNetManager mgr;
};

// A packet body: header with check bits, sequence, acknowledgement, records, terminator.
inline Bytes Packet(int seq, int ack, int bits, const Bytes& records = {}) {
    Bytes b = {static_cast<unsigned char>(bits | ((seq % 8) << 4))};
    for (int v : {seq, ack})
        for (int shift = 0; shift < 24; shift += 8)
            b.push_back(static_cast<unsigned char>(v >> shift));
    b.insert(b.end(), records.begin(), records.end());
    b.push_back(0xFF);
    return b;
}

} // namespace client_test
