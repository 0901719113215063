// Moment tensors: the closed-form eigen-analysis of a symmetric 3 x 3 matrix,
// the principal axes and double-couple decomposition made once when a tensor
// is created, the registry of tensors, and the focal-sphere projections
// (nodal outlines and fills) that beach-ball displays draw.
//
// The eigenvalues are the roots of the characteristic cubic by the
// trigonometric method; the eigenvectors come from orthogonal complements,
// so no iteration is involved and every input gives an answer.

#include "komoment.h"
#include "kocatch_pvt.h"
#include "koregistry_pvt.h"
#include "kovector2.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <vector>

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

// How many registry entries hold each registered record.  A record freed
// directly must lose all of them, and one freed by its tag normally has no
// other, so neither kind of free has to scan the whole registry for it.
std::unordered_map<const KOMoment *, int> komoment_entries;
// Set when an entry could not be counted: frees then scan the registry.
bool komoment_entries_uncounted = false;

void count_entry(const KOMoment *m) {
    try {
        komoment_entries[m]++;
    } catch (...) {
        komoment_entries_uncounted = true;
    }
}

// Called by the registry once it has removed the entry of the freed tag.
void release_moment(void *obj) {
    KOMoment *m = static_cast<KOMoment *>(obj);
    auto it = komoment_entries.find(m);
    if (it != komoment_entries.end() && --it->second <= 0) komoment_entries.erase(it);
    komoment_free_komoment(m);
}

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
    if (handle) {
        if (komoment_registry.add("komoment_create", m, handle) < 0) {
            komoment_free_komoment(m);
            return nullptr;
        }
        count_entry(m);
    }
    return m;
}

int komoment_register_moment(KOMoment *moment, char *handle) {
    if (komoment_registry.add("komoment_register_moment", moment, handle) < 0) return -1;
    count_entry(moment);
    return 0;
}

KOMoment *komoment_get_moment(char *handle) {
    return static_cast<KOMoment *>(komoment_registry.get("komoment_get_moment", handle));
}

void komoment_free_komoment(KOMoment *moment) {
    if (!moment) return;
    // A record freed directly while still registered must not stay
    // reachable through any of its tags.
    auto it = komoment_entries.find(moment);
    if (it != komoment_entries.end()) {
        int n = it->second;
        komoment_entries.erase(it);
        for (int k = 0; k < n; k++)
            if (komoment_registry.remove_object(moment) < 0) break;
    } else if (komoment_entries_uncounted) {
        while (komoment_registry.remove_object(moment) == 0) {
        }
    }
    free(moment->tag);
    free(moment);
}

int komoment_free(char *handle) { return komoment_registry.free_silent("komoment_get_moment", handle, release_moment); }

// --------------------------------------------------------------- self-test

