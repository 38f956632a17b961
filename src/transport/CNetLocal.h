#pragma once

#include "portnet/CNetDriver.h"

// In-process loopback driver: every endpoint has a one-datagram mailbox, and sending copies
// straight into the addressed endpoint's mailbox. Endpoints find each other through
// g_local_list by id; an address of family kNetFamilyLocal carries the id in sin_port.
// Made only by GetSystemNetDriver(kNetDriverLocal, id), destroyed only by
// ReleaseSystemNetDriver.
class CNetLocal : public CNetDriver {
public:
    enum : int { kMaxDatagram = 1450 };

    ~CNetLocal() override;

    int SetBlockMode(bool non_blocking) override;
    int MakeBroadcastCapable() override;
    int Init() override;
    int Shutdown() override;
    int Connected(sockaddr_in* peer) override;
    int Disconnected(sockaddr_in* peer) override;
    char* GetAddr() override;
    int SendTo(int len, void* data, sockaddr_in* to) override;
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override;
    int Broadcast(int len, void* data, sockaddr_in* to) override;

    int m_endpoint_id;
    int m_pending_len;
    unsigned char m_pending_data[kMaxDatagram];
    int m_pending_from;

private:
    explicit CNetLocal(int id);
    // The registered endpoint with this id, or null; remembered between calls while the
    // registry stays unchanged, since a sender mostly addresses the same peer.
    CNetLocal* Target(int id);

    CNetLocal* m_last_target = nullptr;
    int m_last_target_id = -1;
    unsigned m_last_changes = 0;
    friend CNetDriver* CreateLocalDriver(int id);
};

// The one way to construct an endpoint (used by GetSystemNetDriver); null when out of memory.
CNetDriver* CreateLocalDriver(int id);
