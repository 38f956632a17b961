// Counts the allocations of this whole test program, to show that the frames of a running
// session make none. Only the span between the markers is counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "LoopbackSession.h"

using namespace integration;

namespace {
bool g_counting = false;
long g_allocations = 0;
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

// One frame of traffic: moving states, a blob with changing bytes, chat both ways (with its
// repetitions under loss), an instant message and an out-of-band datagram.
int Step(Session& s, CNetBuf& oob, int f) {
    CPositionState* pos = s.a.Object<CPositionState>(kPositionPort);
    pos->m_pos[0] = static_cast<float>(f);
    pos->m_pos[1] = static_cast<float>(f / 3);
    s.a.Object<Blob>(kBlobPort)->m_bytes[f % 128] = static_cast<unsigned char>(f);
    s.to_a->Own()->m_pos[2] = static_cast<float>(f);
    s.a.Object<CChatStream>(kChatPort)->Say("a line from A");
    s.b.Object<CChatStream>(kChatPort)->Say("a line from B");
    int failed = s.Tick();
    if (f % 50 == 0) {
        failed += s.to_b->WriteInstant("ping", 5) != 1;
        failed += s.b.Read() != 1;
        oob.SetChannel(2);
        oob.WriteString("status");
        failed += oob.Send() < 0;
        failed += s.b.Read() != 1;
    }
    return failed;
}

TEST(NoAllocation, SteadySessionFramesAllocateNothing) {
    Session s(20);
    s.to_b->m_timeout = s.to_a->m_timeout = 100;
    const sockaddr_in to_b = LocalAddr(2);
    CNetBuf oob(s.a.m_driver, &to_b);
    int failed = 0;
    for (int f = 0; f < 100; ++f)
        failed += Step(s, oob, f);

    const int received = s.b.Object<CChatStream>(kChatPort)->m_received;
    g_counting = true;
    for (int f = 100; f < 1100; ++f)
        failed += Step(s, oob, f);
    g_counting = false;

    EXPECT_EQ(g_allocations, 0);
    EXPECT_EQ(failed, 0);
    // The counted frames did carry traffic of every kind.
    EXPECT_GT(s.b.Object<CChatStream>(kChatPort)->m_received, received + 100);
    EXPECT_GT(s.b.m_ports[kBlobPort].m_reading_history->m_delta_count, 500);
    EXPECT_GT(s.to_b->m_timeouts, 0);
    EXPECT_GT(s.b.m_oob_count, 10); // of 22, some lost to the drop rate
    EXPECT_GT(s.to_a->m_instants, 10);
}

} // namespace
