// Loading costs of plot vectors, each against a plain baseline measured in
// the same run (thread CPU time, printed at the end):
//   - kovector2_read of a 1,000,000-line text file of three columns, against
//     a hand-written fgets and strtod loop over the same file (target: at
//     most 2 times);
//   - kovector2_create_tsamp_from_db of one hour at 100 samples per second
//     across 12 wfdisc rows, against trgetwf of the same rows;
//   - db2vector of 100,000 origin rows with all four attribute expressions,
//     in points per second.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "db2vector.h"
#include "kovector2.h"
#include "tr.h"

namespace {

double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

std::string workdir() {
    static std::string dir;
    if (dir.empty()) {
        char tmpl[] = "/tmp/bench_kovector_load_XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    return dir;
}

/* ------------------------------------------------------------ text files */

const long kLines = 1000000;

const std::string &text_file() {
    static std::string path;
    if (path.empty()) {
        path = workdir() + "/columns.txt";
        FILE *fp = fopen(path.c_str(), "w");
        fprintf(fp, "# time amplitude phase\n");
        for (long i = 0; i < kLines; i++)
            fprintf(fp, "%.3f %.6f %.2f\n", i * 0.01, 1000.0 / (1 + i % 977), (double)(i % 360) - 180.0);
        fclose(fp);
    }
    return path;
}

double s_read = 0, s_fgets = 0;

void BM_kovector2_read(benchmark::State &state) {
    const std::string &f = text_file();
    int ypos[2] = {1, 2};
    double t = 0;
    for (auto _ : state) {
        char h[64];
        double t0 = cpu_now();
        KOVector2 *v = kovector2_read((char *)f.c_str(), nullptr, 0, 0, 2, ypos, -1, h);
        t += cpu_now() - t0;
        if (!v || v->nx != kLines) state.SkipWithError("read failed");
        kovector2_free(h);
    }
    s_read = t / (double)state.iterations();
    state.SetItemsProcessed(state.iterations() * kLines);
}

// The baseline: what a program would write by hand for the same file.
void BM_fgets_strtod(benchmark::State &state) {
    const std::string &f = text_file();
    double t = 0;
    for (auto _ : state) {
        double t0 = cpu_now();
        FILE *fp = fopen(f.c_str(), "r");
        std::vector<double> x, y0, y1;
        char line[1024];
        while (fgets(line, sizeof line, fp)) {
            if (line[0] == '#') continue;
            char *p = line, *e;
            double a = strtod(p, &e);
            if (e == p) continue;
            p = e;
            double b = strtod(p, &e);
            p = e;
            double c = strtod(p, &e);
            x.push_back(a);
            y0.push_back(b);
            y1.push_back(c);
        }
        fclose(fp);
        t += cpu_now() - t0;
        if ((long)x.size() != kLines) state.SkipWithError("baseline read failed");
        benchmark::DoNotOptimize(x.data());
    }
    s_fgets = t / (double)state.iterations();
    state.SetItemsProcessed(state.iterations() * kLines);
}

/* ------------------------------------------------------------ database windows */

const int kRows = 12;
const long kRowSamples = 300 * 100;  // five minutes at 100 samples per second
const double kT0 = 1.6e9;

Dbptr &wf_db() {
    static Dbptr db = dbinvalid();
    if (db.database == dbINVALID) {
        std::string prefix = workdir() + "/wf";
        dbopen(prefix.c_str(), "r+", &db);
        Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        std::vector<float> s((size_t)kRowSamples);
        for (int r = 0; r < kRows; r++) {
            for (long k = 0; k < kRowSamples; k++) s[(size_t)k] = (float)((r * kRowSamples + k) % 4093) - 2000.0f;
            std::string name = "seg" + std::to_string(r);
            FILE *fp = fopen((workdir() + "/" + name).c_str(), "wb");
            fwrite(s.data(), sizeof(float), s.size(), fp);
            fclose(fp);
            double t = kT0 + r * 300.0;
            dbaddv(wf, nullptr, "sta", "BNCH", "chan", "HHZ", "time", t, "endtime", t + (kRowSamples - 1) / 100.0,
                   "nsamp", kRowSamples, "samprate", 100.0, "calib", 1.5, "datatype", "f4", "dir", ".", "dfile",
                   name.c_str(), "foff", 0L, "wfid", (long)r + 1, (char *)nullptr);
        }
    }
    return db;
}

double s_fromdb = 0, s_trgetwf = 0;

void BM_create_tsamp_from_db(benchmark::State &state) {
    Dbptr db = wf_db();
    double t = 0;
    for (auto _ : state) {
        char h[64];
        double t0 = cpu_now();
        KOVector2 *v = kovector2_create_tsamp_from_db(db, kT0, kT0 + 3600.0 - 0.01, (char *)"BNCH", (char *)"HHZ", 1,
                                                      1, nullptr, nullptr, nullptr, nullptr, h);
        t += cpu_now() - t0;
        if (!v) state.SkipWithError("load failed");
        kovector2_free(h);
    }
    s_fromdb = t / (double)state.iterations();
    state.SetItemsProcessed(state.iterations() * kRows * kRowSamples);
}

// The same with the vector cache on: what a display that loads window after
// window pays once its first vector is recycled.
double s_fromdb_cached = 0;

void BM_create_tsamp_from_db_cached(benchmark::State &state) {
    Dbptr db = wf_db();
    kovector2_set_cache(64L << 20);
    double t = 0;
    for (auto _ : state) {
        char h[64];
        double t0 = cpu_now();
        KOVector2 *v = kovector2_create_tsamp_from_db(db, kT0, kT0 + 3600.0 - 0.01, (char *)"BNCH", (char *)"HHZ", 1,
                                                      1, nullptr, nullptr, nullptr, nullptr, h);
        t += cpu_now() - t0;
        if (!v) state.SkipWithError("load failed");
        kovector2_free(h);
    }
    kovector2_set_cache(0);
    s_fromdb_cached = t / (double)state.iterations();
    state.SetItemsProcessed(state.iterations() * kRows * kRowSamples);
}

void BM_trgetwf_rows(benchmark::State &state) {
    Dbptr wf = dblookup(wf_db(), nullptr, "wfdisc", nullptr, nullptr);
    float *buf = nullptr;
    long size = 0;
    double t = 0;
    for (auto _ : state) {
        double t0 = cpu_now();
        for (long r = 0; r < kRows; r++) {
            wf.record = r;
            double ts, te;
            long n;
            if (trgetwf(wf, &buf, &size, kT0 - 11, kT0 + 3611, &ts, &te, &n) < 0) state.SkipWithError("trgetwf");
            benchmark::DoNotOptimize(buf);
        }
        t += cpu_now() - t0;
    }
    free(buf);
    s_trgetwf = t / (double)state.iterations();
    state.SetItemsProcessed(state.iterations() * kRows * kRowSamples);
}

/* ------------------------------------------------------------ database expression plots */

const long kOrigins = 100000;
double s_db2vector = 0;

void BM_db2vector(benchmark::State &state) {
    static Dbptr o = dbinvalid();
    if (o.database == dbINVALID) {
        Dbptr db;
        dbopen_memory(&db);
        o = dblookup(db, nullptr, "origin", nullptr, nullptr);
        const char *auths[] = {"NEIC", "ISC", "EMSC", "local", "GFZ"};
        for (long i = 0; i < kOrigins; i++)
            dbaddv(o, nullptr, "lat", -60.0 + (i % 1200) * 0.1, "lon", -180.0 + (i % 3600) * 0.1, "depth",
                   (double)(i % 700), "ml", 1.0 + (i % 60) * 0.1, "mb", 2.0 + (i % 50) * 0.1, "auth", auths[i % 5],
                   "orid", i + 1, "time", kT0 + i * 60.0, (char *)nullptr);
    }
    double t = 0;
    for (auto _ : state) {
        char h[64];
        double t0 = cpu_now();
        KOVector *v = db2vector(o, (char *)"lon", (char *)"lat", (char *)"depth", (char *)"ml", (char *)"mb",
                                (char *)"auth", 180, 240, 1, 8, nullptr, h);
        t += cpu_now() - t0;
        if (!v || v->nx != kOrigins) state.SkipWithError("db2vector failed");
        kovector_free(h);
    }
    s_db2vector = t / (double)state.iterations();
    state.SetItemsProcessed(state.iterations() * kOrigins);
}

BENCHMARK(BM_kovector2_read)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fgets_strtod)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_create_tsamp_from_db)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_create_tsamp_from_db_cached)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_trgetwf_rows)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_db2vector)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (s_read > 0 && s_fgets > 0)
        printf("summary: kovector2_read of %ld lines takes %.2f times the fgets+strtod loop (%.0f ms against %.0f "
               "ms; target <= 2)\n",
               kLines, s_read / s_fgets, s_read * 1e3, s_fgets * 1e3);
    if (s_fromdb > 0 && s_trgetwf > 0)
        printf("summary: kovector2_create_tsamp_from_db of 1 h at 100 sps over %d rows takes %.2f times trgetwf of "
               "the same rows (%.1f ms against %.1f ms)\n",
               kRows, s_fromdb / s_trgetwf, s_fromdb * 1e3, s_trgetwf * 1e3);
    if (s_fromdb_cached > 0 && s_trgetwf > 0)
        printf("summary: the same with the vector cache on takes %.2f times trgetwf (%.2f ms)\n",
               s_fromdb_cached / s_trgetwf, s_fromdb_cached * 1e3);
    if (s_db2vector > 0)
        printf("summary: db2vector with four attribute expressions: %.0f points/s (%ld origins in %.0f ms)\n",
               kOrigins / s_db2vector, kOrigins, s_db2vector * 1e3);
    std::string cmd = "rm -rf '" + workdir() + "'";
    if (workdir() != "/tmp" && system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", workdir().c_str());
    benchmark::Shutdown();
    return 0;
}
