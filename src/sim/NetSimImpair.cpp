#include "sim/NetSimImpair.h"

#include "client/NetWrap.h"

namespace {

constexpr std::uint32_t kMillion = 1000000;

// Percent as parts per million; NaN and negatives are 0, anything from 100 up is certain.
std::uint32_t ToPpm(double percent) {
    if (!(percent > 0.0)) return 0;
    if (percent >= 100.0) return kMillion;
    return static_cast<std::uint32_t>(percent * 10000.0 + 0.5);
}

// A draw scaled to 0..999999 is below ppm with a chance of ppm in a million.
bool Chance(std::uint32_t draw, std::uint32_t ppm) {
    return ((static_cast<std::uint64_t>(draw) * kMillion) >> 32) < ppm;
}

// A draw scaled evenly to 0..max.
std::uint64_t Spread(std::uint32_t draw, std::uint64_t max) {
    return (static_cast<std::uint64_t>(draw) * (max + 1)) >> 32;
}

std::uint64_t Millis(int ms) {
    return ms > 0 ? static_cast<std::uint64_t>(ms) * 1000 : 0;
}

} // namespace

std::uint64_t NetSimSeed(std::uint64_t seed) {
    // splitmix64 spreads small seeds over the whole state.
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z != 0 ? z : 0x9E3779B97F4A7C15ULL;
}

std::uint32_t NetSimNext(std::uint64_t* state) {
    std::uint64_t x = *state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    *state = x;
    return static_cast<std::uint32_t>((x * 0x2545F4914F6CDD1DULL) >> 32);
}

void NetSimSetClock(int* time, std::uint64_t* clock_us, int ms) {
    const int delta = portnet::WrapSub(ms, *time);
    if (delta <= 0) return;
    *clock_us += static_cast<std::uint64_t>(delta) * 1000;
    *time = ms;
}

SNetSimFate NetSimImpair(const SNetImpairment& impairment, std::uint64_t* rng,
                         std::uint64_t* link_free_us, std::uint64_t now_us, int len,
                         SNetSimStats* stats, SNetSimStats* totals) {
    const std::uint32_t loss_draw = NetSimNext(rng);
    const std::uint32_t jitter_draw = NetSimNext(rng);
    const std::uint32_t reorder_draw = NetSimNext(rng);
    const std::uint32_t duplicate_draw = NetSimNext(rng);
    const std::uint32_t copy_jitter_draw = NetSimNext(rng);

    SNetSimFate fate{0, {0, 0}};
    NetSimCount(&SNetSimStats::m_sent, stats, totals);
    if (Chance(loss_draw, ToPpm(impairment.m_loss_percent))) {
        NetSimCount(&SNetSimStats::m_dropped_loss, stats, totals);
        return fate;
    }

    // A capped link sends one datagram after the other: each leaves when the previous one
    // has gone, and arrives once its last byte has been sent.
    std::uint64_t depart_us = now_us;
    if (impairment.m_bandwidth_bytes_per_s > 0) {
        const std::uint64_t start_us = *link_free_us > now_us ? *link_free_us : now_us;
        if (start_us - now_us > Millis(impairment.m_max_backlog_ms)) {
            NetSimCount(&SNetSimStats::m_dropped_bandwidth, stats, totals);
            return fate;
        }
        const auto rate = static_cast<std::uint64_t>(impairment.m_bandwidth_bytes_per_s);
        const std::uint64_t bytes = len > 0 ? static_cast<std::uint64_t>(len) : 0;
        *link_free_us = start_us + (bytes * kMillion + rate - 1) / rate;
        depart_us = *link_free_us;
    }

    const std::uint64_t latency_us = Millis(impairment.m_latency_ms);
    const std::uint64_t jitter_us = Millis(impairment.m_jitter_ms);
    std::uint64_t due_us = depart_us + latency_us + Spread(jitter_draw, jitter_us);
    if (Chance(reorder_draw, ToPpm(impairment.m_reorder_percent))) {
        due_us += Millis(impairment.m_reorder_delay_ms);
        NetSimCount(&SNetSimStats::m_reordered, stats, totals);
    }
    fate.m_due_us[fate.m_copies++] = due_us;
    if (Chance(duplicate_draw, ToPpm(impairment.m_duplicate_percent))) {
        fate.m_due_us[fate.m_copies++] =
            depart_us + latency_us + Spread(copy_jitter_draw, jitter_us);
        NetSimCount(&SNetSimStats::m_duplicated, stats, totals);
    }
    for (int i = 0; i < fate.m_copies; ++i)
        if (fate.m_due_us[i] > now_us) NetSimCount(&SNetSimStats::m_delayed, stats, totals);
    return fate;
}
