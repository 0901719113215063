// Benchmarks of station-channel views on a generated database: a
// 1,000,000-row wfdisc (1000 stations, 5 channels, hour segments, in time
// order as files are appended) with 100,000-row arrival and detection
// tables, all measured in one run:
//  - the cache build with 1 and with 2 workers, against a loop that reads
//    sta, chan, time and endtime of every row with dbgetv, and against
//    reading the three tables' bytes once (the floor);
//  - the 2-worker speed-up;
//  - koscv_subset of one channel over one hour after the build, in µs;
//  - koscv_trace_get_table of one hour at 100 samples per second against
//    trgetwf of the same rows;
//  - the cache's memory per row beyond the table itself.
// "--rows=N" sets the wfdisc size; above 2,000,000 rows (the large run,
// 10000000, outside CI) only the 2-worker view is opened and built, and its
// times and the peak memory are reported;
// "--summary-only" skips the Google Benchmark cases; "--build-loop=N" only
// rebuilds the 1-worker cache N times (for a profiler).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tr.h"
#include "velkutil.h"

namespace {

long g_rows = 1000000;
const long kPicks = 100000;
const char *kChans[] = {"BHZ", "BHN", "BHE", "HHZ", "LHZ"};
const double kT0 = 1262304000.0;
const double kSeg = 3600.0;
// The channel of the trace benchmark: 10-minute rows at 100 samples/s.
const int kTraceRows = 12;
const long kTraceSamples = 60000;
const double kTraceT0 = kT0 + 3 * kSeg;

std::string g_dir, g_db;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::string station(int s) {
    char b[8];
    snprintf(b, sizeof b, "%s%03d", s % 2 ? "XY" : "AB", s / 2);
    return b;
}

void wfdisc_line(FILE *f, const char *sta, const char *chan, double t, double et, long id, long nsamp, double rate,
                 const char *dfile, long foff) {
    fprintf(f,
            "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
            "%-64.64s %-32.32s %10ld %8ld %-17.17s\n",
            sta, chan, t, id, -1L, 2010001L, et, nsamp, rate, 1.0, 1.0, "-", "o", "s4", "-", ".", dfile, foff, -1L,
            "-");
}

void write_tables() {
    char tmpl[] = "/tmp/bench_koscv.XXXXXX";
    g_dir = mkdtemp(tmpl);
    g_db = g_dir + "/bench";
    FILE *wf = fopen((g_db + ".wfdisc").c_str(), "w");
    long id = 1, generic = g_rows - kTraceRows;
    const int nsta = 1000;
    for (long k = 0; id <= generic; k++)
        for (int s = 0; s < nsta && id <= generic; s++)
            for (int c = 0; c < 5 && id <= generic; c++) {
                double t = kT0 + (double)k * kSeg;
                wfdisc_line(wf, station(s).c_str(), kChans[c], t, t + kSeg - 0.025, id++, 144000, 40.0, "file.w", 0);
            }
    for (int r = 0; r < kTraceRows; r++) {
        double t = kTraceT0 + r * 600.0;
        wfdisc_line(wf, "TRC", "HHZ", t, t + (kTraceSamples - 1) / 100.0, id++, kTraceSamples, 100.0, "trc.w",
                    (long)r * kTraceSamples * 4);
    }
    fclose(wf);
    FILE *ar = fopen((g_db + ".arrival").c_str(), "w");
    FILE *de = fopen((g_db + ".detection").c_str(), "w");
    for (long i = 0; i < kPicks; i++) {
        int s = (int)(i % nsta), c = (int)(i / nsta % 5);
        double t = kT0 + (double)i * 7.3;
        fprintf(ar,
                "%-6.6s %17.5f %8ld %8ld %8ld %8ld %-8.8s %-8.8s %-1.1s %6.3f %7.2f %7.2f %7.2f %7.2f %7.2f %7.3f "
                "%10.1f %7.2f %7.2f %-1.1s %-2.2s %10.2f %-1.1s %-15.15s %8ld %-17.17s\n",
                station(s).c_str(), t, i + 1, 2010001L, -1L, -1L, kChans[c], "P", "-", -1.0, -1.0, -1.0, -1.0, -1.0,
                -1.0, -1.0, -1.0, -1.0, -999.0, "-", "-", -1.0, "-", "-", -1L, "-");
        fprintf(de, "%-64.64s %-8.8s %-6.6s %-8.8s %17.5f %8ld %-15.15s %-30.30s %-8.8s %10.2f %-17.17s\n", "det",
                "-", station(s).c_str(), kChans[c], t + 1, -1L, "-", "-", "ON", -1.0, "-");
    }
    fclose(ar);
    fclose(de);
    // The trace channel's samples: big-endian 32-bit integers.
    FILE *w = fopen((g_dir + "/trc.w").c_str(), "wb");
    std::vector<unsigned char> b((size_t)kTraceRows * kTraceSamples * 4);
    for (size_t i = 0; i < b.size() / 4; i++) {
        uint32_t v = (uint32_t)(int32_t)((long)(i % 2000) - 1000);
        b[4 * i] = v >> 24;
        b[4 * i + 1] = v >> 16;
        b[4 * i + 2] = v >> 8;
        b[4 * i + 3] = v;
    }
    fwrite(b.data(), 1, b.size(), w);
    fclose(w);
}

struct ViewHandle {
    char h[64] = "";
    explicit ViewHandle(int nthreads, bool restrict_all = false) {
        std::string n = std::to_string(nthreads), db = g_db;
        std::string o1 = "-nthreads", a = "-stachan_accept", none = "NONE:NONE";
        std::vector<char *> argv = {&o1[0], &n[0]};
        if (restrict_all) {
            argv.push_back(&a[0]);
            argv.push_back(&none[0]);
        }
        argv.push_back(&db[0]);
        if (koscv_create((int)argv.size(), argv.data(), h) < 0) {
            elog_complain(0, "bench_koscv: koscv_create failed\n");
            exit(1);
        }
    }
    ~ViewHandle() { koscv_destroy(h); }
};

ViewHandle *g_v1, *g_v2;
Dbptr g_db_ptr;

// Baseline (a): every row's sta, chan, time and endtime through dbgetv.
long dbgetv_loop() {
    long kept = 0;
    for (const char *table : {"wfdisc", "arrival", "detection"}) {
        Dbptr t = dblookup(g_db_ptr, nullptr, table, nullptr, nullptr);
        long n = 0;
        dbquery(t, dbRECORD_COUNT, &n);
        bool has_end = strcmp(table, "wfdisc") == 0;
        char sta[16], chan[16];
        double time, endtime;
        for (t.record = 0; t.record < n; t.record++) {
            int rc = has_end ? dbgetv(t, nullptr, "sta", sta, "chan", chan, "time", &time, "endtime", &endtime,
                                      (char *)0)
                             : dbgetv(t, nullptr, "sta", sta, "chan", chan, "time", &time, (char *)0);
            if (rc == 0 && sta[0] != '-') kept++;
        }
    }
    return kept;
}

// Baseline (b): the three tables' bytes, read once.
uint64_t read_bytes(size_t *bytes) {
    uint64_t sum = 0;
    size_t total = 0;
    for (const char *table : {"wfdisc", "arrival", "detection"}) {
        Dbptr t = dblookup(g_db_ptr, nullptr, table, nullptr, nullptr);
        long n = 0, rs = 0;
        char *addr = nullptr;
        dbquery(t, dbRECORD_COUNT, &n);
        dbquery(t, dbRECORD_SIZE, &rs);
        dbquery(t, dbTABLE_ADDRESS, &addr);
        size_t len = (size_t)n * (size_t)(rs + 1);
        const uint64_t *p = reinterpret_cast<const uint64_t *>(addr);
        size_t words = len / 8;
        uint64_t a = 0, b = 0, c = 0, d = 0;
        size_t i = 0;
        for (; i + 4 <= words; i += 4) {
            uint64_t w0, w1, w2, w3;
            memcpy(&w0, p + i, 8);
            memcpy(&w1, p + i + 1, 8);
            memcpy(&w2, p + i + 2, 8);
            memcpy(&w3, p + i + 3, 8);
            a += w0;
            b ^= w1;
            c += w2;
            d ^= w3;
        }
        sum += a + b + c + d;
        total += len;
    }
    if (bytes) *bytes = total;
    return sum;
}

void build(ViewHandle *v) {
    if (koscv_create_cache(v->h) < 0) {
        elog_complain(0, "bench_koscv: koscv_create_cache failed\n");
        exit(1);
    }
}

const double kSubT0 = kT0 + 100.5 * kSeg;

double subset_once(KOSCVStaChan **sc) {
    double t = now();
    koscv_subset(g_v2->h, (char *)"AB017 BHZ", kSubT0, kSubT0 + 3600, 1, 1, 1, sc);
    return now() - t;
}

const double kTrcW0 = kTraceT0 + 1800, kTrcW1 = kTrcW0 + 3600;

long trace_table(KOSCVStaChan *sc, Tbl **tbl) {
    if (koscv_trace_get_table(koscv_get(g_v2->h), sc, kTrcW0, kTrcW1, 2, 0, tbl) < 0) {
        elog_complain(0, "bench_koscv: koscv_trace_get_table failed\n");
        exit(1);
    }
    long n = 0;
    for (long i = 0; i < maxtbl(*tbl); i++) n += ((KOSCVTrace *)gettbl(*tbl, i))->nsamp;
    return n;
}

// The same rows and windows read with trgetwf alone.
long trgetwf_rows(KOSCVStaChan *sc) {
    Dbptr wf = dblookup(koscv_get(g_v2->h)->db, nullptr, "wfdisc", nullptr, nullptr);
    long total = 0;
    for (long i = 0; i < maxtbl(sc->wfdiscrows); i++) {
        wf.record = (long)(intptr_t)gettbl(sc->wfdiscrows, i);
        double t0, t1;
        dbgetv(wf, nullptr, "time", &t0, "endtime", &t1, (char *)0);
        if (t1 < kTrcW0 || t0 > kTrcW1) continue;
        float *data = nullptr;
        long size = 0, n = 0;
        double a, b;
        trgetwf(wf, &data, &size, std::max(t0, kTrcW0), std::min(t1, kTrcW1) + 0.001, &a, &b, &n);
        total += n;
        free(data);
    }
    return total;
}

size_t heap_in_use() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// Processor time of the whole process (all its threads): the machine is
// shared, so wall time alone overstates the cost when other work runs.
double cpu() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Best wall time of n runs; *best_cpu, if given, the best processor time.
template <class F>
double best_of(int n, F f, double *best_cpu = nullptr) {
    double best = 1e30, bc = 1e30;
    for (int i = 0; i < n; i++) {
        double t = now(), c = cpu();
        f();
        best = std::min(best, now() - t);
        bc = std::min(bc, cpu() - c);
    }
    if (best_cpu) *best_cpu = bc;
    return best;
}

void summary() {
    long total_rows = g_rows + 2 * kPicks;
    size_t bytes = 0;
    volatile uint64_t sink = 0;
    double floor_cpu, getv_cpu, b1_cpu, b2_cpu;
    double floor = best_of(5, [&] { sink = sink + read_bytes(&bytes); }, &floor_cpu);
    double getv = best_of(2, [] { dbgetv_loop(); }, &getv_cpu);
    double b1 = best_of(5, [] { build(g_v1); }, &b1_cpu);
    double b2 = best_of(5, [] { build(g_v2); }, &b2_cpu);
    printf("processor time: byte floor %.1f ms, dbgetv loop %.1f ms, build 1 worker %.1f ms, build 2 workers %.1f ms "
           "(both workers together)\n",
           floor_cpu * 1e3, getv_cpu * 1e3, b1_cpu * 1e3, b2_cpu * 1e3);
    printf("rows: wfdisc %ld, arrival %ld, detection %ld; %.1f MB of table text\n", g_rows, kPicks, kPicks,
           bytes / 1e6);
    printf("cache build, 1 worker:  %8.1f ms  (%.1f ns/row)  %.1fx faster than the dbgetv loop (goal 10), "
           "%.2fx the byte floor\n",
           b1 * 1e3, b1 * 1e9 / total_rows, getv / b1, b1 / floor);
    printf("cache build, 2 workers: %8.1f ms  (%.1f ns/row)  %.1fx faster than the dbgetv loop (goal 10), "
           "%.2fx the byte floor (goal 3)\n",
           b2 * 1e3, b2 * 1e9 / total_rows, getv / b2, b2 / floor);
    printf("baselines: dbgetv loop %.1f ms, reading the bytes once %.1f ms (%.2f GB/s)\n", getv * 1e3, floor * 1e3,
           bytes / floor / 1e9);
    printf("2-worker speed-up: %.2f (goal 1.7)\n", b1 / b2);

    KOSCVStaChan *sc = nullptr;
    double first = subset_once(&sc);
    double sub = best_of(20, [&] { subset_once(&sc); });
    printf("koscv_subset, one channel over one hour: %.1f us (first call, building the match index: %.1f ms); "
           "%ld wfdisc, %ld arrival, %ld detection rows\n",
           sub * 1e6, first * 1e3, maxtbl(sc->wfdiscrows), maxtbl(sc->arrivalrows), maxtbl(sc->detectionrows));

    KOSCVStaChan *trc = nullptr;
    koscv_subset(g_v2->h, (char *)"TRC HHZ", kTrcW0, kTrcW1, 1, 0, 0, &trc);
    Tbl *tbl = nullptr;
    long ns = 0, nr = 0;
    double tt = best_of(10, [&] { ns = trace_table(trc, &tbl); });
    double tw = best_of(10, [&] { nr = trgetwf_rows(trc); });
    printf("koscv_trace_get_table, one hour at 100 sps (%ld rows, %ld samples): %.2f ms; trgetwf of the same rows "
           "(%ld samples): %.2f ms; ratio %.2f\n",
           maxtbl(trc->wfdiscrows), ns, tt * 1e3, nr, tw * 1e3, tt / tw);
    koscv_trace_free_table(tbl);
    koscv_free_stachan(trc);
    koscv_free_stachan(sc);

    // Memory: a view whose filter keeps nothing, then the full cache.
    ViewHandle *m = new ViewHandle(1, true);
    malloc_trim(0);
    size_t before = heap_in_use();
    Tbl *empty = newtbl(0);
    koscv_subset_cache(m->h, empty, nullptr, 2e30, 2e30);
    size_t after = heap_in_use();
    freetbl(empty, nullptr);
    printf("cache memory: %.1f MB for %ld rows, %.1f bytes per row beyond the tables (goal 64)\n",
           (after - before) / 1e6, total_rows, (double)(after - before) / total_rows);
    delete m;
}

void BM_DbgetvLoop(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(dbgetv_loop());
}
void BM_ReadBytes(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(read_bytes(nullptr));
}
void BM_Build1(benchmark::State &state) {
    for (auto _ : state) build(g_v1);
}
void BM_Build2(benchmark::State &state) {
    for (auto _ : state) build(g_v2);
}
void BM_Subset(benchmark::State &state) {
    KOSCVStaChan *sc = nullptr;
    subset_once(&sc);
    for (auto _ : state) subset_once(&sc);
    koscv_free_stachan(sc);
}

}  // namespace

