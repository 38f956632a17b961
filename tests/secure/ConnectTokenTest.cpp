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

const unsigned char kSealing[32] = {0xA1, 0xB2, 0xC3, 7};
const unsigned char kOtherSealing[32] = {0xA1, 0xB2, 0xC3, 8};
const std::uint64_t kGame = 0x74656E74726F70; // the protocol id
const std::string kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
std::uint64_t g_now = 1800000000; // the servers' UTC clock
std::uint64_t Clock() {
    return g_now;
}

struct Minted {
    std::string token;
    unsigned char key[32];
};

Minted Mint(std::uint64_t player, std::int64_t from = -60, std::int64_t to = 600,
            const char* server = "eu-1", const unsigned char* sealing = kSealing) {
    SNetConnectToken t;
    t.m_protocol_id = kGame;
    t.m_player_id = player;
    t.m_valid_from = g_now + from;
    t.m_expires = g_now + to;
    t.m_user_data_len = 3;
    std::memcpy(t.m_user_data, "red", 3);
    t.m_num_servers = 2;
    std::strcpy(t.m_servers[0], "us-9");
    std::strcpy(t.m_servers[1], server);
    char text[CNetConnectToken::kMaxText + 1];
    Minted m{};
    if (CNetConnectToken::Mint(&t, sealing, text, sizeof text) > 0) m.token = text;
    std::memcpy(m.key, t.m_player_key, 32);
    return m;
}

SNetDtlsConfig Server() {
    SNetDtlsConfig c = PskConfig(SNetDtlsConfig::kAccept);
    c.m_psk_key = nullptr;
    c.m_token_key = kSealing;
    c.m_token_server = "eu-1";
    c.m_token_protocol_id = kGame;
    c.m_token_clock = Clock;
    c.m_handshake_timeout_ms = 1000;
    return c;
}

SNetDtlsConfig Player(const Minted& m, const unsigned char* key = nullptr) {
    SNetDtlsConfig c = PskConfig(SNetDtlsConfig::kConnect, key ? key : m.key);
    c.m_psk_identity = m.token.c_str();
    c.m_handshake_timeout_ms = 1000;
    return c;
}

// Frames of both sides with B saying chat lines; the lines A heard.
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

std::uint64_t PlayerAt(Side& host, int endpoint) {
    SNetDtlsPeer who;
    return host.dtls.GetPeer(Addr(endpoint), &who) == 0 ? who.m_player_id : 0;
}

// Every refusal and the counter that tells it apart.
using Counter = std::uint32_t SNetDtlsStats::*;
const Counter kReasons[] = {
    &SNetDtlsStats::m_token_malformed,    &SNetDtlsStats::m_token_unopened,
    &SNetDtlsStats::m_token_expired,      &SNetDtlsStats::m_token_not_yet_valid,
    &SNetDtlsStats::m_token_wrong_server, &SNetDtlsStats::m_identity_denied,
    &SNetDtlsStats::m_key_mismatch};

struct Refusal {
    const char* name;
    Counter counter;
    SNetDtlsConfig (*player)(Minted& keep);
};

const Refusal kRefusals[] = {
    {"expired", &SNetDtlsStats::m_token_expired,
     [](Minted& m) { return Player(m = Mint(1, -900, -31)); }},
    {"not_yet_valid", &SNetDtlsStats::m_token_not_yet_valid,
     [](Minted& m) { return Player(m = Mint(1, 31, 600)); }},
    {"wrong_server", &SNetDtlsStats::m_token_wrong_server,
     [](Minted& m) { return Player(m = Mint(1, -60, 600, "eu-2")); }},
    {"other_sealing_key", &SNetDtlsStats::m_token_unopened,
     [](Minted& m) { return Player(m = Mint(1, -60, 600, "eu-1", kOtherSealing)); }},
    {"one_character_altered", &SNetDtlsStats::m_token_unopened,
     [](Minted& m) {
         m = Mint(1);
         char& c = m.token[m.token.size() / 2];
         c = c == 'A' ? 'B' : 'A';
         return Player(m);
     }},
    {"unknown_version", &SNetDtlsStats::m_token_malformed,
     [](Minted& m) { // the low bits of byte 0 are the top bits of the second character
         m = Mint(1);
         m.token[1] = kB64[kB64.find(m.token[1]) ^ 0x30];
         return Player(m);
     }},
    {"not_a_token", &SNetDtlsStats::m_token_malformed,
     [](Minted& m) {
         m = Mint(1);
         m.token = "player-one";
         return Player(m);
     }},
    {"another_players_key", &SNetDtlsStats::m_key_mismatch,
     [](Minted& m) {
         static Minted other;
         other = Mint(2);
         return Player(m = Mint(1), other.key);
     }},
};

class SecureToken : public ::testing::TestWithParam<Refusal> {};

