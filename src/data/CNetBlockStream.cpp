// Large reliable blocks: queued per peer, cut into fragments that fill what packets have left,
// acknowledged selectively, reassembled into one allocation and delivered whole and in order.
#include "portnet/CNetBlockStream.h"

#include <cstring>
#include <new>

#include "client/NetWrap.h"
#include "data/BlockChannel.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetClient.h"
#include "portnet/CNetManager.h"
#include "transport/LittleEndian.h"

using namespace portnet;

namespace {

constexpr int kFragmentHeader = 12; // block, total, offset, length
constexpr int kAckHeader = 7;       // block, whole, ranges
constexpr int kMaxFragments = 63;
constexpr unsigned char kHasAck = 0x01;
constexpr unsigned char kHasNotice = 0x02;
constexpr int kFragmentShift = 2;
constexpr int kNoticeCancel = 1;
constexpr int kNoticeTooBig = 2;
constexpr int kNoticeCancelSeen = 3;
constexpr int kCancelGiveUpMs = 5000; // a peer that never answers a cancel is not asked for ever
constexpr int kMaxBackoff = 6;

bool Held(const std::uint64_t* bits, std::uint32_t unit) {
    return (bits[unit / 64] >> (unit % 64)) & 1u;
}

void Hold(std::uint64_t* bits, std::uint32_t unit) {
    bits[unit / 64] |= std::uint64_t{1} << (unit % 64);
}

std::uint32_t UnitBytes(std::uint32_t total, std::uint32_t unit) {
    const std::uint32_t rest = total - unit * kBlockUnit;
    return rest < kBlockUnit ? rest : kBlockUnit;
}

// The number nearest to around whose low 16 bits are low16 (not "near": a macro on Windows).
std::uint32_t Expand(std::uint32_t around, std::uint32_t low16) {
    const auto step = static_cast<std::int16_t>(static_cast<std::uint16_t>(low16 - around));
    return around + static_cast<std::uint32_t>(static_cast<std::int32_t>(step));
}

// One allocation: the header, a ring of `ring` fragments in flight (sending side), a bitmap
// of the block's units, then its bytes.
unsigned char* Allocate(std::size_t header, std::uint32_t total, int ring, std::uint64_t** bits,
                        Flight** flight, unsigned char** data) {
    const std::size_t words = (UnitsOf(total) + 63) / 64;
    const std::size_t ring_bytes = static_cast<std::size_t>(ring) * sizeof(Flight);
    // Aligned for any object: the array form's allocation is; every part keeps 8-byte steps.
    const std::size_t head = (header + 7) / 8 * 8, flights = (ring_bytes + 7) / 8 * 8;
    auto* raw = new (std::nothrow) unsigned char[head + flights + words * 8 + total];
    if (!raw) return nullptr;
    if (flight) *flight = reinterpret_cast<Flight*>(raw + head);
    *bits = reinterpret_cast<std::uint64_t*>(raw + head + flights);
    std::memset(*bits, 0, words * 8);
    *data = raw + head + flights + words * 8;
    return raw;
}

OutBlock* MakeOut(std::uint32_t total) {
    // Every fragment covers a unit at least, and sendings wait in the ring until it moves past
    // them: twice the units is room enough for a small block, kMaxFlight for any.
    const std::uint32_t units = UnitsOf(total);
    const int ring = units >= BlockChannel::kMaxFlight / 2 ? BlockChannel::kMaxFlight
                                                           : static_cast<int>(2 * units + 8);
    std::uint64_t* bits;
    Flight* flight;
    unsigned char* data;
    unsigned char* raw = Allocate(sizeof(OutBlock), total, ring, &bits, &flight, &data);
    if (!raw) return nullptr;
    OutBlock* b = new (raw) OutBlock();
    b->total = total;
    b->bits = bits;
    b->flight = flight;
    b->flight_size = ring;
    b->data = data;
    return b;
}

InBlock* MakeIn(std::uint32_t total) {
    std::uint64_t* bits;
    unsigned char* data;
    unsigned char* raw = Allocate(sizeof(InBlock), total, 0, &bits, nullptr, &data);
    if (!raw) return nullptr;
    InBlock* b = new (raw) InBlock();
    b->total = total;
    b->bits = bits;
    b->data = data;
    return b;
}

int Now(const CNetClient* client) {
    return client->m_manager ? client->m_manager->m_time : 0;
}

// The round trip: the smoothed one, or what the newest acknowledged packet took if that is
// more: the smoothed one climbs from nothing early in a session, and lags a queue that grows.
int RoundTrip(const CNetClient* client) {
    int rtt = client->m_ping > 0 ? client->m_ping : 100;
    const int newest = client->m_acked_seq % CNetClient::kRing;
    if (client->m_ack_times[newest] != -1) {
        const int took = WrapSub(client->m_ack_times[newest], client->m_write_times[newest]);
        if (took > rtt) rtt = took;
    }
    return rtt;
}

// Waiting before a fragment counts as lost without any acknowledgement: the round trip, the
// peer's frame and ours, and room for the round trip to grow; doubled for every time-out in
// a row.
int RetryAfter(const CNetClient* client, int backoff) {
    const int rtt = RoundTrip(client);
    const int frame = client->m_manager ? client->m_manager->m_delta_time : 16;
    long long wait = 2LL * rtt + 4LL * (frame > 0 ? frame : 16) + 30;
    wait <<= backoff;
    return wait > 10000 ? 10000 : static_cast<int>(wait);
}

// Slots of the ring kept for the rest of fragments sent again only in part: new bytes never
// take them, so a full ring can always send its lost fragments again.
int Reserve(const OutBlock* b) {
    return b->flight_size / 4 < 64 ? b->flight_size / 4 : 64;
}

Flight& FlightAt(BlockChannel* ch, int i) {
    return ch->head->flight[(ch->flight_start + i) % ch->head->flight_size];
}

void MarkLost(BlockChannel* ch, Flight& f) {
    if (f.done || f.lost) return;
    f.lost = true;
    ++ch->lost;
}

void Retire(BlockChannel* ch, Flight& f) {
    if (f.done) return;
    if (f.lost) --ch->lost;
    f.lost = false;
    f.done = true;
}

// Leaves the ring's front free of entries that only wait to leave.
void TrimFlight(BlockChannel* ch) {
    while (ch->flight_count > 0 && FlightAt(ch, 0).done) {
        ch->flight_start = (ch->flight_start + 1) % ch->head->flight_size;
        --ch->flight_count;
    }
}

void ClearFlight(BlockChannel* ch) {
    ch->flight_start = ch->flight_count = 0;
    ch->lost = 0;
}

bool Acked(const OutBlock* b, std::uint32_t offset, std::uint32_t len) {
    const std::uint32_t end = UnitsOf(offset + len);
    if (end <= b->whole) return true;
    for (std::uint32_t u = offset / kBlockUnit; u < end; ++u)
        if (!Held(b->bits, u)) return false;
    return true;
}

// Ends the block in transfer: the ring empties, the next block starts from nothing.
void PopHead(BlockChannel* ch) {
    OutBlock* b = ch->head;
    ch->head = b->next;
    if (!ch->head) ch->tail = nullptr;
    --ch->queued;
    FreeOut(b);
    ClearFlight(ch);
    ch->backoff = 0;
}

// Units [from, to) of the block acknowledged. Every acknowledgement repeats the gapless start,
// so what lies below b->whole is stepped over rather than looked at again.
void AckUnits(OutBlock* b, std::uint32_t from, std::uint32_t to) {
    if (from < b->whole) from = b->whole;
    for (std::uint32_t u = from; u < to; ++u) {
        if (Held(b->bits, u)) continue;
        Hold(b->bits, u);
        b->acked += UnitBytes(b->total, u);
    }
    const std::uint32_t units = UnitsOf(b->total);
    while (b->whole < units) {
        if (b->whole % 64 == 0 && b->whole + 64 <= units && b->bits[b->whole / 64] == ~0ull) {
            b->whole += 64;
            continue;
        }
        if (!Held(b->bits, b->whole)) break;
        ++b->whole;
    }
}

} // namespace

