#include "SvgPlot.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace demo {

namespace {

const char* const kColors[SvgPlot::kMaxSeries] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                                  "#ff7f0e", "#17becf", "#8c564b", "#7f7f7f"};
const int kWidth = 960, kLeft = 70, kRight = 130, kChartHeight = 190, kGap = 60, kTop = 50;

// A tick step of 1, 2 or 5 times a power of ten giving about five ticks over range.
double NiceStep(double range) {
    if (range <= 0) return 1.0;
    const double raw = range / 5.0;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    const double m = raw / p;
    return (m <= 1.0 ? 1.0 : m <= 2.0 ? 2.0 : m <= 5.0 ? 5.0 : 10.0) * p;
}

} // namespace

struct SvgPlot::SChart {
    const char* m_title;
    int m_index;       // 0 round trip, 1 loss, 2 bytes per second
    bool m_dashed_out; // also draw bytes out, dashed
};

void SvgPlot::Reserve(int series, int max_points) {
    m_series = series < kMaxSeries ? series : kMaxSeries;
    m_max = max_points;
    m_points.assign(static_cast<size_t>(m_series) * m_max, SPoint{});
}

void SvgPlot::Add(int series, double t_s, const SLinkStats& s) {
    if (series < 0 || series >= m_series || m_counts[series] >= m_max) return;
    std::memcpy(m_names[series], s.m_name, sizeof m_names[series]);
    SPoint& p = m_points[static_cast<size_t>(series) * m_max + m_counts[series]++];
    p = SPoint{static_cast<float>(t_s),  s.m_ping,    s.m_lost,
               s.m_packets_in - s.m_old, s.m_rate_in, s.m_rate_out};
}

// Chart values: round trip; loss in percent over the second before the sample; bytes in
// (series values) and, with a second index, bytes out.
double SvgPlot::Value(int chart, int series, int k) const {
    const SPoint* p = Series(series);
    switch (chart) {
    case 0:
        return p[k].m_ping;
    case 1: {
        int j = k;
        while (j > 0 && p[k].m_t - p[j - 1].m_t <= 1.0f)
            --j;
        const int lost = p[k].m_lost - p[j].m_lost;
        const int taken = p[k].m_accepted - p[j].m_accepted;
        return lost + taken > 0 ? 100.0 * lost / (lost + taken) : 0.0;
    }
    case 2:
        return p[k].m_rate_in;
    default:
        return p[k].m_rate_out;
    }
}

// Loss is drawn from the first whole second on: before it, a handful of packets decide it.
bool SvgPlot::Shown(int chart, int series, int k) const {
    return chart != 1 || Series(series)[k].m_t >= 1.0f;
}

void SvgPlot::WriteChart(FILE* f, const SChart& c, int top) const {
    const int w = kWidth - kLeft - kRight, h = kChartHeight;
    double t_end = 0.1, y_max = 0.0;
    for (int s = 0; s < m_series; ++s)
        for (int k = 0; k < m_counts[s]; ++k) {
            if (Series(s)[k].m_t > t_end) t_end = Series(s)[k].m_t;
            for (int v = c.m_index; v <= (c.m_dashed_out ? 3 : c.m_index); ++v) {
                const double y = Shown(v, s, k) ? Value(v, s, k) : 0.0;
                if (y > y_max) y_max = y;
            }
        }
    const double y_step = NiceStep(y_max > 0 ? y_max : 1.0);
    y_max = y_step * std::ceil((y_max > 0 ? y_max : 1.0) / y_step);
    const double t_step = NiceStep(t_end);

    std::fprintf(f, "<text x='%d' y='%d' font-weight='bold'>%s</text>\n", kLeft, top - 10,
                 c.m_title);
    std::fprintf(f, "<rect x='%d' y='%d' width='%d' height='%d' fill='none' stroke='#999'/>\n",
                 kLeft, top, w, h);
    for (double y = 0; y <= y_max + y_step / 2; y += y_step) {
        const double py = top + h - y / y_max * h;
        std::fprintf(f, "<line x1='%d' y1='%.1f' x2='%d' y2='%.1f' stroke='#e5e5e5'/>\n", kLeft, py,
                     kLeft + w, py);
        std::fprintf(f, "<text x='%d' y='%.1f' text-anchor='end'>%g</text>\n", kLeft - 6, py + 4,
                     y);
    }
    for (double t = 0; t <= t_end + 1e-9; t += t_step) {
        const double px = kLeft + t / t_end * w;
        std::fprintf(f, "<text x='%.1f' y='%d' text-anchor='middle'>%g s</text>\n", px,
                     top + h + 16, t);
    }
    for (int s = 0; s < m_series; ++s) {
        for (int v = c.m_index; v <= (c.m_dashed_out ? 3 : c.m_index); ++v) {
            std::fprintf(f, "<polyline fill='none' stroke='%s' stroke-width='1.5'%s points='",
                         kColors[s], v == 3 ? " stroke-dasharray='5,3'" : "");
            for (int k = 0; k < m_counts[s]; ++k) {
                if (!Shown(v, s, k)) continue;
                std::fprintf(f, "%.1f,%.1f ", kLeft + Series(s)[k].m_t / t_end * w,
                             top + h - Value(v, s, k) / y_max * h);
            }
            std::fprintf(f, "'/>\n");
        }
        const int ly = top + 14 + 18 * s;
        std::fprintf(f, "<line x1='%d' y1='%d' x2='%d' y2='%d' stroke='%s' stroke-width='3'/>\n",
                     kLeft + w + 12, ly - 4, kLeft + w + 32, ly - 4, kColors[s]);
        std::fprintf(f, "<text x='%d' y='%d'>%s</text>\n", kLeft + w + 38, ly, m_names[s]);
    }
    if (c.m_dashed_out)
        std::fprintf(f,
                     "<text x='%d' y='%d' fill='#555'>solid: in</text>\n"
                     "<text x='%d' y='%d' fill='#555'>dashed: out</text>\n",
                     kLeft + w + 12, top + h - 20, kLeft + w + 12, top + h - 4);
}

bool SvgPlot::Write(const char* path, const char* title, const char* note) const {
    FILE* f = std::fopen(path, "w");
    if (!f) return false;
    const SChart charts[] = {{"Round trip (ms)", 0, false},
                             {"Loss over the last second (%)", 1, false},
                             {"Bytes per second", 2, true}};
    const int height = kTop + 3 * (kChartHeight + kGap);
    std::fprintf(f,
                 "<svg xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' "
                 "font-family='sans-serif' font-size='12'>\n"
                 "<rect width='100%%' height='100%%' fill='white'/>\n"
                 "<text x='%d' y='24' font-size='15'>%s</text>\n"
                 "<text x='%d' y='42' fill='#555'>drawn: %s</text>\n",
                 kWidth, height, kLeft, title, kLeft, note);
    for (int i = 0; i < 3; ++i)
        WriteChart(f, charts[i], kTop + 20 + i * (kChartHeight + kGap));
    std::fprintf(f, "</svg>\n");
    return std::fclose(f) == 0;
}

} // namespace demo
