// Colour and byte-order conversions.

#include "stock.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

double hue_part(double m1, double m2, double h) {
    h = fmod(h, 360.0);
    if (h < 0) h += 360.0;
    if (h < 60.0) return m1 + (m2 - m1) * h / 60.0;
    if (h < 180.0) return m2;
    if (h < 240.0) return m1 + (m2 - m1) * (240.0 - h) / 60.0;
    return m1;
}

template <typename U>
U bswap(U u) {
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
        return u;
    else if constexpr (sizeof(U) == 8)
        return (U)__builtin_bswap64((uint64_t)u);
    else
        return (U)__builtin_bswap32((uint32_t)u);
}

// Whole-word swaps: grid packets move millions of values through these.
template <typename T, typename U>
void to_big(const T *host, unsigned char **cursor, long n) {
    static_assert(sizeof(T) == sizeof(U), "size");
    if (n <= 0) return;  // a negative count (from a damaged header) moves nothing
    unsigned char *p = *cursor;
    for (long i = 0; i < n; i++) {
        U u;
        memcpy(&u, host + i, sizeof u);
        u = bswap(u);
        memcpy(p + (size_t)i * sizeof u, &u, sizeof u);
    }
    *cursor = p + (size_t)n * sizeof(U);
}

template <typename T, typename U>
void from_big(unsigned char **cursor, T *host, long n) {
    static_assert(sizeof(T) == sizeof(U), "size");
    if (n <= 0) return;
    const unsigned char *p = *cursor;
    for (long i = 0; i < n; i++) {
        U u;
        memcpy(&u, p + (size_t)i * sizeof u, sizeof u);
        u = bswap(u);
        memcpy(host + i, &u, sizeof u);
    }
    *cursor = const_cast<unsigned char *>(p) + (size_t)n * sizeof(U);
}

}  // namespace

extern "C" {

void hls2rgb(double h, double l, double s, double *r, double *g, double *b) {
    if (l < 0) l = 0;
    if (l > 1) l = 1;
    if (s < 0) s = 0;
    if (s > 1) s = 1;
    double m2 = l <= 0.5 ? l * (1.0 + s) : l + s - l * s;
    double m1 = 2.0 * l - m2;
    if (s == 0) {
        *r = *g = *b = l;
        return;
    }
    *r = hue_part(m1, m2, h + 120.0);
    *g = hue_part(m1, m2, h);
    *b = hue_part(m1, m2, h - 120.0);
}

void hd2md(const double *host, unsigned char **cursor, long n) { to_big<double, uint64_t>(host, cursor, n); }
void hf2mf(const float *host, unsigned char **cursor, long n) { to_big<float, uint32_t>(host, cursor, n); }
void hi2mi(const int *host, unsigned char **cursor, long n) { to_big<int, uint32_t>(host, cursor, n); }
void md2hd(unsigned char **cursor, double *host, long n) { from_big<double, uint64_t>(cursor, host, n); }
void mf2hf(unsigned char **cursor, float *host, long n) { from_big<float, uint32_t>(cursor, host, n); }
void mi2hi(unsigned char **cursor, int *host, long n) { from_big<int, uint32_t>(cursor, host, n); }

}  // extern "C"
