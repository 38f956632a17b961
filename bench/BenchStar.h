// One host manager and n peer managers in one process, over loopback endpoints, the
// simulated network or UDP on 127.0.0.0/8: the rig every portnet benchmark drives.
//
// The host owns the shared ports 1..m (states of type TState) and writes them to every peer.
// Every client's own port 0 holds a chat stream; with chat on, both sides say a line
// whenever their stream has room. With echo on, each peer moves a position on the last port
// and writes it back, so that the host hears acknowledgements every frame and can encode
// against a base.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <malloc.h>

#include <benchmark/benchmark.h>

#include "ReplicatedObjects.h"
#include "portnet/portnet.h"
#ifdef PORTNET_BENCH_SECURE
#include "portnet/CNetDtls.h"
#endif

namespace bench {

using portnet_examples::CChatStream;
using portnet_examples::CPositionState;

enum class ETransport { kLoopback, kSim, kUdp };
enum class EChange { kFields, kScattered };

enum : int { kMaxPeers = 1024, kFrameMs = 16, kHistory = 64 };

// Changes a tenth of a state per frame from a fixed pseudo-random sequence: in 4-byte fields
// (as floats and ints change) or byte by byte at scattered places (the hard case for a delta
// encoder).
class CChanger {
public:
    void Change(unsigned char* bytes, int size, EChange how) {
        int left = size / 10;
        while (left > 0) {
            if (how == EChange::kFields) {
                const int field = static_cast<int>(Next() % static_cast<unsigned>(size / 4)) * 4;
                const int n = left < 4 ? left : 4;
                for (int i = 0; i < n; ++i)
                    bytes[field + i] = static_cast<unsigned char>(bytes[field + i] + 1 + i);
                left -= n;
            } else {
                const int at = static_cast<int>(Next() % static_cast<unsigned>(size));
                bytes[at] = static_cast<unsigned char>(bytes[at] + 1);
                left -= 1;
            }
        }
    }

private:
    std::uint32_t Next() {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }
    std::uint32_t m_state = 2024;
};

inline sockaddr_in LocalAddr(int id) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

// The bound address of a UDP driver (its port was chosen by the system).
inline sockaddr_in BoundAddr(CNetDriver* driver) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = kNetFamilyInet;
    GetAddrFromString(driver->GetAddr(), &a);
    return a;
}

struct SStarConfig {
    ETransport m_transport = ETransport::kLoopback;
    int m_peers = 1;
    int m_state_ports = 3;
    bool m_chat = false;
    bool m_echo = false;
    bool m_ack_states = false; // every client acknowledges the states it receives
    bool m_batch = true;       // UDP drivers batch their system calls
    EChange m_change = EChange::kFields;
    bool m_secure = false; // UDP only: every driver inside a CNetDtls (pre-shared key)
    int m_host_slots = 0;  // the host's table; 0: the default, or as many as the peers if more
    // UDP: 0 every peer on an IPv4 address of its own; 4 every socket on 127.0.0.1, 6 every
    // socket on ::1, peers told apart by port (m_match_ports), so both families run alike.
    int m_family = 0;
    // The host's driver inside a CNetRecorder writing this file (simulator, or UDP without
    // CNetDtls), or (simulator only) a CNetReplayDriver playing it back instead (the peers
    // then stand still).
    const char* m_record = nullptr;
    const char* m_replay = nullptr;
};

// Heap memory this process holds, in KiB: the allocator's bytes in use, small and mapped. The
// process's resident size would count pages an earlier rig freed and the allocator kept.
inline double HeapKiB() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd) / 1024.0;
}

