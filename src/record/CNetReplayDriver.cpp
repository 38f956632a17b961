// Playing a recording back: one frame's blocks at a time in a buffer made at construction, the
// manager's deliveries hashed and its sends compared with the recorded ones.
#include "portnet/CNetReplayDriver.h"

#include <cstring>
#include <new>

#include "portnet/CNetManager.h"
#include "portnet/CNetTime.h"
#include "record/RecordFormat.h"

using namespace portnet::record;

namespace {

CNetReplayDriver* g_clock_owner = nullptr;

enum : int { kItemIn = 0, kItemOut = 1, kItemReport = 2, kItemFlush = 3 };

} // namespace

CNetReplayDriver::CNetReplayDriver(const char* path, int buffer_bytes) {
    m_capacity = buffer_bytes < kMinBufferBytes ? +kMinBufferBytes : buffer_bytes;
    // The smallest block is 32 bytes: a frame has no more items than that leaves room for.
    m_max_items = m_capacity / 32;
    m_buf = new (std::nothrow) unsigned char[static_cast<size_t>(m_capacity)];
    m_items = new (std::nothrow) SItem[static_cast<size_t>(m_max_items)];
    if (m_buf == nullptr || m_items == nullptr) {
        Fail("no memory for the buffer");
        return;
    }
    m_file = path ? std::fopen(path, "rb") : nullptr;
    if (m_file == nullptr) {
        Fail("cannot open the recording");
        return;
    }
    ReadHeader();
}

CNetReplayDriver::~CNetReplayDriver() {
    if (g_clock_owner == this) {
        g_clock_owner = nullptr;
        if (CNetTime::m_timer_proc == Clock) CNetTime::Init();
    }
    if (m_file != nullptr) std::fclose(m_file);
    delete[] m_items;
    delete[] m_buf;
}

int CNetReplayDriver::Fail(const char* why) {
    if (m_error[0] == '\0') std::snprintf(m_error, sizeof m_error, "%s", why);
    return -1;
}

int CNetReplayDriver::Fill(int need) {
    while (m_end - m_pos < need) {
        if (m_pos + need > m_capacity) return -1;
        const size_t got =
            m_file ? std::fread(m_buf + m_end, 1, static_cast<size_t>(m_capacity - m_end), m_file)
                   : 0;
        if (got == 0) return 0;
        m_end += static_cast<int>(got);
    }
    return 1;
}

int CNetReplayDriver::ReadHeader() {
    // Section header: type, length, then the byte-order magic written little-endian.
    if (Fill(28) != 1 || Get32(m_buf) != kSectionHeader || Get32(m_buf + 8) != kByteOrderMagic)
        return Fail("not a little-endian pcapng file");
    int len = static_cast<int>(Get32(m_buf + 4));
    if (len < 28 || (len & 3) || Fill(len) != 1 || Get32(m_buf + len - 4) != Get32(m_buf + 4))
        return Fail("malformed section header");
    bool ours = false;
    for (int at = 24; at + 4 <= len - 4;) {
        const int code = static_cast<int>(Get16(m_buf + at));
        const int n = static_cast<int>(Get16(m_buf + at + 2));
        if (code == 0 || at + 4 + n > len - 4) break;
        const char* value = reinterpret_cast<const char*>(m_buf + at + 4);
        if (code == kOptShbUserAppl) ours = n == 7 && std::memcmp(value, "portnet", 7) == 0;
        if (code == kOptComment) {
            const int keep = n < static_cast<int>(sizeof m_note) - 1 ? n : sizeof m_note - 1;
            std::memcpy(m_note, value, static_cast<size_t>(keep));
            m_note[keep] = '\0';
        }
        at += 4 + Pad4(n);
    }
    if (!ours) return Fail("not a portnet recording (no portnet section)");
    m_pos = len;
    // The interface: raw IP.
    if (Fill(20) != 1 || Get32(m_buf + m_pos) != kInterfaceDescription ||
        Get16(m_buf + m_pos + 8) != static_cast<std::uint32_t>(kLinkTypeRaw))
        return Fail("no raw IP interface after the section header");
    len = static_cast<int>(Get32(m_buf + m_pos + 4));
    if (len < 20 || (len & 3) || Fill(len) != 1) return Fail("malformed interface block");
    m_pos += len;
    // The session block, when the recording has anything at all.
    if (Fill(12 + kSessionData + 4) == 1 && Get32(m_buf + m_pos) == kCustomCopyable &&
        Get32(m_buf + m_pos + 8) == kEnterprise && Get16(m_buf + m_pos + 12) == kBlockSession) {
        const CNetAddr own = GetEndpoint(m_buf + m_pos + 16);
        if (own.Family() != 0 && own.ToText(m_own_text, sizeof m_own_text) < 0)
            m_own_text[0] = '\0';
        m_pos += static_cast<int>(Get32(m_buf + m_pos + 4));
    }
    return 1;
}

