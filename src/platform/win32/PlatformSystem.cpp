#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <cstring>

#include "platform/PlatformOs.h"
#include "platform/win32/Win32Exit.h"

namespace portnet::platform::os {

bool g_process_ending = false;

namespace {

// A counter faster than 2^31 Hz (no current Windows has one) is slowed by a power of two so
// two seconds of ticks still fit 32 bits.
int CounterShift(std::int64_t frequency) {
    int shift = 0;
    while ((frequency >> shift) > kMaxCounterFrequency)
        ++shift;
    return shift;
}

} // namespace

int SocketStartup(std::uint16_t version, SocketLayerInfo* info) {
    WSADATA data;
    std::memset(&data, 0, sizeof(data));
    const int rc = WSAStartup(version, &data);
    if (info != nullptr) {
        info->version = data.wVersion;
        info->high_version = data.wHighVersion;
        std::size_t n = 0;
        while (n < sizeof info->description - 1 && data.szDescription[n] != '\0') {
            info->description[n] = data.szDescription[n];
            ++n;
        }
        info->description[n] = '\0';
    }
    return rc;
}

int SocketCleanup() {
    // WSACleanup may unload providers, which is unsafe under the loader lock that DllMain holds
    // at process exit; the ending process takes Winsock down with it anyway.
    if (g_process_ending) return 0;
    return WSACleanup() == 0 ? 0 : -1;
}

bool CounterFrequency(std::int64_t* frequency) {
    LARGE_INTEGER f;
    if (!::QueryPerformanceFrequency(&f) || f.QuadPart <= 0) return false;
    *frequency = f.QuadPart >> CounterShift(f.QuadPart);
    return true;
}

bool Counter(std::int64_t* count) {
    // The frequency is fixed at boot: its shift is found once (0 on every current Windows).
    static int shift = -1;
    if (shift < 0) {
        LARGE_INTEGER f;
        if (!::QueryPerformanceFrequency(&f) || f.QuadPart <= 0) return false;
        shift = CounterShift(f.QuadPart);
    }
    LARGE_INTEGER c;
    if (!::QueryPerformanceCounter(&c)) return false;
    *count = c.QuadPart >> shift;
    return true;
}

std::uint32_t MillisecondTimer() {
    return static_cast<std::uint32_t>(timeGetTime());
}

} // namespace portnet::platform::os

namespace portnet::platform {

// Wine's ntdll exports its version; Windows' does not.
bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace portnet::platform
