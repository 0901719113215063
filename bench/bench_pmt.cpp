// Throughput of the thread families against plain alternatives measured in
// the same run:
//   - pmtfifo push + pop, one producer and one consumer thread, unbounded and
//     bounded (maxqueue 64), against a std::mutex + std::condition_variable +
//     std::deque queue with the same one-signal-per-operation discipline;
//   - one pmtcomp pass over 2 workers doing no work, against starting and
//     joining 2 threads (what a pool that persists saves);
//   - managed-FIFO fan-out to 4 consumers (each makes its own copy), against
//     4 plain queues carrying a shared reference-counted item.
// A summary with the ratios is printed after the benchmarks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

#include "pmtcomp.h"
#include "pmtfifo.h"
#include "pmtmanagedfifo.h"

namespace {

constexpr long kItems = 200000;   // per iteration, queue benchmarks
constexpr long kFanItems = 50000; // per iteration, fan-out benchmarks

// The rate (items/s or passes/s) of each round of each benchmark, in order;
// the i-th rounds of a benchmark and of its baseline ran side by side.
std::mutex rates_m;
std::map<std::string, std::vector<double>> rates;

void record(const std::string &name, double rate) {
    std::lock_guard<std::mutex> lk(rates_m);
    rates[name].push_back(rate);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Median of the per-round ratios ours/base, and the medians of both rates.
struct Cmp {
    double ours = 0, base = 0, ratio = 0;
};
Cmp compare(const std::string &ours, const std::string &base) {
    Cmp c;
    const auto &a = rates[ours];
    const auto &b = rates[base];
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); i++) r.push_back(a[i] / b[i]);
    c.ours = median(a);
    c.base = median(b);
    c.ratio = median(r);
    return c;
}

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU seconds of the whole process (all threads): on a loaded machine the
// wall clock mostly measures the scheduler, this measures the work.
double process_cpu() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// The plain queue: one lock, two conditions, one signal per operation.
class BaselineQueue {
public:
    explicit BaselineQueue(size_t maxqueue) : max_(maxqueue) {}
    void push(void *p) {
        std::unique_lock<std::mutex> lk(m_);
        while (max_ > 0 && q_.size() >= max_) room_.wait(lk);
        q_.push_back(p);
        data_.notify_one();
    }
    void *pop() {
        std::unique_lock<std::mutex> lk(m_);
        while (q_.empty()) data_.wait(lk);
        void *p = q_.front();
        q_.pop_front();
        if (max_ > 0) room_.notify_one();
        return p;
    }

private:
    size_t max_;
    std::mutex m_;
    std::condition_variable room_, data_;
    std::deque<void *> q_;
};

void *item(long i) { return reinterpret_cast<void *>(i + 1); }
void *const kStop = reinterpret_cast<void *>(-1L);

void BM_QueueBaseline(benchmark::State &state) {
    const size_t maxqueue = (size_t)state.range(0);
    double secs = 0, cpu0 = process_cpu();
    for (auto _ : state) {
        BaselineQueue q(maxqueue);
        std::atomic<bool> ready{false};
        std::thread consumer([&] {
            ready = true;
            long sum = 0;
            for (;;) {
                void *p = q.pop();
                if (p == kStop) break;
                sum += (long)p;
            }
            benchmark::DoNotOptimize(sum);
        });
        // The clock starts once the consumer runs: thread start-up is not measured.
        while (!ready.load()) std::this_thread::yield();
        auto t0 = Clock::now();
        for (long i = 0; i < kItems; i++) q.push(item(i));
        q.push(kStop);
        consumer.join();
        secs += seconds_since(t0);
    }
    record(std::string("baseline/") + std::to_string(maxqueue), state.iterations() * kItems / secs);
    record(std::string("cpu:baseline/") + std::to_string(maxqueue), state.iterations() * kItems / (process_cpu() - cpu0));
    state.SetItemsProcessed(state.iterations() * kItems);
    state.counters["Mitems/s"] = state.iterations() * kItems / secs / 1e6;
}

