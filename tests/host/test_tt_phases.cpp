// Travel times of phases named by their legs: every arrival against an
// exact root solver of the test's own (closed-form layer integrals, roots of
// X(p) = distance found by bracketing and regula falsi), against published
// values, the name reader's messages, derivatives and receiver heights.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "rzvtest.h"
#include "stock.h"
#include "tt.h"

namespace {

const double DEG = M_PI / 180.0;
const double RE = 6371.0;

#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
const bool SLOW_BUILD = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool SLOW_BUILD = true;
#else
const bool SLOW_BUILD = false;
#endif
#else
const bool SLOW_BUILD = false;
#endif

struct Hit {
    std::string phase;
    double t = -1, p = 0;  // s, s/deg (receiver due east; negative the long way round)
    double dz = 0;
};

std::vector<Hit> calc(const char *model, const char *phases, int mode, double z, double deg, Hook **hook,
                      double elev = 0.0, int *rc = nullptr) {
    TTGeometry g = {};
    g.source.z = z;
    g.receiver.lon = deg;
    g.receiver.z = -elev;
    Tbl *t = nullptr;
    std::vector<Hit> out;
    int r = ttcalc(nullptr, model, phases, mode, &g, &t, hook);
    if (rc) *rc = r;
    if (r != 0) return out;
    for (long i = 0; i < maxtbl(t); i++) {
        TTTime *a = (TTTime *)gettbl(t, i);
        Hit h;
        h.phase = a->phase;
        h.t = a->value;
        h.p = -a->deriv[0] * TT_KM_PER_DEG;
        h.dz = a->deriv[2];
        out.push_back(h);
    }
    freetbl(t, nullptr);
    return out;
}

// ------------------------------------------------------------ the exact solver

// Shells of the model file with eta = r / v following a power law of r.
struct Shell {
    double rt, rb;
    double et[2], eb[2], k[2];  // P, S; zero eta where the wave does not exist
};

struct Model {
    std::vector<Shell> sh;
    int cmb = -1, icb = -1;
};

Model read_model(const std::string &name) {
    Model m;
    std::ifstream f(std::string(RZV_SOURCE_DIR) + "/data/earth-models/" + name + ".txt");
    std::vector<std::vector<double>> rows;
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream is(line);
        double d, vp, vs, rho;
        if (is >> d >> vp >> vs >> rho) rows.push_back({d, vp, vs});
    }
    for (size_t i = 0; i + 1 < rows.size(); i++) {
        const std::vector<double> &a = rows[i], &b = rows[i + 1];
        if (a[0] == b[0]) continue;
        Shell s;
        s.rt = RE - a[0];
        s.rb = RE - b[0];
        bool fluid = a[2] == 0 && b[2] == 0;
        if (fluid && m.cmb < 0) m.cmb = (int)m.sh.size();
        if (!fluid && m.cmb >= 0 && m.icb < 0) m.icb = (int)m.sh.size();
        for (int w = 0; w < 2; w++) {
            double va = a[1 + w], vb = b[1 + w];
            s.et[w] = va > 0 ? s.rt / va : 0;
            s.eb[w] = vb > 0 && s.rb > 0 ? s.rb / vb : 0;
            s.k[w] = s.rb > 0 && va > 0 && vb > 0 ? std::log(s.et[w] / s.eb[w]) / std::log(s.rt / s.rb) : 1;
        }
        m.sh.push_back(s);
    }
    return m;
}

// A one-way pass through shells i0 to i1 (exclusive) from their top, or
// down to radius rstop: turned (stopped at the turning point) or through.
struct Pass {
    bool ok = false, turned = false;
    double x = 0, tau = 0;
};

