#include "portnet/CNetBuf.h"

#include <cstring>
#include <new>

#include "client/NetWrap.h"
#include "portnet/CNetDriver.h"
#include "transport/LittleEndian.h"

namespace {

// Position arithmetic is unchecked by design: it wraps instead of overflowing.
using portnet::WrapAdd;
using portnet::WrapSub;

int MovePos(int* pos, int p, int mode) {
    switch (mode) {
    case 0:
        *pos = p;
        break;
    case 1:
        *pos = WrapAdd(*pos, p);
        break;
    case 2:
        *pos = WrapSub(CNetBuf::kMaxDatagram, p);
        break;
    default:
        return -1;
    }
    return *pos;
}

} // namespace

CNetBuf::CNetBuf(CNetDriver* driver, const sockaddr_in* addr)
    : m_driver(driver), m_read_pos(0), m_write_pos(0), m_channel(0), m_read_limit(kMaxPayload) {
    if (addr != nullptr) {
        m_addr = *addr;
        m_peer = CNetAddr::FromSockaddrIn(*addr);
    } else {
        std::memset(&m_addr, 0, sizeof m_addr);
    }
    m_data[0] = 0;
}

CNetBuf::CNetBuf(CNetDriver* driver, const CNetAddr& addr)
    : m_driver(driver), m_read_pos(0), m_write_pos(0), m_channel(0), m_read_limit(kMaxPayload) {
    SetAddr(addr);
    m_data[0] = 0;
}

CNetBuf::~CNetBuf() = default;

CNetBuf* CNetBuf::Clone() const {
    CNetBuf* copy = new (std::nothrow) CNetBuf(m_driver, &m_addr);
    if (copy != nullptr) copy->m_peer = m_peer;
    return copy;
}

CNetAddr CNetBuf::Addr() const {
    return m_addr.sin_family == kNetFamilyInet6 ? m_peer : CNetAddr::FromSockaddrIn(m_addr);
}

void CNetBuf::SetAddr(const CNetAddr& addr) {
    m_peer = addr;
    if (addr.ToSockaddrIn(&m_addr) == 1) return;
    std::memset(&m_addr, 0, sizeof m_addr);
    m_addr.sin_family = addr.IsInet6() ? kNetFamilyInet6 : 0;
}

int CNetBuf::SetReadingPos(int pos, int mode) {
    return MovePos(&m_read_pos, pos, mode);
}

int CNetBuf::SetWritingPos(int pos, int mode) {
    return MovePos(&m_write_pos, pos, mode);
}

int CNetBuf::GetAvailable(bool reading) const {
    return WrapSub(kDataSize, reading ? m_read_pos : m_write_pos);
}

int CNetBuf::SetChannel(int channel) {
    if (channel < 0 || channel > 255) return -1;
    m_channel = channel;
    m_data[0] = static_cast<unsigned char>(channel);
    return channel;
}

int CNetBuf::GetChannel() const {
    return m_channel;
}

int CNetBuf::Read(void* dest, int n) {
    const unsigned char* from = ReadSpan(n);
    if (from == nullptr) return -1;
    // memmove, and only for a count above 0: the destination may lie in m_data itself, and a
    // count of 0 may come with a null pointer.
    if (n > 0) std::memmove(dest, from, static_cast<std::size_t>(n));
    return n;
}

int CNetBuf::Write(const void* src, int n) {
    unsigned char* to = WriteSpan(n);
    if (to == nullptr) return -1;
    if (n > 0) std::memmove(to, src, static_cast<std::size_t>(n)); // as Read
    return n;
}

// Typed fields are little-endian, stored and loaded byte by byte so the layout never depends
// on the host's own byte order. They go straight to the payload rather than through Read and
// Write: these are the calls every packet header and record makes.

namespace {

template <int kWidth> int Store(CNetBuf* buf, std::uint32_t v) {
    unsigned char* at = buf->WriteSpan(kWidth);
    if (at == nullptr) return -1;
    portnet::StoreLE(at, v, kWidth);
    return kWidth;
}

template <int kWidth> int Load(CNetBuf* buf, std::uint32_t* v) {
    const unsigned char* at = buf->ReadSpan(kWidth);
    if (at == nullptr) return -1;
    *v = portnet::LoadLE(at, kWidth);
    return kWidth;
}

} // namespace

int CNetBuf::ReadChar(char* v) {
    std::uint32_t u;
    if (Load<1>(this, &u) < 0) return -1;
    *v = static_cast<char>(u);
    return 1;
}

