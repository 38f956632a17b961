#pragma once

#include <cstdint>

class CNetBuf;

// The layout of a client packet body. Each field's writer and reader sit side by side in
// NetPacket.cpp so the two can be held against each other.
//
//   header(1) seq(3) ack(3) [timing_seq(3) timing_age(2)] { port(1) record }* 0xFF
//
// An unreliable record is flags(1) [age(1)] state; a reliable record is the stream's block.
namespace portnet {

enum : unsigned char {
    kHdrReliable = 0x01,    // the packet carries reliable records
    kHdrWriteToggle = 0x02, // sender's write toggle: which reliable content this is
    kHdrReadToggle = 0x04,  // sender's read toggle: acknowledges the receiver's content
    kHdrTiming = 0x08,      // timing sequence and age follow the acknowledgement
    kHdrCheckMask = 0x70,   // sequence modulo 8
    kHdrInstant = 0x80,     // not a packet: an instant message
};
enum : int { kHdrCheckShift = 4 };

enum : unsigned char {
    kFlagDelta = 0x01,  // the state is encoded against a base slot
    kFlagHasAge = 0x02, // an age byte follows
};
enum : int { kFlagSlotShift = 2, kMaxBaseSlots = 64 };

enum : unsigned char { kPortTerminator = 0xFF };
enum : int { kPacketHeaderSize = 7, kTimedHeaderSize = 12 };

// Sequence numbers travel in 24 bits and are never wrapped.
constexpr std::uint32_t kMaxSequence = 0xFFFFFF;

struct SNetPacketHeader {
    unsigned char bits = 0;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint32_t timing_seq = 0; // only with kHdrTiming
    std::uint16_t timing_age = 0; // only with kHdrTiming

    int Size() const { return (bits & kHdrTiming) ? kTimedHeaderSize : kPacketHeaderSize; }
};

enum class EHeaderRead { kOk, kInstant, kBadCheck, kTruncated };

// Writes the whole header; -1 when the buffer refuses a byte.
int WritePacketHeader(CNetBuf* buf, const SNetPacketHeader& h);
// Reads the header in wire order and stops at the first verdict: an instant message leaves
// the reading position just behind its first byte, bad check bits behind the sequence.
EHeaderRead ReadPacketHeader(CNetBuf* buf, SNetPacketHeader* h);

struct SNetRecordPrefix {
    unsigned char flags = 0;
    unsigned char age = 0; // only with kFlagHasAge

    int Size() const { return (flags & kFlagHasAge) ? 2 : 1; }
    int Slot() const { return flags >> kFlagSlotShift; }
};

int WriteRecordPrefix(CNetBuf* buf, const SNetRecordPrefix& p);
int ReadRecordPrefix(CNetBuf* buf, SNetRecordPrefix* p);

} // namespace portnet
