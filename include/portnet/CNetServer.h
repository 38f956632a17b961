#pragma once

#include "CNetDriver.h"
#include "CNetManager.h"
#include "CNetPeer.h"

class CNetDataPort;

// What a CNetServer tells the game: a peer joined a slot, left it, or a sender was refused.
struct PORTNET_API SNetServerEvent {
    enum : int { kJoined = 1, kLeft = 2, kRefused = 3 };
    int m_type;
    int m_slot;             // -1 for kRefused
    int m_reason;           // kLeft: a kNetGone* reason; kRefused: a CNetServer::kRefused* reason
    sockaddr_in m_addr;     // the sender's IPv4 or loopback form (an IPv6 one: family only)
    SNetPeerIdentity m_who; // kJoined: who the driver authenticated; else empty
    CNetAddr m_peer;        // the sender, of either family
};

// A host that admits and lets go of peers on its own, for as long as it runs. The host gives
// it a driver (plain or secure), its ports, and what a new peer gets: a CNetPeer from NewPeer,
// an own port from MakeOwnPort, the ports it reads and writes from SetPeerPorts. A
// CNetConnection's hello (or a datagram from an unknown sender that starts a packet) is offered
// to Admit while a slot is free; the server then makes the peer, its send buffer and its
// arrays, answers the hello with a welcome naming the slot, and frees all of it when the peer
// leaves: it said goodbye, stayed silent past m_idle_limit_ms, the driver reported it
// unreachable or its secure session ended, it began again from the same address, or the host
// kicked it. A hello that is refused is answered with the reason (docs/protocol.md). Every
// arrival and departure is told once through OnEvent, whose default queues it for PollEvent;
// a refused sender at most once a second. Slots are reused for as long as the server runs.
//
// The manager's table is the one record of who is in: the server enters and removes peers
// itself, so AddClient and subAddClient refuse (-1) and RemoveClient kicks.
//
// Port matching (m_match_ports) starts on: peers are told apart by address and port.
class PORTNET_API CNetServer : public CNetManager {
public:
    enum : int {
        kRefusedFull = 1,      // every slot is taken
        kRefusedByHost = 2,    // Admit said no
        kRefusedNoMemory = 3,  // the peer or its buffer could not be made
        kRefusedNotPacket = 4, // the first datagram is neither a hello nor a packet
        kRefusedStale = 5,     // it continues a peer this server does not hold: one that ended,
                               // or one of an earlier server (far into its numbering, below)
        kRefusedReasons = 6
    };

    // A sender without a hello is admitted only with a packet numbered below this: a peer
    // just started.
    enum : int { kAdmitBelowSeq = CNetPeer::kFreshSeqs * 2 };
    // How far past an ended peer's numbering a new attempt from its address starts the
    // player's packets, so that those still in flight are old to the new peer.
    enum : int { kSeqGap = 1024 };

    CNetServer();
    ~CNetServer() override;

    // The manager's Init, plus the event queue (sized by GetLimit).
    int Init(CNetDriver* driver, int num_ports) override;
    int Release() override;
    int BeginFrame() override; // then ends peers past the idle limit
    int Read() override;       // then ends peers that said goodbye or began again

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
    int GetNumPeers() const { return GetNumClients(); }
    // A kRefused* reason in words ("full", "refused by the host", ...).
    static const char* RefusalText(int reason);

    // The server alone enters peers: -1.
    int AddClient(CNetClient* client, int slot) override;
    int subAddClient(CNetClient* client, int slot) override;
    // Kick(slot).
    int RemoveClient(int slot) override;

