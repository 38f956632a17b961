#include "portnet/CNetClient.h"

#include <cstring>

#include "client/NetPacket.h"
#include "client/NetWrap.h"
#include "data/BlockChannel.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetData.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetManager.h"

using portnet::WrapMul;
using portnet::WrapSub;

CNetClient::CNetClient()
    : m_id(-1), m_name{}, m_num_ports(0), m_refs(nullptr), m_num_pending(0),
      m_pending_ports(nullptr), m_recv_buf(nullptr), m_send_buf(nullptr), m_manager(nullptr),
      m_own_port(nullptr), m_read_seq(0), m_read_toggle(1), m_sent_read_toggle(1), m_acked_seq(0),
      m_write_seq(1), m_write_toggle(0), m_write_acked(true), m_resend(false), m_last_read_time(-1),
      m_last_write_time(-1), m_last_reliable_read_time(-1), m_reliable_write_time(-1),
      m_reliable_wait(0), m_timeout(1000), m_ping(0), m_packets_in(0), m_packets_out(0),
      m_old_packets(0), m_lost_packets(0), m_timeouts(0), m_bytes_in(0), m_bytes_out(0),
      m_max_size(-1), m_rate_in(0), m_rate_out(0), m_rate_bytes_in(0), m_rate_bytes_out(0),
      m_rate_time(0), m_priority_list{}, m_priorities{} {
    for (int i = 0; i < kRing; ++i) {
        m_ack_times[i] = -1;
        m_write_times[i] = -1;
        m_read_seqs[i] = 0;
        m_read_times[i] = -1;
    }
}

CNetClient::~CNetClient() {
    // Blocks still queued for this peer end here (kPeerGone), while its fields are whole; what
    // a hook queued anew meanwhile goes without a word.
    portnet::ReleaseChannels(this, true);
    portnet::ReleaseChannels(this, false);
    delete[] m_pending_ports;
    m_pending_ports = nullptr;
    delete[] m_refs;
    m_refs = nullptr;
    delete m_own_port;
    m_own_port = nullptr;
}

int CNetClient::Init() {
    return 1;
}

int CNetClient::Release() {
    return 1;
}

int CNetClient::NewPortID(int port) {
    if (!m_manager) return -1; // not entered into a manager: nothing can start the port
    // Port 0 of a client is its own port, not the manager's port 0: start that object.
    if (port == 0 && m_own_port && m_own_port->m_object)
        m_manager->InitPort(m_own_port->m_object, -1);
    else
        m_manager->InitPort(port, -1);
    return 1;
}

int CNetClient::Disconnected() {
    if (m_manager) m_manager->DestroyClient(m_id);
    return 0;
}

int CNetClient::TimeOut() {
    return 0;
}

int CNetClient::ReadInstant(CNetBuf*) {
    return 0;
}

int CNetClient::Update(bool) {
    return 1;
}

void CNetClient::SetName(const char* name) {
    if (!name) {
        m_name[0] = '\0';
        return;
    }
    // A longer name is cut to what fits, so m_name always holds a terminated text.
    std::size_t n = std::strlen(name);
    if (n > kNameSize - 1) n = kNameSize - 1;
    std::memcpy(m_name, name, n);
    m_name[n] = '\0';
}

bool CNetClient::HaveRead(int n) const {
    // A negative n or one beyond m_read_seq names no sequence the rings can hold.
    if (n < 0 || n > m_read_seq) return false;
    const int seq = m_read_seq - n;
    return m_read_seqs[seq % kRing] == seq;
}

int CNetClient::CalcNet() {
    const int i = m_acked_seq % kRing;
    const int sample = WrapSub(m_ack_times[i], m_write_times[i]);
    if (m_ping >= sample) {
        m_ping = sample; // a smaller sample is believed at once
        return 1;
    }
    // Rising slowly: 0.8 of the old value plus 0.2 of the sample, truncated. The blend lies
    // between two ints, but float rounding can reach 2^31, which an int cannot hold.
    const float blended = static_cast<float>(m_ping) * 0.8f + static_cast<float>(sample) * 0.2f;
    m_ping = blended >= 2147483647.0f ? 2147483647 : static_cast<int>(blended);
    return 1;
}

int CNetClient::BeginFrame() {
    if (m_write_acked) return 1;
    if (!m_manager) return -1; // the frame time comes from the manager
    m_reliable_wait = WrapSub(m_manager->m_time, m_reliable_write_time);
    if (m_resend || m_reliable_wait < m_timeout) return 1;
    // Fixed time-out, no back-off: the repetition goes out with the next Write.
    m_resend = true;
    ++m_timeouts;
    return TimeOut() == -1 ? -1 : 1;
}

int CNetClient::EndFrame() {
    if (!m_manager) return -1;
    const int now = m_manager->m_time;
    const int elapsed = WrapSub(now, m_rate_time);
    if (elapsed < 1000) return 1;
    // bytes * 1000 wraps in 32 bits exactly as the counters themselves do.
    m_rate_in = WrapMul(WrapSub(m_bytes_in, m_rate_bytes_in), 1000) / elapsed;
    m_rate_bytes_in = m_bytes_in;
    m_rate_time = now;
    m_rate_out = WrapMul(WrapSub(m_bytes_out, m_rate_bytes_out), 1000) / elapsed;
    m_rate_bytes_out = m_bytes_out;
    return 1;
}

int CNetClient::WriteInstant(const void* data, int len) {
    if (!m_send_buf || len < 0 || (len > 0 && !data)) return -1;
    CNetBuf* buf = m_send_buf;
    const int start = buf->SetWritingPos(0, 1);
    if (buf->WriteByte(portnet::kHdrInstant) != 1 || (len > 0 && buf->Write(data, len) != len)) {
        // Too long for one datagram: leave nothing behind for the next packet to carry.
        buf->SetWritingPos(start, 0);
        return -1;
    }
    if (buf->Send() < 0) return -1;
    m_bytes_out = portnet::WrapAdd(m_bytes_out, len);
    return 1;
}
