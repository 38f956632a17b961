#include "portnet/CNetTime.h"

#include "client/NetWrap.h"
#include "platform/PlatformSystem.h"

namespace sys = portnet::platform;

int CNetTime::m_time = 0;
int CNetTime::m_last_time = 0;
int CNetTime::m_frame_time = 0;
double CNetTime::m_msec_per_tick = 0.0;
int (*CNetTime::m_timer_proc)() = nullptr;
std::uint32_t CNetTime::m_MM_start_time = 0;
int CNetTime::m_HT_cur_time = 0;
std::int64_t CNetTime::m_HT_last_time = 0;

namespace {

// Millisecond values wrap in 32 bits.
using portnet::WrapAdd;
using portnet::WrapSub;

// Truncates toward zero and keeps the low 32 bits. The value is at most 2^32 ticks times the
// tick length, far inside the 64-bit range, so the conversion is always defined.
int TruncateMs(double ms) {
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::int64_t>(ms)));
}

std::uint32_t Low32(std::int64_t v) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(v));
}

} // namespace

int CNetTime::Init() {
    m_time = 0;
    m_last_time = 0;
    m_frame_time = 0;
    m_msec_per_tick = 0.0;
    m_timer_proc = nullptr;

    std::int64_t frequency = 0;
    const bool have_counter = sys::QueryPerformanceFrequency(&frequency);
    // Only the low 32 bits of the frequency count; a low half of 0 would divide by zero, so it
    // is treated like a missing counter.
    const std::uint32_t ticks_per_second = Low32(frequency);
    if (!have_counter || ticks_per_second == 0) {
        m_MM_start_time = sys::TimeGetTime();
        m_msec_per_tick = 1.0;
        m_timer_proc = GetMMTimerClock;
        return 1;
    }
    sys::QueryPerformanceCounter(&m_HT_last_time);
    m_HT_cur_time = 0;
    m_timer_proc = GetHardwareTimerClock;
    m_msec_per_tick = 1000.0 / static_cast<double>(ticks_per_second);
    return 1;
}

int CNetTime::Update() {
    m_last_time = m_time;
    // Before Init there is no clock: time stands still rather than calling through null.
    if (m_timer_proc != nullptr) m_time = m_timer_proc();
    m_frame_time = WrapSub(m_time, m_last_time);
    return 1;
}

int CNetTime::GetTime() {
    return m_time;
}

int CNetTime::GetRealTime() {
    Update();
    return m_time;
}

int CNetTime::GetFrameTime() {
    return m_frame_time;
}

int CNetTime::GetHardwareTimerClock() {
    std::int64_t now = m_HT_last_time; // a failed read counts as no time passed
    sys::QueryPerformanceCounter(&now);
    // Low halves only, modulo 2^32: one wrap between two readings still counts right.
    const std::uint32_t ticks = Low32(now) - Low32(m_HT_last_time);
    double ms = static_cast<double>(ticks) * m_msec_per_tick;
    // Fold every two seconds so the span measured from the reference point stays short;
    // the fraction of a millisecond cut off here is dropped for good.
    if (ms >= 2000.0) {
        m_HT_cur_time = WrapAdd(m_HT_cur_time, TruncateMs(ms));
        m_HT_last_time = now;
        ms = 0.0;
    }
    return WrapAdd(m_HT_cur_time, TruncateMs(ms));
}

int CNetTime::GetMMTimerClock() {
    return static_cast<int>(sys::TimeGetTime() - m_MM_start_time);
}
