#pragma once

// Host-side object classes shared by the examples, the demo, the benchmarks and the
// integration tests: a moving position, a byte blob, and a chat stream. They show how a
// host derives from the library's objects; none of them allocates after construction.

#include <cstdint>
#include <cstring>

#include "portnet/CNetBuf.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetReliable.h"
#include "portnet/CNetUnreliable.h"

namespace portnet_examples {

// A position of three floats. Against a base it sends a mask of the components that
// changed and only those; without a base it sends all three.
class CPositionState : public CNetUnreliable {
public:
    float m_pos[3] = {0.0f, 0.0f, 0.0f};
    int m_records = 0; // records this object wrote, to any peer (the demo's wire count)

    CNetData* Clone() override { return new CPositionState(*this); }

    int CopyFrom(CNetUnreliable* src) override {
        std::memcpy(m_pos, static_cast<CPositionState*>(src)->m_pos, sizeof m_pos);
        return 1;
    }

    int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient*) override {
        const float* ref = base ? static_cast<CPositionState*>(base)->m_pos : nullptr;
        unsigned char mask = 0;
        for (int i = 0; i < 3; ++i)
            if (!ref || std::memcmp(&m_pos[i], &ref[i], sizeof(float)) != 0) mask |= 1u << i;
        if (mask == 0) return 0; // the peer already holds this state
        int need = 1;
        for (int i = 0; i < 3; ++i)
            need += (mask >> i & 1) ? 4 : 0;
        if (need > room) return need; // the client withdraws a record larger than its room
        if (buf->WriteByte(mask) < 0) return -1;
        for (int i = 0; i < 3; ++i)
            if ((mask >> i & 1) && buf->WriteFloat(m_pos[i]) < 0) return -1;
        ++m_records;
        return need;
    }

    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient*) override {
        unsigned char mask = 0;
        if (buf->ReadByte(&mask) < 0 || mask > 7) return -1;
        float next[3];
        const float* ref = base ? static_cast<CPositionState*>(base)->m_pos : m_pos;
        std::memcpy(next, ref, sizeof next);
        int used = 1;
        for (int i = 0; i < 3; ++i) {
            if (!(mask >> i & 1)) continue;
            if (buf->ReadFloag(&next[i]) < 0) return -1;
            used += 4;
        }
        if (!base && mask != 7) return -1; // a full state names every component
        std::memcpy(m_pos, next, sizeof next);
        return used;
    }

    int Interp(float t, CNetUnreliable* from, CNetUnreliable* to, CNetDataPort*) override {
        const float* a = static_cast<CPositionState*>(from)->m_pos;
        const float* b = static_cast<CPositionState*>(to)->m_pos;
        for (int i = 0; i < 3; ++i)
            m_pos[i] = a[i] + (b[i] - a[i]) * t;
        return 1;
    }
};

