/*
 * geometry.cpp -- distances and azimuths on a spherical Earth.
 *
 * The arc comes from atan2 of the cross and dot products of the two unit
 * vectors, which keeps full precision for coincident and antipodal points
 * where the cosine and haversine formulas lose it.
 */
#include <cmath>

#include "tt.h"

extern "C" void dist(double lat1, double lon1, double lat2, double lon2, double *delta, double *azimuth) {
    const double c1 = std::cos(lat1), s1 = std::sin(lat1);
    const double c2 = std::cos(lat2), s2 = std::sin(lat2);
    const double dlon = lon2 - lon1;
    const double cd = std::cos(dlon), sd = std::sin(dlon);

    // Point 2 in a frame where point 1 lies on the x axis at longitude 0:
    // the components along and across the great circle towards north.
    const double east = c2 * sd;                   // towards local east at point 1
    const double north = c1 * s2 - s1 * c2 * cd;   // towards local north at point 1
    const double along = s1 * s2 + c1 * c2 * cd;   // dot product of the unit vectors
    const double cross = std::hypot(east, north);  // length of the cross product

    if (delta) *delta = std::atan2(cross, along);
    if (azimuth) {
        double az = (east == 0.0 && north == 0.0) ? 0.0 : std::atan2(east, north);
        if (az < 0.0) az += 2.0 * M_PI;
        if (az >= 2.0 * M_PI) az -= 2.0 * M_PI;
        *azimuth = az;
    }
}

extern "C" double deg2km(double degrees) { return degrees * TT_KM_PER_DEG; }

extern "C" double km2deg(double km) { return km / TT_KM_PER_DEG; }