CNetBlockStream::CNetBlockStream() : CNetData(false) {
    m_block = true;
}

CNetBlockStream::~CNetBlockStream() {
    DetachStream(this, m_channels);
}

int CNetBlockStream::Send(CNetClient* peer, const void* data, std::uint32_t len) {
    if (!peer || !data || len == 0 || m_port_id < 0 || m_port_id >= CNetClient::kMaxPorts)
        return -1;
    // The limit is checked before anything is made for the peer.
    if (len > GetLimit(peer)) return kTooBig;
    BlockChannel* ch = FindChannel(peer, this, true);
    if (!ch) return kNoMemory;
    if (ch->queued >= kMaxQueued) return kQueueFull;
    OutBlock* b = MakeOut(len);
    if (!b) return kNoMemory;
    std::memcpy(b->data, data, len);
    if (++ch->next_id == 0 || ch->next_id > 0x7fffffffu) ch->next_id = 1;
    b->id = ch->next_id;
    if (ch->tail)
        ch->tail->next = b;
    else
        ch->head = b;
    ch->tail = b;
    ++ch->queued;
    return static_cast<int>(b->id);
}

int CNetBlockStream::Cancel(CNetClient* peer, std::uint32_t id) {
    BlockChannel* ch = peer ? FindChannel(peer, this, false) : nullptr;
    if (!ch || id == 0) return -1;
    OutBlock* prev = nullptr;
    OutBlock* b = ch->head;
    for (; b && b->id != id; prev = b, b = b->next) {
    }
    if (!b) return -1;
    if (b == ch->head) {
        // The peer may hold part of it: tell it until it answers. A block never begun needs
        // no word; the peer skips numbers it never saw.
        if (b->next_new > 0) {
            ch->cancel_id = id;
            ch->cancel_time = Now(peer);
        }
        PopHead(ch);
    } else {
        prev->next = b->next;
        if (ch->tail == b) ch->tail = prev;
        --ch->queued;
        FreeOut(b);
    }
    BlockEnded(peer, id, kCancelled);
    return 1;
}

