#pragma once

#include "CNetAddr.h"
#include "NetAddress.h"
#include "PortnetExport.h"

class CNetBuf;
class CNetClient;
class CNetData;
class CNetDataPort;
class CNetDriver;
class CNetFrameHash;
class CNetUnreliable;
namespace portnet {
class ClientIndex;
}

struct PORTNET_API SNetClientSlot {
    CNetClient* m_client; // owned; may stay set after the slot was freed
    bool m_used;
};

// The host's entry into the per-frame work: a driver, the ports, and a table of peers (eight
// slots unless the host asks for more). Not copyable: it owns its buffer, ports and client table.
class PORTNET_API CNetManager {
public:
    // kMaxClients is the table's default size; kMaxClientsLimit the largest Init accepts.
    enum : int { kMaxClients = 8, kMaxClientsLimit = 4096 };

    CNetManager();
    virtual ~CNetManager();
    CNetManager(const CNetManager&) = delete;
    CNetManager& operator=(const CNetManager&) = delete;

    virtual int CreateClient(CNetBuf* buf);
    virtual int DestroyClient(int slot);
    // 1, or -1 for a null driver, fewer than 1 or more than 255 ports, a table size
    // (m_max_clients) outside 1..kMaxClientsLimit, or no memory. A manager initialised before
    // is released first. The table keeps the size it was made with until the next Init.
    virtual int Init(CNetDriver* driver, int num_ports);
    virtual int Release();
    // The five frame steps; each answers -1 before Init.
    virtual int BeginFrame();
    virtual int Read();
    virtual int Update(bool interpolate);
    virtual int Write();
    virtual int EndFrame();
    virtual int ReadOutOfBand(CNetBuf* buf);

    // Enters client into the wished slot, or else into the lowest slot that takes it; the
    // slot owns it from then on. -1 before Init, for a null client, a client without its
    // own port, a full table, or a client whose Init returns -1. A client refused by its
    // Init is not offered to other slots: the slot is left as it was, the client keeps no
    // arrays of ours, and the caller still owns (and deletes) it.
    // Virtual so that a manager which admits peers on its own (CNetServer, CNetConnection) can
    // keep its table the only record of who is in it.
    virtual int AddClient(CNetClient* client, int slot);
    // The same for exactly one slot; also -1 when another slot holds the object already.
    virtual int subAddClient(CNetClient* client, int slot);
    virtual int RemoveClient(int slot);
    int GetNumClients() const;
    // The lowest used slot whose client has no receive buffer of its own and a send buffer at
    // this address (and port, with m_match_ports), or -1; found through an index by address,
    // not by walking the table, so a stranger's datagram costs the same at any table size.
    // The index takes a client's m_send_buf (its address included) and m_recv_buf as they are
    // when the client is entered and when CreateClient names its slot; a client that had no
    // send buffer then (or had its own receive buffer) is indexed by the first Read that finds
    // it with one. A client found whose buffers or address changed is indexed again before
    // the answer is given, so an old address never finds it. A host that gives an indexed
    // client a new send buffer or address calls RebindClient for the new one to be found.
    int FindClient(const sockaddr_in* addr) const;
    int FindClient(const CNetAddr& addr) const;
    // Indexes the slot's client again from its buffers as they are now: 1, or -1 for a slot
    // that is not used.
    int RebindClient(int slot);
    int DispatchEvent(int event, int slot);
    // slot -1 finds the client by address; any other slot must be used (else -1).
    int subRead(CNetBuf* buf, int slot);
    // The distinct drivers the manager and its clients send through (at most the table's
    // size + 1).
    int SendingDrivers(CNetDriver** out) const;

    // Port numbers outside 0..m_num_ports-1 give -1 (null from the history getters).
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
    // Off: an IPv4 sender is found by its address alone. On: by address and port, so two
    // peers behind one NAT address are two clients and a peer that restarts on a new port is
    // a new sender, offered to CreateClient. Loopback endpoints are found by id either way.
    bool m_match_ports = false;
    // Slots of the table that Init makes, 1..kMaxClientsLimit; slots run 0..m_max_clients-1.
    // Set before Init; a change afterwards counts from the next Init.
    int m_max_clients = kMaxClients;
    // The rate controllers of this manager's clients (m_adapt_rate) share what they learn:
    // the mean per-frame budget of the clients that wrote in the last frame is the unit by
    // which each grows, so that peers behind one bottleneck converge to equal shares.
    int m_rate_frame = -1;       // frame whose budgets are being summed
    long long m_rate_sum16 = 0;  // sum of those budgets, sixteenths of a byte
    int m_rate_count = 0;        // clients summed
    int m_rate_mean16 = 0;       // mean of the frame before; 0 none
    int m_rate_slow_count = 0;   // clients summed that had not yet found their path's rate
    int m_rate_starting = 0;     // as many in the frame before
    int m_rate_queued_count = 0; // clients summed whose last sample showed their own queue
    int m_rate_queued = 0;       // as many in the frame before
    int m_rate_queued_id = -1;   // the slot of one client m_rate_queued counts, to tell the others
    int m_rate_queued_next = -1; // the same for m_rate_queued_count
    // What this manager delivers is hashed into this, when set (a recorder or a replay sets
    // it, CNetRecorder::Attach): not owned; null, the default, hashes nothing.
    CNetFrameHash* m_frame_hash = nullptr;

protected:
    // The used slots in ascending order, and how many: a view valid until the table changes.
    const int* UsedSlots(int* count) const;

private:
    int Slots() const;
    bool IsSlot(int slot) const;
    int EnterClient(CNetClient* client, int slot, bool* init_failed);
    void SyncIndex() const;
    int Lookup(const CNetAddr& addr) const;

    // The used slots in order, the senders by address and the drivers of a Write; made with
    // the table. Kept current from const lookups too, hence mutable.
    mutable portnet::ClientIndex* m_index = nullptr;
};
