// A dual-stack host and two players at once, one over ::1 and one over 127.0.0.1: both are
// admitted, named in their family, replicate their states, and the IPv6 one is let go and
// replaced. The host overrides only the sockaddr_in Admit, as a program written for IPv4 does.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "portnet/portnet.h"

namespace {

std::string T(const CNetAddr& a) {
    char out[CNetAddr::kMaxText];
    return a.ToText(out, sizeof out) > 0 ? out : "<none>";
}

class CPos : public CNetUnreliable {
public:
    float m_x = 0.0f;
    CNetData* Clone() override { return new CPos(*this); }
    int CopyFrom(CNetUnreliable* src) override {
        m_x = static_cast<CPos*>(src)->m_x;
        return 1;
    }
    int Write(CNetBuf* buf, CNetUnreliable*, int room, CNetClient*) override {
        if (room < 4) return 0;
        return buf->WriteFloat(m_x) < 0 ? -1 : 4;
    }
    int Read(CNetBuf* buf, CNetUnreliable*, CNetClient*) override {
        return buf->ReadFloag(&m_x) < 0 ? -1 : 4;
    }
    int Interp(float t, CNetUnreliable* a, CNetUnreliable* b, CNetDataPort*) override {
        m_x = static_cast<CPos*>(a)->m_x +
              (static_cast<CPos*>(b)->m_x - static_cast<CPos*>(a)->m_x) * t;
        return 1;
    }
};

enum { kOwn = 0, kBall = 1, kPorts = 2 };

int MakePos(CNetDataPort* port, int number) {
    port->m_object = new CPos;
    port->m_writing_history = new CNetDataHistory(32, new CPos, number);
    port->m_reading_history = new CNetDataHistory(32, new CPos, number);
    return 1;
}
float X(CNetDataPort* port) {
    return static_cast<CPos*>(port->m_object)->m_x;
}

class CHost : public CNetServer {
public:
    std::vector<unsigned short> m_admitted; // the families Admit saw
    bool Admit(const sockaddr_in* addr, const SNetPeerIdentity&) override {
        m_admitted.push_back(addr->sin_family);
        return true;
    }
    int MakeOwnPort(CNetDataPort* port) override { return MakePos(port, kOwn); }
};

class CPlayer : public CNetConnection {
public:
    int MakeOwnPort(CNetDataPort* port) override { return MakePos(port, kOwn); }
};

void Frame(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(true);
    m.Write();
    m.EndFrame();
}

int StartPlayer(CPlayer& p, CNetUDP* udp, const std::string& host) {
    if (udp->Init() != 0 || p.Init(udp, kPorts) != 1) return -1;
    p.SetPortA(kBall, new CPos);
    p.m_ports[kBall].m_writing_history = new CNetDataHistory(32, new CPos, kBall);
    p.m_ports[kBall].m_reading_history = new CNetDataHistory(32, new CPos, kBall);
    p.SetPeerPorts(kOwn, false, true);
    p.SetPeerPorts(kBall, true, false);
    char err[128];
    return p.Connect(host.c_str(), err, sizeof err);
}

} // namespace

