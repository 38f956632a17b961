// libFuzzer target: a CNetServer of three slots on the simulated network, fed hostile datagrams
// from three senders, with a real CNetConnection player beside them whose traffic, and the
// server's, can be replayed, altered and reflected. Hellos, welcomes, refusals, goodbyes and
// packets thus reach both the server's intake (CreateClient, its peers' ReadInstant and Read)
// and the player's peer. The small table makes full refusals, restarts (a hello of another
// attempt from a known sender), ended-peer records and the refusal-event rate limit easy to
// reach; the server is made anew for every input, so no input inherits another's records.
//
// An input is a stream of operations; the top three bits of each op byte name it:
//   0-3  a datagram: two bytes of length (11 bits, little-endian), then the datagram itself,
//        channel byte first. Sender (op & 3): 0-2 the three senders, 3 the player's address;
//        to the server, or to the player when op & 4 (sender 3 then forges the server's
//        address, so it reaches the player's peer)
//   4    one frame of the server and the player, (op & 31)^2 * 4 ms after the last
//   5    one of the last four datagrams ((op >> 3) & 3, 0 the newest) again: the player's to
//        the server (op & 1 clear; from sender 0 instead of the player when op & 4), or the
//        server's to anyone (op & 1 set; sent back to the server by its addressee when op & 4);
//        when op & 2, two more bytes alter it: byte at (first % length) ^= second, or, for a
//        second of 0, the datagram cut short there
//   6    with op & 16, the next byte sets the impairments of what sender (op & 3) sends (3:
//        the player; the server when op & 8); else sender (op & 3) leaves the network or
//        comes back
//   7    an action (op & 7) with an argument ((op >> 3) & 3): the player connects anew,
//        reconnects, or leaves; the server kicks slot arg or every peer; a switch of the host
//        is turned (arg 0: Admit refuses, 1: NewPeer fails, 2: MakeOwnPort fails, 3: ended
//        peers are not remembered); the host polls all its events, or one
// After the last operation three more frames run, then the server kicks every peer. An input
// runs at most kMaxFrames frames of its own: what follows the last of them is not read.
//
// Checked (a trap on failure): the server never holds more peers than its table; every
// kJoined and kLeft pairs up with the table (a slot joins only when free and leaves only once
// before it joins again, and the table agrees after every frame); a queued event comes out of
// PollEvent in order and unchanged, and one is dropped only when the queue is full (refusals:
// half full); a sender is told of as refused at most once a second, and a refusal that is not
// told has one told within the second before; CreateClient is offered only senders nobody in
// the table has; the player reports kConnected, kLost and kFailed only in the order of one
// attempt, and its state agrees; everything the server or the player sends is a channel-0
// datagram of at most 999 bytes.
//
// Built with PORTNET_FUZZ_STANDALONE it is a plain program (fuzz_server_intake_replay):
// `--capture DIR` writes the seed corpus from sessions of real connections and peers, and
// PORTNET_FUZZ_TRACE=1 prints what each input reached (refusals, departures, events).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FuzzShared.h"
#include "ReplicatedObjects.h"
#include "portnet/CNetSim.h"
#include "portnet/portnet.h"

namespace {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

enum : int {
    kServerId = 1,
    kFirstSenderId = 2, // the three senders are 2..4
    kSenders = 3,
    kPlayerId = 5,
    kIds = 8, // every endpoint's id is below this
    kSlots = 3,
    kPorts = 2, // 0: every peer's own chat stream, both ways; 1: the host's ball, to the player
    kBallPort = 1,
    kHistory = 4,
    kMaxLength = CNetSimDriver::kMaxDatagram,
    kMaxFrames = 16,
    kKept = 4, // datagrams each side keeps for op 5
    // The server's event queue: four events a slot and sixteen more; refusals fill half.
    kEventQueue = kSlots * 4 + 16,
    kRefusalQuietMs = 1000,
    // Every input starts its clock here: one that runs for more than 40 s crosses the wrap of
    // the 32-bit signed millisecond clock.
    kStartTime = 0x7FFF6300,
};

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

sockaddr_in Endpoint(int id) {
    return portnet_fuzz::LocalEndpoint(id);
}

// Milliseconds from then to now on the wrapping clock.
int Since(int now, int then) {
    return static_cast<int>(static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(then));
}

// An endpoint that keeps the last datagrams the library sends through it, for op 5, and checks
// each: channel 0, at most one buffer long. The harness's own sends bypass it (Forge).
class Tap : public CNetSimDriver {
public:
    using CNetSimDriver::CNetSimDriver;
    struct Kept {
        int len = 0;
        int to = 0;
        unsigned char bytes[kMaxLength];
    };

