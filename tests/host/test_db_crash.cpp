// Writers that stop half-way and writers side by side: a child process
// appending and rewriting rows of an "r+" table is killed at random moments
// and the table must still open with every finished row whole; a rewrite
// stopped at each of its steps is completed (or left out) from its journal;
// a line cut short is replaced by the next row; two processes appending at
// once never mix their rows.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "db.h"
#include "db_pvt.h"
#include "dbfixture.h"
#include "rzvtest.h"

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if __has_feature(address_sanitizer) || defined(__SANITIZE_ADDRESS__)
static const int KILLS = 60;
#else
static const int KILLS = 220;
#endif

namespace {

const size_t STRIDE = 284;  // wfdisc rows and their newline

// Every row the writers make is of one "version" v: the fields spread over
// the row (sta at its start, nsamp, calib, dfile, foff at its end) all tell
// v, so a row mixing two writes shows.
void version_fields(long v, char *sta, char *dfile) {
    snprintf(sta, 8, "S%05ld", v % 100000);
    snprintf(dfile, 33, "d%ld.w", v);
}

long add_row(Dbptr wf, long id, long v) {
    char sta[8], dfile[40];
    version_fields(v, sta, dfile);
    return dbaddv(wf, 0, "sta", sta, "chan", "BHZ", "time", (double)id, "endtime", id + 1.0, "wfid", id, "nsamp", v,
                  "calib", (double)v, "dfile", dfile, "foff", v, (char *)0);
}

int rewrite_row(Dbptr row, long v) {
    char sta[8], dfile[40];
    version_fields(v, sta, dfile);
    return dbputv(row, 0, "sta", sta, "nsamp", v, "calib", (double)v, "dfile", dfile, "foff", v, (char *)0);
}

// Reads row r: its id and version; false when its fields disagree.
bool read_row(Dbptr wf, long r, long *id, long *v, std::string *why) {
    wf.record = r;
    char sta[8], dfile[40], want_sta[8], want_dfile[40];
    long nsamp = -9, foff = -9;
    double calib = -9;
    if (dbgetv(wf, 0, "wfid", id, "sta", sta, "nsamp", &nsamp, "calib", &calib, "dfile", dfile, "foff", &foff,
               (char *)0) != 0) {
        *why = "unreadable";
        return false;
    }
    version_fields(nsamp, want_sta, want_dfile);
    *v = nsamp;
    if (foff != nsamp || calib != (double)nsamp || strcmp(sta, want_sta) || strcmp(dfile, want_dfile)) {
        char buf[200];
        snprintf(buf, sizeof buf, "mixed row: sta %s nsamp %ld calib %.1f dfile %s foff %ld", sta, nsamp, calib,
                 dfile, foff);
        *why = buf;
        return false;
    }
    return true;
}

void say(int fd, const char *fmt, long a, long b) {
    char buf[64];
    int n = snprintf(buf, sizeof buf, fmt, a, b);
    if (write(fd, buf, (size_t)n) != n) _exit(4);
}

// The child: appends and rewrites for ever, telling the pipe what it starts
// ("b A id 0", "b P rec v") and what it finished ("A rec id", "P rec v").
[[noreturn]] void writer(const std::string &prefix, int out, long round) {
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    Dbptr db;
    if (dbopen(prefix.c_str(), "r+", &db) != 0) {
        say(out, "E open %ld %ld\n", round, 0);
        _exit(3);
    }
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    long n = 0;
    dbquery(wf, dbRECORD_COUNT, &n);
    std::mt19937 rng((unsigned)round * 7919u + 1u);
    for (long k = 0;; k++) {
        long v = round * 100000 + k + 1;
        if (n == 0 || rng() % 2 == 0) {
            say(out, "b A %ld %ld\n", v, 0);
            long rec = add_row(wf, v, v);
            if (rec < 0) {
                say(out, "E add %ld %ld\n", round, k);
                _exit(3);
            }
            say(out, "A %ld %ld\n", rec, v);
            n = rec + 1;
        } else {
            Dbptr row = wf;
            row.record = (long)(rng() % (unsigned long)n);
            say(out, "b P %ld %ld\n", row.record, v);
            if (rewrite_row(row, v) != 0) {
                say(out, "E put %ld %ld\n", round, k);
                _exit(3);
            }
            say(out, "P %ld %ld\n", row.record, v);
        }
    }
}

struct Model {
    std::vector<long> id, v;  // per finished row
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        s.append(buf, (size_t)r);
    }
    return s;
}

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

}  // namespace

