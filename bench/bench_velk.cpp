// The velk tool's speed, in one run:
//  - "velk trace --svg" of one hour of one channel at 100 samples per
//    second, run as the program (process start included) and as its drawing
//    steps in this process, against reading the same samples with trgetwf;
//  - "velk channels" on a 1,000,000-row wfdisc (1000 stations, 5 channels,
//    hour segments) with 100,000-row arrival and detection tables, run as
//    the program with 2 workers, against the library call alone (the view's
//    cache build with 2 workers and a walk over its pairs) in this process.
// The closing lines print the times in milliseconds and the ratios.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "db.h"
#include "koscv.h"
#include "pictures.h"
#include "tr.h"
#include "velk.h"
#include "wfread.h"

extern char **environ;

namespace {

const long kHour = 360000;  // one hour at 100 samples per second
const double kT0 = 1.7e9;

std::string &dir() {
    static std::string d;
    if (d.empty()) {
        char tmpl[] = "/tmp/bench_velk_XXXXXX";
        d = mkdtemp(tmpl) ? tmpl : "/tmp";
        std::vector<unsigned char> bytes((size_t)kHour * 4);
        for (long k = 0; k < kHour; k++) {
            int32_t v = (int32_t)(2000 * std::sin(k * 0.031) + 300 * std::sin(k * 0.0007) + (k * 7919) % 97);
            for (int b = 0; b < 4; b++) bytes[(size_t)(4 * k + b)] = (unsigned char)((uint32_t)v >> (24 - 8 * b));
        }
        FILE *fp = fopen((d + "/hour.s4").c_str(), "wb");
        if (fp) {
            fwrite(bytes.data(), 1, bytes.size(), fp);
            fclose(fp);
        }
        Dbptr db;
        if (dbopen((d + "/hour").c_str(), "r+", &db) == 0) {
            dbaddv(dblookup(db, 0, "wfdisc", 0, 0), 0, "sta", "HR1", "chan", "HHZ", "time", kT0, "endtime",
                   kT0 + (kHour - 1) / 100.0, "nsamp", kHour, "samprate", 100.0, "calib", 1.0, "datatype", "s4",
                   "dir", ".", "dfile", "hour.s4", "foff", 0L, (char *)0);
            dbclose(db);
        }
    }
    return d;
}

std::map<std::string, double> ms;  // milliseconds per iteration by benchmark

void record(benchmark::State &state, const char *name, double seconds) {
    ms[name] = seconds * 1e3 / (double)state.iterations();
    state.counters["ms"] = ms[name];
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// trgetwf of the hour: the floor, reading and decoding the samples.
void BM_TrgetwfHour(benchmark::State &state) {
    Dbptr db;
    dbopen((dir() + "/hour").c_str(), "r", &db);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    wf.record = 0;
    float *buf = nullptr;
    long cap = 0;
    double t = 0;
    for (auto _ : state) {
        double t0 = now(), ts, te;
        long ns = 0;
        trgetwf(wf, &buf, &cap, kT0, kT0 + 3600, &ts, &te, &ns);
        benchmark::DoNotOptimize(buf);
        t += now() - t0;
    }
    free(buf);
    dbclose(db);
    record(state, "trgetwf", t);
}

// What "velk trace --svg" does, in this process: read, list, draw, write.
void BM_TraceSvgInProcess(benchmark::State &state) {
    double t = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        double t0 = now();
        std::vector<velk::ChannelSegment> segs;
        velk::ChannelReader reader(dir() + "/hour", kT0, kT0 + 3600, 1, "HR1:HHZ");
        reader.read("HR1", "HHZ", kT0, kT0 + 3600, false, false, &segs);
        velk::Panel p;
        p.label = "HR1 HHZ";
        for (auto &s : segs) p.segments.push_back(s.seg);
        std::string svg = velk::panels_svg({p}, kT0, kT0 + 3599.99, kT0, "HR1 HHZ");
        velk::write_file(dir() + "/inproc.svg", svg);
        bytes = svg.size();
        t += now() - t0;
    }
    state.counters["svg_bytes"] = (double)bytes;
    record(state, "inprocess", t);
}

// The program itself, process start and all.
void BM_TraceSvgProgram(benchmark::State &state) {
    std::string db = dir() + "/hour", out = dir() + "/prog.svg";
    std::vector<std::string> words = {VELK_BIN, "trace", db, "HR1", "HHZ", "1.7e9", "1700003600", "--svg", out};
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    double t = 0;
    for (auto _ : state) {
        double t0 = now();
        pid_t pid;
        int status = 0;
        if (posix_spawn(&pid, VELK_BIN, &fa, nullptr, argv.data(), environ) != 0 || waitpid(pid, &status, 0) < 0 ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("velk trace failed");
            break;
        }
        t += now() - t0;
    }
    posix_spawn_file_actions_destroy(&fa);
    struct stat st;
    if (stat(out.c_str(), &st) == 0) state.counters["svg_bytes"] = (double)st.st_size;
    record(state, "program", t);
}

// ---------------------------------------------------------------- channels

const long kRows = 1000000, kPicks = 100000;
const char *kChans[] = {"BHZ", "BHN", "BHE", "HHZ", "LHZ"};

std::string station(int s) {
    char b[8];
    snprintf(b, sizeof b, "%s%03d", s % 2 ? "XY" : "AB", s / 2);
    return b;
}

// The station-channel benchmark's database, written once.
const std::string &big_db() {
    static std::string db;
    if (!db.empty()) return db;
    db = dir() + "/big";
    FILE *wf = fopen((db + ".wfdisc").c_str(), "w");
    FILE *ar = fopen((db + ".arrival").c_str(), "w");
    FILE *de = fopen((db + ".detection").c_str(), "w");
    if (!wf || !ar || !de) {
        perror("bench_velk");
        exit(1);
    }
    long id = 1;
    for (long k = 0; id <= kRows; k++)
        for (int s = 0; s < 1000 && id <= kRows; s++)
            for (int c = 0; c < 5 && id <= kRows; c++, id++) {
                double t = kT0 + (double)k * 3600.0;
                fprintf(wf,
                        "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s "
                        "%-1.1s %-64.64s %-32.32s %10ld %8ld %-17.17s\n",
                        station(s).c_str(), kChans[c], t, id, -1L, 2023318L, t + 3599.975, 144000L, 40.0, 1.0, 1.0,
                        "-", "o", "s4", "-", ".", "file.w", 0L, -1L, "-");
            }
    for (long i = 0; i < kPicks; i++) {
        int s = (int)(i % 1000), c = (int)(i / 1000 % 5);
        double t = kT0 + (double)i * 7.3;
        fprintf(ar,
                "%-6.6s %17.5f %8ld %8ld %8ld %8ld %-8.8s %-8.8s %-1.1s %6.3f %7.2f %7.2f %7.2f %7.2f %7.2f %7.3f "
                "%10.1f %7.2f %7.2f %-1.1s %-2.2s %10.2f %-1.1s %-15.15s %8ld %-17.17s\n",
                station(s).c_str(), t, i + 1, 2023318L, -1L, -1L, kChans[c], "P", "-", -1.0, -1.0, -1.0, -1.0, -1.0,
                -1.0, -1.0, -1.0, -1.0, -999.0, "-", "-", -1.0, "-", "-", -1L, "-");
        fprintf(de, "%-64.64s %-8.8s %-6.6s %-8.8s %17.5f %8ld %-15.15s %-30.30s %-8.8s %10.2f %-17.17s\n", "det",
                "-", station(s).c_str(), kChans[c], t + 1, -1L, "-", "-", "ON", -1.0, "-");
    }
    fclose(wf);
    fclose(ar);
    fclose(de);
    return db;
}

// The library call alone: the view with 2 workers, every pair visited.
void BM_ChannelsLibrary(benchmark::State &state) {
    std::string db = big_db();
    double t = 0;
    long pairs = 0;
    for (auto _ : state) {
        double t0 = now();
        std::string o1 = "-nthreads", n = "2", name = db;
        char *argv[] = {&o1[0], &n[0], &name[0], nullptr};
        char h[64] = "";
        if (koscv_create(3, argv, h) < 0) {
            state.SkipWithError("koscv_create failed");
            break;
        }
        KOSCV *scv = koscv_get(h);
        pairs = 0;
        for (long i = 0; i < maxtbl(scv->stachans_tbl); i++) {
            KOSCVStaChan *sc = (KOSCVStaChan *)getarr(scv->stachans_arr, (char *)gettbl(scv->stachans_tbl, i));
            pairs += sc && maxtbl(sc->wfdiscrows) > 0;
        }
        koscv_destroy(h);
        t += now() - t0;
    }
    state.counters["pairs"] = (double)pairs;
    record(state, "channels_library", t);
}

void BM_ChannelsProgram(benchmark::State &state) {
    std::vector<std::string> words = {VELK_BIN, "channels", big_db(), "--threads", "2"};
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    double t = 0;
    for (auto _ : state) {
        double t0 = now();
        pid_t pid;
        int status = 0;
        if (posix_spawn(&pid, VELK_BIN, &fa, nullptr, argv.data(), environ) != 0 || waitpid(pid, &status, 0) < 0 ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("velk channels failed");
            break;
        }
        t += now() - t0;
    }
    posix_spawn_file_actions_destroy(&fa);
    record(state, "channels_program", t);
}

BENCHMARK(BM_TrgetwfHour)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TraceSvgInProcess)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TraceSvgProgram)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ChannelsLibrary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ChannelsProgram)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (ms.count("trgetwf") && ms.count("inprocess") && ms.count("program"))
        printf("velk trace --svg, one hour at 100 samples/s: %.1f ms as the program, %.1f ms in process; "
               "trgetwf alone %.1f ms (ratios %.1f and %.1f)\n",
               ms["program"], ms["inprocess"], ms["trgetwf"], ms["program"] / ms["trgetwf"],
               ms["inprocess"] / ms["trgetwf"]);
    if (ms.count("channels_library") && ms.count("channels_program"))
        printf("velk channels, 1,000,000 wfdisc rows, 2 workers: %.0f ms as the program, %.0f ms the library call "
               "alone (ratio %.2f)\n",
               ms["channels_program"], ms["channels_library"], ms["channels_program"] / ms["channels_library"]);
    return 0;
}
