/*
 * ttlegs.cpp -- travel times of phases named by their legs.
 *
 * Every leg of a ray shares one ray parameter p, so the distance X(p) and
 * delay tau(p) of a phase are sums of one-way passes: surface to the
 * turning point in the crust or mantle, surface to the core-mantle
 * boundary, through or turning in the outer core, turning in the inner
 * core, each for P or S, less (or, for a first leg going up, plus) the part
 * above a buried source.  Once per process and model the passes are
 * computed on one grid of ray parameters, refined until neighbouring rays
 * of a pass lie within a twentieth of a degree; once per source depth the
 * parts above the source; once per phase and depth the passes are summed,
 * the rays cut into branches monotonic in distance, and each call
 * interpolates the time on them (cubic Hermite, slopes the exact ray
 * parameters).  Every branch of a triplication is its own arrival.
 */
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tt_pvt.h"

namespace ttpvt {

namespace {

const double DEG = M_PI / 180.0;
const double GRID_STEP = 0.05 * DEG;   // largest one-way distance step of a pass on the grid
const double BRANCH_STEP = 0.2 * DEG;  // least of the largest distance steps between rays of a branch
// A branch keeps of its rays enough that the distance, the ray parameter and
// the depth derivative change by at most these between neighbours.
const double KEEP_X = 0.25 * DEG;
const double KEEP_P = 0.15 / DEG;  // 0.15 s/deg
const double KEEP_DZ = 1e-3;       // s/km
const double BOUNDARY_210 = 210.0;     // the uppermost mantle ends here (depth, km)
const int MAX_MODELS = 8;

// X and tau of a one-way pass.
struct Pass {
    double x, tau;
};

// The passes of one ray parameter.
struct Node {
    double p;
    Pass m[2];          // crust and mantle, P and S: to the turning point or to the core
    signed char mk[2];  // 1 turned in the crust or mantle, 0 reached the core, -1 no ray
    double zt[2];       // depth of the turning point (km) when mk is 1
    Pass k;             // outer core from its top: to the turning point or to the inner core
    signed char kk;     // 1 turned in the outer core, 0 reached the inner core, -1 cannot enter
    Pass in[2];         // inner core from its top to the turning point, I and J
    bool ik[2];         // the inner-core pass exists
};

struct LegModel {
    std::vector<Layer> lay[2];  // the same shells with P and with S slowness (S zero in the outer core)
    int cmb = -1, icb = -1;     // first outer-core and inner-core layer
    double conrad = 20, moho = 35;
    double pc[2] = {0, 0};      // ray parameter grazing the core from above, P and S
    bool has_j = false;         // the inner core carries shear waves
    std::vector<Node> grid;     // by increasing p

    // Crust and mantle pass of wave w.
    void mantle(int w, double p, Node *n) const {
        double x = 0, tau = 0;
        n->mk[w] = -1;
        n->zt[w] = 0;
        n->m[w] = {0, 0};
        const std::vector<Layer> &ls = lay[w];
        for (int i = 0; i < cmb; i++) {
            const Layer &L = ls[i];
            if (p >= L.et) {
                if (i == 0 && p > L.et) return;
                n->mk[w] = 1;  // reflected on a faster layer
                n->zt[w] = RE - L.rt;
                n->m[w] = {x, tau};
                return;
            }
            AS top = as_at(p, L.et);
            if (L.k > 0 && p >= L.eb) {
                x += top.a / L.k;
                tau += (top.s - p * top.a) / L.k;
                double rturn = L.rt * std::pow(p / L.et, 1.0 / L.k);
                n->mk[w] = 1;
                n->zt[w] = RE - std::max(rturn, L.rb);
                n->m[w] = {x, tau};
                return;
            }
            layer_part(L, p, top, as_at(p, L.eb), L.rt, L.rb, &x, &tau);
        }
        n->mk[w] = 0;
        n->m[w] = {x, tau};
    }