// No session, no client, only the counter of its reason moves; A answers no flight of B's with
// more bytes than B sent, and never with an alert, so B cannot tell the reasons apart.
TEST_P(SecureToken, IsRefusedLikeAWrongKeyAndCountedByReason) {
    Minted m;
    SNetDtlsConfig player = GetParam().player(m);
    Pair p(SNetImpairment{}, Server(), player);
    ASSERT_TRUE(p.a->dtls.IsReady() && p.b->dtls.IsReady());
    const int heard = RunChat(p, 150);
    Ints reasons, want;
    for (Counter c : kReasons) {
        reasons.push_back(p.a->dtls.m_stats.*c > 0);
        want.push_back(c == GetParam().counter);
    }
    EXPECT_EQ(reasons, want);
    EXPECT_EQ((Ints{heard, p.a->host.m_created, int(p.a->dtls.m_stats.m_handshakes_completed),
                    p.a->dtls.GetOpenSessions(), p.a->dtls.GetHalfOpen() <= 1}),
              (Ints{0, 0, 0, 0, 1}));
    std::size_t most_in = 0;
    for (const Tap::Sent& d : p.b->tap.m_sent)
        most_in = std::max(most_in, d.bytes.size());
    for (const Tap::Sent& d : p.a->tap.m_sent) {
        EXPECT_NE(d.bytes[0], 21) << "an alert";
        EXPECT_LE(d.bytes.size(), most_in);
    }
}

INSTANTIATE_TEST_SUITE_P(Reasons, SecureToken, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// A backend in Python, written from docs/protocol.md: token and player key, or empty when this
// machine has no python3 with the cryptography package.
Minted MintInPython(std::uint64_t player) {
    std::string cmd = "python3 " PORTNET_TEST_CERTS "/../mint_token.py ";
    for (unsigned char b : kSealing) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        cmd += hex;
    }
    cmd += " " + std::to_string(kGame) + " " + std::to_string(player) + " " +
           std::to_string(g_now - 60) + " " + std::to_string(g_now + 600) +
           " 726564 us-9 eu-1 2>/dev/null";
    Minted m{};
    char token[300] = {}, key[80] = {};
    FILE* out = popen(cmd.c_str(), "r");
    if (out == nullptr) return m;
    const bool read = std::fscanf(out, "%299s %79s", token, key) == 2;
    if (pclose(out) != 0 || !read || std::strlen(key) != 64) return m;
    for (int i = 0; i < 32; ++i)
        std::sscanf(key + 2 * i, "%2hhx", &m.key[i]);
    m.token = token;
    return m;
}

// A host's own store of keys instead of tokens: alice is player 7.
int Lookup(void*, const char* identity, unsigned char* key, SNetDtlsPeer* who) {
    if (std::strcmp(identity, "alice") != 0) return 0;
    std::memcpy(key, kKey, 32);
    who->m_player_id = 7;
    return 32;
}

struct Admission {
    const char* name;
    bool lookup; // else tokens
    Minted (*make)();
};

const Admission kAdmissions[] = {
    {"token_minted_here", false, [] { return Mint(4242); }},
    {"token_minted_by_python", false, [] { return MintInPython(4242); }},
    {"key_lookup", true, [] {
         Minted m{"alice", {}};
         std::memcpy(m.key, kKey, 32);
         return m;
     }}};

class SecureAdmission : public ::testing::TestWithParam<Admission> {};

// The player's session opens, chat flows, and the host learns who the peer at B's address is;
// the same server refuses a stranger (no token, unknown to the store) in the same run.
TEST_P(SecureAdmission, ThePlayerIsLetInAndTheHostKnowsWhoItIs) {
    const Admission& k = GetParam();
    const Minted m = k.make();
    if (m.token.empty()) GTEST_SKIP() << "no python3 with the cryptography package";
    SNetDtlsConfig server = Server();
    if (k.lookup) server.m_token_key = nullptr, server.m_key_lookup = Lookup;
    Pair p(SNetImpairment{}, server, Player(m));
    Minted stranger{"bob", {}};
    Side eve(&p.net, 3, SNetImpairment{}, Player(stranger, kKey));
    eve.host.Connect(Addr(1), false);
    const int heard = RunChat(p, 150, &eve);
    SNetDtlsPeer who;
    ASSERT_EQ(p.a->dtls.GetPeer(Addr(2), &who), 0);
    EXPECT_EQ((Ints{heard > 20, p.a->host.m_created, p.a->dtls.GetPeer(Addr(3), &who)}),
              (Ints{1, 1, -1}));
    EXPECT_EQ(PlayerAt(*p.a, 2), k.lookup ? 7u : 4242u);
    EXPECT_EQ(std::string(who.m_identity), m.token);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(who.m_user_data), who.m_user_data_len),
              k.lookup ? "" : "red");
    EXPECT_EQ(who.m_expires, k.lookup ? 0 : g_now + 600);
    const SNetDtlsStats& st = p.a->dtls.m_stats;
    EXPECT_GT(k.lookup ? st.m_identity_unknown : st.m_token_malformed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ways, SecureAdmission, ::testing::ValuesIn(kAdmissions),
                         [](const auto& info) { return std::string(info.param.name); });

