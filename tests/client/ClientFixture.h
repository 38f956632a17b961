#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "portnet/portnet.h"

// Test objects and a fixture that wires clients to real managers over loopback endpoints.
namespace client_test {

// An unreliable state of n bytes; records what the client hands to its hooks.
struct State : CNetUnreliable {
    unsigned char bytes[16] = {};
    int len = 1;
    int priority = 0;
    int write_result = 0; // 0: write the state; anything else is returned as is
    CNetUnreliable* last_base = nullptr;
    int last_room = -1;
    int reads = 0;

    CNetData* Clone() override {
        auto* s = new State;
        s->len = len;
        return s;
    }
    int asked = 0;
    int GetPriority(CNetClient*) override { return ++asked, priority; }
    int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient*) override {
        last_base = base;
        last_room = room;
        if (write_result != 0) return write_result;
        if (len > room) return len; // too big: the client withdraws the record
        return buf->Write(bytes, len);
    }
    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient*) override {
        last_base = base;
        ++reads;
        return buf->Read(bytes, len);
    }
    int CopyFrom(CNetUnreliable* src) override {
        std::memcpy(bytes, static_cast<State*>(src)->bytes, sizeof bytes);
        return 1;
    }
};

// A reliable stream that counts its completions.
struct Stream : CNetReliable {
    int priority = 0;
    int completed_writes = 0;
    int completed_reads = 0;
    int write_completed_result = 0;
    int asked = 0;
    int GetPriority(CNetClient*) override { return ++asked, priority; }
    int WritingCompleted() override {
        ++completed_writes;
        return write_completed_result;
    }
    int ReadingCompleted() override { return ++completed_reads; }
};

struct Probe : CNetClient {
    int timeouts_seen = 0;
    int instant_result = 7;
    int instant_pos = -1;
    std::vector<int> new_ports;
    int TimeOut() override { return ++timeouts_seen, 0; }
    int ReadInstant(CNetBuf* buf) override {
        instant_pos = buf->m_read_pos;
        return instant_result;
    }
    int NewPortID(int port) override {
        new_ports.push_back(port);
        return CNetClient::NewPortID(port);
    }
};

inline sockaddr_in LocalAddr(int id) {
    sockaddr_in a{};
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

// One side: a manager on endpoint `id` with a client whose peer is endpoint `peer_id`.
struct Side {
    CNetDriver* driver = nullptr;
    CNetBuf* send = nullptr;
    CNetManager mgr;
    Probe* client = nullptr;

    void Open(int id, int peer_id, int ports) {
        driver = GetSystemNetDriver(kNetDriverLocal, id);
        ASSERT_EQ(driver->Init(), 0);
        ASSERT_EQ(mgr.Init(driver, ports), 1);
        const sockaddr_in peer = LocalAddr(peer_id);
        send = new CNetBuf(driver, &peer);
        client = new Probe;
        client->m_send_buf = send;
        client->m_own_port = new CNetDataPort;
        ASSERT_EQ(mgr.AddClient(client, -1), 0);
        mgr.m_time = 0;
    }
    ~Side() {
        mgr.Release(); // the client goes before the buffer it sends through
        delete send;
    }
    // Places an object on a port, starts it and opens the port both ways with histories.
    template <class T> T* Port(int port, T* obj, int history = 8) {
        mgr.SetPortA(port, obj);
        mgr.InitPort(port, -1);
        if constexpr (std::is_base_of_v<CNetUnreliable, T>) {
            auto proto = [&] { return static_cast<CNetUnreliable*>(obj->Clone()); };
            mgr.m_ports[port].m_reading_history = new CNetDataHistory(history, proto(), port);
            mgr.m_ports[port].m_writing_history = new CNetDataHistory(history, proto(), port);
        }
        client->m_refs[port].m_read_enabled = true;
        client->m_refs[port].m_write_enabled = true;
        return obj;
    }
    // The datagram waiting at this side's endpoint, channel byte included; empty if none.
    std::vector<unsigned char> Take() {
        unsigned char data[1000];
        int len = sizeof data;
        sockaddr_in from{};
        if (driver->RecvFrom(&len, data, &from) != 0 || len <= 0) return {};
        return std::vector<unsigned char>(data, data + len);
    }
};

class ClientTest : public ::testing::Test {
protected:
    void TearDown() override {
        a.reset();
        b.reset();
        ReleaseSystemNetDriver();
    }
    void OpenBoth(int ports) {
        a = std::make_unique<Side>();
        b = std::make_unique<Side>();
        a->Open(1, 2, ports);
        b->Open(2, 1, ports);
    }
    // Feeds a hand-made body to a's client as the manager would: reading position 0.
    int Feed(const std::vector<unsigned char>& body) {
        in.SetWritingPos(0, 0);
        in.Write(body.data(), static_cast<int>(body.size()));
        in.SetReadingPos(0, 0);
        return a->client->Read(&in);
    }
    // Hands the datagram waiting at `to` to its client; returns the Read result, or 99.
    int Deliver(Side& to) {
        std::vector<unsigned char> d = to.Take();
        if (d.empty()) return 99;
        in.SetWritingPos(0, 0);
        in.Write(d.data() + 1, static_cast<int>(d.size()) - 1);
        in.SetReadingPos(0, 0);
        return to.client->Read(&in);
    }

    std::unique_ptr<Side> a, b;
    CNetBuf in{nullptr, nullptr};
};

using Bytes = std::vector<unsigned char>;

// A packet body: header with check bits, sequence, acknowledgement, records, terminator.
inline Bytes Packet(int seq, int ack, int bits, const Bytes& records = {}) {
    Bytes b = {static_cast<unsigned char>(bits | ((seq % 8) << 4)),
               static_cast<unsigned char>(seq),
               static_cast<unsigned char>(seq >> 8),
               static_cast<unsigned char>(seq >> 16),
               static_cast<unsigned char>(ack),
               static_cast<unsigned char>(ack >> 8),
               static_cast<unsigned char>(ack >> 16)};
    for (unsigned char r : records)
        b.push_back(r);
    b.push_back(0xFF);
    return b;
}

} // namespace client_test
