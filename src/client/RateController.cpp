// How much a client may send per packet when it adapts to the path.
//
// The controller is delay-based, with losses as a second opinion. Every acknowledgement of
// an own packet gives a round-trip sample; the least sample of the last 5 to 10 s is the
// path without a queue, and what a sample has above it is the time the packet waited in
// some queue on the way. A path that carries less than it is given queues first and drops
// only once its buffer is full, so the round trip rises long before anything is lost: the
// client cuts its budget when the queue grows beyond a frame or so (in the least of its last
// few samples, more of them the more successive samples differ), and grows it again,
// slowly at first and faster the longer the path stays empty, while no queue shows. Losses
// alone never cut: a radio link loses at random with a flat round trip, and taking that for
// congestion would starve it. A gap in the acknowledged sequence well beyond the usual one
// (the peer names only the newest packet it holds, and a peer with fewer frames skips
// packets every time) counts as congestion only while the round trip has risen too, and
// then without waiting for the queue to reach its limit. A sample also holds the wait for
// the peer's next frame, but the peer names the newest packet it holds, the one that waited
// least, so that wait stays below one own packet interval, under the queue limit.
//
// A cut takes the budget to 85 %, or lower to what the path was seen to deliver per packet
// interval while it was full, whichever is less, and at most once per round trip: none
// again until a packet sent after the cut is acknowledged. What the path delivered is the
// bytes sent up to each acknowledged packet, over the time of the last sixteen
// acknowledgements; it counts lost packets as delivered, which only makes the 85 % decide.
//
// A host that sends less than its budget (most of its packets hold every state it has) is
// not what fills the path, and a cut would change nothing it sends; its samples still jump
// by the peer's frame phase and the path's jitter. It cuts only by 85 %, and only for a queue
// that each of its last eight samples saw, beyond twice the limit; and its budget grows back
// while no queue shows, up to twice what its packets take. Without this, a game whose few
// small states fit any budget saw its budget cut, sample after sample on a jittery path,
// until the states no longer fitted.
//
// A peer that never acknowledges leaves nothing to steer by: after a second without any
// acknowledgement the budget is the whole room, as without adaptation.
//
// Reliable records are not bound by the budget (the writer grants them what the buffer
// takes), so chat goes out whatever the budget; it then leaves less room for states.
#include "client/RateController.h"

#include "client/NetWrap.h"
#include "portnet/CNetClient.h"

