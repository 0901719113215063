/*
 * tt.cpp -- seismic travel times in a spherical, radially layered Earth.
 *
 * The method is tau-p.  Between the nodes of a model the velocity follows a
 * power law of the radius, so the distance X(p) and delay time tau(p) of a
 * ray of parameter p have closed forms in every layer.  For each model and
 * wave type (P, or S in the mantle with P in the core) a table of half-rays
 * from the surface to their bottoming point is built once per process over
 * a ray-parameter grid dense enough that neighbouring rays land within a
 * tenth of a degree.  For each source depth the legs above the source are
 * taken off, the branches (up-going, down-going by bottoming region, core
 * reflections) are cut into pieces monotonic in distance, and each call
 * interpolates T(X) on them with cubic Hermite polynomials whose slopes are
 * the exact ray parameters.  The per-depth tables live in the caller's hook.
 *
 * This file holds the entry, the first-arrival families and the named
 * branches; other phase names are read by their legs (ttphase.cpp) and
 * traced by the engine in ttlegs.cpp, whose tables share the hook.
 */
#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "stock.h"
#include "tt.h"
#include "tt_pvt.h"

using namespace ttpvt;

// ------------------------------------------------------------ branch pieces

void ttpvt::add_monotonic(std::vector<Piece> *pieces, int name, const RayPt *run, size_t n) {
    if (n < 2) return;
    const size_t i1 = n - 1;
    size_t s = 0;
    while (s < i1) {
        size_t e = s + 1;
        int dir = 0;
        while (e <= i1) {
            double d = run[e].x - run[e - 1].x;
            int sg = d > 0 ? 1 : (d < 0 ? -1 : 0);
            if (sg != 0 && dir != 0 && sg != dir) break;
            if (sg != 0) dir = sg;
            e++;
        }
        e--;  // last index of the monotonic stretch
        Piece pc;
        pc.name = name;
        for (size_t j = s; j <= e; j++) {
            if (!pc.x.empty() && run[j].x == pc.x.back()) continue;
            pc.x.push_back(run[j].x);
            pc.t.push_back(run[j].t);
            pc.p.push_back(run[j].p);
            pc.dz.push_back(run[j].dz);
        }
        if (pc.x.size() >= 2 && pc.x.front() > pc.x.back()) {
            std::reverse(pc.x.begin(), pc.x.end());
            std::reverse(pc.t.begin(), pc.t.end());
            std::reverse(pc.p.begin(), pc.p.end());
            std::reverse(pc.dz.begin(), pc.dz.end());
        }
        if (pc.x.size() >= 2) pieces->push_back(std::move(pc));
        if (e == s) e = s + 1;
        s = e;
    }
}

namespace {
inline void hermite(const Piece &pc, size_t i, double x, double *t, double *p) {
    double x0 = pc.x[i], x1 = pc.x[i + 1];
    double h = x1 - x0;
    double s = (x - x0) / h;
    double s2 = s * s, s3 = s2 * s;
    double t0 = pc.t[i], t1 = pc.t[i + 1], m0 = pc.p[i] * h, m1 = pc.p[i + 1] * h;
    *t = (2 * s3 - 3 * s2 + 1) * t0 + (s3 - 2 * s2 + s) * m0 + (-2 * s3 + 3 * s2) * t1 + (s3 - s2) * m1;
    *p = ((6 * s2 - 6 * s) * t0 + (3 * s2 - 4 * s + 1) * m0 + (-6 * s2 + 6 * s) * t1 + (3 * s2 - 2 * s) * m1) / h;
}
}  // namespace

bool ttpvt::piece_at(const Piece &pc, double x, double *t, double *p, double *dz) {
    if (x < pc.x.front() || x > pc.x.back()) return false;
    size_t i = std::upper_bound(pc.x.begin(), pc.x.end(), x) - pc.x.begin();
    if (i == 0) i = 1;
    if (i >= pc.x.size()) i = pc.x.size() - 1;
    hermite(pc, i - 1, x, t, p);
    double w = (x - pc.x[i - 1]) / (pc.x[i] - pc.x[i - 1]);
    *dz = pc.dz[i - 1] + w * (pc.dz[i] - pc.dz[i - 1]);
    return true;
}