Pass pass(const Model &m, int w, size_t i0, size_t i1, double p, double rstop = -1) {
    Pass r;
    if (i0 >= m.sh.size() || m.sh[i0].et[w] <= 0 || p > m.sh[i0].et[w]) return r;
    r.ok = true;
    for (size_t i = i0; i < i1 && i < m.sh.size(); i++) {
        const Shell &s = m.sh[i];
        if (s.rt <= rstop) break;
        double e1 = s.et[w];
        if (p >= e1) {
            r.turned = true;
            return r;
        }
        double rb = std::max(s.rb, rstop), k = s.k[w];
        double e2 = rb > 0 ? e1 * std::pow(rb / s.rt, k) : 0;
        double a1 = std::acos(p / e1), s1 = std::sqrt(e1 * e1 - p * p);
        if (p >= e2) {
            r.x += a1 / k;
            r.tau += (s1 - p * a1) / k;
            r.turned = true;
            return r;
        }
        double a2 = std::acos(p / e2), s2 = std::sqrt(e2 * e2 - p * p);
        r.x += (a1 - a2) / k;
        r.tau += ((s1 - p * a1) - (s2 - p * a2)) / k;
        if (rb == rstop) break;
    }
    return r;
}

// A phase as the test knows it: the wave and direction of the first leg and
// counts of one-way passes of each kind.
struct Def {
    const char *name;
    int first;  // 0 P, 1 S
    bool up;
    int mturn[2], mcmb[2], kturn, kicb, inner[2];
    int diff = -1;  // diffracted wave
    const char *query = nullptr;  // the name asked for and reported, when not the name
};

const Def DEFS[] = {
    {"pP", 0, true, {2, 0}, {0, 0}, 0, 0, {0, 0}},
    {"sP", 1, true, {2, 0}, {0, 0}, 0, 0, {0, 0}},
    {"pS", 0, true, {0, 2}, {0, 0}, 0, 0, {0, 0}},
    {"sS", 1, true, {0, 2}, {0, 0}, 0, 0, {0, 0}},
    {"PP", 0, false, {4, 0}, {0, 0}, 0, 0, {0, 0}},
    {"SS", 1, false, {0, 4}, {0, 0}, 0, 0, {0, 0}},
    {"PS", 0, false, {2, 2}, {0, 0}, 0, 0, {0, 0}},
    {"SP", 1, false, {2, 2}, {0, 0}, 0, 0, {0, 0}},
    {"PPP", 0, false, {6, 0}, {0, 0}, 0, 0, {0, 0}},
    {"SSS", 1, false, {0, 6}, {0, 0}, 0, 0, {0, 0}},
    {"PcP", 0, false, {0, 0}, {2, 0}, 0, 0, {0, 0}},
    {"ScS", 1, false, {0, 0}, {0, 2}, 0, 0, {0, 0}},
    {"ScP", 1, false, {0, 0}, {1, 1}, 0, 0, {0, 0}},
    {"PcS", 0, false, {0, 0}, {1, 1}, 0, 0, {0, 0}},
    {"PKiKP", 0, false, {0, 0}, {2, 0}, 0, 2, {0, 0}},
    {"SKiKP", 1, false, {0, 0}, {1, 1}, 0, 2, {0, 0}},
    {"PKIKP", 0, false, {0, 0}, {2, 0}, 0, 2, {2, 0}, -1, "PKPdf"},
    {"SKS", 1, false, {0, 0}, {0, 2}, 2, 0, {0, 0}, -1, "SKSac"},
    {"SKKS", 1, false, {0, 0}, {0, 2}, 4, 0, {0, 0}},
    {"PKKP", 0, false, {0, 0}, {2, 0}, 4, 0, {0, 0}},
    {"PKJKP", 0, false, {0, 0}, {2, 0}, 0, 2, {0, 2}},
    {"pPKiKP", 0, true, {0, 0}, {2, 0}, 0, 2, {0, 0}},
    {"sPKiKP", 1, true, {0, 0}, {2, 0}, 0, 2, {0, 0}},
    {"PKPPKP", 0, false, {0, 0}, {4, 0}, 4, 0, {0, 0}},
    {"ScSScS", 1, false, {0, 0}, {0, 4}, 0, 0, {0, 0}},
    {"pPdiff", 0, true, {0, 0}, {2, 0}, 0, 0, {0, 0}, 0},
    {"sPdiff", 1, true, {0, 0}, {2, 0}, 0, 0, {0, 0}, 0},
};

