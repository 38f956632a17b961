#include "portnet/CNetImpairedDriver.h"
#include "portnet/CNetTime.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace {

sockaddr_in To(int id) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = kNetFamilyLocal;
    addr.sin_port = static_cast<unsigned short>(id);
    return addr;
}

int Send(CNetDriver& from, int to_id, int value, int len = 8) {
    unsigned char data[CNetSimDriver::kMaxDatagram] = {};
    std::memcpy(data, &value, sizeof(value));
    sockaddr_in to = To(to_id);
    return from.SendTo(len, data, &to);
}

struct Received {
    int sender;
    int value;
    int len;
    int time;
    bool operator==(const Received& o) const {
        return sender == o.sender && value == o.value && len == o.len && time == o.time;
    }
};

// Everything due at the driver now (bounded by a count).
std::vector<Received> Drain(CNetDriver& driver, int time = 0) {
    std::vector<Received> out;
    for (int i = 0; i < 10000; ++i) {
        unsigned char buf[1000];
        int len = sizeof(buf);
        sockaddr_in from = To(0);
        if (driver.RecvFrom(&len, buf, &from) != 0 || len == 0) break;
        int value = 0;
        std::memcpy(&value, buf, sizeof(value));
        out.push_back({from.sin_port, value, len, time});
    }
    return out;
}

std::vector<int> Values(const std::vector<Received>& got) {
    std::vector<int> v;
    for (const Received& r : got)
        v.push_back(r.value);
    return v;
}

// Three endpoints exchanging datagrams for 100 frames under every impairment at once.
std::vector<Received> Trace(std::uint64_t seed, SNetSimStats* totals) {
    CNetSimNetwork net(seed);
    SNetImpairment bad;
    bad.m_loss_percent = 20;
    bad.m_latency_ms = 30;
    bad.m_jitter_ms = 25;
    bad.m_duplicate_percent = 10;
    bad.m_reorder_percent = 10;
    bad.m_reorder_delay_ms = 50;
    bad.m_bandwidth_bytes_per_s = 20000;
    std::vector<std::unique_ptr<CNetSimDriver>> ends;
    for (int id = 1; id <= 3; ++id) {
        ends.push_back(std::make_unique<CNetSimDriver>(&net, id));
        ends.back()->m_impairment = bad;
        EXPECT_EQ(ends.back()->Init(), 0);
    }
    std::vector<Received> trace;
    int counter = 0;
    for (int frame = 0; frame < 100; ++frame) {
        net.SetTime(frame * 10);
        for (auto& e : ends) {
            for (int to = 1; to <= 3; ++to) {
                if (to != e->m_endpoint_id) {
                    EXPECT_EQ(Send(*e, to, counter++, 40), 0);
                }
            }
            for (const Received& r : Drain(*e, net.GetTime()))
                trace.push_back(r);
        }
    }
    *totals = net.m_stats;
    return trace;
}

class SimPair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(a.Init(), 0);
        ASSERT_EQ(b.Init(), 0);
    }
    CNetSimNetwork net{7};
    CNetSimDriver a{&net, 1};
    CNetSimDriver b{&net, 2};
};

} // namespace

TEST(CNetSimTest, SameSeedReplaysBitForBit) {
    SNetSimStats first_stats, second_stats, other_stats;
    std::vector<Received> first = Trace(42, &first_stats);
    std::vector<Received> second = Trace(42, &second_stats);
    std::vector<Received> other = Trace(43, &other_stats);
    ASSERT_GT(first.size(), 100u);
    EXPECT_TRUE(first == second);
    EXPECT_EQ(std::memcmp(&first_stats, &second_stats, sizeof(SNetSimStats)), 0);
    EXPECT_FALSE(first == other); // the seed matters
    // Every impairment took part.
    EXPECT_GT(first_stats.m_dropped_loss, 0u);
    EXPECT_GT(first_stats.m_duplicated, 0u);
    EXPECT_GT(first_stats.m_reordered, 0u);
    EXPECT_EQ(first_stats.m_delivered, static_cast<std::uint32_t>(first.size()));
}

