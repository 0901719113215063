// A monitor's life in small: a forked writer keeps appending waveform,
// origin and detection rows to a database with the engine's writers, while
// this process keeps a station-channel view and an event view open on it,
// rebuilding the view's cache and refreshing the event lists whenever the
// event view's monitor thread reports a change.  Nothing may crash, file
// descriptors and resident memory must stay bounded, and every appended row
// must be seen by both views in the end.
//
// The default run lasts about 20 s (6 s under ThreadSanitizer);
// RZV_SOAK_SECONDS sets another length (up to 3600).
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <string>
#include <thread>

#include "KOEventView.h"
#include "koscv.h"
#include "rzvtest.h"
#include "threadtest.h"

namespace {

constexpr double T0 = 1262347200.0;  // 2010-01-01 12:00:00
constexpr int kStations = 5;
constexpr long kInitial = 3;  // rows of each kind before the writer starts

// Sanitized builds hold freed memory back (quarantine, shadow, history):
// their resident size says nothing about the library's, so only the plain
// build bounds it.
#if defined(__SANITIZE_THREAD__)
constexpr double kDefaultSeconds = 6;
constexpr bool kSanitized = true;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kDefaultSeconds = 20;
constexpr bool kSanitized = true;
#else
constexpr double kDefaultSeconds = 20;
constexpr bool kSanitized = false;
#endif

double soak_seconds() {
    const char *e = getenv("RZV_SOAK_SECONDS");
    if (!e || !*e) return kDefaultSeconds;
    double s = atof(e);
    if (!(s >= 1)) return kDefaultSeconds;
    return s > 3600 ? 3600 : s;
}

long open_fds() {
    long n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

// Resident memory in kB from /proc/self/status: "VmRSS", "RssAnon" (heap
// and other private memory) or "RssFile" (mapped files).
long resident_kb(const char *what = "VmRSS") {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(what);
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, what, n) && line[n] == ':') kb = atol(line + n + 1);
    fclose(f);
    return kb;
}

void station(long i, char *sta) { snprintf(sta, 8, "S%ld", i % kStations); }

// Row i of each kind, as the writer appends it.
bool add_rows(Dbptr db, long i) {
    char sta[8];
    station(i, sta);
    double t = T0 + 10.0 * (double)i;
    Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    Dbptr org = dblookup(db, nullptr, "origin", nullptr, nullptr);
    Dbptr det = dblookup(db, nullptr, "detection", nullptr, nullptr);
    return dbaddv(wf, nullptr, "sta", sta, "chan", "BHZ", "time", t, "endtime", t + 9.975, "nsamp", 400L, "samprate",
                  40.0, "datatype", "s4", "dir", ".", "dfile", "none.w", "wfid", i + 1, (char *)nullptr) >= 0 &&
           dbaddv(org, nullptr, "orid", i + 1, "evid", -1L, "time", t, "lat", 10.0, "lon", 20.0, "depth", 10.0,
                  "ndef", 5L, "nass", 5L, (char *)nullptr) >= 0 &&
           dbaddv(det, nullptr, "srcid", "soak", "sta", sta, "chan", "BHZ", "time", t + 1.0, "state", "P",
                  (char *)nullptr) >= 0;
}

// The writer: appends one row of each kind every few milliseconds for
// `seconds`, then reports the count on fd and ends.
[[noreturn]] void writer(const std::string &name, double seconds, int fd) {
    Dbptr db;
    long n = kInitial;
    if (dbopen(name.c_str(), "r+", &db) == 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (!add_rows(db, n)) break;
            n++;
            usleep(n % 50 == 0 ? 200000 : 15000);  // now and then a quiet spell
        }
        dbclose(db);
    }
    long written = n - kInitial;
    ssize_t w = write(fd, &written, sizeof written);
    _exit(w == (ssize_t)sizeof written ? 0 : 1);
}

// What the monitor thread tells the owner.
struct Changes {
    std::mutex m;
    std::condition_variable cv;
    long looks = 0;
    long changed = 0;  // looks that found a change
};

int on_look(int, KO_ClientData data, void *arr) {
    auto *c = static_cast<Changes *>(data);
    bool any = arr && cntarr(static_cast<Arr *>(arr)) > 0;
    std::lock_guard<std::mutex> l(c->m);
    c->looks++;
    if (any) c->changed++;
    c->cv.notify_all();
    return 0;
}

// Rows of the cache of a station-channel view.
void cached_rows(const char *handle, long *wfdisc, long *detection) {
    *wfdisc = *detection = 0;
    KOSCV *scv = koscv_get((char *)handle);
    if (!scv || !scv->stachans_tbl) return;
    for (long i = 0; i < maxtbl(scv->stachans_tbl); i++) {
        auto *sc = static_cast<KOSCVStaChan *>(getarr(scv->stachans_arr, (char *)gettbl(scv->stachans_tbl, i)));
        if (!sc) continue;
        *wfdisc += maxtbl(sc->wfdiscrows);
        *detection += maxtbl(sc->detectionrows);
    }
}

}  // namespace

