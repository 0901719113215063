// Sample grids: handle tags, puts and peak-hold decimation, axis ordering,
// evaluation and extents.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "kogrid.h"
#include "rzvtest.h"
#include "tr.h"

using rzvtest::has_message;
using rzvtest::messages;

namespace {

float gap_marker() {
    float g;
    trfill_gap(&g, 1);
    return g;
}

// Value of node (i, j) of sample s in the test fields: distinct everywhere.
float node_value(int s, int j, int i) { return 100.0f * s + 10.0f * j + i; }

std::vector<float> fields(int ns, int ny, int nx) {
    std::vector<float> v;
    for (int s = 0; s < ns; s++)
        for (int j = 0; j < ny; j++)
            for (int i = 0; i < nx; i++) v.push_back(node_value(s, j, i));
    return v;
}

KOGrid *make_grid(const std::vector<float> &x, const std::vector<float> &y, char *handle = nullptr,
                  const char *tag = nullptr) {
    return kogrid_create("test", (long)x.size(), x.data(), "x", "km", (long)y.size(), y.data(), "y", "km", "amp",
                         "nm", tag, handle);
}

int tag_number(const char *handle) { return atoi(handle + 4); }

struct Eval {
    float *out = nullptr;
    long size = 0;
    ~Eval() { free(out); }
    int run(KOGrid *g, const std::vector<float> &x, const std::vector<float> &y, const char *mode = "bilinear",
            long isamp = 0) {
        return kogrid_eval_kogrid(g, isamp, (long)x.size(), x.data(), y.data(), mode, "none", &out, &size);
    }
};

// ------------------------------------------------------------ handle tags

TEST(KOGridRegistry, LookupBeforeAnyGridSaysNoneDefined) {
    // Runs first in this program: no grid has been made yet.
    EXPECT_EQ(kogrid_get_grid("grid0"), nullptr);
    EXPECT_EQ(messages(), std::vector<std::string>{"kogrid_get_grid: No grids defined"});
}

TEST(KOGridRegistry, TagsAreNeverReused) {
    char h1[32], h2[32];
    KOGrid *g = make_grid({0, 1}, {0, 1}, h1);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(std::string(h1, 4), "grid");
    EXPECT_EQ(kogrid_get_grid(h1), g);
    EXPECT_EQ(kogrid_free(h1), 0);
    ASSERT_NE(make_grid({0, 1}, {0, 1}, h2), nullptr);
    EXPECT_EQ(tag_number(h2), tag_number(h1) + 1);
    EXPECT_EQ(kogrid_get_grid(h1), nullptr);
    EXPECT_TRUE(has_message(std::string("kogrid_get_grid: Cannot find ") + h1));
    kogrid_free(h2);
}

TEST(KOGridRegistry, UnregisteredGridAndSilentFree) {
    KOGrid *g = make_grid({0, 1}, {0, 1});
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->gap_value, gap_marker());
    EXPECT_EQ(g->nsamps, 0);
    EXPECT_EQ(g->data, nullptr);
    kogrid_free_kogrid(g);
    EXPECT_EQ(kogrid_free("grid999999"), 0);
    EXPECT_EQ(elog_count(), 0);
    EXPECT_EQ(kogrid_put("grid999999", 0, 1, 0, nullptr), -1);
    EXPECT_EQ(messages().back(), "kogrid_put: kogrid_get_grid() error.\n");
}

TEST(KOGridRegistry, FreeTagReleasesOnlyThatLabel) {
    char a[32], b[32], c[32], d[32];
    make_grid({0}, {0}, a, "beam");
    make_grid({0}, {0}, b, "beam");
    make_grid({0}, {0}, c, "Beam");
    make_grid({0}, {0}, d);
    EXPECT_EQ(kogrid_free_tag("beam"), 0);
    elog_clear_register(0);
    EXPECT_EQ(kogrid_get_grid(a), nullptr);
    EXPECT_EQ(kogrid_get_grid(b), nullptr);
    EXPECT_NE(kogrid_get_grid(c), nullptr);
    EXPECT_NE(kogrid_get_grid(d), nullptr);
    kogrid_free(c);
    kogrid_free(d);
}

