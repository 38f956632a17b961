#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "portnet/NetAddress.h"

namespace {

sockaddr_in Family(unsigned short family) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = family;
    return a;
}

sockaddr_in Inet(const std::string& text) {
    sockaddr_in a = Family(kNetFamilyInet);
    GetAddrFromString(text.c_str(), &a);
    return a;
}

std::string Text(const sockaddr_in& a) {
    const char* t = ToString(&a);
    return t != nullptr ? t : "(null)";
}

} // namespace

TEST(NetAddress, TextRoundTripsWithHighBytesAndPorts) {
    for (const char* text : {"127.0.0.1:5000", "127.255.200.5:65535", "127.1.2.3:0"})
        EXPECT_EQ(Text(Inet(text)), text);
}

TEST(NetAddress, ParsesIntoMemoryOrderAndNetworkPort) {
    const sockaddr_in a = Inet("127.0.0.1:5000");
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&a.sin_addr);
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[3], 1);
    EXPECT_EQ(a.sin_port, htons(5000));
    EXPECT_EQ(a.sin_family, kNetFamilyInet);
}

TEST(NetAddress, MalformedTextGivesZeroForUnparsedFields) {
    EXPECT_EQ(Text(Inet("")), "0.0.0.0:0");
    EXPECT_EQ(Text(Inet("1.2.3")), "1.2.3.0:0");
    EXPECT_EQ(Text(Inet("127.0.0.1")), "127.0.0.1:0");
    // Numbers keep their low bits without a range check.
    EXPECT_EQ(Text(Inet("999.1.1.1:70000")), "231.1.1.1:4464");
    EXPECT_EQ(Text(Inet("127.0.0.1:80" + std::string(288, 'x'))), "127.0.0.1:80");
    EXPECT_EQ(Text(Inet(std::string(300, '7'))).substr(3), ".0.0.0:0");
}

TEST(NetAddress, UnknownFamilyIsLeftAloneAndPrintsNull) {
    sockaddr_in a = Family(0);
    std::memset(&a.sin_addr, 0xAB, 4);
    const sockaddr_in before = a;
    GetAddrFromString("127.0.0.1:5000", &a);
    EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0);
    const sockaddr_in valid = Inet("127.0.0.1:5000");
    char* buffer = ToString(&valid);
    EXPECT_EQ(ToString(&a), nullptr);
    EXPECT_EQ(buffer[0], '\0'); // the old text is gone
    EXPECT_EQ(ToString(nullptr), nullptr);
}

TEST(NetAddress, LocalEndpointsPrintTheirIdAsStored) {
    sockaddr_in a = Family(kNetFamilyLocal);
    GetAddrFromString("LOCAL:65535", &a);
    EXPECT_EQ(a.sin_port, 65535);
    EXPECT_EQ(a.sin_addr.s_addr, 0u);
    EXPECT_EQ(Text(a), "LOCAL:65535");
    GetAddrFromString("3", &a);
    EXPECT_EQ(a.sin_port, 3);
    EXPECT_EQ(Text(a), "LOCAL:3");
}

TEST(NetAddress, CompareIgnoresPortsForInetAndMatchesLocalIds) {
    const sockaddr_in a1 = Inet("127.0.0.1:5000"), a2 = Inet("127.0.0.1:6000");
    EXPECT_FALSE(CompareAddr(&a1, nullptr));
    const sockaddr_in b = Inet("127.0.0.2:5000");
    EXPECT_TRUE(CompareAddr(&a1, &a2));
    EXPECT_FALSE(CompareAddr(&a1, &b));

    sockaddr_in l1 = Family(kNetFamilyLocal), l2 = Family(kNetFamilyLocal);
    l1.sin_port = 1;
    l2.sin_port = 1;
    EXPECT_TRUE(CompareAddr(&l1, &l2));
    l2.sin_port = 2;
    EXPECT_FALSE(CompareAddr(&l1, &l2));
    // Same port field, different families.
    sockaddr_in i1 = Family(kNetFamilyInet);
    i1.sin_port = 1;
    l2.sin_port = 1;
    EXPECT_FALSE(CompareAddr(&i1, &l1));
}
