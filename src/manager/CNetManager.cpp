// Setup, teardown, the client table and driver events.
#include "portnet/CNetManager.h"

#include <cstdlib>
#include <ctime>
#include <new>

#include "portnet/CNetBuf.h"
#include "portnet/CNetClient.h"
#include "portnet/CNetData.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetDriver.h"

#include "data/BlockChannel.h"
#include "manager/ClientIndex.h"

namespace {

// The arrays the manager made for a client belong to the client; they are dropped here
// only when the manager makes new ones or takes back a refused entry.
void FreeClientArrays(CNetClient* client) {
    delete[] client->m_refs;
    client->m_refs = nullptr;
    delete[] client->m_pending_ports;
    client->m_pending_ports = nullptr;
}

} // namespace

CNetManager::CNetManager()
    : m_buf(nullptr), m_num_ports(0), m_ports(nullptr), m_frame(0), m_clients(nullptr), m_time(-1),
      m_delta_time(0), m_drop_rate(0) {
    // The loss simulation draws from the standard generator; every manager reseeds it.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

CNetManager::~CNetManager() {
    CNetManager::Release();
    delete m_index;
}

int CNetManager::Slots() const {
    return m_clients && m_index ? m_index->Slots() : 0;
}

bool CNetManager::IsSlot(int slot) const {
    return slot >= 0 && slot < Slots();
}

int CNetManager::CreateClient(CNetBuf*) {
    return -1;
}

int CNetManager::DestroyClient(int) {
    return -1;
}

int CNetManager::ReadOutOfBand(CNetBuf*) {
    return 0;
}

int CNetManager::Init(CNetDriver* driver, int num_ports) {
    // Port 0 is linked into every client, and a port number travels as one byte with 255
    // reserved, so 1..255 ports; no driver means nothing could ever be received.
    if (!driver || num_ports < 1 || num_ports > CNetClient::kMaxPorts) return -1;
    const int slots = m_max_clients;
    if (slots < 1 || slots > kMaxClientsLimit) return -1;
    // A second Init without Release would leak the first buffer, ports and clients.
    CNetManager::Release();

    if (!m_index) m_index = new (std::nothrow) portnet::ClientIndex;
    m_buf = new (std::nothrow) CNetBuf(driver, nullptr);
    m_ports = new (std::nothrow) CNetDataPort[num_ports];
    m_clients = new (std::nothrow) SNetClientSlot[slots];
    if (!m_buf || !m_ports || !m_clients || !m_index || !m_index->Make(slots)) {
        // Out of memory: give back what was made and report it.
        CNetManager::Release();
        return -1;
    }
    m_num_ports = num_ports;
    for (int i = 0; i < slots; ++i) {
        m_clients[i].m_client = nullptr;
        m_clients[i].m_used = false;
    }
    m_index->SetMatchPorts(m_match_ports);
    // A larger table means more datagrams a frame; the driver may size its batches for them.
    driver->ExpectPeers(slots);
    return 1;
}

int CNetManager::Release() {
    if (m_clients) {
        for (int i = 0, n = Slots(); i < n; ++i) {
            SNetClientSlot& s = m_clients[i];
            if (s.m_used) s.m_client->Release();
            delete s.m_client;
            s.m_client = nullptr;
            s.m_used = false;
        }
        delete[] m_clients;
        m_clients = nullptr;
    }
    if (m_index) m_index->Make(0);
    if (m_ports) {
        delete[] m_ports;
        m_ports = nullptr;
        m_num_ports = 0;
    }
    if (m_buf) {
        delete m_buf;
        m_buf = nullptr;
    }
    return 1;
}

// Enters client into slot. Sets *init_failed when the client's own Init refused; the slot
// and the client are then left as they were before the call.
// The slot that holds client (used or freed), or -1. A slot that holds a client set its
// m_id and m_manager, which nothing in the library changes while the slot holds it.
static int HeldIn(const CNetManager& m, const CNetClient* client, int slots) {
    const int id = client->m_id;
    if (client->m_manager != &m || id < 0 || id >= slots) return -1;
    return m.m_clients[id].m_client == client ? id : -1;
}

int CNetManager::EnterClient(CNetClient* client, int slot, bool* init_failed) {
    CNetManager& m = *this;
    *init_failed = false;
    const int slots = Slots();
    // Not initialised, no client, or a slot number outside the table: nothing to enter.
    if (!m.m_clients || !client || !IsSlot(slot)) return -1;
    SNetClientSlot& s = m.m_clients[slot];
    if (s.m_used) return -1;
    // Port 0 of every client is its own port; without one the reader and writer would
    // reach through a missing slot.
    if (!client->m_own_port) return -1;
    // One object never stands in two slots: each slot destroys the client it holds.
    const int held = HeldIn(m, client, slots);
    if (held != -1 && held != slot) return -1;

    // Arrays from an earlier entry of the same object would leak if replaced silently.
    FreeClientArrays(client);
    const int n = m.m_num_ports;
    if (n < 1) return -1; // Init admits 1 to 255 ports; anything else makes no arrays
    client->m_refs = new (std::nothrow) CNetDataRef[n];
    // Zeroed rather than left undefined, so a stale pending count never reads garbage.
    client->m_pending_ports = new (std::nothrow) int[n]();
    if (!client->m_refs || !client->m_pending_ports) {
        FreeClientArrays(client);
        return -1;
    }

    // The former occupant is destroyed only once the new client is in for good, so a
    // refused client leaves the slot exactly as it was.
    CNetClient* former = s.m_client;
    s.m_client = client;
    s.m_used = true;
    m_index->Use(slot);
    client->m_id = slot;
    client->m_num_ports = n;
    client->m_manager = &m;
    for (int i = 0; i < n; ++i)
        client->m_refs[i].m_data_port = &m.m_ports[i];
    client->m_refs[0].m_data_port = client->m_own_port;
    if (CNetData* own = client->m_own_port->m_object) {
        own->m_port_id = 0;
        m.InitPort(own, -1);
    }

    if (client->Init() == -1) {
        // Refused: the slot gets its former state back and the client holds nothing of ours;
        // the caller still owns the refused object.
        s.m_client = former;
        s.m_used = false;
        m_index->Free(slot);
        FreeClientArrays(client);
        client->m_id = -1;
        client->m_num_ports = 0;
        client->m_manager = nullptr;
        *init_failed = true;
        return -1;
    }
    if (former != client) delete former;
    portnet::OpenChannels(client);
    // Indexed once its Init has run: the client may set up its buffers there.
    m_index->Bind(slot, client, m_index->MatchPorts());
    return slot;
}

int CNetManager::subAddClient(CNetClient* client, int slot) {
    bool init_failed;
    return EnterClient(client, slot, &init_failed);
}

int CNetManager::AddClient(CNetClient* client, int slot) {
    bool init_failed;
    if (EnterClient(client, slot, &init_failed) != -1) return slot;
    // A client whose Init refused is not offered to other slots: it would refuse again.
    if (init_failed || !m_clients || !client) return -1;
    // Every free slot answers alike but the one still holding this object, which alone may
    // take it back; otherwise the lowest free slot is the one a walk from slot 0 would find.
    const int held = HeldIn(*this, client, Slots());
    const int free_slot = held != -1 ? held : m_index->LowestFree();
    if (free_slot == -1) return -1;
    return EnterClient(client, free_slot, &init_failed) != -1 ? free_slot : -1;
}

int CNetManager::RemoveClient(int slot) {
    if (!m_clients || !IsSlot(slot) || !m_clients[slot].m_used) return -1;
    m_clients[slot].m_used = false;
    m_index->Unbind(slot);
    m_index->Free(slot);
    // The client may stay allocated until its slot is reused, its blocks not: they end now.
    portnet::ReleaseChannels(m_clients[slot].m_client, true);
    m_clients[slot].m_client->Release();
    return slot;
}

const int* CNetManager::UsedSlots(int* count) const {
    *count = m_clients ? m_index->NumUsed() : 0;
    return m_clients ? m_index->Used() : nullptr;
}

int CNetManager::GetNumClients() const {
    return m_clients ? m_index->NumUsed() : 0;
}

void CNetManager::SyncIndex() const {
    if (m_index->MatchPorts() != m_match_ports) {
        // Port matching switched since the index was built: every key changes.
        m_index->SetMatchPorts(m_match_ports);
        const int* used = m_index->Used();
        for (int k = 0, n = m_index->NumUsed(); k < n; ++k)
            m_index->Bind(used[k], m_clients[used[k]].m_client, m_match_ports);
        return;
    }
    // Only clients that could not be indexed so far are looked at: one that got its send
    // buffer (or lost its own receive buffer) since is indexed now. Walked from the end, as
    // indexing one takes it out of the list by moving the last entry into its place. A watched
    // slot is indexed under nothing: it is stale exactly when its client can be indexed now,
    // which the client alone tells (a host reading hundreds of own buffers touches no key).
    const int* watched = m_index->Watched();
    for (int k = m_index->NumWatched() - 1; k >= 0; --k) {
        const int slot = watched[k];
        const CNetClient* c = m_clients[slot].m_client;
        if (portnet::ClientIndex::Indexable(c)) m_index->Bind(slot, c, m_match_ports);
    }
}

int CNetManager::Lookup(const CNetAddr& addr) const {
    if (m_index->MatchPorts() != m_match_ports) SyncIndex();
    // A client found must still have the address it was indexed under; one that changed is
    // indexed again and the search repeated. Each repeat settles one slot, so it ends.
    for (int tries = 0, n = m_index->NumUsed(); tries <= n; ++tries) {
        const int slot = m_index->Find(addr, m_match_ports);
        if (slot == -1) return -1;
        const CNetClient* c = m_clients[slot].m_client;
        if (!m_index->Stale(slot, c, m_match_ports)) return slot;
        m_index->Bind(slot, c, m_match_ports);
    }
    return -1;
}

int CNetManager::FindClient(const sockaddr_in* addr) const {
    if (!m_clients || !addr) return -1;
    return Lookup(CNetAddr::FromSockaddrIn(*addr));
}

int CNetManager::FindClient(const CNetAddr& addr) const {
    if (!m_clients) return -1;
    return Lookup(addr);
}

int CNetManager::RebindClient(int slot) {
    if (!m_clients || !IsSlot(slot) || !m_clients[slot].m_used) return -1;
    m_index->Bind(slot, m_clients[slot].m_client, m_index->MatchPorts());
    return 1;
}

int CNetManager::DispatchEvent(int event, int slot) {
    if (slot == -1) return 2;
    if (event != kNetEventDisconnect) return -1;
    // Anything but a used slot names no client to tell.
    if (!m_clients || !IsSlot(slot) || !m_clients[slot].m_used) return -1;
    return m_clients[slot].m_client->Disconnected() == -1 ? -1 : 2;
}