TEST(KOGridRegistry, CopyCarriesEverythingButTheGapMarker) {
    char src[32], dst[32];
    KOGrid *g = make_grid({0, 1, 2}, {5, 6}, src, "orig");
    auto v = fields(2, 2, 3);
    ASSERT_EQ(kogrid_put_kogrid(g, 1000.0, 2, 0.5, v.data()), 0);
    g->params[7] = 3.25;
    g->gap_value = -1.0f;
    KOGrid *c = kogrid_copy(src, "copy", dst);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(kogrid_get_grid(dst), c);
    EXPECT_STREQ(c->tag, "copy");
    EXPECT_STREQ(c->data_units, "nm");
    EXPECT_EQ(c->params[7], 3.25);
    EXPECT_EQ(c->time, 1000.0);
    EXPECT_EQ(c->dt, 0.5);
    ASSERT_EQ(c->data_size, 12);
    EXPECT_EQ(std::vector<float>(c->data, c->data + 12), v);
    EXPECT_NE(c->data, g->data);
    EXPECT_EQ(c->gap_value, gap_marker());
    EXPECT_EQ(kogrid_copy("grid999999", nullptr, nullptr), nullptr);
    EXPECT_EQ(messages().back(), "kogrid_copy: kogrid_get_grid() error.\n");
    kogrid_free(src);
    kogrid_free(dst);
}

TEST(KOGridRegistry, NegativeCountsAreRefused) {
    float x[2] = {0, 1};
    EXPECT_EQ(kogrid_create(nullptr, -2, x, nullptr, nullptr, 2, x, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr),
              nullptr);
    EXPECT_TRUE(has_message("kogrid_create: Illegal nxgrid=-2 value.\n"));
}

// ------------------------------------------------------------------ puts

TEST(KOGridPut, NonPositiveIntervalMakesOneSample) {
    KOGrid *g = make_grid({0, 1}, {0, 1, 2});
    auto v = fields(3, 3, 2);
    ASSERT_EQ(kogrid_put_kogrid(g, 50.0, 3, 0.0, v.data()), 0);
    EXPECT_EQ(g->nsamps, 1);
    EXPECT_EQ(g->dt, 0.0);
    EXPECT_EQ(g->time, 50.0);
    EXPECT_EQ(g->data_size, 6);
    ASSERT_EQ(kogrid_put_kogrid(g, 60.0, 3, 2.0, v.data()), 0);
    EXPECT_EQ(g->nsamps, 3);
    EXPECT_EQ(g->data_size, 18);
    EXPECT_EQ(g->data[17], node_value(2, 2, 1));
    kogrid_free_kogrid(g);
}

TEST(KOGridPut, MissingDataAndOversizedGridsAreRefused) {
    KOGrid *g = make_grid({0, 1}, {0, 1});
    EXPECT_EQ(kogrid_put_kogrid(g, 0, 2, 1.0, nullptr), -1);
    EXPECT_TRUE(has_message("kogrid_put_kogrid: No data given.\n"));
    float one = 1;
    EXPECT_EQ(kogrid_put_kogrid(g, 0, 1L << 40, 1.0, &one), -1);
    EXPECT_EQ(kogrid_put_kogrid(g, 0, -1, 1.0, &one), -1);
    EXPECT_TRUE(has_message("kogrid_put_kogrid: Illegal nsamps=-1 value.\n"));
    kogrid_free_kogrid(g);
}

TEST(KOGridPut, SampleCountsBeyondTheRecordAreRefusedOnEmptyMeshes) {
    // No X nodes: the fields hold nothing, but the count must still fit the
    // record's 32-bit nsamps instead of wrapping.
    KOGrid *g = kogrid_create(nullptr, 0, nullptr, nullptr, nullptr, 2, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    EXPECT_EQ(kogrid_put_kogrid(g, 0, 3000000000L, 1.0, nullptr), -1);
    EXPECT_TRUE(has_message("kogrid_put_kogrid: 3000000000 samples of 0 x 2 nodes are too many for one grid.\n"));
    EXPECT_EQ(kogrid_putanddecimate_kogrid(g, 0, 9000000000L, 1.0, nullptr, 2), -1);
    EXPECT_TRUE(has_message("kogrid_putanddecimate_kogrid: 9000000000 samples"));
    EXPECT_EQ(g->nsamps, 0);
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 2147483647L, 1.0, nullptr), 0);
    EXPECT_EQ(g->nsamps, 2147483647);
    EXPECT_EQ(g->data_size, 0);
    kogrid_free_kogrid(g);
}

