// The five frame steps and the routing of one received datagram. Nothing here allocates.
#include "portnet/CNetManager.h"

#include <cstdint>
#include <cstdlib>

#include "portnet/CNetBuf.h"
#include "portnet/CNetClient.h"
#include "portnet/CNetData.h"
#include "portnet/CNetDataHistory.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDriver.h"
#include "portnet/CNetFrameHash.h"
#include "portnet/CNetTime.h"
#include "portnet/CNetUnreliable.h"

#include "client/NetWrap.h"
#include "data/HistorySlot.h"
#include "manager/ClientIndex.h"

namespace {

using portnet::WrapAdd;
using portnet::WrapSub;

// Calls step(slot) on every used slot in slot order; the first -1 ends the walk. Only used
// slots are visited. A step may add or remove clients: the walk goes on from the next used
// slot above the one just visited, as a walk over every slot would.
template <typename Step> int ForEachUsed(const portnet::ClientIndex& index, Step step) {
    const int* used = index.Used();
    for (int k = 0; k < index.NumUsed();) {
        const int slot = used[k];
        if (step(slot) == -1) return -1;
        k = k < index.NumUsed() && used[k] == slot ? k + 1 : index.After(slot);
    }
    return 1;
}

} // namespace

template <typename Step>
static int ForEachClient(SNetClientSlot* slots, const portnet::ClientIndex& index, Step step) {
    return ForEachUsed(index, [&](int slot) { return step(slots[slot].m_client); });
}

// Every frame step answers -1 before Init: there is no table, buffer or port to work on.

int CNetManager::BeginFrame() {
    if (!m_clients) return -1;
    const int t = CNetTime::GetTime();
    if (m_time == -1) m_time = t;
    m_delta_time = WrapSub(t, m_time);
    m_time = t;
    return ForEachClient(m_clients, *m_index, [](CNetClient* c) { return c->BeginFrame(); });
}

int CNetManager::Read() {
    if (!m_clients || !m_buf) return -1;
    // Clients that got their send buffer since they were entered are found from here on.
    SyncIndex();
    for (;;) {
        const int r = subRead(m_buf, -1);
        if (r == -1) return -1;
        if (r == 0) break;
    }
    return ForEachUsed(*m_index, [this](int i) {
        // Checked on every round: a hook may take the client out while its buffer drains.
        while (m_clients[i].m_used && m_clients[i].m_client->m_recv_buf) {
            const int r = subRead(m_clients[i].m_client->m_recv_buf, i);
            if (r == -1) return -1;
            if (r == 0) break;
        }
        return 1;
    });
}

int CNetManager::subRead(CNetBuf* buf, int slot) {
    // A given slot must hold a client: the datagram goes to it without an address check.
    if (!buf || !m_clients) return -1;
    if (slot != -1 && (!IsSlot(slot) || !m_clients[slot].m_used)) return -1;

    const int r = buf->Recv();
    if (r == -1) return -1;
    if (r == 0) return 0;
    // One draw per receive, also at a drop rate of 0, so the generator's sequence does not
    // depend on the setting.
    if (std::rand() % 100 < m_drop_rate) return 1;

    CNetFrameHash* const hash = m_frame_hash;
    if (r >= kNetEventBase) {
        const int named = Lookup(buf->Addr());
        if (hash) hash->Add(CNetFrameHash::kEvent, r, named, nullptr, 0);
        return DispatchEvent(r, named) == -1 ? -1 : 1;
    }
    // Anything below 0 other than -1 is no length we could route.
    if (r < 0) return -1;

    if (buf->GetChannel() > 0) {
        if (hash)
            hash->Add(CNetFrameHash::kOutOfBand, buf->GetChannel(), r, buf->m_data,
                      r < CNetBuf::kDataSize ? r : CNetBuf::kDataSize);
        return ReadOutOfBand(buf) == -1 ? -1 : 1;
    }

    if (slot == -1) {
        slot = Lookup(buf->Addr());
        if (slot == -1) {
            slot = CreateClient(buf);
            if (hash) hash->Add(CNetFrameHash::kNewClient, slot, r, nullptr, 0);
            if (slot == -1) return 1;
            // The hook must name a used slot; anything else is its error, not a peer's.
            if (!IsSlot(slot) || !m_clients[slot].m_used) return -1;
            // The hook may have given the new client its buffers after entering it; the
            // sender's next datagram in this drain must find it.
            m_index->Bind(slot, m_clients[slot].m_client, m_index->MatchPorts());
        }
    }
    CNetClient* client = m_clients[slot].m_client;
    client->m_bytes_in = WrapAdd(client->m_bytes_in, r);
    const int result = client->Read(buf);
    if (hash) hash->Add(CNetFrameHash::kDatagram, slot, result, nullptr, 0);
    return result == -1 ? -1 : r;
}

