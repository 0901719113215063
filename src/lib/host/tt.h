/*
 * tt.h -- geometry on the sphere and seismic travel times.
 *
 * dist() gives the great-circle distance and azimuth between two points of
 * a spherical Earth; ttcalc() gives the travel times of seismic phases in a
 * spherical, radially layered Earth (the ak135 and iasp91 models, compiled
 * into the library) for a buried source and a receiver at any elevation.
 */
#ifndef HOSTKIT_TT_H
#define HOSTKIT_TT_H

#include "stock.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ geometry */

/* Kilometres of surface distance per degree of arc (Earth radius 6371 km). */
#define TT_KM_PER_DEG 111.19492664455873
#define TT_EARTH_RADIUS 6371.0

/* dist: great-circle distance *delta (radians of arc, 0 to pi) from point 1
 * to point 2 and the azimuth *azimuth at point 1 towards point 2 (radians,
 * clockwise from north, 0 to 2 pi).  Latitudes and longitudes in radians.
 * Exact to rounding for coincident and for antipodal points; the azimuth of
 * coincident points is 0, from a pole it follows the longitude of point 2.
 * Either output pointer may be null. */
void dist(double lat1, double lon1, double lat2, double lon2, double *delta, double *azimuth);

/* deg2km: kilometres of surface distance for an arc of `degrees`;
 * km2deg the inverse. */
double deg2km(double degrees);
double km2deg(double km);

/* ------------------------------------------------------------------ travel times */

#define TT_PHASE_SIZE 16

/* A point of the ray: lat and lon in degrees; z the depth in km below the
 * surface (positive down, so a station at elevation e has z = -e); time
 * (epoch seconds) and name are carried for the caller. */
typedef struct TTPoint {
    double lat;
    double lon;
    double z;
    double time;
    char name[TT_PHASE_SIZE];
} TTPoint;

typedef struct TTGeometry {
    TTPoint source;
    TTPoint receiver;
} TTGeometry;

/* One arrival: the phase name ("Pn", "P", "Pdiff", "PKPdf", "SKSac", "sP",
 * "PP", ...), the travel time in seconds, and its derivatives with respect
 * to the source position: deriv[0] east and deriv[1] north in seconds per km
 * of surface distance (the ray parameter along the path away from the
 * receiver; a ray reaching the receiver the long way round has it reversed),
 * deriv[2] depth in seconds per km (positive when a deeper source arrives
 * later: negative for a first leg going down, positive for one going up). */
typedef struct TTTime {
    char phase[TT_PHASE_SIZE];
    double value;
    double deriv[3];
} TTTime;

/* Modes of ttcalc. */
#define TT_FIRST 1  /* the first arrival of each entry of the phase list */
#define TT_ALL 2    /* every arrival of the listed phases */

/* ttcalc(method, model, phases, mode, &geometry, &times, &hook)
 *
 * method: "taup" (the library's tau-p calculator); null or empty selects it.
 * model:  "iasp91" or "ak135"; null/empty selects iasp91.
 * phases: a list separated by commas or blanks of families, branch names and
 *   phase names read by their legs.
 *   Families and branches: "P" is every compressional first-arrival branch:
 *   Pg Pb Pn P (direct and refracted), Pdiff (diffracted along the core),
 *   PKPab PKPbc PKPdf (PKIKP) and PKiKP.  "S" is every shear first-arrival
 *   branch of the mantle: Sg Sb Sn S Sdiff.  The shear phases through the
 *   core, which cross it as P, are named: SKSac, SKSdf (SKIKS), SKiKS, "SKS"
 *   for both SKS branches; "PKP" is the three PKP branches; PcP and ScS are
 *   the core reflections; pP and sS the depth phases (reflected above the
 *   source, bottoming in the mantle).  Any branch name selects that branch
 *   alone and reports the branch name.  Pdiff and Sdiff are followed for 60
 *   degrees beyond the ray grazing the core (to about 158 degrees from a
 *   surface source); past that the first P is a PKP branch and the "S"
 *   family has no arrival.
 *   Any other name is read leg by leg: P and S in the crust and mantle; p
 *   and s for a first leg going up from a buried source; K for P in the
 *   outer core; I and J for P and S in the inner core; c and i for
 *   reflections at the core-mantle and inner-core boundaries; mantle legs
 *   one after the other reflect at the surface (PP, sP, PcPPcP), K K under
 *   the core-mantle boundary (PKKP), I I under the inner-core boundary;
 *   "diff" after a mantle leg diffracts it along the core (pPdiff, 60
 *   degrees at most); g, b or n after a mantle leg makes it bottom in the
 *   upper crust, the lower crust or the mantle above 210 km (pPn, PgPg);
 *   P' and S' stand for PKP and SKS (P'P').  A K leg turns in the outer
 *   core unless an I, J or i follows.  Arrivals carry the name as written
 *   (at most 15 characters).  A name no ray of the model can take at this
 *   source (a depth phase from the surface, a crustal first leg below a
 *   mantle source, J without shear in the inner core) has no arrivals; a
 *   name that cannot be read fails with "ttcalc: unknown phase "NAME":
 *   WHAT at position N".  Null or empty means "P,S".
 * mode:   TT_FIRST (or 0): one arrival per list entry, its earliest; TT_ALL:
 *   every arrival of the listed phases, each branch of a triplication its
 *   own arrival (PP near 35 degrees has five).  Either way sorted by time.
 * geometry: source depth -10 to 2800 km (above the surface the top layer's
 *   velocity extends upwards), receiver depth -10 to 10 km.  The time
 *   between the surface and a receiver (or source) above or below it is
 *   that of each arrival's own ray through the top layers, with the wave of
 *   the leg there.
 * times:  on success *times is a new list of TTTime records (inittbl;
 *   gettbl gives their addresses) that the caller frees with
 *   freetbl(*times, 0).  It may be empty (a phase absent at this distance).
 * hook:   caches the model's tables between calls; *hook null on the first
 *   call, released with free_hook().  A hook is not to be shared between
 *   threads without a lock of the caller's.  A null hook pointer works but
 *   builds the tables of the source depth afresh (about a millisecond, some
 *   ten milliseconds with phases read by their legs).
 * Returns 0, or -1 with a message in the error register.
 */
int ttcalc(const char *method, const char *model, const char *phases, int mode,
           TTGeometry *geometry, Tbl **times, Hook **hook);

/* First-arrival P or S travel time (seconds) in iasp91 for a surface
 * distance in degrees and a source depth in km; -1 with a message on bad
 * arguments.  Each thread keeps its own tables. */
double tt_ptime(double distance_deg, double depth_km);
double tt_stime(double distance_deg, double depth_km);

#ifdef __cplusplus
}
#endif

#endif
