// Phase names for the travel-time calculator: the first byte picks a source
// depth, a distance and a model, the rest is the phase list.  A name is read
// or refused with a message naming the position; an answer is finite, sorted
// by time, its names terminated, and the arrivals of the first mode are
// among those of all arrivals.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tt.h"

static Hook *hook = nullptr;  // kept across inputs, as callers keep theirs

static int run(const char *model, const char *phases, int mode, double z, double deg, Tbl **times) {
    TTGeometry g = {};
    g.source.z = z;
    g.receiver.lon = deg;
    return ttcalc(nullptr, model, phases, mode, &g, times, &hook);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 256) return 0;
    const uint8_t sel = data[0];
    std::string phases(reinterpret_cast<const char *>(data + 1), size - 1);
    phases = phases.c_str();
    static const double depths[] = {0, 10, 33, 120, 410, 700, 2800, -5};
    static const double dists[] = {0, 0.5, 35, 100, 145, 180, 60, 170};
    const double z = depths[sel & 7], deg = dists[(sel >> 3) & 7];
    const char *model = (sel & 64) ? "ak135" : "iasp91";
    Tbl *all = nullptr, *first = nullptr;
    int ra = run(model, phases.c_str(), TT_ALL, z, deg, &all);
    int rf = run(model, phases.c_str(), TT_FIRST, z, deg, &first);
    if ((ra == 0) != (rf == 0)) abort();
    if (ra == 0) {
        double last = -INFINITY;
        for (long i = 0; i < maxtbl(all); i++) {
            TTTime *t = (TTTime *)gettbl(all, i);
            if (!std::isfinite(t->value) || t->value < last || t->value < 0) abort();
            for (double d : t->deriv)
                if (!std::isfinite(d)) abort();
            if (memchr(t->phase, '\0', sizeof t->phase) == nullptr) abort();
            last = t->value;
        }
        for (long i = 0; i < maxtbl(first); i++) {
            TTTime *f = (TTTime *)gettbl(first, i);
            bool seen = false;
            for (long j = 0; j < maxtbl(all) && !seen; j++) {
                TTTime *t = (TTTime *)gettbl(all, j);
                seen = t->value == f->value && strcmp(t->phase, f->phase) == 0;
            }
            if (!seen) abort();
        }
        freetbl(all, nullptr);
        freetbl(first, nullptr);
    } else {
        char *msg = elog_string();
        if (!msg || !strstr(msg, "ttcalc: ")) abort();
        if (strstr(msg, "unknown phase") && !strstr(msg, "at position")) abort();
        free(msg);
    }
    elog_clear_register(0);
    return 0;
}
