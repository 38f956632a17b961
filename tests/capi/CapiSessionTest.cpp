// A host and players driven through the C API alone: over the simulator with its impairments,
// and over UDP; messages in order, states converging, a block, the reasons of departures, and
// no allocation in the frames of a running session.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <chrono>
#include <thread>
#include <vector>

#include "ReplicatedObjects.h"
#include "integration/CountAllocations.h"
#include "portnet/portnet.h"
#include "portnet/portnet_c.h"
#ifdef PORTNET_HAS_SECURE
#include "portnet/portnet_secure_c.h"
#endif

namespace {

using Ints = std::vector<int>;

enum : int { kChatPort = 0, kWorldPort = 1, kMapPort = 2, kPorts = 3, kWorldSize = 200 };

struct CapiLibrary : ::testing::Test {
    void SetUp() override { ASSERT_EQ(portnet_init(0), PORTNET_OK); }
    void TearDown() override {
        portnet_time_manual(0);
        EXPECT_EQ(portnet_shutdown(), PORTNET_OK);
    }
};

// A peer's side of the session as the game sees it: what arrived, in order.
struct Seen {
    int next_line[8] = {}; // per slot, the next line number expected
    int bad_lines = 0;
    int joined = 0, left = 0, connected = 0, lost = 0, failed = 0, states = 0, blocks = 0;
    int last_reason = 0;
    std::vector<unsigned char> block;
};

// Drains the events of m; lines are "line N" and must come 0, 1, 2 ... per slot.
void Drain(portnet_handle m, Seen* s) {
    portnet_event ev;
    static unsigned char buf[1 << 20];
    portnet_status st;
    while ((st = portnet_poll(m, &ev, buf, sizeof buf)) == PORTNET_OK) {
        const int t = ev.type;
        s->joined += t == PORTNET_EVENT_JOINED, s->left += t == PORTNET_EVENT_LEFT;
        s->connected += t == PORTNET_EVENT_CONNECTED, s->lost += t == PORTNET_EVENT_LOST;
        s->failed += t == PORTNET_EVENT_FAILED, s->states += t == PORTNET_EVENT_STATE;
        if (t == PORTNET_EVENT_LEFT || t == PORTNET_EVENT_LOST || t == PORTNET_EVENT_FAILED)
            s->last_reason = ev.reason;
        if (t == PORTNET_EVENT_BLOCK) ++s->blocks, s->block.assign(buf, buf + ev.length);
        if (t != PORTNET_EVENT_MESSAGE) continue;
        char expect[32];
        const int slot = ev.slot < 0 || ev.slot > 7 ? 0 : ev.slot;
        std::snprintf(expect, sizeof expect, "line %d", s->next_line[slot]);
        if (ev.length == std::strlen(expect) + 1 && std::memcmp(buf, expect, ev.length) == 0)
            ++s->next_line[slot];
        else
            ++s->bad_lines;
    }
    ASSERT_EQ(st, PORTNET_NONE);
}

// Sets up the ports every side holds: a chat on each link's own port, the host's world state,
// a block port for the map.
void Ports(portnet_handle m, bool host) {
    ASSERT_EQ(portnet_message_port(m, kChatPort), PORTNET_OK);
    ASSERT_EQ(portnet_state_port(m, kWorldPort, kWorldSize, 32), PORTNET_OK);
    ASSERT_EQ(portnet_block_port(m, kMapPort, 0), PORTNET_OK);
    ASSERT_EQ(portnet_peer_ports(m, kChatPort, 1, 1), PORTNET_OK);
    ASSERT_EQ(portnet_peer_ports(m, kWorldPort, host ? 0 : 1, host ? 1 : 0), PORTNET_OK);
    ASSERT_EQ(portnet_peer_ports(m, kMapPort, 1, 1), PORTNET_OK);
}

void World(int frame, unsigned char* w) {
    for (int i = 0; i < kWorldSize; ++i) // a few bytes change each frame, the rest stay
        w[i] = static_cast<unsigned char>(i % 7 == frame % 7 ? frame + i : i);
}

TEST_F(CapiLibrary, HostAndTwoPlayersOverAnImpairedSimulatorChatInOrderAndConverge) {
    portnet_handle net, host_end, ends[2], host, players[2];
    ASSERT_EQ(portnet_sim_network_create(11, 0, &net), PORTNET_OK);
    ASSERT_EQ(portnet_sim_endpoint_create(net, 1, 0, &host_end), PORTNET_OK);
    portnet_impairment bad = {};
    bad.loss_percent = 5;
    bad.latency_ms = 30;
    bad.jitter_ms = 10;
    bad.duplicate_percent = 2;
    bad.max_backlog_ms = 250;
    ASSERT_EQ(portnet_set_impairment(host_end, &bad), PORTNET_OK);
    ASSERT_EQ(portnet_server_create(host_end, kPorts, 4, &host), PORTNET_OK);
    Ports(host, true);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(portnet_sim_endpoint_create(net, 2 + i, 0, &ends[i]), PORTNET_OK);
        ASSERT_EQ(portnet_set_impairment(ends[i], &bad), PORTNET_OK);
        ASSERT_EQ(portnet_connection_create(ends[i], kPorts, &players[i]), PORTNET_OK);
        Ports(players[i], false);
        ASSERT_EQ(portnet_connect(players[i], "LOCAL:1"), PORTNET_OK);
    }
    portnet_time_manual(1);
    Seen hs, ps[2];
    int said_host[2] = {}, said_player[2] = {};
    unsigned char world[kWorldSize], got[kWorldSize];
    std::vector<unsigned char> map(100000);
    for (size_t i = 0; i < map.size(); ++i)
        map[i] = static_cast<unsigned char>(i * 13 + i / 256);
    bool map_sent = false;
    long allocations_in_steady_frames = -1;
    const int kFrames = 1700;
    for (int frame = 0; frame < kFrames; ++frame) {
        const int now = frame * 16;
        portnet_time_set(now);
        portnet_sim_set_time(net, now);
        portnet_time_update(nullptr);
        // Steady frames of a running session (both joined, the map delivered) are counted.
        const bool counting = frame >= 1000 && frame < 1100; // chat and world still going
        if (counting && allocations_in_steady_frames < 0) allocations_in_steady_frames = 0;
        g_counting = counting;
        const long before = g_allocations;
        World(frame < 1300 ? frame : 1300, world); // then still, for the players to catch up
        portnet_set_state(host, 0, kWorldPort, world, kWorldSize);
        for (int i = 0; i < 2; ++i) {
            char line[32];
            if (said_host[i] < 60 && frame % 20 == 0) {
                std::snprintf(line, sizeof line, "line %d", said_host[i]);
                if (portnet_send_message(host, i, kChatPort, line, (int)strlen(line) + 1) ==
                    PORTNET_OK)
                    ++said_host[i];
            }
            if (said_player[i] < 60 && frame % 19 == 0) {
                std::snprintf(line, sizeof line, "line %d", said_player[i]);
                if (portnet_send_message(players[i], 0, kChatPort, line, (int)strlen(line) + 1) ==
                    PORTNET_OK)
                    ++said_player[i];
            }
        }
        portnet_frame(host);
        portnet_frame(players[0]);
        portnet_frame(players[1]);
        Drain(host, &hs);
        Drain(players[0], &ps[0]);
        Drain(players[1], &ps[1]);
        if (counting) allocations_in_steady_frames += g_allocations - before;
        g_counting = false;
        if (!map_sent && hs.joined == 2) {
            uint32_t id = 0;
            ASSERT_EQ(portnet_send_block(host, 1, kMapPort, map.data(), (uint32_t)map.size(), &id),
                      PORTNET_OK);
            EXPECT_EQ(id, 1u);
            map_sent = true;
        }
    }
    EXPECT_EQ((Ints{hs.joined, hs.bad_lines}), (Ints{2, 0}));
    for (int i = 0; i < 2; ++i) {
        // Every line of each side in order, the world converged, 5 % loss seen.
        portnet_peer_stats st;
        ASSERT_EQ(portnet_get_state(players[i], 0, kWorldPort, got, sizeof got), PORTNET_OK);
        ASSERT_EQ(portnet_get_peer_stats(host, i, &st), PORTNET_OK);
        EXPECT_EQ((Ints{ps[i].connected, ps[i].bad_lines, ps[i].next_line[0], hs.next_line[i],
                        ps[i].states > 100, std::memcmp(got, world, kWorldSize),
                        st.packets_in > 300, st.lost_packets > 0, st.ping_ms >= 60}),
                  (Ints{1, 0, 60, 60, 1, 0, 1, 1, 1}))
            << i;
    }
    // The map went to slot 1 alone.
    portnet_connection_info ci;
    ASSERT_EQ(portnet_get_connection_info(players[1], &ci), PORTNET_OK);
    const int k = ci.slot == 1 ? 1 : 0; // the player in slot 1
    portnet_sim_stats sim;
    ASSERT_EQ(portnet_get_sim_stats(net, &sim), PORTNET_OK);
    EXPECT_EQ((Ints{ps[1 - k].blocks, ps[k].blocks, ps[k].block == map, sim.dropped_loss > 0,
                    sim.duplicated > 0}),
              (Ints{0, 1, 1, 1, 1}));
    EXPECT_EQ(allocations_in_steady_frames, 0) << "frames, sends and polls allocate nothing";

