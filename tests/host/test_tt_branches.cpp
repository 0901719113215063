// Travel times, branch by branch: every ray of the first-arrival families
// through the upper-mantle triplications against a root solver of this
// file's own, diffracted legs after a surface reflection, and the corners of
// the phase notation (names that read but no ray takes, unreadable names
// with the position of the fault).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rzvtest.h"
#include "stock.h"
#include "tt.h"

namespace {

const double DEG = M_PI / 180.0;
const double RE = 6371.0;

struct Arr {
    std::string phase;
    double t = 0, p = 0;  // s, s/deg (negative: the long way round)
};

std::vector<Arr> all(const char *model, const char *phases, double z, double deg, Hook **hook, int *rc = nullptr) {
    TTGeometry g = {};
    g.source.z = z;
    g.receiver.lon = deg;
    Tbl *t = nullptr;
    std::vector<Arr> out;
    int r = ttcalc(nullptr, model, phases, TT_ALL, &g, &t, hook);
    if (rc) *rc = r;
    if (r != 0) return out;
    for (long i = 0; i < maxtbl(t); i++) {
        const TTTime *a = (const TTTime *)gettbl(t, i);
        out.push_back(Arr{a->phase, a->value, -a->deriv[0] * TT_KM_PER_DEG});
    }
    freetbl(t, nullptr);
    return out;
}

// ------------------------------------------------------------ root solver

// The model file as shells between its rows, slowness eta = r / v a power
// law of the radius in each.
struct Shell {
    double rt, rb;
    double v[2][2];  // [wave P, S][top, bottom] km/s
};

std::vector<Shell> mantle(const char *name) {
    std::ifstream f(std::string(RZV_SOURCE_DIR) + "/data/earth-models/" + name + ".txt");
    std::vector<Shell> out;
    std::string line;
    double d0 = -1, p0 = 0, s0 = 0;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream is(line);
        double d, vp, vs, rho;
        if (!(is >> d >> vp >> vs >> rho)) continue;
        if (vs == 0) break;  // the core: the families here stay in the mantle
        if (d0 >= 0 && d > d0) out.push_back(Shell{RE - d0, RE - d, {{p0, vp}, {s0, vs}}});
        d0 = d;
        p0 = vp;
        s0 = vs;
    }
    return out;
}

struct Path {
    bool turned = false;  // turned, or totally reflected on a faster shell
    double x = 0, tau = 0;
};

// From the surface down to radius rstop, or to where the ray turns.
Path descend(const std::vector<Shell> &sh, int w, double p, double rstop) {
    Path r;
    for (const Shell &s : sh) {
        if (s.rt <= rstop + 1e-9) break;
        const double et = s.rt / s.v[w][0], ebs = s.rb / s.v[w][1];
        if (p > et) {
            r.turned = true;
            return r;
        }
        const double k = std::log(et / ebs) / std::log(s.rt / s.rb);
        const double rb = std::max(s.rb, rstop);
        const double eb = et * std::pow(rb / s.rt, k);
        const double a1 = std::acos(std::min(1.0, p / et)), q1 = std::sqrt(et * et - p * p);
        if (p >= eb) {
            r.x += a1 / k;
            r.tau += (q1 - p * a1) / k;
            r.turned = true;
            return r;
        }
        const double a2 = std::acos(p / eb), q2 = std::sqrt(eb * eb - p * p);
        r.x += (a1 - a2) / k;
        r.tau += (q1 - p * a1 - q2 + p * a2) / k;
    }
    return r;
}

struct Ray {
    double p, x, t;
};

// The rays of a first-arrival family leaving a source at depth z: going up,
// and going down to turn in the mantle (by increasing ray parameter; a
// branch that ends, or a ray that reaches the core, is a gap).
struct Family {
    std::vector<std::vector<Ray>> runs;
    std::vector<double> critical;  // distances of branch ends and caustics
};

