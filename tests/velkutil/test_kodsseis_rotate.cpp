// Rotation of two or three orthogonal channels of a data source into one
// channel of any strike and dip, checked against exact answers: the
// projection of a known ground motion onto the target direction.
#include <cmath>

#include "test_kodsseis_fixture.h"

namespace {

using namespace kodsseis_test;
using rzvtest::has_message;

const double d2r = 3.14159265358979323846 / 180.0;
const int N = 200;

// Ground motion (east, north, up) at sample i.
void motion(int i, double *e, double *n, double *u) {
    double t = i * 0.1;
    *e = 3.0 * sin(2 * 3.14159265358979 * 0.7 * t) + 0.5;
    *n = 2.0 * cos(2 * 3.14159265358979 * 1.3 * t) - 1.0;
    *u = 1.5 * sin(2 * 3.14159265358979 * 0.4 * t + 0.3);
}

double project(int i, double hang, double vang) {
    double e, n, u;
    motion(i, &e, &n, &u);
    double h = hang * d2r, v = vang * d2r;
    return e * sin(v) * sin(h) + n * sin(v) * cos(h) + u * cos(v);
}

std::vector<float> channel(double hang, double vang, int from = 0, int count = N) {
    std::vector<float> out;
    for (int i = from; i < from + count; i++) out.push_back((float)project(i, hang, vang));
    return out;
}

class Rotation : public SourceDb {
protected:
    KODsseis *scg = nullptr;

    // Adds channel chan of AAK recording the motion along (hang, vang).
    void comp(const char *chan, double hang, double vang, double rate = 10.0) {
        add_wf("AAK", chan, T0, channel(hang, vang), rate);
        add_sensor("AAK", chan, T0 - 86400, 9999999999.999, -1);
        add_sitechan("AAK", chan, hang, vang);
    }
    void open_source() {
        ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-orient", "1"}, &scg), 0) << rzvtest::all_messages();
    }
    int rotate(double strike, double dip, int *nsegs, const char *gap = nullptr) {
        return dsseis_getchannel(scg->dbsc, nullptr, (char *)"AAK", nullptr, 0, 0, (char *)gap, 0, (char *)"R",
                                 strike, dip, nullptr, nsegs, &tr);
    }
    // Largest relative error of segment row r against the target direction.
    double worst(long r, double strike, double dip, int from = 0) {
        std::vector<float> got = samples(r);
        double hang = strike, vang = 90.0 + dip;
        double err = 0, scale = 0;
        for (size_t i = 0; i < got.size(); i++) {
            double want = project(from + (int)i, hang, vang);
            err = std::max(err, fabs(got[i] - want));
            scale = std::max(scale, fabs(want));
        }
        return got.empty() ? 1.0 : err / scale;
    }
};

TEST_F(Rotation, HorizontalPairToAnyStrike) {
    comp("BHE", 90, 90);
    comp("BHN", 0, 90);
    open_source();
    for (double strike : {0.0, 30.0, 45.0, 90.0, 135.0, 200.0, 271.0, 359.0}) {
        int nsegs = 0;
        ASSERT_EQ(rotate(strike, 0, &nsegs), 0) << strike << rzvtest::all_messages();
        ASSERT_EQ(nsegs, 1);
        EXPECT_LT(worst(tr.record, strike, 0), 1e-5) << strike;
        EXPECT_EQ(samples(tr.record).size(), (size_t)N);
        EXPECT_EQ(field(tr.record, "chan"), "R");
        EXPECT_EQ(field(tr.record, "datatype"), "t4");
        EXPECT_EQ(num(tr.record, "hang"), strike);
        EXPECT_EQ(num(tr.record, "vang"), 90.0);
    }
    // strike 90: the east channel itself, sample for sample
    int nsegs = 0;
    ASSERT_EQ(rotate(90, 0, &nsegs), 0);
    std::vector<float> east = channel(90, 90);
    EXPECT_EQ(samples(tr.record), east);
    // the inputs are gone from the table: earlier results and this one only
    EXPECT_EQ(count(tr), tr.field);
}

TEST_F(Rotation, ThreeComponentsToADippingDirection) {
    comp("BHZ", 0, 0);
    comp("BHN", 0, 90);
    comp("BHE", 90, 90);
    open_source();
    for (double dip : {-90.0, -30.0, 10.0, 45.0, 80.0}) {
        int nsegs = 0;
        ASSERT_EQ(rotate(120, dip, &nsegs), 0) << rzvtest::all_messages();
        ASSERT_EQ(nsegs, 1);
        EXPECT_LT(worst(tr.record, 120, dip), 1e-5) << dip;
        EXPECT_EQ(num(tr.record, "vang"), 90.0 + dip);
    }
}

TEST_F(Rotation, ChannelsOffNominalUseTheirOwnAngles) {
    // a north channel at 2 degrees and its east partner at 92
    comp("BH1", 2, 90);
    comp("BH2", 92, 90);
    comp("BHZ", 0, 0);
    open_source();
    for (double strike : {0.0, 2.0, 60.0, 92.0, 250.0}) {
        int nsegs = 0;
        ASSERT_EQ(rotate(strike, 0, &nsegs), 0) << rzvtest::all_messages();
        EXPECT_LT(worst(tr.record, strike, 0), 1e-5) << strike;
    }
    int nsegs = 0;
    ASSERT_EQ(rotate(30, 25, &nsegs), 0);
    EXPECT_LT(worst(tr.record, 30, 25), 1e-5);
}

TEST_F(Rotation, GapInOneInputIsSplitAway) {
    // east complete; north in two rows with samples 80..119 missing
    add_wf("AAK", "BHE", T0, channel(90, 90));
    add_wf("AAK", "BHN", T0, channel(0, 90, 0, 80));
    add_wf("AAK", "BHN", T0 + 12.0, channel(0, 90, 120, 80));
    add_sitechan("AAK", "BHE", 90, 90);
    add_sitechan("AAK", "BHN", 0, 90);
    add_sensor("AAK", "BHE", T0 - 10, T0 + 86400, -1);
    add_sensor("AAK", "BHN", T0 - 10, T0 + 86400, -1);
    open_source();
    int nsegs = 0;
    // equal factors: the first channel (BHE) is the reference
    ASSERT_EQ(rotate(45, 0, &nsegs), 0) << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 2);
    double t = 0;
    EXPECT_EQ(samples(tr.record, &t).size(), 80u);
    EXPECT_DOUBLE_EQ(t, T0);
    EXPECT_LT(worst(tr.record, 45, 0), 1e-5);
    EXPECT_EQ(samples(tr.record + 1, &t).size(), 80u);
    EXPECT_NEAR(t, T0 + 12.0, 1e-6);
    EXPECT_LT(worst(tr.record + 1, 45, 0, 120), 1e-5);
    for (long r = tr.record; r < tr.field; r++)
        for (float x : samples(r)) EXPECT_LT(fabs(x), 1e29);
}

