// The rate scenario of examples/common/RateScenario.h over the simulated network, each row
// with rate adaptation and priority aging off, then on: one markdown table on stdout.
// The figures depend only on the seed and the settings, not on the machine.
#include <cstdio>

#include "RateScenario.h"

namespace {

using ratescene::SConfig;
using ratescene::SResult;

struct SRow {
    const char* name;
    int cap;
    double loss;
    int step_cap;
    int peer_every;
    int jitter;
};

void Age(const SResult& r, int port) {
    if (r.m_age_median[port] < 0)
        std::printf(" never |");
    else
        std::printf(" %d / %d |", r.m_age_median[port], r.m_age_p95[port]);
}

void Print(const SRow& row, const char* setting, const SResult& r) {
    std::printf("| %s | %s | %.1f | %.1f %% | %d / %d (%d) |", row.name, setting, r.m_rate / 1000.0,
                r.m_dropped, r.m_rtt_median, r.m_rtt_p95, r.m_ping_median);
    Age(r, ratescene::kStates);
    Age(r, 1);
    std::printf(" %d of %d", r.m_chat_heard, r.m_chat_said);
    if (r.m_chat_median >= 0) std::printf(", %d (%d) ms", r.m_chat_median, r.m_chat_max);
    std::printf(" | %d / %.1f |", r.m_budget_median, r.m_est_median / 1000.0);
    if (row.step_cap > 0)
        std::printf(" %d ms |\n", r.m_recover_ms);
    else
        std::printf(" - |\n");
}

} // namespace

int main() {
    const SRow rows[] = {
        {"unlimited", 0, 0.0, 0, 1, 0},
        {"64 KB/s", 64000, 0.0, 0, 1, 0},
        {"32 KB/s", 32000, 0.0, 0, 1, 0},
        {"16 KB/s", 16000, 0.0, 0, 1, 0},
        {"8 KB/s", 8000, 0.0, 0, 1, 0},
        {"unlimited, 10 % loss", 0, 10.0, 0, 1, 0},
        {"unlimited, 16 KB/s from 6.4 s to 12.8 s", 0, 0.0, 16000, 1, 0},
        {"unlimited, peer at a third of the frame rate", 0, 0.0, 0, 3, 0},
        {"32 KB/s, peer at a third of the frame rate", 32000, 0.0, 0, 3, 0},
        {"unlimited, 20 ms jitter", 0, 0.0, 0, 1, 20},
        {"32 KB/s, 20 ms jitter", 32000, 0.0, 0, 1, 20},
    };
    std::printf("| link | switches on | host sends KB/s | dropped by link | round trip ms, "
                "median / p95 (m_ping) | most important state age ms, median / p95 | least "
                "important | chat delivered, delay median (most) | budget B / estimate KB/s "
                "(median) | back to full rate |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    const char* settings[] = {"off", "adapt", "adapt, aging"};
    for (const SRow& row : rows)
        for (int k = 0; k < 3; ++k) {
            SConfig c;
            c.m_cap = row.cap;
            c.m_loss = row.loss;
            c.m_peer_every = row.peer_every;
            c.m_jitter = row.jitter;
            if (row.step_cap > 0) {
                c.m_step_cap = row.step_cap;
                c.m_step_from_ms = 6400;
                c.m_step_to_ms = 12800;
            }
            c.m_adapt = k >= 1;
            c.m_aging = k == 2;
            Print(row, settings[k], ratescene::Run(c));
        }
    return 0;
}
