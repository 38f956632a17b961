// One host and 1 to 256 peers over UDP on 127.0.0.0/8 in one process, a 200-byte state from the
// host to every peer every frame (a tenth of it changing), beside the same traffic as bare
// system calls and through ENet. Each peer has an address of its own (127.0.0.2 ...), so the
// rows do not depend on port matching.
#include <benchmark/benchmark.h>

#ifdef PORTNET_BENCH_ENET
#include <enet/enet.h>
#endif

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BenchStar.h"

namespace {

using namespace bench;
using Blob200 = portnet_examples::CBlobState<200>;
enum : int { kStateSize = 200 };

void Counters(benchmark::State& state, int peers, double received) {
    const double frames = static_cast<double>(state.iterations());
    state.counters["ns_per_peer"] = benchmark::Counter(
        frames * peers, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // Share of the frame's datagrams that had arrived when the receiver looked.
    state.counters["arrived"] = received / (frames * peers);
}

// CPU time this thread spent in user space and in the kernel, from the clock of the
// scheduler: the two shares of a row, per peer-frame, as counters "user_ns" and "sys_ns".
struct SCpuSplit {
    double m_user = 0, m_sys = 0;
    static double Ns(const timeval& t) { return t.tv_sec * 1e9 + t.tv_usec * 1e3; }
    static SCpuSplit Now() {
        rusage r;
        getrusage(RUSAGE_THREAD, &r);
        return SCpuSplit{Ns(r.ru_utime), Ns(r.ru_stime)};
    }
    void Report(benchmark::State& state, const SCpuSplit& start, int peers) const {
        const double n = static_cast<double>(state.iterations()) * peers;
        state.counters["user_ns"] = (m_user - start.m_user) / n;
        state.counters["sys_ns"] = (m_sys - start.m_sys) / n;
    }
};

// portnet: the host writes the state to each peer. Without echo the peers have nothing to
// say, so no acknowledgement comes back and every frame carries the full state, as the raw
// and ENet rows do. With echo each peer returns a moving position every frame, and the
// host's states go as differences against what the peer acknowledged.
void PortnetUdp(benchmark::State& state, bool echo, bool ack = false, bool batch = true,
                bool secure = false, int family = 0) {
    SStarConfig config;
    config.m_family = family;
    config.m_transport = ETransport::kUdp;
    config.m_peers = static_cast<int>(state.range(0));
    config.m_state_ports = 1;
    config.m_echo = echo;
    config.m_ack_states = ack;
    config.m_batch = batch;
    config.m_secure = secure;
    CStar<Blob200> star(config);
    if (!StartSteady(state, star)) return;
#ifdef PORTNET_BENCH_SECURE
    if (secure && star.SecureSessions() != config.m_peers) {
        state.SkipWithError("DTLS handshakes did not complete");
        return;
    }
#endif
    const long long host0 = star.HostBytes();
    const double host_ns0 = star.HostNs();
    long long in0 = 0;
    for (int i = 0; i < config.m_peers; ++i)
        in0 += star.Peer(i)->m_clients[0].m_client->m_packets_in;
    int failed = 0;
    const SCpuSplit cpu0 = SCpuSplit::Now();
    for (auto _ : state)
        failed += star.Frame() ? 0 : 1;
    SCpuSplit::Now().Report(state, cpu0, config.m_peers);
    if (failed > 0) state.SkipWithError("a frame step failed");
    long long in = -in0;
    for (int i = 0; i < config.m_peers; ++i)
        in += star.Peer(i)->m_clients[0].m_client->m_packets_in;
    Counters(state, config.m_peers, static_cast<double>(in));
    state.counters["host_B_per_peer"] =
        (star.HostBytes() - host0) / (static_cast<double>(state.iterations()) * config.m_peers);
    state.counters["host_ns_per_peer"] =
        (star.HostNs() - host_ns0) / (static_cast<double>(state.iterations()) * config.m_peers);
}

void BM_UdpPortnet(benchmark::State& state) {
    PortnetUdp(state, false);
}
// The same frame with every socket on one loopback address, peers told apart by port: over
// 127.0.0.1 (family:4) and over ::1 (family:6), interleaved in one run.
void BM_UdpFamily(benchmark::State& state) {
    PortnetUdp(state, false, false, true, false, static_cast<int>(state.range(1)));
}
void BM_UdpPortnetEcho(benchmark::State& state) {
    PortnetUdp(state, true);
}
// One-way, the peers acknowledging the states: the host sends differences.
void BM_UdpPortnetAck(benchmark::State& state) {
    PortnetUdp(state, false, true);
}
// One system call per datagram, as before batching.
void BM_UdpPortnetUnbatched(benchmark::State& state) {
    PortnetUdp(state, false, false, false);
}
// The one-way and two-way rows with every driver inside a CNetDtls (DTLS 1.2,
// ECDHE-PSK-CHACHA20-POLY1305).
void BM_UdpPortnetSecure(benchmark::State& state) {
    PortnetUdp(state, false, false, true, true);
}
void BM_UdpPortnetEchoSecure(benchmark::State& state) {
    PortnetUdp(state, true, false, true, true);
}

// Bare sockets, bound like the portnet rig.
struct SRawRig {
    int m_host = -1;
    int m_peers[kMaxPeers];
    sockaddr_in m_peer_addr[kMaxPeers];
    int m_count = 0;

    ~SRawRig() {
        if (m_host >= 0) close(m_host);
        for (int i = 0; i < m_count; ++i)
            close(m_peers[i]);
    }

    static int Open(const char* ip, sockaddr_in* bound) {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) return -1;
        sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &a.sin_addr);
        socklen_t len = sizeof a;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            fcntl(s, F_SETFL, O_NONBLOCK) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(bound), &len) != 0) {
            close(s);
            return -1;
        }
        return s;
    }

    bool Start(int peers) {
        sockaddr_in host_addr;
        m_host = Open("127.0.0.1", &host_addr);
        for (; m_count < peers; ++m_count) {
            char ip[24];
            std::snprintf(ip, sizeof ip, "127.0.%d.%d", m_count / 250, 2 + m_count % 250);
            m_peers[m_count] = Open(ip, &m_peer_addr[m_count]);
            if (m_peers[m_count] < 0) return false;
        }
        return m_host >= 0;
    }
};

