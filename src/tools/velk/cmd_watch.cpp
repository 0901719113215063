// cmd_watch.cpp -- "velk watch": the event view's change monitor on a
// database that other programs write: one line per changed table at each
// look, until Ctrl-C (or a given count or duration).
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "evview.h"
#include "stock.h"
#include "velk.h"

namespace velk {

namespace {

struct WatchArgs {
    std::string db;
    double interval = 1.0;
    long count = 0;
    double duration = 0;
};

struct WatchState {
    std::atomic<long> lines{0};
    long count = 0;
};

const char *change_text(long code) {
    switch (code) {
    case 1: return "rewritten (same row count, newer file)";
    case 2: return "rows added";
    case 3: return "rows removed";
    default: return "changed";
    }
}

// Runs on the monitor thread after every look.
int on_changes(int, KO_ClientData client, void *changes) {
    WatchState *st = static_cast<WatchState *>(client);
    Arr *arr = static_cast<Arr *>(changes);
    Tbl *keys = arr ? keysarr(arr) : nullptr;
    for (long i = 0; i < maxtbl(keys); i++) {
        const char *table = (const char *)gettbl(keys, i);
        long code = (long)(intptr_t)getarr(arr, table);
        printf("%s %s: %s\n", format_time(std_now()).c_str(), table, change_text(code));
        st->lines++;
    }
    freetbl(keys, nullptr);
    fflush(stdout);
    if (st->count > 0 && st->lines >= st->count) kill(getpid(), SIGTERM);
    return 0;
}

int run_watch(const WatchArgs &a) {
    // The signals that end the watch are taken by this thread alone, with
    // sigtimedwait; the monitor thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    auto view = open_event_view(a.db);
    WatchState st;
    st.count = a.count;
    if (view->monitorChangesThread(a.interval, on_changes, &st) < 0) throw Failure("cannot start the monitor");
    fprintf(stderr, "velk watch: watching %s every %g s (Ctrl-C ends)\n", a.db.c_str(), a.interval);
    double end = a.duration > 0 ? std_now() + a.duration : 0;
    int sig = -1;
    while (sig < 0) {
        double left = end > 0 ? end - std_now() : 3600;
        if (end > 0 && left <= 0) break;
        struct timespec ts;
        ts.tv_sec = (time_t)left;
        ts.tv_nsec = (long)((left - (double)ts.tv_sec) * 1e9);
        sig = sigtimedwait(&set, nullptr, &ts);
    }
    view->monitorChangesThread(0, nullptr, nullptr);
    view.reset();  // joins the monitor thread
    fprintf(stderr, "velk watch: stopped after %ld change line%s\n", st.lines.load(), st.lines == 1 ? "" : "s");
    return 0;
}

}  // namespace

void register_watch(CLI::App &app, Registry &reg) {
    auto a = std::make_shared<WatchArgs>();
    CLI::App *sub = app.add_subcommand("watch", "Print a line for every change of a database's event tables");
    sub->add_option("DB", a->db, "The database")->required();
    sub->add_option("--interval", a->interval, "Seconds between two looks")
        ->check(CLI::Range(0.01, 86400.0))
        ->capture_default_str();
    sub->add_option("--count", a->count, "Stop after this many change lines")->check(CLI::PositiveNumber);
    sub->add_option("--duration", a->duration, "Stop after this many seconds")->check(CLI::PositiveNumber);
    sub->footer("Tables watched: event origin origerr assoc arrival wfmeas netmag stamag mt site detection.");
    reg[sub] = [a] { return run_watch(*a); };
}

}  // namespace velk
