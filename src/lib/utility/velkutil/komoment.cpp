// Moment tensors: the closed-form eigen-analysis of a symmetric 3 x 3 matrix,
// the principal axes and double-couple decomposition made once when a tensor
// is created, the registry of tensors, and the focal-sphere projections
// (nodal outlines and fills) that beach-ball displays draw.
//
// The eigenvalues are the roots of the characteristic cubic by the
// trigonometric method; the eigenvectors come from orthogonal complements,
// so no iteration is involved and every input gives an answer.

#include "komoment.h"
#include "koregistry_pvt.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const double KOM_SQRT3 = 1.7320508075688772;
const double KOM_TINY = 1e-13;
// Components beyond this would let the trace and the deviatoric part overflow.
const double KOM_MAX_COMPONENT = 1e300;

KORegistry komoment_registry("moment%d", KORegistry::COUNT_THEN_INCREMENT, "moments");

struct Sym {
    double xx, yy, zz, xy, xz, yz;
};

void sym_apply(const Sym &a, const double *v, double *out) {
    out[0] = a.xx * v[0] + a.xy * v[1] + a.xz * v[2];
    out[1] = a.xy * v[0] + a.yy * v[1] + a.yz * v[2];
    out[2] = a.xz * v[0] + a.yz * v[1] + a.zz * v[2];
}

double dot(const double *a, const double *b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void cross(const double *a, const double *b, double *out) {
    double x = a[1] * b[2] - a[2] * b[1];
    double y = a[2] * b[0] - a[0] * b[2];
    double z = a[0] * b[1] - a[1] * b[0];
    out[0] = x;
    out[1] = y;
    out[2] = z;
}

void copy3(const double *from, double *to) {
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
}

void set3(double *v, double x, double y, double z) {
    v[0] = x;
    v[1] = y;
    v[2] = z;
}

// x^T A x
double quad(const Sym &a, const double *x) {
    double ax[3];
    sym_apply(a, x, ax);
    return dot(x, ax);
}

// y^T A x
double bilinear(const Sym &a, const double *y, const double *x) {
    double ax[3];
    sym_apply(a, x, ax);
    return dot(y, ax);
}

void release_moment(void *obj) { komoment_free_komoment(static_cast<KOMoment *>(obj)); }

// Largest residual |A v - lambda v| of three eigenpairs.
double max_residual(const Sym &a, const double *lam, double *const *v) {
    double worst = 0.0;
    for (int k = 0; k < 3; k++) {
        double av[3];
        sym_apply(a, v[k], av);
        for (int r = 0; r < 3; r++) {
            double d = fabs(av[r] - lam[k] * v[k][r]);
            if (!(d <= worst)) worst = d;
        }
    }
    return worst;
}

// The cubic's roots lose about half their digits when two eigenvalues
// nearly coincide, and the vectors of such a pair then come out of the
// complements only roughly.  The analysis in the basis found so far is
// nearly diagonal; a few Jacobi rotations finish it to working precision,
// and the eigenvalues become the Rayleigh quotients.
void polish(const Sym &a, double *lam, double *const *v) {
    double b[3][3];
    for (int i = 0; i < 3; i++)
        for (int j = i; j < 3; j++) b[i][j] = b[j][i] = bilinear(a, v[i], v[j]);
    for (int sweep = 0; sweep < 8; sweep++) {
        double off = fabs(b[0][1]) + fabs(b[0][2]) + fabs(b[1][2]);
        if (!(off > 1e-18)) break;
        for (int p = 0; p < 2; p++) {
            for (int q = p + 1; q < 3; q++) {
                if (b[p][q] == 0.0) continue;
                double theta = (b[q][q] - b[p][p]) / (2.0 * b[p][q]);
                double t = 1.0 / (fabs(theta) + sqrt(theta * theta + 1.0));
                if (theta < 0.0) t = -t;
                if (!std::isfinite(t)) continue;
                double c = 1.0 / sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < 3; k++) {  // B <- B J on columns p, q
                    double bkp = b[k][p], bkq = b[k][q];
                    b[k][p] = c * bkp - s * bkq;
                    b[k][q] = s * bkp + c * bkq;
                }
                for (int k = 0; k < 3; k++) {  // B <- J^T B on rows p, q
                    double bpk = b[p][k], bqk = b[q][k];
                    b[p][k] = c * bpk - s * bqk;
                    b[q][k] = s * bpk + c * bqk;
                }
                b[p][q] = b[q][p] = 0.0;
                for (int k = 0; k < 3; k++) {  // V <- V J
                    double vp = v[p][k], vq = v[q][k];
                    v[p][k] = c * vp - s * vq;
                    v[q][k] = s * vp + c * vq;
                }
            }
        }
    }
    for (int k = 0; k < 3; k++) lam[k] = b[k][k];
    komoment_order(lam[0], lam[1], lam[2], &lam[0], &lam[1], &lam[2], v[0], v[1], v[2]);
    for (int k = 0; k < 3; k++) komoment_normalize(v[k]);
    cross(v[0], v[1], v[2]);  // a reordering may have left the triple left-handed
}

}  // namespace

