/*
 * komoment.h -- moment tensors: eigen-analysis, principal axes, the
 * double-couple decomposition, and focal-sphere (beach-ball) projections
 * delivered as plot vectors.
 *
 * A tensor is analysed once, when komoment_create makes its record; the
 * record never changes afterwards.  Registered records are addressed by
 * handle tags "moment0", "moment1", ...  Vectors are three doubles x, y, z.
 *
 * Not locked: use the family from one thread at a time.
 */
#ifndef VELKUTIL_KOMOMENT_H
#define VELKUTIL_KOMOMENT_H

#include "stock.h"
#include "arrays.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct komoment_ {
    /* the six independent components as given (symmetric tensor) */
    double mxx, myy, mzz, mxy, mxz, myz;
    /* one third of the trace, 0 when its magnitude is below 1e-13 */
    double isotropic;
    /* diagonal of the deviatoric tensor (off-diagonals are the full ones) */
    double mxx_d, myy_d, mzz_d;
    /* eigenvalues of the full tensor, ascending, and their unit vectors */
    double eig1, eig2, eig3;
    double eigv1[3], eigv2[3], eigv3[3];
    /* the best double couple of the deviatoric part */
    double mxx_dc, myy_dc, mzz_dc, mxy_dc, mxz_dc, myz_dc;
    double eig1_dc, eig2_dc, eig3_dc;
    double eigv1_dc[3], eigv2_dc[3], eigv3_dc[3];
    /* principal axes: copies of eigv1 (P), eigv3 (T) and eigv2 (N) */
    double p_axis[3], t_axis[3], n_axis[3];
    /* double-couple percentage of the deviatoric part, 0 to 100 */
    double percent_dc;
    /* the caller's label (owned copy) or null */
    char *tag;
} KOMoment;

/* ---------------------------------------------------------------- records */

/* Analyses the tensor and returns a new record (null on failure).  With a
 * handle buffer the record is registered and its tag written there; without
 * one it belongs to the caller (komoment_free_komoment).  Components must be
 * finite and at most 1e300 in magnitude (a deliberate guard: larger ones
 * overflow the analysis): others fail with "komoment_create: tensor
 * component is not a finite number.\n" or a message naming the bound.  A
 * registration that runs out of memory registers nothing and returns null. */
KOMoment *komoment_create(double mxx, double myy, double mzz, double mxy, double mxz, double myz, char *tag,
                          char *handle);
int komoment_register_moment(KOMoment *moment, char *handle);
KOMoment *komoment_get_moment(char *handle);
/* Releases a record and its tag; a registered record's entry goes too. */
void komoment_free_komoment(KOMoment *moment);
/* Releases a registered record; an unknown handle is ignored.  Always 0. */
int komoment_free(char *handle);

/* Self-test on a random matrix printed to standard output: the eigenpairs,
 * then each row of A.v beside lambda times v.  komoment_eigen_test seeds the
 * generator from the clock; komoment_eigen_test_seeded takes the 48-bit seed
 * (as for seed48; null: from the clock), so the output can be reproduced.
 * Both return 0. */
int komoment_eigen_test(void);
int komoment_eigen_test_seeded(const unsigned short seed[3]);

/* ------------------------------------------------------- the analysis itself
 * Matrices are given as their six entries axx, ayy, azz, axy, axz, ayz. */

void komoment_compute_evs(KOMoment *moment);
/* Eigenvalues ascending and right-handed orthonormal unit eigenvectors. */
void komoment_compute_eigen(double axx, double ayy, double azz, double axy, double axz, double ayz, double *eig1,
                            double *eig2, double *eig3, double *eigv1, double *eigv2, double *eigv3);
/* The three roots of the characteristic cubic, unsorted (largest, smallest,
 * middle for a matrix with three distinct eigenvalues). */
void komoment_compute_eigenvalues(double axx, double ayy, double azz, double axy, double axz, double ayz,
                                  double *root1, double *root2, double *root3);
