// A datagram refused by a closed port, among datagrams to live ports: the refusal must be
// reported for its own destination alone, and must cost the others nothing. Like the other
// UDP tests these run batched and, with PORTNET_UDP_ONE_AT_A_TIME set, one call per datagram.
#include "TransportFixture.h"

#include <memory>

#include "platform/PlatformSystem.h"

namespace {

constexpr char kNoRefusals[] =
    "Wine does not report an ICMP port unreachable as WSAECONNRESET: the receive answers 10035";

// A port nobody listens on: bound a moment ago, then closed.
CNetAddr ClosedPort(Fam f) {
    CNetUDP probe(Loopback(f).c_str());
    EXPECT_EQ(probe.Init(), 0);
    return probe.GetLocalAddr();
}

// Linux hands a loopback datagram, and the refusal of one, to the socket before sendto
// returns; Winsock may deliver later, so only there does one drain have to bring everything.
#ifdef _WIN32
constexpr bool kLoopbackDeliversAtOnce = false;
#else
constexpr bool kLoopbackDeliversAtOnce = true;
#endif

// The results until `want` came and nothing waits (bounded by a count and a deadline):
// payloads, and "#<result> <address>" for events. `gaps` (may be null) counts the answers
// "nothing waiting" met before `want` results came: each ends a manager's drain.
std::vector<std::string> DrainNamed(CNetDriver& d, std::size_t want, int* gaps = nullptr) {
    std::vector<std::string> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 1000 && std::chrono::steady_clock::now() < deadline; ++i) {
        const Received r = Recv(d);
        if (r.result == 0 && r.data.empty() && r.from.sin_family == 0) {
            if (out.size() >= want) break;
            if (gaps != nullptr) ++*gaps;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        out.push_back(r.result == 0 ? r.data : "#" + std::to_string(r.result) + " " + Text(r.peer));
    }
    return out;
}

using UdpRefusal = FamilyTest;

} // namespace

// Five destinations in one held batch, the closed one first, in the middle or last, for three
// frames: every live port gets its datagram each frame, and each frame brings exactly one
// report, naming the closed port. (Linux hands the refusal of a loopback datagram back before
// sendto returns, so a batch meets it at its next message.)
TEST_P(UdpRefusal, IsReportedForItsDestinationAloneWhereverItStandsInTheBatch) {
    if (portnet::platform::RunningUnderWine()) GTEST_SKIP() << kNoRefusals;
    for (const int closed_at : {0, 2, 4}) {
        SCOPED_TRACE("closed port at " + std::to_string(closed_at));
        CNetUDP host(Loopback(GetParam()).c_str());
        ApplyUdpMode(host);
        ASSERT_EQ(host.Init(), 0);
        const CNetAddr closed = ClosedPort(GetParam());
        std::vector<std::unique_ptr<CNetUDP>> live;
        std::vector<CNetAddr> to;
        for (int i = 0; i < 5; ++i) {
            if (i == closed_at) {
                to.push_back(closed);
                continue;
            }
            live.push_back(std::make_unique<CNetUDP>(Loopback(GetParam()).c_str()));
            ASSERT_EQ(live.back()->Init(), 0);
            to.push_back(live.back()->GetLocalAddr());
        }
        for (int frame = 0; frame < 3; ++frame) {
            ASSERT_EQ(host.HoldSends(), 0);
            for (int i = 0; i < 5; ++i)
                ASSERT_EQ(Send(host, "frame " + std::to_string(frame) + " to " + std::to_string(i),
                               to[i]),
                          0);
            EXPECT_EQ(host.FlushSends(), 0);
            for (int i = 0, k = 0; i < 5; ++i) {
                if (i == closed_at) continue;
                EXPECT_EQ(Drain(*live[k++], 1),
                          std::vector<std::string>{"frame " + std::to_string(frame) + " to " +
                                                   std::to_string(i)})
                    << "to " << i;
            }
            int gaps = 0;
            EXPECT_EQ(DrainNamed(host, 1, &gaps),
                      std::vector<std::string>{"#" + std::to_string(kNetEventDisconnect) + " " +
                                               Text(closed)})
                << "frame " << frame;
            if (kLoopbackDeliversAtOnce) {
                EXPECT_EQ(gaps, 0) << "frame " << frame;
            }
        }
        EXPECT_EQ(host.m_send_failures, 0);
    }
}

// A refusal that comes back while datagrams wait is reported after them, in the same drain:
// a goodbye its peer sent before closing its port is read as a goodbye. Met by a plain
// receive, and (batched) by a batch: a drain of two makes the next one start batched.
TEST_P(UdpRefusal, DoesNotOvertakeTheDatagramsWaitingBeforeIt) {
    if (portnet::platform::RunningUnderWine()) GTEST_SKIP() << kNoRefusals;
    UdpEnds p(GetParam()); // b receives from a and sends to a closed port
    const CNetAddr closed = ClosedPort(GetParam());
    const std::string report = "#" + std::to_string(kNetEventDisconnect) + " " + Text(closed);
    for (const bool primed : {false, true}) {
        SCOPED_TRACE(primed ? "after a drain of two" : "after a drain of none");
        if (primed) {
            for (const char* warm : {"warm 0", "warm 1"})
                ASSERT_EQ(Send(p.a, warm, p.to_b), 0);
            ASSERT_EQ(DrainNamed(p.b, 2).size(), 2u);
        }
        const std::vector<std::string> want{"goodbye 0", "goodbye 1", report};
        ASSERT_EQ(Send(p.a, want[0], p.to_b) + Send(p.a, want[1], p.to_b), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(Send(p.b, "to nobody", closed), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        int gaps = 0;
        EXPECT_EQ(DrainNamed(p.b, want.size(), &gaps), want);
        if (kLoopbackDeliversAtOnce) {
            EXPECT_EQ(gaps, 0);
        }
    }
}

INSTANTIATE_FAMILIES(UdpRefusal);
