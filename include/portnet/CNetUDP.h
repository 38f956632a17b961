#pragma once

#include "CNetDriver.h"

// UDP over IPv4: one non-blocking socket bound to a local port (and optionally address).
class PORTNET_API CNetUDP : public CNetDriver {
public:
    explicit CNetUDP(int port);
    explicit CNetUDP(const char* addr_text); // "a.b.c.d:port"
    ~CNetUDP() override;

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

    int m_socket; // -1 when closed
    int m_port;   // host byte order; 0 lets the system choose
    char m_addr_text[100];
    // An ICMP report may wait in the socket's error queue; receives look there only then.
    bool m_report_queued = false;
};
