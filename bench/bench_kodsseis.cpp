// Benchmarks of the seismic data source.
//  - The loading plan with all three joins (instrument with responses,
//    sitechan, site) on a generated 1,000,000-row wfdisc with 10,000 sensor
//    rows, 20 instruments, 5,000 sitechan rows (half without channel ids)
//    and 1,000 sites: seconds, the share of each step, and the ratio against
//    reading every wfdisc row once (dbget) in the same run.
//  - Extracting and rotating three one-hour channels at 100 samples per
//    second (each channel in six ten-minute rows), against extracting the
//    same three channels without rotation in the same run; both include
//    releasing the samples, in processor time (the machine may be shared).
// A summary prints the figures.  "--rotation-only" skips the large
// database.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "db.h"
#include "kodsseis_pvt.h"
#include "stock.h"
#include "tr.h"
#include "velkutil.h"

namespace {

const int kStations = 1000;
const char *kChans[] = {"BHZ", "BHN", "BHE", "HHZ", "LHZ"};
const int kChanCount = 5;
const int kSegments = 200;  // 1000 * 5 * 200 = 1,000,000 rows
const double kT0 = 1262304000.0;  // 2010-01-01
const double kSeg = 3600.0;

std::string g_dir;
bool g_rotation_only = false;
Dbptr g_big, g_small;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time of this process: the machine is shared, and wall time
// alone overstates a cost when other work runs.
double cpu() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

std::string station(int s) {
    char b[8];
    snprintf(b, sizeof b, "%s%03d", s % 2 ? "XY" : "AB", s / 2);
    return b;
}

bool write_big() {
    std::string db = g_dir + "/big";
    FILE *wf = fopen((db + ".wfdisc").c_str(), "w");
    if (!wf) return false;
    long wfid = 1;
    for (int k = 0; k < kSegments; ++k)
        for (int s = 0; s < kStations; ++s)
            for (int c = 0; c < kChanCount; ++c) {
                double t = kT0 + k * kSeg, et = t + kSeg - 0.025;
                fprintf(wf,
                        "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s "
                        "%-2.2s %-1.1s %-64.64s %-32.32s %10ld %8ld %-17.17s\n",
                        station(s).c_str(), kChans[c], t, wfid++, -1L, 2010001L, et, 144000L, 40.0, 1.0, 1.0, "-",
                        "o", "s4", "-", "wf", "file.w", 0L, -1L, "-");
            }
    fclose(wf);
    Dbptr d;
    if (dbopen(db.c_str(), "r+", &d) < 0) return false;
    Dbptr se = dblookup(d, nullptr, "sensor", nullptr, nullptr), in = dblookup(d, nullptr, "instrument", nullptr, nullptr),
          sc = dblookup(d, nullptr, "sitechan", nullptr, nullptr), si = dblookup(d, nullptr, "site", nullptr, nullptr);
    double mid = kT0 + kSegments / 2 * kSeg - 0.5;
    long chanid = 1;
    for (int s = 0; s < kStations; ++s) {
        dbaddv(si, nullptr, "sta", station(s).c_str(), "ondate", 2009001L, "offdate", -1L, "lat", s * 0.01, "lon",
               s * 0.02, "elev", 0.1, (char *)0);
        for (int c = 0; c < kChanCount; ++c, ++chanid) {
            // half the channels have ids, the others join by day
            long id = s % 2 ? -1L : chanid;
            dbaddv(sc, nullptr, "sta", station(s).c_str(), "chan", kChans[c], "ondate", 2009001L, "offdate", -1L,
                   "chanid", id, "hang", c == 2 ? 90.0 : 0.0, "vang", c == 0 || c >= 3 ? 0.0 : 90.0, (char *)0);
            for (int e = 0; e < 2; ++e)
                dbaddv(se, nullptr, "sta", station(s).c_str(), "chan", kChans[c], "time", e ? mid : kT0 - 1e6,
                       "endtime", e ? 9999999999.999 : mid - 0.001, "inid", (long)(1 + (s + c + e) % 20), "chanid", id,
                       "calratio", 1.0, (char *)0);
        }
    }
    for (long i = 1; i <= 20; ++i) {
        char name[32];
        snprintf(name, sizeof name, "r%ld.paz", i);
        FILE *f = fopen((g_dir + "/" + name).c_str(), "w");
        if (!f) return false;
        fprintf(f, "theoretical 1 bench paz\n%ld.0 1.0\n2\n-4.443 4.443\n-4.443 -4.443\n2\n0 0\n0 0\n", i);
        fclose(f);
        dbaddv(in, nullptr, "inid", i, "insname", "bench", "dir", ".", "dfile", name, "ncalib", 1.0, "ncalper", 1.0,
               (char *)0);
    }
    dbclose(d);
    return true;
}

// Three channels of one station, an hour at 100 samples per second, each in
// six ten-minute rows of little-endian floats; two more stations beside it.
bool write_small() {
    std::string db = g_dir + "/small";
    Dbptr d;
    if (dbopen(db.c_str(), "r+", &d) < 0) return false;
    Dbptr wf = dblookup(d, nullptr, "wfdisc", nullptr, nullptr), se = dblookup(d, nullptr, "sensor", nullptr, nullptr),
          sc = dblookup(d, nullptr, "sitechan", nullptr, nullptr);
    const char *chans[] = {"BHE", "BHN", "BHZ"};
    const double hang[] = {90, 0, 0}, vang[] = {90, 90, 0};
    const long n = 60000;  // ten minutes
    std::vector<float> v((size_t)n);
    for (int s = 0; s < 3; ++s)
        for (int c = 0; c < 3; ++c) {
            std::string sta = station(s);
            std::string file = sta + "." + chans[c] + ".f4";
            FILE *f = fopen((g_dir + "/" + file).c_str(), "wb");
            if (!f) return false;
            for (int r = 0; r < 6; ++r) {
                for (long i = 0; i < n; ++i) v[(size_t)i] = (float)sin(0.001 * (double)(r * n + i) * (c + 1));
                fwrite(v.data(), sizeof(float), v.size(), f);
                double t = kT0 + r * 600.0;
                dbaddv(wf, nullptr, "sta", sta.c_str(), "chan", chans[c], "time", t, "endtime", t + 599.99, "nsamp", n,
                       "samprate", 100.0, "calib", 1.0, "datatype", "f4", "dir", ".", "dfile", file.c_str(), "foff",
                       (long)(r * n * 4), (char *)0);
            }
            fclose(f);
            dbaddv(se, nullptr, "sta", sta.c_str(), "chan", chans[c], "time", kT0 - 100, "endtime", kT0 + 86400,
                   "inid", 1L, (char *)0);
            dbaddv(sc, nullptr, "sta", sta.c_str(), "chan", chans[c], "ondate", 2009001L, "offdate", -1L, "hang",
                   hang[c], "vang", vang[c], (char *)0);
        }
    dbclose(d);
    return true;
}

long count(Dbptr p) {
    long n = -1;
    p.record = dbALL;
    dbquery(p, dbRECORD_COUNT, &n);
    return n;
}

struct PlanRun {
    double seconds = 0, cpu_seconds = 0;
    long rows = 0, groups = 0;
    std::vector<DsseisStepTime> steps;
};

PlanRun run_plan() {
    PlanRun pr;
    Dbptr gr, sc;
    double t = now(), c = cpu();
    if (dsseis_grdb_sc_loadcss(g_big, nullptr, nullptr, nullptr, kT0, kT0 + kSegments * kSeg, 1, 1, 1, &gr, &sc) < 0) {
        elog_complain(0, "bench_kodsseis: the loading plan failed\n");
        exit(1);
    }
    pr.seconds = now() - t;
    pr.cpu_seconds = cpu() - c;
    pr.rows = count(sc);
    pr.groups = count(gr);
    pr.steps.resize(16);
    pr.steps.resize((size_t)std::min(16, dsseis_plan_steps(pr.steps.data(), 16)));
    dbfree(gr);
    dbfree(sc);
    return pr;
}

double read_rows() {
    Dbptr wf = dblookup(g_big, nullptr, "wfdisc", nullptr, nullptr);
    long n = count(wf);
    char row[512];
    double t = cpu();
    long sum = 0;
    for (wf.record = 0; wf.record < n; wf.record++) {
        dbget(wf, row);
        sum += row[0];
    }
    benchmark::DoNotOptimize(sum);
    return cpu() - t;
}

void BM_ReadWfdiscRows(benchmark::State &state) {
    if (g_rotation_only) {
        state.SkipWithError("--rotation-only");
        return;
    }
    for (auto _ : state) state.SetIterationTime(read_rows());
}

void BM_LoadingPlanAllJoins(benchmark::State &state) {
    if (g_rotation_only) {
        state.SkipWithError("--rotation-only");
        return;
    }
    PlanRun pr;
    for (auto _ : state) {
        pr = run_plan();
        state.SetIterationTime(pr.seconds);
    }
    state.counters["rows"] = (double)pr.rows;
    state.counters["groups"] = (double)pr.groups;
}

KODsseis *g_source = nullptr;

double extract3() {
    const char *chans[] = {"BHE", "BHN", "BHZ"};
    Dbptr tr = dbinvalid();
    int nsegs = 0;
    double t = cpu();
    for (const char *c : chans)
        if (dsseis_getchannel(g_source->dbsc, nullptr, (char *)"AB000", (char *)c, 0, 0, nullptr, 1, nullptr, 0, 0,
                              nullptr, &nsegs, &tr) < 0 ||
            nsegs != 1) {
            elog_complain(0, "bench_kodsseis: extraction failed\n");
            exit(1);
        }
    // releasing the samples is part of both: the rotation releases its
    // inputs itself
    trdestroy(&tr);
    return cpu() - t;
}

double rotate3() {
    Dbptr tr = dbinvalid();
    int nsegs = 0;
    double t = cpu();
    if (dsseis_getchannel(g_source->dbsc, nullptr, (char *)"AB000", nullptr, 0, 0, nullptr, 1, (char *)"R", 30.0, 10.0,
                          nullptr, &nsegs, &tr) < 0 ||
        nsegs != 1) {
        elog_complain(0, "bench_kodsseis: rotation failed\n");
        exit(1);
    }
    trdestroy(&tr);
    return cpu() - t;
}

void BM_ExtractThreeChannels(benchmark::State &state) {
    for (auto _ : state) state.SetIterationTime(extract3());
}

void BM_ExtractAndRotateThreeChannels(benchmark::State &state) {
    for (auto _ : state) state.SetIterationTime(rotate3());
}

void summary() {
    double bx = 1e30, br = 1e30;
    for (int k = 0; k < 15; ++k) {
        bx = std::min(bx, extract3());
        br = std::min(br, rotate3());
    }
    printf("three one-hour channels at 100 samples/s (best of 15, processor time): extract %.4f s, extract and "
           "rotate %.4f s, ratio %.2f "
           "(goal 1.5)\n",
           bx, br, br / bx);
    if (g_rotation_only) return;
    PlanRun best;
    best.seconds = 1e30;
    double best_read = 1e30;
    for (int k = 0; k < 2; ++k) {
        PlanRun pr = run_plan();
        if (pr.cpu_seconds < best.cpu_seconds || k == 0) best = pr;
        best_read = std::min(best_read, read_rows());
    }
    printf("loading plan with instrument, sitechan and site joins: %ld wfdisc rows -> %ld rows, %ld groups, "
           "%.3f s wall, %.3f s processor; reading every row once %.3f s processor; ratio %.1f\n",
           count(dblookup(g_big, nullptr, "wfdisc", nullptr, nullptr)), best.rows, best.groups, best.seconds,
           best.cpu_seconds, best_read, best.cpu_seconds / best_read);
    double sum = 0, csum = 0;
    for (auto &s : best.steps) sum += s.seconds, csum += s.cpu_seconds;
    printf("  %-16s %9s %7s %9s %7s\n", "step", "wall s", "share", "cpu s", "share");
    for (auto &s : best.steps)
        printf("  %-16s %9.3f %6.1f%% %9.3f %6.1f%%\n", s.name, s.seconds, 100.0 * s.seconds / (sum > 0 ? sum : 1),
               s.cpu_seconds, 100.0 * s.cpu_seconds / (csum > 0 ? csum : 1));
}

}  // namespace

