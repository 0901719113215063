// Tests of record matching: the key rules (equality, ranges, overlap,
// bounds), primary keys for null lists, the index in the hook and in
// index_arr, rows appended after the build, and agreement with a scan.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"

namespace {

class Match : public ::testing::Test {
protected:
    void SetUp() override {
        elog_clear_register(0);
        ASSERT_EQ(dbopen_memory(&db), 0);
        wf = dblookup(db, 0, "wfdisc", 0, 0);
        // Three channels, rows of 100 s each, 50 s apart in start time for HHZ.
        const char *chans[] = {"BHZ", "BHN", "HHZ"};
        for (int c = 0; c < 3; c++)
            for (int i = 0; i < 10; i++) {
                double t = 1000.0 + i * (c == 2 ? 50.0 : 100.0);
                ASSERT_GE(dbaddv(wf, 0, "sta", i % 2 ? "AAA" : "BBB", "chan", chans[c], "time", t, "endtime",
                                 t + 100.0, "wfid", (long)(c * 10 + i), (char *)0),
                          0);
            }
        sc = dblookup(wf, 0, 0, 0, "dbSCRATCH");
        k1 = strtbl("sta", "chan", "time::endtime", (char *)0);
    }
    void TearDown() override {
        free_hook(&hook);
        freetbl(list, 0);
        freetbl(k1, 0);
        dbclose(db);
        elog_clear_register(0);
    }
    std::vector<long> rows() {
        std::vector<long> out;
        for (long i = 0; i < maxtbl(list); i++) out.push_back((long)gettbl(list, i));
        return out;
    }
    // The rows a plain scan finds for sta, chan overlapping [t0, t1].
    std::vector<long> scan(const char *sta, const char *chan, double t0, double t1) {
        std::vector<long> out;
        long n;
        dbquery(wf, dbRECORD_COUNT, &n);
        Dbptr r = wf;
        for (r.record = 0; r.record < n; r.record++) {
            char s[8], c[10];
            double t, e;
            dbgetv(r, 0, "sta", s, "chan", c, "time", &t, "endtime", &e, (char *)0);
            if (!strcmp(s, sta) && !strcmp(c, chan) && t <= t1 && e >= t0) out.push_back(r.record);
        }
        return out;
    }
    Dbptr db, wf, sc;
    Tbl *k1 = nullptr, *list = nullptr;
    Hook *hook = nullptr;
};

}  // namespace

TEST_F(Match, OverlapIncludesBoundsAndListsAscending) {
    ASSERT_EQ(dbputv(sc, 0, "sta", "BBB", "chan", "HHZ", "time", 1100.0, "endtime", 1200.0, (char *)0), 0);
    long n = dbmatches(sc, wf, &k1, &k1, &hook, &list);
    EXPECT_EQ(rows(), scan("BBB", "HHZ", 1100.0, 1200.0));
    EXPECT_EQ(n, (long)rows().size());
    ASSERT_GE(n, 2);
    for (size_t i = 1; i < rows().size(); i++) EXPECT_LT(rows()[i - 1], rows()[i]);
    // A window touching a row's end exactly matches it (bounds included).
    ASSERT_EQ(dbputv(sc, 0, "chan", "BHZ", "time", 1300.0, "endtime", 1300.0, (char *)0), 0);
    dbmatches(sc, wf, &k1, &k1, &hook, &list);
    EXPECT_EQ(rows(), scan("BBB", "BHZ", 1300.0, 1300.0));
    EXPECT_EQ(rows().size(), 1u);  // BBB has the even rows: 1200-1300 touches 1300
}

TEST_F(Match, AgreesWithAScanOverManyWindows) {
    srand(7);
    const char *stas[] = {"AAA", "BBB", "CCC"};
    const char *chans[] = {"BHZ", "BHN", "HHZ"};
    for (int k = 0; k < 200; k++) {
        const char *s = stas[rand() % 3], *c = chans[rand() % 3];
        double t0 = 900 + rand() % 1200, t1 = t0 + rand() % 300;
        dbputv(sc, 0, "sta", s, "chan", c, "time", t0, "endtime", t1, (char *)0);
        ASSERT_GE(dbmatches(sc, wf, &k1, &k1, &hook, &list), 0);
        ASSERT_EQ(rows(), scan(s, c, t0, t1)) << s << " " << c << " " << t0 << " " << t1;
    }
}