/* Largest entry magnitude of a symmetric matrix and the row that holds it;
 * 1 when that magnitude is at least 1e-13, else 0. */
int komoment_positiverank(double bxx, double byy, double bzz, double bxy, double bxz, double byz, double *maxmag,
                          double *row);
/* U and V such that {U, V, W} is orthonormal, for a unit vector W. */
void komoment_complement(const double *w, double *u, double *v);
/* The eigenvector of lambda in the plane orthogonal to u (vi), that of mu in
 * the plane orthogonal to vi (vj), and vl = vi x vj. */
void komoment_compute_eigenvectors(double axx, double ayy, double azz, double axy, double axz, double ayz,
                                   const double *u, double lambda, double mu, double *vi, double *vj, double *vl);
/* Unit length; a vector shorter than 1e-13 becomes (0, 0, 0). */
void komoment_normalize(double *v);
/* Orders three values (and the vectors travelling with them, each may be
 * null) by the keys a, b, c, ascending; equal keys may change places. */
void komoment_order(double a, double b, double c, double *ao, double *bo, double *co, double *aov, double *bov,
                    double *cov);

/* ------------------------------------------------- focal-sphere projections
 *
 * Output vectors are one-column point vectors of the vector family: each
 * point is (x, y) on the projection plane, the horizon being the unit circle.
 * Every output is named by a caller buffer that receives the vector's handle
 * tag; a buffer holding the tag of a vector from an earlier call has that
 * vector released first.  A buffer left empty means nothing of that curve is
 * visible.  Outlines are poly-lines; fills are closed polygons (their last
 * point equals their first) of the region where the radiation pattern is
 * positive, drawn with the even-odd rule.
 *
 * Memory running out inside these calls is a failure like any other: the
 * call registers "<function>: malloc() error.\n" (flag 1) and returns -1;
 * nothing is thrown to the caller.  Vectors made before a failure stay under
 * the tags written into the caller's buffers.
 */

/* The beach ball of a registered tensor: nodal outlines and fills of its
 * deviatoric part (loops 1 and 2) and the nodal outlines of its best double
 * couple, upper hemisphere. */
int komoment_compute_bb(char *handle, char *vecP1_handle_outline, char *vecP2_handle_outline,
                        char *vecP1_handle_fill, char *vecP2_handle_fill, char *vecDC1_handle_outline,
                        char *vecDC2_handle_outline);
/* Nodal loops of the form eigp x^2 + eign y^2 + eigt z^2 = 0 in the frame
 * whose axes are the columns of rotate (9 doubles row by row; null: no
 * rotation), projected on the upper (upper != 0) or lower hemisphere; with
 * close, fills too (the fill buffers may be null without close). */
int komoment_make_nodal_projections(double eigp, double eign, double eigt, double *rotate, int upper, int close,
                                    char *vec1_handle_outline, char *vec2_handle_outline, char *vec1_handle_fill,
                                    char *vec2_handle_fill);
/* Nodal outlines of a pure double couple with the given principal axes. */
int komoment_make_DC_projections(double *rotate, int upper, char *vec1_handle, char *vec2_handle);
/* Projects one 73-point loop; in and out receive the fill indices of its
 * entry and exit on the horizon (or -1). */
int komoment_make_projection(int upper, int close, double *x, double *y, double *z, char *vec_handle_outline,
                             char *vec_handle_fill, int *in, int *out);
/* Appends points of the unit circle in 5 degree steps going from the out
 * point towards the in point (the short way, or the long way). */
int komoment_make_arc(double xin, double yin, double xout, double yout, int long_arc, char *vec_handle);
/* Where the segment (x0, y0)-(x1, y1) crosses the unit circle: 0 and the
 * point, or -1. */
int komoment_intersect(double x0, double y0, double x1, double y1, double *xi, double *yi);

#ifdef __cplusplus
}
#endif

#endif
