// Travel-time calculator speed: a sweep of first-arrival calls at one depth
// with the model tables kept in the hook, against the cost of the same
// number of great-circle distances, and the cost of tables for a new depth.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "stock.h"
#include "tt.h"

namespace {

const int NCALLS = 180000;

double sweep_distance(int i) { return 0.001 + (180.0 - 0.001) * i / (NCALLS - 1); }

// One pass: 180,000 first-arrival P calls from 0.001 to 180 degrees.
double ttcalc_sweep(Hook **hook, double depth) {
    TTGeometry g = {};
    g.source.z = depth;
    double sum = 0;
    for (int i = 0; i < NCALLS; i++) {
        g.receiver.lon = sweep_distance(i);
        Tbl *t = nullptr;
        if (ttcalc(nullptr, "iasp91", "P", TT_FIRST, &g, &t, hook) == 0) {
            if (maxtbl(t) > 0) sum += ((TTTime *)gettbl(t, 0))->value;
            freetbl(t, nullptr);
        }
    }
    return sum;
}

double dist_sweep() {
    double sum = 0;
    for (int i = 0; i < NCALLS; i++) {
        double d, az;
        dist(0.0, 0.0, 0.1, sweep_distance(i) * M_PI / 180.0, &d, &az);
        sum += d + az;
    }
    return sum;
}

template <class F>
double seconds(F &&f) {
    auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(f());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_FirstArrivalSweep(benchmark::State &state) {
    Hook *hook = nullptr;
    ttcalc_sweep(&hook, 33.0);  // builds the tables once
    double tt_s = 0, base_s = 0;
    for (auto _ : state) {
        tt_s = seconds([&] { return ttcalc_sweep(&hook, 33.0); });
        base_s = seconds(dist_sweep);
    }
    state.counters["sweep_s"] = tt_s;
    state.counters["dist_sweep_s"] = base_s;
    state.counters["ratio_to_dist"] = tt_s / base_s;
    state.counters["us_per_call"] = tt_s / NCALLS * 1e6;
    std::printf("180000 first-arrival calls: %.3f s (%.2f us/call); 180000 dist() calls: %.4f s; ratio %.1f\n",
                tt_s, tt_s / NCALLS * 1e6, base_s, tt_s / base_s);
    free_hook(&hook);
}
BENCHMARK(BM_FirstArrivalSweep)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same sweep through the expression-function entry.
void BM_PtimeSweep(benchmark::State &state) {
    tt_ptime(10.0, 33.0);
    for (auto _ : state) {
        double sum = 0;
        for (int i = 0; i < NCALLS; i++) sum += tt_ptime(sweep_distance(i), 33.0);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * NCALLS);
}
BENCHMARK(BM_PtimeSweep)->Unit(benchmark::kMillisecond)->Iterations(3);

// Building the tables of a depth not seen before (one P call each).
void BM_NewDepth(benchmark::State &state) {
    Hook *hook = nullptr;
    TTGeometry g = {};
    g.receiver.lon = 50.0;
    double z = 0.5;
    for (auto _ : state) {
        g.source.z = z;
        z += 0.731;
        if (z > 700) z = 0.5;
        Tbl *t = nullptr;
        if (ttcalc(nullptr, "iasp91", "P", TT_FIRST, &g, &t, &hook) == 0) freetbl(t, nullptr);
    }
    free_hook(&hook);
}
BENCHMARK(BM_NewDepth)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
