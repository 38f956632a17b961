// Priority shares: weighted fair queueing of a packet's room among the shared ports.
//
// Plain priority order starves the least important states on a narrow link; the older remedy,
// one priority step per packet missed, flattens the priorities there (every state waits its
// turn in a round, the most important one as long as the scenery). Here each port gets a
// share of the bytes instead, by weight: the weight halves for every m_share_halving steps a
// port's priority is below the top one. The ports at the top priority keep their weighted
// share whole (with the default of one step: at least half the bytes between them, whatever
// the number of ports); every other port gives an eighth of its share to a pool divided
// evenly among them, which is what keeps the least important ones moving.
//
// The scheduler is a weighted fair queue of the WF2Q+ family, run once per packet. A shared
// schedule (the clock) advances by the bytes sent; each record is placed on it from its start
// (the port's last finish, or the clock if that is earlier: a port that had nothing to say
// saves nothing up) to its finish, start + bytes / share. Ports whose start has come are
// offered room first, by their finish if sent now, so a large share means a short wait; the
// others follow by the same finish, so room nobody due could use is not wasted. A port served
// beyond its share while others had no use for the room owes at most one record for it: its
// finish is held within one record of the clock, or a link that narrows would hold it back
// for everything it took while it was wide.
//
// When a packet had room for every port that wanted some, there was no contest: the clock
// moves past every finish and the next packet starts from equal tags, in plain priority
// order, so a link wide enough for every state sees the bytes of a writer without shares.
#include "client/PriorityShares.h"

#include "portnet/CNetClient.h"
#include "portnet/CNetData.h"

namespace portnet {

namespace {

using State = CNetClient::SShareState;

constexpr int kWhole = 65536;            // a whole share
constexpr int kEvenPart = 8;             // below the top, 1/8 of each share is pooled
constexpr int kMaxHalvings = 30;         // weights below 2^-30 of the top one stay there
constexpr int kMinGrant = 64;            // a block's turn takes at least this much room
constexpr unsigned char kNoPlace = 0xff; // a port not in this packet's order
static_assert(CNetClient::kMaxPorts <= kNoPlace, "places must fit below the marker");

// Length of a record of bytes on the shared schedule.
long long Span(int bytes, int share) {
    return static_cast<long long>(bytes) * kWhole / share;
}

long long Start(const State& s, int port) {
    return s.m_finish[port] > s.m_clock ? s.m_finish[port] : s.m_clock;
}

// Weight of a priority below the top one: 2^30 halved once per `halving` steps below it.
unsigned long long Weight(long long top, int priority, int halving) {
    const long long halvings = (top - priority) / halving;
    return 1ull << (kMaxHalvings - (halvings > kMaxHalvings ? kMaxHalvings : halvings));
}

// The place of a port in this packet's order, or -1.
int PlaceOf(const State& s, int port) {
    if (s.m_count <= 0 || port < 0 || port >= CNetClient::kMaxPorts) return -1;
    const int place = s.m_place[port];
    return place < s.m_count && s.m_port[place] == port ? place : -1;
}

} // namespace

bool SharesOn(const CNetClient* c) {
    return c->m_priority_aging && c->m_share_halving > 0;
}

void SharesOrder(CNetClient* c, CNetData** list, const int* priorities, int count) {
    State& s = c->m_shares;
    s.m_count = 0;
    s.m_used = 0;
    s.m_scarce = false;
    if (!SharesOn(c) || count <= 0 || count > CNetClient::kMaxPorts) return;
    long long top = priorities[0];
    for (int i = 1; i < count; ++i)
        if (priorities[i] > top) top = priorities[i];
    unsigned long long total = 0, below = 0; // at most 255 * 2^30: no overflow
    int lower = 0;                           // ports below the top priority
    long long sizes = 0;
    int sized = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned long long w = Weight(top, priorities[i], c->m_share_halving);
        total += w;
        if (priorities[i] < top) below += w, ++lower;
        const int size = s.m_size[list[i]->m_port_id];
        if (size > 0) sizes += size, ++sized;
    }
    // A port never sent is expected to be as large as the others: taken as empty, it would
    // come before every port that has a record on the schedule.
    const int usual = sized > 0 ? static_cast<int>(sizes / sized) : 1;
    for (int i = 0; i < CNetClient::kMaxPorts; ++i)
        s.m_place[i] = kNoPlace;

