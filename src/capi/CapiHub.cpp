// The event queue of a C manager, and the objects and hooks that fill it.

#include <cstring>
#include <new>

#include "capi/CapiInternal.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetDataHistory.h"
#include "portnet/CNetDataPort.h"

namespace portnet_capi {

CNetDataHistory* BlobHistory(int count, int size, int port) {
    auto* prototype = new (std::nothrow) CNetBlobState(size);
    if (!prototype) return nullptr;
    if (prototype->GetSize() != size) {
        delete prototype;
        return nullptr;
    }
    auto* h = new (std::nothrow) CNetDataHistory(count, prototype, port);
    if (!h) delete prototype;
    return h;
}

Hub::~Hub() {
    for (int i = 0; i < m_event_count; ++i)
        delete[] m_events[(m_event_head + i) % m_event_cap].m_block;
    delete[] m_events;
    delete[] m_messages;
}

bool Hub::Make(int events, int messages) {
    m_events = new (std::nothrow) SQueued[static_cast<std::size_t>(events)];
    m_messages = new (std::nothrow) SNetMsgBuf[static_cast<std::size_t>(messages)];
    if (!m_events || !m_messages) return false;
    m_event_cap = events;
    m_message_cap = messages;
    return true;
}

bool Hub::Push(const portnet_event& ev) {
    if (m_event_count == m_event_cap) {
        ++m_dropped;
        return false;
    }
    SQueued& q = m_events[(m_event_head + m_event_count) % m_event_cap];
    q.m_ev = ev;
    q.m_block = nullptr;
    ++m_event_count;
    return true;
}

bool Hub::PushAheadOfFrame(const portnet_event& ev) {
    if (!Push(ev)) return false;
    const int at = m_frame_mark < m_event_count ? m_frame_mark : m_event_count - 1;
    for (int i = m_event_count - 1; i > at; --i)
        m_events[(m_event_head + i) % m_event_cap] = m_events[(m_event_head + i - 1) % m_event_cap];
    SQueued& q = m_events[(m_event_head + at) % m_event_cap];
    q.m_ev = ev;
    q.m_block = nullptr;
    return true;
}

bool Hub::PushMessage(int slot, int port, const unsigned char* data, int len) {
    if (len < 0 || len > SNetMsgBuf::kSize || m_message_count == m_message_cap ||
        m_event_count == m_event_cap) {
        ++m_dropped;
        return false;
    }
    SNetMsgBuf& m = m_messages[(m_message_head + m_message_count) % m_message_cap];
    std::memcpy(m.m_buf, data, static_cast<std::size_t>(len));
    m.m_len = len;
    ++m_message_count;
    portnet_event ev{};
    ev.type = PORTNET_EVENT_MESSAGE;
    ev.slot = slot;
    ev.port = port;
    ev.length = static_cast<std::uint32_t>(len);
    return Push(ev);
}

bool Hub::PushBlock(int slot, int port, std::uint32_t id, const unsigned char* data,
                    std::uint32_t len) {
    if (m_event_count == m_event_cap) {
        ++m_dropped;
        return false;
    }
    auto* copy = new (std::nothrow) unsigned char[len > 0 ? len : 1];
    if (!copy) {
        ++m_dropped;
        return false;
    }
    if (len > 0) std::memcpy(copy, data, len);
    portnet_event ev{};
    ev.type = PORTNET_EVENT_BLOCK;
    ev.slot = slot;
    ev.port = port;
    ev.length = len;
    ev.block_id = id;
    Push(ev);
    m_events[(m_event_head + m_event_count - 1) % m_event_cap].m_block = copy;
    return true;
}

void Hub::StateArrived(State* state, int slot) {
    if (state->m_told_frame == m_frame && state->m_told_slot == slot) return;
    state->m_told_frame = m_frame;
    state->m_told_slot = slot;
    portnet_event ev{};
    ev.type = PORTNET_EVENT_STATE;
    ev.slot = slot;
    ev.port = state->m_port;
    ev.length = static_cast<std::uint32_t>(state->GetSize());
    Push(ev);
}

portnet_status Hub::Poll(portnet_event* ev, void* buf, std::int32_t size) {
    if (!ev || size < 0 || (!buf && size > 0)) return PORTNET_E_ARGUMENT;
    if (m_event_count == 0) return PORTNET_NONE;
    SQueued& q = m_events[m_event_head];
    *ev = q.m_ev;
    const bool message = q.m_ev.type == PORTNET_EVENT_MESSAGE;
    if (message || q.m_ev.type == PORTNET_EVENT_BLOCK) {
        if (q.m_ev.length > static_cast<std::uint32_t>(size)) return PORTNET_E_BUFFER_TOO_SMALL;
        const unsigned char* from = message ? m_messages[m_message_head].m_buf : q.m_block;
        if (q.m_ev.length > 0) std::memcpy(buf, from, q.m_ev.length);
        if (message) {
            m_message_head = (m_message_head + 1) % m_message_cap;
            --m_message_count;
        }
        delete[] q.m_block;
        q.m_block = nullptr;
    }
    m_event_head = (m_event_head + 1) % m_event_cap;
    --m_event_count;
    return PORTNET_OK;
}

int Hub::MakeOwnPort(CNetDataPort* port) {
    const int slot = m_connection ? 0 : -1; // a server's peer learns its slot when it joins
    switch (m_kinds[0]) {
    case kPortMessages:
        port->m_object = new (std::nothrow) Messages(this, 0, slot);
        return port->m_object ? 1 : -1;
    case kPortState: {
        const int size = m_state_size[0];
        State* own = m_codecs[0].m_encode ? new (std::nothrow)
                                                CodecState(this, 0, size, m_codecs[0])
                                          : new (std::nothrow) State(this, 0, size);
        port->m_object = own;
        if (!own || own->GetSize() != size) return -1;
        port->m_writing_history = BlobHistory(m_history[0], size, 0);
        port->m_reading_history = BlobHistory(m_history[0], size, 0);
        return port->m_writing_history && port->m_reading_history ? 1 : -1;
    }
    default:
        return 1; // holds nothing
    }
}

int Messages::Created() {
    m_queued = 0; // a restart drops every queued message
    return CNetReliable::Created();
}

int Messages::ReadingCompleted() {
    m_hub->PushMessage(m_slot, m_port, m_read_buf.m_buf, m_read_buf.m_len);
    return 1;
}

int Messages::WritingCompleted() {
    if (m_queued > 0) --m_queued;
    return 1;
}

// At most nine messages wait: with all ten buffers taken the stream could not close the one
// in transmission.
portnet_status Messages::Say(const void* data, int len) {
    if (m_queued >= kQueueDepth - 1) return PORTNET_E_QUEUE_FULL;
    if (GetWriteBuf()->m_len > 0 && Begin() < 0) return PORTNET_E_QUEUE_FULL;
    if (Write(data, len) < 0) return PORTNET_E_QUEUE_FULL;
    ++m_queued;
    return PORTNET_OK;
}

CNetData* State::Clone() {
    auto* copy = new (std::nothrow) State(m_hub, m_port, GetSize());
    if (copy && copy->Set(Bytes(), GetSize()) != 1) {
        delete copy;
        return nullptr;
    }
    return copy;
}

int State::Read(CNetBuf* buf, CNetUnreliable* base, CNetClient* client) {
    const int used = CNetBlobState::Read(buf, base, client);
    if (used >= 0 && m_hub) m_hub->StateArrived(this, client ? client->m_id : 0);
    return used;
}

CNetData* CodecState::Clone() {
    auto* copy = new (std::nothrow) CodecState(m_hub, m_port, GetSize(), m_codec);
    if (copy && copy->Set(Bytes(), GetSize()) != 1) {
        delete copy;
        return nullptr;
    }
    return copy;
}

// The game's encoder writes straight into the datagram, within what is left of it.
int CodecState::Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient*) {
    if (GetSize() == 0 || !buf) return 0;
    const int left = CNetBuf::kMaxPayload - buf->m_write_pos;
    const int fit = room < left ? room : left;
    if (fit < 0) return -1;
    const auto* b = static_cast<CNetBlobState*>(base);
    const unsigned char* base_bytes = b && b->GetSize() == GetSize() ? b->Bytes() : nullptr;
    const int n = m_codec.m_encode(m_codec.m_user, m_port, Bytes(), base_bytes, GetSize(),
                                   buf->m_data + 1 + buf->m_write_pos, fit);
    if (n <= 0 || n > room) return n;
    if (n > fit || !buf->WriteSpan(n)) return -1;
    return n;
}

