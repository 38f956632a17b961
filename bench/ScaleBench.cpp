// What a stranger's datagram costs the manager: datagrams from senders the host does not know
// (a flood of strangers), read by a manager holding 8 or 4096 clients. The datagrams come from
// memory, so the figure is the manager's intake alone, no system call. A Read also visits
// every client once (whether it has a buffer of its own to read); that per-frame share is the
// row with no datagrams, and the cost of a datagram is the difference over the datagrams.
// At 4096 clients that visit takes 10 to 16 us and varies by a fifth between runs here, so a
// Read carries 4096 datagrams: over 256 its variation alone moved a datagram's figure by
// 10 ns and more.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "portnet/portnet.h"

namespace {

// Hands out `m_left` datagrams of five bytes (channel 0) from 1024 stranger addresses in
// turn, then "nothing waiting"; sends go nowhere.
class CFloodDriver : public CNetDriver {
public:
    int SetBlockMode(bool) override { return 0; }
    int MakeBroadcastCapable() override { return 0; }
    int Init() override { return 0; }
    int Shutdown() override { return 0; }
    int Connected(sockaddr_in*) override { return 0; }
    int Disconnected(sockaddr_in*) override { return kNetEventDisconnect; }
    char* GetAddr() override { return nullptr; }
    int SendTo(int, void*, sockaddr_in*) override { return 0; }
    int Broadcast(int, void*, sockaddr_in*) override { return 0; }
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        if (m_left == 0) return *len = 0, 0;
        --m_left;
        static const unsigned char datagram[5] = {0, 1, 2, 3, 4};
        std::memcpy(buf, datagram, sizeof datagram);
        *len = sizeof datagram;
        std::memset(from, 0, sizeof *from);
        from->sin_family = kNetFamilyInet;
        from->sin_port = htons(static_cast<unsigned short>(40000 + (m_next & 1023)));
        from->sin_addr.s_addr = htonl(0x7F7F0000u | (m_next++ & 1023u)); // 127.127.x.y
        return 0;
    }
    int m_left = 0;
    unsigned m_next = 0;
};

// The known clients are at 127.1.x.y; the strangers never match one.
void BM_StrangerFlood(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    const int per_read = static_cast<int>(state.range(1));
    CFloodDriver driver;
    std::vector<std::unique_ptr<CNetBuf>> bufs;
    {
        CNetManager m;
        m.m_max_clients = clients > CNetManager::kMaxClients ? clients : CNetManager::kMaxClients;
        m.m_match_ports = true;
        if (m.Init(&driver, 1) != 1) {
            state.SkipWithError("manager");
            return;
        }
        for (int i = 0; i < clients; ++i) {
            sockaddr_in a;
            std::memset(&a, 0, sizeof a);
            a.sin_family = kNetFamilyInet;
            a.sin_port = htons(5000);
            a.sin_addr.s_addr = htonl(0x7F010000u | static_cast<unsigned>(i));
            bufs.push_back(std::make_unique<CNetBuf>(&driver, &a));
            auto* c = new CNetClient;
            c->m_own_port = new CNetDataPort;
            c->m_send_buf = bufs.back().get();
            if (m.AddClient(c, -1) == -1) {
                delete c;
                state.SkipWithError("client");
                return;
            }
        }
        int failed = 0;
        for (auto _ : state) {
            driver.m_left = per_read;
            failed += m.Read() == 1 ? 0 : 1;
        }
        if (failed > 0) state.SkipWithError("Read failed");
    }
}

BENCHMARK(BM_StrangerFlood)
    ->ArgNames({"clients", "datagrams"})
    ->Args({8, 0})
    ->Args({8, 4096})
    ->Args({4096, 0})
    ->Args({4096, 4096});

} // namespace
