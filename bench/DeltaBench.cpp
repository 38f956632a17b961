// Bytes on the wire per frame for a 200-byte state of which a tenth changes every frame,
// encoded against the newest state the peer acknowledged (delta on) or always whole (delta
// off). The peer answers every frame with a moving position, so acknowledgements flow as in
// a live session; the figure is the host's datagram, channel byte and packet header included.
#include <benchmark/benchmark.h>

#include "BenchStar.h"

namespace {

using namespace bench;
using Blob200 = portnet_examples::CBlobState<200>;

// The same state and decoder, but an encoder that ignores the base: every record is the
// whole state. The packet still names the base slot; the reader takes a whole state whatever
// slot is named, so only the encoding differs.
class CWholeBlob200 : public Blob200 {
public:
    CNetData* Clone() override { return new CWholeBlob200(*this); }
    int Write(CNetBuf* buf, CNetUnreliable*, int room, CNetClient* client) override {
        return Blob200::Write(buf, nullptr, room, client);
    }
};

template <typename TState> void HostBytes(benchmark::State& state, EChange change) {
    SStarConfig config;
    config.m_transport = ETransport::kLoopback;
    config.m_peers = 1;
    config.m_state_ports = 1;
    config.m_echo = true;
    config.m_change = change;
    CStar<TState> star(config);
    if (!StartSteady(state, star)) return;
    const long long host0 = star.HostBytes();
    int failed = 0;
    for (auto _ : state)
        failed += star.Frame() ? 0 : 1;
    if (failed > 0) state.SkipWithError("a frame step failed");
    if (star.PeersInStep() != 1) state.SkipWithError("peer out of step");
    state.counters["wire_B_per_frame"] =
        static_cast<double>(star.HostBytes() - host0) / static_cast<double>(state.iterations());
}

void BM_DeltaOn(benchmark::State& state) {
    HostBytes<Blob200>(state, static_cast<EChange>(state.range(0)));
}
void BM_DeltaOff(benchmark::State& state) {
    HostBytes<CWholeBlob200>(state, static_cast<EChange>(state.range(0)));
}

// Argument 0: a tenth of the state changes in 4-byte fields; 1: in single scattered bytes.
BENCHMARK(BM_DeltaOn)->ArgName("scattered")->Arg(0)->Arg(1)->Iterations(20000);
BENCHMARK(BM_DeltaOff)->ArgName("scattered")->Arg(0)->Arg(1)->Iterations(20000);

} // namespace