namespace portnet {

namespace {

constexpr int kMinBudget = 32;     // bytes: the budget never falls below a small record
constexpr int kWindowMs = 5000;    // the least round trip is kept over one to two windows
constexpr int kQueueTargetMs = 20; // queueing beyond this (or 1.25 intervals), plus twice
                                   // the scatter of the round trips, is congestion
constexpr int kOverhead = 13;      // channel byte and packet header around the records
constexpr int kMaxRamp = 32;       // growth per acknowledgement at most 32/512 of the budget
constexpr int kMaxIntervalMs = 1000;
constexpr int kSilentMs = 1000; // a peer that never acknowledges gives nothing to steer by

using State = CNetClient::SRateState;

// Packets among the last sixteen that left a state out.
int Popcount16(unsigned bits) {
    int n = 0;
    for (bits &= 0xffffu; bits != 0; bits &= bits - 1)
        ++n;
    return n;
}

void Start(State& s, int now, int max_room) {
    for (int i = 0; i < CNetClient::kRing; ++i) {
        s.m_seqs[i] = -1;
        s.m_sent[i] = 0;
    }
    s.m_sent_total = 0;
    s.m_acked_total = 0;
    s.m_jump16 = 16;
    s.m_jitter16 = 0;
    s.m_last_rtt = 0;
    s.m_acks = 0;
    s.m_min_rtt[0] = s.m_min_rtt[1] = -1;
    s.m_window_start = now;
    s.m_interval = 0;
    s.m_last_send = -1;
    s.m_cut_seq = 0;
    s.m_ramp = 1;
    // A quarter of the room, growing by an eighth per acknowledgement until the first queue.
    const int start = max_room / 4 > kMinBudget ? max_room / 4 : kMinBudget;
    s.m_budget16 = start * 16;
    s.m_credit = 0;
    s.m_slow_start = true;
    s.m_limited = false;
    s.m_limited_bits = 0;
    s.m_used16 = 0;
    for (int i = 0; i < State::kQueues; ++i)
        s.m_queues[i] = 0;
    s.m_started = true;
}

// Bytes per second acknowledged over the time span of the acknowledgements held; 0 while
// too few or too close together to tell.
int Delivered(const State& s, int now) {
    if (s.m_acks < 4) return 0;
    const int n = s.m_acks < State::kAcks ? s.m_acks : State::kAcks;
    const int oldest = s.m_acks < State::kAcks ? 0 : s.m_acks % State::kAcks;
    const int span = WrapSub(now, s.m_ack_times[oldest]);
    if (span < 50) return 0;
    long long bytes = 0;
    for (int i = 0; i < n; ++i)
        if (i != oldest) bytes += s.m_ack_bytes[i];
    const long long rate = bytes * 1000 / span;
    return rate > 0x7fffffff ? 0x7fffffff : static_cast<int>(rate);
}

void OnAck(CNetClient* c, State& s, int now, int sample, int sent_total, int jump) {
    if (WrapSub(now, s.m_window_start) >= kWindowMs) {
        s.m_min_rtt[1] = s.m_min_rtt[0];
        s.m_min_rtt[0] = -1;
        s.m_window_start = now;
    }
    if (s.m_min_rtt[0] < 0 || sample < s.m_min_rtt[0]) s.m_min_rtt[0] = sample;
    const int base =
        s.m_min_rtt[1] >= 0 && s.m_min_rtt[1] < s.m_min_rtt[0] ? s.m_min_rtt[1] : s.m_min_rtt[0];

    const int slot = s.m_acks % State::kAcks;
    s.m_ack_times[slot] = now;
    // The first acknowledgement has nothing before it to count from.
    s.m_ack_bytes[slot] = s.m_acks > 0 ? WrapSub(sent_total, s.m_acked_total) : 0;
    s.m_acked_total = sent_total;
    ++s.m_acks;
    const int queue = sample - base;
    s.m_queues[(s.m_acks - 1) % State::kQueues] = queue;
    // What stays queued: the least of the last kQueues samples (none before there are so
    // many).
    int standing = queue;
    for (int i = 1; i < State::kQueues; ++i) {
        const int q = i < s.m_acks ? s.m_queues[(s.m_acks - 1 - i) % State::kQueues] : 0;
        if (q < standing) standing = q;
    }
    // And the least of the last few, one more for every 4 ms of the usual step between
    // samples: on a steady path one sample tells, on a scattered one a queue shows in all.
    const int scatter = s.m_jitter16 / 16;
    const int k = 1 + scatter / 4 < State::kQueues ? 1 + scatter / 4 : State::kQueues;
    int recent = queue;
    for (int i = 1; i < k && i < s.m_acks; ++i) {
        const int q = s.m_queues[(s.m_acks - 1 - i) % State::kQueues];
        if (q < recent) recent = q;
    }
    // How much successive samples differ: a path whose delays scatter widely needs a higher
    // limit before a sample above the least means a queue.
    if (s.m_acks > 1) {
        const int step = sample > s.m_last_rtt ? sample - s.m_last_rtt : s.m_last_rtt - sample;
        s.m_jitter16 += step - s.m_jitter16 / 16;
    }
    s.m_last_rtt = sample;
    // A gap counts as a burst beyond twice the usual gap and one more.
    const bool burst = jump * 16 > s.m_jump16 * 2 + 16;
    s.m_jump16 += (jump * 16 - s.m_jump16) / 8;
    const int rate = Delivered(s, now);

    const int interval_target = s.m_interval + s.m_interval / 4;
    const int target = (interval_target > kQueueTargetMs ? interval_target : kQueueTargetMs) +
                       2 * (s.m_jitter16 / 16);
    // A host that fills its budget (a state left out of most recent packets) is steered by
    // its recent samples. One below its budget is not what fills the path, and cutting a
    // budget it does not use changes nothing it sends: it cuts only for a queue that every
    // one of the last kQueues samples saw, and beyond twice the limit. A path whose round
    // trips jump by a frame or two from sample to sample (the peer's frame phase, jitter)
    // would otherwise cut it, sample after sample, to below what the host has to send.
    const bool full = Popcount16(s.m_limited_bits) >= 8;
    const bool congested =
        full ? recent > target || (burst && recent > target / 2) : standing > 2 * target;
    if (congested) {
        // Once per round trip: the packets sent before the cut still carry the old budget.
        if (WrapSub(c->m_acked_seq, s.m_cut_seq) <= 0) return;
        long long budget = static_cast<long long>(s.m_budget16) * 85 / 100;
        if (full && rate > 0 && s.m_interval > 0) {
            // What the full path delivered per packet interval; below its budget, a host
            // measures only its own appetite.
            const long long fit =
                (static_cast<long long>(rate) * s.m_interval / 1000 - kOverhead) * 16;
            if (fit < budget) budget = fit;
            c->m_est_bandwidth = rate;
        }
        s.m_budget16 = budget < kMinBudget * 16 ? kMinBudget * 16 : static_cast<int>(budget);
        s.m_cut_seq = c->m_write_seq - 1;
        s.m_ramp = 1;
        s.m_slow_start = false;
        return;
    }
    if (rate > c->m_est_bandwidth) c->m_est_bandwidth = rate;
    // Grow only on an empty path, and only when the room was what held the packet back.
    if (!s.m_limited) {
        // A budget the packets do not fill regains what a cut took, up to twice what they
        // take, so a host that sends less than its path carries never ends below it.
        if (standing <= target && s.m_budget16 < 2 * s.m_used16) s.m_budget16 += s.m_budget16 / 16;
        return;
    }
    if (queue > target / 2) return;
    if (s.m_slow_start) {
        s.m_budget16 += s.m_budget16 / 8;
        return;
    }
    const long long step = static_cast<long long>(s.m_budget16) * s.m_ramp / 512;
    s.m_budget16 += step > 16 ? static_cast<int>(step) : 16;
    if (s.m_ramp < kMaxRamp) ++s.m_ramp;
}

} // namespace

void RateBeforeWrite(CNetClient* c, int now, int max_room) {
    State& s = c->m_rate_state;
    if (!s.m_started) Start(s, now, max_room);
    const int acked = c->m_acked_seq;
    if (acked != s.m_seen_acked) {
        const int jump = WrapSub(acked, s.m_seen_acked);
        s.m_seen_acked = acked;
        const int i = acked % CNetClient::kRing;
        // A packet older than the ring has no size or send time left: no sample.
        if (s.m_seqs[i] == acked)
            OnAck(c, s, now, WrapSub(c->m_ack_times[i], c->m_write_times[i]), s.m_sent[i], jump);
    }
    const int top = max_room > 0 ? max_room : 0;
    // With block fragments waiting beyond one packet the frame may send more datagrams, so
    // its budget may grow past one packet's room (the writer stops at kMaxBlockDatagrams).
    const int frame_top = c->m_rate_backlog > 0 ? top * (1 + CNetClient::kMaxBlockDatagrams) : top;
    // Without a single acknowledgement since the start (a peer that only receives and does
    // not answer), every packet gets the whole room, as without adaptation.
    if (s.m_acks == 0 && WrapSub(now, s.m_window_start) >= kSilentMs) s.m_budget16 = top * 16;
    if (s.m_budget16 < kMinBudget * 16) s.m_budget16 = kMinBudget * 16;
    if (s.m_budget16 > frame_top * 16) s.m_budget16 = frame_top * 16;
    // The budget is an average: what a packet leaves unused (a state that did not fit)
    // carries to the next one, up to two packets' worth, so that a state larger than the
    // budget still goes out every few packets instead of never.
    const int budget = s.m_budget16 / 16;
    s.m_credit += budget;
    if (s.m_credit > 2 * budget) s.m_credit = 2 * budget;
    // Never above the room, even where the host's m_max_size is below the floor.
    c->m_send_budget = s.m_credit < 0 ? 0 : (s.m_credit > top ? top : s.m_credit);
}

void RateAfterSend(CNetClient* c, int seq, int bytes, int now, bool limited) {
    State& s = c->m_rate_state;
    const int i = seq % CNetClient::kRing;
    s.m_sent_total = WrapAdd(s.m_sent_total, bytes);
    s.m_seqs[i] = seq;
    s.m_sent[i] = s.m_sent_total;
    // The extra datagrams of a frame are part of its sending, not sendings of their own.
    if (s.m_last_send >= 0 && now != s.m_last_send) {
        int gap = WrapSub(now, s.m_last_send);
        gap = gap < 1 ? 1 : (gap > kMaxIntervalMs ? kMaxIntervalMs : gap);
        s.m_interval = s.m_interval == 0 ? gap : (s.m_interval * 7 + gap) / 8;
    }
    s.m_last_send = now;
    s.m_limited = limited;
    s.m_limited_bits = (s.m_limited_bits << 1) | (limited ? 1u : 0u);
    s.m_used16 += (bytes * 16 - s.m_used16) / 8;
    // Reliable records may pass the budget; the packets after them make up for it, though
    // never for more than two packets' worth.
    const int budget = s.m_budget16 / 16;
    s.m_credit -= bytes > kOverhead ? bytes - kOverhead : 0;
    if (s.m_credit < -2 * budget) s.m_credit = -2 * budget;
}

int RateRoomLeft(const CNetClient* c) {
    const int left = c->m_rate_state.m_credit - kOverhead;
    return left > 0 ? left : 0;
}

} // namespace portnet
