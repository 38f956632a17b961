// CNetDtls over real UDP sockets of both families: a session over ::1 that names its peer by
// the whole IPv6 address (through the CNetAddr calls and through today's sockaddr_in ones), an
// IPv4 player of a dual-stack host, identities and reports keyed by v6 address, and a cookie
// that another address cannot reuse.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "SecurePair.h"
#include "portnet/CNetAddr.h"
#include "portnet/CNetUDP.h"

using namespace secure;

namespace {

CNetAddr At(const std::string& text) {
    CNetAddr a;
    char err[128];
    EXPECT_EQ(CNetAddr::Parse(text.c_str(), &a, err, sizeof err), 1) << err;
    return a;
}

// The inner driver of the accepting side: keeps the last ClientHello that carried a cookie.
class Tap : public CNetUDP {
public:
    using CNetUDP::CNetUDP;
    int RecvFrom(int* len, void* buf, sockaddr_in* from) override {
        const int r = CNetUDP::RecvFrom(len, buf, from);
        const auto* d = static_cast<const unsigned char*>(buf);
        // Record header 13, handshake header 12, version 2, random 32, session id: the cookie
        // length follows the session id.
        if (r == 0 && *len > 60 && d[0] == 22 && d[13] == 1 && *len > 60 + d[59] &&
            d[60 + d[59]] != 0)
            hello.assign(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(*len));
        return r;
    }
    std::string hello;
};

int Alice(void*, const char* identity, unsigned char* key, SNetPeerIdentity* who) {
    if (std::strcmp(identity, "alice") != 0) return 0;
    std::memcpy(key, kKey, 32);
    who->m_player_id = 7;
    return 32;
}

struct Side {
    Side(CNetUDP* udp, const SNetDtlsConfig& c) : inner(udp), dtls(udp, c) {}
    std::unique_ptr<CNetUDP> inner;
    CNetDtls dtls;
};

struct Got {
    int result = 0;
    std::string data;
    CNetAddr from;
};

// Both sides read until `reader` hands up a datagram or a report (two seconds at most).
Got Pump(Side& reader, Side& other) {
    Got g;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 1000 && std::chrono::steady_clock::now() < deadline; ++i) {
        char buf[CNetDtls::kMaxPlain];
        int len = sizeof buf;
        CNetAddr ignored;
        other.dtls.RecvFromAddr(&len, buf, &ignored);
        len = sizeof buf;
        g.from = CNetAddr();
        g.result = reader.dtls.RecvFromAddr(&len, buf, &g.from);
        if (g.result != 0 || len > 0) {
            if (g.result == 0) g.data.assign(buf, static_cast<std::size_t>(len));
            return g;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return g;
}

int Say(Side& s, const std::string& text, const CNetAddr& to) {
    return s.dtls.SendToAddr(static_cast<int>(text.size()), const_cast<char*>(text.data()), to);
}

bool HasIpv6Loopback() {
    CNetUDP probe("[::1]:0");
    return probe.Init() == 0;
}

struct Case {
    const char* name;
    const char* host_bind; // nullptr: a port alone, dual-stack
    const char* player_bind;
    const char* host_seen_at; // the player's destination, its port added
    bool v6;
};

const Case kCases[] = {{"Ipv6", "[::1]:0", "[::1]:0", "[::1]", true},
                       {"Ipv6ToDualStack", nullptr, "[::1]:0", "[::1]", true},
                       {"Ipv4ToDualStack", nullptr, "127.0.0.1:0", "127.0.0.1", false}};

class DtlsFamilies : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (GetParam().v6 && !HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 on loopback";
        SNetDtlsConfig hc = PskConfig(SNetDtlsConfig::kAccept);
        hc.m_psk_key = nullptr, hc.m_key_lookup = Alice;
        SNetDtlsConfig pc = PskConfig(SNetDtlsConfig::kConnect);
        pc.m_psk_identity = "alice";
        tap = GetParam().host_bind ? new Tap(GetParam().host_bind) : new Tap(0);
        host = std::make_unique<Side>(tap, hc);
        player = std::make_unique<Side>(new CNetUDP(GetParam().player_bind), pc);
        for (Side* s : {host.get(), player.get()})
            ASSERT_EQ(s->dtls.Init(), 0) << s->inner->GetError();
        to_host = At(std::string(GetParam().host_seen_at) + ":" +
                     std::to_string(tap->GetLocalAddr().Port()));
        player_addr = player->inner->GetLocalAddr();
    }
    Tap* tap = nullptr;
    std::unique_ptr<Side> host, player;
    CNetAddr to_host, player_addr;
};

} // namespace

