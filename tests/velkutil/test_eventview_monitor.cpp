// The event view's change monitoring: the change test and its codes, and the
// monitor thread watching a database that a second process appends to,
// rewrites, shortens and removes, with re-configuration, stop, restart and
// destruction while it sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KOEventView.h"
#include "rzvtest.h"
#include "test_eventview_db.h"
#include "threadtest.h"

using evdb::EventDb;
using evdb::T0;
using rzvtest::has_message;

namespace {

const bool hang_guard_installed = rzvtest::bound_every_test(std::chrono::seconds(60));

// The text of an origin row, made with the engine's writers in memory.
std::string origin_row(long orid, double time) {
    Dbptr db;
    dbopen_memory(&db);
    Dbptr o = dblookup(db, 0, "origin", 0, 0);
    o.record = dbaddv(o, 0, "orid", orid, "evid", 1L, "time", time, "lat", 1.0, "lon", 2.0, "depth", 3.0,
                      "lddate", T0, (char *)0);
    char buf[512] = {0};
    dbget(o, buf);
    dbclose(db);
    return buf;
}

// A second process that changes the origin table's file on command, with
// plain system calls only: 'a' appends a row, 'r' rewrites the first row in
// place (its file time moved one second on), 't' keeps only the first row,
// 'd' removes the file, 'q' ends.  Each command is acknowledged.
class Writer {
public:
    explicit Writer(const std::string &file) {
        std::string row1 = origin_row(77, T0 + 77) + "\n", row2 = origin_row(78, T0 + 78) + "\n";
        int cmd[2], ack[2];
        if (pipe(cmd) != 0 || pipe(ack) != 0) return;
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(cmd[1]);
            close(ack[0]);
            char c;
            while (read(cmd[0], &c, 1) == 1 && c != 'q') {
                int fd = open(file.c_str(), O_WRONLY | O_APPEND);
                if (c == 'a') {
                    if (write(fd, row1.data(), row1.size()) != (ssize_t)row1.size()) _exit(2);
                } else if (c == 'r') {
                    struct stat st;
                    close(fd);
                    fd = open(file.c_str(), O_WRONLY);
                    if (pwrite(fd, row2.data(), row2.size(), 0) != (ssize_t)row2.size()) _exit(3);
                    fstat(fd, &st);
                    struct timespec ts[2] = {st.st_mtim, st.st_mtim};
                    ts[0].tv_sec += 1;
                    ts[1].tv_sec += 1;
                    futimens(fd, ts);
                } else if (c == 't') {
                    if (ftruncate(fd, (off_t)row1.size()) != 0) _exit(4);
                } else if (c == 'd') {
                    unlink(file.c_str());
                }
                if (fd >= 0) close(fd);
                if (write(ack[1], &c, 1) != 1) _exit(5);
            }
            _exit(0);
        }
        close(cmd[0]);
        close(ack[1]);
        cmd_ = cmd[1];
        ack_ = ack[0];
    }
    ~Writer() {
        if (pid_ <= 0) return;
        char q = 'q';
        if (write(cmd_, &q, 1) != 1) kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
        close(cmd_);
        close(ack_);
    }
    bool operator()(char c) {
        char back = 0;
        return pid_ > 0 && write(cmd_, &c, 1) == 1 && read(ack_, &back, 1) == 1 && back == c;
    }

private:
    pid_t pid_ = -1;
    int cmd_ = -1, ack_ = -1;
};

using Changes = std::map<std::string, long>;

Changes contents(Arr *a) {
    Changes out;
    Tbl *keys = keysarr(a);
    for (long i = 0; i < maxtbl(keys); i++) {
        const char *k = (const char *)gettbl(keys, i);
        out[k] = (long)(intptr_t)getarr(a, k);
    }
    freetbl(keys, 0);
    return out;
}

// What the callback saw, call by call.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<Recorder *, Changes>> calls;
    KOEventView *view = nullptr;
    std::atomic<int> refreshed_origins{-1};
    std::atomic<bool> stop_from_callback{false};
    bool gate = false;  // while set, a callback waits before it records its call
    int waiting = 0;    // callbacks waiting at the gate

    // closes the gate and waits until a callback is held at it
    void hold_next() {
        std::unique_lock<std::mutex> l(m);
        gate = true;
        cv.wait(l, [&] { return waiting > 0; });
    }
    void release() {
        std::lock_guard<std::mutex> l(m);
        gate = false;
        cv.notify_all();
    }

    size_t count() {
        std::lock_guard<std::mutex> l(m);
        return calls.size();
    }
    Changes call(size_t i) {
        std::lock_guard<std::mutex> l(m);
        return calls.at(i).second;
    }
    // waits for a call after the first `after` that satisfies pred
    template <class P>
    bool wait_for(size_t after, P pred) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::seconds(30), [&] {
            for (size_t i = after; i < calls.size(); i++)
                if (pred(calls[i])) return true;
            return false;
        });
    }
};

