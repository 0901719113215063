// Moment tensors: how many tensors komoment_create analyses per second, and
// how many beach balls komoment_compute_bb draws per second, each against a
// baseline measured in the same run:
//   - create: a plain cyclic Jacobi eigen-decomposition of the same tensors
//     (the iterative alternative to the closed form);
//   - beach ball: storing the same number of points in plot vectors (the
//     cost of delivering the output at all).
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "komoment.h"
#include "kovector2.h"

namespace {

std::vector<std::array<double, 6>> tensors() {
    std::mt19937_64 gen(1);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<std::array<double, 6>> t(1024);
    for (auto &a : t)
        for (double &v : a) v = u(gen) * 1e17;
    return t;
}

// Cyclic Jacobi to full precision: the textbook iterative solver.
void jacobi(const std::array<double, 6> &m, double *w, double v[3][3]) {
    double a[3][3] = {{m[0], m[3], m[4]}, {m[3], m[1], m[5]}, {m[4], m[5], m[2]}};
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) v[i][j] = i == j;
    for (int sweep = 0; sweep < 50; sweep++) {
        double off = fabs(a[0][1]) + fabs(a[0][2]) + fabs(a[1][2]);
        double diag = fabs(a[0][0]) + fabs(a[1][1]) + fabs(a[2][2]);
        if (off <= 1e-17 * diag) break;
        for (int p = 0; p < 2; p++)
            for (int q = p + 1; q < 3; q++) {
                if (a[p][q] == 0) continue;
                double th = (a[q][q] - a[p][p]) / (2 * a[p][q]);
                double t = (th >= 0 ? 1 : -1) / (fabs(th) + sqrt(th * th + 1));
                double c = 1 / sqrt(t * t + 1), s = t * c;
                for (int k = 0; k < 3; k++) {
                    double kp = a[k][p], kq = a[k][q];
                    a[k][p] = c * kp - s * kq;
                    a[k][q] = s * kp + c * kq;
                }
                for (int k = 0; k < 3; k++) {
                    double pk = a[p][k], qk = a[q][k];
                    a[p][k] = c * pk - s * qk;
                    a[q][k] = s * pk + c * qk;
                }
                for (int k = 0; k < 3; k++) {
                    double kp = v[k][p], kq = v[k][q];
                    v[k][p] = c * kp - s * kq;
                    v[k][q] = s * kp + c * kq;
                }
            }
    }
    for (int i = 0; i < 3; i++) w[i] = a[i][i];
}

void BM_komoment_create(benchmark::State &state) {
    auto t = tensors();
    size_t i = 0;
    for (auto _ : state) {
        const auto &a = t[i++ & 1023];
        KOMoment *m = komoment_create(a[0], a[1], a[2], a[3], a[4], a[5], nullptr, nullptr);
        benchmark::DoNotOptimize(m->percent_dc);
        komoment_free_komoment(m);
    }
    state.counters["per_second"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

// The create call runs three eigen-analyses (full, deviatoric, double
// couple); the baseline runs three Jacobi solutions.
void BM_baseline_jacobi_x3(benchmark::State &state) {
    auto t = tensors();
    size_t i = 0;
    for (auto _ : state) {
        const auto &a = t[i++ & 1023];
        double w[3], v[3][3];
        for (int k = 0; k < 3; k++) {
            jacobi(a, w, v);
            benchmark::DoNotOptimize(w[0]);
        }
    }
    state.counters["per_second"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

char g_moment[32];
char g_o1[32], g_o2[32], g_f1[32], g_f2[32], g_d1[32], g_d2[32];

void BM_komoment_compute_bb(benchmark::State &state) {
    if (!g_moment[0]) komoment_create(0.3e17, -1e17, 0.7e17, 0.2e17, 0.5e17, -0.4e17, nullptr, g_moment);
    for (auto _ : state) {
        int rc = komoment_compute_bb(g_moment, g_o1, g_o2, g_f1, g_f2, g_d1, g_d2);
        benchmark::DoNotOptimize(rc);
    }
    state.counters["per_second"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

int count_points(char *h) {
    if (!h[0]) return 0;
    KOVector2 *v = kovector2_get_vector(h);
    return v ? v->nx : 0;
}

// The same number of points, stored in six vectors and released again.
void BM_baseline_store_points(benchmark::State &state) {
    if (!g_moment[0]) komoment_create(0.3e17, -1e17, 0.7e17, 0.2e17, 0.5e17, -0.4e17, nullptr, g_moment);
    komoment_compute_bb(g_moment, g_o1, g_o2, g_f1, g_f2, g_d1, g_d2);
    int counts[6] = {count_points(g_o1), count_points(g_o2), count_points(g_f1),
                     count_points(g_f2), count_points(g_d1), count_points(g_d2)};
    char h[6][32];
    for (auto _ : state) {
        for (int k = 0; k < 6; k++) {
            h[k][0] = 0;
            if (!counts[k]) continue;
            kovector2_create(1, 1, nullptr, h[k]);
            for (int j = 0; j < counts[k]; j++) {
                double y = j * 0.001;
                kovector2_append(h[k], -1, y, &y, nullptr);
            }
        }
        for (int k = 0; k < 6; k++)
            if (h[k][0]) kovector2_free(h[k]);
    }
    int total = 0;
    for (int c : counts) total += c;
    state.counters["points"] = total;
    state.counters["per_second"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_komoment_create);
BENCHMARK(BM_baseline_jacobi_x3);
BENCHMARK(BM_komoment_compute_bb);
BENCHMARK(BM_baseline_store_points);

// Collects each run's rate to print the ratios at the end.
class Collect : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rate;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            auto it = r.counters.find("per_second");
            if (it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    Collect rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto get = [&](const char *n) { return rep.rate.count(n) ? rep.rate[n] : 0.0; };
    double c = get("BM_komoment_create"), j = get("BM_baseline_jacobi_x3");
    double b = get("BM_komoment_compute_bb"), s = get("BM_baseline_store_points");
    if (c > 0 && j > 0)
        printf("komoment_create: %.0f tensors/s, %.2f x the rate of three Jacobi solutions (%.0f/s)\n", c, c / j, j);
    if (b > 0 && s > 0)
        printf("komoment_compute_bb: %.0f beach balls/s, %.2f x the rate of storing the same points (%.0f/s)\n", b,
               b / s, s);
    benchmark::Shutdown();
    return 0;
}
