#include <gtest/gtest.h>

#include "ManagerDoubles.h"

namespace {

class ClientTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, m.Init(&driver, 4)); }
    StepClient* Add(int slot, const sockaddr_in* peer = nullptr) {
        auto* c = new StepClient(&destroyed);
        if (peer) {
            bufs[slot] = CNetBuf(&driver, peer);
            c->m_send_buf = &bufs[slot];
        }
        EXPECT_EQ(slot, m.AddClient(c, slot));
        return c;
    }

    ScriptDriver driver;
    CNetBuf bufs[8] = {{&driver, nullptr}, {&driver, nullptr}, {&driver, nullptr},
                       {&driver, nullptr}, {&driver, nullptr}, {&driver, nullptr},
                       {&driver, nullptr}, {&driver, nullptr}};
    int destroyed = 0;
    CNetManager m; // declared last: destroyed first, while the buffers still exist
};

class RecordingManager : public CNetManager {
public:
    int DestroyClient(int slot) override { return destroyed_slot = slot, 0; }
    int destroyed_slot = -1;
};

TEST_F(ClientTable, WishedSlotFallsBackToLowestFree) {
    EXPECT_EQ(0, m.AddClient(new StepClient, -1));
    EXPECT_EQ(5, m.AddClient(new StepClient, 5)); // lower slots free, wish still honoured
    EXPECT_EQ(1, m.AddClient(new StepClient, 5)); // taken: lowest free instead
    EXPECT_EQ(2, m.AddClient(new StepClient, 8));
    EXPECT_EQ(4, m.GetNumClients());
}

TEST_F(ClientTable, NinthClientIsRefusedAndLeftToCaller) {
    for (int i = 0; i < 8; ++i)
        Add(i);
    StepClient ninth;
    EXPECT_EQ(-1, m.AddClient(&ninth, -1));
    EXPECT_EQ(8, m.GetNumClients());
    EXPECT_EQ(0, ninth.inits);
    for (int i = 0; i < 8; ++i)
        EXPECT_NE(&ninth, m.m_clients[i].m_client);
}

TEST_F(ClientTable, RemovedClientDestroyedOnceWhenSlotReusedOrReleased) {
    const sockaddr_in peer = Ipv4(4000, 3);
    for (int i = 0; i < 8; ++i)
        Add(i, i == 3 ? &peer : nullptr);
    StepClient* third = static_cast<StepClient*>(m.m_clients[3].m_client);
    EXPECT_EQ(3, m.FindClient(&peer));
    EXPECT_EQ(3, m.RemoveClient(3));
    EXPECT_EQ(-1, m.RemoveClient(3));
    EXPECT_EQ(1, third->releases);
    EXPECT_EQ(7, m.GetNumClients());
    EXPECT_EQ(-1, m.FindClient(&peer));
    EXPECT_EQ(0, destroyed); // the freed slot still holds it
    Add(3);
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(1, m.Release());
    EXPECT_EQ(1, m.Release());
    EXPECT_EQ(9, destroyed);
}

TEST_F(ClientTable, PortZeroIsTheClientsOwnPort) {
    StepClient* c = new StepClient;
    TestState* own = new TestState;
    c->m_own_port->m_object = own;
    ASSERT_EQ(6, m.AddClient(c, 6));
    EXPECT_EQ(6, c->m_id);
    EXPECT_EQ(4, c->m_num_ports);
    EXPECT_EQ(&m, c->m_manager);
    EXPECT_EQ(c->m_own_port, c->m_refs[0].m_data_port);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(&m.m_ports[i], c->m_refs[i].m_data_port);
    EXPECT_EQ(0, own->m_port_id);
    EXPECT_TRUE(own->m_active);
    EXPECT_EQ(-1, own->m_life_time);
    EXPECT_EQ(1, own->created);
}

TEST_F(ClientTable, ClientRefusedByInitStandsInNoSlot) {
    StepClient* former = Add(3);
    m.RemoveClient(3);
    auto* refused = new StepClient(&destroyed);
    refused->init_result = -1;
    EXPECT_EQ(-1, m.AddClient(refused, 3));
    EXPECT_EQ(1, refused->inits); // not retried in the other free slots
    EXPECT_EQ(0, m.GetNumClients());
    EXPECT_EQ(former, m.m_clients[3].m_client);
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(nullptr, refused->m_refs);
    delete refused; // still the caller's
    EXPECT_EQ(1, destroyed);
}

TEST_F(ClientTable, BadEntriesAreRefusedWhole) {
    StepClient* c = Add(0);
    EXPECT_EQ(-1, m.AddClient(c, 1)); // already in slot 0
    EXPECT_EQ(-1, m.AddClient(nullptr, -1));
    StepClient bare;
    delete bare.m_own_port;
    bare.m_own_port = nullptr;
    EXPECT_EQ(-1, m.AddClient(&bare, -1));
    EXPECT_EQ(nullptr, bare.m_refs);
    EXPECT_EQ(-1, m.RemoveClient(8));
    EXPECT_EQ(-1, m.RemoveClient(-1));
    EXPECT_EQ(1, m.GetNumClients());

    EXPECT_EQ(-1, m.Init(&driver, 0));
    EXPECT_EQ(1, m.Init(&driver, 2)); // re-Init releases the first table
    EXPECT_EQ(1, destroyed);
    CNetManager fresh;
    StepClient loose;
    EXPECT_EQ(-1, fresh.AddClient(&loose, -1));
}

TEST_F(ClientTable, FindClientTakesLowestMatchAndSkipsOwnReceiveBuffer) {
    const sockaddr_in peer = Ipv4(5000, 9);
    Add(0, &peer)->m_recv_buf = &bufs[0];
    Add(2, &peer);
    Add(4, &peer);
    const sockaddr_in other_port = Ipv4(6000, 9);
    EXPECT_EQ(2, m.FindClient(&other_port)); // ports are not part of the identity
    const sockaddr_in other_host = Ipv4(5000, 10);
    EXPECT_EQ(-1, m.FindClient(&other_host));
}

TEST(ManagerEvents, DisconnectReachesDestroyClientOfUsedSlotOnly) {
    ScriptDriver driver;
    RecordingManager m;
    ASSERT_EQ(1, m.Init(&driver, 1));
    auto* c = new StepClient;
    ASSERT_EQ(4, m.AddClient(c, 4));
    EXPECT_EQ(2, m.DispatchEvent(kNetEventDisconnect, -1));
    EXPECT_EQ(0, c->disconnects);
    EXPECT_EQ(-1, m.DispatchEvent(10002, 4));
    EXPECT_EQ(0, c->disconnects);
    EXPECT_EQ(2, m.DispatchEvent(kNetEventDisconnect, 4));
    EXPECT_EQ(1, c->disconnects);
    EXPECT_EQ(4, m.destroyed_slot);
    EXPECT_EQ(-1, m.DispatchEvent(kNetEventDisconnect, 5)); // unused slot
}

} // namespace
