// Servers and connections: creation, options, ports, the frame, and the peers' data.

#include <cstring>
#include <new>

#include "capi/CapiInternal.h"
#include "portnet/CNetBuf.h"
#include "portnet/CNetDataPort.h"

using namespace portnet_capi;

namespace {

portnet_status Manager(portnet_handle h, unsigned mask, Hub** hub) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(h, mask, &e);
    if (s == PORTNET_OK) *hub = e->m_hub;
    return s;
}

// Makes the hub and manager of a new server or connection over driver, already initialised.
portnet_status Create(portnet_handle driver, int32_t num_ports, int32_t max_peers, bool server,
                      portnet_handle* out) {
    Entry* d = nullptr;
    const portnet_status s = Lookup(driver, kAnyDriver, &d);
    if (s != PORTNET_OK) return s;
    if (!out || num_ports < 1 || num_ports > CNetClient::kMaxPorts || max_peers < 1 ||
        max_peers > CNetManager::kMaxClientsLimit)
        return PORTNET_E_ARGUMENT;
    *out = PORTNET_NULL_HANDLE;
    if (d->m_users > 0) return PORTNET_E_IN_USE; // one manager or wrapper per driver
    auto* hub = new (std::nothrow) Hub;
    // Room for a burst of events and messages per peer; whatever a full queue cannot take is
    // counted (events_dropped).
    const int events = max_peers <= 4096 / 16 ? 64 + 16 * max_peers : 4160;
    const int messages = max_peers <= 4096 / 8 ? 32 + 8 * max_peers : 4128;
    if (!hub || !hub->Make(events, messages)) {
        delete hub;
        return PORTNET_E_NO_MEMORY;
    }
    CNetManager* m = nullptr;
    if (server) {
        auto* srv = new (std::nothrow) Server(hub);
        hub->m_server = srv;
        m = srv;
    } else {
        auto* conn = new (std::nothrow) Connection(hub);
        hub->m_connection = conn;
        m = conn;
    }
    hub->m_manager = m;
    if (!m) {
        delete hub;
        return PORTNET_E_NO_MEMORY;
    }
    m->m_max_clients = max_peers;
    if (m->Init(static_cast<CNetDriver*>(d->m_object), num_ports) != 1) {
        SetError("the manager could not be made (%d ports, %d peers)", static_cast<int>(num_ports),
                 static_cast<int>(max_peers));
        delete m;
        delete hub;
        return PORTNET_E_FAILED;
    }
    const portnet_status kept =
        Adopt(m, server ? PORTNET_KIND_SERVER : PORTNET_KIND_CONNECTION, IndexOf(d), out);
    if (kept != PORTNET_OK) {
        m->Release();
        delete m;
        delete hub;
        return kept;
    }
    EntryAt(static_cast<int>(*out & 0xffff))->m_hub = hub;
    return PORTNET_OK;
}

// The peer in slot: a server's, or a connection's host (slot 0).
CNetPeer* PeerOf(Hub* hub, int slot) {
    if (hub->m_server)
        return slot >= 0 && slot < hub->m_server->GetLimit() ? hub->m_server->GetPeer(slot)
                                                             : nullptr;
    return slot == 0 ? hub->m_connection->GetPeer() : nullptr;
}

// A port of this kind: its object, port 0 being the own port of slot's peer.
portnet_status ObjectOf(Hub* hub, int slot, int port, PortKind kind, CNetData** out) {
    if (port < 0 || port >= hub->m_manager->m_num_ports || hub->m_kinds[port] != kind)
        return PORTNET_E_PORT;
    if (port > 0) {
        if (hub->m_connection && slot != 0) return PORTNET_E_NO_PEER;
        *out = hub->m_manager->m_ports[port].m_object;
        return *out ? PORTNET_OK : PORTNET_E_PORT;
    }
    CNetPeer* peer = PeerOf(hub, slot);
    if (!peer || !peer->m_own_port || !peer->m_own_port->m_object) return PORTNET_E_NO_PEER;
    *out = peer->m_own_port->m_object;
    return PORTNET_OK;
}

