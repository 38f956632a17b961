// Block streams as a game uses them: blocks of every awkward size, queued, over clean and
// impaired simulated paths, between plain managers and between a server and its player (plain
// and over CNetDtls); cancelled, cut off by a peer that leaves, refused over the limit.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "integration/TwoPeerSession.h"
#include "portnet/portnet.h"
#if PORTNET_HAS_SECURE
#include "portnet/CNetDtls.h"
#endif

#include "integration/CountAllocations.h"

namespace {

using Bytes = std::vector<unsigned char>;
enum : int { kBlockPort = 1, kPorts = 2, kFrameMs = 16 };
constexpr std::uint32_t kMiB = 1u << 20;
int s_now = 0;

std::uint64_t Hash(const unsigned char* p, std::uint32_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint32_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}
Bytes Make(std::uint32_t len, std::uint32_t seed) {
    Bytes b(len);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : b)
        x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = static_cast<unsigned char>(x);
    return b;
}

// Keeps what arrived (hashed during the call, the only time the bytes are valid) and ended.
class Stream : public CNetBlockStream {
public:
    struct Got {
        CNetClient* peer;
        std::uint32_t id, len;
        std::uint64_t hash;
    };
    struct End {
        CNetClient* peer;
        std::uint32_t id;
        int reason;
        bool operator==(const End& o) const {
            return peer == o.peer && id == o.id && reason == o.reason;
        }
    };
    Stream() { got.reserve(64), ended.reserve(64); }
    int BlockReceived(CNetClient* peer, std::uint32_t id, const unsigned char* data,
                      std::uint32_t len) override {
        return got.push_back({peer, id, len, Hash(data, len)}), 1;
    }
    int BlockEnded(CNetClient* peer, std::uint32_t id, int reason) override {
        return ended.push_back({peer, id, reason}), 1;
    }
    std::vector<Got> got;
    std::vector<End> ended;
};

void Frame(CNetManager& m) {
    m.BeginFrame(), m.Read(), m.Update(false), m.Write(), m.EndFrame();
}

// A sender (side 0) and a receiver of blocks over the simulated network, on the test's clock:
// two plain managers with a client each for the other (kPlain), or a CNetServer and a
// CNetConnection (m_adapt_rate on), plain or over CNetDtls with a pre-shared key.
enum : int { kPlain = 0, kServer = 1, kSecure = 2 };
struct Link {
    Link(const SNetImpairment& imp, int kind, std::uint64_t seed = 1) : net(seed) {
        for (int i = 0; i < 2; ++i) {
            (sim[i] = std::make_unique<CNetSimDriver>(&net, i + 1))->m_impairment = imp;
            CNetDriver* d = sim[i].get();
#if PORTNET_HAS_SECURE
            static const unsigned char key[32] = {7, 1, 7, 2, 7, 3, 7, 4, 7, 5, 7, 6, 7, 7, 7, 8};
            SNetDtlsConfig c;
            c.m_role = i == 0 ? SNetDtlsConfig::kAccept : SNetDtlsConfig::kConnect;
            c.m_psk_key = key, c.m_psk_key_len = 32, c.m_retransmit_ms = 20;
            c.m_handshake_timeout_ms = 60000;
            if (kind == kSecure) d = (dtls[i] = std::make_unique<CNetDtls>(d, c)).get();
#endif
            m[i].reset(kind == kPlain ? new CNetManager
                       : i == 0       ? static_cast<CNetManager*>(new CNetServer)
                                      : new CNetConnection);
            ok = ok && d->Init() == 0 && m[i]->Init(d, kPorts) == 1;
            m[i]->SetPortA(kBlockPort, s[i] = new Stream);
            m[i]->InitPort(kBlockPort, -1);
            if (kind != kPlain) continue;
            client[i] = new twopeer::Peer(d, twopeer::Addr(2 - i));
            m[i]->AddClient(client[i], -1);
            client[i]->m_refs[kBlockPort].m_write_enabled = true;
            client[i]->m_refs[kBlockPort].m_read_enabled = true;
        }
        if (kind != kPlain) {
            auto* server = static_cast<CNetServer*>(m[0].get());
            auto* conn = static_cast<CNetConnection*>(m[1].get());
            server->SetPeerPorts(kBlockPort, true, true),
                conn->SetPeerPorts(kBlockPort, true, true);
            conn->m_connect_timeout_ms = 60000; // a handshake under 30 % loss may take a while
            const sockaddr_in host = twopeer::Addr(1);
            ok = ok && conn->Connect(&host) == 1 &&
                 Run(3000, [&] { return conn->GetState() == CNetConnection::kConnected; }) > 0;
            client[0] = ok ? server->GetPeer(conn->GetSlot()) : nullptr,
            client[1] = conn->GetPeer();
        }
        tx = s[0], rx = s[1], to_rx = client[0], to_tx = client[1];
        ok = ok && to_rx && to_tx;
    }
    ~Link() {
        m[0]->Release(), m[1]->Release();
    }
    void Step() {
#if PORTNET_HAS_SECURE
        if (dtls[0] && dtls[0]->GetHalfOpen() + dtls[1]->GetHalfOpen() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2)); // DTLS's timer is real
#endif
        s_now += kFrameMs;
        net.SetTime(s_now);
        CNetTime::Update();
        Frame(*m[0]), Frame(*m[1]);
    }
    // Frames until done() holds (the count), or -1 after max frames or a minute.
    template <class F> int Run(int max, F done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (int f = 1; f <= max && std::chrono::steady_clock::now() < end; ++f)
            if (Step(), done()) return f;
        return -1;
    }

    CNetSimNetwork net; // with the drivers, outlives the managers
    std::unique_ptr<CNetSimDriver> sim[2];