    // Outer-core pass (P).
    void outer(double p, Node *n) const {
        double x = 0, tau = 0;
        n->kk = -1;
        n->k = {0, 0};
        if (cmb < 0 || icb < 0) return;
        const std::vector<Layer> &ls = lay[WAVE_P];
        if (p >= ls[cmb].et) return;
        for (int i = cmb; i < icb; i++) {
            const Layer &L = ls[i];
            AS top = as_at(p, L.et);
            if (p >= L.et || (L.k > 0 && p >= L.eb)) {
                if (p < L.et) {
                    x += top.a / L.k;
                    tau += (top.s - p * top.a) / L.k;
                }
                n->kk = 1;
                n->k = {x, tau};
                return;
            }
            layer_part(L, p, top, as_at(p, L.eb), L.rt, L.rb, &x, &tau);
        }
        n->kk = 0;
        n->k = {x, tau};
    }

    // Inner-core pass of wave w (I or J), down to the turning point.
    void inner(int w, double p, Node *n) const {
        n->ik[w] = false;
        n->in[w] = {0, 0};
        if (icb < 0 || (w == WAVE_S && !has_j)) return;
        const std::vector<Layer> &ls = lay[w];
        if (p >= ls[icb].et) return;
        double x = 0, tau = 0;
        for (size_t i = icb; i < ls.size(); i++) {
            const Layer &L = ls[i];
            AS top = as_at(p, L.et);
            if (p >= L.et || (L.k > 0 && p >= L.eb)) {
                if (p < L.et) {
                    x += top.a / L.k;
                    tau += (top.s - p * top.a) / L.k;
                }
                break;
            }
            layer_part(L, p, top, as_at(p, L.eb), L.rt, L.rb, &x, &tau);
        }
        n->ik[w] = true;
        n->in[w] = {x, tau};
    }

    Node eval(double p) const {
        Node n;
        n.p = p;
        mantle(WAVE_P, p, &n);
        mantle(WAVE_S, p, &n);
        outer(p, &n);
        inner(WAVE_P, p, &n);
        inner(WAVE_S, p, &n);
        return n;
    }

    // Slowness eta of wave w at radius r (a radius on a node belongs to
    // the deeper layer); the layer index in *li.
    double eta_at(int w, double r, int *li) const {
        const std::vector<Layer> &ls = lay[w];
        for (size_t i = 0; i < ls.size(); i++) {
            const Layer &L = ls[i];
            if (r > L.rb || i + 1 == ls.size()) {
                *li = (int)i;
                return L.et * std::pow(r / L.rt, L.k);
            }
        }
        *li = -1;
        return 0;
    }

