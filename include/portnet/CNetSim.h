#pragma once

#include <cstdint>

#include "CNetDriver.h"

// An in-process network with impairments, for tests and soaks: endpoints are drivers that a
// CNetManager uses unchanged, addressed like loopback endpoints (family kNetFamilyLocal, id
// in sin_port). Datagrams can be lost, delayed, jittered, duplicated, reordered and limited
// by bandwidth, all drawn from the network's own seeded generator and timed on the network's
// own clock, which the host advances each frame: the same seed and the same calls give the
// same run, bit for bit. Nothing is allocated per datagram: every queue is made at creation.

class CNetSimQueue;
class CNetSimDriver;

// What happens to datagrams on their way out. Percentages are 0 to 100 (values outside are
// clamped), times are milliseconds (negative taken as 0).
struct PORTNET_API SNetImpairment {
    double m_loss_percent = 0.0;      // chance that a datagram is lost
    int m_latency_ms = 0;             // fixed one-way delay
    int m_jitter_ms = 0;              // extra delay drawn evenly from 0 to this (reorders too)
    double m_duplicate_percent = 0.0; // chance that a second copy arrives (own jitter)
    double m_reorder_percent = 0.0;   // chance that a datagram is held m_reorder_delay_ms longer
    int m_reorder_delay_ms = 0;       // extra delay of a reordered datagram
    int m_bandwidth_bytes_per_s = 0;  // link speed; 0 for unlimited
    int m_max_backlog_ms = 250;       // a capped link drops what would wait longer than this
};

// Counters of what happened to datagrams; all count datagrams, never bytes.
struct PORTNET_API SNetSimStats {
    std::uint32_t m_sent = 0;                // handed to SendTo (or once per target of Broadcast)
    std::uint32_t m_delivered = 0;           // handed to the receiver (or to the wrapped driver)
    std::uint32_t m_dropped_loss = 0;        // lost by the loss chance
    std::uint32_t m_dropped_queue_full = 0;  // no room in the holding queue
    std::uint32_t m_dropped_bandwidth = 0;   // the capped link's backlog was too long
    std::uint32_t m_dropped_unreachable = 0; // no endpoint with the destination id
    std::uint32_t m_dropped_oversize = 0;    // larger than the receiver's buffer; discarded
    std::uint32_t m_duplicated = 0;          // extra copies made
    std::uint32_t m_delayed = 0;             // copies held for later delivery
    std::uint32_t m_reordered = 0;           // copies given the reordering delay
    std::uint32_t m_send_failed = 0;         // held datagrams the wrapped driver refused
};

// The network: a clock, a random generator, the attached endpoints and per-link overrides.
// It does not own its endpoints; destroying it detaches them (their operations then fail).
class PORTNET_API CNetSimNetwork {
public:
    enum : int { kDefaultMaxEndpoints = 64, kDefaultMaxLinks = 64 };

    // Tables for at most max_endpoints attached endpoints and max_links link overrides.
    explicit CNetSimNetwork(std::uint64_t seed = 1, int max_endpoints = kDefaultMaxEndpoints,
                            int max_links = kDefaultMaxLinks);
    ~CNetSimNetwork();
    CNetSimNetwork(const CNetSimNetwork&) = delete;
    CNetSimNetwork& operator=(const CNetSimNetwork&) = delete;

    // Sets the clock to ms (the host's time base, 32-bit, may wrap). Time never runs back:
    // a value behind the current reading is ignored.
    void SetTime(int ms);
    // Moves the clock forward by ms (negative ignored).
    void Advance(int ms);
    // The clock's current reading in ms.
    int GetTime() const { return m_time; }

    // Impairments for datagrams from endpoint from_id to endpoint to_id, used instead of the
    // sender's own m_impairment. 0, or -1 when the link table is full.
    int SetLinkImpairment(int from_id, int to_id, const SNetImpairment& impairment);
    // Removes the override of that link; 0, or -1 when there was none.
    int ClearLinkImpairment(int from_id, int to_id);

    // One link override and its bandwidth state.
    struct SLink {
        int m_from_id;
        int m_to_id;
        SNetImpairment m_impairment;
        std::uint64_t m_link_free_us; // when the capped link is free again
    };