// A port that is free to be given a kind.
portnet_status FreePort(Hub* hub, int port) {
    if (port < 0 || port >= hub->m_manager->m_num_ports || port >= Hub::kMaxPorts)
        return PORTNET_E_PORT;
    return hub->m_kinds[port] == kPortNone ? PORTNET_OK : PORTNET_E_PORT;
}

// Places object on shared port and starts it; the port owns it from then on.
portnet_status Place(Hub* hub, int port, CNetData* object, PortKind kind) {
    if (!object) return PORTNET_E_NO_MEMORY;
    if (hub->m_manager->SetPortA(port, object) < 0) {
        delete object;
        return PORTNET_E_PORT;
    }
    hub->m_kinds[port] = kind;
    return PORTNET_OK;
}

portnet_status Copy(const char* text, char* out, int32_t size) {
    if (!out || size < 1) return PORTNET_E_ARGUMENT;
    const std::size_t n = std::strlen(text);
    if (n + 1 > static_cast<std::size_t>(size)) return PORTNET_E_BUFFER_TOO_SMALL;
    std::memcpy(out, text, n + 1);
    return PORTNET_OK;
}

} // namespace

extern "C" {

portnet_status portnet_server_create(portnet_handle driver, int32_t num_ports, int32_t max_peers,
                                     portnet_handle* out) {
    return Create(driver, num_ports, max_peers == 0 ? CNetManager::kMaxClients : max_peers, true,
                  out);
}

portnet_status portnet_connection_create(portnet_handle driver, int32_t num_ports,
                                         portnet_handle* out) {
    return Create(driver, num_ports, 1, false, out);
}

portnet_status portnet_set_option(portnet_handle manager, int32_t option, int32_t value) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    CNetServer* srv = hub->m_server;
    CNetConnection* conn = hub->m_connection;
    const bool time = option != PORTNET_OPT_ADAPT_RATE && option != PORTNET_OPT_PRIORITY_AGING &&
                      option != PORTNET_OPT_MATCH_PORTS;
    if (time ? value < 0 : value != 0 && value != 1) return PORTNET_E_ARGUMENT;
    switch (option) {
    case PORTNET_OPT_KEEP_ALIVE_MS:
        (srv ? srv->m_keep_alive_ms : conn->m_keep_alive_ms) = value;
        return PORTNET_OK;
    case PORTNET_OPT_IDLE_LIMIT_MS:
        (srv ? srv->m_idle_limit_ms : conn->m_idle_limit_ms) = value;
        return PORTNET_OK;
    case PORTNET_OPT_ADAPT_RATE:
        (srv ? srv->m_adapt_rate : conn->m_adapt_rate) = value != 0;
        return PORTNET_OK;
    case PORTNET_OPT_PRIORITY_AGING:
        (srv ? srv->m_priority_aging : conn->m_priority_aging) = value != 0;
        return PORTNET_OK;
    case PORTNET_OPT_MATCH_PORTS:
        hub->m_manager->m_match_ports = value != 0;
        return PORTNET_OK;
    case PORTNET_OPT_STALE_HOLD_MS:
        if (!srv) return PORTNET_E_WRONG_KIND;
        srv->m_stale_hold_ms = value;
        return PORTNET_OK;
    case PORTNET_OPT_HELLO_MS:
        if (!conn) return PORTNET_E_WRONG_KIND;
        if (value < 1) return PORTNET_E_ARGUMENT;
        conn->m_hello_ms = value;
        return PORTNET_OK;
    case PORTNET_OPT_CONNECT_TIMEOUT_MS:
        if (!conn) return PORTNET_E_WRONG_KIND;
        conn->m_connect_timeout_ms = value;
        return PORTNET_OK;
    default:
        return PORTNET_E_ARGUMENT;
    }
}