TEST_F(SimPair, NoImpairmentDeliversAllAtOnceInOrder) {
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(Send(a, 2, i), 0);
    std::vector<int> got = Values(Drain(b));
    ASSERT_EQ(got.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(got[i], i);
    EXPECT_EQ(a.m_stats.m_sent, 200u);
    EXPECT_EQ(b.m_stats.m_delivered, 200u);
    EXPECT_EQ(net.m_stats.m_delayed, 0u);
}

TEST_F(SimPair, FullLossDeliversNothing) {
    a.m_impairment.m_loss_percent = 100;
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(Send(a, 2, i), 0);
    net.Advance(1000);
    EXPECT_TRUE(Drain(b).empty());
    EXPECT_EQ(a.m_stats.m_dropped_loss, 50u);
    EXPECT_EQ(b.GetQueued(), 0);
}

TEST_F(SimPair, LatencyHoldsDatagramUntilDue) {
    a.m_impairment.m_latency_ms = 50;
    net.SetTime(1000);
    ASSERT_EQ(Send(a, 2, 9), 0);
    net.SetTime(1049);
    EXPECT_TRUE(Drain(b).empty());
    EXPECT_EQ(b.GetQueued(), 1);
    net.SetTime(1050);
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{9});
    EXPECT_EQ(a.m_stats.m_delayed, 1u);
}

TEST_F(SimPair, ClockWrapDoesNotStallDelivery) {
    a.m_impairment.m_latency_ms = 10;
    net.SetTime(INT_MAX - 4);
    ASSERT_EQ(Send(a, 2, 5), 0);
    net.Advance(9);
    EXPECT_TRUE(Drain(b).empty());
    net.Advance(1); // reading wrapped to INT_MIN + 5
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{5});
    net.SetTime(INT_MIN); // behind the reading: ignored, time does not run back
    EXPECT_EQ(net.GetTime(), INT_MIN + 5);
}

TEST_F(SimPair, ReorderedDatagramIsOvertaken) {
    a.m_impairment.m_reorder_percent = 100;
    a.m_impairment.m_reorder_delay_ms = 30;
    ASSERT_EQ(Send(a, 2, 1), 0);
    a.m_impairment.m_reorder_percent = 0;
    ASSERT_EQ(Send(a, 2, 2), 0);
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{2});
    net.Advance(30);
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{1});
    EXPECT_EQ(a.m_stats.m_reordered, 1u);
}

TEST_F(SimPair, DuplicationDeliversCountedCopies) {
    a.m_impairment.m_duplicate_percent = 100;
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(Send(a, 2, i), 0);
    std::vector<int> got = Values(Drain(b));
    ASSERT_EQ(got.size(), 20u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(got[i], i / 2);
    EXPECT_EQ(a.m_stats.m_duplicated, 10u);
    EXPECT_EQ(b.m_stats.m_delivered, 20u);
}

TEST(CNetSimTest, FullQueueDropsAndCounts) {
    CNetSimNetwork net;
    CNetSimDriver a(&net, 1);
    CNetSimDriver b(&net, 2, 4);
    ASSERT_EQ(a.Init(), 0);
    ASSERT_EQ(b.Init(), 0);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(Send(a, 2, i), 0);
    EXPECT_EQ(b.m_stats.m_dropped_queue_full, 2u);
    EXPECT_EQ(net.m_stats.m_dropped_queue_full, 2u);
    EXPECT_EQ(Values(Drain(b)), (std::vector<int>{0, 1, 2, 3}));
    ASSERT_EQ(Send(a, 2, 6), 0); // room again after draining
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{6});
}

TEST_F(SimPair, BandwidthCapSpreadsDelivery) {
    a.m_impairment.m_bandwidth_bytes_per_s = 10000; // 100 bytes take 10 ms
    a.m_impairment.m_max_backlog_ms = 1000;
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Send(a, 2, i, 100), 0);
    std::vector<int> arrival_times;
    for (int t = 0; t <= 60; ++t) {
        net.SetTime(t);
        for (const Received& r : Drain(b, t))
            arrival_times.push_back(r.time);
    }
    EXPECT_EQ(arrival_times, (std::vector<int>{10, 20, 30, 40, 50}));
}

TEST_F(SimPair, BandwidthBacklogDropsAndCounts) {
    a.m_impairment.m_bandwidth_bytes_per_s = 10000;
    a.m_impairment.m_max_backlog_ms = 25; // the fourth would wait 30 ms
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Send(a, 2, i, 100), 0);
    EXPECT_EQ(a.m_stats.m_dropped_bandwidth, 2u);
    net.Advance(100);
    EXPECT_EQ(Values(Drain(b)), (std::vector<int>{0, 1, 2}));
}