namespace {

const double DEG = M_PI / 180.0;
const double MAX_SOURCE_DEPTH = 2800.0;
const double MAX_ABOVE = 10.0;      // km above the surface, sources and receivers
const double MAX_BELOW_RCV = 10.0;  // km below the surface for receivers
const double GAP = 0.1 * DEG;       // largest distance step between neighbouring rays
const long HOOK_MAGIC = 0x74746361;  // "ttca"

// ------------------------------------------------------------ phase names

enum Name {
    N_Pg, N_Pb, N_Pn, N_P, N_Pdiff, N_PKPab, N_PKPbc, N_PKPdf, N_PKiKP, N_PcP,
    N_Sg, N_Sb, N_Sn, N_S, N_Sdiff, N_SKSac, N_SKSdf, N_SKiKS, N_ScS,
    N_pP, N_sS,
    N_COUNT
};
const char *const NAMES[N_COUNT] = {
    "Pg", "Pb", "Pn", "P", "Pdiff", "PKPab", "PKPbc", "PKPdf", "PKiKP", "PcP",
    "Sg", "Sb", "Sn", "S", "Sdiff", "SKSac", "SKSdf", "SKiKS", "ScS",
    "pP", "sS",
};
typedef unsigned Mask;
inline Mask bit(int n) { return 1u << n; }
const Mask P_FAMILY = bit(N_Pg) | bit(N_Pb) | bit(N_Pn) | bit(N_P) | bit(N_Pdiff) | bit(N_PKPab) |
                      bit(N_PKPbc) | bit(N_PKPdf) | bit(N_PKiKP);
// The shear first arrivals are the mantle's: the core phases of the shear
// profile (SKS, SKIKS, SKiKS) travel through the core as P and are asked
// for by name, as the published first-arrival S tables leave them out.
const Mask S_FAMILY = bit(N_Sg) | bit(N_Sb) | bit(N_Sn) | bit(N_S) | bit(N_Sdiff);
const Mask P_PROFILE = P_FAMILY | bit(N_PcP) | bit(N_pP);
const Mask S_PROFILE = S_FAMILY | bit(N_SKSac) | bit(N_SKSdf) | bit(N_SKiKS) | bit(N_ScS) | bit(N_sS);

// Offsets from the P names to the S names of the same branch.
const int S_SHIFT = N_Sg - N_Pg;

// Branches that continue one another as the bottoming point deepens through
// the crust and upper mantle: their rays join without a jump.
const Mask MANTLE = bit(N_Pg) | bit(N_Pb) | bit(N_Pn) | bit(N_P) | bit(N_Sg) | bit(N_Sb) | bit(N_Sn) | bit(N_S);
inline bool continuous(int a, int b) {
    return a >= 0 && b >= 0 && (a == b || ((MANTLE & bit(a)) && (MANTLE & bit(b))));
}

bool phase_mask(const std::string &w, Mask *m) {
    if (w == "P") *m = P_FAMILY;
    else if (w == "S") *m = S_FAMILY;
    else if (w == "PKP") *m = bit(N_PKPab) | bit(N_PKPbc) | bit(N_PKPdf);
    else if (w == "PKIKP") *m = bit(N_PKPdf);
    else if (w == "SKS") *m = bit(N_SKSac) | bit(N_SKSdf);
    else if (w == "SKIKS") *m = bit(N_SKSdf);
    else {
        for (int i = 0; i < N_COUNT; i++)
            if (w == NAMES[i]) {
                *m = bit(i);
                return true;
            }
        return false;
    }
    return true;
}

// ------------------------------------------------------------ model layers

struct Profile {
    std::vector<Layer> layers;
    int cmb = -1, icb = -1;      // index of the first outer-core and inner-core layer
    double conrad = 20, moho = 35;
    double pc = 0;               // ray parameter grazing the core from above
    bool shear = false;
    // Half-rays from the surface: turning or reflecting anywhere (except at
    // the core boundaries), reflected at the core-mantle boundary, and at the
    // inner-core boundary.
    struct Sample {
        double p, xh, th;
        int name;    // -1: no ray of this kind
        bool brk;    // distance jumps between the previous sample and this one
        // X and tau from the surface to the top of each of the first
        // npre layers (NaN where the ray does not get there), in cum[].
        size_t cum;
    };
    std::vector<Sample> uni, rcmb, ricb;
    // The sums above sources in the upper mantle, where most are: a new
    // source depth then costs one partial layer per ray.
    int npre = 0;
    std::vector<double> cum;

    void add_sums(std::vector<Sample> *tab) {
        for (Sample &s : *tab) {
            s.cum = cum.size();
            double x = 0, tau = 0, pe = -1;
            AS pas = {0, 0};
            bool ok = true;
            for (int j = 0; j <= npre; j++) {
                cum.push_back(ok ? x : NAN);
                cum.push_back(ok ? tau : NAN);
                if (j == npre || !ok) continue;
                const Layer &L = layers[j];
                if (!(s.p < L.et && s.p < L.eb)) {
                    ok = false;
                    continue;
                }
                AS top = (pe == L.et) ? pas : as_at(s.p, L.et);
                AS bot = as_at(s.p, L.eb);
                layer_part(L, s.p, top, bot, L.rt, L.rb, &x, &tau);
                pe = L.eb;
                pas = bot;
            }
        }
    }

    double surface_eta() const { return layers[0].et; }

    // The branch of rays bottoming at depth zb; with at_source, of the rays
    // leaving a source at that depth upwards (a source on a boundary lies
    // below it).
    int name_for(int region, double zb, bool at_source = false) const {
        int n;
        if (region == 1) n = N_PKPab;
        else if (region == 2) n = N_PKPdf;
        else if (at_source ? zb < conrad : zb <= conrad) n = N_Pg;
        else if (at_source ? zb < moho : zb <= moho) n = N_Pb;
        else if (zb < 210.0) n = N_Pn;
        else n = N_P;
        if (shear) {
            if (n == N_PKPab) return N_SKSac;
            if (n == N_PKPdf) return N_SKSdf;
            return n + S_SHIFT;
        }
        return n;
    }

    // Half-ray from the surface down to its bottom.  stop >= 0 asks for the
    // reflection at the top of that layer.  Returns the name of the branch,
    // or -1 when the ray of that kind does not exist.
    int half(double p, int stop, double *xh, double *th) const {
        double x = 0, tau = 0;
        double pe = -1;
        AS pas = {0, 0};
        for (size_t i = 0; i < layers.size(); i++) {
            const Layer &L = layers[i];
            if ((int)i == stop) {
                *xh = x;
                *th = tau + p * x;
                return shear ? (stop == cmb ? N_ScS : N_SKiKS) : (stop == cmb ? N_PcP : N_PKiKP);
            }
            if (p > L.et) {
                // Reflected at the top of this layer.
                if (stop >= 0) return -1;
                if ((int)i == cmb || (int)i == icb) return -1;  // the core reflections' own tables
                *xh = x;
                *th = tau + p * x;
                return name_for(L.region, RE - L.rt);
            }
            AS top = (pe == L.et) ? pas : as_at(p, L.et);
            if (L.k > 0 && p >= L.eb) {
                if (stop >= 0) return -1;
                // Turns inside the layer (or at its bottom).
                x += top.a / L.k;
                tau += (top.s - p * top.a) / L.k;
                double rturn = p > 0 ? L.rt * std::pow(p / L.et, 1.0 / L.k) : 0.0;
                *xh = x;
                *th = tau + p * x;
                return name_for(L.region, RE - std::max(rturn, L.rb));
            }
            AS bot = as_at(p, L.eb);
            layer_part(L, p, top, bot, L.rt, L.rb, &x, &tau);
            pe = L.eb;
            pas = bot;
        }
        return -1;
    }

