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

    virtual int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient* client);
    virtual int Interp(float t, CNetUnreliable* from, CNetUnreliable* to, CNetDataPort* port);
    virtual int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient* client);
    virtual int CopyFrom(CNetUnreliable* src);

    bool m_interpolate;
};
