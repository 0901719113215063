// Moment tensors on the focal sphere: horizon crossings, arcs, nodal loops,
// their stereographic outlines and the fills of the positive lobes.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "komoment.h"
#include "kovector2.h"
#include "rzvtest.h"

#ifndef BB_RANDOM_COUNT
#define BB_RANDOM_COUNT 300
#endif

namespace {

struct P2 {
    double x, y;
};

std::vector<P2> points(char *handle) {
    std::vector<P2> out;
    if (!handle[0]) return out;
    double *xs = nullptr, *ys = nullptr;
    int xsize = 0, ysize = 0, nx = 0, ny = 0;
    EXPECT_EQ(kovector2_get_points(handle, 0, &nx, &ny, &xs, &xsize, &ys, &ysize, nullptr), 0) << handle;
    for (int i = 0; i < nx; i++) out.push_back({xs[i], ys[i]});
    free(xs);
    free(ys);
    return out;
}

// Even-odd inside test.
bool inside(const std::vector<P2> &poly, double x, double y) {
    bool in = false;
    for (size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
        const P2 &a = poly[i], &b = poly[j];
        if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x) in = !in;
    }
    return in;
}

// Upper-hemisphere point whose stereographic image is (x, y).
void unproject(double x, double y, double *q) {
    double r2 = x * x + y * y;
    q[0] = 2 * x / (1 + r2);
    q[1] = 2 * y / (1 + r2);
    q[2] = (1 - r2) / (1 + r2);
}

struct Ball {
    char o1[32] = "", o2[32] = "", f1[32] = "", f2[32] = "", d1[32] = "", d2[32] = "";
    char *all[6] = {o1, o2, f1, f2, d1, d2};
    ~Ball() {
        for (char *h : all)
            if (h[0]) kovector2_free(h);
    }
};

// Every point finite and within the unit circle, every fill closed.
void check_geometry(Ball &b, const std::string &what) {
    SCOPED_TRACE(what);
    for (char *h : b.all) {
        for (const P2 &p : points(h)) {
            ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y)) << h;
            ASSERT_LE(hypot(p.x, p.y), 1 + 1e-9) << h;
        }
    }
    for (char *h : {b.f1, b.f2}) {
        auto pts = points(h);
        if (pts.empty()) continue;
        EXPECT_EQ(pts.front().x, pts.back().x) << h;
        EXPECT_EQ(pts.front().y, pts.back().y) << h;
    }
}

// The fills cover exactly the visible region where the deviatoric
// radiation pattern is positive (away from the nodal curves).
void check_fill(const KOMoment *m, Ball &b, const std::string &what, int nsample = 400) {
    SCOPED_TRACE(what);
    auto p1 = points(b.f1), p2 = points(b.f2);
    double big = std::max(fabs(m->eig1 - m->isotropic), fabs(m->eig3 - m->isotropic));
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(-1, 1);
    int checked = 0, wrong = 0;
    for (int k = 0; k < nsample; k++) {
        double x = u(gen), y = u(gen);
        if (hypot(x, y) > 0.97) continue;
        double q[3];
        unproject(x, y, q);
        double v = m->mxx_d * q[0] * q[0] + m->myy_d * q[1] * q[1] + m->mzz_d * q[2] * q[2] +
                   2 * (m->mxy * q[0] * q[1] + m->mxz * q[0] * q[2] + m->myz * q[1] * q[2]);
        if (fabs(v) < 0.08 * big) continue;
        bool filled = (!p1.empty() && inside(p1, x, y)) != (!p2.empty() && inside(p2, x, y));
        checked++;
        if (filled != (v > 0)) wrong++;
    }
    EXPECT_GT(checked, nsample / 4);
    EXPECT_EQ(wrong, 0) << "of " << checked;
}

// --------------------------------------------------------------- pieces

