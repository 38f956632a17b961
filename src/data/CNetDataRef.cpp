#include "portnet/CNetDataRef.h"

namespace {

// Sequences are never negative in use; a negative one still maps into the ring.
int HashSlot(int seq) {
    const int slot = seq % CNetDataRef::kHashSize;
    return slot < 0 ? slot + CNetDataRef::kHashSize : slot;
}

} // namespace

CNetDataRef::CNetDataRef()
    : m_data_port(nullptr), m_read_enabled(false), m_write_enabled(false), m_send_age(true),
      m_base_seq(-1) {
    for (int i = 0; i < kHashSize; ++i) {
        m_hash_frames[i] = -1;
        m_hash_seqs[i] = -1;
    }
}

CNetDataRef::~CNetDataRef() = default;

// Each slot remembers only the last sequence stored in it; the key tells a stale slot apart.
void CNetDataRef::SetHash(int value, int seq) {
    const int slot = HashSlot(seq);
    m_hash_seqs[slot] = seq;
    m_hash_frames[slot] = value;
}

void CNetDataRef::InvalidateHash(int seq) {
    const int slot = HashSlot(seq);
    m_hash_seqs[slot] = -1;
    m_hash_frames[slot] = -1;
}

int CNetDataRef::GetHash(int seq) const {
    const int slot = HashSlot(seq);
    return m_hash_seqs[slot] == seq ? m_hash_frames[slot] : -1;
}