    // The host kicks the player in slot 1; the other leaves on its own: each side hears why.
    ASSERT_EQ(portnet_server_kick(host, 1), PORTNET_OK);
    ASSERT_EQ(portnet_leave(players[1 - k]), PORTNET_OK);
    for (int frame = kFrames; frame < kFrames + 60; ++frame) {
        portnet_time_set(frame * 16);
        portnet_sim_set_time(net, frame * 16);
        portnet_time_update(nullptr);
        for (portnet_handle m : {host, players[0], players[1]})
            portnet_frame(m);
        Drain(host, &hs);
        Drain(players[0], &ps[0]);
        Drain(players[1], &ps[1]);
    }
    // The kicked player hears the host's goodbye; one that left is told nothing more.
    portnet_server_info info;
    ASSERT_EQ(portnet_get_server_info(host, &info), PORTNET_OK);
    ASSERT_EQ(portnet_get_connection_info(players[k], &ci), PORTNET_OK);
    EXPECT_EQ((Ints{hs.left, ps[k].lost, ps[k].last_reason, ps[1 - k].lost, info.num_peers,
                    int(info.events_dropped), ci.state}),
              (Ints{2, 1, PORTNET_GONE_LEFT, 0, 0, 0, PORTNET_CONN_LOST}));
}

