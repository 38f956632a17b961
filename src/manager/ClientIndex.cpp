#include "manager/ClientIndex.h"

#include <cstring>
#include <new>

#include "portnet/CNetBuf.h"
#include "portnet/CNetClient.h"

namespace portnet {

namespace {

// The key of an address: the port counts where the manager matches ports (a loopback id
// always, as CNetAddr hashes and compares it).
CNetAddr KeyOf(const CNetAddr& a, bool match_ports) {
    CNetAddr key = a;
    if (!match_ports && !key.IsLocal()) key.SetPort(0);
    return key;
}

std::uint32_t PowerOfTwoAtLeast(std::uint32_t n) {
    std::uint32_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

// Spreads the drivers' pointers over their set.
std::uint32_t Mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x);
}

} // namespace

bool ClientIndex::Indexable(const CNetClient* c) {
    return c != nullptr && c->m_recv_buf == nullptr && c->m_send_buf != nullptr;
}

ClientIndex::~ClientIndex() {
    Release();
}

void ClientIndex::Release() {
    delete[] m_used;
    delete[] m_keys;
    delete[] m_watched;
    delete[] m_watch_at;
    delete[] m_entries;
    delete[] m_tags;
    delete[] m_drivers;
    delete[] m_driver_set;
    delete[] m_driver_at;
    m_used = nullptr;
    m_keys = nullptr;
    m_watched = m_watch_at = nullptr;
    m_entries = nullptr;
    m_tags = nullptr;
    m_drivers = nullptr;
    m_driver_set = nullptr;
    m_driver_at = nullptr;
    m_slots = m_num_used = m_num_drivers = m_num_watched = 0;
}

bool ClientIndex::Make(int slots) {
    Release();
    const std::uint32_t entries = PowerOfTwoAtLeast(2u * static_cast<std::uint32_t>(slots));
    const std::uint32_t driver_entries =
        PowerOfTwoAtLeast(2u * static_cast<std::uint32_t>(slots) + 2u);
    m_used = new (std::nothrow) int[slots];
    m_keys = new (std::nothrow) SlotKey[slots];
    m_watched = new (std::nothrow) int[slots];
    m_watch_at = new (std::nothrow) int[slots];
    m_entries = new (std::nothrow) Entry[entries];
    m_tags = new (std::nothrow) std::uint8_t[entries]();
    m_drivers = new (std::nothrow) CNetDriver*[slots + 1];
    m_driver_set = new (std::nothrow) CNetDriver*[driver_entries]();
    m_driver_at = new (std::nothrow) std::uint32_t[slots + 1];
    if (!m_used || !m_keys || !m_watched || !m_watch_at || !m_entries || !m_tags || !m_drivers ||
        !m_driver_set || !m_driver_at) {
        Release();
        return false;
    }
    m_slots = slots;
    for (int i = 0; i < slots; ++i) {
        m_keys[i] = SlotKey{nullptr, CNetAddr(), -1};
        m_watch_at[i] = -1;
    }
    for (std::uint32_t i = 0; i < entries; ++i)
        m_entries[i] = Entry{CNetAddr(), 0, -1};
    m_mask = entries - 1;
    m_driver_mask = driver_entries - 1;
    // A sender chooses its address; a seed it cannot know keeps it from piling its addresses
    // onto one run of entries.
    m_seed = NetAddrHashSeed();
    return true;
}

void ClientIndex::Use(int slot) {
    int k = m_num_used;
    while (k > 0 && m_used[k - 1] > slot) {
        m_used[k] = m_used[k - 1];
        --k;
    }
    m_used[k] = slot;
    ++m_num_used;
}

void ClientIndex::Free(int slot) {
    int k = After(slot) - 1;
    if (k < 0 || m_used[k] != slot) return;
    for (; k + 1 < m_num_used; ++k)
        m_used[k] = m_used[k + 1];
    --m_num_used;
}

