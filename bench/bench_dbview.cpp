// Benchmarks of the database views on a generated 1,000,000-row wfdisc:
//  - subset by "sta =~ /AB.*/ && chan =~ /BH./ && (time < T1 && endtime > T0)"
//    against a hand-written loop testing the same condition (the same
//    compiled regular expressions) on already-parsed rows, in the same run;
//  - the join of that wfdisc with a 10,000-row sensor table on
//    sta, chan, time::endtime;
//  - the grouping of the join by sta, chan.
// Each prints a summary line with the figures and the ratio.
#include <benchmark/benchmark.h>
#include <regex.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "db.h"

namespace {

const int kStations = 1000;
const char *kChans[] = {"BHZ", "BHN", "BHE", "HHZ", "LHZ"};
const int kChanCount = 5;
const int kSegments = 200;  // per station-channel: 1000 * 5 * 200 = 1,000,000 rows
const double kT0 = 1262304000.0;
const double kSeg = 3600.0;

struct Parsed {
    char sta[7];
    char chan[9];
    double time, endtime;
};

std::string g_dir;
std::string g_db;
std::vector<Parsed> g_parsed;

std::string station(int s) {
    char b[8];
    snprintf(b, sizeof b, "%s%03d", s % 2 ? "XY" : "AB", s / 2);
    return b;
}

void write_tables() {
    char tmpl[] = "/tmp/bench_dbview.XXXXXX";
    g_dir = mkdtemp(tmpl);
    g_db = g_dir + "/bench";
    FILE *wf = fopen((g_db + ".wfdisc").c_str(), "w");
    FILE *se = fopen((g_db + ".sensor").c_str(), "w");
    long wfid = 1;
    // rows in time order, as files are appended: all channels of a segment
    // time before the next
    for (int k = 0; k < kSegments; ++k) {
        for (int s = 0; s < kStations; ++s) {
            for (int c = 0; c < kChanCount; ++c) {
                double t = kT0 + k * kSeg, et = t + kSeg - 0.025;
                fprintf(wf,
                        "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s "
                        "%-2.2s %-1.1s %-64.64s %-32.32s %10ld %8ld %-17.17s\n",
                        station(s).c_str(), kChans[c], t, wfid++, -1L, 2010001L, et, 144000L, 40.0, 1.0, 1.0, "-",
                        "o", "s4", "-", "wf", "file.w", 0L, -1L, "-");
                Parsed p;
                snprintf(p.sta, sizeof p.sta, "%s", station(s).c_str());
                snprintf(p.chan, sizeof p.chan, "%s", kChans[c]);
                p.time = t;
                p.endtime = et;
                g_parsed.push_back(p);
            }
        }
    }
    // two sensor epochs per station-channel, split in the middle
    double mid = kT0 + kSegments / 2 * kSeg - 0.5;
    for (int s = 0; s < kStations; ++s) {
        for (int c = 0; c < kChanCount; ++c) {
            for (int e = 0; e < 2; ++e) {
                double t = e ? mid : kT0 - 1e6, et = e ? 9999999999.999 : mid - 0.001;
                fprintf(se, "%-6.6s %-8.8s %17.5f %17.5f %8ld %8ld %8ld %16.6f %16.6f %6.2f %-1.1s %-17.17s\n",
                        station(s).c_str(), kChans[c], t, et, (long)(1 + s * 10 + c), -1L, 2010001L, 1.0, 1.0, 0.0,
                        "n", "-");
            }
        }
    }
    fclose(wf);
    fclose(se);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time of this process: the machine is shared, so wall time
// alone overstates the cost when other work runs.
double cpu() { return (double)clock() / CLOCKS_PER_SEC; }

const double T0 = kT0 + 50 * kSeg, T1 = kT0 + 60 * kSeg;

long hand_loop() {
    static regex_t sta_re, chan_re;
    static bool made = false;
    if (!made) {
        regcomp(&sta_re, "^(AB.*)$", REG_EXTENDED | REG_NOSUB);
        regcomp(&chan_re, "^(BH.)$", REG_EXTENDED | REG_NOSUB);
        made = true;
    }
    long n = 0;
    for (const Parsed &p : g_parsed) {
        if (regexec(&sta_re, p.sta, 0, nullptr, 0) == 0 && regexec(&chan_re, p.chan, 0, nullptr, 0) == 0 &&
            (p.time < T1 && p.endtime > T0))
            ++n;
    }
    return n;
}

Dbptr g_wf, g_sensor;

long view_count(Dbptr v) {
    long n = -1;
    dbquery(v, dbRECORD_COUNT, &n);
    return n;
}

std::string subset_expr() {
    char e[256];
    snprintf(e, sizeof e, "sta =~ /AB.*/ && chan =~ /BH./ && (time < %.5f && endtime > %.5f)", T1, T0);
    return e;
}

void BM_SubsetHandLoop(benchmark::State &state) {
    long n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(n = hand_loop());
    state.counters["rows"] = (double)n;
}

void BM_Subset(benchmark::State &state) {
    std::string e = subset_expr();
    long n = 0;
    for (auto _ : state) {
        Dbptr v = dbsubset(g_wf, e.c_str(), nullptr);
        n = view_count(v);
        dbfree(v);
    }
    state.counters["rows"] = (double)n;
}

void summary() {
    // the same two measurements once more, interleaved, for the ratio line
    std::string e = subset_expr();
    double best_hand = 1e30, best_sub = 1e30;
    long nh = 0, ns = 0;
    for (int k = 0; k < 5; ++k) {
        double t = cpu();
        nh = hand_loop();
        best_hand = std::min(best_hand, cpu() - t);
        t = cpu();
        Dbptr v = dbsubset(g_wf, e.c_str(), nullptr);
        best_sub = std::min(best_sub, cpu() - t);
        ns = view_count(v);
        dbfree(v);
    }
    printf("subset: %ld rows (hand loop %ld), dbsubset %.3f s cpu, hand-written loop %.3f s cpu, ratio %.2f (limit 3)\n",
           ns, nh, best_sub, best_hand, best_sub / best_hand);

    Tbl *k1 = strtbl("wfdisc.sta", "wfdisc.chan", "wfdisc.time::wfdisc.endtime", nullptr);
    Tbl *k2 = strtbl("sensor.sta", "sensor.chan", "sensor.time::sensor.endtime", nullptr);
    double t = now(), c = cpu();
    Dbptr j = dbjoin(g_wf, g_sensor, &k1, &k2, 1, nullptr, nullptr);
    double tj = now() - t, cj = cpu() - c;
    long nj = view_count(j);
    Tbl *g = strtbl("sta", "chan", nullptr);
    t = now();
    c = cpu();
    Dbptr gr = dbgroup(j, g, nullptr, 1);
    double tg = now() - t, cg = cpu() - c;
    long ng = view_count(gr);
    printf("join: %ld x %ld rows -> %ld rows in %.3f s wall, %.3f s cpu (limit 10 s)\n", view_count(g_wf),
           view_count(g_sensor), nj, tj, cj);
    printf("group by sta, chan: %ld groups in %.3f s wall, %.3f s cpu (limit 2 s)\n", ng, tg, cg);
    dbfree(gr);
    dbfree(j);
    freetbl(g, nullptr);
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
}

void BM_Join(benchmark::State &state) {
    Tbl *k1 = strtbl("wfdisc.sta", "wfdisc.chan", "wfdisc.time::wfdisc.endtime", nullptr);
    Tbl *k2 = strtbl("sensor.sta", "sensor.chan", "sensor.time::sensor.endtime", nullptr);
    long n = 0;
    for (auto _ : state) {
        Dbptr j = dbjoin(g_wf, g_sensor, &k1, &k2, 1, nullptr, nullptr);
        n = view_count(j);
        dbfree(j);
    }
    state.counters["rows"] = (double)n;
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
}

}  // namespace

BENCHMARK(BM_SubsetHandLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Subset)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Join)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char **argv) {
    write_tables();
    Dbptr db;
    if (dbopen(g_db.c_str(), "r", &db) < 0) {
        elog_complain(0, "bench_dbview: cannot open %s\n", g_db.c_str());
        return 1;
    }
    g_wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    g_sensor = dblookup(db, nullptr, "sensor", nullptr, nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    summary();
    benchmark::Shutdown();
    dbclose(db);
    unlink((g_db + ".wfdisc").c_str());
    unlink((g_db + ".sensor").c_str());
    rmdir(g_dir.c_str());
    return 0;
}