extern "C" {

// --------------------------------------------------------------- analysis

void komoment_order(double ka, double kb, double kc, double *ao, double *bo, double *co, double *aov, double *bov,
                    double *cov) {
    int order[3];
    if (ka < kb) {
        if (ka < kc) {
            if (kb < kc) {
                order[0] = 0, order[1] = 1, order[2] = 2;
            } else {
                order[0] = 0, order[1] = 2, order[2] = 1;
            }
        } else {
            order[0] = 2, order[1] = 0, order[2] = 1;
        }
    } else if (ka < kc) {
        order[0] = 1, order[1] = 0, order[2] = 2;
    } else if (kb < kc) {
        order[0] = 1, order[1] = 2, order[2] = 0;
    } else {
        order[0] = 2, order[1] = 1, order[2] = 0;
    }

    double *vals[3] = {ao, bo, co};
    double *vecs[3] = {aov, bov, cov};
    double v[3], w[3][3];
    for (int i = 0; i < 3; i++) {
        v[i] = vals[i] ? *vals[i] : 0.0;
        if (vecs[i])
            copy3(vecs[i], w[i]);
        else
            set3(w[i], 0.0, 0.0, 0.0);
    }
    for (int i = 0; i < 3; i++) {
        if (vals[i]) *vals[i] = v[order[i]];
        if (vecs[i]) copy3(w[order[i]], vecs[i]);
    }
}

void komoment_normalize(double *v) {
    double len = sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(len >= KOM_TINY)) {
        set3(v, 0.0, 0.0, 0.0);
        return;
    }
    v[0] /= len;
    v[1] /= len;
    v[2] /= len;
}

void komoment_compute_eigenvalues(double axx, double ayy, double azz, double axy, double axz, double ayz,
                                  double *root1, double *root2, double *root3) {
    double c2 = axx + ayy + azz;
    double c1 = (axx * ayy - axy * axy) + (axx * azz - axz * axz) + (ayy * azz - ayz * ayz);
    double c0 = axx * ayy * azz + 2.0 * axy * axz * ayz - axx * ayz * ayz - ayy * axz * axz - azz * axy * axy;

    double m = c2 / 3.0;
    double a = (c1 - c2 * m) / 3.0;
    if (a > 0.0) a = 0.0;
    double h = 0.5 * (c0 + m * (2.0 * m * m - c1));
    double q = h * h + a * a * a;
    if (q > 0.0) q = 0.0;

    double mag = sqrt(-a);
    double theta = atan2(sqrt(-q), h) / 3.0;
    double c = cos(theta), s = sin(theta);
    *root1 = m + 2.0 * mag * c;
    *root2 = m - mag * (c + KOM_SQRT3 * s);
    *root3 = m - mag * (c - KOM_SQRT3 * s);
}

int komoment_positiverank(double bxx, double byy, double bzz, double bxy, double bxz, double byz, double *maxmag,
                          double *row) {
    // Scan order and the row each entry belongs to.
    const double entries[6] = {bxx, bxy, bxz, byy, byz, bzz};
    const int rowof[6] = {0, 0, 0, 1, 1, 2};
    double best = -1.0;
    int which = 0;
    for (int i = 0; i < 6; i++) {
        double m = fabs(entries[i]);
        if (m > best) {
            best = m;
            which = i;
        }
    }
    switch (rowof[which]) {
    case 0: set3(row, bxx, bxy, bxz); break;
    case 1: set3(row, bxy, byy, byz); break;
    default: set3(row, bxz, byz, bzz); break;
    }
    *maxmag = best;
    return best >= KOM_TINY ? 1 : 0;
}

