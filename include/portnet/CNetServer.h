#pragma once

#include "CNetDriver.h"
#include "CNetManager.h"
#include "CNetPeer.h"

class CNetDataPort;

// What a CNetServer tells the game: a peer joined a slot, left it, or a sender was refused.
struct PORTNET_API SNetServerEvent {
    enum : int { kJoined = 1, kLeft = 2, kRefused = 3 };
    int m_type;
    int m_slot;   // -1 for kRefused
    int m_reason; // kLeft: a kNetGone* reason; kRefused: a CNetServer::kRefused* reason
    sockaddr_in m_addr;
    SNetPeerIdentity m_who; // kJoined: who the driver authenticated; else empty
};

// A host that admits and lets go of peers on its own, for as long as it runs. The host gives
// it a driver (plain or secure), its ports, and what a new peer gets: a CNetPeer from NewPeer,
// an own port from MakeOwnPort, the ports it reads and writes from SetPeerPorts. A datagram
// from an unknown sender that starts a packet is offered to Admit while a slot is free; the
// server then makes the peer, its send buffer and its arrays, and frees all of it when the
// peer leaves: it said goodbye, stayed silent past m_idle_limit_ms, the driver reported it
// unreachable or its secure session ended, it restarted from the same address, or the host
// kicked it. Every arrival, departure and refusal is told once through OnEvent, whose
// default queues it for PollEvent. Slots are reused for as long as the server runs.
//
// Port matching (m_match_ports) starts on: peers are told apart by address and port.
class PORTNET_API CNetServer : public CNetManager {
public:
    enum : int {
        kRefusedFull = 1,      // every slot is taken
        kRefusedByHost = 2,    // Admit said no
        kRefusedNoMemory = 3,  // the peer or its buffer could not be made
        kRefusedNotPacket = 4, // the first datagram does not start a packet
        kRefusedStale = 5,     // it is far into its numbering (below), or continues a peer that
                               // ended lately
        kRefusedReasons = 6
    };

    // A new sender is admitted only with a packet numbered below this: a peer just started.
    enum : int { kAdmitBelowSeq = CNetPeer::kFreshSeqs * 2 };

    CNetServer();
    ~CNetServer() override;

    // The manager's Init, plus the live list and the event queue (sized by GetLimit).
    int Init(CNetDriver* driver, int num_ports) override;
    int Release() override;
    int BeginFrame() override; // then ends peers past the idle limit
    int Read() override;       // then ends peers that said goodbye or restarted

    // Which of the manager's ports every peer admitted from now on reads and writes (port 0 is
    // its own port). -1 for a port outside 0..254.
    int SetPeerPorts(int port, bool read, bool write);
    // Sends the peer a goodbye and ends it (reported as kNetGoneKicked). -1 for a free slot.
    int Kick(int slot);
    // Kicks every peer: for a host that closes.
    int Leave();
    // 1 with the oldest queued event in *out, 0 when there is none.
    int PollEvent(SNetServerEvent* out);
    // How many peers are admitted at most: the size of the client table.
    int GetLimit() const;
    // The peer in slot, or null for a free slot.
    CNetPeer* GetPeer(int slot) const;
    int GetNumPeers() const { return m_num_live; }

    // Hooks, called inside the frame steps. Admit sees a new sender's address and who the
    // driver authenticated (empty over a plain driver); false refuses it. NewPeer makes the
    // client for an admitted sender (null: refused, no memory); MakeOwnPort fills its own port
    // (an object and, for an unreliable one, both histories), -1 refusing. OnEvent receives
    // every event; override it to act at once instead of polling.
    virtual bool Admit(const sockaddr_in* addr, const SNetPeerIdentity& who);
    virtual CNetPeer* NewPeer();
    virtual int MakeOwnPort(CNetDataPort* port);
    virtual void OnEvent(const SNetServerEvent& event);

    // Admits a new sender (the manager's hook); the slot, or -1 when refused.
    int CreateClient(CNetBuf* buf) override;
    // Ends the peer in slot for the reason its driver gave (the manager's hook for 10001).
    int DestroyClient(int slot) override;

    int m_keep_alive_ms = 1000;  // for every peer admitted from now on; 0: no keep-alive
    int m_idle_limit_ms = 10000; // likewise; 0: silence never ends a peer
    // For this long after a peer ended, packets from its address that continue its numbering
    // (sent before it heard of its end, or by a peer that was silent too long) are refused;
    // one that starts afresh is admitted. 0: never refused.
    int m_stale_hold_ms = 20000;
    // CNetClient's switches of the same names, for every peer admitted from now on: each
    // peer's packets follow what its path carries, and no object starves when they are
    // smaller than what the host has to send.
    bool m_adapt_rate = true;
    bool m_priority_aging = true;
    unsigned m_refused[kRefusedReasons] = {}; // refusals by reason
    unsigned m_events_dropped = 0;            // events the full queue could not take

private:
    void End(int slot, int reason, bool tell_driver);
    void EndMarked();
    bool Stale(const sockaddr_in& addr, int seq) const;
    void Tell(int type, int slot, int reason, const sockaddr_in& addr, const SNetPeerIdentity* who);

    bool m_reads[CNetClient::kMaxPorts] = {};
    bool m_writes[CNetClient::kMaxPorts] = {};
    int* m_live = nullptr;       // used slots, in no order
    int* m_live_index = nullptr; // per slot: its place in m_live, -1 when free
    int m_num_live = 0;
    struct SEnded {
        sockaddr_in m_addr;
        int m_read_seq; // the last packet number read from it
        int m_time;     // frame time it ended
    };
    // The latest peers that ended, checked for every new sender: a fixed ring, so a stranger
    // costs the same with a table of 8 or of 4096.
    enum : int { kEndedRing = 64 };
    SEnded* m_ended = nullptr;
    int m_ended_next = 0;
    SNetServerEvent* m_events = nullptr; // ring of m_event_size
    int m_event_size = 0;
    int m_event_head = 0;
    int m_event_count = 0;
};
