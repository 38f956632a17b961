#include "ManagerDoubles.h"

namespace {

class Ports : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        ASSERT_EQ(1, m.SetPortA(1, live));
    }
    // A new reading history of port 1 whose states arrived with the given stamps, in order.
    CNetDataHistory* Arrived(const int* stamps, int n) {
        delete m.m_ports[1].m_reading_history;
        m.m_ports[1].m_last_time = -1;
        auto* h = new CNetDataHistory(4, new TestState, 1);
        for (unsigned char i = 0; i < n; ++i) {
            h->m_entries[i]->m_time = stamps[i];
            h->SetLink(i);
            if (stamps[i] > m.m_ports[1].m_last_time) m.m_ports[1].m_last_time = stamps[i];
        }
        return m.m_ports[1].m_reading_history = h;
    }
    TestState* live = new TestState;
};

TEST_F(Ports, InterpChoosesStatesBlendAndPlaybackTime) {
    m.m_ports[1].m_interp_time = 40;
    EXPECT_EQ(0, m.Interp(1, 20)); // nothing received: nothing changes
    Arrived(nullptr, 0);
    EXPECT_EQ((Ints{0, 40, 0}), (Ints{m.Interp(1, 20), m.m_ports[1].m_interp_time, live->interps}));
    const struct {
        int stamps[3], n, interp_time, from, to;
        float a;
        int interp_after;
        bool stalled;
    } cases[] = {
        {{100, 200, 300}, 3, -1, 300, 300, 1.0f, 300, true},   // restart beyond newest: held
        {{100, 200, 300}, 3, 250, 200, 300, 0.7f, 270, false}, // between the two newest
        {{100, 200, 300}, 3, 290, 200, 300, 0.9f, 290, true},  // would pass 300: held
        {{100, 200, 300}, 3, 280, 300, 300, 1.0f, 300, false}, // reaches 300 exactly
        {{100, 200, 300}, 3, 150, 100, 200, 1.0f, 200, false}, // two behind: catches up
        {{100}, 1, 50, 100, 100, 1.0f, 70, false},             // single state
        {{100, 300, 200}, 3, 150, 200, 200, 1.0f, 170, false}, // cut: stays last, see below
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interp_time);
        Arrived(c.stamps, c.n);
        m.m_ports[1].m_interp_time = c.interp_time;
        m.m_ports[1].m_stalled = !c.stalled;
        ASSERT_EQ(1, m.Interp(1, 20));
        EXPECT_EQ((Ints{c.from, c.to, c.interp_after, c.stalled}),
                  (Ints{live->from->m_time, live->to->m_time, m.m_ports[1].m_interp_time,
                        m.m_ports[1].m_stalled}));
        EXPECT_EQ(c.a, live->last_a);
    }
    EXPECT_EQ(nullptr, m.GetReadingHistory(1, 1)); // 100 is out of reach since the cut
}

TEST_F(Ports, HistoryGettersStopAtTheirEdges) {
    using Got = std::vector<CNetUnreliable*>;
    EXPECT_EQ((Got{nullptr, nullptr}), (Got{m.GetReadingHistory(1, 0), m.GetWritingHistory(1, 0)}));
    const int stamps[] = {10, 20};
    CNetUnreliable** r = Arrived(stamps, 2)->m_entries;
    // Newest first; a negative age is the newest; past the oldest, or no such port: none.
    EXPECT_EQ((Got{r[1], r[1], r[0], nullptr, nullptr}),
              (Got{m.GetReadingHistory(1, 0), m.GetReadingHistory(1, -3), m.GetReadingHistory(1, 1),
                   m.GetReadingHistory(1, 2), m.GetReadingHistory(-1, 0)}));
    CNetUnreliable** w =
        (m.m_ports[1].m_writing_history = new CNetDataHistory(4, new TestState, 1))->m_entries;
    m.m_frame = 3;
    const Got early{m.GetWritingHistory(1, 4)}; // before the first frame
    m.m_frame = 9;
    EXPECT_EQ((Got{nullptr, w[0], w[1], nullptr}),
              (Got{early[0], m.GetWritingHistory(1, 1), m.GetWritingHistory(1, 0),
                   m.GetWritingHistory(4, 0)}));
    for (int r : {m.InitPort(2, -1), m.ReleasePort(2), m.InitPort(4, -1), m.ReleasePort(-1),
                  m.SetPortA(4, live), m.Interp(4, 20)})
        EXPECT_EQ(-1, r); // no object, or no such port
    EXPECT_EQ(1, live->m_port_id);
}

} // namespace
