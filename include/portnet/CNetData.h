#pragma once

#include "PortnetExport.h"

class CNetClient;

// Base of every replicated object. Hosts derive from CNetReliable or CNetUnreliable.
class PORTNET_API CNetData {
public:
    explicit CNetData(bool reliable);
    virtual ~CNetData();
    CNetData(const CNetData&) = default;
    CNetData& operator=(const CNetData&) = default;

    virtual int Created();
    virtual int Destroyed();
    virtual CNetData* Clone();
    virtual int Update(bool interpolate);
    // Asked every frame for each active object a client writes: larger goes first into that
    // client's datagram (reliable objects before unreliable ones, equal ones by port number).
    virtual int GetPriority(CNetClient* client);

    int m_port_id;               // -1 while unbound
    int m_time;                  // stamp of the held state; -1 none
    unsigned char m_init_toggle; // flips on every InitPort
    int m_life_time;             // -1 unlimited, -2 until written, else ms
    bool m_active;
    bool m_reliable;
    bool m_received; // a record arrived this frame
    // A CNetBlockStream: neither a message stream nor a state with histories.
    bool m_block = false;
};
