#include "portnet/CNetReliable.h"

#include <cstring>

#include "portnet/CNetBuf.h"
#include "transport/LittleEndian.h"

using portnet::LoadLE;
using portnet::StoreLE;

namespace {

constexpr int kLastChunk = 0x8000;
constexpr int kLengthMask = 0x7FFF;
constexpr int kHeaderSize = 2;
static_assert(SNetMsgBuf::kSize <= kLengthMask, "a whole message must fit the length field");
static_assert(CNetReliable::kMaxMessage == SNetMsgBuf::kSize - 1, "the peer accepts 799 bytes");

bool ValidIndex(int index) {
    return index >= 0 && index < CNetReliable::kQueueDepth;
}

// Counters a host may have set by hand through GetWriteBuf are held to the message area.
int Clamp(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

} // namespace

CNetReliable::CNetReliable() : CNetData(true) {
    CNetReliable::Created();
}

CNetReliable::~CNetReliable() = default;

// Drops every queued and partly received message; InitPort comes through here on each start.
int CNetReliable::Created() {
    for (SNetMsgBuf& b : m_write_bufs)
        std::memset(&b, 0, sizeof b);
    std::memset(&m_read_buf, 0, sizeof m_read_buf);
    m_send_index = 0;
    m_write_index = 0;
    m_acked = true;
    return 1;
}

int CNetReliable::ReadingCompleted() {
    return 0;
}

int CNetReliable::WritingCompleted() {
    return 0;
}

// --- Composing -------------------------------------------------------------------------------

// An append that would pass the 800-byte area returns -1 and leaves the message as it was.
int CNetReliable::Write(const void* data, int n) {
    SNetMsgBuf* b = GetWriteBuf();
    if (!b || n < 0 || (n > 0 && !data)) return -1;
    if (b->m_len < 0 || b->m_len > SNetMsgBuf::kSize - n) return -1;
    if (n > 0) std::memcpy(b->m_buf + b->m_len, data, static_cast<std::size_t>(n));
    b->m_len += n;
    return n;
}

int CNetReliable::WriteByte(unsigned char v) {
    return Write(&v, 1);
}

int CNetReliable::WriteChar(char v) {
    return Write(&v, 1);
}

int CNetReliable::WriteWord(unsigned short v) {
    unsigned char bytes[2];
    StoreLE(bytes, v, 2);
    return Write(bytes, 2);
}

int CNetReliable::WriteShort(short v) {
    return WriteWord(static_cast<unsigned short>(v));
}

int CNetReliable::WriteDword(std::uint32_t v) {
    unsigned char bytes[4];
    StoreLE(bytes, v, 4);
    return Write(bytes, 4);
}

int CNetReliable::WriteInt(int v) {
    return WriteDword(static_cast<std::uint32_t>(v));
}

int CNetReliable::WriteFloat(float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return WriteDword(bits);
}

int CNetReliable::WriteString(const char* text) {
    if (!text) return -1;
    const std::size_t len = std::strlen(text);
    if (len >= static_cast<std::size_t>(SNetMsgBuf::kSize)) return -1;
    return Write(text, static_cast<int>(len) + 1);
}

SNetMsgBuf* CNetReliable::GetWriteBuf() {
    return ValidIndex(m_write_index) ? &m_write_bufs[m_write_index] : nullptr;
}

// On a full ring m_write_index stays on the message being composed, so later appends extend that
// open message and can never reach a queued one.
int CNetReliable::Begin() {
    if (!ValidIndex(m_write_index)) return -1;
    if (m_write_bufs[m_write_index].m_len < 1) return 1;
    const int next = (m_write_index + 1) % kQueueDepth;
    if (m_write_bufs[next].m_len > 0) return -1;
    m_write_index = next;
    return 1;
}

// --- Receiving -------------------------------------------------------------------------------

int CNetReliable::Read(void* dest, int n) {
    SNetMsgBuf& b = m_read_buf;
    if (n < 0 || (n > 0 && !dest)) return -1;
    if (b.m_pos < 0 || b.m_pos >= SNetMsgBuf::kSize - n) return -1;
    if (n > 0) std::memcpy(dest, b.m_buf + b.m_pos, static_cast<std::size_t>(n));
    b.m_pos += n;
    return n;
}

int CNetReliable::ReadByte(unsigned char* v) {
    return v ? Read(v, 1) : -1;
}

int CNetReliable::ReadChar(char* v) {
    return v ? Read(v, 1) : -1;
}

int CNetReliable::ReadWord(unsigned short* v) {
    unsigned char bytes[2];
    if (!v || Read(bytes, 2) < 0) return -1;
    *v = static_cast<unsigned short>(LoadLE(bytes, 2));
    return 2;
}

int CNetReliable::ReadShort(short* v) {
    unsigned short w = 0;
    if (!v || ReadWord(&w) < 0) return -1;
    *v = static_cast<short>(w);
    return 2;
}

int CNetReliable::ReadDword(std::uint32_t* v) {
    unsigned char bytes[4];
    if (!v || Read(bytes, 4) < 0) return -1;
    *v = LoadLE(bytes, 4);
    return 4;
}

int CNetReliable::ReadInt(int* v) {
    std::uint32_t d = 0;
    if (!v || ReadDword(&d) < 0) return -1;
    *v = static_cast<int>(d);
    return 4;
}

int CNetReliable::ReadFloat(float* v) {
    std::uint32_t d = 0;
    if (!v || ReadDword(&d) < 0) return -1;
    std::memcpy(v, &d, sizeof *v);
    return 4;
}

// Copies up to a zero byte or the end of the area, then steps past the terminator as well.
int CNetReliable::ReadString(char* dest) {
    SNetMsgBuf& b = m_read_buf;
    if (!dest || b.m_pos < 0) return -1;
    int count = 0;
    if (b.m_pos < SNetMsgBuf::kSize) {
        const unsigned char* from = b.m_buf + b.m_pos;
        const int left = SNetMsgBuf::kSize - b.m_pos;
        const void* zero = std::memchr(from, 0, static_cast<std::size_t>(left));
        count = zero ? static_cast<int>(static_cast<const unsigned char*>(zero) - from) : left;
        std::memcpy(dest, from, static_cast<std::size_t>(count));
        b.m_pos += count;
    }
    dest[count] = '\0';
    ++b.m_pos;
    return count;
}

// --- Transport side --------------------------------------------------------------------------

// Block: 2-byte little-endian word (length in bits 0-14, bit 15 = last chunk), then the chunk.
int CNetReliable::Write(CNetBuf* buf, int room, CNetClient* /*client*/) {
    if (!buf || !ValidIndex(m_send_index)) return -1;
    SNetMsgBuf& b = m_write_bufs[m_send_index];
    const int len = Clamp(b.m_len, 0, SNetMsgBuf::kSize);
    if (len == 0) return 0;
    const int pos = Clamp(b.m_pos, 0, len);
    const int chunk = len - pos;
    b.m_chunk = chunk;
    if (chunk + kHeaderSize > room) return kBlockTooBig;

    // The writer always sends everything up to m_len, so every block it writes is a last chunk.
    // The block goes into the buffer whole or not at all.
    unsigned char* at = buf->WriteSpan(kHeaderSize + chunk);
    if (at == nullptr) return kBlockTooBig;
    StoreLE(at, static_cast<std::uint32_t>(chunk | kLastChunk), kHeaderSize);
    if (chunk > 0) std::memcpy(at + kHeaderSize, b.m_buf + pos, static_cast<std::size_t>(chunk));

    // First transmission: close the message so that the bytes in flight no longer change.
    if (m_acked && pos == 0 && Begin() < 0) return -1;
    m_acked = false;
    return chunk + kHeaderSize;
}

int CNetReliable::WriteSucceeded() {
    // Nothing in flight (no Write since the last acknowledgement, or the stream was restarted):
    // acknowledging now would free a buffer the host may be composing in.
    if (m_acked || !ValidIndex(m_send_index) || m_write_bufs[m_send_index].m_len <= 0) {
        m_acked = true;
        return 1;
    }
    m_acked = true;
    SNetMsgBuf& b = m_write_bufs[m_send_index];
    const int len = Clamp(b.m_len, 0, SNetMsgBuf::kSize);
    b.m_pos = Clamp(b.m_pos, 0, len) + Clamp(b.m_chunk, 0, len);
    if (b.m_pos < len) return 1; // bytes appended after the transmission still wait

    const int result = WritingCompleted();
    b.m_chunk = 0;
    b.m_pos = 0;
    b.m_len = 0;
    // The composing message stays where it is: only a message already closed is stepped past.
    if (m_send_index != m_write_index) m_send_index = (m_send_index + 1) % kQueueDepth;
    return result == -1 ? -1 : 1;
}

// A block that cannot be read whole, or that would take the message to 800 bytes, is refused
// with -1 and the incoming buffer keeps what it had gathered.
int CNetReliable::Read(CNetBuf* buf, CNetClient* /*client*/) {
    // A header that cannot be read means the datagram ends here: refused, not taken as empty.
    const unsigned char* at = buf ? buf->ReadSpan(kHeaderSize) : nullptr;
    if (at == nullptr) return -1;
    const std::uint32_t header = LoadLE(at, kHeaderSize);
    const int chunk = static_cast<int>(header & kLengthMask);
    if (chunk > buf->GetAvailable(true)) return -1;
    SNetMsgBuf& b = m_read_buf;
    if (b.m_len < 0 || b.m_len >= SNetMsgBuf::kSize - chunk) return -1;
    if (chunk > 0) {
        const unsigned char* from = buf->ReadSpan(chunk);
        if (from == nullptr) return -1;
        std::memcpy(b.m_buf + b.m_len, from, static_cast<std::size_t>(chunk));
    }
    b.m_len += chunk;
    if (!(header & kLastChunk)) return chunk;

    const int result = ReadingCompleted();
    b.m_pos = 0;
    b.m_len = 0;
    return result;
}

// A block longer than the rest of the datagram's payload is refused with -1, so the reading
// position never moves past what the buffer can hold.
int CNetReliable::Skip(CNetBuf* buf) {
    unsigned short header = 0;
    if (!buf || buf->ReadWord(&header) < 0) return -1;
    const int chunk = header & kLengthMask;
    const int remaining = buf->GetAvailable(true) - 2; // it reports 2 more than a read accepts
    if (chunk > remaining) return -1;
    buf->SetReadingPos(chunk, 1);
    return chunk + kHeaderSize;
}