    // One-way pass of wave w from the surface down to radius r (r in the
    // mantle, p below every eta on the way).
    Pass above(int w, double p, double r) const {
        double x = 0, tau = 0;
        for (const Layer &L : lay[w]) {
            if (L.rt <= r) break;
            double rb = std::max(L.rb, r);
            double eb = rb == L.rb ? L.eb : L.et * std::pow(rb / L.rt, L.k);
            if (p >= L.et) break;
            layer_part(L, p, as_at(p, L.et), as_at(p, eb), L.rt, rb, &x, &tau);
            if (rb == r) break;
        }
        return {x, tau};
    }
};

// True when the passes of neighbouring nodes a and b are too far apart.
bool too_far(const Node &a, const Node &b) {
    for (int w = 0; w < 2; w++) {
        if (a.mk[w] >= 0 && a.mk[w] == b.mk[w] && std::fabs(a.m[w].x - b.m[w].x) > GRID_STEP) return true;
        if (a.ik[w] && b.ik[w] && std::fabs(a.in[w].x - b.in[w].x) > GRID_STEP) return true;
    }
    return a.kk >= 0 && a.kk == b.kk && std::fabs(a.k.x - b.k.x) > GRID_STEP;
}

std::unique_ptr<LegModel> make_model(const double (*rows)[4], int nrows) {
    std::unique_ptr<LegModel> m(new LegModel);
    int ndisc = 0;
    bool core = false;
    for (int i = 0; i + 1 < nrows; i++) {
        const double *a = rows[i], *b = rows[i + 1];
        if (b[0] == a[0]) {
            if ((a[1] != b[1] || a[2] != b[2]) && ndisc < 2 && a[0] > 0) {
                if (ndisc == 0) m->conrad = a[0];
                else m->moho = a[0];
                ndisc++;
            }
            continue;
        }
        int region = (a[2] == 0.0 && b[2] == 0.0) ? 1 : (core ? 2 : 0);
        if (region == 1) core = true;
        if (region == 1 && m->cmb < 0) m->cmb = (int)m->lay[0].size();
        if (region == 2 && m->icb < 0) m->icb = (int)m->lay[0].size();
        if (region == 2 && a[2] > 0 && b[2] > 0) m->has_j = true;
        for (int w = 0; w < 2; w++) {
            Layer L;
            L.region = region;
            L.rt = RE - a[0];
            L.rb = RE - b[0];
            double va = w == WAVE_P ? a[1] : a[2], vb = w == WAVE_P ? b[1] : b[2];
            if (region == 1 && w == WAVE_S) va = vb = 0;
            if (va <= 0 || vb <= 0) {
                // No wave of this kind here: a ray never enters.
                L.et = L.eb = 0;
                L.k = 1;
            } else if (L.rb <= 0) {
                L.rb = 0;
                L.et = L.rt / va;
                L.eb = 0;
                L.k = 1;  // constant velocity at the centre
            } else {
                L.et = L.rt / va;
                L.eb = L.rb / vb;
                L.k = std::log(L.et / L.eb) / std::log(L.rt / L.rb);
            }
            m->lay[w].push_back(L);
        }
    }
    if (m->cmb <= 0) return nullptr;  // the engine needs a mantle over a core
    if (m->icb < 0) m->icb = (int)m->lay[0].size();
    for (int w = 0; w < 2; w++) m->pc[w] = m->lay[w][m->cmb - 1].eb;

    // The grid: even steps, every node's eta and just below it (the first
    // ray past a node), then halving where a pass moves too far.
    double pmax = std::max(m->lay[WAVE_P][0].et, m->lay[WAVE_S][0].et);
    std::vector<double> ps;
    const int NU = 1000;
    for (int i = 0; i <= NU; i++) ps.push_back(pmax * i / NU);
    for (int w = 0; w < 2; w++)
        for (const Layer &L : m->lay[w])
            for (double e : {L.et, L.eb})
                if (e > 0 && e <= pmax) {
                    ps.push_back(e);
                    ps.push_back(e * (1 - 1e-9));
                }
    std::sort(ps.begin(), ps.end());
    ps.erase(std::unique(ps.begin(), ps.end()), ps.end());
    std::vector<Node> &g = m->grid;
    g.push_back(m->eval(ps[0]));
    for (size_t i = 1; i < ps.size(); i++) {
        std::vector<Node> stack{m->eval(ps[i])};
        while (!stack.empty()) {
            const Node &a = g.back();
            const Node c = stack.back();
            if (too_far(a, c) && c.p - a.p > 1e-9 * (1 + pmax)) {
                stack.push_back(m->eval(0.5 * (a.p + c.p)));
                continue;
            }
            g.push_back(c);
            stack.pop_back();
        }
    }
    return m;
}

const LegModel *model_get(int mi) {
    static std::once_flag once[MAX_MODELS];
    static std::unique_ptr<LegModel> models[MAX_MODELS];
    if (mi < 0 || mi >= MAX_MODELS) return nullptr;
    const char *name;
    const double(*rows)[4];
    int n = tt_model_table(mi, &name, &rows);
    if (n <= 1) return nullptr;
    std::call_once(once[mi], [&] { models[mi] = make_model(rows, n); });
    return models[mi].get();
}

// ------------------------------------------------------------ source depth

// The parts above a source: for each grid node (and each extra ray near the
// source's horizontal) the pass from the surface down to the source.
struct SourceTable {
    int model = -1;
    double z = 0, rs = RE;
    double es[2] = {0, 0};    // eta at the source
    double emin[2] = {0, 0};  // least eta between source and surface: rays leaving must stay below
    std::vector<Pass> above[2];  // per grid node with p < emin
    std::vector<Node> extra;     // rays just below emin, by increasing p
    std::vector<Pass> extra_above[2];
};

void build_source(const LegModel &m, double z, SourceTable *st) {
    st->z = z;
    st->rs = RE - z;
    for (int w = 0; w < 2; w++) {
        int li;
        st->es[w] = m.eta_at(w, st->rs, &li);
        double emin = st->es[w];
        for (const Layer &L : m.lay[w]) {
            if (L.rt <= st->rs) break;
            double eb = L.rb >= st->rs ? L.eb : L.et * std::pow(st->rs / L.rt, L.k);
            emin = std::min(emin, std::min(L.et, eb));
        }
        st->emin[w] = emin;
    }
    const bool buried = st->rs < RE;
    for (int w = 0; w < 2; w++) {
        st->above[w].assign(m.grid.size(), Pass{0, 0});
        if (!buried) continue;
        for (size_t i = 0; i < m.grid.size() && m.grid[i].p < st->emin[w]; i++)
            st->above[w][i] = m.above(w, m.grid[i].p, st->rs);
    }
    // Near the horizontal take-off the distance changes fastest.
    std::vector<double> ps;
    if (buried)
        for (int w = 0; w < 2; w++)
            for (double e : {1e-12, 1e-9, 1e-7, 1e-6, 1e-5, 3e-5, 1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2})
                ps.push_back(st->emin[w] * (1 - e));
    std::sort(ps.begin(), ps.end());
    for (double p : ps) {
        st->extra.push_back(m.eval(p));
        for (int w = 0; w < 2; w++)
            st->extra_above[w].push_back(p < st->emin[w] ? m.above(w, p, st->rs) : Pass{0, 0});
    }
}

// ------------------------------------------------------------ phase tables

struct PhaseTable {
    std::vector<Piece> pieces;
    bool diff = false;
    double xd = 0, td = 0, pd = 0, dzd = 0;  // the ray grazing the core, for diffraction
    uint64_t used = 0;
};

bool branch_ok(const LegModel &m, int b, double zt) {
    switch (b) {
    case 0: return true;
    case 'g': return zt <= m.conrad;
    case 'b': return zt > m.conrad && zt <= m.moho;
    case 'n': return zt > m.moho && zt < BOUNDARY_210;
    default: return false;
    }
}

// The ray of phase ph for node n, whose passes above the source are ab.
bool combine(const LegModel &m, const SourceTable &st, const LegPhase &ph, const Node &n, const Pass ab[2],
             RayPt *r) {
    const double p = n.p;
    const int w0 = ph.first_wave;
    if (!(p < st.emin[w0])) return false;
    if (ph.first_up && !(st.rs < RE)) return false;
    double x = 0, tau = 0;
    for (int w = 0; w < 2; w++) {
        if (ph.turn[w]) {
            if (n.mk[w] != 1 || !branch_ok(m, ph.branch[w], n.zt[w])) return false;
            x += ph.turn[w] * n.m[w].x;
            tau += ph.turn[w] * n.m[w].tau;
        }
        if (ph.down[w]) {
            if (n.mk[w] != 0) return false;
            x += ph.down[w] * n.m[w].x;
            tau += ph.down[w] * n.m[w].tau;
        }
        if (ph.inner[w]) {
            if (!n.ik[w]) return false;
            x += ph.inner[w] * n.in[w].x;
            tau += ph.inner[w] * n.in[w].tau;
        }
    }
    if (ph.kturn || ph.kdown) {
        if (n.kk != (ph.kturn ? 1 : 0) || (ph.kturn && ph.kdown)) return false;
        int c = ph.kturn + ph.kdown;
        x += c * n.k.x;
        tau += c * n.k.tau;
    }
    double sign = ph.first_up ? 1.0 : -1.0;
    x += sign * ab[w0].x;
    tau += sign * ab[w0].tau;
    if (x < 0) x = 0;  // rounding for the ray straight up or down
    double es = st.es[w0];
    r->p = p;
    r->x = x;
    r->t = tau + p * x;
    r->dz = sign * std::sqrt(std::max(0.0, (es - p) * (es + p))) / st.rs;
    return true;
}

// The ray of phase ph at any ray parameter, computed afresh.
bool combine_at(const LegModel &m, const SourceTable &st, const LegPhase &ph, double p, RayPt *r) {
    Node n = m.eval(p);
    Pass ab[2] = {{0, 0}, {0, 0}};
    if (st.rs < RE)
        for (int w = 0; w < 2; w++)
            if (p < st.emin[w]) ab[w] = m.above(w, p, st.rs);
    return combine(m, st, ph, n, ab, r);
}

void build_phase(const LegModel &m, const SourceTable &st, const LegPhase &ph, PhaseTable *pt) {
    if (ph.branch[0] < 0 || ph.branch[1] < 0 || ph.diff_mixed) return;
    if (ph.inner[WAVE_S] && !m.has_j) return;
    if (ph.diff_wave >= 0) {
        // Only the diffracted wave: the ray grazing the core, continued.  Its
        // other legs of the same wave turn on the core too (PPdiff, SdiffS):
        // at the grazing ray they are the passes down to the core.
        const int dw = ph.diff_wave;
        LegPhase g = ph;
        if (g.turn[dw]) {
            if (g.branch[dw] != 0) return;  // Pn, Pg, Pb bottom above the core
            g.down[dw] += g.turn[dw];
            g.turn[dw] = 0;
        }
        RayPt r;
        if (combine_at(m, st, g, m.pc[dw] * (1 - 1e-12), &r)) {
            pt->diff = true;
            pt->xd = r.x;
            pt->td = r.t;
            pt->pd = m.pc[ph.diff_wave];
            pt->dzd = r.dz;
        }
        return;
    }
    // Each pass moves at most GRID_STEP between grid rays; larger steps come
    // from the part above the source, steep near the horizontal take-off.
    int npass = 1 + ph.kturn + ph.kdown;
    for (int w = 0; w < 2; w++) npass += ph.turn[w] + ph.down[w] + ph.inner[w];
    const double step = std::max(BRANCH_STEP, 1.5 * npass * GRID_STEP);
    std::vector<RayPt> run, kept;
    auto flush = [&]() {
        // The grid serves every phase and is denser than one branch needs.
        kept.clear();
        for (size_t i = 0; i < run.size(); i++) {
            bool keep = i == 0 || i + 1 == run.size();
            if (!keep) {
                const RayPt &k = kept.back(), &nx = run[i + 1];
                keep = (run[i].x - run[i - 1].x) * (nx.x - run[i].x) <= 0 || std::fabs(nx.x - k.x) > KEEP_X ||
                       std::fabs(nx.p - k.p) > KEEP_P || std::fabs(nx.dz - k.dz) > KEEP_DZ;
            }
            if (keep) kept.push_back(run[i]);
        }
        add_monotonic(&pt->pieces, 0, kept.data(), kept.size());
        run.clear();
    };
    auto add = [&](const RayPt &r) {
        if (!run.empty() && std::fabs(r.x - run.back().x) > step) {
            // Fill in by halving; a jump no halving closes ends the branch.
            std::vector<RayPt> stack{r};
            while (!stack.empty()) {
                const RayPt a = run.back();
                const RayPt c = stack.back();
                if (std::fabs(c.x - a.x) > step) {
                    RayPt mid;
                    if (c.p - a.p > 1e-9 * (1 + c.p) && combine_at(m, st, ph, 0.5 * (a.p + c.p), &mid)) {
                        stack.push_back(mid);
                        continue;
                    }
                    flush();
                }
                run.push_back(c);
                stack.pop_back();
            }
            return;
        }
        run.push_back(r);
    };
    size_t gi = 0, ei = 0;
    const std::vector<Node> &g = m.grid;
    while (gi < g.size() || ei < st.extra.size()) {
        bool from_grid = ei >= st.extra.size() || (gi < g.size() && g[gi].p < st.extra[ei].p);
        RayPt r;
        bool ok;
        if (from_grid) {
            Pass ab[2] = {st.above[0][gi], st.above[1][gi]};
            ok = combine(m, st, ph, g[gi], ab, &r);
            gi++;
        } else {
            Pass ab[2] = {st.extra_above[0][ei], st.extra_above[1][ei]};
            ok = combine(m, st, ph, st.extra[ei], ab, &r);
            ei++;
        }
        if (ok) add(r);
        else flush();
    }
    flush();
}

}  // namespace

// ------------------------------------------------------------ the cache

struct LegCache {
    std::vector<std::unique_ptr<SourceTable>> sources;  // most recent last
    std::unordered_map<std::string, PhaseTable> phases;
    uint64_t clock = 0;
    static const size_t MAX_SOURCES = 16;
    static const size_t MAX_PHASES = 512;

