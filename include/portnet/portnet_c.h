/* portnet from C (and from any language that calls C: C#, Rust, Go, Zig, Odin ...).
 *
 * C99, and C++. Every object is an opaque handle: a 64-bit value that names a slot of a table
 * made by portnet_init, the kind of object and a generation. A null, destroyed or forged
 * handle, or one of another kind, gives a status code, never a crash. Every call returns a
 * status (below 0: an error; portnet_status_text puts it in words), except the three that give
 * text. Addresses are text: "1.2.3.4:5", "[::1]:5", "LOCAL:7". Nothing is allocated by the
 * frame calls (portnet_frame, sends, polls, statistics) once a session runs. One thread: the
 * library is not safe to call from two at once.
 *
 * The flow of a game: portnet_init; a driver (UDP, loopback, simulator); a server or a
 * connection over it; its ports (messages, states as byte blobs, blocks) and which of them
 * flow to and from each peer; then every frame portnet_time_update, portnet_frame, and
 * portnet_poll until it answers PORTNET_NONE. docs/guide.md, "From C", shows a whole program.
 */
#ifndef PORTNET_C_H
#define PORTNET_C_H

#include <stdint.h>

#include "PortnetExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The version this header belongs to; portnet_version tells the library's. */
#define PORTNET_VERSION_MAJOR 0
#define PORTNET_VERSION_MINOR 1
#define PORTNET_VERSION_PATCH 0

typedef uint64_t portnet_handle;
#define PORTNET_NULL_HANDLE ((portnet_handle)0)
typedef int32_t portnet_status;

enum {
    PORTNET_OK = 0,
    PORTNET_NONE = 1, /* portnet_poll: nothing queued */
    PORTNET_E_NOT_INITIALIZED = -1,
    PORTNET_E_NULL_HANDLE = -2,
    PORTNET_E_STALE_HANDLE = -3, /* destroyed, or never made by this table */
    PORTNET_E_WRONG_KIND = -4,
    PORTNET_E_ARGUMENT = -5, /* a null pointer, a number out of range */
    PORTNET_E_BUFFER_TOO_SMALL = -6,
    PORTNET_E_TABLE_FULL = -7, /* every handle of the table is taken */
    PORTNET_E_NO_MEMORY = -8,
    PORTNET_E_ADDRESS = -9,  /* text that names no address (portnet_last_error says why) */
    PORTNET_E_IN_USE = -10,  /* a driver still used by a manager or a wrapping driver */
    PORTNET_E_NO_PEER = -11, /* no peer in that slot, or not connected */
    PORTNET_E_QUEUE_FULL = -12,
    PORTNET_E_TOO_BIG = -13,
    PORTNET_E_PORT = -14,   /* a port outside the manager, or not of the kind the call needs */
    PORTNET_E_FAILED = -15, /* the library refused (a driver's Init ...; portnet_last_error) */
    PORTNET_E_FRAME = -16   /* a frame step failed (a malformed datagram was refused ...) */
};

/* Kinds of handles. */
enum {
    PORTNET_KIND_UDP = 1,
    PORTNET_KIND_LOOPBACK = 2,
    PORTNET_KIND_SIM_NETWORK = 3,
    PORTNET_KIND_SIM_ENDPOINT = 4,
    PORTNET_KIND_IMPAIRED = 5,
    PORTNET_KIND_DTLS = 6, /* portnet_secure_c.h */
    PORTNET_KIND_SERVER = 7,
    PORTNET_KIND_CONNECTION = 8
};

/* Events (portnet_event.type). */
enum {
    PORTNET_EVENT_JOINED = 1,    /* server: a peer took slot; player_id when a token named it */
    PORTNET_EVENT_LEFT = 2,      /* server: the peer of slot is gone; reason PORTNET_GONE_* */
    PORTNET_EVENT_REFUSED = 3,   /* server: a sender was refused; reason PORTNET_REFUSED_* */
    PORTNET_EVENT_CONNECTED = 4, /* connection: the host welcomed us; slot is ours at the host */
    PORTNET_EVENT_LOST = 5,      /* connection: the host is gone; reason PORTNET_GONE_* */
    PORTNET_EVENT_FAILED = 6,  /* connection: never connected; reason, refusal with GONE_REFUSED */
    PORTNET_EVENT_MESSAGE = 7, /* a message of length bytes on port from slot */
    PORTNET_EVENT_STATE = 8,   /* a state arrived on port from slot (portnet_get_state) */
    PORTNET_EVENT_BLOCK = 9,   /* a whole block of length bytes on port from slot */
    PORTNET_EVENT_BLOCK_ENDED = 10 /* block_id to or from slot ended; reason PORTNET_BLOCK_* */
};

