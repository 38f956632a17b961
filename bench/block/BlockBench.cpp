// A 1 MiB block from a host to one peer over the simulated network while three 100-byte states
// (priorities 1 to 3, all changing every frame) and a chat line every 30 frames replicate,
// against the same run without the block: a section of bench/results.md on stdout with each
// target and its verdict. Both clients adapt their rate and age priorities, as CNetServer and
// CNetConnection set them. The figures depend only on the seed and the settings.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "RateScenario.h"

namespace {

using portnet_examples::CChatStream;
using ratescene::CRankedState;
using ratescene::Percentile;

enum : int {
    kStates = 3,
    kBlockPort = 4,
    kPorts = 5,
    kFrameMs = 16,
    kChatEvery = 30,
    kHistory = 64,
    kHostId = 1,
    kPeerId = 2,
    kWarmupMs = 2000,
    kMaxMs = 120000,
};
const std::uint32_t kBlockBytes = 1u << 20;

unsigned char BlockByte(std::uint32_t i) {
    return static_cast<unsigned char>(i * 2654435761u >> 24);
}

struct SConfig {
    const char* m_name;
    int m_cap;     // bytes per second each way
    double m_loss; // percent, each way
    int m_latency; // ms each way
};

struct SResult {
    bool m_delivered = false;
    bool m_intact = false;
    int m_transfer_ms = 0;   // Send to BlockReceived
    int m_window_frames = 0; // frames the figures below cover
    double m_host_rate = 0;  // host bytes per second over the window
    double m_dropped = 0;    // percent of the host's datagrams dropped at the cap
    std::uint32_t m_datagrams = 0;
    int m_age_p95 = -1;     // the most important state's age at the peer, ms
    int m_chat_median = -1; // ms from saying a line to its arrival
    int m_chat_lines = 0;
    std::uint32_t m_fragments = 0, m_resent = 0;
};

class CSink : public CNetBlockStream {
public:
    int BlockReceived(CNetClient*, std::uint32_t, const unsigned char* data,
                      std::uint32_t len) override {
        m_at = CNetTime::m_time;
        m_intact = len == kBlockBytes;
        for (std::uint32_t i = 0; m_intact && i < len; ++i)
            m_intact = data[i] == BlockByte(i);
        return 1;
    }
    int m_at = -1;
    bool m_intact = false;
};

sockaddr_in Addr(int id) {
    sockaddr_in a = {};
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

CNetManager* Manager(CNetDriver* d, bool host) {
    auto* m = new CNetManager;
    if (m->Init(d, kPorts) != 1) return delete m, nullptr;
    for (int p = 1; p <= kStates; ++p) {
        m->SetPortA(p, new CRankedState);
        m->InitPort(p, -1);
        CNetDataHistory** h =
            host ? &m->m_ports[p].m_writing_history : &m->m_ports[p].m_reading_history;
        *h = new CNetDataHistory(kHistory, new CRankedState, p);
    }
    m->SetPortA(kBlockPort, host ? new CNetBlockStream : new CSink);
    m->InitPort(kBlockPort, -1);
    return m;
}

CNetClient* Client(CNetManager* m, CNetBuf* out, bool host) {
    auto* c = new CNetClient;
    c->m_send_buf = out;
    c->m_own_port = new CNetDataPort;
    c->m_own_port->m_object = new CChatStream;
    c->m_ack_states = !host;
    c->m_adapt_rate = c->m_priority_aging = true;
    if (m->AddClient(c, -1) < 0) return delete c, nullptr;
    c->m_refs[0].m_read_enabled = c->m_refs[0].m_write_enabled = true;
    for (int p = 1; p <= kStates; ++p) {
        c->m_refs[p].m_write_enabled = host;
        c->m_refs[p].m_read_enabled = !host;
    }
    c->m_refs[kBlockPort].m_read_enabled = c->m_refs[kBlockPort].m_write_enabled = true;
    return c;
}

bool Steps(CNetManager* m) {
    return m->BeginFrame() + m->Read() + m->Update(false) + m->Write() + m->EndFrame() == 5;
}

// With block, the block goes at the end of the warm-up and the window lasts until it arrives;
// without, the window lasts window_frames (the block run's).
SResult Run(const SConfig& c, bool block, int window_frames, std::uint64_t seed = 1) {
    SResult r;
    CNetSimNetwork net(seed);
    CNetSimDriver host_ep(&net, kHostId, 256), peer_ep(&net, kPeerId, 256);
    for (CNetSimDriver* e : {&host_ep, &peer_ep}) {
        e->m_impairment.m_bandwidth_bytes_per_s = c.m_cap;
        e->m_impairment.m_loss_percent = c.m_loss;
        e->m_impairment.m_latency_ms = c.m_latency;
    }
    CNetTime::m_time = 1000;
    net.SetTime(CNetTime::m_time);
    if (host_ep.Init() != 0 || peer_ep.Init() != 0) return r;
    const sockaddr_in to_peer = Addr(kPeerId), to_host = Addr(kHostId);
    CNetBuf host_out(&host_ep, &to_peer), peer_out(&peer_ep, &to_host);
    CNetManager* host = Manager(&host_ep, true);
    CNetManager* peer = Manager(&peer_ep, false);
    CNetClient* hc = host ? Client(host, &host_out, true) : nullptr;
    CNetClient* pc = peer ? Client(peer, &peer_out, false) : nullptr;
    if (hc && pc) {
        auto* sender = static_cast<CNetBlockStream*>(host->m_ports[kBlockPort].m_object);
        auto* sink = static_cast<CSink*>(peer->m_ports[kBlockPort].m_object);
        auto* chat_out = static_cast<CChatStream*>(hc->m_own_port->m_object);
        auto* chat_in = static_cast<CChatStream*>(pc->m_own_port->m_object);
        std::vector<unsigned char> bytes(kBlockBytes);
        for (std::uint32_t i = 0; i < kBlockBytes; ++i)
            bytes[i] = BlockByte(i);
        std::vector<int> ages, chat;
        const int start = CNetTime::m_time;
        int from = -1, heard = 0, said = 0;
        long long bytes0 = 0;
        std::uint32_t sent0 = 0, dropped0 = 0;
        for (int f = 0; f * kFrameMs < kMaxMs; ++f) {
            CNetTime::m_time += kFrameMs;
            const int now = CNetTime::m_time;
            net.SetTime(now);
            for (int p = 1; p <= kStates; ++p)
                static_cast<CRankedState*>(host->m_ports[p].m_object)->Make(now, f);
            if (f % kChatEvery == 0) {
                char line[64];
                std::snprintf(line, sizeof line, "line %d said at %d", said++, now);
                chat_out->Say(line);
            }
            if (from < 0 && now - start >= kWarmupMs) {
                from = f;
                bytes0 = hc->m_bytes_out;
                sent0 = host_ep.m_stats.m_sent;
                dropped0 = host_ep.m_stats.m_dropped_bandwidth;
                if (block && sender->Send(hc, bytes.data(), kBlockBytes) < 0) break;
            }
            Steps(host);
            Steps(peer);
            for (; heard < chat_in->m_received; ++heard) {
                int n = 0, at = 0;
                if (std::sscanf(chat_in->m_lines[heard % CChatStream::kRingLines],
                                "line %d said at %d", &n, &at) == 2 &&
                    from >= 0)
                    chat.push_back(now - at);
            }
            if (from < 0) continue;
            const int stamp = static_cast<CRankedState*>(peer->m_ports[kStates].m_object)->Stamp();
            if (stamp != 0) ages.push_back(now - stamp);
            const bool over = block ? sink->m_at >= 0 : f - from + 1 >= window_frames;
            if (over) {
                r.m_window_frames = f - from + 1;
                break;
            }
        }
        if (r.m_window_frames > 0) {
            const double secs = r.m_window_frames * kFrameMs / 1000.0;
            r.m_delivered = block;
            r.m_intact = block && sink->m_intact;
            r.m_transfer_ms = block ? sink->m_at - (start + (from + 1) * kFrameMs) : 0;
            r.m_host_rate = (hc->m_bytes_out - bytes0) / secs;
            r.m_datagrams = host_ep.m_stats.m_sent - sent0;
            r.m_dropped = r.m_datagrams ? 100.0 * (host_ep.m_stats.m_dropped_bandwidth - dropped0) /
                                              r.m_datagrams
                                        : 0;
            r.m_age_p95 = Percentile(ages, 95);
            r.m_chat_lines = static_cast<int>(chat.size());
            r.m_chat_median = Percentile(chat, 50);
            r.m_fragments = sender->m_fragments_sent;
            r.m_resent = sender->m_fragments_resent;
        }
    }
    delete host;
    delete peer;
    return r;
}

void Verdict(bool met, const char* text, const char* figures) {
    std::printf("- %s: %s (%s)\n", text, met ? "**met**" : "**not met**", figures);
}

} // namespace

// The simulator's seed may be given (default 1): the lossy rows' figures move with it.
int main(int argc, char** argv) {
    const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    const SConfig rows[] = {
        {"64 KB/s, 20 ms", 64000, 0.0, 20},
        {"1 MB/s, 20 ms", 1000000, 0.0, 20},
        {"64 KB/s, 5 % loss, 100 ms", 64000, 5.0, 100},
        {"1 MB/s, 5 % loss, 100 ms", 1000000, 5.0, 100},
    };
    constexpr int kRows = sizeof rows / sizeof rows[0];
    SResult with[kRows], without[kRows];
    double goodput[kRows], share[kRows];
    for (int i = 0; i < kRows; ++i) {
        with[i] = Run(rows[i], true, 0, seed);
        // Without the block, over as many frames as the transfer took (at least a second).
        const int frames = with[i].m_window_frames > 62 ? with[i].m_window_frames : 62;
        without[i] = Run(rows[i], false, frames, seed);
        const double rate = with[i].m_delivered && with[i].m_transfer_ms > 0
                                ? kBlockBytes * 1000.0 / with[i].m_transfer_ms
                                : 0;
        goodput[i] = rate;
        share[i] = 100.0 * rate / (rows[i].m_cap - without[i].m_host_rate);
    }

    std::printf(
        "\n## 8. Large blocks\n\n"
        "### Over the simulated network\n\n"
        "Written by `portnet_blockbench` (bench/block). A host sends one peer a block of 1 MiB "
        "(`CNetBlockStream`, priority 0) 2 s into the run, while three 100-byte states that "
        "change wholly every frame (priorities 1 to 3) and a reliable chat line every %d frames "
        "replicate; the peer acknowledges the states (`m_ack_states`); both clients have "
        "`m_adapt_rate` and `m_priority_aging` on. 16 ms frames; the link capped each way by the "
        "simulator (`m_bandwidth_bytes_per_s`, 250 ms backlog), with the latency and random "
        "loss of the row, seed %llu. Each row runs twice: with the block, until the peer holds it, "
        "and without it, over as many frames from the same moment. Simulated time: the same "
        "table on any machine.\n\n"
        "*Goodput*: the block's bytes over the time from `Send` to `BlockReceived`. *Capacity "
        "left*: the cap less what the host sent per second without the block (states, chat, "
        "headers). *Dropped at the cap*: share of the host's datagrams during the transfer "
        "that the capped link dropped. *Age*: p95 of how old the peer's copy of the priority-3 "
        "state is, sampled every frame of the window. *Chat*: median delay of the lines said "
        "in the window.\n\n",
        +kChatEvery, static_cast<unsigned long long>(seed));
    std::printf("| link | block arrived | transfer s | goodput KB/s | capacity left KB/s | "
                "goodput / capacity left | dropped at the cap | top state p95 age ms, without / "
                "during | chat median ms, without / during | fragments sent / resent |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < kRows; ++i) {
        const SResult& w = with[i];
        const SResult& o = without[i];
        std::printf("| %s | %s | %.2f | %.1f | %.1f | %.1f %% | %.2f %% (%u datagrams) | %d / %d "
                    "| %d / %d | %u / %u |\n",
                    rows[i].m_name,
                    !w.m_delivered ? "no"
                    : w.m_intact   ? "whole, intact"
                                   : "CORRUPT",
                    w.m_transfer_ms / 1000.0, goodput[i] / 1000.0,
                    (rows[i].m_cap - o.m_host_rate) / 1000.0, share[i], w.m_dropped, w.m_datagrams,
                    o.m_age_p95, w.m_age_p95, o.m_chat_median, w.m_chat_median, w.m_fragments,
                    w.m_resent);
    }

    std::printf("\nTargets:\n\n");
    char text[200];
    const double need[kRows] = {85, 85, 75, 75};
    for (int i = 0; i < kRows; ++i) {
        std::snprintf(text, sizeof text, "%.1f %% of %.1f KB/s", share[i],
                      (rows[i].m_cap - without[i].m_host_rate) / 1000.0);
        char what[120];
        std::snprintf(what, sizeof what, "%s: goodput at least %.0f %% of the capacity left",
                      rows[i].m_name, need[i]);
        Verdict(with[i].m_intact && share[i] >= need[i], what, text);
    }
    for (int i = 0; i < 2; ++i) {
        std::snprintf(text, sizeof text, "%.2f %%", with[i].m_dropped);
        char what[120];
        std::snprintf(what, sizeof what, "%s: at most 2 %% of the datagrams dropped at the cap",
                      rows[i].m_name);
        Verdict(with[i].m_dropped <= 2.0, what, text);
    }
    for (int i = 0; i < kRows; ++i) {
        const int age = with[i].m_age_p95 - without[i].m_age_p95;
        const int chat = with[i].m_chat_median - without[i].m_chat_median;
        std::snprintf(text, sizeof text, "p95 age %+d ms, chat median %+d ms", age, chat);
        char what[140];
        std::snprintf(what, sizeof what,
                      "%s: the top state's p95 age and the chat's median delay rise by at most "
                      "one frame (16 ms)",
                      rows[i].m_name);
        Verdict(with[i].m_age_p95 >= 0 && age <= kFrameMs && chat <= kFrameMs, what, text);
    }
    return 0;
}