Family family(const std::vector<Shell> &sh, int w, double z) {
    const double rs = RE - z;
    double emin = 1e30;
    for (const Shell &s : sh) {
        const double et = s.rt / s.v[w][0], ebs = s.rb / s.v[w][1];
        const double k = std::log(et / ebs) / std::log(s.rt / s.rb);
        if (s.rt < rs) break;
        emin = std::min(emin, et);
        // A source on a boundary lies below it: the shell below counts.
        emin = std::min(emin, et * std::pow(std::max(rs, s.rb) / s.rt, k));
    }
    std::vector<double> ps;
    const int N = 6000;
    for (int i = 0; i < N; i++) ps.push_back(emin * i / N);
    for (double f : {1e-3, 1e-4, 1e-5, 1e-7, 1e-9}) ps.push_back(emin * (1 - f));
    for (const Shell &s : sh)
        for (double e : {s.rt / s.v[w][0], s.rb / s.v[w][1]})
            if (e < emin)
                for (double f : {1 - 1e-6, 1.0, 1 + 1e-6}) ps.push_back(e * f);
    std::sort(ps.begin(), ps.end());
    Family fam;
    for (int dir = 0; dir < 2; dir++) {
        std::vector<Ray> run;
        auto close = [&]() {
            if (run.size() > 1) fam.runs.push_back(run);
            run.clear();
        };
        for (double p : ps) {
            const Path above = descend(sh, w, p, rs);
            if (dir == 0) {
                if (z > 0) run.push_back(Ray{p, above.x, above.tau + p * above.x});
                continue;
            }
            const Path whole = descend(sh, w, p, 0);
            if (!whole.turned) {
                close();
                continue;
            }
            const double x = 2 * whole.x - above.x, tau = 2 * whole.tau - above.tau;
            run.push_back(Ray{p, x, tau + p * x});
        }
        close();
    }
    for (const std::vector<Ray> &run : fam.runs)
        for (size_t i = 0; i < run.size(); i++)
            if (i == 0 || i + 1 == run.size() || (run[i].x - run[i - 1].x) * (run[i + 1].x - run[i].x) <= 0)
                fam.critical.push_back(run[i].x);
    return fam;
}

// Every ray of the family reaching distance x, by bisection on p.
std::vector<Ray> roots(const std::vector<Shell> &sh, int w, double z, const Family &fam, double x) {
    std::vector<Ray> out;
    const double rs = RE - z;
    for (size_t r = 0; r < fam.runs.size(); r++) {
        const std::vector<Ray> &run = fam.runs[r];
        const bool up = z > 0 && r == 0;
        auto at = [&](double p) {
            const Path above = descend(sh, w, p, rs);
            if (up) return Ray{p, above.x, above.tau + p * above.x};
            const Path whole = descend(sh, w, p, 0);
            const double xx = 2 * whole.x - above.x, tau = 2 * whole.tau - above.tau;
            return Ray{p, xx, tau + p * xx};
        };
        for (size_t i = 1; i < run.size(); i++) {
            Ray a = run[i - 1], b = run[i];
            if ((a.x - x) * (b.x - x) > 0 || a.x == x) continue;
            for (int it = 0; it < 80; it++) {
                Ray m = at(0.5 * (a.p + b.p));
                if ((a.x - x) * (m.x - x) <= 0) b = m;
                else a = m;
            }
            out.push_back(at(0.5 * (a.p + b.p)));
        }
    }
    return out;
}

bool in_family(const std::string &phase, int w) {
    static const char *const names[2][4] = {{"Pg", "Pb", "Pn", "P"}, {"Sg", "Sb", "Sn", "S"}};
    for (const char *n : names[w])
        if (phase == n) return true;
    return false;
}

class Branches : public ::testing::Test {
protected:
    void TearDown() override { free_hook(&hook); }
    Hook *hook = nullptr;
};