    // Shares and keys, then an insertion sort: ports whose start has come first, each group by
    // its key; equal ones keep the writer's order (priority, then port number). After a packet
    // with room for all, the writer's order stands as it is.
    for (int i = 0; i < count; ++i) {
        CNetData* obj = list[i];
        const int port = obj->m_port_id; // 0..254: the writer lists no other
        const unsigned long long w = Weight(top, priorities[i], c->m_share_halving);
        // The top priority keeps its weighted share; the others pool an eighth of theirs,
        // shared evenly among them.
        long long share = static_cast<long long>(kWhole * w / total);
        if (priorities[i] < top) {
            const long long pool = static_cast<long long>(kWhole * below / total);
            share = share - share / kEvenPart + pool / kEvenPart / lower;
        }
        s.m_share[port] = share < 1 ? 1 : static_cast<int>(share);
        const int size = s.m_size[port] > 0 ? s.m_size[port] : usual;
        const long long key = Start(s, port) + Span(size, s.m_share[port]);
        const bool due = s.m_finish[port] <= s.m_clock;
        int j = i;
        for (; s.m_contest && j > 0; --j) {
            const int before = s.m_port[j - 1];
            const bool before_due = s.m_finish[before] <= s.m_clock;
            if (before_due && !due) break;
            if (before_due == due && s.m_key[j - 1] <= key) break;
            list[j] = list[j - 1];
            s.m_key[j] = s.m_key[j - 1];
            s.m_port[j] = s.m_port[j - 1];
        }
        list[j] = obj;
        s.m_key[j] = key;
        s.m_port[j] = static_cast<unsigned char>(port);
    }
    for (int i = 0; i < count; ++i)
        s.m_place[s.m_port[i]] = static_cast<unsigned char>(i);
    s.m_count = count;
}

int SharesGrant(const CNetClient* c, int port, int room) {
    if (room <= 0) return 0;
    const State& s = c->m_shares;
    const int place = PlaceOf(s, port);
    // Outside an ordered packet, or the last in it: everything that is left.
    if (!SharesOn(c) || place < 0 || place + 1 >= s.m_count) return room;
    // As much as keeps its finish before the next port's, as if it were sent in pieces.
    const long long span = s.m_key[place + 1] - Start(s, port);
    long long grant = span > 0 ? span * s.m_share[port] / kWhole : 0;
    if (grant < kMinGrant) grant = kMinGrant;
    return grant < room ? static_cast<int>(grant) : room;
}

void SharesUsed(CNetClient* c, int port, int bytes, bool wanted_more) {
    State& s = c->m_shares;
    if (PlaceOf(s, port) < 0) return;
    if (wanted_more) s.m_scarce = true;
    if (bytes <= 0) return;
    s.m_finish[port] = Start(s, port) + Span(bytes, s.m_share[port]);
    s.m_size[port] = bytes;
    s.m_used += bytes;
}

void SharesEnd(CNetClient* c) {
    State& s = c->m_shares;
    if (s.m_count <= 0) return;
    const long long was = s.m_clock;
    long long clock = was;
    if (!s.m_scarce) {
        // Nobody wanted more: the next packet starts from equal tags.
        for (int i = 0; i < s.m_count; ++i)
            if (s.m_finish[s.m_port[i]] > clock) clock = s.m_finish[s.m_port[i]];
    } else {
        // The clock runs at the bytes sent, and never behind the earliest start.
        long long shares = 0;
        long long least = -1;
        for (int i = 0; i < s.m_count; ++i) {
            const int port = s.m_port[i];
            shares += s.m_share[port];
            const long long start = Start(s, port);
            if (least < 0 || start < least) least = start;
        }
        clock = was + static_cast<long long>(s.m_used) * kWhole / (shares > 0 ? shares : 1);
        if (least > clock) clock = least;
        for (int i = 0; i < s.m_count; ++i) {
            const int port = s.m_port[i];
            const int size = s.m_size[port] > 0 ? s.m_size[port] : 1;
            const long long limit = clock + Span(size, s.m_share[port]);
            if (s.m_finish[port] > limit) s.m_finish[port] = limit;
        }
    }
    s.m_clock = clock;
    s.m_contest = s.m_scarce;
    s.m_count = 0;
}

} // namespace portnet
