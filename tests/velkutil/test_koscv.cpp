// Station-channel views: options and their messages, tags, the cache built
// from wfdisc, arrival and detection rows (windows, accept and reject
// expressions on keys and SEED names, unusable rows), the same cache for
// any number of workers, subsets, refreshes and station metadata.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbfixture.h"
#include "rzvtest.h"
#include "threadtest.h"
#include "velkutil.h"

namespace {

const bool guarded = rzvtest::bound_every_test(std::chrono::seconds(240));

// A view made from an argument vector, destroyed at the end of the scope.
struct View {
    char handle[64] = "";
    int rc = -1;
    std::vector<std::string> words;
    explicit View(const std::vector<std::string> &args) : words(args) {
        std::vector<char *> argv;
        for (auto &w : words) argv.push_back(&w[0]);
        rc = koscv_create((int)argv.size(), argv.data(), handle);
    }
    ~View() {
        if (handle[0]) koscv_destroy(handle);
    }
    KOSCV *scv() { return koscv_get(handle); }
};

// Writes rows into a database with the engine's own writers.
struct Writer {
    Dbptr db{};
    explicit Writer(const std::string &prefix) { EXPECT_EQ(dbopen(prefix.c_str(), "r+", &db), 0); }
    ~Writer() { dbclose(db); }
    Dbptr t(const char *name) { return dblookup(db, nullptr, name, nullptr, nullptr); }
    long wf(const char *sta, const char *chan, double time, double endtime) {
        return dbaddv(t("wfdisc"), nullptr, "sta", sta, "chan", chan, "time", time, "endtime", endtime, (char *)0);
    }
    long arr(const char *sta, const char *chan, double time) {
        return dbaddv(t("arrival"), nullptr, "sta", sta, "chan", chan, "time", time, (char *)0);
    }
    long det(const char *sta, const char *chan, double time) {
        return dbaddv(t("detection"), nullptr, "sta", sta, "chan", chan, "time", time, (char *)0);
    }
};

std::vector<long> rows_of(const Tbl *t) {
    std::vector<long> v;
    for (long i = 0; i < maxtbl(t); i++) v.push_back((long)(intptr_t)gettbl(t, i));
    return v;
}

// Everything a build leaves, in comparable form.
struct Pair {
    double tstart, tend;
    std::vector<long> wf, ar, de;
    bool operator==(const Pair &o) const {
        return tstart == o.tstart && tend == o.tend && wf == o.wf && ar == o.ar && de == o.de;
    }
};
struct Snapshot {
    std::vector<std::string> keys;
    std::map<std::string, Pair> pairs;
    std::vector<long> wf, ar, de;
    bool operator==(const Snapshot &o) const {
        return keys == o.keys && pairs == o.pairs && wf == o.wf && ar == o.ar && de == o.de;
    }
};

Snapshot snapshot(KOSCV *scv) {
    Snapshot s;
    for (long i = 0; i < maxtbl(scv->stachans_tbl); i++) {
        const char *k = (const char *)gettbl(scv->stachans_tbl, i);
        s.keys.push_back(k);
        auto *sc = (KOSCVStaChan *)getarr(scv->stachans_arr, k);
        EXPECT_STREQ(sc->stachan, k);
        EXPECT_EQ(std::string(sc->sta) + " " + sc->chan, k);
        s.pairs[k] = {sc->tstart, sc->tend, rows_of(sc->wfdiscrows), rows_of(sc->arrivalrows),
                      rows_of(sc->detectionrows)};
    }
    s.wf = rows_of(((KOSCVTable *)getarr(scv->tables, "wfdisc"))->rows);
    s.ar = rows_of(((KOSCVTable *)getarr(scv->tables, "arrival"))->rows);
    s.de = rows_of(((KOSCVTable *)getarr(scv->tables, "detection"))->rows);
    return s;
}

std::vector<std::string> keys_of(KOSCV *scv) { return snapshot(scv).keys; }

// ------------------------------------------------------------ options and tags

TEST(KoscvViews, LookupBeforeAnyViewAndUnknownTags) {
    elog_clear_register(0);
    char tag[] = "koscv1";
    EXPECT_EQ(koscv_get(tag), nullptr);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_get: No scvs");
    EXPECT_EQ(koscv_destroy(tag), -1);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_destroy: Cannot find KOSCV for handle koscv1.\n");
}

TEST(KoscvViews, TagsCountFromOneAndAreNeverReused) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    std::string first;
    {
        View v({db});
        ASSERT_EQ(v.rc, 0);
        first = v.handle;
        EXPECT_EQ(first, "koscv1");
    }
    View w({db});
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(std::string(w.handle), "koscv2");
    elog_clear_register(0);
    EXPECT_EQ(koscv_get(&first[0]), nullptr);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_get: Cannot find koscv1");
}

