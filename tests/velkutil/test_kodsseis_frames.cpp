// Rotation of a data source's channels checked in the frames analysts use:
// radial and transverse from a back-azimuth, the vertical and its reverse,
// a sensor on a day boundary of its channel epochs, inputs that start on
// different samples, and gaps in the channel that makes the output rows.
// The expected values are written with the textbook formulas, not with the
// direction vectors of the implementation.
#include <cmath>

#include "test_kodsseis_fixture.h"

namespace {

using namespace kodsseis_test;

const double kPi = 3.14159265358979323846;
const double d2r = kPi / 180.0;
const int N = 300;

// Ground motion at sample i: east, north and up.
double ge(int i) { return 2.0 * sin(2 * kPi * 0.31 * i * 0.1) + 0.25; }
double gn(int i) { return -1.5 * cos(2 * kPi * 0.17 * i * 0.1 + 0.4); }
double gu(int i) { return 0.8 * sin(2 * kPi * 0.53 * i * 0.1 - 1.0); }

std::vector<float> series(double (*f)(int), double sign = 1.0, int from = 0, int count = N) {
    std::vector<float> v;
    for (int i = from; i < from + count; i++) v.push_back((float)(sign * f(i)));
    return v;
}

class Frames : public SourceDb {
protected:
    KODsseis *scg = nullptr;

    void chan(const char *c, double hang, double vang, const std::vector<float> &v, double t = T0) {
        add_wf("AAK", c, t, v);
        add_sensor("AAK", c, T0 - 86400, 9999999999.999, -1);
        add_sitechan("AAK", c, hang, vang);
    }
    void open() {
        ASSERT_EQ(create({tstr(T0 - 60), tstr(T0 + 3600), "-orient", "1"}, &scg), 0) << rzvtest::all_messages();
    }
    int rot(double strike, double dip, int *nsegs, const char *gap = nullptr) {
        return dsseis_getchannel(scg->dbsc, nullptr, nullptr, nullptr, 0, 0, (char *)gap, 0, (char *)"R", strike, dip,
                                 nullptr, nsegs, &tr);
    }
    // Largest error of row r against want(i) for the samples from `from`,
    // relative to the largest wanted value.
    template <class F>
    double rel_err(long r, F want, int from = 0) {
        std::vector<float> got = samples(r);
        double err = 0, scale = 0;
        for (size_t i = 0; i < got.size(); i++) {
            double w = want(from + (int)i);
            err = std::max(err, fabs(got[i] - w));
            scale = std::max(scale, fabs(w));
        }
        return got.empty() || scale == 0 ? 1.0 : err / scale;
    }
};

TEST_F(Frames, RadialAndTransverseFromBackAzimuth) {
    chan("BHE", 90, 90, series(ge));
    chan("BHN", 0, 90, series(gn));
    open();
    for (double baz : {0.0, 30.0, 123.0, 250.0, 341.0}) {
        double b = baz * d2r;
        // radial points away from the source, transverse 90 degrees
        // clockwise from it (the usual right-handed R, T, Z)
        auto radial = [&](int i) { return -ge(i) * sin(b) - gn(i) * cos(b); };
        auto transverse = [&](int i) { return -ge(i) * cos(b) + gn(i) * sin(b); };
        int nsegs = 0;
        ASSERT_EQ(rot(baz + 180.0, 0, &nsegs), 0) << rzvtest::all_messages();
        ASSERT_EQ(nsegs, 1);
        EXPECT_LT(rel_err(tr.record, radial), 1e-5) << baz;
        ASSERT_EQ(rot(baz + 270.0, 0, &nsegs), 0);
        EXPECT_LT(rel_err(tr.record, transverse), 1e-5) << baz;
    }
}

TEST_F(Frames, VerticalUpDownAndAReversedVertical) {
    // the vertical sensor is mounted upside down: vang 180 records -up
    chan("BHE", 90, 90, series(ge));
    chan("BHN", 0, 90, series(gn));
    chan("BHZ", 0, 180, series(gu, -1.0));
    open();
    int nsegs = 0;
    ASSERT_EQ(rot(0, -90, &nsegs), 0) << rzvtest::all_messages();  // straight up
    EXPECT_LT(rel_err(tr.record, gu), 1e-5);
    EXPECT_EQ(num(tr.record, "vang"), 0.0);
    ASSERT_EQ(rot(77, 90, &nsegs), 0);  // straight down, whatever the strike
    EXPECT_LT(rel_err(tr.record, [](int i) { return -gu(i); }), 1e-5);
    EXPECT_EQ(num(tr.record, "vang"), 180.0);
    // down-dip along strike 200, 35 degrees below the horizontal: the
    // horizontal part scaled by cos 35, minus sin 35 of the upward motion
    ASSERT_EQ(rot(200, 35, &nsegs), 0);
    double s = 200 * d2r, c = cos(35 * d2r), z = sin(35 * d2r);
    EXPECT_LT(rel_err(tr.record, [&](int i) { return c * (ge(i) * sin(s) + gn(i) * cos(s)) - z * gu(i); }), 1e-5);
}

TEST_F(Frames, InputsStartingOnDifferentSamplesStayAligned) {
    // north starts 7 samples after east, up 4 samples before it (and so
    // ends 4 samples before east's end): where all
    // three have data the output is the exact projection, on east's times
    chan("BHE", 90, 90, series(ge, 1.0, 0, N));
    chan("BHN", 0, 90, series(gn, 1.0, 7, N - 7), T0 + 0.7);
    chan("BHZ", 0, 0, series(gu, 1.0, -4, N), T0 - 0.4);
    open();
    int nsegs = 0;
    // strike 80, dip 5: east has the largest factor and makes the rows
    ASSERT_EQ(rot(80, 5, &nsegs, "leave"), 0) << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 1);
    double t = 0;
    std::vector<float> got = samples(tr.record, &t);
    EXPECT_NEAR(t, T0 + 0.7, 1e-6);  // the samples before north are gaps
    EXPECT_EQ(got.size(), (size_t)N - 7 - 4);  // and after up ends
    double s = 80 * d2r, c = cos(5 * d2r), z = sin(5 * d2r);
    EXPECT_LT(rel_err(tr.record, [&](int i) { return c * (ge(i) * sin(s) + gn(i) * cos(s)) - z * gu(i); }, 7),
              1e-5);
}

