// How much a client may send per frame when it adapts to the path.
//
// The budget is a number of bytes per frame on the wire, IP and UDP headers (28 bytes a
// datagram) and the packet header counted, so that what a frame sends and what the path
// carries are measured alike. Each frame adds the budget to a credit; the frame's first
// datagram may take what the credit holds, up to one datagram's room. Two ends follow:
// - A path that carries less than one small datagram a frame (41 bytes of records, as many
//   as its headers): the frame writes nothing to that peer (m_send_budget 0) until the credit
//   holds a datagram with all the last written frame wanted (up to a datagram), or six
//   frames' budget, whichever is less. The client writes every second, third ... frame, as a
//   rate setting delays the next snapshot: fewer, fuller datagrams rather than many that are
//   mostly headers. Reliable records and acknowledgements wait for the next written frame.
// - A host with more to send than a datagram holds (m_rate_backlog, block fragments): the
//   budget may grow past one datagram, and RateRoomLeft tells what extra datagrams of the
//   same frame may still carry. It grows fast while the path shows no queue, so a fat path is
//   reached within a few round trips; the queue's first rise cuts it back to what the path
//   was seen to deliver, before a capped link's buffer fills. Its bytes in flight are bounded
//   too (SetWindow): what a frame sends beyond the path's rate times its round trip only
//   waits in the path's queue, ahead of the states of the frames after.
//
// The controller is delay-based, with losses as a second opinion. Every acknowledgement of
// an own packet gives a round-trip sample; the least sample of the last 5 to 10 s is the
// path without a queue, and what a sample has above it is the time the packet waited in
// some queue on the way. A path that carries less than it is given queues first and drops
// only once its buffer is full, so the round trip rises long before anything is lost: the
// client cuts its budget when the queue grows beyond a frame or so (in the least of its last
// few samples, more of them the more successive samples differ), and grows it again while no
// queue shows. Losses alone never cut: a radio link loses at random with a flat round trip,
// and taking that for congestion would starve it. A gap in the acknowledged sequence well
// beyond the usual one (the peer names only the newest packet it holds) counts as
// congestion only while the round trip has risen too. A sample also holds the wait for the
// peer's next frame, but the peer names the newest packet it holds, the one that waited
// least, so that wait stays below a frame, under the queue limit.
//
// A round trip holds both ways, and a queue on the way back is not this client's to drain: a
// player whose host's uplink queues sees that queue in every sample, and cutting for it would
// only starve the host of the player's states. Each packet's timing fields name one of the
// peer's packets read before and how long ago the peer sent it, so the difference of the two
// packets' ways from the peer is known without the two clocks (m_in_delay, chained from packet
// to packet; one whose named packet has left the ring is taken as delayed like the one before).
// Against its least of the same windows as the round trip's, the way back of the packet that
// brought an acknowledgement tells that way's queue; beyond twice the queue limit, what exceeds
// the limit comes off the sample's queue. Within it the round trip's own scatter covers it.
// With the way back told apart, a host below its budget may also be cut below a small datagram
// a frame (see below). And after a cut, growth near what the path then delivered slows to its
// first steps (m_peak16): there, a budget that doubles a round trip overshoots the path by as
// much before the queue shows, and twenty clients doing so at once fill an uplink's buffer.
//
// A cut takes the budget to 85 %, or lower to what the path was seen to deliver per frame
// while it was full, whichever is less, and at most once per round trip: none again until a
// packet sent after the cut is acknowledged, or, with a backlog and a queue that has not
// shrunk, until a round trip of the empty path has passed (a long queue stretches the round
// trip it would wait for).
// A queue beyond twice the limit must also drain: the budget goes below the path's rate by the
// share the queue adds to the round trip, down to a quarter. What the path delivered is the
// wire bytes sent up to each acknowledged packet, over the last sixteen acknowledgements (the
// last six with a backlog, whose budget moves faster); it counts lost packets as delivered,
// which only makes the 85 % decide. An acknowledgement of a packet older than the rings
// (kRing) says that many wait on the path: a quarter of the budget. So the budget follows the
// estimate (m_est_bandwidth) down as soon as the path is seen full, and with a backlog back up
// to nine tenths of it once the queue drained.
//
// One bottleneck shared by the host's players (its uplink): clients that start while others of
// the manager have not yet cut share one start budget (players joining at once would each
// start as if alone and overflow it before the first round trip tells). Every client behind
// it sees the same queue and cuts in the same round trip by the same factor, so cuts keep the
// ratio of their budgets. What evens them out is growth: after the first cut a budget grows by the
// same number of bytes for every client of the manager (a share of the mean budget its
// adapting clients had in the frame before, per round trip the path stays empty, rising the
// longer it does), not by a share of its own. Additive growth and proportional cuts bring the
// budgets of the clients that want more than they get together, whatever they started from; a
// client that wants less (every state fits) keeps what it uses and leaves the rest to the others,
// so the link is split by need, up to an equal share each. No client starves: a budget never falls
// below kFloor bytes a frame (about 250 bytes a second at 60 frames a second, one small
// datagram every few frames), and a state larger than the budget waits for the credit to
// hold it instead of being passed over.
//
// A host that sends less than its budget (most of its frames hold every state it has) is not
// always what fills the path, and its samples still jump by the peer's frame phase and the
// path's jitter. After its first cut it cuts only for a queue beyond twice the limit that each
// of its last eight samples saw, or, while the way back shows no queue, its last few (more of
// them the more they scatter); only to 85 %, never below a small datagram a frame at once
// while the way back cannot be told apart (a peer that mostly acknowledges then sees the other
// side's queue too); its budget grows back while no queue shows, up to twice what its frames
// take. Its first cut, and any cut while the path delivers clearly less than its frames send, start
// from what it sends rather than from its budget, and drain a long queue as above: players joining
// a narrow uplink at once send more than it carries long before any budget binds.
//
// A peer that never acknowledges leaves nothing to steer by: after a second without any
// acknowledgement every frame gets one whole datagram, as without adaptation, while the budget
// stays where it started, to grow from there once the peer answers (players that wait for a
// run to begin must not find a host that sends a whole datagram a frame to each).
//
// Reliable records are not bound by the budget (the writer grants them what the buffer
// takes), so chat goes out in any written frame; the credit then owes what they took, and
// the frames after pay it back by writing less or later.
#include "client/RateController.h"

