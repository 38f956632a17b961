// Counts every allocation of this test program, to show that a whole frame makes none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "ManagerDoubles.h"

namespace {
bool g_counting = false;
int g_allocations = 0;
} // namespace

// Every form is replaced, so all allocations pair malloc with free (GCC cannot see that).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static void* Allocate(std::size_t n) {
    if (g_counting) ++g_allocations;
    return std::malloc(n ? n : 1);
}
void* operator new(std::size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

TEST(FrameAllocation, FullFrameWithTrafficAllocatesNothing) {
    ScriptDriver driver;
    const sockaddr_in peer = Ipv4(7100, 4);
    CNetBuf peer_buf{&driver, &peer};
    CNetManager m;
    ASSERT_EQ(1, m.Init(&driver, 2));
    for (int i = 0; i < 8; ++i) {
        auto* c = new StepClient;
        c->m_send_buf = &peer_buf;
        ASSERT_EQ(i, m.AddClient(c, i));
    }
    m.SetPortA(1, new TestState);
    m.InitPort(1, 500);
    m.m_ports[1].m_writing_history = new CNetDataHistory(4, new TestState, 1);
    auto* h = new CNetDataHistory(4, new TestState(100), 1);
    h->SetLink(0);
    m.m_ports[1].m_reading_history = h;
    m.m_ports[1].m_last_time = 100;

    int results = 0;
    g_counting = true;
    for (int frame = 0; frame < 3; ++frame) {
        driver.Datagram(peer, 0);
        driver.Datagram(peer, 2);
        driver.Result(peer, kNetEventDisconnect);
        CNetTime::m_time += 20;
        results += m.BeginFrame() + m.Read() + m.Update(true) + m.Write() + m.EndFrame();
    }
    g_counting = false;
    EXPECT_EQ(15, results);
    EXPECT_EQ(0, g_allocations);
    EXPECT_EQ(3, m.m_frame);
}

} // namespace
