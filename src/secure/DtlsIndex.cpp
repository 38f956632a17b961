// The session index of CNetDtls: linear probing with backward-shift deletion (no tombstones,
// so probe chains never grow with churn).
#include "secure/DtlsIndex.h"

#include <new>

CDtlsIndex::~CDtlsIndex() {
    delete[] m_slots;
}

bool CDtlsIndex::Init(int max_entries, std::uint64_t salt) {
    unsigned size = 4;
    while (size < 2u * static_cast<unsigned>(max_entries))
        size <<= 1;
    // Made before the old table goes: out of memory leaves the index as it was.
    SEntry* slots = new (std::nothrow) SEntry[size];
    if (slots == nullptr) return false;
    delete[] m_slots;
    m_slots = slots;
    for (unsigned i = 0; i < size; ++i)
        m_slots[i] = SEntry{CNetAddr(), 0, -1};
    m_mask = size - 1;
    m_count = 0;
    m_max = max_entries;
    m_salt = salt;
    return true;
}

// Every part of the endpoint counts: a session belongs to one address and port.
unsigned CDtlsIndex::Home(const CNetAddr& key) const {
    return static_cast<unsigned>(key.Hash(m_salt, true)) & m_mask;
}

int CDtlsIndex::Insert(const CNetAddr& addr, int value) {
    if (m_slots == nullptr || m_count >= m_max || value < 0) return -1;
    const unsigned home = Home(addr);
    unsigned i = home;
    while (m_slots[i].m_value != -1)
        i = (i + 1) & m_mask;
    m_slots[i] = SEntry{addr, home, value};
    ++m_count;
    return 0;
}

int CDtlsIndex::Remove(const CNetAddr& addr, int value) {
    if (m_slots == nullptr) return -1;
    unsigned i = Home(addr);
    for (; m_slots[i].m_value != -1; i = (i + 1) & m_mask)
        if (m_slots[i].m_value == value && m_slots[i].m_key == addr) break;
    if (m_slots[i].m_value == -1) return -1;
    // Shift back every later entry of the run that may sit in the hole (its home is not
    // cyclically between the hole and its place).
    for (unsigned hole = i, j = (i + 1) & m_mask; m_slots[j].m_value != -1; j = (j + 1) & m_mask) {
        const unsigned home = m_slots[j].m_home;
        if (((j - home) & m_mask) >= ((j - hole) & m_mask)) {
            m_slots[hole] = m_slots[j];
            hole = j;
        }
        i = hole;
    }
    m_slots[i].m_value = -1;
    --m_count;
    return 0;
}

int CDtlsIndex::Find(const CNetAddr& addr, int* out, int max) const {
    if (m_slots == nullptr) return 0;
    int n = 0;
    for (unsigned i = Home(addr); m_slots[i].m_value != -1 && n < max; i = (i + 1) & m_mask)
        if (m_slots[i].m_key == addr) out[n++] = m_slots[i].m_value;
    return n;
}