TEST(DbCrash, KilledWritersLeaveEveryFinishedRowWhole) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("k");
    std::string file = prefix + ".wfdisc";
    Model m;
    std::mt19937 rng(12345);
    long kills = 0, checked = 0, cut_seen = 0, inflight_landed = 0;
    for (int round = 1; round <= KILLS; round++) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(p[0]);
            writer(prefix, p[1], round);
        }
        close(p[1]);
        usleep(200 + rng() % 2500);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        std::string log = drain(p[0]);
        close(p[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the writer stopped by itself: " << log;
        kills++;
        // what the child finished, and what it had begun last
        char kind = 0;
        long a = -1, b = -1;
        char op = 0;
        long pa = -1, pb = -1;  // the call in flight
        size_t at = 0;
        while (at < log.size()) {
            size_t nl = log.find('\n', at);
            if (nl == std::string::npos) break;  // a report cut by the kill
            std::string line = log.substr(at, nl - at);
            at = nl + 1;
            if (line[0] == 'b') {
                ASSERT_EQ(sscanf(line.c_str(), "b %c %ld %ld", &op, &pa, &pb), 3);
                continue;
            }
            ASSERT_EQ(sscanf(line.c_str(), "%c %ld %ld", &kind, &a, &b), 3) << line;
            ASSERT_NE(kind, 'E') << "round " << round << ": " << line;
            op = 0;
            if (kind == 'A') {
                ASSERT_EQ(a, (long)m.id.size());
                m.id.push_back(b);
                m.v.push_back(b);
            } else {
                ASSERT_LT(a, (long)m.id.size());
                m.v[a] = b;
            }
        }
        // the table opens, read-only as any reader would, with every
        // finished row whole
        FILE *warn = tmpfile();
        elog_set_stream(warn);
        Dbptr db;
        ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        long n = -1;
        ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
        elog_set_stream(0);
        rewind(warn);
        std::string warning = drain(fileno(warn));
        fclose(warn);
        long known = (long)m.id.size();
        long size = file_size(file);
        // one row more: the append in flight, or a line an earlier writer
        // left cut short and no append has replaced yet
        bool whole = size % (long)STRIDE == 0 || size % (long)STRIDE == (long)STRIDE - 1;
        ASSERT_TRUE(n == known || (n == known + 1 && (op == 'A' || !whole)))
            << "round " << round << ": " << n << " rows, " << known << " finished";
        for (long r = 0; r < known; r++) {
            long id, v;
            std::string why;
            ASSERT_TRUE(read_row(wf, r, &id, &v, &why)) << "round " << round << " row " << r << ": " << why;
            ASSERT_EQ(id, m.id[r]) << "round " << round << " row " << r;
            if (op == 'P' && r == pa && v == pb) {
                m.v[r] = v;  // the rewrite in flight had landed
                inflight_landed++;
            }
            ASSERT_EQ(v, m.v[r]) << "round " << round << " row " << r;
            checked++;
        }
        if (n == known + 1) {
            if (whole) {
                // the append in flight was complete: a whole row
                long id, v;
                std::string why;
                ASSERT_TRUE(read_row(wf, known, &id, &v, &why)) << why;
                ASSERT_EQ(id, pa);
                m.id.push_back(id);
                m.v.push_back(v);
                inflight_landed++;
            } else {
                // at most that row is incomplete, and the reader says so
                EXPECT_NE(warning.find(file), std::string::npos) << warning;
                cut_seen++;
            }
        }
        dbclose(db);
    }
    // a last writer finds the table writable and leaves it whole
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(add_row(wf, 99999999, 7), (long)m.id.size());
    elog_set_stream(0);
    fclose(quiet);
    dbclose(db);
    EXPECT_EQ(file_size(file), (long)((m.id.size() + 1) * STRIDE));
    EXPECT_GE(kills, (long)KILLS);
    RecordProperty("kills", (int)kills);
    RecordProperty("rows_checked", (int)checked);
    printf("kills survived: %ld, rows checked: %ld, final rows: %zu, rounds that found a cut last line: %ld, "
           "calls in flight that landed: %ld\n",
           kills, checked, m.id.size() + 1, cut_seen, inflight_landed);
}