void BM_Pmtfifo(benchmark::State &state) {
    const int maxqueue = (int)state.range(0);
    double secs = 0, cpu0 = process_cpu();
    for (auto _ : state) {
        Pmtfifo *f = pmtfifo_create(maxqueue, 1, 0);
        std::atomic<bool> ready{false};
        std::thread consumer([&] {
            ready = true;
            long sum = 0;
            for (;;) {
                void *p;
                if (pmtfifo_pop(f, &p) != 1) continue;
                if (p == kStop) break;
                sum += (long)p;
            }
            benchmark::DoNotOptimize(sum);
        });
        while (!ready.load()) std::this_thread::yield();
        auto t0 = Clock::now();
        for (long i = 0; i < kItems; i++) pmtfifo_push(f, item(i));
        pmtfifo_push(f, kStop);
        consumer.join();
        secs += seconds_since(t0);
        pmtfifo_destroy(f, nullptr);
    }
    record(std::string("pmtfifo/") + std::to_string(maxqueue), state.iterations() * kItems / secs);
    record(std::string("cpu:pmtfifo/") + std::to_string(maxqueue), state.iterations() * kItems / (process_cpu() - cpu0));
    state.SetItemsProcessed(state.iterations() * kItems);
    state.counters["Mitems/s"] = state.iterations() * kItems / secs / 1e6;
}

int64_t no_work(int64_t, int64_t, void *) { return 0; }

