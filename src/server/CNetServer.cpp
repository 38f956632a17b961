// A host that admits peers, notices when they are gone, and frees their slots.
#include "portnet/CNetServer.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "client/NetPacket.h"
#include "client/NetWrap.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetDataPort.h"
#include "portnet/CNetDataRef.h"
#include "portnet/CNetDriver.h"
#include "server/Handshake.h"

using namespace portnet;

namespace {

// An address as the interfaces of IPv4 hold it; an IPv6 one as its family alone.
sockaddr_in Record(const CNetAddr& addr) {
    sockaddr_in in;
    if (addr.ToSockaddrIn(&in) == 1) return in;
    std::memset(&in, 0, sizeof in);
    in.sin_family = addr.Family();
    return in;
}

// Refusals can come with every datagram of a flood; they may fill only this share of the
// queue, so arrivals and departures always find room.
constexpr int kRefusalShare = 2; // at most 1/2

// A sender is told of as refused at most once in this long.
constexpr int kRefusalQuietMs = 1000;

// A new attempt's numbering continues an ended peer's only while it stays far below the
// 24-bit wire limit; past this it starts again at 1 (the ended peer's packets are long gone
// by the time a connection has sent this many).
constexpr int kMaxFirstSeq = 1 << 23;

// How far below an ended peer's last packet a late or duplicated one of its own may be
// numbered: more than reordering and duplication reach, a second of packets at 60 a second.
constexpr int kLateWindow = 64;
constexpr int kStaleAnswerMs = 100; // an ended peer still talking is answered this seldom

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
    // The admission limit is the client table: m_max_clients as the last Init made it.
    return m_events ? m_table_size : m_max_clients;
}

const char* CNetServer::RefusalText(int reason) {
    switch (reason) {
    case kRefusedFull:
        return "full";
    case kRefusedByHost:
        return "refused by the host";
    case kRefusedNoMemory:
        return "no memory";
    case kRefusedNotPacket:
        return "not a hello or packet";
    case kRefusedStale:
        return "unknown to the host";
    default:
        return "unknown reason";
    }
}

int CNetServer::Init(CNetDriver* driver, int num_ports) {
    CNetServer::Release();
    if (CNetManager::Init(driver, num_ports) != 1) return -1;
    m_table_size = m_max_clients;
    m_event_size = EventQueueSize(GetLimit());
    m_events = new (std::nothrow) SNetServerEvent[m_event_size];
    m_ended = new (std::nothrow) SEnded[kEndedRing]();
    m_recent = new (std::nothrow) SRecentRefusal[kRecentRefusals]();
    if (!m_events || !m_ended || !m_recent) {
        CNetServer::Release();
        return -1;
    }
    for (int i = 0; i < kEndedRing; ++i)
        m_ended[i].m_time = -1;
    for (int i = 0; i < kRecentRefusals; ++i)
        m_recent[i].m_time = -1;
    m_refusal_seed = NetAddrHashSeed();
    m_ended_next = 0;
    return 1;
}