    // The layer holding radius r (a radius on a node belongs to the deeper
    // layer) and eta there.
    int layer_of(double r, double *eta) const {
        for (size_t i = 0; i < layers.size(); i++) {
            const Layer &L = layers[i];
            if (r > L.rb || i + 1 == layers.size()) {
                *eta = L.et * std::pow(r / L.rt, L.k);
                return (int)i;
            }
        }
        *eta = 0;
        return -1;
    }

    // X and tau from the surface down to radius r (one way); rays that cannot
    // reach r contribute up to where they can (the callers keep p below eta).
    void above(double p, double r, double *xa, double *ta) const {
        double x = 0, tau = 0;
        double pe = -1;
        AS pas = {0, 0};
        for (size_t i = 0; i < layers.size(); i++) {
            const Layer &L = layers[i];
            if (L.rt <= r) break;
            double rb = std::max(L.rb, r);
            double eb = rb == L.rb ? L.eb : L.et * std::pow(rb / L.rt, L.k);
            if (p >= L.et) break;
            AS top = (pe == L.et) ? pas : as_at(p, L.et);
            AS bot = as_at(p, eb);
            layer_part(L, p, top, bot, L.rt, rb, &x, &tau);
            pe = eb;
            pas = bot;
            if (rb == r) break;
        }
        *xa = x;
        *ta = tau;
    }
};

// Builds a table of half-rays over a ray-parameter grid, refining until
// neighbouring rays of one branch are within GAP of each other.
void build_table(const Profile &pr, int stop, double pmax, const std::vector<double> &base,
                 std::vector<Profile::Sample> *out) {
    std::vector<double> ps;
    for (double p : base)
        if (p >= 0 && p <= pmax) ps.push_back(p);
    std::sort(ps.begin(), ps.end());
    ps.erase(std::unique(ps.begin(), ps.end()), ps.end());
    auto eval = [&](double p) {
        Profile::Sample s;
        s.p = p;
        s.xh = s.th = 0;
        s.name = pr.half(p, stop, &s.xh, &s.th);
        s.brk = false;
        s.cum = 0;
        return s;
    };
    out->clear();
    if (ps.empty()) return;
    out->push_back(eval(ps[0]));
    for (size_t i = 1; i < ps.size(); i++) {
        Profile::Sample b = eval(ps[i]);
        // Refine the interval from the last kept sample to b.
        std::vector<Profile::Sample> stack{b};
        while (!stack.empty()) {
            Profile::Sample &a = out->back();
            Profile::Sample c = stack.back();
            if (continuous(a.name, c.name) && 2 * std::fabs(c.xh - a.xh) > GAP) {
                if (c.p - a.p > 1e-9 * (1 + pmax)) {
                    stack.push_back(eval(0.5 * (a.p + c.p)));
                    continue;
                }
                c.brk = true;  // a jump no refinement closes
            }
            out->push_back(c);
            stack.pop_back();
        }
    }
}

std::unique_ptr<Profile> make_profile(const double (*rows)[4], int n, bool shear) {
    std::unique_ptr<Profile> pr(new Profile);
    pr->shear = shear;
    int ndisc = 0;
    for (int i = 0; i + 1 < n; i++) {
        const double *a = rows[i], *b = rows[i + 1];
        if (b[0] == a[0]) {
            if ((a[1] != b[1] || a[2] != b[2]) && ndisc < 2) {
                if (ndisc == 0) pr->conrad = a[0];
                else pr->moho = a[0];
                ndisc++;
            }
            continue;
        }
        Layer L;
        L.region = (a[2] == 0.0 && b[2] == 0.0) ? 1 : 0;
        if (L.region == 0 && pr->cmb >= 0) L.region = 2;
        double va = (shear && a[2] > 0 && L.region == 0) ? a[2] : a[1];
        double vb = (shear && b[2] > 0 && L.region == 0) ? b[2] : b[1];
        L.rt = RE - a[0];
        L.rb = RE - b[0];
        L.et = L.rt / va;
        if (L.rb <= 0) {
            L.rb = 0;
            L.eb = 0;
            L.k = 1;  // constant velocity at the centre
        } else {
            L.eb = L.rb / vb;
            L.k = std::log(L.et / L.eb) / std::log(L.rt / L.rb);
        }
        if (L.region == 1 && pr->cmb < 0) pr->cmb = (int)pr->layers.size();
        if (L.region == 2 && pr->icb < 0) pr->icb = (int)pr->layers.size();
        pr->layers.push_back(L);
    }
    if (pr->cmb > 0) pr->pc = pr->layers[pr->cmb - 1].eb;

    // Grid: uniform, plus every node's eta and just below it (the first ray
    // past a node or into a low-velocity zone).
    double pmax = pr->surface_eta();
    std::vector<double> base;
    const int NU = 400;
    for (int i = 0; i <= NU; i++) base.push_back(pmax * i / NU);
    for (const Layer &L : pr->layers) {
        for (double e : {L.et, L.eb}) {
            base.push_back(e);
            base.push_back(e * (1 - 1e-9));
        }
    }
    build_table(*pr, -1, pmax, base, &pr->uni);
    // Core reflections: rays must reach the boundary.
    auto pmax_to = [&](int stop) {
        double m = pmax;
        for (int i = 0; i < stop; i++) m = std::min(m, std::min(pr->layers[i].et, pr->layers[i].eb));
        return m;
    };
    if (pr->cmb > 0) build_table(*pr, pr->cmb, pmax_to(pr->cmb), base, &pr->rcmb);
    if (pr->icb > 0) {
        std::vector<double> b2 = base;
        double m = pmax_to(pr->icb);
        b2.push_back(m);
        build_table(*pr, pr->icb, m, b2, &pr->ricb);
    }
    while (pr->npre < (int)pr->layers.size() && pr->layers[pr->npre].rb > RE - 800.0) pr->npre++;
    pr->add_sums(&pr->uni);
    pr->add_sums(&pr->rcmb);
    pr->add_sums(&pr->ricb);
    return pr;
}

// The half-ray tables of a model and wave type (0 P, 1 S) are built once
// per process, when first asked for, and shared by every caller.
const Profile *profile_get(int idx, int prof) {
    static std::once_flag once[8][2];
    static std::unique_ptr<Profile> profiles[8][2];
    const char *name;
    const double(*rows)[4];
    int n = idx >= 0 && idx < 8 ? tt_model_table(idx, &name, &rows) : 0;
    if (n <= 0 || prof < 0 || prof > 1) return nullptr;
    std::call_once(once[idx][prof], [&] { profiles[idx][prof] = make_profile(rows, n, prof == 1); });
    return profiles[idx][prof].get();
}

int model_index(const char *model) {
    if (!model || !*model) model = "iasp91";
    const char *name;
    const double(*rows)[4];
    for (int i = 0; tt_model_table(i, &name, &rows) > 0; i++)
        if (strcasecmp(name, model) == 0) return i;
    return -1;
}

// ------------------------------------------------------------ per-depth tables

struct DepthTable {
    int model = -1, prof = -1;
    double z = 0;
    double rs = RE, es = 0;  // source radius, eta there
    std::vector<Piece> pieces;
    bool diff = false;
    double xc = 0, tc = 0, pc = 0, dzc = 0;  // grazing ray of the core shadow
};

struct Ray {
    double p, x, t;
    int name;
    bool brk;
    double dz;  // dT/d(source depth)
};

// Cuts the rays i0 to i1 of a run of one branch into pieces monotonic in
// distance.
void add_run(std::vector<Piece> *pieces, const std::vector<Ray> &run, size_t i0, size_t i1) {
    if (i1 <= i0) return;
    std::vector<RayPt> pts;
    pts.reserve(i1 - i0 + 1);
    for (size_t j = i0; j <= i1; j++) pts.push_back(RayPt{run[j].p, run[j].x, run[j].t, run[j].dz});
    add_monotonic(pieces, run[i0].name, pts.data(), pts.size());
}

// Splits a sequence of rays into runs of one name without jumps.  A run
// that the next branch continues takes that branch's first ray too, so the
// two meet without a gap.
void add_runs(std::vector<Piece> *pieces, const std::vector<Ray> &rays) {
    size_t s = 0;
    for (size_t i = 1; i <= rays.size(); i++) {
        if (i == rays.size() || rays[i].name != rays[s].name || rays[i].brk) {
            if (rays[s].name >= 0) {
                if (i < rays.size() && !rays[i].brk && continuous(rays[s].name, rays[i].name) &&
                    std::fabs(rays[i].x - rays[i - 1].x) <= 2 * GAP) {
                    std::vector<Ray> run(rays.begin() + s, rays.begin() + i + 1);
                    run.back().name = rays[s].name;
                    add_run(pieces, run, 0, run.size() - 1);
                } else {
                    add_run(pieces, rays, s, i - 1);
                }
            }
            s = i;
        }
    }
}

void build_depth(const Profile &pr, double z, DepthTable *dt) {
    dt->z = z;
    dt->rs = RE - z;
    dt->pieces.clear();
    dt->diff = false;
    double es;
    int sl = pr.layer_of(dt->rs, &es);
    // The smallest eta on the way up bounds the rays that leave the source.
    double emin = es;
    for (const Layer &L : pr.layers) {
        if (L.rt <= dt->rs) break;
        double eb = L.rb >= dt->rs ? L.eb : L.et * std::pow(dt->rs / L.rt, L.k);
        emin = std::min(emin, std::min(L.et, eb));
    }
    dt->es = es;
    // Vertical slowness at the source: the depth derivative.
    auto vslow = [&](double p) { return std::sqrt(std::max(0.0, (es - p) * (es + p))) / dt->rs; };
    const bool buried = dt->rs < RE;

    auto down_ray = [&](double p, const Profile::Sample *s, Ray *r) {
        double xh, th;
        int name;
        if (s) {
            xh = s->xh;
            th = s->th;
            name = s->name;
        } else {
            name = pr.half(p, -1, &xh, &th);
        }
        if (name < 0) return false;
        double xa = 0, ta = 0;
        if (buried) {
            if (s && sl < pr.npre && !std::isnan(pr.cum[s->cum + 2 * sl])) {
                // Whole layers from the table, then the source's own.
                const Layer &L = pr.layers[sl];
                xa = pr.cum[s->cum + 2 * sl];
                ta = pr.cum[s->cum + 2 * sl + 1];
                AS top = as_at(p, L.et), bot = as_at(p, es);
                layer_part(L, p, top, bot, L.rt, dt->rs, &xa, &ta);
            } else {
                pr.above(p, dt->rs, &xa, &ta);
            }
        }
        r->p = p;
        r->x = 2 * xh - xa;
        r->t = 2 * th - (ta + p * xa);
        r->name = name;
        r->brk = s ? s->brk : false;
        r->dz = -vslow(p);
        return true;
    };

    // Rays leaving downwards, from the shallowest bottoming to the deepest,
    // with extra rays near the horizontal take-off where X(p) is steep.
    std::vector<double> extra;
    for (double e : {1e-9, 1e-7, 1e-6, 1e-5, 3e-5, 1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2})
        extra.push_back(emin * (1 - e));
    std::vector<Ray> down;
    {
        std::vector<Ray> tmp;
        Ray r;
        // The ray leaving horizontally (for a surface source, the ray at zero
        // distance).
        if (down_ray(buried ? emin * (1 - 1e-12) : emin, nullptr, &r)) tmp.push_back(r);
        size_t ex = 0;
        for (size_t i = pr.uni.size(); i-- > 0;) {
            const Profile::Sample &s = pr.uni[i];
            if (s.p >= emin) continue;
            while (buried && ex < extra.size() && extra[ex] > s.p) {
                if (down_ray(extra[ex], nullptr, &r)) tmp.push_back(r);
                ex++;
            }
            Ray q;
            if (s.name >= 0 && down_ray(s.p, &s, &q)) {
                // The break flag belongs to the interval above this sample in p.
                q.brk = (i + 1 < pr.uni.size()) ? pr.uni[i + 1].brk : false;
                tmp.push_back(q);
            } else {
                q.p = s.p;
                q.x = q.t = 0;
                q.name = -1;
                q.brk = false;
                q.dz = 0;
                tmp.push_back(q);
            }
        }
        // Refine large steps (rays near the source's horizontal).
        for (size_t i = 0; i < tmp.size(); i++) {
            if (i > 0 && !tmp[i].brk && continuous(tmp[i].name, down.back().name) &&
                std::fabs(tmp[i].x - down.back().x) > GAP) {
                std::vector<Ray> stack{tmp[i]};
                while (!stack.empty()) {
                    const Ray &a = down.back();
                    Ray c = stack.back();
                    if (std::fabs(c.x - a.x) > GAP && a.p - c.p > 1e-9 * a.p) {
                        Ray m;
                        if (down_ray(0.5 * (a.p + c.p), nullptr, &m) && continuous(m.name, a.name)) {
                            stack.push_back(m);
                            continue;
                        }
                    }
                    down.push_back(c);
                    stack.pop_back();
                }
            } else {
                down.push_back(tmp[i]);
            }
        }
    }
    // The outer-core branch splits at its caustic, the ray of least distance.
    {
        const int core = N_PKPab;
        size_t best = down.size();
        for (size_t i = 0; i < down.size(); i++)
            if (down[i].name == core && (best == down.size() || down[i].x < down[best].x)) best = i;
        if (best < down.size())
            for (size_t i = best + 1; i < down.size(); i++)
                if (down[i].name == core) down[i].name = N_PKPbc;
        // The caustic ray belongs to both sub-branches.
        if (best < down.size() && best + 1 < down.size() && down[best + 1].name == N_PKPbc) {
            Ray c = down[best];
            c.name = N_PKPbc;
            down.insert(down.begin() + best + 1, c);
        }
    }

    // Rays leaving upwards: named after the source's region.
    std::vector<Ray> up;
    if (buried) {
        int srcname = pr.name_for(pr.layers[sl].region, z, true);
        // Up-going rays span a short range of distance: an even spread of
        // ray parameters, filled in where X(p) steepens.
        std::vector<double> ps;
        const int NUP = 200;
        for (int i = 0; i < NUP; i++) ps.push_back(emin * i / NUP);
        for (double e : extra) ps.push_back(e);
        ps.push_back(emin * (1 - 1e-12));
        std::sort(ps.begin(), ps.end());
        for (double p : ps) {
            double xa, ta;
            pr.above(p, dt->rs, &xa, &ta);
            Ray r{p, xa, ta + p * xa, srcname, false, vslow(p)};
            if (!up.empty() && std::fabs(r.x - up.back().x) > GAP) {
                // Fill in steep stretches.
                double p0 = up.back().p;
                int nfill = (int)std::ceil(std::fabs(r.x - up.back().x) / GAP);
                for (int j = 1; j < nfill; j++) {
                    double pj = p0 + (p - p0) * j / nfill;
                    double xj, tj;
                    pr.above(pj, dt->rs, &xj, &tj);
                    up.push_back(Ray{pj, xj, tj + pj * xj, srcname, false, vslow(pj)});
                }
            }
            up.push_back(r);
        }
        // The up-going and down-going rays of the source's region join at the
        // horizontal take-off: one branch.
        if (!down.empty() && down.front().name == srcname) {
            std::vector<Ray> all = up;
            all.insert(all.end(), down.begin(), down.end());
            down.swap(all);
            up.clear();
        }
    }
    if (!up.empty()) add_runs(&dt->pieces, up);
    add_runs(&dt->pieces, down);

    // Core reflections, leaving downwards.
    for (const std::vector<Profile::Sample> *tab : {&pr.rcmb, &pr.ricb}) {
        std::vector<Ray> rays;
        for (size_t i = tab->size(); i-- > 0;) {
            const Profile::Sample &s = (*tab)[i];
            if (s.p >= emin || s.name < 0) continue;
            Ray r;
            if (down_ray(s.p, &s, &r)) rays.push_back(r);
        }
        add_runs(&dt->pieces, rays);
    }

    // Depth phases: up to the surface, reflected there, then down and back
    // like a ray from a surface source (bottoming in the mantle).
    if (buried) {
        const int dname = pr.shear ? N_sS : N_pP;
        auto depth_ray = [&](double p, const Profile::Sample *s, Ray *r) {
            double xh, th;
            int name;
            if (s) {
                xh = s->xh;
                th = s->th;
                name = s->name;
            } else {
                name = pr.half(p, -1, &xh, &th);
            }
            if (name < 0 || !(MANTLE & bit(name)) || !down_ray(p, s, r)) return false;
            double xa = 2 * xh - r->x, tup = 2 * th - r->t;
            r->x = 2 * xh + xa;
            r->t = 2 * th + tup;
            r->name = dname;
            r->dz = vslow(p);
            return true;
        };
        std::vector<Ray> rays;
        Ray r;
        if (depth_ray(emin * (1 - 1e-12), nullptr, &r)) rays.push_back(r);
        size_t ex = 0;
        for (size_t i = pr.uni.size(); i-- > 0;) {
            const Profile::Sample &s = pr.uni[i];
            if (s.p >= emin) continue;
            while (ex < extra.size() && extra[ex] > s.p) {
                if (depth_ray(extra[ex], nullptr, &r)) rays.push_back(r);
                ex++;
            }
            if (depth_ray(s.p, &s, &r)) {
                r.brk = (i + 1 < pr.uni.size()) ? pr.uni[i + 1].brk : false;
            } else {
                r = Ray{s.p, 0, 0, -1, false, 0};
            }
            rays.push_back(r);
        }
        add_runs(&dt->pieces, rays);
    }

    // Diffraction along the core: the ray grazing the core from above.
    if (pr.pc > 0 && pr.pc < emin) {
        Ray r;
        double xh, th;
        int name = pr.half(pr.pc, -1, &xh, &th);
        if (name >= 0 && down_ray(pr.pc, nullptr, &r)) {
            dt->diff = true;
            dt->xc = r.x;
            dt->tc = r.t;
            dt->pc = pr.pc;
            dt->dzc = r.dz;
        }
    }
}

struct Cache {
    std::vector<std::unique_ptr<DepthTable>> tables;  // most recent last
    static const size_t MAX = 16;
    // The tables of phases named by their legs, made when first asked for.
    std::unique_ptr<LegCache, void (*)(LegCache *)> legs{nullptr, leg_cache_free};