    int SendTo(int len, void* data, sockaddr_in* to) override {
        Check(len >= 1 && len <= CNetBuf::kMaxDatagram && data &&
              static_cast<const unsigned char*>(data)[0] == 0);
        if (to) {
            Kept& k = m_kept[m_next];
            m_next = (m_next + 1) % kKept;
            k.len = len;
            k.to = to->sin_port;
            std::memcpy(k.bytes, data, static_cast<std::size_t>(len));
        }
        return CNetSimDriver::SendTo(len, data, to);
    }
    int Forge(int len, const void* data, int to_id) {
        sockaddr_in to = Endpoint(to_id);
        return CNetSimDriver::SendTo(len, const_cast<void*>(data), &to);
    }
    // The datagram sent age sends ago (0: the newest), or null.
    const Kept* Sent(int age) const {
        const Kept& k = m_kept[(m_next - 1 - age + 2 * kKept) % kKept];
        return k.len > 0 ? &k : nullptr;
    }
    void Forget() {
        for (Kept& k : m_kept)
            k.len = 0;
    }

private:
    Kept m_kept[kKept];
    int m_next = 0;
};

// The fuzzed server: the host's switches, and the checks on its events as they are told.
class Server : public CNetServer {
public:
    bool Admit(const sockaddr_in*, const SNetPeerIdentity&) override { return m_admit; }
    CNetPeer* NewPeer() override { return m_no_peer ? nullptr : CNetServer::NewPeer(); }
    int MakeOwnPort(CNetDataPort* port) override {
        if (m_no_port) return -1;
        port->m_object = new CChatStream;
        return 1;
    }

    void OnEvent(const SNetServerEvent& e) override {
        CheckEvent(e);
        const unsigned dropped = m_events_dropped;
        CNetServer::OnEvent(e);
        const bool refusal = e.m_type == SNetServerEvent::kRefused;
        const bool room = m_queued < (refusal ? kEventQueue / 2 : kEventQueue);
        Check(m_events_dropped - dropped == (room ? 0u : 1u));
        if (room) m_queue[(m_head + m_queued++) % kEventQueue] = e;
    }

    // A stranger's datagram: nobody in the table has its address, and a refusal it draws is
    // told, or not told because its sender was told within the last second.
    int CreateClient(CNetBuf* buf) override {
        Check(buf && FindClient(&buf->m_addr) == -1);
        const int id = buf->m_addr.sin_port;
        const unsigned refused = Refusals(), unreported = m_refusals_unreported, told = m_told;
        const unsigned after_leave = m_after_leave;
        const int slot = CNetServer::CreateClient(buf);
        const unsigned new_refused = Refusals() - refused;
        const unsigned new_unreported = m_refusals_unreported - unreported;
        Check(new_refused <= 1 && new_refused == new_unreported + (m_told - told));
        if (m_told != told) Check(m_last_told_id == id);
        // A refusal not told: the ended peer's own late packet (answered, never an event), or a
        // sender told of one within the last second.
        if (new_unreported && m_after_leave == after_leave) {
            Check(id < kIds && m_refused_once[id]);
            const int quiet = Since(m_time, m_last_refusal[id]);
            Check(quiet >= 0 && quiet < kRefusalQuietMs);
        }
        if (slot != -1) {
            const CNetPeer* peer = GetPeer(slot);
            Check(new_refused == 0 && peer && peer->m_send_buf &&
                  peer->m_send_buf->m_addr.sin_port == id);
        }
        return slot;
    }

    // Takes up to n events; each is the oldest one queued, as it was told.
    void Poll(int n) {
        for (int i = 0; i < n; ++i) {
            SNetServerEvent e;
            const int r = PollEvent(&e);
            Check(r == (m_queued > 0 ? 1 : 0));
            if (r == 0) return;
            const SNetServerEvent& want = m_queue[m_head];
            m_head = (m_head + 1) % kEventQueue;
            --m_queued;
            Check(e.m_type == want.m_type && e.m_slot == want.m_slot &&
                  e.m_reason == want.m_reason && e.m_addr.sin_family == want.m_addr.sin_family &&
                  e.m_addr.sin_port == want.m_addr.sin_port);
        }
    }

    // After a frame: the table holds at most kSlots peers, exactly those whose kJoined was not
    // followed by a kLeft, each knowing its slot and this server.
    void CheckTable() const {
        Check(GetLimit() == kSlots && GetNumPeers() <= kSlots);
        int in = 0;
        for (int s = 0; s < kSlots; ++s) {
            const CNetPeer* peer = GetPeer(s);
            Check((peer != nullptr) == m_joined[s]);
            if (!peer) continue;
            ++in;
            Check(peer->m_id == s && peer->m_manager == this &&
                  peer->m_role == CNetPeer::kRoleHost);
        }
        Check(in == GetNumPeers());
    }
    bool Joined(int slot) const { return m_joined[slot]; }
    unsigned Told() const { return m_told; }

    unsigned m_left_by[8] = {}; // kLeft events by reason, for the trace

    bool m_admit = true;
    bool m_no_peer = false;
    bool m_no_port = false;

private:
    unsigned Refusals() const {
        unsigned n = 0;
        for (unsigned r : m_refused)
            n += r;
        return n;
    }

