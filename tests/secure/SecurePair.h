// Two managers over the simulated network, each behind a CNetDtls, with a tap under each
// CNetDtls that records what it sends (to forge, replay and measure from the wire).
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "integration/TwoPeerSession.h"
#include "portnet/CNetDtls.h"
#include "portnet/CNetImpairedDriver.h"

namespace secure {

using namespace twopeer;
using Ints = std::vector<int>;

inline const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                       12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                       23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
inline const unsigned char kOtherKey[32] = {9};

inline SNetDtlsConfig PskConfig(int role, const unsigned char* key = kKey) {
    SNetDtlsConfig c;
    c.m_role = role;
    c.m_psk_key = key;
    c.m_psk_key_len = 32;
    c.m_retransmit_ms = 20; // system clock; the test sleeps while a handshake is open
    // Retransmission runs on the system clock, at most 320 ms apart here: a long limit of
    // frame time keeps an unlucky run of losses from failing a handshake that would succeed.
    c.m_handshake_timeout_ms = 30000;
    c.m_idle_timeout_ms = 2000;
    return c;
}

// The Python backend written from docs/protocol.md alone (mint_token.py) run with args: the
// token and the player's key, or false without python3 and its cryptography package.
inline bool MintInPython(const std::string& args, std::string* token, unsigned char key[32]) {
    char t[300] = {}, k[80] = {};
    FILE* out = popen(("python3 " PORTNET_TEST_CERTS "/../mint_token.py " + args).c_str(), "r");
    const bool read = out && std::fscanf(out, "%299s %79s", t, k) == 2;
    if (!out || pclose(out) != 0 || !read || std::strlen(k) != 64) return false;
    for (int i = 0; i < 32; ++i)
        std::sscanf(k + 2 * i, "%2hhx", &key[i]);
    return *token = t, true;
}

// Passes datagrams through to a driver (an impaired driver with no impairment) and keeps
// every datagram it sent, with the destination.
class Tap : public CNetImpairedDriver {
public:
    struct Sent {
        sockaddr_in to;
        std::vector<unsigned char> bytes;
    };
    explicit Tap(CNetDriver* inner) : CNetImpairedDriver(inner) {}
    int SendTo(int len, void* data, sockaddr_in* to) override {
        if (m_keep) {
            auto* p = static_cast<unsigned char*>(data);
            m_sent.push_back(Sent{*to, std::vector<unsigned char>(p, p + len)});
        }
        return m_swallow ? 0 : CNetImpairedDriver::SendTo(len, data, to);
    }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        const int r = CNetImpairedDriver::RecvFrom(len, buf, from);
        m_received += r == 0 && *len > 0;
        return r;
    }
    bool m_keep = true;
    bool m_swallow = false; // kept but not sent: a datagram the receiver has never seen
    std::vector<Sent> m_sent;
    int m_received = 0;
};

// Counts the clients the manager destroys.
class CountingHost : public Host {
public:
    int DestroyClient(int slot) override {
        ++m_destroyed;
        if (m_clients[slot].m_used) m_packets_at_destroy = m_clients[slot].m_client->m_packets_in;
        return RemoveClient(slot) == -1 ? -1 : 0;
    }
    int CreateClient(CNetBuf* buf) override {
        ++m_created;
        return Host::CreateClient(buf);
    }
    int m_destroyed = 0, m_created = 0;
    int m_packets_at_destroy = -1; // packets the last destroyed client had taken in
};

// One side: simulator endpoint, tap, CNetDtls, manager.
struct Side {
    Side(CNetSimNetwork* net, int id, const SNetImpairment& imp, const SNetDtlsConfig& cfg)
        : sim(net, id), tap(&sim), dtls(&tap, cfg) {
        sim.m_impairment = imp;
        host.Open(&dtls);
    }
    ~Side() { host.Release(); }
    CNetSimDriver sim;
    Tap tap;
    CNetDtls dtls;
    CountingHost host;
    bool net_quiet = false; // the test stops running this side's frames
};

// A (endpoint 1) accepts and welcomes senders; B (endpoint 2) connects to A.
struct Pair {
    Pair(const SNetImpairment& imp, const SNetDtlsConfig& cfg_a, const SNetDtlsConfig& cfg_b,
         std::uint64_t seed = 1)
        : net(seed) {
        CNetTime::m_time = 1000;
        net.SetTime(CNetTime::m_time);
        a = std::make_unique<Side>(&net, 1, imp, cfg_a);
        a->host.m_welcome = true;
        StartB(imp, cfg_b);
        std::srand(2024);
    }
    void StartB(const SNetImpairment& imp, const SNetDtlsConfig& cfg_b) {
        b = std::make_unique<Side>(&net, 2, imp, cfg_b);
        to_a = b->host.Connect(Addr(1), false);
    }
    // A's client for B (the manager made it when B's first datagram came through).
    Peer* ToB() {
        for (int i = 0; i < CNetManager::kMaxClients; ++i)
            if (a->host.m_clients[i].m_used)
                return static_cast<Peer*>(a->host.m_clients[i].m_client);
        return nullptr;
    }
    // One frame of both sides; sleeps a little while a handshake is open, so DTLS's
    // retransmission timer (on the system clock) can run.
    int Tick() {
        if (a->dtls.GetHalfOpen() + b->dtls.GetHalfOpen() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        CNetTime::m_time += kFrameMs;
        net.SetTime(CNetTime::m_time);
        return a->host.Frame() + (b->net_quiet ? 0 : b->host.Frame());
    }
    // Frames until both sides have an open session (and A a client), at most max.
    int Handshake(int max) {
        for (int f = 1; f <= max; ++f) {
            Tick();
            if (a->dtls.GetOpenSessions() == 1 && b->dtls.GetOpenSessions() == 1 && ToB()) return f;
        }
        return -1;
    }

    CNetSimNetwork net;
    std::unique_ptr<Side> a, b;
    Peer* to_a = nullptr; // B's client for A
};

} // namespace secure
