// cmd_tt.cpp -- "velk tt": travel times of seismic phases for a source depth
// and a list of distances, from the library's travel-time calculator.
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "stock.h"
#include "tt.h"
#include "velk.h"

namespace velk {

namespace {

struct TtArgs {
    std::string model = "iasp91";
    std::string phases = "P,S";
    bool all = false;
    bool json = false;
    double depth = 0;
    std::vector<double> distances;
};

int run_tt(const TtArgs &a) {
    if (!std::isfinite(a.depth) || a.depth < 0 || a.depth > 2800)
        throw UsageError(strprintf("depth %g km is outside 0 to 2800 km", a.depth));
    for (double d : a.distances)
        if (!std::isfinite(d) || d < 0 || d > 180)
            throw UsageError(strprintf("distance %g is outside 0 to 180 degrees", d));
    // Every distance is computed before anything is printed, so a phase list
    // the calculator refuses gives its message and no half-written table.
    Hook *hook = nullptr;
    std::vector<std::vector<TTTime>> rows;
    for (double d : a.distances) {
        TTGeometry g = {};
        g.source.z = a.depth;
        g.receiver.lon = d;  // along the equator: the distance in degrees
        Tbl *times = nullptr;
        if (ttcalc(0, a.model.c_str(), a.phases.c_str(), a.all ? TT_ALL : TT_FIRST, &g, &times, &hook) < 0) {
            free_hook(&hook);
            throw Failure("travel times failed");
        }
        rows.emplace_back();
        for (long i = 0; i < maxtbl(times); i++) rows.back().push_back(*(TTTime *)gettbl(times, i));
        freetbl(times, nullptr);
    }
    free_hook(&hook);
    std::string json = "[";
    bool first = true;
    if (!a.json)
        printf("# model %s, source depth %g km\n# %9s  %-8s %10s %11s %12s %12s\n", a.model.c_str(), a.depth,
               "distance", "phase", "time_s", "min:sec", "slow_s/deg", "dtdh_s/km");
    for (size_t k = 0; k < rows.size(); k++) {
        double d = a.distances[k];
        if (!a.json && rows[k].empty()) printf("  %9.3f  (no arrival of %s)\n", d, a.phases.c_str());
        for (const TTTime &tt : rows[k]) {
            const TTTime *t = &tt;
            double slow = std::hypot(t->deriv[0], t->deriv[1]) * TT_KM_PER_DEG;
            if (a.json) {
                json += std::string(first ? "" : ",") + "{\"distance\":" + json_number(d) +
                        ",\"depth\":" + json_number(a.depth) + ",\"phase\":" + json_string(t->phase) +
                        ",\"time\":" + json_number(t->value) + ",\"slowness\":" + json_number(slow) +
                        ",\"dtdh\":" + json_number(t->deriv[2]) + "}";
                first = false;
            } else {
                int minutes = (int)(t->value / 60);
                printf("  %9.3f  %-8s %10.3f %4d:%06.3f %12.4f %12.5f\n", d, t->phase, t->value, minutes,
                       t->value - 60.0 * minutes, slow, t->deriv[2]);
            }
        }
    }
    if (a.json) printf("%s]\n", json.c_str());
    return 0;
}

}  // namespace

void register_tt(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<TtArgs>();
    CLI::App *sub = app.add_subcommand("tt", "Travel times of seismic phases for a depth and distances");
    sub->add_option("--model", a->model, "Earth model: iasp91 or ak135")
        ->check(CLI::IsMember({"iasp91", "ak135"}))
        ->capture_default_str();
    sub->add_option("--phases", a->phases,
                    "Phases, separated by commas: families P and S, or names such as Pn, PcP, SKS, pP")
        ->capture_default_str();
    sub->add_flag("--all", a->all, "Every arrival of each phase (default: the first of each list entry)");
    sub->add_flag("--json", a->json, "List as JSON");
    sub->add_option("DEPTH", a->depth, "Source depth in km")->required();
    sub->add_option("DISTANCE", a->distances, "Distances in degrees")->required();
    reg[sub] = [a] { return run_tt(*a); };
}

}  // namespace velk
