#include "platform/PlatformSystem.h"

#include <time.h>

#include <cstdio>

#include "portnet/CNetDriver.h"

namespace portnet::platform {

namespace {

int g_startup_calls = 0;
int g_cleanup_calls = 0;
const ClockSource* g_clock_source = nullptr;
LogObserver g_log_observer = nullptr;

std::int64_t MonotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Notify(const char* call, const void* arg) {
    if (g_log_observer != nullptr) g_log_observer(call, arg);
}

} // namespace

int SocketStartup(std::uint16_t version, SNetSocketData* data) {
    ++g_startup_calls;
    if (data != nullptr) {
        data->m_version = version;
        data->m_high_version = version;
        std::snprintf(data->m_description, sizeof data->m_description, "BSD sockets %u.%u",
                      version & 0xFFu, (version >> 8) & 0xFFu);
    }
    return 0;
}

int SocketCleanup() {
    ++g_cleanup_calls;
    return 0;
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
    *frequency = kCounterFrequency;
    return true;
}

bool QueryPerformanceCounter(std::int64_t* count) {
    if (g_clock_source != nullptr && g_clock_source->counter != nullptr)
        return g_clock_source->counter(count);
    *count = MonotonicNanoseconds() / (1000000000 / kCounterFrequency);
    return true;
}

std::uint32_t TimeGetTime() {
    if (g_clock_source != nullptr && g_clock_source->mm_time != nullptr)
        return g_clock_source->mm_time();
    return static_cast<std::uint32_t>(MonotonicNanoseconds() / 1000000);
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