// ---------------------------------------------------------------- journal

namespace {

struct Stop {
    static const char *at;
    static int hook(const char *step) { return at && !strcmp(step, at); }
    explicit Stop(const char *step) {
        at = step;
        hostdb::db_crash_hook = hook;
    }
    ~Stop() {
        hostdb::db_crash_hook = nullptr;
        at = nullptr;
    }
};
const char *Stop::at = nullptr;

class Journal : public ::testing::Test {
protected:
    rzvtest::TempDir dir;
    std::string prefix = dir.file("j");
    std::string file = prefix + ".wfdisc";
    FILE *quiet = nullptr;
    // row 14 lies across the first page boundary (bytes 3976-4259)
    static const long ROW = 14;

    void SetUp() override {
        std::vector<std::string> rows;
        for (long i = 0; i < 20; i++) {
            char sta[8], dfile[40];
            version_fields(i, sta, dfile);
            std::string r = dbfixture::wfdisc_row(sta, "BHZ", (double)i, i + 1.0, i, i, 40.0, "wf", dfile);
            rows.push_back(r);
        }
        ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
        // make every row consistent in the engine's own formats
        Dbptr db;
        ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        for (wf.record = 0; wf.record < 20; wf.record++) ASSERT_EQ(rewrite_row(wf, wf.record), 0);
        dbclose(db);
        elog_clear_register(0);
    }
    void TearDown() override { hostdb::db_crash_hook = nullptr; }

    // The text row ROW has after rewriting it to version v (made in a copy).
    std::string rewritten(long v) {
        std::string copy = dir.file("copy");
        rzvtest::write_file(copy + ".wfdisc", rzvtest::read_file(file));
        Dbptr db;
        dbopen(copy.c_str(), "r+", &db);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        wf.record = ROW;
        rewrite_row(wf, v);
        dbclose(db);
        return rzvtest::read_file(copy + ".wfdisc").substr(ROW * STRIDE, STRIDE - 1);
    }
    // Rewrites ROW to version v, stopping at `step` as if killed there.
    void stop_rewrite(const char *step, long v) {
        Dbptr db;
        ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        wf.record = ROW;
        {
            Stop s(step);
            EXPECT_LT(rewrite_row(wf, v), 0);
        }
        dbclose(db);
    }
    // Version of ROW as a reader sees it; the warnings in *warning.
    long version_seen(const char *mode, std::string *warning) {
        FILE *w = tmpfile();
        elog_set_stream(w);
        Dbptr db;
        long id = -1, v = -1;
        std::string why;
        if (dbopen(prefix.c_str(), mode, &db) == 0) {
            Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
            long n;
            dbquery(wf, dbRECORD_COUNT, &n);
            if (!read_row(wf, ROW, &id, &v, &why)) v = -2;
            dbclose(db);
        }
        elog_set_stream(0);
        rewind(w);
        *warning = drain(fileno(w));
        fclose(w);
        return v;
    }
};

}  // namespace

