// Travel times: published values, dense sweeps over distance and depth,
// derivatives, phase lists and modes, bad arguments, the hook.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "rzvtest.h"
#include "stock.h"
#include "tt.h"

namespace {

struct Hit {
    std::string phase;
    double t = -1, p = 0;  // s, s/deg (receiver due east)
    double d[3] = {0, 0, 0};
};

// Arrivals at `deg` degrees due east of a source at depth z, at a receiver
// of elevation elev.
std::vector<Hit> calc(const char *model, const char *phases, int mode, double z, double deg, Hook **hook,
                      double elev = 0.0) {
    TTGeometry g = {};
    g.source.z = z;
    g.receiver.lon = deg;
    g.receiver.z = -elev;
    Tbl *t = nullptr;
    std::vector<Hit> out;
    if (ttcalc(nullptr, model, phases, mode, &g, &t, hook) != 0) return out;
    for (long i = 0; i < maxtbl(t); i++) {
        TTTime *r = (TTTime *)gettbl(t, i);
        Hit h;
        h.phase = r->phase;
        h.t = r->value;
        h.p = -r->deriv[0] * TT_KM_PER_DEG;
        for (int k = 0; k < 3; k++) h.d[k] = r->deriv[k];
        out.push_back(h);
    }
    freetbl(t, nullptr);
    return out;
}

Hit first(const char *model, const char *family, double z, double deg, Hook **hook) {
    std::vector<Hit> v = calc(model, family, TT_FIRST, z, deg, hook);
    return v.empty() ? Hit() : v[0];
}

class TravelTimes : public ::testing::Test {
protected:
    void TearDown() override { free_hook(&hook); }
    Hook *hook = nullptr;
};

// ------------------------------------------------------------ accuracy

TEST_F(TravelTimes, PublishedFirstArrivals) {
    struct Ref {
        const char *model;
        double z, deg;
        const char *family;
        double t, p;
    } refs[] = {
        {"ak135", 0, 10, "P", 144.90, 13.70},   {"ak135", 0, 30, "P", 370.27, 8.85},
        {"ak135", 0, 60, "P", 608.34, 6.87},    {"ak135", 0, 90, "P", 781.40, 4.67},
        {"ak135", 0, 10, "S", 257.80, 24.55},   {"ak135", 0, 30, "S", 669.14, 15.69},
        {"ak135", 0, 60, "S", 1101.89, 12.87},  {"ak135", 10, 35, "P", 412.51, 8.625},
        {"iasp91", 10, 35, "P", 412.43, 8.613}, {"iasp91", 10, 35, "S", 745.29, 15.367},
    };
    for (const Ref &r : refs) {
        Hit h = first(r.model, r.family, r.z, r.deg, &hook);
        EXPECT_NEAR(h.t, r.t, 0.05) << r.model << " " << r.family << " " << r.z << " km " << r.deg << " deg";
        EXPECT_NEAR(h.p, r.p, 0.1) << r.model << " " << r.family << " " << r.z << " km " << r.deg << " deg";
    }
}

TEST_F(TravelTimes, CoreShadowIsDiffracted) {
    Hit p = first("ak135", "P", 0, 115, &hook);
    EXPECT_EQ(p.phase, "Pdiff");
    EXPECT_NEAR(p.p, 4.45, 0.02);
    Hit s = first("ak135", "S", 0, 120, &hook);
    EXPECT_EQ(s.phase, "Sdiff");
    EXPECT_NEAR(s.p, 8.34, 0.02);
    // Diffraction is followed 60 degrees along the core; then the core phase
    // is first and the S family ends.
    EXPECT_EQ(first("ak135", "P", 0, 157, &hook).phase, "Pdiff");
    EXPECT_EQ(first("ak135", "P", 0, 160, &hook).phase, "PKPdf");
    EXPECT_EQ(first("ak135", "S", 0, 159, &hook).phase, "Sdiff");
    EXPECT_TRUE(calc("ak135", "S", TT_FIRST, 0, 162, &hook).empty());
    EXPECT_TRUE(calc("ak135", "Pdiff", TT_ALL, 0, 162, &hook).empty());
    // Through the centre: no horizontal slowness left.
    Hit a = first("iasp91", "PKP", 0, 180, &hook);
    EXPECT_EQ(a.phase, "PKPdf");
    EXPECT_NEAR(a.p, 0.0, 1e-6);
    EXPECT_NEAR(a.t, 1212.1, 0.5);
}

TEST_F(TravelTimes, ZeroDistance) {
    EXPECT_NEAR(first("iasp91", "P", 0, 0, &hook).t, 0.0, 1e-9);
    // Straight up through the top layers.
    Hit h = first("iasp91", "P", 30, 0, &hook);
    EXPECT_NEAR(h.t, 20 / 5.8 + 10 / 6.5, 1e-3);
    EXPECT_NEAR(h.p, 0.0, 1e-6);
}

// Every 0.1 degree, at depths through the crust, the discontinuities and the
// deepest sources: the first arrival exists, grows with distance without
// jumps, and its ray parameter is the slope of the time curve.
TEST_F(TravelTimes, DenseSweepsAreContinuousAndConsistent) {
    for (const char *model : {"iasp91", "ak135"})
        for (const char *fam : {"P", "S"})
            for (double z : {0.0, 15.0, 35.0, 120.0, 410.0, 660.0, 700.0}) {
                const double maxdeg = 180.0;
                const double pmax = fam[0] == 'S' ? 36.0 : 20.0;
                double last_t = -1;
                std::string last_phase;
                for (int i = 0; i <= (int)(maxdeg * 10 + 0.5); i++) {
                    double deg = std::max(i * 0.1, 1e-3);
                    Hit h = first(model, fam, z, deg, &hook);
                    // S ends with its diffracted wave, past 150 degrees.
                    if (fam[0] == 'S' && h.t < 0 && deg > 150) break;
                    ASSERT_GE(h.t, 0) << model << " " << fam << " " << z << " km " << deg;
                    if (last_t >= 0) {
                        EXPECT_GE(h.t, last_t - 1e-9) << model << " " << fam << " " << z << " " << deg;
                        // The one jump: where diffraction ends the core phase is first.
                        if (!(last_phase == "Pdiff" && h.phase.compare(0, 3, "PKP") == 0)) {
                            EXPECT_LE(h.t - last_t, 0.1 * pmax) << model << " " << fam << " " << z << " " << deg;
                        }
                    }
                    if (i % 7 == 3 && deg < maxdeg - 0.1) {
                        Hit a = first(model, fam, z, deg - 0.02, &hook);
                        Hit b = first(model, fam, z, deg + 0.02, &hook);
                        // On one branch (not across a crossing of two).
                        bool one = a.phase == h.phase && b.phase == h.phase && std::fabs(a.p - h.p) < 0.05 &&
                                   std::fabs(b.p - h.p) < 0.05;
                        if (one) {
                            EXPECT_NEAR((b.t - a.t) / 0.04, h.p, 0.1)
                                << model << " " << fam << " " << z << " km " << deg << " " << h.phase;
                        }
                    }
                    last_t = h.t;
                    last_phase = h.phase;
                }
            }
}

TEST_F(TravelTimes, TriplicationHasThreeBranches) {
    // Between the 410 and 660 km branches several P rays reach one station.
    std::vector<Hit> v = calc("iasp91", "P", TT_ALL, 0, 22, &hook);
    int mantle = 0;
    for (const Hit &h : v)
        if (h.phase == "P" || h.phase == "Pn") mantle++;
    EXPECT_GE(mantle, 3);
    for (size_t i = 1; i < v.size(); i++) EXPECT_LE(v[i - 1].t, v[i].t);
}

// ------------------------------------------------------------ derivatives

TEST_F(TravelTimes, HorizontalDerivativesPointAwayFromTheReceiver) {
    // Receiver due east: -p/111.19 east, nothing north.
    Hit h = first("iasp91", "P", 10, 40, &hook);
    EXPECT_NEAR(h.d[0], -h.p / 111.19, 1e-4);
    EXPECT_NEAR(h.d[1], 0.0, 1e-9);
    // Receiver due north; moving the source 1 km north agrees with deriv[1].
    TTGeometry g = {};
    g.source.z = 10;
    g.receiver.lat = 40;
    Tbl *t = nullptr;
    ASSERT_EQ(ttcalc(nullptr, nullptr, "P", TT_FIRST, &g, &t, &hook), 0);
    TTTime r = *(TTTime *)gettbl(t, 0);
    freetbl(t, nullptr);
    EXPECT_NEAR(r.deriv[0], 0.0, 1e-9);
    EXPECT_LT(r.deriv[1], 0.0);
    g.source.lat = km2deg(1.0);
    ASSERT_EQ(ttcalc(nullptr, nullptr, "P", TT_FIRST, &g, &t, &hook), 0);
    double moved = ((TTTime *)gettbl(t, 0))->value;
    freetbl(t, nullptr);
    EXPECT_NEAR(moved - r.value, r.deriv[1], 2e-4);
}

TEST_F(TravelTimes, DepthDerivativeMatchesFiniteDifferences) {
    for (double z : {5.0, 100.0, 500.0})
        for (double deg : {0.5, 3.0, 40.0, 120.0}) {
            Hit h = first("ak135", "P", z, deg, &hook);
            Hit a = first("ak135", "P", z - 0.05, deg, &hook);
            Hit b = first("ak135", "P", z + 0.05, deg, &hook);
            if (a.phase != h.phase || b.phase != h.phase) continue;
            EXPECT_NEAR((b.t - a.t) / 0.1, h.d[2], 2e-3) << z << " km " << deg << " deg " << h.phase;
        }
    // Straight up: a deeper source arrives later; far away, earlier.
    EXPECT_GT(first("ak135", "P", 100, 0.5, &hook).d[2], 0.0);
    EXPECT_LT(first("ak135", "P", 100, 60, &hook).d[2], 0.0);
}

TEST_F(TravelTimes, ReceiverElevationDelaysTheArrival) {
    std::vector<Hit> flat = calc("iasp91", "P", TT_FIRST, 10, 60, &hook);
    std::vector<Hit> high = calc("iasp91", "P", TT_FIRST, 10, 60, &hook, 2.0);
    std::vector<Hit> low = calc("iasp91", "P", TT_FIRST, 10, 60, &hook, -1.0);
    ASSERT_EQ(flat.size(), 1u);
    ASSERT_EQ(high.size(), 1u);
    ASSERT_EQ(low.size(), 1u);
    // 2 km at 5.8 km/s with the ray's incidence at the surface.
    double q = std::sqrt(1 / (5.8 * 5.8) - std::pow(flat[0].p / 111.19, 2));
    EXPECT_NEAR(high[0].t - flat[0].t, 2 * q, 2e-3);
    EXPECT_NEAR(flat[0].t - low[0].t, 1 * q, 2e-3);
}

TEST_F(TravelTimes, HeightsAtZeroDistanceNeverGiveNegativeTimes) {
    // A grazing ray: the height correction cancels to rounding and must not
    // go below zero (found by fuzzing with a source a hair above the surface).
    for (double z : {-4.65661e-10, -1e-6, -0.5}) {
        TTGeometry g = {};
        g.source.z = z;
        Tbl *t = nullptr;
        ASSERT_EQ(ttcalc(nullptr, "iasp91", "P,S", TT_ALL, &g, &t, &hook), 0);
        for (long i = 0; i < maxtbl(t); i++) EXPECT_GE(((TTTime *)gettbl(t, i))->value, 0.0) << z;
        freetbl(t, nullptr);
    }
}

// ------------------------------------------------------------ lists, modes, models

TEST_F(TravelTimes, AllArrivalsSortedWithCorePhases) {
    std::vector<Hit> v = calc("ak135", "P", TT_ALL, 0, 150, &hook);
    std::vector<std::string> names;
    for (const Hit &h : v) names.push_back(h.phase);
    for (const char *want : {"Pdiff", "PKPdf", "PKPbc", "PKPab", "PKiKP"})
        EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
    for (size_t i = 1; i < v.size(); i++) EXPECT_LE(v[i - 1].t, v[i].t);
    // Named phases select their branches only.
    std::vector<Hit> k = calc("ak135", "SKS,ScS", TT_ALL, 0, 90, &hook);
    ASSERT_GE(k.size(), 2u);
    for (const Hit &h : k) EXPECT_TRUE(h.phase == "SKSac" || h.phase == "ScS") << h.phase;
    std::vector<Hit> c = calc("ak135", "PcP", TT_ALL, 0, 40, &hook);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_GT(c[0].t, first("ak135", "P", 0, 40, &hook).t);
}

TEST_F(TravelTimes, DepthPhasesFollowTheDirectWave) {
    // pP - P grows with depth, about twice the vertical time above the source.
    double lag100 = first("iasp91", "pP", 100, 40, &hook).t - first("iasp91", "P", 100, 40, &hook).t;
    double lag300 = first("iasp91", "pP", 300, 40, &hook).t - first("iasp91", "P", 300, 40, &hook).t;
    EXPECT_GT(lag100, 20.0);
    EXPECT_LT(lag100, 27.0);
    EXPECT_GT(lag300, 2.5 * lag100);
    Hit ss = first("iasp91", "sS", 100, 40, &hook);
    EXPECT_EQ(ss.phase, "sS");
    EXPECT_GT(ss.t, first("iasp91", "S", 100, 40, &hook).t + 35.0);
    // The reflected leg lengthens with depth.
    EXPECT_GT(first("iasp91", "pP", 100, 40, &hook).d[2], 0.0);
    // No depth phase from a surface source.
    EXPECT_TRUE(calc("iasp91", "pP", TT_ALL, 0, 40, &hook).empty());
}

TEST_F(TravelTimes, FirstModeGivesOnePerEntry) {
    std::vector<Hit> v = calc("iasp91", "S P", TT_FIRST, 0, 50, &hook);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].phase, "P");
    EXPECT_EQ(v[1].phase, "S");
    // Null and empty lists mean P and S.
    EXPECT_EQ(calc("iasp91", nullptr, TT_FIRST, 0, 50, &hook).size(), 2u);
    EXPECT_EQ(calc("iasp91", "", TT_FIRST, 0, 50, &hook).size(), 2u);
    // A phase absent at that distance gives an empty list, not a failure.
    TTGeometry g = {};
    g.receiver.lon = 20;
    Tbl *t = nullptr;
    ASSERT_EQ(ttcalc(nullptr, nullptr, "PKPab", TT_FIRST, &g, &t, &hook), 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(maxtbl(t), 0);
    freetbl(t, nullptr);
}