enum class ERead { kOnce, kDrain };

// Reads a socket until it is empty.
int Drain(int sock, unsigned char* in, std::size_t cap) {
    int got = 0;
    while (recv(sock, in, cap, 0) == kStateSize)
        ++got;
    return got;
}

// The floor: per peer one sendto and one recv, knowing the datagram is there and not asking
// who sent it (portnet must, so it reads with recvfrom). With drain, every socket is read
// until it is empty, as a program that cannot know what is waiting does (and as portnet's
// intake does).
void RawUdp(benchmark::State& state, ERead how) {
    const int peers = static_cast<int>(state.range(0));
    SRawRig rig;
    if (!rig.Start(peers)) {
        state.SkipWithError("sockets on 127.0.0.x");
        return;
    }
    unsigned char out[kStateSize] = {};
    unsigned char in[1000];
    CChanger changer;
    double received = 0;
    for (auto _ : state) {
        changer.Change(out, kStateSize, EChange::kFields);
        for (int i = 0; i < peers; ++i)
            sendto(rig.m_host, out, kStateSize, 0,
                   reinterpret_cast<const sockaddr*>(&rig.m_peer_addr[i]), sizeof(sockaddr_in));
        if (how == ERead::kDrain) Drain(rig.m_host, in, sizeof in);
        for (int i = 0; i < peers; ++i) {
            if (how == ERead::kOnce)
                received += recv(rig.m_peers[i], in, sizeof in, 0) == kStateSize ? 1 : 0;
            else
                received += Drain(rig.m_peers[i], in, sizeof in);
        }
        benchmark::DoNotOptimize(in);
    }
    Counters(state, peers, received);
}