/* Why a peer is gone. */
enum {
    PORTNET_GONE_LEFT = 1,
    PORTNET_GONE_TIMED_OUT = 2,
    PORTNET_GONE_UNREACHABLE = 3,
    PORTNET_GONE_SESSION_ENDED = 4,
    PORTNET_GONE_RESTARTED = 5,
    PORTNET_GONE_KICKED = 6,
    PORTNET_GONE_REFUSED = 7
};

/* Why a server refused a sender. */
enum {
    PORTNET_REFUSED_FULL = 1,
    PORTNET_REFUSED_BY_HOST = 2,
    PORTNET_REFUSED_NO_MEMORY = 3,
    PORTNET_REFUSED_NOT_PACKET = 4,
    PORTNET_REFUSED_STALE = 5
};

/* How a block ended (PORTNET_EVENT_BLOCK_ENDED). */
enum {
    PORTNET_BLOCK_DELIVERED = 1,
    PORTNET_BLOCK_TOO_BIG = -2,
    PORTNET_BLOCK_CANCELLED = -5,
    PORTNET_BLOCK_PEER_GONE = -6
};

/* Connection states (portnet_connection_info.state). */
enum {
    PORTNET_CONN_IDLE = 0,
    PORTNET_CONN_CONNECTING = 1,
    PORTNET_CONN_CONNECTED = 2,
    PORTNET_CONN_LOST = 3
};

/* Options of a server or connection (portnet_set_option). Times in ms; switches 0 or 1.
 * Keep-alive, idle limit and the two switches count for peers admitted or connected after. */
enum {
    PORTNET_OPT_KEEP_ALIVE_MS = 1,
    PORTNET_OPT_IDLE_LIMIT_MS = 2,
    PORTNET_OPT_ADAPT_RATE = 3,
    PORTNET_OPT_PRIORITY_AGING = 4,
    PORTNET_OPT_STALE_HOLD_MS = 5,      /* server */
    PORTNET_OPT_HELLO_MS = 6,           /* connection */
    PORTNET_OPT_CONNECT_TIMEOUT_MS = 7, /* connection */
    PORTNET_OPT_MATCH_PORTS = 8
};

/* Largest message; largest blob state. */
enum { PORTNET_MAX_MESSAGE = 799, PORTNET_MAX_STATE = 900, PORTNET_MAX_ADDRESS = 64 };

typedef struct portnet_event {
    int32_t type;
    int32_t slot; /* the peer's slot (a connection: 0, the host); -1 for a refused sender */
    int32_t port;
    int32_t reason;
    int32_t refusal; /* FAILED with PORTNET_GONE_REFUSED: a PORTNET_REFUSED_* */
    uint32_t length; /* MESSAGE, BLOCK: bytes copied to the poll's buffer; STATE: blob size */
    uint32_t block_id;
    int32_t reserved;
    uint64_t player_id;                /* JOINED over a secure driver with tokens; else 0 */
    char address[PORTNET_MAX_ADDRESS]; /* JOINED, LEFT, REFUSED: the peer's address */
} portnet_event;

typedef struct portnet_peer_stats {
    int32_t ping_ms;
    int32_t packets_in;
    int32_t packets_out;
    int32_t lost_packets;
    int32_t old_packets;
    int32_t timeouts;
    int32_t bytes_in;
    int32_t bytes_out;
    int32_t rate_in; /* bytes per second, over the last second */
    int32_t rate_out;
    int32_t est_bandwidth; /* bytes per second the path was seen to deliver; 0 unknown */
    int32_t send_budget;   /* bytes for this frame's first datagram; -1 without rate control */
    int32_t idle_ms;       /* since a packet of the peer was last accepted */
    int32_t slot_at_host;
} portnet_peer_stats;