portnet_status portnet_get_option(portnet_handle manager, int32_t option, int32_t* value) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    if (!value) return PORTNET_E_ARGUMENT;
    CNetServer* srv = hub->m_server;
    CNetConnection* conn = hub->m_connection;
    switch (option) {
    case PORTNET_OPT_KEEP_ALIVE_MS:
        *value = srv ? srv->m_keep_alive_ms : conn->m_keep_alive_ms;
        return PORTNET_OK;
    case PORTNET_OPT_IDLE_LIMIT_MS:
        *value = srv ? srv->m_idle_limit_ms : conn->m_idle_limit_ms;
        return PORTNET_OK;
    case PORTNET_OPT_ADAPT_RATE:
        *value = (srv ? srv->m_adapt_rate : conn->m_adapt_rate) ? 1 : 0;
        return PORTNET_OK;
    case PORTNET_OPT_PRIORITY_AGING:
        *value = (srv ? srv->m_priority_aging : conn->m_priority_aging) ? 1 : 0;
        return PORTNET_OK;
    case PORTNET_OPT_MATCH_PORTS:
        *value = hub->m_manager->m_match_ports ? 1 : 0;
        return PORTNET_OK;
    case PORTNET_OPT_STALE_HOLD_MS:
        if (!srv) return PORTNET_E_WRONG_KIND;
        *value = srv->m_stale_hold_ms;
        return PORTNET_OK;
    case PORTNET_OPT_HELLO_MS:
        if (!conn) return PORTNET_E_WRONG_KIND;
        *value = conn->m_hello_ms;
        return PORTNET_OK;
    case PORTNET_OPT_CONNECT_TIMEOUT_MS:
        if (!conn) return PORTNET_E_WRONG_KIND;
        *value = conn->m_connect_timeout_ms;
        return PORTNET_OK;
    default:
        return PORTNET_E_ARGUMENT;
    }
}

portnet_status portnet_message_port(portnet_handle manager, int32_t port) {
    Hub* hub = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = FreePort(hub, port)) != PORTNET_OK) return s;
    if (port == 0) {
        hub->m_kinds[0] = kPortMessages;
        return PORTNET_OK;
    }
    // One stream serves one peer: a server's messages go on each peer's own port.
    if (hub->m_server) return PORTNET_E_PORT;
    s = Place(hub, port, new (std::nothrow) Messages(hub, port, 0), kPortMessages);
    if (s == PORTNET_OK) hub->m_manager->InitPort(port, -1);
    return s;
}

portnet_status portnet_state_port(portnet_handle manager, int32_t port, int32_t size,
                                  int32_t history) {
    return portnet_codec_port(manager, port, size, history, nullptr, nullptr, nullptr);
}

portnet_status portnet_codec_port(portnet_handle manager, int32_t port, int32_t size,
                                  int32_t history, portnet_encode_fn encode,
                                  portnet_decode_fn decode, void* user) {
    Hub* hub = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = FreePort(hub, port)) != PORTNET_OK) return s;
    if (size < 1 || size > CNetBlobState::kMaxSize || history < 1 || history > Hub::kHistoryLimit)
        return PORTNET_E_ARGUMENT;
    if ((encode == nullptr) != (decode == nullptr)) return PORTNET_E_ARGUMENT;
    hub->m_state_size[port] = size;
    hub->m_history[port] = history;
    hub->m_codecs[port] = Codec{encode, decode, user};
    if (port == 0) {
        hub->m_kinds[0] = kPortState;
        return PORTNET_OK;
    }
    State* state = encode ? new (std::nothrow) CodecState(hub, port, size, hub->m_codecs[port])
                          : new (std::nothrow) State(hub, port, size);
    if (state && state->GetSize() != size) {
        delete state;
        return PORTNET_E_NO_MEMORY;
    }
    if ((s = Place(hub, port, state, kPortState)) != PORTNET_OK) return s;
    CNetDataPort& p = hub->m_manager->m_ports[port];
    p.m_writing_history = BlobHistory(history, size, port);
    p.m_reading_history = BlobHistory(history, size, port);
    if (!p.m_writing_history || !p.m_reading_history) return PORTNET_E_NO_MEMORY;
    hub->m_manager->InitPort(port, -1);
    return PORTNET_OK;
}

portnet_status portnet_block_port(portnet_handle manager, int32_t port, uint32_t limit) {
    Hub* hub = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = FreePort(hub, port)) != PORTNET_OK) return s;
    if (port == 0) return PORTNET_E_PORT; // blocks are a shared port's: one stream, every peer
    if (limit > CNetBlockStream::kMaxLimit) return PORTNET_E_ARGUMENT;
    auto* blocks = new (std::nothrow) Blocks(hub, port);
    if (blocks && limit > 0) blocks->m_default_limit = limit;
    if ((s = Place(hub, port, blocks, kPortBlocks)) != PORTNET_OK) return s;
    hub->m_manager->InitPort(port, -1);
    return PORTNET_OK;
}

portnet_status portnet_peer_ports(portnet_handle manager, int32_t port, int32_t read,
                                  int32_t write) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    if (port < 0 || port >= hub->m_manager->m_num_ports) return PORTNET_E_PORT;
    const int r = hub->m_server ? hub->m_server->SetPeerPorts(port, read != 0, write != 0)
                                : hub->m_connection->SetPeerPorts(port, read != 0, write != 0);
    return r < 0 ? PORTNET_E_PORT : PORTNET_OK;
}

portnet_status portnet_frame(portnet_handle manager) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    CNetManager* m = hub->m_manager;
    ++hub->m_frame;
    hub->m_frame_mark = hub->EventCount();
    int failed = 0;
    failed += m->BeginFrame() < 0;
    failed += m->Read() < 0;
    failed += m->Update(false) < 0;
    failed += m->Write() < 0;
    failed += m->EndFrame() < 0;
    return failed ? PORTNET_E_FRAME : PORTNET_OK;
}

portnet_status portnet_poll(portnet_handle manager, portnet_event* ev, void* buf, int32_t size) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    return s != PORTNET_OK ? s : hub->Poll(ev, buf, size);
}

portnet_status portnet_send_message(portnet_handle manager, int32_t slot, int32_t port,
                                    const void* data, int32_t len) {
    Hub* hub = nullptr;
    CNetData* object = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = ObjectOf(hub, slot, port, kPortMessages, &object)) != PORTNET_OK)
        return s;
    if (!data || len < 1) return PORTNET_E_ARGUMENT;
    if (len > CNetReliable::kMaxMessage) return PORTNET_E_TOO_BIG;
    return static_cast<Messages*>(object)->Say(data, len);
}

portnet_status portnet_set_state(portnet_handle manager, int32_t slot, int32_t port,
                                 const void* data, int32_t len) {
    Hub* hub = nullptr;
    CNetData* object = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = ObjectOf(hub, slot, port, kPortState, &object)) != PORTNET_OK)
        return s;
    auto* state = static_cast<CNetBlobState*>(object);
    if ((!data && len > 0) || len < 0) return PORTNET_E_ARGUMENT;
    if (len > state->GetSize()) return PORTNET_E_TOO_BIG;
    if (len > 0) state->Set(data, len);
    return PORTNET_OK;
}

portnet_status portnet_get_state(portnet_handle manager, int32_t slot, int32_t port, void* out,
                                 int32_t size) {
    Hub* hub = nullptr;
    CNetData* object = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = ObjectOf(hub, slot, port, kPortState, &object)) != PORTNET_OK)
        return s;
    const auto* state = static_cast<CNetBlobState*>(object);
    if (!out) return PORTNET_E_ARGUMENT;
    if (size < state->GetSize()) return PORTNET_E_BUFFER_TOO_SMALL;
    std::memcpy(out, state->Bytes(), static_cast<std::size_t>(state->GetSize()));
    return PORTNET_OK;
}

portnet_status portnet_get_state_history(portnet_handle manager, int32_t port, int32_t age,
                                         void* out, int32_t size, int32_t* time_ms) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    if (port < 1 || port >= hub->m_manager->m_num_ports || hub->m_kinds[port] != kPortState)
        return PORTNET_E_PORT;
    if (!out || age < 0) return PORTNET_E_ARGUMENT;
    if (size < hub->m_state_size[port]) return PORTNET_E_BUFFER_TOO_SMALL;
    const auto* held = static_cast<CNetBlobState*>(hub->m_manager->GetReadingHistory(port, age));
    if (!held || held->m_time == -1 || held->GetSize() != hub->m_state_size[port])
        return PORTNET_E_NO_PEER;
    std::memcpy(out, held->Bytes(), static_cast<std::size_t>(held->GetSize()));
    if (time_ms) *time_ms = held->m_time;
    return PORTNET_OK;
}

portnet_status portnet_send_block(portnet_handle manager, int32_t slot, int32_t port,
                                  const void* data, uint32_t len, uint32_t* id) {
    Hub* hub = nullptr;
    CNetData* object = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = ObjectOf(hub, slot, port, kPortBlocks, &object)) != PORTNET_OK)
        return s;
    CNetPeer* peer = PeerOf(hub, slot);
    if (!peer) return PORTNET_E_NO_PEER;
    if (!data || len == 0) return PORTNET_E_ARGUMENT;
    const int r = static_cast<Blocks*>(object)->Send(peer, data, len);
    if (r > 0) {
        if (id) *id = static_cast<uint32_t>(r);
        return PORTNET_OK;
    }
    switch (r) {
    case CNetBlockStream::kTooBig:
        return PORTNET_E_TOO_BIG;
    case CNetBlockStream::kQueueFull:
        return PORTNET_E_QUEUE_FULL;
    case CNetBlockStream::kNoMemory:
        return PORTNET_E_NO_MEMORY;
    default:
        return PORTNET_E_ARGUMENT;
    }
}

portnet_status portnet_cancel_block(portnet_handle manager, int32_t slot, int32_t port,
                                    uint32_t id) {
    Hub* hub = nullptr;
    CNetData* object = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = ObjectOf(hub, slot, port, kPortBlocks, &object)) != PORTNET_OK)
        return s;
    CNetPeer* peer = PeerOf(hub, slot);
    if (!peer) return PORTNET_E_NO_PEER;
    return static_cast<Blocks*>(object)->Cancel(peer, id) == 1 ? PORTNET_OK : PORTNET_E_ARGUMENT;
}

portnet_status portnet_block_limit(portnet_handle manager, int32_t slot, int32_t port,
                                   uint32_t limit) {
    Hub* hub = nullptr;
    CNetData* object = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = ObjectOf(hub, slot, port, kPortBlocks, &object)) != PORTNET_OK)
        return s;
    CNetPeer* peer = PeerOf(hub, slot);
    if (!peer) return PORTNET_E_NO_PEER;
    return static_cast<Blocks*>(object)->SetLimit(peer, limit) == 1 ? PORTNET_OK
                                                                    : PORTNET_E_ARGUMENT;
}

portnet_status portnet_get_block_progress(portnet_handle manager, int32_t slot, int32_t port,
                                          int32_t sending, portnet_block_progress* out) {
    Hub* hub = nullptr;
    CNetData* object = nullptr;
    portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK || (s = ObjectOf(hub, slot, port, kPortBlocks, &object)) != PORTNET_OK)
        return s;
    CNetPeer* peer = PeerOf(hub, slot);
    if (!peer) return PORTNET_E_NO_PEER;
    if (!out) return PORTNET_E_ARGUMENT;
    const auto* blocks = static_cast<Blocks*>(object);
    SNetBlockProgress p{};
    const int r =
        sending ? blocks->GetSendProgress(peer, &p) : blocks->GetReceiveProgress(peer, &p);
    if (r != 1) return PORTNET_E_NO_PEER;
    out->id = p.m_id;
    out->done = p.m_done;
    out->total = p.m_total;
    out->queued = p.m_queued;
    return PORTNET_OK;
}

portnet_status portnet_get_peer_stats(portnet_handle manager, int32_t slot,
                                      portnet_peer_stats* out) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    const CNetPeer* p = PeerOf(hub, slot);
    if (!p) return PORTNET_E_NO_PEER;
    out->ping_ms = p->m_ping;
    out->packets_in = p->m_packets_in;
    out->packets_out = p->m_packets_out;
    out->lost_packets = p->m_lost_packets;
    out->old_packets = p->m_old_packets;
    out->timeouts = p->m_timeouts;
    out->bytes_in = p->m_bytes_in;
    out->bytes_out = p->m_bytes_out;
    out->rate_in = p->m_rate_in;
    out->rate_out = p->m_rate_out;
    out->est_bandwidth = p->m_est_bandwidth;
    out->send_budget = p->m_send_budget;
    out->idle_ms = p->IdleFor();
    out->slot_at_host = p->m_slot_at_host;
    return PORTNET_OK;
}

portnet_status portnet_peer_address(portnet_handle manager, int32_t slot, char* out, int32_t size) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    const CNetPeer* p = PeerOf(hub, slot);
    if (!p || !p->m_send_buf) return PORTNET_E_NO_PEER;
    char text[CNetAddr::kMaxText];
    AddrText(p->m_send_buf->Addr(), text, sizeof text);
    return Copy(text, out, size);
}

portnet_status portnet_leave(portnet_handle manager) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(manager, kAnyManager, &hub);
    if (s != PORTNET_OK) return s;
    if (hub->m_server)
        hub->m_server->Leave();
    else
        hub->m_connection->Leave();
    return PORTNET_OK;
}

portnet_status portnet_server_kick(portnet_handle server, int32_t slot) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(server, Bit(PORTNET_KIND_SERVER), &hub);
    if (s != PORTNET_OK) return s;
    if (!PeerOf(hub, slot)) return PORTNET_E_NO_PEER;
    return hub->m_server->Kick(slot) < 0 ? PORTNET_E_NO_PEER : PORTNET_OK;
}

portnet_status portnet_get_server_info(portnet_handle server, portnet_server_info* out) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(server, Bit(PORTNET_KIND_SERVER), &hub);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    const CNetServer* srv = hub->m_server;
    out->num_peers = srv->GetNumPeers();
    out->limit = srv->GetLimit();
    for (int i = 0; i < 6; ++i)
        out->refused[i] = i < CNetServer::kRefusedReasons ? srv->m_refused[i] : 0;
    out->refusals_unreported = srv->m_refusals_unreported;
    out->after_leave = srv->m_after_leave;
    out->events_dropped = srv->m_events_dropped + hub->m_dropped;
    return PORTNET_OK;
}

portnet_status portnet_connect(portnet_handle connection, const char* host) {
    Hub* hub = nullptr;
    portnet_status s = Manager(connection, Bit(PORTNET_KIND_CONNECTION), &hub);
    if (s != PORTNET_OK) return s;
    CNetAddr addr;
    if ((s = ToAddr(host, true, &addr)) != PORTNET_OK) return s;
    if (hub->m_connection->Connect(addr) != 1) {
        SetError("%s: no host to connect to", host);
        return PORTNET_E_ADDRESS;
    }
    return PORTNET_OK;
}

portnet_status portnet_reconnect(portnet_handle connection) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(connection, Bit(PORTNET_KIND_CONNECTION), &hub);
    if (s != PORTNET_OK) return s;
    return hub->m_connection->Reconnect() == 1 ? PORTNET_OK : PORTNET_E_FAILED;
}

portnet_status portnet_get_connection_info(portnet_handle connection,
                                           portnet_connection_info* out) {
    Hub* hub = nullptr;
    const portnet_status s = Manager(connection, Bit(PORTNET_KIND_CONNECTION), &hub);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    const CNetConnection* c = hub->m_connection;
    out->state = c->GetState();
    out->slot = c->GetSlot();
    out->player_id = c->GetPlayerId();
    out->events_dropped = c->m_events_dropped + hub->m_dropped;
    out->reserved = 0;
    return PORTNET_OK;
}

} // extern "C"
