#include "TransportFixture.h"

TEST(NetAddress, TextRoundTripsAndMalformedTextIsDefined) {
    const struct {
        unsigned short family;
        std::string text;
        const char* printed;
    } cases[] = {
        {kNetFamilyInet, "127.0.0.1:5000", "127.0.0.1:5000"},
        {kNetFamilyInet, "127.255.200.5:65535", "127.255.200.5:65535"},
        {kNetFamilyInet, "", "0.0.0.0:0"}, // unparsed fields count as 0
        {kNetFamilyInet, "1.2.3", "1.2.3.0:0"},
        {kNetFamilyInet, "999.1.1.1:70000", "231.1.1.1:4464"}, // low bits, no range check
        {kNetFamilyInet, "127.0.0.1:80" + std::string(288, 'x'), "127.0.0.1:80"},
        {kNetFamilyInet, std::string(300, '7'), "113.0.0.0:0"}, // wraps modulo 2^32
        {kNetFamilyLocal, "LOCAL:65535", "LOCAL:65535"},
        {kNetFamilyLocal, "3", "LOCAL:3"},
        {0, "127.0.0.1:5000", nullptr}, // unknown family: nothing parsed or printed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        const sockaddr_in a = Addr(c.family, c.text);
        EXPECT_STREQ(ToString(&a), c.printed);
    }
    const sockaddr_in a = Inet("127.0.0.1:5000");
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&a.sin_addr)[0], 127); // memory order
    EXPECT_EQ(a.sin_port, htons(5000));
    EXPECT_EQ(Addr(0, "127.0.0.1:5000").sin_port, 0);
    EXPECT_EQ(ToString(nullptr), nullptr);
}

TEST(NetAddress, CompareIgnoresInetPortsAndMatchesLocalIds) {
    const struct {
        sockaddr_in a, b;
        bool same;
    } cases[] = {
        {Inet("127.0.0.1:5000"), Inet("127.0.0.1:6000"), true},
        {Inet("127.0.0.1:5000"), Inet("127.0.0.2:5000"), false},
        {Local(1), Local(1), true},
        {Local(1), Local(2), false},
        {Inet("0.0.0.0:1"), Local(1), false}, // equal address field, different families
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompareAddr(&c.a, &c.b), c.same) << &c - cases;
    EXPECT_FALSE(CompareAddr(&cases[0].a, nullptr));
}

