// What CNetDtls keeps away from the manager: altered, replayed and forged datagrams from a
// peer's address, unproven senders; and configurations it refuses.
#include <gtest/gtest.h>

#include <algorithm>

#include "SecurePair.h"

using namespace secure;

namespace {

// The application records B sent to A (type 23), newest first, as they went on the wire.
std::vector<std::vector<unsigned char>> Records(const Tap& tap) {
    std::vector<std::vector<unsigned char>> out;
    for (auto it = tap.m_sent.rbegin(); it != tap.m_sent.rend(); ++it)
        if (it->bytes[0] == 23) out.push_back(it->bytes);
    return out;
}

// Most forgeries are one of B's records, the newest of which was kept from the wire (A has
// never seen its record number), with a byte flipped or the end cut; the rest are made whole.
struct Forgery {
    const char* name;
    std::uint32_t SNetDtlsStats::*counter;
    std::size_t record; // which of B's records, newest first
    int flip_at;        // the byte flipped (by `mask`), -1 none, 0: the middle
    unsigned char mask;
    std::size_t cut; // bytes cut off the end
    std::vector<unsigned char> (*make)(const Tap& b) = nullptr;
};

const Forgery kForgeries[] = {
    {"altered_byte", &SNetDtlsStats::m_rejected, 0, 0, 0x01, 0},
    {"altered_record_number", &SNetDtlsStats::m_rejected, 0, 10, 0x40, 0}, // the tag covers it
    {"truncated", &SNetDtlsStats::m_rejected, 0, -1, 0, 5},
    {"replayed", &SNetDtlsStats::m_replayed, 1, -1, 0, 0},
    {"late_replay", &SNetDtlsStats::m_replayed, 100, -1, 0, 0},
    {"plain_packet", &SNetDtlsStats::m_rejected, 0, -1, 0, 0, // a portnet header, far ahead
     [](const Tap&) { return std::vector<unsigned char>{0, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0}; }},
    {"client_hello_of_a_stranger", &SNetDtlsStats::m_cookies_sent, 0, -1, 0, 0,
     [](const Tap&) { // answered with a cookie only: the session stays
         CNetSimNetwork elsewhere;
         CNetSimDriver d(&elsewhere, 9);
         Tap wire(&d);
         CNetDtls eve(&wire, PskConfig(SNetDtlsConfig::kConnect, kOtherKey));
         eve.Init();
         char data[4] = {};
         sockaddr_in to = Addr(1);
         eve.SendTo(sizeof data, data, &to);
         return wire.m_sent.at(0).bytes;
     }},
    {"client_hello_cut_short", &SNetDtlsStats::m_rejected, 0, -1, 0, 0,
     [](const Tap& b) { // B's first ClientHello to the end of a new random: no cookie for it
         auto d = b.m_sent.front().bytes;
         d.resize(59);
         d[58] ^= 1;
         return d;
     }},
};

class SecureForgery : public ::testing::TestWithParam<Forgery> {};

// Sent from B's own address: dropped before the manager and counted, and the session goes on
// (A keeps hearing B's state every frame, chat continues).
TEST_P(SecureForgery, IsDroppedCountedAndTheSessionGoesOn) {
    Pair p(SNetImpairment{}, PskConfig(SNetDtlsConfig::kAccept),
           PskConfig(SNetDtlsConfig::kConnect));
    ASSERT_GT(p.Handshake(100), 0);
    for (int f = 0; f < 300; ++f)
        p.Tick();
    p.a->host.Frame(); // A takes in B's last datagram
    // B's states stand still, so it sends only when an acknowledgement or an expired base is
    // due: its frames run until it has sent one datagram that A never sees.
    p.b->tap.m_swallow = true;
    const std::size_t sent = p.b->tap.m_sent.size();
    for (int f = 0; f < 2 * kHistory && p.b->tap.m_sent.size() == sent; ++f)
        p.b->host.Frame();
    p.b->tap.m_swallow = false;
    ASSERT_GT(p.b->tap.m_sent.size(), sent);
    const auto records = Records(p.b->tap);
    ASSERT_GT(records.size(), 100u);
    const Forgery& k = GetParam();
    std::vector<unsigned char> forged = k.make ? k.make(p.b->tap) : records[k.record];
    if (k.flip_at >= 0) forged[k.flip_at ? k.flip_at : forged.size() / 2] ^= k.mask;
    forged.resize(forged.size() - k.cut);
    const SNetDtlsStats before = p.a->dtls.m_stats;
    const int created = p.a->host.m_created;
    const std::uint32_t bytes_in = p.ToB()->m_bytes_in;
    const std::size_t answered = p.a->tap.m_sent.size();
    sockaddr_in to_a = Addr(1);
    for (int copies = 0; copies < 3; ++copies)
        ASSERT_EQ(p.b->sim.SendTo(static_cast<int>(forged.size()), forged.data(), &to_a), 0);
    // A reads the forgeries alone: nothing reaches its manager.
    CNetTime::m_time += kFrameMs;
    p.net.SetTime(CNetTime::m_time);
    // No state is kept for what proves nothing (none half open).
    EXPECT_EQ(
        (Ints{p.a->host.Read(), int(p.ToB()->m_bytes_in - bytes_in),
              int(p.a->dtls.m_stats.*k.counter - before.*k.counter), p.a->dtls.GetHalfOpen()}),
        (Ints{1, 0, 3, 0}));
    for (std::size_t i = answered; i < p.a->tap.m_sent.size(); ++i) // and no amplification
        EXPECT_LE(p.a->tap.m_sent[i].bytes.size(), forged.size());

    ChatLine ba{"b"};
    Position* heard = p.ToB()->Own();
    const float mark = 4321.0f;
    for (int f = 0; f < 60; ++f) {
        p.to_a->Own()->m_pos[1] = mark;
        ba.Speak(p.b->host.Chat());
        EXPECT_EQ(p.Tick(), 0);
        ba.Hear(p.a->host.Chat());
    }
    EXPECT_EQ(heard->m_pos[1], mark);
    EXPECT_EQ((Ints{ba.heard > 20, ba.wrong, p.a->host.m_created, p.a->host.m_destroyed,
                    p.a->dtls.GetOpenSessions()}),
              (Ints{1, 0, created, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SecureForgery, ::testing::ValuesIn(kForgeries),
                         [](const auto& info) { return std::string(info.param.name); });

// The half-open table is bounded: more peers than it holds wait, none is refused for good.
TEST(SecureLimits, HalfOpenTableBoundsHandshakesInProgress) {
    SNetDtlsConfig ca = PskConfig(SNetDtlsConfig::kAccept);
    ca.m_max_half_open = 2;
    Pair p(SNetImpairment{}, ca, PskConfig(SNetDtlsConfig::kConnect), 3);
    std::vector<std::unique_ptr<Side>> peers; // with B, six
    for (int id = 3; id < 8; ++id) {
        peers.push_back(std::make_unique<Side>(&p.net, id, SNetImpairment{},
                                               PskConfig(SNetDtlsConfig::kConnect)));
        peers.back()->host.Connect(Addr(1), false);
    }
    int most_half_open = 0;
    // Until all are open, then 10 frames more: the first records reach the manager.
    for (int f = 0, after = 0; f < 400 && after < 10; ++f) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        p.Tick();
        most_half_open = std::max(most_half_open, p.a->dtls.GetHalfOpen());
        for (auto& s : peers)
            s->host.Frame();
        after += p.a->dtls.GetOpenSessions() == 6;
    }
    EXPECT_LE(most_half_open, 2);
    EXPECT_EQ(p.a->dtls.GetOpenSessions(), 6);
    EXPECT_EQ(p.a->host.GetNumClients(), 6);
}

struct BadConfig {
    const char* name;
    void (*spoil)(SNetDtlsConfig&);
};

const BadConfig kBadConfigs[] = {
    {"no_credentials", [](SNetDtlsConfig& c) { c.m_psk_key = nullptr; }},
    {"empty_key", [](SNetDtlsConfig& c) { c.m_psk_key_len = 0; }},
    {"key_too_long", [](SNetDtlsConfig& c) { c.m_psk_key_len = 65; }},
    {"no_role", [](SNetDtlsConfig& c) { c.m_role = 0; }},
    {"half_open_above_sessions",
     [](SNetDtlsConfig& c) { c.m_max_sessions = 16, c.m_max_half_open = 17; }},
    {"too_many_sessions",
     [](SNetDtlsConfig& c) { c.m_max_sessions = CNetDtls::kMaxSessionsLimit + 1; }},
    {"negative_half_open", [](SNetDtlsConfig& c) { c.m_max_half_open = -1; }},
    {"no_handshake_time", [](SNetDtlsConfig& c) { c.m_handshake_timeout_ms = 0; }},
    {"retransmit_below_openssl_resolution", [](SNetDtlsConfig& c) { c.m_retransmit_ms = 10; }},
    {"tokens_on_a_side_that_connects", // it needs a key of its own
     [](SNetDtlsConfig& c) {
         c.m_psk_key = nullptr, c.m_token_key = kKey, c.m_token_server = "x";
     }},
    {"tokens_without_a_server_name", [](SNetDtlsConfig& c) { c.m_token_key = kKey; }},
    {"unreadable_pem",
     [](SNetDtlsConfig& c) {
         c.m_psk_key = nullptr;
         c.m_cert_chain_pem = c.m_private_key_pem = c.m_ca_pem = "-----BEGIN nonsense";
     }},
    {"missing_files",
     [](SNetDtlsConfig& c) {
         c.m_psk_key = nullptr;
         c.m_cert_chain_file = c.m_private_key_file = c.m_ca_file = "/nonexistent/portnet.pem";
     }},
    {"key_not_matching_the_certificate",
     [](SNetDtlsConfig& c) {
         c.m_psk_key = nullptr;
         c.m_cert_chain_file = PORTNET_TEST_CERTS "/host-chain.pem";
         c.m_private_key_file = PORTNET_TEST_CERTS "/player.key";
         c.m_ca_file = PORTNET_TEST_CERTS "/ca.pem";
     }},
};

class SecureConfig : public ::testing::TestWithParam<BadConfig> {};

// A configuration that cannot work leaves the driver unusable, never half working.
TEST_P(SecureConfig, IsRefusedAndEveryOperationFails) {
    CNetSimNetwork net;
    CNetSimDriver sim(&net, 1);
    SNetDtlsConfig c = PskConfig(SNetDtlsConfig::kBoth);
    GetParam().spoil(c);
    CNetDtls dtls(&sim, c);
    EXPECT_FALSE(dtls.IsReady());
    EXPECT_EQ(dtls.Init(), -1);
    char data[8] = {};
    int len = sizeof data;
    sockaddr_in to = Addr(2);
    EXPECT_EQ(dtls.SendTo(len, data, &to), -1);
    EXPECT_EQ(dtls.RecvFrom(&len, data, &to), -1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SecureConfig, ::testing::ValuesIn(kBadConfigs),
                         [](const auto& info) { return std::string(info.param.name); });

// Broadcast cannot be secured; lengths outside 1..kMaxPlain are refused, never sent in clear.
TEST(SecureSend, BroadcastAndBadLengthsAreRefused) {
    CNetSimNetwork net;
    CNetSimDriver sim(&net, 1);
    Tap tap(&sim);
    CNetDtls dtls(&tap, PskConfig(SNetDtlsConfig::kConnect));
    ASSERT_TRUE(dtls.IsReady());
    ASSERT_EQ(dtls.Init(), 0);
    static char data[CNetDtls::kMaxPlain + 1] = {};
    sockaddr_in to = Addr(2);
    EXPECT_EQ(
        (Ints{dtls.Broadcast(10, data, &to), dtls.MakeBroadcastCapable(), dtls.SendTo(0, data, &to),
              dtls.SendTo(CNetDtls::kMaxPlain + 1, data, &to), int(tap.m_sent.size())}),
        (Ints{-1, -1, -1, -1, 0}));
    // Before the handshake only the ClientHello leaves; the datagrams wait (newest kept).
    EXPECT_EQ(
        (Ints{dtls.SendTo(CNetDtls::kMaxPlain, data, &to), dtls.SendTo(100, data, &to),
              int(tap.m_sent.size()), int(dtls.m_stats.m_unsent_dropped), dtls.GetHalfOpen()}),
        (Ints{0, 0, 1, 1, 1}));
    EXPECT_EQ(tap.m_sent.at(0).bytes[0], 22);
}

} // namespace