void komoment_complement(const double *w, double *u, double *v) {
    if (fabs(w[0]) >= fabs(w[1])) {
        double l = sqrt(w[0] * w[0] + w[2] * w[2]);
        set3(u, -w[2] / l, 0.0, w[0] / l);
        set3(v, w[1] * u[2], w[2] * u[0] - w[0] * u[2], -w[1] * u[0]);
    } else {
        double l = sqrt(w[1] * w[1] + w[2] * w[2]);
        set3(u, 0.0, w[2] / l, -w[1] / l);
        set3(v, w[1] * u[2] - w[2] * u[1], -w[0] * u[2], w[0] * u[1]);
    }
}

void komoment_compute_eigenvectors(double axx, double ayy, double azz, double axy, double axz, double ayz,
                                   const double *u, double lambda, double mu, double *vi, double *vj, double *vl) {
    const Sym a = {axx, ayy, azz, axy, axz, ayz};
    double u0[3], u1[3];
    komoment_complement(u, u0, u1);

    // The eigenvector of lambda lies in the plane of u0 and u1: the null
    // vector of the 2 x 2 restriction of lambda I - A, taken from its row
    // with the larger entries.
    double p00 = lambda - quad(a, u0);
    double p01 = bilinear(a, u1, u0);
    double p11 = lambda - quad(a, u1);
    double big = fabs(p00);
    if (fabs(p01) > big) big = fabs(p01);
    double w[3];
    if (fabs(p11) > big) {
        if (fabs(p11) >= KOM_TINY) {
            double n = sqrt(p01 * p01 + p11 * p11);
            for (int k = 0; k < 3; k++) w[k] = (p01 / n) * u1[k] + (p11 / n) * u0[k];
        } else {
            copy3(u0, w);
        }
    } else if (big >= KOM_TINY) {
        double n = sqrt(p01 * p01 + p00 * p00);
        for (int k = 0; k < 3; k++) w[k] = (p00 / n) * u1[k] + (p01 / n) * u0[k];
    } else {
        copy3(u1, w);
    }
    copy3(w, vi);

    // The eigenvector of mu lies in the plane orthogonal to vi, spanned by u
    // and u x vi.
    double ww[3];
    cross(u, vi, ww);
    double q00 = mu - quad(a, u);
    double q01 = bilinear(a, ww, u);
    double q11 = mu - quad(a, ww);
    double big2 = fabs(q00);
    if (fabs(q01) > big2) big2 = fabs(q01);
    if (fabs(q11) > big2) {
        if (fabs(q11) >= KOM_TINY) {
            double n = sqrt(q01 * q01 + q11 * q11);
            for (int k = 0; k < 3; k++) w[k] = (q01 / n) * ww[k] + (q11 / n) * u[k];
        } else {
            copy3(u, w);
        }
    } else if (big2 >= KOM_TINY) {
        double n = sqrt(q01 * q01 + q00 * q00);
        for (int k = 0; k < 3; k++) w[k] = (q00 / n) * ww[k] + (q01 / n) * u[k];
    } else {
        copy3(ww, w);
    }
    copy3(w, vj);
    cross(vi, vj, vl);
}

