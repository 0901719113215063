// The velk tool's speed: "velk trace --svg" of one hour of one channel at
// 100 samples per second, run as the program (process start included) and
// as its drawing steps in this process, against reading the same samples
// with trgetwf alone, in the same run.  The closing lines print the times
// in milliseconds and the ratios.
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
    Dbptr db;
    dbopen((dir() + "/hour").c_str(), "r", &db);
    double t = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        double t0 = now();
        std::vector<velk::ChannelSegment> segs;
        velk::read_channel(db, "HR1", "HHZ", kT0, kT0 + 3600, false, &segs);
        velk::Panel p;
        p.label = "HR1 HHZ";
        for (auto &s : segs) p.segments.push_back(s.seg);
        std::string svg = velk::panels_svg({p}, kT0, kT0 + 3599.99, kT0, "HR1 HHZ");
        velk::write_file(dir() + "/inproc.svg", svg);
        bytes = svg.size();
        t += now() - t0;
    }
    dbclose(db);
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

BENCHMARK(BM_TrgetwfHour)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TraceSvgInProcess)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TraceSvgProgram)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    return 0;
}
