#include "portnet/CNetDataHistory.h"

#include <new>

#include "portnet/CNetUnreliable.h"

namespace {

// The size lives in one byte and users divide by it: a count outside 1..255 is clamped into it.
int ClampCount(int count) {
    return count < 1 ? 1 : (count > 255 ? 255 : count);
}

// Deletes what the history owns unless `keep` shares the same arrays (it is a view of them).
void ReleaseOwned(CNetDataHistory& h, const CNetDataHistory* keep) {
    if (keep && h.m_entries && h.m_entries == keep->m_entries) return;
    if (h.m_entries) {
        if (h.m_owns_entries) {
            for (int i = 0; i < h.m_size; ++i)
                delete h.m_entries[i];
        }
        delete[] h.m_entries;
        h.m_entries = nullptr;
    }
    delete[] h.m_links;
    h.m_links = nullptr;
    h.m_size = 0;
}

} // namespace

CNetDataHistory::CNetDataHistory(int count, CNetUnreliable* prototype, int port_id)
    : m_owns_entries(prototype != nullptr), m_size(0), m_newest(kNoLink), m_links(nullptr),
      m_entries(nullptr), m_full_count(0), m_delta_count(0), m_owner(true) {
    const int size = ClampCount(count);
    m_links = new (std::nothrow) unsigned char[size];
    m_entries = new (std::nothrow) CNetUnreliable*[size];
    // Out of memory leaves an empty history (size 0, no arrays) rather than throwing.
    if (m_links && m_entries) {
        m_size = static_cast<unsigned char>(size);
        for (int i = 0; i < size; ++i) {
            m_links[i] = kNoLink;
            m_entries[i] = nullptr;
        }
    } else {
        delete[] m_links;
        delete[] m_entries;
        m_links = nullptr;
        m_entries = nullptr;
    }
    if (!prototype) return;
    for (int i = 0; i < m_size; ++i) {
        CNetData* copy = prototype->Clone();
        auto* entry = dynamic_cast<CNetUnreliable*>(copy);
        // Only a fresh object of the unreliable kind may become an entry; anything else
        // (null, the prototype itself, a pointer already stored) is never owned twice.
        bool fresh = entry && entry != prototype;
        for (int j = 0; fresh && j < i; ++j)
            fresh = m_entries[j] != entry;
        if (!fresh) {
            if (copy && copy != prototype && !entry) delete copy;
            continue;
        }
        entry->m_port_id = port_id;
        m_entries[i] = entry;
    }
    delete prototype;
}

CNetDataHistory::~CNetDataHistory() {
    if (m_owner) ReleaseOwned(*this, nullptr);
}

// A copy shares the arrays and entries but does not own them: only the original frees them.
CNetDataHistory::CNetDataHistory(const CNetDataHistory& other)
    : m_owns_entries(other.m_owns_entries), m_size(other.m_size), m_newest(other.m_newest),
      m_links(other.m_links), m_entries(other.m_entries), m_full_count(other.m_full_count),
      m_delta_count(other.m_delta_count), m_owner(false) {}

// The target becomes a view of the source. What it owned is freed first, unless the source is a
// view of the same arrays, in which case the target stays their owner.
CNetDataHistory& CNetDataHistory::operator=(const CNetDataHistory& other) {
    if (this == &other) return *this;
    const bool keeps_ownership =
        m_owner && !other.m_owner && m_entries && m_entries == other.m_entries;
    if (m_owner) ReleaseOwned(*this, &other);
    m_owns_entries = other.m_owns_entries;
    m_size = other.m_size;
    m_newest = other.m_newest;
    m_links = other.m_links;
    m_entries = other.m_entries;
    m_full_count = other.m_full_count;
    m_delta_count = other.m_delta_count;
    m_owner = keeps_ownership;
    return *this;
}

void CNetDataHistory::InitLink() {
    m_newest = kNoLink;
}

// Indices outside the link array are ignored (GetLink answers the end of chain), so a chain only
// ever holds valid indices or the end marker.
void CNetDataHistory::SetLink(unsigned char index) {
    if (!m_links || index >= m_size) return;
    m_links[index] = m_newest;
    m_newest = index;
}

void CNetDataHistory::FixLink(unsigned char index, unsigned char next) {
    if (!m_links || index >= m_size) return;
    if (next != kNoLink && next >= m_size) return;
    m_links[index] = next;
}

unsigned char CNetDataHistory::GetLink(unsigned char index) const {
    if (!m_links || index >= m_size) return kNoLink;
    return m_links[index];
}
