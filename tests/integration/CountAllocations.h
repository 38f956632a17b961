// Counts the allocations of the whole test program while g_counting is set, and keeps the
// number of blocks allocated and not yet freed (g_live, always counted). Include it in one
// source file of a program: it replaces the global allocation functions.
#pragma once

#include <cstdlib>
#include <new>

static bool g_counting = false;
static long g_allocations = 0;
static long g_live = 0;

// Every form is replaced, so all allocations pair malloc with free (GCC cannot see that).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static void* Allocate(std::size_t n) {
    g_allocations += g_counting;
    void* p = std::malloc(n ? n : 1);
    g_live += p != nullptr;
    return p;
}
static void CountedFree(void* p) {
    g_live -= p != nullptr;
    std::free(p);
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
