// The session index of CNetDtls: linear probing with backward-shift deletion (no tombstones,
// so probe chains never grow with churn).
#include "secure/DtlsIndex.h"

#include <cstring>
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
        m_slots[i] = SEntry{0, -1};
    m_mask = size - 1;
    m_count = 0;
    m_max = max_entries;
    m_salt = salt;
    return true;
}

// Family, port and IPv4 address side by side: distinct endpoints, distinct keys.
std::uint64_t CDtlsIndex::Key(const sockaddr_in& a) {
    std::uint32_t ip;
    std::memcpy(&ip, &a.sin_addr, sizeof ip);
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(a.sin_family)) << 48 |
           static_cast<std::uint64_t>(a.sin_port) << 32 | ip;
}

// Multiply-shift over the salted key, then the top bits folded down.
unsigned CDtlsIndex::Home(std::uint64_t key) const {
    std::uint64_t h = (key ^ m_salt) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    return static_cast<unsigned>(h ^ h >> 32) & m_mask;
}

int CDtlsIndex::Insert(const sockaddr_in& addr, int value) {
    if (m_slots == nullptr || m_count >= m_max || value < 0) return -1;
    const std::uint64_t key = Key(addr);
    unsigned i = Home(key);
    while (m_slots[i].m_value != -1)
        i = (i + 1) & m_mask;
    m_slots[i] = SEntry{key, value};
    ++m_count;
    return 0;
}

int CDtlsIndex::Remove(const sockaddr_in& addr, int value) {
    if (m_slots == nullptr) return -1;
    const std::uint64_t key = Key(addr);
    unsigned i = Home(key);
    for (; m_slots[i].m_value != -1; i = (i + 1) & m_mask)
        if (m_slots[i].m_key == key && m_slots[i].m_value == value) break;
    if (m_slots[i].m_value == -1) return -1;
    // Shift back every later entry of the run that may sit in the hole (its home is not
    // cyclically between the hole and its place).
    for (unsigned hole = i, j = (i + 1) & m_mask; m_slots[j].m_value != -1; j = (j + 1) & m_mask) {
        const unsigned home = Home(m_slots[j].m_key);
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

int CDtlsIndex::Find(const sockaddr_in& addr, int* out, int max) const {
    if (m_slots == nullptr) return 0;
    const std::uint64_t key = Key(addr);
    int n = 0;
    for (unsigned i = Home(key); m_slots[i].m_value != -1 && n < max; i = (i + 1) & m_mask)
        if (m_slots[i].m_key == key) out[n++] = m_slots[i].m_value;
    return n;
}
