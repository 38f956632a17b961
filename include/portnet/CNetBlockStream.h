#pragma once

#include <cstdint>

#include "CNetData.h"
#include "PortnetExport.h"

class CNetBuf;
class CNetClient;
namespace portnet {
struct BlockChannel;
}

// Where one peer's block transfer stands, on either side.
struct PORTNET_API SNetBlockProgress {
    std::uint32_t m_id;    // number of the block in transfer; 0 when none is
    std::uint32_t m_done;  // sender: bytes the peer acknowledged; receiver: bytes received
    std::uint32_t m_total; // the block's size
    int m_queued;          // sender: blocks waiting behind it; receiver: 0
};

// A port kind of its own: reliable blocks (large messages) of up to a limit per peer, default
// 1 MiB, at most 16 MiB. Both peers place a CNetBlockStream on the same port number.
//
// Each block goes to one peer (Send names it), is delivered to that peer whole and in order
// (BlockReceived), and can be cancelled. It travels in fragments that take what a datagram
// has left after the records ranked above the port (GetPriority, 0 by default: last), and,
// for a client with m_adapt_rate on, in extra datagrams of the frame while its send budget
// allows. Lost fragments are found from the peer's selective acknowledgements and sent
// again; nothing waits for a time-out unless acknowledgements stop.
//
// Memory: Send copies the block into one allocation (the bytes and their bookkeeping); the
// receiver makes one allocation per block when its first fragment arrives, never above its
// limit, and holds at most one block in reassembly per peer and port. The small record of a
// peer's transfers on a stream is made when the peer's client is entered into the manager (or
// the stream placed on its port), so frames allocate nothing else. A peer's blocks are freed
// when its client is removed or destroyed (a peer that leaves mid-transfer: kPeerGone), by
// Cancel, and on delivery.
class PORTNET_API CNetBlockStream : public CNetData {
public:
    enum : std::uint32_t {
        kDefaultLimit = 1u << 20,
        kMaxLimit = 1u << 24,
    };
    enum : int {
        kMaxQueued = 32, // blocks queued per peer, the one in transfer included
        // Results of Send (below 0) and reasons of BlockEnded.
        kTooBig = -2,    // above the limit for this peer (this side's, or the peer's)
        kQueueFull = -3, // kMaxQueued blocks already wait for this peer
        kNoMemory = -4,  // the copy could not be made
        kCancelled = -5, // Cancel on the sending side
        kPeerGone = -6,  // the peer's client was released before the block arrived
        kDelivered = 1,  // BlockEnded on the sending side: the peer holds the whole block
    };

    CNetBlockStream();
    ~CNetBlockStream() override;
    CNetBlockStream(const CNetBlockStream&) = delete;
    CNetBlockStream& operator=(const CNetBlockStream&) = delete;

    // Queues a copy of len bytes (1 .. the peer's limit) for peer, a client of the manager the
    // stream's port belongs to. The block's number (1, 2, ... per peer and stream), or -1 for
    // a null peer or data, an empty block, or a stream not on a port; kTooBig, kQueueFull,
    // kNoMemory. Nothing is allocated for a refused block.
    int Send(CNetClient* peer, const void* data, std::uint32_t len);
    // Stops block id for peer, queued or in transfer: this side's BlockEnded reports
    // kCancelled; a peer that had begun to receive it drops what it holds and reports
    // kCancelled too (one that never saw a byte of it hears nothing). 1, or -1 for a block
    // that is not queued.
    int Cancel(CNetClient* peer, std::uint32_t id);
    // The largest block this side sends to or takes from peer (kDefaultLimit until set):
    // 1, or -1 for a null peer or a limit outside 1..kMaxLimit. A block in reassembly keeps
    // the limit it started under.
    int SetLimit(CNetClient* peer, std::uint32_t bytes);
    std::uint32_t GetLimit(CNetClient* peer) const;
    // 1 with the transfer of the first queued block to peer (m_id 0 when none), or -1.
    int GetSendProgress(CNetClient* peer, SNetBlockProgress* out) const;
    // 1 with the block in reassembly from peer (m_id 0 when none), or -1.
    int GetReceiveProgress(CNetClient* peer, SNetBlockProgress* out) const;

    // A whole block from peer, in order. data is valid during the call only. -1 is handed on
    // as a read failure of the packet that completed it.
    virtual int BlockReceived(CNetClient* peer, std::uint32_t id, const unsigned char* data,
                              std::uint32_t len);
    // A block's end other than its delivery to this side: on the sending side kDelivered,
    // kCancelled, kTooBig (the peer refused it) or kPeerGone; on the receiving side
    // kCancelled (the sender cancelled it) or kTooBig (this side refused it). A hook may
    // send, cancel, or remove the peer.
    virtual int BlockEnded(CNetClient* peer, std::uint32_t id, int reason);

    // Counters for this stream over all peers.
    std::uint32_t m_blocks_sent = 0;     // acknowledged whole
    std::uint32_t m_blocks_received = 0; // delivered whole
    std::uint32_t m_fragments_sent = 0;  // first sendings and repetitions
    std::uint32_t m_fragments_resent = 0;
    std::uint32_t m_fragments_refused = 0; // received and dropped: old, out of range, unasked
    std::uint32_t m_default_limit = kDefaultLimit; // for peers without SetLimit

    // Transport side, called by the client.
    // Writes this port's record (without the port byte) into buf: acknowledgements of what
    // the peer sent, notices, and fragments up to room bytes. Bytes written, 0 for nothing.
    int Write(CNetBuf* buf, int room, CNetClient* client);
    // Reads this port's record: the bytes it took, or -1 for a record that does not parse.
    // late: the record came in a packet older than the newest read, so its acknowledgement
    // tells nothing of what was lost since.
    int Read(CNetBuf* buf, CNetClient* client, bool late = false);
    // Whether Write has anything for client beyond what fits one datagram (fragments waiting).
    bool HasBacklog(const CNetClient* client) const;
    // Bytes waiting to go to client: never sent, and sent but lost (at most what the ring
    // of fragments in flight can tell).
    std::uint32_t BacklogBytes(const CNetClient* client) const;

    // The peers' channels on this stream (first of a list), so that the stream's end reaches
    // them; owned by the clients.
    portnet::BlockChannel* m_channels = nullptr;
};
