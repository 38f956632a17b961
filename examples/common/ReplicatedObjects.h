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
        for (int i = 0; i < 3; ++i) need += (mask >> i & 1) ? 4 : 0;
        if (need > room) return need; // the client withdraws a record larger than its room
        if (buf->WriteByte(mask) < 0) return -1;
        for (int i = 0; i < 3; ++i)
            if ((mask >> i & 1) && buf->WriteFloat(m_pos[i]) < 0) return -1;
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
        for (int i = 0; i < 3; ++i) m_pos[i] = a[i] + (b[i] - a[i]) * t;
        return 1;
    }
};

// A state of kSize bytes. Against a base it sends runs of changed bytes
// (offset, length, bytes); without a base the whole blob.
template <int kSize>
class CBlobState : public CNetUnreliable {
    static_assert(kSize > 0 && kSize < 256, "offsets and lengths travel in one byte");

public:
    unsigned char m_bytes[kSize] = {};

    CBlobState() : CNetUnreliable(false) {}
    CNetData* Clone() override { return new CBlobState(*this); }

    int CopyFrom(CNetUnreliable* src) override {
        std::memcpy(m_bytes, static_cast<CBlobState*>(src)->m_bytes, kSize);
        return 1;
    }

    int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient*) override {
        const int start = buf->SetWritingPos(0, 1);
        if (!base) {
            if (1 + kSize > room) return 1 + kSize;
            if (buf->WriteByte(0) < 0 || buf->Write(m_bytes, kSize) < 0) return -1;
            return 1 + kSize;
        }
        const unsigned char* ref = static_cast<CBlobState*>(base)->m_bytes;
        // Count the runs first so the record is refused whole when it does not fit.
        int runs = 0, need = 1;
        for (int i = 0; i < kSize;) {
            if (m_bytes[i] == ref[i]) { ++i; continue; }
            int j = i;
            while (j < kSize && m_bytes[j] != ref[j]) ++j;
            ++runs;
            need += 2 + (j - i);
            i = j;
        }
        if (runs == 0) return 0;
        if (runs > 255 || need > room) return room + 1;
        if (buf->WriteByte(static_cast<unsigned char>(runs)) < 0) return -1;
        for (int i = 0; i < kSize;) {
            if (m_bytes[i] == ref[i]) { ++i; continue; }
            int j = i;
            while (j < kSize && m_bytes[j] != ref[j]) ++j;
            if (buf->WriteByte(static_cast<unsigned char>(i)) < 0 ||
                buf->WriteByte(static_cast<unsigned char>(j - i)) < 0 ||
                buf->Write(m_bytes + i, j - i) < 0)
                return -1;
            i = j;
        }
        return buf->SetWritingPos(0, 1) - start;
    }

    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient*) override {
        const int start = buf->SetReadingPos(0, 1);
        unsigned char runs = 0;
        if (buf->ReadByte(&runs) < 0) return -1;
        if (runs == 0) return buf->Read(m_bytes, kSize) < 0 ? -1 : 1 + kSize;
        if (!base) return -1; // runs only make sense against a base
        unsigned char next[kSize];
        std::memcpy(next, static_cast<CBlobState*>(base)->m_bytes, kSize);
        for (int r = 0; r < runs; ++r) {
            unsigned char off = 0, len = 0;
            if (buf->ReadByte(&off) < 0 || buf->ReadByte(&len) < 0) return -1;
            if (len == 0 || off + len > kSize || buf->Read(next + off, len) < 0) return -1;
        }
        std::memcpy(m_bytes, next, kSize);
        return buf->SetReadingPos(0, 1) - start;
    }
};

// A reliable chat stream. Received lines land in a fixed ring; the host reads them from
// there. Lines are at most kLineSize - 1 characters.
class CChatStream : public CNetReliable {
public:
    enum { kLineSize = 96, kRingLines = 64 };

    char m_lines[kRingLines][kLineSize] = {};
    int m_received = 0; // lines received so far; the newest is m_lines[(m_received-1) % ring]
    int m_delivered = 0; // own lines acknowledged by the peer

    // Queues one line as one message; -1 when the queue is full. At most nine messages are
    // kept queued: with all ten buffers taken, the stream cannot close the message in
    // transmission and every write of this port would fail until the port is restarted.
    int Say(const char* text) {
        int taken = 0;
        for (const SNetMsgBuf& b : m_write_bufs) taken += b.m_len > 0 ? 1 : 0;
        if (taken >= kQueueDepth - 1) return -1;
        if (GetWriteBuf()->m_len > 0 && Begin() < 0) return -1;
        char line[kLineSize];
        std::strncpy(line, text, kLineSize - 1);
        line[kLineSize - 1] = 0;
        return WriteString(line) < 0 ? -1 : 1;
    }

    int ReadingCompleted() override {
        char line[SNetMsgBuf::kSize + 1];
        if (ReadString(line) < 0) return -1;
        char* slot = m_lines[m_received % kRingLines];
        std::strncpy(slot, line, kLineSize - 1);
        slot[kLineSize - 1] = 0;
        ++m_received;
        return 1;
    }

    int WritingCompleted() override {
        ++m_delivered;
        return 1;
    }
};

} // namespace portnet_examples
