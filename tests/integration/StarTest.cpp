// One host with a table of 256 slots and 256 peer managers in one process: over loopback
// endpoints (each client reads its own) and over the simulated network at 10 % loss (one
// host endpoint, every sender found by address); and 64 peers over that lossy network with
// every endpoint inside a CNetDtls (pre-shared key). Chat lines cross every link both ways
// once and in order, and every peer's copy of the host's state ends equal to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "TwoPeerSession.h"
#ifdef PORTNET_HAS_SECURE
#include "portnet/CNetDtls.h"
#endif

using namespace twopeer;
using portnet_examples::CPositionState;

namespace {

using Ints = std::vector<int>;

enum : int { kMaxPeers = 256, kStatePort = 1, kStarPorts = 2 };

struct Network {
    const char* name;
    int peers;
    bool simulated; // else loopback endpoints
    bool secure;    // a CNetDtls over every simulated endpoint
};

struct StarLink {
    std::unique_ptr<CNetManager> leaf{new CNetManager};
    std::unique_ptr<CNetBuf> host_out, host_in, leaf_out;
    CNetClient* at_host = nullptr;
    CNetClient* at_leaf = nullptr;
    ChatLine down{"d"}, up{"u"};
};

const Network kNetworks[] = {
    {"Loopback256", 256, false, false},
    {"SimulatedAtTenPercentLoss256", 256, true, false},
#ifdef PORTNET_HAS_SECURE
    {"DtlsSimulatedAtTenPercentLoss64", 64, true, true},
#endif
};

class Star : public ::testing::TestWithParam<Network> {
protected:
    // Ports: 0 a chat stream per client, 1 a position the host writes to all.
    static void AddPorts(CNetManager& m, bool host) {
        m.SetPortA(kStatePort, new CPositionState);
        m.InitPort(kStatePort, -1);
        CNetDataHistory** h = host ? &m.m_ports[kStatePort].m_writing_history
                                   : &m.m_ports[kStatePort].m_reading_history;
        *h = new CNetDataHistory(kHistory, new CPositionState, kStatePort);
    }
    static CNetClient* Enter(CNetManager& m, CNetBuf* out, CNetBuf* in, bool host) {
        auto* c = new CNetClient;
        c->m_send_buf = out;
        c->m_recv_buf = in;
        c->m_timeout = 100; // repeat lost reliable packets soon
        c->m_own_port = new CNetDataPort;
        c->m_own_port->m_object = new CChatStream;
        if (m.AddClient(c, -1) == -1) return delete c, nullptr;
        c->m_refs[0].m_read_enabled = c->m_refs[0].m_write_enabled = true;
        c->m_refs[kStatePort].m_write_enabled = host;
        c->m_refs[kStatePort].m_read_enabled = !host;
        return c;
    }
    static CChatStream* Chat(CNetClient* c) {
        return static_cast<CChatStream*>(c->m_own_port->m_object);
    }
    static int Steps(CNetManager& m) {
        return 5 - (m.BeginFrame() == 1) - (m.Read() == 1) - (m.Update(true) == 1) -
               (m.Write() == 1) - (m.EndFrame() == 1);
    }