TEST_F(SimPair, OversizeDatagramIsDiscardedNotCut) {
    ASSERT_EQ(Send(a, 2, 1, 500), 0);
    ASSERT_EQ(Send(a, 2, 2, 8), 0);
    char small[100];
    int len = sizeof(small);
    sockaddr_in from;
    EXPECT_EQ(b.RecvFrom(&len, small, &from), -1);
    EXPECT_EQ(b.m_stats.m_dropped_oversize, 1u);
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{2});
}

TEST_F(SimPair, RefusedSendBecomesDisconnectEventWhenAsked) {
    ASSERT_EQ(Send(a, 99, 1), 0);
    EXPECT_TRUE(Drain(a).empty());
    a.m_report_refused = true;
    a.m_impairment.m_latency_ms = 5;
    ASSERT_EQ(Send(a, 99, 2), 0);
    EXPECT_EQ(a.m_stats.m_dropped_unreachable, 2u);
    char buf[16];
    int len = sizeof(buf);
    sockaddr_in from = To(0);
    EXPECT_EQ(a.RecvFrom(&len, buf, &from), 0);
    EXPECT_EQ(len, 0);
    net.Advance(5);
    len = sizeof(buf);
    EXPECT_EQ(a.RecvFrom(&len, buf, &from), kNetEventDisconnect);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(from.sin_family, kNetFamilyLocal);
    EXPECT_EQ(from.sin_port, 99);
}

TEST_F(SimPair, LinkOverrideAppliesToThatLinkOnly) {
    CNetSimDriver c(&net, 3);
    ASSERT_EQ(c.Init(), 0);
    SNetImpairment cut;
    cut.m_loss_percent = 100;
    ASSERT_EQ(net.SetLinkImpairment(1, 2, cut), 0);
    ASSERT_EQ(Send(a, 2, 1), 0);
    ASSERT_EQ(Send(a, 3, 2), 0);
    ASSERT_EQ(Send(b, 1, 3), 0); // the other direction is a separate link
    EXPECT_TRUE(Drain(b).empty());
    EXPECT_EQ(Values(Drain(c)), std::vector<int>{2});
    EXPECT_EQ(Values(Drain(a)), std::vector<int>{3});
    ASSERT_EQ(net.ClearLinkImpairment(1, 2), 0);
    EXPECT_EQ(net.ClearLinkImpairment(1, 2), -1);
    ASSERT_EQ(Send(a, 2, 4), 0);
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{4});
}

TEST_F(SimPair, BroadcastReachesOthersNotSelf) {
    CNetSimDriver c(&net, 3);
    ASSERT_EQ(c.Init(), 0);
    int value = 77;
    sockaddr_in any = To(0);
    ASSERT_EQ(a.Broadcast(4, &value, &any), 0);
    EXPECT_TRUE(a.m_broadcast_capable);
    EXPECT_EQ(Values(Drain(b)), std::vector<int>{77});
    EXPECT_EQ(Values(Drain(c)), std::vector<int>{77});
    EXPECT_TRUE(Drain(a).empty());
}

TEST_F(SimPair, AttachRulesAndNetworkGoneFirst) {
    CNetSimDriver twin(&net, 1);
    EXPECT_EQ(twin.Init(), -1); // id taken
    EXPECT_EQ(a.Init(), -1);    // already attached
    CNetSimDriver out_of_range(&net, 70000);
    EXPECT_EQ(out_of_range.Init(), -1);
    EXPECT_STREQ(a.GetAddr(), "LOCAL:1");
    {
        CNetSimDriver gone(&net, 5);
        ASSERT_EQ(gone.Init(), 0);
    }
    EXPECT_EQ(net.FindEndpoint(5), nullptr); // destruction detaches
    EXPECT_EQ(Send(a, 5, 1), 0);
    EXPECT_EQ(a.m_stats.m_dropped_unreachable, 1u);

    auto lone = std::make_unique<CNetSimNetwork>();
    CNetSimDriver orphan(lone.get(), 1);
    ASSERT_EQ(orphan.Init(), 0);
    lone.reset();
    EXPECT_EQ(Send(orphan, 1, 1), -1);
    EXPECT_EQ(orphan.Shutdown(), -1);
    EXPECT_EQ(orphan.Init(), -1);
}

