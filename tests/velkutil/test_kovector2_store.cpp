// Plot vectors without the cache: capacities and growth, failed growth,
// labels through every edit, point access and the handle registry.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kovector2.h"
#include "rzvtest.h"

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

long registered_count() {
    long n = -1, total;
    kovector2_get_heap_size(nullptr, nullptr, &n, &total, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    return n;
}

void append_n(char *h, int n, double x0 = 0) {
    for (int i = 0; i < n; i++) {
        double y[3] = {10.0 * (x0 + i), 20.0 * (x0 + i), 30.0 * (x0 + i)};
        ASSERT_EQ(kovector2_append(h, -1, x0 + i, y, nullptr), 0);
    }
}

std::string label_of(char *h, int i) {
    char buf[128];
    double x, y[8];
    if (kovector2_get_point(h, i, &x, y, buf) < 0) return "<error>";
    return buf;
}

// ------------------------------------------------------------ capacities and growth

TEST(Capacity, NewVectorsGetHeadroomAndAtLeastHundredRows) {
    Handle a, b;
    KOVector2 *v = kovector2_create(0, 3, nullptr, a);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->x_size, 100);
    EXPECT_EQ(v->nx, 0);
    EXPECT_EQ(v->ny, 3);
    EXPECT_EQ(v->y_size, 3);
    EXPECT_EQ(v->dblbuf_size, 100 * 4 * 8);
    EXPECT_EQ(v->heap_size, (int)sizeof(KOVector2) + v->dblbuf_size);
    EXPECT_EQ(v->lblbuf, nullptr);
    EXPECT_STREQ(v->ident, "kovec2");
    KOVector2 *w = kovector2_create(1000, 1, (char *)"grp", b);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->x_size, 1200);
    EXPECT_STREQ(w->tag, "grp");
}

TEST(Capacity, LongTagIsCutTo63Characters) {
    Handle a;
    std::string tag(100, 'q');
    KOVector2 *v = kovector2_create(1, 1, (char *)tag.c_str(), a);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(v->tag), std::string(63, 'q'));
}

TEST(Capacity, AppendingDoublesOnlyWhenTheLastFreeRowIsTaken) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 2, nullptr, a);
    int heap0 = v->heap_size;
    append_n(a, 99);
    EXPECT_EQ(v->x_size, 100);
    append_n(a, 1, 99);
    EXPECT_EQ(v->nx, 100);
    EXPECT_EQ(v->x_size, 200);
    EXPECT_EQ(v->dblbuf_size, 200 * 3 * 8);
    EXPECT_EQ(v->heap_size, heap0 + 100 * 3 * 8);
    double x, y[2];
    for (int i = 0; i < 100; i += 33) {
        ASSERT_EQ(kovector2_get_point(a, i, &x, y, nullptr), 0);
        EXPECT_EQ(x, i);
        EXPECT_EQ(y[1], 20.0 * i);
    }
    // rows past nx stay zero after growth
    EXPECT_EQ(v->dblbuf[150 * 3], 0.0);
}

TEST(Capacity, ResizeGrowsOnlyAFullVector) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    v->nx = 50;
    ASSERT_EQ(kovector2_resize(a), 0);
    EXPECT_EQ(v->x_size, 100);
    v->nx = 100;
    ASSERT_EQ(kovector2_resize(a), 0);
    EXPECT_EQ(v->x_size, 200);
    v->nx = 0;
}

TEST(Capacity, ResizeYWidensRowsAndKeepsValues) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    for (int i = 0; i < 5; i++) {
        double y = i * 1.5;
        kovector2_append(a, -1, i, &y, nullptr);
    }
    int heap0 = v->heap_size;
    ASSERT_EQ(kovector2_resize_y(a, 3), 0);
    EXPECT_EQ(v->ny, 3);
    EXPECT_EQ(v->y_size, 3);
    EXPECT_EQ(v->dblbuf_size, 100 * 4 * 8);
    EXPECT_EQ(v->heap_size, heap0 + 100 * 2 * 8);
    double x, y[3] = {-1, -1, -1};
    ASSERT_EQ(kovector2_get_point(a, 4, &x, y, nullptr), 0);
    EXPECT_EQ(x, 4);
    EXPECT_EQ(y[0], 6.0);
    EXPECT_EQ(y[1], 0.0);
    EXPECT_EQ(y[2], 0.0);
    // shrinking keeps the capacity and the values beyond ny
    v->dblbuf[4 * 4 + 2] = 7.0;
    ASSERT_EQ(kovector2_resize_y(a, 1), 0);
    EXPECT_EQ(v->ny, 1);
    EXPECT_EQ(v->y_size, 3);
    ASSERT_EQ(kovector2_resize_y(a, 2), 0);
    EXPECT_EQ(v->dblbuf[4 * 4 + 2], 7.0);
    EXPECT_EQ(kovector2_resize_y(a, -1), -1);
    EXPECT_TRUE(has_message("kovector2_resize_y: Illegal ny value -1.\n"));
}

