#pragma once

#include "PortnetExport.h"

class CNetDataPort;

// One client's record for one port: its switches and which frame each sent packet carried.
class PORTNET_API CNetDataRef {
public:
    enum : int { kHashSize = 60 };

    CNetDataRef();
    ~CNetDataRef();
    CNetDataRef(const CNetDataRef&) = default;
    CNetDataRef& operator=(const CNetDataRef&) = default;

    void SetHash(int value, int seq);
    void InvalidateHash(int seq);
    int GetHash(int seq) const;

    CNetDataPort* m_data_port; // not owned
    bool m_read_enabled;
    bool m_write_enabled;
    bool m_send_age;
    int m_base_seq;
    int m_hash_frames[kHashSize];
    int m_hash_seqs[kHashSize];
};
