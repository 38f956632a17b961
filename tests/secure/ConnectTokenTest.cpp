// Connect tokens: a server with a sealing key and no list of players lets in exactly the holders
// of a valid token and its key, says who they are, refuses the rest alike on the wire, and can
// shut one player out.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "SecurePair.h"
#include "portnet/CNetConnectToken.h"

using namespace secure;

namespace {

const unsigned char kSealing[32] = {0xA1, 0xB2, 0xC3, 7}, kOtherSealing[32] = {0xA1, 8};
const std::uint64_t kGame = 0x74656E74726F70; // the protocol id
const std::string kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
std::uint64_t g_now = 1800000000; // the servers' UTC clock

struct Minted {
    std::string token;
    unsigned char key[32];
};

Minted Mint(std::uint64_t player, std::int64_t from = -60, std::int64_t to = 600,
            const char* server = "eu-1", const unsigned char* sealing = kSealing) {
    SNetConnectToken t;
    t.m_protocol_id = kGame, t.m_player_id = player;
    t.m_valid_from = g_now + from, t.m_expires = g_now + to;
    t.m_user_data_len = 3, std::memcpy(t.m_user_data, "red", 3);
    t.m_num_servers = 2, std::strcpy(t.m_servers[0], "us-9"), std::strcpy(t.m_servers[1], server);
    char text[CNetConnectToken::kMaxText + 1];
    Minted m{CNetConnectToken::Mint(&t, sealing, text, sizeof text) > 0 ? text : "", {}};
    std::memcpy(m.key, t.m_player_key, 32);
    return m;
}

// Minted by the Python backend; empty without it.
Minted MintInPython() {
    char args[200];
    std::snprintf(args, sizeof args, "a1b2c307%056d %llu 4242 %llu %llu 726564 us-9 eu-1", 0,
                  (unsigned long long)kGame, (unsigned long long)g_now - 60,
                  (unsigned long long)g_now + 600);
    Minted m{};
    if (!secure::MintInPython(args, &m.token, m.key)) m.token.clear();
    return m;
}

// A host's own store of keys instead of tokens: alice is player 7.
int Lookup(void*, const char* identity, unsigned char* key, SNetPeerIdentity* who) {
    if (std::strcmp(identity, "alice") != 0) return 0;
    std::memcpy(key, kKey, 32);
    who->m_player_id = 7;
    return 32;
}

SNetDtlsConfig Server(bool lookup = false, bool plain = false) {
    SNetDtlsConfig c = PskConfig(SNetDtlsConfig::kAccept);
    c.m_handshake_timeout_ms = 1000;
    if (plain) return c; // one identity and key of its own, no tokens
    c.m_psk_key = nullptr;
    c.m_token_key = lookup ? nullptr : kSealing;
    c.m_key_lookup = lookup ? Lookup : nullptr;
    c.m_token_server = "eu-1", c.m_token_protocol_id = kGame;
    c.m_token_clock = [] { return g_now; };
    return c;
}

SNetDtlsConfig Player(const Minted& m, const unsigned char* key = nullptr) {
    SNetDtlsConfig c = PskConfig(SNetDtlsConfig::kConnect, key ? key : m.key);
    c.m_psk_identity = m.token.c_str();
    c.m_handshake_timeout_ms = 1000;
    return c;
}

// Frames of both sides (and extra's) with B saying chat lines; the lines A heard.
int RunChat(Pair& p, int frames, Side* extra = nullptr) {
    ChatLine ba{"b"};
    for (int f = 0; f < frames; ++f) {
        ba.Speak(p.b->host.Chat());
        p.Tick();
        if (extra) extra->host.Frame();
        ba.Hear(p.a->host.Chat());
    }
    return ba.wrong == 0 ? ba.heard : -1;
}

// B starts again with m and chats beside C: the lines A heard.
int Rejoin(Pair& p, const Minted& m, Side* c) {
    p.b.reset();
    p.StartB(SNetImpairment{}, Player(m));
    return RunChat(p, 100, c);
}

int PlayerAt(Side& host, int endpoint) {
    SNetPeerIdentity who;
    return host.dtls.GetPeer(Addr(endpoint), &who) == 0 ? int(who.m_player_id) : -1;
}

using Counter = std::uint32_t SNetDtlsStats::*;
const Counter kReasons[] = {
    &SNetDtlsStats::m_token_malformed,    &SNetDtlsStats::m_token_unopened,
    &SNetDtlsStats::m_token_expired,      &SNetDtlsStats::m_token_not_yet_valid,
    &SNetDtlsStats::m_token_wrong_server, &SNetDtlsStats::m_key_mismatch,
    &SNetDtlsStats::m_identity_unknown};

enum Spoil { kAsMinted, kVersion, kNotAToken, kOthersKey, kStranger, kWrongKey };

struct Refusal {
    const char* name;
    Counter counter;
    Spoil spoil;
    std::int64_t from = -60, to = 600;
    const char* server = "eu-1";
    const unsigned char* sealing = kSealing;
};

using S = SNetDtlsStats;
const Refusal kRefusals[] = {
    {"expired", &S::m_token_expired, kAsMinted, -900, -31},
    {"not_yet_valid", &S::m_token_not_yet_valid, kAsMinted, 31, 600},
    {"wrong_server", &S::m_token_wrong_server, kAsMinted, -60, 600, "eu-2"},
    {"other_sealing_key", &S::m_token_unopened, kAsMinted, -60, 600, "eu-1", kOtherSealing},
    {"unknown_version", &S::m_token_malformed, kVersion},
    {"not_a_token", &S::m_token_malformed, kNotAToken},
    {"another_players_key", &S::m_key_mismatch, kOthersKey},
    {"unknown_identity", &S::m_identity_unknown, kStranger},
    {"wrong_key", &S::m_key_mismatch, kWrongKey},
};

class SecureToken : public ::testing::TestWithParam<Refusal> {};

// No session, no client, only the counter of its reason moves; A answers no flight of B's with
// more bytes than B sent, and never with an alert, so B cannot tell the reasons apart.
TEST_P(SecureToken, IsRefusedLikeAWrongKeyAndCountedByReason) {
    const Refusal& k = GetParam();
    Minted m = Mint(1, k.from, k.to, k.server, k.sealing), other = Mint(2);
    if (k.spoil == kVersion) // the low bits of byte 0 are the top bits of the second character
        m.token[1] = kB64[kB64.find(m.token[1]) ^ 0x20]; // version 3
    if (k.spoil == kNotAToken) m.token = "player-one";
    if (k.spoil >= kStranger)
        m.token = k.spoil == kStranger ? "stranger" : "portnet",
        std::memcpy(m.key, k.spoil == kStranger ? kKey : kOtherKey, 32);
    Pair p(SNetImpairment{}, Server(false, k.spoil >= kStranger),
           Player(m, k.spoil == kOthersKey ? other.key : m.key));
    const int heard = RunChat(p, 150);
    Ints reasons, want;
    for (Counter c : kReasons)
        reasons.push_back(p.a->dtls.m_stats.*c > 0), want.push_back(c == k.counter);
    EXPECT_EQ(reasons, want);
    EXPECT_EQ((Ints{heard, p.a->host.m_created, p.a->dtls.GetOpenSessions()}), (Ints{0, 0, 0}));
    std::size_t most_in = 0;
    for (const Tap::Sent& d : p.b->tap.m_sent)
        most_in = std::max(most_in, d.bytes.size());
    for (const Tap::Sent& d : p.a->tap.m_sent)
        EXPECT_TRUE(d.bytes[0] != 21 && d.bytes.size() <= most_in) << "an alert, or amplified";
}

INSTANTIATE_TEST_SUITE_P(Reasons, SecureToken, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

struct Admission {
    const char* name;
    Minted (*make)();
    int player; // as the host reports it
};

const Admission kAdmissions[] = {{"token_minted_here", [] { return Mint(4242); }, 4242},
                                 {"token_minted_by_python", MintInPython, 4242},
                                 {"key_lookup",
                                  [] {
                                      Minted m{"alice", {}};
                                      return std::memcpy(m.key, kKey, 32), m;
                                  },
                                  7}};

class SecureAdmission : public ::testing::TestWithParam<Admission> {};

// The player's session opens, chat flows, and the host learns who the peer at B's address is;
// the same server refuses a stranger (no token, unknown to the store) in the same run.
TEST_P(SecureAdmission, ThePlayerIsLetInAndTheHostKnowsWhoItIs) {
    const Admission& k = GetParam();
    const Minted m = k.make(), stranger{"bob", {}};
    if (m.token.empty()) GTEST_SKIP() << "no python3 with the cryptography package";
    const bool lookup = k.player == 7;
    Pair p(SNetImpairment{}, Server(lookup), Player(m));
    Side eve(&p.net, 3, SNetImpairment{}, Player(stranger, kKey));
    eve.host.Connect(Addr(1), false);
    const int heard = RunChat(p, 150, &eve);
    SNetPeerIdentity who;
    p.a->dtls.GetPeer(Addr(2), &who);
    const SNetDtlsStats& st = p.a->dtls.m_stats;
    EXPECT_EQ((Ints{heard > 20, p.a->host.m_created, PlayerAt(*p.a, 2), PlayerAt(*p.a, 3),
                    (lookup ? st.m_identity_unknown : st.m_token_malformed) > 0}),
              (Ints{1, 1, k.player, -1, 1}));
    EXPECT_EQ(std::string(who.m_identity), m.token);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(who.m_user_data), who.m_user_data_len),
              lookup ? "" : "red");
    EXPECT_EQ(who.m_expires, lookup ? 0 : g_now + 600);
}