int record(int first, KO_ClientData cd, void *changes) {
    Recorder *r = static_cast<Recorder *>(cd);
    EXPECT_EQ(first, 0);
    Changes c = contents(static_cast<Arr *>(changes));
    if (r->view && c.count("origin")) {
        // refreshing from within the callback, on the monitor thread
        Tbl *events = nullptr;
        if (r->view->refreshEvents(&events) == 0 && maxtbl(events) == 1)
            r->refreshed_origins = (int)maxtbl(static_cast<KOEVEvent *>(gettbl(events, 0))->origins);
        r->view->freeEvents(events);
        if (r->stop_from_callback) r->view->monitorChangesThread(0, nullptr, nullptr);
    }
    std::unique_lock<std::mutex> l(r->m);
    if (r->gate) {
        r->waiting++;
        r->cv.notify_all();
        r->cv.wait(l, [&] { return !r->gate; });
        r->waiting--;
    }
    r->calls.emplace_back(r, c);
    r->cv.notify_all();
    return 0;
}

}  // namespace

TEST(EventViewChanges, CodesOfTheChangeTest) {
    EventDb d;
    d.event(1, 10);
    d.origin(10, 1, T0);
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Writer w(d.file("origin"));
    Arr *changes = nullptr;
    ASSERT_EQ(v.checkChanges(&changes), 0);
    EXPECT_TRUE(contents(changes).empty());

    ASSERT_TRUE(w('a'));
    ASSERT_EQ(v.checkChanges(&changes), 0);
    EXPECT_EQ(contents(changes), (Changes{{"origin", 2}}));
    long orig = 0;
    v.numbers(nullptr, &orig, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(orig, 2);
    ASSERT_EQ(v.checkChanges(&changes), 0);  // each look is the base of the next
    EXPECT_TRUE(contents(changes).empty());

    ASSERT_TRUE(w('r'));
    ASSERT_EQ(v.checkChanges(&changes), 0);
    EXPECT_EQ(contents(changes), (Changes{{"origin", 1}}));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);  // the rewritten row is read
    ASSERT_EQ(maxtbl(events), 1);
    Tbl *origins = static_cast<KOEVEvent *>(gettbl(events, 0))->origins;
    ASSERT_EQ(maxtbl(origins), 2);
    EXPECT_EQ(static_cast<KOEVOrigin *>(gettbl(origins, 0))->orid, 78);

    ASSERT_TRUE(w('t'));
    d.netmag(5, 77, "ml", 1.0);  // another table too
    ASSERT_EQ(v.checkChanges(&changes), 0);
    EXPECT_EQ(contents(changes), (Changes{{"netmag", 2}, {"origin", 3}}));

    ASSERT_TRUE(w('d'));
    d.netmag(6, 77, "ml", 1.0);
    elog_clear_register(0);
    EXPECT_EQ(v.checkChanges(&changes), -1);
    EXPECT_TRUE(has_message("eventview_check_table: dfiletime(" + d.file("origin") + ") error.\n"));
    EXPECT_TRUE(has_message("KOEventView::checkChanges: eventview_check_table() error.\n"));
    EXPECT_TRUE(contents(changes).empty());  // tables after origin are not looked at
    // the view stays usable
    ASSERT_EQ(v.refreshEvents(&events), 0);
    v.freeEvents(events);
    freearr(changes, 0);
}

