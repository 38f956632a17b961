// A host that admits peers, notices when they are gone, and frees their slots.
#include "portnet/CNetServer.h"

#include <new>

#include "client/NetPacket.h"
#include "client/NetWrap.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetDriver.h"

using namespace portnet;

namespace {

// Refusals can come with every datagram of a flood; they may fill only this share of the
// queue, so arrivals and departures always find room.
constexpr int kRefusalShare = 2; // at most 1/2

// Room for every slot to leave and join again twice between two polls.
int EventQueueSize(int limit) {
    return limit * 4 + 16;
}

} // namespace

CNetServer::CNetServer() {
    m_match_ports = true;
}

CNetServer::~CNetServer() {
    CNetServer::Release();
}

int CNetServer::GetLimit() const {
    // The admission limit is the client table (m_max_clients, set before Init).
    return m_max_clients;
}

int CNetServer::Init(CNetDriver* driver, int num_ports) {
    CNetServer::Release();
    if (CNetManager::Init(driver, num_ports) != 1) return -1;
    const int limit = GetLimit();
    m_event_size = EventQueueSize(limit);
    m_live = new (std::nothrow) int[limit];
    m_live_index = new (std::nothrow) int[limit];
    m_events = new (std::nothrow) SNetServerEvent[m_event_size];
    m_ended = new (std::nothrow) SEnded[kEndedRing]();
    if (!m_live || !m_live_index || !m_events || !m_ended) {
        CNetServer::Release();
        return -1;
    }
    for (int i = 0; i < limit; ++i)
        m_live_index[i] = -1;
    for (int i = 0; i < kEndedRing; ++i)
        m_ended[i].m_time = -1;
    m_ended_next = 0;
    return 1;
}

int CNetServer::Release() {
    // The manager releases and deletes every peer; each frees its own buffer.
    CNetManager::Release();
    delete[] m_live;
    m_live = nullptr;
    delete[] m_live_index;
    m_live_index = nullptr;
    delete[] m_events;
    m_events = nullptr;
    delete[] m_ended;
    m_ended = nullptr;
    m_num_live = m_event_size = m_event_head = m_event_count = 0;
    return 1;
}

int CNetServer::SetPeerPorts(int port, bool read, bool write) {
    if (port < 0 || port >= CNetClient::kMaxPorts) return -1;
    m_reads[port] = read;
    m_writes[port] = write;
    return 1;
}

bool CNetServer::Admit(const sockaddr_in*, const SNetPeerIdentity&) {
    return true;
}

CNetPeer* CNetServer::NewPeer() {
    return new (std::nothrow) CNetPeer;
}

int CNetServer::MakeOwnPort(CNetDataPort*) {
    return 1;
}

CNetPeer* CNetServer::GetPeer(int slot) const {
    if (!m_live_index || slot < 0 || slot >= GetLimit() || m_live_index[slot] == -1) return nullptr;
    return static_cast<CNetPeer*>(m_clients[slot].m_client);
}

void CNetServer::OnEvent(const SNetServerEvent& event) {
    if (!m_events) return;
    const bool refusal = event.m_type == SNetServerEvent::kRefused;
    if (m_event_count == m_event_size ||
        (refusal && m_event_count >= m_event_size / kRefusalShare)) {
        ++m_events_dropped;
        return;
    }
    m_events[(m_event_head + m_event_count) % m_event_size] = event;
    ++m_event_count;
}

int CNetServer::PollEvent(SNetServerEvent* out) {
    if (!out || m_event_count == 0) return 0;
    *out = m_events[m_event_head];
    m_event_head = (m_event_head + 1) % m_event_size;
    --m_event_count;
    return 1;
}

void CNetServer::Tell(int type, int slot, int reason, const sockaddr_in& addr,
                      const SNetPeerIdentity* who) {
    SNetServerEvent e;
    e.m_type = type;
    e.m_slot = slot;
    e.m_reason = reason;
    e.m_addr = addr;
    e.m_who = who ? *who : SNetPeerIdentity{};
    OnEvent(e);
}