TEST(KoscvOptions, EveryOptionErrorHasItsMessage) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-tstart"}, "koscv_create: Need -tstart argument.\n"},
        {{"-nthreads"}, "koscv_create: Need -nthreads argument.\n"},
        {{"-stachan_reject"}, "koscv_create: Need -stachan_reject argument.\n"},
        {{"-tstart", "yesterday-ish", db}, "koscv_create: Unable to parse -tstart argument 'yesterday-ish'.\n"},
        {{"-tend", "2020-13-45", db}, "koscv_create: Unable to parse -tend argument '2020-13-45'.\n"},
        {{"-x", db}, "koscv_create: Unrecognized option -x\n"},
        {{"-", db}, "koscv_create: Unrecognized option -\n"},
        {{"-tstart", "now"}, "koscv_create: Need dbname argument.\n"},
        {{db, "other"}, "koscv_create: Unrecognized arguments.\n"},
        {{db, "-v"}, "koscv_create: Unrecognized arguments.\n"},
        {{"-nthreads", "0", db}, "koscv_create: -nthreads argument '0' is not a whole number from 1 to 1024.\n"},
        {{"-nthreads", "-3", db}, "koscv_create: -nthreads argument '-3' is not a whole number from 1 to 1024.\n"},
        {{"-nthreads", "4x", db}, "koscv_create: -nthreads argument '4x' is not a whole number from 1 to 1024.\n"},
        {{"-nthreads", "99999999999999999999", db},
         "koscv_create: -nthreads argument '99999999999999999999' is not a whole number from 1 to 1024.\n"},
        {{"-stachan_accept", "(unclosed", db}, "koscv_subset_cache: bad expression '(unclosed'.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        elog_clear_register(0);
        View v(c.args);
        EXPECT_EQ(v.rc, -1);
        EXPECT_TRUE(rzvtest::has_message(c.message)) << rzvtest::all_messages();
    }
    elog_clear_register(0);
    char handle[64] = "";
    EXPECT_EQ(koscv_create(0, nullptr, handle), -1);
    EXPECT_EQ(rzvtest::messages().back(),
              "usage: koscv_create [-tstart tstart] [-tend tend] [-stachan_accept expr1[,expr2[...]]] "
              "[-stachan_reject expr1[,expr2[...]]] [-nthreads nthreads] dbname\n");
    char *nulls[] = {nullptr};
    EXPECT_EQ(koscv_create(1, nulls, handle), -1);
    std::string d = db;
    char *argv[] = {&d[0]};
    EXPECT_EQ(koscv_create(1, argv, nullptr), -1);
}

TEST(KoscvOptions, ExpressionValuesAreSplitWithoutTouchingArgv) {
    rzvtest::TempDir dir;
    View v({"-stachan_accept", "AAK:BHZ,#note,.*_LHZ", "-stachan_reject", "X:Y", "-nthreads", "3", dir.file("db")});
    ASSERT_EQ(v.rc, 0);
    EXPECT_EQ(v.words[1], "AAK:BHZ,#note,.*_LHZ");
    KOSCV *scv = v.scv();
    ASSERT_EQ(maxtbl(scv->stachan_accept_cache), 3);
    EXPECT_STREQ((char *)gettbl(scv->stachan_accept_cache, 0), "AAK BHZ");
    EXPECT_STREQ((char *)gettbl(scv->stachan_accept_cache, 1), "#note");
    EXPECT_STREQ((char *)gettbl(scv->stachan_accept_cache, 2), ".*_LHZ");
    ASSERT_EQ(maxtbl(scv->stachan_reject_cache), 1);
    EXPECT_EQ(maxtbl(scv->threads), 3);
    EXPECT_EQ(scv->tstart_cache, 2e30);
}

// ------------------------------------------------------------ the cache

TEST(KoscvCache, EmptyAndMissingTablesGiveAnEmptyCache) {
    rzvtest::TempDir dir;
    View v({"-nthreads", "4", dir.file("nothing")});
    ASSERT_EQ(v.rc, 0);
    KOSCV *scv = v.scv();
    ASSERT_NE(scv->stachans_tbl, nullptr);
    EXPECT_EQ(maxtbl(scv->stachans_tbl), 0);
    EXPECT_EQ(cntarr(scv->stachans_arr), 0);
    KOSCVTable *wf = (KOSCVTable *)getarr(scv->tables, "wfdisc");
    KOSCVTable *ar = (KOSCVTable *)getarr(scv->tables, "arrival");
    // Offsets come from the layout the engine reports.
    long off = 0;
    dbquery(dblookup(scv->db, nullptr, "wfdisc", "endtime", nullptr), dbFIELD_INDEX, &off);
    EXPECT_EQ(wf->endtime_i, off);
    EXPECT_EQ(ar->endtime_i, -1);
    EXPECT_EQ(ar->endtime_n, 0);
    EXPECT_NE(getarr(scv->tables, "calibration"), nullptr);
}

TEST(KoscvCache, PairsSpanTheirRowsInAllThreeTables) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    {
        Writer w(db);
        w.wf("AAK", "BHZ", 100, 200);   // 0
        w.wf("ABC", "BHZ", 50, 60);     // 1
        w.wf("AAK", "BHZ", 300, 400);   // 2
        w.wf("AAK", "BHN", 150, 160);   // 3
        w.arr("AAK", "BHZ", 450);       // 0
        w.arr("ZZZ", "SHZ", 10);        // 1: only in arrival
        w.det("AAK", "BHZ", 20);        // 0
        w.det("AAK", "BHN", 155);       // 1
    }
    for (const char *n : {"1", "3"}) {
        View v({"-nthreads", n, db});
        ASSERT_EQ(v.rc, 0) << rzvtest::all_messages();
        Snapshot s = snapshot(v.scv());
        EXPECT_EQ(s.keys, (std::vector<std::string>{"AAK BHN", "AAK BHZ", "ABC BHZ", "ZZZ SHZ"}));
        EXPECT_EQ(s.pairs["AAK BHZ"], (Pair{20, 450, {0, 2}, {0}, {0}}));
        EXPECT_EQ(s.pairs["AAK BHN"], (Pair{150, 160, {3}, {}, {1}}));
        EXPECT_EQ(s.pairs["ABC BHZ"], (Pair{50, 60, {1}, {}, {}}));
        EXPECT_EQ(s.pairs["ZZZ SHZ"], (Pair{10, 10, {}, {1}, {}}));
        EXPECT_EQ(s.wf, (std::vector<long>{0, 1, 2, 3}));
        EXPECT_EQ(s.ar, (std::vector<long>{0, 1}));
        EXPECT_EQ(s.de, (std::vector<long>{0, 1}));
        auto *sc = (KOSCVStaChan *)getarr(v.scv()->stachans_arr, "AAK BHZ");
        EXPECT_STREQ(sc->nscl, "");
        EXPECT_EQ(sc->dbmatches_hook, nullptr);
    }
}

