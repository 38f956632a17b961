#include "portnet/CNetBlobState.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "portnet/CNetBuf.h"

namespace {

enum : int { kWhole = 0, kMasked = 1 };

int Groups(int size) {
    return (size + 7) / 8;
}
int GroupMaskBytes(int size) {
    return (Groups(size) + 7) / 8;
}
// Bytes of group g (the last group may be short).
int GroupWidth(int size, int g) {
    return size - g * 8 < 8 ? size - g * 8 : 8;
}
int Ones(unsigned v) {
    int n = 0;
    for (; v != 0; v &= v - 1)
        ++n;
    return n;
}
int LowestBit(unsigned v) {
    int n = 0;
    while (!(v >> n & 1u))
        ++n;
    return n;
}

} // namespace

CNetBlobState::CNetBlobState(int size) : CNetUnreliable(false) {
    if (size < 1 || size > kMaxSize) return;
    m_bytes = new (std::nothrow) unsigned char[size]();
    if (m_bytes) m_size = size;
}

CNetBlobState::~CNetBlobState() {
    delete[] m_bytes;
}

CNetBlobState::CNetBlobState(const CNetBlobState& other) : CNetUnreliable(other) {
    if (other.m_size == 0) return;
    m_bytes = new (std::nothrow) unsigned char[other.m_size];
    if (!m_bytes) return;
    std::memcpy(m_bytes, other.m_bytes, static_cast<std::size_t>(other.m_size));
    m_size = other.m_size;
}

int CNetBlobState::Set(const void* data, int len) {
    if (!data || len < 0 || len > m_size) return -1;
    std::memcpy(m_bytes, data, static_cast<std::size_t>(len));
    return 1;
}

CNetData* CNetBlobState::Clone() {
    auto* copy = new (std::nothrow) CNetBlobState(*this);
    if (copy && copy->m_size != m_size) {
        delete copy;
        return nullptr;
    }
    return copy;
}

int CNetBlobState::CopyFrom(CNetUnreliable* src) {
    const auto* b = static_cast<CNetBlobState*>(src);
    if (!b || b->m_size != m_size) return -1;
    if (m_size > 0) std::memcpy(m_bytes, b->m_bytes, static_cast<std::size_t>(m_size));
    return 1;
}

// The change from ref into rec (room for 1 + mask bytes + the blob + 8): its length, 0 when
// nothing changed, or the whole record's length when the masked one would be no shorter.
int CNetBlobState::EncodeDelta(const unsigned char* ref, unsigned char* rec) const {
    const int whole = 1 + m_size, masks = GroupMaskBytes(m_size);
    rec[0] = kMasked;
    unsigned char* groups = rec + 1;
    std::memset(groups, 0, static_cast<std::size_t>(masks));
    int len = 1 + masks;
    for (int g = 0; g < Groups(m_size); ++g) {
        const int at = g * 8, width = GroupWidth(m_size, g);
        if (width == 8) { // one comparison for the common unchanged group
            std::uint64_t a, b;
            std::memcpy(&a, m_bytes + at, 8);
            std::memcpy(&b, ref + at, 8);
            if (a == b) continue;
        } else if (std::memcmp(m_bytes + at, ref + at, static_cast<std::size_t>(width)) == 0) {
            continue;
        }
        groups[g / 8] = static_cast<unsigned char>(groups[g / 8] | 1u << (g % 8));
        unsigned char& mask = rec[len++];
        mask = 0;
        for (int k = 0; k < width; ++k) {
            if (m_bytes[at + k] == ref[at + k]) continue;
            mask = static_cast<unsigned char>(mask | 1u << k);
            rec[len++] = m_bytes[at + k];
        }
        if (len >= whole) return whole;
    }
    return len == 1 + masks ? 0 : len;
}

int CNetBlobState::Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient*) {
    if (m_size == 0 || !buf) return 0;
    const int whole = 1 + m_size;
    const auto* b = static_cast<CNetBlobState*>(base);
    if (b && b->m_size == m_size) {
        unsigned char rec[1 + (kMaxSize + 63) / 64 + kMaxSize + 8];
        const int len = EncodeDelta(b->m_bytes, rec);
        if (len == 0) return 0; // the peer holds this state already
        if (len < whole) {
            if (len > room) return len; // withdrawn: larger than the room left
            unsigned char* at = buf->WriteSpan(len);
            if (!at) return -1;
            std::memcpy(at, rec, static_cast<std::size_t>(len));
            return len;
        }
    }
    if (whole > room) return whole;
    unsigned char* at = buf->WriteSpan(whole);
    if (!at) return -1;
    at[0] = kWhole;
    std::memcpy(at + 1, m_bytes, static_cast<std::size_t>(m_size));
    return whole;
}

int CNetBlobState::Read(CNetBuf* buf, CNetUnreliable* base, CNetClient*) {
    if (m_size == 0 || !buf) return -1;
    unsigned char kind = 0;
    if (buf->ReadByte(&kind) < 0) return -1;
    if (kind == kWhole) {
        const unsigned char* bytes = buf->ReadSpan(m_size);
        if (!bytes) return -1;
        std::memcpy(m_bytes, bytes, static_cast<std::size_t>(m_size));
        return 1 + m_size;
    }
    const auto* b = static_cast<CNetBlobState*>(base);
    if (kind != kMasked || !b || b->m_size != m_size) return -1;
    const int masks = GroupMaskBytes(m_size), groups_n = Groups(m_size);
    const unsigned char* groups = buf->ReadSpan(masks);
    if (!groups) return -1;
    if (groups_n % 8 != 0 && (groups[masks - 1] >> (groups_n % 8)) != 0) return -1;
    // Checked whole before anything changes: the blob keeps its state on a refusal.
    const int start = buf->m_read_pos;
    int used = 1 + masks;
    for (int g = 0; g < groups_n; ++g) {
        if (!(groups[g / 8] >> (g % 8) & 1)) continue;
        unsigned char mask = 0;
        if (buf->ReadByte(&mask) < 0 || mask == 0 || (mask >> GroupWidth(m_size, g)) != 0)
            return -1;
        if (!buf->ReadSpan(Ones(mask))) return -1;
        used += 1 + Ones(mask);
    }
    if (used == 1 + masks) return -1; // a masked record names at least one group
    if (b != this) std::memcpy(m_bytes, b->m_bytes, static_cast<std::size_t>(m_size));
    const unsigned char* at = buf->m_data + 1 + start;
    for (int g = 0; g < groups_n; ++g) {
        if (!(groups[g / 8] >> (g % 8) & 1)) continue;
        const unsigned mask = *at++;
        for (unsigned left = mask; left != 0; left &= left - 1)
            m_bytes[g * 8 + LowestBit(left)] = *at++;
    }
    return used;
}

int CNetBlobState::Interp(float t, CNetUnreliable* from, CNetUnreliable* to, CNetDataPort*) {
    return CopyFrom(t < 0.5f ? from : to);
}
