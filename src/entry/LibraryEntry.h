#pragma once

#include <cstdint>

namespace portnet {

// Reason codes the library entry is called with.
enum : std::uint32_t {
    kProcessDetach = 0,
    kProcessAttach = 1,
    kThreadAttach = 2,
    kThreadDetach = 3,
};

// The entry's one process-wide value: false until its first call has brought up the clock
// and the log. Tests may clear it to replay a first call.
extern bool g_entry_initialised;

// The load/unload entry: the first call (whatever its reason) initialises the clock and the
// log, a process detach destroys every registered driver and then releases the log. Always 1.
int LibraryEntry(void* module, std::uint32_t reason, void* reserved);

} // namespace portnet
