// Waveform decoding speed: reading 10 million s4 and t4 samples of a file
// with trgetwf_file against copying the same bytes with memcpy, in the same
// run.  The file is read once beforehand so both work from memory (the page
// cache); the closing line prints the decode/memcpy throughput ratios.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tr.h"

namespace {

const long kSamples = 10000000;

struct File {
    std::string path;
    std::vector<unsigned char> bytes;
};

File &file(const std::string &dt) {
    static std::map<std::string, File> files;
    File &f = files[dt];
    if (f.path.empty()) {
        char path[] = "/tmp/bench_trgetwf_XXXXXX";
        int fd = mkstemp(path);
        f.path = path;
        f.bytes.resize((size_t)kSamples * 4);
        for (long i = 0; i < kSamples; i++) {
            uint32_t v;
            if (dt == "s4") {
                v = (uint32_t)(int32_t)((i * 7919) % 2000003 - 1000000);
            } else {
                float x = (float)((i * 7919) % 2000003) * 0.001f;
                memcpy(&v, &x, 4);
            }
            unsigned char *p = &f.bytes[(size_t)i * 4];
            p[0] = (unsigned char)(v >> 24);
            p[1] = (unsigned char)(v >> 16);
            p[2] = (unsigned char)(v >> 8);
            p[3] = (unsigned char)v;
        }
        if (fd >= 0) {
            if (write(fd, f.bytes.data(), f.bytes.size()) != (ssize_t)f.bytes.size()) perror("write");
            close(fd);
        }
    }
    return f;
}

std::map<std::string, double> rates;  // bytes per second by benchmark

void BM_memcpy(benchmark::State &state) {
    File &f = file("s4");
    std::vector<unsigned char> dst(f.bytes.size());
    memset(dst.data(), 0, dst.size());
    for (auto _ : state) {
        memcpy(dst.data(), f.bytes.data(), f.bytes.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)f.bytes.size());
}

void decode(benchmark::State &state, const char *dt) {
    File &f = file(dt);
    TrWaveform wf{};
    wf.path = f.path.c_str();
    wf.datatype = dt;
    wf.time = 0.0;
    wf.samprate = 100.0;
    wf.nsamp = kSamples;
    float *data = nullptr;
    long size = 0, n = 0;
    double t0, t1;
    // First call grows the array; the timed calls reuse it, as callers do.
    if (trgetwf_file(&wf, &data, &size, -1.0, 1e12, &t0, &t1, &n) != 0 || n != kSamples) {
        state.SkipWithError("trgetwf_file failed");
        return;
    }
    for (auto _ : state) {
        trgetwf_file(&wf, &data, &size, -1.0, 1e12, &t0, &t1, &n);
        benchmark::DoNotOptimize(data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)f.bytes.size());
    free(data);
}

void BM_trgetwf_s4(benchmark::State &state) { decode(state, "s4"); }
void BM_trgetwf_t4(benchmark::State &state) { decode(state, "t4"); }

// memcpy and decoding alternated within each iteration, so that both see
// the same machine load; the counter is decode speed / memcpy speed.
void paired(benchmark::State &state, const char *dt) {
    File &f = file(dt);
    TrWaveform wf{};
    wf.path = f.path.c_str();
    wf.datatype = dt;
    wf.time = 0.0;
    wf.samprate = 100.0;
    wf.nsamp = kSamples;
    float *data = nullptr;
    long size = 0, n = 0;
    double t0, t1;
    std::vector<unsigned char> dst(f.bytes.size(), 0);
    if (trgetwf_file(&wf, &data, &size, -1.0, 1e12, &t0, &t1, &n) != 0 || n != kSamples) {
        state.SkipWithError("trgetwf_file failed");
        return;
    }
    double tcopy = 0, tdecode = 0;
    using clock = std::chrono::steady_clock;
    for (auto _ : state) {
        auto a = clock::now();
        memcpy(dst.data(), f.bytes.data(), f.bytes.size());
        benchmark::ClobberMemory();
        auto b = clock::now();
        trgetwf_file(&wf, &data, &size, -1.0, 1e12, &t0, &t1, &n);
        benchmark::ClobberMemory();
        auto c = clock::now();
        tcopy += std::chrono::duration<double>(b - a).count();
        tdecode += std::chrono::duration<double>(c - b).count();
    }
    state.counters["vs_memcpy"] = tdecode > 0 ? tcopy / tdecode : 0;
    rates[std::string("paired_") + dt] = tdecode > 0 ? tcopy / tdecode : 0;
    free(data);
}

void BM_paired_s4(benchmark::State &state) { paired(state, "s4"); }
void BM_paired_t4(benchmark::State &state) { paired(state, "t4"); }

BENCHMARK(BM_paired_s4)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_paired_t4)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_trgetwf_s4)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_trgetwf_t4)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rates[r.benchmark_name()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    Summary reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double base = rates["BM_memcpy/min_time:1.000/real_time"];
    for (const char *name : {"BM_trgetwf_s4/min_time:1.000/real_time", "BM_trgetwf_t4/min_time:1.000/real_time"}) {
        if (base > 0 && rates.count(name))
            printf("summary: %s decodes at %.2f of memcpy speed (%.0f MB/s against %.0f MB/s; target >= 0.50)\n",
                   name, rates[name] / base, rates[name] / 1e6, base / 1e6);
    }
    for (const char *dt : {"s4", "t4"})
        printf("summary: %s decoding alternated with memcpy runs at %.2f of memcpy speed (target >= 0.50)\n", dt,
               rates[std::string("paired_") + dt]);
    for (const char *dt : {"s4", "t4"}) unlink(file(dt).path.c_str());
    benchmark::Shutdown();
    return 0;
}
