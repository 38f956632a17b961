// A host and one peer over the simulated network, the host sending more than a slow link
// carries: twelve 100-byte states that change wholly every frame (priorities 1 to 12 on
// ports 1 to 12) and a reliable chat line every 30 frames on port 0; the peer acknowledges
// the states it receives. Frames are 16 ms apart and the network's clock follows the frame
// clock, so a seed and a configuration give the same figures on any machine.
// Used by the rate benchmark (bench/RateBench.cpp) and the rate tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"

namespace ratescene {

enum : int {
    kStates = 12,
    kPorts = 1 + kStates,
    kStateSize = 100,
    kFrameMs = 16,
    kChatEvery = 30,
    kHistory = 64,
    kHostId = 1,
    kPeerId = 2,
};

// A state whose priority is its port number: port 12 matters most. Its first four bytes
// carry the host time at which it was made, so the peer can tell how old its copy is.
class CRankedState : public portnet_examples::CBlobState<kStateSize> {
public:
    int GetPriority(CNetClient*) override { return m_port_id * m_spread; }
    CNetData* Clone() override { return new CRankedState(*this); }
    void Make(int now, int frame) {
        for (int i = 0; i < kStateSize; ++i)
            m_bytes[i] = static_cast<unsigned char>(frame * 7 + i);
        std::memcpy(m_bytes, &now, sizeof now);
    }
    int Stamp() const {
        int t;
        std::memcpy(&t, m_bytes, sizeof t);
        return t;
    }
    int m_spread = 1; // priority steps between neighbouring ports
};

struct SConfig {
    int m_cap = 0;       // bytes per second each way; 0 unlimited
    double m_loss = 0.0; // percent lost at random each way
    int m_jitter = 0;    // ms of extra delay drawn from 0 to this, each way
    int m_latency = 20;  // ms each way
    int m_step_cap = 0;  // with m_step_from_ms >= 0: the cap between the two times
    int m_step_from_ms = -1;
    int m_step_to_ms = -1;
    bool m_adapt = false;          // CNetClient::m_adapt_rate on both clients
    bool m_host_fixed = false;     // the host adapts not: its queue stands on the way out
    bool m_aging = false;          // CNetClient::m_priority_aging on both clients
    int m_share_halving = 1;       // CNetClient::m_share_halving (0: aging by one step)
    int m_spread = 1;              // the host's priorities are the port numbers times this
    int m_peer_every = 1;          // the peer runs its frame once in this many host frames
    bool m_peer_acks = true;       // the peer answers states (m_ack_states)
    bool m_host_unheard = false;   // every host datagram is lost; the peer says a chat line,
                                   // resends it for ever and acknowledges nothing
    int m_chat_every = kChatEvery; // frames between chat lines; 0 none
    int m_changing = kStates;      // the most important states that change; the rest stay
    // Bytes the host has beyond one datagram a frame from the start (a large block): each
    // frame tells the client (m_rate_backlog) and writes extra datagrams for as long as the
    // rate controller leaves room, their bytes counted off. Extra states stand in for the
    // block's fragments. 0 none.
    int m_backlog = 0;
    int m_backlog_from_ms = 0; // when the backlog begins
    int m_frames = 1200;
    int m_warmup_ms = 2000; // figures count from here
    std::uint64_t m_seed = 1;
};

struct SResult {
    long long m_host_bytes = 0; // all the host sent, warm-up included
    double m_rate = 0;          // host bytes per second after the warm-up
    double m_dropped = 0;       // percent of host datagrams dropped by the capped link
    int m_rtt_median = 0;       // round-trip samples of the host, ms
    int m_rtt_p95 = 0;
    int m_ping_median = 0;         // the host client's smoothed m_ping
    int m_age_median[kPorts] = {}; // age of each port's state at the peer, ms; -1 never seen
    int m_age_p95[kPorts] = {};
    int m_chat_said = 0;
    int m_chat_heard = 0;
    int m_chat_median = -1; // ms from saying a line to its arrival
    int m_chat_max = -1;
    int m_recover_ms = -1;   // step rows: from the link's return to full rate again
    int m_budget_median = 0; // host client's m_send_budget and m_est_bandwidth
    int m_est_median = 0;
    int m_peer_budget_min = -1;   // after the warm-up, the peer's least budget (wire bytes a
                                  // frame, CNetClient::SRateState::m_budget16 / 16)
    int m_backlog_ms = -1;        // from the start until the backlog was sent; -1 never
    double m_backlog_dropped = 0; // percent of host datagrams the capped link dropped meanwhile
};

// A manager with the ranked states on ports 1 to kStates, written by a host and read by a
// peer; its priorities are the port numbers times spread.
inline CNetManager* RankedManager(CNetDriver* driver, bool host, int spread = 1) {
    auto* m = new CNetManager;
    if (m->Init(driver, kPorts) != 1) return delete m, nullptr;
    for (int p = 1; p <= kStates; ++p) {
        auto* state = new CRankedState;
        state->m_spread = spread;
        m->SetPortA(p, state);
        m->InitPort(p, -1);
        CNetDataHistory** h =
            host ? &m->m_ports[p].m_writing_history : &m->m_ports[p].m_reading_history;
        *h = new CNetDataHistory(kHistory, new CRankedState, p);
    }
    return m;
}

inline int Percentile(std::vector<int>& v, int pct) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const std::size_t i = (v.size() - 1) * static_cast<std::size_t>(pct) / 100;
    return v[i];
}

