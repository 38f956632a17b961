// Wrong use through the C API: every case gets its status code and leaves the library working.
// Run under ASan too (the asan preset), so a case that touched freed memory fails there.

#include <gtest/gtest.h>

#include <cstring>

#include "portnet/CNetDriver.h"
#include "portnet/portnet_c.h"
#ifdef PORTNET_HAS_SECURE
#include "portnet/portnet_secure_c.h"
#endif

namespace {

TEST(CapiWrongUse, CallsBeforeInitAndTwiceInitAreRefused) {
    portnet_handle h = 0;
    EXPECT_EQ(portnet_udp_create("127.0.0.1:0", &h), PORTNET_E_NOT_INITIALIZED);
    EXPECT_EQ(portnet_frame(12345), PORTNET_E_NOT_INITIALIZED);
    EXPECT_EQ(portnet_shutdown(), PORTNET_E_NOT_INITIALIZED);
    EXPECT_EQ(portnet_init(-1), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_init(70000), PORTNET_E_ARGUMENT);
    ASSERT_EQ(portnet_init(4), PORTNET_OK);
    EXPECT_EQ(portnet_init(4), PORTNET_E_FAILED);
    EXPECT_EQ(portnet_shutdown(), PORTNET_OK);
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

TEST_F(CapiHandles, NullDestroyedForgedAndWrongKindHandlesGetTheirCodes) {
    portnet_server_info info;
    portnet_event ev;
    EXPECT_EQ(portnet_frame(PORTNET_NULL_HANDLE), PORTNET_E_NULL_HANDLE);
    EXPECT_EQ(portnet_poll(PORTNET_NULL_HANDLE, &ev, nullptr, 0), PORTNET_E_NULL_HANDLE);
    EXPECT_EQ(portnet_destroy(PORTNET_NULL_HANDLE), PORTNET_E_NULL_HANDLE);

    // Wrong kind: a driver where a manager goes, a server where a connection goes.
    EXPECT_EQ(portnet_frame(end), PORTNET_E_WRONG_KIND);
    EXPECT_EQ(portnet_get_server_info(net, &info), PORTNET_E_WRONG_KIND);
    EXPECT_EQ(portnet_connect(server, "127.0.0.1:1"), PORTNET_E_WRONG_KIND);
    EXPECT_EQ(portnet_sim_endpoint_create(end, 2, 0, &ev.player_id), PORTNET_E_WRONG_KIND);
    EXPECT_EQ(portnet_set_option(server, PORTNET_OPT_HELLO_MS, 10), PORTNET_E_WRONG_KIND);

    // Forged: another generation, another kind in the bits, an index past the table.
    EXPECT_EQ(portnet_frame(server + (1ull << 32)), PORTNET_E_STALE_HANDLE);
    EXPECT_EQ(portnet_frame(server ^ (1ull << 24)), PORTNET_E_STALE_HANDLE);
    EXPECT_EQ(portnet_frame((server & ~0xffffull) | 0x7fff), PORTNET_E_STALE_HANDLE);
    EXPECT_EQ(portnet_frame(server | (1ull << 16)), PORTNET_E_STALE_HANDLE);

    // In use: a driver under a manager, a network under an endpoint, a driver twice.
    portnet_handle second = 0;
    EXPECT_EQ(portnet_destroy(end), PORTNET_E_IN_USE);
    EXPECT_EQ(portnet_destroy(net), PORTNET_E_IN_USE);
    EXPECT_EQ(portnet_connection_create(end, 3, &second), PORTNET_E_IN_USE);
    EXPECT_EQ(second, PORTNET_NULL_HANDLE);

    // Destroyed: every later use, and a second destroy, is stale; the slot's next tenant has
    // another handle, which the old one never reaches.
    ASSERT_EQ(portnet_destroy(server), PORTNET_OK);
    EXPECT_EQ(portnet_frame(server), PORTNET_E_STALE_HANDLE);
    EXPECT_EQ(portnet_destroy(server), PORTNET_E_STALE_HANDLE);
    EXPECT_EQ(portnet_send_message(server, 0, 0, "x", 1), PORTNET_E_STALE_HANDLE);
    portnet_handle again = 0;
    ASSERT_EQ(portnet_connection_create(end, 3, &again), PORTNET_OK);
    EXPECT_NE(again, server);
    EXPECT_EQ(portnet_get_server_info(server, &info), PORTNET_E_STALE_HANDLE);
    portnet_connection_info ci;
    EXPECT_EQ(portnet_get_connection_info(again, &ci), PORTNET_OK);
    int32_t kind = 0;
    EXPECT_EQ(portnet_handle_kind(again, &kind), PORTNET_OK);
    EXPECT_EQ(kind, PORTNET_KIND_CONNECTION);
    ASSERT_EQ(portnet_destroy(again), PORTNET_OK);
    ASSERT_EQ(portnet_destroy(end), PORTNET_OK);
    ASSERT_EQ(portnet_destroy(net), PORTNET_OK);
}

TEST_F(CapiHandles, ATableOfEightRefusesTheNinthHandleAndTakesOneAfterADestroy) {
    portnet_handle more[8] = {};
    int made = 0;
    portnet_status s = PORTNET_OK;
    for (; made < 8; ++made)
        if ((s = portnet_sim_endpoint_create(net, 10 + made, 4, &more[made])) != PORTNET_OK) break;
    EXPECT_EQ(made, 5) << "three of eight were taken";
    EXPECT_EQ(s, PORTNET_E_TABLE_FULL);
    ASSERT_EQ(portnet_destroy(more[0]), PORTNET_OK);
    EXPECT_EQ(portnet_sim_endpoint_create(net, 30, 4, &more[0]), PORTNET_OK);
}

TEST_F(CapiHandles, BadArgumentsPortsAndSmallBuffersGetTheirCodes) {
    portnet_handle conn_end, conn;
    ASSERT_EQ(portnet_sim_endpoint_create(net, 2, 0, &conn_end), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(conn_end, 3, &conn), PORTNET_OK);
    portnet_handle bad = 0;
    EXPECT_EQ(portnet_server_create(end, 0, 2, &bad), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_udp_create(nullptr, &bad), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_udp_create("300.1.2.3:5", &bad), PORTNET_E_ADDRESS);
    char why[128];
    ASSERT_EQ(portnet_last_error(why, sizeof why), PORTNET_OK);
    EXPECT_NE(std::strstr(why, "300.1.2.3"), nullptr) << why;
    EXPECT_EQ(portnet_last_error(why, 3), PORTNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(portnet_connect(conn, "1.2.3:4"), PORTNET_E_ADDRESS);
    EXPECT_EQ(portnet_connect(conn, nullptr), PORTNET_E_ARGUMENT);

    // Ports: out of range, of another kind, given a kind twice, messages on a server's port 1.
    EXPECT_EQ(portnet_state_port(server, 3, 10, 8), PORTNET_E_PORT);
    EXPECT_EQ(portnet_state_port(server, 1, 0, 8), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_state_port(server, 1, PORTNET_MAX_STATE + 1, 8), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_state_port(server, 1, 10, 65), PORTNET_E_ARGUMENT);
    ASSERT_EQ(portnet_state_port(server, 1, 10, 8), PORTNET_OK);
    EXPECT_EQ(portnet_state_port(server, 1, 10, 8), PORTNET_E_PORT);
    EXPECT_EQ(portnet_message_port(server, 2), PORTNET_E_PORT);
    EXPECT_EQ(portnet_block_port(server, 0, 0), PORTNET_E_PORT);
    EXPECT_EQ(portnet_send_message(server, 0, 1, "x", 1), PORTNET_E_PORT);
    EXPECT_EQ(portnet_peer_ports(server, 7, 1, 1), PORTNET_E_PORT);
    ASSERT_EQ(portnet_message_port(conn, 0), PORTNET_OK);
    ASSERT_EQ(portnet_message_port(conn, 1), PORTNET_OK);
    static const char big[PORTNET_MAX_MESSAGE + 1] = {};
    EXPECT_EQ(portnet_send_message(conn, 0, 1, big, sizeof big), PORTNET_E_TOO_BIG);
    EXPECT_EQ(portnet_send_message(conn, 0, 1, nullptr, 4), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_send_message(conn, 3, 1, "x", 1), PORTNET_E_NO_PEER)
        << "a connection has slot 0 alone";
    EXPECT_EQ(portnet_send_message(conn, 0, 0, "x", 1), PORTNET_E_NO_PEER) << "not connected";
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(portnet_send_message(conn, 0, 1, "x", 1), PORTNET_OK);
    EXPECT_EQ(portnet_send_message(conn, 0, 1, "x", 1), PORTNET_E_QUEUE_FULL);

    // State buffers: too small to read, too long to write.
    unsigned char state[10] = {1, 2, 3};
    EXPECT_EQ(portnet_get_state(server, 0, 1, state, 9), PORTNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(portnet_set_state(server, 0, 1, state, 11), PORTNET_E_TOO_BIG);
    ASSERT_EQ(portnet_set_state(server, 0, 1, state, 3), PORTNET_OK);
    unsigned char back[10] = {};
    ASSERT_EQ(portnet_get_state(server, 0, 1, back, sizeof back), PORTNET_OK);
    EXPECT_EQ(std::memcmp(back, state, 10), 0);
    int32_t t = 0;
    EXPECT_EQ(portnet_get_state_history(server, 1, 0, back, sizeof back, &t), PORTNET_E_NO_PEER);

    // No peer in a slot: statistics, address, kick, block.
    portnet_peer_stats st;
    char addr[8];
    EXPECT_EQ(portnet_get_peer_stats(server, 0, &st), PORTNET_E_NO_PEER);
    EXPECT_EQ(portnet_get_peer_stats(server, -1, &st), PORTNET_E_NO_PEER);
    EXPECT_EQ(portnet_get_peer_stats(server, 1 << 20, &st), PORTNET_E_NO_PEER);
    EXPECT_EQ(portnet_peer_address(server, 1, addr, sizeof addr), PORTNET_E_NO_PEER);
    EXPECT_EQ(portnet_server_kick(server, 1), PORTNET_E_NO_PEER);
    EXPECT_EQ(portnet_driver_address(end, addr, 4), PORTNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(portnet_set_option(server, PORTNET_OPT_ADAPT_RATE, 2), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_set_option(server, 999, 1), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_set_option(server, PORTNET_OPT_IDLE_LIMIT_MS, -5), PORTNET_E_ARGUMENT);
    int32_t v = 0;
    ASSERT_EQ(portnet_set_option(server, PORTNET_OPT_IDLE_LIMIT_MS, 3000), PORTNET_OK);
    ASSERT_EQ(portnet_get_option(server, PORTNET_OPT_IDLE_LIMIT_MS, &v), PORTNET_OK);
    EXPECT_EQ(v, 3000);

    // Polls: nothing queued, a null event, a null buffer with a size.
    portnet_event ev;
    EXPECT_EQ(portnet_poll(server, &ev, nullptr, 0), PORTNET_NONE);
    EXPECT_EQ(portnet_poll(server, nullptr, nullptr, 0), PORTNET_E_ARGUMENT);
    EXPECT_EQ(portnet_poll(server, &ev, nullptr, 5), PORTNET_E_ARGUMENT);
    EXPECT_STREQ(portnet_status_text(PORTNET_E_WRONG_KIND), "handle of the wrong kind");
    EXPECT_STREQ(portnet_status_text(-999), "unknown status");
    EXPECT_STREQ(portnet_gone_text(PORTNET_GONE_KICKED), NetGoneText(kNetGoneKicked));
}

// A message longer than the poll's buffer stays queued until a buffer that holds it comes.
TEST_F(CapiHandles, AMessageLongerThanThePollBufferWaitsForALargerOne) {
    portnet_handle conn_end, conn;
    ASSERT_EQ(portnet_sim_endpoint_create(net, 2, 0, &conn_end), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(conn_end, 1, &conn), PORTNET_OK);
    for (portnet_handle m : {server, conn}) {
        ASSERT_EQ(portnet_message_port(m, 0), PORTNET_OK);
        ASSERT_EQ(portnet_peer_ports(m, 0, 1, 1), PORTNET_OK);
    }
    ASSERT_EQ(portnet_connect(conn, "LOCAL:1"), PORTNET_OK);
    char text[300];
    std::memset(text, 'a', sizeof text);
    portnet_event ev;
    char buf[400];
    bool sent = false, small_refused = false, got = false;
    for (int frame = 0; frame < 100 && !got; ++frame) {
        portnet_time_update(nullptr);
        portnet_frame(server);
        portnet_frame(conn);
        portnet_status s;
        while ((s = portnet_poll(server, &ev, buf, 100)) == PORTNET_OK)
            if (ev.type == PORTNET_EVENT_JOINED && !sent)
                sent = portnet_send_message(server, ev.slot, 0, text, sizeof text) == PORTNET_OK;
        ASSERT_EQ(s, PORTNET_NONE);
        while ((s = portnet_poll(conn, &ev, buf, 100)) == PORTNET_OK) {
        }
        if (s == PORTNET_E_BUFFER_TOO_SMALL) {
            EXPECT_EQ(ev.type, PORTNET_EVENT_MESSAGE);
            EXPECT_EQ(ev.length, sizeof text);
            small_refused = true;
            ASSERT_EQ(portnet_poll(conn, &ev, buf, sizeof buf), PORTNET_OK);
            EXPECT_EQ(std::memcmp(buf, text, sizeof text), 0);
            got = true;
        }
    }
    EXPECT_TRUE(small_refused);
    EXPECT_TRUE(got);
}

TEST(CapiVersion, TheLibraryIsTheVersionOfItsHeader) {
    int32_t major = -1, minor = -1, patch = -1;
    ASSERT_EQ(portnet_version(&major, &minor, &patch), PORTNET_OK);
    EXPECT_EQ(major, PORTNET_VERSION_MAJOR);
    EXPECT_EQ(minor, PORTNET_VERSION_MINOR);
    EXPECT_EQ(patch, PORTNET_VERSION_PATCH);
    EXPECT_EQ(portnet_version(nullptr, &minor, &patch), PORTNET_E_ARGUMENT);
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
