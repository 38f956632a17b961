#include <windows.h>

#include "platform/PlatformSystem.h"
#include "platform/win32/Win32Exit.h"

// The image this code is linked into: portnet.dll, or a program that links the library's
// objects directly (the unit tests). Provided by the linker, MSVC's and GNU's alike.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

bool LinkedIntoProgram() {
    return GetModuleHandleW(nullptr) == reinterpret_cast<HMODULE>(&__ImageBase);
}

// In a program nothing calls DllMain: this object's construction and destruction stand in
// for process attach and detach. In portnet.dll it does nothing and DllMain does the work.
struct ProgramLoadHook {
    ProgramLoadHook() {
        if (LinkedIntoProgram())
            portnet::platform::ModuleEntry(nullptr, DLL_PROCESS_ATTACH, nullptr);
    }
    ~ProgramLoadHook() {
        if (LinkedIntoProgram())
            portnet::platform::ModuleEntry(nullptr, DLL_PROCESS_DETACH, nullptr);
    }
};

ProgramLoadHook g_program_load_hook;

} // namespace

// The loader's calls for portnet.dll. Their reason codes are the entry's own. A detach with
// a non-null reserved means the process is ending.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        portnet::platform::os::g_process_ending = true;
    return portnet::platform::ModuleEntry(module, static_cast<std::uint32_t>(reason), reserved);
}