TEST(Capacity, TimeSampledVectorKeepsOneValuePerSample) {
    Handle a;
    double d[3] = {1, 2, 3};
    KOVector2 *v = kovector2_create_tsamp(3, 100.0, 4.0, d, nullptr, a);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->dt, 0.25);
    EXPECT_EQ(v->dblbuf_size, 100 * 8);
    ASSERT_EQ(kovector2_resize_y(a, 4), 0);
    EXPECT_EQ(v->ny, 1);
    EXPECT_EQ(v->y_size, 4);
    EXPECT_EQ(v->dblbuf_size, 100 * 8);
    EXPECT_EQ(v->dblbuf[2], 3.0);
}

TEST(Capacity, BadCreationArgumentsAreRefused) {
    Handle a;
    EXPECT_EQ(kovector2_create(10, -2, nullptr, a), nullptr);
    EXPECT_EQ(a.h[0], '\0');
    EXPECT_TRUE(has_message("kovector2_create: kovector2_find_space() error.\n"));
    EXPECT_EQ(kovector2_create_tsamp(5, 0, 0.0, nullptr, nullptr, a), nullptr);
    EXPECT_TRUE(has_message("kovector2_create_tsamp: Illegal sample rate 0.\n"));
    EXPECT_EQ(kovector2_create_tsamp(5, 0, 1.0, nullptr, nullptr, a), nullptr);
    EXPECT_EQ(kovector2_create(INT_MAX / 2, 100, nullptr, a), nullptr);
    EXPECT_TRUE(has_message("too large"));
    KOVector2 *v = kovector2_create_tsamp(-4, 0, 1.0, nullptr, nullptr, a);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nx, 0);
}

// ------------------------------------------------------------ failed growth

TEST(FailedGrowth, AppendLeavesPointsAndCapacityTrue) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    append_n(a, 99);
    double *buf = v->dblbuf;
    int heap = v->heap_size;
    kovector2_test_fail_allocations(0, 1);
    double y = 5;
    EXPECT_EQ(kovector2_append(a, 0, -1.0, &y, nullptr), -1);
    kovector2_test_fail_allocations(0, 0);
    auto m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], "kovector2_resize: realloc() error.\n");
    EXPECT_EQ(m[1], "kovector2_append: kovector2_resize() error.\n");
    EXPECT_EQ(v->nx, 99);
    EXPECT_EQ(v->x_size, 100);
    EXPECT_EQ(v->dblbuf_size, 100 * 2 * 8);
    EXPECT_EQ(v->dblbuf, buf);
    EXPECT_EQ(v->heap_size, heap);
    EXPECT_EQ(v->dblbuf[0], 0.0);  // nothing shifted
    EXPECT_EQ(v->dblbuf[2], 1.0);
    // and it recovers
    EXPECT_EQ(kovector2_append(a, -1, 99.0, &y, nullptr), 0);
    EXPECT_EQ(v->x_size, 200);
}

TEST(FailedGrowth, LabelSlotsAndValuesNeverDisagree) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    double y = 1;
    ASSERT_EQ(kovector2_append(a, -1, 0, &y, (char *)"first"), 0);
    append_n(a, 98, 1);
    ASSERT_EQ(v->lblbuf_size, 100 * (int)sizeof(char *));
    // the label slots grow first; make that fail
    kovector2_test_fail_allocations(0, 1);
    EXPECT_EQ(kovector2_append(a, -1, 99, &y, nullptr), -1);
    EXPECT_TRUE(has_message("kovector2_make_lblbuf: realloc() error.\n"));
    EXPECT_TRUE(has_message("kovector2_resize: kovector2_make_lblbuf() error.\n"));
    EXPECT_EQ(v->x_size, 100);
    EXPECT_EQ(v->lblbuf_size, 100 * (int)sizeof(char *));
    EXPECT_EQ(v->nx, 99);
    // now the slots grow and the value buffer fails: slots may exceed rows,
    // never the other way round
    elog_clear_register(0);
    kovector2_test_fail_allocations(1, 1);
    EXPECT_EQ(kovector2_append(a, -1, 99, &y, nullptr), -1);
    kovector2_test_fail_allocations(0, 0);
    EXPECT_TRUE(has_message("kovector2_resize: realloc() error.\n"));
    EXPECT_EQ(v->x_size, 100);
    EXPECT_EQ(v->dblbuf_size, 100 * 2 * 8);
    EXPECT_GE(v->lblbuf_size, v->x_size * (int)sizeof(char *));
    EXPECT_EQ(label_of(a, 0), "first");
    ASSERT_EQ(kovector2_append(a, -1, 99, &y, (char *)"last"), 0);
    EXPECT_EQ(v->x_size, 200);
    EXPECT_EQ(label_of(a, 99), "last");
}