// The honest limit for a program that drains its sockets: the host's datagrams in one
// sendmmsg, then one recvmmsg on the host's socket and one on every peer's (a short batch
// tells that the socket is empty).
void BM_UdpRawBatched(benchmark::State& state) {
    const int peers = static_cast<int>(state.range(0));
    SRawRig rig;
    if (!rig.Start(peers)) {
        state.SkipWithError("sockets on 127.0.0.x");
        return;
    }
    enum : int { kBatch = 32 };
    unsigned char out[kStateSize] = {};
    static unsigned char in[kBatch][1000];
    iovec out_iov{out, kStateSize};
    static mmsghdr sends[kMaxPeers];
    for (int i = 0; i < peers; ++i) {
        std::memset(&sends[i], 0, sizeof sends[i]);
        sends[i].msg_hdr.msg_name = &rig.m_peer_addr[i];
        sends[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        sends[i].msg_hdr.msg_iov = &out_iov;
        sends[i].msg_hdr.msg_iovlen = 1;
    }
    iovec in_iov[kBatch];
    sockaddr_in from[kBatch];
    mmsghdr recvs[kBatch];
    auto receive_all = [&](int sock) {
        for (int i = 0; i < kBatch; ++i) {
            in_iov[i] = iovec{in[i], sizeof in[i]};
            std::memset(&recvs[i], 0, sizeof recvs[i]);
            recvs[i].msg_hdr.msg_name = &from[i];
            recvs[i].msg_hdr.msg_namelen = sizeof from[i];
            recvs[i].msg_hdr.msg_iov = &in_iov[i];
            recvs[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(sock, recvs, kBatch, MSG_DONTWAIT, nullptr);
        return got > 0 ? got : 0;
    };
    CChanger changer;
    double received = 0;
    for (auto _ : state) {
        changer.Change(out, kStateSize, EChange::kFields);
        sendmmsg(rig.m_host, sends, static_cast<unsigned>(peers), 0);
        receive_all(rig.m_host);
        for (int i = 0; i < peers; ++i)
            received += receive_all(rig.m_peers[i]);
        benchmark::DoNotOptimize(in);
    }
    Counters(state, peers, received);
}

// The two system calls everything here rests on, alone: a recvfrom on an empty non-blocking
// socket, and a sendto of 200 bytes to a socket on 127.0.0.1 (read back every 64 sends,
// outside the timing, so the receiver never overflows).
void BM_SyscallEmptyRecvfrom(benchmark::State& state) {
    SRawRig rig;
    if (!rig.Start(0)) {
        state.SkipWithError("socket on 127.0.0.1");
        return;
    }
    unsigned char in[1000];
    sockaddr_in from;
    for (auto _ : state) {
        socklen_t len = sizeof from;
        benchmark::DoNotOptimize(
            recvfrom(rig.m_host, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &len));
    }
}

void BM_SyscallSendto(benchmark::State& state) {
    SRawRig rig;
    if (!rig.Start(1)) {
        state.SkipWithError("sockets on 127.0.0.x");
        return;
    }
    unsigned char out[kStateSize] = {};
    unsigned char in[1000];
    int sent = 0;
    for (auto _ : state) {
        sendto(rig.m_host, out, kStateSize, 0,
               reinterpret_cast<const sockaddr*>(&rig.m_peer_addr[0]), sizeof(sockaddr_in));
        if (++sent % 64 == 0) {
            state.PauseTiming();
            Drain(rig.m_peers[0], in, sizeof in);
            state.ResumeTiming();
        }
    }
}

namespace {

// A socket on the loopback address of the family, non-blocking; its bound address in *addr.
int LoopbackSocket(bool v6, sockaddr_storage* addr, socklen_t* len) {
    const int s = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return -1;
    std::memset(addr, 0, sizeof *addr);
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(addr);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        *len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(addr);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *len = sizeof *a;
    }
    if (bind(s, reinterpret_cast<sockaddr*>(addr), *len) != 0 ||
        fcntl(s, F_SETFL, O_NONBLOCK) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(addr), len) != 0) {
        close(s);
        return -1;
    }
    return s;
}

} // namespace

// The system calls BM_UdpFamily makes, without the library: the frame's datagrams to every
// peer in one sendmmsg, and per peer a recvfrom that reads its datagram and names its sender,
// then one that finds the socket empty. The floor of that row, per family.
struct SRawFamily {
    std::vector<sockaddr_storage> m_addr;
    std::vector<socklen_t> m_len;
    std::vector<int> m_socket; // the host's, then the peers'
    std::vector<mmsghdr> m_sends;
    unsigned char m_out[kStateSize] = {}, m_in[1000];
    iovec m_out_iov{m_out, kStateSize};
    double m_received = 0;

    bool Start(int peers, bool v6) {
        m_addr.resize(peers + 1);
        m_len.resize(peers + 1);
        m_sends.resize(peers);
        for (int i = 0; i <= peers; ++i) {
            const int s = LoopbackSocket(v6, &m_addr[i], &m_len[i]);
            if (s < 0) return false;
            m_socket.push_back(s);
        }
        for (int i = 0; i < peers; ++i) {
            std::memset(&m_sends[i], 0, sizeof m_sends[i]);
            m_sends[i].msg_hdr.msg_name = &m_addr[1 + i];
            m_sends[i].msg_hdr.msg_namelen = m_len[1 + i];
            m_sends[i].msg_hdr.msg_iov = &m_out_iov;
            m_sends[i].msg_hdr.msg_iovlen = 1;
        }
        return true;
    }
    bool Frame() {
        sendmmsg(m_socket[0], m_sends.data(), static_cast<unsigned>(m_sends.size()), 0);
        for (std::size_t i = 1; i < m_socket.size(); ++i) {
            sockaddr_storage from;
            for (int k = 0; k < 2; ++k) {
                socklen_t from_len = sizeof from;
                m_received += recvfrom(m_socket[i], m_in, sizeof m_in, 0,
                                       reinterpret_cast<sockaddr*>(&from), &from_len) == kStateSize;
            }
        }
        benchmark::DoNotOptimize(m_in);
        return true;
    }
    ~SRawFamily() {
        for (int s : m_socket)
            close(s);
    }
};

void BM_UdpRawFamily(benchmark::State& state) {
    const int peers = static_cast<int>(state.range(0));
    SRawFamily rig;
    if (!rig.Start(peers, state.range(1) == 6)) {
        state.SkipWithError("sockets on the loopback address");
        return;
    }
    const SCpuSplit cpu0 = SCpuSplit::Now();
    for (auto _ : state)
        rig.Frame();
    SCpuSplit::Now().Report(state, cpu0, peers);
    Counters(state, peers, rig.m_received);
}

namespace {

double ThreadCpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + static_cast<double>(t.tv_nsec);
}

// One row's IPv4 and IPv6 rigs in one loop: a block of frames of each in turn (which goes first
// alternating), each block timed on this thread's CPU clock, so that both families meet the
// same moments of a shared machine's load. Counters: CPU ns per peer-frame of each
// ("v4_ns", "v6_ns") and their ratio.
template <typename TRig>
void Alternate(benchmark::State& state, TRig* rig[2], int peers, int block) {
    double ns[2] = {0, 0};
    int failed = 0, first = 0;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const int f = first ^ k;
            const double t0 = ThreadCpuNs();
            for (int i = 0; i < block; ++i)
                failed += rig[f]->Frame() ? 0 : 1;
            ns[f] += ThreadCpuNs() - t0;
        }
        first ^= 1;
    }
    if (failed > 0) state.SkipWithError("a frame step failed");
    const double frames = static_cast<double>(state.iterations()) * block * peers;
    state.counters["v4_ns"] = ns[0] / frames;
    state.counters["v6_ns"] = ns[1] / frames;
    state.counters["ratio"] = ns[0] > 0 ? ns[1] / ns[0] : 0;
}

} // namespace

