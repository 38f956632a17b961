// The address type of both families: its text, its normal form, its equality and hash, and its
// records for the system.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/PlatformAddr.h"
#include "portnet/CNetAddr.h"

namespace {

CNetAddr Parsed(const char* text) {
    CNetAddr a;
    char err[128];
    EXPECT_EQ(CNetAddr::Parse(text, &a, err, sizeof err), 1) << text << ": " << err;
    return a;
}

std::string Text(const CNetAddr& a) {
    char text[CNetAddr::kMaxText];
    return a.ToText(text, sizeof text) > 0 ? text : "(none)";
}

} // namespace

TEST(NetAddr, TextOfEveryFamilyReadsBackAsPrintedInItsShortestForm) {
    const struct {
        const char* in;
        const char* printed;
        unsigned short family;
    } cases[] = {
        {"1.2.3.4:5", "1.2.3.4:5", kNetFamilyInet},
        {"LOCAL:65535", "LOCAL:65535", kNetFamilyLocal},
        {"[::1]:40000", "[::1]:40000", kNetFamilyInet6},
        {"[::]:0", "[::]:0", kNetFamilyInet6},
        {"[2001:DB8:0:0:0:0:0:1]:5", "[2001:db8::1]:5", kNetFamilyInet6},
        {"[2001:db8:0:0:1:0:0:1]:5", "[2001:db8::1:0:0:1]:5", kNetFamilyInet6}, // first of equals
        {"[2001:db8:0:1:0:0:0:1]:5", "[2001:db8:0:1::1]:5", kNetFamilyInet6},   // longest run
        {"[2001:db8:1:2:3:4:0:5]:5", "[2001:db8:1:2:3:4:0:5]:5", kNetFamilyInet6}, // one zero
        {"[2001:0:0:1:0:0:0:1]:5", "[2001:0:0:1::1]:5", kNetFamilyInet6}, // longer, though later
        {"[1:2:3:4:5:6:7::]:9", "[1:2:3:4:5:6:7:0]:9", kNetFamilyInet6},  // one zero at the end
        {"[2001:0db8:00aa::000f]:65535", "[2001:db8:aa::f]:65535", kNetFamilyInet6},
        {"[1::]:1", "[1::]:1", kNetFamilyInet6},
        {"[64:ff9b::192.0.2.33]:9", "[64:ff9b::c000:221]:9", kNetFamilyInet6},
        {"[fe80::1%1]:5", "[fe80::1%1]:5", kNetFamilyInet6},
        {"[fe80::1%4294967295]:5", "[fe80::1%4294967295]:5", kNetFamilyInet6},
        // v4-mapped, in either spelling: the IPv4 address it is.
        {"[::ffff:127.0.0.1]:40000", "127.0.0.1:40000", kNetFamilyInet},
        {"[::ffff:7f00:2]:7", "127.0.0.2:7", kNetFamilyInet},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const CNetAddr a = Parsed(c.in);
        EXPECT_EQ(a.Family(), c.family);
        EXPECT_EQ(Text(a), c.printed);
        EXPECT_EQ(Parsed(c.printed), a); // the printed form is read back as the same endpoint
    }
    // Bytes in reading order, the port a number (no byte order in the type).
    const CNetAddr a = Parsed("[2001:db8::ab]:258");
    EXPECT_EQ(0, std::memcmp(a.Bytes(), "\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\xab", 16));
    EXPECT_EQ((std::vector<int>{a.Port(), a.ByteCount(), int(a.ScopeId())}),
              (std::vector<int>{258, 16, 0}));
    const CNetAddr v4 = Parsed("9.8.7.6:1");
    EXPECT_EQ(v4.ByteCount(), 4);
    EXPECT_EQ(0, std::memcmp(v4.Bytes(), "\x09\x08\x07\x06", 4));
    // The kinds of address a host treats apart.
    EXPECT_TRUE(Parsed("[::]:0").IsUnspecified());
    EXPECT_TRUE(Parsed("[::1]:1").IsLoopback() && Parsed("127.9.8.7:1").IsLoopback());
    EXPECT_FALSE(Parsed("[::2]:1").IsLoopback());
    EXPECT_TRUE(Parsed("[febf::1%3]:1").IsLinkLocal());
    EXPECT_FALSE(Parsed("[fec0::1]:1").IsLinkLocal());
    EXPECT_TRUE(Parsed("LOCAL:3").IsLocal());
    // The longest text fits kMaxText, and a short buffer gets nothing rather than a cut address.
    const CNetAddr longest = Parsed("[fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:65535");
    char text[CNetAddr::kMaxText];
    const int written = longest.ToText(text, sizeof text);
    EXPECT_EQ(written, static_cast<int>(std::strlen(text)));
    EXPECT_GT(written, 50);
    EXPECT_EQ(longest.ToText(text, 20), -1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(CNetAddr().ToText(text, sizeof text), -1);
}

TEST(NetAddr, MalformedTextIsRefusedWithItsReasonAndTheRecordUntouched) {
    const struct {
        const char* text;
        const char* reason; // a part of the reason
    } cases[] = {
        {"[::1", "'[' without ']'"},
        {"[[::1]]:5", "'[' inside"},
        {"[::1]", "missing port"},
        {"[::1]:", "missing port"},
        {"[::1]5", "'5' after ']'"},
        {"[::1]:65536", "above 65535"},
        {"[::1]:080", "leading zero"},
        {"[::1]:5x", "'x' after the port"},
        {"::1:5", "in brackets"},
        {"2001:db8::1:5", "in brackets"},
        {"[]:5", "empty IPv6 address"},
        {"[1:2:3:4:5:6:7:8:9]:5", "more than 8 groups"},
        {"[1:2:3:4:5:6:7]:5", "7 groups where the address has 8"},
        {"[1:2:3:4::5:6:7:8]:5", "too many groups for '::'"},
        {"[1::2::3]:5", "two '::'"},
        {"[1:::2]:5", "':::'"},
        {"[:1::2]:5", "starts with a single ':'"},
        {"[1::2:]:5", "ends with a single ':'"},
        {"[12345::1]:5", "more than 4 hex digits"},
        {"[2001:db8::g]:5", "'g' is no hex digit"},
        {"[2001:db8::1 ]:5", "' ' is no hex digit"},
        {"[::ffff:1.2.3]:5", "3 parts in the IPv4 tail"},
        {"[::ffff:1.2.3.256]:5", "above 255"},
        {"[::ffff:1.2.3.04]:5", "leading zero"},
        {"[1:2:3:4:5:6:7:1.2.3.4]:5", "too many groups"},
        {"[fe80::1%]:5", "empty scope"},
        {"[fe80::1%0]:5", "names no interface"},
        {"[fe80::1%4294967296]:5", "names no interface"},
        {"[fe80::1%01]:5", "leading zero"},
        {"[fe80::1%1x]:5", "'x' in the scope number"},
        {"[fe80::1%e/th0]:5", "'/' in the interface name"},
        {"[fe80::1%abcdefghijklmnop]:5", "longer than 15"},
        {"[fe80::1%no-such-if9]:5", "no interface named no-such-if9"},
        {"[2001:db8::1%1]:5", "only a link-local address takes a scope"},
        {"LOCAL:65536", "LOCAL:0..65535"},
        {"LOCAL:", "LOCAL:0..65535"},
        {"1.2.3.4", "missing port"}, // IPv4 text keeps ParseAddr's reasons
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CNetAddr a = CNetAddr::Local(77);
        char err[128] = "x";
        EXPECT_EQ(CNetAddr::Parse(c.text, &a, err, sizeof err), -1);
        EXPECT_NE(std::strstr(err, c.reason), nullptr) << err;
        EXPECT_EQ(a, CNetAddr::Local(77));
        EXPECT_EQ(CNetAddr::Parse(c.text, &a, nullptr, 0), -1); // no buffer: still refused
    }
    // Refused with some reason: stray bytes, brackets and signs anywhere, groups past 8.
    // clang-format off
    const char* const refused[] = {
        "", "[", "[]", "[::1]:99999999999", "[::1]:-1", "[::1]:+5", "[::1]: 5", "[::1]:5 ",
        " [::1]:5", "[::1] :5", "::1", "[::1]x:5", "[[::1]:5", "[::1]]:5", "::1]:5",
        "[:1:2:3:4:5:6:7:8]:5", "[1:2:3:4:5:6:7:8:]:5", "[1:2:3:4:5:6:7:8::]:5",
        "[::1:2:3:4:5:6:7:8]:5", "[2001:db8::-1]:5", "[::ffff:1.2.3.4.5]:5", "[1.2.3.4]:5",
        "[fe80::1%-1]:5", "[fe80::1%%2]:5", "[::1%1]:5", "[fe80::1]%2:5", "1.2.3.4:5:6", "LOCAL:x",
        "[localhost]:5", "[::1]:005", "[ff05::1%2]:5", "[::ffff:1.2.3.4%2]:5",
        "[::ffff:01.2.3.4]:5", "[::1]:5\n",
    };
    // clang-format on
    for (const char* text : refused) {
        CNetAddr a = CNetAddr::Local(77);
        char err[128] = "";
        EXPECT_EQ(CNetAddr::Parse(text, &a, err, sizeof err), -1) << "'" << text << "'";
        EXPECT_NE(err[0], '\0') << text;
        EXPECT_EQ(a, CNetAddr::Local(77)) << text;
    }
    // A success clears an earlier reason; a short buffer keeps the zero inside.
    char err[8] = "old";
    CNetAddr a;
    EXPECT_EQ(CNetAddr::Parse("[::1]:1", &a, err, sizeof err), 1);
    EXPECT_STREQ(err, "");
    EXPECT_EQ(CNetAddr::Parse("[1::2::3]:5", &a, err, sizeof err), -1);
    EXPECT_EQ(std::strlen(err), sizeof err - 1);
    char whole[64];
    EXPECT_EQ(CNetAddr::Parse("[1::2::3]:5", &a, whole, sizeof whole), -1);
    EXPECT_STREQ(whole, "[1::2::3]:5: two '::'"); // the text, then why
    EXPECT_EQ(CNetAddr::Parse(nullptr, &a, whole, sizeof whole), -1);
}

#if !defined(_WIN32)
TEST(NetAddr, ScopeByInterfaceNameIsItsNumber) {
    const std::uint32_t lo = portnet::platform::InterfaceIndex("lo");
    if (lo == 0) GTEST_SKIP() << "no interface named lo";
    const CNetAddr by_name = Parsed("[fe80::1%lo]:5");
    EXPECT_EQ(by_name.ScopeId(), lo);
    const std::string by_number = "[fe80::1%" + std::to_string(lo) + "]:5";
    EXPECT_EQ(by_name, Parsed(by_number.c_str()));
    EXPECT_EQ(Text(by_name), by_number); // printed by number
}
#endif

TEST(NetAddr, EqualityAndHashAgreeAndMappedPeersAreTheirIpv4Address) {
    const std::uint64_t seed = NetAddrHashSeed();
    const CNetAddr v4 = Parsed("127.0.0.1:40000");
    const CNetAddr mapped = Parsed("[::ffff:127.0.0.1]:40000");
    const unsigned char mapped_bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    EXPECT_EQ(mapped, v4);
    EXPECT_EQ(CNetAddr::Ipv6(mapped_bytes, 40000, 3), v4); // no scope survives
    EXPECT_EQ(mapped.Hash(seed, true), v4.Hash(seed, true));
    unsigned char g[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(CNetAddr::Ipv6(g, 5, 3), Parsed("[2001:db8::1]:5")); // no scope where none is needed
    g[0] = 0xff, g[1] = 0x02; // link-local multicast keeps its scope
    EXPECT_EQ(CNetAddr::Ipv6(g, 5, 3).ScopeId(), 3u);

    const struct {
        const char *a, *b;
        bool same_endpoint, same_host;
    } cases[] = {
        {"[2001:db8::1]:5", "[2001:db8::1]:6", false, true},
        {"[2001:db8::1]:5", "[2001:db8::2]:5", false, false},
        {"[fe80::1%1]:5", "[fe80::1%2]:5", false, false}, // one address on two links
        {"[::1]:5", "127.0.0.1:5", false, false},
        {"[::]:5", "0.0.0.0:5", false, false},
        {"[::7f00:1]:5", "127.0.0.1:5", false, false}, // IPv4-compatible is not mapped
        {"LOCAL:5", "LOCAL:5", true, true},
        {"LOCAL:5", "LOCAL:6", false, false},
        {"LOCAL:5", "0.0.0.5:0", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " " + c.b);
        const CNetAddr a = Parsed(c.a), b = Parsed(c.b);
        EXPECT_EQ(a == b, c.same_endpoint);
        EXPECT_EQ(a.SameHost(b), c.same_host);
        EXPECT_EQ(a.Equal(b, false), c.same_host);
        if (c.same_host) {
            EXPECT_EQ(a.Hash(seed, false), b.Hash(seed, false));
        }
        if (c.same_endpoint) {
            EXPECT_EQ(a.Hash(seed, true), b.Hash(seed, true));
        }
    }
    // A loopback id counts even where ports do not.
    EXPECT_NE(CNetAddr::Local(1).Hash(seed, false), CNetAddr::Local(2).Hash(seed, false));

    // Addresses one bit apart spread over a table's low bits; two seeds order them differently.
    std::set<std::uint32_t> homes, other_seed;
    for (int i = 0; i < 1024; ++i) {
        unsigned char b[16] = {0x20, 0x01, 0x0d, 0xb8};
        b[14] = static_cast<unsigned char>(i >> 8);
        b[15] = static_cast<unsigned char>(i);
        homes.insert(static_cast<std::uint32_t>(CNetAddr::Ipv6(b, 5).Hash(seed, true)) & 4095u);
        other_seed.insert(static_cast<std::uint32_t>(CNetAddr::Ipv6(b, 5).Hash(seed + 1, true)));
    }
    EXPECT_GT(homes.size(), 700u); // 1024 into 4096 at random: about 903 distinct
    // Every byte of the address counts, and so does the port.
    std::set<std::uint64_t> hosts, ports;
    const unsigned char x[16] = {0x20, 0x01, 0x0d, 0xb8};
    for (int i = 0; i < 16 * 64; ++i) {
        unsigned char y[16];
        std::memcpy(y, x, 16);
        y[i % 16] ^= static_cast<unsigned char>(1 + i / 16);
        hosts.insert(CNetAddr::Ipv6(y, 1, 0).Hash(seed, false));
    }
    for (int p = 1; p <= 1000; ++p)
        ports.insert(CNetAddr::Ipv6(x, static_cast<std::uint16_t>(p), 0).Hash(seed, true));
    EXPECT_GE(hosts.size(), 16u * 63u); // a few of the xors coincide on one byte
    EXPECT_EQ(ports.size(), 1000u);
    EXPECT_NE(NetAddrHashSeed(), NetAddrHashSeed());
    EXPECT_NE(v4.Hash(seed, true), v4.Hash(seed + 1, true));
}

TEST(NetAddr, CheckDestRefusesAnyAddressPortZeroAndAnUnscopedLinkLocal) {
    char err[128];
    for (const char* good : {"[::1]:1", "[fe80::1%1]:5", "1.2.3.4:5", "LOCAL:0"}) {
        EXPECT_EQ(Parsed(good).CheckDest(err, sizeof err), 1) << good;
    }
    const struct {
        const char *text, *reason;
    } bad[] = {{"[::]:5", ":: means any address"},
               {"[::1]:0", "port 0"},
               {"0.0.0.0:5", "0.0.0.0 means any"},
               {"[fe80::1]:5", "needs a scope"},
               {"[::ffff:0.0.0.0]:5", "0.0.0.0 means any"}}; // 0.0.0.0 in disguise
    for (const auto& c : bad) {
        EXPECT_EQ(Parsed(c.text).CheckDest(err, sizeof err), -1) << c.text;
        EXPECT_NE(std::strstr(err, c.reason), nullptr) << err;
    }
    EXPECT_EQ(CNetAddr().CheckDest(err, sizeof err), -1);
}

TEST(NetAddr, SystemRecordsCarryEveryFieldAndSocketKindsGetTheirForm) {
    using portnet::platform::AddrFromSockaddr;
    using portnet::platform::AddrToSockaddr;
    sockaddr_storage ss;
    CNetAddr back;
    // IPv6 with its scope, both ways.
    const CNetAddr ll = Parsed("[fe80::1:2%7]:4660");
    ASSERT_EQ(AddrToSockaddr(ll, true, &ss), static_cast<int>(sizeof(sockaddr_in6)));
    sockaddr_in6 in6;
    std::memcpy(&in6, &ss, sizeof in6);
    EXPECT_EQ(in6.sin6_family, AF_INET6);
    EXPECT_EQ(in6.sin6_port, htons(4660));
    EXPECT_EQ(in6.sin6_scope_id, 7u);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&in6.sin6_addr)[0], 0xfe);
    EXPECT_EQ(AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&ss), sizeof in6, &back), 1);
    EXPECT_EQ(back, ll);
    // IPv4 goes v4-mapped to a v6 socket and comes back as IPv4; plain to a v4 socket.
    const CNetAddr v4 = Parsed("127.0.0.1:40000");
    ASSERT_EQ(AddrToSockaddr(v4, true, &ss), static_cast<int>(sizeof(sockaddr_in6)));
    std::memcpy(&in6, &ss, sizeof in6);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&in6.sin6_addr)[10], 0xff);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&in6.sin6_addr)[12], 127);
    EXPECT_EQ(AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&ss), sizeof in6, &back), 1);
    EXPECT_EQ(back, v4);
    ASSERT_EQ(AddrToSockaddr(v4, false, &ss), static_cast<int>(sizeof(sockaddr_in)));
    EXPECT_EQ(AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&ss), sizeof(sockaddr_in), &back),
              1);
    EXPECT_EQ(back, v4);
    // What a socket cannot reach, and records too short for their family.
    EXPECT_EQ(AddrToSockaddr(ll, false, &ss), -1);
    EXPECT_EQ(AddrToSockaddr(CNetAddr::Local(3), true, &ss), -1);
    EXPECT_EQ(AddrToSockaddr(CNetAddr(), true, &ss), -1);
    AddrToSockaddr(ll, true, &ss);
    EXPECT_EQ(AddrFromSockaddr(reinterpret_cast<const sockaddr*>(&ss), sizeof(sockaddr_in), &back),
              -1);
    EXPECT_EQ(back, CNetAddr());
}

