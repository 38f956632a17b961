// A path narrower than one small datagram a frame: the adapted host skips frames and sends its
// few small states together in one datagram, rather than some of them in each of more, smaller
// datagrams (then each state would reach the peer only every other datagram, or starve).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "RateScenario.h"

namespace {

constexpr int kStates = 6, kSize = 10, kFrames = 250, kFrom = kFrames / 2;

// Every byte changes every frame, so each record goes whole (13 bytes with its header), six of
// them about 120 bytes a datagram on the wire. The first four carry the host time.
using CState = portnet_examples::CBlobState<kSize>;

int Stamp(CNetManager* m, int p) {
    int t;
    std::memcpy(&t, static_cast<CState*>(m->m_ports[p].m_object)->m_bytes, sizeof t);
    return t;
}

// The host writes the states and adapts its rate to the peer; the peer reads and acknowledges.
CNetManager* Side(CNetDriver* d, CNetBuf* out, bool host, CNetClient** c) {
    auto* m = new CNetManager;
    if (m->Init(d, kStates + 1) != 1) return delete m, nullptr;
    *c = new CNetClient;
    (*c)->m_send_buf = out;
    (*c)->m_own_port = new CNetDataPort;
    (*c)->m_own_port->m_object = new portnet_examples::CChatStream;
    (*c)->m_ack_states = !host, (*c)->m_adapt_rate = host;
    if (m->AddClient(*c, -1) < 0) return delete *c, delete m, nullptr;
    for (int p = 1; p <= kStates; ++p) {
        m->SetPortA(p, new CState);
        m->InitPort(p, -1);
        (host ? m->m_ports[p].m_writing_history : m->m_ports[p].m_reading_history) =
            new CNetDataHistory(32, new CState, p);
        (*c)->m_refs[p].m_write_enabled = host, (*c)->m_refs[p].m_read_enabled = !host;
    }
    return m;
}

void Steps(CNetManager* m) {
    m->BeginFrame(), m->Read(), m->Update(false), m->Write(), m->EndFrame();
}

// 1200 and 1500 B/s carry such a datagram every sixth frame or so, 4000 B/s every other frame
// (a budget above a small datagram a frame, below the whole snapshot: it split the snapshot,
// and the last state's longest wait was 22 frames). Over the last two seconds each state
// advances with every datagram that arrives, all of them in the same frames.
TEST(RateNarrowSnapshot, SmallSnapshotGoesWholeOnAPathNarrowerThanADatagramAFrame) {
    for (int cap : {1200, 1500, 4000}) {
        CNetSimNetwork net(3);
        CNetSimDriver host_ep(&net, 1), peer_ep(&net, 2);
        host_ep.m_impairment.m_latency_ms = peer_ep.m_impairment.m_latency_ms = 20;
        host_ep.m_impairment.m_bandwidth_bytes_per_s = cap;
        ASSERT_TRUE(host_ep.Init() == 0 && peer_ep.Init() == 0);
        sockaddr_in to_peer{}, to_host{};
        to_peer.sin_family = to_host.sin_family = kNetFamilyLocal;
        to_peer.sin_port = 2, to_host.sin_port = 1;
        CNetBuf host_out(&host_ep, &to_peer), peer_out(&peer_ep, &to_host);
        CNetClient *hc = nullptr, *pc = nullptr;
        std::unique_ptr<CNetManager> host(Side(&host_ep, &host_out, true, &hc));
        std::unique_ptr<CNetManager> peer(Side(&peer_ep, &peer_out, false, &pc));
        ASSERT_TRUE(host && peer);
        int last[kStates + 1] = {}, since[kStates + 1] = {}, worst[kStates + 1] = {};
        int moves[kStates + 1] = {}, any = 0, all = 0, in = 0, seen = 0, since_in = 0, worst_in = 0;
        std::uint32_t sent0 = 0, dropped0 = 0;
        for (int f = 0; f < kFrames; ++f) {
            const int now = CNetTime::m_time += ratescene::kFrameMs;
            net.SetTime(now);
            for (int p = 1; p <= kStates; ++p) {
                unsigned char* b = static_cast<CState*>(host->m_ports[p].m_object)->m_bytes;
                std::memset(b, f * 7 + p, kSize);
                std::memcpy(b, &now, sizeof now);
            }
            Steps(host.get());
            Steps(peer.get());
            if (f == kFrom)
                sent0 = host_ep.m_stats.m_sent, dropped0 = host_ep.m_stats.m_dropped_bandwidth;
            const bool arrived = pc->m_packets_in != seen;
            seen = pc->m_packets_in, since_in = arrived ? 0 : since_in + 1;
            int moved = 0;
            for (int p = 1; p <= kStates; ++p) {
                const bool up = Stamp(peer.get(), p) != last[p];
                last[p] = Stamp(peer.get(), p), since[p] = up ? 0 : since[p] + 1;
                if (f <= kFrom) continue;
                moved += up, moves[p] += up;
                worst[p] = since[p] > worst[p] ? since[p] : worst[p];
            }
            if (f <= kFrom) continue;
            worst_in = since_in > worst_in ? since_in : worst_in;
            in += arrived, any += moved > 0, all += moved == kStates;
        }
        const std::uint32_t sent = host_ep.m_stats.m_sent - sent0;
        const std::uint32_t dropped = host_ep.m_stats.m_dropped_bandwidth - dropped0;
        std::printf(
            "%d B/s: %d datagrams, worst gap %d frames; all moved in %d of %d; dropped %u of "
            "%u; the last state %d moves, worst gap %d\n",
            cap, in, worst_in, all, any, dropped, sent, moves[kStates], worst[kStates]);
        // The path is narrow: frames are skipped, yet datagrams keep coming.
        EXPECT_LT(in, (kFrames - kFrom) / 2) << cap;
        EXPECT_GE(in, (kFrames - kFrom) / 10) << cap;
        EXPECT_LE(dropped * 50, sent) << cap << ": " << dropped << " of " << sent;
        EXPECT_GE(all * 10, any * 9) << cap << ": " << all << " of " << any;
        for (int p = 1; p <= kStates; ++p) {
            EXPECT_GE(moves[p] * 10, in * 9) << cap << ", port " << p << ": " << moves[p];
            EXPECT_LE(worst[p], worst_in + 1) << cap << ", port " << p << ": " << worst[p];
        }
    }
}

} // namespace