// A dual-stack host reached over ::1 and over 127.0.0.1 through the C API: each player joins,
// the host names each by the family it came from, and one player too many is refused with its
// reason. Loopback endpoints join as over UDP.
TEST_F(CapiLibrary, PlayersOfBothFamiliesJoinAFullHostRefusesAndLoopbackPairsJoin) {
    portnet_handle udp_host, udp6, udp4, udp_b, host, p6, p4, b;
    ASSERT_EQ(portnet_udp_create("[::]:0", &udp_host), PORTNET_OK);
    ASSERT_EQ(portnet_udp_create("[::1]:0", &udp6), PORTNET_OK);
    ASSERT_EQ(portnet_udp_create("127.0.0.1:0", &udp4), PORTNET_OK);
    ASSERT_EQ(portnet_udp_create("127.0.0.1:0", &udp_b), PORTNET_OK);
    char addr[PORTNET_MAX_ADDRESS], to6[PORTNET_MAX_ADDRESS + 16], to4[PORTNET_MAX_ADDRESS + 16];
    ASSERT_EQ(portnet_driver_address(udp_host, addr, sizeof addr), PORTNET_OK);
    ASSERT_EQ(std::strncmp(addr, "[::]:", 5), 0) << addr;
    std::snprintf(to6, sizeof to6, "[::1]:%s", addr + 5);
    std::snprintf(to4, sizeof to4, "127.0.0.1:%s", addr + 5);
    ASSERT_EQ(portnet_server_create(udp_host, kPorts, 2, &host), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(udp6, kPorts, &p6), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(udp4, kPorts, &p4), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(udp_b, kPorts, &b), PORTNET_OK);
    for (portnet_handle m : {host, p6, p4, b})
        Ports(m, m == host);
    ASSERT_EQ(portnet_connect(p6, to6), PORTNET_OK);
    ASSERT_EQ(portnet_connect(p4, to4), PORTNET_OK);
    Seen hs, s6, s4, sb;
    bool b_asked = false;
    for (int frame = 0; frame < 400 && sb.failed == 0; ++frame) {
        if (!b_asked && s6.connected && s4.connected) { // the table is full now
            ASSERT_EQ(portnet_connect(b, to4), PORTNET_OK);
            b_asked = true;
        }
        portnet_time_update(nullptr);
        for (portnet_handle m : {host, p6, p4, b})
            portnet_frame(m);
        Drain(host, &hs);
        Drain(p6, &s6);
        Drain(p4, &s4);
        Drain(b, &sb);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ((Ints{s6.connected, s4.connected, sb.failed, sb.last_reason}),
              (Ints{1, 1, 1, PORTNET_GONE_REFUSED}));
    char a6[PORTNET_MAX_ADDRESS], a4[PORTNET_MAX_ADDRESS], peer[PORTNET_MAX_ADDRESS];
    ASSERT_EQ(portnet_driver_address(udp6, a6, sizeof a6), PORTNET_OK);
    ASSERT_EQ(portnet_driver_address(udp4, a4, sizeof a4), PORTNET_OK);
    EXPECT_EQ(std::strncmp(a4, "127.0.0.1:", 10), 0) << a4;
    int found = 0;
    for (int slot = 0; slot < 2; ++slot) {
        ASSERT_EQ(portnet_peer_address(host, slot, peer, sizeof peer), PORTNET_OK);
        found += std::strcmp(peer, a6) == 0 ? 1 : std::strcmp(peer, a4) == 0 ? 2 : 0;
    }
    EXPECT_EQ(found, 3) << "the host names one player [::1] and the other 127.0.0.1";

    portnet_handle la, lb, lhost, lplayer;
    ASSERT_EQ(portnet_loopback_create(7, &la), PORTNET_OK);
    ASSERT_EQ(portnet_loopback_create(8, &lb), PORTNET_OK);
    ASSERT_EQ(portnet_server_create(la, 1, 0, &lhost), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(lb, 1, &lplayer), PORTNET_OK);
    ASSERT_EQ(portnet_connect(lplayer, "LOCAL:7"), PORTNET_OK);
    Seen lh, lp;
    for (int frame = 0; frame < 200 && lp.connected == 0; ++frame) {
        portnet_time_update(nullptr);
        portnet_frame(lhost);
        portnet_frame(lplayer);
        Drain(lhost, &lh);
        Drain(lplayer, &lp);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ((Ints{lh.joined, lp.connected}), (Ints{1, 1}));
}

// The example CPositionState's record in C: a mask of the floats that differ from the base (all
// three without one), then those floats, little-endian.
int32_t EncodePosition(void*, int32_t, const uint8_t* state, const uint8_t* base, int32_t size,
                       uint8_t* out, int32_t room) {
    if (size != 12) return -1;
    unsigned mask = 0;
    for (int i = 0; i < 3; ++i)
        if (!base || std::memcmp(state + 4 * i, base + 4 * i, 4) != 0) mask |= 1u << i;
    if (mask == 0) return 0;
    int need = 1;
    for (int i = 0; i < 3; ++i)
        need += (mask >> i & 1) ? 4 : 0;
    if (need > room) return need;
    out[0] = static_cast<uint8_t>(mask);
    int at = 1;
    for (int i = 0; i < 3; ++i)
        if (mask >> i & 1) std::memcpy(out + at, state + 4 * i, 4), at += 4;
    return at;
}

int32_t DecodePosition(void* user, int32_t, const uint8_t* in, int32_t avail, const uint8_t* base,
                       int32_t size, uint8_t* state) {
    ++*static_cast<int*>(user);
    if (size != 12 || avail < 1 || in[0] > 7 || (!base && in[0] != 7)) return -1;
    if (base) std::memcpy(state, base, 12);
    int at = 1;
    for (int i = 0; i < 3; ++i) {
        if (!(in[0] >> i & 1)) continue;
        if (at + 4 > avail) return -1;
        std::memcpy(state + 4 * i, in + at, 4);
        at += 4;
    }
    return at;
}

// A C++ host with its own state class and a C player that codes that state with functions of
// its own: the position crosses both ways, and deltas against bases arrive right.
TEST_F(CapiLibrary, ACodecPortSpeaksTheWireFormatOfAHostsOwnCppState) {
    struct Host : CNetServer {
        int MakeOwnPort(CNetDataPort* port) override {
            port->m_object = new portnet_examples::CPositionState;
            port->m_writing_history =
                new CNetDataHistory(16, new portnet_examples::CPositionState, 0);
            port->m_reading_history =
                new CNetDataHistory(16, new portnet_examples::CPositionState, 0);
            return 1;
        }
    } host;
    portnet_handle end, player;
    int decoded = 0;
    CNetUDP host_udp("127.0.0.1:0");
    ASSERT_EQ(host_udp.Init(), 0);
    ASSERT_EQ(host.Init(&host_udp, 2), 1);
    auto* ball = new portnet_examples::CPositionState;
    host.SetPortA(1, ball);
    host.m_ports[1].m_writing_history =
        new CNetDataHistory(16, new portnet_examples::CPositionState, 1);
    host.m_ports[1].m_reading_history =
        new CNetDataHistory(16, new portnet_examples::CPositionState, 1);
    host.InitPort(1, -1);
    host.SetPeerPorts(0, true, false);
    host.SetPeerPorts(1, false, true);
    ASSERT_EQ(portnet_udp_create("127.0.0.1:0", &end), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(end, 2, &player), PORTNET_OK);
    ASSERT_EQ(portnet_codec_port(player, 0, 12, 16, EncodePosition, DecodePosition, &decoded),
              PORTNET_OK);
    ASSERT_EQ(portnet_codec_port(player, 1, 12, 16, EncodePosition, DecodePosition, &decoded),
              PORTNET_OK);
    ASSERT_EQ(portnet_peer_ports(player, 0, 0, 1), PORTNET_OK);
    ASSERT_EQ(portnet_peer_ports(player, 1, 1, 0), PORTNET_OK);
    ASSERT_EQ(portnet_connect(player, host_udp.GetAddr()), PORTNET_OK);
    Seen ps;
    float mine[3] = {0, 0, 0}, seen[3] = {0, 0, 0};
    int host_failures = 0;
    for (int frame = 0; frame < 200; ++frame) {
        CNetTime::Update();
        // The ball moves along x only: most records are deltas of one float.
        if (frame < 150) ball->m_pos[0] = frame * 0.5f, ball->m_pos[2] = 7.0f;
        mine[1] = frame < 150 ? frame * 0.25f : mine[1];
        portnet_set_state(player, 0, 0, mine, sizeof mine);
        host_failures += host.BeginFrame() < 0;
        host_failures += host.Read() < 0;
        host_failures += host.Update(false) < 0;
        host_failures += host.Write() < 0;
        host_failures += host.EndFrame() < 0;
        EXPECT_NE(portnet_frame(player), PORTNET_E_FRAME);
        Drain(player, &ps);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    // The host read every record the C player encoded, and each side holds the other's last.
    ASSERT_EQ(portnet_get_state(player, 0, 1, seen, sizeof seen), PORTNET_OK);
    CNetPeer* p = host.GetPeer(0);
    ASSERT_NE(p, nullptr);
    const auto* own = static_cast<portnet_examples::CPositionState*>(p->m_own_port->m_object);
    EXPECT_EQ((Ints{host_failures, ps.connected, decoded > 100}), (Ints{0, 1, 1}));
    EXPECT_EQ((std::vector<float>{seen[0], seen[2], own->m_pos[1]}),
              (std::vector<float>{149 * 0.5f, 7.0f, 149 * 0.25f}));
}

#ifdef PORTNET_HAS_SECURE
// A backend mints a token; the player presents it over DTLS and chats; the host sees who
// joined, then shuts the player out.
TEST_F(CapiLibrary, ASecurePlayerJoinsWithATokenAndAKickedPlayerIsGone) {
    const uint8_t sealing[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    const char* servers[] = {"eu-1"};
    char token[PORTNET_TOKEN_MAX_TEXT + 1];
    uint8_t player_key[PORTNET_TOKEN_KEY_LEN];
    ASSERT_EQ(portnet_token_mint(sealing, 7, 4242, 300, servers, 1, nullptr, 0, token, sizeof token,
                                 player_key),
              PORTNET_OK);
    portnet_handle host_udp, player_udp, host_dtls, player_dtls, host, player;
    ASSERT_EQ(portnet_udp_create("127.0.0.1:0", &host_udp), PORTNET_OK);
    ASSERT_EQ(portnet_udp_create("127.0.0.1:0", &player_udp), PORTNET_OK);
    ASSERT_EQ(portnet_dtls_create_token_host(host_udp, sealing, "eu-1", 7, nullptr, &host_dtls),
              PORTNET_OK);
    ASSERT_EQ(portnet_dtls_create_psk(player_udp, PORTNET_DTLS_CONNECT, player_key,
                                      PORTNET_TOKEN_KEY_LEN, token, nullptr, &player_dtls),
              PORTNET_OK);
    EXPECT_EQ(portnet_destroy(host_udp), PORTNET_E_IN_USE) << "the secure driver wraps it";
    ASSERT_EQ(portnet_server_create(host_dtls, kPorts, 2, &host), PORTNET_OK);
    ASSERT_EQ(portnet_connection_create(player_dtls, kPorts, &player), PORTNET_OK);
    Ports(host, true);
    Ports(player, false);
    char addr[PORTNET_MAX_ADDRESS];
    ASSERT_EQ(portnet_driver_address(host_dtls, addr, sizeof addr), PORTNET_OK);
    ASSERT_EQ(portnet_connect(player, addr), PORTNET_OK);
    Seen hs, ps;
    uint64_t joined_as = 0;
    for (int frame = 0; frame < 400 && hs.left == 0; ++frame) {
        portnet_time_update(nullptr);
        if (ps.connected && frame % 10 == 0 && ps.next_line[1] < 5) {
            char line[32];
            std::snprintf(line, sizeof line, "line %d", ps.next_line[1]++);
            ASSERT_EQ(portnet_send_message(player, 0, kChatPort, line, (int)strlen(line) + 1),
                      PORTNET_OK);
        }
        portnet_frame(host);
        portnet_frame(player);
        portnet_event ev;
        unsigned char buf[1024];
        while (portnet_poll(host, &ev, buf, sizeof buf) == PORTNET_OK) {
            if (ev.type == PORTNET_EVENT_JOINED) joined_as = ev.player_id;
            if (ev.type == PORTNET_EVENT_LEFT) ++hs.left, hs.last_reason = ev.reason;
            if (ev.type == PORTNET_EVENT_MESSAGE) ++hs.next_line[0];
        }
        Drain(player, &ps);
        if (frame == 250) {
            int32_t ended = 0;
            ASSERT_EQ(portnet_dtls_kick_player(host_dtls, 4242, 0, &ended), PORTNET_OK);
            EXPECT_EQ(ended, 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    portnet_dtls_stats st;
    ASSERT_EQ(portnet_dtls_get_stats(host_dtls, &st), PORTNET_OK);
    EXPECT_EQ((Ints{int(joined_as), hs.next_line[0], hs.left, hs.last_reason,
                    int(st.handshakes_completed), st.open_sessions}),
              (Ints{4242, 5, 1, PORTNET_GONE_KICKED, 1, 0}));
}
#endif

} // namespace
