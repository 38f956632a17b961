#pragma once

#include "CNetManager.h"
#include "CNetPeer.h"

class CNetDataPort;

// What a CNetConnection tells the game.
struct PORTNET_API SNetConnectionEvent {
    enum : int {
        kConnected = 1, // the host answered
        kLost = 2,      // the host is gone; m_reason says why
        kFailed = 3     // the host never answered (m_reason kNetGoneTimedOut) or is unreachable
    };
    int m_type;
    int m_reason; // a kNetGone* reason; 0 for kConnected
};

// A game client's side: one peer, the host, at an address the game gives. Connect sends to
// it every m_hello_ms (bare packets when there is nothing else to say) until it answers, for
// at most m_connect_timeout_ms; then keep-alive and idle limit run as on a CNetServer. The
// host's goodbye, the driver's report, silence past the idle limit or a restarted host end
// the connection: it is reported once, and the connection stays quiet until Reconnect, which
// starts afresh on the wire (a new session over a secure driver).
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
    // word. 1, or -1 without Init, a null address or no memory.
    int Connect(const sockaddr_in* host);
    // Says goodbye to the host when connected, then connects again from a fresh start.
    int Reconnect();
    // Says goodbye to the host and goes idle.
    int Leave();
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
    void Check();
    void Tell(int type, int reason);

    sockaddr_in m_host{};
    int m_state = kIdle;
    int m_connect_time = -1;
    bool m_reads[CNetClient::kMaxPorts] = {};
    bool m_writes[CNetClient::kMaxPorts] = {};
    SNetConnectionEvent m_events[kEventQueueSize] = {};
    int m_event_head = 0;
    int m_event_count = 0;
};
