#include "platform/PlatformSystem.h"

namespace {

// ELF load and unload stand in for process attach and detach. The priorities place them
// inside the registries' lifetime: the registries need no construction, and their final
// node clean-up (a destructor of lower priority) runs after this one.
__attribute__((constructor(200))) void OnLoad() {
    portnet::platform::ModuleEntry(nullptr, 1, nullptr);
}

__attribute__((destructor(200))) void OnUnload() {
    portnet::platform::ModuleEntry(nullptr, 0, nullptr);
}

} // namespace
