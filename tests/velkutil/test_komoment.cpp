// Moment tensors: the eigen-analysis, the decomposition made at creation,
// the registry of tensors and the self-test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>

#include "komoment.h"
#include "rzvtest.h"

namespace {

void expect_axis(const double *v, double x, double y, double z, double tol = 1e-12) {
    // Eigenvectors are defined up to sign.
    double s = (v[0] * x + v[1] * y + v[2] * z) < 0 ? -1.0 : 1.0;
    EXPECT_NEAR(s * v[0], x, tol);
    EXPECT_NEAR(s * v[1], y, tol);
    EXPECT_NEAR(s * v[2], z, tol);
}

double dot(const double *a, const double *b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Largest component of A v - lambda v.
double residual(const double a[6], double lambda, const double *v) {
    double r[3] = {a[0] * v[0] + a[3] * v[1] + a[4] * v[2] - lambda * v[0],
                   a[3] * v[0] + a[1] * v[1] + a[5] * v[2] - lambda * v[1],
                   a[4] * v[0] + a[5] * v[1] + a[2] * v[2] - lambda * v[2]};
    return std::max(fabs(r[0]), std::max(fabs(r[1]), fabs(r[2])));
}

// Checks one eigen-analysis: residuals relative to the matrix's largest
// entry, orthonormality, right-handedness and ascending order.
void check_eigen(const double a[6], double tol, const char *what) {
    double e1, e2, e3, v1[3], v2[3], v3[3];
    komoment_compute_eigen(a[0], a[1], a[2], a[3], a[4], a[5], &e1, &e2, &e3, v1, v2, v3);
    double s = 0;
    for (int i = 0; i < 6; i++) s = std::max(s, fabs(a[i]));
    SCOPED_TRACE(what);
    EXPECT_LE(e1, e2);
    EXPECT_LE(e2, e3);
    EXPECT_LE(residual(a, e1, v1), tol * s);
    EXPECT_LE(residual(a, e2, v2), tol * s);
    EXPECT_LE(residual(a, e3, v3), tol * s);
    EXPECT_NEAR(dot(v1, v1), 1.0, 1e-12);
    EXPECT_NEAR(dot(v2, v2), 1.0, 1e-12);
    EXPECT_NEAR(dot(v3, v3), 1.0, 1e-12);
    EXPECT_NEAR(dot(v1, v2), 0.0, 1e-12);
    EXPECT_NEAR(dot(v1, v3), 0.0, 1e-12);
    EXPECT_NEAR(dot(v2, v3), 0.0, 1e-12);
    double c[3] = {v1[1] * v2[2] - v1[2] * v2[1], v1[2] * v2[0] - v1[0] * v2[2], v1[0] * v2[1] - v1[1] * v2[0]};
    EXPECT_NEAR(c[0], v3[0], 1e-12);
    EXPECT_NEAR(c[1], v3[1], 1e-12);
    EXPECT_NEAR(c[2], v3[2], 1e-12);
}

// ------------------------------------------------------------ ordering

TEST(KOMomentOrder, DecisionTable) {
    struct Case {
        double ka, kb, kc;
        double want[3];  // the values (equal to the keys' positions 0, 1, 2)
    } cases[] = {
        {1, 2, 3, {0, 1, 2}}, {1, 3, 2, {0, 2, 1}}, {2, 3, 1, {2, 0, 1}}, {2, 1, 3, {1, 0, 2}},
        {3, 1, 2, {1, 2, 0}}, {3, 2, 1, {2, 1, 0}},
        // equal keys: only strict comparisons, so 1, 0, 1 gives kb, kc, ka
        {1, 0, 1, {1, 2, 0}}, {1, 1, 1, {2, 1, 0}},
    };
    for (const Case &c : cases) {
        double a = 0, b = 1, d = 2;
        double va[3] = {0, 0, 0}, vb[3] = {1, 1, 1}, vc[3] = {2, 2, 2};
        komoment_order(c.ka, c.kb, c.kc, &a, &b, &d, va, vb, vc);
        EXPECT_EQ(a, c.want[0]) << c.ka << " " << c.kb << " " << c.kc;
        EXPECT_EQ(b, c.want[1]);
        EXPECT_EQ(d, c.want[2]);
        EXPECT_EQ(va[2], c.want[0]);
        EXPECT_EQ(vb[0], c.want[1]);
        EXPECT_EQ(vc[1], c.want[2]);
    }
}

TEST(KOMomentOrder, NullVectorsAreAllowed) {
    double a = 3, b = 1, c = 2;
    komoment_order(a, b, c, &a, &b, &c, nullptr, nullptr, nullptr);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(c, 3);
}

// ------------------------------------------------------------ pieces

TEST(KOMomentPieces, PositiveRankPicksFirstStrictMaximum) {
    double m, row[3];
    // Byy and Bxy tie at 5: Bxy is scanned first, so the row is x's.
    EXPECT_EQ(komoment_positiverank(1, 5, 0, -5, 2, 3, &m, row), 1);
    EXPECT_EQ(m, 5);
    EXPECT_EQ(row[0], 1);
    EXPECT_EQ(row[1], -5);
    EXPECT_EQ(row[2], 2);
    EXPECT_EQ(komoment_positiverank(0, 0, 7, 0, 1, -2, &m, row), 1);
    EXPECT_EQ(row[0], 1);
    EXPECT_EQ(row[1], -2);
    EXPECT_EQ(row[2], 7);
    EXPECT_EQ(komoment_positiverank(0, 4, 0, 0, 1, -2, &m, row), 1);
    EXPECT_EQ(row[1], 4);
    EXPECT_EQ(komoment_positiverank(1e-14, 0, 0, 0, 0, -5e-14, &m, row), 0);
}

TEST(KOMomentPieces, ComplementIsOrthonormal) {
    const double ws[][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.6, 0.8, 0}, {0.48, 0.6, 0.64}, {-0.36, 0.48, 0.8}};
    for (const auto &w : ws) {
        double u[3], v[3];
        komoment_complement(w, u, v);
        EXPECT_NEAR(dot(u, u), 1, 1e-15);
        EXPECT_NEAR(dot(v, v), 1, 1e-15);
        EXPECT_NEAR(dot(u, v), 0, 1e-15);
        EXPECT_NEAR(dot(u, w), 0, 1e-15);
        EXPECT_NEAR(dot(v, w), 0, 1e-15);
    }
}

TEST(KOMomentPieces, NormalizeZeroesTinyVectors) {
    double v[3] = {3, 0, 4};
    komoment_normalize(v);
    EXPECT_DOUBLE_EQ(v[0], 0.6);
    EXPECT_DOUBLE_EQ(v[2], 0.8);
    double t[3] = {5e-14, 0, 5e-14};
    komoment_normalize(t);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[2], 0);
}