typedef struct portnet_server_info {
    int32_t num_peers;
    int32_t limit;
    uint32_t refused[6]; /* by PORTNET_REFUSED_* reason (index 0 unused) */
    uint32_t refusals_unreported;
    uint32_t after_leave;
    uint32_t events_dropped; /* events and messages the full queue could not take */
} portnet_server_info;

typedef struct portnet_connection_info {
    int32_t state; /* PORTNET_CONN_* */
    int32_t slot;  /* ours at the host; -1 until welcomed */
    uint64_t player_id;
    uint32_t events_dropped;
    int32_t reserved;
} portnet_connection_info;

typedef struct portnet_block_progress {
    uint32_t id; /* 0 when no block is in transfer */
    uint32_t done;
    uint32_t total;
    int32_t queued;
} portnet_block_progress;

/* What happens to datagrams on their way out (simulator, impaired driver). */
typedef struct portnet_impairment {
    double loss_percent;
    double duplicate_percent;
    double reorder_percent;
    int32_t latency_ms;
    int32_t jitter_ms;
    int32_t reorder_delay_ms;
    int32_t bandwidth_bytes_per_s; /* 0: unlimited */
    int32_t max_backlog_ms;        /* 250 is the library's default */
    int32_t reserved;
} portnet_impairment;

typedef struct portnet_sim_stats {
    uint32_t sent;
    uint32_t delivered;
    uint32_t dropped_loss;
    uint32_t dropped_queue_full;
    uint32_t dropped_bandwidth;
    uint32_t dropped_unreachable;
    uint32_t dropped_oversize;
    uint32_t duplicated;
    uint32_t delayed;
    uint32_t reordered;
    uint32_t send_failed;
} portnet_sim_stats;

/* --- The library ------------------------------------------------------------------------ */

/* The handle table: max_handles (1..65535; 0 for 1024) drivers, networks and managers at once.
 * Again after portnet_shutdown. PORTNET_E_FAILED when already initialised. */
PORTNET_API portnet_status portnet_init(int32_t max_handles);
/* Destroys every object still held (managers first), then the table. */
PORTNET_API portnet_status portnet_shutdown(void);
PORTNET_API portnet_status portnet_version(int32_t* major, int32_t* minor, int32_t* patch);
/* The code in words; "unknown status" for a code that is none. Never null. */
PORTNET_API const char* portnet_status_text(portnet_status code);
/* A PORTNET_GONE_* and a PORTNET_REFUSED_* reason in words. Never null. */
PORTNET_API const char* portnet_gone_text(int32_t reason);
PORTNET_API const char* portnet_refusal_text(int32_t reason);
/* Why the last call that failed with E_ADDRESS or E_FAILED did, zero-terminated in out. */
PORTNET_API portnet_status portnet_last_error(char* out, int32_t size);
/* Destroys any object. A driver still used by a manager or a wrapping driver: E_IN_USE. */
PORTNET_API portnet_status portnet_destroy(portnet_handle h);
PORTNET_API portnet_status portnet_handle_kind(portnet_handle h, int32_t* kind);

/* The library's clock, in ms: portnet_time_update once at the top of every frame. With a
 * manual clock (enabled 1) the time is what portnet_time_set gives, for simulations. */
PORTNET_API portnet_status portnet_time_update(int32_t* now_ms);
PORTNET_API portnet_status portnet_time_manual(int32_t enabled);
PORTNET_API portnet_status portnet_time_set(int32_t ms);

/* --- Drivers ---------------------------------------------------------------------------- */

/* UDP bound to bind ("127.0.0.1:0", "0.0.0.0:4000", a name and port), opened at once. */
PORTNET_API portnet_status portnet_udp_create(const char* bind, portnet_handle* out);
/* An in-process loopback endpoint with id 0..65535 (address "LOCAL:id"), opened at once. It
 * holds one datagram: a second sent to it before it reads replaces the first, so a server that
 * sends a player a state every frame buries its welcome and the player may never connect. For a
 * server and its players in one process use the simulator, whose endpoints queue. */
