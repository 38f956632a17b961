#include "client/NetPacket.h"

#include "portnet/CNetBuf.h"
#include "transport/LittleEndian.h"

namespace portnet {

// The header goes into the buffer in place and whole, or the buffer is left as it was.
int WritePacketHeader(CNetBuf* buf, const SNetPacketHeader& h) {
    unsigned char* b = buf->WriteSpan(h.Size());
    if (b == nullptr) return -1;
    b[0] = h.bits;
    StoreLE(b + 1, h.seq, 3);
    StoreLE(b + 4, h.ack, 3);
    if (h.bits & kHdrTiming) {
        StoreLE(b + 7, h.timing_seq, 3);
        StoreLE(b + 10, h.timing_age, 2);
    }
    return h.Size();
}

EHeaderRead ReadPacketHeader(CNetBuf* buf, SNetPacketHeader* h) {
    if (buf->ReadByte(&h->bits) != 1) return EHeaderRead::kTruncated;
    if (h->bits & kHdrInstant) return EHeaderRead::kInstant;
    const unsigned char* seq = buf->ReadSpan(3); // header bytes 1..3
    if (seq == nullptr) return EHeaderRead::kTruncated;
    h->seq = LoadLE(seq, 3);
    if ((h->seq & 7u) != static_cast<std::uint32_t>((h->bits & kHdrCheckMask) >> kHdrCheckShift))
        return EHeaderRead::kBadCheck;
    // The acknowledgement and any timing fields in one read: header bytes 4 onwards.
    const unsigned char* rest = buf->ReadSpan(h->Size() - 4);
    if (rest == nullptr) return EHeaderRead::kTruncated;
    h->ack = LoadLE(rest, 3);
    const bool timed = (h->bits & kHdrTiming) != 0;
    h->timing_seq = timed ? LoadLE(rest + 3, 3) : 0;
    h->timing_age = static_cast<std::uint16_t>(timed ? LoadLE(rest + 6, 2) : 0);
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