TEST(KOGridDecimate, PeakHoldOverGroupsWithAShortLastGroup) {
    // 1 x 2 nodes, 5 samples; node 1 is negative throughout.
    KOGrid *g = make_grid({0}, {0, 1});
    std::vector<float> v = {1, -1, 7, -2, 3, -3, 2, -4, 5, -5};
    ASSERT_EQ(kogrid_putanddecimate_kogrid(g, 10.0, 5, 0.25, v.data(), 2), 0);
    EXPECT_EQ(g->nsamps, 3);
    EXPECT_EQ(g->dt, 0.5);
    EXPECT_EQ(g->time, 10.0);
    ASSERT_EQ(g->data_size, 6);
    EXPECT_EQ(std::vector<float>(g->data, g->data + 6), (std::vector<float>{7, 0, 3, 0, 5, 0}));
    kogrid_free_kogrid(g);
}

TEST(KOGridDecimate, NaNNeverWinsAndFactorOneKeepsEverySample) {
    KOGrid *g = make_grid({0}, {0});
    std::vector<float> v = {NAN, 2, NAN, 4};
    ASSERT_EQ(kogrid_putanddecimate_kogrid(g, 0, 4, 1.0, v.data(), 4), 0);
    ASSERT_EQ(g->nsamps, 1);
    EXPECT_EQ(g->data[0], 4.0f);
    ASSERT_EQ(kogrid_putanddecimate_kogrid(g, 0, 4, 1.0, v.data(), 1), 0);
    EXPECT_EQ(g->nsamps, 4);
    EXPECT_EQ(g->data[0], 0.0f);
    EXPECT_EQ(g->data[3], 4.0f);
    // decimation 0 is a plain put: negative values survive
    std::vector<float> neg = {-1, -2};
    ASSERT_EQ(kogrid_putanddecimate_kogrid(g, 0, 2, 1.0, neg.data(), 0), 0);
    EXPECT_EQ(g->data[1], -2.0f);
    kogrid_free_kogrid(g);
}

TEST(KOGridDecimate, ByHandleAndOrdersTheResult) {
    char h[32];
    KOGrid *g = make_grid({2, 1}, {0}, h);
    std::vector<float> v = {1, 2, 3, 4};  // two samples of (x=2, x=1)
    ASSERT_EQ(kogrid_putanddecimate(h, 0, 2, 1.0, v.data(), 2), 0);
    EXPECT_EQ(g->xgrid_coords[0], 1.0f);
    EXPECT_EQ(g->data[0], 4.0f);  // max at x=1 is 4
    EXPECT_EQ(g->data[1], 3.0f);
    EXPECT_EQ(kogrid_putanddecimate("grid999999", 0, 2, 1.0, v.data(), 2), -1);
    EXPECT_EQ(messages().back(), "kogrid_putanddecimate: kogrid_get_grid() error.\n");
    kogrid_free(h);
}

// -------------------------------------------------------------- ordering

TEST(KOGridOrder, DescendingAxesAreReversedWithTheirData) {
    KOGrid *g = make_grid({3, 2, 1}, {20, 10});
    auto v = fields(2, 2, 3);
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 2, 1.0, v.data()), 0);
    EXPECT_EQ(std::vector<float>(g->xgrid_coords, g->xgrid_coords + 3), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(std::vector<float>(g->ygrid_coords, g->ygrid_coords + 2), (std::vector<float>{10, 20}));
    for (int s = 0; s < 2; s++)
        for (int j = 0; j < 2; j++)
            for (int i = 0; i < 3; i++)
                EXPECT_EQ(g->data[(s * 2 + j) * 3 + i], node_value(s, 1 - j, 2 - i)) << s << j << i;
    // Later puts are laid out on the ascending axes and stay as given.
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 2, 1.0, v.data()), 0);
    EXPECT_EQ(std::vector<float>(g->data, g->data + 12), v);
    kogrid_free_kogrid(g);
}

