#pragma once

// Stand-ins for the few system services the library was built around: the socket layer's
// start-up reference, the performance counter, the millisecond timer, the process handle and
// the maker's log. Everything else in the library reaches the OS only through src/platform/.

#include <cstdint>

struct SNetSocketData;

namespace portnet::platform {

// --- Socket layer start-up ---------------------------------------------------------------
// Berkeley sockets need no start-up; the pair is kept so the drivers' reference count stays
// real. Startup fills data with the requested version and a description; both return 0.
int SocketStartup(std::uint16_t version, SNetSocketData* data);
int SocketCleanup();
// How often each was called since the process started (for tests).
int SocketStartupCalls();
int SocketCleanupCalls();

// --- Clocks --------------------------------------------------------------------------------
// Performance counter: 1 MHz ticks of CLOCK_MONOTONIC. The frequency stays below 2^31 so two
// seconds of ticks always fit the 32-bit low half the clock works with.
constexpr std::int64_t kCounterFrequency = 1000000;
// False when no counter is available (the caller then falls back to TimeGetTime).
bool QueryPerformanceFrequency(std::int64_t* frequency);
bool QueryPerformanceCounter(std::int64_t* count);
// Milliseconds of CLOCK_MONOTONIC, wrapping at 2^32.
std::uint32_t TimeGetTime();

// Test seam: every non-null member replaces the matching clock call; SetClockSource(nullptr)
// restores the real clocks. The source is not copied and must outlive its use.
struct ClockSource {
    bool (*frequency)(std::int64_t* frequency);
    bool (*counter)(std::int64_t* count);
    std::uint32_t (*mm_time)();
};
void SetClockSource(const ClockSource* source);

// --- Process and log -----------------------------------------------------------------------
using ProcessHandle = void*;
// A pseudo handle meaning "this process", as the system it stands in for returns.
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
