// Ports: placing, starting and stopping data objects, the two histories, interpolation.
#include "portnet/CNetManager.h"

#include <cstdint>

#include "client/NetWrap.h"
#include "data/BlockChannel.h"
#include "portnet/CNetBlockStream.h"
#include "portnet/CNetData.h"
#include "portnet/CNetDataHistory.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetUnreliable.h"

namespace {

constexpr unsigned char kEnd = CNetDataHistory::kNoLink;

// A history without entries or arrays is treated as absent everywhere.
bool Usable(const CNetDataHistory* h) {
    return h && h->m_size > 0 && h->m_entries && h->m_links;
}

// Entry idx of h, or null when idx ends the chain, lies outside the ring or holds no state.
CNetUnreliable* Entry(const CNetDataHistory* h, unsigned idx) {
    return idx < h->m_size ? h->m_entries[idx] : nullptr;
}

// Time stamps may be anywhere in the int range; keep their arithmetic free of overflow.
using portnet::WrapAdd;
using portnet::WrapSub;

} // namespace

// Every port operation by number answers -1 (or null) for a number outside the ports.
static CNetDataPort* PortAt(CNetManager& m, int port) {
    if (!m.m_ports || port < 0 || port >= m.m_num_ports) return nullptr;
    return &m.m_ports[port];
}

int CNetManager::SetPortA(int port, CNetData* object) {
    CNetDataPort* p = PortAt(*this, port);
    if (!p) return -1;
    // A replaced object is neither released nor destroyed: it goes back to the caller.
    p->m_object = object;
    if (object) object->m_port_id = port;
    // A block stream gets its channel to every client now, not in the frame of its first use.
    if (object && object->m_block && m_clients) {
        int count = 0;
        const int* used = UsedSlots(&count);
        for (int k = 0; k < count; ++k)
            portnet::FindChannel(m_clients[used[k]].m_client, static_cast<CNetBlockStream*>(object),
                                 true);
    }
    return 1;
}

int CNetManager::InitPort(int port, int life_time) {
    CNetDataPort* p = PortAt(*this, port);
    if (!p || !p->m_object) return -1;
    return InitPort(p->m_object, life_time);
}

int CNetManager::InitPort(CNetData* object, int life_time) {
    if (!object) return -1;
    object->m_life_time = life_time;
    object->m_init_toggle = object->m_init_toggle == 0 ? 1 : 0;
    object->m_time = -1;
    object->m_active = true;
    // An unbound object has no port whose playback could restart.
    if (CNetDataPort* p = PortAt(*this, object->m_port_id)) p->m_interp_time = -1;
    return object->Created();
}

int CNetManager::ReleasePort(int port) {
    CNetDataPort* p = PortAt(*this, port);
    if (!p || !p->m_object) return -1;
    return ReleasePort(p->m_object);
}

int CNetManager::ReleasePort(CNetData* object) {
    if (!object || !object->m_active) return -1;
    // Inactive first, so Destroyed never runs twice without a start in between.
    object->m_active = false;
    return object->Destroyed();
}

CNetUnreliable* CNetManager::GetWritingHistory(int port, int age) {
    CNetDataPort* p = PortAt(*this, port);
    if (!p || !Usable(p->m_writing_history)) return nullptr;
    const int f = WrapSub(m_frame, age);
    if (f < 0) return nullptr;
    const CNetDataHistory* h = p->m_writing_history;
    return h->m_entries[f % h->m_size];
}

CNetUnreliable* CNetManager::GetReadingHistory(int port, int age) {
    CNetDataPort* p = PortAt(*this, port);
    if (!p || !Usable(p->m_reading_history)) return nullptr;
    const CNetDataHistory* h = p->m_reading_history;
    unsigned idx = h->m_newest;
    for (int i = 0; i < age; ++i) {
        // A link outside the ring ends the chain as 255 does.
        if (idx >= h->m_size) return nullptr;
        idx = h->m_links[idx];
    }
    return Entry(h, idx);
}

int CNetManager::Interp(int port, int elapsed) {
    CNetDataPort* p = PortAt(*this, port);
    if (!p) return -1;
    CNetDataHistory* h = p->m_reading_history;
    if (!Usable(h) || !Entry(h, h->m_newest)) return 0;
    // Only an unreliable object can blend; a port without one has nothing to play back into.
    if (!p->m_object || p->m_object->m_reliable || p->m_object->m_block) return -1;

    // Playback time: never beyond the newest stamp received; held back whole if it would be.
    const int t0 = p->m_interp_time == -1 ? p->m_last_time : p->m_interp_time;
    int t = WrapAdd(t0, elapsed);
    if (t > p->m_last_time) {
        t = t0;
        p->m_stalled = true;
    } else {
        p->m_stalled = false;
    }

    // Walk at most two links from the newest arrival to the first state at or before t.
    // A state missing from the ring ends the chain like a 255 link.
    unsigned prev = h->m_newest;
    unsigned cur = h->m_newest;
    for (int links = 0;;) {
        CNetUnreliable* c = Entry(h, cur);
        if (c->m_time <= t) break;
        if (Entry(h, prev)->m_time < c->m_time) {
            // The chain runs backwards in time here: cut it after prev.
            h->m_links[prev] = kEnd;
            cur = prev;
            break;
        }
        prev = cur;
        cur = h->m_links[cur];
        if (!Entry(h, cur)) cur = kEnd;
        if (++links == 2) {
            // Never lag more than one state behind the newest: catch up to the second-newest.
            t = Entry(h, prev)->m_time;
            break;
        }
        if (cur == kEnd) break;
    }
    p->m_interp_time = t;

    CNetUnreliable* to = Entry(h, prev);
    CNetUnreliable* from = cur == kEnd ? to : Entry(h, cur);
    float a = 1.0f;
    if (from->m_time < to->m_time) {
        a = static_cast<float>(WrapSub(t, from->m_time)) /
            static_cast<float>(WrapSub(to->m_time, from->m_time));
        if (a < 0.0f) a = 0.0f;
        if (a > 1.0f) a = 1.0f;
    }
    return static_cast<CNetUnreliable*>(p->m_object)->Interp(a, from, to, p);
}
