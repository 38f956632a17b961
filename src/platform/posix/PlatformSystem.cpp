#include <time.h>

#include <cstdio>

#include "platform/PlatformOs.h"

namespace portnet::platform::os {

namespace {

// Performance counter rate: 1 MHz ticks of CLOCK_MONOTONIC.
constexpr std::int64_t kCounterFrequency = 1000000;
static_assert(kCounterFrequency <= kMaxCounterFrequency, "two seconds must fit 32 bits");

std::int64_t MonotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

// Berkeley sockets need no start-up: the version asked for is the version granted.
int SocketStartup(std::uint16_t version, SocketLayerInfo* info) {
    if (info != nullptr) {
        info->version = version;
        info->high_version = version;
        std::snprintf(info->description, sizeof info->description, "BSD sockets %u.%u",
                      version & 0xFFu, (version >> 8) & 0xFFu);
    }
    return 0;
}

int SocketCleanup() {
    return 0;
}

bool CounterFrequency(std::int64_t* frequency) {
    *frequency = kCounterFrequency;
    return true;
}

bool Counter(std::int64_t* count) {
    *count = MonotonicNanoseconds() / (1000000000 / kCounterFrequency);
    return true;
}

std::uint32_t MillisecondTimer() {
    return static_cast<std::uint32_t>(MonotonicNanoseconds() / 1000000);
}

} // namespace portnet::platform::os

namespace portnet::platform {

bool RunningUnderWine() {
    return false;
}

} // namespace portnet::platform
