// The library's own cost of a frame, without system calls: one host and 1 to 1024 peers over
// in-process transports, four ports (a chat stream both ways, three 64-byte states from the
// host, a tenth of each changing per frame), all five steps on every manager.
#include <benchmark/benchmark.h>

#include "BenchStar.h"

namespace {

using namespace bench;
using Blob64 = portnet_examples::CBlobState<64>;

// Counters shared by the frame benchmarks, on a started rig: time per peer-frame and bytes
// per frame.
template <typename TState> void RunFrames(benchmark::State& state, CStar<TState>& star, int peers) {
    const long long host0 = star.HostBytes(), peer0 = star.PeerBytes();
    const double host_ns0 = star.HostNs();
    int failed = 0;
    for (auto _ : state)
        failed += star.Frame() ? 0 : 1;
    if (failed > 0) state.SkipWithError("a frame step failed");
    const double frames = static_cast<double>(state.iterations());
    state.counters["ns_per_peer"] = benchmark::Counter(
        frames * peers, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["host_B_per_peer"] = (star.HostBytes() - host0) / (frames * peers);
    // The host's own steps, timed inside the frame (wall time).
    state.counters["host_ns_per_peer"] = (star.HostNs() - host_ns0) / (frames * peers);
    state.counters["peer_B"] = (star.PeerBytes() - peer0) / (frames * peers);
    state.counters["wire_B_per_frame"] =
        (star.HostBytes() - host0 + star.PeerBytes() - peer0) / frames;
}

void FrameOver(benchmark::State& state, ETransport transport) {
    SStarConfig config;
    config.m_transport = transport;
    config.m_peers = static_cast<int>(state.range(0));
    config.m_state_ports = 3;
    config.m_chat = true;
    config.m_host_slots = static_cast<int>(state.range(1));
    const double before = HeapKiB();
    CStar<Blob64> star(config);
    if (!StartSteady(state, star)) return;
    // Both sides of every link live in this process: the host's client and the peer's manager.
    state.counters["heap_KiB_per_peer"] = (HeapKiB() - before) / config.m_peers;
    RunFrames(state, star, config.m_peers);
    // A rig that does not replicate would measure nothing.
    star.Frame();
    if (star.PeersInStep() != config.m_peers) state.SkipWithError("peers out of step");
    if (star.ChatLines() == 0) state.SkipWithError("no chat line arrived");
}

void BM_FrameLoopback(benchmark::State& state) {
    FrameOver(state, ETransport::kLoopback);
}
void BM_FrameSim(benchmark::State& state) {
    FrameOver(state, ETransport::kSim);
}

// Peers, and the host's table (0: as many slots as peers, at least the default eight).
BENCHMARK(BM_FrameLoopback)
    ->ArgNames({"peers", "slots"})
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({64, 0})
    ->Args({256, 0})
    ->Args({1024, 0})
    ->Args({8, 4096});
BENCHMARK(BM_FrameSim)
    ->ArgNames({"peers", "slots"})
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({64, 0})
    ->Args({256, 0})
    ->Args({8, 4096});

} // namespace