class CScene {
public:
    explicit CScene(const SConfig& c)
        : m_c(c), m_net(c.m_seed), m_host_ep(&m_net, kHostId), m_peer_ep(&m_net, kPeerId) {}
    ~CScene() {
        delete m_host;
        delete m_peer;
        delete m_host_out;
        delete m_peer_out;
    }

    SResult Run() {
        SResult r;
        if (!Start()) return r;
        CNetClient* hc = m_host->m_clients[0].m_client;
        const int start = CNetTime::m_time;
        std::vector<int> rtt, ping, age[kPorts], chat, budget, est;
        long long bytes_at_warmup = 0;
        std::uint32_t sent0 = 0, dropped0 = 0;
        int seen_acked = 0, heard = 0;
        int backlog = m_c.m_backlog_from_ms > 0 ? 0 : m_c.m_backlog;
        // Host bytes per frame, for the recovery after a step.
        std::vector<int> frame_bytes;
        for (int f = 0; f < m_c.m_frames; ++f) {
            CNetTime::m_time += kFrameMs;
            const int now = CNetTime::m_time, t = now - start;
            m_net.SetTime(now);
            SetCap(t);
            for (int p = kStates - m_c.m_changing + 1; p <= kStates; ++p)
                State(m_host, p)->Make(now, f);
            if (m_c.m_chat_every > 0 && f % m_c.m_chat_every == 0) {
                char line[64];
                // A line the full queue refuses counts as said and never delivered.
                std::snprintf(line, sizeof line, "line %d said at %d", m_chat_said++, now);
                Chat(m_host)->Say(line);
            }
            if (m_c.m_host_unheard && f == 0) Chat(m_peer)->Say("the peer's line");
            if (m_c.m_backlog_from_ms > 0 && t >= m_c.m_backlog_from_ms &&
                t - kFrameMs < m_c.m_backlog_from_ms)
                backlog = m_c.m_backlog;
            const long long before = hc->m_bytes_out;
            hc->m_rate_backlog = backlog;
            Steps(m_host);
            if (backlog > 0) {
                backlog -= static_cast<int>(hc->m_bytes_out - before);
                // Extra datagrams of the frame, each under a sequence of its own, until the
                // controller gives no more room (Write then sends nothing).
                for (int k = 0; k < 64 && backlog > 0; ++k) {
                    const int out = hc->m_packets_out, bytes = hc->m_bytes_out;
                    hc->m_rate_backlog = backlog;
                    if (hc->Write() != 1 || hc->m_packets_out == out) break;
                    backlog -= hc->m_bytes_out - bytes;
                }
                if (backlog <= 0) {
                    backlog = 0;
                    r.m_backlog_ms = t;
                    const std::uint32_t sent = m_host_ep.m_stats.m_sent;
                    r.m_backlog_dropped =
                        sent ? 100.0 * m_host_ep.m_stats.m_dropped_bandwidth / sent : 0.0;
                }
            }
            if (f % m_c.m_peer_every == 0) Steps(m_peer);
            const int peer_budget = m_peer->m_clients[0].m_client->m_rate_state.m_budget16 / 16;
            if (t > m_c.m_warmup_ms &&
                (r.m_peer_budget_min < 0 || peer_budget < r.m_peer_budget_min))
                r.m_peer_budget_min = peer_budget;
            frame_bytes.push_back(static_cast<int>(hc->m_bytes_out - before));
            const bool counted = t > m_c.m_warmup_ms;
            if (t <= m_c.m_warmup_ms) {
                bytes_at_warmup = hc->m_bytes_out;
                sent0 = m_host_ep.m_stats.m_sent;
                dropped0 = m_host_ep.m_stats.m_dropped_bandwidth;
            }
            if (hc->m_acked_seq != seen_acked) {
                seen_acked = hc->m_acked_seq;
                const int i = seen_acked % CNetClient::kRing;
                if (counted) rtt.push_back(hc->m_ack_times[i] - hc->m_write_times[i]);
            }
            // Lines arrive in order; each names the time it was said.
            CChatStream* in = Chat(m_peer);
            for (; heard < in->m_received; ++heard) {
                int said = 0, n = 0;
                if (std::sscanf(in->m_lines[heard % CChatStream::kRingLines], "line %d said at %d",
                                &n, &said) == 2)
                    chat.push_back(now - said);
            }
            if (!counted) continue;
            ping.push_back(hc->m_ping);
            budget.push_back(hc->m_send_budget);
            est.push_back(hc->m_est_bandwidth);
            for (int p = 1; p <= kStates; ++p) {
                const int stamp = State(m_peer, p)->Stamp();
                if (stamp != 0) age[p].push_back(now - stamp);
            }
        }
        const double secs = (m_c.m_frames * kFrameMs - m_c.m_warmup_ms) / 1000.0;
        r.m_host_bytes = hc->m_bytes_out;
        r.m_rate = (hc->m_bytes_out - bytes_at_warmup) / secs;
        const std::uint32_t sent = m_host_ep.m_stats.m_sent - sent0;
        r.m_dropped =
            sent ? 100.0 * (m_host_ep.m_stats.m_dropped_bandwidth - dropped0) / sent : 0.0;
        r.m_rtt_median = Percentile(rtt, 50);
        r.m_rtt_p95 = Percentile(rtt, 95);
        r.m_ping_median = Percentile(ping, 50);
        for (int p = 1; p <= kStates; ++p) {
            // A port that never arrived after the warm-up has no age: -1 stands for never.
            r.m_age_median[p] = Percentile(age[p], 50);
            r.m_age_p95[p] = Percentile(age[p], 95);
        }
        r.m_chat_said = m_chat_said;
        r.m_chat_heard = heard;
        r.m_chat_median = Percentile(chat, 50);
        r.m_chat_max = Percentile(chat, 100);
        r.m_budget_median = Percentile(budget, 50);
        r.m_est_median = Percentile(est, 50);
        r.m_recover_ms = RecoverMs(frame_bytes);
        return r;
    }

private:
    using CChatStream = portnet_examples::CChatStream;