TEST_F(TravelTimes, DefaultsAndModels) {
    TTGeometry g = {};
    g.receiver.lon = 35;
    g.source.z = 10;
    Tbl *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(ttcalc(nullptr, nullptr, "P", TT_FIRST, &g, &a, &hook), 0);
    ASSERT_EQ(ttcalc("", "IASP91", "P", TT_FIRST, &g, &b, &hook), 0);
    ASSERT_EQ(ttcalc("taup", "ak135", "P", TT_FIRST, &g, &c, &hook), 0);
    double ta = ((TTTime *)gettbl(a, 0))->value;
    EXPECT_EQ(ta, ((TTTime *)gettbl(b, 0))->value);
    EXPECT_NEAR(((TTTime *)gettbl(c, 0))->value - ta, 412.51 - 412.43, 0.03);
    freetbl(a, nullptr);
    freetbl(b, nullptr);
    freetbl(c, nullptr);
}

TEST_F(TravelTimes, ExpressionFunctionsUseIasp91FirstArrivals) {
    EXPECT_NEAR(tt_ptime(35, 10), first("iasp91", "P", 10, 35, &hook).t, 1e-9);
    EXPECT_NEAR(tt_stime(35, 10), first("iasp91", "S", 10, 35, &hook).t, 1e-9);
    EXPECT_EQ(tt_ptime(-1, 10), -1.0);
    EXPECT_EQ(tt_ptime(10, 5000), -1.0);
    EXPECT_EQ(tt_stime(175, 10), -1.0);
    EXPECT_EQ(tt_ptime(NAN, 10), -1.0);
}

