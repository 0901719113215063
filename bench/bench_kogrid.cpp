// Grid costs: bilinear and nearest-node evaluation of 1,000,000 points on a
// 200 x 200 grid (against the plain walk along each axis), packing and
// unpacking a 200 x 200 x 100 grid (against copying as many bytes), and the
// one-time build of the distance-to-slowness table (against the 180,000
// travel-time calls it makes) with the lookups that follow.  A summary of
// the ratios is printed after the runs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kogrid.h"
#include "tt.h"

namespace {

const int NX = 200, NY = 200, NPTS = 1000000;

KOGrid *make_grid(int nx, int ny, int ns) {
    std::vector<float> x(nx), y(ny), v((size_t)nx * ny * ns);
    for (int i = 0; i < nx; i++) x[i] = -10.0f + 0.1f * i;
    for (int j = 0; j < ny; j++) y[j] = 5.0f + 0.05f * j;
    for (size_t k = 0; k < v.size(); k++) v[k] = std::sin(0.001f * (float)k);
    KOGrid *g = kogrid_create("bench", nx, x.data(), "x", "km", ny, y.data(), "y", "km", "amp", "nm", "bench", nullptr);
    kogrid_put_kogrid(g, 1.0e9, ns, ns > 1 ? 0.1 : 0.0, v.data());
    return g;
}

struct Points {
    std::vector<float> x, y;
    explicit Points(const KOGrid *g) : x(NPTS), y(NPTS) {
        srand48(11);
        float x0 = g->xgrid_coords[0], x1 = g->xgrid_coords[g->nxgrid - 1];
        float y0 = g->ygrid_coords[0], y1 = g->ygrid_coords[g->nygrid - 1];
        for (int p = 0; p < NPTS; p++) {
            // a few per cent fall outside the mesh
            x[p] = x0 + (float)(drand48() * 1.04 - 0.02) * (x1 - x0);
            y[p] = y0 + (float)(drand48() * 1.04 - 0.02) * (y1 - y0);
        }
    }
};

KOGrid *eval_grid() {
    static KOGrid *g = make_grid(NX, NY, 1);
    return g;
}
const Points &eval_points() {
    static Points p(eval_grid());
    return p;
}

void BM_EvalBilinear(benchmark::State &st) {
    KOGrid *g = eval_grid();
    const Points &p = eval_points();
    float *out = nullptr;
    long size = 0;
    for (auto _ : st) {
        kogrid_eval_kogrid(g, 0, NPTS, p.x.data(), p.y.data(), "bilinear", "none", &out, &size);
        benchmark::DoNotOptimize(out[NPTS / 2]);
    }
    st.SetItemsProcessed(st.iterations() * NPTS);
    free(out);
}
BENCHMARK(BM_EvalBilinear)->Unit(benchmark::kMillisecond);

void BM_EvalBlock(benchmark::State &st) {
    KOGrid *g = eval_grid();
    const Points &p = eval_points();
    float *out = nullptr;
    long size = 0;
    for (auto _ : st) {
        kogrid_eval_kogrid(g, 0, NPTS, p.x.data(), p.y.data(), "block", "none", &out, &size);
        benchmark::DoNotOptimize(out[NPTS / 2]);
    }
    st.SetItemsProcessed(st.iterations() * NPTS);
    free(out);
}
BENCHMARK(BM_EvalBlock)->Unit(benchmark::kMillisecond);

// Baseline: the same bilinear arithmetic with the plain walk along each
// axis for every point.
void BM_EvalBilinearWalk(benchmark::State &st) {
    KOGrid *g = eval_grid();
    const Points &p = eval_points();
    std::vector<float> out(NPTS);
    const float gap = g->gap_value;
    for (auto _ : st) {
        for (int k = 0; k < NPTS; k++) {
            int ix0, ix1, iy0, iy1;
            float x0, dx, y0, dy;
            if (kogrid_find_interval(p.x[k], g->nxgrid, g->xgrid_coords, &ix0, &ix1, &x0, &dx) != 0 ||
                kogrid_find_interval(p.y[k], g->nygrid, g->ygrid_coords, &iy0, &iy1, &y0, &dy) != 0) {
                out[k] = gap;
                continue;
            }
            const float *f = g->data;
            float z00 = f[iy0 * NX + ix0], z10 = f[iy0 * NX + ix1], z01 = f[iy1 * NX + ix0], z11 = f[iy1 * NX + ix1];
            float a = (z10 - z00) * (p.x[k] - x0) / dx + z00, b = (z11 - z01) * (p.x[k] - x0) / dx + z01;
            out[k] = (b - a) * (p.y[k] - y0) / dy + a;
        }
        benchmark::DoNotOptimize(out[NPTS / 2]);
    }
    st.SetItemsProcessed(st.iterations() * NPTS);
}
BENCHMARK(BM_EvalBilinearWalk)->Unit(benchmark::kMillisecond);

KOGrid *packet_grid() {
    static KOGrid *g = make_grid(200, 200, 100);
    return g;
}
std::vector<char> &packet_bytes() {
    static std::vector<char> bytes = [] {
        char *p = nullptr;
        int n = 0, cap = 0;
        kogrid_stuff_kogrid(packet_grid(), &p, &n, &cap);
        std::vector<char> v(p, p + n);
        free(p);
        return v;
    }();
    return bytes;
}

void BM_PackCopyBaseline(benchmark::State &st) {
    const std::vector<char> &src = packet_bytes();
    std::vector<char> dst(src.size());
    for (auto _ : st) {
        memcpy(dst.data(), src.data(), src.size());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * (int64_t)src.size());
}
BENCHMARK(BM_PackCopyBaseline)->Unit(benchmark::kMillisecond);

void BM_Pack(benchmark::State &st) {
    KOGrid *g = packet_grid();
    char *p = nullptr;
    int n = 0, cap = 0;
    for (auto _ : st) {
        kogrid_stuff_kogrid(g, &p, &n, &cap);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * (int64_t)n);
    free(p);
}
BENCHMARK(BM_Pack)->Unit(benchmark::kMillisecond);

void BM_UnpackIntoGrid(benchmark::State &st) {
    const std::vector<char> &bytes = packet_bytes();
    KOGrid *h = nullptr;
    kogrid_unstuff(bytes.data(), (int)bytes.size(), &h);
    for (auto _ : st) {
        kogrid_unstuff(bytes.data(), (int)bytes.size(), &h);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * (int64_t)bytes.size());
    kogrid_free_kogrid(h);
}
BENCHMARK(BM_UnpackIntoGrid)->Unit(benchmark::kMillisecond);

void BM_UnpackNewGrid(benchmark::State &st) {
    const std::vector<char> &bytes = packet_bytes();
    for (auto _ : st) {
        KOGrid *h = nullptr;
        kogrid_unstuff(bytes.data(), (int)bytes.size(), &h);
        kogrid_free_kogrid(h);
    }
    st.SetBytesProcessed(st.iterations() * (int64_t)bytes.size());
}
BENCHMARK(BM_UnpackNewGrid)->Unit(benchmark::kMillisecond);

// Baseline of the table: the travel-time calls alone, as the build makes them.
void BM_TableCallsBaseline(benchmark::State &st) {
    for (auto _ : st) {
        TTGeometry geo = {};
        geo.source.z = 10.0;
        Hook *hook = nullptr;
        double d = 0, sum = 0;
        for (long k = 0; k < 180000; k++) {
            d += 0.001;
            geo.receiver.lon = d;
            Tbl *times = nullptr;
            if (ttcalc(nullptr, nullptr, "P", TT_ALL, &geo, &times, &hook) == 0 && maxtbl(times) > 0)
                sum += static_cast<TTTime *>(gettbl(times, 0))->deriv[0];
            freetbl(times, nullptr);
        }
        free_hook(&hook);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_TableCallsBaseline)->Iterations(1)->Unit(benchmark::kSecond);

// The first request builds the table: this runs once per process.
void BM_TableBuild(benchmark::State &st) {
    for (auto _ : st) {
        double s;
        kogrid_d2slow(nullptr, nullptr, "P", 10.0, 0.0, 30.0, &s);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_TableBuild)->Iterations(1)->Unit(benchmark::kSecond);

void BM_TableLookup(benchmark::State &st) {
    double d = 0.5, s = 0;
    for (auto _ : st) {
        kogrid_d2slow(nullptr, nullptr, "P", 10.0, 0.0, d, &s);
        benchmark::DoNotOptimize(s);
        d = d > 179.0 ? 0.5 : d + 0.37;
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_TableLookup);

// Keeps each benchmark's seconds per iteration for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run> &runs) override {
        // CPU time: the machine is shared, and wall time counts the waits.
        for (const Run &r : runs)
            if (r.iterations > 0) {
                std::string name = r.benchmark_name();
                name = name.substr(0, name.find('/'));
                seconds[name] = r.cpu_accumulated_time / (double)r.iterations;
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto t = [&](const char *name) {
        auto it = rep.seconds.find(name);
        return it == rep.seconds.end() ? NAN : it->second;
    };
    printf("\nsummary (CPU time):\n");
    printf("  bilinear evaluation, 200 x 200 grid: %.3g points/s (%.1f times the plain walk, %.3g points/s)\n",
           NPTS / t("BM_EvalBilinear"), t("BM_EvalBilinearWalk") / t("BM_EvalBilinear"),
           NPTS / t("BM_EvalBilinearWalk"));
    printf("  block evaluation: %.3g points/s\n", NPTS / t("BM_EvalBlock"));
    printf("  packet of 200 x 200 x 100 (%zu bytes): packing %.2f x copy time, unpacking %.2f x (into a grid) "
           "and %.2f x (new grid); copy %.3g GB/s\n",
           packet_bytes().size(), t("BM_Pack") / t("BM_PackCopyBaseline"),
           t("BM_UnpackIntoGrid") / t("BM_PackCopyBaseline"), t("BM_UnpackNewGrid") / t("BM_PackCopyBaseline"),
           packet_bytes().size() / t("BM_PackCopyBaseline") / 1e9);
    printf("  slowness table build: %.2f s (%.2f x the 180000 bare travel-time calls, %.2f s); lookup %.3g ns\n",
           t("BM_TableBuild"), t("BM_TableBuild") / t("BM_TableCallsBaseline"), t("BM_TableCallsBaseline"),
           t("BM_TableLookup") * 1e9);
    benchmark::Shutdown();
    return 0;
}
