// The index CNetDtls finds sessions by, at 4 096 sessions: filled, emptied in part and filled
// again, every lookup answers exactly the sessions stored under that address and port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "secure/DtlsIndex.h"

namespace {

// 64 addresses of 127.0.0.0/8 times 64 ports; the family is part of the key.
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

TEST(DtlsIndex, FourThousandSessionsFoundExactlyThroughRemovalsAndReuse) {
    enum : int { kMax = 4096, kShared = 64 };
    CDtlsIndex index;
    ASSERT_TRUE(index.Init(kMax, 0x5bd1e9955bd1e995));
    // Value i under endpoint i; the last 64 values are a second session (a handshake) of
    // endpoints 0..63, as an open session and its replacement share an address.
    for (int i = 0; i < kMax; ++i)
        ASSERT_EQ(index.Insert(Endpoint(i < kMax - kShared ? i : i - (kMax - kShared)), i), 0);
    EXPECT_EQ(index.Insert(Endpoint(5000), 1), -1) << "full";
    auto wrong = [&](bool odd_gone) {
        int n = 0;
        for (int i = 0; i < kMax - kShared; ++i) {
            std::vector<int> want;
            if (!(odd_gone && i % 2)) want.push_back(i);
            if (i < kShared) want.push_back(kMax - kShared + i);
            n += Found(index, Endpoint(i)) != want;
        }
        return n;
    };
    EXPECT_EQ(wrong(false), 0);
    EXPECT_TRUE(Found(index, Endpoint(7, kNetFamilyLocal)).empty()) << "another family";
    // Every odd value leaves: removing twice, or another endpoint's value, fails.
    for (int i = 1; i < kMax - kShared; i += 2)
        ASSERT_EQ(index.Remove(Endpoint(i), i), 0);
    EXPECT_EQ((std::vector<int>{index.Remove(Endpoint(1), 1), index.Remove(Endpoint(2), 3)}),
              (std::vector<int>{-1, -1}));
    EXPECT_EQ(wrong(true), 0);
    // The freed room taken by other endpoints: all found again.
    int refilled_wrong = 0;
    for (int i = 1; i < kMax - kShared; i += 2)
        ASSERT_EQ(index.Insert(Endpoint(i + kMax), i), 0);
    for (int i = 1; i < kMax - kShared; i += 2)
        refilled_wrong += Found(index, Endpoint(i + kMax)) != std::vector<int>{i};
    EXPECT_EQ((std::vector<int>{wrong(true), refilled_wrong}), (std::vector<int>{0, 0}));
}

} // namespace