struct Ray {
    bool ok = false;
    double p = 0, x = 0, t = 0, dz = 0;
};

struct Solver {
    const Model &m;
    const Def &d;
    double rs, emin;  // source radius, least eta of the first wave above it
    double es = 0;    // eta of the first wave at the source

    Solver(const Model &mod, const Def &def, double z) : m(mod), d(def), rs(RE - z) {
        emin = 1e30;
        int w = d.first;
        for (const Shell &s : m.sh) {
            if (s.rt <= rs) break;
            double eb = s.rb >= rs ? s.eb[w] : s.et[w] * std::pow(rs / s.rt, s.k[w]);
            emin = std::min(emin, std::min(s.et[w], eb));
        }
        // A source on a boundary lies below it.
        for (const Shell &s : m.sh)
            if (s.rt >= rs && rs > s.rb) {
                es = s.et[w] * std::pow(rs / s.rt, s.k[w]);
                emin = std::min(emin, es);
                break;
            }
    }

    Ray at(double p) const {
        Ray r;
        r.p = p;
        if (!(p < emin) || (d.up && rs >= RE)) return r;
        double x = 0, tau = 0;
        auto add = [&](const Pass &a, int n) {
            x += n * a.x;
            tau += n * a.tau;
        };
        size_t ns = m.sh.size();
        for (int w = 0; w < 2; w++) {
            if (d.mturn[w] || d.mcmb[w]) {
                Pass a = pass(m, w, 0, m.cmb, p);
                if (!a.ok) return r;
                if (d.mturn[w] && !a.turned) return r;
                if (d.mcmb[w] && a.turned) return r;
                add(a, d.mturn[w] + d.mcmb[w]);
            }
            if (d.inner[w]) {
                Pass a = pass(m, w, m.icb, ns, p);
                if (!a.ok) return r;
                add(a, d.inner[w]);
            }
        }
        if (d.kturn || d.kicb) {
            Pass a = pass(m, 0, m.cmb, m.icb, p);
            if (!a.ok || (d.kturn && !a.turned) || (d.kicb && a.turned)) return r;
            add(a, d.kturn + d.kicb);
        }
        Pass above = pass(m, d.first, 0, ns, p, rs);
        double sg = d.up ? 1 : -1;
        x += sg * above.x;
        tau += sg * above.tau;
        r.ok = true;
        r.x = x;
        r.t = tau + p * x;
        r.dz = sg * std::sqrt(std::max(0.0, es * es - p * p)) / rs;
        return r;
    }
};

struct Curve {
    std::vector<Ray> rays;          // by increasing p
    std::vector<double> critical;   // distances of caustics and branch ends (radians, unwrapped)
};

Curve scan(const Model &m, const Solver &s) {
    std::vector<double> ps;
    double pmax = std::max(m.sh[0].et[0], m.sh[0].et[1]);
    const int N = 3000;
    for (int i = 0; i <= N; i++) ps.push_back(pmax * i / N);
    for (const Shell &sh : m.sh)
        for (int w = 0; w < 2; w++)
            for (double e : {sh.et[w], sh.eb[w]})
                for (double f : {1.0, 1 - 1e-9, 1 - 1e-6, 1 - 1e-4, 1 + 1e-4})
                    if (e > 0) ps.push_back(e * f);
    for (double f : {1e-11, 1e-9, 1e-7, 1e-5, 1e-4, 1e-3, 1e-2})
        ps.push_back(s.emin * (1 - f));
    std::sort(ps.begin(), ps.end());
    Curve c;
    for (double p : ps) c.rays.push_back(s.at(p));
    for (size_t i = 0; i < c.rays.size(); i++) {
        const Ray &r = c.rays[i];
        if (!r.ok) continue;
        bool end = i == 0 || i + 1 == c.rays.size() || !c.rays[i - 1].ok || !c.rays[i + 1].ok;
        bool turn = !end && (c.rays[i].x - c.rays[i - 1].x) * (c.rays[i + 1].x - c.rays[i].x) <= 0;
        if (end || turn) c.critical.push_back(r.x);
    }
    return c;
}

