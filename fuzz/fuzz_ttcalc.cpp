// Arbitrary phase lists, models and geometries for the travel-time
// calculator: every answer must be finite and sorted by time.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tt.h"

static Hook *hook = nullptr;  // kept across inputs, as callers keep theirs

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4 * sizeof(double) + 1) return 0;
    double v[4];
    memcpy(v, data, sizeof v);
    data += sizeof v;
    size -= sizeof v;
    int mode = data[0] % 4;
    const char *model = (data[0] & 4) ? "ak135" : ((data[0] & 8) ? "" : "iasp91");
    std::string phases(reinterpret_cast<const char *>(data + 1), size - 1);
    phases = phases.c_str();
    TTGeometry g = {};
    g.source.lat = std::fmod(v[0], 90.0);
    g.source.lon = 0;
    g.source.z = v[1];
    g.receiver.lat = std::fmod(v[2], 90.0);
    g.receiver.lon = std::fmod(v[3], 360.0);
    g.receiver.z = 0;
    Tbl *times = nullptr;
    if (ttcalc(nullptr, model, phases.c_str(), mode, &g, &times, &hook) == 0) {
        double last = -INFINITY;
        for (long i = 0; i < maxtbl(times); i++) {
            TTTime *t = (TTTime *)gettbl(times, i);
            if (!std::isfinite(t->value) || t->value < last || t->value < 0) abort();
            for (double d : t->deriv)
                if (!std::isfinite(d)) abort();
            if (memchr(t->phase, '\0', sizeof t->phase) == nullptr) abort();
            last = t->value;
        }
        freetbl(times, nullptr);
    }
    elog_clear_register(0);
    return 0;
}
