// A client that notices silence, goodbyes and fresh starts of its peer.
#include "portnet/CNetPeer.h"

#include <cstring>

#include "client/NetPacket.h"
#include "client/NetWrap.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetDriver.h"
#include "portnet/CNetManager.h"

using namespace portnet;

namespace {

// The payload of the goodbye instant message (docs/protocol.md).
constexpr unsigned char kGoodbye[CNetPeer::kGoodbyeSize] = {'B', 'Y', 'E', '!'};

} // namespace

CNetPeer::CNetPeer() = default;

CNetPeer::~CNetPeer() {
    CNetPeer::Release();
}

int CNetPeer::Release() {
    if (m_owns_send_buf) {
        delete m_send_buf;
        m_send_buf = nullptr;
        m_owns_send_buf = false;
    }
    return CNetClient::Release();
}

int CNetPeer::Disconnected() {
    // The driver knows why it reported the address; a plain one says unreachable.
    if (m_gone == 0 && m_send_buf && m_send_buf->m_driver)
        m_gone = m_send_buf->m_driver->GetGoneReason(&m_send_buf->m_addr);
    if (m_gone == 0) m_gone = kNetGoneUnreachable;
    return CNetClient::Disconnected();
}

int CNetPeer::Read(CNetBuf* buf) {
    if (!buf) return -1;
    // The header is looked at before the base reads it, to see what the base drops as old.
    const int at = buf->m_read_pos;
    SNetPacketHeader header;
    const bool packet = ReadPacketHeader(buf, &header) == EHeaderRead::kOk;
    buf->m_read_pos = at;
    const int read_before = m_read_seq;
    const int old_before = m_old_packets;
    const int r = CNetClient::Read(buf);
    if (!packet) return r;
    const int seq = static_cast<int>(header.seq);
    // Reordering and duplicates stay within a few packets of the newest; a run of packets near
    // the start of the numbering, long after it, is a peer that began again.
    const bool fresh = m_old_packets != old_before && seq < kFreshSeqs &&
                       read_before >= 2 * kFreshSeqs && (m_fresh_run == 0 || seq > m_fresh_last);
    m_fresh_run = fresh ? m_fresh_run + 1 : 0;
    m_fresh_last = seq;
    if (m_fresh_run >= kFreshRun && m_gone == 0) m_gone = kNetGoneRestarted;
    return r;
}

bool CNetPeer::IsGoodbye(const CNetBuf* buf) {
    if (!buf || buf->m_read_limit - buf->m_read_pos != kGoodbyeSize || buf->m_read_pos < 0)
        return false;
    return std::memcmp(buf->m_data + 1 + buf->m_read_pos, kGoodbye, kGoodbyeSize) == 0;
}

int CNetPeer::ReadInstant(CNetBuf* buf) {
    if (IsGoodbye(buf) && m_gone == 0) m_gone = kNetGoneLeft;
    return CNetClient::ReadInstant(buf);
}

int CNetPeer::SendGoodbye() {
    int sent = 0;
    for (int i = 0; i < kGoodbyeRepeats; ++i)
        if (WriteInstant(kGoodbye, kGoodbyeSize) == 1) ++sent;
    return sent > 0 ? 1 : -1;
}

int CNetPeer::Write() {
    if (!m_manager || m_keep_alive_ms <= 0) return CNetClient::Write();
    const int now = m_manager->m_time;
    if (m_last_write_time != -1 && WrapSub(now, m_last_write_time) < m_keep_alive_ms)
        return CNetClient::Write();
    // Quiet for long enough: the writer's own bare packet (the one that acknowledges states)
    // goes out even with nothing to say.
    const bool ack_states = m_ack_states;
    m_ack_states = true;
    m_states_unacked = true;
    const int r = CNetClient::Write();
    m_ack_states = ack_states;
    return r;
}

int CNetPeer::BeginFrame() {
    const int r = CNetClient::BeginFrame();
    if (!m_manager) return r;
    if (m_start_time == -1) m_start_time = m_manager->m_time;
    if (m_idle_limit_ms > 0 && m_gone == 0 && IdleFor() > m_idle_limit_ms)
        m_gone = kNetGoneTimedOut;
    return r;
}

int CNetPeer::IdleFor() const {
    if (!m_manager || m_start_time == -1) return 0;
    const int heard = m_last_read_time != -1 ? m_last_read_time : m_start_time;
    return WrapSub(m_manager->m_time, heard);
}