TEST(FailedGrowth, ResizeYAndFillLeaveTheVectorAsItWas) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    double y = 3;
    kovector2_append(a, -1, 1, &y, (char *)"keep");
    kovector2_test_fail_allocations(0, 1);
    EXPECT_EQ(kovector2_resize_y(a, 4), -1);
    EXPECT_TRUE(has_message("kovector2_resize_y: malloc() error.\n"));
    EXPECT_EQ(v->y_size, 1);
    EXPECT_EQ(v->ny, 1);
    EXPECT_EQ(v->dblbuf_size, 100 * 2 * 8);

    double xs[2] = {5, 6}, c0[2] = {1, 2}, c1[2] = {3, 4};
    double *cols[2] = {c0, c1};
    char *lbls[2] = {(char *)"p", (char *)"q"};
    for (int skip = 0; skip < 3; skip++) {  // label copies, then the wider buffer
        elog_clear_register(0);
        kovector2_test_fail_allocations(skip, 1);
        EXPECT_EQ(kovector2_fill(a, 2, 2, xs, cols, lbls), -1) << skip;
        EXPECT_GE(rzvtest::messages().size(), 1u);
        EXPECT_EQ(v->nx, 1);
        EXPECT_EQ(v->ny, 1);
        EXPECT_EQ(label_of(a, 0), "keep");
        double x, yy;
        kovector2_get_point(a, 0, &x, &yy, nullptr);
        EXPECT_EQ(x, 1);
        EXPECT_EQ(yy, 3);
    }
    kovector2_test_fail_allocations(0, 0);
    ASSERT_EQ(kovector2_fill(a, 2, 2, xs, cols, lbls), 0);
    EXPECT_EQ(label_of(a, 1), "q");
}

// Whichever allocation fails, every vector keeps capacity fields true of its
// buffers, nothing failed stays registered, and nothing leaks: once all is
// released the family has freed as many blocks as it allocated.
TEST(FailedGrowth, AnyFailedAllocationLeavesVectorsWholeAndLeaksNothing) {
    auto live_blocks = [] {
        long nm, nr, ns, nf;
        kovector2_get_heap_size(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nm, &nr, &ns, &nf);
        return nm + ns - nf;
    };
    auto whole = [](const KOVector2 *v) {
        if (!v) return true;
        long stride = v->is_timeseries ? 1 : v->y_size + 1L;
        long labels = v->lblbuf ? v->lblbuf_size : 0;
        return v->dblbuf_size == v->x_size * stride * 8 && v->nx <= v->x_size && v->ny <= v->y_size &&
               (v->lblbuf ? v->lblbuf_size >= v->x_size * 8 : v->lblbuf_size == 0) &&
               v->heap_size >= (long)sizeof(KOVector2) + v->dblbuf_size + labels;
    };
    const long registered = registered_count();
    const long blocks = live_blocks();
    double xs[300], ys[300];
    char *ls[300];
    for (int i = 0; i < 300; i++) xs[i] = ys[i] = i, ls[i] = i % 2 ? (char *)"odd" : nullptr;
    for (int k = 0; k < 24; k++) {
        Handle a, b, c;
        KOVector2 *v = kovector2_create(0, 2, nullptr, a);
        ASSERT_NE(v, nullptr);
        double y[3] = {1, 2, 3};
        for (int i = 0; i < 99; i++) kovector2_append(a, -1, i, y, i % 3 ? nullptr : (char *)"lbl");
        kovector2_test_fail_allocations(k, 1);
        kovector2_append(a, 0, -1, y, (char *)"front");
        EXPECT_TRUE(whole(v)) << "append, allocation " << k;
        kovector2_resize_y(a, 3);
        EXPECT_TRUE(whole(v)) << "resize_y, allocation " << k;
        EXPECT_TRUE(whole(kovector2_copy(a, nullptr, b))) << "copy, allocation " << k;
        EXPECT_TRUE(whole(kovector2_copy_1y(a, 1, nullptr, c))) << "copy_1y, allocation " << k;
        kovector2_fill(a, 300, 1, xs, ys, ls);
        EXPECT_TRUE(whole(v)) << "fill, allocation " << k;
        kovector2_put(a, 1, 0, y, (char *)"p");
        EXPECT_TRUE(whole(v)) << "put, allocation " << k;
        kovector2_test_fail_allocations(0, 0);
        kovector2_free(a);
        kovector2_free(b);
        kovector2_free(c);
        a.h[0] = b.h[0] = c.h[0] = '\0';
        EXPECT_EQ(registered_count(), registered) << k;
        EXPECT_EQ(live_blocks(), blocks) << k;
    }
    elog_clear_register(0);
}