TEST_F(Match, KeyRangeAgainstPlainFieldAndPlainAgainstRange) {
    Tbl *kt = strtbl("time::endtime", (char *)0), *tt = strtbl("time", (char *)0);
    // key range against the table's plain time: the time inside the range
    dbputv(sc, 0, "time", 1000.0, "endtime", 1100.0, (char *)0);
    dbmatches(sc, wf, &kt, &tt, &hook, &list);
    for (long r : rows()) {
        Dbptr p = wf;
        p.record = r;
        double t;
        dbgetv(p, 0, "time", &t, (char *)0);
        EXPECT_GE(t, 1000.0);
        EXPECT_LE(t, 1100.0);
    }
    EXPECT_EQ(rows().size(), 2u + 2u + 3u);
    // a plain key against a table range: the key inside the range
    Tbl *kp = strtbl("time", (char *)0), *tr = strtbl("time::endtime", (char *)0);
    Hook *h2 = nullptr;
    dbputv(sc, 0, "time", 1100.0, (char *)0);
    dbmatches(sc, wf, &kp, &tr, &h2, &list);
    EXPECT_EQ(rows().size(), 2u + 2u + 3u);
    free_hook(&h2);
    freetbl(kt, 0);
    freetbl(tt, 0);
    freetbl(kp, 0);
    freetbl(tr, 0);
}

TEST_F(Match, NullKeyListsUseSharedPrimaryKeys) {
    // arrival has sta and time (no chan, no endtime): sta and time in time::endtime
    Dbptr ar = dblookup(db, 0, "arrival", 0, 0);
    ASSERT_EQ(dbaddv(ar, 0, "sta", "AAA", "time", 1150.0, "chan", "BHZ", (char *)0), 0);
    ar.record = 0;
    long n = dbmatches(ar, wf, 0, 0, &hook, &list);
    ASSERT_GE(n, 1);
    for (long r : rows()) {
        Dbptr p = wf;
        p.record = r;
        char s[8];
        double t, e;
        dbgetv(p, 0, "sta", s, "time", &t, "endtime", &e, (char *)0);
        EXPECT_STREQ(s, "AAA");
        EXPECT_LE(t, 1150.0);
        EXPECT_GE(e, 1150.0);
    }
    // A site scratch row with ondate = offdate = a day: the site of that day.
    Dbptr site = dblookup(db, 0, "site", 0, 0);
    dbaddv(site, 0, "sta", "AAA", "ondate", 2000001L, "offdate", 2005001L, (char *)0);
    dbaddv(site, 0, "sta", "AAA", "ondate", 2005002L, "offdate", -1L, (char *)0);
    Dbptr ss = dblookup(site, 0, 0, 0, "dbSCRATCH");
    dbputv(ss, 0, "sta", "AAA", "ondate", 2010001L, "offdate", 2010001L, (char *)0);
    Hook *h2 = nullptr;
    ASSERT_EQ(dbmatches(ss, site, 0, 0, &h2, &list), 1);
    EXPECT_EQ(rows()[0], 1);  // the open-ended row (-1 offdate)
    free_hook(&h2);
}

TEST_F(Match, IndexLivesInIndexArrAndSeesAppendedRows) {
    dbputv(sc, 0, "sta", "AAA", "chan", "BHZ", "time", 5000.0, "endtime", 5100.0, (char *)0);
    EXPECT_EQ(dbmatches(sc, wf, &k1, &k1, &hook, &list), 0);
    char *name = dbindex_name(wf, k1);
    ASSERT_NE(name, nullptr);
    Arr *ix = dbindex_arr(wf);
    ASSERT_NE(ix, nullptr);
    EXPECT_NE(getarr(ix, name), nullptr);
    // A row appended after the build is found.
    long r = dbaddv(wf, 0, "sta", "AAA", "chan", "BHZ", "time", 5050.0, "endtime", 5060.0, (char *)0);
    EXPECT_EQ(dbmatches(sc, wf, &k1, &k1, &hook, &list), 1);
    EXPECT_EQ(rows()[0], r);
    // Dropping the index (as a view refresh does) and matching again.
    free_hook(&hook);
    void *old = delarr(ix, name);
    ASSERT_NE(old, nullptr);
    dbfree_index(old);
    EXPECT_EQ(getarr(ix, name), nullptr);
    EXPECT_EQ(dbmatches(sc, wf, &k1, &k1, &hook, &list), 1);
    EXPECT_NE(getarr(ix, name), nullptr);
    free(name);
    // Changing a key field of a row is seen too.
    Dbptr p = wf;
    p.record = r;
    dbputv(p, 0, "chan", "BHN", (char *)0);
    EXPECT_EQ(dbmatches(sc, wf, &k1, &k1, &hook, &list), 0);
}

