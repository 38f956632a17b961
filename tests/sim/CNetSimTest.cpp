#include "transport/TransportFixture.h"

#include <climits>
#include <memory>

#include "portnet/CNetImpairedDriver.h"
#include "portnet/CNetTime.h"

namespace {

// Endpoint 1 sends `count` datagrams of `len` bytes ('a', 'b', ...) to endpoint 2 (a queue of
// `depth`) at `start`, the first `impaired` of them under `impairment`.
struct SimCase {
    const char* name;
    SNetImpairment impairment;
    int impaired, count, len, start, depth;
    const char* deliveries; // payload@ms over the next 300 ms
    std::uint32_t SNetSimStats::*stat;
    std::uint32_t stat_count;
};

std::string Deliveries(const SimCase& c, SNetSimStats* totals, std::uint64_t seed = 1) {
    CNetSimNetwork net(seed);
    CNetSimDriver a(&net, 1), b(&net, 2, c.depth);
    EXPECT_EQ(a.Init() + b.Init(), 0);
    net.SetTime(c.start);
    for (int i = 0; i < c.count; ++i) {
        a.m_impairment = i < c.impaired ? c.impairment : SNetImpairment{};
        EXPECT_EQ(Send(a, std::string(c.len, static_cast<char>('a' + i)), Local(2)), 0);
    }
    std::string out;
    for (int t = 0; t <= 300; ++t) {
        net.SetTime(static_cast<int>(static_cast<std::uint32_t>(c.start) + t)); // may wrap
        for (const std::string& p : Drain(b))
            out += p.substr(0, 1) + "@" + std::to_string(t) + " ";
    }
    *totals = net.m_stats;
    return out;
}

} // namespace

TEST(CNetSimTest, EachImpairmentShapesDeliveryAndIsCounted) {
    using S = SNetSimStats;
    const SNetImpairment capped{0, 0, 0, 0, 0, 0, 10000, 1000}; // 100 bytes take 10 ms
    SNetImpairment short_backlog = capped;
    short_backlog.m_max_backlog_ms = 25; // the fourth would wait 30 ms
    const SimCase cases[] = {
        {"none", {}, 3, 3, 8, 0, 4, "a@0 b@0 c@0 ", &S::m_delivered, 3},
        {"full loss", {100}, 3, 3, 8, 0, 4, "", &S::m_dropped_loss, 3},
        {"latency", {0, 50}, 1, 1, 8, 0, 4, "a@50 ", &S::m_delayed, 1},
        {"clock wrap", {0, 10}, 1, 1, 8, INT_MAX - 4, 4, "a@10 ", &S::m_delayed, 1}, // latency
        {"duplication", {0, 0, 0, 100}, 2, 2, 8, 0, 4, "a@0 a@0 b@0 b@0 ", &S::m_duplicated, 2},
        {"reordering", {0, 0, 0, 0, 100, 30}, 1, 2, 8, 0, 4, "b@0 a@30 ", &S::m_reordered, 1},
        {"copy on time", {0, 0, 0, 100, 100, 30}, 1, 1, 8, 0, 4, "a@0 a@30 ", &S::m_duplicated, 1},
        {"full queue", {}, 0, 6, 8, 0, 4, "a@0 b@0 c@0 d@0 ", &S::m_dropped_queue_full, 2},
        {"bandwidth", capped, 4, 4, 100, 0, 4, "a@10 b@20 c@30 d@40 ", &S::m_dropped_bandwidth, 0},
        {"backlog", short_backlog, 5, 5, 100, 0, 4, "a@10 b@20 c@30 ", &S::m_dropped_bandwidth, 2},
    };
    for (const SimCase& c : cases) {
        SCOPED_TRACE(c.name);
        SNetSimStats totals;
        EXPECT_EQ(Deliveries(c, &totals), c.deliveries);
        EXPECT_EQ(totals.*c.stat, c.stat_count);
    }
}

TEST(CNetSimTest, SameSeedReplaysBitForBit) {
    // Every impairment at once, in the order of SNetImpairment's fields.
    const SimCase all{"all", {20, 30, 25, 10, 10, 50, 20000}, 99, 99, 40, 0, 256, "", nullptr, 0};
    SNetSimStats first, second, other;
    const std::string trace = Deliveries(all, &first, 42);
    EXPECT_EQ(trace, Deliveries(all, &second, 42));
    EXPECT_NE(trace, Deliveries(all, &other, 43)); // the seed matters
    EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
    EXPECT_GT(first.m_delivered, 50u);
    EXPECT_GT(first.m_dropped_loss * first.m_duplicated * first.m_reordered, 0u); // all took part
}