    // Hooks, called inside the frame steps. Admit sees a new sender's address and who the
    // driver authenticated (empty over a plain driver); false refuses it. NewPeer makes the
    // client for an admitted sender (null: refused, no memory); MakeOwnPort fills its own port
    // (an object and, for an unreliable one, both histories), -1 refusing. OnEvent receives
    // every event; override it to act at once instead of polling.
    // The server asks AdmitAddr, whose default asks Admit with the address's IPv4 or loopback
    // record (an IPv6 one: its family alone, the rest zero); a host that admits by IPv6
    // address overrides AdmitAddr.
    virtual bool Admit(const sockaddr_in* addr, const SNetPeerIdentity& who);
    virtual bool AdmitAddr(const CNetAddr& addr, const SNetPeerIdentity& who);
    virtual CNetPeer* NewPeer();
    virtual int MakeOwnPort(CNetDataPort* port);
    virtual void OnEvent(const SNetServerEvent& event);

    // Admits a new sender (the manager's hook); the slot, or -1 when refused.
    int CreateClient(CNetBuf* buf) override;
    // Ends the peer in slot for the reason its driver gave (the manager's hook for 10001).
    int DestroyClient(int slot) override;

    int m_keep_alive_ms = 1000;  // for every peer admitted from now on; 0: no keep-alive
    int m_idle_limit_ms = 10000; // likewise; 0: silence never ends a peer
    // For this long after a peer ended, datagrams from its address that continue its numbering
    // (sent before it heard of its end) and late repeats of its goodbye raise no event (see
    // m_after_leave); a new attempt from that address is admitted, its numbering continued
    // past the old one's. 0: nothing is remembered.
    int m_stale_hold_ms = 20000;
    // CNetClient's switches of the same names, for every peer admitted from now on: each
    // peer's packets follow what its path carries, and no object starves when they are
    // smaller than what the host has to send.
    bool m_adapt_rate = true;
    bool m_priority_aging = true;
    unsigned m_refused[kRefusedReasons] = {}; // refusals by reason, every one
    // Of those, not raised as events: its sender had one within the last second, or had just
    // left.
    unsigned m_refusals_unreported = 0;
    // Datagrams of peers that ended lately, dropped without an event: copies of a goodbye
    // that came after the one that ended the peer, and packets, each answered as unknown and
    // also counted in m_refused[kRefusedStale].
    unsigned m_after_leave = 0;
    unsigned m_events_dropped = 0; // events the full queue could not take

private:
    struct SEnded {
        CNetAddr m_addr;
        int m_read_seq;  // the last packet number read from it
        int m_write_seq; // the next it would have sent
        int m_time;      // frame time it ended
        int m_answered;  // frame time its packets were last answered; -1 never
    };
    struct SRecentRefusal {
        CNetAddr m_addr;
        int m_time; // -1: empty
    };

    int Join(const CNetAddr& addr, std::uint32_t attempt, int seq, bool welcome_now);
    void End(int slot, int reason, bool tell_driver);
    void EndMarked();
    SEnded* Ended(const CNetAddr& addr);
    bool SameSender(const CNetAddr& a, const CNetAddr& b) const;
    int Refuse(int reason, const CNetAddr& addr, bool answer_hello, std::uint32_t attempt, int seq);
    void Tell(int type, int slot, int reason, const CNetAddr& addr, const SNetPeerIdentity* who);

    bool m_reads[CNetClient::kMaxPorts] = {};
    bool m_writes[CNetClient::kMaxPorts] = {};
    // The latest peers that ended, checked for every new sender: a fixed ring, so a stranger
    // costs the same with a table of 8 or of 4096.
    enum : int { kEndedRing = 64 };
    SEnded* m_ended = nullptr;
    int m_ended_next = 0;
    // The last refusal event per sender, one entry per hash of its address: a sender that
    // floods raises one event a second; two that share an entry may raise a few more.
    enum : int { kRecentRefusals = 256 };
    SRecentRefusal* m_recent = nullptr;
    std::uint64_t m_refusal_seed = 0;    // where a sender's refusal is remembered
    int m_table_size = 0;                // the table as Init made it
    SNetServerEvent* m_events = nullptr; // ring of m_event_size
    int m_event_size = 0;
    int m_event_head = 0;
    int m_event_count = 0;
};