    LegCache *leg_cache() {
        if (!legs) legs.reset(leg_cache_new());
        return legs.get();
    }

    const DepthTable *get(int model, int prof, double z) {
        for (size_t i = tables.size(); i-- > 0;) {
            DepthTable *d = tables[i].get();
            if (d->model == model && d->prof == prof && d->z == z) {
                if (i + 1 != tables.size()) {
                    std::unique_ptr<DepthTable> keep = std::move(tables[i]);
                    tables.erase(tables.begin() + i);
                    tables.push_back(std::move(keep));
                }
                return tables.back().get();
            }
        }
        const Profile *pr = profile_get(model, prof);
        if (!pr) return nullptr;
        std::unique_ptr<DepthTable> d(new DepthTable);
        d->model = model;
        d->prof = prof;
        build_depth(*pr, z, d.get());
        if (tables.size() >= MAX) tables.erase(tables.begin());
        tables.push_back(std::move(d));
        return tables.back().get();
    }
};

void free_cache(void *p) { delete static_cast<Cache *>(p); }

// ------------------------------------------------------------ arrivals

struct Arrival {
    int name;
    double t, p;  // s, s/rad
    double dz;    // s/km
    bool longway;
};

// All arrivals of the named branches at distance delta (radians).
template <class F>
void arrivals(const DepthTable &dt, double delta, Mask want, F &&emit) {
    for (const Piece &pc : dt.pieces) {
        if (!(want & bit(pc.name))) continue;
        double t, p, dz;
        if (piece_at(pc, delta, &t, &p, &dz)) emit(Arrival{pc.name, t, p, dz, false});
        if (pc.x.back() > M_PI && delta < M_PI && piece_at(pc, 2 * M_PI - delta, &t, &p, &dz))
            emit(Arrival{pc.name, t, p, dz, true});
    }
    int dname = dt.prof == 0 ? N_Pdiff : N_Sdiff;
    if (dt.diff && (want & bit(dname)) && delta > dt.xc && delta <= std::min(M_PI, dt.xc + MAX_DIFFRACTION))
        emit(Arrival{dname, dt.tc + dt.pc * (delta - dt.xc), dt.pc, dt.dzc, false});
}

// Delay of the part of a ray between the surface and a point at height h
// (km, negative below) for ray parameter p, in the top layers.
double height_delay(const Profile &pr, double p, double h) {
    if (h == 0) return 0;
    if (h > 0) {
        const Layer &L = pr.layers[0];
        double v = L.rt / L.et;
        double e0 = RE / v, e1 = (RE + h) / v;
        AS a0 = as_at(p, e0), a1 = as_at(p, e1);
        // Never negative: for a grazing ray the two terms cancel to rounding.
        return std::max(0.0, (a1.s - p * a1.a) - (a0.s - p * a0.a));
    }
    double xa, ta;
    pr.above(p, RE + h, &xa, &ta);
    return -ta;
}

bool bad_number(double v) { return !std::isfinite(v); }

}  // namespace

