#pragma once

#include <cstdint>

#include "portnet/CNetSim.h"

// The pieces the simulated network and the impairing decorator share: the random generator,
// the delivery clock and the fate of one outgoing datagram.

// A generator state from a seed (never the all-zero state xorshift cannot leave).
std::uint64_t NetSimSeed(std::uint64_t seed);
// Next 32 random bits (xorshift64*).
std::uint32_t NetSimNext(std::uint64_t* state);

// Moves the clock to ms in the host's 32-bit time base (wrapping allowed). A reading behind
// the current one is ignored, so the delivery clock never runs back or counts time twice.
void NetSimSetClock(int* time, std::uint64_t* clock_us, int ms);

// What becomes of one datagram: up to two copies with their due times.
struct SNetSimFate {
    int m_copies;
    std::uint64_t m_due_us[2];
};

// Decides the fate of a datagram of len bytes sent at now_us under impairment, drawing a
// fixed five numbers from rng whatever the settings (so changing one setting does not shift
// the others' draws). link_free_us is the bandwidth state of the link. Counts sent, losses,
// bandwidth drops, copies, delays and reorders into stats and, when not null, into totals.
SNetSimFate NetSimImpair(const SNetImpairment& impairment, std::uint64_t* rng,
                         std::uint64_t* link_free_us, std::uint64_t now_us, int len,
                         SNetSimStats* stats, SNetSimStats* totals);

// Adds one to a counter of stats and, when not null, of totals.
inline void NetSimCount(std::uint32_t SNetSimStats::*counter, SNetSimStats* stats,
                        SNetSimStats* totals) {
    ++(stats->*counter);
    if (totals != nullptr) ++(totals->*counter);
}
