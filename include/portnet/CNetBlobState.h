#pragma once

#include "CNetUnreliable.h"

// An unreliable state that is a plain run of bytes, for hosts that keep their state as bytes
// (a C or C# game through portnet_c.h): no subclass needed. Against a base the peer holds it
// sends only the bytes that changed, grouped by eight (docs/protocol.md, "Blob states");
// without one, the whole blob. Interpolation is left to the game: Interp takes the nearer of
// the two states, and the port is made without interpolation.
class PORTNET_API CNetBlobState : public CNetUnreliable {
public:
    // A whole record (kind byte and blob) stays well inside one datagram's payload.
    enum : int { kMaxSize = 900 };

    // A blob of size bytes (1..kMaxSize), all zero. A size outside that makes an empty blob
    // (GetSize 0) that writes and reads nothing.
    explicit CNetBlobState(int size);
    ~CNetBlobState() override;
    CNetBlobState(const CNetBlobState& other);
    CNetBlobState& operator=(const CNetBlobState& other) = delete;

    int GetSize() const { return m_size; }
    unsigned char* Bytes() { return m_bytes; }
    const unsigned char* Bytes() const { return m_bytes; }
    // Copies len bytes (at most the size) into the blob from its start: 1, or -1 for a null
    // source or a length outside 0..GetSize().
    int Set(const void* data, int len);

    CNetData* Clone() override;
    int CopyFrom(CNetUnreliable* src) override;
    int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient* client) override;
    // Strict: an unknown kind, a masked record without a base or of another size, a mask that
    // names a byte past the blob or nothing at all is refused (-1), the blob left as it was.
    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient* client) override;
    int Interp(float t, CNetUnreliable* from, CNetUnreliable* to, CNetDataPort* port) override;

private:
    int EncodeDelta(const unsigned char* ref, unsigned char* rec) const;

    int m_size = 0;
    unsigned char* m_bytes = nullptr;
};
