#include "client/NetPacket.h"

#include "portnet/CNetBuf.h"
#include "transport/LittleEndian.h"

namespace portnet {

// The header is assembled here and handed to the buffer in one write, which either takes
// it whole or leaves the buffer as it was.
int WritePacketHeader(CNetBuf* buf, const SNetPacketHeader& h) {
    unsigned char b[kTimedHeaderSize];
    b[0] = h.bits;
    StoreLE(b + 1, h.seq, 3);
    StoreLE(b + 4, h.ack, 3);
    if (h.bits & kHdrTiming) {
        StoreLE(b + 7, h.timing_seq, 3);
        StoreLE(b + 10, h.timing_age, 2);
    }
    return buf->Write(b, h.Size()) == h.Size() ? h.Size() : -1;
}

EHeaderRead ReadPacketHeader(CNetBuf* buf, SNetPacketHeader* h) {
    unsigned char b[kTimedHeaderSize];
    if (buf->ReadByte(&h->bits) != 1) return EHeaderRead::kTruncated;
    if (h->bits & kHdrInstant) return EHeaderRead::kInstant;
    if (buf->Read(b + 1, 3) != 3) return EHeaderRead::kTruncated;
    h->seq = LoadLE(b + 1, 3);
    if ((h->seq & 7u) != static_cast<std::uint32_t>((h->bits & kHdrCheckMask) >> kHdrCheckShift))
        return EHeaderRead::kBadCheck;
    // The acknowledgement and any timing fields in one read.
    const int rest = h->Size() - 4;
    if (buf->Read(b + 4, rest) != rest) return EHeaderRead::kTruncated;
    h->ack = LoadLE(b + 4, 3);
    const bool timed = (h->bits & kHdrTiming) != 0;
    h->timing_seq = timed ? LoadLE(b + 7, 3) : 0;
    h->timing_age = static_cast<std::uint16_t>(timed ? LoadLE(b + 10, 2) : 0);
    return EHeaderRead::kOk;
}

int WriteRecordPrefix(CNetBuf* buf, const SNetRecordPrefix& p) {
    if (buf->WriteByte(p.flags) != 1) return -1;
    if ((p.flags & kFlagHasAge) && buf->WriteByte(p.age) != 1) return -1;
    return p.Size();
}

int ReadRecordPrefix(CNetBuf* buf, SNetRecordPrefix* p) {
    p->age = 0;
    if (buf->ReadByte(&p->flags) != 1) return -1;
    if ((p->flags & kFlagHasAge) && buf->ReadByte(&p->age) != 1) return -1;
    return p->Size();
}

} // namespace portnet