TEST_F(Match, HookWorksWithoutAndAfterClose) {
    dbputv(sc, 0, "sta", "AAA", "chan", "BHZ", "time", 1000.0, "endtime", 2000.0, (char *)0);
    // no hook at all
    EXPECT_EQ(dbmatches(sc, wf, &k1, &k1, 0, &list), (long)scan("AAA", "BHZ", 1000, 2000).size());
    // null key pointers and keys2 taken from keys
    EXPECT_EQ(dbmatches(sc, wf, &k1, 0, &hook, &list), (long)scan("AAA", "BHZ", 1000, 2000).size());
    // Bad keys fail with a message.
    Tbl *bad = strtbl("nosuch", (char *)0);
    Hook *h2 = nullptr;
    EXPECT_LT(dbmatches(sc, wf, &bad, &bad, &h2, &list), 0);
    EXPECT_TRUE(rzvtest::has_message("nosuch"));
    free_hook(&h2);
    freetbl(bad, 0);
    // The hook outlives the database safely (freed in TearDown after close
    // of a second database here).
    Dbptr db2;
    ASSERT_EQ(dbopen_memory(&db2), 0);
    Dbptr wf2 = dblookup(db2, 0, "wfdisc", 0, 0);
    dbaddv(wf2, 0, "sta", "AAA", "chan", "BHZ", "time", 1.0, "endtime", 2.0, (char *)0);
    Dbptr sc2 = dblookup(wf2, 0, 0, 0, "dbSCRATCH");
    dbputv(sc2, 0, "sta", "AAA", "chan", "BHZ", "time", 0.0, "endtime", 5.0, (char *)0);
    Hook *h3 = nullptr;
    EXPECT_EQ(dbmatches(sc2, wf2, &k1, &k1, &h3, &list), 1);
    dbclose(db2);
    free_hook(&h3);
}

TEST_F(Match, KeySideExpressions) {
    // An origin's detections: time from 10 s before to 1800 s after.
    Dbptr org = dblookup(db, 0, "origin", 0, 0);
    ASSERT_EQ(dbaddv(org, 0, "time", 1000.0, "lat", 1.0, "lon", 2.0, (char *)0), 0);
    org.record = 0;
    Dbptr det = dblookup(db, 0, "detection", 0, 0);
    double times[] = {985.0, 990.0, 1500.0, 2800.0, 2800.5};
    for (double t : times) ASSERT_GE(dbaddv(det, 0, "sta", "AAA", "chan", "BHZ", "time", t, (char *)0), 0);
    Tbl *kk = strtbl("time-10.0::time+1800.0", (char *)0), *kt = strtbl("time", (char *)0);
    ASSERT_EQ(dbmatches(org, det, &kk, &kt, &hook, &list), 3);
    EXPECT_EQ(rows(), (std::vector<long>{1, 2, 3}));
    // Against a table range: wfdisc rows overlapping [time, time+60].
    Tbl *k2 = strtbl("time::time+60.000000", (char *)0), *t2 = strtbl("time::endtime", (char *)0);
    Hook *h2 = nullptr;
    Dbptr o2 = org;
    dbputv(o2, 0, "time", 1095.0, (char *)0);
    long n = dbmatches(o2, wf, &k2, &t2, &h2, &list);
    long want = 0;
    Dbptr r = wf;
    long nw;
    dbquery(wf, dbRECORD_COUNT, &nw);
    for (r.record = 0; r.record < nw; r.record++) {
        double t, e;
        dbgetv(r, 0, "time", &t, "endtime", &e, (char *)0);
        if (t <= 1155.0 && e >= 1095.0) want++;
    }
    EXPECT_EQ(n, want);
    // A key that is neither a field nor an expression fails.
    Tbl *bad = strtbl("time +* 3", (char *)0);
    Hook *h3 = nullptr;
    EXPECT_LT(dbmatches(org, det, &bad, &kt, &h3, &list), 0);
    free_hook(&h2);
    free_hook(&h3);
    freetbl(kk, 0);
    freetbl(kt, 0);
    freetbl(k2, 0);
    freetbl(t2, 0);
    freetbl(bad, 0);
}

