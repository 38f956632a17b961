// Blocks both ways between a server and a player over the simulated network, several queued
// and of awkward sizes: whole, in order, once, under loss, duplicates and reordering. (Limits,
// cancels and peers that leave are tested in tests/blocks, from the header alone.)
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../server/ServerRig.h"
#include "portnet/portnet.h"

using namespace rig;

namespace {

enum : int { kPlayerId = 2, kPort = 1 };

std::vector<unsigned char> Pattern(std::uint32_t n, std::uint32_t seed) {
    std::vector<unsigned char> v(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return v;
}

struct Ended {
    std::uint32_t id;
    int reason;
};

class Blocks : public CNetBlockStream {
public:
    int BlockReceived(CNetClient*, std::uint32_t id, const unsigned char* data,
                      std::uint32_t len) override {
        m_got.emplace_back(id, std::vector<unsigned char>(data, data + len));
        return 1;
    }
    int BlockEnded(CNetClient*, std::uint32_t id, int reason) override {
        m_ended.push_back({id, reason});
        return 1;
    }
    std::vector<std::pair<std::uint32_t, std::vector<unsigned char>>> m_got;
    std::vector<Ended> m_ended;
};

struct Session : Clocked {
    void Begin(const SNetImpairment& link, std::uint64_t seed = 7) {
        Clocked::SetUp();
        net.reset(new CNetSimNetwork(seed));
        net->SetLinkImpairment(kServerId, kPlayerId, link);
        net->SetLinkImpairment(kPlayerId, kServerId, link);
        sim.reset(new CNetSimDriver(net.get(), kServerId, 4096));
        ASSERT_EQ(sim->Init(), 0);
        server.reset(new LoggingServer);
        ASSERT_EQ(server->Init(sim.get(), 2), 1);
        server->SetPortA(kPort, host_blocks);
        server->InitPort(kPort, -1);
        server->SetPeerPorts(kPort, true, true); // a block port reads and writes both ways
        player_drv.reset(new CNetSimDriver(net.get(), kPlayerId, 4096));
        ASSERT_EQ(player_drv->Init(), 0);
        player.reset(new CNetConnection);
        ASSERT_EQ(player->Init(player_drv.get(), 2), 1);
        player->m_idle_limit_ms = 5000;
        player->SetPortA(kPort, player_blocks);
        player->InitPort(kPort, -1);
        player->SetPeerPorts(kPort, true, true);
        const sockaddr_in host = Addr(kServerId);
        ASSERT_EQ(player->Connect(&host), 1);
        ASSERT_TRUE(RunUntil(3000, [&] { return server->GetNumPeers() == 1; }));
        ASSERT_TRUE(RunUntil(3000, [&] { return player->GetPeer() != nullptr; }));
    }
    void TearDown() override {
        player.reset();
        player_drv.reset();
        server.reset();
        sim.reset();
        net.reset();
        Clocked::TearDown();
    }
    template <typename Done> bool RunUntil(int ms, Done done) {
        for (const int end = s_now + ms; s_now < end;) {
            Tick(*net);
            Step(*server);
            if (player) Step(*player);
            if (done()) return true;
        }
        return false;
    }
    CNetClient* HostSide() { return server->GetPeer(0); }
    CNetClient* PlayerSide() { return player->GetPeer(); }

    // Owned by the ports they are placed on.
    Blocks* host_blocks = new Blocks;
    Blocks* player_blocks = new Blocks;
    std::unique_ptr<CNetSimNetwork> net;
    std::unique_ptr<CNetSimDriver> sim;
    std::unique_ptr<LoggingServer> server;
    std::unique_ptr<CNetSimDriver> player_drv;
    std::unique_ptr<CNetConnection> player;
};

struct Condition {
    double loss, duplicate, reorder;
};

class BlockDelivery : public Session, public ::testing::WithParamInterface<Condition> {};

// Sizes around a fragment's edges and a 1 MiB block, queued together from the host and one
// from the player at the same time: each arrives once, whole, in order; progress only grows.
TEST_P(BlockDelivery, EveryBlockArrivesOnceWholeAndInOrder) {
    SNetImpairment link;
    link.m_latency_ms = 20;
    link.m_jitter_ms = 4;
    link.m_loss_percent = GetParam().loss;
    link.m_duplicate_percent = GetParam().duplicate;
    link.m_reorder_percent = GetParam().reorder;
    link.m_reorder_delay_ms = 30;
    Begin(link);
    const std::vector<std::uint32_t> sizes = {1, 799, 800, 961, 1u << 20, 17};
    for (std::uint32_t i = 0; i < sizes.size(); ++i)
        ASSERT_EQ(host_blocks->Send(HostSide(), Pattern(sizes[i], i).data(), sizes[i]),
                  static_cast<int>(i + 1));
    const auto up = Pattern(70000, 99);
    ASSERT_EQ(player_blocks->Send(PlayerSide(), up.data(), 70000), 1);

    std::uint32_t last_done = 0, last_id = 0;
    bool monotonic = true;
    const bool all = RunUntil(120000, [&] {
        SNetBlockProgress p;
        player_blocks->GetReceiveProgress(PlayerSide(), &p);
        if (p.m_id == last_id && p.m_done < last_done) monotonic = false;
        if (p.m_id != 0) last_id = p.m_id, last_done = p.m_done;
        return player_blocks->m_got.size() == sizes.size() && host_blocks->m_got.size() == 1 &&
               host_blocks->m_ended.size() == sizes.size();
    });
    SNetBlockProgress sp, rp;
    host_blocks->GetSendProgress(HostSide(), &sp);
    player_blocks->GetReceiveProgress(PlayerSide(), &rp);
    ASSERT_TRUE(all) << "got " << player_blocks->m_got.size() << " of " << sizes.size() << " state "
                     << player->GetState() << " send " << sp.m_id << ":" << sp.m_done << "/"
                     << sp.m_total << " recv " << rp.m_id << ":" << rp.m_done << "/" << rp.m_total
                     << " frags " << host_blocks->m_fragments_sent << " resent "
                     << host_blocks->m_fragments_resent << " refused "
                     << player_blocks->m_fragments_refused << " t " << s_now;
    EXPECT_TRUE(monotonic);
    for (std::uint32_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(player_blocks->m_got[i].first, i + 1);
        EXPECT_TRUE(player_blocks->m_got[i].second == Pattern(sizes[i], i)) << "block " << i;
        EXPECT_EQ(host_blocks->m_ended[i].reason, CNetBlockStream::kDelivered);
    }
    EXPECT_TRUE(host_blocks->m_got[0].second == up);
    EXPECT_EQ(player_blocks->m_ended.size(), 1u);
    SNetBlockProgress p;
    ASSERT_EQ(host_blocks->GetSendProgress(HostSide(), &p), 1);
    EXPECT_EQ(p.m_id, 0u); // nothing left in transfer
}

INSTANTIATE_TEST_SUITE_P(Conditions, BlockDelivery,
                         ::testing::Values(Condition{0, 0, 0}, Condition{10, 5, 5},
                                           Condition{30, 10, 10}));

} // namespace
