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

} // namespace