TEST(KOMomentIntersect, SegmentsAndTheUnitCircle) {
    double xi = 0, yi = 0;
    ASSERT_EQ(komoment_intersect(0, 0, 2, 0, &xi, &yi), 0);
    EXPECT_DOUBLE_EQ(xi, 1);
    EXPECT_DOUBLE_EQ(yi, 0);
    EXPECT_EQ(komoment_intersect(0.5, 0, 0.6, 0, &xi, &yi), -1);
    EXPECT_EQ(komoment_intersect(0.3, 0.3, 0.3, 0.3, &xi, &yi), -1);
    EXPECT_EQ(komoment_intersect(2, 2, 3, 2, &xi, &yi), -1);  // misses the circle
    // From outside in: the first crossing along the way.
    ASSERT_EQ(komoment_intersect(0, 3, 0, -3, &xi, &yi), 0);
    EXPECT_DOUBLE_EQ(yi, 1);
    EXPECT_EQ(komoment_intersect(NAN, 0, 0, 0, &xi, &yi), -1);
    EXPECT_EQ(komoment_intersect(INFINITY, 0, 0, 0, &xi, &yi), -1);
}

class KOMomentArc : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(kovector2_create(1, 1, nullptr, h), nullptr); }
    void TearDown() override { kovector2_free(h); }
    char h[32] = "";
};

TEST_F(KOMomentArc, QuarterCircleTheShortWay) {
    ASSERT_EQ(komoment_make_arc(0, 1, 1, 0, 0, h), 0);
    auto pts = points(h);
    ASSERT_EQ(pts.size(), 18u);
    EXPECT_NEAR(atan2(pts[0].y, pts[0].x), 5 * M_PI / 180, 1e-14);
    EXPECT_NEAR(atan2(pts[16].y, pts[16].x), 85 * M_PI / 180, 1e-14);
    // the accumulated angle lands just below 90 degrees
    double last = atan2(pts[17].y, pts[17].x);
    EXPECT_LT(last, M_PI / 2);
    EXPECT_NEAR(last, M_PI / 2, 1e-12);
}

TEST_F(KOMomentArc, LongWayAndWholeCircle) {
    ASSERT_EQ(komoment_make_arc(0, 1, 1, 0, 1, h), 0);
    auto pts = points(h);
    ASSERT_EQ(pts.size(), 54u);
    EXPECT_NEAR(pts[0].y, -sin(5 * M_PI / 180), 1e-14);  // clockwise
    kovector2_free(h);
    ASSERT_NE(kovector2_create(1, 1, nullptr, h), nullptr);
    ASSERT_EQ(komoment_make_arc(1, 0, 1, 0, 1, h), 0);
    pts = points(h);
    ASSERT_EQ(pts.size(), 72u);
    for (const P2 &p : pts) EXPECT_NEAR(hypot(p.x, p.y), 1, 1e-15);
}

TEST_F(KOMomentArc, ShortArcAddsNothing) {
    ASSERT_EQ(komoment_make_arc(cos(0.05), sin(0.05), 1, 0, 0, h), 0);
    EXPECT_EQ(points(h).size(), 0u);
    elog_clear_register(0);
    EXPECT_EQ(komoment_make_arc(0, 1, 1, 0, 0, (char *)"vect_none"), -1);
    EXPECT_TRUE(rzvtest::has_message("komoment_make_arc: kovector2_append() error."));
    elog_clear_register(0);
}

// --------------------------------------------------------------- loops

// A small circle of 73 points around the axis (0, 0, zc), radius given.
void small_circle(double zc, double radius, double *x, double *y, double *z) {
    for (int i = 0; i < 73; i++) {
        double a = 2 * M_PI * (i % 72) / 72;
        x[i] = sin(radius) * cos(a);
        y[i] = sin(radius) * sin(a);
        z[i] = zc * cos(radius);
    }
}

TEST(KOMomentProjection, WhollyVisibleAndWhollyHiddenLoops) {
    double x[73], y[73], z[73];
    char o[32] = "", f[32] = "";
    int in = 5, out = 5;
    small_circle(1, 0.5, x, y, z);
    ASSERT_EQ(komoment_make_projection(1, 1, x, y, z, o, f, &in, &out), 0);
    EXPECT_EQ(in, -1);
    EXPECT_EQ(out, -1);
    auto pts = points(o);
    ASSERT_EQ(pts.size(), 73u);
    EXPECT_EQ(pts.front().x, pts.back().x);
    EXPECT_NEAR(hypot(pts[10].x, pts[10].y), tan(0.25), 1e-14);  // r = tan(angle / 2)
    EXPECT_EQ(points(f).size(), 73u);
    std::string old_o = o, old_f = f;

    // The same loop seen from below is hidden: both buffers end up empty
    // and the earlier vectors are gone.
    ASSERT_EQ(komoment_make_projection(0, 1, x, y, z, o, f, &in, &out), 0);
    EXPECT_STREQ(o, "");
    EXPECT_STREQ(f, "");
    elog_clear_register(0);
    EXPECT_EQ(kovector2_get_vector((char *)old_o.c_str()), nullptr);
    EXPECT_EQ(kovector2_get_vector((char *)old_f.c_str()), nullptr);
    elog_clear_register(0);
}