    bool Start() {
        m_host_ep.m_impairment.m_latency_ms = m_peer_ep.m_impairment.m_latency_ms = m_c.m_latency;
        m_host_ep.m_impairment.m_loss_percent = m_peer_ep.m_impairment.m_loss_percent = m_c.m_loss;
        if (m_c.m_host_unheard) m_host_ep.m_impairment.m_loss_percent = 100.0;
        m_host_ep.m_impairment.m_jitter_ms = m_peer_ep.m_impairment.m_jitter_ms = m_c.m_jitter;
        SetCap(0);
        if (m_host_ep.Init() != 0 || m_peer_ep.Init() != 0) return false;
        m_host = Manager(&m_host_ep, true);
        m_peer = Manager(&m_peer_ep, false);
        const sockaddr_in to_peer = Addr(kPeerId), to_host = Addr(kHostId);
        m_host_out = new CNetBuf(&m_host_ep, &to_peer);
        m_peer_out = new CNetBuf(&m_peer_ep, &to_host);
        return m_host && m_peer && AddClient(m_host, m_host_out, true) &&
               AddClient(m_peer, m_peer_out, false);
    }

    void SetCap(int t) {
        const bool stepped =
            m_c.m_step_from_ms >= 0 && t >= m_c.m_step_from_ms && t < m_c.m_step_to_ms;
        const int cap = stepped ? m_c.m_step_cap : m_c.m_cap;
        m_host_ep.m_impairment.m_bandwidth_bytes_per_s = cap;
        m_peer_ep.m_impairment.m_bandwidth_bytes_per_s = cap;
    }

