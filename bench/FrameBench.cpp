// The library's own cost of a frame, without system calls: one host and 1 to 1024 peers over
// in-process transports, four ports (a chat stream both ways, three 64-byte states from the
// host, a tenth of each changing per frame), all five steps on every manager.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <vector>
#include <algorithm>
#include <cstdio>
#include <string>

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

// The same frames on the simulator with the host's driver recorded (CNetRecorder): the
// recording's cost per frame is the difference to BM_FrameSim's rows.
std::string RecordPath(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/portnet_bench_" + name + ".pcapng";
}

void BM_FrameSimRecorded(benchmark::State& state) {
    const std::string path = RecordPath("frames");
    SStarConfig config;
    config.m_transport = ETransport::kSim;
    config.m_peers = static_cast<int>(state.range(0));
    config.m_state_ports = 3;
    config.m_chat = true;
    config.m_record = path.c_str();
    {
        CStar<Blob64> star(config);
        if (!StartSteady(state, star)) return;
        RunFrames(state, star, config.m_peers);
        state.counters["file_B_per_frame"] =
            static_cast<double>(star.m_recorder->m_stats.m_bytes) /
            (star.m_recorder->m_stats.m_frames ? star.m_recorder->m_stats.m_frames : 1);
    }
    std::remove(path.c_str());
}

// The recording's cost, its rows side by side in one run: the frame of BM_FrameSim (8 peers)
// over the simulator (transport:0) or over UDP on 127.0.0.0/8 (transport:1), recorded or not.
// The time shown is the frame thread's CPU; process_ns_per_frame adds the writer thread's.
void BM_Recording(benchmark::State& state) {
    const std::string path = RecordPath("cost");
    const bool udp = state.range(0) == 1, recorded = state.range(1) == 1;
    SStarConfig config;
    config.m_transport = udp ? ETransport::kUdp : ETransport::kSim;
    config.m_peers = 8;
    config.m_state_ports = 3;
    config.m_chat = true;
    config.m_record = recorded ? path.c_str() : nullptr;
    {
        CStar<Blob64> star(config);
        if (!StartSteady(state, star)) return;
        const std::clock_t cpu0 = std::clock();
        RunFrames(state, star, config.m_peers);
        const double frames = static_cast<double>(state.iterations());
        state.counters["process_ns_per_frame"] =
            static_cast<double>(std::clock() - cpu0) * 1e9 / CLOCKS_PER_SEC / frames;
        if (star.m_recorder) {
            state.counters["stalls"] = star.m_recorder->m_stats.m_stalls;
            if (star.m_recorder->m_stats.m_write_failures) state.SkipWithError("a write failed");
        }
    }
    std::remove(path.c_str());
}

