// The rate scenario of examples/common/RateScenario.h over the simulated network, each row
// with the switches off, with rate adaptation, and with priority aging as well: a section of
// bench/results.md on stdout, the table and each target with its verdict. The figures depend
// only on the seed and the settings, not on the machine.
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

// One target: its text, the figures that decide it and whether it is met.
void Verdict(bool met, const char* text, const char* figures) {
    std::printf("- %s: %s (%s)\n", text, met ? "**met**" : "**not met**", figures);
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

// The capped rows again, adaptation and aging on, with the three ways aging can share a narrow
// link: one priority step per packet missed (m_share_halving 0, as before priority shares),
// priority shares, and priority shares over priorities twice as far apart.
void Shares(const SRow* rows, const SResult* fixed) {
    struct SWay {
        const char* name;
        int halving, spread;
    };
    const SWay ways[] = {
        {"steps (before)", 0, 1}, {"shares", 1, 1}, {"shares, priorities x2", 1, 2}};
    constexpr int kWays = sizeof ways / sizeof ways[0], kCaps = 5;
    static SResult r[kCaps][kWays];
    for (int i = 0; i < kCaps; ++i)
        for (int k = 0; k < kWays; ++k) {
            SConfig c;
            c.m_cap = rows[i].cap;
            c.m_adapt = c.m_aging = true;
            c.m_share_halving = ways[k].halving;
            c.m_spread = ways[k].spread;
            r[i][k] = ratescene::Run(c);
        }
    const int top = ratescene::kStates;
    std::printf(
        "\n### Priority shares\n\n"
        "The capped rows again with `m_adapt_rate` and `m_priority_aging` on, in the three ways "
        "aging can divide a narrow link. *Steps (before)*: `m_share_halving = 0`, a state left "
        "out gains one priority step per packet missed (the writer before priority shares). "
        "*Shares*: the default, each port's share of the bytes halving per priority step below "
        "the top one, an eighth shared evenly. *Shares, priorities x2*: the host's priorities "
        "twice as far apart (2, 4, ... 24), so each step quarters the share. Each port's age at "
        "the peer, 95th percentile in ms, from port 12 (the most important) down to port 1; "
        "*never*: it never arrived.\n\n");
    std::printf("| link | aging | port 12 p95 (x unlimited) |");
    for (int p = top - 1; p >= 1; --p)
        std::printf(" %d |", p);
    std::printf("\n|---|---|---|");
    for (int p = top - 1; p >= 1; --p)
        std::printf("---|");
    std::printf("\n");
    for (int i = 0; i < kCaps; ++i)
        for (int k = 0; k < kWays; ++k) {
            const SResult& x = r[i][k];
            std::printf("| %s | %s | %d (%.1fx) |", rows[i].name, ways[k].name, x.m_age_p95[top],
                        1.0 * x.m_age_p95[top] / r[0][k].m_age_p95[top]);
            for (int p = top - 1; p >= 1; --p) {
                if (x.m_age_p95[p] < 0)
                    std::printf(" never |");
                else
                    std::printf(" %d |", x.m_age_p95[p]);
            }
            std::printf("\n");
        }
    std::printf("\nTargets (rows 'shares'; the unlimited link's port 12 p95 is %d ms):\n\n",
                r[0][1].m_age_p95[top]);
    char text[160], what[160];
    for (int i = 1; i < kCaps; ++i) {
        const SResult& x = r[i][1];
        int worst = 0;
        bool finite = true;
        for (int p = 1; p <= top; ++p) {
            if (x.m_age_p95[p] < 0) finite = false;
            if (x.m_age_p95[p] > worst) worst = x.m_age_p95[p];
        }
        std::snprintf(text, sizeof text,
                      "port 12 p95 %d ms = %.2fx (steps: %d ms = %.2fx); the longest p95 %d ms",
                      x.m_age_p95[top], 1.0 * x.m_age_p95[top] / r[0][1].m_age_p95[top],
                      r[i][0].m_age_p95[top], 1.0 * r[i][0].m_age_p95[top] / r[0][0].m_age_p95[top],
                      worst);
        std::snprintf(what, sizeof what, "%s: port 12 p95 at most 2x, every port's p95 finite",
                      rows[i].name);
        Verdict(finite && x.m_age_p95[top] <= 2 * r[0][1].m_age_p95[top], what, text);
    }
    // Fixed priorities (row 'adapt' of the table above) give the floor for port 12: every
    // packet that carries a state carries it, and the others never arrive.
    int never = 0;
    for (int p = 1; p < top; ++p)
        if (fixed[kCaps - 1].m_age_p95[p] < 0) ++never;
    std::printf(
        "\nFor comparison, fixed priorities (row 'adapt' above) hold port 12 at %d ms at %s, "
        "and %d of the other %d ports never arrive there.\n",
        fixed[kCaps - 1].m_age_p95[top], rows[kCaps - 1].name, never, top - 1);
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
    constexpr int kRows = sizeof rows / sizeof rows[0];
    static SResult r[kRows][3];
    const char* settings[] = {"off", "adapt", "adapt, aging"};
    for (int i = 0; i < kRows; ++i)
        for (int k = 0; k < 3; ++k) {
            SConfig c;
            c.m_cap = rows[i].cap;
            c.m_loss = rows[i].loss;
            c.m_peer_every = rows[i].peer_every;
            c.m_jitter = rows[i].jitter;
            if (rows[i].step_cap > 0) {
                c.m_step_cap = rows[i].step_cap;
                c.m_step_from_ms = 6400;
                c.m_step_to_ms = 12800;
            }
            c.m_adapt = k >= 1;
            c.m_aging = k == 2;
            r[i][k] = ratescene::Run(c);
        }

    std::printf(
        "\n## 6. Rate adaptation over the simulated network\n\n"
        "Written by `portnet_ratebench` (bench/rate). A host sends one peer twelve 100-byte "
        "states that change wholly every frame (priorities 1 to 12; nine fit a datagram) and a "
        "reliable chat line every 30 frames; the peer acknowledges the states it receives "
        "(`m_ack_states`). 16 ms frames, 1200 per row, 20 ms latency each way, the link capped "
        "each way by the simulator (`m_bandwidth_bytes_per_s`, 250 ms backlog), seed 1. "
        "Figures count from 2 s on, except the chat, whose 40 lines are all counted. These are "
        "simulated times: the same seed gives the same table on any machine and under any load, "
        "and no system call is made.\n\n"
        "*Host sends*: the host's datagram bytes per second (channel byte included). *Round "
        "trip*: the samples behind `m_ping` (sending a packet to the first acknowledgement of "
        "it), median and 95th percentile, with the median of `m_ping` itself in brackets. *Age*: "
        "at every frame, how old the peer's copy of the most (port 12) and least (port 1) "
        "important state is, median / 95th percentile; *never*: it never arrived. *Chat*: lines "
        "delivered of those said (a line the full queue refused counts as said), median delay "
        "and the longest. *Budget / estimate*: medians of the host client's `m_send_budget` and "
        "`m_est_bandwidth`. *Back to full rate*: from the link's return until a quarter second "
        "carries 95 %% of what one carried before the step.\n\n");
    std::printf("| link | switches on | host sends KB/s | dropped by link | round trip ms, "
                "median / p95 (m_ping) | most important state age ms, median / p95 | least "
                "important | chat delivered, delay median (most) | budget B / estimate KB/s "
                "(median) | back to full rate |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (int i = 0; i < kRows; ++i)
        for (int k = 0; k < 3; ++k)
            Print(rows[i], settings[k], r[i][k]);

    // Targets, with adaptation on and aging off unless said; the unlimited link's figures
    // are those of its adapted row (the same as without adaptation).
    const SResult& base = r[0][1];
    const int top = ratescene::kStates;
    std::printf("\nTargets (row 'adapt' unless said):\n\n");
    char text[256];
    for (int i = 1; i <= 4; ++i) {
        const SResult& x = r[i][1];
        std::snprintf(text, sizeof text,
                      "dropped %.1f %%; round trip %d ms = %.2fx (m_ping %d = %.2fx); most "
                      "important p95 %d ms = %.2fx; chat %d of %d, median %d ms = %.2fx",
                      x.m_dropped, x.m_rtt_median, 1.0 * x.m_rtt_median / base.m_rtt_median,
                      x.m_ping_median, 1.0 * x.m_ping_median / base.m_ping_median, x.m_age_p95[top],
                      1.0 * x.m_age_p95[top] / base.m_age_p95[top], x.m_chat_heard, x.m_chat_said,
                      x.m_chat_median, 1.0 * x.m_chat_median / base.m_chat_median);
        const bool met = x.m_dropped <= 2.0 && x.m_rtt_median * 10 <= base.m_rtt_median * 13 &&
                         x.m_ping_median * 10 <= base.m_ping_median * 13 &&
                         x.m_age_p95[top] <= 2 * base.m_age_p95[top] &&
                         x.m_chat_heard == x.m_chat_said &&
                         x.m_chat_median <= 2 * base.m_chat_median;
        char what[160];
        std::snprintf(
            what, sizeof what,
            "%s: at most 2 %% dropped, round trip (and m_ping) 1.3x, most important p95 2x, every "
            "chat line, its median 2x",
            rows[i].name);
        Verdict(met, what, text);
    }
    std::snprintf(text, sizeof text, "%.1f against %.1f KB/s = %.3fx", r[0][1].m_rate / 1000,
                  r[0][0].m_rate / 1000, r[0][1].m_rate / r[0][0].m_rate);
    Verdict(r[0][1].m_rate >= 0.95 * r[0][0].m_rate, "unlimited: at least 0.95x the bytes off",
            text);
    std::snprintf(text, sizeof text, "%.1f against %.1f KB/s = %.3fx", r[5][1].m_rate / 1000,
                  r[5][0].m_rate / 1000, r[5][1].m_rate / r[5][0].m_rate);
    Verdict(r[5][1].m_rate >= 0.9 * r[5][0].m_rate, "10 % random loss: at least 0.9x the bytes off",
            text);
    std::snprintf(text, sizeof text, "%d ms", r[6][1].m_recover_ms);
    Verdict(r[6][1].m_recover_ms >= 0 && r[6][1].m_recover_ms <= 2000,
            "back from 16 KB/s to unlimited: full rate within 2 s", text);
    int worst = 0, worst_row = 0, worst_port = 0;
    bool bounded = true;
    for (int i = 0; i <= 4; ++i)
        for (int p = 1; p <= top; ++p) {
            const int a = r[i][2].m_age_p95[p];
            if (a < 0) bounded = false;
            if (a > worst) worst = a, worst_row = i, worst_port = p;
        }
    std::snprintf(text, sizeof text, "the longest p95 %d ms, port %d at %s", worst, worst_port,
                  rows[worst_row].name);
    Verdict(bounded, "row 'adapt, aging': every port's p95 age bounded at every cap", text);
    const SResult fixed[5] = {r[0][1], r[1][1], r[2][1], r[3][1], r[4][1]};
    Shares(rows, fixed);
    return 0;
}