int CNetBlockStream::SetLimit(CNetClient* peer, std::uint32_t bytes) {
    if (!peer || bytes == 0 || bytes > kMaxLimit) return -1;
    BlockChannel* ch = FindChannel(peer, this, true);
    if (!ch) return -1;
    ch->limit = bytes;
    return 1;
}

std::uint32_t CNetBlockStream::GetLimit(CNetClient* peer) const {
    auto* self = const_cast<CNetBlockStream*>(this);
    const BlockChannel* ch = peer ? FindChannel(peer, self, false) : nullptr;
    const std::uint32_t limit = ch ? ch->limit : m_default_limit;
    return limit > kMaxLimit ? kMaxLimit : limit;
}

int CNetBlockStream::GetSendProgress(CNetClient* peer, SNetBlockProgress* out) const {
    if (!peer || !out) return -1;
    *out = SNetBlockProgress{};
    const BlockChannel* ch = FindChannel(peer, const_cast<CNetBlockStream*>(this), false);
    if (ch && ch->head) {
        out->m_id = ch->head->id;
        out->m_done = ch->head->acked;
        out->m_total = ch->head->total;
        out->m_queued = ch->queued - 1;
    }
    return 1;
}

int CNetBlockStream::GetReceiveProgress(CNetClient* peer, SNetBlockProgress* out) const {
    if (!peer || !out) return -1;
    *out = SNetBlockProgress{};
    const BlockChannel* ch = FindChannel(peer, const_cast<CNetBlockStream*>(this), false);
    if (ch && ch->in) {
        out->m_id = ch->in->id;
        out->m_done = ch->in->held;
        out->m_total = ch->in->total;
    }
    return 1;
}

int CNetBlockStream::BlockReceived(CNetClient* /*peer*/, std::uint32_t /*id*/,
                                   const unsigned char* /*data*/, std::uint32_t /*len*/) {
    return 1;
}

int CNetBlockStream::BlockEnded(CNetClient* /*peer*/, std::uint32_t /*id*/, int /*reason*/) {
    return 1;
}

