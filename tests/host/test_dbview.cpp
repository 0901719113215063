// Views of the database: subsets, joins (inferred and given keys, inner and
// outer), sorts, groups and their bundles, views of views, expressions on
// views and the failures of bad expressions and keys.  Databases are built
// in temporary directories with the engine's own writers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db.h"
#include "rzvtest.h"

namespace {

using rzvtest::has_message;

class Views : public ::testing::Test {
protected:
    rzvtest::TempDir dir;
    Dbptr db{};
    Dbptr wf{}, sensor{}, instrument{}, site{};

    void SetUp() override {
        elog_clear_register(0);
        ASSERT_EQ(dbopen(dir.file("db").c_str(), "r+", &db), 0);
        wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        sensor = dblookup(db, nullptr, "sensor", nullptr, nullptr);
        instrument = dblookup(db, nullptr, "instrument", nullptr, nullptr);
        site = dblookup(db, nullptr, "site", nullptr, nullptr);
    }
    void TearDown() override { dbclose(db); }

    long add_wf(const char *sta, const char *chan, double t, double et, long wfid) {
        return dbaddv(wf, nullptr, "sta", sta, "chan", chan, "time", t, "endtime", et, "wfid", wfid, "jdate",
                      2010001L, nullptr);
    }
    long add_sensor(const char *sta, const char *chan, double t, double et, long inid) {
        return dbaddv(sensor, nullptr, "sta", sta, "chan", chan, "time", t, "endtime", et, "inid", inid,
                      "jdate", 2010001L, nullptr);
    }
    static long count(Dbptr v) {
        long n = -1;
        EXPECT_EQ(dbquery(v, dbRECORD_COUNT, &n), 0);
        return n;
    }
    static std::string str(Dbptr v, long r, const char *field) {
        char buf[128] = "";
        v.record = r;
        EXPECT_EQ(dbgetv(v, nullptr, field, buf, nullptr), 0) << field;
        return buf;
    }
    static long lng(Dbptr v, long r, const char *field) {
        long x = -12345;
        v.record = r;
        EXPECT_EQ(dbgetv(v, nullptr, field, &x, nullptr), 0) << field;
        return x;
    }
    static std::vector<long> wfids(Dbptr v) {
        std::vector<long> out;
        for (long r = 0; r < count(v); ++r) out.push_back(lng(v, r, "wfid"));
        return out;
    }