    const SourceTable *source(const LegModel &m, int mi, double z) {
        for (size_t i = sources.size(); i-- > 0;)
            if (sources[i]->model == mi && sources[i]->z == z) {
                if (i + 1 != sources.size()) {
                    std::unique_ptr<SourceTable> keep = std::move(sources[i]);
                    sources.erase(sources.begin() + i);
                    sources.push_back(std::move(keep));
                }
                return sources.back().get();
            }
        std::unique_ptr<SourceTable> st(new SourceTable);
        st->model = mi;
        build_source(m, z, st.get());
        if (sources.size() >= MAX_SOURCES) sources.erase(sources.begin());
        sources.push_back(std::move(st));
        return sources.back().get();
    }

    // Drops the least recently used quarter of the phase tables.
    void trim() {
        std::vector<uint64_t> ages;
        for (const auto &e : phases) ages.push_back(e.second.used);
        std::nth_element(ages.begin(), ages.begin() + ages.size() / 4, ages.end());
        uint64_t cut = ages[ages.size() / 4];
        for (auto it = phases.begin(); it != phases.end();)
            it = it->second.used <= cut ? phases.erase(it) : std::next(it);
    }

    const PhaseTable *phase(int mi, const LegPhase &ph, double z) {
        std::string key(sizeof(int) + sizeof(double), '\0');
        memcpy(&key[0], &mi, sizeof(int));
        memcpy(&key[sizeof(int)], &z, sizeof(double));
        key += ph.name;
        auto it = phases.find(key);
        if (it != phases.end()) {
            it->second.used = ++clock;
            return &it->second;
        }
        const LegModel *m = model_get(mi);
        if (!m) return nullptr;
        const SourceTable *st = source(*m, mi, z);
        if (phases.size() >= MAX_PHASES) trim();
        PhaseTable &pt = phases[key];
        build_phase(*m, *st, ph, &pt);
        pt.used = ++clock;
        return &pt;
    }
};

LegCache *leg_cache_new() { return new LegCache; }
void leg_cache_free(LegCache *c) { delete c; }

bool leg_arrivals(LegCache *cache, int mi, const LegPhase &ph, double z, double delta, std::vector<LegArrival> *out) {
    const PhaseTable *pt = cache->phase(mi, ph, z);
    if (!pt) return false;
    const size_t first = out->size();
    auto emit = [&](const LegArrival &a) {
        for (size_t i = first; i < out->size(); i++)
            if (std::fabs((*out)[i].t - a.t) < 1e-6 && std::fabs((*out)[i].p - a.p) < 1e-6) return;
        out->push_back(a);
    };
    for (const Piece &pc : pt->pieces) {
        // A ray of distance X reaches receivers at X and 2 pi - X, modulo 2 pi.
        double lo = pc.x.front(), hi = pc.x.back();
        for (int k = 0; 2 * M_PI * k - delta <= hi; k++) {
            double t, p, dz;
            double xs = 2 * M_PI * k + delta, xl = 2 * M_PI * k - delta;
            if (xs >= lo && xs <= hi && piece_at(pc, xs, &t, &p, &dz)) emit(LegArrival{t, p, dz, false});
            if (xl != xs && xl >= lo && xl <= hi && piece_at(pc, xl, &t, &p, &dz)) emit(LegArrival{t, p, dz, true});
        }
    }
    if (pt->diff) {
        // The grazing ray may already be past the antipode (SSdiff): the
        // diffracted wave reaches the receiver the long way round.
        for (int k = 0; 2 * M_PI * k - delta <= pt->xd + MAX_DIFFRACTION; k++)
            for (int longway = 0; longway < 2; longway++) {
                double x = longway ? 2 * M_PI * k - delta : 2 * M_PI * k + delta;
                if ((longway && x == 2 * M_PI * k + delta) || !(x > pt->xd && x <= pt->xd + MAX_DIFFRACTION)) continue;
                emit(LegArrival{pt->td + pt->pd * (x - pt->xd), pt->pd, pt->dzd, longway != 0});
            }
    }
    return true;
}

}  // namespace ttpvt