// ------------------------------------------------------------ bad input, hooks

TEST_F(TravelTimes, BadArgumentsFailWithAMessage) {
    TTGeometry g = {};
    g.receiver.lon = 10;
    Tbl *t = (Tbl *)&g;
    struct Case {
        const char *method, *model, *phases;
        int mode;
        const char *msg;
    } cases[] = {
        {"other", nullptr, "P", 1, "unknown method"},
        {nullptr, "prem", "P", 1, "unknown model"},
        {nullptr, nullptr, "P,Q", 1, "unknown phase \"Q\""},
        {nullptr, nullptr, "P", 7, "unknown mode"},
    };
    for (const Case &c : cases) {
        elog_clear_register(0);
        EXPECT_EQ(ttcalc(c.method, c.model, c.phases, c.mode, &g, &t, &hook), -1);
        EXPECT_EQ(t, nullptr);
        EXPECT_TRUE(rzvtest::has_message(c.msg)) << c.msg << ": " << rzvtest::all_messages();
    }
    EXPECT_EQ(ttcalc(nullptr, nullptr, "P", 1, nullptr, &t, &hook), -1);
    EXPECT_EQ(ttcalc(nullptr, nullptr, "P", 1, &g, nullptr, &hook), -1);
    TTGeometry bad = g;
    bad.source.z = 3000;
    EXPECT_EQ(ttcalc(nullptr, nullptr, "P", 1, &bad, &t, &hook), -1);
    EXPECT_TRUE(rzvtest::has_message("source depth"));
    bad = g;
    bad.receiver.lat = NAN;
    EXPECT_EQ(ttcalc(nullptr, nullptr, "P", 1, &bad, &t, &hook), -1);
    bad = g;
    bad.source.lat = 91;
    EXPECT_EQ(ttcalc(nullptr, nullptr, "P", 1, &bad, &t, &hook), -1);
    bad = g;
    bad.receiver.z = 50;
    EXPECT_EQ(ttcalc(nullptr, nullptr, "P", 1, &bad, &t, &hook), -1);
    EXPECT_TRUE(rzvtest::has_message("receiver depth"));
    elog_clear_register(0);
}