// Through the crust and the 410 and 660 km triplications, every ray of the
// families is listed once, each at its own time and ray parameter.
TEST_F(Branches, EveryRayOfTheFamiliesInTheTriplications) {
    int compared = 0;
    for (const char *model : {"iasp91", "ak135"}) {
        const std::vector<Shell> sh = mantle(model);
        ASSERT_GT(sh.size(), 20u);
        for (int w = 0; w < 2; w++)
            for (double z : {0.0, 12.0, 120.0, 400.0, 600.0}) {
                const Family fam = family(sh, w, z);
                for (double deg = 0.5; deg <= 36; deg += 0.5) {
                    const double x = deg * DEG;
                    bool near = false;
                    for (double c : fam.critical) near = near || std::fabs(c - x) < 0.25 * DEG;
                    if (near) continue;
                    std::vector<Ray> want = roots(sh, w, z, fam, x);
                    std::vector<Arr> got;
                    for (const Arr &a : all(model, w ? "S" : "P", z, deg, &hook))
                        if (in_family(a.phase, w)) got.push_back(a);
                    std::ostringstream what;
                    what << model << (w ? " S " : " P ") << z << " km " << deg << " deg: want";
                    for (const Ray &r : want) what << " " << r.t << "/" << r.p * DEG;
                    what << " got";
                    for (const Arr &a : got) what << " " << a.phase << " " << a.t << "/" << a.p;
                    ASSERT_EQ(got.size(), want.size()) << what.str();
                    for (const Ray &r : want) {
                        const Arr *best = nullptr;
                        for (const Arr &a : got)
                            if (!best || std::fabs(a.p - r.p * DEG) < std::fabs(best->p - r.p * DEG)) best = &a;
                        EXPECT_NEAR(best->t, r.t, 0.03) << what.str();
                        EXPECT_NEAR(best->p, r.p * DEG, 0.05) << what.str();
                        compared++;
                    }
                }
            }
    }
    EXPECT_GT(compared, 1000);
}

// ------------------------------------------------------------ diffraction

// A surface reflection before or after the diffracted leg: from a surface
// source PPdiff at 2X is Pdiff at X twice over, reached the long way round
// (the grazing ray alone is past the antipode).
TEST_F(Branches, DiffractedLegAfterASurfaceReflection) {
    for (const char *model : {"iasp91", "ak135"})
        for (int w = 0; w < 2; w++) {
            const char *one = w ? "Sdiff" : "Pdiff";
            for (double deg : {102.0, 110.0, 120.0, 126.0}) {
                std::vector<Arr> d = all(model, one, 0, deg, &hook);
                ASSERT_EQ(d.size(), 1u) << model << " " << one << " " << deg;
                for (const char *two : {w ? "SSdiff" : "PPdiff", w ? "SdiffS" : "PdiffP"}) {
                    std::vector<Arr> dd = all(model, two, 0, 360 - 2 * deg, &hook);
                    ASSERT_EQ(dd.size(), 1u) << model << " " << two << " " << deg;
                    EXPECT_NEAR(dd[0].t, 2 * d[0].t, 0.02) << model << " " << two << " " << deg;
                    EXPECT_NEAR(dd[0].p, -d[0].p, 1e-6) << two;
                }
            }
        }
    // From a buried source too; in a layered sphere the order of the legs
    // does not change the time.
    std::vector<Arr> a = all("ak135", "PPdiff", 300, 150, &hook), b = all("ak135", "PdiffP", 300, 150, &hook);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_NEAR(a[0].t, b[0].t, 1e-6);
    // A crustal branch cannot turn on the core.
    EXPECT_TRUE(all("ak135", "PnPdiff", 0, 150, &hook).empty());
}


// ------------------------------------------------------------ the notation

// In a layered sphere the order of the legs does not change the time: from
// a surface source a phase and its legs reversed arrive together, which
// catches a leg miscounted by the name reader.
TEST_F(Branches, LegsInEitherOrderArriveTogether) {
    struct Pair {
        const char *a, *b;
    } pairs[] = {{"PKKS", "SKKP"},     {"PcPPKP", "PKPPcP"}, {"SKiKP", "PKiKS"},  {"ScSPcP", "PcPScS"},
                 {"PKIKS", "SKIKP"},   {"PcSS", "SScP"},     {"PSP", "PPS"},      {"PKJKS", "SKJKP"},
                 {"S'S'", "SKSSKS"}};
    int compared = 0;
    for (const Pair &pr : pairs)
        for (double deg = 2; deg < 180; deg += 11) {
            std::vector<Arr> a = all("ak135", pr.a, 0, deg, &hook), b = all("ak135", pr.b, 0, deg, &hook);
            ASSERT_EQ(a.size(), b.size()) << pr.a << " " << pr.b << " " << deg;
            for (size_t i = 0; i < a.size(); i++) {
                EXPECT_NEAR(a[i].t, b[i].t, 0.02) << pr.a << " " << pr.b << " " << deg;
                EXPECT_NEAR(a[i].p, b[i].p, 0.02) << pr.a << " " << pr.b << " " << deg;
                compared++;
            }
        }
    EXPECT_GT(compared, 60);
}