TEST_F(Frames, GapsInTheOutputChannelWhateverTheFactor) {
    // the north channel makes the rows (strike near north or south); its
    // gap markers stay gaps even when its factor is negative
    std::vector<float> north = series(gn);
    for (int i = 100; i < 110; i++) north[(size_t)i] = 1e30f;
    chan("BHE", 90, 90, series(ge));
    chan("BHN", 0, 90, north);
    open();
    for (double strike : {5.0, 185.0}) {
        int nsegs = 0;
        ASSERT_EQ(rot(strike, 0, &nsegs, "leave"), 0) << rzvtest::all_messages();
        ASSERT_EQ(nsegs, 2) << strike;
        double s = strike * d2r, t = 0;
        auto want = [&](int i) { return ge(i) * sin(s) + gn(i) * cos(s); };
        EXPECT_EQ(samples(tr.record).size(), 100u);
        EXPECT_LT(rel_err(tr.record, want), 1e-5);
        EXPECT_EQ(samples(tr.record + 1, &t).size(), (size_t)N - 110);
        EXPECT_NEAR(t, T0 + 11.0, 1e-6);
        EXPECT_LT(rel_err(tr.record + 1, want, 110), 1e-5);
    }
}

TEST_F(Frames, SensorStartingOnADayBoundaryTakesTheNewEpoch) {
    // channel epochs without ids: east turned from 90 to 95 degrees on day
    // 2020032 (T0 is its first second), north from 0 to 5
    const long day = 2020032;
    auto sc = [&](const char *c, long on, long off, double hang) {
        EXPECT_GE(dbaddv(sitechan, nullptr, "sta", "AAK", "chan", c, "ondate", on, "offdate", off, "chanid", -1L,
                         "hang", hang, "vang", 90.0, (char *)0),
                  0);
    };
    sc("BHE", 2019001, day - 1, 90.0);
    sc("BHE", day, -1, 95.0);
    sc("BHN", 2019001, day - 1, 0.0);
    sc("BHN", day, -1, 5.0);
    // sensors: the first epoch ends a millisecond before midnight, the
    // second begins exactly at it
    for (const char *c : {"BHE", "BHN"}) {
        add_sensor("AAK", c, T0 - 86400, T0 - 0.001, -1);
        add_sensor("AAK", c, T0, 9999999999.999, -1);
    }
    // the recordings of the rotated sensors
    std::vector<float> e, n;
    for (int i = 0; i < N; i++) {
        double h1 = 95 * d2r, h2 = 5 * d2r;
        e.push_back((float)(ge(i) * sin(h1) + gn(i) * cos(h1)));
        n.push_back((float)(ge(i) * sin(h2) + gn(i) * cos(h2)));
    }
    add_wf("AAK", "BHE", T0, e);
    add_wf("AAK", "BHN", T0, n);
    open();
    int nsegs = 0;
    ASSERT_EQ(rot(90, 0, &nsegs), 0) << rzvtest::all_messages();
    ASSERT_EQ(nsegs, 1);
    EXPECT_LT(rel_err(tr.record, ge), 1e-5);
    ASSERT_EQ(rot(0, 0, &nsegs), 0);
    EXPECT_LT(rel_err(tr.record, gn), 1e-5);
}

}  // namespace