TEST(KoscvCache, UnusableRowsAreSkippedQuietly) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    using dbfixture::Cell;
    std::vector<std::string> rows = {
        dbfixture::wfdisc_row("AAK", "BHZ", 100, 200, 1),                   // 0 kept
        dbfixture::wfdisc_row("-", "BHZ", 100, 200, 2),                     // 1 no station
        dbfixture::hand_row("wfdisc", {{""}, {"BHZ"}, {"100", -1}}),       // 2 blank station
        dbfixture::wfdisc_row("AAK", "BHZ", 300, 250, 3),                   // 3 ends before it starts
        dbfixture::hand_row("wfdisc", {{"AAK"}, {"BHZ"}, {""}}),           // 4 blank time
        dbfixture::hand_row("wfdisc", {{"AAK"}, {"BHZ"}, {"12abc", -1}}),  // 5 time not a number
        dbfixture::hand_row("wfdisc", {{"AAK"}, {"BHZ"}, {"500", -1}, {"1"}, {"1"}, {"1"}, {"nan", -1}}),  // 6
        dbfixture::hand_row("wfdisc", {{"  AAK", 0}, {"BHZ", 2}, {"  7e2", 0}, {"1"}, {"1"}, {"1"}, {"8.0E2", -1}}),
    };
    ASSERT_TRUE(dbfixture::write_rows(db, "wfdisc", rows));
    View v({db});
    ASSERT_EQ(v.rc, 0) << rzvtest::all_messages();
    Snapshot s = snapshot(v.scv());
    EXPECT_EQ(s.keys, (std::vector<std::string>{"AAK BHZ"}));
    EXPECT_EQ(s.pairs["AAK BHZ"], (Pair{100, 800, {0, 7}, {}, {}}));
}

// Times read from the row text equal what strtod makes of them, on the
// fast path and off it; words that are not whole numbers make a row unusable.
TEST(KoscvCache, TimesAreReadExactlyAsWritten) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    const char *good[] = {"1262304000.12345", "1262304000.123456",  // 16 digits: past 2^53 units
                          "-5.5", "+3", ".5", "7.", "00000000000001.5", "9007199254740993",
                          "1.0e9", "2E-3", "126230400.1234567", "12345678901234567",
                          // eight digits and one more on either side of the point
                          "12345678", "123456789", "12345678.87654321", "99999999.9999999",
                          "123456789012345.5", "0.000000000000001", "-0.0", "-1262304000.99999",
                          "12345678901.12345"};  // the whole width of the field
    const char *bad[] = {"0x10", "1e400", "1.2.3", "-", "+", ".", "1e", "1e+", "12,5", "inf", "nan", "1.5d3",
                         "1-2", "1.5-", "--1", "1..", "1234567/", "12345678:.5", "1.2345678/"};
    std::vector<std::string> rows;
    int k = 0;
    for (const char *t : good) {
        char chan[8];
        snprintf(chan, sizeof chan, "G%02d", k++);
        rows.push_back(dbfixture::hand_row("wfdisc", {{"AAK"}, {chan}, {t, -1}, {"1"}, {"1"}, {"1"}, {t, -1}}));
    }
    for (const char *t : bad)
        rows.push_back(dbfixture::hand_row("wfdisc", {{"BAD"}, {"BHZ"}, {t, -1}, {"1"}, {"1"}, {"1"}, {"1e10", -1}}));
    ASSERT_TRUE(dbfixture::write_rows(db, "wfdisc", rows));
    View v({db});
    ASSERT_EQ(v.rc, 0);
    Snapshot s = snapshot(v.scv());
    ASSERT_EQ(s.keys.size(), sizeof good / sizeof good[0]);
    k = 0;
    for (const char *t : good) {
        char key[16];
        snprintf(key, sizeof key, "AAK G%02d", k++);
        SCOPED_TRACE(t);
        EXPECT_EQ(s.pairs[key].tstart, strtod(t, nullptr));
        EXPECT_EQ(s.pairs[key].tend, strtod(t, nullptr));
    }
}

// Names fill their whole columns, sit anywhere inside them, or end at a
// control character; the same in arrival and detection rows.
TEST(KoscvCache, NamesAreTheFirstWordOfTheirColumns) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    std::vector<std::string> wf = {
        dbfixture::hand_row("wfdisc", {{"ABCDEF"}, {"BHZ12345"}, {"100", -1}, {"1"}, {"1"}, {"1"}, {"200", -1}}),
        dbfixture::hand_row("wfdisc", {{"AB", 4}, {"Z", 7}, {"100", 0}, {"1"}, {"1"}, {"1"}, {"200", 0}}),
        dbfixture::hand_row("wfdisc", {{"AB\tX"}, {"BH\001Z", 1}, {"300", 3}, {"1"}, {"1"}, {"1"}, {"400", 5}}),
    };
    ASSERT_TRUE(dbfixture::write_rows(db, "wfdisc", wf));
    ASSERT_TRUE(dbfixture::write_rows(db, "arrival", {dbfixture::hand_row("arrival", {{"ABCDEF"}, {"50", -1}})}));
    Writer w(db);
    // The arrival channel is set through the engine, the row above holds
    // only station and time.
    ASSERT_EQ(dbputv(dblookup(w.t("arrival"), nullptr, nullptr, nullptr, "0"), nullptr, "chan", "BHZ12345",
                     (char *)0), 0);
    ASSERT_GE(w.det("XY", "LHZ", 7), 0);
    View v({db});
    ASSERT_EQ(v.rc, 0) << rzvtest::all_messages();
    Snapshot s = snapshot(v.scv());
    EXPECT_EQ(s.keys, (std::vector<std::string>{"AB BH", "AB Z", "ABCDEF BHZ12345", "XY LHZ"}));
    EXPECT_EQ(s.pairs["ABCDEF BHZ12345"], (Pair{50, 200, {0}, {0}, {}}));
    EXPECT_EQ(s.pairs["AB Z"], (Pair{100, 200, {1}, {}, {}}));
    EXPECT_EQ(s.pairs["AB BH"], (Pair{300, 400, {2}, {}, {}}));
    EXPECT_EQ(s.pairs["XY LHZ"], (Pair{7, 7, {}, {}, {0}}));
}

