#pragma once

#include <cstdint>

#include "PortnetExport.h"

// The process-wide millisecond clock. Times count from the last Init; the host calls
// Update once at the top of every frame and everything else reads the frame's snapshot.
class PORTNET_API CNetTime {
public:
    static int Init();
    static int Update();
    static int GetTime();
    static int GetRealTime();
    static int GetFrameTime();
    static int GetHardwareTimerClock();
    static int GetMMTimerClock();

    static int m_time;
    static int m_last_time;
    static int m_frame_time;
    static double m_msec_per_tick;
    static int (*m_timer_proc)();
    static std::uint32_t m_MM_start_time;
    static int m_HT_cur_time;
    static std::int64_t m_HT_last_time;
};
