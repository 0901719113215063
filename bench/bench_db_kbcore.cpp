// Opening archive tables in the KB Core layout: a generated wfdisc of
// 1,000,000 rows of 287 characters (288 MB, in a temporary directory
// removed at the end), and the same rows in the mixed layout with the
// 17-character load date:
//   - dbopen + first dblookup + record count of each, against reading the
//     file's bytes once (read(2) into a buffer), the physical limit;
//   - dbgetv of three fields of every row of the KB Core table.
// A recognised layout is mapped as it is, never copied, so the open costs
// about as much as for a css3.0 file.  The ratios are printed in a summary
// line after the runs.
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

std::string g_dir;
std::string g_prefix[2], g_file[2];  // KB Core, mixed
double g_read_s[2], g_read_cpu[2], g_open_s[2], g_open_cpu[2], g_getv_rate = 0;

void make_table(int which) {
    g_prefix[which] = g_dir + (which ? "/mixed" : "/kbcore");
    g_file[which] = g_prefix[which] + ".wfdisc";
    FILE *fp = fopen(g_file[which].c_str(), "w");
    if (!fp) {
        perror("fopen");
        exit(1);
    }
    std::vector<char> buf(1 << 20);
    setvbuf(fp, buf.data(), _IOFBF, buf.size());
    const char *fmt = which ? "%-6.6s %-8.8s %17.5f %9ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s "
                              "%-2.2s %-1.1s %-64.64s %-32.32s %10ld %9ld %-17.17s\n"
                            : "%-6.6s %-8.8s %17.5f %9ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s "
                              "%-2.2s %-1.1s %-64.64s %-32.32s %10ld %9ld %-19.19s\n";
    const char *lddate = which ? "10-01-02 08:30:00" : "2010-01-02 08:30:00";
    long k = 0;
    for (long i = 0; k < NROWS; i++)
        for (int s = 0; s < NSTA && k < NROWS; s++)
            for (int c = 0; c < 3 && k < NROWS; c++, k++) {
                double t = T0 + i * 3600.0;
                char sta[8];
                snprintf(sta, sizeof sta, "S%03d", s);
                fprintf(fp, fmt, sta, CHANS[c], t, 100000000 + k, -1L, 2010001L, t + 3599.975, 144000L, 40.0, 1.0,
                        1.0, "-", "V", "s4", "-", "wf/2010", "x.w", 0L, -1L, lddate);
            }
    fclose(fp);
}

void remove_db() {
    for (int w = 0; w < 2; w++) unlink(g_file[w].c_str());
    rmdir(g_dir.c_str());
}

void BM_ReadFileBytes(benchmark::State &state) {
    const std::string &file = g_file[state.range(0)];
    struct stat st;
    stat(file.c_str(), &st);
    std::vector<char> buf(st.st_size);
    for (auto _ : state) {
        int fd = open(file.c_str(), O_RDONLY);
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
    const int which = (int)state.range(0);
    for (auto _ : state) {
        Dbptr db;
        dbopen(g_prefix[which].c_str(), "r", &db);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        long n = 0, rs = 0;
        dbquery(wf, dbRECORD_COUNT, &n);
        dbquery(wf, dbRECORD_SIZE, &rs);
        if (n != NROWS || rs != (which ? 285 : 287)) state.SkipWithError("wrong count or layout");
        state.PauseTiming();
        dbclose(db);
        state.ResumeTiming();
    }
}

void BM_Getv3(benchmark::State &state) {
    Dbptr db;
    dbopen(g_prefix[0].c_str(), "r", &db);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    long n = 0;
    dbquery(wf, dbRECORD_COUNT, &n);
    for (auto _ : state) {
        Dbptr r = wf;
        long wfid, sum = 0;
        char sta[8];
        double t;
        for (r.record = 0; r.record < n; r.record++) {
            dbgetv(r, 0, "sta", sta, "wfid", &wfid, "time", &t, (char *)0);
            sum += wfid;
        }
        if (sum != NROWS * 100000000L + NROWS * (NROWS - 1) / 2) state.SkipWithError("wrong wfid values");
        benchmark::DoNotOptimize(sum);
    }
    dbclose(db);
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["rows_per_s"] = benchmark::Counter(double(state.iterations() * n), benchmark::Counter::kIsRate);
}

class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (auto &r : runs) {
            double s = r.iterations ? r.real_accumulated_time / (double)r.iterations : 0;
            double c = r.iterations ? r.cpu_accumulated_time / (double)r.iterations : 0;
            std::string n = r.benchmark_name();
            int which = n.find("/1") != std::string::npos ? 1 : 0;
            if (n.find("BM_ReadFileBytes") == 0) g_read_s[which] = s, g_read_cpu[which] = c;
            if (n.find("BM_OpenLookupCount") == 0) g_open_s[which] = s, g_open_cpu[which] = c;
            if (n.find("BM_Getv3") == 0) {
                auto it = r.counters.find("rows_per_s");
                if (it != r.counters.end()) g_getv_rate = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

BENCHMARK(BM_ReadFileBytes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenLookupCount)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Getv3)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    char tmpl[] = "/tmp/bench_db_kbcoreXXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    g_dir = tmpl;
    make_table(0);
    make_table(1);
    benchmark::Initialize(&argc, argv);
    Summary rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    remove_db();
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    printf("\nsummary (wall / cpu):\n");
    const char *names[2] = {"KB Core (287)", "mixed (285)"};
    for (int w = 0; w < 2; w++)
        printf("summary: %s open+lookup+count %.1f / %.1f ms = %.2f / %.2f x reading the bytes (%.1f / %.1f ms; "
               "limit 1.5)\n",
               names[w], g_open_s[w] * 1e3, g_open_cpu[w] * 1e3, ratio(g_open_s[w], g_read_s[w]),
               ratio(g_open_cpu[w], g_read_cpu[w]), g_read_s[w] * 1e3, g_read_cpu[w] * 1e3);
    printf("summary: KB Core dbgetv of 3 fields %.2f M rows/s\n", g_getv_rate / 1e6);
    return 0;
}
