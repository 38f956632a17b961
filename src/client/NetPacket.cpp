#include "client/NetPacket.h"

#include "portnet/CNetBuf.h"

namespace portnet {
namespace {

int Write24(CNetBuf* buf, std::uint32_t v) {
    const unsigned char b[3] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16)};
    return buf->Write(b, 3) == 3 ? 3 : -1;
}

bool Read24(CNetBuf* buf, std::uint32_t* v) {
    unsigned char b[3];
    if (buf->Read(b, 3) != 3) return false;
    *v = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16);
    return true;
}

int Write16(CNetBuf* buf, std::uint16_t v) {
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    return buf->Write(b, 2) == 2 ? 2 : -1;
}

bool Read16(CNetBuf* buf, std::uint16_t* v) {
    unsigned char b[2];
    if (buf->Read(b, 2) != 2) return false;
    *v = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    return true;
}

} // namespace

int WritePacketHeader(CNetBuf* buf, const SNetPacketHeader& h) {
    if (buf->WriteByte(h.bits) != 1 || Write24(buf, h.seq) < 0 || Write24(buf, h.ack) < 0)
        return -1;
    if (h.bits & kHdrTiming) {
        if (Write24(buf, h.timing_seq) < 0 || Write16(buf, h.timing_age) < 0) return -1;
    }
    return h.Size();
}

EHeaderRead ReadPacketHeader(CNetBuf* buf, SNetPacketHeader* h) {
    if (buf->ReadByte(&h->bits) != 1) return EHeaderRead::kTruncated;
    if (h->bits & kHdrInstant) return EHeaderRead::kInstant;
    if (!Read24(buf, &h->seq)) return EHeaderRead::kTruncated;
    if ((h->seq & 7u) != static_cast<std::uint32_t>((h->bits & kHdrCheckMask) >> kHdrCheckShift))
        return EHeaderRead::kBadCheck;
    if (!Read24(buf, &h->ack)) return EHeaderRead::kTruncated;
    h->timing_seq = 0;
    h->timing_age = 0;
    if (h->bits & kHdrTiming) {
        if (!Read24(buf, &h->timing_seq) || !Read16(buf, &h->timing_age))
            return EHeaderRead::kTruncated;
    }
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