TEST_F(Rotation, GapMarkersInsideARowAreGaps) {
    // loaded as they are ("leave"): gap markers in the north samples 50..59
    // (the trace library's) and a NaN at 120 make gaps, split away
    std::vector<float> north = channel(0, 90);
    for (int i = 50; i < 60; i++) north[(size_t)i] = 1e30f;
    north[120] = std::nanf("");
    comp("BHE", 90, 90);
    add_wf("AAK", "BHN", T0, north);
    add_sitechan("AAK", "BHN", 0, 90);
    add_sensor("AAK", "BHN", T0 - 10, T0 + 86400, -1);
    open_source();
    int nsegs = 0;
    ASSERT_EQ(rotate(60, 0, &nsegs, "leave"), 0) << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 3);
    double t = 0;
    EXPECT_EQ(samples(tr.record).size(), 50u);
    EXPECT_EQ(samples(tr.record + 1, &t).size(), 60u);
    EXPECT_NEAR(t, T0 + 6.0, 1e-6);
    EXPECT_LT(worst(tr.record + 1, 60, 0, 60), 1e-5);
    EXPECT_EQ(samples(tr.record + 2).size(), 79u);
}

TEST_F(Rotation, InputStartingJustAfterTakesItsFirstSample) {
    // north starts 0.05 intervals late: still sample for sample
    add_wf("AAK", "BHE", T0, channel(90, 90));
    add_wf("AAK", "BHN", T0 + 0.005, channel(0, 90));
    add_sitechan("AAK", "BHE", 90, 90);
    add_sitechan("AAK", "BHN", 0, 90);
    add_sensor("AAK", "BHE", T0 - 10, T0 + 86400, -1);
    add_sensor("AAK", "BHN", T0 - 10, T0 + 86400, -1);
    open_source();
    int nsegs = 0;
    ASSERT_EQ(rotate(45, 0, &nsegs, "leave"), 0) << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 1);
    EXPECT_EQ(samples(tr.record).size(), (size_t)N);
    EXPECT_LT(worst(tr.record, 45, 0), 1e-5);
}

