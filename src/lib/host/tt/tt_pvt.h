/*
 * tt_pvt.h -- the inside of the travel-time calculator, shared by its entry
 * (tt.cpp), its phase-name reader (ttphase.cpp) and its engine for phases
 * named by their legs (ttlegs.cpp).  Not installed.
 *
 * Radii are in km, ray parameters p in seconds per radian, distances in
 * radians.  eta = r / v is the slowness of a layer point; a ray of
 * parameter p travels where eta >= p and turns where eta = p.
 */
#ifndef HOSTKIT_TT_PVT_H
#define HOSTKIT_TT_PVT_H

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "tt.h"

// The i-th compiled model: its name and rows (depth, vp, vs, density);
// returns the row count, 0 past the end.
int tt_model_table(int i, const char **name, const double (**rows)[4]);

namespace ttpvt {

const double RE = TT_EARTH_RADIUS;

// A shell between two nodes of a model, where eta follows a power law of
// the radius.
struct Layer {
    double rt, rb;  // radii of top and bottom, km
    double et, eb;  // eta = r / v at top and bottom, s/rad
    double k;       // d ln(eta) / d ln(r): eta = et * (r / rt)^k
    int region;     // 0 crust and mantle, 1 outer core, 2 inner core
};

// Closed-form pieces of a layer for ray parameter p: at a radius where
// eta >= p, A = acos(p / eta) and S = sqrt(eta^2 - p^2).
struct AS {
    double a, s;
};
inline AS as_at(double p, double eta) {
    if (eta <= p) return {0.0, 0.0};
    return {std::acos(p / eta), std::sqrt((eta - p) * (eta + p))};
}

// Adds X and tau across the part of layer L between radii r1 > r2, given
// the pieces u and l at its ends; eta stays >= p in between.
inline void layer_part(const Layer &L, double p, const AS &u, const AS &l, double r1, double r2, double *x,
                       double *tau) {
    if (std::fabs(L.k) < 1e-9) {
        // eta constant: the integrals reduce to logarithms.
        double lr = std::log(r1 / r2);
        double s = u.s > 0 ? u.s : 1e-300;
        *x += p * lr / s;
        *tau += u.s * lr;
        return;
    }
    *x += (u.a - l.a) / L.k;
    *tau += ((u.s - p * u.a) - (l.s - p * l.a)) / L.k;
}

// One branch of a travel-time curve, monotonic in distance: its rays by
// increasing distance x, with time t, ray parameter p and the derivative
// of the time with respect to the source depth dz (s/km).
struct Piece {
    int name;
    std::vector<double> x, t, p;
    std::vector<double> dz;
};

// A ray of a branch as the branch is traced.
struct RayPt {
    double p, x, t, dz;
};

// Cuts a run of n rays of one branch (ordered by ray parameter, without
// jumps) into pieces monotonic in distance and appends them, named name.
// Neighbouring pieces share the ray of the turn (a caustic) between them.
void add_monotonic(std::vector<Piece> *pieces, int name, const RayPt *run, size_t n);

// Time t, ray parameter p and depth derivative dz at distance x of piece pc
// (cubic Hermite interpolation whose slopes are the exact ray parameters);
// false when x lies outside the piece.
bool piece_at(const Piece &pc, double x, double *t, double *p, double *dz);

// ------------------------------------------------------------ phases by legs

// Waves of a leg: P, or S.  In the outer core every leg is P (K); in the
// inner core I is P and J is S.
enum { WAVE_P = 0, WAVE_S = 1 };

// A phase read from its name, as counts of one-way passes through the
// parts of the Earth; every pass of one phase shares one ray parameter.
struct LegPhase {
    std::string name;
    int first_wave = WAVE_P;  // wave of the leg leaving the source
    bool first_up = false;    // that leg goes up (a depth phase)
    int last_wave = WAVE_P;   // wave of the leg reaching the receiver
    // One-way passes: surface to the turning point in the crust or mantle,
    // surface to the core-mantle boundary, core-mantle boundary to the
    // turning point in the outer core, through the whole outer core, inner-
    // core boundary to the turning point in the inner core (P, S).
    int turn[2] = {0, 0};
    int down[2] = {0, 0};
    int kturn = 0;
    int kdown = 0;
    int inner[2] = {0, 0};
    // Where the crust and mantle turns of each wave must bottom: 0 anywhere,
    // 'g' upper crust, 'b' lower crust, 'n' uppermost mantle (above 210 km);
    // -1 when two legs of the wave ask for different places (no ray can).
    int branch[2] = {0, 0};
    // Diffraction along the core: the wave of the diffracted legs, -1 none;
    // diff_mixed when legs of both waves diffract (no ray can).
    int diff_wave = -1;
    bool diff_mixed = false;
};

// Reads a phase name of legs ("sP", "PKiKP", "ScSScS", "pPdiff", "PnPn",
// "P'P'", ...) into *ph.  On failure returns false with *why saying what is
// wrong and *pos the 1-based position in the name where reading stopped.
bool parse_leg_phase(const std::string &name, LegPhase *ph, std::string *why, int *pos);

// One arrival of a phase read by its legs.
struct LegArrival {
    double t, p, dz;  // s, s/rad, s/km
    bool longway;     // reaches the receiver from the far side
};

// Per-hook cache of the tables of phases read by their legs.
struct LegCache;
LegCache *leg_cache_new();
void leg_cache_free(LegCache *c);

// Appends to *out every arrival of phase ph at distance delta (radians,
// 0 to pi) from a source at depth z (km, 0 to the deepest source) in model
// mi, each branch of a triplication its own arrival.  False only when the
// tables cannot be built (the model is unknown).
bool leg_arrivals(LegCache *cache, int mi, const LegPhase &ph, double z, double delta,
                  std::vector<LegArrival> *out);

// Waves diffracted along the core are followed this far beyond the ray
// grazing it.
const double MAX_DIFFRACTION = 60.0 * M_PI / 180.0;

}  // namespace ttpvt

#endif