TEST_F(TravelTimes, HookIsReusedAndForeignHooksRefused) {
    Hit a = first("iasp91", "P", 33, 50, &hook);
    ASSERT_NE(hook, nullptr);
    Hook *same = hook;
    Hit b = first("iasp91", "P", 33, 50, &hook);
    EXPECT_EQ(hook, same);
    EXPECT_EQ(a.t, b.t);
    // Without a hook the answer is the same.
    EXPECT_EQ(first("iasp91", "P", 33, 50, nullptr).t, a.t);
    // Many depths: older tables give way, answers stay right.
    for (int i = 0; i < 40; i++) first("iasp91", "P", i * 10.0, 50, &hook);
    EXPECT_EQ(first("iasp91", "P", 33, 50, &hook).t, a.t);
    Hook *other = new_hook(nullptr);
    TTGeometry g = {};
    Tbl *t = nullptr;
    elog_clear_register(0);
    EXPECT_EQ(ttcalc(nullptr, nullptr, "P", 1, &g, &t, &other), -1);
    EXPECT_TRUE(rzvtest::has_message("hook"));
    free_hook(&other);
    elog_clear_register(0);
}

TEST_F(TravelTimes, ThreadsShareTheModelsSafely) {
    std::vector<double> got(4, 0);
    std::vector<std::thread> th;
    for (int i = 0; i < 4; i++)
        th.emplace_back([i, &got] {
            Hook *h = nullptr;
            double s = 0;
            for (int k = 0; k < 50; k++) s += first(i % 2 ? "ak135" : "iasp91", "P", 10.0 * k, 30, &h).t;
            s += tt_ptime(30, 100);
            got[i] = s;
            free_hook(&h);
        });
    for (auto &t : th) t.join();
    EXPECT_EQ(got[0], got[2]);
    EXPECT_EQ(got[1], got[3]);
    EXPECT_NE(got[0], got[1]);
}

}  // namespace