template <typename TState> class CStar {
public:
    explicit CStar(const SStarConfig& config)
        : m_config(config), m_net(1, config.m_peers + 2), m_peers(Size(config)),
          m_peer_out(Size(config)), m_host_out(Size(config)), m_host_in(Size(config)),
          m_sim(Size(config)), m_udp(1 + Size(config)), m_host_clients(Size(config)),
          m_peer_clients(Size(config))
#ifdef PORTNET_BENCH_SECURE
          ,
          m_dtls(1 + Size(config))
#endif
    {
    }

    ~CStar() {
        delete m_host;
        delete m_recorder;
        delete m_replayer;
        for (int i = 0; i < Size(m_config); ++i) {
            delete m_peers[i];
            delete m_peer_out[i];
            delete m_host_out[i];
            delete m_host_in[i];
            delete m_sim[i];
        }
        delete m_sim_host;
#ifdef PORTNET_BENCH_SECURE
        for (CNetDtls* d : m_dtls)
            delete d;
#endif
        for (CNetDriver* d : m_udp)
            delete d;
        // Loopback endpoints belong to the driver registry.
        if (m_config.m_transport == ETransport::kLoopback) ReleaseSystemNetDriver();
    }

    // Builds everything; an error text, or null.
    const char* Start() {
        const int n = m_config.m_peers;
        if (n < 1 || n > kMaxPeers) return "1 to 1024 peers";
        m_num_ports = 1 + m_config.m_state_ports + (m_config.m_echo ? 1 : 0);
        m_echo_port = m_config.m_echo ? m_num_ports - 1 : -1;

        CNetDriver* host_driver = nullptr;
        std::vector<CNetDriver*> peer_driver(n), host_side(n); // host_side: the host's for peer i
        std::vector<sockaddr_in> host_addr(n);                 // where peer i sends
        std::vector<sockaddr_in> peer_addr(n);                 // where the host sends for peer i
        std::vector<CNetAddr> host_ip(n), peer_ip(n);          // the same, with m_family 4 or 6
        const bool by_port = m_config.m_transport == ETransport::kUdp && m_config.m_family != 0;
        switch (m_config.m_transport) {
        case ETransport::kLoopback:
            // An endpoint keeps one datagram, so the host gives every peer an endpoint of its
            // own and reads it through the client's own receive buffer.
            host_driver = Local(1000);
            for (int i = 0; i < n; ++i) {
                host_side[i] = Local(1001 + i);
                peer_driver[i] = Local(2001 + kMaxPeers + i);
                host_addr[i] = LocalAddr(1001 + i);
                peer_addr[i] = LocalAddr(2001 + kMaxPeers + i);
            }
            break;
        case ETransport::kSim:
            m_sim_host = new CNetSimDriver(&m_net, 1, n < 64 ? 64 : 2 * n);
            if (m_sim_host->Init() != 0) return "simulated endpoint";
            host_driver = m_sim_host;
            if (m_config.m_record) {
                m_recorder = new CNetRecorder(host_driver, m_config.m_record);
                if (!m_recorder->IsReady()) return "recording file";
                host_driver = m_recorder;
            } else if (m_config.m_replay) {
                m_replayer = new CNetReplayDriver(m_config.m_replay, 1 << 22);
                if (!m_replayer->IsReady()) return "recording to replay";
                host_driver = m_replayer;
            }
            for (int i = 0; i < n; ++i) {
                m_sim[i] = new CNetSimDriver(&m_net, 100 + i, 64);
                if (m_sim[i]->Init() != 0) return "simulated endpoint";
                host_side[i] = host_driver;
                peer_driver[i] = m_sim[i];
                host_addr[i] = LocalAddr(1);
                peer_addr[i] = LocalAddr(100 + i);
            }
            break;
        case ETransport::kUdp:
            // Clients are told apart by IPv4 address alone, so each peer has an address of
            // its own in 127.0.0.0/8 (127.0.0.2 to .251, then 127.0.1.2 ...); the system picks
            // the ports.
            if (by_port) {
                const char* any = m_config.m_family == 6 ? "[::1]:0" : "127.0.0.1:0";
                host_driver = Udp(any);
                if (!host_driver) return "UDP socket on the loopback address";
                for (int i = 0; i < n; ++i) {
                    peer_driver[i] = Udp(any);
                    if (!peer_driver[i]) return "UDP socket on the loopback address";
                    host_side[i] = host_driver;
                    host_ip[i] = static_cast<CNetUDP*>(host_driver)->GetLocalAddr();
                    peer_ip[i] = static_cast<CNetUDP*>(peer_driver[i])->GetLocalAddr();
                }
                break;
            }
            host_driver = Udp("127.0.0.1:0");
            if (!host_driver) return "UDP socket on 127.0.0.1";
            for (int i = 0; i < n; ++i) {
                char text[32];
                std::snprintf(text, sizeof text, "127.0.%d.%d:0", i / 250, 2 + i % 250);
                peer_driver[i] = Udp(text);
                if (!peer_driver[i]) return "UDP socket on 127.0.0.x";
                host_side[i] = host_driver;
                host_addr[i] = BoundAddr(host_driver);
                peer_addr[i] = BoundAddr(peer_driver[i]);
            }
            if (m_config.m_secure) {
#ifdef PORTNET_BENCH_SECURE
                host_driver = Secure(0, host_driver, true);
                for (int i = 0; i < n && host_driver; ++i) {
                    host_side[i] = host_driver;
                    peer_driver[i] = Secure(1 + i, peer_driver[i], false);
                    if (!peer_driver[i]) return "CNetDtls";
                }
                if (!host_driver) return "CNetDtls";
#else
                return "built without libportnet-secure";
#endif
            }
            break;
        }
        if (!host_driver) return "driver";
        if (m_config.m_record && m_config.m_transport == ETransport::kUdp) {
            m_recorder = new CNetRecorder(host_driver, m_config.m_record);
            if (!m_recorder->IsReady()) return "recording file";
            host_driver = m_recorder;
            for (int i = 0; i < n; ++i)
                host_side[i] = host_driver;
        }

        m_host = new CNetManager;
        m_host->m_max_clients = m_config.m_host_slots > 0      ? m_config.m_host_slots
                                : n > CNetManager::kMaxClients ? n
                                                               : CNetManager::kMaxClients;
        if (m_host->Init(host_driver, m_num_ports) != 1) return "host manager";
        m_host->m_match_ports = by_port;
        AddPorts(m_host, true);
        if (m_recorder) m_recorder->Attach(m_host);
        if (m_replayer) m_replayer->Attach(m_host);
        for (int i = 0; i < n; ++i) {
            m_host_out[i] = by_port ? new CNetBuf(host_side[i], peer_ip[i])
                                    : new CNetBuf(host_side[i], &peer_addr[i]);
            if (m_config.m_transport == ETransport::kLoopback)
                m_host_in[i] = new CNetBuf(host_side[i], nullptr);
            if (!(m_host_clients[i] = AddClient(m_host, m_host_out[i], m_host_in[i], true)))
                return "host client";

            m_peers[i] = new CNetManager;
            if (m_peers[i]->Init(peer_driver[i], m_num_ports) != 1) return "peer manager";
            AddPorts(m_peers[i], false);
            m_peer_out[i] = by_port ? new CNetBuf(peer_driver[i], host_ip[i])
                                    : new CNetBuf(peer_driver[i], &host_addr[i]);
            if (!(m_peer_clients[i] = AddClient(m_peers[i], m_peer_out[i], nullptr, false)))
                return "peer client";
        }
        return nullptr;
    }

    // One frame of the whole star: the host's five steps, then every peer's. False when a
    // step failed.
    bool Frame() {
        if (m_replayer) return ReplayFrame();
        CNetTime::m_time += kFrameMs;
        if (m_config.m_transport == ETransport::kSim) m_net.SetTime(CNetTime::m_time);
        for (int p = 1; p <= m_config.m_state_ports; ++p)
            m_changer.Change(State(m_host, p)->m_bytes, sizeof State(m_host, p)->m_bytes,
                             m_config.m_change);
        const auto host_start = std::chrono::steady_clock::now();
        bool ok = HostSteps();
        if (m_recorder) ok = m_recorder->EndFrame() == 1 && ok;
        m_host_ns +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - host_start)
                .count();
        for (int i = 0; i < m_config.m_peers; ++i) {
            if (m_echo_port > 0) {
                auto* pos = static_cast<CPositionState*>(m_peers[i]->m_ports[m_echo_port].m_object);
                pos->m_pos[0] += 0.25f;
            }
            ok = Steps(m_peers[i], &m_peer_clients[i], 1) && ok;
        }
        return ok;
    }

    CNetRecorder* m_recorder = nullptr;     // with m_config.m_record
    CNetReplayDriver* m_replayer = nullptr; // with m_config.m_replay

    // The host alone over the recording, on its clock: false at its end, or when the frame
    // differs from the recorded one (the host's states change as they did when recording).
    bool ReplayFrame() {
        if (m_replayer->NextFrame() != 1) return false;
        CNetTime::m_time = m_replayer->GetClock();
        for (int p = 1; p <= m_config.m_state_ports; ++p)
            m_changer.Change(State(m_host, p)->m_bytes, sizeof State(m_host, p)->m_bytes,
                             m_config.m_change);
        const bool ok = HostSteps();
        return m_replayer->EndFrame() == 1 && ok;
    }

    // Datagram bytes (channel byte included) sent so far by the host and by all peers.
    long long HostBytes() const {
        return SumBytes(m_host_clients.data(), m_config.m_peers);
    }
    long long PeerBytes() const {
        return SumBytes(m_peer_clients.data(), m_config.m_peers);
    }

    // Peers whose copy of every state port equals the host's.
    int PeersInStep() const {
        int in_step = 0;
        for (int i = 0; i < m_config.m_peers; ++i) {
            bool same = true;
            for (int p = 1; p <= m_config.m_state_ports; ++p)
                same = same && std::memcmp(State(m_host, p)->m_bytes, State(m_peers[i], p)->m_bytes,
                                           sizeof State(m_host, p)->m_bytes) == 0;
            in_step += same ? 1 : 0;
        }
        return in_step;
    }

    // Chat lines that reached the other side, both directions, all peers.
    long long ChatLines() const {
        long long lines = 0;
        for (int i = 0; i < m_config.m_peers; ++i)
            lines += Chat(m_host_clients[i])->m_received + Chat(m_peer_clients[i])->m_received;
        return lines;
    }

    CNetManager* Host() {
        return m_host;
    }
    // Wall time spent in the host's five steps (its chat lines included) since the start.
    double HostNs() const {
        return m_host_ns;
    }
    CNetManager* Peer(int i) {
        return m_peers[i];
    }

