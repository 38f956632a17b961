#pragma once

#include "NetAddress.h"
#include "PortnetExport.h"

class CNetBuf;
class CNetClient;
class CNetData;
class CNetDataPort;
class CNetDriver;
class CNetUnreliable;

struct PORTNET_API SNetClientSlot {
    CNetClient* m_client; // owned; may stay set after the slot was freed
    bool m_used;
};

// The host's entry into the per-frame work: a driver, the ports, and a table of eight peers.
// Not copyable: it owns its buffer, ports and client table.
class PORTNET_API CNetManager {
public:
    enum : int { kMaxClients = 8 };

    CNetManager();
    virtual ~CNetManager();
    CNetManager(const CNetManager&) = delete;
    CNetManager& operator=(const CNetManager&) = delete;

    virtual int CreateClient(CNetBuf* buf);
    virtual int DestroyClient(int slot);
    virtual int Init(CNetDriver* driver, int num_ports);
    virtual int Release();
    virtual int BeginFrame();
    virtual int Read();
    virtual int Update(bool interpolate);
    virtual int Write();
    virtual int EndFrame();
    virtual int ReadOutOfBand(CNetBuf* buf);

    int AddClient(CNetClient* client, int slot);
    int subAddClient(CNetClient* client, int slot);
    int RemoveClient(int slot);
    int GetNumClients() const;
    int FindClient(const sockaddr_in* addr) const;
    int DispatchEvent(int event, int slot);
    int subRead(CNetBuf* buf, int slot);

    int SetPortA(int port, CNetData* object);
    int InitPort(int port, int life_time);
    int InitPort(CNetData* object, int life_time);
    int ReleasePort(int port);
    int ReleasePort(CNetData* object);
    CNetUnreliable* GetWritingHistory(int port, int age);
    CNetUnreliable* GetReadingHistory(int port, int age);
    int Interp(int port, int elapsed);

    CNetBuf* m_buf;
    int m_num_ports;
    CNetDataPort* m_ports;
    int m_frame;
    SNetClientSlot* m_clients;
    int m_time;
    int m_delta_time;
    int m_drop_rate;
};
