#pragma once

#include <cstdint>

class CNetBlockStream;
class CNetClient;

// The state of one peer's blocks on one block stream, both directions: the blocks this side
// sends (a queue, the fragments in flight) and the block it reassembles. Made once per peer and
// port, when the client is entered or the stream placed; the client owns it (CNetClient::m_blocks).
namespace portnet {

// Bytes are tracked in units of 16: fragments start on a unit and cover whole units but the
// block's last, so one bit per unit says what is held.
constexpr std::uint32_t kBlockUnit = 16;

inline std::uint32_t UnitsOf(std::uint32_t bytes) {
    return (bytes + kBlockUnit - 1) / kBlockUnit;
}

// One sending of a fragment, oldest first in a ring.
struct Flight {
    std::uint32_t offset;
    std::uint16_t len;
    bool lost; // to be sent again
    bool done; // acknowledged, cancelled or sent again: only waits to leave the ring
    int seq;   // the packet that carried it
    int time;  // when
};

// A block this side sends: one allocation holding this header, the ring of its fragments in
// flight, the acknowledged units' bitmap, then the block's bytes.
struct OutBlock {
    std::uint32_t id;
    std::uint32_t total;
    std::uint32_t acked;    // bytes the peer acknowledged
    std::uint32_t next_new; // every byte below was sent at least once
    std::uint32_t whole;    // units from the first acknowledged without a gap
    std::uint64_t* bits;    // acknowledged units
    unsigned char* data;
    Flight* flight;
    int flight_size;
    OutBlock* next;
};

// The block being reassembled; one allocation, its bitmap the units held.
struct InBlock {
    std::uint32_t id;
    std::uint32_t total;
    std::uint32_t held;  // bytes held
    std::uint32_t whole; // bytes held from 0 without a gap
    std::uint64_t* bits;
    unsigned char* data;
};

struct BlockChannel {
    enum : int { kMaxFlight = 2048, kAckRanges = 16, kAckRepeats = 3 };

    CNetBlockStream* stream; // null once the stream is gone
    CNetClient* client;
    int port;
    BlockChannel* prev; // the stream's list of channels
    BlockChannel* next;
    BlockChannel* client_next; // the client's list, one per block port
    std::uint32_t limit;

    // Sending.
    OutBlock* head; // in transfer; its ring holds the fragments in flight
    OutBlock* tail;
    int queued;
    std::uint32_t next_id;
    int flight_start;
    int flight_count;
    int lost;                // entries of the ring marked lost
    std::uint32_t cancel_id; // a cancelled block whose notice the peer has not answered; 0 none
    int cancel_time;
    int backoff;       // time-outs in a row
    int last_progress; // when an acknowledgement last took something

    // Receiving.
    InBlock* in;
    std::uint32_t floor;     // the lowest block number that may start
    std::uint32_t last_done; // the block completed last, 0 none; its acknowledgement is repeated
    std::uint32_t last_total;
    int ack_repeats;         // packets that still carry an acknowledgement
    std::uint32_t notice_id; // a notice this side owes: 2 (refused) or 3 (cancel seen)
    int notice_reason;
    int notice_repeats;
};

// The client's channel for stream's port; made when create is set (null without memory).
BlockChannel* FindChannel(CNetClient* client, CNetBlockStream* stream, bool create);
// Makes the client's channels for every block stream its manager holds, so that the frames
// that carry its blocks make nothing but the blocks; called when a client is entered.
void OpenChannels(CNetClient* client);
// Frees every channel of the client; with tell, blocks still queued end with kPeerGone, told
// once everything is freed.
void ReleaseChannels(CNetClient* client, bool tell);
// Called by the stream's destructor: its channels forget it and drop their blocks silently.
void DetachStream(CNetBlockStream* stream, BlockChannel* first);

void FreeOut(OutBlock* block);
void FreeIn(InBlock* block);

} // namespace portnet
