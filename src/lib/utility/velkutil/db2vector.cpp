/*
 * db2vector -- scatter plots from database expressions: each record of a
 * view becomes a point of a first-generation vector, with a colour, size
 * and symbol label computed from attribute expressions.  The label strings
 * are read by display programs and keep their exact form.
 *
 * The symbol assignment (text to marker) is process-wide, so a given symbol
 * text gets the same marker in every plot of the process; like the rest of
 * the vector families it is used from one thread at a time.
 */
#include "db2vector.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>

#include "stock.h"

namespace {

// Per-point attribute values gathered before labelling.
struct Intermediate {
    double hue;
    double sat;
    double siz;
    long sym;
};

// Which attribute expressions were given and compiled.
struct ModFlags {
    unsigned hue : 1;
    unsigned sat : 1;
    unsigned siz : 1;
    unsigned sym : 1;
};

enum { X_EXPR, Y_EXPR, HUE_EXPR, SAT_EXPR, SIZ_EXPR, SYM_EXPR, NEXPR };

const char *const Varname[NEXPR] = {"x", "y", "hue", "saturation", "size", "symbol"};

const int Nsymbols = 8;
const char *const Symbol[Nsymbols] = {"point", "cross", "x", "triangle", "square", "circle", "star", "diamond"};

Arr *Name2Symbol = nullptr;
long SymbolIndex = 0;

const double kLightness = 0.6;
const double kSatBase = 0.3;
const double kSatSpan = 0.7;
const double kSatDefault = 0.9;

// The symbol index of a symbol text: the one it received before, or the
// next in turn; -1 when memory runs out (no symbol is then used up).
long symbolize(const char *name) {
    if (!name) name = "";
    if (!Name2Symbol) Name2Symbol = newarr(nullptr);
    if (!Name2Symbol) return -1;
    void *have = getarr(Name2Symbol, name);
    if (have) return (long)(intptr_t)have - 1;
    // the next symbol is taken only once the name keeps it
    long idx = SymbolIndex;
    if (setarr(Name2Symbol, name, (void *)(intptr_t)(idx + 1)) == ARR_FAILED) return -1;
    SymbolIndex = (SymbolIndex + 1) % Nsymbols;
    return idx;
}

// Brings a hue into 0 .. 360 by whole turns.
double wrap_hue(double h) {
    if (std::fabs(h) > 1e6) {  // far out (or infinite): no turn-by-turn loop
        h = std::fmod(h, 360.0);
        if (h < 0) h += 360.0;
        return h;
    }
    while (h > 360.0) h -= 360.0;
    while (h < 0.0) h += 360.0;
    return h;
}

unsigned colour_component(double c) {
    double v = c * 65535.0;
    if (!(v > 0.0)) return 0;
    if (v >= 65535.0) return 65535;
    return (unsigned)v;
}

int marker_size(double v) {
    if (!std::isfinite(v)) return 1;
    if (v >= (double)INT_MAX) return INT_MAX;
    if (v <= (double)INT_MIN) return INT_MIN;
    return (int)v;
}

struct Range {
    double min = 0, range = 1;
};

Range range_of(const Intermediate *value, long n, double Intermediate::*field) {
    Range r;
    if (n < 1) return r;
    double lo = value[0].*field, hi = lo;
    for (long i = 1; i < n; i++) {
        double v = value[i].*field;
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    r.min = lo;
    r.range = hi - lo;
    if (r.range == 0.0) r.range = 1.0;
    return r;
}

// Labels every point; false (with a message) when a label cannot be stored.
bool set_labels(KOVector *v, ModFlags flags, Intermediate *value, long npts, double hue, double huerange, int fill,
                int max_size) {
    Range hr, sr, zr;
    if (flags.hue) hr = range_of(value, npts, &Intermediate::hue);
    if (flags.sat) sr = range_of(value, npts, &Intermediate::sat);
    if (flags.siz) zr = range_of(value, npts, &Intermediate::siz);
    double hue0 = hue - huerange / 2.0;
    bool verbose = verbose_exists() != 0;
    for (long i = 0; i < npts; i++) {
        const Intermediate &a = value[i];
        char label[80];
        char hls[64] = "";
        int len = snprintf(label, sizeof label, "{");
        double h = hue, s = kSatDefault;
        if (flags.hue) h = wrap_hue((a.hue - hr.min) * huerange / hr.range + hue0);
        if (flags.sat) {
            s = (a.sat - sr.min) * kSatSpan / sr.range + kSatBase;
            if (s > 1.0) s -= 1.0;
            if (s < 0.0) s += 1.0;
        }
        if (flags.hue || flags.sat) {
            double r, g, b;
            hls2rgb(h, kLightness, s, &r, &g, &b);
            unsigned R = colour_component(r), G = colour_component(g), B = colour_component(b);
            len += snprintf(label + len, sizeof label - (size_t)len, " o=#%4.4x%4.4x%4.4x", R, G, B);
            if (fill) len += snprintf(label + len, sizeof label - (size_t)len, " f=#%4.4x%4.4x%4.4x", R, G, B);
            snprintf(hls, sizeof hls, "hls=(%3.0f %.3f %.3f)", h, kLightness, s);
        }
        if (flags.siz)
            len += snprintf(label + len, sizeof label - (size_t)len, " sz=%d",
                            marker_size((a.siz - zr.min) * ((double)max_size - 1.0) / zr.range + 1.0));
        if (flags.sym) {
            long k = a.sym >= 0 && a.sym < Nsymbols ? a.sym : 0;
            len += snprintf(label + len, sizeof label - (size_t)len, " sy=%s", Symbol[k]);
        }
        snprintf(label + len, sizeof label - (size_t)len, " }");
        KOVectorPoint &p = v->point[i];
        free(p.label);
        p.label = strdup(label);
        if (!p.label) {
            elog_log(1, "db2vector: strdup() error for the label of point %ld.\n", i);
            return false;
        }
        if (verbose) printf("%4.0f %8.3f %8.3f => %s  %s\n", p.y[1], p.x, p.y[0], label, hls);
    }
    return true;
}

// Gives back a vector that cannot be completed, registered or not.
void discard(KOVector *v, char *handle) {
    if (handle && handle[0]) {
        kovector_free(handle);
        handle[0] = '\0';
    } else {
        kovector_free_vector(v);
    }
}

// What a plot holds while it is being made, given back when it is given
// up (an exception included).
struct Work {
    Expression *ex[NEXPR] = {};
    Intermediate *value = nullptr;
    void free_expressions() {
        for (auto &e : ex) {
            if (e) dbex_free(e);
            e = nullptr;
        }
    }
    void free_values() {
        free(value);
        value = nullptr;
    }
    ~Work() {
        free_expressions();
        free_values();
    }
};

// The plot itself; *made receives the vector as soon as it exists.
KOVector *plot(Dbptr db, char *xexpr, char *yexpr, char *hue_expr, char *sat_expr, char *siz_expr, char *sym_expr,
               double hue, double huerange, int fill, int max_size, char *tag, char *handle, Work &w,
               KOVector **made) {
    long count = 0;
    if (dbquery(db, dbRECORD_COUNT, &count) < 0 || count < 0 || count > INT_MAX / 2) {
        elog_log(0, "db2vector: dbquery(dbRECORD_COUNT) error.\n");
        return nullptr;
    }
    KOVector *v = kovector_create((int)count, 2, tag, handle);
    *made = v;
    if (!v) {
        elog_log(0, "db2vector: kovector_create() error.\n");
        return nullptr;
    }
    v->nx = 0;
    if (count == 0) return v;

    char *exprs[NEXPR] = {xexpr, yexpr, hue_expr, sat_expr, siz_expr, sym_expr};
    Expression **ex = w.ex;
    bool bad = false;
    // An expression that cannot be compiled or evaluated leaves the plot
    // without points; memory running out is not such an expression: the
    // plot is then given up (the engine sets errno to ENOMEM).
    bool no_memory = false;
    for (int k = 0; k < NEXPR && !no_memory; k++) {
        if (!exprs[k]) continue;
        errno = 0;
        if (dbex_compile(db, exprs[k], &ex[k], k == SYM_EXPR ? dbSTRING : dbREAL) < 0 || !ex[k]) {
            no_memory = errno == ENOMEM;
            if (!no_memory) elog_log(0, "Can't compile %s expression '%s'", Varname[k], exprs[k]);
            ex[k] = nullptr;
            bad = true;
        }
    }
    auto give_up = [&]() -> KOVector * {
        elog_log(1, "db2vector: out of memory.\n");
        w.free_expressions();
        w.free_values();
        discard(v, handle);
        *made = nullptr;
        return nullptr;
    };
    if (no_memory) return give_up();
    auto free_all = [&]() { w.free_expressions(); };
    if (bad) {
        free_all();
        return v;
    }
    ModFlags flags{};
    flags.hue = ex[HUE_EXPR] != nullptr;
    flags.sat = ex[SAT_EXPR] != nullptr;
    flags.siz = ex[SIZ_EXPR] != nullptr;
    flags.sym = ex[SYM_EXPR] != nullptr;

    size_t bytes = (size_t)count * sizeof(Intermediate);
    auto *value = w.value = static_cast<Intermediate *>(calloc((size_t)count, sizeof(Intermediate)));
    if (!value) {
        elog_log(1, "db2vector: Out of memory: cannot allocate %lu bytes for the attribute values.\n",
                 (unsigned long)bytes);
        free_all();
        discard(v, handle);
        return nullptr;
    }

    Dbptr row = db;
    for (long r = 0; r < count && !bad; r++) {
        row.record = r;
        KOVectorPoint &p = v->point[r];
        auto eval = [&](int k, double *out) {
            errno = 0;
            if (dbex_eval(row, ex[k], 0, out) < 0) {
                no_memory = errno == ENOMEM;
                if (!no_memory) elog_log(0, "failed to evaluate %s expression '%s'", Varname[k], exprs[k]);
                bad = true;
                return false;
            }
            return true;
        };
        p.x = (double)r;
        p.y[0] = (double)r;
        p.y[1] = (double)r;
        if (ex[X_EXPR] && !eval(X_EXPR, &p.x)) break;
        if (ex[Y_EXPR] && !eval(Y_EXPR, &p.y[0])) break;
        if (flags.hue && !eval(HUE_EXPR, &value[r].hue)) break;
        if (flags.sat && !eval(SAT_EXPR, &value[r].sat)) break;
        if (flags.siz && !eval(SIZ_EXPR, &value[r].siz)) break;
        if (flags.sym) {
            char *s = nullptr;
            errno = 0;
            if (dbex_eval(row, ex[SYM_EXPR], 0, &s) < 0) {
                no_memory = errno == ENOMEM;
                if (!no_memory)
                    elog_log(0, "failed to evaluate %s expression '%s'", Varname[SYM_EXPR], exprs[SYM_EXPR]);
                bad = true;
                free(s);
                break;
            }
            value[r].sym = symbolize(s);
            free(s);
            if (value[r].sym < 0) {
                no_memory = true;
                break;
            }
        }
    }
    if (no_memory) return give_up();
    free_all();
    if (bad) {
        v->nx = 0;
        w.free_values();
        return v;
    }
    v->nx = (int)count;
    bool labelled = !(flags.hue || flags.sat || flags.siz || flags.sym) ||
                    set_labels(v, flags, value, count, hue, huerange, fill, max_size);
    w.free_values();
    if (!labelled) {
        discard(v, handle);
        return nullptr;
    }
    return v;
}

}  // namespace

extern "C" {

KOVector *db2vector(Dbptr db, char *xexpr, char *yexpr, char *hue_expr, char *sat_expr, char *siz_expr,
                    char *sym_expr, double hue, double huerange, int fill, int max_size, char *tag, char *handle) {
    // The engine's calls may throw when memory runs out: what was made so
    // far is given back and the failure reported; nothing crosses the C
    // interface.
    Work w;
    KOVector *v = nullptr;
    try {
        return plot(db, xexpr, yexpr, hue_expr, sat_expr, siz_expr, sym_expr, hue, huerange, fill, max_size, tag,
                    handle, w, &v);
    } catch (...) {
        elog_log(1, "db2vector: out of memory.\n");
        if (v) discard(v, handle);
        return nullptr;
    }
}

}  // extern "C"
