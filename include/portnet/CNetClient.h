#pragma once

#include <cstdint>

#include "PortnetExport.h"

class CNetBuf;
class CNetData;
class CNetDataPort;
class CNetDataRef;
class CNetManager;
namespace portnet {
struct BlockChannel;
}

// One remote peer as seen from this side: connection state, statistics and per-frame work.
// Owned by the manager slot it is entered into. Not copyable: a copy would share (and
// later free) the same port records.
class PORTNET_API CNetClient {
public:
    enum : int { kRing = 256, kMaxPorts = 255, kNameSize = 100 };
    // Block datagrams a client writes in one frame beyond its packet, and the least room one
    // is worth.
    enum : int { kMaxBlockDatagrams = 64, kMinBlockDatagram = 64 };

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
    // Extra datagrams of block fragments after the frame's packet, within the send budget.
    int WriteBlockDatagrams(int count);
    // The block records an overtaken packet (late_seq) leads with; 0, or -1 for one that does
    // not parse.
    int ReadLateBlocks(CNetBuf* buf, std::uint32_t late_seq);
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

    // Off: every packet may fill the whole room that m_max_size allows, whatever the path
    // carries. On: the client estimates what the path to its peer delivers from the
    // acknowledgements and round trips it already sees, and gives each packet only the room
    // m_send_budget, so that the queue on the path stays short (docs/guide.md tells how).
    // Reliable records are never held back by the budget.
    bool m_adapt_rate = false;
    // Room for the records of this frame's first datagram, bytes; 0: this frame writes
    // nothing to the peer (the path carries less than a datagram a frame); -1 never on.
    int m_send_budget = -1;
    int m_est_bandwidth = 0; // bytes per second the path was seen to deliver, IP and UDP
                             // headers counted; 0 not yet known
    // Bytes this client would still send this frame beyond one datagram (block fragments
    // waiting), set by Write from its block streams; while above 0 the rate controller lets
    // the frame's budget grow past one datagram, into extra datagrams (RateRoomLeft).
    int m_rate_backlog = 0;
    // The newest packet read that held more than block records. A packet overtaken only by
    // packets of block records alone (the extra datagrams of a frame) is older than nothing
    // else this side read, so it is read whole rather than dropped: its states still count.
    int m_read_whole_seq = 0;
    // On: no port starves when a packet is too small for every state. With m_share_halving
    // above 0 (the default), the bytes are shared: a port's share halves for every
    // m_share_halving steps its priority is below the top one, and the ports below the top
    // share an eighth of theirs evenly (docs/guide.md, "Priority shares"). With 0, a state
    // left out gains one priority step for every packet it misses, and loses them when sent.
    bool m_priority_aging = false;
    int m_share_halving = 1;

    // What the rate controller remembers between frames; fixed, so a frame never allocates.
    struct SRateState {
        enum : int { kAcks = 16, kQueues = 8 };
        int m_seqs[kRing];       // own sequence a slot of m_sent belongs to; -1 none
        int m_sent[kRing];       // wire bytes sent up to and with that packet (wraps)
        int m_sent_total;        // bytes sent so far (wraps)
        int m_acked_total;       // m_sent of the last acknowledged packet
        int m_jump16;            // usual step of m_acked_seq, in sixteenths
        int m_jitter16;          // mean difference of successive round trips, in sixteenths
        int m_last_rtt;          // the round trip before
        int m_queues[kQueues];   // queueing of the last round trips, ms
        unsigned m_limited_bits; // one bit per recent frame: it wanted more than it got
        int m_used16;            // smoothed wire bytes per frame, in sixteenths
        int m_ack_times[kAcks];  // arrival of the last acknowledgements
        int m_ack_bytes[kAcks];  // bytes each one acknowledged
        int m_acks;              // acknowledgements taken so far
        int m_seen_acked;        // m_acked_seq when the controller last looked
        int m_min_rtt[2];        // least round trip of this window and the one before; -1 none
        int m_min_in[2];         // least m_ack_in of the same windows; INT_MAX none
        int m_in_delay[kRing];   // per packet read: its way from the peer, ms, plus a constant
        int m_in_last;           // m_in_delay of the packet read last
        int m_ack_in;            // m_in_delay of the packet that brought the newest acknowledgement
        bool m_in_chained;       // the packet read last named a packet still in the ring
        int m_in_gap;            // the peer's write spacing before the packet read last, ms;
                                 // 0 when the packet before it was not read
        int m_ack_gap;           // m_in_gap of the packet that brought the newest acknowledgement
        int m_window_start;      // frame time this window began
        int m_probe_until;       // a backlog's budget is halved until then, so the path's
                                 // empty round trip shows again; m_window_start: done
        int m_probe_window;      // the window whose probe was made
        int m_interval;          // smoothed ms between own frames
        int m_frame_time;        // time of the frame under way
        int m_frame_bytes;       // wire bytes written in the frame under way
        bool m_frame_open;       // the frame under way may write (its first datagram did)
        bool m_frame_limited;    // the frame under way wanted more than it got
        int m_want;              // record bytes the last written frame wanted (sent + left out)
        int m_want_one;          // the largest state record it left out, bytes
        int m_last_ack_time;     // time of the last acknowledgement taken; growth is per ms
        int m_cut_seq;           // the packet sent at the last cut; none cuts again before
        int m_cut_queue;         // least queue seen since the last cut, ms
        int m_cut_level;         // the queue at the last cut, ms
        int m_cut_time;          // when the last cut was made
        int m_ramp;              // additive growth, rising while the path stays empty
        int m_peak16;            // what the path delivered a frame at the last cut, sixteenths
        int m_budget16;          // wire bytes per frame, in sixteenths of a byte
        int m_credit;            // wire bytes the frame may still take (below 0: owed)
        int m_window;            // wire bytes a backlog may keep in flight; 0 not yet known
        bool m_slow_start;       // no congestion seen yet: grow fast
        bool m_had_backlog;      // the frame before had more to send than a datagram holds
        bool m_limited;          // the last frame wanted more than its budget
        bool m_queued;           // its last sample showed its own queue beyond the limit
        bool m_started;
    };
    SRateState m_rate_state{};
    int m_priority_age[kMaxPorts] = {}; // packets each port has missed in a row for lack of room

    // What the priority shares remember between packets (src/client/PriorityShares.h); fixed,
    // so a frame never allocates. Tags count bytes scaled by 65536 / share.
    struct SShareState {
        long long m_clock;                // the shared schedule's time
        long long m_finish[kMaxPorts];    // where each port's last record ended on the schedule
        long long m_key[kMaxPorts];       // this packet: finish of each place's record if sent now
        int m_share[kMaxPorts];           // this packet: each port's share, in 1/65536
        int m_size[kMaxPorts];            // bytes of each port's last record
        unsigned char m_place[kMaxPorts]; // this packet: each port's place in the order
        unsigned char m_port[kMaxPorts];  // this packet: the port at each place
        int m_count;                      // ports in this packet's order; 0 when not ordered
        int m_used;                       // bytes the ordered ports took in this packet
        bool m_scarce;                    // one of them wanted more than it got
        bool m_contest;                   // the last packet ordered was scarce
    };
    SShareState m_shares{};

    // This peer's transfers on the manager's block streams, one per port; made when the client
    // is entered (or the stream placed), freed when it is removed.
    portnet::BlockChannel* m_blocks = nullptr;

    // Work space of the writer, sized once so a frame never allocates.
    CNetData* m_priority_list[kMaxPorts];
    int m_priorities[kMaxPorts];
};