PORTNET_API portnet_status portnet_loopback_create(int32_t id, portnet_handle* out);
/* A simulated network (seed: its generator) of at most max_endpoints (0: 64), and an endpoint
 * on it with id (address "LOCAL:id") and an incoming queue of queue_depth (0: 256). */
PORTNET_API portnet_status portnet_sim_network_create(uint64_t seed, int32_t max_endpoints,
                                                      portnet_handle* out);
PORTNET_API portnet_status portnet_sim_endpoint_create(portnet_handle network, int32_t id,
                                                       int32_t queue_depth, portnet_handle* out);
/* Wraps a driver and impairs what it sends (its own clock follows the library's). */
PORTNET_API portnet_status portnet_impaired_create(portnet_handle inner, uint64_t seed,
                                                   int32_t queue_depth, portnet_handle* out);
/* The impairment of a simulated endpoint or an impaired driver; of a link of a network. */
PORTNET_API portnet_status portnet_set_impairment(portnet_handle driver,
                                                  const portnet_impairment* impairment);
PORTNET_API portnet_status portnet_sim_link_impairment(portnet_handle network, int32_t from_id,
                                                       int32_t to_id,
                                                       const portnet_impairment* impairment);
PORTNET_API portnet_status portnet_sim_clear_link(portnet_handle network, int32_t from_id,
                                                  int32_t to_id);
/* The clock of a network or an impaired driver: set, or moved forward. */
PORTNET_API portnet_status portnet_sim_set_time(portnet_handle h, int32_t ms);
PORTNET_API portnet_status portnet_sim_advance(portnet_handle h, int32_t ms);
/* Counters of a network (all endpoints), an endpoint or an impaired driver. */
PORTNET_API portnet_status portnet_get_sim_stats(portnet_handle h, portnet_sim_stats* out);
/* The address a driver is bound to, as text. */
PORTNET_API portnet_status portnet_driver_address(portnet_handle driver, char* out, int32_t size);

/* --- Servers and connections (managers) ------------------------------------------------- */

/* A server over driver with num_ports ports (1..255) for at most max_peers (1..4096; 0 for 8). */
PORTNET_API portnet_status portnet_server_create(portnet_handle driver, int32_t num_ports,
                                                 int32_t max_peers, portnet_handle* out);
PORTNET_API portnet_status portnet_connection_create(portnet_handle driver, int32_t num_ports,
                                                     portnet_handle* out);
PORTNET_API portnet_status portnet_set_option(portnet_handle manager, int32_t option,
                                              int32_t value);
PORTNET_API portnet_status portnet_get_option(portnet_handle manager, int32_t option,
                                              int32_t* value);

/* What a port holds; the same kinds, sizes and history on both sides. Port 0 is each peer's
 * own port: a server makes one object per peer there (messages on a server go on port 0
 * only: one stream serves one peer). Set ports before peers join (a server) or connect. */
PORTNET_API portnet_status portnet_message_port(portnet_handle manager, int32_t port);
/* A blob of size bytes (1..PORTNET_MAX_STATE), history 1..64 states each way. */
PORTNET_API portnet_status portnet_state_port(portnet_handle manager, int32_t port, int32_t size,
                                              int32_t history);
/* A state of size bytes whose record the game encodes itself, for a wire format of its own
 * (a host in C++ with its own CNetUnreliable). encode writes the state (size bytes) against
 * base (null: none) into out, at most room bytes: the bytes written, 0 for nothing to send, more
 * than room to be left out of this datagram, below 0 a failure. decode reads a record from in
 * (avail bytes, to the datagram's end) against base (null: none) into state (size bytes, the
 * state held so far): the bytes read, or -1 for a malformed record. Both are called inside
 * portnet_frame; user is handed back. */
typedef int32_t (*portnet_encode_fn)(void* user, int32_t port, const uint8_t* state,
                                     const uint8_t* base, int32_t size, uint8_t* out, int32_t room);
typedef int32_t (*portnet_decode_fn)(void* user, int32_t port, const uint8_t* in, int32_t avail,
                                     const uint8_t* base, int32_t size, uint8_t* state);
PORTNET_API portnet_status portnet_codec_port(portnet_handle manager, int32_t port, int32_t size,
                                              int32_t history, portnet_encode_fn encode,
                                              portnet_decode_fn decode, void* user);