private:
    CNetDriver* Local(int id) {
        CNetDriver* d = GetSystemNetDriver(kNetDriverLocal, id);
        return d && d->Init() == 0 ? d : nullptr;
    }

#ifdef PORTNET_BENCH_SECURE
    // Over the UDP driver, which is open already (the CNetDtls is not initialised again).
    // Both roles everywhere: in the one-way rows only the host sends, and starts.
    CNetDriver* Secure(int i, CNetDriver* inner, bool) {
        static const unsigned char key[32] = {0x62, 0x65, 0x6e, 0x63, 0x68};
        SNetDtlsConfig c;
        c.m_role = SNetDtlsConfig::kBoth;
        c.m_idle_timeout_ms = 0; // the one-way rows' host never hears from its peers
        c.m_psk_key = key;
        c.m_psk_key_len = sizeof key;
        // The host holds a session per peer, all of which may be in handshake at once.
        c.m_max_sessions = c.m_max_half_open = m_config.m_peers + 1;
        m_dtls[i] = new CNetDtls(inner, c);
        return m_dtls[i]->IsReady() ? m_dtls[i] : nullptr;
    }

public:
    // Open sessions of the host's CNetDtls (0 without --secure).
    int SecureSessions() const {
        return m_dtls[0] ? m_dtls[0]->GetOpenSessions() : 0;
    }

