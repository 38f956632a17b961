// Priority shares under a fixed room per packet, driven as the writer drives them: the order,
// each port's turn (fit or left out, or a block's grant), the end of the packet.
#include <gtest/gtest.h>

#include <vector>

#include "client/PriorityShares.h"
#include "portnet/CNetClient.h"
#include "portnet/CNetData.h"

namespace {

using namespace portnet;

struct Port : CNetData {
    Port() : CNetData(false) {}
};

class Shares : public ::testing::Test {
protected:
    // Ports 1..n at priorities 1..n (the writer lists them largest first); sizes 100 bytes.
    void Make(int n) {
        ports.resize(static_cast<std::size_t>(n) + 1);
        for (int p = 1; p <= n; ++p) {
            ports[p].m_port_id = p;
            size[p] = 100;
            priority[p] = p;
        }
        client.m_priority_aging = true;
    }
    // One packet of `room` bytes; a port whose size is 0 has nothing to say, a block (port
    // `block`) takes its grant. The ports sent, in the order of their records.
    std::vector<int> Packet(int room, int block = -1) {
        const int n = static_cast<int>(ports.size()) - 1;
        CNetData* list[CNetClient::kMaxPorts] = {};
        int prios[CNetClient::kMaxPorts] = {};
        int count = 0;
        for (int q = 16; q-- > 0;) // largest priority first, as the writer sorts
            for (int p = 0; p <= n; ++p)
                if (priority[p] == q && (p > 0 || block == 0))
                    list[count] = &ports[p], prios[count++] = q;
        SharesOrder(&client, list, prios, count);
        std::vector<int> sent;
        for (int i = 0; i < count; ++i) {
            const int p = list[i]->m_port_id;
            if (p == block) {
                const int grant = SharesGrant(&client, p, room);
                EXPECT_GE(grant, room < 64 ? room : 64);
                EXPECT_LE(grant, room);
                room -= grant, bytes[p] += grant;
                SharesUsed(&client, p, grant, true);
                if (grant > 0) sent.push_back(p);
            } else if (size[p] > 0 && size[p] <= room) {
                room -= size[p], bytes[p] += size[p];
                SharesUsed(&client, p, size[p], false);
                sent.push_back(p);
            } else if (size[p] > 0) {
                SharesUsed(&client, p, 0, true);
            }
        }
        SharesEnd(&client);
        return sent;
    }
    // Packets of `room`; each port's longest run of packets without a record, from `from` on.
    std::vector<int> LongestGaps(int packets, int room, int from = 0) {
        std::vector<int> last(ports.size(), from), gap(ports.size(), 0);
        for (int k = from; k < from + packets; ++k)
            for (int p : Packet(room)) {
                if (k - last[p] > gap[p]) gap[p] = k - last[p];
                last[p] = k;
            }
        for (std::size_t p = 1; p < ports.size(); ++p)
            if (from + packets - last[p] > gap[p]) gap[p] = from + packets - last[p];
        return gap;
    }

    CNetClient client;
    std::vector<Port> ports;
    int size[13] = {}, priority[13] = {};
    long long bytes[13] = {};
};

TEST_F(Shares, ANarrowPacketIsDividedByPriorityAndNoPortStarves) {
    Make(12);
    const std::vector<int> gap = LongestGaps(4000, 100); // one record per packet
    long long total = 0;
    for (int p = 1; p <= 12; ++p)
        total += bytes[p];
    // The top priority keeps its weighted share, half; each step below halves it, down to the
    // evenly shared pool.
    EXPECT_GE(bytes[12] * 100, total * 49);
    EXPECT_GE(bytes[11] * 100, total * 20);
    for (int p = 1; p < 12; ++p)
        EXPECT_GE(bytes[p + 1] + 100, bytes[p]) << p;
    // Spread evenly: half the packets, never more than two apart.
    EXPECT_LE(gap[12], 2);
    for (int p = 1; p <= 12; ++p) {
        // Below the top, at least an eleventh of the pooled eighth of the other half.
        const int share = client.m_shares.m_share[p];
        ASSERT_GE(share, 65536 / 2 / 8 / 11);
        EXPECT_LE(gap[p], 2 * 65536 / share + 12) << p;
    }
}

TEST_F(Shares, RoomForEveryPortKeepsThePriorityOrder) {
    Make(5);
    size[5] = 300; // by its finish alone, port 4 would come first
    for (int k = 0; k < 3; ++k)
        Packet(300); // narrow ones: the tags part
    const std::vector<int> all = {5, 4, 3, 2, 1};
    Packet(1000);
    EXPECT_EQ(Packet(1000), all);
    // And the next narrow one starts from equal tags: the top priority first.
    EXPECT_EQ(Packet(300), std::vector<int>{5});
    // Off, the order is the writer's whatever came before.
    client.m_share_halving = 0;
    EXPECT_EQ(Packet(300), std::vector<int>{5});
    EXPECT_EQ(Packet(300), std::vector<int>{5});
}

TEST_F(Shares, APortSavesNothingWhileSilentOrWhileTheLinkIsWide) {
    Make(12);
    size[1] = 0; // silent
    LongestGaps(1000, 100);
    size[1] = 100;
    bytes[1] = 0;
    const std::vector<int> gap = LongestGaps(50, 100);
    EXPECT_LE(bytes[1], 100) << "the silence was not saved up";
    EXPECT_LE(gap[12], 2);
    // Nine of twelve per packet for a long time, then one: the low ports that took the room
    // the others could not use do not wait for what they took.
    const std::vector<int> wide = LongestGaps(400, 900);
    const std::vector<int> narrow = LongestGaps(1000, 100);
    for (int p = 1; p <= 12; ++p) {
        const int bound = 2 * 65536 / client.m_shares.m_share[p] + 12;
        EXPECT_LE(wide[p], bound / 9) << p;
        EXPECT_LE(narrow[p], bound) << p;
    }
}

TEST_F(Shares, ABlockTakesWhatTheStatesLeaveAndItsShareWhenAhead) {
    Make(3);
    ports.resize(4);
    ports[0].m_port_id = 0;
    priority[0] = 0; // below every state: the leftovers
    for (int k = 0; k < 100; ++k)
        EXPECT_EQ(Packet(1000, 0), (std::vector<int>{3, 2, 1, 0})) << k;
    EXPECT_EQ(bytes[0], 100 * 700);
    // Above every state, on a packet with room for two records: the block gets about its
    // weighted share (8/15) and the states still move.
    for (int p = 0; p <= 3; ++p)
        bytes[p] = 0;
    priority[0] = 4;
    // On a fresh schedule its first turn comes first, and is a piece: the states due after it
    // keep their room.
    client.m_shares = CNetClient::SShareState{};
    EXPECT_EQ(Packet(1000, 0), (std::vector<int>{0, 3, 2, 1}));
    EXPECT_LE(bytes[0], 1000 - 300);
    std::vector<int> last(4, 0);
    for (int k = 0; k < 400; ++k) {
        for (int p : Packet(200, 0))
            last[p] = k;
        for (int p = 1; p <= 3; ++p)
            EXPECT_LE(k - last[p], 40) << k << " " << p;
    }
    EXPECT_GE(bytes[0] * 100, 400LL * 200 * 50);
    // Outside an ordered packet (an extra datagram), or with shares off: the whole room.
    EXPECT_EQ(SharesGrant(&client, 0, 500), 500);
    client.m_priority_aging = false;
    const long long before = bytes[0];
    EXPECT_EQ(Packet(1000, 0), std::vector<int>{0});
    EXPECT_EQ(bytes[0] - before, 1000);
}

} // namespace