TEST(KOGridOrder, SingleSamplePutsAreOrderedToo) {
    KOGrid *g = make_grid({3, 2, 1}, {0});
    std::vector<float> v = {30, 20, 10};
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 1, 0.0, v.data()), 0);
    EXPECT_EQ(g->xgrid_coords[0], 1.0f);
    Eval e;
    ASSERT_EQ(e.run(g, {1.5f}, {0}), 0);
    EXPECT_FLOAT_EQ(e.out[0], 15.0f);
    kogrid_free_kogrid(g);
}

TEST(KOGridOrder, RepeatedCoordinatesAcceptedChangesOfDirectionRefused) {
    KOGrid *g = make_grid({1, 2, 2, 3}, {0});
    std::vector<float> v = {1, 2, 3, 4};
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 1, 1.0, v.data()), 0);
    EXPECT_EQ(std::vector<float>(g->xgrid_coords, g->xgrid_coords + 4), (std::vector<float>{1, 2, 2, 3}));
    EXPECT_EQ(std::vector<float>(g->data, g->data + 4), v);
    kogrid_free_kogrid(g);

    g = make_grid({1, 3, 2}, {0});
    EXPECT_EQ(kogrid_put_kogrid(g, 0, 1, 1.0, v.data()), -1);
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "kogrid_order: X grid coordinates must be monotonically increasing or decreasing.\n",
                              "kogrid_put_kogrid: kogrid_order() error.\n"}));
    kogrid_free_kogrid(g);
}

TEST(KOGridOrder, YFailureKeepsTheReversedX) {
    KOGrid *g = make_grid({2, 1}, {0, 2, 1});
    std::vector<float> v = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(kogrid_put_kogrid(g, 0, 1, 1.0, v.data()), -1);
    EXPECT_TRUE(has_message("kogrid_order: Y grid coordinates must be monotonically increasing or decreasing.\n"));
    EXPECT_EQ(g->xgrid_coords[0], 1.0f);
    EXPECT_EQ(g->data[0], 2.0f);
    kogrid_free_kogrid(g);
}

TEST(KOGridOrder, NaNCoordinatesAreRefused) {
    KOGrid *g = make_grid({0, NAN, 2}, {0});
    std::vector<float> v = {1, 2, 3};
    EXPECT_EQ(kogrid_put_kogrid(g, 0, 1, 1.0, v.data()), -1);
    EXPECT_TRUE(has_message("kogrid_order: X grid coordinates"));
    kogrid_free_kogrid(g);
}

// ------------------------------------------------------------ evaluation

class KOGridEval : public ::testing::Test {
protected:
    void SetUp() override {
        // 3 x 2: X 0 1 2, Y 10 20; node (i, j) = 10 j + i (+100 for sample 1)
        g = make_grid({0, 1, 2}, {10, 20});
        auto v = fields(2, 2, 3);
        ASSERT_EQ(kogrid_put_kogrid(g, 0, 2, 1.0, v.data()), 0);
        gap = g->gap_value;
    }
    void TearDown() override { kogrid_free_kogrid(g); }
    KOGrid *g = nullptr;
    float gap = 0;
};

TEST_F(KOGridEval, BilinearInsideOnNodesAndOutside) {
    Eval e;
    ASSERT_EQ(e.run(g, {0.5f, 2, 2.5f, -0.1f, 1.25f, 0, 2}, {15, 20, 15, 15, 12.5f, 10, 20.5f}), 0);
    EXPECT_FLOAT_EQ(e.out[0], (0 + 1 + 10 + 11) / 4.0f);
    EXPECT_FLOAT_EQ(e.out[1], node_value(0, 1, 2));
    EXPECT_EQ(e.out[2], gap);
    EXPECT_EQ(e.out[3], gap);
    EXPECT_FLOAT_EQ(e.out[4], 1.25f + 2.5f);
    EXPECT_FLOAT_EQ(e.out[5], 0.0f);
    EXPECT_EQ(e.out[6], gap);
    EXPECT_EQ(e.size, 7);
    ASSERT_EQ(e.run(g, {0.5f}, {15}, "bilinear", 1), 0);
    EXPECT_FLOAT_EQ(e.out[0], 105.5f);
}

