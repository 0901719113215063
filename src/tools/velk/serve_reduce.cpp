// serve_reduce.cpp -- the min/max per column reduction of sample runs.
#include "serve_reduce.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velk {

namespace {

// Widens column c to include v.
inline void widen(ColumnEnvelope &e, long c, float v) {
    if (!e.has[c]) {
        e.lo[c] = e.hi[c] = v;
        e.has[c] = 1;
    } else {
        if (v < e.lo[c]) e.lo[c] = v;
        if (v > e.hi[c]) e.hi[c] = v;
    }
}

}  // namespace

ColumnEnvelope reduce_columns(const std::vector<SampleRun> &runs, double t0, double t1, int width) {
    ColumnEnvelope e;
    e.t0 = t0;
    e.t1 = t1;
    if (width <= 0 || !(t1 > t0) || !std::isfinite(t0) || !std::isfinite(t1)) return e;
    e.lo.assign(width, 0.0f);
    e.hi.assign(width, 0.0f);
    e.has.assign(width, 0);
    const double scale = width / (t1 - t0);  // columns per second
    const long last = width - 1;
    // Column of a time; times outside the window fall outside 0..last.  The
    // window is closed: a sample at t1 is in the last column.
    auto column = [&](double t) {
        long c = (long)std::floor((t - t0) * scale);
        return c == width && t <= t1 ? last : c;
    };
    for (const SampleRun &r : runs) {
        if (!r.data || r.n <= 0 || !(r.dt > 0) || !std::isfinite(r.t0)) continue;
        // Only samples from one before the window to one after it matter.
        long k0 = (long)std::floor((t0 - r.t0) / r.dt) - 1, k1 = (long)std::ceil((t1 - r.t0) / r.dt) + 1;
        k0 = std::max(k0, 0L);
        k1 = std::min(k1, r.n - 1);
        if (k0 > k1) continue;
        long prev_c = column(r.t0 + k0 * r.dt);
        float prev_v = r.data[k0];
        if (prev_c >= 0 && prev_c <= last) {
            widen(e, prev_c, prev_v);
            e.samples++;
        }
        for (long k = k0 + 1; k <= k1; k++) {
            double t = r.t0 + k * r.dt;
            long c = column(t);
            float v = r.data[k];
            if (c >= 0 && c <= last) {
                widen(e, c, v);
                e.samples++;
            }
            if (c != prev_c) {
                // The line from the previous sample crosses the columns
                // between: each takes the line's values at its edges.
                double tp = t - r.dt;
                long ca = std::max(prev_c, 0L), cb = std::min(c, last);
                for (long j = ca; j <= cb; j++) {
                    double ea = std::max(t0 + j / scale, tp), eb = std::min(t0 + (j + 1) / scale, t);
                    float va = (float)(prev_v + (v - prev_v) * ((ea - tp) / r.dt));
                    float vb = (float)(prev_v + (v - prev_v) * ((eb - tp) / r.dt));
                    widen(e, j, va);
                    widen(e, j, vb);
                }
            }
            prev_c = c;
            prev_v = v;
        }
    }
    return e;
}

std::string envelope_json(const ColumnEnvelope &env) {
    std::string out;
    size_t width = env.has.size();
    out.reserve(64 + width * 24);
    char buf[160];
    snprintf(buf, sizeof buf, "{\"t0\":%.6f,\"t1\":%.6f,\"width\":%zu,\"samples\":%ld,", env.t0, env.t1, width,
             env.samples);
    out += buf;
    for (int pass = 0; pass < 2; pass++) {
        out += pass ? ",\"max\":[" : "\"min\":[";
        const std::vector<float> &v = pass ? env.hi : env.lo;
        for (size_t c = 0; c < width; c++) {
            if (c) out += ',';
            if (!env.has[c] || !std::isfinite(v[c])) {
                out += "null";
            } else {
                snprintf(buf, sizeof buf, "%.6g", (double)v[c]);
                out += buf;
            }
        }
        out += ']';
    }
    out += '}';
    return out;
}

}  // namespace velk