// A state of kSize bytes. Without a base it sends the whole blob. Against a base it sends a
// mask of the 8-byte groups that changed, then for each such group a mask of its changed
// bytes followed by those bytes; one changed byte thus costs about 2 bytes where it stands
// alone and 1 beside others. Record: kind byte (0 whole, 1 masked), then the body. A masked
// record as long as the whole blob is sent whole instead.
template <int kSize> class CBlobState : public CNetUnreliable {
    static_assert(kSize > 0 && kSize < 256, "group masks cover at most 32 groups");

    enum : int {
        kWhole = 0,
        kMasked = 1,
        kGroups = (kSize + 7) / 8,
        kGroupMaskBytes = (kGroups + 7) / 8,
        kWholeRecord = 1 + kSize,
        kDeltaRoom = kWholeRecord + 8, // one group may pass the whole length before it is seen
    };

    // Bytes of group g (the last group may be short).
    static int GroupWidth(int g) { return kSize - g * 8 < 8 ? kSize - g * 8 : 8; }

    // Encodes the change from ref into rec (kDeltaRoom bytes); its length, 0 when nothing
    // changed, or kWholeRecord when the masked record would be no shorter than the whole one.
    int EncodeDelta(const unsigned char* ref, unsigned char* rec) const {
        rec[0] = kMasked;
        unsigned char* groups = rec + 1;
        std::memset(groups, 0, kGroupMaskBytes);
        int len = 1 + kGroupMaskBytes;
        for (int g = 0; g < kGroups; ++g) {
            const int at = g * 8, width = GroupWidth(g);
            if (width == 8) { // one comparison of eight bytes for the common unchanged group
                std::uint64_t a, b;
                std::memcpy(&a, m_bytes + at, 8);
                std::memcpy(&b, ref + at, 8);
                if (a == b) continue;
            } else if (std::memcmp(m_bytes + at, ref + at, width) == 0) {
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
            if (len >= kWholeRecord) return kWholeRecord;
        }
        return len == 1 + kGroupMaskBytes ? 0 : len;
    }

public:
    unsigned char m_bytes[kSize] = {};

    CBlobState() : CNetUnreliable(false) {}
    CNetData* Clone() override { return new CBlobState(*this); }

    int CopyFrom(CNetUnreliable* src) override {
        std::memcpy(m_bytes, static_cast<CBlobState*>(src)->m_bytes, kSize);
        return 1;
    }

    int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient*) override {
        if (base) {
            unsigned char rec[kDeltaRoom];
            const int len = EncodeDelta(static_cast<CBlobState*>(base)->m_bytes, rec);
            if (len == 0) return 0; // the peer already holds this state
            if (len < kWholeRecord) {
                if (len > room) return len; // the client withdraws a record larger than its room
                unsigned char* at = buf->WriteSpan(len);
                if (!at) return -1;
                std::memcpy(at, rec, static_cast<std::size_t>(len));
                return len;
            }
        }
        if (kWholeRecord > room) return kWholeRecord;
        if (buf->WriteByte(kWhole) < 0 || buf->Write(m_bytes, kSize) < 0) return -1;
        return kWholeRecord;
    }

    // Strict: an unknown kind, a group or byte past the blob, an empty mask or a masked record
    // without a base is refused, and the state is left as it was.
    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient*) override {
        unsigned char kind = 0;
        if (buf->ReadByte(&kind) < 0) return -1;
        if (kind == kWhole) return buf->Read(m_bytes, kSize) < 0 ? -1 : kWholeRecord;
        if (kind != kMasked || !base) return -1;
        // Fields are decoded where they lie in the buffer, without copying them out first.
        const unsigned char* groups = buf->ReadSpan(kGroupMaskBytes);
        if (!groups) return -1;
        if (kGroups % 8 != 0 && (groups[kGroupMaskBytes - 1] >> (kGroups % 8)) != 0) return -1;
        unsigned char next[kSize];
        std::memcpy(next, static_cast<CBlobState*>(base)->m_bytes, kSize);
        int used = 1 + kGroupMaskBytes;
        for (int g = 0; g < kGroups; ++g) {
            if (!(groups[g / 8] >> (g % 8) & 1)) continue;
            const int width = GroupWidth(g);
            unsigned char mask = 0;
            if (buf->ReadByte(&mask) < 0 || mask == 0 || (mask >> width) != 0) return -1;
            int count = 0;
            for (unsigned left = mask; left != 0; left &= left - 1)
                ++count;
            const unsigned char* bytes = buf->ReadSpan(count);
            if (!bytes) return -1;
            for (unsigned left = mask; left != 0; left &= left - 1) // each set bit, lowest first
                next[g * 8 + __builtin_ctz(left)] = *bytes++;
            used += 1 + count;
        }
        if (used == 1 + kGroupMaskBytes) return -1; // a masked record names at least one group
        std::memcpy(m_bytes, next, kSize);
        return used;
    }
};

// A reliable chat stream. Received lines land in a fixed ring; the host reads them from
// there. Lines are at most kLineSize - 1 characters.
class CChatStream : public CNetReliable {
public:
    enum { kLineSize = 96, kRingLines = 64 };

    char m_lines[kRingLines][kLineSize] = {};
    int m_received = 0;  // lines received so far; the newest is m_lines[(m_received-1) % ring]
    int m_delivered = 0; // own lines acknowledged by the peer
    int m_queued = 0;    // own lines said and not yet acknowledged

    // Queues one line as one message; -1 when the queue is full. At most nine messages are
    // kept queued: with all ten buffers taken, the stream cannot close the message in
    // transmission and every write of this port would fail until the port is restarted.
    // Lines are counted as they are said and delivered, so that a full queue is known
    // without a look at the ten buffers (a line of chat may be said every frame).
    int Say(const char* text) {
        if (m_queued >= kQueueDepth - 1) return -1;
        if (GetWriteBuf()->m_len > 0 && Begin() < 0) return -1;
        // At most kLineSize - 1 characters of the text, then the terminator, in one append.
        char line[kLineSize];
        const std::size_t n = strnlen(text, kLineSize - 1);
        std::memcpy(line, text, n);
        line[n] = 0;
        if (Write(line, static_cast<int>(n) + 1) < 0) return -1;
        ++m_queued;
        return 1;
    }

    int Created() override {
        m_queued = 0; // a restart drops every queued message
        return CNetReliable::Created();
    }

    // The line is taken straight from the received message: up to its terminator, the end of
    // the message or kLineSize - 1 characters, whichever comes first.
    int ReadingCompleted() override {
        const int len = m_read_buf.m_len < kLineSize - 1 ? m_read_buf.m_len : kLineSize - 1;
        if (len < 0) return -1;
        const char* text = reinterpret_cast<const char*>(m_read_buf.m_buf);
        char* slot = m_lines[m_received % kRingLines];
        const std::size_t n = strnlen(text, static_cast<std::size_t>(len));
        std::memcpy(slot, text, n);
        slot[n] = 0;
        ++m_received;
        return 1;
    }

    int WritingCompleted() override {
        ++m_delivered;
        if (m_queued > 0) --m_queued;
        return 1;
    }
};

} // namespace portnet_examples