TEST(KOMomentProjection, CrossingLoopStartsItsOutlineAtTheEntry) {
    // A circle around a horizontal axis crosses the horizon twice.
    double x[73], y[73], z[73];
    for (int i = 0; i < 73; i++) {
        double a = 2 * M_PI * (i % 72) / 72 + 0.3;
        double r = 0.6;
        x[i] = cos(r);
        y[i] = sin(r) * cos(a);
        z[i] = sin(r) * sin(a);
    }
    char o[32] = "", f[32] = "";
    int in = 0, out = 0;
    ASSERT_EQ(komoment_make_projection(1, 1, x, y, z, o, f, &in, &out), 0);
    auto op = points(o), fp = points(f);
    ASSERT_GT(op.size(), 10u);
    // starts and ends on the horizon
    EXPECT_NEAR(hypot(op.front().x, op.front().y), 1, 1e-9);
    EXPECT_NEAR(hypot(op.back().x, op.back().y), 1, 1e-9);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    EXPECT_NEAR(fp[(size_t)in].x, op.front().x, 1e-15);
    EXPECT_NEAR(fp[(size_t)out].y, op.back().y, 1e-15);
    EXPECT_EQ(fp.front().x, fp.back().x);
    EXPECT_EQ(fp.front().y, fp.back().y);
    // the fill is the visible part of the cap
    EXPECT_TRUE(inside(fp, 0.85, 0));
    EXPECT_FALSE(inside(fp, 0.3, 0));
    kovector2_free(o);
    kovector2_free(f);
}

TEST(KOMomentProjection, PointOppositeTheCentre) {
    // A loop through the nadir whose next point is already visible: the
    // nadir has no projection; the crossing is found on the sphere.
    for (double dx : {0.0, 1e-17, -3e-17}) {
        double x[73], y[73], z[73];
        small_circle(1, 0.4, x, y, z);
        x[0] = x[72] = dx;
        y[0] = y[72] = 0;
        z[0] = z[72] = -1;
        char o[32] = "", f[32] = "";
        int in = -1, out = -1;
        ASSERT_EQ(komoment_make_projection(1, 1, x, y, z, o, f, &in, &out), 0);
        auto op = points(o), fp = points(f);
        for (auto *v : {&op, &fp})
            for (const P2 &p : *v) {
                ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
                ASSERT_LE(hypot(p.x, p.y), 1 + 1e-9);
            }
        ASSERT_GE(in, 0) << dx;
        ASSERT_GE(out, 0);
        // Entry: along the great circle from the nadir to point 1, which
        // meets the horizon in the direction of point 1.
        double a1 = atan2(y[1], x[1]), a71 = atan2(y[71], x[71]);
        EXPECT_NEAR(atan2(op.front().y, op.front().x), a1, 1e-9);
        EXPECT_NEAR(atan2(op.back().y, op.back().x), a71, 1e-9);
        EXPECT_EQ(fp.front().x, fp.back().x);
        kovector2_free(o);
        kovector2_free(f);
    }
}

TEST(KOMomentProjection, RejectsBadArguments) {
    double x[73] = {}, y[73] = {}, z[73] = {};
    char o[32] = "", f[32] = "";
    elog_clear_register(0);
    EXPECT_EQ(komoment_make_projection(1, 1, x, y, z, o, nullptr, nullptr, nullptr), -1);
    z[3] = NAN;
    EXPECT_EQ(komoment_make_projection(1, 0, x, y, z, o, nullptr, nullptr, nullptr), -1);
    EXPECT_TRUE(rzvtest::has_message("komoment_make_projection: loop points missing or not finite."));
    EXPECT_EQ(komoment_make_nodal_projections(NAN, 0, 1, nullptr, 1, 0, o, f, nullptr, nullptr), -1);
    elog_clear_register(0);
}