int CNetBuf::WriteChar(char v) {
    return Store<1>(this, static_cast<unsigned char>(v));
}

int CNetBuf::ReadWord(unsigned short* v) {
    std::uint32_t u;
    if (Load<2>(this, &u) < 0) return -1;
    *v = static_cast<unsigned short>(u);
    return 2;
}

int CNetBuf::WriteWord(unsigned short v) {
    return Store<2>(this, v);
}

int CNetBuf::ReadShort(short* v) {
    unsigned short u;
    if (ReadWord(&u) < 0) return -1;
    *v = static_cast<short>(u);
    return 2;
}

int CNetBuf::WriteShort(short v) {
    return Store<2>(this, static_cast<unsigned short>(v));
}

int CNetBuf::ReadDword(std::uint32_t* v) {
    return Load<4>(this, v);
}

int CNetBuf::WriteDword(std::uint32_t v) {
    return Store<4>(this, v);
}

int CNetBuf::ReadInt(int* v) {
    std::uint32_t u;
    if (Load<4>(this, &u) < 0) return -1;
    *v = static_cast<int>(u);
    return 4;
}

int CNetBuf::WriteInt(int v) {
    return Store<4>(this, static_cast<std::uint32_t>(v));
}

int CNetBuf::ReadFloag(float* v) {
    std::uint32_t u;
    if (Load<4>(this, &u) < 0) return -1;
    std::memcpy(v, &u, 4);
    return 4;
}

int CNetBuf::WriteFloat(float v) {
    static_assert(sizeof(float) == 4, "IEEE 754 single precision expected");
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    return Store<4>(this, u);
}

int CNetBuf::WriteString(const char* text) {
    const std::size_t len = std::strlen(text);
    if (len >= static_cast<std::size_t>(kMaxPayload)) return -1;
    return Write(text, static_cast<int>(len) + 1);
}

int CNetBuf::ReadString(char* dest) {
    // Nothing left to read: an empty string, the position unchanged.
    if (!Fits(m_read_pos, 1, m_read_limit)) {
        dest[0] = '\0';
        return 0;
    }
    // Stops at the terminating zero, which is consumed, or at the end of the payload area,
    // whichever comes first; at most 998 characters are stored, so 999 bytes of destination
    // always suffice.
    const unsigned char* from = m_data + 1 + m_read_pos;
    const int left = (m_read_limit < kMaxPayload ? m_read_limit : kMaxPayload) - m_read_pos;
    const void* zero = std::memchr(from, 0, static_cast<std::size_t>(left));
    const int count =
        zero != nullptr ? static_cast<int>(static_cast<const unsigned char*>(zero) - from) : left;
    std::memcpy(dest, from, static_cast<std::size_t>(count));
    dest[count] = '\0';
    m_read_pos += zero != nullptr ? count + 1 : count;
    return count;
}

int CNetBuf::Send() {
    const int pos = m_write_pos;
    m_write_pos = 0;
    // A position moved outside the payload area by SetWritingPos would make the driver read
    // past m_data; such a datagram is refused.
    if (pos < 0 || pos > kMaxPayload) return -1;
    const int len = pos + 1;
    const int sent = m_addr.sin_family == kNetFamilyInet6
                         ? m_driver->SendToAddr(len, m_data, m_peer)
                         : m_driver->SendTo(len, m_data, &m_addr);
    if (sent == -1) return -1;
    return len;
}

int CNetBuf::Broadcast() {
    // Same refusal as Send for a position outside the payload area; the position is kept.
    if (m_write_pos < 0 || m_write_pos > kMaxPayload) return -1;
    const int sent = m_addr.sin_family == kNetFamilyInet6
                         ? m_driver->BroadcastAddr(m_write_pos + 1, m_data, m_peer)
                         : m_driver->Broadcast(m_write_pos + 1, m_data, &m_addr);
    if (sent == -1) return -1;
    m_write_pos = 0;
    return 1;
}

int CNetBuf::Recv() {
    int len = kDataSize;
    m_data[0] = 0;
    const int result = m_driver->RecvFrom(&len, m_data, &m_addr);
    if (m_addr.sin_family == kNetFamilyInet6) m_peer = m_driver->LastSender();
    if (result == -1) return -1;
    if (result >= kNetEventBase) return result;
    m_read_pos = 0;
    // A length outside 1..999 leaves nothing readable rather than trusting the driver.
    m_read_limit = len > 0 && len <= kMaxDatagram ? len - 1 : 0;
    if (len <= 0) return len;
    SetChannel(m_data[0]);
    return len;
}