int ClientIndex::After(int slot) const {
    int lo = 0, hi = m_num_used;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (m_used[mid] <= slot)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

int ClientIndex::LowestFree() const {
    if (m_num_used == m_slots) return -1;
    // Below the first gap, position k holds slot k; the gap is found by halving.
    int lo = 0, hi = m_num_used;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (m_used[mid] == mid)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

std::uint32_t ClientIndex::HashOf(const CNetAddr& key) const {
    return static_cast<std::uint32_t>(key.Hash(m_seed, true));
}

std::uint8_t ClientIndex::Tag(std::uint32_t hash) {
    // The top bits of the hash, which the home entry does not use below 2^24 entries; never
    // 0, which marks an empty entry.
    const std::uint8_t tag = static_cast<std::uint8_t>(hash >> 24);
    return tag != 0 ? tag : 1;
}

int ClientIndex::Locate(const CNetAddr& key, std::uint32_t hash) const {
    // A byte per entry: a stranger is turned away by the tags alone (one cache line for a
    // run of 64 entries), and only a matching tag costs a look at the entry.
    const std::uint8_t tag = Tag(hash);
    for (std::uint32_t i = hash & m_mask; m_tags[i] != 0; i = (i + 1) & m_mask)
        if (m_tags[i] == tag && m_entries[i].key == key) return static_cast<int>(i);
    return -1;
}

void ClientIndex::Erase(int at) {
    // Backward shift: entries after the hole move up when their home lies at or before it,
    // so every probe run stays unbroken without markers of deleted entries.
    std::uint32_t hole = static_cast<std::uint32_t>(at);
    for (std::uint32_t i = (hole + 1) & m_mask; m_tags[i] != 0; i = (i + 1) & m_mask) {
        const std::uint32_t home = m_entries[i].hash & m_mask;
        if (((i - home) & m_mask) >= ((i - hole) & m_mask)) {
            m_entries[hole] = m_entries[i];
            m_tags[hole] = m_tags[i];
            hole = i;
        }
    }
    m_entries[hole].head = -1;
    m_tags[hole] = 0;
}

void ClientIndex::Watch(int slot) {
    m_watch_at[slot] = m_num_watched;
    m_watched[m_num_watched++] = slot;
}

void ClientIndex::Unwatch(int slot) {
    const int at = m_watch_at[slot];
    if (at == -1) return;
    const int moved = m_watched[--m_num_watched];
    m_watched[at] = moved;
    m_watch_at[moved] = at;
    m_watch_at[slot] = -1;
}

void ClientIndex::Bind(int slot, const CNetClient* client, bool match_ports) {
    Unbind(slot);
    if (!Indexable(client)) return Watch(slot);
    SlotKey& s = m_keys[slot];
    s.buf = client->m_send_buf;
    s.key = KeyOf(client->m_send_buf->Addr(), match_ports);
    s.next = -1;
    const std::uint32_t hash = HashOf(s.key);
    const int at = Locate(s.key, hash);
    if (at == -1) {
        std::uint32_t i = hash & m_mask;
        while (m_tags[i] != 0)
            i = (i + 1) & m_mask;
        m_entries[i] = Entry{s.key, hash, slot};
        m_tags[i] = Tag(hash);
        return;
    }
    // Several clients under one key (one address, ports not matched): kept ascending, so the
    // head is the lowest slot, as a scan in slot order would find.
    int& head = m_entries[at].head;
    if (slot < head) {
        s.next = head;
        head = slot;
        return;
    }
    int p = head;
    while (m_keys[p].next != -1 && m_keys[p].next < slot)
        p = m_keys[p].next;
    s.next = m_keys[p].next;
    m_keys[p].next = slot;
}

void ClientIndex::Unbind(int slot) {
    Unwatch(slot);
    SlotKey& s = m_keys[slot];
    if (s.buf == nullptr) return;
    const int at = Locate(s.key, HashOf(s.key));
    if (at != -1) {
        int& head = m_entries[at].head;
        if (head == slot) {
            if (s.next == -1)
                Erase(at);
            else
                head = s.next;
        } else {
            int p = head;
            while (p != -1 && m_keys[p].next != slot)
                p = m_keys[p].next;
            if (p != -1) m_keys[p].next = s.next;
        }
    }
    s = SlotKey{nullptr, CNetAddr(), -1};
}

bool ClientIndex::Stale(int slot, const CNetClient* client, bool match_ports) const {
    const SlotKey& s = m_keys[slot];
    if (!Indexable(client)) return s.buf != nullptr;
    return s.buf != client->m_send_buf || s.key != KeyOf(client->m_send_buf->Addr(), match_ports);
}

int ClientIndex::Find(const CNetAddr& addr, bool match_ports) const {
    if (m_entries == nullptr) return -1;
    const CNetAddr key = KeyOf(addr, match_ports);
    const int at = Locate(key, HashOf(key));
    return at == -1 ? -1 : m_entries[at].head;
}

void ClientIndex::ClearDrivers() {
    for (int i = 0; i < m_num_drivers; ++i)
        m_driver_set[m_driver_at[i]] = nullptr;
    m_num_drivers = 0;
}

void ClientIndex::AddDriver(CNetDriver* driver) {
    if (driver == nullptr) return;
    // Most clients share the manager's driver: the last one added is asked first.
    if (m_num_drivers > 0 && m_drivers[m_num_drivers - 1] == driver) return;
    std::uint32_t i = Mix(reinterpret_cast<std::uintptr_t>(driver)) & m_driver_mask;
    for (; m_driver_set[i] != nullptr; i = (i + 1) & m_driver_mask)
        if (m_driver_set[i] == driver) return;
    m_driver_set[i] = driver;
    m_driver_at[m_num_drivers] = i;
    m_drivers[m_num_drivers++] = driver;
}

} // namespace portnet