// --------------------------------------------------------------- double couples

TEST(KOMomentDC, UnrotatedPlanes) {
    char a[32] = "", b[32] = "";
    ASSERT_EQ(komoment_make_DC_projections(nullptr, 1, a, b), 0);
    auto near_point = [](const std::vector<P2> &pts, double x, double y) {
        double best = 1e9;
        for (const P2 &p : pts) best = std::min(best, hypot(p.x - x, p.y - y));
        return best;
    };
    auto pa = points(a), pb = points(b);
    const double s = sqrt(2.0) - 1;
    EXPECT_LT(near_point(pa, 0, 1), 1e-12);
    EXPECT_LT(near_point(pa, s, 0), 1e-12);
    EXPECT_LT(near_point(pa, 0, -1), 1e-12);
    EXPECT_LT(near_point(pb, 0, 1), 1e-12);
    EXPECT_LT(near_point(pb, -s, 0), 1e-12);
    EXPECT_LT(near_point(pb, 0, -1), 1e-12);
    // all of loop 1 on the image of z = x, all of loop 2 on that of z = -x
    for (const P2 &p : pa) {
        double q[3];
        unproject(p.x, p.y, q);
        EXPECT_NEAR(q[2], q[0], 1e-12);
    }
    for (const P2 &p : pb) {
        double q[3];
        unproject(p.x, p.y, q);
        EXPECT_NEAR(q[2], -q[0], 1e-12);
    }
    // the lower hemisphere shows the other halves of the same planes
    ASSERT_EQ(komoment_make_DC_projections(nullptr, 0, a, b), 0);
    EXPECT_LT(near_point(points(a), s, 0), 1e-12);
    EXPECT_LT(near_point(points(b), -s, 0), 1e-12);
    kovector2_free(a);
    kovector2_free(b);
}

TEST(KOMomentDC, RotatedDoubleCoupleFollowsItsPlanes) {
    // Rotation: 30 degrees about z, then 50 degrees about the new x.
    const double c1 = cos(0.5236), s1 = sin(0.5236), c2 = cos(0.8727), s2 = sin(0.8727);
    const double rz[3][3] = {{c1, -s1, 0}, {s1, c1, 0}, {0, 0, 1}};
    const double rx[3][3] = {{1, 0, 0}, {0, c2, -s2}, {0, s2, c2}};
    double r[9];
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            r[i * 3 + j] = 0;
            for (int k = 0; k < 3; k++) r[i * 3 + j] += rz[i][k] * rx[k][j];
        }
    // Plane normals: the planes z = x and z = -x of the principal frame,
    // whose normals (1, 0, -1) and (1, 0, 1) are carried by the rotation.
    double na[3], nb[3];
    for (int i = 0; i < 3; i++) {
        na[i] = (r[i * 3 + 0] - r[i * 3 + 2]) / sqrt(2.0);
        nb[i] = (r[i * 3 + 0] + r[i * 3 + 2]) / sqrt(2.0);
    }
    char a[32] = "", b[32] = "";
    ASSERT_EQ(komoment_make_DC_projections(r, 1, a, b), 0);
    int on_a = 0, on_b = 0;
    for (char *h : {a, b}) {
        for (const P2 &p : points(h)) {
            ASSERT_LE(hypot(p.x, p.y), 1 + 1e-9);
            double q[3];
            unproject(p.x, p.y, q);
            double da = fabs(q[0] * na[0] + q[1] * na[1] + q[2] * na[2]);
            double db = fabs(q[0] * nb[0] + q[1] * nb[1] + q[2] * nb[2]);
            // horizon crossings included: they lie on the great circles too
            EXPECT_LT(std::min(da, db), 1e-9) << p.x << " " << p.y;
            if (da < 1e-9) on_a++;
            if (db < 1e-9) on_b++;
        }
    }
    EXPECT_GT(on_a, 20);
    EXPECT_GT(on_b, 20);
    kovector2_free(a);
    kovector2_free(b);
}

