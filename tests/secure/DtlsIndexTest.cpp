// The index CNetDtls finds sessions by: filled to 4 096 sessions, emptied in part and filled
// again, every lookup answers exactly the sessions stored under that address and port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "secure/DtlsIndex.h"

namespace {

// Endpoints that share addresses and ports with many others: 64 addresses of 127.0.0.0/8
// times 64 ports, and the family as part of the key.
sockaddr_in Endpoint(int n, short family = kNetFamilyInet) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = family;
    a.sin_port = static_cast<unsigned short>(40000 + n / 64);
    const unsigned char ip[4] = {127, 0, static_cast<unsigned char>(n % 64), 1};
    std::memcpy(&a.sin_addr, ip, sizeof ip);
    return a;
}

std::vector<int> Found(const CDtlsIndex& index, const sockaddr_in& a) {
    int out[8];
    std::vector<int> v(out, out + index.Find(a, out, 8));
    std::sort(v.begin(), v.end());
    return v;
}

struct Fill {
    const char* name;
    std::uint64_t salt;
};

class DtlsIndexAtScale : public ::testing::TestWithParam<Fill> {};

TEST_P(DtlsIndexAtScale, EveryLookupAnswersExactlyWhatIsStored) {
    enum : int { kMax = 4096 };
    CDtlsIndex index;
    ASSERT_TRUE(index.Init(kMax, GetParam().salt));
    // Slot i for endpoint i; the last 64 slots hold a second session (a handshake) for
    // endpoints 0..63, as an open session and its replacement share an address.
    for (int i = 0; i < kMax - 64; ++i)
        ASSERT_EQ(index.Insert(Endpoint(i), i), 0);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(index.Insert(Endpoint(i), kMax - 64 + i), 0);
    EXPECT_EQ(index.Insert(Endpoint(5000), 1), -1) << "full";
    auto expected = [&](int i, bool removed_odd) {
        std::vector<int> v;
        if (!(removed_odd && i % 2)) v.push_back(i);
        if (i < 64) v.push_back(kMax - 64 + i);
        return v;
    };
    int wrong = 0;
    for (int i = 0; i < kMax - 64; ++i)
        wrong += Found(index, Endpoint(i)) != expected(i, false);
    EXPECT_EQ(wrong, 0);
    // Another family with the same port and address bytes is another endpoint; so is a port
    // or an address no session has.
    EXPECT_EQ((std::vector<size_t>{Found(index, Endpoint(7, kNetFamilyLocal)).size(),
                                   Found(index, Endpoint(kMax)).size()}),
              (std::vector<size_t>{0, 0}));
    // Every odd slot leaves; what stays is still found, what left is not, and removing twice
    // fails.
    for (int i = 1; i < kMax - 64; i += 2)
        ASSERT_EQ(index.Remove(Endpoint(i), i), 0);
    EXPECT_EQ(index.Remove(Endpoint(1), 1), -1);
    EXPECT_EQ(index.Remove(Endpoint(2), 3), -1) << "another endpoint's value";
    wrong = 0;
    for (int i = 0; i < kMax - 64; ++i)
        wrong += Found(index, Endpoint(i)) != expected(i, true);
    EXPECT_EQ(wrong, 0);
    // Refilled with other endpoints in the freed slots: everything is found again.
    for (int i = 1; i < kMax - 64; i += 2)
        ASSERT_EQ(index.Insert(Endpoint(i + kMax), i), 0);
    wrong = 0;
    for (int i = 0; i < kMax - 64; ++i) {
        const bool odd = i % 2;
        wrong += Found(index, Endpoint(i)) != expected(i, true);
        wrong += odd && Found(index, Endpoint(i + kMax)) != std::vector<int>{i};
    }
    EXPECT_EQ(wrong, 0);
}

// A salt of 0 and a random one; a table of one entry.
INSTANTIATE_TEST_SUITE_P(Salts, DtlsIndexAtScale,
                         ::testing::Values(Fill{"unsalted", 0}, Fill{"salted", 0x5bd1e9955bd1e995}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DtlsIndex, OneEntryTable) {
    CDtlsIndex index;
    ASSERT_TRUE(index.Init(1, 7));
    EXPECT_EQ((std::vector<int>{index.Insert(Endpoint(1), 0), index.Insert(Endpoint(2), 1),
                                index.Remove(Endpoint(1), 0), index.Insert(Endpoint(2), 1)}),
              (std::vector<int>{0, -1, 0, 0}));
    EXPECT_EQ(Found(index, Endpoint(2)), std::vector<int>{1});
    EXPECT_TRUE(Found(index, Endpoint(1)).empty());
}

} // namespace