TEST_F(KOGridEval, BlockTakesTheLowerNodeHalfWay) {
    Eval e;
    ASSERT_EQ(e.run(g, {0.5f, 0.51f, 1.5f, 1.6f, 3}, {15, 15.1f, 15, 10, 10}, "block"), 0);
    EXPECT_EQ(e.out[0], node_value(0, 0, 0));
    EXPECT_EQ(e.out[1], node_value(0, 1, 1));
    EXPECT_EQ(e.out[2], node_value(0, 0, 1));
    EXPECT_EQ(e.out[3], node_value(0, 0, 2));
    EXPECT_EQ(e.out[4], gap);
}

TEST_F(KOGridEval, GapCornersAndGapQueries) {
    g->data[1] = gap;  // node (1, 0)
    Eval e;
    ASSERT_EQ(e.run(g, {0.5f, 1.5f, 1.5f, gap, 0.5f}, {15, 19, 15, 15, gap}), 0);
    EXPECT_EQ(e.out[0], gap);
    EXPECT_EQ(e.out[1], gap);  // still a corner even with weight near zero
    EXPECT_EQ(e.out[2], gap);
    EXPECT_EQ(e.out[3], gap);
    EXPECT_EQ(e.out[4], gap);
    // block mode takes whatever the nearest node holds
    ASSERT_EQ(e.run(g, {0.9f, 1.9f}, {10, 10}, "block"), 0);
    EXPECT_EQ(e.out[0], gap);
    EXPECT_EQ(e.out[1], node_value(0, 0, 2));
}

TEST_F(KOGridEval, NaNPointsEvaluateToTheGapMarker) {
    Eval e;
    ASSERT_EQ(e.run(g, {NAN, 0.5f}, {15, NAN}), 0);
    EXPECT_EQ(e.out[0], gap);
    EXPECT_EQ(e.out[1], gap);
    ASSERT_EQ(e.run(g, {NAN}, {15}, "block"), 0);
    EXPECT_EQ(e.out[0], gap);
}

TEST_F(KOGridEval, OutputBufferGrowsOnlyWhenNeededAndIsCleared) {
    Eval e;
    e.size = 10;
    e.out = static_cast<float *>(malloc(10 * sizeof(float)));
    for (int k = 0; k < 10; k++) e.out[k] = 99;
    ASSERT_EQ(e.run(g, {0, 1}, {10, 10}), 0);
    EXPECT_EQ(e.size, 10);
    EXPECT_EQ(e.out[1], 1.0f);
    EXPECT_EQ(e.out[9], 0.0f);
    std::vector<float> many(40, 1.0f), ys(40, 10.0f);
    ASSERT_EQ(e.run(g, many, ys), 0);
    EXPECT_EQ(e.size, 40);
    EXPECT_EQ(e.out[39], 1.0f);
}

TEST_F(KOGridEval, NoPointsWithANegativeCapacityKeepsTheBuffer) {
    // A capacity below the point count grows the buffer; with no points at
    // all that must not shrink it to nothing and free it under the caller.
    Eval e;
    e.out = static_cast<float *>(malloc(4 * sizeof(float)));
    e.size = -1;
    ASSERT_EQ(kogrid_eval_kogrid(g, 0, 0, nullptr, nullptr, "bilinear", "none", &e.out, &e.size), 0);
    ASSERT_NE(e.out, nullptr);
    EXPECT_EQ(e.size, 0);
    ASSERT_EQ(e.run(g, {0}, {10}), 0);
    EXPECT_EQ(e.out[0], 0.0f);
}

