#pragma once

// One participant of the demo: a manager over one driver, a moving object of its own, a chat
// stream per link, and the bookkeeping that checks what arrives. The host (index 0) links to
// every peer; peer k (1..250) links to the host only. Ports:
//   0      chat, each link's own port (a reliable stream per pair of endpoints)
//   1      the host's object
//   1 + k  peer k's object: written by peer k to the host, relayed by the host to the others
//          while there are at most kRelayPeers peers. Beyond that the host relays nothing:
//          every peer sees the host's object only, so the host's histories grow with the
//          peers, not with their square.

#include <cstdint>
#include <memory>
#include <vector>

#include "ReplicatedObjects.h"
#include "StatsTable.h"
#include "portnet/portnet.h"

namespace demo {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

enum : int {
    kMaxPeers = 250, // the objects' ports stay within the 255 a client replicates
    kRelayPeers = 7, // up to this many peers each sees every other's object
    kChatPort = 0,
    kNumPorts = 2 + kMaxPeers,
    // With --block: the block stream's port, past every object's, so a peer that does not know
    // the number of peers yet places it where its host does.
    kBlockPort = kNumPorts,
    kHistorySize = 64, // the same on both sides of every link: delta bases are named by slot
};

// Whether the host relays every peer's object to the others at this many peers.
inline bool Relayed(int peers) {
    return peers <= kRelayPeers;
}
// The ports a session of this many peers needs (at least those of the small star, so a peer
// that does not know the count yet agrees with its host).
inline int PortsFor(int peers) {
    return 2 + (peers > kRelayPeers ? peers : kRelayPeers);
}

inline int ObjectPort(int index) {
    return 1 + index;
}
// "host" or "p1".."p7"; out holds at least 8 characters.
void EndpointName(int index, char* out);

// What the managers of an endpoint hand to its owner: out-of-band datagrams, peers gone, and
// over UDP the server's and the connection's events.
struct IDemoListener {
    virtual int OnOutOfBand(CNetBuf* buf) = 0;
    virtual void OnGone(int slot) = 0;
    virtual bool Admit() { return true; }
    virtual void OnServerEvent(const SNetServerEvent&) {}
    virtual void OnConnectionEvent(const SNetConnectionEvent&) {}
};

// The map a host sends with --block: pseudo-random bytes that depend on the size alone, so a
// peer knows what it should get from the length that arrived.
void MakeMap(std::uint32_t size, std::vector<unsigned char>* out);
// FNV-1a 64 of the bytes, and of the map of that size (made and hashed on the fly).
std::uint64_t Fnv1a64(const unsigned char* data, std::uint32_t len);
std::uint64_t MapHash(std::uint32_t size);

class Endpoint;

// The block stream of an endpoint: tells its endpoint what arrived and how blocks ended.
class CDemoBlocks : public CNetBlockStream {
public:
    explicit CDemoBlocks(Endpoint* e) : m_endpoint(e) {}
    int BlockReceived(CNetClient* peer, std::uint32_t id, const unsigned char* data,
                      std::uint32_t len) override;
    int BlockEnded(CNetClient* peer, std::uint32_t id, int reason) override;
    Endpoint* m_endpoint;
};

// On the simulator: a manager whose links the session makes itself.
class CDemoManager : public CNetManager {
public:
    using IListener = IDemoListener;
    int ReadOutOfBand(CNetBuf* buf) override {
        return m_listener ? m_listener->OnOutOfBand(buf) : 0;
    }
    // The driver reported the peer gone: note it and keep the client, whose objects the
    // endpoint still refers to.
    int DestroyClient(int slot) override {
        if (m_listener) m_listener->OnGone(slot);
        return 0;
    }
    IListener* m_listener = nullptr;
};

// The UDP host: admits peers while the session wants more; each gets a chat stream on its
// own port.
class CDemoServer : public CNetServer {
public:
    bool Admit(const sockaddr_in*, const SNetPeerIdentity&) override {
        return m_listener && m_listener->Admit();
    }
    int MakeOwnPort(CNetDataPort* port) override { return port->m_object = new CChatStream, 1; }
    int ReadOutOfBand(CNetBuf* buf) override {
        return m_listener ? m_listener->OnOutOfBand(buf) : 0;
    }
    void OnEvent(const SNetServerEvent& e) override {
        if (m_listener) m_listener->OnServerEvent(e);
    }
    IDemoListener* m_listener = nullptr;
};

// A UDP peer's connection to the host, with its chat stream on the own port.
class CDemoConnection : public CNetConnection {
public:
    int MakeOwnPort(CNetDataPort* port) override { return port->m_object = new CChatStream, 1; }
    int ReadOutOfBand(CNetBuf* buf) override {
        return m_listener ? m_listener->OnOutOfBand(buf) : 0;
    }
    void OnEvent(const SNetConnectionEvent& e) override {
        if (m_listener) m_listener->OnConnectionEvent(e);
    }
    IDemoListener* m_listener = nullptr;
};

// One link: a client of this endpoint's manager and the chat bookkeeping of both directions.
struct SLink {
    int m_remote = -1; // index of the endpoint at the other end; -1 unused
    char m_remote_name[8] = {};
    CNetBuf* m_send_buf = nullptr;  // ours: a client does not own its buffers
    CNetClient* m_client = nullptr; // owned by the manager's slot
    CChatStream* m_chat = nullptr;  // owned by the client's own port
    bool m_gone = false;            // the driver reported the peer gone
    int m_said = 0;                 // lines queued on m_chat
    int m_owed = 0;                 // lines due but not queued yet (the queue was full)
    int m_heard = 0;                // lines taken from m_chat's ring
    int m_good = 0;                 // of them, each the next line due from the remote
    double m_max_error = 0.0;       // worst error of the objects that arrive over this link
    // A host's link: the player's own count of the host's packets it lost, and of those it
    // expected, from its latest chat line; -1 none heard yet.
    int m_peer_lost = -1;
    int m_peer_packets = 0;
    // A server frees a peer when it leaves: what the link showed last, and its chat's
    // delivered count, are kept here for the summary.
    bool m_retired = false;
    int m_delivered = 0;
    int m_read_seq = 0;
    SLinkStats m_final{};
    // With --block. The host: the map's number for this peer (0 not sent) and how it ended;
    // a peer: the map that arrived, its size, hash and whether it is the map of that size.
    enum EMap { kMapNone, kMapSending, kMapDone, kMapFailed };
    int m_link_ms = 0; // when the link was made
    std::uint32_t m_map_id = 0;
    EMap m_map = kMapNone;
    int m_map_reason = 0; // CNetBlockStream's reason of a failed map
    int m_map_ms = 0;     // when the map was delivered or arrived
    std::uint32_t m_map_len = 0;
    std::uint64_t m_map_hash = 0;
    int m_maps_in = 0;       // blocks that arrived over this link
    bool m_map_news = false; // an end not told yet
};

class Endpoint {
public:
    Endpoint() = default;
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // Makes the manager over driver (not owned) with num_ports ports and the histories of the
    // small star (ports up to that of peer kRelayPeers); a host of more peers (index 0,
    // relay off) adds a reading history for each peer's port. index -1 when not yet known (a
    // UDP peer before the host's welcome). max_clients: the host's table. -1 on failure.
    // block_bytes above 0 places the block stream on kBlockPort (the manager then has
    // kBlockPort + 1 ports); a host sends a map of that size to every peer it links to.
    int Start(CNetDriver* driver, int index, int num_ports = PortsFor(kRelayPeers),
              bool relay = true, int max_clients = CNetManager::kMaxClients,
              std::uint32_t block_bytes = 0);
    // Takes index as this endpoint's own: its object starts moving and is written to every
    // link (peers never write it back to its owner); gives its port a writing history when the
    // small star had none.
    int SetIndex(int index);
    // Makes the manager of this endpoint (before Start): a server, a connection, or (neither)
    // a manager whose links AddLink makes.
    void UseServer(IDemoListener* listener);
    void UseConnection(IDemoListener* listener);
    // The link in slot for a client the server or connection made (it owns the client and its
    // send buffer), with the port switches of the star.
    int AdoptLink(int slot, int remote, CNetClient* c, int timeout_ms);
    // Adds a client for endpoint `remote` at addr into manager slot `slot`, with the port
    // switches of the star. timeout_ms: retransmission time-out of the reliable chat.
    int AddLink(int slot, int remote, const sockaddr_in& addr, int timeout_ms);
    // Forgets the link in slot whose client the server ended, so a new player may take the
    // slot (the server frees the client when it does).
    void DropLink(int slot);
    // The port switches of the star on the link in slot, towards endpoint remote.
    void SetSwitches(int slot, int remote);
    // The link whose client sits in slot, or null.
    SLink* LinkAt(int slot);
    // The link of client c, or null.
    SLink* LinkOf(const CNetClient* c);
    // A host with --block queues the map for the link in slot (once).
    void SendMap(int slot);
    // Keeps what the link in slot shows and lets go of its client (the server frees it).
    void RetireLink(int slot);