bool CNetBlockStream::HasBacklog(const CNetClient* client) const {
    const BlockChannel* ch =
        FindChannel(const_cast<CNetClient*>(client), const_cast<CNetBlockStream*>(this), false);
    if (!ch || !ch->head) return false;
    return ch->lost > 0 || (ch->head->next_new < ch->head->total &&
                            ch->flight_count < ch->head->flight_size - Reserve(ch->head));
}

std::uint32_t CNetBlockStream::BacklogBytes(const CNetClient* client) const {
    if (!HasBacklog(client)) return 0;
    const BlockChannel* ch =
        FindChannel(const_cast<CNetClient*>(client), const_cast<CNetBlockStream*>(this), false);
    std::uint32_t bytes = ch->head->total - ch->head->next_new;
    for (int i = 0; ch->lost > 0 && i < ch->flight_count; ++i) {
        const Flight& f = ch->head->flight[(ch->flight_start + i) % ch->head->flight_size];
        if (f.lost) bytes += f.len;
    }
    return bytes;
}

// ---- Writing ---------------------------------------------------------------------------

namespace {

// The acknowledgement of the block in reassembly, or of the one completed last.
bool WriteAck(CNetBuf* buf, BlockChannel* ch, int space) {
    const InBlock* in = ch->in;
    std::uint32_t ranges[BlockChannel::kAckRanges][2];
    int count = 0;
    bool more = false;
    if (in) {
        // Runs of held units above the gapless start; words that are all one thing are
        // stepped over whole.
        const std::uint32_t units = UnitsOf(in->total);
        std::uint32_t u = UnitsOf(in->whole);
        while (u < units) {
            const std::uint64_t word = in->bits[u / 64];
            if (u % 64 == 0 && word == 0) {
                u += 64;
                continue;
            }
            if (!Held(in->bits, u)) {
                ++u;
                continue;
            }
            std::uint32_t end = u + 1;
            while (end < units) {
                const std::uint64_t w = in->bits[end / 64];
                if (end % 64 == 0 && w == ~std::uint64_t{0}) {
                    end += 64;
                    continue;
                }
                if (!Held(in->bits, end)) break;
                ++end;
            }
            if (end > units) end = units;
            if (count == BlockChannel::kAckRanges) {
                more = true;
                break;
            }
            ranges[count][0] = u * kBlockUnit;
            ranges[count][1] = end * kBlockUnit < in->total ? end * kBlockUnit : in->total;
            ++count;
            u = end;
        }
    }
    if (kAckHeader + 8 * count > space) return false;
    unsigned char* at = buf->WriteSpan(kAckHeader + 8 * count);
    if (!at) return false;
    StoreLE(at, in ? in->id : ch->last_done, 2);
    StoreLE(at + 2, in ? in->whole : ch->last_total, 4);
    at[6] = static_cast<unsigned char>(count | (more ? 0x80 : 0));
    for (int i = 0; i < count; ++i) {
        StoreLE(at + kAckHeader + 8 * i, ranges[i][0], 4);
        StoreLE(at + kAckHeader + 8 * i + 4, ranges[i][1], 4);
    }
    return true;
}

// One fragment of b from offset, at most len bytes, recorded in the ring under seq.
// One fragment of b from offset, len bytes, recorded in the ring under seq: in the entry again
// when again is given (the same bytes sent anew), else in a new one.
bool WriteFragment(CNetBuf* buf, BlockChannel* ch, const OutBlock* b, std::uint32_t offset,
                   std::uint32_t len, int seq, int now, Flight* again) {
    if (!again && ch->flight_count >= b->flight_size) return false;
    unsigned char* at = buf->WriteSpan(kFragmentHeader + static_cast<int>(len));
    if (!at) return false;
    StoreLE(at, b->id, 2);
    StoreLE(at + 2, b->total, 4);
    StoreLE(at + 6, offset, 4);
    StoreLE(at + 10, len, 2);
    std::memcpy(at + kFragmentHeader, b->data + offset, len);
    Flight& f = again ? *again : FlightAt(ch, ch->flight_count++);
    if (again && f.lost) --ch->lost;
    f.offset = offset;
    f.len = static_cast<std::uint16_t>(len);
    f.lost = false;
    f.done = false;
    f.seq = seq;
    f.time = now;
    return true;
}

// How much of a fragment fits in space bytes of record: whole units unless it ends the block.
std::uint32_t FitLength(const OutBlock* b, std::uint32_t offset, std::uint32_t want, int space) {
    if (space <= kFragmentHeader) return 0;
    std::uint32_t len = want;
    const auto fits = static_cast<std::uint32_t>(space - kFragmentHeader);
    if (len > fits) len = fits;
    if (len > 0xffff) len = 0xffff;
    if (offset + len < b->total) len -= len % kBlockUnit;
    return len;
}

} // namespace