void CNetReplayDriver::Attach(CNetManager* manager) {
    if (m_manager != nullptr && m_manager->m_frame_hash == &m_hash)
        m_manager->m_frame_hash = nullptr;
    m_manager = manager;
    m_hash.Reset();
    if (manager != nullptr) manager->m_frame_hash = &m_hash;
}

int CNetReplayDriver::Clock() {
    return g_clock_owner != nullptr ? g_clock_owner->m_clock : 0;
}

void CNetReplayDriver::UseClock() {
    g_clock_owner = this;
    CNetTime::m_timer_proc = Clock;
}

int CNetReplayDriver::TakePacket(const unsigned char* b, int len) {
    const int cap = static_cast<int>(Get32(b + 20));
    if (Get32(b + 8) != 0 || cap < 0 || cap > kMaxPseudo + kMaxDatagram || 28 + Pad4(cap) + 4 > len)
        return Fail("malformed packet block");
    int direction = 0, kind = kEndpointIp, result = 0;
    bool broadcast = false;
    std::uint32_t scope = 0;
    for (int at = 28 + Pad4(cap); at + 4 <= len - 4;) {
        const int code = static_cast<int>(Get16(b + at));
        const int n = static_cast<int>(Get16(b + at + 2));
        if (code == 0 || at + 4 + Pad4(n) > len - 4) break;
        const unsigned char* v = b + at + 4;
        if (code == kOptEpbFlags && n == 4) direction = static_cast<int>(Get32(v) & 3);
        if (code == kOptCustomBinary && n == kPacketOption && Get32(v) == kEnterprise) {
            kind = v[4];
            broadcast = (v[5] & kPacketBroadcast) != 0;
            scope = Get32(v + 8);
            result = static_cast<int>(Get32(v + 12));
        }
        at += 4 + Pad4(n);
    }
    if (direction != 1 && direction != 2) return Fail("a packet block without its direction");
    if (m_num_items == m_max_items) return Fail("a frame of more items than the buffer holds");
    SItem& item = m_items[m_num_items];
    int at = 0, n = 0;
    if (ReadPseudoHeader(b + 28, cap, direction == 1, kind, scope, &item.m_peer, &at, &n) != 1)
        return Fail("a packet that is not IP and UDP as recorded");
    item.m_kind = direction == 1 ? kItemIn : kItemOut;
    item.m_result = result;
    item.m_at = static_cast<int>(b - m_buf) + 28 + at;
    item.m_len = n;
    item.m_broadcast = broadcast;
    ++m_num_items;
    return 1;
}

int CNetReplayDriver::NextFrame() {
    if (!IsReady()) return -1;
    // The frame before is done with: its bytes make room for this one's.
    std::memmove(m_buf, m_buf + m_pos, static_cast<size_t>(m_end - m_pos));
    m_end -= m_pos;
    m_pos = 0;
    m_num_items = m_next_in = m_next_out = m_next_flush = 0;
    m_send_differs = false;
    m_loaded = false;
    for (;;) {
        const int got = Fill(8);
        if (got == 0) {
            // Nothing more, or a recording cut off (the recorder never closed) within the head
            // of its last block: either way the last whole frame was the end.
            m_pos = m_end;
            return 0;
        }
        if (got < 0) return Fail("a frame larger than the replay's buffer");
        const unsigned char* b = m_buf + m_pos;
        const std::uint32_t type = Get32(b);
        const int len = static_cast<int>(Get32(b + 4));
        if (len < 12 || (len & 3) || len > m_capacity) return Fail("malformed block length");
        const int whole = Fill(len);
        if (whole == 0) {
            // A recording cut off (the recorder never closed): its last frame is not whole.
            m_pos = m_end;
            return 0;
        }
        if (whole < 0) return Fail("a frame larger than the replay's buffer");
        b = m_buf + m_pos;
        if (Get32(b + len - 4) != static_cast<std::uint32_t>(len))
            return Fail("a block's lengths disagree");
        if (type == kSectionHeader) return Fail("a second section: one session a recording");
        if (type == kEnhancedPacket && TakePacket(b, len) < 0) return -1;
        if (type == kCustomCopyable && len >= 16 && Get32(b + 8) == kEnterprise) {
            const int kind = static_cast<int>(Get16(b + 12));
            if (kind == kBlockFrame && len == 12 + kFrameData + 4) {
                m_frame = Get32(b + 16);
                m_clock = static_cast<int>(Get32(b + 20));
                m_rec_items = Get32(b + 24);
                m_rec_hash = Get64(b + 28);
                m_pos += len;
                m_loaded = true;
                return 1;
            }
            if ((kind == kBlockReceiveReport || kind == kBlockFlushRefused) &&
                len == 12 + kReportData + 4) {
                if (m_num_items == m_max_items)
                    return Fail("a frame of more items than the buffer holds");
                SItem& item = m_items[m_num_items++];
                item.m_kind = kind == kBlockReceiveReport ? kItemReport : kItemFlush;
                item.m_result = static_cast<int>(Get32(b + 16));
                item.m_peer = GetEndpoint(b + 20);
                item.m_at = item.m_len = 0;
                item.m_broadcast = false;
            }
        }
        m_pos += len; // other blocks (another writer's, or a later format's) are passed over
    }
}

