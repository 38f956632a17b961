// Counts the allocations of the whole test program while g_counting is set, and keeps the
// number of blocks allocated and not yet freed (g_live) and their bytes (g_live_bytes), always
// counted. Include it in one source file of a program: it replaces the global allocation
// functions.
#pragma once

#include <cstdlib>
#include <new>

static bool g_counting = false;
static long g_allocations = 0;
static long g_live = 0;
static long g_live_bytes = 0; // bytes allocated and not yet freed, always counted

// Every form is replaced, so all allocations pair malloc with free (GCC cannot see that). Each
// block carries its size in the 16 bytes before it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Warray-bounds"
static void* Allocate(std::size_t n) {
    auto* p = static_cast<std::size_t*>(std::malloc(n + 16));
    if (!p) return nullptr;
    g_allocations += g_counting;
    ++g_live;
    g_live_bytes += static_cast<long>(n);
    *p = n;
    return reinterpret_cast<char*>(p) + 16;
}
static void CountedFree(void* p) {
    if (!p) return;
    auto* base = reinterpret_cast<std::size_t*>(static_cast<char*>(p) - 16);
    --g_live;
    g_live_bytes -= static_cast<long>(*base);
    std::free(base);
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
    CountedFree(p);
}
void operator delete[](void* p) noexcept {
    CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
    CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    CountedFree(p);
}
#pragma GCC diagnostic pop