int CNetServer::CreateClient(CNetBuf* buf) {
    if (!buf || !m_live) return -1;
    const sockaddr_in addr = buf->m_addr;
    auto refuse = [&](int why) {
        ++m_refused[why];
        Tell(SNetServerEvent::kRefused, -1, why, addr, nullptr);
        return -1;
    };
    // Only a packet opens a slot: an instant message (a goodbye repeated after its peer was
    // let go, say) or junk from an unknown sender does not.
    const int at = buf->m_read_pos;
    SNetPacketHeader header;
    const bool packet = ReadPacketHeader(buf, &header) == EHeaderRead::kOk;
    buf->m_read_pos = at;
    if (!packet) return refuse(kRefusedNotPacket);
    // A peer starts its numbering at 1; a sender far into it is talking to an earlier
    // server or to a peer of ours that ended, and would be answered in numbers it drops.
    if (static_cast<int>(header.seq) >= kAdmitBelowSeq || Stale(addr, static_cast<int>(header.seq)))
        return refuse(kRefusedStale);
    if (m_num_live >= GetLimit()) return refuse(kRefusedFull);

    SNetPeerIdentity who;
    if (m_buf->m_driver->GetPeerIdentity(&addr, &who) != 1) who = SNetPeerIdentity{};
    who.m_identity[SNetPeerIdentity::kMaxText] = '\0';
    if (!Admit(&addr, who)) return refuse(kRefusedByHost);

    CNetPeer* peer = NewPeer();
    if (!peer) return refuse(kRefusedNoMemory);
    peer->m_send_buf = new (std::nothrow) CNetBuf(m_buf->m_driver, &addr);
    peer->m_owns_send_buf = peer->m_send_buf != nullptr;
    if (!peer->m_own_port) peer->m_own_port = new (std::nothrow) CNetDataPort;
    if (!peer->m_send_buf || !peer->m_own_port || MakeOwnPort(peer->m_own_port) == -1) {
        delete peer;
        return refuse(kRefusedNoMemory);
    }
    // What every peer of a server gets: acknowledged states, keep-alive, idle limit, and a
    // send budget that follows its path.
    peer->m_ack_states = true;
    peer->m_keep_alive_ms = m_keep_alive_ms;
    peer->m_idle_limit_ms = m_idle_limit_ms;
    peer->m_adapt_rate = m_adapt_rate;
    peer->m_priority_aging = m_priority_aging;

    const int slot = AddClient(peer, -1);
    if (slot < 0) {
        delete peer; // refused by the table or its own Init: still ours
        return refuse(kRefusedNoMemory);
    }
    for (int p = 0; p < m_num_ports && p < CNetClient::kMaxPorts; ++p) {
        peer->m_refs[p].m_read_enabled = m_reads[p];
        peer->m_refs[p].m_write_enabled = m_writes[p];
    }
    m_live_index[slot] = m_num_live;
    m_live[m_num_live++] = slot;
    Tell(SNetServerEvent::kJoined, slot, 0, addr, &who);
    // A hook that kicked the peer at once leaves no client for this datagram.
    return m_live_index[slot] != -1 ? slot : -1;
}

void CNetServer::End(int slot, int reason, bool tell_driver) {
    CNetPeer* peer = GetPeer(slot);
    if (!peer) return;
    const sockaddr_in addr = peer->m_send_buf ? peer->m_send_buf->m_addr : sockaddr_in{};
    // A peer the driver ended (a secure driver's kick among them) has nobody left to hear it.
    if (reason == kNetGoneKicked && tell_driver) peer->SendGoodbye();
    // A secure driver ends the session too, so a later datagram starts a new one.
    if (tell_driver && peer->m_send_buf) m_buf->m_driver->Disconnected(&peer->m_send_buf->m_addr);
    SEnded& ended = m_ended[m_ended_next];
    m_ended_next = (m_ended_next + 1) % kEndedRing;
    ended.m_addr = addr;
    ended.m_read_seq = peer->m_read_seq;
    ended.m_time = m_time;
    RemoveClient(slot); // the peer's Release frees its buffer; the slot deletes it on reuse
    const int at = m_live_index[slot];
    m_live[at] = m_live[--m_num_live];
    m_live_index[m_live[at]] = at;
    m_live_index[slot] = -1;
    Tell(SNetServerEvent::kLeft, slot, reason, addr, nullptr);
}

bool CNetServer::Stale(const sockaddr_in& addr, int seq) const {
    if (m_stale_hold_ms <= 0) return false;
    for (int i = 0; i < kEndedRing; ++i) {
        const SEnded& e = m_ended[i];
        if (e.m_time == -1 || WrapSub(m_time, e.m_time) > m_stale_hold_ms) continue;
        if (!CompareAddr(&e.m_addr, &addr)) continue;
        if (m_match_ports && addr.sin_family == kNetFamilyInet &&
            e.m_addr.sin_port != addr.sin_port)
            continue;
        if (seq > e.m_read_seq) return true;
    }
    return false;
}

int CNetServer::DestroyClient(int slot) {
    CNetPeer* peer = GetPeer(slot);
    if (!peer) return -1;
    // Reached from the peer's Disconnected with the driver's reason; called by the host,
    // it is a kick.
    const bool by_host = peer->m_gone == 0;
    End(slot, by_host ? kNetGoneKicked : peer->m_gone, by_host);
    return slot;
}

int CNetServer::Kick(int slot) {
    if (!GetPeer(slot)) return -1;
    End(slot, kNetGoneKicked, true);
    return slot;
}

int CNetServer::Leave() {
    while (m_num_live > 0)
        End(m_live[m_num_live - 1], kNetGoneKicked, true);
    return 1;
}

// Ends every peer its own checks marked gone. Walked from the end: End moves the last entry
// into the place it frees, one already walked.
void CNetServer::EndMarked() {
    for (int i = m_num_live - 1; i >= 0; --i) {
        const int slot = m_live[i];
        const CNetPeer* peer = GetPeer(slot);
        if (peer && peer->m_gone != 0) End(slot, peer->m_gone, true);
    }
}

int CNetServer::BeginFrame() {
    const int r = CNetManager::BeginFrame();
    EndMarked();
    return r;
}

int CNetServer::Read() {
    const int r = CNetManager::Read();
    EndMarked();
    return r;
}