// BM_UdpFamily's two rows interleaved (blocks of 4 frames).
void BM_UdpFamilyPair(benchmark::State& state) {
    const int peers = static_cast<int>(state.range(0));
    SStarConfig config[2];
    for (int f = 0; f < 2; ++f) {
        config[f].m_family = f ? 6 : 4;
        config[f].m_transport = ETransport::kUdp;
        config[f].m_peers = peers;
        config[f].m_state_ports = 1;
    }
    CStar<Blob200> v4(config[0]), v6(config[1]);
    if (!StartSteady(state, v4) || !StartSteady(state, v6)) return;
    CStar<Blob200>* rig[2] = {&v4, &v6};
    Alternate(state, rig, peers, 4);
}

// BM_UdpRawFamily's two rows interleaved (blocks of 4 frames).
void BM_UdpRawFamilyPair(benchmark::State& state) {
    const int peers = static_cast<int>(state.range(0));
    SRawFamily v4, v6;
    if (!v4.Start(peers, false) || !v6.Start(peers, true)) {
        state.SkipWithError("sockets on the loopback address");
        return;
    }
    SRawFamily* rig[2] = {&v4, &v6};
    Alternate(state, rig, peers, 4);
}

// The kernel pair of each family interleaved (blocks of 64 pairs).
void BM_SyscallPairFamilyPair(benchmark::State& state) {
    struct SPair {
        sockaddr_storage addr[2];
        socklen_t len[2];
        int s[2] = {-1, -1};
        unsigned char out[kStateSize] = {}, in[1000];
        bool Start(bool v6) {
            for (int i = 0; i < 2; ++i)
                s[i] = LoopbackSocket(v6, &addr[i], &len[i]);
            return s[0] >= 0 && s[1] >= 0;
        }
        bool Frame() {
            sendto(s[0], out, kStateSize, 0, reinterpret_cast<const sockaddr*>(&addr[1]), len[1]);
            return recv(s[1], in, sizeof in, 0) == kStateSize;
        }
        ~SPair() {
            for (int fd : s)
                if (fd >= 0) close(fd);
        }
    } v4, v6;
    if (!v4.Start(false) || !v6.Start(true)) {
        state.SkipWithError("sockets on the loopback address");
        return;
    }
    SPair* rig[2] = {&v4, &v6};
    Alternate(state, rig, 1, 64);
}

