// A client that notices silence, goodbyes and fresh starts of its peer.
#include "portnet/CNetPeer.h"

#include <cstring>

#include "client/NetPacket.h"
#include "client/NetWrap.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetDriver.h"
#include "portnet/CNetManager.h"
#include "server/Handshake.h"
#include "transport/LittleEndian.h"

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
    if (m_gone == 0) {
        m_gone_by_driver = true;
        if (m_send_buf && m_send_buf->m_driver)
            m_gone = m_send_buf->m_driver->GetGoneReasonAddr(m_send_buf->Addr());
        if (m_gone == 0) m_gone = kNetGoneUnreachable;
    }
    return CNetClient::Disconnected();
}

int CNetPeer::Read(CNetBuf* buf) {
    if (!buf) return -1;
    // The header is looked at before the base reads it, to see what the base drops as old.
    const int at = buf->m_read_pos;
    SNetPacketHeader header;
    const bool packet = ReadPacketHeader(buf, &header) == EHeaderRead::kOk;
    buf->m_read_pos = at;
    // Before the welcome nothing tells this attempt's packets from those sent to an earlier
    // one at this address: none is taken.
    if (packet && m_role == kRolePlayer && !m_welcomed) {
        ++m_strays;
        return 0;
    }
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

bool CNetPeer::IsGoodbye(const CNetBuf* buf, std::uint32_t* attempt) {
    if (!buf || buf->m_read_pos < 0) return false;
    const int len = buf->m_read_limit - buf->m_read_pos;
    if (len != kGoodbyeSize && len != kGoodbyeSize + 4) return false;
    const unsigned char* at = buf->m_data + 1 + buf->m_read_pos;
    if (std::memcmp(at, kGoodbye, kGoodbyeSize) != 0) return false;
    if (attempt) *attempt = len == kGoodbyeSize ? 0 : LoadLE(at + kGoodbyeSize, 4);
    return true;
}

int CNetPeer::ReadInstant(CNetBuf* buf) {
    // A goodbye ends only the attempt it names: a repeat of the one that ended an earlier
    // attempt from this address may still be on its way.
    std::uint32_t bye = 0;
    if (IsGoodbye(buf, &bye)) {
        if (bye == m_attempt && m_gone == 0) m_gone = kNetGoneLeft;
        return m_role == kRoleNone ? CNetClient::ReadInstant(buf) : 0;
    }
    if (m_role == kRoleNone) return CNetClient::ReadInstant(buf);
    int len = 0;
    const unsigned char* payload = InstantPayload(buf, &len);
    std::uint32_t attempt = 0;
    SWelcome welcome;
    SRefusal refusal;
    switch (DecodeHandshake(payload, len, &attempt, &welcome, &refusal)) {
    case EHandshake::kNone:
        return CNetClient::ReadInstant(buf);
    case EHandshake::kHello:
        if (m_role != kRoleHost) return 0;
        if (attempt == m_attempt) return SendWelcome() == 1 ? 0 : -1; // our welcome was lost
        // The player began again from this address: the server ends this peer and admits the
        // new attempt in the same frame.
        if (m_gone == 0) {
            m_gone = kNetGoneRestarted;
            m_restart_attempt = attempt;
        }
        return 0;
    case EHandshake::kWelcome:
        if (m_role != kRolePlayer || m_welcomed || welcome.attempt != m_attempt || m_gone != 0)
            return 0; // a repeat, or the answer to an earlier attempt
        m_welcomed = true;
        m_slot_at_host = welcome.slot;
        m_player_id = welcome.player_id;
        if (m_manager) {
            StartNumbering(welcome.player_first, welcome.host_first, m_last_hello_time,
                           m_manager->m_time);
            m_last_read_time = m_manager->m_time;
        }
        return 0;
    case EHandshake::kRefusal: {
        if (m_role != kRolePlayer || m_gone != 0) return 0;
        // A refusal counts only for this attempt: of its hello before the welcome, of one of
        // its own packets after it. Any other answers an earlier attempt's traffic.
        const bool ours = refusal.of_hello ? !m_welcomed && refusal.attempt == m_attempt
                                           : m_welcomed && refusal.seq >= m_first_write_seq &&
                                                 refusal.seq < m_write_seq;
        if (ours) {
            m_gone = kNetGoneRefused;
            m_refusal = refusal.reason;
        }
        return 0;
    }
    }
    return 0;
}

int CNetPeer::SendHello() {
    unsigned char msg[kHelloSize];
    const int n = EncodeHello(msg, m_attempt);
    if (m_manager) m_last_hello_time = m_manager->m_time;
    return WriteInstant(msg, n) == 1 ? 1 : -1;
}

int CNetPeer::SendWelcome() {
    SWelcome w;
    w.attempt = m_attempt;
    w.slot = m_id;
    w.host_first = m_first_write_seq;
    w.player_first = m_first_read_seq;
    w.player_id = m_player_id;
    unsigned char msg[kWelcomeSize];
    const int n = EncodeWelcome(msg, w);
    return WriteInstant(msg, n) == 1 ? 1 : -1;
}

void CNetPeer::StartNumbering(int write_first, int read_first, int write_time, int read_time) {
    m_first_write_seq = write_first;
    m_first_read_seq = read_first;
    if (write_first > 1) {
        const int prev = write_first - 1;
        m_write_seq = write_first;
        m_acked_seq = prev;
        m_write_times[prev % kRing] = write_time;
    }
    if (read_first > 1) {
        const int prev = read_first - 1;
        m_read_seq = prev;
        m_read_whole_seq = prev;
        m_read_seqs[prev % kRing] = prev;
        m_read_times[prev % kRing] = read_time;
    }
}

int CNetPeer::SendGoodbye() {
    int sent = 0;
    // A peer of an attempt names it; one admitted without sends the four bytes alone.
    unsigned char msg[kGoodbyeSize + 4];
    std::memcpy(msg, kGoodbye, kGoodbyeSize);
    StoreLE(msg + kGoodbyeSize, m_attempt, 4);
    const int len = m_attempt != 0 ? kGoodbyeSize + 4 : kGoodbyeSize;
    for (int i = 0; i < kGoodbyeRepeats; ++i)
        if (WriteInstant(msg, len) == 1) ++sent;
    return sent > 0 ? 1 : -1;
}

int CNetPeer::Write() {
    if (m_role == kRolePlayer && !m_welcomed) {
        // Asking: a hello every m_keep_alive_ms (the connection's hello rate), no packet.
        if (!m_manager) return -1;
        if (m_last_hello_time != -1 && m_keep_alive_ms > 0 &&
            WrapSub(m_manager->m_time, m_last_hello_time) < m_keep_alive_ms)
            return 1;
        return SendHello();
    }
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