// Decoded into a copy first: a record the game refuses leaves the state as it was.
int CodecState::Read(CNetBuf* buf, CNetUnreliable* base, CNetClient* client) {
    if (GetSize() == 0 || !buf) return -1;
    const int end =
        buf->m_read_limit < CNetBuf::kMaxPayload ? buf->m_read_limit : CNetBuf::kMaxPayload;
    const int avail = end - buf->m_read_pos;
    if (avail < 0) return -1;
    const auto* b = static_cast<CNetBlobState*>(base);
    const unsigned char* base_bytes = b && b->GetSize() == GetSize() ? b->Bytes() : nullptr;
    unsigned char next[CNetBlobState::kMaxSize];
    std::memcpy(next, Bytes(), static_cast<std::size_t>(GetSize()));
    const int n = m_codec.m_decode(m_codec.m_user, m_port, buf->m_data + 1 + buf->m_read_pos, avail,
                                   base_bytes, GetSize(), next);
    if (n < 0 || n > avail || !buf->ReadSpan(n)) return -1;
    Set(next, GetSize());
    if (m_hub) m_hub->StateArrived(this, client ? client->m_id : 0);
    return n;
}

int Blocks::BlockReceived(CNetClient* peer, std::uint32_t id, const unsigned char* data,
                          std::uint32_t len) {
    m_hub->PushBlock(peer ? peer->m_id : 0, m_port, id, data, len);
    return 1;
}