void komoment_compute_eigen(double axx, double ayy, double azz, double axy, double axz, double ayz, double *eig1,
                            double *eig2, double *eig3, double *eigv1, double *eigv2, double *eigv3) {
    const double in[6] = {axx, ayy, azz, axy, axz, ayz};
    double s = 0.0;
    for (double v : in)
        if (fabs(v) > s) s = fabs(v);
    if (s == 0.0) {
        *eig1 = *eig2 = *eig3 = 0.0;
        set3(eigv1, 0.0, 0.0, 0.0);
        set3(eigv2, 0.0, 0.0, 0.0);
        set3(eigv3, 0.0, 0.0, 0.0);
        return;
    }

    // Work on the matrix scaled to unit largest entry, so the tolerances are
    // relative and nothing overflows.
    Sym a;
    double inv = 1.0 / s;
    if (std::isfinite(inv)) {
        a = {axx * inv, ayy * inv, azz * inv, axy * inv, axz * inv, ayz * inv};
    } else {  // subnormal scale: 1/s overflows
        a = {axx / s, ayy / s, azz / s, axy / s, axz / s, ayz / s};
    }

    double lam[3];
    komoment_compute_eigenvalues(a.xx, a.yy, a.zz, a.xy, a.xz, a.yz, &lam[0], &lam[1], &lam[2]);
    komoment_order(lam[0], lam[1], lam[2], &lam[0], &lam[1], &lam[2], nullptr, nullptr, nullptr);

    double mk[3], rk[3][3];
    bool ranked = true;
    for (int k = 0; k < 3; k++) {
        if (!komoment_positiverank(a.xx - lam[k], a.yy - lam[k], a.zz - lam[k], a.xy, a.xz, a.yz, &mk[k], rk[k]))
            ranked = false;
    }

    double *v[3] = {eigv1, eigv2, eigv3};
    if (!ranked) {
        set3(eigv1, 1.0, 0.0, 0.0);
        set3(eigv2, 0.0, 1.0, 0.0);
        set3(eigv3, 0.0, 0.0, 1.0);
    } else {
        // The best-conditioned of the three shifted matrices gives a vector
        // orthogonal to its eigenvector.
        int k = 0;
        if (mk[1] > mk[k]) k = 1;
        if (mk[2] > mk[k]) k = 2;
        double u[3];
        copy3(rk[k], u);
        komoment_normalize(u);
        int i = k, j = (k + 1) % 3, l = (k + 2) % 3;
        double vi[3], vj[3], vl[3];
        komoment_compute_eigenvectors(a.xx, a.yy, a.zz, a.xy, a.xz, a.yz, u, lam[i], lam[j], vi, vj, vl);
        copy3(vi, v[i]);
        copy3(vj, v[j]);
        copy3(vl, v[l]);
        if (max_residual(a, lam, v) > 1e-12) polish(a, lam, v);
    }
    *eig1 = lam[0] * s;
    *eig2 = lam[1] * s;
    *eig3 = lam[2] * s;
}

void komoment_compute_evs(KOMoment *m) {
    if (!m) return;
    double iso = (m->mxx + m->myy + m->mzz) / 3.0;
    if (fabs(iso) < KOM_TINY) iso = 0.0;
    m->isotropic = iso;
    m->mxx_d = m->mxx - iso;
    m->myy_d = m->myy - iso;
    m->mzz_d = m->mzz - iso;

    komoment_compute_eigen(m->mxx, m->myy, m->mzz, m->mxy, m->mxz, m->myz, &m->eig1, &m->eig2, &m->eig3, m->eigv1,
                           m->eigv2, m->eigv3);
    if (fabs(m->eig1) < KOM_TINY) m->eig1 = 0.0;
    if (fabs(m->eig2) < KOM_TINY) m->eig2 = 0.0;
    if (fabs(m->eig3) < KOM_TINY) m->eig3 = 0.0;
    copy3(m->eigv1, m->p_axis);
    copy3(m->eigv2, m->n_axis);
    copy3(m->eigv3, m->t_axis);

    double d1, d2, d3, w1[3], w2[3], w3[3];
    komoment_compute_eigen(m->mxx_d, m->myy_d, m->mzz_d, m->mxy, m->mxz, m->myz, &d1, &d2, &d3, w1, w2, w3);
    if (fabs(d2) < KOM_TINY) d2 = 0.0;
    komoment_order(fabs(d1), fabs(d2), fabs(d3), &d1, &d2, &d3, w1, w2, w3);

    double emax = fabs(d3), emin = fabs(d1);
    double e = emax < KOM_TINY ? 0.5 : emin / emax;
    // A trace that is not exactly removed (an isotropic part below the
    // threshold) can put e a hair above one half; keep the percentage and
    // the double-couple size in range.
    if (e > 0.5) e = 0.5;
    m->percent_dc = (1.0 - 2.0 * e) * 100.0;

    // The best double couple keeps the sign of the largest deviatoric
    // eigenvalue: along w3 it has the sign of d3, along w2 the opposite one,
    // so a pure double couple is its own best double couple.
    double f = (1.0 - 2.0 * e) * emax;
    if (d3 < 0.0) f = -f;
    m->mxx_dc = f * (w3[0] * w3[0] - w2[0] * w2[0]);
    m->myy_dc = f * (w3[1] * w3[1] - w2[1] * w2[1]);
    m->mzz_dc = f * (w3[2] * w3[2] - w2[2] * w2[2]);
    m->mxy_dc = f * (w3[0] * w3[1] - w2[0] * w2[1]);
    m->mxz_dc = f * (w3[0] * w3[2] - w2[0] * w2[2]);
    m->myz_dc = f * (w3[1] * w3[2] - w2[1] * w2[2]);

    komoment_compute_eigen(m->mxx_dc, m->myy_dc, m->mzz_dc, m->mxy_dc, m->mxz_dc, m->myz_dc, &m->eig1_dc,
                           &m->eig2_dc, &m->eig3_dc, m->eigv1_dc, m->eigv2_dc, m->eigv3_dc);
}