// ------------------------------------------------------------ interface

namespace {

// The phase list: each entry is a set of the named branches or a phase
// read by its legs (leg[i] >= 0, an index into legs).
struct Request {
    Mask entries[64];
    int leg[64];
    int nentries = 0;
    Mask all = 0;
    std::vector<LegPhase> legs;
};

bool parse_phases(const char *phases, Request *rq) {
    std::string s = (phases && *phases) ? phases : "P,S";
    std::string w;
    auto flush = [&]() {
        if (w.empty()) return true;
        if (rq->nentries >= 64) {
            elog_log(0, "ttcalc: more than 64 phases in the list\n");
            return false;
        }
        Mask m = 0;
        int leg = -1;
        if (!phase_mask(w, &m)) {
            LegPhase ph;
            std::string why;
            int pos = 0;
            if (!parse_leg_phase(w, &ph, &why, &pos)) {
                elog_log(0, "ttcalc: unknown phase \"%s\": %s at position %d\n", w.c_str(), why.c_str(), pos);
                return false;
            }
            for (size_t i = 0; i < rq->legs.size() && leg < 0; i++)
                if (rq->legs[i].name == w) leg = (int)i;
            if (leg < 0) {
                leg = (int)rq->legs.size();
                rq->legs.push_back(ph);
            }
        }
        rq->entries[rq->nentries] = m;
        rq->leg[rq->nentries++] = leg;
        rq->all |= m;
        w.clear();
        return true;
    };
    for (char c : s) {
        if (c == ',' || std::isspace((unsigned char)c)) {
            if (!flush()) return false;
        } else {
            w += c;
        }
    }
    if (!flush()) return false;
    if (rq->nentries == 0) {
        w = "P";
        flush();
        w = "S";
        flush();
    }
    return true;
}

// The arrivals asked for, each with its time and derivatives.
int compute(Cache *cache, int model, const Request &rq, int mode, const TTGeometry *g, Tbl **times) {
    double delta, az;
    dist(g->source.lat * DEG, g->source.lon * DEG, g->receiver.lat * DEG, g->receiver.lon * DEG, &delta, &az);
    // Both points give depths; the receiver's elevation is the negated depth.
    double zs = g->source.z, hr = -g->receiver.z;
    double ztab = std::max(zs, 0.0);

    std::vector<std::pair<Arrival, uint64_t>> found;  // arrival and the entries it satisfies
    std::vector<TTTime> out;
    for (int prof = 0; prof < 2; prof++) {
        Mask pm = prof == 0 ? P_PROFILE : S_PROFILE;
        if (!(rq.all & pm)) continue;
        const DepthTable *dt = cache->get(model, prof, ztab);
        if (!dt) {
            elog_log(0, "ttcalc: cannot build the travel-time tables\n");
            return -1;
        }
        const Profile &pr = *profile_get(model, prof);
        std::vector<Arrival> arr;
        arrivals(*dt, delta, rq.all & pm, [&](const Arrival &a) {
            for (const Arrival &b : arr)
                if (b.name == a.name && std::fabs(b.t - a.t) < 1e-6) return;
            arr.push_back(a);
        });
        for (Arrival &a : arr) {
            double t = a.t + height_delay(pr, a.p, hr);
            if (zs < 0) t += height_delay(pr, a.p, -zs);
            TTTime r;
            memset(&r, 0, sizeof r);
            snprintf(r.phase, sizeof r.phase, "%s", NAMES[a.name]);
            r.value = t;
            double pdeg = a.p * DEG;  // s/deg
            double dir = a.longway ? -1.0 : 1.0;
            r.deriv[0] = -dir * pdeg * std::sin(az) / TT_KM_PER_DEG;
            r.deriv[1] = -dir * pdeg * std::cos(az) / TT_KM_PER_DEG;
            r.deriv[2] = a.dz;
            out.push_back(r);
            uint64_t sat = 0;
            for (int i = 0; i < rq.nentries; i++)
                if (rq.entries[i] & bit(a.name)) sat |= uint64_t(1) << i;
            found.push_back({a, sat});
        }
    }
    // Phases read by their legs.  Heights above or below the surface
    // reference take the time through that layer at each ray's own
    // parameter, with the wave of the leg there.
    for (size_t j = 0; j < rq.legs.size(); j++) {
        const LegPhase &ph = rq.legs[j];
        std::vector<LegArrival> arr;
        if (!leg_arrivals(cache->leg_cache(), model, ph, ztab, delta, &arr)) {
            elog_log(0, "ttcalc: cannot build the travel-time tables\n");
            return -1;
        }
        const Profile *last = profile_get(model, ph.last_wave);
        const Profile *first = profile_get(model, ph.first_wave);
        if (!last || !first) {
            elog_log(0, "ttcalc: cannot build the travel-time tables\n");
            return -1;
        }
        for (const LegArrival &a : arr) {
            double t = a.t + height_delay(*last, a.p, hr);
            if (zs < 0) t += height_delay(*first, a.p, -zs);
            TTTime r;
            memset(&r, 0, sizeof r);
            snprintf(r.phase, sizeof r.phase, "%s", ph.name.c_str());
            r.value = t;
            double pdeg = a.p * DEG;
            double dir = a.longway ? -1.0 : 1.0;
            r.deriv[0] = -dir * pdeg * std::sin(az) / TT_KM_PER_DEG;
            r.deriv[1] = -dir * pdeg * std::cos(az) / TT_KM_PER_DEG;
            r.deriv[2] = a.dz;
            out.push_back(r);
            uint64_t sat = 0;
            for (int i = 0; i < rq.nentries; i++)
                if (rq.leg[i] == (int)j) sat |= uint64_t(1) << i;
            found.push_back({Arrival{-1, t, a.p, a.dz, a.longway}, sat});
        }
    }
    std::vector<size_t> keep;
    if (mode == TT_ALL) {
        for (size_t i = 0; i < out.size(); i++) keep.push_back(i);
    } else {
        for (int e = 0; e < rq.nentries; e++) {
            size_t best = out.size();
            for (size_t i = 0; i < out.size(); i++)
                if ((found[i].second >> e) & 1)
                    if (best == out.size() || out[i].value < out[best].value) best = i;
            if (best < out.size() && std::find(keep.begin(), keep.end(), best) == keep.end()) keep.push_back(best);
        }
    }
    std::sort(keep.begin(), keep.end(), [&](size_t a, size_t b) { return out[a].value < out[b].value; });
    Tbl *t = inittbl(0, (long)std::max<size_t>(keep.size(), 1), 1, 0, sizeof(TTTime));
    if (!t) {
        elog_log(1, "ttcalc: inittbl(%ld) error\n", (long)keep.size());
        return -1;
    }
    for (size_t i : keep)
        if (pushtbl(t, &out[i]) < 0) {
            freetbl(t, nullptr);
            elog_log(1, "ttcalc: pushtbl error\n");
            return -1;
        }
    *times = t;
    return 0;
}

bool check_geometry(const TTGeometry *g) {
    const TTPoint *pts[2] = {&g->source, &g->receiver};
    for (const TTPoint *p : pts)
        if (bad_number(p->lat) || bad_number(p->lon) || bad_number(p->z) || std::fabs(p->lat) > 90.0) {
            elog_log(0, "ttcalc: bad %s position (lat %g, lon %g, z %g)\n", p == &g->source ? "source" : "receiver",
                     p->lat, p->lon, p->z);
            return false;
        }
    if (g->source.z < -MAX_ABOVE || g->source.z > MAX_SOURCE_DEPTH) {
        elog_log(0, "ttcalc: source depth %g km outside %g to %g km\n", g->source.z, -MAX_ABOVE, MAX_SOURCE_DEPTH);
        return false;
    }
    if (g->receiver.z < -MAX_ABOVE || g->receiver.z > MAX_BELOW_RCV) {
        elog_log(0, "ttcalc: receiver depth %g km outside %g to %g km\n", g->receiver.z, -MAX_ABOVE, MAX_BELOW_RCV);
        return false;
    }
    return true;
}

Cache *hook_cache(Hook **hook) {
    if (!*hook) {
        Cache *c = new (std::nothrow) Cache;
        if (!c) {
            elog_log(1, "ttcalc: out of memory\n");
            return nullptr;
        }
        *hook = new_hook(free_cache);
        if (!*hook) {
            delete c;
            elog_log(1, "ttcalc: new_hook error\n");
            return nullptr;
        }
        (*hook)->p = c;
        (*hook)->type = HOOK_MAGIC;
        return c;
    }
    if ((*hook)->free_proc != free_cache || (*hook)->type != HOOK_MAGIC || !(*hook)->p) {
        elog_log(0, "ttcalc: the hook holds something other than travel-time tables\n");
        return nullptr;
    }
    return static_cast<Cache *>((*hook)->p);
}

int first_time(Cache *cache, Mask family, double distance, double depth, double *t) {
    if (bad_number(distance) || bad_number(depth) || distance < 0 || distance > 180.0 || depth < -MAX_ABOVE ||
        depth > MAX_SOURCE_DEPTH) {
        elog_log(0, "travel time: bad distance %g deg or depth %g km\n", distance, depth);
        return -1;
    }
    int prof = family == P_FAMILY ? 0 : 1;
    const DepthTable *dt = cache->get(0, prof, std::max(depth, 0.0));
    if (!dt) return -1;
    double best = HUGE_VAL, bp = 0;
    arrivals(*dt, distance * DEG, family, [&](const Arrival &a) {
        if (a.t < best) {
            best = a.t;
            bp = a.p;
        }
    });
    if (best == HUGE_VAL) {
        elog_log(0, "travel time: no arrival at %g deg\n", distance);
        return -1;
    }
    if (depth < 0) best += height_delay(*profile_get(0, prof), bp, -depth);
    *t = best;
    return 0;
}

}  // namespace