TEST(FailedGrowth, CreationAndCopyFailuresRegisterNothing) {
    Handle a, b;
    long before = registered_count();
    kovector2_test_fail_allocations(1, 1);  // the record succeeds, its buffer fails
    EXPECT_EQ(kovector2_create(10, 1, nullptr, a), nullptr);
    auto m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], "kovector2_find_space: malloc() error.\n");
    EXPECT_EQ(elog_message_flag(0), 1);
    EXPECT_EQ(m[1], "kovector2_create: kovector2_find_space() error.\n");
    EXPECT_EQ(a.h[0], '\0');
    EXPECT_EQ(registered_count(), before);

    ASSERT_NE(kovector2_create(3, 1, nullptr, a), nullptr);
    double y = 1;
    kovector2_append(a, -1, 0, &y, (char *)"lbl");
    elog_clear_register(0);
    kovector2_test_fail_allocations(2, 1);  // record, buffer, then the label slots
    EXPECT_EQ(kovector2_copy(a, nullptr, b), nullptr);
    kovector2_test_fail_allocations(0, 0);
    EXPECT_TRUE(has_message("kovector2_copy: kovector2_make_lblbuf() error.\n"));
    EXPECT_EQ(b.h[0], '\0');
    EXPECT_EQ(registered_count(), before + 1);
}

// ------------------------------------------------------------ labels through every edit

TEST(Labels, AppendInFrontMovesLabelsWithTheirPoints) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    const char *names[3] = {"a", "b", "c"};
    for (int i = 0; i < 3; i++) {
        double y = i;
        ASSERT_EQ(kovector2_append(a, -1, i, &y, (char *)names[i]), 0);
    }
    double y = -1;
    ASSERT_EQ(kovector2_append(a, 0, -1, &y, nullptr), 0);
    EXPECT_EQ(v->nx, 4);
    EXPECT_EQ(label_of(a, 0), "");
    EXPECT_EQ(label_of(a, 1), "a");
    EXPECT_EQ(label_of(a, 3), "c");
    double x, yy;
    kovector2_get_point(a, 2, &x, &yy, nullptr);
    EXPECT_EQ(x, 1);
    EXPECT_EQ(yy, 1);
    ASSERT_EQ(kovector2_append(a, 2, 0.5, &y, (char *)"mid"), 0);
    EXPECT_EQ(label_of(a, 2), "mid");
    EXPECT_EQ(label_of(a, 3), "b");
    ASSERT_EQ(kovector2_append(a, 99, 9, &y, (char *)""), 0);  // beyond nx: at the end
    EXPECT_EQ(label_of(a, 5), "");
    EXPECT_EQ(v->nx, 6);
}

