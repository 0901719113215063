// serve_reduce.cpp -- the min/max per column reduction of sample runs.
#include "serve_reduce.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace velk {

namespace {

// Not a sample: a gap marker (magnitude 1e29 or more) or NaN.
inline bool not_a_sample(float v) { return !(std::fabs(v) < 1e29f); }

// The smallest and largest of d[0..n) folded into *lo and *hi, in the same
// pass as the look for values that are not samples (true when one is
// there; the extremes are then meaningless).  Four lanes twice over, so the
// loop runs at the memory's pace.
bool fold_min_max(const float *d, long n, float *lo, float *hi) {
    long k = 0;
    float l = *lo, h = *hi;
    bool bad = false;
#ifdef __SSE2__
    if (n >= 16) {
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)), limit = _mm_set1_ps(1e29f);
        __m128 l0 = _mm_set1_ps(l), l1 = l0, h0 = _mm_set1_ps(h), h1 = h0, any = _mm_setzero_ps();
        for (; k + 8 <= n; k += 8) {
            __m128 a = _mm_loadu_ps(d + k), b = _mm_loadu_ps(d + k + 4);
            l0 = _mm_min_ps(l0, a);
            l1 = _mm_min_ps(l1, b);
            h0 = _mm_max_ps(h0, a);
            h1 = _mm_max_ps(h1, b);
            // "not less than" holds for NaN too
            any = _mm_or_ps(any, _mm_or_ps(_mm_cmpnlt_ps(_mm_and_ps(a, magnitude), limit),
                                           _mm_cmpnlt_ps(_mm_and_ps(b, magnitude), limit)));
        }
        bad = _mm_movemask_ps(any) != 0;
        float lv[4], hv[4];
        _mm_storeu_ps(lv, _mm_min_ps(l0, l1));
        _mm_storeu_ps(hv, _mm_max_ps(h0, h1));
        for (int j = 0; j < 4; j++) {
            l = lv[j] < l ? lv[j] : l;
            h = hv[j] > h ? hv[j] : h;
        }
    }
#endif
    for (; k < n; k++) {
        float v = d[k];
        bad |= not_a_sample(v);
        l = v < l ? v : l;
        h = v > h ? v : h;
    }
    *lo = l;
    *hi = h;
    return bad;
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
            if (k >= r.n - 1) {
                e.marker_seen |= not_a_sample(r.data[r.n - 1]);
                return r.data[r.n - 1];
            }
            e.marker_seen |= not_a_sample(r.data[k]) || not_a_sample(r.data[k + 1]);
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
            if (k1 >= k0) e.marker_seen |= fold_min_max(r.data + k0, k1 - k0 + 1, &lo, &hi);
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
