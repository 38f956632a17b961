#pragma once

#include <cstdint>

#include "CNetSim.h"

// Wraps any driver (a CNetUDP, a loopback endpoint ...) and impairs what it sends: loss,
// latency, jitter, duplication, reordering and a bandwidth cap as in SNetImpairment. Delayed
// datagrams wait in a queue made at construction and leave through the wrapped driver on the
// next SendTo, Broadcast or RecvFrom (or Flush) once due. Receiving passes straight through,
// so two processes that each wrap their driver impair both directions.
class PORTNET_API CNetImpairedDriver : public CNetDriver {
public:
    enum : int { kMaxDatagram = CNetSimDriver::kMaxDatagram, kDefaultQueueDepth = 256 };

    // Wraps inner, which it does not own: the host keeps it alive and destroys it after
    // this one. Draws from its own generator seeded with seed; holds up to queue_depth
    // datagrams (1 to 65536).
    CNetImpairedDriver(CNetDriver* inner, std::uint64_t seed = 1,
                       int queue_depth = kDefaultQueueDepth);
    ~CNetImpairedDriver() override;

    // Forwarded to the wrapped driver (Init and Shutdown also empty the holding queue).
    int SetBlockMode(bool non_blocking) override;
    int MakeBroadcastCapable() override; // also mirrors the flag into this driver
    int Init() override;
    int Shutdown() override;
    int Connected(sockaddr_in* peer) override;
    int Disconnected(sockaddr_in* peer) override;
    char* GetAddr() override;
    // Releases what is due, then impairs this datagram: 0 when handed over, held or dropped;
    // -1 without a wrapped driver, for a length outside 0..kMaxDatagram, or when the
    // wrapped driver refuses an undelayed datagram.
    int SendTo(int len, void* data, sockaddr_in* to) override;
    // Releases what is due, then the wrapped driver's RecvFrom.
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override;
    // As SendTo, leaving through the wrapped driver's Broadcast.
    int Broadcast(int len, void* data, sockaddr_in* to) override;
    // The same for an address of either family: an IPv4 or loopback one goes through the
    // calls above (a derived driver's overrides of them are heard), an IPv6 one straight on.
    int SendToAddr(int len, void* data, const CNetAddr& to) override;
    CNetAddr LastSender() const override;
    int BroadcastAddr(int len, void* data, const CNetAddr& to) override;
    int DisconnectedAddr(const CNetAddr& peer) override;
    // Forwarded, so the wrapped driver batches what this one lets through.
    int HoldSends() override;
    int ExpectPeers(int peers) override;
    int FlushSends() override;

    // Hands every held datagram that is due to the wrapped driver; the number handed over.
    int Flush();
    // Own clock: after SetTime or Advance the driver no longer follows CNetTime::GetTime().
    void SetTime(int ms);
    void Advance(int ms);
    // Current clock reading in ms (CNetTime::GetTime() while following the library clock).
    int GetTime() const { return m_time; }
    // Datagrams held, due or not.
    int GetQueued() const;

    SNetImpairment m_impairment;  // applied to everything sent
    SNetSimStats m_stats;         // m_delivered counts datagrams handed to the wrapped driver
    CNetDriver* m_inner;          // the wrapped driver, not owned
    bool m_use_library_clock;     // true until SetTime or Advance is called
    std::uint64_t m_rng_state;    // own generator
    int m_time;                   // clock reading in ms
    std::uint64_t m_clock_us;     // monotonic delivery clock in microseconds
    std::uint32_t m_next_order;   // keeps equal due times in send order
    std::uint64_t m_link_free_us; // bandwidth state
    CNetSimQueue* m_queue;        // held datagrams ordered by due time
};