TEST_F(Rotation, InputNearlyHalfASampleOffTakesTheLaterSample) {
    // north a hair under half an interval late: the first output sample
    // has no input within a tenth of an interval (a gap, split away); every
    // later one takes the north sample a hair under half an interval after
    // it (the rounding of the general case, not the shifted-grid shortcut)
    std::vector<float> east = channel(90, 90), north = channel(0, 90);
    add_wf("AAK", "BHE", T0, east);
    add_wf("AAK", "BHN", T0 + 0.0495, north);
    add_sitechan("AAK", "BHE", 90, 90);
    add_sitechan("AAK", "BHN", 0, 90);
    add_sensor("AAK", "BHE", T0 - 10, T0 + 86400, -1);
    add_sensor("AAK", "BHN", T0 - 10, T0 + 86400, -1);
    open_source();
    int nsegs = 0;
    // strike 50: east has the larger factor and makes the output rows
    ASSERT_EQ(rotate(50, 0, &nsegs, "leave"), 0) << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 1);
    double t = 0;
    std::vector<float> got = samples(tr.record, &t);
    EXPECT_NEAR(t, T0 + 0.1, 1e-6);
    ASSERT_EQ(got.size(), (size_t)N - 1);
    const double fe = sin(50 * d2r), fn = cos(50 * d2r);
    for (size_t i = 0; i < got.size(); i++) {
        float ref = (float)(fe * east[i + 1]);
        float want = ref + (float)(fn * north[i + 1]);
        EXPECT_FLOAT_EQ(got[i], want) << i;
    }
}

TEST_F(Rotation, RefusedInputs) {
    int nsegs = 0;
    comp("BHN", 0, 90);
    open_source();
    elog_clear_register(0);
    EXPECT_EQ(rotate(0, 0, &nsegs), -1);
    EXPECT_TRUE(has_message("getchannel: Cannot rotate with 1 input channels.\n"));

    // a target that is no direction
    comp("BHE", 90, 90);
    open_source();
    EXPECT_EQ(rotate(NAN, 0, &nsegs), -1);
    EXPECT_TRUE(has_message("getchannel: Strike nan and dip 0 are no direction.\n"));

    comp("BH1", 80, 90);  // not orthogonal to BHE (the first pair in row order)
    open_source();
    EXPECT_EQ(rotate(0, 0, &nsegs), -1);
    EXPECT_TRUE(has_message("getchannel: Channels BH1 and BHE are not orthogonal.\n"));

    comp("BHZ", 0, 0);
    comp("HHZ", 0, 0);
    open_source();
    EXPECT_EQ(rotate(0, 0, &nsegs), -1);
    EXPECT_TRUE(has_message("getchannel: Cannot rotate with 5 input channels.\n"));
}

TEST_F(Rotation, DifferentRatesAndUnknownOrientationRefused) {
    comp("BHE", 90, 90, 20.0);
    comp("BHN", 0, 90, 10.0);
    open_source();
    int nsegs = 0;
    EXPECT_EQ(rotate(45, 0, &nsegs), -1);
    EXPECT_TRUE(has_message("getchannel: Channels BHE and BHN have different sample rates (20 and 10).\n"));
    // without the orientation join the angles are unknown
    KODsseis *plain = nullptr;
    ASSERT_EQ(create({tstr(T0), tstr(T0 + 3600), "-sta", "AAK"}, &plain), 0);
    elog_clear_register(0);
    EXPECT_EQ(dsseis_getchannel(plain->dbsc, nullptr, nullptr, nullptr, 0, 0, nullptr, 0, (char *)"R", 0, 0,
                                nullptr, &nsegs, &tr),
              -1);
    EXPECT_TRUE(has_message("getchannel: Channel BHE has no orientation"));
}

}  // namespace
