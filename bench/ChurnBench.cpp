// A CNetServer host under churn: 256 players (CNetConnection), over the simulated network or
// UDP on 127.0.0.1, and in every frame one of them leaves (Leave: the host hears a goodbye)
// while a new one joins (Connect from an endpoint that has rested), against the same host
// with nobody coming or going. Only the host's five steps are timed.
//
// The players' endpoints form a ring of peers + kRest: the ones in play are a window of it
// that moves on by one each churn frame, so a joining player's endpoint has been quiet for
// kRest frames (its queue drained) and joins from an address the host let go of lately, as a
// player coming back would.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "BenchStar.h"

namespace {

using namespace bench;
using Blob64 = portnet_examples::CBlobState<64>;

enum : int { kStatePorts = 3, kNumPorts = 1 + kStatePorts, kRest = 8, kSimHost = 1 };

class CChurnRig {
public:
    CChurnRig(ETransport transport, int peers)
        : m_transport(transport), m_peers(peers), m_ring(peers + kRest),
          m_net(7, peers + kRest + 2), m_drivers(m_ring), m_players(m_ring) {}

    ~CChurnRig() {
        m_players.clear(); // before their drivers
        m_server.reset();
    }

    // Builds the host and every endpoint and connects the first `peers` players; an error
    // text, or null.
    const char* Start() {
        if (m_transport == ETransport::kSim) {
            auto* host = new CNetSimDriver(&m_net, kSimHost, 4 * m_peers);
            m_host_driver.reset(host);
            if (host->Init() != 0) return "simulated endpoint";
            m_host_addr = LocalAddr(kSimHost);
        } else {
            auto* host = new CNetUDP("127.0.0.1:0");
            m_host_driver.reset(host);
            if (host->Init() != 0) return "UDP socket on 127.0.0.1";
            m_host_addr = BoundAddr(host);
        }
        m_server.reset(new CNetServer);
        // Room for the joining player, read in the same drain as the goodbye of the one leaving.
        m_server->m_max_clients = m_peers + 1;
        if (m_server->Init(m_host_driver.get(), kNumPorts) != 1) return "server";
        for (int p = 1; p <= kStatePorts; ++p) {
            m_server->SetPortA(p, new Blob64);
            m_server->InitPort(p, -1);
            m_server->m_ports[p].m_writing_history = new CNetDataHistory(kHistory, new Blob64, p);
            m_server->SetPeerPorts(p, false, true);
        }
        for (int i = 0; i < m_ring; ++i) {
            if (m_transport == ETransport::kSim) {
                m_drivers[i].reset(new CNetSimDriver(&m_net, 100 + i, 64));
            } else {
                auto* udp = new CNetUDP("127.0.0.1:0"); // peers told apart by their ports
                udp->m_batch_receive = udp->m_batch_send = true;
                m_drivers[i].reset(udp);
            }
            if (m_drivers[i]->Init() != 0) return "player endpoint";
            m_players[i].reset(new CNetConnection);
            CNetConnection& c = *m_players[i];
            if (c.Init(m_drivers[i].get(), kNumPorts) != 1) return "player";
            for (int p = 1; p <= kStatePorts; ++p) {
                c.SetPortA(p, new Blob64);
                c.InitPort(p, -1);
                c.m_ports[p].m_reading_history = new CNetDataHistory(kHistory, new Blob64, p);
                c.SetPeerPorts(p, true, false);
            }
        }
        for (int i = 0; i < m_peers; ++i)
            if (m_players[i]->Connect(&m_host_addr) != 1) return "connect";
        for (int f = 0; f < 200 && Connected() < m_peers; ++f)
            Frame(false);
        if (Connected() != m_peers || m_server->GetNumPeers() != m_peers)
            return "players did not all connect";
        for (int f = 0; f < 50; ++f)
            Frame(false);
        return nullptr;
    }

    // One frame: with churn, the oldest player leaves and the player after the window joins
    // (its first packet, the hello, sent at once); then the host's steps, then every player's.
    // False when a step failed.
    bool Frame(bool churn) {
        CNetTime::m_time += kFrameMs;
        if (m_transport == ETransport::kSim) m_net.SetTime(CNetTime::m_time);
        if (churn) {
            m_players[m_first]->Leave();
            const int joining = (m_first + m_peers) % m_ring;
            Drain(m_drivers[joining].get());
            m_players[joining]->Connect(&m_host_addr);
            // Its hello goes out now, so that the host reads it beside the goodbye and
            // writes to 256 players, as in a steady frame.
            Steps(m_players[joining].get());
            m_first = (m_first + 1) % m_ring;
        }
        for (int p = 1; p <= kStatePorts; ++p) {
            auto* state = static_cast<Blob64*>(m_server->m_ports[p].m_object);
            m_changer.Change(state->m_bytes, sizeof state->m_bytes, EChange::kFields);
        }
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = ThreadCpuNs();
        bool ok = HostSteps();
        m_host_cpu_ns += ThreadCpuNs() - cpu_start;
        m_host_ns +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                .count();
        SNetServerEvent e;
        while (m_server->PollEvent(&e) == 1) {
            m_joined += e.m_type == SNetServerEvent::kJoined;
            m_left += e.m_type == SNetServerEvent::kLeft && e.m_reason == kNetGoneLeft;
            m_other += e.m_type == SNetServerEvent::kRefused ||
                       (e.m_type == SNetServerEvent::kLeft && e.m_reason != kNetGoneLeft);
        }
        // Players out of play are stepped too: an idle connection drops what reaches it.
        for (auto& c : m_players)
            ok = Steps(c.get()) && ok;
        return ok;
    }