// Every exact arrival at distance delta (radians): roots of X(p) = delta +
// 2 pi k or 2 pi k - delta between scanned rays.
std::vector<Ray> roots(const Solver &s, const Curve &c, double delta) {
    std::vector<Ray> out;
    for (size_t i = 1; i < c.rays.size(); i++) {
        const Ray &a = c.rays[i - 1], &b = c.rays[i];
        if (!a.ok || !b.ok) continue;
        for (int k = 0; k < 3; k++)
            for (int sg : {1, -1}) {
                double target = 2 * M_PI * k + sg * delta;
                if (target < 0 || (sg < 0 && (delta == 0 || std::fabs(delta - M_PI) < 1e-12))) continue;
                double fa = a.x - target, fb = b.x - target;
                if (fa == 0 && i > 1) continue;  // counted with the interval before
                if (fa * fb > 0 || (fa == 0 && fb == 0)) continue;
                // Regula falsi (Illinois) on p.
                double pa = a.p, pb = b.p;
                Ray r = a;
                int side = 0;
                for (int it = 0; it < 60 && std::fabs(pb - pa) > 1e-12 * (1 + pb); it++) {
                    double pm = (fa * pb - fb * pa) / (fa - fb);
                    if (!(pm > std::min(pa, pb) && pm < std::max(pa, pb))) pm = 0.5 * (pa + pb);
                    r = s.at(pm);
                    if (!r.ok) break;
                    double fm = r.x - target;
                    if (std::fabs(fm) < 1e-10) break;
                    if (fm * fb < 0) {
                        pa = pb;
                        fa = fb;
                        if (side == -1) fa *= 0.5;
                        side = -1;
                    } else {
                        if (side == 1) fa *= 0.5;
                        side = 1;
                    }
                    pb = pm;
                    fb = fm;
                }
                if (r.ok) {
                    Ray q = r;
                    if (sg < 0) q.p = -q.p;  // the long way round
                    out.push_back(q);
                }
            }
    }
    return out;
}

bool near_critical(const Curve &c, double delta, double margin) {
    for (double x : c.critical)
        for (int k = 0; k < 3; k++)
            if (std::fabs(x - (2 * M_PI * k + delta)) < margin || std::fabs(x - (2 * M_PI * k - delta)) < margin)
                return true;
    return false;
}

class PhaseTimes : public ::testing::Test {
protected:
    void TearDown() override { free_hook(&hook); }
    Hook *hook = nullptr;
};

