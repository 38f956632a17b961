// Wrong use through the C API: every case gets its status code and leaves the library working.
// Run under ASan too (the asan preset), so a case that touched freed memory fails there.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "portnet/CNetDriver.h"
#include "portnet/portnet_c.h"
#ifdef PORTNET_HAS_SECURE
#include "portnet/portnet_secure_c.h"
#endif

namespace {

using Ints = std::vector<int>;

TEST(CapiWrongUse, CallsBeforeInitAreRefused) {
    portnet_handle h = 0;
    EXPECT_EQ(
        (Ints{portnet_udp_create("127.0.0.1:0", &h), portnet_frame(12345), portnet_shutdown()}),
        (Ints{PORTNET_E_NOT_INITIALIZED, PORTNET_E_NOT_INITIALIZED, PORTNET_E_NOT_INITIALIZED}));
}

struct CapiHandles : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(portnet_init(8), PORTNET_OK);
        ASSERT_EQ(portnet_sim_network_create(1, 0, &net), PORTNET_OK);
        ASSERT_EQ(portnet_sim_endpoint_create(net, 1, 0, &end), PORTNET_OK);
        ASSERT_EQ(portnet_server_create(end, 3, 2, &server), PORTNET_OK);
    }
    void TearDown() override { EXPECT_EQ(portnet_shutdown(), PORTNET_OK); }
    portnet_handle net = 0, end = 0, server = 0;
};

// Each group of calls is made in order; every call gets its code.
TEST_F(CapiHandles, NullDestroyedForgedAndWrongKindHandlesGetTheirCodes) {
    portnet_server_info info;
    portnet_event ev;
    const int kNull = PORTNET_E_NULL_HANDLE, kWrong = PORTNET_E_WRONG_KIND,
              kStale = PORTNET_E_STALE_HANDLE;
    EXPECT_EQ((Ints{portnet_frame(PORTNET_NULL_HANDLE),
                    portnet_poll(PORTNET_NULL_HANDLE, &ev, nullptr, 0),
                    portnet_destroy(PORTNET_NULL_HANDLE)}),
              (Ints{kNull, kNull, kNull}));
    // Wrong kind: a driver where a manager goes, a server where a connection goes.
    EXPECT_EQ((Ints{portnet_frame(end), portnet_get_server_info(net, &info),
                    portnet_connect(server, "127.0.0.1:1"),
                    portnet_sim_endpoint_create(end, 2, 0, &ev.player_id),
                    portnet_set_option(server, PORTNET_OPT_HELLO_MS, 10)}),
              (Ints{kWrong, kWrong, kWrong, kWrong, kWrong}));
    // Forged: another generation, another kind in the bits, an index past the table.
    EXPECT_EQ(
        (Ints{portnet_frame(server + (1ull << 32)), portnet_frame(server ^ (1ull << 24)),
              portnet_frame((server & ~0xffffull) | 0x7fff), portnet_frame(server | (1ull << 16))}),
        (Ints{kStale, kStale, kStale, kStale}));
    // In use: a driver under a manager, a network under an endpoint, a driver twice.
    portnet_handle second = 0;
    EXPECT_EQ((Ints{portnet_destroy(end), portnet_destroy(net),
                    portnet_connection_create(end, 3, &second), second == PORTNET_NULL_HANDLE}),
              (Ints{PORTNET_E_IN_USE, PORTNET_E_IN_USE, PORTNET_E_IN_USE, 1}));
    // Destroyed: the slot's next tenant, of another kind, has another handle, which the old
    // one never reaches.
    ASSERT_EQ(portnet_destroy(server), PORTNET_OK);
    portnet_handle again = 0;
    ASSERT_EQ(portnet_connection_create(end, 3, &again), PORTNET_OK);
    portnet_connection_info ci;
    int32_t kind = 0;
    EXPECT_EQ((Ints{again != server, portnet_send_message(server, 0, 0, "x", 1),
                    portnet_get_server_info(server, &info), portnet_get_connection_info(again, &ci),
                    portnet_handle_kind(again, &kind), kind}),
              (Ints{1, kStale, kStale, PORTNET_OK, PORTNET_OK, PORTNET_KIND_CONNECTION}));
    EXPECT_EQ((Ints{portnet_destroy(again), portnet_destroy(end), portnet_destroy(net)}),
              (Ints{0, 0, 0}));
}

