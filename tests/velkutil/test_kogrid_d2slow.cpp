// Distance-to-slowness grids: the process-wide slowness table against the
// travel-time calculator's own ray parameters, coordinate conversion, and
// evaluation of slowness grids at distance-azimuth points.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kogrid.h"
#include "rzvtest.h"
#include "tt.h"

using rzvtest::has_message;
using rzvtest::messages;

namespace {

// The distance of table entry k, accumulated the way the table is.
double entry_distance(long k) {
    double d = 0;
    for (long i = 0; i <= k; i++) d += 0.001;
    return d;
}

// -deriv[0] of the earliest of all arrivals of the phase list, receiver due
// east of a source at depth: the ray parameter as the calculator gives it.
double calculator_slowness(double distance, const char *phases, double depth, const char *model = nullptr) {
    TTGeometry g = {};
    g.source.z = depth;
    g.receiver.lon = distance;
    Tbl *times = nullptr;
    Hook *hook = nullptr;
    EXPECT_EQ(ttcalc(nullptr, model, phases, TT_ALL, &g, &times, &hook), 0);
    double best = HUGE_VAL, s = -1;
    for (long i = 0; i < maxtbl(times); i++) {
        const TTTime *r = static_cast<const TTTime *>(gettbl(times, i));
        if (r->value < best) {
            best = r->value;
            s = -r->deriv[0];
        }
    }
    freetbl(times, nullptr);
    free_hook(&hook);
    return s;
}

double table(double distance, const char *model = nullptr, double depth = 10.0) {
    double s = 12345;
    EXPECT_EQ(kogrid_d2slow(nullptr, model, nullptr, depth, 0.0, distance, &s), 0);
    return s;
}

// The first request in this program builds the table: P, iasp91, 10 km.
TEST(KOGridSlownessTable, EntriesAreTheCalculatorsRayParameters) {
    for (long k : {0L, 499L, 9999L, 29999L, 59999L, 94999L, 119999L, 144999L, 169999L}) {
        const double d = entry_distance(k);
        const double want = calculator_slowness(d, "P", 10.0);
        EXPECT_EQ(table(d + 0.0004), want) << "distance " << d;
        EXPECT_GT(want, 0.0);
    }
    // P slowness falls with distance (s/km): about 0.137 near 0.5 degrees
    // (Pg-Pn), about 0.08 at 30 degrees, well below at teleseismic range.
    EXPECT_GT(table(0.5), table(30.0));
    EXPECT_GT(table(30.0), table(90.0));
}

TEST(KOGridSlownessTable, IndexIsTruncated) {
    EXPECT_EQ(table(10.0005), table(10.0009));
    EXPECT_EQ(table(10.0005), calculator_slowness(entry_distance(9999), "P", 10.0));
    EXPECT_NE(table(10.0005), table(10.0015));
    EXPECT_EQ(table(0.0001), table(0.0019));  // below 0.002 all use the first entry
}

TEST(KOGridSlownessTable, OutsideTheTableThereIsNoArrival) {
    for (double d : {0.0, -3.0, 180.001, 500.0, (double)NAN, (double)INFINITY}) EXPECT_EQ(table(d), -1.0) << d;
    EXPECT_GE(table(179.9995), 0.0);
    // the last entry lies just past the antipode by accumulated rounding;
    // it still has an arrival
    EXPECT_GE(table(180.0004), 0.0);
    EXPECT_LT(table(180.0004), 1e-6);
    EXPECT_EQ(elog_count(), 0);
}

TEST(KOGridSlownessTable, LaterRequestsReuseTheFirstTable) {
    const double s = table(40.0);
    EXPECT_EQ(table(40.0, "ak135", 300.0), s);
    double other = 0;
    ASSERT_EQ(kogrid_d2slow(nullptr, nullptr, "S", 0.0, 0.0, 40.0, &other), 0);
    EXPECT_EQ(other, s);
    EXPECT_NE(calculator_slowness(40.0, "P", 300.0, "ak135"), s);
}

TEST(KOGridSlownessTable, FailedBuildIsRetriedNotKept) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a fresh child process: a build that the calculator refuses leaves no
    // table behind; the next request builds a good one.
    EXPECT_EXIT(
        {
            double s = 0;
            int bad = kogrid_d2slow(nullptr, "nosuchmodel", nullptr, 0.0, 0.0, 30.0, &s);
            bool failed = bad == -1 && s == -1.0 && has_message("kogrid_d2slow: ttcalc() error at 0.001 degrees.\n");
            int good = kogrid_d2slow(nullptr, nullptr, "Pg", 0.0, 0.0, 30.0, &s);
            // Pg has no arrival at 30 degrees; it has one at 1 degree
            double near = 0;
            kogrid_d2slow(nullptr, nullptr, nullptr, 0.0, 0.0, 1.0, &near);
            exit(failed && good == 0 && s == -1.0 && near > 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Two threads make the first request at once; exits 0 when both get the
// same answer from one table.
void race_first_requests() {
    double a = 0, b = 0;
    int ra = -1, rb = -1;
    std::thread t1([&] { ra = kogrid_d2slow(nullptr, nullptr, "Pg", 0.0, 0.0, 1.0, &a); });
    std::thread t2([&] { rb = kogrid_d2slow(nullptr, nullptr, "Pg", 0.0, 0.0, 1.0, &b); });
    t1.join();
    t2.join();
    exit(ra == 0 && rb == 0 && a == b && a > 0 ? 0 : 1);
}

TEST(KOGridSlownessTable, SimultaneousFirstRequestsBuildOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(race_first_requests(), ::testing::ExitedWithCode(0), "");
}

// ------------------------------------------------------------ conversion

TEST(KOGridCoordsD2Slow, AzimuthSplitsTheSlowness) {
    const float gap = 1e30f;
    const double s = table(30.0);
    std::vector<float> x = {30, 30, 30, 30, 0, 190}, y = {90, 180, 0, 45, 10, 10};
    ASSERT_EQ(kogrid_coords_d2slow(6, x.data(), y.data(), nullptr, nullptr, nullptr, 10.0f, gap), 0);
    EXPECT_NEAR(x[0], s, 1e-7);
    EXPECT_NEAR(y[0], 0.0, 1e-7);
    EXPECT_NEAR(x[1], 0.0, 1e-7);
    EXPECT_NEAR(y[1], -s, 1e-7);
    EXPECT_NEAR(x[2], 0.0, 1e-7);
    EXPECT_NEAR(y[2], s, 1e-7);
    EXPECT_NEAR(x[3], s / std::sqrt(2.0), 1e-7);
    EXPECT_NEAR(y[3], s / std::sqrt(2.0), 1e-7);
    EXPECT_EQ(x[4], gap);
    EXPECT_EQ(y[4], gap);
    EXPECT_EQ(x[5], gap);
    EXPECT_EQ(y[5], gap);
}

TEST(KOGridCoordsD2Slow, BadArgumentsAreRefused) {
    EXPECT_EQ(kogrid_coords_d2slow(2, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0), -1);
    EXPECT_TRUE(has_message("kogrid_coords_d2slow: Illegal nds=2 value"));
    EXPECT_EQ(kogrid_coords_d2slow(0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0), 0);
}

// ------------------------------------------------------------ evaluation

// A slowness grid: X east, Y north, -0.2 to 0.2 s/km; the value of a node
// is its east component, so a bilinear read returns the point's east
// slowness.
class KOGridEvalD2Slow : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<float> c;
        for (int k = 0; k <= 40; k++) c.push_back(-0.2f + 0.01f * k);
        g = kogrid_create("slowness", (long)c.size(), c.data(), "east", "s/km", (long)c.size(), c.data(), "north",
                          "s/km", "power", nullptr, nullptr, handle);
        ASSERT_NE(g, nullptr);
        std::vector<float> v;
        for (size_t j = 0; j < c.size(); j++)
            for (size_t i = 0; i < c.size(); i++) v.push_back(c[i]);
        ASSERT_EQ(kogrid_put_kogrid(g, 0, 1, 0, v.data()), 0);
    }
    void TearDown() override {
        kogrid_free(handle);
        free(out);
    }
    char handle[32];
    KOGrid *g = nullptr;
    float *out = nullptr;
    long size = 0;
};

TEST_F(KOGridEvalD2Slow, ReadsTheGridAtTheSlownessOfEachPoint) {
    std::vector<float> d = {30, 30, 60, 0, 30}, az = {90, 270, 90, 90, 0};
    ASSERT_EQ(kogrid_eval_d2slow(handle, 0, 5, d.data(), az.data(), nullptr, nullptr, nullptr, 10.0, "bilinear",
                                 "none", &out, &size),
              0);
    EXPECT_NEAR(out[0], table(30.0), 1e-6);
    EXPECT_NEAR(out[1], -table(30.0), 1e-6);
    EXPECT_NEAR(out[2], table(60.0), 1e-6);
    EXPECT_EQ(out[3], g->gap_value);  // no arrival at 0 degrees
    EXPECT_NEAR(out[4], 0.0, 1e-6);
    EXPECT_EQ(size, 5);
}

TEST_F(KOGridEvalD2Slow, ModesAndLookupFailuresPassThrough) {
    float d = 30, az = 90;
    EXPECT_EQ(kogrid_eval_d2slow_kogrid(g, 0, 1, &d, &az, nullptr, nullptr, nullptr, 10.0, "block", "none", &out,
                                        &size),
              0);
    EXPECT_NEAR(out[0], std::round(table(30.0) / 0.01) * 0.01, 1e-6);
    EXPECT_EQ(kogrid_eval_d2slow_kogrid(g, 0, 1, &d, &az, nullptr, nullptr, nullptr, 10.0, "bilinear", "linear",
                                        &out, &size),
              -1);
    EXPECT_EQ(messages().back(), "kogrid_eval_kogrid: Illegal extrap_mode=linear value.\n");
    EXPECT_EQ(kogrid_eval_d2slow("grid999999", 0, 1, &d, &az, nullptr, nullptr, nullptr, 10.0, "bilinear", "none",
                                 &out, &size),
              -1);
    EXPECT_EQ(messages().back(), "kogrid_eval_d2slow: kogrid_get_grid() error.\n");
}

}  // namespace
