// serve_reduce.cpp -- the min/max per column reduction of sample runs.
#include "serve_reduce.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace velk {

ColumnEnvelope reduce_columns(const std::vector<SampleRun> &runs, double t0, double t1, int width) {
    ColumnEnvelope e;
    e.t0 = t0;
    e.t1 = t1;
    if (width <= 0 || !(t1 > t0) || !std::isfinite(t0) || !std::isfinite(t1)) return e;
    e.lo.assign(width, 0.0f);
    e.hi.assign(width, 0.0f);
    e.has.assign(width, 0);
    const double cw = (t1 - t0) / width;  // seconds per column
    for (const SampleRun &r : runs) {
        if (!r.data || r.n <= 0 || !(r.dt > 0) || !std::isfinite(r.t0)) continue;
        const double rend = r.t0 + (r.n - 1) * r.dt;
        const double a = std::max(t0, r.t0), b = std::min(t1, rend);
        if (a > b) continue;
        // The line through the samples at time t (r.t0 <= t <= rend).
        auto at = [&](double t) {
            double x = (t - r.t0) / r.dt;
            long k = std::min(std::max((long)std::floor(x), 0L), r.n - 1);
            if (k >= r.n - 1) return r.data[r.n - 1];
            return (float)(r.data[k] + (r.data[k + 1] - r.data[k]) * (x - k));
        };
        long ca = std::min((long)std::floor((a - t0) / cw), (long)width - 1);
        long cb = std::min((long)std::floor((b - t0) / cw), (long)width - 1);
        for (long c = std::max(ca, 0L); c <= cb; c++) {
            double cs = t0 + c * cw, ce = c == width - 1 ? t1 : t0 + (c + 1) * cw;
            double ea = std::max(cs, r.t0), eb = std::min(ce, rend);
            if (ea > eb) continue;
            // The samples of the column: cs <= t < ce (t <= t1 in the last).
            long k0 = std::max((long)std::ceil((cs - r.t0) / r.dt), 0L);
            long k1 = c == width - 1 ? (long)std::floor((ce - r.t0) / r.dt) : (long)std::ceil((ce - r.t0) / r.dt) - 1;
            k1 = std::min(k1, r.n - 1);
            // The line's values at the column's edges bound it between samples.
            float va = at(ea), vb = at(eb);
            float lo = std::min(va, vb), hi = std::max(va, vb);
            const float *d = r.data;
            long k = k0;
            if (k1 - k0 >= 16) {
                // Eight lanes, so the compiler can keep them in one register.
                float l8[8], h8[8];
                for (int j = 0; j < 8; j++) l8[j] = h8[j] = d[k0];
                for (; k + 8 <= k1 + 1; k += 8)
                    for (int j = 0; j < 8; j++) {
                        l8[j] = d[k + j] < l8[j] ? d[k + j] : l8[j];
                        h8[j] = d[k + j] > h8[j] ? d[k + j] : h8[j];
                    }
                for (int j = 0; j < 8; j++) {
                    lo = l8[j] < lo ? l8[j] : lo;
                    hi = h8[j] > hi ? h8[j] : hi;
                }
            }
            for (; k <= k1; k++) {
                float v = d[k];
                lo = v < lo ? v : lo;
                hi = v > hi ? v : hi;
            }
            if (k1 >= k0) e.samples += k1 - k0 + 1;
            if (!e.has[c]) {
                e.lo[c] = lo;
                e.hi[c] = hi;
                e.has[c] = 1;
            } else {
                e.lo[c] = std::min(e.lo[c], lo);
                e.hi[c] = std::max(e.hi[c], hi);
            }
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
                auto res = std::to_chars(buf, buf + sizeof buf, v[c], std::chars_format::general, 6);
                out.append(buf, res.ptr);
            }
        }
        out += ']';
    }
    out += '}';
    return out;
}

}  // namespace velk