TEST(Labels, EmptyLabelMakesSlotsOnlyThroughPut) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    double y = 1;
    ASSERT_EQ(kovector2_append(a, -1, 0, &y, (char *)""), 0);
    EXPECT_EQ(v->lblbuf, nullptr);
    int heap = v->heap_size;
    ASSERT_EQ(kovector2_put(a, 0, 0, &y, (char *)""), 0);
    ASSERT_NE(v->lblbuf, nullptr);
    EXPECT_EQ(v->lblbuf[0], nullptr);
    EXPECT_EQ(v->heap_size, heap + 100 * (int)sizeof(char *));
    ASSERT_EQ(kovector2_put(a, 0, 2, &y, (char *)"named"), 0);
    EXPECT_EQ(label_of(a, 0), "named");
    ASSERT_EQ(kovector2_put(a, 0, 2, &y, nullptr), 0);  // null keeps it
    EXPECT_EQ(label_of(a, 0), "named");
    ASSERT_EQ(kovector2_puty(a, 0, &y, (char *)""), 0);  // "" removes it
    EXPECT_EQ(v->lblbuf[0], nullptr);
    ASSERT_EQ(kovector2_puty(a, 0, &y, (char *)"again"), 0);
    EXPECT_EQ(label_of(a, 0), "again");
}

TEST(Labels, FillReplacesOrDropsAllLabels) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    double y = 0;
    for (int i = 0; i < 4; i++) kovector2_append(a, -1, i, &y, (char *)"old");
    double xs[2] = {1, 2}, ys[2] = {3, 4};
    char *lbls[2] = {(char *)"", (char *)"two"};
    ASSERT_EQ(kovector2_fill(a, 2, 1, xs, ys, lbls), 0);
    EXPECT_EQ(label_of(a, 0), "");
    EXPECT_EQ(label_of(a, 1), "two");
    EXPECT_EQ(v->lblbuf[2], nullptr);
    int heap = v->heap_size;
    ASSERT_EQ(kovector2_fill(a, 2, 1, xs, ys, nullptr), 0);
    EXPECT_EQ(v->lblbuf, nullptr);
    EXPECT_EQ(v->lblbuf_size, 0);
    EXPECT_EQ(v->heap_size, heap - 100 * (int)sizeof(char *));
    char *empty[2] = {(char *)"", nullptr};
    ASSERT_EQ(kovector2_fill(a, 2, 1, xs, ys, empty), 0);
    EXPECT_EQ(v->lblbuf, nullptr);
}

TEST(Labels, CopiesDuplicateLabelsAndChargeThem) {
    Handle a, b, c;
    KOVector2 *v = kovector2_create(0, 2, nullptr, a);
    double y[2] = {1, 2};
    kovector2_append(a, -1, 0, y, (char *)"abcd");
    kovector2_append(a, -1, 1, y, nullptr);
    kovector2_append(a, -1, 2, y, (char *)"xy");
    KOVector2 *w = kovector2_copy(a, (char *)"copy", b);
    ASSERT_NE(w, nullptr);
    EXPECT_NE(w->lblbuf, v->lblbuf);
    EXPECT_NE(w->lblbuf[0], v->lblbuf[0]);
    EXPECT_EQ(label_of(b, 0), "abcd");
    EXPECT_EQ(label_of(b, 1), "");
    EXPECT_EQ(label_of(b, 2), "xy");
    EXPECT_EQ(w->heap_size, (int)sizeof(KOVector2) + w->dblbuf_size + w->lblbuf_size + 6);
    EXPECT_STREQ(w->tag, "copy");
    KOVector2 *u = kovector2_copy_1y(a, 1, nullptr, c);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->ny, 1);
    EXPECT_EQ(label_of(c, 2), "xy");
    double x, yy;
    kovector2_get_point(c, 2, &x, &yy, nullptr);
    EXPECT_EQ(x, 2);
    EXPECT_EQ(yy, 2);
    // the copy is independent
    kovector2_put(b, 0, 0, y, (char *)"changed");
    EXPECT_EQ(label_of(a, 0), "abcd");
}

TEST(Labels, GetPointsHandsOutFreshCopies) {
    Handle a;
    kovector2_create(0, 1, nullptr, a);
    double y = 1;
    kovector2_append(a, -1, 0, &y, (char *)"one");
    kovector2_append(a, -1, 1, &y, nullptr);
    int nx, ny, xs = 0, ys = 0;
    double *xp = nullptr, *yp = nullptr;
    char **lbl = (char **)0x1;  // never read or freed
    ASSERT_EQ(kovector2_get_points(a, 0, &nx, &ny, &xp, &xs, &yp, &ys, &lbl), 0);
    ASSERT_NE(lbl, nullptr);
    EXPECT_STREQ(lbl[0], "one");
    EXPECT_EQ(lbl[1], nullptr);
    free(lbl[0]);
    free(lbl);
    free(xp);
    free(yp);
}

// ------------------------------------------------------------ access

