// Plot-vector costs that displays pay in their loops: a create-fill-free
// cycle with and without the cache, point-by-point appends, and evaluation
// of a long time-sampled vector.  Each figure is printed at the end (in
// thread CPU time) as a ratio against a baseline measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "kovector2.h"

namespace {

// Thread CPU time: the machines these run on are shared, and wall time
// there mostly measures the neighbours.
struct Clock {
    using time_point = std::chrono::nanoseconds;
    static time_point now() {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::nanoseconds((long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
    }
};

double ns_cycle_heap = 0, ns_cycle_cache = 0;
double ns_append = 0, ns_push_back = 0;
double ns_eval = 0, ns_direct = 0, ns_sweep = 0;

constexpr int kFill = 1000;

double per_op(Clock::time_point t0, Clock::time_point t1, double n) { return (double)(t1 - t0).count() / n; }

void cycle(benchmark::State &state, double &ns, int npts = kFill) {
    std::vector<double> x(npts), y(npts);
    for (int i = 0; i < npts; i++) x[i] = i, y[i] = 0.5 * i;
    char handle[32];
    auto t0 = Clock::now();
    for (auto _ : state) {
        kovector2_create(npts, 1, nullptr, handle);
        kovector2_fill(handle, npts, 1, x.data(), y.data(), nullptr);
        kovector2_free(handle);
    }
    ns = per_op(t0, Clock::now(), (double)state.iterations());
    state.SetItemsProcessed(state.iterations());
}

// Registered first: the cache, once enabled, stays for the process.
void BM_CycleWithoutCache(benchmark::State &state) { cycle(state, ns_cycle_heap); }
void BM_CycleWithCache(benchmark::State &state) {
    kovector2_set_cache(64L * 1024 * 1024);
    cycle(state, ns_cycle_cache);
}

// The same with 200,000 points (3.8 MB buffers, above the allocator's
// mapping threshold), where a fresh buffer means fresh pages.
constexpr int kBig = 200000;
double ns_big_heap = 0, ns_big_cache = 0;
void BM_BigCycleWithoutCache(benchmark::State &state) { cycle(state, ns_big_heap, kBig); }
void BM_BigCycleWithCache(benchmark::State &state) {
    kovector2_set_cache(64L * 1024 * 1024);
    cycle(state, ns_big_cache, kBig);
}

constexpr int kAppend = 1000000;

void BM_Append(benchmark::State &state) {
    char handle[32];
    auto t0 = Clock::now();
    for (auto _ : state) {
        kovector2_create(0, 1, nullptr, handle);
        for (int i = 0; i < kAppend; i++) {
            double y = i * 0.25;
            kovector2_append(handle, -1, i, &y, nullptr);
        }
        kovector2_free(handle);
    }
    ns_append = per_op(t0, Clock::now(), (double)state.iterations() * kAppend);
    state.SetItemsProcessed(state.iterations() * kAppend);
}

void BM_AppendBaselinePushBack(benchmark::State &state) {
    auto t0 = Clock::now();
    for (auto _ : state) {
        std::vector<double> rows;
        for (int i = 0; i < kAppend; i++) {
            rows.push_back(i);
            rows.push_back(i * 0.25);
        }
        benchmark::DoNotOptimize(rows.data());
    }
    ns_push_back = per_op(t0, Clock::now(), (double)state.iterations() * kAppend);
    state.SetItemsProcessed(state.iterations() * kAppend);
}

constexpr int kSamples = 1000000;
constexpr int kQueries = 1 << 16;

struct Series {
    std::vector<double> data, xs;
    double t0 = 1.0e9, rate = 40.0;
    Series() : data(kSamples), xs(kQueries) {
        for (int i = 0; i < kSamples; i++) data[i] = (i % 977) * 0.001;
        std::mt19937_64 g(7);
        std::uniform_real_distribution<double> u(t0, t0 + (kSamples - 1) / rate);
        for (auto &x : xs) x = u(g);
    }
};

Series &series() {
    static Series s;
    return s;
}

void BM_EvalTimeSampled(benchmark::State &state) {
    Series &s = series();
    char handle[32];
    kovector2_create_tsamp(kSamples, s.t0, s.rate, s.data.data(), nullptr, handle);
    size_t q = 0;
    double y = 0;
    auto t0 = Clock::now();
    for (auto _ : state) {
        kovector2_eval(handle, s.xs[q++ & (kQueries - 1)], &y);
        benchmark::DoNotOptimize(y);
    }
    ns_eval = per_op(t0, Clock::now(), (double)state.iterations());
    state.SetItemsProcessed(state.iterations());
    kovector2_free(handle);
}

// A display sweeping the vector left to right.
void BM_EvalTimeSampledSweep(benchmark::State &state) {
    Series &s = series();
    char handle[32];
    kovector2_create_tsamp(kSamples, s.t0, s.rate, s.data.data(), nullptr, handle);
    const double step = 0.37 / s.rate, span = (kSamples - 1) / s.rate;
    double off = 0, y = 0;
    auto t0 = Clock::now();
    for (auto _ : state) {
        kovector2_eval(handle, s.t0 + off, &y);
        benchmark::DoNotOptimize(y);
        off += step;
        if (off > span) off = 0;
    }
    ns_sweep = per_op(t0, Clock::now(), (double)state.iterations());
    state.SetItemsProcessed(state.iterations());
    kovector2_free(handle);
}

// The same interpolation on the bare array: the floor for any lookup by
// handle.
void BM_EvalBaselineDirect(benchmark::State &state) {
    Series &s = series();
    const double dt = 1.0 / s.rate;
    size_t q = 0;
    auto t0 = Clock::now();
    for (auto _ : state) {
        double x = s.xs[q++ & (kQueries - 1)];
        double r = (x - s.t0) / dt;
        long i = (long)r;
        if (i >= kSamples - 1) i = kSamples - 2;
        double y = s.data[i] + (r - i) * (s.data[i + 1] - s.data[i]);
        benchmark::DoNotOptimize(y);
    }
    ns_direct = per_op(t0, Clock::now(), (double)state.iterations());
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

// Appends run before the cache exists, so every run pays for its growth.
BENCHMARK(BM_Append)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendBaselinePushBack)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CycleWithoutCache)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BigCycleWithoutCache)->Iterations(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CycleWithCache)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BigCycleWithCache)->Iterations(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EvalTimeSampled)->Iterations(5000000);
BENCHMARK(BM_EvalTimeSampledSweep)->Iterations(5000000);
BENCHMARK(BM_EvalBaselineDirect)->Iterations(5000000);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (ns_cycle_heap > 0 && ns_cycle_cache > 0)
        printf("create+fill(%d)+free: %.0f ns without cache, %.0f ns with cache: cache is %.2fx faster\n", kFill,
               ns_cycle_heap, ns_cycle_cache, ns_cycle_heap / ns_cycle_cache);
    if (ns_big_heap > 0 && ns_big_cache > 0)
        printf("create+fill(%d)+free: %.0f us without cache, %.0f us with cache: cache is %.2fx faster\n", kBig,
               ns_big_heap / 1e3, ns_big_cache / 1e3, ns_big_heap / ns_big_cache);
    if (ns_append > 0 && ns_push_back > 0)
        printf("append one by one: %.1f ns per point (%.1f M points/s), %.2fx the time of std::vector push_back\n",
               ns_append, 1e3 / ns_append, ns_append / ns_push_back);
    if (ns_eval > 0 && ns_direct > 0)
        printf("kovector2_eval on %d samples at random times: %.1f M evaluations/s, %.2fx the time of bare-array interpolation\n",
               kSamples, 1e3 / ns_eval, ns_eval / ns_direct);
    if (ns_sweep > 0) printf("kovector2_eval sweeping the same vector: %.1f M evaluations/s\n", 1e3 / ns_sweep);
    return 0;
}