    // Players whose connection is up.
    int Connected() const {
        int n = 0;
        for (const auto& c : m_players)
            n += c->GetState() == CNetConnection::kConnected;
        return n;
    }

    CNetServer* Server() { return m_server.get(); }
    // The host's steps so far: wall time, as the other rows give it, and this thread's CPU
    // time, which a machine shared with other work does not stretch by taking the CPU away.
    double m_host_ns = 0, m_host_cpu_ns = 0;
    long long m_joined = 0, m_left = 0, m_other = 0;

private:
    // Kept out of line so that a profiler can tell it from the players' steps
    // (valgrind --tool=callgrind --toggle-collect='*HostSteps*').
    __attribute__((noinline)) bool HostSteps() { return Steps(m_server.get()); }

    static double ThreadCpuNs() {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
    }

    static bool Steps(CNetManager* m) {
        return m->BeginFrame() + m->Read() + m->Update(true) + m->Write() + m->EndFrame() == 5;
    }

    // Whatever still waits for an endpoint that rested (nothing, as a rule).
    static void Drain(CNetDriver* d) {
        unsigned char buf[CNetSimDriver::kMaxDatagram + 100];
        sockaddr_in from;
        for (int i = 0; i < 64; ++i) {
            int len = sizeof buf;
            if (d->RecvFrom(&len, buf, &from) != 0 || len == 0) break;
        }
    }

    ETransport m_transport;
    int m_peers, m_ring;
    int m_first = 0; // the oldest player in play
    CNetSimNetwork m_net;
    CChanger m_changer;
    sockaddr_in m_host_addr{};
    std::unique_ptr<CNetDriver> m_host_driver;
    std::unique_ptr<CNetServer> m_server;
    std::vector<std::unique_ptr<CNetDriver>> m_drivers;
    std::vector<std::unique_ptr<CNetConnection>> m_players;
};

// churn 0: steady frames; 1: every frame a churn frame; 2: churn and steady frames in turn,
// each kind timed on its own, so that both meet the same moments of a shared machine's load
// and their ratio is taken within one repetition.
void ServerFrames(benchmark::State& state, ETransport transport) {
    const int peers = static_cast<int>(state.range(0));
    const int mode = static_cast<int>(state.range(1));
    CChurnRig rig(transport, peers);
    if (const char* error = rig.Start()) {
        state.SkipWithError(error);
        return;
    }
    // Into steady churn before timing: every endpoint of the ring has left and joined once.
    for (int f = 0; mode != 0 && f < peers + kRest; ++f)
        rig.Frame(true);
    const double heap0 = HeapKiB();
    const long long joined0 = rig.m_joined, left0 = rig.m_left;
    double cpu[2] = {}, wall[2] = {}; // by kind of frame: steady, churn
    long long count[2] = {};
    int failed = 0;
    for (auto _ : state) {
        const bool churn = mode == 1 || (mode == 2 && (count[0] + count[1]) % 2 == 1);
        const double cpu0 = rig.m_host_cpu_ns, wall0 = rig.m_host_ns;
        failed += rig.Frame(churn) ? 0 : 1;
        cpu[churn] += rig.m_host_cpu_ns - cpu0;
        wall[churn] += rig.m_host_ns - wall0;
        ++count[churn];
    }
    const double frames = static_cast<double>(state.iterations());
    state.counters["host_ns_per_frame"] = (wall[0] + wall[1]) / frames;
    state.counters["host_ns_per_peer"] = (wall[0] + wall[1]) / (frames * peers);
    state.counters["host_cpu_ns_per_frame"] = (cpu[0] + cpu[1]) / frames;
    if (mode == 2 && count[0] > 0 && count[1] > 0) {
        const double steady = cpu[0] / count[0], churn = cpu[1] / count[1];
        state.counters["cpu_ns_steady"] = steady;
        state.counters["cpu_ns_churn"] = churn;
        state.counters["cpu_churn_over_steady"] = churn / steady;
        state.counters["wall_churn_over_steady"] = (wall[1] / count[1]) / (wall[0] / count[0]);
    }
    state.counters["joins_per_frame"] = (rig.m_joined - joined0) / frames;
    state.counters["leaves_per_frame"] = (rig.m_left - left0) / frames;
    // What the process kept of players that left (the host holds a departed peer until its
    // slot is taken again), over the frames.
    state.counters["heap_B_per_frame"] = (HeapKiB() - heap0) * 1024.0 / frames;
    if (failed > 0) state.SkipWithError("a frame step failed");
    // A rig whose players do not come and go as meant would measure something else. The
    // last to join may need a few frames more to hear the host.
    for (int f = 0; f < 10 && (f == 0 || rig.Connected() != peers); ++f)
        rig.Frame(false);
    if (rig.m_other != 0) state.SkipWithError("a refusal, or a departure other than a goodbye");
    if (rig.Server()->GetNumPeers() != peers || rig.Connected() != peers)
        state.SkipWithError("players out of play");
}

void BM_ServerSim(benchmark::State& state) {
    ServerFrames(state, ETransport::kSim);
}
void BM_ServerUdp(benchmark::State& state) {
    ServerFrames(state, ETransport::kUdp);
}

// Players, and churn (0: steady; 1: one leaves and one joins every frame; 2: every other).
BENCHMARK(BM_ServerSim)
    ->ArgNames({"peers", "churn"})
    ->Args({256, 0})
    ->Args({256, 1})
    ->Args({256, 2});
BENCHMARK(BM_ServerUdp)
    ->ArgNames({"peers", "churn"})
    ->Args({256, 0})
    ->Args({256, 1})
    ->Args({256, 2});

} // namespace
