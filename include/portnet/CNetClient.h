#pragma once

#include "PortnetExport.h"

class CNetBuf;
class CNetData;
class CNetDataPort;
class CNetDataRef;
class CNetManager;

// One remote peer as seen from this side: connection state, statistics and per-frame work.
// Owned by the manager slot it is entered into. Not copyable: a copy would share (and
// later free) the same port records.
class PORTNET_API CNetClient {
public:
    enum : int { kRing = 60, kMaxPorts = 255, kNameSize = 100 };

    CNetClient();
    virtual ~CNetClient();
    CNetClient(const CNetClient&) = delete;
    CNetClient& operator=(const CNetClient&) = delete;

    virtual int Init();
    virtual int Release();
    virtual int NewPortID(int port);
    virtual int Disconnected();
    virtual int TimeOut();
    virtual int Read(CNetBuf* buf);
    virtual int Write();
    virtual int ReadInstant(CNetBuf* buf);
    virtual int WriteInstant(const void* data, int len);
    virtual int BeginFrame();
    virtual int Update(bool interpolate);
    virtual int EndFrame();

    void SetName(const char* name);
    bool HaveRead(int n) const;
    int CalcNet();
    int GetPriorityList(CNetData** list, int* count, int* reliable_count);
    int SortPriorityList(CNetData** list, int count);

    int m_id;
    char m_name[kNameSize];
    int m_num_ports;
    CNetDataRef* m_refs;
    int m_num_pending;
    int* m_pending_ports;
    CNetBuf* m_recv_buf;
    CNetBuf* m_send_buf;
    CNetManager* m_manager;
    CNetDataPort* m_own_port;
    int m_read_seq;
    int m_read_toggle;
    int m_sent_read_toggle;
    int m_acked_seq;
    int m_write_seq;
    int m_write_toggle;
    bool m_write_acked;
    bool m_resend;
    int m_last_read_time;
    int m_last_write_time;
    int m_last_reliable_read_time;
    int m_reliable_write_time;
    int m_reliable_wait;
    int m_timeout;
    int m_ping;
    int m_ack_times[kRing];
    int m_write_times[kRing];
    int m_read_seqs[kRing];
    int m_read_times[kRing];
    int m_packets_in;
    int m_packets_out;
    int m_old_packets;
    int m_lost_packets;
    int m_timeouts;
    int m_bytes_in;
    int m_bytes_out;
    int m_max_size;
    int m_rate_in;
    int m_rate_out;
    int m_rate_bytes_in;
    int m_rate_bytes_out;
    int m_rate_time;
    // Off: a peer that only receives states never answers, so its sender codes every state
    // whole. On: after a frame in which states arrived, Write sends at least a header and
    // terminator, so the sender learns what this side holds and sends differences.
    bool m_ack_states = false;
    bool m_states_unacked = false; // a state arrived since this side's last packet

    // Work space of the writer, sized once so a frame never allocates.
    CNetData* m_priority_list[kMaxPorts];
    int m_priorities[kMaxPorts];
};