int CNetBlockStream::Write(CNetBuf* buf, int room, CNetClient* client) {
    if (!buf || !client) return 0;
    BlockChannel* ch = FindChannel(client, this, false);
    if (!ch) return 0;
    const int now = Now(client);
    const int start = buf->m_write_pos;
    unsigned char* sections = buf->WriteSpan(1);
    if (!sections) return 0;
    *sections = 0;
    // Acknowledgements and notices are small and what keeps the peer's transfer going: they
    // take what the buffer holds (less the terminator), not only the room granted.
    const int space = CNetBuf::kMaxPayload - buf->m_write_pos - 1;

    if ((ch->in || ch->ack_repeats > 0) && WriteAck(buf, ch, space)) {
        *sections |= kHasAck;
        if (ch->ack_repeats > 0) --ch->ack_repeats;
    }

    // One notice per record: this side's answer first, then its own cancel.
    int reason = 0;
    std::uint32_t notice = 0;
    if (ch->notice_repeats > 0) {
        reason = ch->notice_reason;
        notice = ch->notice_id;
    } else if (ch->cancel_id != 0) {
        if (WrapSub(now, ch->cancel_time) > kCancelGiveUpMs)
            ch->cancel_id = 0;
        else {
            reason = kNoticeCancel;
            notice = ch->cancel_id;
        }
    }
    if (reason != 0 && CNetBuf::kMaxPayload - buf->m_write_pos - 1 >= 3) {
        unsigned char* at = buf->WriteSpan(3);
        StoreLE(at, notice, 2);
        at[2] = static_cast<unsigned char>(reason);
        *sections |= kHasNotice;
        if (reason != kNoticeCancel) --ch->notice_repeats;
    }

    OutBlock* b = ch->head;
    int count = 0;
    if (b) {
        // Fragments nobody acknowledged for too long count as lost.
        const int wait = RetryAfter(client, ch->backoff);
        bool timed_out = false;
        for (int i = 0; i < ch->flight_count; ++i) {
            Flight& f = FlightAt(ch, i);
            if (!f.done && !f.lost && WrapSub(now, f.time) >= wait) {
                MarkLost(ch, f);
                timed_out = true;
            }
        }
        if (timed_out && ch->backoff < kMaxBackoff) ++ch->backoff;

        const int seq = client->m_write_seq;
        const int limit = room < space ? room : space;
        // Lost fragments first, oldest first, then new bytes.
        for (int i = 0; ch->lost > 0 && i < ch->flight_count && count < kMaxFragments; ++i) {
            Flight& f = FlightAt(ch, i);
            if (!f.lost) continue;
            if (Acked(b, f.offset, f.len)) {
                Retire(ch, f);
                continue;
            }
            const int used = buf->m_write_pos - start;
            const std::uint32_t len = FitLength(b, f.offset, f.len, limit - used);
            if (len == 0) break;
            // Sent whole, the sending takes a new entry at the ring's end and the old one only
            // waits to leave, so a loss at the front does not hold the ring for a round trip;
            // with the ring full, the entry itself is the new sending. Cut short, the part sent
            // takes a new entry and the rest stays lost, so nothing lost is ever forgotten.
            if (len == f.len && ch->flight_count < b->flight_size) {
                if (!WriteFragment(buf, ch, b, f.offset, len, seq, now, nullptr)) break;
                Retire(ch, FlightAt(ch, i));
            } else if (len == f.len) {
                if (!WriteFragment(buf, ch, b, f.offset, len, seq, now, &f)) break;
            } else {
                if (!WriteFragment(buf, ch, b, f.offset, len, seq, now, nullptr)) break;
                f.offset += len;
                f.len = static_cast<std::uint16_t>(f.len - len);
            }
            ++count;
            ++m_fragments_resent;
            ++m_fragments_sent;
        }
        while (b->next_new < b->total && count < kMaxFragments) {
            const int used = buf->m_write_pos - start;
            const std::uint32_t len =
                FitLength(b, b->next_new, b->total - b->next_new, limit - used);
            if (len == 0) break;
            if (ch->flight_count >= b->flight_size - Reserve(b)) break;
            if (!WriteFragment(buf, ch, b, b->next_new, len, seq, now, nullptr)) break;
            b->next_new += len;
            ++count;
            ++m_fragments_sent;
        }
        TrimFlight(ch);
    }
    *sections |= static_cast<unsigned char>(count << kFragmentShift);
    if (*sections == 0) {
        buf->SetWritingPos(start, 0);
        return 0;
    }
    return buf->m_write_pos - start;
}