/* Blocks up to limit bytes per peer (0: 1 MiB; at most 16 MiB). */
PORTNET_API portnet_status portnet_block_port(portnet_handle manager, int32_t port, uint32_t limit);
/* Whether port flows from (read) and to (write) every peer admitted or connected after. */
PORTNET_API portnet_status portnet_peer_ports(portnet_handle manager, int32_t port, int32_t read,
                                              int32_t write);

/* One frame: begin, read, update (no interpolation), write, end; events are queued for
 * portnet_poll. PORTNET_E_FRAME when a step failed (the others still ran). */
PORTNET_API portnet_status portnet_frame(portnet_handle manager);
/* The oldest event into *ev, its payload (MESSAGE, BLOCK) into buf: PORTNET_OK, or
 * PORTNET_NONE. A payload longer than size: E_BUFFER_TOO_SMALL with ev->length set and the
 * event kept for a poll with a larger buffer. */
PORTNET_API portnet_status portnet_poll(portnet_handle manager, portnet_event* ev, void* buf,
                                        int32_t size);

/* A message (1..PORTNET_MAX_MESSAGE bytes) to the peer in slot (a connection: 0), delivered
 * whole and in order. E_QUEUE_FULL while nine are unacknowledged. */
PORTNET_API portnet_status portnet_send_message(portnet_handle manager, int32_t slot, int32_t port,
                                                const void* data, int32_t len);
/* A state port's bytes: set the first len bytes (sent from the next frame on), get them all
 * (size at least the blob's). Port 0 names the own port of slot's peer. */
PORTNET_API portnet_status portnet_set_state(portnet_handle manager, int32_t slot, int32_t port,
                                             const void* data, int32_t len);
PORTNET_API portnet_status portnet_get_state(portnet_handle manager, int32_t slot, int32_t port,
                                             void* out, int32_t size);
/* A received state of a shared port (not 0) age states back (0 the newest), with its time on
 * this side's clock, for a game that interpolates: E_NO_PEER when none is held that far. */
PORTNET_API portnet_status portnet_get_state_history(portnet_handle manager, int32_t port,
                                                     int32_t age, void* out, int32_t size,
                                                     int32_t* time_ms);
/* A block of len bytes to the peer in slot; its id in *id. */
PORTNET_API portnet_status portnet_send_block(portnet_handle manager, int32_t slot, int32_t port,
                                              const void* data, uint32_t len, uint32_t* id);
PORTNET_API portnet_status portnet_cancel_block(portnet_handle manager, int32_t slot, int32_t port,
                                                uint32_t id);
PORTNET_API portnet_status portnet_block_limit(portnet_handle manager, int32_t slot, int32_t port,
                                               uint32_t limit);
/* sending 1: the first queued block to the peer; 0: the block in reassembly from it. */
PORTNET_API portnet_status portnet_get_block_progress(portnet_handle manager, int32_t slot,
                                                      int32_t port, int32_t sending,
                                                      portnet_block_progress* out);

PORTNET_API portnet_status portnet_get_peer_stats(portnet_handle manager, int32_t slot,
                                                  portnet_peer_stats* out);
PORTNET_API portnet_status portnet_peer_address(portnet_handle manager, int32_t slot, char* out,
                                                int32_t size);
/* A server: goodbye to every peer. A connection: goodbye to the host, then idle. */
PORTNET_API portnet_status portnet_leave(portnet_handle manager);

PORTNET_API portnet_status portnet_server_kick(portnet_handle server, int32_t slot);
PORTNET_API portnet_status portnet_get_server_info(portnet_handle server, portnet_server_info* out);

/* Starts connecting to host ("1.2.3.4:5", "[::1]:5", "LOCAL:1", or "name:port", which is
 * resolved now and may wait for the system's resolver). */
PORTNET_API portnet_status portnet_connect(portnet_handle connection, const char* host);
PORTNET_API portnet_status portnet_reconnect(portnet_handle connection);
PORTNET_API portnet_status portnet_get_connection_info(portnet_handle connection,
                                                       portnet_connection_info* out);

#ifdef __cplusplus
}
#endif

#endif /* PORTNET_C_H */
