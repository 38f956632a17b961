#pragma once

// The few system services the library was built around: the socket layer's start-up
// reference, the performance counter, the millisecond timer, the load and unload entry, the
// process handle and the maker's log. Everything else in the library reaches the OS only
// through src/platform/; posix/ and win32/ hold one implementation each, chosen by the build.

#include <cstdint>

namespace portnet::platform {

// --- Socket layer start-up ---------------------------------------------------------------
// What the start-up call reports: the version granted, the highest supported, and a
// description of the implementation (cut to fit).
struct SocketLayerInfo {
    std::uint16_t version;
    std::uint16_t high_version;
    char description[64];
};
// Winsock needs WSAStartup before its first socket and WSACleanup after its last; Berkeley
// sockets need neither, and there the pair is kept so the drivers' reference count stays
// real. Startup fills info (may be null); both return 0 on success.
int SocketStartup(std::uint16_t version, SocketLayerInfo* info);
int SocketCleanup();
// How often each was called since the process started (for tests).
int SocketStartupCalls();
int SocketCleanupCalls();

// --- Clocks --------------------------------------------------------------------------------
// Performance counter: 1 MHz ticks of CLOCK_MONOTONIC on Linux, the OS's own counter on
// Windows. The frequency stays below 2^31 so two seconds of ticks always fit the 32-bit low
// half the clock works with.
constexpr std::int64_t kMaxCounterFrequency = (std::int64_t{1} << 31) - 1;
// False when no counter is available (the caller then falls back to TimeGetTime).
bool QueryPerformanceFrequency(std::int64_t* frequency);
bool QueryPerformanceCounter(std::int64_t* count);
// Milliseconds of a monotonic clock, wrapping at 2^32.
std::uint32_t TimeGetTime();

// Test seam: every non-null member replaces the matching clock call; SetClockSource(nullptr)
// restores the real clocks. The source is not copied and must outlive its use.
struct ClockSource {
    bool (*frequency)(std::int64_t* frequency);
    bool (*counter)(std::int64_t* count);
    std::uint32_t (*mm_time)();
};
void SetClockSource(const ClockSource* source);

// --- Load and unload -----------------------------------------------------------------------
// The layer calls this when the OS loads or unloads the library: an ELF constructor and
// destructor on Linux, DllMain for portnet.dll (or a static object when the library's objects
// are linked into a program). Reasons are 0 detach, 1 attach, 2 and 3 thread attach and
// detach. Declared here, defined by the library entry above the layer.
int ModuleEntry(void* module, std::uint32_t reason, void* reserved);

// True when the program runs under Wine rather than Windows (always false on Linux): the
// tests skip what Wine does not do as Windows does.
bool RunningUnderWine();

// --- Process and log -----------------------------------------------------------------------
using ProcessHandle = void*;
// A pseudo handle meaning "this process", the value Windows itself returns.
ProcessHandle GetCurrentProcess();

// The library writes no log: these accept the entry's calls, write nothing and create no file.
int InitLog(const char* file_name);
int EnableLog(int enable);
int QLV_Initialize(ProcessHandle process);
int ReleaseLog();

// Test seam: called with the name of each log call above and its argument (file name, enable
// flag as an int pointer, process handle, or null). Null removes the observer.
using LogObserver = void (*)(const char* call, const void* arg);
void SetLogObserver(LogObserver observer);

} // namespace portnet::platform