TEST(EventViewMonitor, ReportsChangesOfAnotherProcessReconfiguresStopsAndRestarts) {
    EventDb d;
    d.event(1, 10);
    d.origin(10, 1, T0);
    Writer w(d.file("origin"));
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Recorder one, two;
    one.view = &v;
    ASSERT_EQ(v.monitorChangesThread(0.02, record, &one), 0);
    ASSERT_TRUE(one.wait_for(0, [](auto &) { return true; }));  // the first look comes at once
    EXPECT_TRUE(one.call(0).empty());

    size_t before = one.count();
    ASSERT_TRUE(w('a'));
    ASSERT_TRUE(one.wait_for(before, [](auto &c) { return c.second == Changes{{"origin", 2}}; }));
    EXPECT_EQ(one.refreshed_origins.load(), 2);
    // the owner reads counts and refreshes while the monitor runs
    long orig = 0;
    v.numbers(nullptr, &orig, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(orig, 2);
    for (int i = 0; i < 3; i++) {
        Tbl *events = nullptr;
        EXPECT_EQ(v.refreshEvents(&events), 0);
        v.freeEvents(events);
    }

    // new settings: the next looks go to the other client data
    ASSERT_EQ(v.monitorChangesThread(0.01, record, &two), 0);
    ASSERT_TRUE(two.wait_for(0, [](auto &) { return true; }));
    before = two.count();
    ASSERT_TRUE(w('r'));
    ASSERT_TRUE(two.wait_for(before, [](auto &c) { return c.second == Changes{{"origin", 1}}; }));

    // stop while a look is under way: its call is the last one
    two.hold_next();
    ASSERT_EQ(v.monitorChangesThread(0, nullptr, nullptr), 0);
    size_t at_stop = two.count();
    two.release();
    ASSERT_TRUE(two.wait_for(at_stop, [](auto &) { return true; }));
    size_t after_stop = two.count();
    EXPECT_EQ(after_stop, at_stop + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(two.count(), after_stop);

    // restart once the thread has ended: a new thread looks at once
    ASSERT_EQ(v.monitorChangesThread(0.01, record, &two), 0);
    ASSERT_TRUE(two.wait_for(after_stop, [](auto &) { return true; }));
    before = two.count();
    ASSERT_TRUE(w('t'));
    ASSERT_TRUE(two.wait_for(before, [](auto &c) { return c.second == Changes{{"origin", 3}}; }));
    // the view goes away with the thread running
}

TEST(EventViewMonitor, RemovedFileWhileWatching) {
    EventDb d;
    d.event(1, 10);
    d.origin(10, 1, T0);
    Writer w(d.file("origin"));
    Recorder r;
    {
        KOEventView v(nullptr);
        ASSERT_TRUE(evdb::bind(v, d.name));
        ASSERT_EQ(v.monitorChangesThread(0.01, record, &r), 0);
        ASSERT_TRUE(r.wait_for(0, [](auto &) { return true; }));
        size_t before = r.count();
        ASSERT_TRUE(w('d'));  // looks now fail at the origin table: partial arrays
        ASSERT_TRUE(r.wait_for(before + 2, [](auto &c) { return c.second.empty(); }));
        EXPECT_EQ(elog_count(), 0);  // the monitor's messages stay on its own thread
        before = r.count();
        d.event(2, 11);  // the event table is looked at before the origin table
        ASSERT_TRUE(r.wait_for(before, [](auto &c) { return c.second == Changes{{"event", 2}}; }));
        Tbl *events = nullptr;  // the owner still reads the view
        EXPECT_EQ(v.refreshEvents(&events), 0);
        EXPECT_EQ(maxtbl(events), 2);
        v.freeEvents(events);
    }
    EXPECT_GE(r.count(), 3u);
}

TEST(EventViewMonitor, StopMadeInsideTheCallbackEndsTheLooks) {
    EventDb d;
    d.event(1, 10);
    d.origin(10, 1, T0);
    Writer w(d.file("origin"));
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Recorder r;
    r.view = &v;
    r.stop_from_callback = true;
    ASSERT_EQ(v.monitorChangesThread(0.01, record, &r), 0);
    ASSERT_TRUE(r.wait_for(0, [](auto &) { return true; }));
    ASSERT_TRUE(w('a'));
    ASSERT_TRUE(r.wait_for(0, [](auto &c) { return c.second.count("origin") > 0; }));
    EXPECT_EQ(r.refreshed_origins.load(), 2);
    size_t n = r.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(r.count(), n);
}

TEST(EventViewMonitor, DestroyedWhileAsleepAndUnboundViews) {
    Recorder r;
    {
        KOEventView v(nullptr);  // unbound: every look fails, the callback gets empty arrays
        ASSERT_EQ(v.monitorChangesThread(1000.0, record, &r), 0);
        ASSERT_TRUE(r.wait_for(0, [](auto &c) { return c.second.empty(); }));
        ASSERT_EQ(v.monitorChangesThread(1e300, record, &r), 0);  // a huge increment is bounded
    }
    // the destructor woke the thread instead of waiting out its sleep (else
    // the watchdog ends the program)
    EXPECT_EQ(r.count(), 1u);
}
