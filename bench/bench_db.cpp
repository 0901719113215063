// Database engine benchmarks on a generated wfdisc of 1,000,000 rows
// (283 MB, in a temporary directory removed at the end):
//   - dbopen + first dblookup + record count, against reading the file's
//     bytes once (read(2) into a buffer);
//   - dbgetv of three fields of every row (rows per second);
//   - dbmatches of sta, chan and a time window once the index is built,
//     against a linear scan of the same table (through dbgetv, and a raw
//     scan of the row text).
// The ratios are printed in a summary line after the runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "db.h"

namespace {

constexpr long NROWS = 1000000;
constexpr int NSTA = 100;
const char *CHANS[3] = {"BHZ", "BHN", "BHE"};
const double T0 = 1262304000.0;

std::string g_dir, g_prefix, g_file;
double g_read_cpu = 0, g_open_cpu = 0, g_match_cpu = 0, g_scan_cpu = 0, g_rawscan_cpu = 0;
double g_read_s = 0, g_open_s = 0, g_getv_rate = 0, g_match_s = 0, g_scan_s = 0, g_rawscan_s = 0;

void make_db() {
    char tmpl[] = "/tmp/bench_dbXXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        exit(1);
    }
    g_dir = tmpl;
    g_prefix = g_dir + "/big";
    g_file = g_prefix + ".wfdisc";
    FILE *fp = fopen(g_file.c_str(), "w");
    if (!fp) {
        perror("fopen");
        exit(1);
    }
    std::vector<char> buf(1 << 20);
    setvbuf(fp, buf.data(), _IOFBF, buf.size());
    // rows of one hour per station-channel, interleaved in time order
    long per = NROWS / (NSTA * 3);
    long k = 0;
    for (long i = 0; k < NROWS; i++) {
        for (int s = 0; s < NSTA && k < NROWS; s++)
            for (int c = 0; c < 3 && k < NROWS; c++, k++) {
                double t = T0 + i * 3600.0;
                char sta[8];
                snprintf(sta, sizeof sta, "S%03d", s);
                fprintf(fp,
                        "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s "
                        "%-1.1s %-64.64s %-32.32s %10ld %8ld %-17.17s\n",
                        sta, CHANS[c], t, k + 1, -1L, 2010001L, t + 3599.975, 144000L, 40.0, 1.0, 1.0, "-", "V",
                        "s4", "-", "wf/2010", "x.w", 0L, -1L, "10-01-02 08:30:00");
            }
    }
    (void)per;
    fclose(fp);
}

void remove_db() {
    unlink(g_file.c_str());
    rmdir(g_dir.c_str());
}

void BM_ReadFileBytes(benchmark::State &state) {
    struct stat st;
    stat(g_file.c_str(), &st);
    std::vector<char> buf(st.st_size);
    for (auto _ : state) {
        int fd = open(g_file.c_str(), O_RDONLY);
        size_t got = 0;
        while (got < buf.size()) {
            ssize_t n = read(fd, buf.data() + got, buf.size() - got);
            if (n <= 0) break;
            got += n;
        }
        close(fd);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * st.st_size);
}

void BM_OpenLookupCount(benchmark::State &state) {
    for (auto _ : state) {
        Dbptr db;
        dbopen(g_prefix.c_str(), "r", &db);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        long n = 0;
        dbquery(wf, dbRECORD_COUNT, &n);
        if (n != NROWS) state.SkipWithError("wrong count");
        state.PauseTiming();
        dbclose(db);
        state.ResumeTiming();
    }
}

Dbptr g_db, g_wf;