BENCHMARK(BM_ReadWfdiscRows)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_LoadingPlanAllJoins)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ExtractThreeChannels)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractAndRotateThreeChannels)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    // "--rotation-only": skip the 1,000,000-row database and its benchmarks
    for (int i = 1; i < argc; ++i)
        if (!strcmp(argv[i], "--rotation-only")) {
            g_rotation_only = true;
            for (int j = i; j < argc - 1; ++j) argv[j] = argv[j + 1];
            --argc;
            break;
        }
    char tmpl[] = "/tmp/bench_kodsseis.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = tmpl;
    if ((!g_rotation_only && !write_big()) || !write_small()) {
        elog_complain(0, "bench_kodsseis: cannot write the databases in %s\n", g_dir.c_str());
        return 1;
    }
    if ((!g_rotation_only && dbopen((g_dir + "/big").c_str(), "r", &g_big) < 0) ||
        dbopen((g_dir + "/small").c_str(), "r", &g_small) < 0) {
        elog_complain(0, "bench_kodsseis: cannot open the databases\n");
        return 1;
    }
    char *words[] = {(char *)"0", (char *)"0", (char *)"-orient", (char *)"1"};
    char handle[32];
    if (kodsseis_create(g_small, 4, words, &g_source, handle) != 0) {
        elog_complain(0, "bench_kodsseis: kodsseis_create failed\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    summary();
    benchmark::Shutdown();
    kodsseis_free(handle);
    if (!g_rotation_only) dbclose(g_big);
    dbclose(g_small);
    std::string rm = "rm -rf '" + g_dir + "'";
    if (system(rm.c_str()) != 0) return 1;
    return 0;
}