// --------------------------------------------------------------- beach balls

TEST(KOMomentBeachBall, KnownMechanismsFillTheirPositiveLobes) {
    const double cases[][6] = {
        {1, -1, 0, 0, 0, 0},   {0, 0, 0, 1, 0, 0},    {0, 0, 0, 0, 1, 0},  // horizontal nodal plane
        {0, 0, 0, 0, 0, 1},    {1, 0, -1, 0, 0, 0},   {-1, -1, 2, 0, 0, 0},  // vertical T, CLVD
        {1, 1, -2, 0, 0, 0},   {2, -1, -1, 0, 0.3, 0}, {0, 0, 0, 0.5, 0.5, 0.5},
        {0.3, -1, 0.7, 0.2, 0.5, -0.4}, {1e19, -3e18, -7e18, 2e18, -4e18, 1e18},
    };
    int n = 0;
    for (const auto &c : cases) {
        char h[32] = "";
        KOMoment *m = komoment_create(c[0], c[1], c[2], c[3], c[4], c[5], nullptr, h);
        ASSERT_NE(m, nullptr);
        Ball b;
        ASSERT_EQ(komoment_compute_bb(h, b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), 0);
        std::string what = "case " + std::to_string(n++);
        check_geometry(b, what);
        check_fill(m, b, what);
        komoment_free(h);
    }
}

TEST(KOMomentBeachBall, RandomTensors) {
    std::mt19937_64 gen(31);
    std::uniform_real_distribution<double> unit(-1, 1), ls(-3, 20);
    for (int n = 0; n < BB_RANDOM_COUNT; n++) {
        double s = pow(10, ls(gen));
        double c[6];
        for (double &v : c) v = unit(gen) * s;
        if (n % 3 == 0) c[2] = -c[0] - c[1];  // some without isotropic part
        char h[32] = "";
        KOMoment *m = komoment_create(c[0], c[1], c[2], c[3], c[4], c[5], nullptr, h);
        ASSERT_NE(m, nullptr);
        Ball b;
        testing::internal::CaptureStderr();
        ASSERT_EQ(komoment_compute_bb(h, b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "") << n;
        std::string what = "random " + std::to_string(n);
        check_geometry(b, what);
        check_fill(m, b, what, 100);
        komoment_free(h);
        if (HasFailure()) break;
    }
}

TEST(KOMomentBeachBall, RandomDoubleCouples) {
    // Pure double couples of every orientation, including the exactly
    // vertical and horizontal axes of common mechanisms.
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int n = 0; n < BB_RANDOM_COUNT; n++) {
        double strike, dip, rake;
        if (n % 4 == 0) {
            strike = 90.0 * (gen() % 4), dip = 90.0 * (gen() % 2) + (n % 8 ? 45 : 0), rake = 90.0 * (gen() % 4);
        } else {
            strike = 360 * unit(gen), dip = 90 * unit(gen), rake = 360 * unit(gen) - 180;
        }
        double f = strike * M_PI / 180, d = dip * M_PI / 180, l = rake * M_PI / 180;
        // fault normal and slip (x north, y east, z down), M = n s^T + s n^T
        double nv[3] = {-sin(d) * sin(f), sin(d) * cos(f), -cos(d)};
        double sv[3] = {cos(l) * cos(f) + cos(d) * sin(l) * sin(f), cos(l) * sin(f) - cos(d) * sin(l) * cos(f),
                        -sin(l) * sin(d)};
        auto mm = [&](int i, int j) { return 1e17 * (nv[i] * sv[j] + sv[i] * nv[j]); };
        char h[32] = "";
        KOMoment *m = komoment_create(mm(0, 0), mm(1, 1), mm(2, 2), mm(0, 1), mm(0, 2), mm(1, 2), nullptr, h);
        ASSERT_NE(m, nullptr);
        Ball b;
        testing::internal::CaptureStderr();
        ASSERT_EQ(komoment_compute_bb(h, b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "") << n;
        std::string what = "dc " + std::to_string(n) + " " + std::to_string(strike) + "/" + std::to_string(dip) +
                           "/" + std::to_string(rake);
        check_geometry(b, what);
        check_fill(m, b, what, 100);
        // Both kinds of outline lie on the fault plane (normal nv) or the
        // auxiliary plane (normal sv).
        for (char *o : {b.o1, b.o2, b.d1, b.d2}) {
            for (const P2 &p : points(o)) {
                double q[3];
                unproject(p.x, p.y, q);
                double dn = fabs(q[0] * nv[0] + q[1] * nv[1] + q[2] * nv[2]);
                double ds = fabs(q[0] * sv[0] + q[1] * sv[1] + q[2] * sv[2]);
                EXPECT_LT(std::min(dn, ds), 1e-6) << what << " " << o << " " << p.x << " " << p.y;
            }
        }
        komoment_free(h);
        if (HasFailure()) break;
    }
}

TEST(KOMomentBeachBall, SecondCallReleasesTheFirstCallsVectors) {
    char h[32] = "";
    ASSERT_NE(komoment_create(0.3, -1, 0.7, 0.2, 0.5, -0.4, nullptr, h), nullptr);
    Ball b;
    ASSERT_EQ(komoment_compute_bb(h, b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), 0);
    std::vector<std::string> first;
    for (char *t : b.all)
        if (t[0]) first.push_back(t);
    ASSERT_GE(first.size(), 4u);
    ASSERT_EQ(komoment_compute_bb(h, b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), 0);
    elog_clear_register(0);
    for (const std::string &t : first) {
        EXPECT_EQ(kovector2_get_vector((char *)t.c_str()), nullptr) << t;
        for (char *now : b.all) EXPECT_NE(t, now);
    }
    elog_clear_register(0);
    komoment_free(h);
}

TEST(KOMomentBeachBall, StaleTagsAreDroppedQuietly) {
    char h[32] = "";
    ASSERT_NE(komoment_create(1, -1, 0, 0, 0, 0, nullptr, h), nullptr);
    Ball b;
    strcpy(b.o1, "vect99999999");
    strcpy(b.f1, "not-a-tag");
    elog_clear_register(0);
    elog_log(0, "caller's own message\n");
    ASSERT_EQ(komoment_compute_bb(h, b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), 0);
    EXPECT_EQ(elog_count(), 1);  // the caller's message survives
    EXPECT_NE(std::string(b.o1), "vect99999999");
    elog_clear_register(0);
    komoment_free(h);
}

TEST(KOMomentBeachBall, UnknownTensor) {
    Ball b;
    elog_clear_register(0);
    EXPECT_EQ(komoment_compute_bb((char *)"moment_none", b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), -1);
    EXPECT_TRUE(rzvtest::has_message("komoment_compute_bb: komoment_get_moment(moment_none) error.\n"));
    elog_clear_register(0);
}

}  // namespace