TEST(CNetSimTest, LinksBroadcastsRefusalsAndAttachmentFollowTheirRules) {
    auto net = std::make_unique<CNetSimNetwork>();
    CNetSimDriver a(net.get(), 1), b(net.get(), 2), c(net.get(), 3), twin(net.get(), 1),
        too_big(net.get(), 70000);
    EXPECT_EQ((Ints{a.Init(), b.Init(), c.Init(), twin.Init(), a.Init(), too_big.Init(),
                    net->SetLinkImpairment(1, 2, SNetImpairment{100}), Send(b, "to a", Local(1))}),
              (Ints{0, 0, 0, -1, -1, -1, 0, 0})); // an id twice or too big; 2 -> 1 is another link
    std::string all = "all";
    EXPECT_EQ(a.Broadcast(3, all.data(), nullptr), 0); // b cut off, never to a itself
    EXPECT_EQ(Drain(b).size(), 0u);
    EXPECT_EQ(Drain(c), std::vector<std::string>{"all"});
    EXPECT_EQ(Drain(a), std::vector<std::string>{"to a"});
    EXPECT_EQ(net->ClearLinkImpairment(1, 2) + net->ClearLinkImpairment(1, 2), -1);

    a.m_report_refused = true; // a send to a missing id comes back as a disconnect event
    a.m_impairment.m_latency_ms = 5;
    Send(a, "gone", Local(99));
    EXPECT_EQ(Recv(a).result, 0);
    net->Advance(5);
    const Received r = Recv(a);
    EXPECT_EQ((Ints{r.result, r.from.sin_port}), (Ints{kNetEventDisconnect, 99}));
    {
        CNetSimDriver gone(net.get(), 5);
        ASSERT_EQ(gone.Init(), 0);
    }
    EXPECT_EQ(net->FindEndpoint(5), nullptr); // destruction detaches
    net.reset();                              // endpoints outliving their network fail safely
    EXPECT_EQ((Ints{Send(a, "x", Local(2)), a.Shutdown(), a.Init()}), (Ints{-1, -1, -1}));
}

TEST(CNetImpairedDriverTest, DelaysAndDropsOverLoopbackEndpoint) {
    CNetDriver* raw_a = GetSystemNetDriver(kNetDriverLocal, 4101);
    CNetDriver* raw_b = GetSystemNetDriver(kNetDriverLocal, 4102);
    CNetImpairedDriver a(raw_a, 3, 2);
    a.SetTime(0);
    a.m_impairment.m_latency_ms = 40;
    ASSERT_EQ(a.Init() + raw_b->Init(), 0);
    EXPECT_STREQ(a.GetAddr(), "LOCAL:4101");
    for (const char* p : {"first", "second", "third"}) // the third finds the queue of 2 full
        ASSERT_EQ(Send(a, p, Local(4102)), 0);
    a.SetTime(39);
    EXPECT_EQ((Ints{a.Flush(), a.GetQueued()}), (Ints{0, 2}));
    a.SetTime(40);
    EXPECT_EQ(Recv(a).data, "");            // receiving releases what is due
    EXPECT_EQ(Recv(*raw_b).data, "second"); // the loopback mailbox keeps the latest
    a.m_impairment = SNetImpairment{100};
    Send(a, "lost", Local(4102));
    a.m_impairment = SNetImpairment{};
    Send(a, "direct", Local(4102)); // undelayed: straight through
    EXPECT_EQ(Recv(*raw_b).data, "direct");
    EXPECT_EQ(Send(a, std::string(1451, 'x'), Local(4102)), -1);
    const SNetSimStats& s = a.m_stats;
    EXPECT_EQ((Ints{int(s.m_dropped_queue_full), int(s.m_dropped_loss), int(s.m_delivered)}),
              (Ints{1, 1, 3}));
    ReleaseSystemNetDriver();
}

TEST(CNetImpairedDriverTest, FollowsTheLibraryClockThroughARestart) {
    const int saved = CNetTime::m_time;
    CNetSimNetwork net;
    CNetSimDriver inner(&net, 1), peer(&net, 2);
    CNetImpairedDriver wrapped(&inner);
    wrapped.m_impairment.m_latency_ms = 20;
    ASSERT_EQ(peer.Init() + wrapped.Init(), 0);
    CNetTime::m_time = 5000;
    Send(wrapped, "1", Local(2));
    CNetTime::m_time = 5019;
    EXPECT_EQ(wrapped.Flush(), 0);
    CNetTime::m_time = 0; // a restart must not hold datagrams until the old time comes back
    Send(wrapped, "2", Local(2));
    CNetTime::m_time = 20;
    EXPECT_EQ(wrapped.Flush(), 2);
    EXPECT_EQ(Drain(peer), (std::vector<std::string>{"1", "2"}));
    CNetTime::m_time = saved;
}

// A network of hundreds of endpoints finds each by id through detaches in the middle of the
// table and attaches after them, also of ids that were detached.
TEST(CNetSimTest, HundredsOfEndpointsFoundByIdThroughDetachAndReattach) {
    CNetSimNetwork net(1, 300);
    std::vector<std::unique_ptr<CNetSimDriver>> e;
    for (int i = 0; i < 300; ++i)
        e.push_back(std::make_unique<CNetSimDriver>(&net, 1 + i * 218)); // ids spread to 65 183
    int attached = 0, wrong = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 300; ++i)
            if (round == 1 && i % 3 != 0)
                attached -= e[i]->Shutdown() == 0;
            else if (!e[i]->m_attached)
                attached += e[i]->Init() == 0;
        for (int i = 0; i < 300; ++i)
            wrong += net.FindEndpoint(1 + i * 218) != (e[i]->m_attached ? e[i].get() : nullptr);
        EXPECT_EQ((Ints{attached, wrong}), (Ints{round == 1 ? 100 : 300, 0})) << round;
    }
}