TEST_F(KOGridEval, IllegalArgumentsAndTheirOrder) {
    Eval e;
    EXPECT_EQ(e.run(g, {0}, {10}, "bilinear", 2), -1);
    EXPECT_EQ(messages().back(), "kogrid_eval_kogrid: Illegal isamp=2 value.\n");
    EXPECT_EQ(e.out, nullptr);
    for (const char *mode : {"None", "linear"}) {
        EXPECT_EQ(kogrid_eval_kogrid(g, 0, 0, nullptr, nullptr, "bilinear", mode, &e.out, &e.size), -1);
        EXPECT_EQ(messages().back(), std::string("kogrid_eval_kogrid: Illegal extrap_mode=") + mode + " value.\n");
    }
    EXPECT_EQ(e.out, nullptr);
    EXPECT_EQ(e.run(g, {0, 1, 2}, {10, 10, 10}, "Bilinear"), -1);
    EXPECT_EQ(messages().back(), "kogrid_eval_kogrid: Illegal interp_mode=Bilinear value.\n");
    // the buffer was set up before the mode was looked at
    ASSERT_NE(e.out, nullptr);
    EXPECT_EQ(e.size, 3);
    EXPECT_EQ(kogrid_eval("grid999999", 0, 0, nullptr, nullptr, "bilinear", "none", &e.out, &e.size), -1);
    EXPECT_EQ(messages().back(), "kogrid_eval: kogrid_get_grid() error.\n");
}

TEST(KOGridEvalAxes, SingleNodeAxesOnlyAtTheirCoordinate) {
    KOGrid *g = make_grid({5}, {0, 1});
    std::vector<float> v = {3, 7};
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 1, 0, v.data()), 0);
    Eval e;
    ASSERT_EQ(e.run(g, {5, 5, 5.001f, 4.999f}, {0.5f, 1, 0.5f, 0.5f}), 0);
    EXPECT_FLOAT_EQ(e.out[0], 5.0f);
    EXPECT_FLOAT_EQ(e.out[1], 7.0f);
    EXPECT_EQ(e.out[2], g->gap_value);
    EXPECT_EQ(e.out[3], g->gap_value);
    ASSERT_EQ(e.run(g, {5}, {0.6f}, "block"), 0);
    EXPECT_EQ(e.out[0], 7.0f);
    kogrid_free_kogrid(g);
}

TEST(KOGridEvalAxes, RepeatedFirstCoordinateAveragesItsNodes) {
    KOGrid *g = make_grid({1, 1, 2}, {0});
    std::vector<float> v = {2, 4, 10};
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 1, 0, v.data()), 0);
    Eval e;
    ASSERT_EQ(e.run(g, {1, 1.5f}, {0, 0}), 0);
    EXPECT_FLOAT_EQ(e.out[0], 3.0f);
    EXPECT_FLOAT_EQ(e.out[1], 7.0f);
    kogrid_free_kogrid(g);
}

// Evaluation guesses the interval and bisects on ascending axes; each
// answer must be the walk's, on evenly spaced, uneven and repeated axes.
void expect_walk_answers(const std::vector<float> &c, unsigned seed) {
    srand48(seed);
    KOGrid *g = make_grid(c, {0});
    std::vector<float> z(c.size());
    for (size_t k = 0; k < z.size(); k++) z[k] = (float)drand48();
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 1, 0, z.data()), 0);
    const float lo = c.front(), hi = c.back();
    std::vector<float> xs, ys;
    for (int k = 0; k < 3000; k++) {
        float v;
        switch (k % 4) {
        case 0: v = c[k % c.size()]; break;                                    // on a node
        case 1: v = std::nextafter(c[k % c.size()], k % 8 == 1 ? -1e9f : 1e9f); break;  // beside one
        default: v = lo + (float)(drand48() * 1.1 - 0.05) * (hi - lo);
        }
        xs.push_back(v);
        ys.push_back(0);
    }
    Eval e;
    ASSERT_EQ(e.run(g, xs, ys), 0);
    for (size_t p = 0; p < xs.size(); p++) {
        int i0, i1;
        float x0, dx;
        int r = kogrid_find_interval(xs[p], (int)c.size(), c.data(), &i0, &i1, &x0, &dx);
        float want;
        if (r != 0)
            want = g->gap_value;
        else if (dx != 0)
            want = (z[i1] - z[i0]) * (xs[p] - x0) / dx + z[i0];
        else
            want = (z[i0] + z[i1]) * 0.5f;
        ASSERT_EQ(e.out[p], want) << "x=" << xs[p];
    }
    kogrid_free_kogrid(g);
}

