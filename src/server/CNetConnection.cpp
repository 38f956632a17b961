// A game client's connection to its host: connecting, noticing the host gone, starting again.
#include "portnet/CNetConnection.h"

#include <new>

#include "client/NetWrap.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetDriver.h"

using portnet::WrapSub;

namespace {
constexpr int kHostSlot = 0;
} // namespace

CNetConnection::CNetConnection() {
    m_match_ports = true;
}

CNetConnection::~CNetConnection() {
    CNetConnection::Release();
}

int CNetConnection::Init(CNetDriver* driver, int num_ports) {
    m_state = kIdle;
    m_event_count = 0;
    return CNetManager::Init(driver, num_ports);
}

int CNetConnection::Release() {
    m_state = kIdle;
    return CNetManager::Release();
}

int CNetConnection::SetPeerPorts(int port, bool read, bool write) {
    if (port < 0 || port >= CNetClient::kMaxPorts) return -1;
    m_reads[port] = read;
    m_writes[port] = write;
    return 1;
}

CNetPeer* CNetConnection::NewPeer() {
    return new (std::nothrow) CNetPeer;
}

int CNetConnection::MakeOwnPort(CNetDataPort*) {
    return 1;
}

void CNetConnection::OnEvent(const SNetConnectionEvent& event) {
    if (m_event_count == kEventQueueSize) {
        ++m_events_dropped;
        return;
    }
    m_events[(m_event_head + m_event_count) % kEventQueueSize] = event;
    ++m_event_count;
}

int CNetConnection::PollEvent(SNetConnectionEvent* out) {
    if (!out || m_event_count == 0) return 0;
    *out = m_events[m_event_head];
    m_event_head = (m_event_head + 1) % kEventQueueSize;
    --m_event_count;
    return 1;
}

void CNetConnection::Tell(int type, int reason) {
    SNetConnectionEvent e;
    e.m_type = type;
    e.m_reason = reason;
    OnEvent(e);
}

CNetPeer* CNetConnection::GetPeer() const {
    if (m_state == kIdle || m_state == kLost || !m_clients || !m_clients[kHostSlot].m_used)
        return nullptr;
    return static_cast<CNetPeer*>(m_clients[kHostSlot].m_client);
}

int CNetConnection::Connect(const sockaddr_in* host) {
    if (!host || !m_clients || !m_buf) return -1;
    if (m_clients[kHostSlot].m_used) RemoveClient(kHostSlot);
    m_state = kIdle;
    m_host = *host;
    CNetPeer* peer = NewPeer();
    if (!peer) return -1;
    peer->m_send_buf = new (std::nothrow) CNetBuf(m_buf->m_driver, &m_host);
    peer->m_owns_send_buf = peer->m_send_buf != nullptr;
    if (!peer->m_own_port) peer->m_own_port = new (std::nothrow) CNetDataPort;
    if (!peer->m_send_buf || !peer->m_own_port || MakeOwnPort(peer->m_own_port) == -1) {
        delete peer;
        return -1;
    }
    // Sent at the hello rate until the host answers; no idle limit until then, the connect
    // time-out stands in for it.
    peer->m_ack_states = true;
    peer->m_keep_alive_ms = m_hello_ms;
    peer->m_idle_limit_ms = 0;
    peer->m_adapt_rate = m_adapt_rate;
    peer->m_priority_aging = m_priority_aging;
    // The slot deletes the client it held before once this one is in.
    if (AddClient(peer, kHostSlot) != kHostSlot) {
        delete peer;
        return -1;
    }
    for (int p = 0; p < m_num_ports && p < CNetClient::kMaxPorts; ++p) {
        peer->m_refs[p].m_read_enabled = m_reads[p];
        peer->m_refs[p].m_write_enabled = m_writes[p];
    }
    m_state = kConnecting;
    m_connect_time = -1; // set by the next frame
    return 1;
}

void CNetConnection::Drop(int type, int reason, bool tell_driver) {
    CNetPeer* peer = GetPeer();
    if (!peer) return;
    // A secure driver ends its session too, so the next connect makes a new one.
    if (tell_driver) m_buf->m_driver->Disconnected(&m_host);
    RemoveClient(kHostSlot);
    m_state = kLost;
    Tell(type, reason);
}

int CNetConnection::Reconnect() {
    if (!m_clients || m_host.sin_family == 0) return -1; // never connected: no host to ask
    if (CNetPeer* peer = GetPeer()) {
        if (m_state == kConnected) peer->SendGoodbye();
        m_buf->m_driver->Disconnected(&m_host);
    }
    return Connect(&m_host);
}

int CNetConnection::Leave() {
    if (CNetPeer* peer = GetPeer()) {
        peer->SendGoodbye();
        m_buf->m_driver->Disconnected(&m_host);
        RemoveClient(kHostSlot);
    }
    m_state = kIdle;
    return 1;
}

int CNetConnection::DestroyClient(int slot) {
    CNetPeer* peer = GetPeer();
    if (slot != kHostSlot || !peer) return -1;
    const int reason = peer->m_gone != 0 ? peer->m_gone : kNetGoneUnreachable;
    Drop(m_state == kConnected ? SNetConnectionEvent::kLost : SNetConnectionEvent::kFailed, reason,
         false);
    return slot;
}

// Moves the state on from what the host's client saw.
void CNetConnection::Check() {
    CNetPeer* peer = GetPeer();
    if (!peer) return;
    if (m_state == kConnecting) {
        if (m_connect_time == -1) m_connect_time = m_time;
        if (peer->m_last_read_time != -1 && peer->m_gone == 0) {
            m_state = kConnected;
            peer->m_keep_alive_ms = m_keep_alive_ms;
            peer->m_idle_limit_ms = m_idle_limit_ms;
            Tell(SNetConnectionEvent::kConnected, 0);
        } else if (peer->m_gone != 0) {
            Drop(SNetConnectionEvent::kFailed, peer->m_gone, true);
        } else if (WrapSub(m_time, m_connect_time) > m_connect_timeout_ms) {
            Drop(SNetConnectionEvent::kFailed, kNetGoneTimedOut, true);
        }
        return;
    }
    if (peer->m_gone != 0) Drop(SNetConnectionEvent::kLost, peer->m_gone, true);
}

int CNetConnection::BeginFrame() {
    const int r = CNetManager::BeginFrame();
    Check();
    return r;
}

int CNetConnection::Read() {
    const int r = CNetManager::Read();
    Check();
    return r;
}