TEST(KOMomentBeachBall, NodalPlaneInTheHorizon) {
    // Vertical dip-slip faults at every strike, both senses of slip, some
    // with rounding-sized disturbances: one nodal plane lies in the horizon,
    // and the fill must still take the positive side of the vertical plane.
    int n = 0;
    for (int k = 0; k < 24; k++) {
        double f = k * M_PI / 12;
        for (double sense : {1.0, -1.0}) {
            for (double eps : {0.0, 1e-15, -1e-12, 1e-9}) {
                for (double scale : {1.0, 3e18}) {
                    double mxz = sense * cos(f) * scale, myz = sense * sin(f) * scale;
                    char h[32] = "";
                    KOMoment *m = komoment_create(eps * scale, -eps * scale, 0, eps * scale, mxz, myz, nullptr, h);
                    ASSERT_NE(m, nullptr);
                    Ball b;
                    testing::internal::CaptureStderr();
                    ASSERT_EQ(komoment_compute_bb(h, b.o1, b.o2, b.f1, b.f2, b.d1, b.d2), 0);
                    std::string err = testing::internal::GetCapturedStderr();
                    std::string what = "horizon " + std::to_string(n++) + " strike " + std::to_string(k * 15) +
                                       " sense " + std::to_string(sense) + " eps " + std::to_string(eps);
                    EXPECT_EQ(err, "") << what;
                    check_geometry(b, what);
                    check_fill(m, b, what, 200);
                    komoment_free(h);
                }
            }
        }
    }
}
