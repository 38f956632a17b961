// A host that creates drivers and exits without ReleaseSystemNetDriver: the library's unload
// must destroy them while its registries are still alive.
#include <cstdio>

#include "portnet/portnet.h"

int main() {
    // The load entry has already started the clock.
    if (CNetTime::m_timer_proc == nullptr) {
        std::puts("clock not initialised at load");
        return 1;
    }
    CNetDriver* a = GetSystemNetDriver(kNetDriverLocal, 1);
    CNetDriver* b = GetSystemNetDriver(kNetDriverLocal, 2);
    CNetDriver* udp = GetSystemNetDriver(kNetDriverUdp, 0);
    if (a == nullptr || b == nullptr || udp == nullptr || a->Init() != 0 || b->Init() != 0)
        return 1;
    return CNetDriver::m_init_cnt == 3 ? 0 : 1;
}
