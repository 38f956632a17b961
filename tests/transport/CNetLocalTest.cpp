#include "TransportFixture.h"

#include "transport/CNetLocal.h"
#include "transport/NetRegistry.h"

namespace {

class CNetLocalTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseSystemNetDriver(); }
    static CNetLocal* Endpoint(int id) {
        auto* e = static_cast<CNetLocal*>(GetSystemNetDriver(kNetDriverLocal, id));
        EXPECT_EQ(e->Init(), 0);
        return e;
    }
};

} // namespace

TEST_F(CNetLocalTest, MailboxKeepsOnlyTheLatestDatagramUpTo1450Bytes) {
    CNetLocal* a = Endpoint(1);
    CNetLocal* b = Endpoint(2);
    std::string big(1451, 'x');
    sockaddr_in to = Local(2);
    // A newer datagram overwrites, an empty one empties; too long or negative fails only
    // towards an existing endpoint and leaves the mailbox alone.
    EXPECT_EQ((Ints{Send(*a, "first", to), Send(*a, "second", to)}), (Ints{0, 0}));
    const Received r = Recv(*b);
    EXPECT_EQ((Ints{r.from.sin_family, r.from.sin_port}), (Ints{kNetFamilyLocal, 1}));
    EXPECT_EQ(r.data + "/" + Recv(*b).data, "second/"); // taken once
    EXPECT_EQ((Ints{Send(*a, "lost", to), Send(*a, "", to)}), (Ints{0, 0}));
    EXPECT_EQ(Recv(*b).data, "");
    EXPECT_EQ((Ints{Send(*a, "kept", to), Send(*a, big, to), a->SendTo(-1, big.data(), &to),
                    Send(*a, big, Local(9))}),
              (Ints{0, -1, -1, 0}));
    EXPECT_EQ(Recv(*b).data, "kept");
    big.pop_back();
    EXPECT_EQ(Send(*a, big, to), 0);
    EXPECT_EQ(Recv(*b, 1450).data, big);
    Send(*a, "self", Local(1));        // an endpoint may address itself
    EXPECT_EQ(Recv(*a, 3).result, -1); // too short a buffer keeps the datagram
    EXPECT_EQ(Recv(*a).data, "self");
}

TEST_F(CNetLocalTest, IdIsRegisteredOnlyOnce) {
    CNetLocal* first = Endpoint(5);
    CNetDriver* second = GetSystemNetDriver(kNetDriverLocal, 5);
    EXPECT_EQ((Ints{second->Init(), first->Init(), first->Shutdown(), first->Shutdown(),
                    second->Init(), Send(*second, "x", Local(5))}),
              (Ints{-1, -1, 0, -1, 0, 0}));
    EXPECT_EQ(Recv(*first).data, ""); // the shut-down endpoint is unreachable
    EXPECT_EQ(Recv(*second).data, "x");
    EXPECT_STREQ(second->GetAddr(), "LOCAL:5");
}

TEST_F(CNetLocalTest, BroadcastReachesEveryOtherEndpoint) {
    CNetLocal* a = Endpoint(1);
    CNetLocal* b = Endpoint(2);
    CNetLocal* c = Endpoint(3);
    std::string all = "all";
    EXPECT_EQ(a->Broadcast(3, all.data(), nullptr), 0);
    EXPECT_TRUE(a->m_broadcast_capable);
    EXPECT_EQ(Recv(*b).data + Recv(*c).data + Recv(*a).data, "allall");
    all.resize(1451);
    EXPECT_EQ(a->Broadcast(1451, all.data(), nullptr), -1);
}
