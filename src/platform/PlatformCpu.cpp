#include "platform/PlatformCpu.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <cpuid.h>
#endif

namespace portnet::platform {

namespace {

bool AskCpu() {
#if defined(__GNUC__) && defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    // Extended leaf 0x80000001, ECX bit 8: PREFETCHW (3DNowPrefetch).
    return __get_cpuid(0x80000001u, &a, &b, &c, &d) != 0 && (c & (1u << 8)) != 0;
#else
    return false;
#endif
}

} // namespace

bool CanPrefetchForWrite() {
    static const bool can = AskCpu();
    return can;
}

} // namespace portnet::platform
