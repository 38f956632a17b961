#pragma once

#include "CNetData.h"

class CNetBuf;
class CNetClient;
class CNetDataPort;

// A newest-state object. The host supplies the encoding (Write/Read, optionally against a
// base state the peer holds), the copy into histories and the interpolation blend.
class PORTNET_API CNetUnreliable : public CNetData {
public:
    CNetUnreliable();
    explicit CNetUnreliable(bool interpolate);
    ~CNetUnreliable() override;
    CNetUnreliable(const CNetUnreliable&) = default;
    CNetUnreliable& operator=(const CNetUnreliable&) = default;

    // Called for every record of this port that arrives from client, on the live object: decode
    // the state from buf (against base, the state this side holds for the record's base slot,
    // when base is not null). Answer the bytes read (0 or more), or -1 for a malformed record:
    // the rest of the datagram is then refused and the manager's Read answers -1.
    virtual int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient* client);
    // Called by the manager's Update(true) on the live object of every interpolated port with
    // the two received states around the playback time: set this object to from + t * (to -
    // from), t in 0..1. Its answer is passed on; -1 makes Update answer -1.
    virtual int Interp(float t, CNetUnreliable* from, CNetUnreliable* to, CNetDataPort* port);
    // Called once per frame and client that writes this port: encode the state into buf, in at
    // most room bytes, against base (a state client is known to hold) when base is not null.
    // Answer the bytes written; 0 (nothing to say) or more than room leaves the port out of
    // this datagram, whatever was written; below 0 drops the client's whole datagram and makes
    // the manager's Write answer -1.
    virtual int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient* client);
    // Copies the whole state of src into this object: called into history entries for every
    // state written (once per frame) and read, so anything left out goes stale there. The
    // answer is not looked at.
    virtual int CopyFrom(CNetUnreliable* src);

    bool m_interpolate;
};