// Random column contents, read as a plain model reads them: a name is the
// first run of bytes above the blank, a time the whole first word as strtod
// reads it.
TEST(KoscvCache, RandomColumnsReadAsTheirWords) {
    std::mt19937 rng(20261208);
    auto pick = [&](const char *set) { return set[rng() % strlen(set)]; };
    auto text = [&](const char *set, int n) {
        std::string t;
        for (int i = 0; i < n; i++) t += pick(set);
        return t;
    };
    auto word = [](const std::string &field) {
        size_t a = 0;
        while (a < field.size() && (unsigned char)field[a] <= ' ') a++;
        size_t b = a;
        while (b < field.size() && (unsigned char)field[b] > ' ') b++;
        return field.substr(a, b - a);
    };
    auto number = [](const std::string &w, double *v) {
        if (w.empty()) return false;
        char *end = nullptr;
        *v = strtod(w.c_str(), &end);
        return end == w.c_str() + w.size() && std::isfinite(*v) && *v < 9e29;
    };
    auto time_text = [&]() {
        switch (rng() % 4) {
        case 0: return std::to_string(rng() % 2000000000) + "." + text("0123456789", rng() % 9);
        case 1: return text("0123456789", 1 + rng() % 17);
        case 2: return text("0123456789.-+e", 1 + rng() % 12);
        default: return std::string(rng() % 2 ? "-" : "") + text("0123456789", 1 + rng() % 9) + "." +
                        text("0123456789", rng() % 10);
        }
    };
    const char *name_bytes = "ABCZ09- \t\x80\xc3\x7f", *chan_bytes = "ABZ09 \t\x80\xc3\x7f";
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    std::vector<std::string> rows;
    std::map<std::string, Pair> want;
    for (long r = 0; r < 3000; r++) {
        std::string sta = text(name_bytes, 1 + rng() % 6);
        std::string chan = "Z" + text(chan_bytes, rng() % 7);  // a first word that is no "-"
        std::string t0 = time_text(), t1 = rng() % 3 ? time_text() : t0;
        std::string row = dbfixture::hand_row(
            "wfdisc", {{sta, (int)(rng() % 3)}, {chan, (int)(rng() % 2)}, {t0, -(int)(rng() % 2)}, {"1"}, {"1"},
                       {"1"}, {t1, (int)(rng() % 2) - 1}});
        rows.push_back(row);
        // The model reads the row as written, at the css3.0 columns.
        std::string ws = word(row.substr(0, 6)), wc = word(row.substr(7, 8));
        double a = 0, b = 0;
        if (ws.empty() || ws == "-") continue;
        if (!number(word(row.substr(16, 17)), &a) || !number(word(row.substr(61, 17)), &b) || a > b) continue;
        Pair &p = want[ws + " " + wc];
        if (p.wf.empty()) p.tstart = a, p.tend = b;
        p.tstart = std::min(p.tstart, a);
        p.tend = std::max(p.tend, b);
        p.wf.push_back(r);
    }
    ASSERT_TRUE(dbfixture::write_rows(db, "wfdisc", rows));
    ASSERT_GT(want.size(), 100u);
    View v({db});
    ASSERT_EQ(v.rc, 0) << rzvtest::all_messages();
    Snapshot s = snapshot(v.scv());
    ASSERT_EQ(s.pairs.size(), want.size());
    for (auto &kv : want) EXPECT_EQ(s.pairs[kv.first], kv.second) << kv.first;
}

TEST(KoscvCache, StationWithoutChannelFailsTheBuildForAnyWorkerCount) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    std::vector<std::string> rows;
    for (int i = 0; i < 30000; i++) rows.push_back(dbfixture::wfdisc_row("AAK", "BHZ", i, i + 1, i));
    rows[25000] = dbfixture::wfdisc_row("AAK", "-", 5, 6, 1);
    ASSERT_TRUE(dbfixture::write_rows(db, "wfdisc", rows));
    for (const char *n : {"1", "2", "3"}) {
        SCOPED_TRACE(n);
        elog_clear_register(0);
        View v({"-nthreads", n, db});
        EXPECT_EQ(v.rc, -1);
        EXPECT_TRUE(rzvtest::has_message("koscv_comp_create_cache: wfdisc row 25000 has a station but no channel.\n"));
        EXPECT_TRUE(rzvtest::has_message(" database error.\n"));
        EXPECT_TRUE(rzvtest::has_message("koscv_create: koscv_subset_cache(" + std::string(v.handle) + ") error.\n"));
        // The view stays registered, without a cache: the failed build is
        // given up whole.
        KOSCV *scv = v.scv();
        ASSERT_NE(scv, nullptr);
        EXPECT_EQ(scv->stachans_tbl, nullptr);
        EXPECT_EQ(scv->stachans_arr, nullptr);
    }
}

// A rebuild that fails leaves the view as it was: its cache, and the
// filters and bounds the failed call would have set.
TEST(KoscvCache, FailedRebuildKeepsTheCacheAndFilters) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    {
        Writer w(db);
        w.wf("AAK", "BHZ", 1000, 1010);
        w.wf("BRVK", "BHZ", 1000, 1010);
        w.arr("AAK", "BHZ", 1005);
    }
    View v({"-stachan_reject", "BRVK:.*", db});
    ASSERT_EQ(v.rc, 0) << rzvtest::all_messages();
    Snapshot before = snapshot(v.scv());
    ASSERT_EQ(before.keys, (std::vector<std::string>{"AAK BHZ"}));
    // another program adds a row the scan refuses (a station, no channel)
    {
        Writer w(db);
        w.wf("KURK", "-", 1000, 1010);
    }
    elog_clear_register(0);
    EXPECT_EQ(koscv_create_cache(v.handle), -1);
    EXPECT_TRUE(rzvtest::has_message(" database error.\n"));
    EXPECT_TRUE(snapshot(v.scv()) == before);
    Tbl *none = newtbl(0);
    EXPECT_EQ(koscv_subset_cache(v.handle, nullptr, none, 2000, 3000), -1);
    freetbl(none, 0);
    KOSCV *scv = v.scv();
    EXPECT_TRUE(snapshot(scv) == before);
    ASSERT_EQ(maxtbl(scv->stachan_reject_cache), 1);
    EXPECT_STREQ((char *)gettbl(scv->stachan_reject_cache, 0), "BRVK .*");
    EXPECT_GE(scv->tstart_cache, 9e19);
    EXPECT_GE(scv->tend_cache, 9e19);
    elog_clear_register(0);
}

