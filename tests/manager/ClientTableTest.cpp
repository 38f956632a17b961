#include "ManagerDoubles.h"

namespace {

TEST_F(ManagerTest, TableFillsWishedSlotsAndDestroysARemovedClientOnce) {
    EXPECT_EQ(5, m.AddClient(new StepClient(&destroyed), 5)); // lower slots free, wish honoured
    EXPECT_EQ(0, m.AddClient(new StepClient(&destroyed), 5)); // taken: lowest free instead
    EXPECT_EQ(1, m.AddClient(new StepClient(&destroyed), 8)); // no such slot: lowest free
    for (int i : {2, 4, 6, 7})
        Add(i, false);
    StepClient* third = Add(3);
    StepClient ninth;
    // Full: the ninth is refused and left to the caller.
    EXPECT_EQ((Ints{-1, 0, 8}), (Ints{m.AddClient(&ninth, -1), ninth.inits, m.GetNumClients()}));
    EXPECT_EQ(3, m.FindClient(&peer));
    EXPECT_EQ((Ints{3, -1}), (Ints{m.RemoveClient(3), m.RemoveClient(3)}));
    EXPECT_EQ((Ints{1, 7, -1}), (Ints{third->releases, m.GetNumClients(), m.FindClient(&peer)}));
    EXPECT_EQ(0, destroyed); // the freed slot still holds it, until Release
    EXPECT_EQ((Ints{1, 1}), (Ints{m.Release(), m.Release()}));
    EXPECT_EQ(8, destroyed);
}

TEST_F(ManagerTest, ClientsThatCannotStandInASlotAreRefusedWhole) {
    StepClient* former = Add(3);
    m.RemoveClient(3);
    StepClient refused, bare;
    refused.init_result = -1;
    // Not retried in the other free slots.
    EXPECT_EQ((Ints{-1, 1}), (Ints{m.AddClient(&refused, 3), refused.inits}));
    EXPECT_EQ(former, m.m_clients[3].m_client);
    EXPECT_EQ(nullptr, refused.m_refs);
    StepClient* c = Add(0);
    delete bare.m_own_port;
    bare.m_own_port = nullptr;
    // Already in slot 0, none, no own port; no such slots; no ports.
    for (int r : {m.AddClient(c, 1), m.AddClient(nullptr, -1), m.AddClient(&bare, -1),
                  m.RemoveClient(8), m.RemoveClient(-1), m.Init(&driver, 0)})
        EXPECT_EQ(-1, r);
    EXPECT_EQ(nullptr, bare.m_refs);
    EXPECT_EQ(1, m.GetNumClients());
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(1, m.Init(&driver, 2)); // re-Init releases the first table
    EXPECT_EQ(2, destroyed);

    CNetManager fresh; // nothing works before Init
    EXPECT_EQ(-1, fresh.AddClient(&bare, -1));
    for (int r :
         {fresh.BeginFrame(), fresh.Read(), fresh.Update(true), fresh.Write(), fresh.EndFrame()})
        EXPECT_EQ(-1, r);
}

} // namespace