INSTANTIATE_TEST_SUITE_P(Ways, SecureAdmission, ::testing::ValuesIn(kAdmissions),
                         [](const auto& info) { return std::string(info.param.name); });

// Player 1 at B is kicked: both hosts hear 10001, the same token is refused until it has
// expired (by then as expired), a fresh token lets the player back in once the deny time has
// passed; player 2 at C plays on throughout. Then player 1 connects twice.
TEST(SecurePlayers, AKickedPlayerIsShutOutUntilItsTokenExpiresAndTheNewerSessionWins) {
    const Minted one = Mint(1, -60, 100), two = Mint(2);
    Pair p(SNetImpairment{}, Server(), Player(one));
    Side c(&p.net, 3, SNetImpairment{}, Player(two));
    c.host.Connect(Addr(1), false);
    RunChat(p, 60, &c);
    ASSERT_EQ((Ints{PlayerAt(*p.a, 2), PlayerAt(*p.a, 3), p.a->dtls.KickPlayer(1)}),
              (Ints{1, 2, 1}));
    RunChat(p, 10, &c);
    EXPECT_EQ((Ints{p.a->host.m_destroyed, p.b->host.m_destroyed, p.a->dtls.GetOpenSessions()}),
              (Ints{1, 1, 1}));
    const int c_packets = c.host.m_clients[0].m_client->m_packets_in;
    EXPECT_EQ(Rejoin(p, one, &c), 0);
    g_now += 131; // the token has expired beyond the skew, and so has the deny time
    EXPECT_EQ(Rejoin(p, one, &c), 0);
    const SNetDtlsStats& st = p.a->dtls.m_stats;
    EXPECT_EQ((Ints{st.m_identity_denied > 0, st.m_token_expired > 0, PlayerAt(*p.a, 2)}),
              (Ints{1, 1, -1}));
    const Minted again = Mint(1);
    EXPECT_GT(Rejoin(p, again, &c), 20);
    EXPECT_EQ((Ints{PlayerAt(*p.a, 2), PlayerAt(*p.a, 3), c.host.m_destroyed,
                    c.host.m_clients[0].m_client->m_packets_in > c_packets + 100,
                    int(c.dtls.m_stats.m_sessions_ended)}),
              (Ints{1, 2, 0, 1, 0}));
    // The same token from a second address: the newer session replaces the older (10001).
    Side d(&p.net, 4, SNetImpairment{}, Player(again));
    d.host.Connect(Addr(1), false);
    for (int f = 0; f < 60; ++f)
        p.Tick(), c.host.Frame(), d.host.Frame();
    EXPECT_EQ((Ints{p.a->host.m_destroyed, p.b->host.m_destroyed, PlayerAt(*p.a, 4),
                    PlayerAt(*p.a, 2), p.a->dtls.GetOpenSessions()}),
              (Ints{2, 1, 1, -1, 2}));
    g_now -= 131;
}

