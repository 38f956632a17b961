#include "platform/PlatformSystem.h"

#include <cstdint>

#include "platform/PlatformOs.h"

// The parts of the layer that are the same on every OS: call counts, the clock seam, the
// process handle and the log stand-ins. The OS calls themselves are in posix/ or win32/.
namespace portnet::platform {

namespace {

int g_startup_calls = 0;
int g_cleanup_calls = 0;
const ClockSource* g_clock_source = nullptr;
LogObserver g_log_observer = nullptr;

void Notify(const char* call, const void* arg) {
    if (g_log_observer != nullptr) g_log_observer(call, arg);
}

} // namespace

int SocketStartup(std::uint16_t version, SocketLayerInfo* info) {
    ++g_startup_calls;
    return os::SocketStartup(version, info);
}

int SocketCleanup() {
    ++g_cleanup_calls;
    return os::SocketCleanup();
}

int SocketStartupCalls() {
    return g_startup_calls;
}

int SocketCleanupCalls() {
    return g_cleanup_calls;
}

bool QueryPerformanceFrequency(std::int64_t* frequency) {
    if (g_clock_source != nullptr && g_clock_source->frequency != nullptr)
        return g_clock_source->frequency(frequency);
    return os::CounterFrequency(frequency);
}

bool QueryPerformanceCounter(std::int64_t* count) {
    if (g_clock_source != nullptr && g_clock_source->counter != nullptr)
        return g_clock_source->counter(count);
    return os::Counter(count);
}

std::uint32_t TimeGetTime() {
    if (g_clock_source != nullptr && g_clock_source->mm_time != nullptr)
        return g_clock_source->mm_time();
    return os::MillisecondTimer();
}

void SetClockSource(const ClockSource* source) {
    g_clock_source = source;
}

ProcessHandle GetCurrentProcess() {
    return reinterpret_cast<ProcessHandle>(static_cast<std::intptr_t>(-1));
}

int InitLog(const char* file_name) {
    Notify("InitLog", file_name);
    return 1;
}

int EnableLog(int enable) {
    Notify("EnableLog", &enable);
    return 1;
}

int QLV_Initialize(ProcessHandle process) {
    Notify("QLV_Initialize", process);
    return 1;
}

int ReleaseLog() {
    Notify("ReleaseLog", nullptr);
    return 1;
}

void SetLogObserver(LogObserver observer) {
    g_log_observer = observer;
}

} // namespace portnet::platform