    // Declared so that the links go first, the managers' drivers last.
    CNetSimNetwork net{7, kMaxPeers + 1};
    std::vector<std::unique_ptr<CNetSimDriver>> sims;
    std::vector<std::unique_ptr<CNetDriver>> secured;
    CNetManager host;
    std::vector<StarLink> links;
};

TEST_P(Star, PeersChatOnceInOrderAndConverge) {
    const Network& n = GetParam();
    const int peers = n.peers;
    const bool simulated = n.simulated;
    links.resize(peers);
    CNetTime::m_time = 1000;
    SNetImpairment lossy;
    lossy.m_loss_percent = 10.0;
    auto endpoint = [&](int id) -> CNetDriver* {
        if (!simulated) {
            CNetDriver* d = GetSystemNetDriver(kNetDriverLocal, id);
            return d && d->Init() == 0 ? d : nullptr;
        }
        sims.push_back(std::make_unique<CNetSimDriver>(&net, id, 4 * peers));
        sims.back()->m_impairment = lossy;
        if (!n.secure) return sims.back()->Init() == 0 ? sims.back().get() : nullptr;
#ifdef PORTNET_HAS_SECURE
        // The host accepts a session from every peer; the peers start them.
        static const unsigned char key[32] = {0x73, 0x74, 0x61, 0x72};
        SNetDtlsConfig c;
        c.m_role = id == 1 ? SNetDtlsConfig::kAccept : SNetDtlsConfig::kConnect;
        c.m_psk_key = key;
        c.m_psk_key_len = sizeof key;
        c.m_max_sessions = c.m_max_half_open = peers;
        c.m_retransmit_ms = 20; // system clock: the handshake loop sleeps
        c.m_handshake_timeout_ms = 60000;
        secured.push_back(std::make_unique<CNetDtls>(sims.back().get(), c));
        return secured.back()->Init() == 0 ? secured.back().get() : nullptr; // the endpoint's too
#else
        return nullptr;
#endif
    };
    CNetDriver* hub = endpoint(1);
    ASSERT_NE(hub, nullptr);
    host.m_max_clients = peers;
    ASSERT_EQ(host.Init(hub, kStarPorts), 1);
    AddPorts(host, true);
    for (int i = 0; i < peers; ++i) {
        StarLink& l = links[i];
        // Over loopback an endpoint keeps one datagram: the host reads each peer on its own.
        CNetDriver* host_side = simulated ? hub : endpoint(1000 + i);
        CNetDriver* leaf_side = endpoint(3000 + i);
        ASSERT_TRUE(host_side && leaf_side);
        const sockaddr_in to_leaf = Addr(3000 + i), to_host = Addr(simulated ? 1 : 1000 + i);
        l.host_out = std::make_unique<CNetBuf>(host_side, &to_leaf);
        if (!simulated) l.host_in = std::make_unique<CNetBuf>(host_side, nullptr);
        l.leaf_out = std::make_unique<CNetBuf>(leaf_side, &to_host);
        ASSERT_EQ(l.leaf->Init(leaf_side, kStarPorts), 1);
        AddPorts(*l.leaf, false);
        l.at_host = Enter(host, l.host_out.get(), l.host_in.get(), true);
        l.at_leaf = Enter(*l.leaf, l.leaf_out.get(), nullptr, false);
        ASSERT_TRUE(l.at_host && l.at_leaf);
        ASSERT_EQ(l.at_host->m_id, i);
    }
    std::srand(2024); // the managers' loss draws repeat (the simulator has its own seed)

    auto* state = static_cast<CPositionState*>(host.m_ports[kStatePort].m_object);
    int failed = 0;
    auto frame = [&](bool speak) {
        CNetTime::m_time += kFrameMs;
        net.SetTime(CNetTime::m_time);
        for (StarLink& l : links)
            if (speak) l.down.Speak(Chat(l.at_host)), l.up.Speak(Chat(l.at_leaf));
        failed += Steps(host);
        for (StarLink& l : links) {
            failed += Steps(*l.leaf);
            l.down.Hear(Chat(l.at_leaf));
            l.up.Hear(Chat(l.at_host));
        }
    };
#ifdef PORTNET_HAS_SECURE
    // A peer's first line starts its handshake (and waits for it); the run proper begins once
    // every session is open (a lost flight is sent again on the system clock, hence the
    // pauses).
    auto opened = [&] {
        int open = 0;
        for (auto& d : secured)
            open += static_cast<CNetDtls*>(d.get())->GetOpenSessions();
        return open;
    };
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int f = 0; n.secure && opened() < 2 * peers && f < 3000; ++f) {
        ASSERT_TRUE(std::chrono::steady_clock::now() < give_up) << opened() << " sessions open";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        frame(f == 0);
    }
    ASSERT_EQ(opened(), n.secure ? 2 * peers : 0);
#endif
    // 140 frames of talk, then quiet until every line is acknowledged: a backlog drains a
    // line per round trip, and a loss costs a time-out.
    auto unacknowledged = [&] {
        int n = 0;
        for (StarLink& l : links)
            n += Chat(l.at_host)->m_delivered != l.down.said ||
                 Chat(l.at_leaf)->m_delivered != l.up.said;
        return n;
    };
    for (int f = 0; f < 200 || (f < 600 && unacknowledged() > 0); ++f) {
        const bool moving = f < 140;
        if (moving) state->m_pos[0] = static_cast<float>(f);
        frame(moving);
    }
    // Every link: what was said was heard, once, in order, and acknowledged; at least a few
    // lines each way even at 10 % loss; the state arrived whole.
    int short_links = 0, unequal = 0;
    for (StarLink& l : links) {
        l.down.ExpectWhole(Chat(l.at_host));
        l.up.ExpectWhole(Chat(l.at_leaf));
        short_links += std::min(l.down.said, l.up.said) < 10;
        unequal += static_cast<CPositionState*>(l.leaf->m_ports[kStatePort].m_object)->m_pos[0] !=
                   state->m_pos[0];
    }
    EXPECT_EQ((Ints{failed, short_links, unequal, host.GetNumClients()}), (Ints{0, 0, 0, peers}));
    host.Release();
    for (StarLink& l : links)
        l.leaf->Release();
    if (!simulated) ReleaseSystemNetDriver();
}

INSTANTIATE_TEST_SUITE_P(Network, Star, ::testing::ValuesIn(kNetworks),
                         [](const ::testing::TestParamInfo<Network>& p) { return p.param.name; });

} // namespace