TEST(Access, GetPointChecksIndexAndEmptiness) {
    Handle a;
    kovector2_create(0, 2, nullptr, a);
    double x, y[2];
    EXPECT_EQ(kovector2_get_point(a, 0, &x, y, nullptr), -1);
    EXPECT_EQ(messages().back(), std::string("kovector2_get_point: No points in vector ") + a.h + ".\n");
    double v[2] = {2.25, 3};
    kovector2_append(a, -1, 1.5, v, nullptr);
    EXPECT_EQ(kovector2_get_point(a, 1, &x, y, nullptr), -1);
    EXPECT_EQ(messages().back(), "kovector2_get_point: Illegal index value\n");
    char lbl[16] = "junk";
    ASSERT_EQ(kovector2_get_point(a, 0, &x, y, lbl), 0);
    EXPECT_STREQ(lbl, "");
    EXPECT_EQ(y[1], 3);
}

TEST(Access, GetPointsLayoutsAndArrayReuse) {
    Handle a;
    kovector2_create(0, 2, nullptr, a);
    for (int i = 0; i < 3; i++) {
        double y[2] = {(double)i, 10.0 + i};
        kovector2_append(a, -1, i, y, nullptr);
    }
    int nx, ny, xs = 0, ys = 0;
    double *xp = nullptr, *yp = nullptr;
    ASSERT_EQ(kovector2_get_points(a, -1, &nx, &ny, &xp, &xs, &yp, &ys, nullptr), 0);
    EXPECT_EQ(nx, 3);
    EXPECT_EQ(ny, 2);
    EXPECT_EQ(ys, 6);
    double want[6] = {0, 1, 2, 10, 11, 12};
    for (int i = 0; i < 6; i++) EXPECT_EQ(yp[i], want[i]);
    double *keep = yp;
    ASSERT_EQ(kovector2_get_points(a, 1, &nx, &ny, &xp, &xs, &yp, &ys, nullptr), 0);
    EXPECT_EQ(ny, 1);
    EXPECT_EQ(yp, keep);  // large enough: reused
    EXPECT_EQ(ys, 6);
    EXPECT_EQ(yp[2], 12);
    free(yp);
    yp = nullptr;
    ys = 0;
    ASSERT_EQ(kovector2_get_points(a, 0, &nx, &ny, &xp, &xs, &yp, &ys, nullptr), 0);
    EXPECT_EQ(ys, 3);
    EXPECT_EQ(kovector2_get_points(a, 2, &nx, &ny, &xp, &xs, &yp, &ys, nullptr), -1);
    EXPECT_EQ(messages().back(), "kovector2_get_points: index out of range.\n");
    free(xp);
    free(yp);
}

TEST(Access, TimeSampledPointsAndSamples) {
    Handle a, p;
    double d[3] = {1, 2, 4};
    kovector2_create_tsamp(3, 100, 2, d, nullptr, a);
    int nx, ny, xs = 0, ys = 0;
    double *xp = nullptr, *yp = nullptr;
    EXPECT_EQ(kovector2_get_points(a, 1, &nx, &ny, &xp, &xs, &yp, &ys, nullptr), -1);
    EXPECT_TRUE(has_message("kovector2_get_points: index out of range.\n"));
    ASSERT_EQ(kovector2_get_points(a, -1, &nx, &ny, &xp, &xs, &yp, &ys, nullptr), 0);
    EXPECT_EQ(nx, 3);
    EXPECT_EQ(ny, 1);
    EXPECT_EQ(xp[2], 101.0);
    EXPECT_EQ(yp[2], 4.0);
    double y = 9;
    ASSERT_EQ(kovector2_puty(a, 1, &y, nullptr), 0);
    // a sample label gives the vector slots: the label list is there, and
    // every entry of a time-sampled vector is null
    ASSERT_EQ(kovector2_puty(a, 0, d, (char *)"s0"), 0);
    char **lbl = nullptr;
    ASSERT_EQ(kovector2_get_points(a, 0, &nx, &ny, &xp, &xs, &yp, &ys, &lbl), 0);
    ASSERT_NE(lbl, nullptr);
    for (int i = 0; i < nx; i++) EXPECT_EQ(lbl[i], nullptr);
    free(lbl);
    int ns, dsz = 1;
    double t0, dt, *data = (double *)malloc(sizeof(double));
    ASSERT_EQ(kovector2_get_tsamp(a, &ns, &t0, &dt, &data, &dsz), 0);
    EXPECT_EQ(dsz, 3);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[1], 9);
    EXPECT_EQ(data[2], 4);
    EXPECT_EQ(t0, 100);
    EXPECT_EQ(dt, 0.5);
    double x;
    ASSERT_EQ(kovector2_get_point(a, 2, &x, &y, nullptr), 0);
    EXPECT_EQ(x, 101);
    EXPECT_EQ(kovector2_append(a, -1, 0, &y, nullptr), -1);
    EXPECT_TRUE(has_message("kovector2_append: Cannot append to time sample vector\n"));
    EXPECT_EQ(kovector2_put(a, 0, 0, &y, nullptr), -1);
    EXPECT_TRUE(has_message("kovector2_put: Cannot put X(time) value for constant sampled data.\n"));
    EXPECT_EQ(kovector2_fill(a, 0, 1, nullptr, nullptr, nullptr), -1);
    EXPECT_TRUE(has_message("kovector2_fill: Cannot fill time series vector.\n"));
    kovector2_create(0, 1, nullptr, p);
    EXPECT_EQ(kovector2_get_tsamp(p, &ns, &t0, &dt, &data, &dsz), -1);
    EXPECT_TRUE(has_message("kovector2_get_tsamp: vector not a tsamp.\n"));
    free(xp);
    free(yp);
    free(data);
}