TEST(KOGridEvalAxes, FastSearchGivesTheWalksAnswers) {
    std::vector<float> even, uneven, repeats;
    for (int k = 0; k < 200; k++) even.push_back(-10.0f + 0.1f * k);
    srand48(3);
    for (float v = -5; uneven.size() < 60; v += (float)(drand48() * drand48() * 4)) uneven.push_back(v);
    for (float v = 0; repeats.size() < 60;) {
        repeats.push_back(v);
        if (drand48() < 0.7) v += 1;
    }
    expect_walk_answers(even, 1);
    expect_walk_answers(uneven, 2);
    expect_walk_answers(repeats, 3);
    expect_walk_answers({4, 4, 4}, 4);
    expect_walk_answers({1, 2}, 5);
}

TEST(KOGridFindInterval, EndsAndInnerNodes) {
    const float c[3] = {0, 1, 2};
    int i0, i1;
    float m, d;
    EXPECT_EQ(kogrid_find_interval(1.0f, 3, c, &i0, &i1, &m, &d), 0);
    EXPECT_EQ(i0, 0);  // an inner node closes the interval before it
    EXPECT_EQ(i1, 1);
    EXPECT_EQ(kogrid_find_interval(0.0f, 3, c, &i0, &i1, &m, &d), 0);
    EXPECT_EQ(i0, 0);
    EXPECT_EQ(kogrid_find_interval(-1.0f, 3, c, &i0, &i1, &m, &d), -1);
    EXPECT_EQ(d, 0.0f);
    EXPECT_EQ(kogrid_find_interval(2.5f, 3, c, &i0, &i1, &m, &d), 1);
    EXPECT_EQ(i0, 2);
    EXPECT_EQ(m, 2.0f);
    EXPECT_EQ(kogrid_find_interval(0.5f, 0, c, &i0, &i1, &m, &d), -1);
}

// --------------------------------------------------------------- extents

TEST_F(KOGridEval, ExtentsSkipGapNodes) {
    float x0, x1, y0, y1, z0, z1;
    g->data[0] = gap;
    ASSERT_EQ(kogrid_maxmin_kogrid(g, 0, &x0, &x1, &y0, &y1, &z0, &z1), 0);
    EXPECT_EQ(x0, 0.0f);
    EXPECT_EQ(x1, 2.0f);
    EXPECT_EQ(y0, 10.0f);
    EXPECT_EQ(y1, 20.0f);
    EXPECT_EQ(z0, 1.0f);
    EXPECT_EQ(z1, 12.0f);
    ASSERT_EQ(kogrid_maxmin_kogrid(g, 1, &x0, &x1, &y0, &y1, &z0, &z1), 0);
    EXPECT_EQ(z0, 100.0f);
    for (int k = 0; k < 6; k++) g->data[k] = gap;
    ASSERT_EQ(kogrid_maxmin_kogrid(g, 0, &x0, &x1, &y0, &y1, &z0, &z1), 0);
    EXPECT_EQ(z0, gap);
    EXPECT_EQ(z1, gap);
    EXPECT_EQ(kogrid_maxmin_kogrid(g, -1, &x0, &x1, &y0, &y1, &z0, &z1), -1);
    EXPECT_EQ(messages().back(), "kogrid_maxmin_kogrid: Illegal isamp=-1 value.\n");
    EXPECT_EQ(kogrid_maxmin("grid999999", 0, &x0, &x1, &y0, &y1, &z0, &z1), -1);
    EXPECT_EQ(messages().back(), "kogrid_maxmin: kogrid_get_grid() error.\n");
}

TEST(KOGridExtents, GridsWithoutCoordinatesAreRefused) {
    KOGrid *g = kogrid_create(nullptr, 2, nullptr, nullptr, nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    ASSERT_NE(g, nullptr);
    std::vector<float> v = {1, 2};
    ASSERT_EQ(kogrid_put_kogrid(g, 0, 1, 0, v.data()), 0);
    float a, b, c, d, e, f;
    EXPECT_EQ(kogrid_maxmin_kogrid(g, 0, &a, &b, &c, &d, &e, &f), -1);
    Eval ev;
    EXPECT_EQ(ev.run(g, {0}, {0}), -1);
    EXPECT_TRUE(has_message("kogrid_eval_kogrid: Grid has nodes without coordinates.\n"));
    kogrid_free_kogrid(g);
}

}  // namespace
