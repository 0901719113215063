// Figures of "velk serve": the windowed samples request for one hour of one
// channel at 100 samples per second reduced to 1,500 columns, against
// reading the same samples with trgetwf in the same run (the two timed
// alternately, so both see the same machine load), in-process and over
// loopback HTTP; and channel-list requests per second with 50 clients.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "db.h"
#include "demo_db.h"
#include "serve_http.h"
#include "serve_views.h"
#include "tr.h"

namespace {

using Clock = std::chrono::steady_clock;
const double kT0 = 1.7e9;
const long kN = 360000;  // an hour at 100 sps

// The demo database with an hour-long 100 sps channel HR1 HHZ added.
struct Fixture {
    std::string dir, db;
    std::unique_ptr<velk::Views> views;
    httplib::Server server;
    std::thread thread;
    std::atomic<int> streams{0};
    int port = 0;

    Fixture() {
        char tmpl[] = "/tmp/bench_velk_serve_XXXXXX";
        dir = mkdtemp(tmpl);
        db = dir + "/demo";
        velk::build_demo_database(dir);
        std::vector<unsigned char> bytes((size_t)kN * 4);
        for (long k = 0; k < kN; k++) {
            int32_t v = (int32_t)(1000 * std::sin(k * 0.05) + (k % 7) * 10);
            for (int b = 0; b < 4; b++) bytes[(size_t)(4 * k + b)] = (unsigned char)((uint32_t)v >> (24 - 8 * b));
        }
        FILE *fp = fopen((dir + "/hour.s4").c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), fp);
        fclose(fp);
        Dbptr d;
        dbopen(db.c_str(), "r+", &d);
        dbaddv(dblookup(d, 0, "wfdisc", 0, 0), 0, "sta", "HR1", "chan", "HHZ", "time", kT0, "endtime",
               kT0 + (kN - 1) / 100.0, "nsamp", kN, "samprate", 100.0, "datatype", "s4", "dir", dir.c_str(), "dfile",
               "hour.s4", "foff", 0L, (char *)0);
        dbclose(d);
        views.reset(new velk::Views(db, 1.0));
        server.new_task_queue = [] { return new httplib::ThreadPool(72); };
        server.set_tcp_nodelay(true);
        server.set_keep_alive_max_count(1000);
        velk::install_routes(server, *views, streams);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~Fixture() {
        server.stop();
        thread.join();
        views.reset();
        std::system(("rm -rf " + dir).c_str());
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

// trgetwf of the whole hour from the channel's row.
double time_trgetwf(Dbptr wf, float **buf, long *cap) {
    double ts, te;
    long ns;
    auto t = Clock::now();
    int rc = trgetwf(wf, buf, cap, kT0, kT0 + 3600, &ts, &te, &ns);
    double s = std::chrono::duration<double>(Clock::now() - t).count();
    if (rc < 0 || ns != kN) {
        fprintf(stderr, "trgetwf: %d, %ld samples\n", rc, ns);
        std::exit(1);
    }
    return s;
}

Dbptr hour_row(Dbptr *d) {
    dbopen(fixture().db.c_str(), "r", d);
    Dbptr wf = dblookup(*d, 0, "wfdisc", 0, 0);
    long n = 0;
    dbquery(wf, dbRECORD_COUNT, &n);
    wf.record = n - 1;
    return wf;
}

void paired(benchmark::State &state, bool http) {
    Fixture &f = fixture();
    Dbptr d;
    Dbptr wf = hour_row(&d);
    float *buf = nullptr;
    long cap = 0;
    httplib::Client client("127.0.0.1", f.port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    char path[256];
    snprintf(path, sizeof path, "/api/samples?sta=HR1&chan=HHZ&t0=%.3f&t1=%.3f&width=1500", kT0, kT0 + 3600);
    double base = 0, req = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        base += time_trgetwf(wf, &buf, &cap);
        auto t = Clock::now();
        if (http) {
            auto r = client.Get(path);
            if (!r || r->status != 200) state.SkipWithError("the request failed");
            else bytes = r->body.size();
        } else {
            std::string body = f.views->samples_json("HR1", "HHZ", kT0, kT0 + 3600, 1500);
            bytes = body.size();
        }
        req += std::chrono::duration<double>(Clock::now() - t).count();
    }
    free(buf);
    dbclose(d);
    state.counters["trgetwf_ms"] = 1e3 * base / state.iterations();
    state.counters["request_ms"] = 1e3 * req / state.iterations();
    state.counters["ratio"] = req / base;
    state.counters["reply_bytes"] = (double)bytes;
}

void BM_hour_1500_columns_vs_trgetwf(benchmark::State &state) { paired(state, false); }
void BM_hour_1500_columns_http_vs_trgetwf(benchmark::State &state) { paired(state, true); }

// 50 clients, keep-alive, asking for the channel list as fast as they can.
void BM_channel_list_50_clients(benchmark::State &state) {
    Fixture &f = fixture();
    const int clients = 50, each = 200;
    double total = 0;
    long requests = 0, errors = 0;
    for (auto _ : state) {
        std::atomic<long> bad{0};
        std::vector<std::thread> threads;
        auto t = Clock::now();
        for (int c = 0; c < clients; c++)
            threads.emplace_back([&] {
                httplib::Client cl("127.0.0.1", f.port);
                cl.set_keep_alive(true);
                cl.set_tcp_nodelay(true);
                cl.set_read_timeout(30);
                cl.set_connection_timeout(30);
                for (int i = 0; i < each; i++) {
                    auto r = cl.Get("/api/channels");
                    if (!r || r->status != 200) {
                        if (bad++ == 0)
                            fprintf(stderr, "channel list: %s\n",
                                    r ? std::to_string(r->status).c_str() : httplib::to_string(r.error()).c_str());
                    }
                }
            });
        for (auto &th : threads) th.join();
        total += std::chrono::duration<double>(Clock::now() - t).count();
        requests += clients * each;
        errors += bad;
    }
    state.counters["requests_per_s"] = requests / total;
    state.counters["errors"] = (double)errors;
}

BENCHMARK(BM_hour_1500_columns_vs_trgetwf)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_hour_1500_columns_http_vs_trgetwf)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_channel_list_50_clients)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
