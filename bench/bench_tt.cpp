// Travel-time calculator speed: a sweep of first-arrival calls at one depth
// with the model tables kept in the hook, against the cost of the same
// number of great-circle distances; every arrival of a long list of phases
// named by their legs in one call, against one first-arrival call; and the
// cost of tables for a new depth.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

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

// Wall-clock seconds of f(), and the processor seconds in *cpu (the machine
// may be shared: the processor time is the cost, the wall time the wait).
template <class F>
double seconds(F &&f, double *cpu) {
    std::clock_t c0 = std::clock();
    auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(f());
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    *cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
    return wall;
}

void BM_FirstArrivalSweep(benchmark::State &state) {
    Hook *hook = nullptr;
    ttcalc_sweep(&hook, 33.0);  // builds the tables once
    double tt_s = 0, base_s = 0, tt_cpu = 0, base_cpu = 0;
    for (auto _ : state) {
        tt_s = seconds([&] { return ttcalc_sweep(&hook, 33.0); }, &tt_cpu);
        base_s = seconds(dist_sweep, &base_cpu);
    }
    state.counters["sweep_s"] = tt_s;
    state.counters["sweep_cpu_s"] = tt_cpu;
    state.counters["dist_sweep_s"] = base_s;
    state.counters["ratio_to_dist"] = tt_s / base_s;
    std::printf("180000 first-arrival calls: %.3f s wall, %.3f s cpu (%.2f us/call); "
                "180000 dist() calls: %.4f s wall, %.4f s cpu; ratio %.1f (wall), %.1f (cpu)\n",
                tt_s, tt_cpu, tt_cpu / NCALLS * 1e6, base_s, base_cpu, tt_s / base_s,
                base_cpu > 0 ? tt_cpu / base_cpu : 0.0);
    free_hook(&hook);
}
BENCHMARK(BM_FirstArrivalSweep)->Unit(benchmark::kMillisecond)->Iterations(3);

// Every P arrival (mode TT_ALL) over the same sweep, as a slowness table
// built from the calculator asks for.
void BM_AllArrivalsSweep(benchmark::State &state) {
    Hook *hook = nullptr;
    TTGeometry g = {};
    g.source.z = 33.0;
    long n = 0;
    for (auto _ : state) {
        for (int i = 0; i < NCALLS; i++) {
            g.receiver.lon = sweep_distance(i);
            Tbl *t = nullptr;
            if (ttcalc(nullptr, "iasp91", "P", TT_ALL, &g, &t, &hook) == 0) {
                n += maxtbl(t);
                freetbl(t, nullptr);
            }
        }
    }
    state.counters["arrivals_per_call"] = double(n) / (double(state.iterations()) * NCALLS);
    free_hook(&hook);
}
BENCHMARK(BM_AllArrivalsSweep)->Unit(benchmark::kMillisecond)->Iterations(2);

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

// The phases an event display draws, named by their legs.
const char *const ALL_PHASES = "pP sP pS sS PP SS PS SP PPP SSS PcP ScS ScP PcS PKiKP SKiKP PKIKP SKS SKKS "
                               "PKKP PKJKP pPKiKP sPKiKP pPdiff sPdiff PKPPKP ScSScS";

// Mean microseconds of one call of ttcalc with these arguments, over n calls:
// wall time, and processor time in *cpu_us.
double call_us(Hook **hook, const char *phases, int mode, double depth, double deg, int n, long *count,
               double *cpu_us = nullptr) {
    TTGeometry g = {};
    g.source.z = depth;
    g.receiver.lon = deg;
    std::clock_t c0 = std::clock();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++) {
        Tbl *t = nullptr;
        if (ttcalc(nullptr, "ak135", phases, mode, &g, &t, hook) == 0) {
            *count += maxtbl(t);
            freetbl(t, nullptr);
        }
    }
    if (cpu_us) *cpu_us = double(std::clock() - c0) / CLOCKS_PER_SEC / n * 1e6;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / n * 1e6;
}

// Every arrival of the whole list at one distance and depth, the depth's
// tables already made, against one first-arrival P call.
void BM_AllPhasesOneCall(benchmark::State &state) {
    Hook *hook = nullptr;
    long n = 0;
    call_us(&hook, ALL_PHASES, TT_ALL, 100.0, 75.0, 1, &n);  // makes the tables
    call_us(&hook, "P", TT_FIRST, 100.0, 75.0, 1, &n);
    double all_us = 0, first_us = 0, all_cpu = 0, first_cpu = 0;
    long arrivals = 0;
    for (auto _ : state) {
        n = 0;
        all_us = call_us(&hook, ALL_PHASES, TT_ALL, 100.0, 75.0, 2000, &n, &all_cpu);
        arrivals = n / 2000;
        first_us = call_us(&hook, "P", TT_FIRST, 100.0, 75.0, 20000, &n, &first_cpu);
    }
    state.counters["all_phases_us"] = all_us;
    state.counters["all_phases_cpu_us"] = all_cpu;
    state.counters["first_p_us"] = first_us;
    state.counters["ratio_to_first_p"] = all_us / first_us;
    state.counters["arrivals"] = double(arrivals);
    std::printf("TT_ALL of %ld arrivals of the whole list: %.2f us wall, %.2f us cpu per call; one first-arrival "
                "P call: %.3f us wall, %.3f us cpu; ratio %.1f (wall), %.1f (cpu)\n",
                arrivals, all_us, all_cpu, first_us, first_cpu, all_us / first_us,
                first_cpu > 0 ? all_cpu / first_cpu : 0.0);
    free_hook(&hook);
}
BENCHMARK(BM_AllPhasesOneCall)->Unit(benchmark::kMillisecond)->Iterations(3);

// The tables of the whole list for a depth not seen before.
void BM_AllPhasesNewDepth(benchmark::State &state) {
    Hook *hook = nullptr;
    double z = 0.5;
    long n = 0;
    for (auto _ : state) {
        call_us(&hook, ALL_PHASES, TT_ALL, z, 75.0, 1, &n);
        z += 7.31;
        if (z > 700) z = 0.5;
    }
    free_hook(&hook);
}
BENCHMARK(BM_AllPhasesNewDepth)->Unit(benchmark::kMillisecond);

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