int CNetServer::Release() {
    // The manager releases and deletes every peer; each frees its own buffer.
    CNetManager::Release();
    delete[] m_events;
    m_events = nullptr;
    delete[] m_ended;
    m_ended = nullptr;
    delete[] m_recent;
    m_recent = nullptr;
    m_event_size = m_event_head = m_event_count = 0;
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

bool CNetServer::AdmitAddr(const CNetAddr& addr, const SNetPeerIdentity& who) {
    const sockaddr_in record = Record(addr);
    return Admit(&record, who);
}

CNetPeer* CNetServer::NewPeer() {
    return new (std::nothrow) CNetPeer;
}

int CNetServer::MakeOwnPort(CNetDataPort*) {
    return 1;
}

CNetPeer* CNetServer::GetPeer(int slot) const {
    if (!m_events || slot < 0 || slot >= m_table_size || !m_clients[slot].m_used) return nullptr;
    // Every used slot holds a peer the server made: nothing else can enter the table.
    return static_cast<CNetPeer*>(m_clients[slot].m_client);
}

int CNetServer::AddClient(CNetClient*, int) {
    return -1;
}

int CNetServer::subAddClient(CNetClient*, int) {
    return -1;
}

int CNetServer::RemoveClient(int slot) {
    return Kick(slot);
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

void CNetServer::Tell(int type, int slot, int reason, const CNetAddr& addr,
                      const SNetPeerIdentity* who) {
    SNetServerEvent e;
    e.m_type = type;
    e.m_slot = slot;
    e.m_reason = reason;
    e.m_addr = Record(addr);
    e.m_peer = addr;
    e.m_who = who ? *who : SNetPeerIdentity{};
    OnEvent(e);
}

bool CNetServer::SameSender(const CNetAddr& a, const CNetAddr& b) const {
    return a.Equal(b, m_match_ports);
}

// Counts the refusal, answers it when the sender asked in a form that can carry the answer
// (answer_hello with the hello's attempt, or seq >= 0 for a packet), and raises the event
// unless this sender had one within the last second.
int CNetServer::Refuse(int reason, const CNetAddr& addr, bool answer_hello, std::uint32_t attempt,
                       int seq) {
    ++m_refused[reason];
    if (answer_hello || seq >= 0) {
        // Never larger than what the sender sent: a hello is 26 bytes, the smallest packet 9.
        unsigned char datagram[2 + kHelloRefusalSize] = {0, kHdrInstant};
        const int n = answer_hello ? EncodeHelloRefusal(datagram + 2, reason, attempt)
                                   : EncodePacketRefusal(datagram + 2, reason, seq);
        m_buf->m_driver->SendToAddr(2 + n, datagram, addr);
    }
    const auto h = static_cast<std::uint32_t>(addr.Hash(m_refusal_seed, true) >> 32);
    SRecentRefusal& recent = m_recent[(h >> 8) % kRecentRefusals];
    // A negative age is a record from before the clock wrapped (24.8 days on): not recent.
    const int since = WrapSub(m_time, recent.m_time);
    if (recent.m_time != -1 && SameSender(recent.m_addr, addr) && since >= 0 &&
        since < kRefusalQuietMs) {
        ++m_refusals_unreported;
        return -1;
    }
    recent.m_addr = addr;
    recent.m_time = m_time;
    Tell(SNetServerEvent::kRefused, -1, reason, addr, nullptr);
    return -1;
}

CNetServer::SEnded* CNetServer::Ended(const CNetAddr& addr) {
    if (m_stale_hold_ms <= 0 || !m_ended) return nullptr;
    // Newest first: an address that ended twice lately continues its latest numbering.
    for (int k = 1; k <= kEndedRing; ++k) {
        SEnded& e = m_ended[(m_ended_next - k + kEndedRing) % kEndedRing];
        const int age = WrapSub(m_time, e.m_time);
        if (e.m_time == -1 || age < 0 || age > m_stale_hold_ms) continue;
        if (SameSender(e.m_addr, addr)) return &e;
    }
    return nullptr;
}

int CNetServer::CreateClient(CNetBuf* buf) {
    if (!buf || !m_events) return -1;
    const CNetAddr addr = buf->Addr();
    SEnded* ended = Ended(addr);
    const int at = buf->m_read_pos;
    SNetPacketHeader header;
    const EHeaderRead kind = ReadPacketHeader(buf, &header);
    if (kind == EHeaderRead::kInstant) {
        int len = 0;
        const unsigned char* payload = InstantPayload(buf, &len);
        std::uint32_t attempt = 0;
        const EHandshake what = DecodeHandshake(payload, len, &attempt, nullptr, nullptr);
        const bool goodbye = CNetPeer::IsGoodbye(buf);
        buf->m_read_pos = at;
        // The peer's client answers this hello once the manager hands it the datagram.
        if (what == EHandshake::kHello) return Join(addr, attempt, -1, false);
        if (goodbye && ended) {
            ++m_after_leave; // a repeat of the goodbye that ended it
            return -1;
        }
        return Refuse(kRefusedNotPacket, addr, false, 0, -1);
    }
    buf->m_read_pos = at;
    if (kind != EHeaderRead::kOk) return Refuse(kRefusedNotPacket, addr, false, 0, -1);
    const int seq = static_cast<int>(header.seq);
    // Near or past the ended peer's numbering: its own packet, late, duplicated or sent before
    // it heard of its end. A peer without hellos that starts afresh numbers far below it.
    if (ended && seq > ended->m_read_seq - kLateWindow) {
        // Sent before it heard of its end, or by a peer that does not know it was ended (timed
        // out): dropped without an event, and answered, so a player still talking learns it.
        // At most one answer a kStaleAnswerMs to each: a whole crowd still talking when the
        // host leaves would otherwise have its every packet answered, into an uplink that may
        // be full already.
        ++m_after_leave;
        ++m_refused[kRefusedStale]; // an answered refusal, though never an event
        ++m_refusals_unreported;
        if (ended->m_answered != -1 && WrapSub(m_time, ended->m_answered) >= 0 &&
            WrapSub(m_time, ended->m_answered) < kStaleAnswerMs)
            return -1;
        ended->m_answered = m_time;
        unsigned char datagram[2 + kPacketRefusalSize] = {0, kHdrInstant};
        const int n = EncodePacketRefusal(datagram + 2, kRefusedStale, seq);
        m_buf->m_driver->SendToAddr(2 + n, datagram, addr);
        return -1;
    }
    // A peer starts its numbering at 1; a sender far into it is talking to an earlier
    // server, and would be answered in numbers it drops.
    if (seq >= kAdmitBelowSeq) return Refuse(kRefusedStale, addr, false, 0, seq);
    return Join(addr, 0, seq, false);
}

// Admits a sender: attempt is its hello's (0 for a packet numbered seq). welcome_now sends the
// welcome at once, for a hello that will not be handed to the new peer.
int CNetServer::Join(const CNetAddr& addr, std::uint32_t attempt, int seq, bool welcome_now) {
    const bool hello = attempt != 0;
    if (GetNumClients() >= GetLimit()) return Refuse(kRefusedFull, addr, hello, attempt, seq);

    SNetPeerIdentity who;
    if (m_buf->m_driver->GetPeerIdentityAddr(addr, &who) != 1) who = SNetPeerIdentity{};
    who.m_identity[SNetPeerIdentity::kMaxText] = '\0';
    if (!AdmitAddr(addr, who)) return Refuse(kRefusedByHost, addr, hello, attempt, seq);

    CNetPeer* peer = NewPeer();
    if (!peer) return Refuse(kRefusedNoMemory, addr, hello, attempt, seq);
    peer->m_send_buf = new (std::nothrow) CNetBuf(m_buf->m_driver, addr);
    peer->m_owns_send_buf = peer->m_send_buf != nullptr;
    if (!peer->m_own_port) peer->m_own_port = new (std::nothrow) CNetDataPort;
    if (!peer->m_send_buf || !peer->m_own_port || MakeOwnPort(peer->m_own_port) == -1) {
        delete peer;
        return Refuse(kRefusedNoMemory, addr, hello, attempt, seq);
    }
    // What every peer of a server gets: acknowledged states, keep-alive, idle limit, and a
    // send budget that follows its path.
    peer->m_ack_states = true;
    peer->m_keep_alive_ms = m_keep_alive_ms;
    peer->m_idle_limit_ms = m_idle_limit_ms;
    peer->m_adapt_rate = m_adapt_rate;
    peer->m_priority_aging = m_priority_aging;
    peer->m_role = CNetPeer::kRoleHost;
    peer->m_attempt = attempt;
    peer->m_player_id = who.m_player_id;

    const int slot = CNetManager::AddClient(peer, -1);
    if (slot < 0) {
        delete peer; // refused by the table or its own Init: still ours
        return Refuse(kRefusedNoMemory, addr, hello, attempt, seq);
    }
    peer->m_slot_at_host = slot;
    for (int p = 0; p < m_num_ports && p < CNetClient::kMaxPorts; ++p) {
        peer->m_refs[p].m_read_enabled = m_reads[p];
        peer->m_refs[p].m_write_enabled = m_writes[p];
    }
    if (hello) {
        // A new attempt from an address whose peer ended lately continues both numberings
        // past the old ones, so whatever the old peer or its host still had in flight is old
        // to the new pair. The welcome tells the player where both start.
        int write_first = 1, read_first = 1;
        if (const SEnded* e = Ended(addr)) {
            write_first = e->m_write_seq;
            read_first = e->m_read_seq + kSeqGap;
            if (write_first < 1 || write_first > kMaxFirstSeq || read_first > kMaxFirstSeq)
                write_first = read_first = 1;
        }
        peer->StartNumbering(write_first, read_first, m_time, m_time);
        if (welcome_now) peer->SendWelcome();
    }
    Tell(SNetServerEvent::kJoined, slot, 0, addr, &who);
    // A hook that kicked the peer at once leaves no client for this datagram.
    return GetPeer(slot) == peer ? slot : -1;
}

void CNetServer::End(int slot, int reason, bool tell_driver) {
    CNetPeer* peer = GetPeer(slot);
    if (!peer) return;
    const CNetAddr addr = peer->m_send_buf ? peer->m_send_buf->Addr() : CNetAddr();
    // A peer the driver ended (a secure driver's kick among them) has nobody left to hear it.
    if (reason == kNetGoneKicked && tell_driver) peer->SendGoodbye();
    // A secure driver ends the session too, so a later datagram starts a new one.
    if (tell_driver && peer->m_send_buf) m_buf->m_driver->DisconnectedAddr(addr);
    SEnded& ended = m_ended[m_ended_next];
    m_ended_next = (m_ended_next + 1) % kEndedRing;
    ended.m_addr = addr;
    ended.m_read_seq = peer->m_read_seq;
    ended.m_write_seq = peer->m_write_seq;
    ended.m_time = m_time;
    ended.m_answered = -1;
    // The peer, its buffer and its arrays are freed now: a departed peer holds nothing. An
    // OnEvent hook still finds it where it kept it, for its last statistics.
    CNetManager::RemoveClient(slot);
    m_clients[slot].m_client = nullptr;
    Tell(SNetServerEvent::kLeft, slot, reason, addr, nullptr);
    delete peer;
}

int CNetServer::DestroyClient(int slot) {
    CNetPeer* peer = GetPeer(slot);
    if (!peer) return -1;
    // Called by the host, it is a kick. Reached from the peer's Disconnected with the
    // driver's reason, the peer is only marked: it is ended at the end of this Read, so its
    // own hooks never run on a freed object.
    if (peer->m_gone == 0) {
        End(slot, kNetGoneKicked, true);
        return slot;
    }
    return slot;
}

int CNetServer::Kick(int slot) {
    if (!GetPeer(slot)) return -1;
    End(slot, kNetGoneKicked, true);
    return slot;
}

int CNetServer::Leave() {
    for (;;) {
        int n = 0;
        const int* used = UsedSlots(&n);
        if (n == 0) return 1;
        End(used[n - 1], kNetGoneKicked, true);
    }
}

// Ends every peer its own checks or its driver marked gone; a player that began again from
// the same address is admitted at once. Walked from the end: End takes the slot out of the
// ordered list, moving only entries already walked.
void CNetServer::EndMarked() {
    int n = 0;
    const int* used = UsedSlots(&n);
    for (int i = n - 1; i >= 0; --i) {
        UsedSlots(&n);
        if (i >= n) continue; // a hook ended others meanwhile
        const int slot = used[i];
        const CNetPeer* peer = GetPeer(slot);
        if (!peer || peer->m_gone == 0) continue;
        const std::uint32_t again = peer->m_restart_attempt;
        const CNetAddr addr = peer->m_send_buf ? peer->m_send_buf->Addr() : CNetAddr();
        // A driver that reported the peer has ended its session itself, and a hello that
        // replaced it came through the session the new attempt uses: neither is told.
        End(slot, peer->m_gone, !peer->m_gone_by_driver && again == 0);
        if (again != 0) Join(addr, again, -1, true);
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