void BM_PmtcompPass2(benchmark::State &state) {
    Pmtcomp *m = pmtcomp_create();
    pmtcomp_addthread(m, no_work, 0, 1, nullptr);
    pmtcomp_addthread(m, no_work, 1, 1, nullptr);
    pmtcomp_processthreads(m);  // warm
    long n = 0;
    auto t0 = Clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(pmtcomp_processthreads(m));
        n++;
    }
    record("pmtcomp/pass", n / seconds_since(t0));
    pmtcomp_destroy(m);
    state.counters["us/pass"] = benchmark::Counter((double)n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SpawnJoin2(benchmark::State &state) {
    long n = 0;
    auto t0 = Clock::now();
    for (auto _ : state) {
        std::thread a([] { benchmark::DoNotOptimize(no_work(0, 1, nullptr)); });
        std::thread b([] { benchmark::DoNotOptimize(no_work(1, 1, nullptr)); });
        a.join();
        b.join();
        n++;
    }
    record("spawn/pass", n / seconds_since(t0));
}

// ---------------------------------------------------------------- fan-out

struct Payload {
    long n;
};
void free_payload(void *p) { free(p); }
Hook *make_hook(long n) {
    Hook *h = new_hook(free_payload);
    Payload *p = static_cast<Payload *>(malloc(sizeof(Payload)));
    p->n = n;
    h->p = p;
    return h;
}
Hook *copy_hook(Hook *h) { return make_hook(static_cast<Payload *>(h->p)->n); }

void BM_ManagedFanOut4(benchmark::State &state) {
    static int round = 0;
    double secs = 0, cpu0 = process_cpu();
    for (auto _ : state) {
        std::string name = "bench" + std::to_string(round++);
        Pmtmanagedfifo *m = pmtmanagedfifo_create(const_cast<char *>(name.c_str()));
        std::vector<std::string> names;
        for (int c = 0; c < 4; c++) {
            names.push_back("c" + std::to_string(c));
            pmtmanagedfifo_set_consumer(m, const_cast<char *>(names.back().c_str()), 64, 1);
        }
        std::atomic<int> ready{0};
        std::vector<std::thread> cs;
        for (int c = 0; c < 4; c++)
            cs.emplace_back([&, c] {
                ready++;
                long sum = 0;
                for (;;) {
                    Hook *h;
                    int r = pmtmanagedfifo_pop(m, const_cast<char *>(names[c].c_str()), &h, nullptr);
                    if (r == 4) break;
                    if (r != 1) continue;
                    sum += static_cast<Payload *>(h->p)->n;
                    free_hook(&h);
                }
                benchmark::DoNotOptimize(sum);
            });
        while (ready.load() < 4) std::this_thread::yield();
        auto t0 = Clock::now();
        for (long i = 0; i < kFanItems; i++) pmtmanagedfifo_push(m, make_hook(i), copy_hook, 0);
        pmtmanagedfifo_push_eof(m, nullptr);
        for (auto &t : cs) t.join();
        secs += seconds_since(t0);
        pmtmanagedfifo_destroy(m);
    }
    record("managed/4", state.iterations() * kFanItems / secs);
    record("cpu:managed/4", state.iterations() * kFanItems / (process_cpu() - cpu0));
    state.SetItemsProcessed(state.iterations() * kFanItems);
    state.counters["items/s"] = state.iterations() * kFanItems / secs;
}

struct Shared {
    Hook *h;
    std::atomic<int> refs;
};

void BM_BaselineFanOut4(benchmark::State &state) {
    double secs = 0, cpu0 = process_cpu();
    for (auto _ : state) {
        std::vector<BaselineQueue *> qs;
        for (int c = 0; c < 4; c++) qs.push_back(new BaselineQueue(64));
        std::atomic<int> ready{0};
        std::vector<std::thread> cs;
        for (int c = 0; c < 4; c++)
            cs.emplace_back([&, c] {
                ready++;
                long sum = 0;
                for (;;) {
                    void *p = qs[c]->pop();
                    if (!p) break;
                    Shared *s = static_cast<Shared *>(p);
                    Hook *h = copy_hook(s->h);
                    if (--s->refs == 0) {
                        free_hook(&s->h);
                        delete s;
                    }
                    sum += static_cast<Payload *>(h->p)->n;
                    free_hook(&h);
                }
                benchmark::DoNotOptimize(sum);
            });
        while (ready.load() < 4) std::this_thread::yield();
        auto t0 = Clock::now();
        for (long i = 0; i < kFanItems; i++) {
            Shared *s = new Shared{make_hook(i), {4}};
            for (auto *q : qs) q->push(s);
        }
        for (auto *q : qs) q->push(nullptr);
        for (auto &t : cs) t.join();
        secs += seconds_since(t0);
        for (auto *q : qs) delete q;
    }
    record("baselinefan/4", state.iterations() * kFanItems / secs);
    record("cpu:baselinefan/4", state.iterations() * kFanItems / (process_cpu() - cpu0));
    state.SetItemsProcessed(state.iterations() * kFanItems);
    state.counters["items/s"] = state.iterations() * kFanItems / secs;
}

// Each pair alternates round by round, so that both sides see the same
// machine (shared machines are noisy); the summary takes the best round.
void register_all() {
    const int rounds = 7;
    for (int r = 0; r < rounds; r++) {
        std::string tag = "/round:" + std::to_string(r);
        for (int bound : {0, 64}) {
            benchmark::RegisterBenchmark(("BM_QueueBaseline" + tag).c_str(), BM_QueueBaseline)
                ->Arg(bound)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("BM_Pmtfifo" + tag).c_str(), BM_Pmtfifo)
                ->Arg(bound)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
        }
    }
    for (int r = 0; r < 5; r++) {
        std::string tag = "/round:" + std::to_string(r);
        benchmark::RegisterBenchmark(("BM_PmtcompPass2" + tag).c_str(), BM_PmtcompPass2)
            ->UseRealTime()->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_SpawnJoin2" + tag).c_str(), BM_SpawnJoin2)
            ->UseRealTime()->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_ManagedFanOut4" + tag).c_str(), BM_ManagedFanOut4)
            ->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_BaselineFanOut4" + tag).c_str(), BM_BaselineFanOut4)
            ->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char **argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printf("\nsummary (medians over the rounds; ratio = median of the per-round ratios):\n");
    for (const char *bound : {"0", "64"}) {
        Cmp c = compare(std::string("pmtfifo/") + bound, std::string("baseline/") + bound);
        Cmp u = compare(std::string("cpu:pmtfifo/") + bound, std::string("cpu:baseline/") + bound);
        printf("  pmtfifo push+pop 1 producer 1 consumer, maxqueue %-2s: %.2f Mitems/s; baseline queue %.2f Mitems/s; "
               "ratio %.2f (per CPU second: %.2f vs %.2f M, ratio %.2f)\n",
               bound, c.ours / 1e6, c.base / 1e6, c.ratio, u.ours / 1e6, u.base / 1e6, u.ratio);
    }
    Cmp p = compare("pmtcomp/pass", "spawn/pass");
    printf("  pmtcomp pass over 2 idle workers: %.2f us; starting and joining 2 threads: %.2f us; pass %.1fx faster\n",
           1e6 / p.ours, 1e6 / p.base, p.ratio);
    Cmp f = compare("managed/4", "baselinefan/4");
    Cmp fu = compare("cpu:managed/4", "cpu:baselinefan/4");
    printf("  managed fan-out to 4 consumers: %.0f items/s; 4 plain queues: %.0f items/s; ratio %.2f (per CPU second: "
           "ratio %.2f)\n",
           f.ours, f.base, f.ratio, fu.ratio);
    return 0;
}
