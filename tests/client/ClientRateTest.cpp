// The two writer switches of rate adaptation and priority aging: each changes the packets
// while on, and once off again the packets are those of a client that never had it.
#include "ClientFixture.h"
#include "client/RateController.h"

namespace client_test {
namespace {

// Ports of the records of one packet (no acknowledgement yet: a 7-byte header), each
// record a port byte, a flags byte and `len` state bytes.
Ints Ports(const Bytes& d, int len) {
    Ints ports;
    for (std::size_t at = 8; at + 1 < d.size(); at += 2 + static_cast<std::size_t>(len))
        ports.push_back(d[at]);
    return ports;
}

struct Switch {
    const char* name;
    bool CNetClient::*flag;
    int max_size;
    Ints off, on_first, on_second; // ports of the packets while off, then the first two on
    int share_halving = 1;
};

void PrintTo(const Switch& s, std::ostream* os) {
    *os << s.name;
}

class RateTest : public ClientTest {
protected:
    // Five 10-byte states of priorities 1 to 5, each record 12 bytes.
    void FiveStates() {
        for (int port = 1; port <= 5; ++port) {
            State* s = Port(port, new State);
            s->len = 10, s->priority = port;
        }
    }
};

class SwitchTest : public RateTest, public ::testing::WithParamInterface<Switch> {};

TEST_P(SwitchTest, ChangesThePacketsOnlyWhileOn) {
    FiveStates();
    c.m_max_size = GetParam().max_size;
    c.m_share_halving = GetParam().share_halving;
    // One packet a frame: a second Write in the same millisecond would be an extra datagram
    // of the same frame.
    auto next = [&]() {
        mgr.m_time += 16;
        return Ports(Sent(), 10);
    };
    const Ints before = next();
    EXPECT_EQ(before, GetParam().off);
    c.*GetParam().flag = true;
    EXPECT_EQ(next(), GetParam().on_first);
    EXPECT_EQ(next(), GetParam().on_second);
    c.*GetParam().flag = false;
    for (int frame = 0; frame < 3; ++frame)
        EXPECT_EQ(next(), before) << frame;
}

// The same frame written again is an extra datagram: it gets what the frame's budget has
// left after the first (none here: the first took it all), never a new frame's budget; the
// next frames' first datagrams do (the five states make a small snapshot, sent whole: the
// next frame waits for credit enough, the one after sends all five).
TEST_F(RateTest, ASecondWriteInTheSameFrameGetsOnlyWhatTheFrameLeft) {
    FiveStates();
    c.m_max_size = 100;
    c.m_adapt_rate = true;
    mgr.m_time = 16;
    EXPECT_EQ(Ports(Sent(), 10), (Ints{5, 4, 3}));
    EXPECT_EQ((Ints{portnet::RateRoomLeft(&c), c.Write(), Take().empty(), c.m_send_budget}),
              (Ints{0, 1, 1, 0}));
    Ints next;
    for (int frame = 2; frame <= 3 && next.empty(); ++frame) {
        mgr.m_time = 16 * frame;
        next = Ports(Sent(), 10);
    }
    EXPECT_FALSE(next.empty());
}

// A host below its budget (every state fits) that meets a growing queue before its first cut
// cuts from what its frames send, not from a budget it never used, though at once no lower
// than a small datagram a frame (82 bytes on the wire): a peer that only acknowledges sees
// the other side's queue too.
TEST_F(RateTest, AHostBelowItsBudgetCutsFromWhatItSendsOnItsFirstQueue) {
    constexpr int kRing = CNetClient::kRing;
    int now = 0, seq = 0;
    // One frame: the packet sent `rtt` ms before is acknowledged, then one of 40 bytes goes.
    auto frame = [&](int rtt) {
        now += 16;
        const int back = (rtt + 15) / 16;
        if (seq > back) {
            c.m_acked_seq = seq - back;
            c.m_ack_times[(seq - back) % kRing] = now;
        }
        portnet::RateBeforeWrite(&c, now, 1000);
        c.m_write_times[seq % kRing] = now;
        c.m_write_seq = seq + 1;
        portnet::RateAfterSend(&c, seq++, 40, now, false);
    };
    for (int f = 0; f < 30; ++f)
        frame(48);
    const int before = c.m_rate_state.m_budget16 / 16;
    for (int f = 1; f <= 40 && c.m_rate_state.m_slow_start; ++f)
        frame(48 + 8 * f);
    EXPECT_FALSE(c.m_rate_state.m_slow_start);
    EXPECT_GT(before, 200);
    EXPECT_EQ(c.m_rate_state.m_budget16 / 16, 82);
}

// A path narrower than a small datagram a frame skips frames and writes once the credit holds
// the whole snapshot, when that snapshot is small: five 12-byte records in one datagram rather
// than three in one of 82 bytes (its 41 bytes of headers carrying as many of records) and two
// in the next. (These packets acknowledge nothing, so their headers are 4 bytes shorter than
// the controller counts, and the last record of a snapshot may wait for the next datagram.)
TEST_F(RateTest, ANarrowPathWritesSmallSnapshotsWhole) {
    FiveStates();
    c.m_adapt_rate = true;
    mgr.m_time = 16;
    EXPECT_EQ(Ports(Sent(), 10), (Ints{5, 4, 3, 2, 1}));
    c.m_rate_state.m_budget16 = 10 * 16; // 10 wire bytes a frame: 600 bytes a second
    int written = 0, records = 0;
    for (int frame = 0; frame < 40; ++frame) { // no acknowledgement for 40 frames: well under
        mgr.m_time += 16;                      // the second after which a silent peer floods
        const Bytes d = Sent();
        if (d.empty()) continue;
        ++written;
        const std::size_t ports = Ports(d, 10).size();
        EXPECT_GE(ports, 4u) << frame;
        records += static_cast<int>(ports);
    }
    EXPECT_GE(written, 3);
    EXPECT_GE(records, 4 * written + written / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, SwitchTest,
    ::testing::Values(
        // The budget starts at a datagram a frame whose records take a quarter of the room,
        // raised to the 41 bytes of its headers: three records. The five make a small
        // snapshot, sent whole: the next frame waits for credit enough for all of them.
        Switch{"AdaptRate", &CNetClient::m_adapt_rate, 100, {5, 4, 3, 2, 1}, {5, 4, 3}, {}},
        // Room for three. Ports 1 and 2 left out of the first packet on gain a step: port 2
        // (now 3) ties with port 3 and goes first by port order.
        Switch{"PriorityAgingBySteps",
               &CNetClient::m_priority_aging,
               40,
               {5, 4, 3},
               {5, 4, 3},
               {5, 4, 2},
               0},
        // Shares: ports 1 and 2, left out of the first packet, are due with port 5, whose
        // half share has brought it round again; ports 4 and 3 wait for their turn.
        Switch{
            "PriorityShares", &CNetClient::m_priority_aging, 40, {5, 4, 3}, {5, 4, 3}, {5, 2, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace client_test
