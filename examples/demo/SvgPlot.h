#pragma once

// A small SVG writer for the demo's statistics over time: round trip, loss and bytes per
// second, one line per peer. Samples are stored in room reserved before the frame loop.

#include <vector>

#include "StatsTable.h"

namespace demo {

class SvgPlot {
public:
    enum : int { kMaxSeries = 8 };

    // Room for `series` lines of at most max_points samples each.
    void Reserve(int series, int max_points);
    bool Enabled() const { return m_series > 0; }
    // Appends one sample to a series; ignored once its room is used up.
    void Add(int series, double t_s, const SLinkStats& s);
    // Writes the charts under title, with a note saying which lines they draw; false when the
    // file cannot be written.
    bool Write(const char* path, const char* title, const char* note) const;

private:
    struct SPoint {
        float m_t;      // seconds
        int m_ping;     // ms
        int m_lost;     // cumulative
        int m_accepted; // cumulative packets taken (in minus old)
        int m_rate_in;
        int m_rate_out;
    };
    struct SChart;

    const SPoint* Series(int i) const { return &m_points[static_cast<size_t>(i) * m_max]; }
    double Value(int chart, int series, int k) const;
    bool Shown(int chart, int series, int k) const;
    void WriteChart(FILE* f, const SChart& c, int top) const;

    std::vector<SPoint> m_points; // series after series, m_max each
    int m_counts[kMaxSeries] = {};
    char m_names[kMaxSeries][8] = {};
    int m_series = 0;
    int m_max = 0;
};

} // namespace demo