// Each phase of the list at eight depths, every half degree (coarser in
// the slow builds): the calculator gives exactly the exact arrivals, within
// a few hundredths of a second and of a second per degree.
TEST_F(PhaseTimes, EveryPhaseMatchesTheExactSolver) {
    const double depths[] = {0, 10, 33, 100, 250, 410, 550, 700};
    const double step = SLOW_BUILD ? 5.0 : 0.5;
    double worst_t = 0, worst_p = 0, worst_dz = 0;
    std::string worst;
    int compared = 0;
    for (const char *model : {"ak135", "iasp91"}) {
        Model m = read_model(model);
        ASSERT_GT(m.cmb, 0);
        ASSERT_GT(m.icb, m.cmb);
        bool second = std::string(model) == "iasp91";
        for (const Def &d : DEFS)
            for (int zi = 0; zi < 8; zi++) {
                if ((second || SLOW_BUILD) && zi % 3 != 0) continue;
                double z = depths[zi];
                Solver s(m, d, z);
                const char *q = d.query ? d.query : d.name;
                if (d.diff >= 0) {
                    // The grazing ray continued along the core for 60 degrees.
                    double pc = m.sh[m.cmb - 1].eb[d.diff];
                    Ray g = s.at(pc * (1 - 1e-12));
                    if (d.up && z == 0) {
                        EXPECT_TRUE(calc(model, q, TT_ALL, z, 120, &hook).empty()) << d.name;
                        continue;
                    }
                    ASSERT_TRUE(g.ok) << d.name << " " << z;
                    for (double deg = 0; deg <= 180; deg += step) {
                        std::vector<Hit> h = calc(model, q, TT_ALL, z, deg, &hook);
                        double x = deg * DEG;
                        bool want = x > g.x + 1e-6 && x <= g.x + 60 * DEG - 1e-6;
                        bool edge = std::fabs(x - g.x) < 1e-6 || std::fabs(x - g.x - 60 * DEG) < 1e-6;
                        if (edge) continue;
                        ASSERT_EQ(h.size(), want ? 1u : 0u) << model << " " << d.name << " " << z << " km " << deg;
                        if (!want) continue;
                        EXPECT_NEAR(h[0].t, g.t + pc * (x - g.x), 0.02) << d.name << " " << z << " " << deg;
                        EXPECT_NEAR(h[0].p, pc * DEG, 1e-6);
                        compared++;
                    }
                    continue;
                }
                Curve c = scan(m, s);
                for (double deg = 0; deg <= 180; deg += step) {
                    double x = deg * DEG;
                    std::vector<Hit> h = calc(model, q, TT_ALL, z, deg, &hook);
                    for (const Hit &a : h) EXPECT_EQ(a.phase, q);
                    if (near_critical(c, x, 0.3 * DEG)) continue;
                    std::vector<Ray> e = roots(s, c, x);
                    std::sort(e.begin(), e.end(), [](const Ray &a, const Ray &b) { return a.t < b.t; });
                    std::ostringstream what;
                    what.precision(9);
                    what << model << " " << d.name << " " << z << " km " << deg << " deg:";
                    for (const Ray &r : e) what << " " << r.t << "/" << r.p * DEG;
                    what << " got";
                    for (const Hit &a : h) what << " " << a.t << "/" << a.p;
                    ASSERT_EQ(h.size(), e.size()) << what.str();
                    for (size_t i = 0; i < e.size(); i++) {
                        // Each exact arrival has its own match.
                        size_t best = 0;
                        for (size_t j = 1; j < h.size(); j++)
                            if (std::fabs(h[j].t - e[i].t) + std::fabs(h[j].p - e[i].p * DEG) <
                                std::fabs(h[best].t - e[i].t) + std::fabs(h[best].p - e[i].p * DEG))
                                best = j;
                        double dt = std::fabs(h[best].t - e[i].t), dp = std::fabs(h[best].p - e[i].p * DEG);
                        EXPECT_LT(dt, 0.03) << what.str();
                        EXPECT_LT(dp, 0.05) << what.str();
                        EXPECT_NEAR(h[best].dz, e[i].dz, 2e-3) << what.str();
                        worst_dz = std::max(worst_dz, std::fabs(h[best].dz - e[i].dz));
                        if (dt > worst_t) {
                            worst_t = dt;
                            worst = what.str();
                        }
                        worst_p = std::max(worst_p, dp);
                        compared++;
                    }
                }
            }
    }
    EXPECT_GT(compared, SLOW_BUILD ? 300 : 20000);
    std::printf("compared %d arrivals; worst time %.2e s (%s), worst ray parameter %.2e s/deg, worst depth "
                "derivative %.2e s/km\n",
                compared, worst_t, worst.c_str(), worst_p, worst_dz);
}