    // The attached endpoint with this id, or null.
    CNetSimDriver* FindEndpoint(int id) const;
    // The override of the link from from_id to to_id, or null.
    SLink* FindLink(int from_id, int to_id);

    SNetSimStats m_stats;        // totals over all endpoints
    std::uint64_t m_rng_state;   // the generator every impairment draws from
    int m_time;                  // clock reading in ms
    std::uint64_t m_clock_us;    // monotonic delivery clock in microseconds
    std::uint32_t m_next_order;  // insertion counter; keeps equal due times in send order
    CNetSimDriver** m_endpoints; // attached endpoints in attachment order
    int m_endpoint_count;        // entries used in m_endpoints
    int m_max_endpoints;         // capacity of m_endpoints
    SLink* m_links;              // link overrides
    int m_link_count;            // entries used in m_links
    int m_max_links;             // capacity of m_links

private:
    friend class CNetSimDriver;
    // Attached endpoints by id, so that a send finds its target without walking the table:
    // open addressing over twice the table's capacity, made with it.
    struct SEndpointEntry {
        int m_id;
        CNetSimDriver* m_endpoint; // null: an empty entry
    };
    std::uint32_t HomeOf(int id) const;
    void IndexEndpoint(CNetSimDriver* endpoint);
    void UnindexEndpoint(const CNetSimDriver* endpoint);
    SEndpointEntry* m_by_id = nullptr;
    std::uint32_t m_by_id_mask = 0;
};

// One endpoint of a CNetSimNetwork. The host constructs it, calls Init to attach it and
// deletes it when done; a CNetManager uses it like any driver.
class PORTNET_API CNetSimDriver : public CNetDriver {
public:
    enum : int { kMaxDatagram = 1450, kDefaultQueueDepth = 256 };

    // An endpoint with this id (0 to 65535) on network, with an incoming queue of queue_depth
    // datagrams (1 to 65536). If the queue cannot be made, Init fails.
    CNetSimDriver(CNetSimNetwork* network, int id, int queue_depth = kDefaultQueueDepth);
    ~CNetSimDriver() override;

    int SetBlockMode(bool non_blocking) override; // always non-blocking; 0
    int MakeBroadcastCapable() override;          // sets m_broadcast_capable; 0
    // Attaches to the network; -1 when the id is taken, out of range or the table is full.
    int Init() override;
    // Detaches; datagrams already queued stay. -1 when not attached.
    int Shutdown() override;
    int Connected(sockaddr_in* peer) override;    // 0
    int Disconnected(sockaddr_in* peer) override; // kNetEventDisconnect
    char* GetAddr() override;                     // "LOCAL:id"
    // Impairs and queues one datagram for the endpoint whose id is in to->sin_port. 0 when
    // queued or dropped; -1 when not attached, for a length outside 0..kMaxDatagram or an
    // address that is not of family kNetFamilyLocal.
    int SendTo(int len, void* data, sockaddr_in* to) override;
    // The earliest due datagram: 0 with its length and sender (length 0 when none is due);
    // -1 when not attached or the datagram exceeds the capacity (it is discarded, as UDP
    // does); kNetEventDisconnect with the peer for a refusal notice (see m_report_refused).
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override;
    // SendTo to every other attached endpoint, each drawn separately.
    int Broadcast(int len, void* data, sockaddr_in* to) override;

    // Datagrams waiting in the incoming queue, due or not.
    int GetQueued() const;

    SNetImpairment m_impairment; // applied to everything this endpoint sends
    // Sent, lost, bandwidth, unreachable, duplicated, delayed and reordered count what this
    // endpoint sent; delivered, queue full and oversize what it received.
    SNetSimStats m_stats;
    bool m_report_refused;        // a send to a missing id later yields a disconnect event
    CNetSimNetwork* m_network;    // null once the network is gone
    int m_endpoint_id;            // this endpoint's id
    bool m_attached;              // between a successful Init and Shutdown
    std::uint64_t m_link_free_us; // bandwidth state of m_impairment
    CNetSimQueue* m_queue;        // incoming datagrams ordered by due time
};
