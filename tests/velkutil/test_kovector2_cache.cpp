// The vector cache: off until asked for, best-fit reuse of released records,
// the byte budget, and the allocation counters.  The cache is process-wide,
// so each test uses a row width (ny) of its own to keep its records apart.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kovector2.h"
#include "rzvtest.h"

namespace {

struct Stats {
    long nobjects, heap_total, cache_objects, cache_total, nmallocs, nreallocs, nstrdups, nfrees;
};

Stats stats() {
    Stats s;
    kovector2_get_heap_size(nullptr, nullptr, &s.nobjects, &s.heap_total, &s.cache_objects, &s.cache_total,
                            &s.nmallocs, &s.nreallocs, &s.nstrdups, &s.nfrees);
    return s;
}

struct Handle {
    char h[32] = {0};
    operator char *() { return h; }
};

// Runs first (tests run in file order): the cache starts disabled.
TEST(CacheOff, ReleasedRecordsGoBackToTheHeap) {
    EXPECT_EQ(kovector2_get_vector((char *)"vect0"), nullptr);
    EXPECT_EQ(rzvtest::messages().back(), "kovector2_get_vector: No vectors defined");
    Handle a;
    Stats s0 = stats();
    ASSERT_NE(kovector2_create(10, 11, nullptr, a), nullptr);
    Stats s1 = stats();
    EXPECT_EQ(s1.nmallocs, s0.nmallocs + 2);  // record and buffer
    EXPECT_EQ(s1.nobjects, s0.nobjects + 1);
    kovector2_free(a);
    Stats s2 = stats();
    EXPECT_EQ(s2.nfrees, s1.nfrees + 2);
    EXPECT_EQ(s2.cache_objects, 0);
    EXPECT_EQ(s2.cache_total, 0);
}

TEST(CacheReuse, SameShapeIsRecycledClean) {
    ASSERT_EQ(kovector2_set_cache(100L * 1000 * 1000), 0);
    Handle a, b;
    KOVector2 *v = kovector2_create(10, 2, (char *)"old", a);
    double y[2] = {4, 5};
    kovector2_append(a, -1, 3, y, nullptr);
    int heap = v->heap_size;
    Stats s0 = stats();
    kovector2_free(a);
    Stats s1 = stats();
    EXPECT_EQ(s1.cache_objects, s0.cache_objects + 1);
    EXPECT_EQ(s1.cache_total, s0.cache_total + heap);
    EXPECT_EQ(s1.nfrees, s0.nfrees);
    EXPECT_EQ(s1.nobjects, s0.nobjects - 1);
    EXPECT_EQ(kovector2_get_vector(a), nullptr);

    KOVector2 *w = kovector2_create(50, 2, nullptr, b);
    EXPECT_EQ(w, v);
    EXPECT_STRNE(a.h, b.h);
    EXPECT_EQ(w->nx, 0);
    EXPECT_EQ(w->ny, 2);
    EXPECT_STREQ(w->tag, "");
    EXPECT_EQ(w->dblbuf[0], 0.0);
    EXPECT_EQ(w->dblbuf[1], 0.0);
    EXPECT_EQ(w->heap_size, heap);
    Stats s2 = stats();
    EXPECT_EQ(s2.cache_total, s0.cache_total);
    EXPECT_EQ(s2.nmallocs, s1.nmallocs);
    kovector2_free(b);
}

TEST(CacheReuse, PointVectorsNeedTheExactRowWidth) {
    Handle a, b, c;
    KOVector2 *v = kovector2_create(0, 3, nullptr, a);
    kovector2_free(a);
    KOVector2 *w2 = kovector2_create(0, 2 + 2, nullptr, b);  // wider
    KOVector2 *w = kovector2_create(0, 3, nullptr, c);
    EXPECT_NE(w2, v);
    EXPECT_EQ(w, v);
    kovector2_free(b);
    kovector2_free(c);
}

TEST(CacheReuse, BestFitTakesTheFirstOfEqualFits) {
    Handle h150, h120a, h120b, big, req;
    KOVector2 *v150 = kovector2_create(125, 5, nullptr, h150);
    KOVector2 *v120a = kovector2_create(100, 5, nullptr, h120a);
    KOVector2 *v120b = kovector2_create(100, 5, nullptr, h120b);
    ASSERT_EQ(v150->x_size, 150);
    ASSERT_EQ(v120a->x_size, 120);
    kovector2_free(h150);
    kovector2_free(h120a);
    kovector2_free(h120b);
    EXPECT_EQ(kovector2_create(110, 5, nullptr, req), v120a);
    // too small a record is never taken
    KOVector2 *n = kovector2_create(200, 5, nullptr, big);
    EXPECT_NE(n, v150);
    EXPECT_NE(n, v120b);
    EXPECT_EQ(n->x_size, 240);
    kovector2_free(req);
    kovector2_free(big);
}

TEST(CacheBudget, AFullCacheSendsRecordsToTheHeap) {
    Handle a, b;
    kovector2_create(1000, 6, nullptr, a);
    kovector2_create(0, 6, nullptr, b);
    Stats s0 = stats();
    ASSERT_EQ(kovector2_set_cache(s0.cache_total + 6000), 0);  // room for the small one only
    kovector2_free(a);
    Stats s1 = stats();
    EXPECT_EQ(s1.cache_objects, s0.cache_objects);
    EXPECT_EQ(s1.nfrees, s0.nfrees + 2);
    kovector2_free(b);
    Stats s2 = stats();
    EXPECT_EQ(s2.cache_objects, s0.cache_objects + 1);
    EXPECT_LE(s2.cache_total, s0.cache_total + 6000);
    // lowering the limit evicts nothing
    ASSERT_EQ(kovector2_set_cache(0), 0);
    EXPECT_EQ(stats().cache_objects, s2.cache_objects);
    ASSERT_EQ(kovector2_set_cache(100L * 1000 * 1000), 0);
}

TEST(CacheReuse, LabelledRecordsComeBackWithoutLabels) {
    Handle a, b;
    KOVector2 *v = kovector2_create(0, 7, nullptr, a);
    double y[7] = {0};
    kovector2_append(a, -1, 1, y, (char *)"one");
    int heap_no_labels = v->heap_size - v->lblbuf_size;
    kovector2_free(a);
    EXPECT_EQ(v->lblbuf, nullptr);
    EXPECT_EQ(v->lblbuf_size, 0);
    EXPECT_EQ(v->heap_size, heap_no_labels);
    KOVector2 *w = kovector2_create(0, 7, nullptr, b);
    ASSERT_EQ(w, v);
    ASSERT_EQ(kovector2_append(b, -1, 2, y, (char *)"two"), 0);
    char lbl[8];
    double x;
    ASSERT_EQ(kovector2_get_point(b, 0, &x, y, lbl), 0);
    EXPECT_STREQ(lbl, "two");
    kovector2_free(b);
}

// A display that copies a labelled vector, draws it and frees it, over and
// over, gets the same record back each time; what the copies charged for
// label texts must leave with the labels or heap_size climbs without end.
TEST(CacheReuse, LabelChargesDoNotPileUpOnARecycledRecord) {
    Handle src, cp;
    kovector2_create(0, 13, nullptr, src);
    double y[13] = {0};
    kovector2_append(src, -1, 0, y, (char *)"abcdefghij");
    kovector2_append(src, -1, 1, y, (char *)"klmno");
    KOVector2 *first = kovector2_copy(src, nullptr, cp);
    ASSERT_NE(first, nullptr);
    const int live = first->heap_size;
    EXPECT_EQ(live, (int)sizeof(KOVector2) + first->dblbuf_size + first->lblbuf_size + 15);
    Stats s0 = stats();
    kovector2_free(cp);
    EXPECT_EQ(first->heap_size, (int)sizeof(KOVector2) + first->dblbuf_size);
    EXPECT_EQ(stats().cache_total, s0.cache_total + first->heap_size);
    for (int i = 0; i < 5; i++) {
        KOVector2 *again = kovector2_copy(src, nullptr, cp);
        ASSERT_EQ(again, first);
        EXPECT_EQ(again->heap_size, live);
        kovector2_free(cp);
    }
    EXPECT_EQ(stats().cache_total, s0.cache_total + first->heap_size);
    kovector2_free(src);
}

TEST(CacheReuse, TimeSampledRecordsFitAnyTimeSampledRequest) {
    Handle a, b, p;
    double d[3] = {1, 2, 3};
    KOVector2 *v = kovector2_create_tsamp(3, 50, 10, d, nullptr, a);
    kovector2_resize_y(a, 4);  // history that does not matter
    kovector2_free(a);
    // a point vector with one column never takes it
    EXPECT_NE(kovector2_create(0, 1, nullptr, p), v);
    double e[2] = {8, 9};
    KOVector2 *w = kovector2_create_tsamp(2, 7, 1, e, nullptr, b);
    ASSERT_EQ(w, v);
    EXPECT_EQ(w->nx, 2);
    EXPECT_EQ(w->ny, 1);
    EXPECT_EQ(w->time, 7);
    EXPECT_EQ(w->dt, 1);
    EXPECT_EQ(w->dblbuf[2], 0.0);  // old samples cleared
    kovector2_free(b);
    kovector2_free(p);
}

TEST(CacheReuse, ReleasingACachedRecordAgainKeepsOneEntry) {
    KOVector2 *v = kovector2_create(0, 8, nullptr, nullptr);
    kovector2_free_vector(v);
    Stats s0 = stats();
    kovector2_free_vector(v);
    Stats s1 = stats();
    EXPECT_EQ(s1.cache_objects, s0.cache_objects);
    EXPECT_EQ(s1.cache_total, s0.cache_total);
    EXPECT_EQ(s1.nfrees, s0.nfrees);
}

TEST(CacheReuse, ManyRecordsInAndOutKeepTheBookkeepingExact) {
    ASSERT_EQ(kovector2_set_cache(1L << 30), 0);
    std::vector<KOVector2 *> vs;  // capacities 120, 121, 122, ...: all different
    std::vector<int> cap;
    for (int i = 0; i < 1000; i++) {
        vs.push_back(kovector2_create(100 + i, 12, nullptr, nullptr));
        cap.push_back(vs.back()->x_size);
    }
    Stats s0 = stats();
    for (int round = 0; round < 3; round++) {
        for (KOVector2 *v : vs) kovector2_free_vector(v);
        for (KOVector2 *v : vs) kovector2_free_vector(v);  // already cached: no change
        Stats s1 = stats();
        EXPECT_EQ(s1.cache_objects, s0.cache_objects + 1000);
        EXPECT_EQ(s1.nfrees, s0.nfrees);
        // take them all back, each by its exact capacity
        for (int i = 0; i < 1000; i++) {
            KOVector2 *v = kovector2_create(cap[i], 12, nullptr, nullptr);
            ASSERT_EQ(v, vs[i]) << i;
        }
        EXPECT_EQ(stats().cache_objects, s0.cache_objects);
    }
    kovector2_set_cache(0);  // the rest go to the heap
    for (KOVector2 *v : vs) kovector2_free_vector(v);
    ASSERT_EQ(kovector2_set_cache(100L * 1000 * 1000), 0);
}

TEST(CacheReuse, CopiesAndStatisticsDrawFromTheCache) {
    Handle a, b, c;
    kovector2_create(0, 10, nullptr, a);
    double y[10] = {1};
    kovector2_append(a, -1, 0, y, nullptr);
    KOVector2 *spare = kovector2_create(0, 10, nullptr, b);
    kovector2_free(b);
    EXPECT_EQ(kovector2_copy(a, nullptr, c), spare);
    kovector2_free(a);
    kovector2_free(c);
}

}  // namespace