TEST(CNetImpairedDriverTest, DelaysAndDropsOverLoopback) {
    CNetDriver* raw_a = GetSystemNetDriver(kNetDriverLocal, 4101);
    CNetDriver* raw_b = GetSystemNetDriver(kNetDriverLocal, 4102);
    ASSERT_NE(raw_a, nullptr);
    ASSERT_NE(raw_b, nullptr);
    CNetImpairedDriver a(raw_a, 3);
    a.SetTime(0);
    a.m_impairment.m_latency_ms = 40;
    ASSERT_EQ(a.Init(), 0);
    ASSERT_EQ(raw_b->Init(), 0);
    EXPECT_STREQ(a.GetAddr(), "LOCAL:4101");

    ASSERT_EQ(Send(a, 4102, 11), 0);
    EXPECT_EQ(a.GetQueued(), 1);
    a.SetTime(39);
    EXPECT_EQ(a.Flush(), 0);
    EXPECT_TRUE(Drain(*raw_b).empty());
    a.SetTime(40);
    EXPECT_TRUE(Drain(a).empty()); // receiving releases what is due
    EXPECT_EQ(Values(Drain(*raw_b)), std::vector<int>{11});
    EXPECT_EQ(a.m_stats.m_delivered, 1u);

    a.m_impairment.m_latency_ms = 0;
    a.m_impairment.m_loss_percent = 100;
    ASSERT_EQ(Send(a, 4102, 12), 0);
    EXPECT_TRUE(Drain(*raw_b).empty());
    EXPECT_EQ(a.m_stats.m_dropped_loss, 1u);

    a.m_impairment.m_loss_percent = 0;
    ASSERT_EQ(Send(a, 4102, 13), 0); // undelayed: straight through
    EXPECT_EQ(Values(Drain(*raw_b)), std::vector<int>{13});
    EXPECT_EQ(ReleaseSystemNetDriver(), 1);
}

TEST(CNetImpairedDriverTest, HoldingQueueFullDropsAndCounts) {
    CNetSimNetwork net;
    CNetSimDriver inner(&net, 1);
    CNetSimDriver peer(&net, 2);
    ASSERT_EQ(peer.Init(), 0);
    CNetImpairedDriver wrapped(&inner, 1, 2);
    wrapped.SetTime(0);
    wrapped.m_impairment.m_latency_ms = 10;
    ASSERT_EQ(wrapped.Init(), 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Send(wrapped, 2, i), 0);
    EXPECT_EQ(wrapped.m_stats.m_dropped_queue_full, 1u);
    wrapped.Advance(10);
    EXPECT_EQ(wrapped.Flush(), 2);
    EXPECT_EQ(Values(Drain(peer)), (std::vector<int>{0, 1}));
    EXPECT_EQ(Send(wrapped, 2, 0, CNetSimDriver::kMaxDatagram + 1), -1);
}

TEST(CNetImpairedDriverTest, FollowsLibraryClockAndItsRestart) {
    const int saved = CNetTime::m_time;
    CNetSimNetwork net;
    CNetSimDriver inner(&net, 1);
    CNetSimDriver peer(&net, 2);
    ASSERT_EQ(peer.Init(), 0);
    CNetTime::m_time = 5000;
    CNetImpairedDriver wrapped(&inner);
    wrapped.m_impairment.m_latency_ms = 20;
    ASSERT_EQ(wrapped.Init(), 0);
    ASSERT_EQ(Send(wrapped, 2, 1), 0);
    CNetTime::m_time = 5019;
    EXPECT_EQ(wrapped.Flush(), 0);
    CNetTime::m_time = 5020;
    EXPECT_EQ(wrapped.Flush(), 1);
    // A restarted library clock must not hold datagrams until the old time comes back.
    CNetTime::m_time = 0;
    ASSERT_EQ(Send(wrapped, 2, 2), 0);
    CNetTime::m_time = 20;
    EXPECT_EQ(wrapped.Flush(), 1);
    EXPECT_EQ(Values(Drain(peer)), (std::vector<int>{1, 2}));
    CNetTime::m_time = saved;
}
