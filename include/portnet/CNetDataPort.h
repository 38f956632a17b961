#pragma once

#include "PortnetExport.h"

class CNetData;
class CNetDataHistory;

// The manager's slot for one port: the object, its two histories, interpolation state.
// The port owns the object and both histories. A copy shares them but never owns them,
// so only the original deletes (see m_owner).
class PORTNET_API CNetDataPort {
public:
    CNetDataPort();
    ~CNetDataPort();
    CNetDataPort(const CNetDataPort& other);
    CNetDataPort& operator=(const CNetDataPort& other);

    void InitInterp();

    CNetData* m_object;
    CNetDataHistory* m_reading_history;
    CNetDataHistory* m_writing_history;
    int m_interp_time;
    int m_last_time;
    bool m_stalled;
    int m_interp_data;
    int m_read_bytes;
    int m_written_bytes;
    bool m_owner; // false for copies: they never delete what they point at
};