TEST(Access, FillWidensRowsAndCountsFollowEachFill) {
    Handle a;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    double xs[150], c0[150], c1[150];
    for (int i = 0; i < 150; i++) xs[i] = i, c0[i] = 2.0 * i, c1[i] = -i;
    double *cols[2] = {c0, c1};
    ASSERT_EQ(kovector2_fill(a, 150, 2, xs, cols, nullptr), 0);
    EXPECT_EQ(v->nx, 150);
    EXPECT_EQ(v->ny, 2);
    EXPECT_EQ(v->y_size, 2);
    EXPECT_GE(v->x_size, 151);
    double x, y[2];
    kovector2_get_point(a, 149, &x, y, nullptr);
    EXPECT_EQ(x, 149);
    EXPECT_EQ(y[0], 298);
    EXPECT_EQ(y[1], -149);
    ASSERT_EQ(kovector2_fill(a, 3, 1, xs, c1, nullptr), 0);
    EXPECT_EQ(v->nx, 3);
    EXPECT_EQ(v->ny, 1);
    EXPECT_EQ(v->dblbuf[4 * 3 + 1], 0.0);  // old rows cleared
}

TEST(Access, DumpPrintsOneLinePerPoint) {
    Handle a;
    kovector2_create(0, 2, nullptr, a);
    double y[2] = {2.25, 3};
    kovector2_append(a, -1, 1.5, y, nullptr);
    kovector2_append(a, -1, -2, y, nullptr);
    testing::internal::CaptureStdout();
    ASSERT_EQ(kovector2_dump(a), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "0: 1.500 2.250 3.000\n1: -2.000 2.250 3.000\n");
}

// ------------------------------------------------------------ registry

TEST(Registry, LookupMessagesAndHandles) {
    Handle a, b;
    KOVector2 *v = kovector2_create(0, 1, nullptr, a);
    EXPECT_EQ(strncmp(a.h, "vect", 4), 0);
    EXPECT_EQ(kovector2_get_vector(a), v);
    EXPECT_EQ(kovector2_get_vector((char *)"vect999999"), nullptr);
    EXPECT_EQ(messages().back(), "kovector2_get_vector: Cannot find vect999999");
    v->ident[0] = 'X';
    EXPECT_EQ(kovector2_get_vector(a), nullptr);
    EXPECT_EQ(messages().back(), std::string("kovector2_get_vector: Wrong ident for ") + a.h);
    v->ident[0] = 'k';
    elog_clear_register(0);
    EXPECT_EQ(kovector2_resize((char *)"nope"), -1);
    auto m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1], "kovector2_resize: kovector2_get_vector() error.\n");
    // tags are never reused
    std::string first = a.h;
    kovector2_free(a);
    a.h[0] = 0;
    kovector2_create(0, 1, nullptr, b);
    EXPECT_NE(first, b.h);
    EXPECT_EQ(atoi(b.h + 4), atoi(first.c_str() + 4) + 1);
}

