// Section 2's frame loop (a host and its peers over UDP on 127.0.0.1, a 200-byte state from
// the host to every peer every frame, a tenth of it changing) through a CNetServer and its
// CNetConnections, driven from C++ and through the C API (portnet_c.h): the same classes both
// ways, so the ratio of the rows is what the C layer costs. The C row also drains every
// peer's events (a state arrival each frame), as a C game does.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "portnet/CNetBlobState.h"
#include "portnet/portnet.h"
#include "portnet/portnet_c.h"

namespace {

enum : int { kStateSize = 200, kStatePort = 1, kPorts = 2, kHistory = 32, kSetupFrames = 400 };

// A tenth of the state changes each frame, at places drawn from a fixed sequence.
struct SChanger {
    std::uint32_t m_state = 2024;
    void Change(unsigned char* bytes) {
        for (int i = 0; i < kStateSize / 10; ++i) {
            m_state = m_state * 1664525u + 1013904223u;
            ++bytes[(m_state >> 8) % kStateSize];
        }
    }
};

void StatePort(CNetManager& m) {
    m.SetPortA(kStatePort, new CNetBlobState(kStateSize));
    m.m_ports[kStatePort].m_writing_history =
        new CNetDataHistory(kHistory, new CNetBlobState(kStateSize), kStatePort);
    m.m_ports[kStatePort].m_reading_history =
        new CNetDataHistory(kHistory, new CNetBlobState(kStateSize), kStatePort);
    m.InitPort(kStatePort, -1);
}

void Step(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(false);
    m.Write();
    m.EndFrame();
}

void BM_UdpServerCpp(benchmark::State& state) {
    const int peers = static_cast<int>(state.range(0));
    CNetUDP host_udp("127.0.0.1:0");
    CNetServer host;
    host.m_max_clients = peers;
    if (host_udp.Init() != 0 || host.Init(&host_udp, kPorts) != 1) {
        state.SkipWithError("host");
        return;
    }
    StatePort(host);
    host.SetPeerPorts(kStatePort, false, true);
    sockaddr_in addr{};
    addr.sin_family = kNetFamilyInet;
    GetAddrFromString(host_udp.GetAddr(), &addr);
    std::vector<std::unique_ptr<CNetUDP>> udps;
    std::vector<std::unique_ptr<CNetConnection>> players;
    for (int i = 0; i < peers; ++i) {
        udps.emplace_back(new CNetUDP("127.0.0.1:0"));
        players.emplace_back(new CNetConnection);
        udps.back()->Init();
        players.back()->Init(udps.back().get(), kPorts);
        StatePort(*players.back());
        players.back()->SetPeerPorts(kStatePort, true, false);
        players.back()->Connect(&addr);
    }
    auto* blob = static_cast<CNetBlobState*>(host.m_ports[kStatePort].m_object);
    SChanger changer;
    unsigned char got[kStateSize];
    SNetServerEvent host_event;
    SNetConnectionEvent player_event;
    auto frame = [&] {
        CNetTime::Update();
        changer.Change(blob->Bytes());
        Step(host);
        while (host.PollEvent(&host_event)) {
        }
        for (auto& p : players) {
            Step(*p);
            while (p->PollEvent(&player_event)) {
            }
            CNetData* seen = p->m_ports[kStatePort].m_object;
            if (seen->m_received) // as a game reads what arrived
                std::memcpy(got, static_cast<CNetBlobState*>(seen)->Bytes(), kStateSize);
        }
    };
    for (int i = 0; i < kSetupFrames && host.GetNumPeers() < peers; ++i)
        frame();
    if (host.GetNumPeers() != peers) {
        state.SkipWithError("players did not join");
        return;
    }
    for (auto _ : state)
        frame();
    state.counters["ns_per_peer"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * peers,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_UdpServerC(benchmark::State& state) {
    const int peers = static_cast<int>(state.range(0));
    if (portnet_init(0) != PORTNET_OK) {
        state.SkipWithError("portnet_init");
        return;
    }
    portnet_handle host_udp, host;
    portnet_udp_create("127.0.0.1:0", &host_udp);
    portnet_server_create(host_udp, kPorts, peers, &host);
    portnet_state_port(host, kStatePort, kStateSize, kHistory);
    portnet_peer_ports(host, kStatePort, 0, 1);
    char addr[PORTNET_MAX_ADDRESS];
    portnet_driver_address(host_udp, addr, sizeof addr);
    std::vector<portnet_handle> players(static_cast<size_t>(peers));
    for (auto& p : players) {
        portnet_handle udp;
        portnet_udp_create("127.0.0.1:0", &udp);
        portnet_connection_create(udp, kPorts, &p);
        portnet_state_port(p, kStatePort, kStateSize, kHistory);
        portnet_peer_ports(p, kStatePort, 1, 0);
        portnet_connect(p, addr);
    }
    unsigned char bytes[kStateSize] = {};
    unsigned char got[kStateSize];
    SChanger changer;
    portnet_event ev;
    auto frame = [&] {
        portnet_time_update(nullptr);
        changer.Change(bytes);
        portnet_set_state(host, 0, kStatePort, bytes, kStateSize);
        portnet_frame(host);
        while (portnet_poll(host, &ev, nullptr, 0) == PORTNET_OK) {
        }
        for (portnet_handle p : players) {
            portnet_frame(p);
            while (portnet_poll(p, &ev, nullptr, 0) == PORTNET_OK)
                if (ev.type == PORTNET_EVENT_STATE)
                    portnet_get_state(p, 0, kStatePort, got, kStateSize);
        }
    };
    portnet_server_info info{};
    for (int i = 0; i < kSetupFrames && info.num_peers < peers; ++i) {
        frame();
        portnet_get_server_info(host, &info);
    }
    if (info.num_peers != peers) {
        portnet_shutdown();
        state.SkipWithError("players did not join");
        return;
    }
    for (auto _ : state)
        frame();
    state.counters["ns_per_peer"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * peers,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    portnet_shutdown();
}

BENCHMARK(BM_UdpServerCpp)->ArgName("peers")->Arg(1)->Arg(8);
BENCHMARK(BM_UdpServerC)->ArgName("peers")->Arg(1)->Arg(8);

} // namespace