// ---- Reading ---------------------------------------------------------------------------

namespace {

struct AckRecord {
    std::uint32_t block;
    std::uint32_t whole;
    int count;
    bool more;
    std::uint32_t ranges[BlockChannel::kAckRanges][2];
};

void TakeAck(CNetBlockStream* s, BlockChannel* ch, CNetClient* client, const AckRecord& a,
             bool late) {
    if (ch->cancel_id != 0 && Expand(ch->cancel_id, a.block) > ch->cancel_id) ch->cancel_id = 0;
    OutBlock* b = ch->head;
    if (!b || Expand(b->id, a.block) != b->id) return; // of an earlier block: nothing to learn
    if (a.whole > b->total || (a.count > 0 && a.ranges[a.count - 1][1] > b->total)) {
        ++s->m_fragments_refused; // an acknowledgement of bytes that do not exist
        return;
    }
    const std::uint32_t before = b->acked;
    // Units wholly inside what is held; a range's end may fall inside the block's last unit.
    auto ack = [&](std::uint32_t from, std::uint32_t to) {
        const std::uint32_t first = UnitsOf(from);
        const std::uint32_t last = to == b->total ? UnitsOf(to) : to / kBlockUnit;
        if (first < last) AckUnits(b, first, last);
    };
    ack(0, a.whole);
    for (int i = 0; i < a.count; ++i)
        ack(a.ranges[i][0], a.ranges[i][1]);
    const int now = Now(client);
    if (b->acked != before) {
        ch->backoff = 0;
        ch->last_progress = now;
    }
    if (b->acked == b->total) {
        const std::uint32_t id = b->id;
        PopHead(ch);
        ++s->m_blocks_sent;
        s->BlockEnded(client, id, CNetBlockStream::kDelivered);
        return;
    }
    // Datagrams sent back to back may overtake one another, and the peer still takes the block
    // records of an overtaken one: a fragment counts as missing only once it has been on the
    // way a frame longer than the round trip. No more: on a long lossy path the last round
    // trip's losses, and the losses of their repetitions, each wait this long at the end of
    // a transfer, with nothing else left to send.
    const int rtt = RoundTrip(client);
    const int frame = client->m_manager && client->m_manager->m_delta_time > 0
                          ? client->m_manager->m_delta_time
                          : 16;
    const int overtake = rtt + frame;
    // The peer wrote this having read every packet up to client->m_acked_seq: a fragment sent
    // in one of them that it does not hold, where it reports all it holds, never arrived.
    if (late) return;
    const std::uint32_t known =
        a.more ? (a.count > 0 ? a.ranges[a.count - 1][1] : a.whole) : b->total;
    for (int i = 0; i < ch->flight_count; ++i) {
        Flight& f = FlightAt(ch, i);
        if (f.done) continue;
        if (Acked(b, f.offset, f.len)) {
            Retire(ch, f);
            continue;
        }
        if (!WrapAfter(f.seq, client->m_acked_seq) && f.offset + f.len <= known &&
            WrapSub(now, f.time) >= overtake)
            MarkLost(ch, f);
    }
    TrimFlight(ch);
}

void TakeNotice(CNetBlockStream* s, BlockChannel* ch, CNetClient* client, std::uint32_t low,
                int reason) {
    if (reason == kNoticeCancel) {
        InBlock* in = ch->in;
        const std::uint32_t id = Expand(in ? in->id : ch->floor, low);
        if (in && !WrapBefore(id, in->id)) {
            const std::uint32_t gone = in->id;
            FreeIn(in);
            ch->in = nullptr;
            s->BlockEnded(client, gone, CNetBlockStream::kCancelled);
        }
        if (!WrapBefore(id, ch->floor)) ch->floor = id + 1;
        ch->notice_id = id;
        ch->notice_reason = kNoticeCancelSeen;
        ch->notice_repeats = 1; // once per notice: the sender repeats until it hears
        return;
    }
    OutBlock* b = ch->head;
    if (reason == kNoticeCancelSeen) {
        if (ch->cancel_id != 0 && Expand(ch->cancel_id, low) == ch->cancel_id) ch->cancel_id = 0;
        return;
    }
    // Refused by the peer as too big.
    if (b && Expand(b->id, low) == b->id) {
        const std::uint32_t id = b->id;
        PopHead(ch);
        s->BlockEnded(client, id, CNetBlockStream::kTooBig);
    }
}

int TakeFragment(CNetBlockStream* s, BlockChannel* ch, CNetClient* client, std::uint32_t low,
                 std::uint32_t total, std::uint32_t offset, std::uint32_t len,
                 const unsigned char* bytes) {
    InBlock* in = ch->in;
    const std::uint32_t id = Expand(in ? in->id : ch->floor, low);
    if (ch->last_done != 0 && id == ch->last_done) {
        ch->ack_repeats = BlockChannel::kAckRepeats; // our acknowledgement was lost: again
        ++s->m_fragments_refused;
        return 1;
    }
    if (!in || id != in->id) {
        // Older than what this side finished, or further ahead than the sender can have moved:
        // it skips only the numbers of blocks cancelled before they began, at most a queue's.
        const int base = static_cast<int>(in ? in->id : ch->floor);
        if (WrapBefore(id, ch->floor) || (in && WrapBefore(id, in->id)) ||
            WrapSub(static_cast<int>(id), base) > CNetBlockStream::kMaxQueued) {
            ++s->m_fragments_refused;
            return 1;
        }
        if (in) {
            // The sender moved on: the block before was cancelled and its notice is late.
            const std::uint32_t gone = in->id;
            FreeIn(in);
            ch->in = in = nullptr;
            ch->floor = gone + 1;
            if (s->BlockEnded(client, gone, CNetBlockStream::kCancelled) == -1) return -1;
        }
        if (total == 0 || total > CNetBlockStream::kMaxLimit) {
            ++s->m_fragments_refused;
            return 1;
        }
        if (total > ch->limit) {
            // Refused before anything is made for it; the sender hears why.
            ++s->m_fragments_refused;
            ch->floor = id + 1;
            ch->notice_id = id;
            ch->notice_reason = kNoticeTooBig;
            ch->notice_repeats = BlockChannel::kAckRepeats;
            return s->BlockEnded(client, id, CNetBlockStream::kTooBig) == -1 ? -1 : 1;
        }
        in = MakeIn(total);
        if (!in) {
            ++s->m_fragments_refused; // tried again with the sender's next fragment
            return 1;
        }
        in->id = id;
        ch->in = in;
    }
    ch->ack_repeats = BlockChannel::kAckRepeats;
    if (total != in->total || offset % kBlockUnit != 0 || offset > total || len > total - offset ||
        (len % kBlockUnit != 0 && offset + len != total)) {
        ++s->m_fragments_refused; // a fragment that lies about its block
        return 1;
    }
    // Only units not yet held are taken: a repetition can never change delivered bytes. A
    // fragment of none held (the usual one) is copied at once.
    const std::uint32_t first = offset / kBlockUnit, end = UnitsOf(offset + len);
    bool fresh = true;
    for (std::uint32_t u = first; fresh && u < end; ++u) {
        if (u % 64 == 0 && u + 64 <= end && in->bits[u / 64] == 0) {
            u += 63;
            continue;
        }
        fresh = !Held(in->bits, u);
    }
    if (fresh) {
        std::memcpy(in->data + offset, bytes, len);
        for (std::uint32_t u = first; u < end; ++u)
            Hold(in->bits, u);
        in->held += len;
    }
    for (std::uint32_t u = first; !fresh && u < end; ++u) {
        if (Held(in->bits, u)) continue;
        const std::uint32_t n = UnitBytes(total, u);
        std::memcpy(in->data + u * kBlockUnit, bytes + (u * kBlockUnit - offset), n);
        Hold(in->bits, u);
        in->held += n;
    }
    while (in->whole < total && Held(in->bits, in->whole / kBlockUnit))
        in->whole += UnitBytes(total, in->whole / kBlockUnit);
    if (in->held != total) return 1;
    ch->in = nullptr;
    ch->last_done = in->id;
    ch->last_total = total;
    ch->floor = in->id + 1;
    ++s->m_blocks_received;
    const int r = s->BlockReceived(client, in->id, in->data, total);
    FreeIn(in);
    return r == -1 ? -1 : 1;
}

} // namespace