// Player 1 at B is kicked: both hosts hear 10001, the same token is refused until it has
// expired (by then as expired), a fresh token lets the player back in once the deny time has
// passed; player 2 at C plays on throughout.
TEST(SecurePlayers, AKickedPlayerIsShutOutUntilItsTokenExpires) {
    const Minted one = Mint(1, -60, 100), two = Mint(2);
    Pair p(SNetImpairment{}, Server(), Player(one));
    Side c(&p.net, 3, SNetImpairment{}, Player(two));
    c.host.Connect(Addr(1), false);
    RunChat(p, 60, &c);
    ASSERT_EQ((Ints{int(PlayerAt(*p.a, 2)), int(PlayerAt(*p.a, 3))}), (Ints{1, 2}));
    EXPECT_EQ(p.a->dtls.KickPlayer(1), 1);
    RunChat(p, 10, &c);
    EXPECT_EQ((Ints{p.a->host.m_destroyed, p.b->host.m_destroyed, p.a->dtls.GetOpenSessions()}),
              (Ints{1, 1, 1}));
    const int c_packets =
        p.a->host.GetNumClients() == 1 ? c.host.m_clients[0].m_client->m_packets_in : -1;
    p.b.reset(); // the player tries again with the same token
    p.StartB(SNetImpairment{}, Player(one));
    EXPECT_EQ(RunChat(p, 100, &c), 0);
    g_now += 131; // the token has expired beyond the skew, and so has the deny time
    p.b.reset();
    p.StartB(SNetImpairment{}, Player(one));
    EXPECT_EQ(RunChat(p, 100, &c), 0);
    const SNetDtlsStats& st = p.a->dtls.m_stats;
    EXPECT_EQ((Ints{st.m_identity_denied > 0, st.m_token_expired > 0, PlayerAt(*p.a, 2) == 0}),
              (Ints{1, 1, 1}));
    const Minted again = Mint(1);
    p.b.reset();
    p.StartB(SNetImpairment{}, Player(again));
    EXPECT_GT(RunChat(p, 100, &c), 20);
    EXPECT_EQ((Ints{int(PlayerAt(*p.a, 2)), int(PlayerAt(*p.a, 3)), c.host.m_destroyed,
                    c.host.m_clients[0].m_client->m_packets_in > c_packets + 100,
                    int(c.dtls.m_stats.m_sessions_ended)}),
              (Ints{1, 2, 0, 1, 0}));
    g_now -= 131;
}

// One token used from two addresses: the newer session replaces the older (10001 for it).
TEST(SecurePlayers, TheSamePlayerTwiceKeepsTheNewerSession) {
    const Minted one = Mint(1);
    Pair p(SNetImpairment{}, Server(), Player(one));
    RunChat(p, 60);
    Side c(&p.net, 3, SNetImpairment{}, Player(one));
    c.host.Connect(Addr(1), false);
    RunChat(p, 60, &c);
    EXPECT_EQ((Ints{p.a->host.m_destroyed, p.b->host.m_destroyed, p.a->dtls.GetOpenSessions(),
                    int(PlayerAt(*p.a, 3)), int(PlayerAt(*p.a, 2))}),
              (Ints{1, 1, 1, 1, 0}));
}

// Opening the text: any one character altered is refused; text beyond the limit, too.
TEST(SecureTokenText, EveryAlterationAndOverlongTextIsRefused) {
    const Minted m = Mint(9);
    SNetConnectToken t;
    ASSERT_EQ(CNetConnectToken::Open(m.token.c_str(), kSealing, kGame, &t), 0);
    EXPECT_EQ((Ints{int(t.m_player_id), std::memcmp(t.m_player_key, m.key, 32)}), (Ints{9, 0}));
    for (std::size_t i = 0; i < m.token.size(); ++i)
        for (int delta : {1, 32}) {
            std::string altered = m.token;
            altered[i] = kB64[(kB64.find(altered[i]) + delta) % 64];
            EXPECT_NE(CNetConnectToken::Open(altered.c_str(), kSealing, kGame, &t), 0) << i;
        }
    const std::string longest = m.token + std::string(256 - m.token.size(), 'A');
    EXPECT_EQ((Ints{CNetConnectToken::Open((longest + "AAAA").c_str(), kSealing, kGame, &t),
                    CNetConnectToken::Open(m.token.c_str(), kSealing, kGame + 1, &t)}),
              (Ints{CNetConnectToken::kMalformed, CNetConnectToken::kMalformed}));
    // What would not fit in 256 characters is not minted.
    t.m_user_data_len = SNetConnectToken::kMaxUserData;
    t.m_num_servers = SNetConnectToken::kMaxServers;
    for (auto& name : t.m_servers)
        std::memset(name, 'x', 12);
    char text[CNetConnectToken::kMaxText + 1];
    EXPECT_EQ(CNetConnectToken::Mint(&t, kSealing, text, sizeof text), -1);
    t.m_num_servers = 3;
    EXPECT_GT(CNetConnectToken::Mint(&t, kSealing, text, sizeof text), 200);
}

} // namespace