#if PORTNET_HAS_SECURE
    std::unique_ptr<CNetDtls> dtls[2];
#endif
    std::unique_ptr<CNetManager> m[2];
    Stream* s[2] = {};
    CNetClient* client[2] = {};
    Stream *tx = nullptr, *rx = nullptr;
    CNetClient *to_rx = nullptr, *to_tx = nullptr; // each side's client for the other
    bool ok = true;
};

class Blocks : public ::testing::Test {
protected:
    void SetUp() override {
        s_now = 0;
        CNetTime::m_timer_proc = [] { return s_now; };
        CNetTime::Update();
    }
    void TearDown() override { CNetTime::Init(); }
};

// Sizes around one message (799), a fragment's 16-byte grain and one datagram's worth, and the
// default limit, then 1-byte blocks up to a full queue: each arrives whole, once and in order,
// each Send makes one allocation and the frames no more than one per block; progress on both
// sides climbs steadily to the block's size.
TEST_F(Blocks, EverySizeArrivesWholeAndInOrderWithProgressOnBothSides) {
    Link L(SNetImpairment{}, kPlain);
    L.Run(10, [] { return false; }); // whatever a link makes once
    std::vector<Bytes> sent;
    for (std::uint32_t len : {1u, 799u, 800u, 960u, 961u, 976u, 977u, 2000u, kMiB})
        sent.push_back(Make(len, static_cast<std::uint32_t>(sent.size())));
    while (sent.size() < std::size_t(CNetBlockStream::kMaxQueued))
        sent.push_back(Make(1, static_cast<std::uint32_t>(sent.size())));
    EXPECT_EQ(L.tx->GetLimit(L.to_rx), CNetBlockStream::kDefaultLimit);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        g_allocations = 0, g_counting = true;
        const int id = L.tx->Send(L.to_rx, sent[i].data(), std::uint32_t(sent[i].size()));
        g_counting = false;
        EXPECT_EQ(id, int(i + 1));
        EXPECT_EQ(g_allocations, 1) << "block " << i + 1;
    }
    g_allocations = 0, g_counting = true;
    EXPECT_EQ(L.tx->Send(L.to_rx, sent[0].data(), 1), CNetBlockStream::kQueueFull);
    EXPECT_EQ(L.tx->Send(nullptr, sent[0].data(), 1), -1);
    EXPECT_EQ(L.tx->Send(L.to_rx, sent[0].data(), 0), -1);
    EXPECT_EQ(g_allocations, 0);
    SNetBlockProgress p{};
    ASSERT_EQ(L.tx->GetSendProgress(L.to_rx, &p), 1);
    EXPECT_EQ((std::vector<std::uint32_t>{p.m_id, p.m_done, p.m_total, std::uint32_t(p.m_queued)}),
              (std::vector<std::uint32_t>{1, 0, 1, CNetBlockStream::kMaxQueued - 1}));

    SNetBlockProgress last[2] = {}, now[2] = {};
    std::uint32_t most_seen[2] = {}; // of the 1 MiB block (number 9), each side
    int backwards = 0, wrong_total = 0;
    g_allocations = 0;
    const int frames = L.Run(20000, [&] {
        L.tx->GetSendProgress(L.to_rx, &now[0]), L.rx->GetReceiveProgress(L.to_tx, &now[1]);
        for (int s = 0; s < 2; ++s) {
            if (now[s].m_id == 0) continue;
            backwards += now[s].m_id < last[s].m_id ||
                         (now[s].m_id == last[s].m_id && now[s].m_done < last[s].m_done);
            wrong_total += now[s].m_id > sent.size() || now[s].m_done > now[s].m_total ||
                           now[s].m_total != sent[now[s].m_id - 1].size();
            if (now[s].m_id == 9) most_seen[s] = std::max(most_seen[s], now[s].m_done);
            last[s] = now[s];
        }
        return L.tx->ended.size() >= sent.size() && L.rx->got.size() >= sent.size();
    });
    g_counting = false;
    ASSERT_GT(frames, 0);
    EXPECT_LE(g_allocations, long(sent.size())) << "more than one allocation per block";
    EXPECT_EQ((std::vector<int>{backwards, wrong_total}), (std::vector<int>{0, 0}));
    EXPECT_GE(most_seen[0], kMiB - kMiB / 50) << "sender's progress stopped short";
    EXPECT_GE(most_seen[1], kMiB - kMiB / 50) << "receiver's progress stopped short";
    ASSERT_EQ(L.rx->got.size(), sent.size());
    for (std::uint32_t i = 0; i < sent.size(); ++i) {
        const auto& g = L.rx->got[i];
        EXPECT_EQ((std::vector<std::uint64_t>{g.id, g.len, g.hash}),
                  (std::vector<std::uint64_t>{
                      i + 1, sent[i].size(), Hash(sent[i].data(), std::uint32_t(sent[i].size()))}));
        EXPECT_EQ(L.tx->ended[i], (Stream::End{L.to_rx, i + 1, CNetBlockStream::kDelivered}));
    }
    EXPECT_TRUE(L.rx->ended.empty());
    EXPECT_EQ(
        (std::vector<std::uint32_t>{L.tx->m_blocks_sent, L.rx->m_blocks_received,
                                    L.tx->m_fragments_resent, L.rx->m_fragments_refused}),
        (std::vector<std::uint32_t>{std::uint32_t(sent.size()), std::uint32_t(sent.size()), 0, 0}))
        << "a clean path needs no repetition";
    L.tx->GetSendProgress(L.to_rx, &now[0]), L.rx->GetReceiveProgress(L.to_tx, &now[1]);
    EXPECT_EQ(now[0].m_id + now[1].m_id, 0u);
}