    void CheckEvent(const SNetServerEvent& e) {
        Check(GetNumPeers() <= kSlots);
        if (e.m_type == SNetServerEvent::kLeft && e.m_reason >= 0 && e.m_reason < 8)
            ++m_left_by[e.m_reason];
        switch (e.m_type) {
        case SNetServerEvent::kJoined:
            Check(e.m_slot >= 0 && e.m_slot < kSlots && !m_joined[e.m_slot] && e.m_reason == 0 &&
                  GetPeer(e.m_slot) != nullptr);
            m_joined[e.m_slot] = true;
            break;
        case SNetServerEvent::kLeft:
            Check(e.m_slot >= 0 && e.m_slot < kSlots && m_joined[e.m_slot] &&
                  GetPeer(e.m_slot) == nullptr && e.m_reason >= kNetGoneLeft &&
                  e.m_reason <= kNetGoneKicked);
            m_joined[e.m_slot] = false;
            break;
        case SNetServerEvent::kRefused: {
            const int id = e.m_addr.sin_port;
            Check(e.m_slot == -1 && e.m_reason >= kRefusedFull && e.m_reason < kRefusedReasons &&
                  e.m_addr.sin_family == kNetFamilyLocal && id < kIds);
            // The server's refusal memory is a table hashed with a seed of its own, so two
            // senders may share an entry and one may be told again early: how often a sender
            // is told is not checked here, only that every refusal is well formed.
            m_refused_once[id] = true;
            m_last_refusal[id] = m_time;
            m_last_told_id = id;
            ++m_told;
            break;
        }
        default:
            Check(false);
        }
    }

    bool m_joined[kSlots] = {};
    bool m_refused_once[kIds] = {};
    int m_last_refusal[kIds] = {}; // server time of the last refusal told, by sender id
    int m_last_told_id = -1;
    unsigned m_told = 0;
    SNetServerEvent m_queue[kEventQueue] = {};
    int m_head = 0;
    int m_queued = 0;
};

class Player : public CNetConnection {
public:
    int MakeOwnPort(CNetDataPort* port) override {
        port->m_object = new CChatStream;
        return 1;
    }
};

// Both sides: the own port carries chat both ways, the host's ball goes to the player.
void Layout(CNetManager& m, bool host) {
    m.SetPortA(kBallPort, new CPositionState);
    m.m_ports[kBallPort].m_reading_history =
        new CNetDataHistory(kHistory, new CPositionState, kBallPort);
    m.m_ports[kBallPort].m_writing_history =
        new CNetDataHistory(kHistory, new CPositionState, kBallPort);
    if (host) m.InitPort(kBallPort, -1);
}

void Step(CNetManager& m) {
    m.BeginFrame();
    m.Read();
    m.Update(true);
    m.Write();
    m.EndFrame();
}

// The network, its endpoints, and the server and player of the current input.
struct Harness {
    enum : int { kAsking, kIn, kOut, kIdle }; // the player's attempt, as its events tell

