#include <gtest/gtest.h>

#include <initializer_list>

#include "ManagerDoubles.h"

namespace {

class Ports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, m.Init(&driver, 3));
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
    CNetDataHistory* Arrived(std::initializer_list<int> s) {
        return Arrived(s.begin(), static_cast<int>(s.size()));
    }

    ScriptDriver driver;
    CNetManager m;
    TestState* live = new TestState;
};

struct InterpCase {
    int stamps[3];
    int n;
    int interp_time;
    int from, to;
    float a;
    int interp_after;
    bool stalled;
};

TEST_F(Ports, InterpChoosesStatesBlendAndPlaybackTime) {
    const InterpCase cases[] = {
        {{100, 200, 300}, 3, -1, 300, 300, 1.0f, 300, true},   // restart beyond newest: held
        {{100, 200, 300}, 3, 250, 200, 300, 0.7f, 270, false}, // between the two newest
        {{100, 200, 300}, 3, 290, 200, 300, 0.9f, 290, true},  // would pass 300: held
        {{100, 200, 300}, 3, 150, 100, 200, 1.0f, 200, false}, // two behind: catches up
        {{100}, 1, 50, 100, 100, 1.0f, 70, false},             // single state
        {{100, 300, 200}, 3, 150, 200, 200, 1.0f, 170, false}, // cut: stays last, see below
    };
    for (const InterpCase& c : cases) {
        SCOPED_TRACE(c.interp_time);
        Arrived(c.stamps, c.n);
        m.m_ports[1].m_interp_time = c.interp_time;
        m.m_ports[1].m_stalled = !c.stalled;
        ASSERT_EQ(1, m.Interp(1, 20));
        EXPECT_EQ(c.from, live->from->m_time);
        EXPECT_EQ(c.to, live->to->m_time);
        EXPECT_EQ(c.a, live->last_a);
        EXPECT_EQ(c.interp_after, m.m_ports[1].m_interp_time);
        EXPECT_EQ(c.stalled, m.m_ports[1].m_stalled);
    }
    EXPECT_EQ(nullptr, m.GetReadingHistory(1, 1)); // 100 is out of reach since the cut
}

TEST_F(Ports, InterpWithoutReceivedStateChangesNothing) {
    m.m_ports[1].m_interp_time = 40;
    EXPECT_EQ(0, m.Interp(1, 20));
    Arrived({});
    EXPECT_EQ(0, m.Interp(1, 20));
    EXPECT_EQ(0, live->interps);
    EXPECT_EQ(40, m.m_ports[1].m_interp_time);
    EXPECT_EQ(-1, m.Interp(3, 20));
}

TEST_F(Ports, ReadingHistoryWalksArrivalChainAndStopsAtItsEnd) {
    Arrived({});
    EXPECT_EQ(nullptr, m.GetReadingHistory(1, 0));
    const CNetDataHistory* h = Arrived({10, 20});
    EXPECT_EQ(h->m_entries[1], m.GetReadingHistory(1, 0));
    EXPECT_EQ(h->m_entries[1], m.GetReadingHistory(1, -3));
    EXPECT_EQ(h->m_entries[0], m.GetReadingHistory(1, 1));
    EXPECT_EQ(nullptr, m.GetReadingHistory(1, 2));
    EXPECT_EQ(nullptr, m.GetReadingHistory(-1, 0));
}

TEST_F(Ports, WritingHistoryIndexesByFrameAndRefusesBeforeFirst) {
    EXPECT_EQ(nullptr, m.GetWritingHistory(1, 0));
    auto* h = new CNetDataHistory(4, new TestState, 1);
    m.m_ports[1].m_writing_history = h;
    m.m_frame = 3;
    EXPECT_EQ(nullptr, m.GetWritingHistory(1, 4));
    m.m_frame = 9;
    EXPECT_EQ(h->m_entries[0], m.GetWritingHistory(1, 1));
    EXPECT_EQ(h->m_entries[1], m.GetWritingHistory(1, 0));
    EXPECT_EQ(nullptr, m.GetWritingHistory(3, 0));
}

TEST_F(Ports, StartAndReleaseToggleAndNeverDestroyTwice) {
    m.m_ports[1].m_interp_time = 55;
    EXPECT_EQ(7, m.InitPort(1, 50));
    EXPECT_EQ(1, live->m_init_toggle);
    EXPECT_EQ(-1, m.m_ports[1].m_interp_time);
    EXPECT_EQ(50, live->m_life_time);
    EXPECT_EQ(7, m.InitPort(live, -1));
    EXPECT_EQ(0, live->m_init_toggle);
    EXPECT_EQ(2, live->created);
    EXPECT_EQ(8, m.ReleasePort(1));
    EXPECT_EQ(-1, m.ReleasePort(live));
    EXPECT_EQ(1, live->destroyed);
    EXPECT_FALSE(live->m_active);
    EXPECT_EQ(-1, m.InitPort(2, -1)); // no object
    EXPECT_EQ(-1, m.ReleasePort(2));
    EXPECT_EQ(-1, m.InitPort(3, -1));
    EXPECT_EQ(-1, m.ReleasePort(-1));
    EXPECT_EQ(-1, m.SetPortA(3, live));
    EXPECT_EQ(1, live->m_port_id);
}

} // namespace