// The text: any one character altered is refused, so is text beyond 256 characters or of
// another game; the worked example of docs/protocol.md opens to its fields.
TEST(SecureTokenText, EveryAlterationAndOverlongTextIsRefused) {
    const Minted m = Mint(9);
    SNetConnectToken t;
    ASSERT_EQ(CNetConnectToken::Open(m.token.c_str(), kSealing, kGame, &t), 0);
    for (std::size_t i = 0; i < m.token.size(); ++i)
        for (std::size_t delta : {1, 32}) {
            std::string altered = m.token;
            altered[i] = kB64[(kB64.find(altered[i]) + delta) % 64];
            EXPECT_NE(CNetConnectToken::Open(altered.c_str(), kSealing, kGame, &t), 0) << i;
        }
    unsigned char doc_key[32];
    for (int i = 0; i < 32; ++i)
        doc_key[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(
        CNetConnectToken::Open("AQcAAAAAAAAAANJJawAAAAAs00lrAAAAAEBBQkNERUZHSElKS2pEfIFySu4BeO7UI5"
                               "_KS-qc5UkzaNFvQM494GjeEgxdyIqjSxp2XMkJHUoja1CL68xiMWp-zP6b_"
                               "JN0paKOiPg3FA",
                               doc_key, 7, &t),
        0);
    EXPECT_EQ((Ints{int(t.m_player_id), int(t.m_expires - t.m_valid_from), t.m_player_key[31],
                    t.m_num_servers, t.m_servers[0][3]}),
              (Ints{4242, 300, 0x3F, 1, '1'}));
    const std::string too_long = m.token + std::string(257 - m.token.size(), 'A');
    EXPECT_EQ((Ints{CNetConnectToken::Open(too_long.c_str(), kSealing, kGame, &t),
                    CNetConnectToken::Open(m.token.c_str(), kSealing, kGame + 1, &t)}),
              (Ints{CNetConnectToken::kMalformed, CNetConnectToken::kMalformed}));
}

} // namespace