// A sendto of 200 bytes between two sockets on 127.0.0.1 (family:4) or ::1 (family:6) and the
// recv that reads it: what the kernel charges each family, beside BM_UdpFamily.
void BM_SyscallPairFamily(benchmark::State& state) {
    const bool v6 = state.range(0) == 6;
    sockaddr_storage addr[2];
    socklen_t len[2];
    int s[2] = {LoopbackSocket(v6, &addr[0], &len[0]), LoopbackSocket(v6, &addr[1], &len[1])};
    const bool ok = s[0] >= 0 && s[1] >= 0;
    unsigned char out[kStateSize] = {}, in[1000];
    const SCpuSplit cpu0 = SCpuSplit::Now();
    for (auto _ : state) {
        if (!ok) break;
        sendto(s[0], out, kStateSize, 0, reinterpret_cast<const sockaddr*>(&addr[1]), len[1]);
        recv(s[1], in, sizeof in, 0);
    }
    if (!ok) state.SkipWithError("sockets on the loopback address");
    SCpuSplit::Now().Report(state, cpu0, 1);
    for (int fd : s)
        if (fd >= 0) close(fd);
}

void BM_UdpRaw(benchmark::State& state) {
    RawUdp(state, ERead::kOnce);
}
void BM_UdpRawDrain(benchmark::State& state) {
    RawUdp(state, ERead::kDrain);
}