TEST(KOMomentPieces, CubicRootsOfADiagonalMatrix) {
    double r1, r2, r3;
    komoment_compute_eigenvalues(2, -3, 0.5, 0, 0, 0, &r1, &r2, &r3);
    // largest, smallest, middle
    EXPECT_NEAR(r1, 2, 1e-14);
    EXPECT_NEAR(r2, -3, 1e-14);
    EXPECT_NEAR(r3, 0.5, 1e-14);
}

// ------------------------------------------------------------ eigen-analysis

TEST(KOMomentEigen, ZeroMatrixGivesZeros) {
    double e1 = 1, e2 = 1, e3 = 1, v1[3] = {1, 1, 1}, v2[3] = {1, 1, 1}, v3[3] = {1, 1, 1};
    komoment_compute_eigen(0, 0, 0, 0, 0, 0, &e1, &e2, &e3, v1, v2, v3);
    EXPECT_EQ(e1, 0);
    EXPECT_EQ(e2, 0);
    EXPECT_EQ(e3, 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(v1[i] + v2[i] + v3[i], 0);
}

TEST(KOMomentEigen, KnownMatrix) {
    // Eigenvalues 1, 2, 4 on axes rotated 45 degrees about z.
    double e1, e2, e3, v1[3], v2[3], v3[3];
    komoment_compute_eigen(1.5, 1.5, 4, 0.5, 0, 0, &e1, &e2, &e3, v1, v2, v3);
    EXPECT_NEAR(e1, 1, 1e-14);
    EXPECT_NEAR(e2, 2, 1e-14);
    EXPECT_NEAR(e3, 4, 1e-14);
    const double r = sqrt(0.5);
    expect_axis(v1, r, -r, 0);
    expect_axis(v2, r, r, 0);
    expect_axis(v3, 0, 0, 1);
}

TEST(KOMomentEigen, DegenerateMatricesStayOrthonormal) {
    const double cases[][6] = {
        {1, 1, 1, 0, 0, 0},           // isotropic
        {2, 2, -1, 0, 0, 0},          // double eigenvalue
        {1, 1, 1, 1, 1, 1},           // rank one
        {0, 0, 0, 1, 0, 0},           // off-diagonal only
        {1e20, 1e-3, 1e-3, 0, 0, 0},  // wildly mixed scales
        {5e-320, 0, 0, 0, 0, 0},      // subnormal scale
        {1, -1, 0, 0, 0, 0},
    };
    for (const auto &a : cases) check_eigen(a, 1e-12, "degenerate");
}

TEST(KOMomentEigen, RandomTensorsAcrossScales) {
    std::mt19937_64 gen(20261208);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> lscale(-3.0, 20.0);
    for (int n = 0; n < 5000; n++) {
        double a[6];
        if (n % 2 == 0) {
            // one scale for the whole tensor
            double s = pow(10.0, lscale(gen));
            for (double &v : a) v = unit(gen) * s;
        } else {
            // every component at its own scale
            for (double &v : a) v = unit(gen) * pow(10.0, lscale(gen));
        }
        check_eigen(a, 1e-9, "random");
        if (HasFailure()) {
            ADD_FAILURE() << "tensor " << n << ": " << a[0] << " " << a[1] << " " << a[2] << " " << a[3] << " "
                          << a[4] << " " << a[5];
            break;
        }
    }
}

TEST(KOMomentEigen, RotatedNearDegenerateTensors) {
    // Close eigenvalue pairs are the hard case of the closed form.
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int n = 0; n < 2000; n++) {
        double q[4] = {unit(gen), unit(gen), unit(gen), unit(gen)};
        double ql = sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        for (double &c : q) c /= ql;
        double w = q[0], x = q[1], y = q[2], z = q[3];
        double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                          {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                          {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
        double gap = pow(10.0, -1.0 - 14.0 * (n % 15) / 14.0);
        double d[3] = {1.0, 1.0 + gap, -2.0};
        double m[3][3] = {};
        for (int i = 0; i < 3; i++)
            for (int j = 0; j < 3; j++)
                for (int k = 0; k < 3; k++) m[i][j] += r[i][k] * d[k] * r[j][k];
        double a[6] = {m[0][0], m[1][1], m[2][2], m[0][1], m[0][2], m[1][2]};
        check_eigen(a, 1e-9, "near-degenerate");
        if (HasFailure()) {
            ADD_FAILURE() << "case " << n << " gap " << gap;
            break;
        }
    }
}

// ------------------------------------------------------------ decomposition

TEST(KOMomentCreate, ZeroTensor) {
    KOMoment *m = komoment_create(0, 0, 0, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->isotropic, 0);
    EXPECT_EQ(m->eig1, 0);
    EXPECT_EQ(m->eig3, 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(m->eigv1[i] + m->eigv2[i] + m->eigv3[i], 0);
    EXPECT_EQ(m->percent_dc, 0);
    EXPECT_EQ(m->mxx_dc, 0);
    EXPECT_EQ(m->myz_dc, 0);
    EXPECT_EQ(m->eig3_dc, 0);
    komoment_free_komoment(m);
}

TEST(KOMomentCreate, PureIsotropic) {
    KOMoment *m = komoment_create(1, 1, 1, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_DOUBLE_EQ(m->isotropic, 1);
    EXPECT_NEAR(m->eig1, 1, 1e-15);
    EXPECT_NEAR(m->eig2, 1, 1e-15);
    EXPECT_NEAR(m->eig3, 1, 1e-15);
    expect_axis(m->eigv1, 1, 0, 0, 0);
    expect_axis(m->eigv2, 0, 1, 0, 0);
    expect_axis(m->eigv3, 0, 0, 1, 0);
    EXPECT_EQ(m->percent_dc, 0);
    komoment_free_komoment(m);
}

TEST(KOMomentCreate, PureDoubleCoupleIsItsOwnBestDoubleCouple) {
    KOMoment *m = komoment_create(1, -1, 0, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_NEAR(m->eig1, -1, 1e-15);
    EXPECT_EQ(m->eig2, 0);
    EXPECT_NEAR(m->eig3, 1, 1e-15);
    expect_axis(m->p_axis, 0, 1, 0);
    expect_axis(m->t_axis, 1, 0, 0);
    expect_axis(m->n_axis, 0, 0, 1);
    EXPECT_DOUBLE_EQ(m->percent_dc, 100);
    EXPECT_NEAR(m->mxx_dc, 1, 1e-15);
    EXPECT_NEAR(m->myy_dc, -1, 1e-15);
    EXPECT_NEAR(m->mzz_dc, 0, 1e-15);
    EXPECT_NEAR(m->mxy_dc, 0, 1e-15);
    EXPECT_NEAR(m->eig1_dc, -1, 1e-15);
    EXPECT_NEAR(m->eig3_dc, 1, 1e-15);
    komoment_free_komoment(m);
}

TEST(KOMomentCreate, PartialDoubleCouple) {
    // Deviatoric eigenvalues -2, -1, 3: e = 1/3.
    KOMoment *m = komoment_create(-2, -1, 3, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_NEAR(m->percent_dc, 100.0 / 3.0, 1e-12);
    // f = (1 - 2/3) * 3 = 1 along the axis of 3, minus along the axis of -2
    EXPECT_NEAR(m->mzz_dc, 1, 1e-14);
    EXPECT_NEAR(m->mxx_dc, -1, 1e-14);
    EXPECT_NEAR(m->myy_dc, 0, 1e-14);
    komoment_free_komoment(m);

    // -3, 1, 2: the same e; the largest magnitude is negative, so the
    // double couple is negative along its axis.
    m = komoment_create(-3, 1, 2, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_NEAR(m->percent_dc, 100.0 / 3.0, 1e-12);
    EXPECT_NEAR(m->mxx_dc, -1, 1e-14);
    EXPECT_NEAR(m->mzz_dc, 1, 1e-14);
    EXPECT_NEAR(m->myy_dc, 0, 1e-14);
    komoment_free_komoment(m);
}

TEST(KOMomentCreate, IsotropicThreshold) {
    KOMoment *m = komoment_create(-3e-14, 0, 0, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->isotropic, 0);
    komoment_free_komoment(m);
    m = komoment_create(-1, -1, -1, 0.5, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_DOUBLE_EQ(m->isotropic, -1);
    EXPECT_DOUBLE_EQ(m->mxx_d, 0);
    EXPECT_DOUBLE_EQ(m->mzz_d, 0);
    komoment_free_komoment(m);
}

TEST(KOMomentCreate, RandomTensorsKeepTheirInvariants) {
    std::mt19937_64 gen(99);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> lscale(-3.0, 20.0);
    for (int n = 0; n < 2000; n++) {
        double s = pow(10.0, lscale(gen));
        double c[6];
        for (double &v : c) v = unit(gen) * s;
        KOMoment *m = komoment_create(c[0], c[1], c[2], c[3], c[4], c[5], nullptr, nullptr);
        ASSERT_NE(m, nullptr);
        EXPECT_GE(m->percent_dc, 0);
        EXPECT_LE(m->percent_dc, 100);
        EXPECT_LE(m->eig1, m->eig2);
        EXPECT_LE(m->eig2, m->eig3);
        EXPECT_EQ(m->p_axis[0], m->eigv1[0]);
        EXPECT_EQ(m->t_axis[2], m->eigv3[2]);
        // The double couple has no trace, a zero middle eigenvalue and the
        // size (1 - 2e) * emax.
        double tr = m->mxx_dc + m->myy_dc + m->mzz_dc;
        EXPECT_LE(fabs(tr), 1e-12 * s);
        EXPECT_LE(fabs(m->eig2_dc), 1e-9 * s);
        EXPECT_NEAR(-m->eig1_dc, m->eig3_dc, 1e-9 * s);
        // Its tension axis agrees with the tensor's largest-magnitude one in
        // sign: d.M.d > 0 along the double couple's T axis whenever the
        // double couple is not negligible.
        if (m->percent_dc > 1) {
            const double *t = m->eigv3_dc;
            double md = m->mxx_d * t[0] * t[0] + m->myy_d * t[1] * t[1] + m->mzz_d * t[2] * t[2] +
                        2 * (m->mxy * t[0] * t[1] + m->mxz * t[0] * t[2] + m->myz * t[1] * t[2]);
            EXPECT_GT(md, 0) << n;
        }
        komoment_free_komoment(m);
        if (HasFailure()) break;
    }
}

TEST(KOMomentCreate, RejectsNonFiniteAndHugeComponents) {
    elog_clear_register(0);
    EXPECT_EQ(komoment_create(NAN, 0, 0, 0, 0, 0, nullptr, nullptr), nullptr);
    EXPECT_TRUE(rzvtest::has_message("komoment_create: tensor component is not a finite number."));
    EXPECT_EQ(komoment_create(0, 0, 0, 0, 0, INFINITY, nullptr, nullptr), nullptr);
    EXPECT_EQ(komoment_create(0, 1e301, 0, 0, 0, 0, nullptr, nullptr), nullptr);
    EXPECT_TRUE(rzvtest::has_message("out of range"));
    elog_clear_register(0);
    KOMoment *m = komoment_create(1e300, -1e300, 1e300, 1e300, -1e300, 1e300, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(std::isfinite(m->isotropic));
    EXPECT_TRUE(std::isfinite(m->eig1) && std::isfinite(m->eig3) && std::isfinite(m->mxx_dc));
    komoment_free_komoment(m);
}

// ------------------------------------------------------------ registry

TEST(KOMomentRegistry, TagsLookupAndFree) {
    char h1[32] = "", h2[32] = "";
    elog_clear_register(0);
    KOMoment *m = komoment_create(1, 2, 3, 0, 0, 0, (char *)"event7", h1);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(strncmp(h1, "moment", 6), 0);
    EXPECT_STREQ(m->tag, "event7");
    EXPECT_EQ(komoment_get_moment(h1), m);
    ASSERT_NE(komoment_create(1, 2, 3, 0, 0, 0, nullptr, h2), nullptr);
    EXPECT_EQ(atoi(h2 + 6), atoi(h1 + 6) + 1);
    EXPECT_EQ(komoment_free(h1), 0);
    EXPECT_EQ(elog_count(), 0);
    EXPECT_EQ(komoment_get_moment(h1), nullptr);
    EXPECT_EQ(rzvtest::messages().back(), std::string("komoment_get_moment: Cannot find ") + h1);
    elog_clear_register(0);
    // unknown handles free silently
    EXPECT_EQ(komoment_free(h1), 0);
    EXPECT_EQ(komoment_free((char *)"moment999999"), 0);
    EXPECT_EQ(elog_count(), 0);
    // a freed tag is never issued again
    char h3[32] = "";
    ASSERT_NE(komoment_create(0, 0, 0, 0, 0, 0, nullptr, h3), nullptr);
    EXPECT_STRNE(h3, h1);
    EXPECT_STRNE(h3, h2);
    komoment_free(h2);
    komoment_free(h3);
}

TEST(KOMomentRegistry, FreeingARegisteredRecordDirectlyDropsItsTag) {
    char h[32] = "";
    KOMoment *m = komoment_create(1, 0, -1, 0, 0, 0, nullptr, h);
    ASSERT_NE(m, nullptr);
    komoment_free_komoment(m);
    elog_clear_register(0);
    EXPECT_EQ(komoment_get_moment(h), nullptr);
    EXPECT_EQ(rzvtest::messages().back(), std::string("komoment_get_moment: Cannot find ") + h);
    elog_clear_register(0);
    EXPECT_EQ(komoment_free(h), 0);
}

TEST(KOMomentRegistry, RegisterAnUnregisteredRecord) {
    KOMoment *m = komoment_create(1, 0, -1, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(m, nullptr);
    char h[32] = "";
    ASSERT_EQ(komoment_register_moment(m, h), 0);
    EXPECT_EQ(komoment_get_moment(h), m);
    komoment_free(h);
}

// ------------------------------------------------------------ self-test

std::string run_self_test(const unsigned short seed[3]) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(komoment_eigen_test_seeded(seed), 0);
    return testing::internal::GetCapturedStdout();
}

TEST(KOMomentSelfTest, SeededOutputIsReproducibleAndConsistent) {
    const unsigned short seed[3] = {0x1234, 0xabcd, 0x0042};
    std::string out = run_self_test(seed);
    EXPECT_EQ(out, run_self_test(seed));
    std::istringstream in(out);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0].rfind("eig1 = ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("eigv1 = ", 0), 0u);
    EXPECT_EQ(lines[4].rfind("eig3 = ", 0), 0u);
    // Both sides of every check line agree (values are of order 1e8).
    for (size_t i = 6; i < 15; i++) {
        double l, r;
        ASSERT_EQ(sscanf(lines[i].c_str(), "%lf = %lf", &l, &r), 2) << lines[i];
        EXPECT_NEAR(l, r, 1e-4) << lines[i];
    }
    const unsigned short other[3] = {1, 2, 3};
    EXPECT_NE(out, run_self_test(other));
}

TEST(KOMomentSelfTest, ClockSeededRuns) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(komoment_eigen_test(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("eigv3 = "), std::string::npos);
}

}  // namespace