// Names a seismologist writes that read but that no ray of the source takes
// are answered with no arrival, in both modes; the same names from a source
// that allows them arrive.
TEST_F(Branches, ReadableNamesWithoutARay) {
    TTGeometry g = {};
    g.receiver.lon = 60;
    for (const char *name : {"pPcP", "sPKIKP", "pPdiff", "sPn", "s", "PgPn", "PnPdiff", "SKiKKS", "PdiffSdiff"})
        for (int mode : {TT_FIRST, TT_ALL}) {
            Tbl *t = nullptr;
            elog_clear_register(0);
            ASSERT_EQ(ttcalc(nullptr, "iasp91", name, mode, &g, &t, &hook), 0) << name << rzvtest::all_messages();
            EXPECT_EQ(maxtbl(t), 0) << name;
            freetbl(t, nullptr);
        }
    // The depth phases from a buried source, somewhere in their range.
    for (const char *name : {"pPcP", "sPKIKP", "pPdiff", "sPn", "s"}) {
        bool seen = false;
        for (double deg = 0.2; deg < 180 && !seen; deg += 5) seen = !all("iasp91", name, 20, deg, &hook).empty();
        EXPECT_TRUE(seen) << name;
    }
}

// A character the notation does not know, put at each position of a good
// name, is reported at that position.
TEST_F(Branches, AFaultyCharacterIsNamedWhereItStands) {
    for (std::string good : {"sPKiKP", "ScSScS", "PKJKP", "pPdiff", "P'P'", "PnPn", "SKIKS", "PcPPKP", "sSdiff"})
        for (const char *bad : {"#", "x", "\xc3", "-"})
            for (size_t i = 0; i < good.size(); i++) {
                std::string name = good;
                name[i] = bad[0];
                elog_clear_register(0);
                int rc = 0;
                EXPECT_TRUE(all("ak135", name.c_str(), 10, 50, &hook, &rc).empty());
                EXPECT_EQ(rc, -1) << name;
                std::string want = "at position " + std::to_string(i + 1);
                EXPECT_TRUE(rzvtest::has_message(want)) << name << ": " << rzvtest::all_messages();
            }
    // A diff cut short.
    elog_clear_register(0);
    all("ak135", "pPdif", 10, 50, &hook);
    EXPECT_TRUE(rzvtest::has_message("ends inside diff at position 6")) << rzvtest::all_messages();
    elog_clear_register(0);
}


// ------------------------------------------------------------ derivatives, heights