    Harness() {
        door.m_report_refused = player_end.m_report_refused = true;
        door.Init();
        player_end.Init();
        for (int s = 0; s < kSenders; ++s) {
            senders[s] = new CNetSimDriver(&net, kFirstSenderId + s, 32);
            senders[s]->Init();
        }
    }
    ~Harness() {
        End();
        for (CNetSimDriver* s : senders)
            delete s;
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    // Every endpoint back on the network without impairments and every queue empty (what is
    // still on its way arrives and is dropped); the clock at its start.
    void Reset() {
        CNetSimDriver* ends[] = {&door, &player_end, senders[0], senders[1], senders[2]};
        for (CNetSimDriver* d : ends) {
            if (!d->m_attached) d->Init();
            d->m_impairment = SNetImpairment{};
        }
        net.Advance(1000);
        unsigned char d[kMaxLength];
        for (CNetSimDriver* e : ends)
            for (int guard = 0; guard < 1024 && e->GetQueued() > 0; ++guard) {
                int len = sizeof d;
                sockaddr_in from;
                e->RecvFrom(&len, d, &from);
            }
        door.Forget();
        player_end.Forget();
        CNetTime::m_time = kStartTime;
        net.m_rng_state = rng_start; // every input draws the same impairments
        frames = 0;
        ticks = 0;
        connected = lost = failed = 0;
    }

    // A server and a player made for this input; the player asks at once.
    void Begin() {
        server = new Server;
        server->m_max_clients = kSlots;
        server->m_keep_alive_ms = 100;
        server->m_idle_limit_ms = 800;
        server->m_stale_hold_ms = 3000;
        Check(server->Init(&door, kPorts) == 1);
        Layout(*server, true);
        server->SetPeerPorts(0, true, true);
        server->SetPeerPorts(kBallPort, false, true);

        player = new Player;
        player->m_hello_ms = 100;
        player->m_connect_timeout_ms = 2000;
        player->m_keep_alive_ms = 100;
        player->m_idle_limit_ms = 800;
        Check(player->Init(&player_end, kPorts) == 1);
        Layout(*player, false);
        player->SetPeerPorts(0, true, true);
        player->SetPeerPorts(kBallPort, true, false);
        Connect();
        Frame(16);
    }

    // The server lets every peer go, every event is taken, and both are freed.
    void End() {
        if (!server) return;
        server->Leave();
        server->CheckTable();
        Check(server->GetNumPeers() == 0);
        server->Poll(kEventQueue + 1);
        PollPlayer();
        player->Leave();
        phase = kIdle;
        PollPlayer();
        if (trace) Trace();
        delete player;
        delete server;
        player = nullptr;
        server = nullptr;
    }

    // What an input reached, for PORTNET_FUZZ_TRACE=1 in the replay program.
    void Trace() const {
        const Server& v = *server;
        std::printf("  refused full %u host %u memory %u not-packet %u stale %u (told %u, not "
                    "told %u); after leave %u; events dropped %u\n",
                    v.m_refused[1], v.m_refused[2], v.m_refused[3], v.m_refused[4], v.m_refused[5],
                    v.Told(), v.m_refusals_unreported, v.m_after_leave, v.m_events_dropped);
        std::printf("  left: goodbye %u timed out %u unreachable %u restarted %u kicked %u; "
                    "player connected %d lost %d failed %d\n",
                    v.m_left_by[kNetGoneLeft], v.m_left_by[kNetGoneTimedOut],
                    v.m_left_by[kNetGoneUnreachable], v.m_left_by[kNetGoneRestarted],
                    v.m_left_by[kNetGoneKicked], connected, lost, failed);
    }

    void Frame(int step_ms) {
        CNetTime::m_time = static_cast<int>(static_cast<std::uint32_t>(CNetTime::m_time) +
                                            static_cast<std::uint32_t>(step_ms));
        net.Advance(step_ms);
        ++ticks;
        static_cast<CPositionState*>(server->m_ports[kBallPort].m_object)->m_pos[ticks % 3] =
            static_cast<float>(ticks);
        Step(*server);
        server->CheckTable();
        Step(*player);
        PollPlayer();
        // The player says a line every fourth frame while connected.
        if (phase == kIn && ticks % 4 == 0) {
            CNetPeer* peer = player->GetPeer();
            Check(peer && peer->m_own_port && peer->m_own_port->m_object);
            static_cast<CChatStream*>(peer->m_own_port->m_object)->Say("a line of chat");
        }
        if (!capture) TakeReplies();
    }

    // The player's events follow one attempt: kConnected then kLost, or kFailed; its state
    // agrees with what was told.
    void PollPlayer() {
        SNetConnectionEvent e;
        while (player->PollEvent(&e) == 1) {
            const bool reason = e.m_reason >= kNetGoneLeft && e.m_reason <= kNetGoneRefused;
            switch (e.m_type) {
            case SNetConnectionEvent::kConnected:
                Check(phase == kAsking && e.m_reason == 0);
                ++connected;
                phase = kIn;
                break;
            case SNetConnectionEvent::kLost:
                Check(phase == kIn && reason);
                ++lost;
                phase = kOut;
                break;
            case SNetConnectionEvent::kFailed:
                Check(phase == kAsking && reason);
                ++failed;
                phase = kOut;
                break;
            default:
                Check(false);
            }
        }
        static const int kStates[] = {CNetConnection::kConnecting, CNetConnection::kConnected,
                                      CNetConnection::kLost, CNetConnection::kIdle};
        Check(player->GetState() == kStates[phase] && player->m_events_dropped == 0);
    }

    void Connect() {
        PollPlayer();
        const sockaddr_in host = Endpoint(kServerId);
        Check(player->Connect(&host) == 1);
        phase = kAsking;
    }

    // The senders' queues emptied: what the server answers them is not read.
    void TakeReplies() {
        unsigned char d[kMaxLength];
        for (CNetSimDriver* s : senders)
            for (int n = 0; n < 64; ++n) {
                int len = sizeof d;
                sockaddr_in from;
                if (s->RecvFrom(&len, d, &from) != 0 || len <= 0) break;
            }
    }

    CNetSimDriver* Sender(int s) { return s < kSenders ? senders[s] : &player_end; }
    static void Forge(CNetSimDriver* from, const unsigned char* d, int len, int to_id) {
        sockaddr_in to = Endpoint(to_id);
        // The base's send: a forged datagram is not the library's, so it is not kept or checked.
        from->CNetSimDriver::SendTo(len, const_cast<unsigned char*>(d), &to);
    }
    void Datagram(int s, bool to_player, const unsigned char* d, int len) {
        if (!to_player)
            Forge(Sender(s), d, len, kServerId);
        else
            Forge(s < kSenders ? senders[s] : &door, d, len, kPlayerId);
    }
    // Op 5: a kept datagram again, as it was or altered.
    void Replay(std::uint8_t op, const std::uint8_t* alter) {
        const bool servers = op & 1;
        const Tap::Kept* k = (servers ? door : player_end).Sent(op >> 3 & 3);
        if (!k) return;
        unsigned char d[kMaxLength];
        int len = k->len;
        std::memcpy(d, k->bytes, static_cast<std::size_t>(len));
        if (alter) {
            const int at = alter[0] % len;
            if (alter[1] != 0)
                d[at] ^= alter[1];
            else
                len = at;
        }
        if (!servers)
            Forge(op & 4 ? senders[0] : &player_end, d, len, kServerId);
        else if (!(op & 4))
            Forge(&door, d, len, k->to);
        else if (k->to >= kFirstSenderId && k->to <= kPlayerId)
            Forge(Sender(k->to - kFirstSenderId), d, len, kServerId); // back from its addressee
    }
    void Toggle(int s) {
        CNetSimDriver* d = Sender(s);
        if (d->m_attached)
            d->Shutdown();
        else
            d->Init();
    }
    static void Impair(CNetSimDriver* d, std::uint8_t b) {
        SNetImpairment& i = d->m_impairment;
        i.m_loss_percent = (b & 3) * 15.0;
        i.m_duplicate_percent = (b >> 2 & 3) * 15.0;
        i.m_jitter_ms = (b >> 4 & 3) * 20;
        i.m_reorder_percent = (b >> 6) * 15.0;
        i.m_reorder_delay_ms = 40;
    }
    void Act(int action, int arg) {
        switch (action) {
        case 0:
            Connect();
            break;
        case 1:
            PollPlayer();
            Check(player->Reconnect() == 1);
            phase = kAsking;
            break;
        case 2:
            PollPlayer();
            player->Leave();
            phase = kIdle;
            PollPlayer();
            break;
        case 3: {
            const bool held = arg < kSlots && server->Joined(arg);
            Check(server->Kick(arg) == (held ? arg : -1));
            server->CheckTable();
            break;
        }
        case 4:
            server->Leave();
            server->CheckTable();
            Check(server->GetNumPeers() == 0);
            break;
        case 5:
            if (arg == 0) server->m_admit = !server->m_admit;
            if (arg == 1) server->m_no_peer = !server->m_no_peer;
            if (arg == 2) server->m_no_port = !server->m_no_port;
            if (arg == 3) server->m_stale_hold_ms = server->m_stale_hold_ms ? 0 : 3000;
            break;
        case 6:
            server->Poll(kEventQueue + 1);
            break;
        default:
            server->Poll(1);
        }
    }

    // Runs the operation at data[pos]; the position after it, or size when the input ends.
    std::size_t Run(const std::uint8_t* data, std::size_t size, std::size_t pos) {
        const std::uint8_t op = data[pos++];
        const int s = op & 3;
        switch (op >> 5) {
        case 4:
            Frame((op & 31) * (op & 31) * 4);
            ++frames;
            break;
        case 5:
            if (!(op & 2)) {
                Replay(op, nullptr);
            } else {
                if (size - pos < 2) return size;
                Replay(op, data + pos);
                pos += 2;
            }
            break;
        case 6:
            if (!(op & 16)) {
                Toggle(s);
            } else {
                if (pos == size) return size;
                Impair(op & 8 ? &door : Sender(s), data[pos++]);
            }
            break;
        case 7:
            Act(op & 7, op >> 3 & 3);
            break;
        default: { // 0-3: a datagram
            if (size - pos < 2) return size;
            std::size_t len = (data[pos] | data[pos + 1] << 8) & 0x7FFu;
            pos += 2;
            if (len > size - pos) len = size - pos;
            if (len > kMaxLength) len = kMaxLength;
            Datagram(s, op & 4, data + pos, static_cast<int>(len));
            pos += len;
        }
        }
        return pos;
    }

    CNetSimNetwork net{1, 16, 8};
    Tap door{&net, kServerId, 64};
    Tap player_end{&net, kPlayerId, 64};
    CNetSimDriver* senders[kSenders] = {};
    Server* server = nullptr;
    Player* player = nullptr;
    int phase = kIdle;
    int connected = 0, lost = 0, failed = 0; // the player's events this input
    bool trace = false;
    int frames = 0;
    unsigned ticks = 0;
    const std::uint64_t rng_start = net.m_rng_state;
    bool capture = false; // the capture's peers read the senders' queues themselves
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The network is made once per process (never freed: the process ends); the server and
    // the player are made for every input.
    static Harness* harness = new Harness;
    Harness& h = *harness;
#ifdef PORTNET_FUZZ_STANDALONE
    h.trace = std::getenv("PORTNET_FUZZ_TRACE") != nullptr;
#endif
    h.Reset();
    h.Begin();
    for (std::size_t pos = 0; pos < size && h.frames < kMaxFrames;)
        pos = h.Run(data, size, pos);
    for (int i = 0; i < 3; ++i)
        h.Frame(16);
    h.End();
    return 0;
}

#ifdef PORTNET_FUZZ_STANDALONE

#include <memory>
#include <vector>

#include "FuzzReplay.h"

namespace {

using portnet_fuzz::Bytes;

enum : std::uint8_t {
    kOpFrame = 0x80, // | n: a frame n^2 * 4 ms on
    kOpReplay = 0xA0,
    kOpPlayerSent = 0x00, // with kOpReplay
    kOpServerSent = 0x01,
    kOpAltered = 0x02,
    kOpOther = 0x04,
    kOpToggle = 0xC0,
    kOpImpair = 0xD0,
    kOpAct = 0xE0,
};
enum : int {
    kActConnect = 0,
    kActReconnect = 1,
    kActLeave = 2,
    kActKick = 3,
    kActKickAll = 4,
    kActSwitch = 5,
    kActPollAll = 6,
};

std::uint8_t Act(int action, int arg = 0) {
    return static_cast<std::uint8_t>(kOpAct | arg << 3 | action);
}

// A side's driver: reads what the server sent the sender, and keeps what the side sends, for
// the recorder to deliver as the input's datagrams.
class SideDriver : public CNetImpairedDriver {
public:
    explicit SideDriver(CNetSimDriver* sender) : CNetImpairedDriver(sender) {}
    int SendTo(int len, void* data, sockaddr_in* to) override {
        if (len > 0 && len <= kMaxLength && to && to->sin_port == kServerId) {
            const auto* b = static_cast<const unsigned char*>(data);
            m_sent.emplace_back(b, b + len);
        }
        return 0;
    }
    std::vector<Bytes> m_sent;
};

// A sender's side in a capture: a connection, or a peer that sends packets without a hello.
struct Side {
    Side(CNetSimDriver* sender, bool connection) : driver(sender) {
        const sockaddr_in host = Endpoint(kServerId);
        if (connection) {
            auto* c = new Player;
            c->m_hello_ms = 100;
            c->m_keep_alive_ms = 100;
            Check(c->Init(&driver, kPorts) == 1);
            Layout(*c, false);
            c->SetPeerPorts(0, true, true);
            c->SetPeerPorts(kBallPort, true, false);
            Check(c->Connect(&host) == 1);
            mgr.reset(c);
            return;
        }
        mgr.reset(new CNetManager);
        Check(mgr->Init(&driver, kPorts) == 1);
        Layout(*mgr, false);
        auto* peer = new CNetPeer;
        peer->m_send_buf = new CNetBuf(&driver, &host);
        peer->m_owns_send_buf = true;
        peer->m_own_port = new CNetDataPort;
        peer->m_own_port->m_object = new CChatStream;
        peer->m_keep_alive_ms = 100;
        Check(mgr->AddClient(peer, -1) == 0);
        peer->m_refs[0].m_read_enabled = peer->m_refs[0].m_write_enabled = true;
        peer->m_refs[kBallPort].m_read_enabled = true;
    }
    CNetConnection* Connection() { return dynamic_cast<CNetConnection*>(mgr.get()); }
    CNetPeer* Peer() {
        return mgr->m_clients[0].m_used ? static_cast<CNetPeer*>(mgr->m_clients[0].m_client)
                                        : nullptr;
    }
    void Say(const char* line) {
        if (CNetPeer* p = Peer())
            if (p->m_own_port && p->m_own_port->m_object)
                static_cast<CChatStream*>(p->m_own_port->m_object)->Say(line);
    }
    SideDriver driver;
    std::unique_ptr<CNetManager> mgr; // after the driver: released before it
};

// One input being recorded: every operation is appended and run on the harness at once, so
// the input replays what the capture did. The senders' sides run after each frame, at the
// frame's time; what they send is recorded as datagrams ahead of the next operation.
struct Recorder {
    explicit Recorder(Harness& harness) : h(harness) {
        h.Reset();
        h.Begin();
    }
    void Op(std::initializer_list<std::uint8_t> bytes) {
        Flush();
        const std::size_t at = input.size();
        input.insert(input.end(), bytes.begin(), bytes.end());
        for (std::size_t pos = at; pos < input.size();)
            pos = h.Run(input.data(), input.size(), pos);
    }
    void Datagram(int s, bool to_player, const unsigned char* d, int len) {
        Flush();
        Record(s, to_player, d, len);
    }
    // A frame of n^2 * 4 ms, then the sides' frames.
    void Frame(int n = 2) {
        Op({static_cast<std::uint8_t>(kOpFrame | n)});
        for (Side* side : sides)
            if (side) Step(*side->mgr);
    }
    // What the sides sent since the last operation, recorded (or held back) in order.
    void Flush() {
        for (int s = 0; s < kSenders; ++s) {
            if (!sides[s]) continue;
            for (const Bytes& d : sides[s]->driver.m_sent) {
                if (hold[s]) {
                    held[s] = d; // lost on its way, for now
                    continue;
                }
                Record(s, false, d.data(), static_cast<int>(d.size()));
                last[s] = d;
            }
            sides[s]->driver.m_sent.clear();
        }
    }
    void Save(const std::filesystem::path& file) {
        Flush();
        Check(h.frames <= kMaxFrames);
        for (int i = 0; i < 3; ++i)
            h.Frame(16);
        h.End();
        for (auto& side : sides)
            side = nullptr;
        portnet_fuzz::Save(file, input);
    }

