// Many players at once through CNetDtls: its limits follow the server's table, a full table
// refuses at once and visibly, and the handshake counters add up whatever happened.
#include <algorithm>
#include <string>

#include "SecureRig.h"

namespace {

using namespace secure;
using rig::s_now;

// How far the handshake counters are from adding up: started - (completed + failed + in
// progress), and failed - the sum of its reasons. {0, 0} when they do.
Ints Unbalanced(const CNetDtls& d) {
    const SNetDtlsStats& s = d.m_stats;
    const std::uint32_t reasons =
        s.m_token_malformed + s.m_token_unopened + s.m_token_expired + s.m_token_not_yet_valid +
        s.m_token_wrong_server + s.m_identity_unknown + s.m_identity_denied + s.m_key_mismatch +
        s.m_refused_full + s.m_refused_by_peer + s.m_handshake_errors + s.m_handshake_timeouts +
        s.m_handshakes_yielded + s.m_handshakes_abandoned;
    return {int(s.m_handshakes_started - s.m_handshakes_completed - s.m_handshakes_failed) -
                d.GetHalfOpen(),
            int(s.m_handshakes_failed - reasons)};
}

// Handshakes end on CNetTime here; DTLS repeats flights on the system clock, which these runs
// never give time to: the simulated network loses nothing, so no flight needs repeating.
SNetDtlsConfig Quick(int role, const unsigned char* key = kKey) {
    SNetDtlsConfig c = PskConfig(role, key);
    c.m_retransmit_ms = 250;
    c.m_handshake_timeout_ms = 1000;
    return c;
}

struct Crowd : rig::Clocked {
    // Players at endpoints 100.., each with its first event (type, reason, frame time).
    void Join(CNetSimNetwork* net, int n, const SNetDtlsConfig& c) {
        for (int k = 0; k < n; ++k) {
            players.emplace_back(new SecurePeer(net, 100 + int(players.size()), c));
            ASSERT_TRUE(players.back()->ok);
            first.push_back({0, 0, -1});
        }
    }
    void Run(CNetSimNetwork& net, SecureHost& host, int frames) {
        for (int f = 0; f < frames; ++f) {
            Tick(net);
            rig::Step(host.server);
            for (std::size_t i = 0; i < players.size(); ++i) {
                rig::Step(players[i]->conn);
                for (SNetConnectionEvent e; players[i]->conn.PollEvent(&e);)
                    if (first[i][0] == 0) first[i] = {e.m_type, e.m_reason, s_now};
            }
        }
    }
    std::vector<std::unique_ptr<SecurePeer>> players;
    std::vector<Ints> first;
};

using SecureCrowd = Crowd;

// A table of 24 and 20 players at once: the host's limits follow the table, every player is in
// within a few hundred ms, none of them waits for a repeated hello. Two players with another
// key and one with an unknown identity beside them are counted once each, by reason.
TEST_F(SecureCrowd, TwentyPlayersJoinATableOf24PromptlyAndEveryHandshakeIsCountedOnce) {
    CNetSimNetwork net(6);
    SecureHost host(&net, Quick(SNetDtlsConfig::kAccept), 24);
    ASSERT_TRUE(host.ok);
    EXPECT_EQ((Ints{host.dtls.GetMaxSessions(), host.dtls.GetMaxHalfOpen()}), (Ints{52, 24}));
    Join(&net, 20, Quick(SNetDtlsConfig::kConnect));
    Join(&net, 2, Quick(SNetDtlsConfig::kConnect, kOtherKey));
    SNetDtlsConfig stranger = Quick(SNetDtlsConfig::kConnect);
    stranger.m_psk_identity = "stranger";
    Join(&net, 1, stranger);
    Run(net, host, 150); // 2.4 s: the strangers' handshakes time out on both sides

    int joined = 0, latest = 0;
    for (int i = 0; i < 20; ++i) {
        joined += first[i][0] == SNetConnectionEvent::kConnected;
        latest = std::max(latest, first[i][2]);
        EXPECT_EQ(Unbalanced(players[i]->dtls), (Ints{0, 0})) << i;
    }
    std::printf("20 players joined a table of 24 within %d ms\n", latest);
    EXPECT_EQ((Ints{joined, latest <= 300, host.server.GetNumPeers()}), (Ints{20, 1, 20}));
    for (int i = 20; i < 23; ++i) {
        const SNetDtlsStats& st = players[i]->dtls.m_stats;
        EXPECT_EQ((Ints{first[i][0], first[i][1], int(st.m_handshake_timeouts),
                        int(st.m_handshakes_failed)}),
                  (Ints{SNetConnectionEvent::kFailed, kNetGoneSessionEnded, 1, 1}))
            << i;
        EXPECT_EQ(Unbalanced(players[i]->dtls), (Ints{0, 0})) << i;
    }
    const SNetDtlsStats& st = host.dtls.m_stats;
    EXPECT_EQ(
        (Ints{int(st.m_handshakes_started), int(st.m_handshakes_completed), int(st.m_key_mismatch),
              int(st.m_identity_unknown), int(st.m_handshakes_failed), int(st.m_hellos_deferred)}),
        (Ints{23, 20, 2, 1, 3, 0}));
    EXPECT_EQ(Unbalanced(host.dtls), (Ints{0, 0}));
}

// The host holds 8 sessions, its own number kept over the table's, and 12 players come at
// once: 8 join, and each of the other 4 is told by an alert after its cookie round trip and
// fails at once, never left to its time-out. A sender that has not echoed a cookie gets the
// cookie only, full table or not. A player that leaves makes room for one more.
TEST_F(SecureCrowd, WhenEverySessionIsTakenTheRestAreRefusedAtOnceAndCounted) {
    CNetSimNetwork net(7);
    SNetDtlsConfig hc = Quick(SNetDtlsConfig::kAccept);
    hc.m_max_sessions = 8;
    SecureHost host(&net, hc, 8);
    ASSERT_TRUE(host.ok);
    EXPECT_EQ((Ints{host.dtls.GetMaxSessions(), host.dtls.GetMaxHalfOpen()}), (Ints{8, 8}));
    Join(&net, 12, Quick(SNetDtlsConfig::kConnect));
    Run(net, host, 40);

    int joined = 0;
    for (std::size_t i = 0; i < players.size(); ++i) {
        const SNetDtlsStats& ps = players[i]->dtls.m_stats;
        if (first[i][0] == SNetConnectionEvent::kConnected) {
            ++joined;
            continue;
        }
        // Hello, cookie, hello, alert: two round trips of a frame each way, then the report.
        EXPECT_EQ((Ints{first[i][0], first[i][1], first[i][2] <= 6 * rig::kFrameMs,
                        int(ps.m_refused_by_peer), int(ps.m_handshake_timeouts)}),
                  (Ints{SNetConnectionEvent::kFailed, kNetGoneSessionEnded, 1, 1, 0}))
            << i;
        // All the host ever sent it: the cookie, then the alert (fatal, internal_error).
        std::vector<std::vector<unsigned char>> sent;
        for (const Tap::Sent& d : host.tap.m_sent)
            if (d.to.sin_port == players[i]->sim.m_endpoint_id) sent.push_back(d.bytes);
        ASSERT_EQ(sent.size(), 2u) << i;
        EXPECT_EQ((Ints{sent[0][0], sent[1][0], int(sent[1].size()), sent[1][13], sent[1][14]}),
                  (Ints{22, 21, 15, 2, 80}))
            << i;
        EXPECT_EQ(Unbalanced(players[i]->dtls), (Ints{0, 0})) << i;
    }
    const SNetDtlsStats& st = host.dtls.m_stats;
    EXPECT_EQ((Ints{joined, host.server.GetNumPeers(), int(st.m_refused_full),
                    int(st.m_handshakes_started), int(st.m_handshakes_completed)}),
              (Ints{8, 8, 4, 12, 8}));
    EXPECT_EQ(Unbalanced(host.dtls), (Ints{0, 0}));

    // A ClientHello without a cookie, from a sender that never answers: one cookie back.
    CNetSimDriver quiet_sim(&net, 98);
    Tap quiet_tap(&quiet_sim);
    quiet_tap.m_swallow = true;
    CNetDtls quiet(&quiet_tap, Quick(SNetDtlsConfig::kConnect));
    char ping = 1;
    sockaddr_in to = rig::Addr(rig::kServerId);
    ASSERT_EQ(quiet.SendTo(1, &ping, &to), 0);
    ASSERT_EQ(quiet_tap.m_sent.size(), 1u);
    CNetSimDriver raw(&net, 99);
    raw.Init();
    std::vector<unsigned char> hello = quiet_tap.m_sent[0].bytes;
    raw.SendTo(int(hello.size()), hello.data(), &to);
    Run(net, host, 10);
    std::vector<std::vector<unsigned char>> to_raw;
    for (const Tap::Sent& d : host.tap.m_sent)
        if (d.to.sin_port == 99) to_raw.push_back(d.bytes);
    ASSERT_EQ(to_raw.size(), 1u);
    EXPECT_EQ((Ints{to_raw[0][0], to_raw[0].size() <= hello.size(), int(st.m_refused_full)}),
              (Ints{22, 1, 4}));

    quiet.Disconnected(&to); // its host gives up on the handshake it started
    EXPECT_EQ((Ints{int(quiet.m_stats.m_handshakes_abandoned), quiet.GetHalfOpen()}), (Ints{1, 0}));
    EXPECT_EQ(Unbalanced(quiet), (Ints{0, 0}));

    // A player leaves (goodbye, close_notify): the next one is let in.
    for (auto& p : players)
        if (p->conn.GetState() == CNetConnection::kConnected) {
            p->conn.Leave();
            break;
        }
    Join(&net, 1, Quick(SNetDtlsConfig::kConnect));
    Run(net, host, 20);
    EXPECT_EQ((Ints{first.back()[0], host.server.GetNumPeers(), int(st.m_refused_full)}),
              (Ints{SNetConnectionEvent::kConnected, 8, 4}));
    EXPECT_EQ(Unbalanced(host.dtls), (Ints{0, 0}));
}

struct Limits {
    const char* name;
    int sessions, half_open; // as configured
    int table;
    int want_sessions, want_half_open;
};

// Left at 0, the limits follow the table: handshakes = the table (at most 256), sessions = the
// table + handshakes + max(4, table / 8). A number the host set stays.
const Limits kLimits[] = {
    {"connection", 0, 0, 1, 6, 1},     {"default_table", 0, 0, 8, 20, 8},
    {"table_of_24", 0, 0, 24, 52, 24}, {"largest_table", 0, 0, 4096, 4096 + 256 + 512, 256},
    {"sessions_set", 8, 0, 24, 8, 8},  {"half_open_set", 0, 2, 24, 30, 2},
    {"both_set", 16, 8, 4096, 16, 8},
};

class SecureLimitsFollow : public ::testing::TestWithParam<Limits> {};

// Also while a session is open: the table grows under it, shrinks only once it is gone, and
// chat goes on throughout.
TEST_P(SecureLimitsFollow, TheTableUnlessSetAndAnOpenSessionSurvivesTheChange) {
    const Limits& k = GetParam();
    SNetDtlsConfig ca = PskConfig(SNetDtlsConfig::kAccept);
    ca.m_max_sessions = k.sessions, ca.m_max_half_open = k.half_open;
    Pair p(SNetImpairment{}, ca, PskConfig(SNetDtlsConfig::kConnect));
    ASSERT_GT(p.Handshake(200), 0);
    ChatLine ba{"b"};
    auto chat = [&](int frames) {
        for (int f = 0; f < frames; ++f) {
            ba.Speak(p.b->host.Chat());
            p.Tick();
            ba.Hear(p.a->host.Chat());
        }
        return ba.heard;
    };
    const int before = chat(30);
    p.a->dtls.ExpectPeers(k.table);
    EXPECT_EQ((Ints{p.a->dtls.GetMaxSessions(), p.a->dtls.GetMaxHalfOpen()}),
              (Ints{k.want_sessions, k.want_half_open}));
    EXPECT_EQ((Ints{chat(30) > before + 10, ba.wrong, p.a->dtls.GetOpenSessions()}),
              (Ints{1, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Tables, SecureLimitsFollow, ::testing::ValuesIn(kLimits),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
