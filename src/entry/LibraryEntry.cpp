#include "entry/LibraryEntry.h"

#include "platform/PlatformSystem.h"
#include "portnet/CNetTime.h"
#include "portnet/NetAddress.h"

namespace portnet {

bool g_entry_initialised = false;

namespace {

// Name handed to the log stand-in; it creates no file.
constexpr char kLogFileName[] = "net_log.txt";

} // namespace

int LibraryEntry(void*, std::uint32_t reason, void*) {
    if (!g_entry_initialised) {
        // Set first so the initialisation can never run twice.
        g_entry_initialised = true;
        CNetTime::Init();
        platform::InitLog(kLogFileName);
        platform::EnableLog(1);
        const platform::ProcessHandle process = platform::GetCurrentProcess();
        platform::QLV_Initialize(process);
    }
    if (reason == kProcessDetach) {
        ReleaseSystemNetDriver();
        platform::ReleaseLog();
    }
    return 1;
}

} // namespace portnet

// The OS hooks of the platform layer call in here on load and unload.
int portnet::platform::ModuleEntry(void* module, std::uint32_t reason, void* reserved) {
    return portnet::LibraryEntry(module, reason, reserved);
}