int CNetBlockStream::Read(CNetBuf* buf, CNetClient* client, bool late) {
    if (!buf || !client) return -1;
    const int start = buf->m_read_pos;
    unsigned char sections = 0;
    if (buf->ReadByte(&sections) != 1) return -1;
    // Without memory for the channel the record is still read through, and dropped.
    BlockChannel* ch = FindChannel(client, this, true);
    int result = 1;

    if (sections & kHasAck) {
        const unsigned char* at = buf->ReadSpan(kAckHeader);
        if (!at) return -1;
        AckRecord a;
        a.block = LoadLE(at, 2);
        a.whole = LoadLE(at + 2, 4);
        a.count = at[6] & 0x7f;
        a.more = (at[6] & 0x80) != 0;
        if (a.count > BlockChannel::kAckRanges) return -1;
        const unsigned char* r = buf->ReadSpan(8 * a.count);
        if (!r) return -1;
        std::uint32_t floor = a.whole;
        for (int i = 0; i < a.count; ++i) {
            a.ranges[i][0] = LoadLE(r + 8 * i, 4);
            a.ranges[i][1] = LoadLE(r + 8 * i + 4, 4);
            // Ascending, apart, above the gapless start: anything else is not ours.
            if (a.ranges[i][0] <= floor || a.ranges[i][1] <= a.ranges[i][0]) return -1;
            floor = a.ranges[i][1];
        }
        if (ch) TakeAck(this, ch, client, a, late);
    }
    if (sections & kHasNotice) {
        const unsigned char* at = buf->ReadSpan(3);
        if (!at || at[2] < kNoticeCancel || at[2] > kNoticeCancelSeen) return -1;
        if (ch) TakeNotice(this, ch, client, LoadLE(at, 2), at[2]);
    }
    const int fragments = sections >> kFragmentShift;
    for (int i = 0; i < fragments; ++i) {
        const unsigned char* at = buf->ReadSpan(kFragmentHeader);
        if (!at) return -1;
        const std::uint32_t len = LoadLE(at + 10, 2);
        const unsigned char* bytes = buf->ReadSpan(static_cast<int>(len));
        if (!bytes || len == 0) return -1;
        if (!ch) {
            ++m_fragments_refused;
            continue;
        }
        if (TakeFragment(this, ch, client, LoadLE(at, 2), LoadLE(at + 2, 4), LoadLE(at + 6, 4), len,
                         bytes) == -1)
            result = -1;
    }
    if (result == -1) return -1;
    return buf->m_read_pos - start;
}