// --------------------------------------------------------------- records

KOMoment *komoment_create(double mxx, double myy, double mzz, double mxy, double mxz, double myz, char *tag,
                          char *handle) {
    if (komoment_registry.ensure("komoment_create") < 0) return nullptr;
    const double c[6] = {mxx, myy, mzz, mxy, mxz, myz};
    for (double v : c) {
        if (!std::isfinite(v)) {
            elog_log(0, "komoment_create: tensor component is not a finite number.\n");
            return nullptr;
        }
        if (fabs(v) > KOM_MAX_COMPONENT) {
            elog_log(0, "komoment_create: tensor component %g out of range (magnitude above %g).\n", v,
                     KOM_MAX_COMPONENT);
            return nullptr;
        }
    }
    KOMoment *m = static_cast<KOMoment *>(calloc(1, sizeof(KOMoment)));
    if (!m) {
        elog_log(1, "komoment_create: malloc(KOMoment,%ld) error.\n", (long)sizeof(KOMoment));
        return nullptr;
    }
    if (tag) {
        m->tag = strdup(tag);
        if (!m->tag) {
            elog_log(1, "komoment_create: strdup(tag) error.\n");
            free(m);
            return nullptr;
        }
    }
    m->mxx = mxx;
    m->myy = myy;
    m->mzz = mzz;
    m->mxy = mxy;
    m->mxz = mxz;
    m->myz = myz;
    komoment_compute_evs(m);
    if (handle && komoment_registry.add("komoment_create", m, handle) < 0) {
        komoment_free_komoment(m);
        return nullptr;
    }
    return m;
}

int komoment_register_moment(KOMoment *moment, char *handle) {
    return komoment_registry.add("komoment_register_moment", moment, handle);
}

KOMoment *komoment_get_moment(char *handle) {
    return static_cast<KOMoment *>(komoment_registry.get("komoment_get_moment", handle));
}

void komoment_free_komoment(KOMoment *moment) {
    if (!moment) return;
    free(moment->tag);
    free(moment);
}

int komoment_free(char *handle) { return komoment_registry.free_silent("komoment_get_moment", handle, release_moment); }

// --------------------------------------------------------------- self-test

int komoment_eigen_test_seeded(const unsigned short seed[3]) {
    unsigned short s[3] = {seed[0], seed[1], seed[2]};
    seed48(s);
    double r[6];
    for (double &v : r) v = (drand48() - 0.5) * 1e8;
    const Sym a = {r[0], r[1], r[2], r[3], r[4], r[5]};

    double eig[3], vec[3][3];
    komoment_compute_eigen(a.xx, a.yy, a.zz, a.xy, a.xz, a.yz, &eig[0], &eig[1], &eig[2], vec[0], vec[1], vec[2]);
    for (int k = 0; k < 3; k++) {
        printf("eig%d = %.8f\n", k + 1, eig[k]);
        printf("eigv%d = %.8f %.8f %.8f\n", k + 1, vec[k][0], vec[k][1], vec[k][2]);
    }
    for (int k = 0; k < 3; k++) {
        double av[3];
        sym_apply(a, vec[k], av);
        for (int row = 0; row < 3; row++) printf("%.8f = %.8f\n", av[row], eig[k] * vec[k][row]);
    }
    fflush(stdout);
    return 0;
}

int komoment_eigen_test(void) {
    time_t now = time(nullptr);
    unsigned long t = (unsigned long)now;
    const unsigned short seed[3] = {(unsigned short)(t & 0xffff), (unsigned short)((t >> 16) & 0xffff),
                                    (unsigned short)((t >> 32) & 0xffff)};
    return komoment_eigen_test_seeded(seed);
}

}  // extern "C"