    // A small wfdisc: two stations, three channels, hour segments.
    void fill_wfdisc() {
        ASSERT_EQ(add_wf("ABC", "BHZ", 1000, 2000, 1), 0);
        add_wf("ABC", "BHN", 1000, 2000, 2);
        add_wf("XAB", "BHZ", 1000, 2000, 3);
        add_wf("ABD", "LHZ", 1000, 2000, 4);
        add_wf("ABC", "BHZ", 2000, 3000, 5);
        add_wf("ABD", "BHE", 2000, 3000, 6);
        add_wf("ABC", "XBHZ", 2000, 3000, 7);
    }
};

TEST_F(Views, SubsetByRegularExpressions) {
    fill_wfdisc();
    Dbptr v = dbsubset(wf, "sta =~ /AB.*/ && chan =~ /BH./", nullptr);
    ASSERT_NE(v.table, dbINVALID);
    EXPECT_EQ(wfids(v), (std::vector<long>{1, 2, 5, 6}));
    char name[64] = "";
    char *np = nullptr;
    ASSERT_EQ(dbquery(v, dbTABLE_NAME, &np), 0);
    snprintf(name, sizeof name, "%s", np);
    EXPECT_NE(std::string(name), "wfdisc");
    Dbptr n = dbsubset(wf, "sta !~ /AB.*/", "notab");
    EXPECT_EQ(wfids(n), (std::vector<long>{3}));
    dbfree(n);
    dbfree(v);
}

TEST_F(Views, SubsetTimeWindowsStrictAndInclusive) {
    fill_wfdisc();
    // rows [1000,2000] and [2000,3000]; a window ending exactly at 2000
    Dbptr strict = dbsubset(wf, "time < 2000 && endtime > 1500", nullptr);
    EXPECT_EQ(wfids(strict), (std::vector<long>{1, 2, 3, 4}));
    Dbptr incl = dbsubset(wf, "time <= 2000 && endtime >= 1500", nullptr);
    EXPECT_EQ(wfids(incl), (std::vector<long>{1, 2, 3, 4, 5, 6, 7}));
    Dbptr touch = dbsubset(wf, "time < 3500 && endtime > 3000", nullptr);
    EXPECT_EQ(count(touch), 0);
    Dbptr touchi = dbsubset(wf, "time <= 3500 && endtime >= 3000", nullptr);
    EXPECT_EQ(count(touchi), 3);
    for (Dbptr v : {strict, incl, touch, touchi}) dbfree(v);
}

TEST_F(Views, RowsAnExpressionCannotBeEvaluatedOnAreLeftOutWithOneMessage) {
    fill_wfdisc();
    elog_clear_register(0);
    // no travel time from a source below the Earth's centre
    Dbptr v = dbsubset(wf, "ptime(10, wfid * 2000) > 0", nullptr);
    ASSERT_NE(v.table, dbINVALID);
    EXPECT_EQ(wfids(v), (std::vector<long>{1}));
    EXPECT_EQ(elog_count(), 1);
    EXPECT_TRUE(has_message("could not be evaluated on 6 rows of wfdisc (first: row 1)"));
    dbfree(v);
    elog_clear_register(0);
}

TEST_F(Views, BadExpressionsFailWithAMessage) {
    fill_wfdisc();
    Dbptr v = dbsubset(wf, "sta =~ /AB", nullptr);
    EXPECT_EQ(v.table, dbINVALID);
    EXPECT_TRUE(has_message("sta =~ /AB"));
    EXPECT_TRUE(has_message("position"));
    elog_clear_register(0);
    v = dbsubset(wf, "nosuchfield > 3", nullptr);
    EXPECT_EQ(v.table, dbINVALID);
    EXPECT_TRUE(has_message("nosuchfield"));
    elog_clear_register(0);
    Tbl *k = strtbl("sta", "nosuch", nullptr);
    v = dbsort(wf, k, 0, nullptr);
    EXPECT_EQ(v.table, dbINVALID);
    EXPECT_TRUE(has_message("nosuch"));
    v = dbgroup(wf, k, nullptr, 1);
    EXPECT_EQ(v.table, dbINVALID);
    freetbl(k, nullptr);
    elog_clear_register(0);
    Tbl *k1 = strtbl("sta", "nosuch", nullptr);
    Tbl *k2 = strtbl("sta", "chan", nullptr);
    v = dbjoin(wf, sensor, &k1, &k2, 0, nullptr, nullptr);
    EXPECT_EQ(v.table, dbINVALID);
    EXPECT_TRUE(has_message("nosuch"));
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    // no natural join and no primary key in common
    elog_clear_register(0);
    v = dbjoin(wf, instrument, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(v.table, dbINVALID);
    EXPECT_TRUE(has_message("dbjoin: no join keys between wfdisc and instrument"));
    Dbptr none = dbinvalid();
    EXPECT_EQ(dbsubset(none, "1", nullptr).table, dbINVALID);
    EXPECT_EQ(dbsubset(wf, nullptr, nullptr).table, dbINVALID);
}

TEST_F(Views, SortIsStableAndHonoursFlags) {
    fill_wfdisc();
    Tbl *k = strtbl("sta", nullptr);
    Dbptr s = dbsort(wf, k, 0, nullptr);
    ASSERT_NE(s.table, dbINVALID);
    // equal stations keep their table order
    EXPECT_EQ(wfids(s), (std::vector<long>{1, 2, 5, 7, 4, 6, 3}));
    Dbptr r = dbsort(wf, k, dbSORT_REVERSE, nullptr);
    EXPECT_EQ(wfids(r), (std::vector<long>{3, 4, 6, 1, 2, 5, 7}));
    Dbptr u = dbsort(wf, k, dbSORT_UNIQUE, nullptr);
    EXPECT_EQ(wfids(u), (std::vector<long>{1, 4, 3}));
    freetbl(k, nullptr);
    // an expression as a key: descending time by negation, then channel
    Tbl *k2 = strtbl("-time", "chan", nullptr);
    Dbptr e = dbsort(wf, k2, 0, nullptr);
    EXPECT_EQ(wfids(e), (std::vector<long>{6, 5, 7, 2, 1, 3, 4}));
    freetbl(k2, nullptr);
    for (Dbptr v : {s, r, u, e}) dbfree(v);
}

TEST_F(Views, GroupBundlesGiveTheGroupRows) {
    fill_wfdisc();
    Tbl *g = strtbl("sta", "chan", nullptr);
    Dbptr gr = dbgroup(wf, g, nullptr, 1);
    ASSERT_NE(gr.table, dbINVALID);
    // ABC/BHN ABC/BHZ ABC/XBHZ ABD/BHE ABD/LHZ XAB/BHZ
    ASSERT_EQ(count(gr), 6);
    const char *expect_sta[] = {"ABC", "ABC", "ABC", "ABD", "ABD", "XAB"};
    const char *expect_chan[] = {"BHN", "BHZ", "XBHZ", "BHE", "LHZ", "BHZ"};
    long expect_n[] = {1, 2, 1, 1, 1, 1};
    long total = 0;
    for (long r = 0; r < 6; ++r) {
        Dbptr row = gr;
        row.record = r;
        char sta[16], chan[16];
        Dbptr bundle;
        ASSERT_EQ(dbgetv(row, nullptr, "sta", sta, "chan", chan, "bundle", &bundle, nullptr), 0);
        EXPECT_STREQ(sta, expect_sta[r]);
        EXPECT_STREQ(chan, expect_chan[r]);
        long first = -1, last = -1;
        ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
        EXPECT_EQ(last - first, expect_n[r]);
        EXPECT_EQ(first, total);
        total = last;
        for (long k = first; k < last; ++k) {
            EXPECT_EQ(str(bundle, k, "sta"), sta);
            EXPECT_EQ(str(bundle, k, "chan"), chan);
        }
    }
    EXPECT_EQ(total, 7);
    // a sorted view of groups keeps each group's bundle
    Tbl *ks = strtbl("sta", nullptr);
    Dbptr rg = dbsort(gr, ks, dbSORT_REVERSE, nullptr);
    ASSERT_EQ(count(rg), 6);
    EXPECT_EQ(str(rg, 0, "sta"), "XAB");
    EXPECT_EQ(str(rg, 1, "chan"), "BHE");  // ABD/BHE before ABD/LHZ: equal keys keep their order
    Dbptr rrow = rg;
    rrow.record = 0;
    Dbptr rb;
    ASSERT_EQ(dbgetv(rrow, nullptr, "bundle", &rb, nullptr), 0);
    long rf, rl;
    ASSERT_EQ(dbget_range(rb, &rf, &rl), 0);
    EXPECT_EQ(rl - rf, 1);
    EXPECT_EQ(lng(rb, rf, "wfid"), 3);
    freetbl(ks, nullptr);
    dbfree(rg);
    // the two ABC/BHZ rows stay in time order inside their group
    Dbptr row = gr;
    row.record = 1;
    Dbptr bundle;
    dbgetv(row, nullptr, "bundle", &bundle, nullptr);
    long first, last;
    dbget_range(bundle, &first, &last);
    EXPECT_EQ(lng(bundle, first, "wfid"), 1);
    EXPECT_EQ(lng(bundle, first + 1, "wfid"), 5);
    freetbl(g, nullptr);
    // the sorted rows the bundles refer to go with the group: its slot is free
    dbfree(gr);
    Dbptr sorted = bundle;
    sorted.record = dbALL;
    long n = -1;
    EXPECT_LT(dbquery(sorted, dbRECORD_COUNT, &n), 0);
}

TEST_F(Views, GroupByANumericFieldOfUnorderedRows) {
    add_wf("A", "Z", 2000, 2100, 1);
    add_wf("B", "Z", 1000, 1100, 2);
    add_wf("C", "Z", 2000, 2100, 3);
    add_wf("D", "Z", -0.0, 100, 4);
    add_wf("E", "Z", 1000, 1100, 5);
    add_wf("F", "Z", 0.0, 100, 6);
    Tbl *g = strtbl("time", nullptr);
    Dbptr gr = dbgroup(wf, g, nullptr, 1);
    ASSERT_EQ(count(gr), 3);
    std::vector<std::vector<long>> got;
    for (long r = 0; r < 3; ++r) {
        Dbptr row = gr;
        row.record = r;
        Dbptr bundle;
        ASSERT_EQ(dbgetv(row, nullptr, "bundle", &bundle, nullptr), 0);
        long first, last;
        ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
        std::vector<long> ids;
        for (long k = first; k < last; ++k) ids.push_back(lng(bundle, k, "wfid"));
        got.push_back(ids);
    }
    EXPECT_EQ(got, (std::vector<std::vector<long>>{{4, 6}, {2, 5}, {1, 3}}));
    freetbl(g, nullptr);
    dbfree(gr);
}

TEST_F(Views, GroupOfASortedViewBundlesThatView) {
    fill_wfdisc();
    Tbl *k = strtbl("sta", "chan", "time", nullptr);
    Dbptr s = dbsort(wf, k, 0, nullptr);
    Tbl *g = strtbl("sta", nullptr);
    Dbptr gr = dbgroup(s, g, nullptr, 1);
    ASSERT_EQ(count(gr), 3);
    Dbptr row = gr;
    row.record = 2;
    Dbptr bundle;
    ASSERT_EQ(dbgetv(row, nullptr, "bundle", &bundle, nullptr), 0);
    long first, last;
    ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
    EXPECT_EQ(first, 6);
    EXPECT_EQ(last, 7);
    EXPECT_EQ(bundle.table, s.table);  // already in order: no copy
    freetbl(k, nullptr);
    freetbl(g, nullptr);
    dbfree(gr);
    dbfree(s);
}

TEST_F(Views, OuterJoinKeepsUnmatchedRowsInOrder) {
    fill_wfdisc();
    add_sensor("ABC", "BHZ", 0, 1500, 11);     // first ABC/BHZ epoch
    add_sensor("ABC", "BHZ", 1500.001, 9999999999.999, 12);
    add_sensor("ABD", "BHE", 0, 9999999999.999, 13);
    Tbl *nojoin = nullptr;
    Dbptr j = dbjoin(wf, sensor, nullptr, nullptr, 1, &nojoin, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    // wfid 1 overlaps both ABC/BHZ epochs; wfid 5 only the second
    EXPECT_EQ(wfids(j), (std::vector<long>{1, 1, 2, 3, 4, 5, 6, 7}));
    std::vector<long> inid;
    for (long r = 0; r < count(j); ++r) inid.push_back(lng(j, r, "sensor.inid"));
    EXPECT_EQ(inid, (std::vector<long>{11, 12, -1, -1, -1, 12, 13, -1}));
    // the unmatched rows' sensor part reads nulls
    EXPECT_EQ(str(j, 2, "sensor.sta"), "-");
    EXPECT_EQ(str(j, 2, "sta"), "ABC");  // unqualified: the first table's
    ASSERT_NE(nojoin, nullptr);
    ASSERT_EQ(maxtbl(nojoin), 4);
    EXPECT_EQ((long)gettbl(nojoin, 0), 1);
    EXPECT_EQ((long)gettbl(nojoin, 3), 6);

    Dbptr inner = dbjoin(wf, sensor, nullptr, nullptr, 0, &nojoin, nullptr);
    EXPECT_EQ(wfids(inner), (std::vector<long>{1, 1, 5, 6}));
    EXPECT_EQ(maxtbl(nojoin), 4);  // the list is filled afresh
    freetbl(nojoin, nullptr);
    dbfree(inner);
    dbfree(j);
}

TEST_F(Views, JoinWithGivenKeysAndRanges) {
    fill_wfdisc();
    add_sensor("ABC", "BHZ", 2500, 2600, 21);
    add_sensor("ABC", "BHN", 500, 999.9, 22);  // ends before any row
    Tbl *k1 = strtbl("sta", "chan", "time::endtime", nullptr);
    Tbl *k2 = strtbl("sta", "chan", "time::endtime", nullptr);
    Dbptr j = dbjoin(wf, sensor, &k1, &k2, 0, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    EXPECT_EQ(wfids(j), (std::vector<long>{5}));
    dbfree(j);
    // a plain key against a range: the row's start inside the sensor epoch
    Tbl *k3 = strtbl("sta", "chan", "time", nullptr);
    Dbptr j2 = dbjoin(wf, sensor, &k3, &k2, 0, nullptr, nullptr);
    EXPECT_EQ(count(j2), 0);
    dbfree(j2);
    // expressions on the key side: a widened window reaches the BHN epoch
    Tbl *k4 = strtbl("sta", "chan", "time-500.0::endtime", nullptr);
    Dbptr j3 = dbjoin(wf, sensor, &k4, &k2, 0, nullptr, nullptr);
    EXPECT_EQ(wfids(j3), (std::vector<long>{2, 5}));
    dbfree(j3);
    for (Tbl *t : {k1, k2, k3, k4}) freetbl(t, nullptr);
}

TEST_F(Views, InferredKeysAreWrittenBackAndQualifiedFieldsRead) {
    add_sensor("ABC", "BHZ", 0, 9999999999.999, 7);
    add_sensor("ABC", "BHN", 0, 9999999999.999, 8);
    add_sensor("ABC", "BHE", 0, 9999999999.999, -1);
    ASSERT_GE(dbaddv(instrument, nullptr, "inid", 7L, "insname", "STS-2 broadband", "dfile", "sts2.pz", nullptr), 0);
    ASSERT_GE(dbaddv(instrument, nullptr, "inid", 8L, "insname", "CMG-3T", nullptr), 0);
    Tbl *k1 = nullptr, *k2 = nullptr;
    Dbptr j = dbjoin(sensor, instrument, &k1, &k2, 1, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    ASSERT_NE(k1, nullptr);
    ASSERT_EQ(maxtbl(k1), 1);
    EXPECT_NE(std::string((char *)gettbl(k1, 0)).find("inid"), std::string::npos);
    ASSERT_EQ(count(j), 3);
    EXPECT_EQ(lng(j, 0, "instrument.inid"), 7);
    EXPECT_EQ(str(j, 0, "insname"), "STS-2 broadband");
    EXPECT_EQ(lng(j, 1, "instrument.inid"), 8);
    // a null sensor.inid joins nothing, even the instrument table's nulls
    EXPECT_EQ(lng(j, 2, "instrument.inid"), -1);
    EXPECT_EQ(str(j, 2, "insname"), "-");
    // expressions on the joined rows read either part
    Dbptr row = j;
    row.record = 0;
    char *s = nullptr;
    ASSERT_EQ(dbex_evalstr(row, "sta . \"x\"", dbSTRING, &s), -1);  // no such operator
    ASSERT_GE(dbex_evalstr(row, "insname", dbSTRING, &s), 0);
    EXPECT_STREQ(s, "STS-2 broadband");
    free(s);
    double x = 0;
    ASSERT_GE(dbex_evalstr(row, "instrument.inid * 10 + sensor.inid", dbREAL, &x), 0);
    EXPECT_DOUBLE_EQ(x, 77);
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    dbfree(j);
}

TEST_F(Views, SensorJoinsTheSiteEpochOfItsDays) {
    add_sensor("ABC", "BHZ", 1262304000.0, 9999999999.999, 7);  // from 2010-01-01, open
    add_sensor("XYZ", "BHZ", 1262304000.0, 1262390400.0, 8);
    ASSERT_GE(dbaddv(site, nullptr, "sta", "ABC", "ondate", 2009001L, "offdate", 2009365L, "lat", 1.0, nullptr), 0);
    ASSERT_GE(dbaddv(site, nullptr, "sta", "ABC", "ondate", 2010001L, "offdate", -1L, "lat", 2.0, nullptr), 0);
    Dbptr j = dbjoin(sensor, site, nullptr, nullptr, 1, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    ASSERT_EQ(count(j), 2);
    double lat = 0;
    Dbptr row = j;
    row.record = 0;
    ASSERT_EQ(dbgetv(row, nullptr, "site.lat", &lat, nullptr), 0);
    EXPECT_DOUBLE_EQ(lat, 2.0);  // the open site epoch, not the 2009 one
    row.record = 1;
    ASSERT_EQ(dbgetv(row, nullptr, "site.lat", &lat, nullptr), 0);
    EXPECT_DOUBLE_EQ(lat, -999.0);  // no site: nulls
    dbfree(j);
}

TEST_F(Views, ViewsOfViews) {
    fill_wfdisc();
    add_sensor("ABC", "BHZ", 0, 9999999999.999, 7);
    add_sensor("ABD", "BHE", 0, 9999999999.999, 9);
    dbaddv(instrument, nullptr, "inid", 7L, "insname", "seven", nullptr);
    dbaddv(instrument, nullptr, "inid", 9L, "insname", "nine", nullptr);
    Dbptr sub = dbsubset(wf, "chan =~ /BH./", nullptr);
    Dbptr j = dbjoin(sub, sensor, nullptr, nullptr, 0, nullptr, nullptr);
    Dbptr j2 = dbjoin(j, instrument, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(j2.table, dbINVALID);
    EXPECT_EQ(wfids(j2), (std::vector<long>{1, 5, 6}));
    Dbptr s2 = dbsubset(j2, "insname == \"nine\" || wfdisc.time > 1500", nullptr);
    EXPECT_EQ(wfids(s2), (std::vector<long>{5, 6}));
    Tbl *k = strtbl("insname", nullptr);
    Dbptr srt = dbsort(s2, k, 0, nullptr);
    EXPECT_EQ(wfids(srt), (std::vector<long>{6, 5}));
    EXPECT_EQ(str(srt, 0, "instrument.insname"), "nine");
    Dbptr gr = dbgroup(srt, k, nullptr, 1);
    EXPECT_EQ(count(gr), 2);
    Dbptr gs = dbsubset(gr, "insname == \"seven\"", nullptr);
    ASSERT_EQ(count(gs), 1);
    Dbptr row = gs;
    row.record = 0;
    Dbptr bundle;
    ASSERT_EQ(dbgetv(row, nullptr, "bundle", &bundle, nullptr), 0);
    long first, last;
    ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
    EXPECT_EQ(last - first, 1);
    EXPECT_EQ(lng(bundle, first, "wfid"), 5);
    char *tn = nullptr;
    Tbl *tables = nullptr;
    ASSERT_EQ(dbquery(j2, dbVIEW_TABLES, &tables), 0);
    ASSERT_EQ(maxtbl(tables), 3);
    EXPECT_STREQ((char *)gettbl(tables, 2), "instrument");
    (void)tn;
    freetbl(k, nullptr);
    for (Dbptr v : {gs, gr, srt, s2, j2, j, sub}) dbfree(v);
}

TEST_F(Views, EmptyViewFilledByReferencesInAChosenOrder) {
    fill_wfdisc();
    Dbptr sub = dbsubset(wf, "chan =~ /BH./", nullptr);
    ASSERT_EQ(count(sub), 5);  // wfid 1 2 3 5 6
    char *tname = nullptr;
    ASSERT_EQ(dbquery(sub, dbTABLE_NAME, &tname), 0);
    Tbl *tables = strtbl("wfdisc", nullptr);
    Dbptr v = dbtbl2view(db, tables);
    ASSERT_NE(v.table, dbINVALID);
    EXPECT_EQ(count(v), 0);
    // the subset's rows, last first
    for (long r = count(sub) - 1; r >= 0; --r) {
        Dbptr row = sub;
        row.record = r;
        char ref[dbREF_SIZE];
        ASSERT_EQ(dbref(row, ref), 0);
        EXPECT_EQ(dbadd(v, ref), count(sub) - 1 - r);
    }
    EXPECT_EQ(wfids(v), (std::vector<long>{6, 5, 3, 2, 1}));
    // and the view takes part in views like any other
    Dbptr s2 = dbsubset(v, "wfid > 2", nullptr);
    EXPECT_EQ(wfids(s2), (std::vector<long>{6, 5, 3}));
    freetbl(tables, nullptr);
    for (Dbptr x : {s2, v, sub}) dbfree(x);
}

TEST_F(Views, ExpressionsOnTableRows) {
    fill_wfdisc();
    Dbptr row = wf;
    row.record = 4;
    Expression *e = nullptr;
    ASSERT_EQ(dbex_compile(wf, "(endtime - time) / 60", &e, dbREAL), 0);
    double d = 0;
    EXPECT_EQ(dbex_eval(row, e, 0, &d), dbREAL);
    EXPECT_DOUBLE_EQ(d, 1000.0 / 60);
    dbex_free(e);
    long b = -1;
    EXPECT_EQ(dbex_evalstr(row, "sta =~ /A.C/ && wfid == 5", dbBOOLEAN, &b), dbBOOLEAN);
    EXPECT_EQ(b, 1);
    long i = 0;
    EXPECT_EQ(dbex_evalstr(row, "wfid * 3", 0, &i), dbINTEGER);
    EXPECT_EQ(i, 15);
    char *s = nullptr;
    EXPECT_EQ(dbex_evalstr(row, "time + 0.5", dbSTRING, &s), dbSTRING);
    EXPECT_STREQ(s, "2000.5");
    free(s);
    // a null field reads its null value
    EXPECT_EQ(dbex_evalstr(row, "nsamp", dbINTEGER, &i), dbINTEGER);
    EXPECT_EQ(i, -1);
    EXPECT_EQ(dbex_evalstr(row, "calper", dbREAL, &d), dbREAL);
    EXPECT_DOUBLE_EQ(d, -1.0);
    elog_clear_register(0);
    e = nullptr;
    EXPECT_EQ(dbex_compile(wf, "time +", &e, dbREAL), -1);
    EXPECT_EQ(e, nullptr);
    EXPECT_TRUE(has_message("dbex_compile: "));
    EXPECT_TRUE(has_message("'time +'"));
    // an expression of no field needs no row, nor even a table
    EXPECT_EQ(dbex_evalstr(wf, "pow(2, 3) + 1", dbREAL, &d), dbREAL);
    EXPECT_DOUBLE_EQ(d, 9);
    EXPECT_EQ(dbex_evalstr(dbinvalid(), "ptime(0, 0)", dbREAL, &d), dbREAL);
    EXPECT_DOUBLE_EQ(d, 0);
    EXPECT_EQ(dbex_evalstr(dbinvalid(), "time + 1", dbREAL, &d), -1);
    EXPECT_EQ(dbex_evalstr(wf, "time + 1", dbREAL, &d), -1);  // a field needs a row
    // evaluating on another table's row is refused
    ASSERT_EQ(dbex_compile(wf, "time", &e, dbREAL), 0);
    Dbptr srow = sensor;
    srow.record = 0;
    add_sensor("A", "B", 1, 2, 3);
    EXPECT_EQ(dbex_eval(srow, e, 0, &d), -1);
    row.record = 999;
    EXPECT_EQ(dbex_eval(row, e, 0, &d), -1);
    dbex_free(e);
}

TEST_F(Views, AssignmentThroughSetflag) {
    fill_wfdisc();
    Dbptr row = wf;
    row.record = 0;
    Expression *e = nullptr;
    ASSERT_EQ(dbex_compile(wf, "calper", &e, dbREAL), 0);
    double v = 2.5;
    EXPECT_EQ(dbex_eval(row, e, 1, &v), dbREAL);
    double got = 0;
    dbgetv(row, nullptr, "calper", &got, nullptr);
    EXPECT_DOUBLE_EQ(got, 2.5);
    dbex_free(e);
    ASSERT_EQ(dbex_compile(wf, "calper * 2", &e, dbREAL), 0);
    EXPECT_EQ(dbex_eval(row, e, 1, &v), -1);
    dbex_free(e);
}

}  // namespace

namespace {

TEST(ViewsInMemory, CrunchDropsReleasedRowsKeepingOrderAndGroupsFollow) {
    Dbptr mem;
    ASSERT_EQ(dbopen_memory(&mem), 0);
    Dbptr tr = dblookup(mem, nullptr, "trace", nullptr, nullptr);
    const char *chans[] = {"BHZ", "BHN", "BHZ", "BHE", "BHN", "BHZ"};
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(dbaddv(tr, nullptr, "sta", "AAA", "chan", chans[i], "time", 100.0 * i, "endtime", 100.0 * i + 99,
                         nullptr),
                  i);
    Dbptr row = tr;
    for (long r : {1L, 4L}) {
        row.record = r;
        ASSERT_EQ(dbdelete(row), 0);
    }
    ASSERT_EQ(dbcrunch(tr), 0);
    long n = 0;
    dbquery(tr, dbRECORD_COUNT, &n);
    ASSERT_EQ(n, 4);
    std::vector<double> times;
    for (long r = 0; r < n; ++r) {
        row.record = r;
        double t = 0;
        dbgetv(row, nullptr, "time", &t, nullptr);
        times.push_back(t);
    }
    EXPECT_EQ(times, (std::vector<double>{0, 200, 300, 500}));
    Tbl *g = strtbl("sta", "chan", nullptr);
    Dbptr gr = dbgroup(tr, g, nullptr, 1);
    long ng = 0;
    dbquery(gr, dbRECORD_COUNT, &ng);
    EXPECT_EQ(ng, 2);  // AAA/BHE, AAA/BHZ
    Dbptr grow = gr;
    grow.record = 1;
    Dbptr bundle;
    ASSERT_EQ(dbgetv(grow, nullptr, "bundle", &bundle, nullptr), 0);
    long first, last;
    ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
    EXPECT_EQ(last - first, 3);
    freetbl(g, nullptr);
    dbfree(gr);
    dbclose(mem);
}

}  // namespace