// The same two frames measured against each other where the machine's speed cannot come
// between them: a recorded rig and an unrecorded one in one process, blocks of kBlock frames
// taken in turn, each block timed by this thread's CPU clock. plain_ns_per_frame and
// recorded_ns_per_frame are the two rigs' frames; extra_pct is the median over pairs of blocks of
// how much more the recorded block took, writer_ns_per_frame the CPU the writer thread spent per
// recorded frame. The row's own time covers a block of each.
void BM_RecordingPaired(benchmark::State& state) {
    enum : int { kBlock = 100 };
    const std::string path = RecordPath("paired");
    SStarConfig config;
    config.m_transport = state.range(0) == 1 ? ETransport::kUdp : ETransport::kSim;
    config.m_peers = 8;
    config.m_state_ports = 3;
    config.m_chat = true;
    CStar<Blob64> plain(config);
    config.m_record = path.c_str();
    {
        CStar<Blob64> recorded(config);
        int clock[2] = {0, 0}; // each rig runs on its own clock
        CStar<Blob64>* rigs[2] = {&plain, &recorded};
        for (int r = 0; r < 2; ++r) {
            CNetTime::m_time = clock[r];
            if (!StartSteady(state, *rigs[r])) return;
            clock[r] = CNetTime::m_time;
        }
        const auto thread_ns = [] {
            timespec t;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            return t.tv_sec * 1e9 + t.tv_nsec;
        };
        std::vector<double> ratios;
        double ns[2] = {0, 0};
        long long frames = 0;
        bool ok = true;
        const std::clock_t cpu0 = std::clock();
        for (auto _ : state) {
            double block[2];
            for (int r = 0; r < 2; ++r) {
                CNetTime::m_time = clock[r];
                const double start = thread_ns();
                for (int f = 0; f < kBlock; ++f)
                    ok = rigs[r]->Frame() && ok;
                block[r] = thread_ns() - start;
                ns[r] += block[r];
                clock[r] = CNetTime::m_time;
            }
            ratios.push_back(block[1] / block[0]);
            frames += kBlock;
        }
        const double process_ns = static_cast<double>(std::clock() - cpu0) * 1e9 / CLOCKS_PER_SEC;
        if (!ok) return state.SkipWithError("a frame step failed");
        if (plain.PeersInStep() != 8 || recorded.PeersInStep() != 8)
            return state.SkipWithError("peers out of step");
        std::sort(ratios.begin(), ratios.end());
        state.counters["plain_ns_per_frame"] = ns[0] / frames;
        state.counters["recorded_ns_per_frame"] = ns[1] / frames;
        state.counters["extra_pct"] = (ratios[ratios.size() / 2] - 1) * 100;
        state.counters["writer_ns_per_frame"] = (process_ns - ns[0] - ns[1]) / frames;
        state.counters["stalls"] = recorded.m_recorder->m_stats.m_stalls;
    }
    std::remove(path.c_str());
}

// A 10-minute session of 8 peers at 60 fps (kFrameMs apart), recorded, then played back into
// the host alone: how many times faster than the session took. Each replayed frame must hash
// and send as recorded, or the row fails.
void BM_Replay10Minutes(benchmark::State& state) {
    const std::string path = RecordPath("replay");
    const int peers = static_cast<int>(state.range(0));
    const int frames = 10 * 60 * 1000 / kFrameMs;
    SStarConfig config;
    config.m_transport = ETransport::kSim;
    config.m_peers = peers;
    config.m_state_ports = 3;
    config.m_chat = true;
    {
        config.m_record = path.c_str();
        CStar<Blob64> star(config);
        if (const char* error = star.Start()) return state.SkipWithError(error);
        for (int f = 0; f < frames; ++f)
            if (!star.Frame()) return state.SkipWithError("a recorded frame failed");
        star.m_recorder->Close();
    }
    config.m_record = nullptr;
    config.m_replay = path.c_str();
    double wall_s = 0;
    int replayed = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        CStar<Blob64> star(config);
        if (const char* error = star.Start()) return state.SkipWithError(error);
        replayed = 0;
        while (star.Frame())
            ++replayed;
        wall_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (star.m_replayer->FirstDivergingFrame() >= 0)
            return state.SkipWithError("the replay diverged from the recording");
    }
    std::remove(path.c_str());
    if (replayed != frames) return state.SkipWithError("the replay stopped early");
    const double session_s = frames * kFrameMs / 1000.0;
    state.counters["session_s"] = session_s;
    state.counters["times_real_time"] = session_s * state.iterations() / wall_s;
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

BENCHMARK(BM_FrameSimRecorded)->ArgNames({"peers"})->Arg(1)->Arg(8)->Arg(64)->Arg(256);
BENCHMARK(BM_Recording)->ArgNames({"transport", "recorded"})->ArgsProduct({{0, 1}, {0, 1}});
BENCHMARK(BM_RecordingPaired)->ArgName("transport")->Arg(0)->Arg(1)->Iterations(400);
BENCHMARK(BM_Replay10Minutes)
    ->ArgNames({"peers"})
    ->Arg(8)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace
