#pragma once

// The C layer's own workings: the handle table, and what a C server or connection keeps
// beside its C++ manager (the event queue, the kinds of its ports). Nothing here crosses the
// C boundary; portnet_c.h is all a caller sees.

#include <cstdint>

#include "portnet/CNetAddr.h"
#include "portnet/CNetBlobState.h"
#include "portnet/CNetBlockStream.h"
#include "portnet/CNetConnection.h"
#include "portnet/CNetDataHistory.h"
#include "portnet/CNetReliable.h"
#include "portnet/CNetServer.h"
#include "portnet/portnet_c.h"

namespace portnet_capi {

// Handle bits: generation (32) | kind (8) | unused (8) | index (16). A generation is never 0,
// so no handle is 0, and a slot's generation steps on every destroy.
inline portnet_handle MakeHandle(std::uint32_t gen, int kind, int index) {
    return static_cast<portnet_handle>(gen) << 32 | static_cast<portnet_handle>(kind & 0xff) << 24 |
           static_cast<portnet_handle>(index & 0xffff);
}

// Kinds as bits, for calls that take several.
inline unsigned Bit(int kind) {
    return kind >= 0 && kind < 32 ? 1u << kind : 0u;
}
const unsigned kAnyDriver = Bit(PORTNET_KIND_UDP) | Bit(PORTNET_KIND_LOOPBACK) |
                            Bit(PORTNET_KIND_SIM_ENDPOINT) | Bit(PORTNET_KIND_IMPAIRED) |
                            Bit(PORTNET_KIND_DTLS);
const unsigned kAnyManager = Bit(PORTNET_KIND_SERVER) | Bit(PORTNET_KIND_CONNECTION);

class Hub;

struct Entry {
    std::uint32_t m_gen = 1;
    int m_kind = 0; // 0: free
    void* m_object = nullptr;
    int m_users = 0;      // managers and wrapping drivers that use this one
    int m_holds = -1;     // the entry this one uses (its driver, network, wrapped driver)
    int m_next_free = -1; // free list
    Hub* m_hub = nullptr; // managers
};

bool Initialized();
// The entry of h if it is one of the kinds in mask; else the status that says why not.
portnet_status Lookup(portnet_handle h, unsigned mask, Entry** out);
// A new entry holding object (of kind), using the entry `holds` (-1 none); the handle.
portnet_status Adopt(void* object, int kind, int holds, portnet_handle* out);
int IndexOf(const Entry* e);
// A loopback endpoint was made: portnet_shutdown empties the library's driver registry.
void NoteLoopback();
Entry* EntryAt(int index);

// The reason of the last failure, for portnet_last_error.
void SetError(const char* format, ...);

// Text addresses and the records the C++ calls still take: the one place that converts.
portnet_status ToAddr(const char* text, bool resolve, CNetAddr* out);
void AddrText(const CNetAddr& addr, char* out, int size);

// A history of count blob states of size bytes (the prototype owned by it); null on failure.
CNetDataHistory* BlobHistory(int count, int size, int port);

enum PortKind : unsigned char { kPortNone = 0, kPortMessages, kPortState, kPortBlocks };

// A message stream on one port: received messages go to the hub's queue.
class Messages : public CNetReliable {
public:
    Messages(Hub* hub, int port, int slot) : m_hub(hub), m_port(port), m_slot(slot) {}
    int Created() override;
    int ReadingCompleted() override;
    int WritingCompleted() override;
    // Queues one message: PORTNET_OK or E_QUEUE_FULL.
    portnet_status Say(const void* data, int len);

    Hub* m_hub;
    int m_port;
    int m_slot;
    int m_queued = 0; // said and not yet acknowledged
};

// A blob state that tells the hub when a state arrived.
class State : public CNetBlobState {
public:
    State(Hub* hub, int port, int size) : CNetBlobState(size), m_hub(hub), m_port(port) {}
    CNetData* Clone() override;
    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient* client) override;

    Hub* m_hub;
    int m_port;
    int m_told_frame = -1; // one event per frame and sender
    int m_told_slot = -1;
};

// A state whose records the game's own functions encode and decode.
struct Codec {
    portnet_encode_fn m_encode = nullptr;
    portnet_decode_fn m_decode = nullptr;
    void* m_user = nullptr;
};

class CodecState : public State {
public:
    CodecState(Hub* hub, int port, int size, const Codec& codec)
        : State(hub, port, size), m_codec(codec) {}
    CNetData* Clone() override;
    int Write(CNetBuf* buf, CNetUnreliable* base, int room, CNetClient* client) override;
    int Read(CNetBuf* buf, CNetUnreliable* base, CNetClient* client) override;
    Codec m_codec;
};

class Blocks : public CNetBlockStream {
public:
    Blocks(Hub* hub, int port) : m_hub(hub), m_port(port) {}
    int BlockReceived(CNetClient* peer, std::uint32_t id, const unsigned char* data,
                      std::uint32_t len) override;
    int BlockEnded(CNetClient* peer, std::uint32_t id, int reason) override;
    Hub* m_hub;
    int m_port;
};

// What a C manager keeps beside the C++ one: its ports' kinds and its event queue, made whole
// at creation. A message takes the next slot of a message ring, which drains in the order of
// the events; a block's bytes are copied out of the stream (the library allocates per block
// too) and freed when polled.
class Hub {
public:
    enum : int { kMaxPorts = 256, kHistoryLimit = 64 };

    Hub() = default;
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;
    bool Make(int events, int messages);

    // Queues an event: false (counted in m_dropped) when the queue is full.
    bool Push(const portnet_event& ev);
    // Queues an event ahead of those the current frame queued (a connection's own news comes
    // before what arrived with it).
    bool PushAheadOfFrame(const portnet_event& ev);
    bool PushMessage(int slot, int port, const unsigned char* data, int len);
    bool PushBlock(int slot, int port, std::uint32_t id, const unsigned char* data,
                   std::uint32_t len);
    void StateArrived(State* state, int slot);
    portnet_status Poll(portnet_event* ev, void* buf, std::int32_t size);
    int EventCount() const { return m_event_count; }

    // The object of a new peer's own port (port 0), as that port's kind says.
    int MakeOwnPort(CNetDataPort* port);

    CNetManager* m_manager = nullptr;
    CNetServer* m_server = nullptr; // one of these two
    CNetConnection* m_connection = nullptr;
    int m_frame = 0;
    int m_frame_mark = 0; // events queued before the current frame
    unsigned m_dropped = 0;
    PortKind m_kinds[kMaxPorts] = {};
    int m_state_size[kMaxPorts] = {};
    int m_history[kMaxPorts] = {};
    Codec m_codecs[kMaxPorts] = {}; // ports of game-encoded states

private:
    struct SQueued {
        portnet_event m_ev;
        unsigned char* m_block; // a block's bytes, owned
    };
    SQueued* m_events = nullptr;

    int m_event_cap = 0, m_event_head = 0, m_event_count = 0;
    SNetMsgBuf* m_messages = nullptr; // m_buf and m_len used
    int m_message_cap = 0, m_message_head = 0, m_message_count = 0;
};

// The C++ managers with their hooks turned into the hub's events.
class Server : public CNetServer {
public:
    explicit Server(Hub* hub) : m_hub(hub) {}
    int MakeOwnPort(CNetDataPort* port) override { return m_hub->MakeOwnPort(port); }
    void OnEvent(const SNetServerEvent& e) override;
    Hub* m_hub;
};

class Connection : public CNetConnection {
public:
    explicit Connection(Hub* hub) : m_hub(hub) {}
    int MakeOwnPort(CNetDataPort* port) override { return m_hub->MakeOwnPort(port); }
    void OnEvent(const SNetConnectionEvent& e) override;
    Hub* m_hub;
};

} // namespace portnet_capi