BENCHMARK(BM_ReadBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DbgetvLoop)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Build1)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Build2)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Subset)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    bool summary_only = false;
    long build_loop = 0, trace_loop = 0;
    std::vector<char *> rest;
    for (int i = 0; i < argc; i++) {
        if (!strncmp(argv[i], "--rows=", 7)) g_rows = std::max(1000L, atol(argv[i] + 7));
        else if (!strcmp(argv[i], "--summary-only")) summary_only = true;
        else if (!strncmp(argv[i], "--build-loop=", 13)) build_loop = atol(argv[i] + 13);
        else if (!strncmp(argv[i], "--trace-loop=", 13)) trace_loop = atol(argv[i] + 13);
        else rest.push_back(argv[i]);
    }
    int rc = (int)rest.size();
    double t = now();
    write_tables();
    printf("generated in %.1f s\n", now() - t);
    if (g_rows > 2000000) {
        struct rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        double base = ru.ru_maxrss / 1024.0;
        t = now();
        ViewHandle *v = new ViewHandle(2);
        double open = now() - t;
        getrusage(RUSAGE_SELF, &ru);
        double peak_open = ru.ru_maxrss / 1024.0;
        double c0 = cpu();
        double rebuild = best_of(3, [&] { build(v); });
        double rebuild_cpu = (cpu() - c0) / 3;
        getrusage(RUSAGE_SELF, &ru);
        KOSCV *scv = koscv_get(v->h);
        printf("large run: %ld wfdisc rows, %ld pairs\n", g_rows, maxtbl(scv->stachans_tbl));
        printf("koscv_create (open, load the tables, first build), 2 workers: %.2f s\n", open);
        printf("cache rebuild, 2 workers: %.2f s wall (best of 3), %.2f s processor time\n", rebuild, rebuild_cpu);
        printf("peak memory: %.0f MB before the view, %.0f MB after opening, %.0f MB after rebuilds\n", base,
               peak_open, ru.ru_maxrss / 1024.0);
        delete v;
        for (const char *ext : {".wfdisc", ".arrival", ".detection"}) unlink((g_db + ext).c_str());
        unlink((g_dir + "/trc.w").c_str());
        rmdir(g_dir.c_str());
        return 0;
    }
    t = now();
    g_v1 = new ViewHandle(1);
    double open1 = now() - t;
    g_v2 = new ViewHandle(2);
    if (dbopen(g_db.c_str(), "r", &g_db_ptr) < 0) return 1;
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("first view opened and built in %.2f s; peak memory so far %.0f MB\n", open1, ru.ru_maxrss / 1024.0);
    if (trace_loop > 0) {
        KOSCVStaChan *trc = nullptr;
        koscv_subset(g_v2->h, (char *)"TRC HHZ", kTrcW0, kTrcW1, 1, 0, 0, &trc);
        Tbl *tbl = nullptr;
        double c = cpu();
        for (long i = 0; i < trace_loop; i++) trace_table(trc, &tbl);
        double a = (cpu() - c) / trace_loop;
        c = cpu();
        for (long i = 0; i < trace_loop; i++) trgetwf_rows(trc);
        printf("%ld trace tables, %.3f ms processor time each; trgetwf %.3f ms\n", trace_loop, a * 1e3,
               (cpu() - c) / trace_loop * 1e3);
        koscv_trace_free_table(tbl);
        koscv_free_stachan(trc);
        build_loop = -1;
    } else if (build_loop > 0) {
        double c = cpu();
        for (long i = 0; i < build_loop; i++) build(g_v1);
        printf("%ld builds, %.1f ms processor time each\n", build_loop, (cpu() - c) * 1e3 / build_loop);
    } else if (!summary_only) {
        benchmark::Initialize(&rc, rest.data());
        benchmark::RunSpecifiedBenchmarks();
    }
    if (!build_loop) summary();
    if (!summary_only && !build_loop) benchmark::Shutdown();
    delete g_v1;
    delete g_v2;
    dbclose(g_db_ptr);
    for (const char *ext : {".wfdisc", ".arrival", ".detection"}) unlink((g_db + ext).c_str());
    unlink((g_dir + "/trc.w").c_str());
    rmdir(g_dir.c_str());
    return 0;
}