TEST_F(Match, AViewIndexSeesChangedBaseRows) {
    Tbl *names = strtbl("wfdisc", (char *)0);
    Dbptr v = dbtbl2view(db, names);
    freetbl(names, 0);
    char ref[dbREF_SIZE];
    Dbptr r = wf;
    for (r.record = 0; r.record < 5; r.record++) {
        ASSERT_EQ(dbref(r, ref), 0);
        ASSERT_GE(dbadd(v, ref), 0);
    }
    // view rows 0..4 are wfdisc rows 0..4: BBB/AAA BHZ 1000..1400
    dbputv(sc, 0, "sta", "BBB", "chan", "BHZ", "time", 1000.0, "endtime", 1050.0, (char *)0);
    ASSERT_EQ(dbmatches(sc, v, &k1, &k1, &hook, &list), 1);
    EXPECT_EQ(rows()[0], 0);
    Dbptr b = wf;
    b.record = 0;
    ASSERT_EQ(dbputv(b, 0, "sta", "CCC", (char *)0), 0);
    EXPECT_EQ(dbmatches(sc, v, &k1, &k1, &hook, &list), 0);
    // a base row moved into the window
    b.record = 2;
    ASSERT_EQ(dbputv(b, 0, "time", 1040.0, (char *)0), 0);
    EXPECT_EQ(dbmatches(sc, v, &k1, &k1, &hook, &list), 1);
    EXPECT_EQ(rows()[0], 2);
    dbfree(v);
}

// Two key lists on the same table fields but of different kinds (a plain
// key against the table range, then a key range against it) share the
// index name; each must still get its own answer.
TEST_F(Match, KeyListsOfDifferentKindsOnTheSameTableFields) {
    Tbl *kp = strtbl("sta", "chan", "time", (char *)0);
    Tbl *kr = strtbl("sta", "chan", "time::endtime", (char *)0);
    Tbl *tr = strtbl("sta", "chan", "time::endtime", (char *)0);
    Hook *h2 = nullptr;
    // a plain time: rows containing 1150 (BBB BHZ rows start at 1000, 1200, ...)
    dbputv(sc, 0, "sta", "BBB", "chan", "BHZ", "time", 1150.0, "endtime", 1450.0, (char *)0);
    ASSERT_GE(dbmatches(sc, wf, &kp, &tr, &hook, &list), 0);
    // then a window 1150..1450: every row overlapping it
    ASSERT_GE(dbmatches(sc, wf, &kr, &tr, &h2, &list), 0);
    EXPECT_EQ(rows(), scan("BBB", "BHZ", 1150.0, 1450.0));
    // and a plain key against a plain table field after a range against it
    Tbl *kt = strtbl("time::endtime", (char *)0), *tt = strtbl("time", (char *)0);
    Hook *h3 = nullptr, *h4 = nullptr;
    ASSERT_GE(dbmatches(sc, wf, &kt, &tt, &h3, &list), 0);
    EXPECT_EQ(maxtbl(list), 3 + 3 + 7);  // HHZ rows start every 50 s
    dbputv(sc, 0, "time", 1200.0, (char *)0);
    ASSERT_GE(dbmatches(sc, wf, &tt, &tt, &h4, &list), 0);
    EXPECT_EQ(maxtbl(list), 3);  // the rows starting at 1200
    free_hook(&h2);
    free_hook(&h3);
    free_hook(&h4);
    freetbl(kp, 0);
    freetbl(kr, 0);
    freetbl(tr, 0);
    freetbl(kt, 0);
    freetbl(tt, 0);
}

// A key expression whose natural value is an integer (a yearday plus one)
// is compared as a number, not as the bits of one.
TEST_F(Match, IntegerKeyExpressions) {
    Dbptr site = dblookup(db, 0, "site", 0, 0);
    ASSERT_EQ(dbaddv(site, 0, "sta", "AAA", "ondate", 2010002L, "offdate", 2010005L, (char *)0), 0);
    ASSERT_EQ(dbaddv(site, 0, "sta", "AAA", "ondate", 2010006L, "offdate", 2010009L, (char *)0), 1);
    Dbptr ss = dblookup(site, 0, 0, 0, "dbSCRATCH");
    dbputv(ss, 0, "sta", "AAA", "ondate", 2010001L, (char *)0);
    Tbl *k = strtbl("ondate+1", (char *)0), *t = strtbl("ondate", (char *)0);
    ASSERT_EQ(dbmatches(ss, site, &k, &t, &hook, &list), 1);
    EXPECT_EQ(rows()[0], 0);
    Tbl *kr = strtbl("ondate+4::ondate+5", (char *)0), *tr = strtbl("ondate::offdate", (char *)0);
    Hook *h2 = nullptr;
    ASSERT_EQ(dbmatches(ss, site, &kr, &tr, &h2, &list), 2);
    // a numeric expression against a text field compares its text
    Tbl *ks = strtbl("ondate-2009999", (char *)0), *ts = strtbl("sta", (char *)0);
    Hook *h3 = nullptr;
    dbaddv(site, 0, "sta", "2", (char *)0);
    EXPECT_EQ(dbmatches(ss, site, &ks, &ts, &h3, &list), 1);
    free_hook(&h2);
    free_hook(&h3);
    freetbl(k, 0);
    freetbl(t, 0);
    freetbl(kr, 0);
    freetbl(tr, 0);
    freetbl(ks, 0);
    freetbl(ts, 0);
}

// A hook holding compiled key expressions is freed safely after its
// databases are closed, and a new database in the same slot does not reuse
// its state.
TEST_F(Match, ExpressionHookOutlivesItsDatabase) {
    Dbptr db2;
    ASSERT_EQ(dbopen_memory(&db2), 0);
    Dbptr org = dblookup(db2, 0, "origin", 0, 0);
    ASSERT_EQ(dbaddv(org, 0, "time", 1000.0, (char *)0), 0);
    org.record = 0;
    Dbptr det = dblookup(db2, 0, "detection", 0, 0);
    ASSERT_EQ(dbaddv(det, 0, "sta", "AAA", "time", 1500.0, (char *)0), 0);
    Tbl *kk = strtbl("time-10.0::time+1800.0", (char *)0), *kt = strtbl("time", (char *)0);
    Hook *h2 = nullptr;
    ASSERT_EQ(dbmatches(org, det, &kk, &kt, &h2, &list), 1);
    long slot = db2.database;
    dbclose(db2);
    Dbptr db3;
    ASSERT_EQ(dbopen_memory(&db3), 0);
    ASSERT_EQ(db3.database, slot);
    Dbptr org3 = dblookup(db3, 0, "origin", 0, 0);
    ASSERT_EQ(dbaddv(org3, 0, "time", 5000.0, (char *)0), 0);
    org3.record = 0;
    Dbptr det3 = dblookup(db3, 0, "detection", 0, 0);
    ASSERT_EQ(dbaddv(det3, 0, "sta", "AAA", "time", 1500.0, (char *)0), 0);
    EXPECT_EQ(dbmatches(org3, det3, &kk, &kt, &h2, &list), 0);
    dbclose(db3);
    free_hook(&h2);
    freetbl(kk, 0);
    freetbl(kt, 0);
}

// A file whose last line was cut inside a number: that row matches nothing
// and cannot be a key (the number is not read as a smaller one).
TEST_F(Match, ARowCutInsideANumberMatchesNothing) {
    rzvtest::TempDir dir;
    std::string prefix = dir.file("cut");
    std::string a = dbfixture::wfdisc_row("ANMO", "BHZ", 100, 1000000, 1);
    std::string b = dbfixture::wfdisc_row("ANMO", "BHZ", 200, 1000000, 2);
    ASSERT_TRUE(rzvtest::write_file(prefix + ".wfdisc", a + "\n" + b.substr(0, 70)));  // endtime cut to "10000"
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    Dbptr fdb;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &fdb), 0);
    Dbptr fw = dblookup(fdb, 0, "wfdisc", 0, 0);
    dbputv(sc, 0, "sta", "ANMO", "chan", "BHZ", "time", 5000.0, "endtime", 6000.0, (char *)0);
    EXPECT_EQ(dbmatches(sc, fw, &k1, &k1, &hook, &list), 1);  // through the index
    EXPECT_EQ(rows(), std::vector<long>{0});
    Hook *h2 = nullptr;
    Tbl *tt = strtbl("sta", "chan", "endtime", (char *)0);
    Tbl *kt = strtbl("sta", "chan", "time::endtime", (char *)0);
    dbputv(sc, 0, "time", 9000.0, "endtime", 11000.0, (char *)0);
    EXPECT_EQ(dbmatches(sc, fw, &kt, &tt, &h2, &list), 0);
    Dbptr cut = fw;
    cut.record = 1;
    Hook *h3 = nullptr;
    EXPECT_LT(dbmatches(cut, wf, &k1, &k1, &h3, &list), 0);
    EXPECT_TRUE(rzvtest::has_message("endtime"));
    free_hook(&h2);
    free_hook(&h3);
    freetbl(tt, 0);
    freetbl(kt, 0);
    dbclose(fdb);
    elog_set_stream(0);
    fclose(quiet);
}