    // The five manager steps; the number that returned -1.
    int Step();
    // Moves the own object to its true position at ms.
    void Move(int ms);
    // Schedules one line on link i, and queues what is owed while the stream has room.
    void Schedule(int i) { ++m_links[i].m_owed; }
    void Talk();
    // Checks the lines that arrived since the last call.
    void Listen();
    // The live object of port, or null.
    CPositionState* Object(int port) const;
    // The object arrived at least once (its reading history holds a state).
    bool Seen(int port) const;
    // The link over which the object of `index` reaches this endpoint, or -1.
    int LinkOf(int index) const;
    bool ChatSettled() const; // nothing owed, everything said was delivered

    char m_name[8] = {};
    int m_index = -1;
    bool m_relay = true; // a host writes the peers' objects to each other
    // Each client sizes its packets to what the path carries, with priority aging so that no
    // object starves when they are smaller than what the host offers.
    bool m_adapt_rate = true;
    CDemoManager m_sim_manager;
    std::unique_ptr<CNetManager> m_udp_manager; // a CDemoServer or CDemoConnection
    CNetManager* m_manager = &m_sim_manager;    // the one in use
    SLink m_links[kMaxPeers];
    int m_num_links = 0;
    int m_step_failures = 0;
    // With --block: the stream (owned by its port), the size of the map and, on a host, the
    // map itself (Send copies it, so one serves every peer).
    CDemoBlocks* m_blocks = nullptr;
    std::uint32_t m_block_bytes = 0;
    std::vector<unsigned char> m_map;
    // Host: maps queued, acknowledged whole, ended otherwise (refused, cancelled), and ended
    // because their player left first, over the run.
    int m_maps_queued = 0, m_maps_delivered = 0, m_maps_failed = 0, m_maps_gone = 0;
};

} // namespace demo
