#pragma once

// Where every object of the demo truly is: endpoint i moves its object round a circle of its
// own at a walking pace, so the receivers' interpolated views can be compared with the truth.

#include <cmath>

namespace demo {

struct SPath {
    double m_cx, m_cy; // centre, metres
    double m_radius;   // metres
    double m_omega;    // radians per second
    double m_phase;    // radians at time 0
};

inline SPath PathOf(int index) {
    const double kPi = 3.14159265358979323846;
    // Eight circles in a row, then the next row of eight further on: every object keeps the
    // pace of the first eight, whose chord error the demo's bound allows for.
    const int row = index / 8, col = index % 8;
    return SPath{10.0 * col, 5.0 * (index % 3) + 40.0 * row, 4.0 + col, (index % 2 ? 0.5 : -0.6),
                 index * kPi / 4.0};
}

// The true position of object `index` at time ms (z stays 0: a delta state then carries two of
// the three components).
inline void PositionAt(int index, int ms, float out[3]) {
    const SPath p = PathOf(index);
    const double a = p.m_phase + p.m_omega * ms / 1000.0;
    out[0] = static_cast<float>(p.m_cx + p.m_radius * std::cos(a));
    out[1] = static_cast<float>(p.m_cy + p.m_radius * std::sin(a));
    out[2] = 0.0f;
}

inline double Distance(const float a[3], const float b[3]) {
    const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Distance from pos to the nearest true position that object `index` held at some time in
// [now - window, now] (never before 0), sampled every millisecond; *lag gets now minus that time.
// A receiver necessarily shows the past, so lag is allowed up to the window, but the shown point
// must lie on the path the object really took: a wrong base, a stale or foreign state shows up
// as distance.
inline double ErrorInWindow(int index, const float pos[3], int now, int window, int* lag) {
    double best = 1e30;
    int best_t = now;
    const int first = now - window < 0 ? 0 : now - window;
    for (int t = now; t >= first; --t) {
        float truth[3];
        PositionAt(index, t, truth);
        const double d = Distance(pos, truth);
        if (d < best) {
            best = d;
            best_t = t;
        }
    }
    *lag = now - best_t;
    return best;
}

// Distance from pos to the circle of object `index`, whatever the time: what a process can
// check about another process's object when the two clocks are unrelated.
inline double ErrorToPath(int index, const float pos[3]) {
    const SPath p = PathOf(index);
    const double r = std::hypot(pos[0] - p.m_cx, pos[1] - p.m_cy);
    return std::hypot(r - p.m_radius, static_cast<double>(pos[2]));
}

} // namespace demo
