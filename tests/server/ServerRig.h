// A server and connections over the simulated network, stepped frame by frame on a clock the
// test sets, and a driver under the server that reports peers gone for a reason it is told.
#pragma once

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "portnet/portnet.h"

namespace rig {

enum : int { kFrameMs = 16, kServerId = 1 };

inline int s_now = 0;

inline sockaddr_in Addr(int id) {
    sockaddr_in a{};
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

inline void Step(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(false);
    m.Write();
    m.EndFrame();
}

// Passes everything to the wrapped driver; a peer named by Report comes out of the next
// RecvFrom as gone, with that reason behind GetGoneReason, as a secure driver tells a
// session's end. Identities are "player-<id>".
class ReportingDriver : public CNetImpairedDriver { // passes through: no impairment set
public:
    explicit ReportingDriver(CNetDriver* inner) : CNetImpairedDriver(inner) {}
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        if (!m_reports.empty()) {
            *from = Addr(m_reports.front().first);
            m_reason = m_reports.front().second;
            m_reports.pop_front();
            *len = 0;
            return kNetEventDisconnect;
        }
        m_reason = kNetGoneUnreachable;
        return CNetImpairedDriver::RecvFrom(len, buf, from);
    }
    int GetGoneReason(const sockaddr_in*) override { return m_reason; }
    int GetPeerIdentity(const sockaddr_in* peer, SNetPeerIdentity* out) override {
        *out = SNetPeerIdentity{};
        out->m_player_id = peer->sin_port;
        std::snprintf(out->m_identity, sizeof out->m_identity, "player-%d", peer->sin_port);
        return 1;
    }
    void Report(int id, int reason) { m_reports.emplace_back(id, reason); }

    std::deque<std::pair<int, int>> m_reports;
    int m_reason = kNetGoneUnreachable;
};

// A server that keeps every event with the frame time and the peer count it came at.
struct Logged {
    SNetServerEvent e;
    int time, peers;
};
class LoggingServer : public CNetServer {
public:
    void OnEvent(const SNetServerEvent& e) override {
        m_log.push_back({e, s_now, GetNumPeers()});
        CNetServer::OnEvent(e);
    }
    bool Admit(const sockaddr_in* addr, const SNetPeerIdentity& who) override {
        char banned[32];
        std::snprintf(banned, sizeof banned, "player-%d", m_banned);
        return addr && std::strcmp(who.m_identity, banned) != 0;
    }
    std::vector<Logged> m_log;
    int m_banned = -1;
};

// One peer: its endpoint and its connection to the server.
struct Player {
    Player(CNetSimNetwork* net, int id)
        : drv(new CNetSimDriver(net, id)), conn(new CNetConnection) {
        drv->Init();
        conn->Init(drv.get(), 1);
        conn->m_keep_alive_ms = 50;
        conn->m_idle_limit_ms = 300;
        const sockaddr_in server = Addr(kServerId);
        conn->Connect(&server);
    }
    std::unique_ptr<CNetSimDriver> drv;
    std::unique_ptr<CNetConnection> conn;
};

// The clock starts over and the simulated network follows it.
struct Clocked : ::testing::Test {
    void SetUp() override {
        s_now = 0;
        CNetTime::m_timer_proc = [] { return s_now; };
        CNetTime::Update();
    }
    void TearDown() override { CNetTime::Init(); }
    void Tick(CNetSimNetwork& net) {
        s_now += kFrameMs;
        net.SetTime(s_now);
        CNetTime::Update();
    }
};

} // namespace rig
