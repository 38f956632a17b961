#pragma once

// What the processor offers beyond plain loads and stores, for the few hot loops that gain
// from it; every other file stays free of the compiler's and the CPU's intrinsics.

namespace portnet::platform {

// True where the processor fetches a cache line for writing (x86-64's prefetchw: every AMD64,
// Intel since 2014). Asked of the CPU once; later calls read the answer.
bool CanPrefetchForWrite();

// Starts fetching the line holding p so that a store to it soon finds it owned by this core.
// owned: the answer of CanPrefetchForWrite; without it the next best is a fetch to read, which
// a store then has to upgrade. A hint only: p need not be aligned, nothing is read or written.
inline void PrefetchLineForWrite(const void* p, bool owned) {
#if defined(__GNUC__) && defined(__x86_64__)
    if (owned) {
        __asm__ volatile("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
        return;
    }
#endif
#if defined(__GNUC__)
    __builtin_prefetch(p, 1);
#else
    (void)p;
    (void)owned;
#endif
}

} // namespace portnet::platform
