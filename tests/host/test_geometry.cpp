// Great-circle distance and azimuth on the sphere.
#include <gtest/gtest.h>

#include <cmath>

#include "tt.h"

namespace {

const double D2R = M_PI / 180.0;

void dist_deg(double la1, double lo1, double la2, double lo2, double *d, double *az) {
    dist(la1 * D2R, lo1 * D2R, la2 * D2R, lo2 * D2R, d, az);
    *d /= D2R;
    *az /= D2R;
}

TEST(Distance, KnownArcsAndAzimuths) {
    double d, az;
    dist_deg(0, 0, 0, 90, &d, &az);
    EXPECT_NEAR(d, 90.0, 1e-12);
    EXPECT_NEAR(az, 90.0, 1e-12);
    dist_deg(0, 0, 45, 0, &d, &az);
    EXPECT_NEAR(d, 45.0, 1e-12);
    EXPECT_NEAR(az, 0.0, 1e-12);
    dist_deg(10, 20, -5, 20, &d, &az);
    EXPECT_NEAR(d, 15.0, 1e-12);
    EXPECT_NEAR(az, 180.0, 1e-12);
    dist_deg(0, 10, 0, -20, &d, &az);
    EXPECT_NEAR(d, 30.0, 1e-12);
    EXPECT_NEAR(az, 270.0, 1e-12);
    // A case checked by hand with spherical trigonometry: from (30N, 0) to
    // (30N, 60E): cos d = sin^2 30 + cos^2 30 cos 60 = 0.625.
    dist_deg(30, 0, 30, 60, &d, &az);
    EXPECT_NEAR(d, std::acos(0.625) / D2R, 1e-10);
    // Initial azimuth: tan az = sin 60 cos 30 / (cos30 sin30 - sin30 cos30 cos60).
    EXPECT_NEAR(az, std::atan2(std::sin(60 * D2R) * std::cos(30 * D2R),
                               std::cos(30 * D2R) * std::sin(30 * D2R) * (1 - std::cos(60 * D2R))) / D2R,
                1e-10);
}

TEST(Distance, SymmetricAndAzimuthsConsistent) {
    for (double la1 = -80; la1 <= 80; la1 += 23.7)
        for (double lo2 = -170; lo2 <= 170; lo2 += 31.3) {
            double d12, az12, d21, az21;
            dist_deg(la1, 5, -la1 / 2 + 7, lo2, &d12, &az12);
            dist_deg(-la1 / 2 + 7, lo2, la1, 5, &d21, &az21);
            EXPECT_NEAR(d12, d21, 1e-10);
            EXPECT_GE(az12, 0.0);
            EXPECT_LT(az12, 360.0);
        }
}

TEST(Distance, CoincidentPointsAreExact) {
    double d = -1, az = -1;
    dist(0.3, 1.1, 0.3, 1.1, &d, &az);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(az, 0.0);
    // A metre apart is still resolved (acos would give 0 or noise).
    double dlat = 0.001 / TT_EARTH_RADIUS;
    dist(0.3, 1.1, 0.3 + dlat, 1.1, &d, &az);
    EXPECT_NEAR(d / dlat, 1.0, 1e-6);
    EXPECT_NEAR(az, 0.0, 1e-9);
}

TEST(Distance, AntipodalPointsAreExact) {
    double d, az;
    dist(0.4, 0.2, -0.4, 0.2 + M_PI, &d, &az);
    EXPECT_NEAR(d, M_PI, 1e-14);
    // A metre short of the antipode.
    double e = 0.001 / TT_EARTH_RADIUS;
    dist(0.0, 0.0, 0.0, M_PI - e, &d, &az);
    EXPECT_NEAR((M_PI - d) / e, 1.0, 1e-6);
    EXPECT_NEAR(az, M_PI / 2, 1e-9);
    dist(M_PI / 2, 0.0, -M_PI / 2, 0.0, &d, &az);
    EXPECT_NEAR(d, M_PI, 1e-14);
}

TEST(Distance, NullOutputsAreAllowed) {
    double d = 0;
    dist(0, 0, 0, 1, &d, nullptr);
    EXPECT_NEAR(d, 1.0, 1e-15);
    double az = 0;
    dist(0, 0, 0, 1, nullptr, &az);
    EXPECT_NEAR(az, M_PI / 2, 1e-15);
}

TEST(Distance, DegreesToKilometres) {
    EXPECT_NEAR(deg2km(1.0), 111.19, 0.005);
    EXPECT_NEAR(deg2km(180.0), M_PI * 6371.0, 1e-9);
    EXPECT_NEAR(km2deg(deg2km(37.5)), 37.5, 1e-12);
}

}  // namespace