private:
#endif

    CNetDriver* Udp(const char* text) {
        auto* d = new CNetUDP(text);
        d->m_batch_receive = d->m_batch_send = m_config.m_batch;
        m_udp[m_udp_count++] = d;
        return d->Init() == 0 ? d : nullptr;
    }

    void AddPorts(CNetManager* m, bool host) {
        for (int p = 1; p <= m_config.m_state_ports; ++p) {
            m->SetPortA(p, new TState);
            m->InitPort(p, -1);
            CNetDataHistory** h =
                host ? &m->m_ports[p].m_writing_history : &m->m_ports[p].m_reading_history;
            *h = new CNetDataHistory(kHistory, new TState, p);
        }
        if (m_echo_port > 0) {
            m->SetPortA(m_echo_port, new CPositionState);
            m->InitPort(m_echo_port, -1);
            CNetDataHistory** h = host ? &m->m_ports[m_echo_port].m_reading_history
                                       : &m->m_ports[m_echo_port].m_writing_history;
            *h = new CNetDataHistory(kHistory, new CPositionState, m_echo_port);
        }
    }

    CNetClient* AddClient(CNetManager* m, CNetBuf* out, CNetBuf* in, bool host) {
        auto* c = new CNetClient;
        c->m_send_buf = out;
        c->m_recv_buf = in;
        c->m_own_port = new CNetDataPort;
        c->m_own_port->m_object = new CChatStream;
        c->m_ack_states = m_config.m_ack_states;
        if (m->AddClient(c, -1) < 0) {
            delete c;
            return nullptr;
        }
        c->m_refs[0].m_read_enabled = c->m_refs[0].m_write_enabled = true;
        for (int p = 1; p <= m_config.m_state_ports; ++p) {
            c->m_refs[p].m_write_enabled = host;
            c->m_refs[p].m_read_enabled = !host;
        }
        if (m_echo_port > 0) {
            c->m_refs[m_echo_port].m_write_enabled = !host;
            c->m_refs[m_echo_port].m_read_enabled = host;
        }
        return c;
    }

    // The host's frame, kept out of line so that a profiler can tell it from the peers'
    // (valgrind --tool=callgrind --toggle-collect='*HostSteps*').
    __attribute__((noinline)) bool HostSteps() {
        return Steps(m_host, m_host_clients.data(), m_config.m_peers);
    }

    // The rig keeps its clients: it never walks a manager's table itself.
    bool Steps(CNetManager* m, CNetClient* const* clients, int count) {
        if (m_config.m_chat)
            for (int i = 0; i < count; ++i)
                Chat(clients[i])->Say("a line of chat, thirty-two bytes");
        return m->BeginFrame() + m->Read() + m->Update(true) + m->Write() + m->EndFrame() == 5;
    }

    static TState* State(const CNetManager* m, int port) {
        return static_cast<TState*>(m->m_ports[port].m_object);
    }
    static int Size(const SStarConfig& c) {
        return c.m_peers < 1 || c.m_peers > kMaxPeers ? 0 : c.m_peers;
    }
    static CChatStream* Chat(const CNetClient* c) {
        return static_cast<CChatStream*>(c->m_own_port->m_object);
    }
    static long long SumBytes(CNetClient* const* clients, int count) {
        long long sum = 0;
        for (int i = 0; i < count; ++i)
            sum += clients[i]->m_bytes_out;
        return sum;
    }

    SStarConfig m_config;
    CNetSimNetwork m_net;
    CChanger m_changer;
    int m_num_ports = 0;
    int m_echo_port = -1;
    double m_host_ns = 0;
    CNetManager* m_host = nullptr;
    std::vector<CNetManager*> m_peers;
    std::vector<CNetBuf*> m_peer_out, m_host_out, m_host_in;
    CNetSimDriver* m_sim_host = nullptr;
    std::vector<CNetSimDriver*> m_sim;
    std::vector<CNetDriver*> m_udp;
    int m_udp_count = 0;
    std::vector<CNetClient*> m_host_clients, m_peer_clients;
#ifdef PORTNET_BENCH_SECURE
    std::vector<CNetDtls*> m_dtls; // host first, then the peers
#endif
};

// Starts the rig and runs it past the first full states into steady deltas; false, with the
// benchmark skipped, when it cannot start.
template <typename TState> bool StartSteady(benchmark::State& state, CStar<TState>& star) {
    if (const char* error = star.Start()) {
        state.SkipWithError(error);
        return false;
    }
    for (int i = 0; i < 50; ++i)
        star.Frame();
    return true;
}

} // namespace bench