TEST(Registry, UnregisteredVectorIsNotCountedAndTakesNoTag) {
    Handle a, b;
    kovector2_create(0, 1, nullptr, a);
    long before = registered_count();
    KOVector2 *v = kovector2_create(5, 1, nullptr, nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(registered_count(), before);
    kovector2_create(0, 1, nullptr, b);
    EXPECT_EQ(atoi(b.h + 4), atoi(a.h + 4) + 1);
    kovector2_free_vector(v);
}

TEST(Registry, FreeIsSilentAndFreeTagTakesOnlyMatches) {
    Handle a, b, c;
    elog_clear_register(0);
    EXPECT_EQ(kovector2_free((char *)"vect-unknown"), 0);
    EXPECT_EQ(elog_count(), 0);
    kovector2_create(0, 1, (char *)"grpA", a);
    kovector2_create(0, 1, (char *)"grpA", b);
    kovector2_create(0, 1, nullptr, c);
    long n = 0, total = 0;
    ASSERT_EQ(kovector2_get_heap_size((char *)"grpA", nullptr, &n, &total, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr),
              0);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(total, 2L * ((long)sizeof(KOVector2) + 100 * 2 * 8));
    long before = registered_count();
    EXPECT_EQ(kovector2_free_tag((char *)"nomatch"), 0);
    EXPECT_EQ(registered_count(), before);
    EXPECT_EQ(kovector2_free_tag((char *)"grpA"), 0);
    EXPECT_EQ(registered_count(), before - 2);
    EXPECT_EQ(kovector2_get_vector(a), nullptr);
    EXPECT_NE(kovector2_get_vector(c), nullptr);
    a.h[0] = b.h[0] = 0;
    ASSERT_EQ(kovector2_get_heap_size(nullptr, c, &n, &total, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(kovector2_get_heap_size(nullptr, (char *)"zz", &n, &total, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr),
              -1);
    EXPECT_TRUE(has_message("kovector2_get_heap_size: kovector2_get_vector() error.\n"));
}

TEST(Registry, CopyOneColumnChecksTheColumn) {
    Handle a, b, c;
    kovector2_create(0, 2, nullptr, a);
    double y[2] = {1, 2};
    kovector2_append(a, -1, 0, y, nullptr);
    EXPECT_EQ(kovector2_copy_1y(a, 2, nullptr, b), nullptr);
    EXPECT_EQ(messages().back(), "kovector2_copy_1y: Illegal yindex value.\n");
    KOVector2 *w = kovector2_copy_1y(a, -1, nullptr, c);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->ny, 2);
    EXPECT_EQ(w->nx, 1);
}

// A failed copy leaves no tag in its output buffer, as a failed create does;
// a buffer that is also the source handle keeps it.
TEST(Registry, FailedCopiesLeaveTheOutputHandleEmpty) {
    Handle a, b;
    kovector2_create(0, 1, nullptr, a);
    double y = 1;
    kovector2_append(a, -1, 0, &y, nullptr);
    strcpy(b.h, "vect-stale");
    EXPECT_EQ(kovector2_copy((char *)"vect-gone", nullptr, b), nullptr);
    EXPECT_STREQ(b.h, "");
    strcpy(b.h, "vect-stale");
    EXPECT_EQ(kovector2_copy_1y((char *)"vect-gone", 0, nullptr, b), nullptr);
    EXPECT_STREQ(b.h, "");
    strcpy(b.h, "vect-stale");
    EXPECT_EQ(kovector2_copy_1y(a, 1, nullptr, b), nullptr);
    EXPECT_STREQ(b.h, "");
    std::string src = a.h;
    EXPECT_EQ(kovector2_copy_1y(a, 1, nullptr, a), nullptr);
    EXPECT_EQ(src, a.h);
    // copying into the source's own buffer works and leaves the source live
    ASSERT_NE(kovector2_copy(a, nullptr, a), nullptr);
    EXPECT_NE(src, a.h);
    EXPECT_NE(kovector2_get_vector((char *)src.c_str()), nullptr);
    kovector2_free((char *)src.c_str());
}

TEST(Registry, TimeSampledCopyIsExact) {
    Handle a, b;
    double d[4] = {1, 2, 3, 4};
    KOVector2 *v = kovector2_create_tsamp(4, 12.5, 3.0, d, nullptr, a);
    KOVector2 *w = kovector2_copy_1y(a, 5, (char *)"t", b);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->is_timeseries, 1);
    EXPECT_EQ(w->dt, v->dt);
    EXPECT_EQ(w->time, 12.5);
    EXPECT_EQ(w->nx, 4);
    EXPECT_EQ(w->dblbuf[3], 4);
}

}  // namespace
