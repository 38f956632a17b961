// Tables of one, eight and 4096 slots: slot numbers, a full table, reuse, the lowest-slot rule
// and lookups after removal, re-entry and address changes, with port matching off and on.
#include <deque>

#include "ManagerDoubles.h"

namespace {

class TableSize : public ::testing::TestWithParam<int> {
protected:
    // A counting client sending to 127.0.0.5 on its own port, entered into the lowest free slot.
    int Enter(unsigned short port, unsigned last_byte = 5) {
        auto* c = new StepClient(&destroyed);
        bufs.emplace_back(&driver, nullptr);
        bufs.back().m_addr = Ipv4(port, last_byte);
        c->m_send_buf = &bufs.back();
        const int slot = m.AddClient(c, -1);
        if (slot == -1) delete c;
        return slot;
    }
    int Find(unsigned short port, unsigned last_byte = 5) {
        const sockaddr_in a = Ipv4(port, last_byte);
        return m.FindClient(&a);
    }

    ScriptDriver driver;
    std::deque<CNetBuf> bufs; // stable addresses; outlive the manager
    int destroyed = 0;
    HookManager m;
};

TEST_P(TableSize, SlotsFillInOrderAndLookupsFollowRemovalsAndReentries) {
    const int n = GetParam(), last = n - 1;
    m.m_max_clients = n;
    ASSERT_EQ(m.Init(&driver, 2), 1);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(Enter(static_cast<unsigned short>(7000 + i)), i);
    const unsigned short last_port = static_cast<unsigned short>(7000 + last);
    // Full; the lowest slot answers for the address whatever the port, unless ports match.
    EXPECT_EQ((Ints{-1, n, 0, 0, -1}),
              (Ints{Enter(9), m.GetNumClients(), Find(last_port), Find(1), Find(1, 6)}));
    m.m_match_ports = true;
    EXPECT_EQ((Ints{last, -1, 0}), (Ints{Find(last_port), Find(1), Find(7000)}));

    // Slot 0 leaves: by port its address is gone, without ports the next slot answers.
    EXPECT_EQ(m.RemoveClient(0), 0);
    EXPECT_EQ((Ints{-1, n - 1}), (Ints{Find(7000), m.GetNumClients()}));
    m.m_match_ports = false;
    EXPECT_EQ(Find(7000), n > 1 ? 1 : -1);
    // The last slot leaves and a client at its port comes back into the freed slot 0, whose
    // former client is destroyed then.
    if (n > 1) {
        EXPECT_EQ(m.RemoveClient(last), last);
    }
    // (The one refused by the full table was deleted by the test.)
    EXPECT_EQ((Ints{1, 0}), (Ints{destroyed, Enter(last_port)}));
    m.m_match_ports = true;
    EXPECT_EQ((Ints{2, 0, n > 1 ? -1 : 0}), (Ints{destroyed, Find(last_port), Find(7000)}));
    EXPECT_EQ(Enter(7000), n > 1 ? last : -1); // the last slot is the one free

    // A client's address changed by the host: the old one stops finding it at once, the new
    // one once the host rebinds it. A client entered without a send buffer is found from the
    // next Read after it got one.
    CNetClient* zero = m.m_clients[0].m_client;
    zero->m_send_buf->m_addr = Ipv4(8000, 9);
    EXPECT_EQ((Ints{-1, -1}), (Ints{Find(8000, 9), Find(last_port)}));
    EXPECT_EQ((Ints{1, 0}), (Ints{m.RebindClient(0), Find(8000, 9)}));
    if (n > 1) {
        CNetClient* late = m.m_clients[last].m_client;
        CNetBuf* buf = late->m_send_buf;
        late->m_send_buf = nullptr;
        EXPECT_EQ(m.RemoveClient(last), last);
        auto* bare = new StepClient(&destroyed);
        EXPECT_EQ(m.AddClient(bare, -1), last);
        bare->m_send_buf = buf;
        EXPECT_EQ((Ints{-1, 1, last}), (Ints{Find(7000), m.Read(), Find(7000)}));
    }
    zero->m_send_buf->m_addr = Ipv4(8001, 9);
    EXPECT_EQ((Ints{1, 0, -1}), (Ints{m.RebindClient(0), Find(8001, 9), m.RebindClient(n)}));
}

// Sizes the host may ask for, and those Init refuses without touching the manager.
TEST_P(TableSize, InitTakesOneToFourThousandNinetySixSlots) {
    for (int bad : {0, -1, CNetManager::kMaxClientsLimit + 1}) {
        m.m_max_clients = bad;
        EXPECT_EQ(m.Init(&driver, 2), -1) << bad;
    }
    m.m_max_clients = GetParam();
    ASSERT_EQ(m.Init(&driver, 2), 1);
    m.m_max_clients = 1; // counts from the next Init only
    auto* c = new StepClient(&destroyed);
    const int wished = GetParam() - 1;
    EXPECT_EQ((Ints{wished, -1, -1}), (Ints{m.AddClient(c, wished), m.RemoveClient(GetParam()),
                                            m.DispatchEvent(kNetEventDisconnect, GetParam())}));
    EXPECT_EQ((Ints{2, wished}),
              (Ints{m.DispatchEvent(kNetEventDisconnect, wished), m.destroyed_slot}));
}

INSTANTIATE_TEST_SUITE_P(Slots, TableSize, ::testing::Values(1, 8, 4096));

} // namespace
