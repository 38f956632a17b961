// A game client's connection to its host: connecting, noticing the host gone, starting again.
#include "portnet/CNetConnection.h"

#include <chrono>
#include <new>
#include <random>

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
    // Attempts only tell this connection's tries from one another and from an earlier
    // process at the same address: no secret, but they must differ between processes.
    std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this)) << 16;
    try {
        std::random_device device;
        seed ^= (static_cast<std::uint64_t>(device()) << 32) ^ device();
    } catch (...) {
        // No random device: the clock and the address must do.
    }
    m_attempt_state = seed;
}

// splitmix64: every step gives a well-mixed, different value.
std::uint32_t CNetConnection::NextAttempt() {
    for (;;) {
        std::uint64_t z = (m_attempt_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        const std::uint32_t attempt = static_cast<std::uint32_t>(z ^ (z >> 31));
        if (attempt != 0) return attempt; // 0 is nobody's attempt
    }
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

void CNetConnection::Tell(int type, int reason, int refusal) {
    SNetConnectionEvent e;
    e.m_type = type;
    e.m_reason = reason;
    e.m_refusal = refusal;
    OnEvent(e);
}

int CNetConnection::GetSlot() const {
    return m_state == kConnected ? m_slot : -1;
}

std::uint64_t CNetConnection::GetPlayerId() const {
    return m_state == kConnected ? m_player_id : 0;
}

int CNetConnection::AddClient(CNetClient*, int) {
    return -1;
}

int CNetConnection::subAddClient(CNetClient*, int) {
    return -1;
}

int CNetConnection::RemoveClient(int slot) {
    if (slot != kHostSlot || !GetPeer()) return -1;
    Leave();
    return slot;
}

// Takes the host's client out of its slot. It stays allocated, so a game that kept it can read
// its last statistics after a kLost, until the next Connect frees it or Release does.
void CNetConnection::Forget() {
    if (m_clients && m_clients[kHostSlot].m_used) CNetManager::RemoveClient(kHostSlot);
}

CNetPeer* CNetConnection::GetPeer() const {
    if (m_state == kIdle || m_state == kLost || !m_clients || !m_clients[kHostSlot].m_used)
        return nullptr;
    return static_cast<CNetPeer*>(m_clients[kHostSlot].m_client);
}

int CNetConnection::Connect(const sockaddr_in* host) {
    if (!host || CheckDestAddr(host, nullptr, 0) != 1) return -1;
    return Connect(CNetAddr::FromSockaddrIn(*host));
}

int CNetConnection::Connect(const CNetAddr& host) {
    // 0.0.0.0 or port 0 names no host: refused now rather than timed out in five seconds.
    if (!m_clients || !m_buf || host.CheckDest(nullptr, 0) != 1) return -1;
    Forget();
    // The former client and its buffer are freed now, not held until the slot is reused.
    delete m_clients[kHostSlot].m_client;
    m_clients[kHostSlot].m_client = nullptr;
    m_state = kIdle;
    m_slot = -1;
    m_player_id = 0;
    m_host = host;
    CNetPeer* peer = NewPeer();
    if (!peer) return -1;
    peer->m_send_buf = new (std::nothrow) CNetBuf(m_buf->m_driver, m_host);
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
    peer->m_role = CNetPeer::kRolePlayer;
    peer->m_attempt = NextAttempt();
    if (CNetManager::AddClient(peer, kHostSlot) != kHostSlot) {
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

int CNetConnection::Connect(const char* host, char* err, int err_size) {
    if (host != nullptr && host[0] == '[') {
        CNetAddr v6;
        if (CNetAddr::Resolve(host, &v6, err, err_size) != 1 || v6.CheckDest(err, err_size) != 1)
            return -1;
        return Connect(v6);
    }
    sockaddr_in addr{};
    if (ResolveAddr(host, &addr, err, err_size) != 1 || CheckDestAddr(&addr, err, err_size) != 1)
        return -1;
    return Connect(&addr);
}

void CNetConnection::Drop(int type, int reason, bool tell_driver) {
    CNetPeer* peer = GetPeer();
    if (!peer) return;
    const int refusal = reason == kNetGoneRefused ? peer->m_refusal : 0;
    // A secure driver ends its session too, so the next connect makes a new one.
    if (tell_driver) m_buf->m_driver->DisconnectedAddr(m_host);
    Forget();
    m_state = kLost;
    Tell(type, reason, refusal);
}

int CNetConnection::Reconnect() {
    if (!m_clients || m_host.Family() == 0) return -1; // never connected: no host to ask
    if (CNetPeer* peer = GetPeer()) {
        if (m_state == kConnected) peer->SendGoodbye();
        m_buf->m_driver->DisconnectedAddr(m_host);
    }
    const CNetAddr host = m_host;
    return Connect(host);
}

int CNetConnection::Leave() {
    if (CNetPeer* peer = GetPeer()) {
        // Also while connecting: the host may have admitted this attempt already.
        peer->SendGoodbye();
        m_buf->m_driver->DisconnectedAddr(m_host);
        Forget();
    }
    m_state = kIdle;
    return 1;
}

int CNetConnection::DestroyClient(int slot) {
    CNetPeer* peer = GetPeer();
    if (slot != kHostSlot || !peer) return -1;
    // The peer's own Disconnected is still on the stack: it is dropped at the end of this
    // Read, never freed under it.
    if (peer->m_gone == 0) peer->m_gone = kNetGoneUnreachable;
    return slot;
}

// Moves the state on from what the host's client saw.
void CNetConnection::Check() {
    CNetPeer* peer = GetPeer();
    if (!peer) return;
    if (m_state == kConnecting) {
        if (m_connect_time == -1) m_connect_time = m_time;
        if (peer->m_welcomed && peer->m_gone == 0) {
            m_state = kConnected;
            m_slot = peer->m_slot_at_host;
            m_player_id = peer->m_player_id;
            peer->m_keep_alive_ms = m_keep_alive_ms;
            peer->m_idle_limit_ms = m_idle_limit_ms;
            Tell(SNetConnectionEvent::kConnected, 0, 0);
        } else if (peer->m_gone != 0) {
            Drop(SNetConnectionEvent::kFailed, peer->m_gone, !peer->m_gone_by_driver);
        } else if (WrapSub(m_time, m_connect_time) > m_connect_timeout_ms) {
            Drop(SNetConnectionEvent::kFailed, kNetGoneTimedOut, true);
        }
        return;
    }
    if (peer->m_gone != 0) Drop(SNetConnectionEvent::kLost, peer->m_gone, !peer->m_gone_by_driver);
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
