// The two writer switches of rate adaptation and priority aging: each changes the packets
// while on, and once off again the packets are those of a client that never had it.
#include "ClientFixture.h"

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

class SwitchTest : public ClientTest, public ::testing::WithParamInterface<Switch> {};

TEST_P(SwitchTest, ChangesThePacketsOnlyWhileOn) {
    // Five 10-byte states of priorities 1 to 5, each record 12 bytes.
    for (int port = 1; port <= 5; ++port) {
        State* s = Port(port, new State);
        s->len = 10;
        s->priority = port;
    }
    c.m_max_size = GetParam().max_size;
    c.m_share_halving = GetParam().share_halving;
    const Ints before = Ports(Sent(), 10);
    EXPECT_EQ(before, GetParam().off);
    c.*GetParam().flag = true;
    EXPECT_EQ(Ports(Sent(), 10), GetParam().on_first);
    EXPECT_EQ(Ports(Sent(), 10), GetParam().on_second);
    c.*GetParam().flag = false;
    for (int frame = 0; frame < 3; ++frame)
        EXPECT_EQ(Ports(Sent(), 10), before) << frame;
}

INSTANTIATE_TEST_SUITE_P(
    Writer, SwitchTest,
    ::testing::Values(
        // The budget starts at a quarter of the room, raised to its floor of 32 bytes: two
        // records; the 7 bytes the first packet left unused let the next one take three.
        Switch{"AdaptRate", &CNetClient::m_adapt_rate, 100, {5, 4, 3, 2, 1}, {5, 4}, {5, 4, 3}},
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