int CNetManager::Update(bool interpolate) {
    if (!m_clients) return -1;
    if (interpolate) {
        for (int i = 0; i < m_num_ports; ++i) {
            CNetData* o = m_ports[i].m_object;
            if (!o || !o->m_active || o->m_reliable || o->m_block) continue;
            if (!static_cast<CNetUnreliable*>(o)->m_interpolate) continue;
            if (Interp(i, m_delta_time) == -1) return -1;
        }
    }
    for (int i = 0; i < m_num_ports; ++i) {
        CNetData* o = m_ports[i].m_object;
        if (o && o->m_active && o->Update(interpolate) == -1) return -1;
    }
    return ForEachClient(m_clients, *m_index,
                         [interpolate](CNetClient* c) { return c->Update(interpolate); });
}

int CNetManager::Write() {
    if (!m_clients) return -1;
    for (int i = 0; i < m_num_ports; ++i) {
        CNetData* o = m_ports[i].m_object;
        if (!o || !o->m_active || o->m_reliable || o->m_block) continue;
        CNetUnreliable* u = static_cast<CNetUnreliable*>(o);
        const CNetDataHistory* h = m_ports[i].m_writing_history;
        // A history without entries is treated as absent.
        if (h && h->m_size > 0 && h->m_entries) {
            CNetUnreliable* entry =
                h->m_entries[portnet::HistorySlot(static_cast<std::uint32_t>(m_frame), h->m_size)];
            if (entry) entry->CopyFrom(u);
        }
        if (u->m_life_time == -2) u->m_life_time = 0;
    }
    // Every driver the clients send through holds their datagrams until all have written,
    // then lets them go together: one system call for the frame where the driver can.
    SendingDrivers(nullptr);
    CNetDriver* const* drivers = m_index->Drivers();
    const int num_drivers = m_index->NumDrivers();
    for (int i = 0; i < num_drivers; ++i)
        drivers[i]->HoldSends();
    const int written =
        ForEachClient(m_clients, *m_index, [](CNetClient* c) { return c->Write(); });
    bool refused = false;
    for (int i = 0; i < num_drivers; ++i)
        refused |= drivers[i]->FlushSends() == -1;
    if (written == -1) return -1;
    m_frame = WrapAdd(m_frame, 1);
    return refused ? -1 : 1; // a refused datagram is lost; the host hears of it here
}

int CNetManager::SendingDrivers(CNetDriver** out) const {
    if (!m_clients) return 0;
    portnet::ClientIndex& index = *m_index;
    index.ClearDrivers();
    index.AddDriver(m_buf ? m_buf->m_driver : nullptr);
    const int* used = index.Used();
    for (int k = 0, n = index.NumUsed(); k < n; ++k) {
        const CNetClient* c = m_clients[used[k]].m_client;
        if (c->m_send_buf) index.AddDriver(c->m_send_buf->m_driver);
    }
    const int n = index.NumDrivers();
    for (int i = 0; out != nullptr && i < n; ++i)
        out[i] = index.Drivers()[i];
    return n;
}

int CNetManager::EndFrame() {
    if (!m_clients) return -1;
    for (int i = 0; i < m_num_ports; ++i) {
        CNetData* o = m_ports[i].m_object;
        if (!o || !o->m_active) continue;
        if (o->m_life_time >= 0) {
            o->m_life_time = WrapSub(o->m_life_time, m_delta_time);
            if (o->m_life_time <= 0) ReleasePort(i);
        }
        o->m_received = false;
    }
    return ForEachClient(m_clients, *m_index, [](CNetClient* c) { return c->EndFrame(); });
}