#ifdef PORTNET_BENCH_ENET
// ENet through its public calls only: unsequenced packets, serviced with a zero time-out.
void BM_UdpEnet(benchmark::State& state) {
    static const bool initialised = enet_initialize() == 0;
    const int peers = static_cast<int>(state.range(0));
    if (!initialised) {
        state.SkipWithError("enet_initialize");
        return;
    }
    ENetAddress host_addr;
    enet_address_set_host_ip(&host_addr, "127.0.0.1");
    host_addr.port = ENET_PORT_ANY;
    ENetHost* host = enet_host_create(&host_addr, static_cast<size_t>(peers), 1, 0, 0);
    ENetHost* clients[kMaxPeers] = {};
    ENetPeer* to_peer[kMaxPeers] = {};
    int connected = 0;
    auto cleanup = [&]() {
        for (ENetHost* c : clients)
            if (c) enet_host_destroy(c);
        if (host) enet_host_destroy(host);
    };
    if (!host || enet_socket_get_address(host->socket, &host_addr) != 0) {
        cleanup();
        state.SkipWithError("ENet host");
        return;
    }
    for (int i = 0; i < peers; ++i) {
        ENetAddress a;
        char ip[24];
        std::snprintf(ip, sizeof ip, "127.0.0.%d", 2 + i);
        enet_address_set_host_ip(&a, ip);
        a.port = ENET_PORT_ANY;
        clients[i] = enet_host_create(&a, 1, 1, 0, 0);
        if (!clients[i] || !enet_host_connect(clients[i], &host_addr, 1, 0)) {
            cleanup();
            state.SkipWithError("ENet client");
            return;
        }
    }
    ENetEvent ev;
    // Handshakes: bounded by a count of rounds; loopback needs a handful.
    for (int round = 0; round < 2000 && connected < peers; ++round) {
        while (enet_host_service(host, &ev, 1) > 0)
            if (ev.type == ENET_EVENT_TYPE_CONNECT) to_peer[connected++] = ev.peer;
        for (int i = 0; i < peers; ++i)
            while (enet_host_service(clients[i], &ev, 0) > 0) {
            }
    }
    if (connected < peers) {
        cleanup();
        state.SkipWithError("ENet handshake");
        return;
    }

    unsigned char out[kStateSize] = {};
    CChanger changer;
    double received = 0;
    for (auto _ : state) {
        changer.Change(out, kStateSize, EChange::kFields);
        for (int i = 0; i < peers; ++i)
            enet_peer_send(to_peer[i], 0,
                           enet_packet_create(out, kStateSize, ENET_PACKET_FLAG_UNSEQUENCED));
        while (enet_host_service(host, &ev, 0) > 0)
            if (ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
        for (int i = 0; i < peers; ++i)
            while (enet_host_service(clients[i], &ev, 0) > 0)
                if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
                    received += ev.packet->dataLength == kStateSize ? 1 : 0;
                    enet_packet_destroy(ev.packet);
                }
    }
    Counters(state, peers, received);
    cleanup();
}
#endif

BENCHMARK(BM_UdpPortnet)->ArgName("peers")->Arg(1)->Arg(8)->Arg(64)->Arg(256);
BENCHMARK(BM_UdpRaw)->ArgName("peers")->Arg(1)->Arg(8);
BENCHMARK(BM_UdpRawDrain)->ArgName("peers")->Arg(1)->Arg(8)->Arg(64)->Arg(256);
#ifdef PORTNET_BENCH_ENET
BENCHMARK(BM_UdpEnet)->ArgName("peers")->Arg(1)->Arg(8);
#endif
BENCHMARK(BM_UdpPortnetEcho)->ArgName("peers")->Arg(1)->Arg(8);
BENCHMARK(BM_UdpPortnetAck)->ArgName("peers")->Arg(1)->Arg(8);
BENCHMARK(BM_UdpPortnetUnbatched)->ArgName("peers")->Arg(1)->Arg(8);
BENCHMARK(BM_UdpRawBatched)->ArgName("peers")->Arg(1)->Arg(8)->Arg(64)->Arg(256);
BENCHMARK(BM_UdpFamily)->ArgNames({"peers", "family"})->ArgsProduct({{1, 8, 64, 256}, {4, 6}});
BENCHMARK(BM_UdpRawFamily)->ArgNames({"peers", "family"})->ArgsProduct({{1, 8, 64, 256}, {4, 6}});
BENCHMARK(BM_SyscallPairFamily)->ArgName("family")->Arg(4)->Arg(6);
BENCHMARK(BM_UdpFamilyPair)->ArgName("peers")->Arg(1)->Arg(8)->Arg(64)->Arg(256);
BENCHMARK(BM_UdpRawFamilyPair)->ArgName("peers")->Arg(1)->Arg(8)->Arg(64)->Arg(256);
BENCHMARK(BM_SyscallPairFamilyPair);
BENCHMARK(BM_SyscallEmptyRecvfrom);
BENCHMARK(BM_SyscallSendto);
#ifdef PORTNET_BENCH_SECURE
BENCHMARK(BM_UdpPortnetSecure)->ArgName("peers")->Arg(1)->Arg(8)->Arg(64)->Arg(256);
BENCHMARK(BM_UdpPortnetEchoSecure)->ArgName("peers")->Arg(1)->Arg(8);
#endif

} // namespace