void BM_Getv3(benchmark::State &state) {
    long n = 0;
    dbquery(g_wf, dbRECORD_COUNT, &n);
    for (auto _ : state) {
        Dbptr r = g_wf;
        char sta[8], chan[10];
        double t, sum = 0;
        for (r.record = 0; r.record < n; r.record++) {
            dbgetv(r, 0, "sta", sta, "chan", chan, "time", &t, (char *)0);
            sum += t;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["rows_per_s"] = benchmark::Counter(double(state.iterations() * n), benchmark::Counter::kIsRate);
}

struct Query {
    char sta[8];
    const char *chan;
    double t0, t1;
};
std::vector<Query> g_queries;

void make_queries() {
    srand(11);
    long hours = NROWS / (NSTA * 3);
    for (int i = 0; i < 1000; i++) {
        Query q;
        snprintf(q.sta, sizeof q.sta, "S%03d", rand() % NSTA);
        q.chan = CHANS[rand() % 3];
        q.t0 = T0 + (rand() % hours) * 3600.0 + 1800.0;
        q.t1 = q.t0 + 600.0;
        g_queries.push_back(q);
    }
}

// The key rows: one wfdisc row per query in an in-memory database, so that
// the loop times dbmatches alone.
Dbptr g_keys;

void make_key_rows() {
    Dbptr mem;
    dbopen_memory(&mem);
    g_keys = dblookup(mem, 0, "wfdisc", 0, 0);
    for (auto &q : g_queries)
        dbaddv(g_keys, 0, "sta", q.sta, "chan", q.chan, "time", q.t0, "endtime", q.t1, (char *)0);
}

void BM_Match(benchmark::State &state) {
    Tbl *keys = strtbl("sta", "chan", "time::endtime", (char *)0);
    Hook *hook = nullptr;
    Tbl *list = nullptr;
    Dbptr k = g_keys;
    k.record = 0;
    dbmatches(k, g_wf, &keys, &keys, &hook, &list);  // builds the index
    long i = 0, found = 0, nk = (long)g_queries.size();
    for (auto _ : state) {
        k.record = i++ % nk;
        found += dbmatches(k, g_wf, &keys, &keys, &hook, &list);
    }
    if (found != (long)state.iterations()) state.SkipWithError("each window should match one row");
    free_hook(&hook);
    freetbl(list, 0);
    freetbl(keys, 0);
}

void BM_ScanGetv(benchmark::State &state) {
    long n = 0;
    dbquery(g_wf, dbRECORD_COUNT, &n);
    size_t i = 0;
    for (auto _ : state) {
        const Query &q = g_queries[i++ % g_queries.size()];
        Dbptr r = g_wf;
        long found = 0;
        char sta[8], chan[10];
        double t, e;
        for (r.record = 0; r.record < n; r.record++) {
            dbgetv(r, 0, "sta", sta, "chan", chan, "time", &t, "endtime", &e, (char *)0);
            if (!strcmp(sta, q.sta) && !strcmp(chan, q.chan) && t <= q.t1 && e >= q.t0) found++;
        }
        benchmark::DoNotOptimize(found);
    }
}

void BM_ScanRaw(benchmark::State &state) {
    long n = 0, rs = 0;
    char *rows = nullptr;
    dbquery(g_wf, dbRECORD_COUNT, &n);
    dbquery(g_wf, dbRECORD_SIZE, &rs);
    dbquery(g_wf, dbTABLE_ADDRESS, &rows);
    size_t i = 0;
    for (auto _ : state) {
        const Query &q = g_queries[i++ % g_queries.size()];
        char key[16];
        snprintf(key, sizeof key, "%-6.6s %-8.8s", q.sta, q.chan);
        long found = 0;
        for (long r = 0; r < n; r++) {
            const char *row = rows + r * (rs + 1);
            if (memcmp(row, key, 15)) continue;
            double t = strtod(row + 16, nullptr), e = strtod(row + 61, nullptr);
            if (t <= q.t1 && e >= q.t0) found++;
        }
        benchmark::DoNotOptimize(found);
    }
}

class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (auto &r : runs) {
            double s = r.iterations ? r.real_accumulated_time / (double)r.iterations : 0;  // seconds
            std::string n = r.benchmark_name();
            double c = r.iterations ? r.cpu_accumulated_time / (double)r.iterations : 0;
            if (n.find("BM_ReadFileBytes") == 0) g_read_s = s, g_read_cpu = c;
            if (n.find("BM_OpenLookupCount") == 0) g_open_s = s, g_open_cpu = c;
            if (n.find("BM_Match") == 0) g_match_s = s, g_match_cpu = c;
            if (n.find("BM_ScanGetv") == 0) g_scan_s = s, g_scan_cpu = c;
            if (n.find("BM_ScanRaw") == 0) g_rawscan_s = s, g_rawscan_cpu = c;
            if (n.find("BM_Getv3") == 0) {
                auto it = r.counters.find("rows_per_s");
                if (it != r.counters.end()) g_getv_rate = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

BENCHMARK(BM_ReadFileBytes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenLookupCount)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Getv3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Match)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ScanGetv)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ScanRaw)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char **argv) {
    make_db();
    make_queries();
    make_key_rows();
    if (dbopen(g_prefix.c_str(), "r", &g_db) != 0) {
        elog_complain(0, "bench_db: cannot open the generated database\n");
        remove_db();
        return 1;
    }
    g_wf = dblookup(g_db, 0, "wfdisc", 0, 0);
    benchmark::Initialize(&argc, argv);
    Summary rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    dbclose(g_db);
    remove_db();
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    printf("\nsummary (wall / cpu):\n");
    printf("summary: open+lookup+count %.1f / %.1f ms = %.2f / %.2f x reading the bytes (%.1f / %.1f ms; limit 1.5)\n",
           g_open_s * 1e3, g_open_cpu * 1e3, ratio(g_open_s, g_read_s), ratio(g_open_cpu, g_read_cpu),
           g_read_s * 1e3, g_read_cpu * 1e3);
    printf("summary: dbgetv of 3 fields %.2f M rows/s (target >= 2)\n", g_getv_rate / 1e6);
    printf("summary: dbmatches %.2f / %.2f us per match (target < 5)\n", g_match_s * 1e6, g_match_cpu * 1e6);
    printf("summary: linear scan via dbgetv %.1f / %.1f ms = %.0f / %.0f x a match (target >= 1000)\n",
           g_scan_s * 1e3, g_scan_cpu * 1e3, ratio(g_scan_s, g_match_s), ratio(g_scan_cpu, g_match_cpu));
    printf("summary: raw row-text scan %.1f / %.1f ms = %.0f / %.0f x a match\n", g_rawscan_s * 1e3,
           g_rawscan_cpu * 1e3, ratio(g_rawscan_s, g_match_s), ratio(g_rawscan_cpu, g_match_cpu));
    return 0;
}