struct PathCase {
    const char* name;
    int kind;
    double loss;
};
void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}
class BlocksOverImpairedPath : public Blocks, public ::testing::WithParamInterface<PathCase> {};

// Loss both ways, duplicates, reordering and jitter: every block arrives once, whole, in order,
// and the sender hears of each delivery; an upload the other way at the same time arrives too.
// A server's player with a clean path downloads faster than one datagram a frame would.
TEST_P(BlocksOverImpairedPath, EveryByteArrivesOnceAndInOrder) {
    const PathCase& c = GetParam();
#if !PORTNET_HAS_SECURE
    if (c.kind == kSecure) GTEST_SKIP() << "built without libportnet-secure";
#endif
    SNetImpairment imp;
    imp.m_loss_percent = c.loss, imp.m_latency_ms = 20, imp.m_jitter_ms = 8;
    imp.m_duplicate_percent = 5, imp.m_reorder_percent = 10, imp.m_reorder_delay_ms = 40;
    auto L = std::make_unique<Link>(imp, c.kind, 3);
    ASSERT_TRUE(L->ok) << "the player never joined";
    const std::vector<Bytes> sent = {Make(kMiB, 1), Make(3000, 2), Make(1, 3)};
    for (const Bytes& b : sent)
        ASSERT_GT(L->tx->Send(L->to_rx, b.data(), std::uint32_t(b.size())), 0);
    const Bytes up = Make(70000, 9);
    ASSERT_EQ(L->rx->Send(L->to_tx, up.data(), 70000), 1);
    // Repetitions under loss allocate nothing: one allocation per block, at its receiver.
    g_allocations = 0, g_counting = true;
    const int frames =
        L->Run(40000, [&] { return L->tx->ended.size() >= 3 && L->rx->ended.size() >= 1; });
    g_counting = false;
    ASSERT_GT(frames, 0) << "not delivered";
    EXPECT_EQ(g_allocations, 4);
    L->Run(60, [] { return false; }); // late duplicates must not deliver anything twice
    ASSERT_EQ(L->rx->got.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(L->rx->got[i].id, i + 1);
        EXPECT_EQ(L->rx->got[i].hash, Hash(sent[i].data(), std::uint32_t(sent[i].size())));
        EXPECT_EQ(L->tx->ended[i], (Stream::End{L->to_rx, i + 1, CNetBlockStream::kDelivered}));
    }
    ASSERT_EQ(L->tx->got.size(), 1u);
    EXPECT_EQ(L->tx->got[0].hash, Hash(up.data(), 70000));
    EXPECT_EQ(L->rx->ended[0], (Stream::End{L->to_tx, 1, CNetBlockStream::kDelivered}));
    if (c.kind != kPlain && c.loss == 0) {
        EXPECT_LT(frames, 700) << "the transfer kept to one datagram a frame";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, BlocksOverImpairedPath,
    ::testing::Values(PathCase{"Plain0", kPlain, 0}, PathCase{"Plain10", kPlain, 10},
                      PathCase{"Plain30", kPlain, 30}, PathCase{"Server0", kServer, 0},
                      PathCase{"Server10", kServer, 10}, PathCase{"Server30", kServer, 30},
                      PathCase{"Secure0", kSecure, 0}, PathCase{"Secure10", kSecure, 10},
                      PathCase{"Secure30", kSecure, 30}),
    [](const auto& info) { return std::string(info.param.name); });

// Cancelled midway, the block ends on both sides and both copies are freed; one cancelled while
// queued never arrives and is reported cancelled too; the block behind them still arrives.
TEST_F(Blocks, CancelMidwayEndsTheBlockOnBothSidesAndTheNextOneArrives) {
    Link L(SNetImpairment{}, kPlain);
    const Bytes big = Make(kMiB, 1), next = Make(5000, 2), queued = Make(7000, 3);
    ASSERT_EQ(L.tx->Send(L.to_rx, big.data(), kMiB), 1);
    ASSERT_EQ(L.tx->Send(L.to_rx, queued.data(), 7000), 2);
    ASSERT_EQ(L.tx->Send(L.to_rx, next.data(), 5000), 3);
    EXPECT_EQ(L.tx->Cancel(L.to_rx, 2), 1);
    SNetBlockProgress p{};
    ASSERT_GT(L.Run(5000,
                    [&] {
                        return L.rx->GetReceiveProgress(L.to_tx, &p) == 1 && p.m_id == 1 &&
                               p.m_done > kMiB / 4;
                    }),
              0);
    const long held = g_live_bytes;
    EXPECT_EQ(L.tx->Cancel(L.to_rx, 1), 1);
    EXPECT_EQ(L.tx->Cancel(L.to_rx, 1), -1);
    EXPECT_EQ(L.tx->Cancel(L.to_rx, 99), -1);
    EXPECT_EQ(L.tx->Cancel(nullptr, 3), -1);
    ASSERT_GT(L.Run(3000, [&] { return !L.rx->got.empty() && L.tx->ended.size() >= 3; }), 0);
    L.Run(60, [] { return false; });
    EXPECT_LT(g_live_bytes, held - long(kMiB) * 2 + 64 * 1024) << "a cancelled block's copies held";
    using End = Stream::End;
    ASSERT_EQ(L.rx->got.size(), 1u);
    EXPECT_EQ((std::vector<std::uint64_t>{L.rx->got[0].id, L.rx->got[0].hash}),
              (std::vector<std::uint64_t>{3, Hash(next.data(), 5000)}));
    EXPECT_EQ(L.tx->ended, (std::vector<End>{{L.to_rx, 2, CNetBlockStream::kCancelled},
                                             {L.to_rx, 1, CNetBlockStream::kCancelled},
                                             {L.to_rx, 3, CNetBlockStream::kDelivered}}));
    // The receiver hears of the cancel of the block it had begun; block 2 it never saw.
    EXPECT_EQ(L.rx->ended, (std::vector<End>{{L.to_tx, 1, CNetBlockStream::kCancelled}}));
}

// A player that leaves in the middle of a download and an upload: both blocks end as kPeerGone
// on their senders, and each side frees both of its copies with its client for the other (the
// server frees its peer at once; a plain manager keeps a removed client until its slot is
// reused, so the case is a server's).
TEST_F(Blocks, APlayerThatLeavesMidTransferEndsItsBlocksAndFreesTheirMemory) {
    Link L(SNetImpairment{}, kServer);
    ASSERT_TRUE(L.ok);
    const Bytes down = Make(kMiB, 4), up = Make(kMiB, 5);
    ASSERT_EQ(L.tx->Send(L.to_rx, down.data(), kMiB), 1);
    ASSERT_EQ(L.rx->Send(L.to_tx, up.data(), kMiB), 1);
    SNetBlockProgress p[2] = {};
    ASSERT_GT(L.Run(5000,
                    [&] {
                        return L.rx->GetReceiveProgress(L.to_tx, &p[0]) == 1 &&
                               L.tx->GetReceiveProgress(L.to_rx, &p[1]) == 1 &&
                               p[0].m_done > kMiB / 4 && p[1].m_done > kMiB / 4;
                    }),
              0);
    ASSERT_LT(p[0].m_done + p[1].m_done, 2 * kMiB);
    const long held = g_live_bytes;
    CNetClient *host_side = L.to_rx, *player_side = L.to_tx;
    auto* conn = static_cast<CNetConnection*>(L.m[1].get());
    conn->Leave();
    ASSERT_GT(L.Run(100, [&] { return !L.tx->ended.empty(); }), 0);
    EXPECT_EQ(L.tx->ended, (std::vector<Stream::End>{{host_side, 1, CNetBlockStream::kPeerGone}}));
    EXPECT_LT(g_live_bytes, held - long(kMiB) * 2 + 64 * 1024) << "the host kept a copy";
    L.Run(30, [] { return false; });
    EXPECT_EQ(conn->GetPeer(), nullptr);
    EXPECT_EQ(L.rx->ended,
              (std::vector<Stream::End>{{player_side, 1, CNetBlockStream::kPeerGone}}));
    EXPECT_LT(g_live_bytes, held - long(kMiB) * 4 + 128 * 1024) << "the player kept a copy";
    EXPECT_TRUE(L.rx->got.empty() && L.tx->got.empty());
}

// Over the sender's limit: refused by Send with nothing allocated. Over the receiver's lower
// limit: refused when it arrives, told to both sides, nothing allocated for it; the next block
// within the limit arrives.
TEST_F(Blocks, ABlockOverTheLimitIsRefusedAtOnceOnBothSides) {
    Link L(SNetImpairment{}, kPlain);
    L.Run(10, [] { return false; });
    const Bytes big = Make(kMiB + 1, 5), fits = Make(2500, 6);
    EXPECT_EQ((std::vector<int>{L.tx->SetLimit(L.to_rx, 0),
                                L.tx->SetLimit(L.to_rx, CNetBlockStream::kMaxLimit + 1),
                                L.tx->SetLimit(nullptr, 4000)}),
              (std::vector<int>{-1, -1, -1}));
    g_allocations = 0, g_counting = true;
    EXPECT_EQ(L.tx->Send(L.to_rx, big.data(), kMiB + 1), CNetBlockStream::kTooBig);
    g_counting = false;
    EXPECT_EQ(L.tx->SetLimit(L.to_rx, 4000), 1);
    g_counting = true;
    EXPECT_EQ(L.tx->Send(L.to_rx, big.data(), 4001), CNetBlockStream::kTooBig);
    g_counting = false;
    EXPECT_EQ(g_allocations, 0);
    EXPECT_EQ(L.tx->GetLimit(L.to_rx), 4000u);

    EXPECT_EQ(L.rx->SetLimit(L.to_tx, 3000), 1);
    ASSERT_EQ(L.tx->Send(L.to_rx, big.data(), 3500), 1);
    ASSERT_EQ(L.tx->Send(L.to_rx, fits.data(), 2500), 2);
    g_allocations = 0, g_counting = true;
    ASSERT_GT(L.Run(3000, [&] { return L.tx->ended.size() >= 2; }), 0);
    g_counting = false;
    EXPECT_LE(g_allocations, 1) << "the refused block was allocated";
    using End = Stream::End;
    EXPECT_EQ(L.tx->ended, (std::vector<End>{{L.to_rx, 1, CNetBlockStream::kTooBig},
                                             {L.to_rx, 2, CNetBlockStream::kDelivered}}));
    EXPECT_EQ(L.rx->ended, (std::vector<End>{{L.to_tx, 1, CNetBlockStream::kTooBig}}));
    ASSERT_EQ(L.rx->got.size(), 1u);
    EXPECT_EQ((std::vector<std::uint64_t>{L.rx->got[0].id, L.rx->got[0].hash}),
              (std::vector<std::uint64_t>{2, Hash(fits.data(), 2500)}));
}

} // namespace