// The ray parameter is the slope of the time with distance and the depth
// derivative its slope with source depth (positive for a first leg going
// up), for the corners of the notation as well, the long way round included.
TEST_F(Branches, SlopesOfTheTimeCurves) {
    struct Case {
        const char *phase;
        double z, deg;
    } cases[] = {{"PcPPKP", 40, 100}, {"PKKS", 200, 100}, {"SKKP", 200, 100},  {"sPKIKP", 90, 160}, {"pPcP", 300, 40},
                 {"PPdiff", 30, 150}, {"SSdiff", 600, 140}, {"sPn", 25, 8},    {"PKIIKP", 10, 120}, {"SKiKS", 500, 20}};
    for (const Case &c : cases) {
        std::vector<Arr> h = all("iasp91", c.phase, c.z, c.deg, &hook);
        ASSERT_FALSE(h.empty()) << c.phase;
        for (const Arr &a : h) {
            auto near = [&](const std::vector<Arr> &v) {
                const Arr *b = nullptr;
                for (const Arr &x : v)
                    if (!b || std::fabs(x.p - a.p) < std::fabs(b->p - a.p)) b = &x;
                return b ? b->t : NAN;
            };
            const double dx = 0.01, dz = 0.05;
            const double tx = (near(all("iasp91", c.phase, c.z, c.deg + dx, &hook)) -
                               near(all("iasp91", c.phase, c.z, c.deg - dx, &hook))) / (2 * dx);
            const double tz = (near(all("iasp91", c.phase, c.z + dz, c.deg, &hook)) -
                               near(all("iasp91", c.phase, c.z - dz, c.deg, &hook))) / (2 * dz);
            EXPECT_NEAR(tx, a.p, 3e-3) << c.phase << " " << a.t;
            TTGeometry g = {};
            g.source.z = c.z;
            g.receiver.lon = c.deg;
            Tbl *t = nullptr;
            ASSERT_EQ(ttcalc(nullptr, "iasp91", c.phase, TT_ALL, &g, &t, &hook), 0);
            double dzlib = NAN;
            for (long i = 0; i < maxtbl(t); i++) {
                const TTTime *r = (const TTTime *)gettbl(t, i);
                if (r->value == a.t) dzlib = r->deriv[2];
            }
            freetbl(t, nullptr);
            EXPECT_NEAR(tz, dzlib, 3e-4) << c.phase << " " << a.t;
            EXPECT_EQ(dzlib > 0, c.phase[0] == 'p' || c.phase[0] == 's') << c.phase;
        }
    }
}

// A station above or below the surface: each arrival gains or loses the
// time of its own ray through the top layer, with the wave of its last leg
// (here integrated numerically over the height, in a sphere).
TEST_F(Branches, StationHeightsWithTheLastLegsWave) {
    auto layer = [](double v, double p_deg, double h) {
        const double p = std::fabs(p_deg) / DEG;  // s/rad
        double sum = 0;
        const int n = 4000;
        for (int i = 0; i < n; i++) {
            const double r = RE + h * (i + 0.5) / n, eta = r / v;
            sum += std::sqrt(std::max(0.0, eta * eta - p * p)) / r * h / n;
        }
        return sum;
    };
    struct Case {
        const char *phase;
        double deg, v;  // top-layer velocity of the last leg (ak135)
    } cases[] = {{"SKKS", 110, 3.46}, {"PcS", 30, 3.46},  {"sS", 50, 3.46},   {"SKSac", 100, 3.46},
                 {"PKKP", 120, 5.8},  {"Sdiff", 120, 3.46}, {"SP", 70, 5.8},   {"PS", 70, 3.46},
                 {"SSdiff", 150, 3.46}, {"Pn", 8, 5.8}};
    for (const Case &c : cases)
        for (double h : {2.0, -1.5}) {
            TTGeometry g = {};
            g.source.z = 35;
            g.receiver.lon = c.deg;
            std::vector<Arr> flat = all("ak135", c.phase, 35, c.deg, &hook);
            g.receiver.z = -h;
            Tbl *t = nullptr;
            ASSERT_EQ(ttcalc(nullptr, "ak135", c.phase, TT_ALL, &g, &t, &hook), 0);
            ASSERT_EQ(maxtbl(t), (long)flat.size()) << c.phase;
            ASSERT_FALSE(flat.empty()) << c.phase;
            for (long i = 0; i < maxtbl(t); i++) {
                const TTTime *r = (const TTTime *)gettbl(t, i);
                const double p = -r->deriv[0] * TT_KM_PER_DEG;
                const Arr *f = nullptr;
                for (const Arr &a : flat)
                    if (!f || std::fabs(a.p - p) < std::fabs(f->p - p)) f = &a;
                const double want = layer(c.v, p, h);  // negative below the surface
                EXPECT_NEAR(r->value - f->t, want, 1e-3) << c.phase << " " << h << " km, p " << p;
            }
            freetbl(t, nullptr);
        }
}

}  // namespace
