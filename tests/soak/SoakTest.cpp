// Long runs of two managers over impaired simulated networks: reliable chat must arrive
// whole, once and in order, positions must follow within a stated bound and settle exactly,
// and the frame loop must not allocate. The Short test runs in every suite; the long one
// on request (label soak).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "SimSession.h"

namespace {
bool g_counting = false;
long g_allocations = 0;
} // namespace

// Every form is replaced so that each allocation pairs malloc with free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static void* Allocate(std::size_t n) {
    if (g_counting) ++g_allocations;
    return std::malloc(n ? n : 1);
}
void* operator new(std::size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

using namespace soak;

constexpr int kFrameMs = 20;
constexpr int kTimeoutMs = 250; // about twice the worst round trip below: some spurious resends
constexpr float kRadius = 10.0f;
constexpr float kRadPerSec = 0.5f; // so every position moves at 5 units per second
constexpr int kDrainFrames = 3000;

struct SCondition {
    const char* m_name;
    SNetImpairment m_impairment;
};

SCondition Condition(const char* name, double loss, double dup, double reorder, int latency,
                     int jitter) {
    SCondition c{name, {}};
    c.m_impairment.m_loss_percent = loss;
    c.m_impairment.m_duplicate_percent = dup;
    c.m_impairment.m_reorder_percent = reorder;
    c.m_impairment.m_reorder_delay_ms = reorder > 0 ? 80 : 0;
    c.m_impairment.m_latency_ms = latency;
    c.m_impairment.m_jitter_ms = jitter;
    return c;
}

const SCondition kConditions[] = {
    Condition("clean", 0, 0, 0, 10, 0),
    Condition("lossy", 20, 5, 5, 30, 20),
    Condition("slow lossy", 20, 5, 5, 120, 60),
};

// How far a displayed position may trail the true one: the object's travel over the worst
// one-way delay (latency, jitter, reordering) plus ten frames for lost packets in a row and
// the playback that runs one state behind the newest.
float ErrorBound(const SNetImpairment& imp) {
    const int lag_ms = imp.m_latency_ms + imp.m_jitter_ms + imp.m_reorder_delay_ms + 10 * kFrameMs;
    return kRadius * kRadPerSec * static_cast<float>(lag_ms) / 1000.0f;
}

void Move(CPositionState* pos, int port, int time_ms) {
    const float a = kRadPerSec * static_cast<float>(time_ms) / 1000.0f + static_cast<float>(port);
    pos->m_pos[0] = kRadius * std::cos(a);
    pos->m_pos[1] = kRadius * std::sin(a);
    pos->m_pos[2] = static_cast<float>(port);
}

float Distance(const CPositionState* a, const CPositionState* b) {
    float sum = 0.0f;
    for (int i = 0; i < 3; ++i)
        sum += (a->m_pos[i] - b->m_pos[i]) * (a->m_pos[i] - b->m_pos[i]);
    return std::sqrt(sum);
}

struct SResult {
    int m_frames = 0;
    std::uint32_t m_sent = 0, m_lost = 0, m_duplicated = 0, m_reordered = 0;
    int m_said[2] = {0, 0};      // A to B, B to A
    int m_delivered[2] = {0, 0}; // lines the receiver got
    int m_acked[2] = {0, 0};     // lines the sender saw acknowledged
    int m_bad_lines = 0;
    int m_failed_steps = 0;
    float m_max_error = 0.0f;
    bool m_settled = false;
    long m_allocations = 0;
};

// The receiving side's copy of a port, paired with the sender's.
struct SPair {
    SSide* m_writer;
    SSide* m_reader;
    int m_port;
};

SResult Run(const SCondition& condition, int frames, std::uint64_t seed) {
    SResult r;
    SSession s(seed, condition.m_impairment);
    if (!s.Start(kTimeoutMs)) return r;
    SSide* sides[2] = {&s.m_a, &s.m_b};
    const char tags[2] = {'A', 'B'};
    SLineCheck checks[2]; // lines arriving at B (from A) and at A (from B)
    const SPair pairs[kPositionPorts] = {
        {&s.m_a, &s.m_b, 1}, {&s.m_a, &s.m_b, 2}, {&s.m_b, &s.m_a, 3}};

    g_allocations = 0;
    g_counting = true;
    int still_frames = 0;
    for (int f = 0; f < frames + kDrainFrames; ++f) {
        s.Tick(kFrameMs);
        const bool moving = f < frames;
        for (const SPair& p : pairs)
            if (moving) Move(p.m_writer->Position(p.m_port), p.m_port, s.m_net.GetTime());
        for (int i = 0; i < 2 && moving; ++i)
            if (SayNumbered(sides[i]->m_chat, tags[i], r.m_said[i]) == 1) ++r.m_said[i];

        r.m_failed_steps += (s.m_a.Frame() ? 0 : 1) + (s.m_b.Frame() ? 0 : 1);
        checks[0].Take(*s.m_b.m_chat, 'A');
        checks[1].Take(*s.m_a.m_chat, 'B');

        bool equal = true;
        for (const SPair& p : pairs) {
            // Measured once the reader holds a state of the port at all.
            if (p.m_reader->m_manager.m_ports[p.m_port].m_reading_history->m_newest ==
                CNetDataHistory::kNoLink)
                continue;
            const float e =
                Distance(p.m_writer->Position(p.m_port), p.m_reader->Position(p.m_port));
            if (moving && e > r.m_max_error) r.m_max_error = e;
            equal = equal && e == 0.0f;
        }
        if (moving) continue;
        const bool chat_done =
            s.m_a.m_chat->m_delivered == r.m_said[0] && s.m_b.m_chat->m_delivered == r.m_said[1];
        still_frames = equal && chat_done ? still_frames + 1 : 0;
        if (still_frames == 50) { // settled and stayed so for a second
            r.m_settled = true;
            break;
        }
    }
    g_counting = false;

    r.m_frames = frames;
    r.m_allocations = g_allocations;
    r.m_sent = s.m_net.m_stats.m_sent;
    r.m_lost = s.m_net.m_stats.m_dropped_loss + s.m_net.m_stats.m_dropped_queue_full;
    r.m_duplicated = s.m_net.m_stats.m_duplicated;
    r.m_reordered = s.m_net.m_stats.m_reordered;
    r.m_delivered[0] = s.m_b.m_chat->m_received;
    r.m_delivered[1] = s.m_a.m_chat->m_received;
    r.m_acked[0] = s.m_a.m_chat->m_delivered;
    r.m_acked[1] = s.m_b.m_chat->m_delivered;
    r.m_bad_lines = checks[0].m_bad + checks[1].m_bad;
    return r;
}

void RunAll(int frames) {
    std::printf("%-11s %7s %8s %7s %6s %6s %10s %10s %9s %7s\n", "network", "frames", "packets",
                "lost", "dup", "reord", "msgs A>B", "msgs B>A", "max err", "bound");
    std::uint64_t seed = 7;
    for (const SCondition& c : kConditions) {
        const SResult r = Run(c, frames, seed++);
        const float bound = ErrorBound(c.m_impairment);
        std::printf("%-11s %7d %8u %7u %6u %6u %10d %10d %9.3f %7.3f\n", c.m_name, r.m_frames,
                    r.m_sent, r.m_lost, r.m_duplicated, r.m_reordered, r.m_delivered[0],
                    r.m_delivered[1], r.m_max_error, bound);
        std::fflush(stdout);
        SCOPED_TRACE(c.m_name);
        EXPECT_EQ(frames, r.m_frames);
        EXPECT_EQ(0, r.m_failed_steps);
        EXPECT_EQ(0, r.m_bad_lines);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(r.m_said[i], r.m_delivered[i]) << "direction " << i;
            EXPECT_EQ(r.m_said[i], r.m_acked[i]) << "direction " << i;
            // A stalled stream would pass the checks above with a handful of lines.
            EXPECT_GT(r.m_delivered[i], frames / 100) << "direction " << i;
        }
        EXPECT_TRUE(r.m_settled) << "positions or chat did not settle after the run";
        EXPECT_LE(r.m_max_error, bound);
        EXPECT_EQ(0, r.m_allocations);
        if (c.m_impairment.m_loss_percent > 0) {
            // The impairments really happened, or the run proves nothing.
            EXPECT_GT(r.m_lost, r.m_sent / 10);
            EXPECT_GT(r.m_duplicated, 0u);
            EXPECT_GT(r.m_reordered, 0u);
        }
    }
}

TEST(Soak, ShortRunsKeepChatWholeAndPositionsBounded) {
    RunAll(5000);
}

TEST(Soak, LongRunsKeepChatWholeAndPositionsBounded) {
    RunAll(100000);
}

} // namespace
