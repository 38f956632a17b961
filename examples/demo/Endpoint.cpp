#include "Endpoint.h"

#include <cstdio>
#include <cstring>

#include "Motion.h"

namespace demo {

void EndpointName(int index, char* out) {
    if (index == 0)
        std::snprintf(out, 8, "host");
    else
        std::snprintf(out, 8, "p%d", index);
}

namespace {

// The text of line n from `from`: the receiver rebuilds it to check order and uniqueness.
void LineText(int n, const char* from, char* out, int size) {
    std::snprintf(out, static_cast<std::size_t>(size), "line %d from %s", n, from);
}

} // namespace

namespace {

// splitmix64: a good spread of bytes from a counter, and cheap enough for 16 MiB.
std::uint64_t Mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Byte i of the map of this size.
template <class F> void EachMapByte(std::uint32_t size, F f) {
    const std::uint64_t seed = 0x6d61702dull << 32 | size; // "map-" and the size
    for (std::uint32_t i = 0; i < size; i += 8) {
        std::uint64_t word = Mix(seed + i / 8);
        for (std::uint32_t k = 0; k < 8 && i + k < size; ++k, word >>= 8)
            f(static_cast<unsigned char>(word));
    }
}

const std::uint64_t kFnvOffset = 0xcbf29ce484222325ull, kFnvPrime = 0x100000001b3ull;

} // namespace

void MakeMap(std::uint32_t size, std::vector<unsigned char>* out) {
    out->clear();
    out->reserve(size);
    EachMapByte(size, [out](unsigned char b) { out->push_back(b); });
}

std::uint64_t Fnv1a64(const unsigned char* data, std::uint32_t len) {
    std::uint64_t h = kFnvOffset;
    for (std::uint32_t i = 0; i < len; ++i)
        h = (h ^ data[i]) * kFnvPrime;
    return h;
}

std::uint64_t MapHash(std::uint32_t size) {
    std::uint64_t h = kFnvOffset;
    EachMapByte(size, [&h](unsigned char b) { h = (h ^ b) * kFnvPrime; });
    return h;
}

int CDemoBlocks::BlockReceived(CNetClient* peer, std::uint32_t, const unsigned char* data,
                               std::uint32_t len) {
    SLink* l = m_endpoint->LinkOf(peer);
    if (!l) return 1;
    // Checked here: the bytes are only valid during the call.
    l->m_map_len = len;
    l->m_map_hash = Fnv1a64(data, len);
    const bool good = len == m_endpoint->m_block_bytes && l->m_map_hash == MapHash(len);
    l->m_map = good ? SLink::kMapDone : SLink::kMapFailed;
    l->m_map_ms = CNetTime::GetTime();
    ++l->m_maps_in;
    l->m_map_news = true;
    return 1;
}

int CDemoBlocks::BlockEnded(CNetClient* peer, std::uint32_t id, int reason) {
    Endpoint& e = *m_endpoint;
    // A player that left takes its map with it: its link may be gone already.
    if (e.m_index == 0 && reason == kPeerGone) ++e.m_maps_gone;
    SLink* l = e.LinkOf(peer);
    if (!l || (e.m_index == 0 && id != l->m_map_id)) return 1;
    if (reason == kDelivered) {
        l->m_map = SLink::kMapDone;
        ++e.m_maps_delivered;
    } else {
        l->m_map = SLink::kMapFailed;
        l->m_map_reason = reason;
        if (e.m_index == 0 && reason != kPeerGone) ++e.m_maps_failed;
    }
    l->m_map_ms = CNetTime::GetTime();
    l->m_map_news = true;
    return 1;
}

Endpoint::~Endpoint() {
    m_manager->Release(); // clients first: they use the send buffers until they go
    for (SLink& l : m_links)
        delete l.m_send_buf;
}

int Endpoint::Start(CNetDriver* driver, int index, int num_ports, bool relay, int max_clients,
                    std::uint32_t block_bytes) {
    m_relay = relay;
    m_manager->m_max_clients = max_clients;
    if (m_manager->Init(driver, block_bytes > 0 ? kBlockPort + 1 : num_ports) != 1) return -1;
    if (block_bytes > 0) {
        // The ports between the objects' and the stream's stay empty.
        m_block_bytes = block_bytes;
        m_blocks = new CDemoBlocks(this);
        if (m_manager->SetPortA(kBlockPort, m_blocks) < 0) {
            delete m_blocks;
            m_blocks = nullptr;
            return -1;
        }
        if (m_manager->InitPort(kBlockPort, -1) < 0) return -1;
        if (index == 0) MakeMap(block_bytes, &m_map);
    }
    for (int p = 1; p < num_ports; ++p) {
        m_manager->SetPortA(p, new CPositionState);
        // The ports of the small star get both histories: the host relays what it reads, and
        // the two sides of a link must agree on the size for delta bases to mean the same
        // state. Beyond it only the host reads, and each peer writes its own (SetIndex).
        const bool star = p <= ObjectPort(kRelayPeers);
        if (star || index == 0)
            m_manager->m_ports[p].m_reading_history =
                new CNetDataHistory(kHistorySize, new CPositionState, p);
        if (star)
            m_manager->m_ports[p].m_writing_history =
                new CNetDataHistory(kHistorySize, new CPositionState, p);
    }
    return index < 0 ? 1 : SetIndex(index);
}

int Endpoint::SetIndex(int index) {
    m_index = index;
    EndpointName(index, m_name);
    const int own = ObjectPort(index);
    if (own >= m_manager->m_num_ports) return -1;
    CNetDataPort& port = m_manager->m_ports[own];
    if (!port.m_writing_history)
        port.m_writing_history = new CNetDataHistory(kHistorySize, new CPositionState, own);
    if (m_manager->InitPort(own, -1) < 0) return -1;
    for (int i = 0; i < m_num_links; ++i) {
        CNetDataRef& ref = m_links[i].m_client->m_refs[own];
        ref.m_read_enabled = false;
        ref.m_write_enabled = true;
    }
    return 1;
}

void Endpoint::UseServer(IDemoListener* listener) {
    CDemoServer* s = new CDemoServer;
    s->m_listener = listener;
    m_udp_manager.reset(s);
    m_manager = s;
}

void Endpoint::UseConnection(IDemoListener* listener) {
    CDemoConnection* c = new CDemoConnection;
    c->m_listener = listener;
    m_udp_manager.reset(c);
    m_manager = c;
}

int Endpoint::AdoptLink(int slot, int remote, CNetClient* c, int timeout_ms) {
    if (slot < 0 || slot >= kMaxPeers || m_links[slot].m_client || !c || !c->m_own_port) return -1;
    SLink& l = m_links[slot];
    l.m_chat = static_cast<CChatStream*>(c->m_own_port->m_object);
    c->m_timeout = timeout_ms;
    c->m_adapt_rate = m_adapt_rate;
    c->m_priority_aging = m_adapt_rate;
    l.m_client = c;
    SetSwitches(slot, remote);
    SendMap(slot);
    return slot;
}

int Endpoint::AddLink(int slot, int remote, const sockaddr_in& addr, int timeout_ms) {
    if (slot < 0 || slot >= kMaxPeers || m_links[slot].m_client) return -1;
    SLink& l = m_links[slot];
    l.m_send_buf = new CNetBuf(m_manager->m_buf->m_driver, &addr);
    l.m_chat = new CChatStream;
    CNetClient* c = new CNetClient;
    c->m_own_port = new CNetDataPort;
    c->m_own_port->m_object = l.m_chat;
    c->m_send_buf = l.m_send_buf;
    c->m_timeout = timeout_ms;
    c->m_ack_states = true; // one-way states are coded against what the other side holds
    c->m_adapt_rate = m_adapt_rate;
    c->m_priority_aging = m_adapt_rate; // a smaller budget must not starve any object
    if (m_manager->AddClient(c, slot) != slot) {
        delete c; // refused: still ours, and with it the chat stream
        l.m_chat = nullptr;
        return -1;
    }
    l.m_client = c;
    SetSwitches(slot, remote);
    SendMap(slot);
    return slot;
}

void Endpoint::SendMap(int slot) {
    SLink* l = LinkAt(slot);
    if (!l || m_index != 0 || !m_blocks || l->m_map != SLink::kMapNone) return;
    const int id =
        m_blocks->Send(l->m_client, m_map.data(), static_cast<std::uint32_t>(m_map.size()));
    l->m_map_ms = CNetTime::GetTime();
    if (id > 0) {
        l->m_map_id = static_cast<std::uint32_t>(id);
        l->m_map = SLink::kMapSending;
        ++m_maps_queued;
    } else {
        l->m_map = SLink::kMapFailed;
        l->m_map_reason = id;
        l->m_map_news = true;
        ++m_maps_failed;
    }
}

void Endpoint::DropLink(int slot) {
    if (slot < 0 || slot >= kMaxPeers) return;
    // The object goes with its player, and what was read of it: the next player of the slot
    // starts it afresh instead of being blended with the last one's final states.
    const int port = m_links[slot].m_remote >= 0 ? ObjectPort(m_links[slot].m_remote) : -1;
    if (port > 0 && port < m_manager->m_num_ports) {
        m_manager->ReleasePort(port);
        if (CNetDataHistory* h = m_manager->m_ports[port].m_reading_history) h->InitLink();
        m_manager->m_ports[port].m_interp_time = -1;
    }
    delete m_links[slot].m_send_buf; // null for a server's link: the peer owned it
    m_links[slot] = SLink();
}

void Endpoint::SetSwitches(int slot, int remote) {
    SLink& l = m_links[slot];
    CNetClient* c = l.m_client;
    l.m_remote = remote;
    EndpointName(remote, l.m_remote_name);
    if (slot >= m_num_links) m_num_links = slot + 1;

    // The star: chat both ways; the host writes every object but the peer's own (only its
    // own when it relays nothing) and reads that one; a peer reads every object but its own,
    // which it writes.
    c->m_refs[kChatPort].m_read_enabled = true;
    c->m_refs[kChatPort].m_write_enabled = true;
    l.m_link_ms = CNetTime::GetTime();
    if (m_blocks) {
        // Both ways: one side's fragments, the other's acknowledgements. A map above the
        // library's default limit needs the limit raised on both sides.
        c->m_refs[kBlockPort].m_read_enabled = true;
        c->m_refs[kBlockPort].m_write_enabled = true;
        if (m_block_bytes > CNetBlockStream::kDefaultLimit) m_blocks->SetLimit(c, m_block_bytes);
    }
    for (int index = 0; index <= kMaxPeers && ObjectPort(index) < c->m_num_ports; ++index) {
        CNetDataRef& ref = c->m_refs[ObjectPort(index)];
        const bool theirs = m_index == 0 ? index == remote : index != m_index;
        const bool mine = m_index == 0 ? m_relay || index == 0 : index == m_index;
        ref.m_read_enabled = theirs;
        ref.m_write_enabled = !theirs && mine;
    }
}

void Endpoint::RetireLink(int slot) {
    SLink* l = LinkAt(slot);
    if (!l) return;
    CollectLinkStats(*this, slot, &l->m_final);
    l->m_delivered = l->m_chat->m_delivered;
    l->m_read_seq = l->m_client->m_read_seq;
    l->m_retired = true;
    l->m_client = nullptr;
    l->m_chat = nullptr;
}

SLink* Endpoint::LinkAt(int slot) {
    return slot >= 0 && slot < kMaxPeers && m_links[slot].m_client ? &m_links[slot] : nullptr;
}

SLink* Endpoint::LinkOf(const CNetClient* c) {
    for (int i = 0; i < m_num_links; ++i)
        if (c && m_links[i].m_client == c) return &m_links[i];
    return nullptr;
}

int Endpoint::Step() {
    // After a failed step the frame goes on: the remaining steps keep the others in time.
    int failed = 0;
    failed += m_manager->BeginFrame() < 0;
    failed += m_manager->Read() < 0;
    failed += m_manager->Update(true) < 0;
    failed += m_manager->Write() < 0;
    failed += m_manager->EndFrame() < 0;
    m_step_failures += failed;
    return failed;
}

void Endpoint::Move(int ms) {
    if (m_index < 0) return;
    PositionAt(m_index, ms, Object(ObjectPort(m_index))->m_pos);
}

void Endpoint::Talk() {
    char text[CChatStream::kLineSize];
    for (int i = 0; i < m_num_links; ++i) {
        SLink& l = m_links[i];
        while (l.m_client && l.m_owed > 0) {
            LineText(l.m_said, m_name, text, sizeof text);
            // A player tells the host what it lost of the host's packets so far: the host
            // counts only what it receives itself.
            if (m_index != 0) {
                const std::size_t at = std::strlen(text);
                std::snprintf(text + at, sizeof text - at, " (lost %d of %d)",
                              l.m_client->m_lost_packets, l.m_client->m_read_seq);
            }
            if (l.m_chat->Say(text) != 1) break; // queue full: try again next frame
            ++l.m_said;
            --l.m_owed;
        }
    }
}

void Endpoint::Listen() {
    char expected[CChatStream::kLineSize];
    for (int i = 0; i < m_num_links; ++i) {
        SLink& l = m_links[i];
        if (!l.m_client) continue;
        // At most one message completes per packet, so the ring of 64 never laps in a frame.
        for (; l.m_heard < l.m_chat->m_received; ++l.m_heard) {
            LineText(l.m_good, l.m_remote_name, expected, sizeof expected);
            const char* line = l.m_chat->m_lines[l.m_heard % CChatStream::kRingLines];
            const std::size_t n = std::strlen(expected);
            if (std::strncmp(line, expected, n) != 0) continue;
            if (line[n] == '\0') {
                ++l.m_good;
            } else if (m_index == 0) {
                // A player's line ends in its loss report.
                int lost = 0, packets = 0;
                if (std::sscanf(line + n, " (lost %d of %d)", &lost, &packets) == 2 && lost >= 0 &&
                    packets >= lost) {
                    ++l.m_good;
                    l.m_peer_lost = lost;
                    l.m_peer_packets = packets;
                }
            }
        }
    }
}

CPositionState* Endpoint::Object(int port) const {
    if (port < 1 || port >= m_manager->m_num_ports || port >= kBlockPort || !m_manager->m_ports)
        return nullptr;
    return static_cast<CPositionState*>(m_manager->m_ports[port].m_object);
}

bool Endpoint::Seen(int port) const {
    const CPositionState* o = Object(port);
    const CNetDataHistory* h = o ? m_manager->m_ports[port].m_reading_history : nullptr;
    return o && o->m_active && h && h->m_newest != CNetDataHistory::kNoLink;
}

int Endpoint::LinkOf(int index) const {
    // The host's links mostly sit in the slot before the peer's number: look there first.
    if (m_index == 0 && index >= 1 && index <= m_num_links && m_links[index - 1].m_client &&
        m_links[index - 1].m_remote == index)
        return index - 1;
    for (int i = 0; i < m_num_links; ++i)
        if (m_links[i].m_client && (m_index != 0 || m_links[i].m_remote == index)) return i;
    return -1;
}

bool Endpoint::ChatSettled() const {
    for (int i = 0; i < m_num_links; ++i) {
        const SLink& l = m_links[i];
        if (l.m_client && (l.m_owed > 0 || l.m_chat->m_delivered < l.m_said)) return false;
    }
    return true;
}

} // namespace demo