TEST(AddrServer, TwoPlayersOfBothFamiliesAtOnceThenOneIsReplaced) {
    CNetUDP host_udp(0), udp6("[::1]:0"), udp4("127.0.0.1:0"), udp6b("[::1]:0");
    CHost host;
    host.m_idle_limit_ms = 1500;
    ASSERT_EQ(host_udp.Init(), 0);
    ASSERT_EQ(host.Init(&host_udp, kPorts), 1);
    host.SetPortA(kBall, new CPos);
    host.m_ports[kBall].m_writing_history = new CNetDataHistory(32, new CPos, kBall);
    host.m_ports[kBall].m_reading_history = new CNetDataHistory(32, new CPos, kBall);
    host.InitPort(kBall, -1);
    host.SetPeerPorts(kOwn, true, false);
    host.SetPeerPorts(kBall, false, true);
    const std::string port = std::to_string(host_udp.GetLocalAddr().Port());
    CPlayer a, b, c;
    ASSERT_EQ(StartPlayer(a, &udp6, "[::1]:" + port), 1);
    ASSERT_EQ(StartPlayer(b, &udp4, "127.0.0.1:" + port), 1);

    std::vector<SNetServerEvent> events;
    auto run = [&](int frames, bool c_too, bool a_too, auto done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int f = 0; f < frames && std::chrono::steady_clock::now() < end; ++f) {
            CNetTime::Update();
            static_cast<CPos*>(host.m_ports[kBall].m_object)->m_x += 1.0f;
            for (CPlayer* p : {&a, &b, &c})
                if (CNetPeer* me = p->GetPeer())
                    static_cast<CPos*>(me->m_own_port->m_object)->m_x = p == &a   ? 6.0f
                                                                        : p == &b ? 4.0f
                                                                                  : 9.0f;
            Frame(host);
            if (a_too) Frame(a);
            Frame(b);
            if (c_too) Frame(c);
            SNetServerEvent e;
            while (host.PollEvent(&e))
                events.push_back(e);
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    auto seen = [&](int slot, float x) {
        CNetPeer* p = host.GetPeer(slot);
        return p && p->m_own_port && X(p->m_own_port) == x;
    };
    ASSERT_TRUE(run(500, false, true,
                    [&] {
                        return a.GetState() == CNetConnection::kConnected &&
                               b.GetState() == CNetConnection::kConnected &&
                               seen(a.GetSlot(), 6.0f) && seen(b.GetSlot(), 4.0f) &&
                               X(&a.m_ports[kBall]) > 20.0f && X(&b.m_ports[kBall]) > 20.0f;
                    }))
        << "a " << a.GetState() << " b " << b.GetState() << " slots " << a.GetSlot() << " "
        << b.GetSlot() << " seen " << seen(a.GetSlot(), 6.0f) << seen(b.GetSlot(), 4.0f) << " ball "
        << X(&a.m_ports[kBall]) << " " << X(&b.m_ports[kBall]);

    ASSERT_EQ(events.size(), 2u);
    for (const SNetServerEvent& e : events) {
        ASSERT_EQ(e.m_type, SNetServerEvent::kJoined);
        if (e.m_slot == a.GetSlot()) {
            EXPECT_EQ(e.m_peer, udp6.GetLocalAddr()) << T(e.m_peer);
            EXPECT_EQ(e.m_addr.sin_family, kNetFamilyInet6);
        } else {
            EXPECT_EQ(e.m_slot, b.GetSlot());
            EXPECT_EQ(e.m_peer, udp4.GetLocalAddr()) << T(e.m_peer); // IPv4, not v4-mapped
            EXPECT_EQ(e.m_addr.sin_family, kNetFamilyInet);
            EXPECT_EQ(T(CNetAddr::FromSockaddrIn(e.m_addr)), T(udp4.GetLocalAddr()));
        }
    }
    EXPECT_EQ(host.FindClient(udp6.GetLocalAddr()), a.GetSlot());
    EXPECT_EQ(host.FindClient(udp4.GetLocalAddr()), b.GetSlot());
    sockaddr_in record; // and the IPv4 player by its sockaddr_in as ever
    ASSERT_EQ(udp4.GetLocalAddr().ToSockaddrIn(&record), 1);
    EXPECT_EQ(host.FindClient(&record), b.GetSlot());
    // The table is the server's: a peer entered by hand is refused (and stays ours to delete).
    CNetPeer* stray = new CNetPeer;
    stray->m_own_port = new CNetDataPort; // one the manager's own table would take
    const int added = host.AddClient(stray, 0);
    EXPECT_EQ(added, -1);
    if (added == -1) delete stray;
    // Admit(sockaddr_in) saw the IPv6 player by its family alone and the IPv4 one as ever.
    ASSERT_EQ(host.m_admitted.size(), 2u);
    EXPECT_NE(host.m_admitted[0], host.m_admitted[1]);
    for (unsigned short f : host.m_admitted)
        EXPECT_TRUE(f == kNetFamilyInet || f == kNetFamilyInet6) << f;

    // Player a vanishes without a word: the host lets it go (idle limit or ICMPv6 report)
    // while b plays on, and c, a new IPv6 player, takes a slot.
    const int a_slot = a.GetSlot();
    const CNetAddr a_addr = udp6.GetLocalAddr();
    udp6.Shutdown();
    events.clear();
    ASSERT_TRUE(run(400, false, false, [&] { return host.GetPeer(a_slot) == nullptr; }));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].m_type, SNetServerEvent::kLeft);
    EXPECT_EQ(events[0].m_peer, a_addr) << T(events[0].m_peer);
    EXPECT_TRUE(events[0].m_reason == kNetGoneTimedOut || events[0].m_reason == kNetGoneUnreachable)
        << events[0].m_reason;
    EXPECT_EQ(b.GetState(), CNetConnection::kConnected);
    events.clear();
    ASSERT_EQ(StartPlayer(c, &udp6b, "[::1]:" + port), 1);
    ASSERT_TRUE(run(300, true, false, [&] {
        return c.GetState() == CNetConnection::kConnected && seen(c.GetSlot(), 9.0f);
    }));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].m_peer, udp6b.GetLocalAddr());
    EXPECT_EQ(host.GetNumPeers(), 2);
    EXPECT_TRUE(seen(b.GetSlot(), 4.0f));

    // RemoveClient on a server is a kick: told as one, and the player hears the goodbye.
    events.clear();
    ASSERT_EQ(host.RemoveClient(c.GetSlot()), c.GetSlot());
    ASSERT_TRUE(run(100, true, false, [&] { return c.GetState() == CNetConnection::kLost; }));
    SNetConnectionEvent told{}, e;
    while (c.PollEvent(&e))
        told = e;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ((std::vector<int>{events[0].m_type, events[0].m_reason, told.m_type, told.m_reason}),
              (std::vector<int>{SNetServerEvent::kLeft, kNetGoneKicked, SNetConnectionEvent::kLost,
                                kNetGoneLeft}));
}
