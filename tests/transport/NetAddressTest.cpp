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