TEST(KoscvCache, WindowBoundsAreInclusiveAndCanBeLifted) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    {
        Writer w(db);
        w.arr("AAK", "BHZ", 1000);      // 0 exactly at the start
        w.arr("AAK", "BHZ", 999.999);   // 1 just before
        w.arr("AAK", "BHZ", 5e9);       // 2 far later
        w.wf("AAK", "BHZ", 900, 1000);  // 0 ends at the start
        w.wf("AAK", "BHZ", 800, 999);   // 1 ends before
        w.wf("AAK", "BHZ", 2000, 3000); // 2 starts after the end
    }
    View v({"-tstart", "1000", db});
    ASSERT_EQ(v.rc, 0);
    Snapshot s = snapshot(v.scv());
    EXPECT_EQ(s.pairs["AAK BHZ"], (Pair{900, 5e9, {0, 2}, {0, 2}, {}}));

    // Both bounds: a row is kept when it overlaps, bounds included.
    ASSERT_EQ(koscv_subset_cache(v.handle, nullptr, nullptr, 2e30, 2000), 0);
    s = snapshot(v.scv());
    EXPECT_EQ(s.pairs["AAK BHZ"], (Pair{900, 3000, {0, 2}, {0}, {}}));
    // 2e30 keeps a bound; 1e20 is stored but lifts it.
    ASSERT_EQ(koscv_subset_cache(v.handle, nullptr, nullptr, 1e20, 2e30), 0);
    EXPECT_EQ(v.scv()->tstart_cache, 1e20);
    EXPECT_EQ(v.scv()->tend_cache, 2000);
    s = snapshot(v.scv());
    EXPECT_EQ(s.pairs["AAK BHZ"], (Pair{800, 3000, {0, 1, 2}, {0, 1}, {}}));
    ASSERT_EQ(koscv_create_cache(v.handle), 0);
    EXPECT_EQ(snapshot(v.scv()), s);
}

// SEED codes: IU for AAK (as AAKS), a location code 00 for AAK LHZ.
void write_seed_tables(const std::string &db) {
    Writer w(db);
    ASSERT_GE(dbaddv(w.t("snetsta"), nullptr, "sta", "AAK", "snet", "IU", "fsta", "AAKS", (char *)0), 0);
    ASSERT_GE(dbaddv(w.t("schanloc"), nullptr, "sta", "AAK", "chan", "LHZ", "fchan", "LHZ", "loc", "00", (char *)0), 0);
    for (const char *c : {"BHZ", "BHN", "LHZ"}) w.wf("AAK", c, 100, 200);
    for (const char *c : {"BHZ", "LHZ"}) w.wf("BBB", c, 100, 200);
}

TEST(KoscvCache, AcceptAndRejectOnKeysAndSeedNames) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    write_seed_tables(db);
    View v({"-stachan_accept", "AAK:BH.,#BBB:BHZ,  ,.*_LHZ", db});
    ASSERT_EQ(v.rc, 0);
    KOSCV *scv = v.scv();
    // BBB LHZ has the SEED name _BBB_LHZ; AAK LHZ is IU_AAKS_LHZ_00.
    EXPECT_EQ(keys_of(scv), (std::vector<std::string>{"AAK BHN", "AAK BHZ", "BBB LHZ"}));
    char nscl[128];
    koscv_get_nscl(scv, (char *)"AAK", (char *)"LHZ", nscl);
    EXPECT_STREQ(nscl, "IU_AAKS_LHZ_00");
    koscv_get_nscl(scv, (char *)"AAK", (char *)"BHZ", nscl);
    EXPECT_STREQ(nscl, "IU_AAKS_BHZ");
    elog_clear_register(0);
    koscv_get_nscl(scv, (char *)"NOPE", (char *)"XYZ", nscl);
    EXPECT_STREQ(nscl, "_NOPE_XYZ");
    EXPECT_EQ(elog_count(), 0);

    // A pair matching both lists is rejected.
    Tbl *acc = strtbl("IU_AAKS_.*", (char *)0);
    Tbl *rej = strtbl("AAK BHN", "IU_.*_00", (char *)0);
    ASSERT_EQ(koscv_subset_cache(v.handle, acc, rej, 2e30, 2e30), 0);
    EXPECT_EQ(keys_of(scv), (std::vector<std::string>{"AAK BHZ"}));
    // Null lists keep both filters.
    ASSERT_EQ(koscv_subset_cache(v.handle, nullptr, nullptr, 2e30, 2e30), 0);
    EXPECT_EQ(keys_of(scv), (std::vector<std::string>{"AAK BHZ"}));
    // The view's own lists may be handed back.
    ASSERT_EQ(koscv_subset_cache(v.handle, scv->stachan_accept_cache, scv->stachan_reject_cache, 2e30, 2e30), 0);
    EXPECT_EQ(keys_of(scv), (std::vector<std::string>{"AAK BHZ"}));
    // An empty accept list removes that filter only.
    Tbl *none = newtbl(0);
    ASSERT_EQ(koscv_subset_cache(v.handle, none, nullptr, 2e30, 2e30), 0);
    EXPECT_EQ(scv->stachan_accept_cache, nullptr);
    EXPECT_EQ(keys_of(scv), (std::vector<std::string>{"AAK BHZ", "BBB BHZ", "BBB LHZ"}));
    // A bad expression changes nothing.
    Tbl *bad = strtbl("[", (char *)0);
    elog_clear_register(0);
    EXPECT_EQ(koscv_subset_cache(v.handle, bad, nullptr, 2e30, 2e30), -1);
    EXPECT_TRUE(rzvtest::has_message("koscv_subset_cache: bad expression '['.\n"));
    EXPECT_EQ(keys_of(scv).size(), 3u);
    freetbl(acc, nullptr);
    freetbl(rej, nullptr);
    freetbl(none, nullptr);
    freetbl(bad, nullptr);
}

