#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "transport/CNetLocal.h"
#include "transport/NetRegistry.h"

namespace {

sockaddr_in To(int id) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = kNetFamilyLocal;
    a.sin_port = static_cast<unsigned short>(id);
    return a;
}

class CNetLocalTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseSystemNetDriver(); }

    CNetLocal* Endpoint(int id) {
        auto* e = static_cast<CNetLocal*>(GetSystemNetDriver(kNetDriverLocal, id));
        EXPECT_EQ(e->Init(), 0);
        return e;
    }

    static int Send(CNetLocal* from, int to, const std::string& text) {
        sockaddr_in addr = To(to);
        return from->SendTo(static_cast<int>(text.size()), const_cast<char*>(text.data()), &addr);
    }

    // The waiting datagram as text; "" when nothing is waiting.
    static std::string Take(CNetLocal* e, sockaddr_in* from = nullptr) {
        char buf[CNetLocal::kMaxDatagram];
        int len = sizeof buf;
        sockaddr_in ignored{};
        EXPECT_EQ(e->RecvFrom(&len, buf, from != nullptr ? from : &ignored), 0);
        return std::string(buf, static_cast<std::size_t>(len));
    }
};

} // namespace

TEST_F(CNetLocalTest, DeliversOnceWithSenderId) {
    CNetLocal* a = Endpoint(1);
    CNetLocal* b = Endpoint(2);
    EXPECT_EQ(Send(a, 2, "0123456789"), 0);
    sockaddr_in from{};
    EXPECT_EQ(Take(b, &from), "0123456789");
    EXPECT_EQ(from.sin_family, kNetFamilyLocal);
    EXPECT_EQ(from.sin_port, 1);
    EXPECT_EQ(Take(b), "");
}

TEST_F(CNetLocalTest, MailboxKeepsOnlyTheLatestDatagram) {
    CNetLocal* a = Endpoint(1);
    CNetLocal* b = Endpoint(2);
    Send(a, 2, "first");
    Send(a, 2, "second");
    EXPECT_EQ(Take(b), "second");
    Send(a, 2, "lost");
    EXPECT_EQ(Send(a, 2, ""), 0); // an empty datagram empties the mailbox
    EXPECT_EQ(b->m_pending_len, 0);
    EXPECT_EQ(Take(b), "");
}

TEST_F(CNetLocalTest, OversizedOrNegativeLengthFailsOnlyForKnownTarget) {
    CNetLocal* a = Endpoint(1);
    CNetLocal* b = Endpoint(2);
    Send(a, 2, "kept");
    std::vector<char> big(1451, 'x');
    sockaddr_in to = To(2);
    EXPECT_EQ(a->SendTo(1451, big.data(), &to), -1);
    EXPECT_EQ(a->SendTo(-1, big.data(), &to), -1);
    to = To(9);
    EXPECT_EQ(a->SendTo(1451, big.data(), &to), 0);
    EXPECT_EQ(Take(b), "kept");
    to = To(2);
    EXPECT_EQ(a->SendTo(1450, big.data(), &to), 0);
    EXPECT_EQ(Take(b).size(), 1450u);
}

TEST_F(CNetLocalTest, ShortCapacityKeepsDatagram) {
    CNetLocal* a = Endpoint(1);
    Send(a, 1, "hello"); // an endpoint may address itself
    char buf[4];
    int len = 4;
    sockaddr_in from{};
    EXPECT_EQ(a->RecvFrom(&len, buf, &from), -1);
    EXPECT_EQ(Take(a), "hello");
}

TEST_F(CNetLocalTest, IdIsRegisteredOnlyOnce) {
    CNetLocal* first = Endpoint(5);
    auto* second = GetSystemNetDriver(kNetDriverLocal, 5);
    EXPECT_EQ(second->Init(), -1);
    EXPECT_EQ(first->Init(), -1);
    EXPECT_EQ(g_local_list.Count(), 1);
    EXPECT_EQ(first->Shutdown(), 0);
    EXPECT_EQ(first->Shutdown(), -1);
    EXPECT_EQ(second->Init(), 0);
    EXPECT_EQ(Send(static_cast<CNetLocal*>(second), 5, "x"), 0);
    EXPECT_EQ(first->m_pending_len, 0); // the shut-down endpoint is unreachable
}

TEST_F(CNetLocalTest, BroadcastReachesEveryOtherEndpoint) {
    CNetLocal* a = Endpoint(1);
    CNetLocal* b = Endpoint(2);
    CNetLocal* c = Endpoint(3);
    EXPECT_FALSE(a->m_broadcast_capable);
    EXPECT_EQ(a->Broadcast(3, const_cast<char*>("all"), nullptr), 0);
    EXPECT_TRUE(a->m_broadcast_capable);
    EXPECT_EQ(Take(b), "all");
    EXPECT_EQ(Take(c), "all");
    EXPECT_EQ(Take(a), "");
    std::vector<char> big(1451, 'x');
    EXPECT_EQ(a->Broadcast(1451, big.data(), nullptr), -1);
}

TEST_F(CNetLocalTest, AddressTextNamesTheId) {
    EXPECT_STREQ(Endpoint(7)->GetAddr(), "LOCAL:7");
}
