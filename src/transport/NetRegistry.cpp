#include "transport/NetRegistry.h"

#include <new>

#include "portnet/CNetDriver.h"
#include "portnet/CNetUDP.h"
#include "portnet/NetAddress.h"
#include "transport/CNetLocal.h"

CNetList g_driver_list;
CNetList g_local_list;

namespace {

CNetDriver* CreateDriver(int type, int param) {
    switch (type) {
    case kNetDriverLocal:
        return CreateLocalDriver(param);
    case kNetDriverUdp:
        return new (std::nothrow) CNetUDP(param);
    default:
        return nullptr;
    }
}

// Last exit step, after the library entry's own unload: frees whatever nodes are left (never
// the drivers). Normally the entry has already emptied both lists.
void FreeRegistryNodes() {
    g_driver_list.RemoveAll();
    g_local_list.RemoveAll();
}

#if defined(__GNUC__) || defined(__clang__)
// A priority below the entry's unload hook (200) runs after it.
__attribute__((destructor(150))) void FreeRegistryNodesAtExit() {
    FreeRegistryNodes();
}
#else
// Other compilers: a static object, destroyed after DllMain's detach; defined after the lists,
// so destroyed before them.
struct RegistryNodeSweep {
    ~RegistryNodeSweep() { FreeRegistryNodes(); }
} g_registry_node_sweep;
#endif

} // namespace

extern "C" {

CNetDriver* GetSystemNetDriver(int type, int param) {
    CNetDriver* driver = CreateDriver(type, param);
    if (driver == nullptr) return nullptr;
    // No registry node: the driver is destroyed again rather than left without an owner.
    if (!g_driver_list.AddHead(driver)) {
        delete driver;
        return nullptr;
    }
    return driver;
}

int ReleaseSystemNetDriver() {
    for (int i = 0; i < g_driver_list.Count(); ++i) {
        if (SNetListNode* node = g_driver_list.GetNode(i); node->m_data != nullptr)
            delete static_cast<CNetDriver*>(node->m_data);
    }
    g_driver_list.RemoveAll();
    // The endpoints listed here were destroyed above; only their nodes remain.
    g_local_list.RemoveAll();
    return 1;
}

} // extern "C"