// ------------------------------------------------------------ parallel builds

// A generated database and, computed independently, the cache it must give.
struct Generated {
    std::string db;
    Snapshot want;
};

Generated generate(const std::string &prefix, int nwf) {
    Generated g;
    g.db = prefix;
    const char *chans[] = {"BHZ", "BHN", "BHE", "LHZ"};
    const int nsta = 120;
    auto sta_name = [](int s) {
        char b[8];
        snprintf(b, sizeof b, "S%03d", s);
        return std::string(b);
    };
    // SEED codes: every third station is in network IU; LHZ of every fifth
    // station has location 00.
    std::vector<std::string> snetsta, schanloc;
    for (int s = 0; s < nsta; s += 3)
        snetsta.push_back(dbfixture::hand_row("snetsta", {{"IU"}, {sta_name(s)}, {sta_name(s)}}));
    for (int s = 0; s < nsta; s += 5)
        schanloc.push_back(dbfixture::hand_row("schanloc", {{sta_name(s)}, {"LHZ"}, {"00"}, {"LHZ"}}));
    dbfixture::write_rows(prefix, "snetsta", snetsta);
    dbfixture::write_rows(prefix, "schanloc", schanloc);
    // accept: "S0[0-3]. BH." or "IU_.*_LHZ"; reject: "S00[0-4] BHE" or ".*_LHZ_00".
    auto keep = [&](int s, int c) {
        bool iu = s % 3 == 0, loc = s % 5 == 0 && c == 3;
        bool acc = (s < 40 && c < 3) || (iu && c == 3 && !loc);
        bool rej = (s < 5 && c == 2) || loc;
        return acc && !rej;
    };
    const double W0 = 1e9 + 50000, W1 = 1e9 + 400000;
    auto add = [&](const std::string &key, int table, long rec, double t0, double t1) {
        Pair &p = g.want.pairs[key];
        std::vector<long> *l = table == 0 ? &p.wf : table == 1 ? &p.ar : &p.de;
        std::vector<long> *all = table == 0 ? &g.want.wf : table == 1 ? &g.want.ar : &g.want.de;
        if (p.wf.empty() && p.ar.empty() && p.de.empty()) {
            p.tstart = t0;
            p.tend = t1;
        }
        l->push_back(rec);
        all->push_back(rec);
        p.tstart = std::min(p.tstart, t0);
        p.tend = std::max(p.tend, t1);
    };
    std::vector<std::string> rows;
    rows.reserve(nwf);
    unsigned x = 12345;
    for (int i = 0; i < nwf; i++) {
        x = x * 1103515245u + 12345u;
        int s = (x >> 8) % nsta, c = (x >> 20) % 4;
        double t0 = 1e9 + (double)((x >> 3) % 900000) * 0.5;
        double t1 = t0 + (double)((x >> 13) % 400) * 0.25 - 5;  // a few end before they start
        std::string sta = i % 997 == 5 ? "-" : sta_name(s);
        rows.push_back(dbfixture::wfdisc_row(sta.c_str(), chans[c], t0, t1, i));
        if (sta != "-" && t0 <= t1 && W0 <= t1 && t0 <= W1 && keep(s, c))
            add(sta + " " + chans[c], 0, i, t0, t1);
    }
    dbfixture::write_rows(prefix, "wfdisc", rows);
    std::vector<std::string> arr, det;
    for (int i = 0; i < nwf / 10; i++) {
        x = x * 1103515245u + 12345u;
        int s = (x >> 8) % nsta, c = (x >> 20) % 4;
        double t = 1e9 + (double)((x >> 3) % 900000) * 0.5;
        char ts[32];
        snprintf(ts, sizeof ts, "%.5f", t);
        if (i % 2) {
            arr.push_back(dbfixture::hand_row("arrival", {{sta_name(s)}, {ts, -1}, {"1", -1}, {"-1", -1}, {"-1", -1},
                                                          {"-1", -1}, {chans[c]}}));
            if (W0 <= t && t <= W1 && keep(s, c)) add(sta_name(s) + " " + chans[c], 1, (long)arr.size() - 1, t, t);
        } else {
            det.push_back(dbfixture::hand_row("detection", {{"src"}, {"-"}, {sta_name(s)}, {chans[c]}, {ts, -1}}));
            if (W0 <= t && t <= W1 && keep(s, c)) add(sta_name(s) + " " + chans[c], 2, (long)det.size() - 1, t, t);
        }
    }
    dbfixture::write_rows(prefix, "arrival", arr);
    dbfixture::write_rows(prefix, "detection", det);
    for (auto &kv : g.want.pairs) g.want.keys.push_back(kv.first);
    return g;
}

TEST(KoscvParallel, SameCacheForOneToEightWorkers) {
    rzvtest::TempDir dir;
    Generated g = generate(dir.file("big"), 200000);
    ASSERT_GT(g.want.keys.size(), 100u);
    ASSERT_GT(g.want.wf.size(), 10000u);
    for (int n = 1; n <= 8; n++) {
        SCOPED_TRACE(n);
        View v({"-nthreads", std::to_string(n), "-tstart", "1000050000", "-tend", "1000400000", "-stachan_accept",
                "S0[0-3].:BH.,IU_.*_LHZ", "-stachan_reject", "S00[0-4]:BHE,.*_LHZ_00", g.db});
        ASSERT_EQ(v.rc, 0) << rzvtest::all_messages();
        Snapshot s = snapshot(v.scv());
        ASSERT_EQ(s.keys, g.want.keys);
        ASSERT_TRUE(s == g.want);
        // The worker records hold nothing between builds.
        for (long i = 0; i < maxtbl(v.scv()->threads); i++)
            EXPECT_EQ(maxtbl(((KOSCVThread *)gettbl(v.scv()->threads, i))->rows), 0);
    }
}

