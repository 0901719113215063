// Plot vectors read and reshaped: evaluation and its gap rules, nearest
// points, extents, statistics across vectors, and the in-place transforms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "kovector2.h"
#include "rzvtest.h"
#include "tr.h"

using rzvtest::has_message;
using rzvtest::messages;

namespace {

struct Handle {
    char h[32] = {0};
    operator char *() { return h; }
    ~Handle() {
        if (h[0]) kovector2_free(h);
    }
};

// A one-column point vector from (x, y) pairs.
void points(Handle &h, std::initializer_list<std::pair<double, double>> pts) {
    ASSERT_NE(kovector2_create(0, 1, nullptr, h), nullptr);
    for (auto &p : pts) {
        double y = p.second;
        ASSERT_EQ(kovector2_append(h, -1, p.first, &y, nullptr), 0);
    }
}

void points2(Handle &h, std::initializer_list<std::vector<double>> rows) {
    ASSERT_NE(kovector2_create(0, 2, nullptr, h), nullptr);
    for (auto &r : rows) {
        double y[2] = {r[1], r[2]};
        ASSERT_EQ(kovector2_append(h, -1, r[0], y, nullptr), 0);
    }
}

double eval1(char *h, double x) {
    double y = -12345;
    EXPECT_EQ(kovector2_eval(h, x, &y), 0);
    return y;
}

double gap() {
    float g;
    trfill_gap(&g, 1);
    return (double)g;
}

// ------------------------------------------------------------ evaluation and gap rules

TEST(Evaluation, PointVectorsInterpolateAndHoldTheirEnds) {
    Handle up, down, dup;
    points(up, {{0, 0}, {10, 100}});
    EXPECT_DOUBLE_EQ(eval1(up, 5), 50);
    EXPECT_EQ(eval1(up, -3), 0);
    EXPECT_EQ(eval1(up, 12), 100);
    points(down, {{10, 100}, {0, 0}});
    EXPECT_DOUBLE_EQ(eval1(down, 5), 50);
    EXPECT_EQ(eval1(down, 12), 100);
    EXPECT_EQ(eval1(down, -1), 0);
    points(dup, {{0, 1}, {0, 3}, {1, 5}});
    EXPECT_EQ(eval1(dup, 0), 1);
    EXPECT_DOUBLE_EQ(eval1(dup, 0.5), 4);
}

TEST(Evaluation, EveryColumnIsInterpolated) {
    Handle a;
    points2(a, {{0, 0, 10}, {2, 4, 30}});
    double y[2];
    ASSERT_EQ(kovector2_eval(a, 1, y), 0);
    EXPECT_DOUBLE_EQ(y[0], 2);
    EXPECT_DOUBLE_EQ(y[1], 20);
}

TEST(Evaluation, SinglePointAnswersEverywhere) {
    Handle a, t, e;
    points(a, {{3, 7}});
    EXPECT_EQ(eval1(a, -1e9), 7);
    double d = 42;
    kovector2_create_tsamp(1, 0, 1, &d, nullptr, t);
    EXPECT_EQ(eval1(t, 1e6), 42);
    kovector2_create(0, 1, nullptr, e);
    double y;
    EXPECT_EQ(kovector2_eval(e, 0, &y), -1);
    EXPECT_EQ(messages().back(), std::string("kovector2_eval: No points in vector ") + e.h + ".\n");
}

TEST(Evaluation, TimeSampledRoundsToNearestSampleAndRespectsGaps) {
    Handle a;
    double d[3] = {1, 2, 4};
    kovector2_create_tsamp(3, 100, 2, d, nullptr, a);
    EXPECT_DOUBLE_EQ(eval1(a, 100.25), 1.5);
    EXPECT_EQ(eval1(a, 100.5), 2);
    EXPECT_DOUBLE_EQ(eval1(a, 100.75), 3);
    EXPECT_EQ(eval1(a, 101.0), 4);
    EXPECT_EQ(eval1(a, 101.1), gap());
    EXPECT_EQ(eval1(a, 99.9), gap());
    EXPECT_EQ(eval1(a, NAN), gap());
    KOVector2 *v = kovector2_get_vector(a);
    v->dblbuf[1] = 2e30;
    EXPECT_EQ(eval1(a, 100.25), gap());  // neighbour is missing
    EXPECT_EQ(eval1(a, 100.6), gap());   // nearest is missing
    EXPECT_EQ(eval1(a, 100.0), 1);       // exact hit on a good sample
}

// ------------------------------------------------------------ nearest points

TEST(Nearest, PointVectorsUseDistanceAndFirstWinsTies) {
    Handle a;
    points(a, {{0, 0}, {3, 4}, {6, 8}});
    EXPECT_EQ(kovector2_nearest(a, 0, 3, 4.1), 1);
    EXPECT_EQ(kovector2_nearest(a, 0, 1.5, 2), 0);
    EXPECT_EQ(kovector2_nearest(a, 0, 100, 100), 2);
    EXPECT_EQ(kovector2_nearest(a, 1, 0, 0), -3);
    EXPECT_EQ(messages().back(), "kovector2_nearest: iy too large.\n");
    EXPECT_EQ(kovector2_nearest(a, -1, 0, 0), -3);
    EXPECT_EQ(kovector2_nearest(a, 0, NAN, 0), -1);
    EXPECT_EQ(kovector2_nearest((char *)"vect-none", 0, 0, 0), -2);
    Handle e;
    kovector2_create(0, 1, nullptr, e);
    elog_clear_register(0);
    EXPECT_EQ(kovector2_nearest(e, 5, 0, 0), -1);
    EXPECT_EQ(elog_count(), 0);
}

TEST(Nearest, TimeSampledTakesTheSampleAtOrBefore) {
    Handle a;
    double d[5] = {0, 0, 0, 0, 0};
    kovector2_create_tsamp(5, 0, 1, d, nullptr, a);
    EXPECT_EQ(kovector2_nearest(a, 0, 2.9, 0), 2);
    EXPECT_EQ(kovector2_nearest(a, 0, -1, 0), 0);
    EXPECT_EQ(kovector2_nearest(a, 0, 7, 0), 4);
    EXPECT_EQ(kovector2_nearest(a, 1, 2, 0), -3);
}

// ------------------------------------------------------------ extents

TEST(Extent, WholeVectorByColumnOrAllColumns) {
    Handle a;
    points2(a, {{0, 50, 1}, {1, 60, 2}});
    double x0, x1, y0, y1;
    ASSERT_EQ(kovector2_maxmin(a, 1, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(y0, 1);
    EXPECT_EQ(y1, 2);
    EXPECT_EQ(x0, 0);
    EXPECT_EQ(x1, 1);
    ASSERT_EQ(kovector2_maxmin(a, -1, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(y0, 1);
    EXPECT_EQ(y1, 60);
    EXPECT_EQ(kovector2_maxmin(a, 2, &x0, &x1, &y0, &y1), -1);
    EXPECT_EQ(messages().back(), "kovector2_maxmin: iy too large.\n");
}

TEST(Extent, TimeSampledSkipsTheNoValueMarker) {
    Handle a, b;
    double d[4] = {3.4e38, -2, 5, 3.4e38};
    kovector2_create_tsamp(4, 10, 2, d, nullptr, a);
    double x0, x1, y0, y1;
    ASSERT_EQ(kovector2_maxmin(a, -1, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(x0, 10);
    EXPECT_EQ(x1, 11.5);
    EXPECT_EQ(y0, -2);
    EXPECT_EQ(y1, 5);
    ASSERT_EQ(kovector2_maxmin2(a, 0, 10.4, 11.5, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(x0, 10.5);
    EXPECT_EQ(x1, 11.0);
    EXPECT_EQ(y0, -2);
    EXPECT_EQ(y1, 5);
    double all[2] = {3.4e38, 3.4e38};
    kovector2_create_tsamp(2, 0, 1, all, nullptr, b);
    ASSERT_EQ(kovector2_maxmin(b, 0, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(y0, 0);
    EXPECT_EQ(y1, 0);
    EXPECT_EQ(kovector2_maxmin(b, 1, &x0, &x1, &y0, &y1), -1);
}

TEST(Extent, WindowedOverPointsAndEmptyWindows) {
    Handle a, e;
    points2(a, {{0, 5, -5}, {1, 7, 1}, {2, 9, 100}});
    double x0 = -1, x1 = -1, y0 = -1, y1 = -1;
    ASSERT_EQ(kovector2_maxmin2(a, 0, 0.5, 2, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(x0, 1);
    EXPECT_EQ(x1, 2);
    EXPECT_EQ(y0, 7);
    EXPECT_EQ(y1, 9);
    ASSERT_EQ(kovector2_maxmin2(a, -1, 0, 1, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(y0, -5);
    EXPECT_EQ(y1, 7);
    ASSERT_EQ(kovector2_maxmin2(a, -1, 5, 6, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(x0, 0);
    EXPECT_EQ(x1, 0);
    EXPECT_EQ(y0, 0);
    EXPECT_EQ(y1, 0);
    kovector2_create(0, 1, nullptr, e);
    EXPECT_EQ(kovector2_maxmin2(e, 0, 0, 1, &x0, &x1, &y0, &y1), -1);
    EXPECT_EQ(messages().back(), std::string("kovector2_maxmin: No points in vector ") + e.h + ".\n");
}

// Only values that lie inside the window count: a NaN abscissa or a NaN
// bound is never inside it.
TEST(Extent, WindowedNeverTakesWhatIsNotInside) {
    Handle a, t;
    const double nan = std::nan("");
    points2(a, {{nan, 50, 50}, {1, 7, 1}, {2, 9, 3}});
    double x0 = -1, x1 = -1, y0 = -1, y1 = -1;
    ASSERT_EQ(kovector2_maxmin2(a, -1, 0, 5, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(x0, 1);
    EXPECT_EQ(x1, 2);
    EXPECT_EQ(y0, 1);
    EXPECT_EQ(y1, 9);
    ASSERT_EQ(kovector2_maxmin2(a, 0, nan, 5, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(x0, 0);
    EXPECT_EQ(x1, 0);
    EXPECT_EQ(y0, 0);
    EXPECT_EQ(y1, 0);
    double s[3] = {4, 5, 6};
    ASSERT_NE(kovector2_create_tsamp(3, 10, 1, s, nullptr, t), nullptr);
    ASSERT_EQ(kovector2_maxmin2(t, 0, 0, nan, &x0, &x1, &y0, &y1), 0);
    EXPECT_EQ(x0, 0);
    EXPECT_EQ(x1, 0);
    EXPECT_EQ(y0, 0);
    EXPECT_EQ(y1, 0);
}

// ------------------------------------------------------------ statistics

Tbl *handles(std::initializer_list<Handle *> hs) {
    Tbl *t = newtbl(0);
    for (Handle *h : hs) pushtbl(t, h->h);
    return t;
}

TEST(Statistics, MedianOfOddAndEvenCounts) {
    Handle a, b, c, d, out, out2;
    points(a, {{0, 1}, {1, -1}});
    points(b, {{0, 5}, {1, -2}});
    points(c, {{0, 3}, {1, -3}});
    points(d, {{0, 10}, {1, -4}});
    Tbl *t = handles({&a, &b, &c});
    KOVector2 *m = kovector2_stats(t, (char *)"median", (char *)"med", out);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(kovector2_get_vector(out), m);
    EXPECT_STREQ(m->tag, "med");
    EXPECT_EQ(eval1(out, 0), 3);
    EXPECT_EQ(eval1(out, 1), -2);
    pushtbl(t, d.h);
    m = kovector2_stats(t, (char *)"median", nullptr, out2);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(eval1(out2, 0), 4);
    EXPECT_EQ(eval1(out2, 1), -2.5);
    freetbl(t, nullptr);
}

TEST(Statistics, ExtremesAndAbsoluteExtremes) {
    Handle a, b, mx, mn, amx, amn, single;
    points2(a, {{0, -3, 2}, {1, 1, 1}});
    points2(b, {{0, 2, -7}, {1, 0.5, 4}});
    Tbl *t = handles({&a, &b});
    ASSERT_NE(kovector2_stats(t, (char *)"max", nullptr, mx), nullptr);
    ASSERT_NE(kovector2_stats(t, (char *)"min", nullptr, mn), nullptr);
    ASSERT_NE(kovector2_stats(t, (char *)"amax", nullptr, amx), nullptr);
    ASSERT_NE(kovector2_stats(t, (char *)"amin", nullptr, amn), nullptr);
    double y[2];
    kovector2_eval(mx, 0, y);
    EXPECT_EQ(y[0], 2);
    EXPECT_EQ(y[1], 2);
    kovector2_eval(mn, 0, y);
    EXPECT_EQ(y[0], -3);
    EXPECT_EQ(y[1], -7);
    kovector2_eval(amx, 0, y);
    EXPECT_EQ(y[0], 3);
    EXPECT_EQ(y[1], 7);
    kovector2_eval(amn, 1, y);
    EXPECT_EQ(y[0], 0.5);
    EXPECT_EQ(y[1], 1);
    freetbl(t, nullptr);
    Handle s;
    points(s, {{0, -3}, {1, 2}});
    t = handles({&s});
    ASSERT_NE(kovector2_stats(t, (char *)"amax", nullptr, single), nullptr);
    EXPECT_EQ(eval1(single, 0), 3);
    EXPECT_EQ(eval1(single, 1), 2);
    freetbl(t, nullptr);
}

TEST(Statistics, MismatchedVectorsAreSkippedAndErrorsReported) {
    Handle a, b, c, ts, out, bad;
    points(a, {{0, 1}, {1, 1}});
    points(b, {{0, 9}, {1.5, 9}});  // other abscissae
    points(c, {{0, 9}});           // other length
    double d[2] = {9, 9};
    kovector2_create_tsamp(2, 0, 1, d, nullptr, ts);
    Tbl *t = handles({&a, &b, &c, &ts});
    ASSERT_NE(kovector2_stats(t, (char *)"max", nullptr, out), nullptr);
    EXPECT_EQ(eval1(out, 0), 1);
    strcpy(bad.h, "vect-stale");
    EXPECT_EQ(kovector2_stats(t, (char *)"mean", nullptr, bad), nullptr);
    EXPECT_EQ(messages().back(), "kovector2_stats: Unrecognized type 'mean'\n");
    EXPECT_STREQ(bad.h, "");  // a failed statistic leaves no tag behind
    freetbl(t, nullptr);
    t = handles({&ts, &a});
    EXPECT_EQ(kovector2_stats(t, (char *)"max", nullptr, bad), nullptr);
    EXPECT_EQ(messages().back(), "kovector2_stats: Can only do stats on point vectors.\n");
    freetbl(t, nullptr);
    t = newtbl(0);
    pushtbl(t, a.h);
    pushtbl(t, (char *)"vect-gone");
    strcpy(bad.h, "vect-stale");
    EXPECT_EQ(kovector2_stats(t, (char *)"min", nullptr, bad), nullptr);
    EXPECT_STREQ(bad.h, "");
    EXPECT_EQ(messages().back(), "kovector2_stats: kovector2_get_vector(vect-gone) error.\n");
    freetbl(t, nullptr);
    elog_clear_register(0);
    t = newtbl(0);
    EXPECT_EQ(kovector2_stats(t, (char *)"min", nullptr, bad), nullptr);
    EXPECT_EQ(elog_count(), 0);
    freetbl(t, nullptr);
}

TEST(Statistics, FailedWorkArrayReleasesTheOutput) {
    Handle a, b, out;
    points(a, {{0, 1}});
    points(b, {{0, 2}});
    long n0, n1, total;
    kovector2_get_heap_size(nullptr, nullptr, &n0, &total, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    Tbl *t = handles({&a, &b});
    kovector2_test_fail_allocations(2, 1);  // the copy's record and buffer, then the work array
    EXPECT_EQ(kovector2_stats(t, (char *)"median", nullptr, out), nullptr);
    kovector2_test_fail_allocations(0, 0);
    EXPECT_EQ(messages().back(), "kovector2_stats: malloc(values) error.\n");
    kovector2_get_heap_size(nullptr, nullptr, &n1, &total, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(n1, n0);
    freetbl(t, nullptr);
}

// ------------------------------------------------------------ transforms

TEST(Transforms, AzimuthalEquidistantAboutACentre) {
    Handle a;
    points(a, {{0, 10}, {10, 0}, {0, 0}, {180, 0}});
    ASSERT_EQ(kovector2_transform_edp(a, 0, 0), 0);
    double x, y;
    kovector2_get_point(a, 0, &x, &y, nullptr);
    EXPECT_NEAR(x, 0, 1e-9);
    EXPECT_NEAR(y, 10, 1e-9);
    kovector2_get_point(a, 1, &x, &y, nullptr);
    EXPECT_NEAR(x, 10, 1e-9);
    EXPECT_NEAR(y, 0, 1e-9);
    kovector2_get_point(a, 2, &x, &y, nullptr);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    kovector2_get_point(a, 3, &x, &y, nullptr);
    EXPECT_NEAR(std::hypot(x, y), 180, 1e-9);
    double xd, yd;
    latlon2xydel(45, 0, 45, 90, &xd, &yd);  // north of east along the great circle
    EXPECT_NEAR(std::hypot(xd, yd), 60, 1e-9);
    EXPECT_GT(xd, 0);
    EXPECT_GT(yd, 0);
    latlon2xydel(0, 0, 0, -20, &xd, &yd);
    EXPECT_NEAR(xd, -20, 1e-9);
}

TEST(Transforms, InvertXKeepsZeroAndInfinityPaired) {
    Handle a;
    points(a, {{0, 1}, {4, 2}, {1e30, 3}});
    double y = 2;
    ASSERT_EQ(kovector2_put(a, 1, 4, &y, (char *)"four"), 0);
    ASSERT_EQ(kovector2_transform_invertx(a), 0);
    ASSERT_EQ(kovector2_transform_ygain(a, 1.5, 0), 0);
    double x;
    kovector2_get_point(a, 0, &x, &y, nullptr);
    EXPECT_EQ(x, 1e30);
    char lbl[16];
    kovector2_get_point(a, 1, &x, &y, lbl);
    EXPECT_EQ(x, 0.25);
    EXPECT_EQ(y, 3);
    EXPECT_STREQ(lbl, "four");  // values change, labels stay
    kovector2_get_point(a, 2, &x, &y, nullptr);
    EXPECT_EQ(x, 0);
    ASSERT_EQ(kovector2_transform_invertx(a), 0);
    kovector2_get_point(a, 0, &x, &y, nullptr);
    EXPECT_EQ(x, 0);
}

TEST(Transforms, SpectrumScalingByAngularFrequency) {
    Handle a, b;
    points2(a, {{1, 1, 2}, {0, 3, 4}});
    ASSERT_EQ(kovector2_transform_spec(a, 2, -1), 0);
    double y[2];
    kovector2_get_point(a, 0, nullptr, y, nullptr);
    EXPECT_NEAR(y[0], 39.4784176, 1e-6);
    EXPECT_NEAR(y[1], 2 * 39.4784176, 1e-6);
    ASSERT_EQ(kovector2_transform_spec(a, -1, 1), 0);
    kovector2_get_point(a, 1, nullptr, y, nullptr);
    EXPECT_EQ(y[0], 0);   // untouched column (0 × (2π)² earlier)
    EXPECT_EQ(y[1], 0);   // 0 × 1e30
    kovector2_get_point(a, 0, nullptr, y, nullptr);
    EXPECT_NEAR(y[1], 2 * 39.4784176 / (2 * M_PI), 1e-6);
    points(b, {{0, 5}});
    ASSERT_EQ(kovector2_transform_spec(b, -1, 0), 0);
    EXPECT_DOUBLE_EQ(eval1(b, 0), 5e30);
    EXPECT_EQ(kovector2_transform_spec(b, 1, 1), -1);
    EXPECT_EQ(messages().back(), "kovector2_transform_spec: iy too large.\n");
    // a huge exponent settles at once
    Handle c;
    points(c, {{-1, 1}});
    ASSERT_EQ(kovector2_transform_spec(c, 1000000001, 0), 0);
    EXPECT_EQ(eval1(c, 0), -INFINITY);
}

TEST(Transforms, NoOpCallsNeverLookTheHandleUp) {
    elog_clear_register(0);
    EXPECT_EQ(kovector2_transform_spec((char *)"vect-none", 0, 7), 0);
    EXPECT_EQ(kovector2_transform_ygain((char *)"vect-none", 1.0, 7), 0);
    EXPECT_EQ(elog_count(), 0);
    EXPECT_EQ(kovector2_transform_invertx((char *)"vect-none"), -1);
    EXPECT_EQ(messages().back(), "kovector2_transform_invertx: kovector2_get_vector() error.\n");
}

TEST(Transforms, GainSparesNoValueSamplesAndRefusesBadInput) {
    Handle a, p, e;
    double d[3] = {1, 3.4e38, 5};
    kovector2_create_tsamp(3, 0, 1, d, nullptr, a);
    ASSERT_EQ(kovector2_transform_ygain(a, 2, -1), 0);
    KOVector2 *v = kovector2_get_vector(a);
    EXPECT_EQ(v->dblbuf[0], 2);
    EXPECT_EQ(v->dblbuf[1], 3.4e38);
    EXPECT_EQ(v->dblbuf[2], 10);
    EXPECT_EQ(kovector2_transform_edp(a, 0, 0), -1);
    EXPECT_EQ(messages().back(), "kovector2_transform_edp: Cannot transform time sample data.\n");
    points2(p, {{0, 1, 2}});
    ASSERT_EQ(kovector2_transform_ygain(p, -3, 1), 0);
    double y[2];
    kovector2_get_point(p, 0, nullptr, y, nullptr);
    EXPECT_EQ(y[0], 1);
    EXPECT_EQ(y[1], -6);
    EXPECT_EQ(kovector2_transform_ygain(p, 2, 2), -1);
    EXPECT_EQ(messages().back(), "kovector2_transform_ygain: iy too large.\n");
    kovector2_create(0, 1, nullptr, e);
    EXPECT_EQ(kovector2_transform_ygain(e, 2, 0), -1);
    EXPECT_EQ(messages().back(), std::string("kovector2_transform_ygain: No points in vector ") + e.h + ".\n");
}

}  // namespace