// The later phases of the published list (ak135, 10 km, 35 degrees), every
// ray of the triplications included.
TEST_F(PhaseTimes, PublishedLaterPhases) {
    struct Ref {
        const char *phase;
        double t, p;
    } refs[] = {
        {"P", 412.51, 8.625},     {"pP", 415.59, 8.631},    {"sP", 416.84, 8.630},    {"PP", 489.44, 12.444},
        {"PP", 491.85, 11.053},   {"PP", 493.23, 11.428},   {"PP", 493.26, 13.578},   {"PP", 493.29, 13.550},
        {"PcP", 564.61, 2.910},   {"S", 744.42, 15.393},    {"pS", 747.98, 15.407},   {"sS", 749.49, 15.401},
        {"SP", 750.45, 15.475},   {"PS", 751.97, 15.470},   {"ScP", 790.19, 3.603},   {"PcS", 791.36, 3.603},
        {"SS", 879.71, 24.229},   {"SS", 896.30, 20.353},   {"SS", 898.70, 21.075},   {"SS", 930.74, 16.723},
        {"SS", 930.79, 16.832},   {"PKiKP", 1006.58, 0.762}, {"pPKiKP", 1010.02, 0.761}, {"sPKiKP", 1011.19, 0.761},
        {"ScS", 1033.83, 5.383},  {"SKiKP", 1218.19, 0.801},
    };
    std::string list;
    std::map<std::string, int> count;
    for (const Ref &r : refs) {
        if (count[r.phase]++ == 0) list += std::string(list.empty() ? "" : ",") + r.phase;
    }
    std::vector<Hit> h = calc("ak135", list.c_str(), TT_ALL, 10, 35, &hook);
    for (auto &c : count) {
        if (c.first == "P" || c.first == "S") continue;  // families: every branch of the first arrivals
        int n = 0;
        for (const Hit &a : h) n += a.phase == c.first;
        EXPECT_EQ(n, c.second) << c.first;
    }
    for (const Ref &r : refs) {
        const Hit *best = nullptr;
        for (const Hit &a : h)
            if (a.phase == r.phase && (!best || std::fabs(a.t - r.t) + std::fabs(a.p - r.p) <
                                                    std::fabs(best->t - r.t) + std::fabs(best->p - r.p)))
                best = &a;
        ASSERT_NE(best, nullptr) << r.phase;
        EXPECT_NEAR(best->t, r.t, 0.1) << r.phase;
        EXPECT_NEAR(best->p, r.p, 0.02) << r.phase << " " << r.t;
    }
    for (size_t i = 1; i < h.size(); i++) EXPECT_LE(h[i - 1].t, h[i].t);
}

TEST_F(PhaseTimes, UnreadableNamesAreNamedWithTheirPosition) {
    struct Case {
        const char *name;
        int pos;
        const char *why;
    } cases[] = {
        {"PXP", 2, "unexpected character"},
        {"Pc", 3, "must be followed by P or S"},
        {"PK", 3, "does not come back to the surface"},
        {"PKi", 4, "must be followed by K"},
        {"PpP", 2, "can only come first"},
        {"KP", 1, "K must follow"},
        {"PI", 2, "inner-core leg"},
        {"PcPn", 4, "g, b and n must follow"},
        {"PKdiff", 3, "diff must follow"},
        {"cP", 1, "reflection at the core"},
        {"iP", 1, "reflection at the inner core"},
        {"'P", 1, "' must follow"},
        {"PKKPPKKPPKKPPKKP", 16, "longer than 15"},
        {"P\x01", 2, "unexpected character"},
    };
    for (const Case &c : cases) {
        elog_clear_register(0);
        int rc = 0;
        EXPECT_TRUE(calc("ak135", (std::string("P,") + c.name).c_str(), TT_ALL, 10, 40, &hook, 0, &rc).empty());
        EXPECT_EQ(rc, -1) << c.name;
        char at[64];
        std::snprintf(at, sizeof at, "at position %d", c.pos);
        std::string want = std::string("ttcalc: unknown phase \"") + c.name + "\": ";
        EXPECT_TRUE(rzvtest::has_message(want)) << c.name << ": " << rzvtest::all_messages();
        EXPECT_TRUE(rzvtest::has_message(c.why)) << c.name << ": " << rzvtest::all_messages();
        EXPECT_TRUE(rzvtest::has_message(at)) << c.name << ": " << rzvtest::all_messages();
    }
    elog_clear_register(0);
}