int Blocks::BlockEnded(CNetClient* peer, std::uint32_t id, int reason) {
    portnet_event ev{};
    ev.type = PORTNET_EVENT_BLOCK_ENDED;
    ev.slot = peer ? peer->m_id : 0;
    ev.port = m_port;
    ev.block_id = id;
    ev.reason = reason;
    m_hub->Push(ev);
    return 1;
}

void Server::OnEvent(const SNetServerEvent& e) {
    portnet_event ev{};
    ev.slot = e.m_slot;
    ev.reason = e.m_reason;
    AddrText(e.m_peer, ev.address, sizeof ev.address);
    if (e.m_type == SNetServerEvent::kJoined) {
        ev.type = PORTNET_EVENT_JOINED;
        ev.player_id = e.m_who.m_player_id;
        CNetPeer* peer = GetPeer(e.m_slot);
        if (m_hub->m_kinds[0] == kPortMessages && peer && peer->m_own_port &&
            peer->m_own_port->m_object)
            static_cast<Messages*>(peer->m_own_port->m_object)->m_slot = e.m_slot;
    } else if (e.m_type == SNetServerEvent::kLeft) {
        ev.type = PORTNET_EVENT_LEFT;
    } else {
        ev.type = PORTNET_EVENT_REFUSED;
        ev.slot = -1;
    }
    m_hub->Push(ev);
}

void Connection::OnEvent(const SNetConnectionEvent& e) {
    portnet_event ev{};
    ev.reason = e.m_reason;
    if (e.m_type == SNetConnectionEvent::kConnected) {
        ev.type = PORTNET_EVENT_CONNECTED;
        ev.slot = GetSlot();
        ev.player_id = GetPlayerId();
        m_hub->PushAheadOfFrame(ev);
        return;
    } else {
        ev.type =
            e.m_type == SNetConnectionEvent::kLost ? PORTNET_EVENT_LOST : PORTNET_EVENT_FAILED;
        ev.refusal = e.m_refusal;
    }
    m_hub->Push(ev);
}

} // namespace portnet_capi
