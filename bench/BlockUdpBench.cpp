// 1 MiB delivered reliably over UDP on 127.0.0.0/8 in one process: a portnet block
// (CNetBlockStream, the sender adapting its rate as CNetServer's clients do) against one
// reliable ENet 1.3 packet. Both loops spin without sleeping, each side servicing its socket
// in turn, so the time is what the library and the system calls take. An iteration is one
// transfer, timed from the send to the receiver holding the whole; the sender's
// acknowledgement is awaited untimed before the next.
#include <benchmark/benchmark.h>

#ifdef PORTNET_BENCH_ENET
#include <enet/enet.h>
#endif

#include <chrono>
#include <cstdint>
#include <vector>

#include "BenchStar.h"

namespace {

using Clock = std::chrono::steady_clock;
using portnet_examples::CChatStream;

const std::uint32_t kBlockBytes = 1u << 20;
const auto kDeadline = std::chrono::seconds(30);

std::vector<unsigned char> Block() {
    std::vector<unsigned char> b(kBlockBytes);
    for (std::uint32_t i = 0; i < kBlockBytes; ++i)
        b[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    return b;
}

class CSink : public CNetBlockStream {
public:
    int BlockReceived(CNetClient*, std::uint32_t, const unsigned char* data,
                      std::uint32_t len) override {
        m_intact = len == kBlockBytes &&
                   data[len - 1] == static_cast<unsigned char>((len - 1) * 2654435761u >> 24);
        ++m_received;
        return 1;
    }
    int m_received = 0;
    bool m_intact = false;
};

struct SSide {
    CNetUDP* m_udp = nullptr;
    CNetBuf* m_out = nullptr;
    CNetManager m_mgr;
    CNetClient* m_client = nullptr;

    ~SSide() {
        m_mgr.Release();
        delete m_out;
        delete m_udp;
    }
    bool Open(const char* text) {
        m_udp = new CNetUDP(text);
        return m_udp->Init() == 0 && m_mgr.Init(m_udp, 2) == 1;
    }
    bool Link(const sockaddr_in& to, CNetBlockStream* stream, bool sender) {
        m_mgr.SetPortA(1, stream);
        m_mgr.InitPort(1, -1);
        m_out = new CNetBuf(m_udp, &to);
        auto* c = new CNetClient;
        c->m_send_buf = m_out;
        c->m_own_port = new CNetDataPort;
        c->m_own_port->m_object = new CChatStream;
        c->m_adapt_rate = c->m_priority_aging = sender;
        if (m_mgr.AddClient(c, -1) < 0) return delete c, false;
        for (int p = 0; p < 2; ++p)
            c->m_refs[p].m_read_enabled = c->m_refs[p].m_write_enabled = true;
        m_client = c;
        return true;
    }
    bool Steps() {
        return m_mgr.BeginFrame() + m_mgr.Read() + m_mgr.Update(false) + m_mgr.Write() +
                   m_mgr.EndFrame() ==
               5;
    }
};

void BM_BlockUdpPortnet(benchmark::State& state) {
    CNetTime::Init();
    SSide host, peer;
    auto* sender = new CNetBlockStream;
    auto* sink = new CSink;
    if (!host.Open("127.0.0.1:0") || !peer.Open("127.0.0.2:0") ||
        !host.Link(bench::BoundAddr(peer.m_udp), sender, true) ||
        !peer.Link(bench::BoundAddr(host.m_udp), sink, false)) {
        state.SkipWithError("UDP sockets on 127.0.0.1 and 127.0.0.2");
        return;
    }
    const std::vector<unsigned char> block = Block();
    long long frames = 0, datagrams = 0;
    for (auto _ : state) {
        const int before = sink->m_received;
        const std::uint32_t acked = sender->m_blocks_sent;
        const int out0 = host.m_client->m_packets_out + peer.m_client->m_packets_out;
        const auto start = Clock::now();
        if (sender->Send(host.m_client, block.data(), kBlockBytes) < 0) {
            state.SkipWithError("Send");
            return;
        }
        // Bounded by the deadline; a frame is a few microseconds.
        while (sink->m_received == before && Clock::now() - start < kDeadline) {
            CNetTime::Update();
            host.Steps();
            peer.Steps();
            ++frames;
        }
        const auto end = Clock::now();
        if (sink->m_received == before || !sink->m_intact) {
            state.SkipWithError("the block did not arrive whole within 30 s");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        datagrams += host.m_client->m_packets_out + peer.m_client->m_packets_out - out0;
        for (int guard = 0; sender->m_blocks_sent == acked && guard < 1000000; ++guard) {
            CNetTime::Update();
            host.Steps();
            peer.Steps();
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["frames"] = frames / n;
    state.counters["datagrams"] = datagrams / n; // packets both ways, as the clients count them
    state.counters["resent"] = sender->m_fragments_resent / n;
}

#ifdef PORTNET_BENCH_ENET
void BM_BlockUdpEnet(benchmark::State& state) {
    static const bool initialised = enet_initialize() == 0;
    if (!initialised) {
        state.SkipWithError("enet_initialize");
        return;
    }
    ENetAddress a, b;
    enet_address_set_host_ip(&a, "127.0.0.1");
    enet_address_set_host_ip(&b, "127.0.0.2");
    a.port = b.port = ENET_PORT_ANY;
    ENetHost* host = enet_host_create(&a, 1, 1, 0, 0);
    ENetHost* client = enet_host_create(&b, 1, 1, 0, 0);
    auto cleanup = [&]() {
        if (client) enet_host_destroy(client);
        if (host) enet_host_destroy(host);
    };
    ENetPeer* to_client = nullptr;
    ENetEvent ev;
    if (host && client && enet_socket_get_address(host->socket, &a) == 0 &&
        enet_host_connect(client, &a, 1, 0)) {
        // The handshake: bounded by a count of rounds; loopback needs a handful.
        for (int round = 0; round < 2000 && !to_client; ++round) {
            while (enet_host_service(host, &ev, 1) > 0)
                if (ev.type == ENET_EVENT_TYPE_CONNECT) to_client = ev.peer;
            while (enet_host_service(client, &ev, 0) > 0) {
            }
        }
    }
    if (!to_client) {
        cleanup();
        state.SkipWithError("ENet hosts on 127.0.0.1 and 127.0.0.2");
        return;
    }
    const std::vector<unsigned char> block = Block();
    long long datagrams = 0;
    for (auto _ : state) {
        const enet_uint32 sent0 = host->totalSentPackets + client->totalSentPackets;
        const auto start = Clock::now();
        enet_peer_send(to_client, 0,
                       enet_packet_create(block.data(), kBlockBytes, ENET_PACKET_FLAG_RELIABLE));
        bool received = false;
        while (!received && Clock::now() - start < kDeadline) {
            while (enet_host_service(host, &ev, 0) > 0)
                if (ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
            while (enet_host_service(client, &ev, 0) > 0)
                if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
                    received = ev.packet->dataLength == kBlockBytes;
                    enet_packet_destroy(ev.packet);
                }
        }
        const auto end = Clock::now();
        if (!received) {
            cleanup();
            state.SkipWithError("the packet did not arrive within 30 s");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        datagrams += host->totalSentPackets + client->totalSentPackets - sent0;
        // The last acknowledgements, untimed: the sender's queue empties before the next.
        for (int round = 0; round < 100000 && to_client->reliableDataInTransit > 0; ++round) {
            enet_host_service(host, &ev, 0);
            enet_host_service(client, &ev, 0);
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["datagrams"] = datagrams / n;
    cleanup();
}
BENCHMARK(BM_BlockUdpEnet)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

BENCHMARK(BM_BlockUdpPortnet)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