TEST_F(PhaseTimes, NamesNoRayCanTakeGiveNoArrival) {
    for (double deg : {1.0, 5.0, 30.0, 90.0}) {
        int rc = -1;
        // A depth phase needs a buried source.
        EXPECT_TRUE(calc("iasp91", "sP,pPKiKP,pPdiff", TT_ALL, 0, deg, &hook, 0, &rc).empty());
        EXPECT_EQ(rc, 0);
        // One ray parameter cannot turn in the upper crust and below the Moho.
        EXPECT_TRUE(calc("iasp91", "PgPn", TT_ALL, 10, deg, &hook, 0, &rc).empty());
        EXPECT_EQ(rc, 0);
        // A first leg bottoming in the crust below a source in the mantle.
        EXPECT_TRUE(calc("iasp91", "PgPg,SbSb", TT_ALL, 100, deg, &hook, 0, &rc).empty());
        EXPECT_EQ(rc, 0);
        // P and S cannot both be diffracted on one ray.
        EXPECT_TRUE(calc("iasp91", "PdiffSdiff", TT_ALL, 10, deg + 90, &hook, 0, &rc).empty());
        EXPECT_EQ(rc, 0);
    }
    // The same legs from a shallow source exist.
    EXPECT_FALSE(calc("iasp91", "PgPg", TT_ALL, 5, 6.0, &hook).empty());
}

TEST_F(PhaseTimes, AliasesAndTheNamesInUse) {
    std::vector<Hit> a = calc("ak135", "P'P'", TT_ALL, 50, 60, &hook);
    std::vector<Hit> b = calc("ak135", "PKPPKP", TT_ALL, 50, 60, &hook);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_FALSE(a.empty());
    for (size_t i = 0; i < a.size(); i++) {
        EXPECT_EQ(a[i].phase, "P'P'");
        EXPECT_EQ(a[i].t, b[i].t);
    }
    std::vector<Hit> df = calc("ak135", "PKIKP,SKIKS", TT_ALL, 50, 150, &hook);
    ASSERT_EQ(df.size(), 2u);
    EXPECT_EQ(df[0].phase, "PKPdf");
    EXPECT_EQ(df[1].phase, "SKSdf");
    // A name twice in the list is one entry's arrivals twice in the first mode,
    // once in the list of all.
    EXPECT_EQ(calc("ak135", "sP sP", TT_ALL, 50, 40, &hook).size(), 1u);
    std::vector<Hit> f = calc("ak135", "PP,sP,SS,P", TT_FIRST, 50, 60, &hook);
    ASSERT_EQ(f.size(), 4u);
    std::vector<Hit> all = calc("ak135", "PP", TT_ALL, 50, 60, &hook);
    ASSERT_FALSE(all.empty());
    double first_pp = all[0].t;
    for (const Hit &h : f) {
        if (h.phase == "PP") {
            EXPECT_EQ(h.t, first_pp);
        }
    }
    for (size_t i = 1; i < f.size(); i++) EXPECT_LE(f[i - 1].t, f[i].t);
}

// The ray parameter is the slope of the time curve, the depth derivative
// its slope with depth; an up-going first leg makes it positive.
TEST_F(PhaseTimes, DerivativesMatchFiniteDifferences) {
    struct Case {
        const char *phase;
        double deg;
        int sign;
    } cases[] = {{"sP", 50, 1}, {"pS", 80, 1}, {"PP", 100, -1}, {"ScP", 30, -1}, {"SKKS", 80, -1},
                 {"pPKiKP", 60, 1}, {"PKKP", 100, -1}, {"pPdiff", 130, 1}, {"sPKiKP", 20, 1}};
    const double z = 120;
    for (const Case &c : cases) {
        std::vector<Hit> h = calc("iasp91", c.phase, TT_ALL, z, c.deg, &hook);
        ASSERT_EQ(h.size(), 1u) << c.phase;
        std::vector<Hit> xa = calc("iasp91", c.phase, TT_ALL, z, c.deg - 0.01, &hook);
        std::vector<Hit> xb = calc("iasp91", c.phase, TT_ALL, z, c.deg + 0.01, &hook);
        std::vector<Hit> za = calc("iasp91", c.phase, TT_ALL, z - 0.05, c.deg, &hook);
        std::vector<Hit> zb = calc("iasp91", c.phase, TT_ALL, z + 0.05, c.deg, &hook);
        ASSERT_TRUE(xa.size() == 1 && xb.size() == 1 && za.size() == 1 && zb.size() == 1) << c.phase;
        EXPECT_NEAR((xb[0].t - xa[0].t) / 0.02, h[0].p, 2e-3) << c.phase;
        EXPECT_NEAR((zb[0].t - za[0].t) / 0.1, h[0].dz, 2e-4) << c.phase;
        EXPECT_EQ(h[0].dz > 0 ? 1 : -1, c.sign) << c.phase;
    }
}

