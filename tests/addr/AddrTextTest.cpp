// CNetAddr as a user of the library meets it: the checked parse, the printing, equality and the
// one hash, and the sockaddr_in interfaces that IPv4 programs keep using.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "portnet/portnet.h"

namespace {

CNetAddr P(const char* text) {
    CNetAddr a;
    char err[128];
    EXPECT_EQ(CNetAddr::Parse(text, &a, err, sizeof err), 1) << text << ": " << err;
    return a;
}

std::string T(const CNetAddr& a) {
    char out[CNetAddr::kMaxText];
    return a.ToText(out, sizeof out) > 0 ? out : "<none>";
}

} // namespace

TEST(AddrText, EveryFamilyParsesAndPrintsInItsShortestForm) {
    const CNetAddr v4 = P("1.2.3.4:5");
    EXPECT_TRUE(v4.IsInet());
    EXPECT_EQ(v4.ByteCount(), 4);
    EXPECT_EQ(0, std::memcmp(v4.Bytes(), "\x01\x02\x03\x04", 4));
    EXPECT_EQ(v4.Port(), 5);

    const CNetAddr v6 = P("[2001:db8::1]:40000");
    EXPECT_TRUE(v6.IsInet6());
    EXPECT_EQ(v6.ByteCount(), 16);
    EXPECT_EQ(0, std::memcmp(v6.Bytes(), "\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x01", 16));
    EXPECT_EQ(v6.Port(), 40000);
    EXPECT_EQ(v6.ScopeId(), 0u);

    // What a user types, and what RFC 5952 makes of it.
    const char* cases[][2] = {
        {"[2001:DB8:0:0:0:0:0:1]:5", "[2001:db8::1]:5"},          // lower case, longest run
        {"[2001:0db8:0000::0001]:5", "[2001:db8::1]:5"},          // no leading zeros
        {"[2001:db8:0:1:1:1:1:1]:5", "[2001:db8:0:1:1:1:1:1]:5"}, // one zero group stays
        {"[2001:db8:0:0:1:0:0:1]:5", "[2001:db8::1:0:0:1]:5"},    // the first of equal runs
        {"[2001:0:0:1:0:0:0:1]:5", "[2001:0:0:1::1]:5"},          // the longer run, though later
        {"[1:2:3:4:5:6:7::]:9", "[1:2:3:4:5:6:7:0]:9"},
        {"[::]:0", "[::]:0"},
        {"[::1]:65535", "[::1]:65535"},
        {"[fe80::1%2]:5", "[fe80::1%2]:5"},
        {"[::ffff:7f00:1]:7", "127.0.0.1:7"}, // v4-mapped reads as IPv4
        {"[::ffff:127.0.0.1]:7", "127.0.0.1:7"},
        {"LOCAL:7", "LOCAL:7"},
        {"0.0.0.0:0", "0.0.0.0:0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(T(P(c[0])), c[1]) << c[0];

    EXPECT_TRUE(P("[::]:0").IsUnspecified());
    EXPECT_TRUE(P("[::1]:1").IsLoopback());
    EXPECT_TRUE(P("127.9.8.7:1").IsLoopback());
    EXPECT_FALSE(P("[::2]:1").IsLoopback());
    EXPECT_TRUE(P("[febf::1%3]:1").IsLinkLocal());
    EXPECT_FALSE(P("[fec0::1]:1").IsLinkLocal());
    EXPECT_TRUE(P("[::ffff:127.0.0.1]:7").IsInet());
    EXPECT_TRUE(P("LOCAL:3").IsLocal());
}

TEST(AddrText, ScopeByNumberOrByTheNameOfAnInterfaceHere) {
    const CNetAddr n = P("[fe80::1%2]:5");
    EXPECT_EQ(n.ScopeId(), 2u);
    EXPECT_TRUE(n.IsLinkLocal());
#if !defined(_WIN32)
    // Every machine has its loopback interface, "lo" on Linux. (On Windows a scope is a number
    // alone, as the guide says.)
    const CNetAddr lo = P("[fe80::1%lo]:5");
    ASSERT_NE(lo.ScopeId(), 0u);
    const std::string by_number = "[fe80::1%" + std::to_string(lo.ScopeId()) + "]:5";
    EXPECT_EQ(T(lo), by_number); // printed by number
    EXPECT_EQ(P(by_number.c_str()), lo);
#endif
    EXPECT_NE(P("[fe80::1%2]:5"), P("[fe80::1%3]:5"));
    EXPECT_EQ(P("[fe80::1%4294967295]:5").ScopeId(), 4294967295u);
}

TEST(AddrText, MalformedTextGivesMinusOneAReasonAndLeavesTheOutputAlone) {
    const char* bad[] = {
        "",
        "[",
        "[]",
        "[]:5",
        "[::1]",
        "[::1]:",
        "[::1]:65536",
        "[::1]:99999999999",
        "[::1]:-1",
        "[::1]:+5",
        "[::1]: 5",
        "[::1]:5 ",
        " [::1]:5",
        "[::1] :5",
        "::1:5",
        "::1",
        "[::1]:5x",
        "[::1]x:5",
        "[[::1]:5",
        "[::1]]:5",
        "[::1:5",
        "::1]:5",
        "[1::2::3]:5",
        "[1:::2]:5",
        "[:1::2]:5",
        "[1::2:]:5",
        "[:1:2:3:4:5:6:7:8]:5",
        "[1:2:3:4:5:6:7:8:]:5",
        "[1:2:3:4:5:6:7:8:9]:5",
        "[1:2:3:4:5:6:7]:5",
        "[1:2:3:4:5:6:7:8::]:5",
        "[::1:2:3:4:5:6:7:8]:5",
        "[12345::1]:5",
        "[g::1]:5",
        "[2001:db8::-1]:5",
        "[::ffff:1.2.3]:5",
        "[::ffff:1.2.3.256]:5",
        "[::ffff:1.2.3.4.5]:5",
        "[1.2.3.4]:5",
        "[fe80::1%]:5",
        "[fe80::1%nosuchif9]:5",
        "[fe80::1%4294967296]:5",
        "[fe80::1%-1]:5",
        "[fe80::1%2x]:5",
        "[fe80::1%%2]:5",
        "[2001:db8::1%2]:5",
        "[::1%1]:5",
        "[fe80::1]%2:5",
        "1.2.3.4:5:6",
        "300.1.2.3:5",
        "1.2.3:4",
        "01.2.3.4:5",
        "1.2.3.4",
        "LOCAL:",
        "LOCAL:70000",
        "LOCAL:x",
        "localhost:5",
        "[localhost]:5",
        "[::1]:5\n",
        "[::1]:005",
        "[ff05::1%2]:5",
        "[::ffff:1.2.3.4%2]:5",
        "[::ffff:01.2.3.4]:5",
    };
    for (const char* text : bad) {
        CNetAddr out = P("[2001:db8::7]:77");
        const CNetAddr before = out;
        char err[128] = "untouched";
        EXPECT_EQ(CNetAddr::Parse(text, &out, err, sizeof err), -1) << "'" << text << "'";
        EXPECT_EQ(out, before) << "'" << text << "' changed the output";
        EXPECT_EQ(out.Port(), 77) << text;
        EXPECT_NE(err[0], '\0') << "'" << text << "' gave no reason";
        EXPECT_STRNE(err, "untouched") << text;
        EXPECT_LT(std::strlen(err), sizeof err);
    }
    CNetAddr out;
    char err[128];
    ASSERT_EQ(CNetAddr::Parse("[1::2::3]:5", &out, err, sizeof err), -1);
    EXPECT_STREQ(err, "[1::2::3]:5: two '::'"); // the example the header gives
    EXPECT_EQ(CNetAddr::Parse(nullptr, &out, err, sizeof err), -1);
    // A short reason buffer is still zero-terminated; none at all is allowed.
    char tiny[6];
    std::memset(tiny, 'x', sizeof tiny);
    EXPECT_EQ(CNetAddr::Parse("[g::1]:5", &out, tiny, sizeof tiny), -1);
    EXPECT_LT(std::strlen(tiny), sizeof tiny);
    EXPECT_EQ(CNetAddr::Parse("[g::1]:5", &out, nullptr, 0), -1);
    // A success leaves err empty.
    std::strcpy(err, "stale");
    EXPECT_EQ(CNetAddr::Parse("[::1]:5", &out, err, sizeof err), 1);
    EXPECT_STREQ(err, "");
}

TEST(AddrEquality, OneEndpointOneValueAndOneHash) {
    const std::uint64_t seed = NetAddrHashSeed();
    EXPECT_NE(seed, NetAddrHashSeed()); // every call

    unsigned char mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    const CNetAddr v4 = P("127.0.0.1:9"), m = CNetAddr::Ipv6(mapped, 9, 5);
    EXPECT_TRUE(m.IsInet());
    EXPECT_EQ(m.ScopeId(), 0u);
    EXPECT_EQ(m, v4);
    EXPECT_EQ(m.Hash(seed, true), v4.Hash(seed, true));
    EXPECT_EQ(m, P("[::ffff:127.0.0.1]:9"));

    unsigned char g[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(CNetAddr::Ipv6(g, 5, 3), P("[2001:db8::1]:5")); // no scope where none is needed
    g[0] = 0xff, g[1] = 0x02; // link-local multicast keeps its scope
    EXPECT_EQ(CNetAddr::Ipv6(g, 5, 3).ScopeId(), 3u);

    const CNetAddr a = P("[2001:db8::1]:5"), b = P("[2001:db8::1]:6");
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.SameHost(b));
    EXPECT_TRUE(a.Equal(b, false));
    EXPECT_FALSE(a.Equal(b, true));
    EXPECT_EQ(a.Hash(seed, false), b.Hash(seed, false));
    EXPECT_EQ(a.Hash(seed, true), P("[2001:DB8:0::1]:5").Hash(seed, true));
    EXPECT_FALSE(P("1.2.3.4:5").SameHost(P("[::102:304]:5"))); // same bytes, other family
    EXPECT_FALSE(P("[fe80::1%1]:5").SameHost(P("[fe80::1%2]:5")));
    EXPECT_EQ(P("LOCAL:4"), CNetAddr::Local(4));
    EXPECT_FALSE(CNetAddr::Local(4).SameHost(CNetAddr::Local(5)));

    // Every byte of the address counts: hosts that differ in any one of them hash apart.
    std::set<std::uint64_t> hosts, ports;
    unsigned char x[16] = {0x20, 0x01, 0x0d, 0xb8};
    for (int i = 0; i < 16 * 64; ++i) {
        unsigned char y[16];
        std::memcpy(y, x, 16);
        y[i % 16] ^= static_cast<unsigned char>(1 + i / 16);
        hosts.insert(CNetAddr::Ipv6(y, 1, 0).Hash(seed, false));
    }
    for (int p = 1; p <= 1000; ++p)
        ports.insert(CNetAddr::Ipv6(x, p, 0).Hash(seed, true));
    EXPECT_GE(hosts.size(), 16u * 63u); // a few of the xors coincide on one byte
    EXPECT_EQ(ports.size(), 1000u);
}

TEST(AddrSockaddrIn, Ipv4ProgramsSeeWhatTheyAlwaysSaw) {
    sockaddr_in in;
    char err[128];
    ASSERT_EQ(ParseAddr("127.0.0.1:4000", &in, err, sizeof err), 1);
    EXPECT_STREQ(ToString(&in), "127.0.0.1:4000");
    const CNetAddr a = CNetAddr::FromSockaddrIn(in);
    EXPECT_EQ(a, P("127.0.0.1:4000"));
    sockaddr_in back;
    std::memset(&back, 0x5a, sizeof back);
    ASSERT_EQ(a.ToSockaddrIn(&back), 1);
    EXPECT_EQ(back.sin_family, in.sin_family);
    EXPECT_EQ(back.sin_port, in.sin_port);
    EXPECT_EQ(back.sin_addr.s_addr, in.sin_addr.s_addr);
    EXPECT_TRUE(CompareAddr(&back, &in));

    sockaddr_in keep = in;
    EXPECT_EQ(P("[::1]:4000").ToSockaddrIn(&keep), -1);
    EXPECT_EQ(CNetAddr().ToSockaddrIn(&keep), -1);
    EXPECT_EQ(0, std::memcmp(&keep, &in, sizeof in));
    // ParseAddr remains IPv4 alone.
    EXPECT_EQ(ParseAddr("[::1]:4000", &keep, err, sizeof err), -1);
    EXPECT_EQ(0, std::memcmp(&keep, &in, sizeof in));

    EXPECT_EQ(P("[::1]:5").CheckDest(err, sizeof err), 1);
    EXPECT_EQ(P("[::]:5").CheckDest(err, sizeof err), -1);
    EXPECT_NE(err[0], '\0');
    EXPECT_EQ(P("[::1]:0").CheckDest(err, sizeof err), -1);
    EXPECT_EQ(P("0.0.0.0:5").CheckDest(err, sizeof err), -1);
    EXPECT_EQ(P("[::ffff:0.0.0.0]:5").CheckDest(err, sizeof err), -1); // 0.0.0.0 in disguise
    CNetAddr r;
    ASSERT_EQ(CNetAddr::Resolve("localhost:5", &r, err, sizeof err), 1) << err;
    EXPECT_TRUE(r.IsLoopback()) << T(r);
    EXPECT_EQ(CNetAddr::Resolve("[::1]:5", &r, err, sizeof err), 1);
    EXPECT_EQ(r, P("[::1]:5"));
    EXPECT_EQ(CNetAddr::Resolve("1.2.3:4", &r, err, sizeof err), -1); // a mistyped address
    EXPECT_EQ(r, P("[::1]:5"));
    EXPECT_EQ(P("LOCAL:0").CheckDest(err, sizeof err), 1);
}