TEST(SoakThread, ViewsFollowAnAppendingWriter) {
    const double seconds = soak_seconds();
    rzvtest::Watchdog dog("soak", std::chrono::seconds((long)(seconds * 3) + 90));
    rzvtest::TempDir dir;
    std::string name = dir.file("soak");
    {
        Dbptr db;
        ASSERT_EQ(dbopen(name.c_str(), "r+", &db), 0);
        for (long i = 0; i < kInitial; i++) ASSERT_TRUE(add_rows(db, i)) << rzvtest::all_messages();
        dbclose(db);
    }

    // The writer is forked before this process starts any thread.
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipefd[0]);
        writer(name, seconds, pipefd[1]);
    }
    close(pipefd[1]);

    char handle[64] = "";
    std::string dbname = name;
    char *argv[] = {(char *)"-nthreads", (char *)"2", &dbname[0]};
    ASSERT_EQ(koscv_create(3, argv, handle), 0) << rzvtest::all_messages();
    KOEventView view(nullptr);
    ASSERT_EQ(view.configure("dbname", name.c_str(), (char *)0), 0) << rzvtest::all_messages();
    Tbl *events = nullptr, *detections = nullptr;
    ASSERT_EQ(view.refreshEvents(&events), 0) << rzvtest::all_messages();
    ASSERT_EQ(view.refreshDetections(&detections, T0 - 100, T0 + 1e8), 0) << rzvtest::all_messages();
    Changes changes;
    ASSERT_EQ(view.monitorChangesThread(0.05, on_look, &changes), 0);

    const long fds0 = open_fds(), rss0 = resident_kb(), anon0 = resident_kb("RssAnon"),
               file0 = resident_kb("RssFile");
    long rebuilds = 0, wf = 0, det = 0, evs = 0, dets = 0;
    long written = -1;
    bool writer_ok = false;
    auto refresh = [&] {
        ASSERT_EQ(koscv_create_cache(handle), 0) << rzvtest::all_messages();
        ASSERT_EQ(view.refreshEvents(&events), 0) << rzvtest::all_messages();
        ASSERT_EQ(view.refreshDetections(&detections, T0 - 100, T0 + 1e8), 0) << rzvtest::all_messages();
        elog_clear_register(0);
        rebuilds++;
        cached_rows(handle, &wf, &det);
        evs = maxtbl(events);
        dets = maxtbl(detections);
    };
    auto all_seen = [&] {
        long want = kInitial + written;
        return written >= 0 && wf == want && det == want && evs == want && dets == want;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds + 60);
    long seen_changes = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::unique_lock<std::mutex> l(changes.m);
            changes.cv.wait_for(l, std::chrono::milliseconds(500), [&] { return changes.changed != seen_changes; });
            seen_changes = changes.changed;
        }
        refresh();
        if (HasFatalFailure()) break;
        if (getenv("RZV_SOAK_TRACE") && rebuilds % 25 == 0)
            printf("soak: rebuild %ld rows %ld resident %ld kB\n", rebuilds, wf, resident_kb());
        if (written < 0) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                writer_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
                if (read(pipefd[0], &written, sizeof written) != (ssize_t)sizeof written) written = 0;
                pid = -1;
            }
        }
        if (all_seen()) break;
    }
    ASSERT_EQ(view.monitorChangesThread(0, nullptr, nullptr), 0);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(pipefd[0]);
    const long fds1 = open_fds(), rss1 = resident_kb(), anon1 = resident_kb("RssAnon"),
               file1 = resident_kb("RssFile");
    long looks;
    {
        std::lock_guard<std::mutex> l(changes.m);
        looks = changes.looks;
    }
    printf("soak: %.0f s, %ld rows of each kind appended, %ld rebuilds, %ld monitor looks (%ld with changes)\n"
           "soak: seen wfdisc %ld, detection %ld (view cache), events %ld, detections %ld (event view)\n"
           "soak: file descriptors %ld -> %ld, resident %ld kB -> %ld kB (private %ld -> %ld, mapped files %ld -> "
           "%ld)\n",
           seconds, written, rebuilds, looks, seen_changes, wf, det, evs, dets, fds0, fds1, rss0, rss1, anon0, anon1,
           file0, file1);

    EXPECT_TRUE(writer_ok);
    EXPECT_GT(written, 0);
    EXPECT_TRUE(all_seen()) << "want " << kInitial + written << " of each";
    EXPECT_GT(rebuilds, 2);
    // Generous bounds: what should grow with the rows is the rows
    // themselves.  The views' own (private) memory is held close; the
    // engine keeps every superseded mapping of a grown table file until the
    // table is closed, so mapped memory grows with rows x refreshes and the
    // total bound holds for the default length only.
    EXPECT_LE(fds1, fds0 + 4);
    if (!kSanitized) {
        EXPECT_LE(anon1, anon0 + 32 * 1024);
        EXPECT_LE(rss1, rss0 + 160 * 1024);
    }
    view.freeEvents(events);
    view.freeDetections(detections);
    EXPECT_EQ(koscv_destroy(handle), 0);
}