// A receiver above the surface adds the time through the top layer at the
// arrival's own ray parameter, with the wave of the last leg.
TEST_F(PhaseTimes, ReceiverHeightsUseEachRayAndItsLastWave) {
    struct Case {
        const char *phase;
        double deg, v;  // top-layer velocity of the last leg (iasp91)
    } cases[] = {{"PKPdf", 180, 5.8}, {"ScS", 0, 3.36}, {"ScP", 0, 5.8}, {"PcS", 0, 3.36},
                 {"PP", 60, 5.8},     {"SS", 80, 3.36}, {"sP", 40, 5.8}, {"PKJKP", 170, 5.8}};
    for (const Case &c : cases) {
        std::vector<Hit> flat = calc("iasp91", c.phase, TT_ALL, 10, c.deg, &hook);
        std::vector<Hit> up = calc("iasp91", c.phase, TT_ALL, 10, c.deg, &hook, 1.0);
        std::vector<Hit> down = calc("iasp91", c.phase, TT_ALL, 10, c.deg, &hook, -0.5);
        ASSERT_FALSE(flat.empty()) << c.phase;
        ASSERT_EQ(up.size(), flat.size()) << c.phase;
        ASSERT_EQ(down.size(), flat.size()) << c.phase;
        for (size_t i = 0; i < flat.size(); i++) {
            double q = std::sqrt(1 / (c.v * c.v) - std::pow(flat[i].p / TT_KM_PER_DEG, 2));
            EXPECT_NEAR(up[i].t - flat[i].t, q, 2e-3) << c.phase << " " << i;
            EXPECT_NEAR(flat[i].t - down[i].t, 0.5 * q, 1e-3) << c.phase << " " << i;
        }
    }
    // A steep ray to a station 1 km up: a sixth of a second.
    EXPECT_NEAR(calc("iasp91", "PKPdf", TT_ALL, 0, 180, &hook, 1.0)[0].t -
                    calc("iasp91", "PKPdf", TT_ALL, 0, 180, &hook)[0].t,
                1 / 5.8, 1e-3);
}

// A hook holding more phases than it keeps drops old ones and answers the
// same.
TEST_F(PhaseTimes, ManyPhasesInOneHook) {
    std::vector<Hit> before = calc("iasp91", "sP,PP,SKKS,PKiKP,ScSScS", TT_ALL, 50, 90, &hook);
    ASSERT_GE(before.size(), 5u);
    // Every sequence of up to nine P and S legs: more phases than a hook keeps.
    TTGeometry g = {};
    g.source.z = 50;
    g.receiver.lon = 90;
    int tables = 0;
    for (int len = 1; len <= 9; len++)
        for (int bits = 0; bits < (1 << len); bits++) {
            std::string name;
            for (int k = 0; k < len; k++) name += (bits >> k) & 1 ? 'S' : 'P';
            if (name == "P" || name == "S") continue;
            Tbl *t = nullptr;
            ASSERT_EQ(ttcalc(nullptr, "iasp91", name.c_str(), TT_ALL, &g, &t, &hook), 0) << name;
            freetbl(t, nullptr);
            tables++;
        }
    EXPECT_GT(tables, 1000);
    std::vector<Hit> after = calc("iasp91", "sP,PP,SKKS,PKiKP,ScSScS", TT_ALL, 50, 90, &hook);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); i++) EXPECT_EQ(after[i].t, before[i].t);
}

}  // namespace