extern "C" int ttcalc(const char *method, const char *model, const char *phases, int mode, TTGeometry *geometry,
                      Tbl **times, Hook **hook) {
    if (times) *times = nullptr;
    if (method && *method && strcasecmp(method, "taup") != 0) {
        elog_log(0, "ttcalc: unknown method \"%s\"\n", method);
        return -1;
    }
    int mi = model_index(model);
    if (mi < 0) {
        elog_log(0, "ttcalc: unknown model \"%s\"\n", model);
        return -1;
    }
    if (mode == 0) mode = TT_FIRST;
    if (mode != TT_FIRST && mode != TT_ALL) {
        elog_log(0, "ttcalc: unknown mode %d\n", mode);
        return -1;
    }
    if (!geometry || !times) {
        elog_log(0, "ttcalc: null %s\n", geometry ? "result pointer" : "geometry");
        return -1;
    }
    if (!check_geometry(geometry)) return -1;
    Request rq;
    if (!parse_phases(phases, &rq)) return -1;
    try {
        if (!hook) {
            Cache c;
            return compute(&c, mi, rq, mode, geometry, times);
        }
        Cache *c = hook_cache(hook);
        if (!c) return -1;
        return compute(c, mi, rq, mode, geometry, times);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        elog_log(1, "ttcalc: out of memory\n");
        return -1;
    }
}

namespace {
thread_local std::unique_ptr<Cache> tl_cache;
double first_time_tl(Mask family, double distance, double depth) {
    try {
        if (!tl_cache) tl_cache.reset(new Cache);
        double t;
        return first_time(tl_cache.get(), family, distance, depth, &t) < 0 ? -1.0 : t;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;  // callers tell a lack of memory from a time that does not exist
        elog_log(1, "travel time: out of memory\n");
        return -1.0;
    }
}
}  // namespace

extern "C" double tt_ptime(double distance_deg, double depth_km) {
    return first_time_tl(P_FAMILY, distance_deg, depth_km);
}

extern "C" double tt_stime(double distance_deg, double depth_km) {
    return first_time_tl(S_FAMILY, distance_deg, depth_km);
}