    // Frames from the link's return until a quarter second sends 95 % of what a quarter
    // second sent before the step, in ms; -1 without a step or when it never does.
    int RecoverMs(const std::vector<int>& bytes) const {
        if (m_c.m_step_from_ms < 0) return -1;
        const int window = 250 / kFrameMs, from = m_c.m_step_from_ms / kFrameMs,
                  back = m_c.m_step_to_ms / kFrameMs;
        // A step from the start has no quarter second before it to compare with.
        if (from < window || from > static_cast<int>(bytes.size())) return -1;
        auto sum = [&](int end) {
            long long s = 0;
            for (int i = end - window; i < end; ++i)
                s += bytes[static_cast<std::size_t>(i)];
            return s;
        };
        const long long full = sum(from);
        for (int end = back + window; end <= static_cast<int>(bytes.size()); ++end)
            if (sum(end) * 100 >= full * 95) return (end - back) * kFrameMs;
        return -1;
    }

    static sockaddr_in Addr(int id) {
        sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = kNetFamilyLocal;
        a.sin_port = static_cast<unsigned short>(id);
        return a;
    }

    CNetManager* Manager(CNetDriver* driver, bool host) const {
        return RankedManager(driver, host, m_c.m_spread);
    }

    bool AddClient(CNetManager* m, CNetBuf* out, bool host) {
        auto* c = new CNetClient;
        c->m_send_buf = out;
        c->m_own_port = new CNetDataPort;
        c->m_own_port->m_object = new CChatStream;
        c->m_ack_states = !host && m_c.m_peer_acks;
        c->m_adapt_rate = m_c.m_adapt && !(host && m_c.m_host_fixed);
        c->m_priority_aging = m_c.m_aging;
        c->m_share_halving = m_c.m_share_halving;
        if (m->AddClient(c, -1) < 0) return delete c, false;
        c->m_refs[0].m_read_enabled = c->m_refs[0].m_write_enabled = true;
        for (int p = 1; p <= kStates; ++p) {
            c->m_refs[p].m_write_enabled = host;
            c->m_refs[p].m_read_enabled = !host;
        }
        return true;
    }

    static bool Steps(CNetManager* m) {
        return m->BeginFrame() + m->Read() + m->Update(false) + m->Write() + m->EndFrame() == 5;
    }
    static CRankedState* State(CNetManager* m, int p) {
        return static_cast<CRankedState*>(m->m_ports[p].m_object);
    }
    static CChatStream* Chat(CNetManager* m) {
        return static_cast<CChatStream*>(m->m_clients[0].m_client->m_own_port->m_object);
    }

    SConfig m_c;
    CNetSimNetwork m_net;
    CNetSimDriver m_host_ep, m_peer_ep;
    CNetManager* m_host = nullptr;
    CNetManager* m_peer = nullptr;
    CNetBuf* m_host_out = nullptr;
    CNetBuf* m_peer_out = nullptr;
    int m_chat_said = 0;
};

inline SResult Run(const SConfig& c) {
    CScene scene(c);
    return scene.Run();
}

} // namespace ratescene