TEST_F(Journal, ARewriteTornAcrossAPageIsCompletedFromItsJournal) {
    std::string before = rzvtest::read_file(file);
    std::string fresh = rewritten(777);
    stop_rewrite("journal", 777);
    EXPECT_EQ(rzvtest::read_file(file), before);  // stopped before the row
    // the kill tore the row at the page boundary: its first part new, the
    // rest old
    std::string torn = before;
    size_t off = ROW * STRIDE, cut = 4096 - off;
    torn.replace(off, cut, fresh.substr(0, cut));
    rzvtest::write_file(file, torn);
    std::string w;
    // a reader sees the rewritten row, says so, and leaves the file alone
    EXPECT_EQ(version_seen("r", &w), 777);
    EXPECT_NE(w.find(file + ": row 14 is read as rewritten"), std::string::npos) << w;
    EXPECT_EQ(rzvtest::read_file(file), torn);
    // a writer repairs the file and clears the journal
    EXPECT_EQ(version_seen("r+", &w), 777);
    EXPECT_NE(w.find("row 14 that a stopped writer left unfinished is completed"), std::string::npos) << w;
    std::string after = rzvtest::read_file(file);
    EXPECT_EQ(after.substr(off, STRIDE - 1), fresh);
    EXPECT_EQ(after.substr(0, off), before.substr(0, off));
    EXPECT_EQ(after.substr(off + STRIDE - 1), before.substr(off + STRIDE - 1));
    EXPECT_EQ(version_seen("r", &w), 777);
    EXPECT_EQ(w, "");
}

TEST_F(Journal, EveryStopOfARewriteGivesTheOldOrTheNewRow) {
    std::string w;
    // journalled, row untouched: the new row (the rewrite is redone)
    stop_rewrite("journal", 501);
    EXPECT_EQ(version_seen("r", &w), 501);
    EXPECT_EQ(version_seen("r+", &w), 501);
    // row written, journal not cleared: the new row, nothing to repair
    stop_rewrite("row", 502);
    EXPECT_EQ(version_seen("r+", &w), 502);
    EXPECT_EQ(w, "");
    // a journal record cut short (the writer stopped while journalling):
    // ignored, the old row stays
    stop_rewrite("journal", 503);
    std::string jpath = file + ".journal";
    std::string j = rzvtest::read_file(jpath);
    ASSERT_GT(j.size(), 300u);
    rzvtest::write_file(jpath, j.substr(0, 300));
    EXPECT_EQ(version_seen("r", &w), 502);
    EXPECT_EQ(version_seen("r+", &w), 502);
    EXPECT_EQ(w, "");
    // the row changed by someone else since it was journalled: left alone,
    // with a warning
    stop_rewrite("journal", 504);
    std::string text = rzvtest::read_file(file);
    text[ROW * STRIDE + 100] = '#';
    rzvtest::write_file(file, text);
    EXPECT_EQ(version_seen("r+", &w), -2);
    EXPECT_NE(w.find("holds neither"), std::string::npos) << w;
    EXPECT_EQ(rzvtest::read_file(file), text);
    // a journal of garbage, or pointing past the file, is harmless
    rzvtest::write_file(jpath, std::string(5000, 'x'));
    EXPECT_EQ(version_seen("r+", &w), -2);
    rzvtest::write_file(jpath, "");
    EXPECT_EQ(version_seen("r", &w), -2);
}

// ---------------------------------------------------------------- cut lines