namespace {

// A record no parse writes: a refusal must leave every byte of it.
sockaddr_in Untouched() {
    sockaddr_in a;
    std::memset(&a, 0xA5, sizeof a);
    return a;
}

bool SameBytes(const sockaddr_in& a, const sockaddr_in& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(NetAddress, ParseAddrTakesOnlyTheDottedFormAndSaysWhatIsWrong) {
    for (const char* good : {"127.0.0.1:5000", "0.0.0.0:0", "255.255.255.255:65535", "1.2.3.4:1",
                             "10.20.30.40:65534"}) {
        SCOPED_TRACE(good);
        sockaddr_in a = Untouched();
        char err[64] = "stale";
        ASSERT_EQ(ParseAddr(good, &a, err, sizeof err), 1);
        EXPECT_STREQ(err, "");
        EXPECT_STREQ(ToString(&a), good); // the accepted spelling is the printed one
        const sockaddr_in legacy = Inet(good);
        EXPECT_TRUE(SameBytes(a, legacy)); // network byte order, the rest of the record zero
    }
    const struct {
        std::string text;
        std::string err;
    } bad[] = {
        {"300.1.2.3:40631", "300.1.2.3:40631: part 1 is above 255"},
        {"1.2.3.256:1", "1.2.3.256:1: part 4 is above 255"},
        {":99999", ":99999: missing address before the port"},
        {"1.2.3.4:99999", "1.2.3.4:99999: port 99999 is above 65535"},
        {"1.2.3.4:4294967297", "1.2.3.4:4294967297: port 4294967297 is above 65535"},
        {"1.2.3.4:" + std::string(40, '7'), // the text echoed is cut at 40 characters
         "1.2.3.4:" + std::string(32, '7') + "...: port 7777777777... is above 65535"},
        {"localhost:4000", "localhost:4000: part 1 starts with 'l', not a digit"},
        {"nonsense", "nonsense: part 1 starts with 'n', not a digit"},
        {"", "empty address (a.b.c.d:port)"},
        {"1.2.3", "1.2.3: 3 parts where the address has 4"},
        {"1.2.3:4", "1.2.3:4: 3 parts where the address has 4"},
        {"1..3.4:1", "1..3.4:1: part 2 is empty"},
        {"1.2.3.4.5:1", "1.2.3.4.5:1: more than 4 parts"},
        {"1.2.3.4", "1.2.3.4: missing port"},
        {"1.2.3.4:", "1.2.3.4:: missing port"},
        {"1.2.3.4:-1", "1.2.3.4:-1: port starts with '-', not a digit"},
        {"1.2.3.4:+1", "1.2.3.4:+1: port starts with '+', not a digit"},
        {"1.2.3.4:1x", "1.2.3.4:1x: 'x' after the port"},
        {"1.2.3.4:1 ", "1.2.3.4:1 : ' ' after the port"},
        {" 1.2.3.4:1", " 1.2.3.4:1: part 1 starts with ' ', not a digit"},
        {"-1.2.3.4:1", "-1.2.3.4:1: part 1 starts with '-', not a digit"},
        {"1.2.3x.4:1", "1.2.3x.4:1: 'x' after part 3"},
        {"1.2.3.4x:1", "1.2.3.4x:1: 'x' after part 4"},
        {"01.2.3.4:1", "01.2.3.4:1: part 1 has a leading zero"},
        {"1.2.3.4:080", "1.2.3.4:080: port has a leading zero"},
        {"1.2.3.4:1\n", "1.2.3.4:1?: byte 0x0a after the port"}, // control bytes never echoed
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.text);
        sockaddr_in a = Untouched();
        char err[100];
        EXPECT_EQ(ParseAddr(c.text.c_str(), &a, err, sizeof err), -1);
        EXPECT_EQ(err, c.err);
        EXPECT_TRUE(SameBytes(a, Untouched()));
        EXPECT_EQ(ParseAddr(c.text.c_str(), &a, nullptr, 0), -1); // no buffer: still refused
    }
}

TEST(NetAddress, ParseAddrReasonAlwaysEndsInsideItsBuffer) {
    sockaddr_in a = Untouched();
    const std::string whole = "300.1.2.3:40631: part 1 is above 255";
    char err[48];
    // Every size from none to more than the reason needs: the zero lands inside, nothing after.
    for (std::size_t size = 0; size < sizeof err; ++size) {
        std::memset(err, '#', sizeof err);
        EXPECT_EQ(ParseAddr("300.1.2.3:40631", &a, err, static_cast<int>(size)), -1);
        if (size > 0) {
            EXPECT_EQ(err, whole.substr(0, size - 1)) << size;
        }
        EXPECT_EQ(err[size], '#') << size;
    }
    EXPECT_EQ(ParseAddr(nullptr, &a, err, sizeof err), -1);
    EXPECT_STREQ(err, "no address given");
    EXPECT_EQ(ParseAddr("1.2.3.4:1", nullptr, err, sizeof err), -1);
    EXPECT_TRUE(SameBytes(a, Untouched()));
}

TEST(NetAddress, ResolveAddrTakesNamesButNeverMistypedNumbers) {
    sockaddr_in a = Untouched();
    char err[100] = "stale";
    ASSERT_EQ(ResolveAddr("localhost:4000", &a, err, sizeof err), 1) << err;
    EXPECT_STREQ(err, ""); // not ParseAddr's reason for the name
    EXPECT_STREQ(ToString(&a), "127.0.0.1:4000");
    EXPECT_TRUE(SameBytes(a, Inet("127.0.0.1:4000")));
    ASSERT_EQ(ResolveAddr("127.0.0.2:7", &a, err, sizeof err), 1);
    EXPECT_STREQ(ToString(&a), "127.0.0.2:7");
    // None of these reaches the resolver: numbers keep ParseAddr's reason, names need a port.
    const struct {
        const char* text;
        const char* err;
    } bad[] = {
        {"localhost:99999", "localhost:99999: port 99999 is above 65535"},
        {"localhost:", "localhost:: missing port"},
        {"localhost", "localhost: missing port (name:port)"},
        {"nonsense", "nonsense: missing port (name:port)"},
        {"1.2.3:4", "1.2.3:4: 3 parts where the address has 4"},
        {"0x7f.1:4", "0x7f.1:4: 'x' after part 1"},
        {"bad_name:1", "bad_name:1: part 1 starts with 'b', not a digit"},
        {"", "empty address (a.b.c.d:port)"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.text);
        sockaddr_in b = Untouched();
        EXPECT_EQ(ResolveAddr(c.text, &b, err, sizeof err), -1);
        EXPECT_STREQ(err, c.err);
        EXPECT_TRUE(SameBytes(b, Untouched()));
    }
    EXPECT_EQ(ResolveAddr(nullptr, &a, err, sizeof err), -1);
}

TEST(NetAddress, CheckDestAddrRefusesAnyAddressAndPortZero) {
    sockaddr_in other_family = Inet("127.0.0.1:1");
    other_family.sin_family = 0;
    const struct {
        sockaddr_in addr;
        const char* err; // null: a destination
    } cases[] = {
        {Inet("127.0.0.1:4000"), nullptr},
        {Local(3), nullptr},
        {Inet("0.0.0.0:4000"), "0.0.0.0:4000: 0.0.0.0 means any address, not a destination"},
        {Inet("127.0.0.1:0"), "127.0.0.1:0: port 0 is no destination"},
        {Inet(""), "0.0.0.0:0: 0.0.0.0 means any address, not a destination"},
        {other_family, "not an IPv4 address (family 0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        char err[100] = "";
        EXPECT_EQ(CheckDestAddr(&c.addr, err, sizeof err), c.err ? -1 : 1);
        EXPECT_STREQ(err, c.err ? c.err : "");
    }
    EXPECT_EQ(CheckDestAddr(nullptr, nullptr, 0), -1);
}