TEST_F(CapiHandles, BadArgumentsPortsAndSmallBuffersGetTheirCodes) {
    portnet_handle conn_end, conn, bad = 0;
    ASSERT_EQ(portnet_sim_endpoint_create(net, 2, 0, &conn_end), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(conn_end, 3, &conn), PORTNET_OK);
    const int kArg = PORTNET_E_ARGUMENT, kPort = PORTNET_E_PORT, kNoPeer = PORTNET_E_NO_PEER;
    EXPECT_EQ((Ints{portnet_server_create(end, 0, 2, &bad), portnet_udp_create(nullptr, &bad),
                    portnet_udp_create("300.1.2.3:5", &bad)}),
              (Ints{kArg, kArg, PORTNET_E_ADDRESS}));
    char why[128];
    ASSERT_EQ(portnet_last_error(why, sizeof why), PORTNET_OK);
    EXPECT_NE(std::strstr(why, "300.1.2.3"), nullptr) << why;
    EXPECT_EQ((Ints{portnet_connect(conn, "1.2.3:4"), portnet_connect(conn, nullptr)}),
              (Ints{PORTNET_E_ADDRESS, kArg}));

    // Ports: out of range, sizes, given a kind twice, of another kind, messages on a state port.
    EXPECT_EQ((Ints{portnet_state_port(server, 3, 10, 8), portnet_state_port(server, 1, 0, 8),
                    portnet_state_port(server, 1, 10, 65), portnet_state_port(server, 1, 10, 8),
                    portnet_state_port(server, 1, 10, 8), portnet_message_port(server, 2),
                    portnet_block_port(server, 0, 0), portnet_peer_ports(server, 7, 1, 1)}),
              (Ints{kPort, kArg, kArg, PORTNET_OK, kPort, kPort, kPort, kPort}));
    ASSERT_EQ(portnet_message_port(conn, 0), PORTNET_OK);
    ASSERT_EQ(portnet_message_port(conn, 1), PORTNET_OK);
    // Too long, no bytes, a slot a connection has not (it has 0 alone), not connected.
    static const char big[PORTNET_MAX_MESSAGE + 1] = {};
    EXPECT_EQ(
        (Ints{portnet_send_message(conn, 0, 1, big, sizeof big),
              portnet_send_message(conn, 0, 1, nullptr, 4),
              portnet_send_message(conn, 3, 1, "x", 1), portnet_send_message(conn, 0, 0, "x", 1)}),
        (Ints{PORTNET_E_TOO_BIG, kArg, kNoPeer, kNoPeer}));

    // State buffers: too long to write; a short state reads back zero-filled.
    unsigned char state[10] = {1, 2, 3}, back[10] = {};
    int32_t t = 0;
    EXPECT_EQ(
        (Ints{portnet_set_state(server, 0, 1, state, 11), portnet_set_state(server, 0, 1, state, 3),
              portnet_get_state(server, 0, 1, back, sizeof back), std::memcmp(back, state, 10),
              portnet_get_state_history(server, 1, 0, back, sizeof back, &t)}),
        (Ints{PORTNET_E_TOO_BIG, PORTNET_OK, PORTNET_OK, 0, kNoPeer}));

    // No peer in a slot: statistics, address, kick; options out of range.
    portnet_peer_stats st;
    char addr[8];
    int32_t v = 0;
    EXPECT_EQ(
        (Ints{portnet_get_peer_stats(server, 0, &st), portnet_get_peer_stats(server, -1, &st),
              portnet_get_peer_stats(server, 1 << 20, &st),
              portnet_peer_address(server, 1, addr, sizeof addr), portnet_server_kick(server, 1)}),
        (Ints{kNoPeer, kNoPeer, kNoPeer, kNoPeer, kNoPeer}));
    EXPECT_EQ((Ints{portnet_set_option(server, PORTNET_OPT_ADAPT_RATE, 2),
                    portnet_set_option(server, 999, 1),
                    portnet_set_option(server, PORTNET_OPT_IDLE_LIMIT_MS, -5),
                    portnet_set_option(server, PORTNET_OPT_IDLE_LIMIT_MS, 3000),
                    portnet_get_option(server, PORTNET_OPT_IDLE_LIMIT_MS, &v), v}),
              (Ints{kArg, kArg, kArg, PORTNET_OK, PORTNET_OK, 3000}));

    // Polls: nothing queued, a null event, a null buffer with a size. C and C++ name a
    // departure alike.
    portnet_event ev;
    EXPECT_EQ(
        (Ints{portnet_poll(server, &ev, nullptr, 0), portnet_poll(server, nullptr, nullptr, 0),
              portnet_poll(server, &ev, nullptr, 5)}),
        (Ints{PORTNET_NONE, kArg, kArg}));
    EXPECT_STREQ(portnet_gone_text(PORTNET_GONE_KICKED), NetGoneText(kNetGoneKicked));
}

#ifdef PORTNET_HAS_SECURE
TEST_F(CapiHandles, SecureCallsCheckTheirHandlesAndArgumentsToo) {
    portnet_dtls_stats st;
    const uint8_t key[32] = {1};
    portnet_handle d = 0;
    EXPECT_EQ(portnet_dtls_get_stats(end, &st), PORTNET_E_WRONG_KIND);
    EXPECT_EQ(portnet_dtls_get_stats(PORTNET_NULL_HANDLE, &st), PORTNET_E_NULL_HANDLE);
    EXPECT_EQ(portnet_dtls_create_psk(server, PORTNET_DTLS_CONNECT, key, 32, "id", nullptr, &d),
              PORTNET_E_WRONG_KIND);
    EXPECT_EQ(portnet_dtls_create_psk(end, 9, key, 32, "id", nullptr, &d), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_dtls_create_psk(end, PORTNET_DTLS_CONNECT, key, 32, "id", nullptr, &d),
              PORTNET_E_IN_USE)
        << "the server uses it";
    EXPECT_EQ(portnet_dtls_create_cert(end, PORTNET_DTLS_CONNECT, "x", "y", "z", nullptr, &d),
              PORTNET_E_IN_USE);
    char token[PORTNET_TOKEN_MAX_TEXT + 1];
    uint8_t player_key[32];
    const char* servers[] = {"eu-1"};
    EXPECT_EQ(
        portnet_token_mint(key, 7, 0, 60, servers, 1, nullptr, 0, token, sizeof token, player_key),
        PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_token_mint(key, 7, 5, 60, servers, 1, nullptr, 0, token, 20, player_key),
              PORTNET_E_BUFFER_TOO_SMALL);
    const char* nine[9] = {"a", "b", "c", "d", "e", "f", "g", "h", "i"};
    EXPECT_EQ(
        portnet_token_mint(key, 7, 5, 60, nine, 9, nullptr, 0, token, sizeof token, player_key),
        PORTNET_E_ARGUMENT);
}
#endif

} // namespace