TEST(DbCrash, ALineCutShortIsReplacedByTheNextRow) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("c");
    std::string file = prefix + ".wfdisc";
    std::string a = dbfixture::wfdisc_row("AAA", "BHZ", 100, 200, 1);
    std::string b = dbfixture::wfdisc_row("BBB", "BHZ", 300, 400, 2);
    rzvtest::write_file(file, a + "\n" + b + "\n" + a.substr(0, 150));
    FILE *w = tmpfile();
    elog_set_stream(w);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    long n = 0;
    ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
    elog_set_stream(0);
    rewind(w);
    std::string warning = drain(fileno(w));
    fclose(w);
    // the rows before the cut line are read, the table stays writable
    EXPECT_EQ(n, 2);
    EXPECT_NE(warning.find(file + " ends in line 3 cut short (150 of 283 characters)"), std::string::npos)
        << warning;
    wf.record = 1;
    EXPECT_EQ(dbputv(wf, 0, "chan", "BHN", (char *)0), 0);
    wf.record = dbALL;
    EXPECT_EQ(dbaddv(wf, 0, "sta", "CCC", "wfid", 3L, (char *)0), 2);
    std::string text = rzvtest::read_file(file);
    ASSERT_EQ(text.size(), 3 * STRIDE);
    EXPECT_EQ(text.substr(2 * STRIDE, 4), "CCC ");
    EXPECT_EQ(text.substr(STRIDE + 7, 4), "BHN ");
    EXPECT_EQ(text.substr(0, STRIDE), a + "\n");
    dbclose(db);
    // a writer stopped in the middle of an append leaves a cut line that
    // a writer of another process replaces
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    wf = dblookup(db, 0, "wfdisc", 0, 0);
    Dbptr db2;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db2), 0);
    Dbptr wf2 = dblookup(db2, 0, "wfdisc", 0, 0);
    ASSERT_EQ(dbquery(wf2, dbRECORD_COUNT, &n), 0);
    int fd = open(file.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, b.data(), 40), 40);
    close(fd);
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    EXPECT_EQ(dbaddv(wf2, 0, "sta", "DDD", "wfid", 4L, (char *)0), 3);
    elog_set_stream(0);
    fclose(quiet);
    // the first database takes in the row and appends after it
    EXPECT_EQ(dbaddv(wf, 0, "sta", "EEE", "wfid", 5L, (char *)0), 4);
    text = rzvtest::read_file(file);
    ASSERT_EQ(text.size(), 5 * STRIDE);
    EXPECT_EQ(text.substr(3 * STRIDE, 4), "DDD ");
    EXPECT_EQ(text.substr(4 * STRIDE, 4), "EEE ");
    dbclose(db2);
    dbclose(db);
}

// ---------------------------------------------------------------- two writers

TEST(DbCrash, TwoProcessesWritingAtOnceNeverMixTheirRows) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("two");
    std::string file = prefix + ".wfdisc";
    const long N = 1000;
    pid_t pids[2];
    for (int c = 0; c < 2; c++) {
        pids[c] = fork();
        ASSERT_GE(pids[c], 0);
        if (pids[c] == 0) {
            FILE *quiet = fopen("/dev/null", "w");
            elog_set_stream(quiet);
            Dbptr db;
            if (dbopen(prefix.c_str(), "r+", &db) != 0) _exit(3);
            Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
            long mine = 0, shared = 0;
            for (long k = 0; k < N; k++) {
                // an identifier of its own, and one both try to take
                if (add_row(wf, (c + 1) * 100000 + k, (c + 1) * 100000 + k) < 0) _exit(4);
                mine++;
                if (add_row(wf, 500000 + k, 500000 + k) >= 0) shared++;
                Dbptr row = wf;
                row.record = k;  // rewrites of the rows both see
                if (rewrite_row(row, (c + 1) * 1000000 + k) != 0) _exit(5);
            }
            dbclose(db);
            _exit(mine == N ? 0 : 6);
        }
    }
    for (int c = 0; c < 2; c++) {
        int status = 0;
        waitpid(pids[c], &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "writer " << c;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "writer " << c;
    }
    std::string text = rzvtest::read_file(file);
    ASSERT_EQ(text.size() % STRIDE, 0u);
    long rows = (long)(text.size() / STRIDE);
    EXPECT_EQ(rows, 3 * N);  // N rows of each writer, N shared identifiers once
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    std::set<long> ids;
    for (long r = 0; r < rows; r++) {
        long id, v;
        std::string why;
        ASSERT_TRUE(read_row(wf, r, &id, &v, &why)) << "row " << r << ": " << why;
        EXPECT_TRUE(ids.insert(id).second) << "identifier " << id << " twice";
    }
    dbclose(db);
    EXPECT_EQ((long)ids.size(), 3 * N);
}