TEST(KoscvParallel, SmallTablesUseFewerSlicesThanWorkers) {
    rzvtest::TempDir dir;
    Generated g = generate(dir.file("small"), 25000);
    View one({"-nthreads", "1", g.db});
    View four({"-nthreads", "4", g.db});
    ASSERT_EQ(one.rc, 0);
    ASSERT_EQ(four.rc, 0);
    EXPECT_TRUE(snapshot(one.scv()) == snapshot(four.scv()));
    // Slices of at least 10000 rows: three of the four records scanned.
    int used = 0;
    for (long i = 0; i < 4; i++)
        if (((KOSCVThread *)gettbl(four.scv()->threads, i))->table[0]) used++;
    EXPECT_EQ(used, 3);
    // Rebuilding gives the same cache again.
    Snapshot before = snapshot(four.scv());
    ASSERT_EQ(koscv_create_cache(four.handle), 0);
    EXPECT_TRUE(snapshot(four.scv()) == before);
}

TEST(KoscvParallel, ViewsOpenAndBuildFromSeveralThreads) {
    rzvtest::TempDir dir;
    Generated g = generate(dir.file("mt"), 30000);
    Snapshot want;
    {
        View v({g.db});
        want = snapshot(v.scv());
    }
    std::vector<std::thread> ts;
    std::atomic<int> same{0};
    for (int k = 0; k < 3; k++)
        ts.emplace_back([&, k] {
            View v({"-nthreads", std::to_string(k + 1), g.db});
            if (v.rc == 0 && snapshot(v.scv()) == want) same++;
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(same.load(), 3);
}

// ------------------------------------------------------------ subsets

TEST(KoscvSubset, RowsOfOnePairInAWindow) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    {
        Writer w(db);
        w.wf("AAK", "BHZ", 100, 200);  // 0
        w.wf("AAK", "BHZ", 300, 400);  // 1
        w.wf("AAK", "BHN", 100, 400);  // 2
        w.arr("AAK", "BHZ", 150);      // 0
        w.arr("AAK", "BHZ", 350);      // 1
        w.det("AAK", "BHZ", 200);      // 0
    }
    View v({"-nthreads", "2", db});
    ASSERT_EQ(v.rc, 0);
    KOSCVStaChan *sc = nullptr;
    ASSERT_EQ(koscv_subset(v.handle, (char *)"AAK BHZ", 150, 300, 1, 1, 1, &sc), 0);
    EXPECT_STREQ(sc->sta, "AAK");
    EXPECT_STREQ(sc->chan, "BHZ");
    EXPECT_EQ(sc->tstart, 100);
    EXPECT_EQ(sc->tend, 400);
    EXPECT_EQ(rows_of(sc->wfdiscrows), (std::vector<long>{0, 1}));
    EXPECT_EQ(rows_of(sc->arrivalrows), (std::vector<long>{0}));
    EXPECT_EQ(rows_of(sc->detectionrows), (std::vector<long>{0}));
    // Only the wfdisc rows asked for: the others stay null.
    ASSERT_EQ(koscv_subset(v.handle, (char *)"AAK BHZ", 0, 1e12, 1, 0, 0, &sc), 0);
    EXPECT_EQ(rows_of(sc->wfdiscrows), (std::vector<long>{0, 1}));
    EXPECT_EQ(sc->arrivalrows, nullptr);
    EXPECT_EQ(sc->detectionrows, nullptr);
    // Windows far beyond what a time field holds still work.
    ASSERT_EQ(koscv_subset(v.handle, (char *)"AAK BHZ", -1e30, 2e30, 0, 1, 0, &sc), 0);
    EXPECT_EQ(rows_of(sc->arrivalrows), (std::vector<long>{0, 1}));
    // A pair that is not cached: empty lists and no failure, even with no flags.
    ASSERT_EQ(koscv_subset(v.handle, (char *)"XYZ SHZ", 0, 1e12, 0, 0, 0, &sc), 0);
    EXPECT_EQ(maxtbl(sc->wfdiscrows), 0);
    EXPECT_NE(sc->arrivalrows, nullptr);
    EXPECT_EQ(maxtbl(sc->detectionrows), 0);
    EXPECT_STREQ(sc->sta, "XYZ");
    EXPECT_STREQ(sc->chan, "SHZ");
    koscv_free_stachan(sc);

    sc = nullptr;
    elog_clear_register(0);
    EXPECT_EQ(koscv_subset(v.handle, nullptr, 0, 1, 1, 1, 1, &sc), -1);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_subset: stachan cannot be set to NULL\n");
    char bogus[] = "koscv999999";
    EXPECT_EQ(koscv_subset(bogus, (char *)"AAK BHZ", 0, 1, 1, 1, 1, &sc), -1);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_subset: koscv_get(koscv999999) error.\n");
    EXPECT_EQ(koscv_subset(v.handle, (char *)"AAK BHZ", NAN, 1, 1, 1, 1, &sc), -1);
    EXPECT_EQ(sc, nullptr);
}

TEST(KoscvSubset, RefreshDropsMatchingStateSoNewRowsAreSeen) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    {
        Writer w(db);
        w.wf("AAK", "BHZ", 100, 200);
        w.arr("AAK", "BHZ", 150);
    }
    View v({db});
    ASSERT_EQ(v.rc, 0);
    // Refreshing before any fetch made a hook is fine.
    EXPECT_EQ(koscv_subset_refresh(v.handle), 0);
    EXPECT_EQ(koscv_subset_refresh_wfdisc(v.handle), 0);
    KOSCVStaChan *sc = nullptr;
    ASSERT_EQ(koscv_subset(v.handle, (char *)"AAK BHZ", 0, 1000, 1, 1, 1, &sc), 0);
    KOSCV *scv = v.scv();
    KOSCVTable *wf = (KOSCVTable *)getarr(scv->tables, "wfdisc");
    EXPECT_NE(wf->dbmatches_hook, nullptr);
    long added = dbaddv(dblookup(scv->db, nullptr, "wfdisc", nullptr, nullptr), nullptr, "sta", "AAK", "chan", "BHZ",
                        "time", 500.0, "endtime", 600.0, (char *)0);
    ASSERT_EQ(added, 1);
    ASSERT_EQ(koscv_subset_refresh_wfdisc(v.handle), 0);
    EXPECT_EQ(wf->dbmatches_hook, nullptr);
    EXPECT_EQ(koscv_subset_refresh_arrival(v.handle), 0);
    EXPECT_EQ(koscv_subset_refresh_detection(v.handle), 0);
    ASSERT_EQ(koscv_subset(v.handle, (char *)"AAK BHZ", 0, 1000, 1, 1, 1, &sc), 0);
    EXPECT_EQ(rows_of(sc->wfdiscrows), (std::vector<long>{0, 1}));
    EXPECT_EQ(rows_of(sc->arrivalrows), (std::vector<long>{0}));
    koscv_free_stachan(sc);
    char bogus[] = "koscv0";
    elog_clear_register(0);
    EXPECT_EQ(koscv_subset_refresh(bogus), -1);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_subset_refresh: koscv_get(koscv0) error.\n");
    EXPECT_EQ(koscv_subset_refresh_arrival(bogus), -1);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_subset_refresh_arrival: koscv_get(koscv0) error.\n");
}

// ------------------------------------------------------------ station metadata

TEST(KoscvStation, CoordinatesOnTheDayAndCalibrationFallback) {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    const double day1 = 1577836800;  // 2020-001
    {
        Writer w(db);
        ASSERT_GE(dbaddv(w.t("site"), nullptr, "sta", "AAK", "ondate", 2019001L, "offdate", 2019365L, "lat", 1.0,
                         "lon", 2.0, "elev", 3.0, (char *)0), 0);
        ASSERT_GE(dbaddv(w.t("site"), nullptr, "sta", "AAK", "ondate", 2020001L, "offdate", -1L, "lat", 42.5, "lon",
                         74.5, "elev", 1.645, (char *)0), 0);
        ASSERT_GE(dbaddv(w.t("wfdisc"), nullptr, "sta", "AAK", "chan", "BHZ", "time", day1, "endtime", day1 + 100,
                         "samprate", 40.0, "calib", 0.0, "calper", 1.0, "segtype", "V", (char *)0), 0);
        ASSERT_GE(dbaddv(w.t("wfdisc"), nullptr, "sta", "AAK", "chan", "BHZ", "time", day1 + 200, "endtime",
                         day1 + 300, "samprate", 20.0, "calib", 0.5, "calper", 2.0, (char *)0), 0);
        ASSERT_GE(dbaddv(w.t("calibration"), nullptr, "sta", "AAK", "chan", "BHZ", "time", day1 - 10, "endtime",
                         day1 + 1000, "calib", 2.5, "calper", 1.5, "segtype", "A", (char *)0), 0);
    }
    View v({db});
    ASSERT_EQ(v.rc, 0);
    KOSCV *scv = v.scv();
    KOSCVStaChan *sc = nullptr;
    ASSERT_EQ(koscv_subset(v.handle, (char *)"AAK BHZ", 0, 2e9, 1, 0, 0, &sc), 0);
    double lat = 0, lon = 0, elev = 7;
    ASSERT_EQ(koscv_get_latlonelev(scv, sc, day1 + 86400 * 40, &lat, &lon, &elev), 0);
    EXPECT_DOUBLE_EQ(lat, 42.5);
    EXPECT_DOUBLE_EQ(lon, 74.5);
    EXPECT_DOUBLE_EQ(elev, 1.645);
    ASSERT_EQ(koscv_get_latlonelev(scv, sc, day1 - 86400 * 100, &lat, &lon, &elev), 0);
    EXPECT_DOUBLE_EQ(lat, 1.0);
    elev = 7;
    ASSERT_EQ(koscv_get_latlonelev(scv, sc, day1 - 86400 * 800, &lat, &lon, &elev), 0);
    EXPECT_EQ(lat, -999);
    EXPECT_EQ(lon, -999);
    EXPECT_EQ(elev, 7);

    Dbptr row = dblookup(scv->db, nullptr, "wfdisc", nullptr, nullptr);
    row.record = 0;
    double rate = 0, calib = -1, calper = -1;
    char seg[2] = "";
    ASSERT_EQ(koscv_get_sampratecalib(scv, sc, row, 1, &rate, &calib, &calper, seg), 0);
    EXPECT_EQ(rate, 40);
    EXPECT_EQ(calib, 2.5);
    EXPECT_EQ(calper, 1.5);
    EXPECT_STREQ(seg, "A");
    ASSERT_EQ(koscv_get_sampratecalib(scv, sc, row, 0, &rate, &calib, &calper, seg), 0);
    EXPECT_EQ(calib, 0);
    EXPECT_STREQ(seg, "V");
    row.record = 1;
    ASSERT_EQ(koscv_get_sampratecalib(scv, sc, row, 1, &rate, &calib, &calper, seg), 0);
    EXPECT_EQ(rate, 20);
    EXPECT_EQ(calib, 0.5);
    row.record = 99;
    elog_clear_register(0);
    EXPECT_EQ(koscv_get_sampratecalib(scv, sc, row, 1, &rate, &calib, &calper, seg), -1);
    EXPECT_EQ(rzvtest::messages().back(), "koscv_get_sampratecalib: dbgetv() error.\n");
    koscv_free_stachan(sc);
}

// Last: "-v" stays on for every later view of the process.
TEST(KoscvVerbose, ProgressMessagesNameTablesAndSlices) {
    rzvtest::TempDir dir;
    Generated g = generate(dir.file("v"), 20000);
    std::string log = dir.file("log");
    FILE *fp = fopen(log.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    elog_set_stream(fp);
    {
        View v({"-v", "-nthreads", "2", g.db});
        EXPECT_EQ(v.rc, 0);
    }
    elog_set_stream(nullptr);
    fclose(fp);
    std::string text = rzvtest::read_file(log);
    EXPECT_NE(text.find("Starting wfdisc thread 1 from 10001 to 19999"), std::string::npos) << text;
    EXPECT_NE(text.find("Merging wfdisc records"), std::string::npos);
}

}  // namespace