int CNetReplayDriver::RecvFrom(int* len, void* buf, sockaddr_in* from) {
    if (len == nullptr) return -1;
    while (m_next_in < m_num_items && m_items[m_next_in].m_kind != kItemIn &&
           m_items[m_next_in].m_kind != kItemReport)
        ++m_next_in;
    if (!m_loaded || m_next_in == m_num_items) {
        *len = 0;
        return 0;
    }
    const SItem& item = m_items[m_next_in++];
    m_last_sender = item.m_peer;
    if (from != nullptr) {
        if (item.m_peer.IsInet6()) {
            std::memset(from, 0, sizeof *from);
            from->sin_family = kNetFamilyInet6;
        } else if (item.m_peer.Family() != 0) {
            item.m_peer.ToSockaddrIn(from);
        }
    }
    if (item.m_kind == kItemReport) {
        *len = 0;
        return item.m_result;
    }
    if (item.m_len > *len || buf == nullptr) return -1; // as a driver with a short buffer
    if (item.m_len > 0) std::memcpy(buf, m_buf + item.m_at, static_cast<size_t>(item.m_len));
    *len = item.m_len;
    ++m_stats.m_datagrams_in;
    return item.m_result;
}

int CNetReplayDriver::Sent(int len, const void* data, const CNetAddr& to, bool broadcast) {
    ++m_stats.m_datagrams_out;
    while (m_next_out < m_num_items && m_items[m_next_out].m_kind != kItemOut)
        ++m_next_out;
    if (!m_loaded || m_next_out == m_num_items) {
        m_send_differs = true;
        ++m_stats.m_sends_differing;
        return 0;
    }
    const SItem& item = m_items[m_next_out++];
    if (item.m_len != len || item.m_peer != to || item.m_broadcast != broadcast ||
        (len > 0 && (data == nullptr ||
                     std::memcmp(m_buf + item.m_at, data, static_cast<size_t>(len)) != 0))) {
        m_send_differs = true;
        ++m_stats.m_sends_differing;
    }
    return item.m_result;
}

int CNetReplayDriver::SendTo(int len, void* data, sockaddr_in* to) {
    return to ? Sent(len, data, CNetAddr::FromSockaddrIn(*to), false) : -1;
}
int CNetReplayDriver::Broadcast(int len, void* data, sockaddr_in* to) {
    return to ? Sent(len, data, CNetAddr::FromSockaddrIn(*to), true) : -1;
}
int CNetReplayDriver::SendToAddr(int len, void* data, const CNetAddr& to) {
    return Sent(len, data, to, false);
}
int CNetReplayDriver::BroadcastAddr(int len, void* data, const CNetAddr& to) {
    return Sent(len, data, to, true);
}

int CNetReplayDriver::MakeBroadcastCapable() {
    m_broadcast_capable = true;
    return 0;
}

int CNetReplayDriver::FlushSends() {
    // A refusal was recorded after the sends of its Write: it belongs to this flush when no
    // recorded send before it is still to come.
    for (int i = m_next_flush; m_loaded && i < m_num_items; ++i) {
        if (m_items[i].m_kind == kItemOut && i >= m_next_out) return 0;
        if (m_items[i].m_kind == kItemFlush) {
            m_next_flush = i + 1;
            m_items[i].m_kind = -1; // taken
            return m_items[i].m_result;
        }
    }
    return 0;
}

int CNetReplayDriver::EndFrame() {
    if (!m_loaded) return -1;
    int diverged = 0;
    if (m_hash.Value() != m_rec_hash || m_hash.Items() != m_rec_items) diverged |= kDivergedHash;
    if (m_send_differs) diverged |= kDivergedSends;
    for (int i = m_next_out; i < m_num_items; ++i)
        if (m_items[i].m_kind == kItemOut) {
            ++m_stats.m_sends_missing;
            diverged |= kDivergedSends;
        }
    for (int i = m_next_in; i < m_num_items; ++i)
        if (m_items[i].m_kind == kItemIn || m_items[i].m_kind == kItemReport) {
            ++m_stats.m_unread;
            diverged |= kDivergedUnread;
        }
    ++m_stats.m_frames;
    if (diverged) {
        ++m_stats.m_diverged_frames;
        if (m_first_diverging < 0) {
            m_first_diverging = static_cast<int>(m_frame);
            m_first_divergence = diverged;
        }
    }
    m_hash.Reset();
    m_loaded = false;
    // What is left unread belongs to no later frame.
    m_next_in = m_next_out = m_num_items;
    return diverged ? 0 : 1;
}
