// Certificates instead of a pre-shared key: a chain and key from PEM files or memory, peers
// verified against the trusted CA. The test material in certs/ (EC P-256, valid for a century):
// ca.pem signs an intermediate that signs host and player; stranger is signed by other_ca.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "SecurePair.h"

using namespace secure;

namespace {

std::string Path(const char* name) {
    return std::string(PORTNET_TEST_CERTS) + "/" + name;
}

std::string Text(const char* name) {
    std::ifstream in(Path(name));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Who a side is and whom it trusts; PEM from memory or from the files.
struct Identity {
    const char* chain;
    const char* key;
    const char* ca;
};

// No identity: a pre-shared key, the host's kKey and the player's kOtherKey.
struct CertConfig {
    std::string chain, key, ca; // keeps the texts or paths alive while the driver is made
    SNetDtlsConfig Make(int role, const Identity* id, bool memory) {
        if (!id) return PskConfig(role, role == SNetDtlsConfig::kAccept ? kKey : kOtherKey);
        SNetDtlsConfig c = PskConfig(role);
        c.m_psk_key = nullptr;
        std::string (*read)(const char*) = memory ? Text : Path;
        chain = read(id->chain), key = read(id->key), ca = read(id->ca);
        (memory ? c.m_cert_chain_pem : c.m_cert_chain_file) = chain.c_str();
        (memory ? c.m_private_key_pem : c.m_private_key_file) = key.c_str();
        (memory ? c.m_ca_pem : c.m_ca_file) = ca.c_str();
        return c;
    }
};

const Identity kHost{"host-chain.pem", "host.key", "ca.pem"};
const Identity kPlayer{"player-chain.pem", "player.key", "ca.pem"};
const Identity kStranger{"stranger-chain.pem", "stranger.key", "ca.pem"};
const Identity kHostTrustingOthers{"host-chain.pem", "host.key", "other_ca.pem"};

struct CertCase {
    const char* name;
    const Identity *host, *player;
    bool memory;
    bool opens;
};

class SecureCertificates : public ::testing::TestWithParam<CertCase> {};

// Verified both ways, a session opens and carries chat; a certificate from another CA, or the
// wrong key, opens nothing: the handshake fails, the host creates no client and keeps no
// handshake (never more than one half open), and B's host hears 10001 for the session it
// asked for.
TEST_P(SecureCertificates, PeersAreVerifiedAgainstTheTrustedCa) {
    const CertCase& k = GetParam();
    CertConfig host_files, player_files;
    SNetDtlsConfig ca = host_files.Make(SNetDtlsConfig::kAccept, k.host, k.memory);
    SNetDtlsConfig cb = player_files.Make(SNetDtlsConfig::kConnect, k.player, k.memory);
    ca.m_handshake_timeout_ms = cb.m_handshake_timeout_ms = 1000;
    Pair p(SNetImpairment{}, ca, cb);
    ASSERT_TRUE(p.a->dtls.IsReady());
    ASSERT_TRUE(p.b->dtls.IsReady());
    ChatLine ba{"b"};
    int most_half_open = 0;
    for (int f = 0; f < 150; ++f) {
        ba.Speak(p.b->host.Chat());
        p.Tick();
        ba.Hear(p.a->host.Chat());
        most_half_open = std::max(most_half_open, p.a->dtls.GetHalfOpen());
    }
    const SNetDtlsStats& st = p.a->dtls.m_stats;
    const int opens = k.opens;
    EXPECT_EQ((Ints{most_half_open <= 1, int(st.m_handshakes_completed), st.m_handshakes_failed > 0,
                    p.a->host.m_created, p.a->host.GetNumClients(),
                    p.a->dtls.GetHalfOpen() + p.a->dtls.GetOpenSessions(),
                    ba.heard > (opens ? 20 : 0), ba.wrong, p.b->host.m_destroyed}),
              (Ints{1, opens, !opens, opens, opens, opens, opens, 0, !opens}));
}

INSTANTIATE_TEST_SUITE_P(Cases, SecureCertificates,
                         ::testing::Values(CertCase{"files", &kHost, &kPlayer, false, true},
                                           CertCase{"memory", &kHost, &kPlayer, true, true},
                                           CertCase{"player_from_another_ca", &kHost, &kStranger,
                                                    true, false},
                                           CertCase{"host_trusting_another_ca",
                                                    &kHostTrustingOthers, &kPlayer, false, false},
                                           CertCase{"wrong_key", nullptr, nullptr, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