int komoment_eigen_test_seeded(const unsigned short seed[3]) {
    if (!seed) return komoment_eigen_test();
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

// ===================================================== focal-sphere projections

namespace {

const int KOM_NLOOP = 73;  // points of a nodal loop, first and last equal
const double KOM_NONE = -999.0;
const double KOM_ARC_STEP = 0.08726646259971647;  // 5 degrees
// Hidden points closer than this (in 1 + zp) to the point opposite the
// projection centre have no usable projection.
const double KOM_ANTIPODE = 1e-9;
const double KOM_ON_HORIZON = 1e-12;

struct Pt {
    double x, y;
};

// Empties a handle buffer, releasing the vector it names.  A stale or
// unknown tag leaves no message behind (only the lookup's own message is
// dropped; earlier messages of the caller stay).
void release_buffer(char *handle) {
    if (!handle) return;
    if (handle[0]) {
        int mark = elog_mark();
        KOVector2 *v = kovector2_get_vector(handle);
        elog_flush(0, mark);
        if (v) kovector2_free(handle);
    }
    handle[0] = '\0';
}

// Reads all points of a one-column vector.
int read_points(char *handle, std::vector<Pt> &pts) {
    double *xs = nullptr, *ys = nullptr;
    int xsize = 0, ysize = 0, nx = 0, ny = 0;
    int rc = kovector2_get_points(handle, 0, &nx, &ny, &xs, &xsize, &ys, &ysize, nullptr);
    try {
        if (rc == 0) {
            pts.resize((size_t)nx);
            for (int i = 0; i < nx; i++) pts[(size_t)i] = {xs[i], ys[i]};
        }
    } catch (...) {
        free(xs);
        free(ys);
        throw;
    }
    free(xs);
    free(ys);
    return rc;
}

// The points komoment_make_arc appends.
void arc_points(double xin, double yin, double xout, double yout, int long_arc, std::vector<Pt> &pts) {
    pts.clear();
    double phiout = atan2(yout, xout), phiin = atan2(yin, xin);
    double delta = phiin - phiout;
    if (!std::isfinite(delta)) return;
    while (delta >= M_PI) delta -= 2.0 * M_PI;
    while (delta < -M_PI) delta += 2.0 * M_PI;
    if (long_arc) delta = delta >= 0.0 ? delta - 2.0 * M_PI : delta + 2.0 * M_PI;
    if (delta >= 0.0) {
        for (double phi = KOM_ARC_STEP; phi < delta; phi += KOM_ARC_STEP)
            pts.push_back({cos(phiout + phi), sin(phiout + phi)});
    } else {
        for (double phi = -KOM_ARC_STEP; phi > delta; phi -= KOM_ARC_STEP)
            pts.push_back({cos(phiout + phi), sin(phiout + phi)});
    }
}

// One output vector of a projection: made when its first point arrives.
class OutVec {
public:
    OutVec(const char *fname, char *handle) : fname_(fname), handle_(handle) {}

    bool exists() const { return handle_ && handle_[0]; }
    int count() const { return n_; }

    int make() {
        if (exists()) return 0;
        if (!handle_) return -1;
        if (!kovector2_create(1, 1, nullptr, handle_)) {
            elog_log(0, "%s: kovector2_create() error.\n", fname_);
            return -1;
        }
        n_ = 0;
        return 0;
    }

    int add(double x, double y) {
        if (make() < 0) return -1;
        if (kovector2_append(handle_, -1, x, &y, nullptr) < 0) {
            elog_log(0, "%s: kovector2_append() error.\n", fname_);
            return -1;
        }
        if (n_ == 0) first_ = {x, y};
        last_ = {x, y};
        n_++;
        return 0;
    }

    // The arc from the out point towards the in point.
    int arc(double xin, double yin, double xout, double yout, int long_arc) {
        std::vector<Pt> pts;
        arc_points(xin, yin, xout, yout, long_arc, pts);
        for (const Pt &p : pts) {
            if (make() < 0) return -1;
            if (kovector2_append(handle_, -1, p.x, const_cast<double *>(&p.y), nullptr) < 0) {
                elog_log(0, "komoment_make_arc: kovector2_append() error.\n");
                elog_log(0, "%s: komoment_make_arc() error.\n", fname_);
                return -1;
            }
            if (n_ == 0) first_ = p;
            last_ = p;
            n_++;
        }
        return 0;
    }

    // Ends a polygon on its first point.
    int close_polygon() {
        if (n_ > 0 && (last_.x != first_.x || last_.y != first_.y)) return add(first_.x, first_.y);
        return 0;
    }

private:
    const char *fname_;
    char *handle_;
    int n_ = 0;
    Pt first_ = {0, 0}, last_ = {0, 0};
};

// Projected position of a loop point, with a flag for the points whose
// projection is unusable (at or next to the antipode of the centre).
struct Proj {
    double x, y, z;  // the point on the sphere
    double zp;       // its height towards the viewer
    double xp, yp;   // its stereographic image
    bool usable;
};

Proj project(double x, double y, double z, double zp) {
    Proj p;
    p.x = x, p.y = y, p.z = z;
    p.zp = zp;
    // A hidden point projects outside the circle, never onto the centre.
    p.usable = 1.0 + p.zp > KOM_ANTIPODE && !(x == 0.0 && y == 0.0 && p.zp < 0.0);
    if (x == 0.0 && y == 0.0) {
        p.xp = p.yp = 0.0;
    } else if (p.usable) {
        p.xp = x / (1.0 + p.zp);
        p.yp = y / (1.0 + p.zp);
    } else {
        p.xp = p.yp = 0.0;  // never used
    }
    return p;
}

// Where the way from a to b (one visible, one hidden) meets the horizon:
// on the great circle through the two points, where it reaches the horizon
// plane.  That is exact for the great circles of a double couple and close
// for any nodal curve, and it needs no projection of the hidden point, so
// a point at or next to the antipode of the centre is handled like any
// other.  (Cutting the straight segment between the two projected points
// with the unit circle misses the curve by up to about 1e-3 at the loops'
// spacing.)
int crossing(const Proj &a, const Proj &b, double *xi, double *yi) {
    double t = a.zp / (a.zp - b.zp);
    if (t >= 0.0 && t <= 1.0) {
        double qx = a.x + t * (b.x - a.x), qy = a.y + t * (b.y - a.y);
        double r = hypot(qx, qy);
        if (r > 1e-300 && std::isfinite(r)) {
            *xi = qx / r;
            *yi = qy / r;
            return 0;
        }
    }
    // The chord passes through the vertical axis: fall back on the
    // projected segment when both ends have images.
    if (a.usable && b.usable) return komoment_intersect(a.xp, a.yp, b.xp, b.yp, xi, yi);
    return -1;
}

bool finite_all(const double *v, int n) {
    for (int i = 0; i < n; i++)
        if (!std::isfinite(v[i])) return false;
    return true;
}

}  // namespace

extern "C" {

int komoment_intersect(double x0, double y0, double x1, double y1, double *xi, double *yi) {
    double dx = x1 - x0, dy = y1 - y0;
    if (dx == 0.0 && dy == 0.0) return -1;
    double a = dx * dx + dy * dy;
    double d = dx * y0 - x0 * dy;
    double disc = 4.0 * (a - d * d);
    if (!(disc >= 0.0)) return -1;  // negative, or not a number
    double b = 2.0 * (x0 * dx + y0 * dy);
    double root = sqrt(disc);
    const double ts[2] = {(-b - root) / (2.0 * a), (root - b) / (2.0 * a)};
    for (double t : ts) {
        if (t >= -1e-5 && t <= 1.00001) {
            double x = x0 + t * dx, y = y0 + t * dy;
            if (!std::isfinite(x) || !std::isfinite(y)) return -1;
            if (xi) *xi = x;
            if (yi) *yi = y;
            return 0;
        }
    }
    return -1;
}

static int make_arc_run(double xin, double yin, double xout, double yout, int long_arc, char *vec_handle) {
    std::vector<Pt> pts;
    arc_points(xin, yin, xout, yout, long_arc, pts);
    for (Pt &p : pts) {
        if (kovector2_append(vec_handle, -1, p.x, &p.y, nullptr) < 0) {
            elog_log(0, "komoment_make_arc: kovector2_append() error.\n");
            return -1;
        }
    }
    return 0;
}

static int make_projection_run(int upper, int close, double *x, double *y, double *z, char *vec_handle_outline,
                             char *vec_handle_fill, int *in, int *out) {
    static const char *fname = "komoment_make_projection";
    int dummy_in, dummy_out;
    if (!in) in = &dummy_in;
    if (!out) out = &dummy_out;
    *in = *out = -1;
    if (!vec_handle_outline || (close && !vec_handle_fill)) {
        elog_log(0, "komoment_make_projection: missing %s handle buffer.\n", vec_handle_outline ? "fill" : "outline");
        return -1;
    }
    if (!x || !y || !z || !finite_all(x, KOM_NLOOP) || !finite_all(y, KOM_NLOOP) || !finite_all(z, KOM_NLOOP)) {
        elog_log(0, "komoment_make_projection: loop points missing or not finite.\n");
        return -1;
    }
    release_buffer(vec_handle_outline);
    release_buffer(vec_handle_fill);

    OutVec outline(fname, vec_handle_outline);
    OutVec fill(fname, close ? vec_handle_fill : nullptr);
    double xin = KOM_NONE, yin = KOM_NONE, xout = KOM_NONE, yout = KOM_NONE;
    int in_outline = -1;
    Proj last = {0, 0, 0, 0, 0, 0, true};
    Proj lastvis = last;
    bool first = true;

    // A stretch of loop lying in the horizon plane (a horizontal nodal
    // plane) would dither across it by rounding and make spurious entries
    // and exits.  Its points are on the horizon: visible with the rest of a
    // loop that shows anywhere, hidden with a loop that shows nowhere else.
    double zps[KOM_NLOOP];
    int nvisible = 0, nhidden = 0;
    for (int i = 0; i < KOM_NLOOP; i++) {
        zps[i] = upper ? z[i] : -z[i];
        if (zps[i] >= KOM_ON_HORIZON) nvisible++;
        if (zps[i] <= -KOM_ON_HORIZON) nhidden++;
    }
    const double horizon_zp = nvisible > 0 || nhidden == 0 ? 0.0 : -KOM_ON_HORIZON;
    for (double &zp : zps)
        if (fabs(zp) < KOM_ON_HORIZON) zp = horizon_zp;

    for (int i = 0; i < KOM_NLOOP; i++) {
        Proj p = project(x[i], y[i], z[i], zps[i]);
        double xi = 0.0, yi = 0.0;
        if (p.zp >= 0.0) {
            if (!first && last.zp < 0.0 && crossing(last, p, &xi, &yi) == 0) {
                if (outline.make() < 0) return -1;
                if (close && fill.make() < 0) return -1;
                xin = xi, yin = yi;
                if (close && xout != KOM_NONE) {
                    if (fill.arc(xi, yi, xout, yout, 0) < 0) return -1;
                    xout = KOM_NONE;
                }
                if (outline.add(xi, yi) < 0) return -1;
                in_outline = outline.count() - 1;
                if (close) {
                    if (fill.add(xi, yi) < 0) return -1;
                    *in = fill.count() - 1;
                }
            }
            if (outline.add(p.xp, p.yp) < 0) return -1;
            if (close && fill.add(p.xp, p.yp) < 0) return -1;
            lastvis = p;
        } else if (!first && last.zp >= 0.0) {
            if (crossing(last, p, &xi, &yi) == 0) {
                if (outline.add(xi, yi) < 0) return -1;
                if (close && fill.add(xi, yi) < 0) return -1;
            } else {
                // No crossing found (only by rounding): leave the horizon
                // where the last visible point points to.
                double r = hypot(lastvis.xp, lastvis.yp);
                if (r > 0.0) {
                    xi = lastvis.xp / r, yi = lastvis.yp / r;
                } else {
                    xi = 1.0, yi = 0.0;
                }
            }
            if (fill.exists()) {
                *out = fill.count() - 1;
                xout = xi, yout = yi;
            }
            if (close && xin != KOM_NONE) {
                if (fill.arc(xin, yin, xout, yout, 0) < 0) return -1;
                xin = KOM_NONE;
            }
        }
        last = p;
        first = false;
    }

    if (in_outline > 0) {
        std::vector<Pt> pts;
        if (read_points(vec_handle_outline, pts) < 0) {
            elog_log(0, "komoment_make_projection: kovector2_get_points() error.\n");
            return -1;
        }
        kovector2_free(vec_handle_outline);
        vec_handle_outline[0] = '\0';
        if (!kovector2_create((int)pts.size(), 1, nullptr, vec_handle_outline)) {
            elog_log(0, "komoment_make_projection: kovector2_create() error.\n");
            return -1;
        }
        size_t n = pts.size(), start = (size_t)in_outline;
        for (size_t k = 0; k < n; k++) {
            Pt &q = pts[(start + k) % n];
            if (kovector2_append(vec_handle_outline, -1, q.x, &q.y, nullptr) < 0) {
                elog_log(0, "komoment_make_projection: kovector2_append() error.\n");
                return -1;
            }
        }
    }
    if (close && fill.close_polygon() < 0) return -1;
    return 0;
}

static int make_nodal_projections_run(double eigp, double eign, double eigt, double *rotate, int upper, int close,
                                    char *vec1_handle_outline, char *vec2_handle_outline, char *vec1_handle_fill,
                                    char *vec2_handle_fill) {
    static const char *fname = "komoment_make_nodal_projections";
    const double ev[3] = {eigp, eign, eigt};
    if (!finite_all(ev, 3) || (rotate && !finite_all(rotate, 9))) {
        elog_log(0, "komoment_make_nodal_projections: principal values or rotation not finite.\n");
        return -1;
    }
    double p = eigp, n = eign, t = eigt;
    bool reverse = false;
    if (fabs(p) > fabs(t)) {
        double op = p;
        p = -t;
        n = -n;
        t = -op;
        reverse = true;
    }

    double eig_ratio = p != 0.0 ? -n / p : -1.0;
    double phi0 = eig_ratio >= 0.0 ? atan(sqrt(eig_ratio)) : 0.0;
    double phi1 = M_PI / 2.0;
    double dphi = (phi1 - phi0) / 18.0;

    double x1[KOM_NLOOP], y1[KOM_NLOOP], z1[KOM_NLOOP];
    double x2[KOM_NLOOP], y2[KOM_NLOOP], z2[KOM_NLOOP];
    for (int i = 0; i <= 18; i++) {
        double phi = phi0 + i * dphi;
        double s = sin(phi), c = cos(phi);
        double arg = n * c * c + p * s * s;
        double a;
        if (arg == 0.0) {
            a = M_PI / 2.0;
        } else {
            arg = -t / arg;
            a = arg <= 0.0 ? M_PI / 2.0 : atan(sqrt(arg));
        }
        x1[i] = s * sin(a);
        y1[i] = c * sin(a);
        z1[i] = cos(a);
    }
    for (int i = 19; i <= 36; i++) {
        x1[i] = x1[36 - i];
        y1[i] = -y1[36 - i];
        z1[i] = z1[36 - i];
    }
    // With eig_ratio >= 0 the loop surrounds the x axis, otherwise the z axis.
    const bool around_x = eig_ratio >= 0.0;
    for (int i = 37; i < KOM_NLOOP; i++) {
        x1[i] = around_x ? x1[72 - i] : -x1[72 - i];
        y1[i] = y1[72 - i];
        z1[i] = around_x ? -z1[72 - i] : z1[72 - i];
    }
    for (int i = 0; i < KOM_NLOOP; i++) {
        x2[72 - i] = around_x ? -x1[i] : x1[i];
        y2[72 - i] = y1[i];
        z2[72 - i] = around_x ? z1[i] : -z1[i];
    }
    double *xs[2] = {x1, x2}, *ys[2] = {y1, y2}, *zs[2] = {z1, z2};
    for (int l = 0; l < 2; l++) {
        for (int i = 0; i < KOM_NLOOP; i++) {
            double px = xs[l][i], py = ys[l][i], pz = zs[l][i];
            if (reverse) {
                double ox = px;
                px = pz;
                pz = -ox;
            }
            if (rotate) {
                double rx = rotate[0] * px + rotate[1] * py + rotate[2] * pz;
                double ry = rotate[3] * px + rotate[4] * py + rotate[5] * pz;
                double rz = rotate[6] * px + rotate[7] * py + rotate[8] * pz;
                // Keep the points on the unit sphere whatever rounding the
                // rotation carries, so visible images stay inside the circle.
                double len = sqrt(rx * rx + ry * ry + rz * rz);
                if (len > 0.0 && std::isfinite(len)) rx /= len, ry /= len, rz /= len;
                px = rx, py = ry, pz = rz;
            }
            xs[l][i] = px;
            ys[l][i] = py;
            zs[l][i] = pz;
        }
    }

    int in1 = -1, out1 = -1, in2 = -1, out2 = -1;
    if (komoment_make_projection(upper, close, x1, y1, z1, vec1_handle_outline, vec1_handle_fill, &in1, &out1) < 0) {
        elog_log(0, "komoment_make_nodal_projections: komoment_make_projection(vec1) error.\n");
        return -1;
    }
    if (komoment_make_projection(upper, close, x2, y2, z2, vec2_handle_outline, vec2_handle_fill, &in2, &out2) < 0) {
        elog_log(0, "komoment_make_nodal_projections: komoment_make_projection(vec2) error.\n");
        return -1;
    }

    // The loops' own fills cover the caps they surround.  Caps around the z
    // axis (after any reversal) are where the pattern is positive; caps
    // around the x axis are where it is negative.  A reversal flips the sign
    // once more.  Where the caps are the negative lobes, the fill becomes
    // their complement: the band between the two loops.
    if (!close || reverse == around_x) return 0;

    char *f1 = vec1_handle_fill, *f2 = vec2_handle_fill;
    bool have1 = f1 && f1[0], have2 = f2 && f2[0];
    if (have1 && have2) {
        if (in1 < 0 || in2 < 0) {
            elog_complain(0, "komoment_make_nodal_projections: Unexpected topology.\n");
            return 0;
        }
        std::vector<Pt> p1, p2;
        if (read_points(f1, p1) < 0 || read_points(f2, p2) < 0) {
            elog_log(0, "komoment_make_nodal_projections: kovector2_get_points() error.\n");
            return -1;
        }
        if (in1 >= (int)p1.size() || out1 >= (int)p1.size() || in2 >= (int)p2.size() || out2 >= (int)p2.size() ||
            out1 < 0 || out2 < 0) {
            elog_complain(0, "komoment_make_nodal_projections: Unexpected topology.\n");
            return 0;
        }
        release_buffer(f1);
        release_buffer(f2);
        OutVec fill(fname, f1);
        if (fill.make() < 0) return -1;
        auto add_run = [&](const std::vector<Pt> &pts, int from, int to) {
            for (int k = from; k <= to; k++)
                if (fill.add(pts[(size_t)k].x, pts[(size_t)k].y) < 0) return -1;
            return 0;
        };
        if (in1 > out1 && add_run(p1, in1, (int)p1.size() - 1) < 0) return -1;
        if (add_run(p1, 0, out1) < 0) return -1;
        if (fill.arc(p2[(size_t)in2].x, p2[(size_t)in2].y, p1[(size_t)out1].x, p1[(size_t)out1].y, 0) < 0)
            return -1;
        if (in2 > out2 && add_run(p2, in2, (int)p2.size() - 1) < 0) return -1;
        if (add_run(p2, 0, out2) < 0) return -1;
        if (fill.arc(p1[(size_t)in1].x, p1[(size_t)in1].y, p2[(size_t)out2].x, p2[(size_t)out2].y, 0) < 0)
            return -1;
        return fill.close_polygon();
    }
    if (have1 || have2) {
        std::vector<Pt> saved;
        if (read_points(have1 ? f1 : f2, saved) < 0) {
            elog_log(0, "komoment_make_nodal_projections: kovector2_get_points() error.\n");
            return -1;
        }
        release_buffer(f1);
        release_buffer(f2);
        OutVec fill(fname, f1);
        if (fill.make() < 0) return -1;
        if (in1 >= 0) return 0;
        // The whole visible disc with the cap as a hole in it.
        if (fill.add(1.0, 0.0) < 0 || fill.arc(1.0, 0.0, 1.0, 0.0, 1) < 0 || fill.add(1.0, 0.0) < 0) return -1;
        for (const Pt &q : saved)
            if (fill.add(q.x, q.y) < 0) return -1;
        return fill.close_polygon();
    }
    return 0;
}

int komoment_make_DC_projections(double *rotate, int upper, char *vec1_handle, char *vec2_handle) {
    double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (rotate) memcpy(r, rotate, sizeof r);
    if (komoment_make_nodal_projections(-1.0, 0.0, 1.0, r, upper, 0, vec1_handle, vec2_handle, nullptr, nullptr) <
        0) {
        elog_log(0, "komoment_make_DC_projections: komoment_make_projection() error.\n");
        return -1;
    }
    return 0;
}

static int compute_bb_run(char *handle, char *vecP1_handle_outline, char *vecP2_handle_outline,
                        char *vecP1_handle_fill, char *vecP2_handle_fill, char *vecDC1_handle_outline,
                        char *vecDC2_handle_outline) {
    KOMoment *m = komoment_get_moment(handle);
    if (!m) {
        elog_log(0, "komoment_compute_bb: komoment_get_moment(%s) error.\n", handle ? handle : "(null)");
        return -1;
    }
    double trace = m->mxx + m->myy + m->mzz;
    double p = m->eig1 + trace / (-3.0);
    double n = m->eig2 + trace / (-3.0);
    double t = m->eig3 + trace / (-3.0);
    double rot[9] = {m->eigv1[0], m->eigv2[0], m->eigv3[0], m->eigv1[1], m->eigv2[1],
                     m->eigv3[1], m->eigv1[2], m->eigv2[2], m->eigv3[2]};
    if (komoment_make_nodal_projections(p, n, t, rot, 1, 1, vecP1_handle_outline, vecP2_handle_outline,
                                        vecP1_handle_fill, vecP2_handle_fill) < 0) {
        elog_log(0, "komoment_compute_bb: komoment_make_nodal_projections(%s) error.\n", handle);
        return -1;
    }
    if (komoment_make_DC_projections(rot, 1, vecDC1_handle_outline, vecDC2_handle_outline) < 0) {
        elog_log(0, "komoment_compute_bb: komoment_make_DC_projections(%s) error.\n", handle);
        return -1;
    }
    return 0;
}

// The exported forms: what the standard containers may throw stays here.

int komoment_make_arc(double xin, double yin, double xout, double yout, int long_arc, char *vec_handle) {
    return ko_guarded("komoment_make_arc", -1,
                      [&] { return make_arc_run(xin, yin, xout, yout, long_arc, vec_handle); });
}

int komoment_make_projection(int upper, int close, double *x, double *y, double *z, char *vec_handle_outline,
                             char *vec_handle_fill, int *in, int *out) {
    return ko_guarded("komoment_make_projection", -1, [&] {
        return make_projection_run(upper, close, x, y, z, vec_handle_outline, vec_handle_fill, in, out);
    });
}

int komoment_make_nodal_projections(double eigp, double eign, double eigt, double *rotate, int upper, int close,
                                    char *vec1_handle_outline, char *vec2_handle_outline, char *vec1_handle_fill,
                                    char *vec2_handle_fill) {
    return ko_guarded("komoment_make_nodal_projections", -1, [&] {
        return make_nodal_projections_run(eigp, eign, eigt, rotate, upper, close, vec1_handle_outline,
                                          vec2_handle_outline, vec1_handle_fill, vec2_handle_fill);
    });
}

int komoment_compute_bb(char *handle, char *vecP1_handle_outline, char *vecP2_handle_outline,
                        char *vecP1_handle_fill, char *vecP2_handle_fill, char *vecDC1_handle_outline,
                        char *vecDC2_handle_outline) {
    return ko_guarded("komoment_compute_bb", -1, [&] {
        return compute_bb_run(handle, vecP1_handle_outline, vecP2_handle_outline, vecP1_handle_fill,
                              vecP2_handle_fill, vecDC1_handle_outline, vecDC2_handle_outline);
    });
}

}  // extern "C"