    Harness& h;
    Bytes input;
    Side* sides[kSenders] = {};
    Bytes last[kSenders];     // the newest datagram each sender sent the server
    bool hold[kSenders] = {}; // what the sender sends is held back, not delivered
    Bytes held[kSenders];     // the newest of those (earlier ones are lost)

private:
    void Record(int s, bool to_player, const unsigned char* d, int len) {
        input.push_back(static_cast<std::uint8_t>(s | (to_player ? 4 : 0)));
        input.push_back(static_cast<std::uint8_t>(len));
        input.push_back(static_cast<std::uint8_t>(len >> 8));
        input.insert(input.end(), d, d + len);
        h.Datagram(s, to_player, d, len);
    }
};

Bytes Hello(std::uint32_t attempt) {
    Bytes d = {0, 0x80, 'H', 'E', 'L', 'O'};
    for (int i = 0; i < 4; ++i)
        d.push_back(static_cast<std::uint8_t>(attempt >> (8 * i)));
    d.resize(2 + 24, 0);
    return d;
}

// Sessions of real connections and peers on the senders beside the harness's player, each
// one input of at most kMaxFrames frames.
int Capture(const std::filesystem::path& dir) {
    Harness h;
    h.capture = true;
    CNetSimDriver** s = h.senders;
    {
        // A second player joins, both chat.
        Recorder r(h);
        Side a(s[0], true);
        r.sides[0] = &a;
        for (int f = 0; f < 10; ++f) {
            if (f == 4) a.Say("hello from the second");
            r.Frame();
        }
        r.Save(dir / "join");
    }
    {
        // Four players for three slots: the last to ask is refused as full.
        Recorder r(h);
        Side a(s[0], true), b(s[1], true), c(s[2], true);
        r.sides[0] = &a;
        r.sides[1] = &b;
        r.Frame();
        r.sides[2] = &c;
        for (int f = 0; f < 8; ++f)
            r.Frame();
        r.Save(dir / "full");
    }
    {
        // A player reconnects: its goodbye, then a hello of a new attempt.
        Recorder r(h);
        Side a(s[0], true);
        r.sides[0] = &a;
        for (int f = 0; f < 12; ++f) {
            if (f == 5) a.Connection()->Reconnect();
            r.Frame();
        }
        r.Save(dir / "reconnect");
    }
    {
        // A player's process starts again on its address: a hello of another attempt with no
        // goodbye, so the server ends the old peer as restarted and admits the new one.
        Recorder r(h);
        auto a = std::make_unique<Side>(s[0], true);
        r.sides[0] = a.get();
        for (int f = 0; f < 12; ++f) {
            if (f == 5) {
                r.Flush();
                a.reset(); // the old process is gone before the new one starts
                a = std::make_unique<Side>(s[0], true);
                r.sides[0] = a.get();
            }
            r.Frame();
        }
        r.Save(dir / "restart");
    }
    {
        // A player's packet is held back on its way; the player leaves (its goodbye, repeated)
        // and the packet arrives late: it continues the ended peer's numbering, so it is
        // dropped and answered. The player then connects again within the stale hold, its
        // numbering continued past the old one.
        Recorder r(h);
        Side a(s[0], true);
        r.sides[0] = &a;
        for (int f = 0; f < 12; ++f) {
            r.hold[0] = f == 4;
            if (f == 5) {
                r.hold[0] = true; // the newest packet before the goodbye is the one held
                r.Flush();
                r.hold[0] = false;
                a.Connection()->Leave();
            }
            if (f == 7 && !r.held[0].empty())
                r.Datagram(0, false, r.held[0].data(), static_cast<int>(r.held[0].size()));
            if (f == 8) a.Connection()->Reconnect();
            r.Frame();
        }
        r.Save(dir / "leave_and_late");
    }
    {
        // A copy of a packet the server read arrives after the player left: it does not
        // continue the ended peer's numbering, and is taken for a new peer's first packet.
        Recorder r(h);
        Side a(s[0], true);
        r.sides[0] = &a;
        Bytes copy;
        for (int f = 0; f < 10; ++f) {
            if (f == 3) copy = r.last[0];
            if (f == 4) a.Connection()->Leave();
            if (f == 6 && !copy.empty())
                r.Datagram(0, false, copy.data(), static_cast<int>(copy.size()));
            r.Frame();
        }
        r.Save(dir / "late_copy");
    }
    {
        // A peer admitted by its first packet, no hello; it says the four-byte goodbye, then
        // goes on sending (stale, answered), and another is kicked.
        Recorder r(h);
        Side a(s[1], false), b(s[2], false);
        r.sides[1] = &a;
        r.sides[2] = &b;
        for (int f = 0; f < 12; ++f) {
            if (f == 5) a.Peer()->SendGoodbye();
            if (f == 7) r.Op({Act(kActKick, 2)});
            r.Frame();
        }
        r.Save(dir / "packet_peer");
    }
    {
        // Senders that send what is neither a hello nor a packet, again and again over seconds:
        // one refusal event a second each, until refusals fill their half of the queue.
        Recorder r(h);
        const unsigned char junk[] = {0, 0x80, 'h', 'i'};
        // A bare packet numbered 1024: a player of a server that ran before.
        const unsigned char old_packet[] = {0, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xFF};
        for (int f = 0; f < 14; ++f) {
            r.Datagram(0, false, junk, sizeof junk);
            r.Datagram(1, false, junk, sizeof junk);
            r.Datagram(2, false, old_packet, sizeof old_packet);
            r.Frame(f % 2 ? 16 : 31);
        }
        r.Save(dir / "refusal_flood");
    }
    {
        // The player's hello and the server's welcome replayed, altered and reflected; a
        // stranger's hello of the player's attempt; a kick and a reconnect.
        Recorder r(h);
        r.Frame();
        r.Op({kOpReplay | kOpPlayerSent | kOpOther}); // the player's hello from a stranger
        r.Frame();
        r.Op({kOpReplay | kOpServerSent});                       // the welcome again
        r.Op({kOpReplay | kOpServerSent | kOpAltered, 9, 0x01}); // its slot altered
        r.Op({kOpReplay | kOpServerSent | kOpOther});            // reflected to the server
        r.Frame();
        r.Op({Act(kActKick, 0)});
        r.Frame();
        r.Op({Act(kActReconnect)});
        for (int f = 0; f < 4; ++f)
            r.Frame();
        r.Op({kOpReplay | kOpServerSent | (1 << 3)}); // an older datagram of the server again
        r.Op({kOpReplay | kOpPlayerSent | kOpAltered, 3, 0});
        r.Frame();
        r.Op({Act(kActPollAll)});
        r.Save(dir / "replays");
    }
    {
        // The player's address leaves the network (the server's packets draw refusal notices),
        // and a second player goes silent past the idle limit.
        Recorder r(h);
        Side a(s[0], true);
        r.sides[0] = &a;
        for (int f = 0; f < 6; ++f)
            r.Frame();
        r.Op({kOpToggle | 3});
        r.Frame();
        r.Frame();
        r.Flush();
        r.sides[0] = nullptr; // silent from now on
        r.Frame(16);
        r.Op({kOpToggle | 3});
        r.Frame(31);
        r.Frame();
        r.Save(dir / "gone_and_silent");
    }
    {
        // The host says no, to both players asking again after it kicked them: Admit refuses,
        // then no peer can be made, then no own port; then, with ended peers not remembered,
        // they are admitted.
        Recorder r(h);
        Side a(s[0], true);
        r.sides[0] = &a;
        for (int f = 0; f < 3; ++f)
            r.Frame();
        r.Op({Act(kActKickAll), Act(kActSwitch, 0)});
        for (int k = 0; k < 4; ++k) {
            r.Frame();
            r.Op({Act(kActConnect)});
            a.Connection()->Reconnect();
            r.Frame();
            r.Frame();
            if (k < 3) r.Op({Act(kActSwitch, k), Act(kActSwitch, k + 1)});
        }
        r.Save(dir / "host_says_no");
    }
    {
        // Two players over lossy, duplicating, reordering links both ways.
        Recorder r(h);
        Side a(s[0], true);
        r.sides[0] = &a;
        r.Op({kOpImpair | 3, 0x45, kOpImpair | 8, 0x55});
        for (int f = 0; f < 16; ++f)
            r.Frame(f % 5 == 4 ? 6 : 2);
        r.Save(dir / "impaired");
    }
    {
        // The server's goodbye to a kicked player replayed to its next attempt, a four-byte
        // goodbye and a hello forged in the server's name and the player's.
        Recorder r(h);
        r.Frame();
        r.Frame();
        r.Op({Act(kActKick, 0)});
        r.Frame();
        r.Op({Act(kActConnect)});
        r.Op({kOpReplay | kOpServerSent});
        const unsigned char bye[] = {0, 0x80, 'B', 'Y', 'E', '!'};
        r.Datagram(3, true, bye, sizeof bye);
        const Bytes hello = Hello(0x12345678);
        r.Datagram(3, false, hello.data(), static_cast<int>(hello.size()));
        for (int f = 0; f < 6; ++f)
            r.Frame();
        r.Save(dir / "forged");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return portnet_fuzz::ReplayMain(argc, argv, Capture);
}

#endif
