#pragma once

#include <cstdint>

#include "CNetManager.h"
#include "CNetPeer.h"

class CNetDataPort;

// What a CNetConnection tells the game.
struct PORTNET_API SNetConnectionEvent {
    enum : int {
        kConnected = 1, // the host welcomed this attempt (GetSlot tells where)
        kLost = 2,      // the host is gone; m_reason says why
        kFailed = 3     // the host never answered (m_reason kNetGoneTimedOut), is unreachable,
                        // or refused (kNetGoneRefused)
    };
    int m_type;
    int m_reason;      // a kNetGone* reason; 0 for kConnected
    int m_refusal = 0; // with kNetGoneRefused: why, a CNetServer::kRefused* reason (full, ...)
};

// A game client's side: one peer, the host, at an address the game gives. Connect sends a
// hello of a new attempt every m_hello_ms until the host welcomes that attempt or refuses it,
// for at most m_connect_timeout_ms; only the welcome connects it, so nothing the host still
// sends to an earlier attempt from this address is taken for an answer. Then keep-alive and
// idle limit run as on a CNetServer. The host's goodbye or refusal, the driver's report,
// silence past the idle limit or a restarted host end the connection: it is reported once,
// and the connection stays quiet until Reconnect, which starts a new attempt (a new session
// over a secure driver). The table is the connection's own: AddClient and subAddClient refuse
// (-1), RemoveClient(0) leaves.
class PORTNET_API CNetConnection : public CNetManager {
public:
    enum : int { kIdle = 0, kConnecting = 1, kConnected = 2, kLost = 3 };
    enum : int { kEventQueueSize = 16 };

    CNetConnection();
    ~CNetConnection() override;

    int Init(CNetDriver* driver, int num_ports) override;
    int Release() override;
    int BeginFrame() override; // then connect time-out, idle limit, a host's goodbye
    int Read() override;       // then notices the host's answer, goodbye or restart

    // Which ports the connection reads and writes (port 0 is its own port), for the next
    // Connect. -1 for a port outside 0..254.
    int SetPeerPorts(int port, bool read, bool write);
    // Starts connecting to host (after Init); a connection held before is dropped without a
    // word. 1, or -1 without Init, a null address, one that names no host (0.0.0.0, port 0:
    // CheckDestAddr) or no memory.
    int Connect(const sockaddr_in* host);
    // The same for a host of either family (CNetAddr::CheckDest).
    int Connect(const CNetAddr& host);
    // The same for a host given as text: "a.b.c.d:port", "[v6]:port", or "name:port" resolved now
    // (this may wait for the system's resolver). -1 for text that names no single host and port,
    // with the reason in err (when not null, at most err_size bytes with its zero).
    int Connect(const char* host, char* err = nullptr, int err_size = 0);
    // Says goodbye to the host when connected, then connects again from a fresh start.
    int Reconnect();
    // Says goodbye to the host and goes idle.
    int Leave();
    // The host's slot for this player, from its welcome; -1 until then.
    int GetSlot() const;
    // The player id the host knows this player by (from its connect token); 0 when none.
    std::uint64_t GetPlayerId() const;
    int GetState() const { return m_state; }
    // The client for the host, or null while idle.
    CNetPeer* GetPeer() const;
    // 1 with the oldest queued event in *out, 0 when there is none.
    int PollEvent(SNetConnectionEvent* out);

    // Hooks: the client for the host, and its own port (see CNetServer).
    virtual CNetPeer* NewPeer();
    virtual int MakeOwnPort(CNetDataPort* port);
    virtual void OnEvent(const SNetConnectionEvent& event);

    // The driver's report on the host (the manager's hook for 10001).
    int DestroyClient(int slot) override;
    int AddClient(CNetClient* client, int slot) override;
    int subAddClient(CNetClient* client, int slot) override;
    int RemoveClient(int slot) override;

    int m_hello_ms = 100;            // while connecting: how often to send
    int m_connect_timeout_ms = 5000; // while connecting: when to give up
    int m_keep_alive_ms = 1000;      // once connected; 0: none
    int m_idle_limit_ms = 10000;     // once connected; 0: silence never ends it
    // CNetClient's switches of the same names for the link to the host, from the next
    // Connect: packets that follow what the path carries, no object starved by them.
    bool m_adapt_rate = true;
    bool m_priority_aging = true;
    unsigned m_events_dropped = 0;

private:
    void Drop(int type, int reason, bool tell_driver);
    void Forget();
    void Check();
    void Tell(int type, int reason, int refusal);
    std::uint32_t NextAttempt();

    CNetAddr m_host;
    int m_state = kIdle;
    int m_connect_time = -1;
    int m_slot = -1;
    std::uint64_t m_player_id = 0;
    std::uint64_t m_attempt_state = 0; // draws attempts: seeded once, stepped per Connect
    bool m_reads[CNetClient::kMaxPorts] = {};
    bool m_writes[CNetClient::kMaxPorts] = {};
    SNetConnectionEvent m_events[kEventQueueSize] = {};
    int m_event_head = 0;
    int m_event_count = 0;
};