TEST(NetAddr, SockaddrInRecordsOfTodayConvertBothWaysAndIpv6HasNone) {
    sockaddr_in in;
    ASSERT_EQ(ParseAddr("10.20.30.40:5000", &in, nullptr, 0), 1);
    const CNetAddr a = CNetAddr::FromSockaddrIn(in);
    EXPECT_EQ(a, Parsed("10.20.30.40:5000"));
    sockaddr_in out;
    std::memset(&out, 0xAB, sizeof out);
    ASSERT_EQ(a.ToSockaddrIn(&out), 1);
    EXPECT_EQ(std::memcmp(&out, &in, sizeof in), 0); // byte for byte, padding zeroed
    sockaddr_in local{};
    local.sin_family = kNetFamilyLocal;
    GetAddrFromString("LOCAL:9", &local);
    EXPECT_EQ(CNetAddr::FromSockaddrIn(local), CNetAddr::Local(9));
    ASSERT_EQ(CNetAddr::Local(9).ToSockaddrIn(&out), 1);
    EXPECT_TRUE(CompareAddr(&out, &local));
    std::memset(&out, 0xAB, sizeof out);
    const sockaddr_in before = out;
    EXPECT_EQ(Parsed("[::1]:5").ToSockaddrIn(&out), -1);
    EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
    EXPECT_EQ(CNetAddr().ToSockaddrIn(&out), -1);
    EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
    EXPECT_EQ(ParseAddr("[::1]:4000", &out, nullptr, 0), -1); // ParseAddr stays IPv4 alone
    sockaddr_in other{};
    other.sin_family = 99;
    EXPECT_EQ(CNetAddr::FromSockaddrIn(other), CNetAddr());
}

TEST(NetAddr, ResolveTakesNamesAndAddressesButNoMistypedNumber) {
    char err[128];
    CNetAddr r;
    ASSERT_EQ(CNetAddr::Resolve("localhost:5", &r, err, sizeof err), 1) << err;
    EXPECT_TRUE(r.IsLoopback()) << Text(r);
    EXPECT_EQ(CNetAddr::Resolve("[::1]:5", &r, err, sizeof err), 1);
    EXPECT_EQ(r, Parsed("[::1]:5"));
    EXPECT_EQ(CNetAddr::Resolve("1.2.3:4", &r, err, sizeof err), -1);
    EXPECT_EQ(r, Parsed("[::1]:5"));
}