#include "client/NetWrap.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetClient.h"
#include "portnet/CNetManager.h"

namespace portnet {

namespace {

constexpr int kWire = 28;     // IPv4 and UDP headers of every datagram
constexpr int kOverhead = 13; // channel byte, packet header and terminator
constexpr int kPacket = kWire + kOverhead;
constexpr int kMinRecords = kPacket; // a datagram carries at least as much as its headers
constexpr int kDatagramCost = CNetBuf::kMaxDatagram + kWire;
constexpr int kSmallFrame = kPacket + kMinRecords; // the least a frame writes every frame with
constexpr int kMaxSkip = 6;                 // frames a narrow path waits for a snapshot at most,
constexpr int kSmallSnapshot = 3 * kPacket; // unless it holds no more records than this
constexpr int kFloor = 4;                   // wire bytes per frame a budget never falls below
constexpr int kMaxDatagrams = 64;  // per frame, extra ones included (the rings hold 256); a
                                   // burst beyond overflows a default socket buffer
constexpr int kWindowMs = 5000;    // the least round trip is kept over one to two windows
constexpr int kQueueTargetMs = 20; // queueing beyond this (or 1.25 frames), plus twice
                                   // the scatter of the round trips, is congestion
constexpr int kMaxRamp = 512;      // growth rises to half the mean per round trip
constexpr int kNearPeakRamp = 16;  // growth near the last full path's rate: a 32nd a round trip
constexpr int kMaxIntervalMs = 1000;
constexpr int kSilentMs = 1000;      // a peer that never acknowledges gives nothing to steer by
constexpr int kRampGain = 3;         // a transfer's ramp keeps up to this many times in flight
                                     // what the path delivers in an empty round trip
constexpr int kFirstWindow = 12;     // datagrams in flight a transfer's ramp may start with
constexpr int kNoDelay = 0x7fffffff; // no sample in a window of m_min_in
constexpr int kShortDatagrams = 192; // per frame on a round trip well below a frame: the
                                     // frame's writes send them kMaxBlockDatagrams at a time

using State = CNetClient::SRateState;

// The frames' usual spacing, ms; a frame of 60 a second until one has ended.
int FrameMs(const State& s) {
    return s.m_interval > 0 ? s.m_interval : 16;
}

int Popcount16(unsigned bits) {
    int n = 0;
    for (bits &= 0xffffu; bits != 0; bits &= bits - 1)
        ++n;
    return n;
}

// A round trip well below a frame (a LAN, loopback, a loop that runs frames back to back): a
// transfer's datagrams of one frame are all acknowledged before the next frame writes.
bool ShortTrip(const CNetClient* c, const State& s) {
    const int base =
        s.m_min_rtt[1] >= 0 && s.m_min_rtt[1] < s.m_min_rtt[0] ? s.m_min_rtt[1] : s.m_min_rtt[0];
    return c->m_rate_backlog > 0 && s.m_interval > 0 && base >= 0 && base * 4 < s.m_interval;
}

// A loop that runs its passes faster than the clock ticks (back to back, or several a
// millisecond) may have every datagram of the frame acknowledged before the clock moves: a
// round trip below the clock's step, the round over, and the peer's answer news that the next
// frame would only have waited for. That answer starts the controller's next frame, so a
// transfer (and the peer's acknowledgements of it) is clocked by its round trips rather than by
// the clock's resolution. A lost datagram, or an answer still on its way, leaves the frame to
// the clock as before; so does a host without block streams.
bool RoundDone(const CNetClient* c, const State& s) {
    return c->m_blocks && s.m_frame_bytes > 0 && c->m_acked_seq == c->m_write_seq - 1;
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
    s.m_min_in[0] = s.m_min_in[1] = kNoDelay;
    s.m_window_start = now;
    s.m_probe_until = now;
    s.m_probe_window = now - 1;
    s.m_interval = 0;
    s.m_frame_time = now;
    s.m_frame_bytes = 0;
    s.m_frame_open = false;
    s.m_frame_limited = false;
    s.m_want = 0;
    s.m_want_one = 0;
    s.m_last_ack_time = now;
    s.m_cut_seq = 0;
    s.m_cut_queue = 0;
    s.m_cut_level = 0;
    s.m_cut_time = now;
    s.m_ramp = 1;
    s.m_peak16 = 0;
    // A datagram a frame with a quarter of the room (at least as much as its headers),
    // doubling about every two round trips (every one with a backlog) until the first queue.
    s.m_budget16 = ((max_room / 4 > kMinRecords ? max_room / 4 : kMinRecords) + kPacket) * 16;
    s.m_credit = 0;
    s.m_window = 0;
    s.m_slow_start = true;
    s.m_limited = false;
    s.m_queued = false;
    s.m_limited_bits = 0;
    s.m_used16 = 0;
    for (int i = 0; i < State::kQueues; ++i)
        s.m_queues[i] = 0;
    s.m_started = true;
}

// Bytes per second acknowledged over the time span of the last k acknowledgements; 0 while
// too few or too close together to tell.
int Delivered(const State& s, int now, int k) {
    if (s.m_acks < 4) return 0;
    const int n = s.m_acks < k ? s.m_acks : (k < State::kAcks ? k : State::kAcks);
    const int first = s.m_acks - n;
    const int span = WrapSub(now, s.m_ack_times[first % State::kAcks]);
    if (span < 50) return 0;
    long long bytes = 0;
    for (int i = first + 1; i < s.m_acks; ++i)
        bytes += s.m_ack_bytes[i % State::kAcks];
    const long long rate = bytes * 1000 / span;
    return rate > 0x7fffffff ? 0x7fffffff : static_cast<int>(rate);
}

int Clamp(long long v, long long lo, long long hi) {
    return static_cast<int>(v < lo ? lo : (v > hi ? hi : v));
}

// What a backlog may keep in flight: once the path was seen full, its rate times its empty
// round trip and half a frame more. Beyond, the datagrams would only wait in the path's queue,
// ahead of the next frames' states; a budget cut alone leaves that queue standing, as the path
// still drains it at its own rate. During the ramp, kRampGain times what the path delivered
// (at least kFirstWindow datagrams): the ramp grows by about that much a round trip, and what
// its last round trip overshoots queues no longer than (kRampGain - 1) empty round trips.
void SetWindow(const CNetClient* c, State& s, int base, int rate) {
    const int bw = c->m_est_bandwidth > rate ? c->m_est_bandwidth : rate;
    if (bw <= 0 || base <= 0) {
        s.m_window = 0;
        return;
    }
    const int frame = FrameMs(s);
    long long w = static_cast<long long>(bw) * (base + frame / 2) / 1000;
    if (s.m_slow_start) {
        w = static_cast<long long>(rate) * base / 1000 * kRampGain;
        if (w < s.m_window) w = s.m_window;
        if (w < kFirstWindow * kDatagramCost) w = kFirstWindow * kDatagramCost;
    }
    s.m_window = w > 0x7fffffff ? 0x7fffffff : static_cast<int>(w);
}

// A round trip holds how long the peer kept the acknowledged packet before its next write.
// The peer names the newest packet it holds, so that wait ends before the next of ours
// arrived (our spacing after the packet), and begins after the peer's write before (the
// packet before the acknowledging one named an older packet of ours): it is below both
// spacings. 0 when neither is known.
int HoldBound(const CNetClient* c, const State& s, int acked) {
    int bound = s.m_ack_gap > 0 ? s.m_ack_gap : 0x7fffffff;
    const int next = (acked + 1) % CNetClient::kRing;
    if (WrapAfter(c->m_write_seq, acked + 1) && s.m_seqs[next] == acked + 1) {
        const int own =
            WrapSub(c->m_write_times[next], c->m_write_times[acked % CNetClient::kRing]);
        if (own >= 0 && own < bound) bound = own;
    }
    return bound == 0x7fffffff ? 0 : bound;
}

void OnAck(CNetClient* c, State& s, int now, int sample, int sent_total, int jump, int hold) {
    if (WrapSub(now, s.m_window_start) >= kWindowMs) {
        s.m_min_rtt[1] = s.m_min_rtt[0];
        s.m_min_rtt[0] = -1;
        s.m_min_in[1] = s.m_min_in[0];
        s.m_min_in[0] = kNoDelay;
        s.m_window_start = now;
    }
    if (s.m_min_rtt[0] < 0 || sample < s.m_min_rtt[0]) s.m_min_rtt[0] = sample;
    const int base =
        s.m_min_rtt[1] >= 0 && s.m_min_rtt[1] < s.m_min_rtt[0] ? s.m_min_rtt[1] : s.m_min_rtt[0];
    // The way back against its least: well beyond the usual scatter it is a queue on the way
    // back, not this client's, and comes off the sample's queue whole (within it, the round
    // trip's own scatter covers it).
    if (s.m_ack_in < s.m_min_in[0]) s.m_min_in[0] = s.m_ack_in;
    const int in_base = s.m_min_in[1] < s.m_min_in[0] ? s.m_min_in[1] : s.m_min_in[0];
    // (Not the own frames' spacing: a client that writes rarely still reads every frame.)
    const int usual = kQueueTargetMs + 2 * (s.m_jitter16 / 16);
    const int back = s.m_ack_in - in_base > 2 * usual ? s.m_ack_in - in_base : 0;

    // A backlog keeps the path full, and its own datagrams' queue then hides the empty round
    // trip: once a window, if the window has not seen the one before's least round trip by its
    // middle, the budget halves for a round trip so that it shows (about 1 % of a transfer).
    if (c->m_rate_backlog > 0 && s.m_probe_window != s.m_window_start && s.m_min_rtt[1] >= 0 &&
        s.m_min_rtt[0] > s.m_min_rtt[1] && WrapSub(now, s.m_window_start) >= kWindowMs / 2) {
        s.m_probe_window = s.m_window_start;
        s.m_probe_until = now + s.m_min_rtt[1] + 2 * FrameMs(s);
    }

    const int slot = s.m_acks % State::kAcks;
    s.m_ack_times[slot] = now;
    // The first acknowledgement has nothing before it to count from.
    s.m_ack_bytes[slot] = s.m_acks > 0 ? WrapSub(sent_total, s.m_acked_total) : 0;
    s.m_acked_total = sent_total;
    ++s.m_acks;
    int elapsed = WrapSub(now, s.m_last_ack_time);
    elapsed = elapsed < 1 ? 1 : (elapsed > kMaxIntervalMs ? kMaxIntervalMs : elapsed);
    s.m_last_ack_time = now;
    // A peer that writes rarely, to a client that does too, holds our newest packet for up to
    // the spacing of the two (a host skipping frames for a narrow path; a player whose own
    // budget skips frames): the limit allows a frame of it, and what the hold may have had
    // beyond comes off the queue, so one side's sparse writes do not make the other cut and
    // write more sparsely still. Both writing every frame, nothing changes.
    const int frame = FrameMs(s);
    const int held = hold > frame ? (hold - frame) / 2 : 0;
    const int queue = sample - base > back + held ? sample - base - back - held : 0;
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
    if (s.m_acks > 1) {
        const int step = sample > s.m_last_rtt ? sample - s.m_last_rtt : s.m_last_rtt - sample;
        s.m_jitter16 += step - s.m_jitter16 / 16;
    }
    s.m_last_rtt = sample;
    // A gap counts as a burst beyond twice the usual gap and one more.
    const bool burst = jump * 16 > s.m_jump16 * 2 + 16;
    s.m_jump16 += (jump * 16 - s.m_jump16) / 8;
    // With a backlog the budget moves fast: the last few acknowledgements tell the path's
    // rate better than sixteen, which still hold the ramp before.
    const int steady_rate = Delivered(s, now, State::kAcks);
    int rate = steady_rate;
    if (c->m_rate_backlog > 0) {
        const int recent_rate = Delivered(s, now, 6);
        if (recent_rate > rate) rate = recent_rate;
    }

    SetWindow(c, s, base, rate);

    const int interval_target = s.m_interval + s.m_interval / 4;
    const int target = (interval_target > kQueueTargetMs ? interval_target : kQueueTargetMs) +
                       2 * (s.m_jitter16 / 16);
    // A host that fills its budget (most recent frames wanted more) is steered by its recent
    // samples; one below its budget only by a queue every one of the last kQueues samples
    // saw, beyond twice the limit (see the opening comment). Until its first cut, a host
    // without a backlog is steered by its recent samples too: what it sends, not its budget,
    // is what fills the path then.
    const bool full = Popcount16(s.m_limited_bits) >= 8;
    const bool plain = c->m_rate_backlog <= 0;
    const bool alert = full || (s.m_slow_start && plain);
    // What its frames send per second against what the path was seen to deliver: a path
    // that delivers clearly less is full with (at least) this client's own datagrams.
    const long long sent_rate =
        s.m_interval > 0 ? static_cast<long long>(s.m_used16) * 1000 / (16LL * s.m_interval) : 0;
    const bool behind = plain && rate > 0 && rate * 10LL < sent_rate * 9;
    // A queue the last few samples show, while the way back shows none, is this client's own
    // even when not every one of the last kQueues samples saw it yet: a plain host that waits
    // for all of them lets its queue grow for half a second more before it cuts (twenty
    // players doing so overflowed a 256 kbit/s uplink's buffer). While the way back queues,
    // the few samples may hold the other side's queue, and cutting for it would only make the
    // acknowledgements that side steers by sparser.
    const bool own_queue = s.m_in_chained && s.m_ack_in - in_base <= target / 2;
    // A queue that rose with each of the last three samples, by a frame or more each time, is
    // growing, whatever the window of samples says: a rising queue widens the scatter, and the
    // window with it, by as much as the queue rises (six players over a 64 kbit/s uplink saw
    // their queue reach 700 ms before the window let them cut). Only for a client its budget
    // binds: one below it sees a few rising samples from jitter alone, and cutting for them
    // made the players of a lossy loopback session send too rarely.
    bool rising = full && s.m_acks >= 3 && queue > 2 * target && own_queue;
    for (int i = 0; rising && i < 2; ++i) {
        const int newer = s.m_queues[(s.m_acks - 1 - i) % State::kQueues];
        const int older = s.m_queues[(s.m_acks - 2 - i) % State::kQueues];
        if (newer - older < FrameMs(s)) rising = false;
    }
    // A client that joins a host whose uplink already queues fully never sees that path
    // empty: its least round trip holds the queue, its samples stay flat, and the queue
    // drops its datagrams (a player joining a saturated 16 KB/s uplink grew to twice it and
    // lost three in four, and the players before it starved). What tells is loss while another
    // client of the host sees its own queue: a peer that writes about as often as this client
    // acknowledges each of its packets that arrived, so acknowledgements that skip one packet
    // in three on average tell that a third are lost. (Alone, such skips are as likely the
    // path's own loss or reordering, which a cut would not help.)
    s.m_queued = own_queue && recent > target;
    const CNetManager* mgr = c->m_manager;
    const bool others_queued =
        mgr &&
        (mgr->m_rate_queued > 1 || (mgr->m_rate_queued == 1 && mgr->m_rate_queued_id != c->m_id));
    const bool lossy = plain && others_queued && s.m_acks >= State::kAcks && s.m_jump16 > 24 &&
                       s.m_ack_gap > 0 && s.m_ack_gap <= frame + frame / 2;
    const bool congested = rising || lossy ||
                           (alert ? recent > target || (burst && recent > target / 2)
                                  : standing > 2 * target || (recent > 2 * target && own_queue));
    // Since the last cut, the least queue seen: a queue that only drains what the budget
    // before the cut built needs no second cut.
    if (recent < s.m_cut_queue) s.m_cut_queue = recent;
    if (congested) {
        // Once per round trip: the packets sent before the cut still carry the old budget.
        // But with a backlog, a queue that has not shrunk a round trip of the empty path after
        // the cut (a long one, whose round trip the queue itself stretches) is cut again: its
        // window keeps the path full. Without, the samples of that round trip still tell of
        // the frames before the cut, and twenty clients cutting again for them every 120 ms
        // ended at a fifth of their uplink; unless the queue is over four empty round trips
        // long, when waiting for the cut's own packets costs seconds (one player joining
        // behind an 8 kbit/s uplink queued 1.3 to 1.7 s and drained it in two more).
        const bool stuck = (!plain || recent > 4 * (base + target)) &&
                           WrapSub(now, s.m_cut_time) > base + target && recent >= s.m_cut_level;
        if (!WrapAfter(c->m_acked_seq, s.m_cut_seq) && !stuck) return;
        // And again only once the queue grows anew.
        if (recent <= s.m_cut_queue + s.m_interval && c->m_rate_backlog > 0) return;
        long long budget = static_cast<long long>(s.m_budget16) * 85 / 100;
        // What arrives of what it sends, at least half.
        if (lossy) budget = static_cast<long long>(s.m_budget16) * 16 / s.m_jump16;
        // A host below its budget whose own datagrams fill the path (its first cut, or a path
        // that delivers less than it sends) cuts from what it sends: 85 % of a budget it does
        // not use would change nothing for many round trips.
        const bool own = !full && (behind || s.m_slow_start) && plain;
        if (own) {
            const long long used = static_cast<long long>(s.m_used16) * 85 / 100;
            if (used < budget) budget = used;
        }
        // What the path delivered per frame, while the queue stood (below its budget a host
        // that saw no queue would measure only its own appetite). A long queue must also
        // drain: beyond twice the limit, the budget goes below the path's rate by the share
        // the queue adds to the round trip, down to a quarter of it.
        const int q = recent;
        const long long empty = static_cast<long long>(base) + target;
        const long long whole = static_cast<long long>(base) + q;
        const long long drain = empty * 4 > whole ? empty : whole / 4;
        s.m_peak16 = Clamp(budget, 0, 0x7fffffff);
        if (own && q > 2 * target) budget = budget * drain / whole;
        if (alert && rate > 0 && s.m_interval > 0) {
            long long fit = static_cast<long long>(rate) * s.m_interval * 16 / 1000;
            if (fit < s.m_peak16) s.m_peak16 = static_cast<int>(fit);
            // A block's window drains its own queue; the deeper cut is for the rest.
            if (q > 2 * target && (c->m_rate_backlog <= 0 || s.m_window <= 0))
                fit = fit * drain / whole;
            if (fit < budget) budget = fit;
            c->m_est_bandwidth = rate;
        }
        // A host below its budget is cut no further than a small datagram a frame at once: a
        // peer that mostly acknowledges may see the other side's queue in its round trip, and
        // skipping frames would only space out the acknowledgements that side steers by. Unless
        // the way back is told apart and the path delivered less than that a frame: many
        // clients behind one uplink, each held at a small datagram a frame, would keep it full.
        const bool narrow = s.m_in_chained && rate > 0 && s.m_interval > 0 &&
                            static_cast<long long>(rate) * s.m_interval < kSmallFrame * 1000LL;
        const int least = full || narrow || s.m_budget16 <= kSmallFrame * 16 ? kFloor : kSmallFrame;
        s.m_budget16 = Clamp(budget, least * 16, 0x7fffffff);
        s.m_cut_seq = c->m_write_seq - 1;
        s.m_cut_queue = recent;
        s.m_cut_level = recent;
        s.m_cut_time = now;
        s.m_ramp = 1;
        s.m_slow_start = false;
        return;
    }
    // The estimate rises only with what sixteen acknowledgements saw: a few that a queue let
    // go back to back tell more than the path carries.
    if (steady_rate > c->m_est_bandwidth) c->m_est_bandwidth = steady_rate;
    // Grow only on an empty path, and only when the budget was what held the frames back.
    if (!s.m_limited) {
        // A budget the frames do not fill regains what a cut took, up to twice what they
        // take, so a host that sends less than its path carries never ends below it. Not one
        // that mostly fills it (a frame the credit sufficed for is no sign the budget is
        // wide), nor while the last few samples show a queue rising.
        if (!full && standing <= target && recent <= target && s.m_budget16 < 2 * s.m_used16)
            s.m_budget16 += s.m_budget16 / 16;
        return;
    }
    // A queue that shows, even below the limit, says the path is about full: a transfer's
    // growth starts again from its slowest step
    if (queue > target / 2) {
        // (A queue the last few samples all show, not one sample's jitter.)
        if (c->m_rate_backlog > 0 && recent > target / 2) s.m_ramp = 1;
        return;
    }
    // Once a queue drained, the budget returns at once to nine tenths of what the path was
    // seen to deliver at the last cut: the budget follows the estimate, up as well as down.
    if (!s.m_slow_start && c->m_rate_backlog > 0 && c->m_est_bandwidth > 0 && s.m_interval > 0) {
        const long long back =
            static_cast<long long>(c->m_est_bandwidth) * s.m_interval * 16 / 1000 * 9 / 10;
        if (s.m_budget16 < back) {
            s.m_budget16 = Clamp(back, kFloor * 16, 0x7fffffff);
            return;
        }
    }
    // A ramp the window holds back grows its budget no further than three times what the
    // frames send: when the window opens, the credit saved would leave in one burst.
    // A round trip well below a frame (a LAN, loopback) has every datagram of a frame
    // acknowledged before the next frame writes: nothing of the ramp stays queued, so it may
    // double a frame, and what the frames sent lags too far behind to hold it back.
    const bool short_trip = ShortTrip(c, s);
    if (s.m_slow_start && c->m_rate_backlog > 0 && !short_trip &&
        s.m_budget16 > 3LL * s.m_used16 + kDatagramCost * 16)
        return;
    if (s.m_slow_start) {
        // A backlog grows the budget about fivefold a round trip (each acknowledgement adds
        // 1.75 times the share of a round trip since the one before): a fat path in a few
        // round trips. The window bounds what the overshoot of the last one leaves queued
        // (see SetWindow). Without a backlog, half the plain share.
        const long long trip = base > s.m_interval ? base : (s.m_interval > 0 ? s.m_interval : 1);
        long long step = static_cast<long long>(s.m_budget16) * elapsed / trip;
        if (c->m_rate_backlog <= 0)
            step /= 2;
        else
            step = step * 7 / 4;
        const long long most = short_trip ? s.m_budget16 : s.m_budget16 / 2;
        if (step > most) step = most;
        s.m_budget16 = Clamp(s.m_budget16 + step, kFloor * 16, 0x7fffffff);
        return;
    }
    // The same step for every client of the manager: the mean budget, not its own.
    const CNetManager* m = c->m_manager;
    const long long unit = m && m->m_rate_mean16 > 0 ? m->m_rate_mean16 : s.m_budget16;
    // A share per round trip the path stays empty (what the acknowledgement covers, at most
    // a round trip): sparse acknowledgements, from a host that writes one frame in several,
    // grow it no faster than dense ones, and a long round trip, whose news come late, grows
    // it more slowly.
    const int trip = sample > 1 ? sample : 1;
    const int span = elapsed < trip ? elapsed : trip;
    // Nearing what the path delivered when it was last full, growth slows to its first steps
    // and quickens again only past it (the path may have widened since): a budget that doubles
    // a round trip there overshoots the path by as much before the queue shows.
    if (s.m_budget16 > s.m_peak16 - s.m_peak16 / 4 && s.m_budget16 < s.m_peak16 &&
        s.m_ramp > kNearPeakRamp)
        s.m_ramp = kNearPeakRamp;
    long long step = unit * s.m_ramp * span / (512LL * trip);
    // With a backlog the own budget counts too: a transfer regains a fat path in seconds.
    if (c->m_rate_backlog > 0) step += static_cast<long long>(s.m_budget16) * s.m_ramp / 1024;
    s.m_budget16 = Clamp(s.m_budget16 + (step > 4 ? step : 4), kFloor * 16, 0x7fffffff);
    if (s.m_ramp < kMaxRamp) s.m_ramp += 4;
}

// The frame before ends: what it sent and whether it wanted more join the averages.
void EndFrame(State& s, int now) {
    int gap = WrapSub(now, s.m_frame_time);
    gap = gap < 1 ? 1 : (gap > kMaxIntervalMs ? kMaxIntervalMs : gap);
    s.m_interval = s.m_interval == 0 ? gap : (s.m_interval * 7 + gap) / 8;
    s.m_used16 += (s.m_frame_bytes * 16 - s.m_used16) / 8;
    s.m_limited = s.m_frame_limited;
    s.m_limited_bits = (s.m_limited_bits << 1) | (s.m_frame_limited ? 1u : 0u);
    s.m_frame_time = now;
    s.m_frame_bytes = 0;
    s.m_frame_open = false;
    s.m_frame_limited = false;
}

// Adds this client's budget to its manager's sum for the frame; the first client of a new
// frame turns the sum of the frame before into the mean.
void Share(CNetClient* c, const State& s) {
    CNetManager* m = c->m_manager;
    if (!m) return;
    if (m->m_rate_frame != m->m_frame) {
        m->m_rate_mean16 =
            m->m_rate_count > 0 ? static_cast<int>(m->m_rate_sum16 / m->m_rate_count) : 0;
        m->m_rate_sum16 = 0;
        m->m_rate_count = 0;
        m->m_rate_starting = m->m_rate_slow_count;
        m->m_rate_slow_count = 0;
        m->m_rate_queued = m->m_rate_queued_count;
        m->m_rate_queued_id = m->m_rate_queued_next;
        m->m_rate_queued_count = 0;
        m->m_rate_queued_next = -1;
        m->m_rate_frame = m->m_frame;
    }
    m->m_rate_sum16 += s.m_budget16;
    ++m->m_rate_count;
    if (s.m_slow_start && c->m_rate_backlog <= 0) ++m->m_rate_slow_count;
    if (s.m_queued) {
        ++m->m_rate_queued_count;
        m->m_rate_queued_next = c->m_id;
    }
}

} // namespace

void RateBeforeWrite(CNetClient* c, int now, int max_room) {
    State& s = c->m_rate_state;
    const int top = max_room > 0 ? max_room : 0;
    if (!s.m_started) {
        Start(s, now, top);
        // Clients that start while others of the host still look for their path's rate share
        // one start: players joining at once behind the host's uplink would otherwise each
        // start as if alone, and together overflow its buffer before the first round trip
        // tells. The k-th at once starts from a k-th, never below a quarter of a small
        // datagram a frame. (Counted: those of the frame before, or those this frame already
        // summed if more, so that players joining in the same frame count each other.)
        const CNetManager* m = c->m_manager;
        int starting = m ? m->m_rate_slow_count : 0;
        if (m && m->m_rate_frame == m->m_frame && m->m_rate_starting > starting)
            starting = m->m_rate_starting;
        if (starting > 0) {
            const int shared = s.m_budget16 / (1 + starting);
            s.m_budget16 = shared > kSmallFrame * 16 / 4 ? shared : kSmallFrame * 16 / 4;
        }
        // One that starts while the others see their queue (the uplink is full) starts from
        // their mean budget, growing slowly from there: it would find no queue of its own to
        // stop a faster start (below), and the others, cut to make room, would end with less.
        if (m && m->m_rate_queued > 0 && m->m_rate_mean16 > 0 && m->m_rate_mean16 < s.m_budget16) {
            s.m_budget16 = m->m_rate_mean16 > kFloor * 16 ? m->m_rate_mean16 : kFloor * 16;
            s.m_peak16 = s.m_budget16;
            s.m_slow_start = false;
        }
    } else if (now == s.m_frame_time && !RoundDone(c, s)) {
        // A second Write in the same frame is an extra datagram of it: what the frame has
        // left, no new credit (none at all when the frame writes nothing).
        const int left = RateRoomLeft(c);
        c->m_send_budget = left < top ? left : top;
        return;
    } else {
        EndFrame(s, now);
    }
    // One full datagram a frame, or as many as the backlog fills.
    const long long one16 = static_cast<long long>(top + kPacket) * 16;
    // A transfer that starts looks for the path's rate afresh, from a datagram a frame at
    // least: the cuts that narrow states saw say little about what the path carries when
    // filled. (Two or three datagrams at once overflow a 64 KB/s link's queue before the
    // first round trip tells.)
    const bool starts = c->m_rate_backlog > 0 && !s.m_had_backlog;
    s.m_had_backlog = c->m_rate_backlog > 0;
    if (starts && top > 0) {
        const long long from = one16;
        if (s.m_budget16 < from) s.m_budget16 = static_cast<int>(from);
        s.m_slow_start = true;
        s.m_ramp = 1;
    }
    long long cap16 = one16;
    if (c->m_rate_backlog > 0 && top > 0) {
        const long long more = (static_cast<long long>(c->m_rate_backlog) + top - 1) / top;
        // Nothing of a frame stays queued on a short round trip, and the frame's writes after
        // the first send once the peer had its turn to read: more than one burst a frame.
        const int most = ShortTrip(c, s) ? kShortDatagrams : kMaxDatagrams;
        cap16 = one16 * (1 + (more < most - 1 ? more : most - 1));
    }
    const int before = s.m_budget16;
    const int acked = c->m_acked_seq;
    if (acked != s.m_seen_acked) {
        const int jump = WrapSub(acked, s.m_seen_acked);
        s.m_seen_acked = acked;
        const int i = acked % CNetClient::kRing;
        // A packet older than the ring has no size or send time left: no sample. Its
        // acknowledgement arriving now says that more than the ring's packets wait on the
        // path: a quarter of the budget, and no more growing fast.
        if (s.m_seqs[i] == acked) {
            OnAck(c, s, now, WrapSub(c->m_ack_times[i], c->m_write_times[i]), s.m_sent[i], jump,
                  HoldBound(c, s, acked));
        } else if (WrapSub(c->m_write_seq, acked) > CNetClient::kRing &&
                   WrapSub(now, s.m_cut_time) > s.m_interval * 4) {
            s.m_budget16 = s.m_budget16 / 4 > kFloor * 16 ? s.m_budget16 / 4 : kFloor * 16;
            s.m_slow_start = false;
            s.m_ramp = 1;
            s.m_cut_time = now;
            s.m_cut_seq = c->m_write_seq - 1;
        }
    }
    // Growth stops at the cap; a budget above it from a backlog before fades (below).
    if (s.m_budget16 > before && s.m_budget16 > cap16)
        s.m_budget16 = static_cast<int>(before > cap16 ? before : cap16);
    // Without a single acknowledgement since the start (a peer that only receives and does
    // not answer), every frame gets a whole datagram, as without adaptation.
    // The budget itself stays where it started: once the peer answers (players that wait
    // for a run to begin), it grows from there instead of from a whole datagram per frame.
    const bool silent = s.m_acks == 0 && WrapSub(now, s.m_window_start) >= kSilentMs &&
                        WrapSub(c->m_last_read_time, s.m_window_start) < 0;
    if (s.m_budget16 > cap16) {
        // Past a backlog's end the extra room fades over a second or so rather than at
        // once: a transfer pausing a frame for acknowledgements keeps what it found.
        if (c->m_rate_backlog > 0 || s.m_budget16 - (s.m_budget16 - cap16) / 16 <= cap16)
            s.m_budget16 = static_cast<int>(cap16);
        else
            s.m_budget16 -= static_cast<int>((s.m_budget16 - cap16) / 16);
    }
    if (s.m_budget16 < kFloor * 16) s.m_budget16 = kFloor * 16;
    // A ramp sends its window over the round trip at most twice as fast as the window
    // itself drains: the credit it saved while the window was shut would otherwise leave in
    // one burst of several times the path's rate, and the states behind it wait in the
    // path's queue until the burst has passed.
    if (s.m_slow_start && c->m_rate_backlog > 0 && s.m_window > 0 && s.m_interval > 0 &&
        !ShortTrip(c, s)) {
        const int base = s.m_min_rtt[1] >= 0 && s.m_min_rtt[1] < s.m_min_rtt[0] ? s.m_min_rtt[1]
                                                                                : s.m_min_rtt[0];
        if (base > 0) {
            long long pace16 = static_cast<long long>(s.m_window) * s.m_interval * 16 * 2 / base;
            if (pace16 < one16) pace16 = one16;
            if (s.m_budget16 > pace16) s.m_budget16 = static_cast<int>(pace16);
        }
    }
    Share(c, s);

    // A path that carries less than a datagram worth its headers a frame skips frames, and
    // writes once the credit holds all the last written frame wanted (a whole snapshot, at
    // most one datagram): fewer datagrams, each with every state, rather than many that each
    // carry a few. Above that, every frame writes; one that owes (reliable records took more
    // before) writes a smaller datagram.
    const int budget = s.m_budget16 / 16;
    int whole = s.m_want > kMinRecords ? s.m_want : kMinRecords;
    if (whole > top) whole = top;
    int snapshot = kPacket + whole;
    // Though no longer to wait than kMaxSkip frames: the states of a large snapshot would age
    // more than a smaller datagram's, sent sooner, costs in headers. Unless the snapshot is
    // small (up to kSmallSnapshot bytes of records): split into datagrams of their headers'
    // size, it would pay its headers twice or more, and each state would come half as often
    // (six players behind a 64 kbit/s uplink, each object's states 0.6 s apart).
    const int small = kPacket + (whole < kSmallSnapshot ? whole : kSmallSnapshot);
    const int longest = kMaxSkip * budget > small ? kMaxSkip * budget : small;
    if (snapshot > longest) snapshot = longest;
    // But never too small for the largest state left out, or that state would wait for ever.
    int one = s.m_want_one > kMinRecords ? s.m_want_one : kMinRecords;
    if (one > top) one = top;
    if (snapshot < kPacket + one) snapshot = kPacket + one;
    // While the path's empty round trip is probed, a backlog gets half the credit.
    s.m_credit += c->m_rate_backlog > 0 && WrapSub(s.m_probe_until, now) > 0 ? budget / 2 : budget;
    const int most = 2 * budget > snapshot + budget ? 2 * budget : snapshot + budget;
    if (s.m_credit > most) s.m_credit = most;
    s.m_frame_limited = c->m_rate_backlog > 0;
    // A small snapshot also waits while the budget holds a small datagram a frame but not the
    // whole snapshot: every frame would carry part of it, and the states left out of each
    // would come far less often than the datagrams (the last of six 10-byte states at 4 KB/s:
    // 22 frames apart, the datagrams 2).
    const bool wait =
        budget < kPacket + kMinRecords || (whole <= kSmallSnapshot && budget < snapshot);
    if (wait && s.m_credit < snapshot && !silent) {
        // This frame writes nothing to the peer; the credit carries on to the next.
        s.m_frame_limited = true;
        c->m_send_budget = 0;
        return;
    }
    s.m_frame_open = true;
    if (silent) s.m_credit = 0; // nothing owed for what went out unsteered
    const int room = s.m_credit - kPacket;
    c->m_send_budget = silent ? top : Clamp(room, top > 0 ? 1 : 0, top);
}

void RateAfterSend(CNetClient* c, int seq, int bytes, int now, bool limited) {
    (void)now;
    State& s = c->m_rate_state;
    const int wire = (bytes > 0 ? bytes : 0) + kWire;
    const int i = seq % CNetClient::kRing;
    s.m_sent_total = WrapAdd(s.m_sent_total, wire);
    s.m_seqs[i] = seq;
    s.m_sent[i] = s.m_sent_total;
    // The frame's first datagram: what it wanted is what it carried and what it left out.
    if (s.m_frame_bytes == 0) s.m_want += bytes > kOverhead ? bytes - kOverhead : 0;
    s.m_frame_bytes += wire;
    if (limited) s.m_frame_limited = true;
    // Reliable records may pass the budget; the frames after make up for it, though never
    // for more than two frames' worth or one datagram, whichever is more.
    const int budget = s.m_budget16 / 16;
    const int owed = 2 * budget > kDatagramCost ? 2 * budget : kDatagramCost;
    s.m_credit -= wire;
    if (s.m_credit < -owed) s.m_credit = -owed;
}

void RateOnRead(CNetClient* c, int seq, int timing_seq, int age, int now) {
    State& s = c->m_rate_state;
    int delay = s.m_in_last;
    if (timing_seq >= 0) {
        // The named packet's way plus what this one took beyond it: the time between the two
        // readings less the time between the two sendings (the age, on the peer's clock).
        const int i = timing_seq % CNetClient::kRing;
        const int held = WrapSub(now, c->m_read_times[i]);
        s.m_in_chained = c->m_read_seqs[i] == timing_seq && held >= 0 && held < 0x10000;
        if (s.m_in_chained) delay = s.m_in_delay[i] + held - age;
    }
    // How long after the packet before it the peer wrote this one: its way differs from that
    // packet's by the difference of their delays.
    const int before = (seq - 1) % CNetClient::kRing;
    s.m_in_gap = 0;
    if (seq > 1 && c->m_read_seqs[before] == seq - 1) {
        const int gap = WrapSub(now, c->m_read_times[before]) - (delay - s.m_in_delay[before]);
        s.m_in_gap = gap > 0 && gap < 0x10000 ? gap : 0;
    }
    s.m_in_delay[seq % CNetClient::kRing] = delay;
    s.m_in_last = delay;
}

int RateRoomLeft(const CNetClient* c) {
    const State& s = c->m_rate_state;
    if (!c->m_adapt_rate || !s.m_started || !s.m_frame_open) return 0;
    int left = s.m_credit - kPacket; // the extra datagram's own headers come first
    // A backlog keeps no more in flight than its window: beyond, it would only queue.
    const int i = c->m_acked_seq % CNetClient::kRing;
    if (c->m_rate_backlog > 0 && s.m_window > 0 && s.m_seqs[i] == c->m_acked_seq) {
        const int open = s.m_window - WrapSub(s.m_sent_total, s.m_sent[i]) - kPacket;
        if (open < left) left = open;
    }
    return left > 0 ? left : 0;
}

} // namespace portnet
