// cmd_serve.cpp -- "velk serve DB": a live waveform and event viewer in the
// browser.  Keeps a station-channel view and an event view open on a
// database that other programs keep writing and serves a page and a JSON
// interface over HTTP (loopback by default) until Ctrl-C or SIGTERM, which
// stop the monitor and the server cleanly.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include <httplib.h>

#include "serve_http.h"
#include "serve_views.h"
#include "velk.h"

namespace velk {

namespace {

struct ServeArgs {
    std::string db;
    int port = 8080;
    std::string bind = "127.0.0.1";
    double interval = 1.0;
};

// Worker threads of the server: room for the load of many pages and the
// open notice streams.
constexpr int kWorkers = 72;

int run_serve(const ServeArgs &a) {
    if (a.port < 0 || a.port > 65535) throw UsageError("--port must be from 0 to 65535");
    if (a.bind.empty()) throw UsageError("--bind needs an address");
    if (!(a.interval >= 0.05 && a.interval <= 3600)) throw UsageError("--interval must be from 0.05 to 3600 seconds");

    // Ctrl-C and SIGTERM are taken by one thread with sigwait: blocked here
    // before any thread starts, so every thread inherits the mask.
    sigset_t stopset;
    sigemptyset(&stopset);
    sigaddset(&stopset, SIGINT);
    sigaddset(&stopset, SIGTERM);
    sigaddset(&stopset, SIGUSR1);  // the program's own wake-up of that thread
    sigset_t oldset;
    pthread_sigmask(SIG_BLOCK, &stopset, &oldset);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Views> views;
    try {
        views.reset(new Views(a.db, a.interval));
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &oldset, nullptr);
        throw;
    }
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_timeout(2);
    server.set_keep_alive_max_count(1000);
    server.set_read_timeout(10, 0);
    server.set_write_timeout(10, 0);
    server.set_payload_max_length(64 * 1024);
    std::atomic<int> streams{0};
    install_routes(server, *views, streams);

    int port = a.port;
    bool bound = port == 0 ? (port = server.bind_to_any_port(a.bind)) > 0 : server.bind_to_port(a.bind, port);
    if (!bound) {
        views->stop();
        pthread_sigmask(SIG_SETMASK, &oldset, nullptr);
        throw Failure(strprintf("cannot listen on %s port %d", a.bind.c_str(), a.port));
    }
    std::string host = a.bind.find(':') != std::string::npos ? "[" + a.bind + "]" : a.bind;
    printf("velk serve: %s on http://%s:%d/\n", a.db.c_str(), host.c_str(), port);
    fflush(stdout);
    if (a.bind != "127.0.0.1" && a.bind != "::1" && a.bind != "localhost")
        fprintf(stderr, "velk serve: listening on %s: other machines can read this database\n", a.bind.c_str());

    std::atomic<bool> stopping{false};
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stopset, &sig);
        stopping = true;
        if (sig != SIGUSR1) fprintf(stderr, "velk serve: stopping (%s)\n", sig == SIGINT ? "interrupt" : "terminate");
        views->notices().close();  // ends the open streams
        server.stop();
    });
    bool ok = server.listen_after_bind();
    if (!stopping) pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
    views->stop();
    views.reset();
    pthread_sigmask(SIG_SETMASK, &oldset, nullptr);
    if (!ok && !stopping) throw Failure("the server stopped on an error");
    fprintf(stderr, "velk serve: stopped\n");
    return 0;
}

}  // namespace

void register_serve(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<ServeArgs>();
    CLI::App *sub = app.add_subcommand(
        "serve", "Serve a live waveform and event viewer of a database to a browser (read-only)");
    sub->add_option("DB", a->db, "The database")->required();
    sub->add_option("--port", a->port, "Port to listen on (0: any free port)")->capture_default_str();
    sub->add_option("--bind", a->bind, "Address to listen on")->capture_default_str();
    sub->add_option("--interval", a->interval, "Seconds between two looks for new rows")->capture_default_str();
    reg[sub] = [a] { return run_serve(*a); };
}

}  // namespace velk