// The handshake over the family, data both ways, the host knowing who is at the player's
// address, and today's sockaddr_in calls: an IPv4 player as its record, an IPv6 one as its
// family alone with the whole address in LastSender.
TEST_P(DtlsFamilies, ASessionNamesThePlayerByItsWholeAddress) {
    ASSERT_EQ(Say(*player, "hello", to_host), 0);
    const Got hi = Pump(*host, *player);
    ASSERT_EQ(hi.data, "hello");
    EXPECT_EQ(hi.from, player_addr); // a v4-mapped player reads as IPv4
    EXPECT_EQ(int(hi.from.Family()), GetParam().v6 ? int(kNetFamilyInet6) : int(kNetFamilyInet));
    SNetPeerIdentity who;
    EXPECT_EQ((Ints{host->dtls.GetPeerIdentityAddr(hi.from, &who), int(who.m_player_id),
                    host->dtls.GetOpenSessions(), host->dtls.GetPeer(to_host, &who)}),
              (Ints{1, 7, 1, -1}));
    ASSERT_EQ(Say(*host, "welcome", hi.from), 0);
    const Got back = Pump(*player, *host);
    EXPECT_EQ((std::string{back.data}), "welcome");
    EXPECT_EQ(back.from, to_host);

    ASSERT_EQ(Say(*player, "old", to_host), 0);
    sockaddr_in old{};
    char buf[64];
    int len = 0;
    for (int i = 0; i < 500 && len == 0; ++i) {
        len = sizeof buf;
        host->dtls.RecvFrom(&len, buf, &old);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(std::string(buf, static_cast<std::size_t>(len)), "old");
    if (GetParam().v6) {
        EXPECT_EQ((Ints{old.sin_family, int(old.sin_port), int(old.sin_addr.s_addr)}),
                  (Ints{kNetFamilyInet6, 0, 0}));
    } else {
        EXPECT_EQ(CNetAddr::FromSockaddrIn(old), player_addr);
    }
    EXPECT_EQ(host->dtls.LastSender(), player_addr);
}

// The host ends the session by the player's address: the player hears 10001 naming the host's
// address of its family and is told the session ended; the host's index forgets the player.
TEST_P(DtlsFamilies, AnEndedSessionIsReportedWithItsAddress) {
    ASSERT_EQ(Say(*player, "hello", to_host), 0);
    const Got hi = Pump(*host, *player);
    ASSERT_EQ(hi.data, "hello");
    EXPECT_EQ(host->dtls.DisconnectedAddr(hi.from), kNetEventDisconnect);
    const Got gone = Pump(*player, *host);
    SNetPeerIdentity who;
    EXPECT_EQ((Ints{gone.result, player->dtls.GetGoneReasonAddr(gone.from),
                    host->dtls.GetOpenSessions(), host->dtls.GetPeer(hi.from, &who)}),
              (Ints{kNetEventDisconnect, kNetGoneSessionEnded, 0, -1}));
    EXPECT_EQ(gone.from, to_host);
}

// The ClientHello that echoed the player's cookie, sent again from another port of the same
// host: it earns a fresh cookie and no handshake, as from any unproven sender.
TEST_P(DtlsFamilies, ACookieOpensNoHandshakeFromAnotherAddress) {
    ASSERT_EQ(Say(*player, "hello", to_host), 0);
    ASSERT_EQ(Pump(*host, *player).data, "hello");
    ASSERT_FALSE(tap->hello.empty());
    CNetUDP other(GetParam().player_bind);
    ASSERT_EQ(other.Init(), 0);
    const SNetDtlsStats before = host->dtls.m_stats;
    ASSERT_EQ(other.SendToAddr(static_cast<int>(tap->hello.size()),
                               const_cast<char*>(tap->hello.data()), to_host),
              0);
    for (int i = 0; i < 200 && host->dtls.m_stats.m_cookies_sent == before.m_cookies_sent; ++i) {
        char buf[64];
        int len = sizeof buf;
        CNetAddr from;
        host->dtls.RecvFromAddr(&len, buf, &from);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const SNetDtlsStats& st = host->dtls.m_stats;
    EXPECT_EQ((Ints{int(st.m_cookies_sent - before.m_cookies_sent),
                    int(st.m_handshakes_started - before.m_handshakes_started),
                    host->dtls.GetHalfOpen()}),
              (Ints{1, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Families, DtlsFamilies, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });
