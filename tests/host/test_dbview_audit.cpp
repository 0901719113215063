// Views checked against plain reference computations: joins (inferred keys
// for every pair the schema joins, given keys, ranges with open ends and
// included bounds, inner and outer) against nested loops, sorts and groups
// against a stable sort, views of views, the seismic data source's chain of
// joins and its grouping, and views that outlive the views they came from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "db.h"
#include "rzvtest.h"

namespace {

using rzvtest::has_message;

const double kTimeNull = -9999999999.999, kEndNull = 9999999999.999;

struct Rand {
    unsigned long s;
    explicit Rand(unsigned long seed) : s(seed) {}
    long next(long n) {
        s = s * 6364136223846793005UL + 1442695040888963407UL;
        return (long)((s >> 33) % (unsigned long)n);
    }
};

class Audit : public ::testing::Test {
protected:
    Dbptr db{};
    void SetUp() override {
        elog_clear_register(0);
        ASSERT_EQ(dbopen_memory(&db), 0);
    }
    void TearDown() override { dbclose(db); }

    Dbptr table(const char *name) { return dblookup(db, nullptr, name, nullptr, nullptr); }
    static long count(Dbptr v) {
        long n = -1;
        EXPECT_EQ(dbquery(v, dbRECORD_COUNT, &n), 0);
        return n;
    }
    static long lng(Dbptr v, long r, const char *field) {
        long x = -12345;
        v.record = r;
        EXPECT_EQ(dbgetv(v, nullptr, field, &x, nullptr), 0) << field;
        return x;
    }
    static double dbl(Dbptr v, long r, const char *field) {
        double x = -12345;
        v.record = r;
        EXPECT_EQ(dbgetv(v, nullptr, field, &x, nullptr), 0) << field;
        return x;
    }
    static std::string str(Dbptr v, long r, const char *field) {
        char buf[128] = "";
        v.record = r;
        EXPECT_EQ(dbgetv(v, nullptr, field, buf, nullptr), 0) << field;
        return buf;
    }
    static std::vector<long> column(Dbptr v, const char *field) {
        std::vector<long> out;
        for (long r = 0; r < count(v); ++r) out.push_back(lng(v, r, field));
        return out;
    }
    // Sets a field from text, whatever its type.
    static void set(Dbptr t, long r, const char *field, const char *value) {
        Dbptr f = dblookup(t, nullptr, nullptr, field, nullptr);
        long type = 0;
        ASSERT_EQ(dbquery(f, dbFIELD_TYPE, &type), 0) << field;
        t.record = r;
        int rc;
        if (type == dbSTRING)
            rc = dbputv(t, nullptr, field, value, nullptr);
        else if (type == dbINTEGER || type == dbYEARDAY)
            rc = dbputv(t, nullptr, field, strtol(value, nullptr, 10), nullptr);
        else
            rc = dbputv(t, nullptr, field, strtod(value, nullptr), nullptr);
        ASSERT_EQ(rc, 0) << field << "=" << value;
    }
    // Appends a row with the fields the table has among (name, value) pairs.
    static long add(Dbptr t, const std::vector<std::pair<const char *, std::string>> &values) {
        long r = dbaddv(t, nullptr, nullptr);
        EXPECT_GE(r, 0);
        Tbl *fields = nullptr;
        EXPECT_EQ(dbquery(t, dbTABLE_FIELDS, &fields), 0);
        for (auto &v : values) {
            for (long i = 0; i < maxtbl(fields); ++i)
                if (!strcmp((const char *)gettbl(fields, i), v.first)) set(t, r, v.first, v.second.c_str());
        }
        return r;
    }
};

// ------------------------------------------------------------ joins against nested loops

struct WfRow {
    std::string sta, chan;
    double t, et;
};

bool overlap(double alo, double ahi, double blo, double bhi) { return alo <= bhi && blo <= ahi; }

TEST_F(Audit, RangeJoinMatchesANestedLoop) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor");
    Rand rnd(7);
    const char *stas[] = {"A", "B", "C", "-"};
    const char *chans[] = {"Z", "N"};
    std::vector<WfRow> w, s;
    for (long i = 0; i < 300; ++i) {
        WfRow x{stas[rnd.next(4)], chans[rnd.next(2)], (double)rnd.next(50), 0};
        x.et = x.t + (double)rnd.next(10);
        w.push_back(x);
        ASSERT_EQ(dbaddv(wf, nullptr, "sta", x.sta.c_str(), "chan", x.chan.c_str(), "time", x.t, "endtime", x.et,
                         "wfid", i, nullptr),
                  i);
    }
    for (long i = 0; i < 200; ++i) {
        WfRow x{stas[rnd.next(4)], chans[rnd.next(2)], (double)rnd.next(60), 0};
        x.et = x.t + (double)rnd.next(8);
        if (rnd.next(10) == 0) x.t = kTimeNull;  // open start
        if (rnd.next(10) == 0) x.et = kEndNull;  // open end
        s.push_back(x);
        ASSERT_EQ(dbaddv(sensor, nullptr, "sta", x.sta.c_str(), "chan", x.chan.c_str(), "time", x.t, "endtime",
                         x.et, "inid", i, nullptr),
                  i);
    }
    auto matches = [&](const WfRow &a, const WfRow &b) {
        if (a.sta == "-" || b.sta == "-" || a.sta != b.sta || a.chan != b.chan) return false;
        double blo = b.t == kTimeNull ? -INFINITY : b.t, bhi = b.et == kEndNull ? INFINITY : b.et;
        return overlap(a.t, a.et, blo, bhi);
    };
    for (int outer = 0; outer <= 1; ++outer) {
        std::vector<std::pair<long, long>> want;
        std::vector<long> want_nojoin;
        for (long i = 0; i < (long)w.size(); ++i) {
            bool any = false;
            for (long j = 0; j < (long)s.size(); ++j)
                if (matches(w[i], s[j])) {
                    want.push_back({i, j});
                    any = true;
                }
            if (!any) {
                want_nojoin.push_back(i);
                if (outer) want.push_back({i, -1});
            }
        }
        Tbl *nojoin = nullptr;
        Dbptr j = dbjoin(wf, sensor, nullptr, nullptr, outer, &nojoin, nullptr);
        ASSERT_NE(j.table, dbINVALID);
        std::vector<std::pair<long, long>> got;
        for (long r = 0; r < count(j); ++r) got.push_back({lng(j, r, "wfid"), lng(j, r, "inid")});
        EXPECT_EQ(got, want) << "outer " << outer;
        std::vector<long> gotno;
        for (long k = 0; k < maxtbl(nojoin); ++k) gotno.push_back((long)gettbl(nojoin, k));
        EXPECT_EQ(gotno, want_nojoin);
        freetbl(nojoin, nullptr);
        dbfree(j);
        // the same with the keys given, and from the sensor side
        Tbl *k1 = strtbl("sta", "chan", "time::endtime", nullptr);
        Dbptr jg = dbjoin(wf, sensor, &k1, nullptr, outer, nullptr, nullptr);
        std::vector<std::pair<long, long>> gotg;
        for (long r = 0; r < count(jg); ++r) gotg.push_back({lng(jg, r, "wfid"), lng(jg, r, "inid")});
        EXPECT_EQ(gotg, want);
        dbfree(jg);
        freetbl(k1, nullptr);
    }
    std::vector<std::pair<long, long>> want;
    for (long j = 0; j < (long)s.size(); ++j)
        for (long i = 0; i < (long)w.size(); ++i)
            if (matches(w[i], s[j])) want.push_back({j, i});
    Dbptr rj = dbjoin(sensor, wf, nullptr, nullptr, 0, nullptr, nullptr);
    std::vector<std::pair<long, long>> got;
    for (long r = 0; r < count(rj); ++r) got.push_back({lng(rj, r, "inid"), lng(rj, r, "wfid")});
    EXPECT_EQ(got, want);
    dbfree(rj);
}

TEST_F(Audit, ValueInRangeAndRangeOnlyJoinsMatchANestedLoop) {
    Dbptr wf = table("wfdisc"), ar = table("arrival");
    Rand rnd(11);
    std::vector<WfRow> w;
    std::vector<std::pair<std::string, double>> a;
    for (long i = 0; i < 200; ++i) {
        WfRow x{rnd.next(2) ? "A" : "B", "Z", (double)rnd.next(100), 0};
        x.et = x.t + (double)rnd.next(20);
        w.push_back(x);
        dbaddv(wf, nullptr, "sta", x.sta.c_str(), "chan", "Z", "time", x.t, "endtime", x.et, "wfid", i, nullptr);
    }
    for (long i = 0; i < 150; ++i) {
        a.push_back({rnd.next(2) ? "A" : "B", (double)rnd.next(120)});
        dbaddv(ar, nullptr, "sta", a.back().first.c_str(), "chan", "Z", "time", a.back().second, "arid", i, nullptr);
    }
    // arrival-wfdisc by the schema: the arrival's time inside the segment, bounds included
    Dbptr j = dbjoin(ar, wf, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    std::vector<std::pair<long, long>> want, got;
    for (long i = 0; i < (long)a.size(); ++i)
        for (long k = 0; k < (long)w.size(); ++k)
            if (a[i].first == w[k].sta && w[k].t <= a[i].second && a[i].second <= w[k].et) want.push_back({i, k});
    for (long r = 0; r < count(j); ++r) got.push_back({lng(j, r, "arid"), lng(j, r, "wfid")});
    EXPECT_EQ(got, want);
    dbfree(j);
    // a range key alone (no equality key): every overlapping pair
    Tbl *k1 = strtbl("time::endtime", nullptr);
    Dbptr jw = dbjoin(wf, wf, &k1, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(jw.table, dbINVALID);
    long want_n = 0;
    for (auto &x : w)
        for (auto &y : w) want_n += overlap(x.t, x.et, y.t, y.et);
    EXPECT_EQ(count(jw), want_n);
    dbfree(jw);
    freetbl(k1, nullptr);
    // two range keys and an equality key: station, overlapping spans, and
    // times within 5 s of each other's start
    Tbl *a1 = strtbl("sta", "time::endtime", "time-5.0::time+5.0", nullptr);
    Tbl *a2 = strtbl("sta", "time::endtime", "time", nullptr);
    Dbptr j2 = dbjoin(wf, wf, &a1, &a2, 0, nullptr, nullptr);
    ASSERT_NE(j2.table, dbINVALID);
    std::vector<long> want_pairs, got_pairs;
    for (long x = 0; x < (long)w.size(); ++x)
        for (long y = 0; y < (long)w.size(); ++y)
            if (w[x].sta == w[y].sta && overlap(w[x].t, w[x].et, w[y].t, w[y].et) && w[x].t - 5 <= w[y].t &&
                w[y].t <= w[x].t + 5)
                want_pairs.push_back(x * 1000 + y);
    Dbptr jr = j2;
    for (long r = 0; r < count(j2); ++r) {
        jr.record = r;
        long x = -1, y = -1;
        // both parts are wfdisc: read each slot through a reference
        char ref[dbREF_SIZE];
        ASSERT_EQ(dbref(jr, ref), 0);
        long n, t1, t2;
        unsigned long serial;
        ASSERT_EQ(sscanf(ref, "@dbref %lu %ld %ld %ld %ld %ld", &serial, &n, &t1, &x, &t2, &y), 6);
        got_pairs.push_back(x * 1000 + y);
    }
    EXPECT_EQ(got_pairs, want_pairs);
    dbfree(j2);
    freetbl(a1, nullptr);
    freetbl(a2, nullptr);
}

// ------------------------------------------------------------ inferred keys

// One row of every table that matches the same row of any other table, and
// one that matches none.
const std::vector<std::pair<const char *, std::string>> kMatch = {
    {"sta", "AAA"}, {"chan", "BHZ"}, {"net", "NN"}, {"time", "1262304000"}, {"endtime", "1262307600"},
    {"jdate", "2010001"}, {"ondate", "2010001"}, {"offdate", "-1"}, {"chanid", "7"}, {"inid", "7"},
    {"wfid", "7"}, {"arid", "7"}, {"orid", "7"}, {"evid", "7"}, {"prefor", "7"}, {"magid", "7"},
    {"grn", "7"}, {"srn", "7"}, {"commid", "7"}, {"stassid", "7"}, {"tagid", "7"}, {"lineno", "1"},
    {"tagname", "arid"}, {"lat", "1"}, {"lon", "1"}, {"depth", "1"}, {"auth", "x"}, {"iphase", "P"},
};
const std::vector<std::pair<const char *, std::string>> kOther = {
    {"sta", "BBB"}, {"chan", "HHZ"}, {"net", "MM"}, {"time", "1400000000"}, {"endtime", "1400003600"},
    {"jdate", "2014133"}, {"ondate", "2014133"}, {"offdate", "2014140"}, {"chanid", "8"}, {"inid", "8"},
    {"wfid", "8"}, {"arid", "8"}, {"orid", "8"}, {"evid", "8"}, {"prefor", "8"}, {"magid", "8"},
    {"grn", "8"}, {"srn", "8"}, {"commid", "8"}, {"stassid", "8"}, {"tagid", "8"}, {"lineno", "2"},
    {"tagname", "orid"}, {"lat", "2"}, {"lon", "2"}, {"depth", "2"}, {"auth", "y"}, {"iphase", "S"},
};

// A left row that matches nothing on the right either.
const std::vector<std::pair<const char *, std::string>> kLeftOther = {
    {"sta", "CCC"}, {"chan", "EHZ"}, {"net", "LL"}, {"time", "1500000000"}, {"endtime", "1500003600"},
    {"jdate", "2017195"}, {"ondate", "2017195"}, {"offdate", "2017200"}, {"chanid", "9"}, {"inid", "9"},
    {"wfid", "9"}, {"arid", "9"}, {"orid", "9"}, {"evid", "9"}, {"prefor", "9"}, {"magid", "9"},
    {"grn", "9"}, {"srn", "9"}, {"commid", "9"}, {"stassid", "9"}, {"tagid", "9"}, {"lineno", "3"},
    {"tagname", "evid"}, {"lat", "3"}, {"lon", "3"}, {"depth", "3"}, {"auth", "z"}, {"iphase", "Pn"},
};

TEST_F(Audit, InferredKeysJoinEveryPairTheSchemaLists) {
    const char *pairs[][2] = {
        {"wfdisc", "sensor"},     {"wfdisc", "sitechan"},  {"wfdisc", "site"},       {"wfdisc", "wftag"},
        {"sensor", "instrument"}, {"sensor", "sitechan"},  {"sensor", "site"},       {"site", "sitechan"},
        {"site", "affiliation"},  {"affiliation", "network"}, {"arrival", "assoc"},  {"arrival", "stamag"},
        {"arrival", "site"},      {"arrival", "sitechan"}, {"arrival", "wfdisc"},    {"arrival", "stassoc"},
        {"assoc", "origin"},      {"assoc", "site"},       {"origin", "event"},      {"origin", "origerr"},
        {"origin", "netmag"},     {"netmag", "stamag"},    {"netmag", "network"},    {"stamag", "assoc"},
        {"origin", "gregion"},    {"origin", "sregion"},   {"stamag", "origin"},     {"stamag", "event"},
        {"wfdisc", "remark"},     {"arrival", "remark"},
    };
    for (auto &p : pairs) {
        for (int dir = 0; dir < 2; ++dir) {
            const char *a = p[dir], *b = p[1 - dir];
            Dbptr mem;
            ASSERT_EQ(dbopen_memory(&mem), 0);
            Dbptr ta = dblookup(mem, nullptr, a, nullptr, nullptr), tb = dblookup(mem, nullptr, b, nullptr, nullptr);
            add(ta, kLeftOther);
            add(ta, kMatch);
            add(tb, kOther);
            add(tb, kMatch);
            add(tb, kOther);
            Tbl *k1 = nullptr, *k2 = nullptr;
            elog_clear_register(0);
            Dbptr j = dbjoin(ta, tb, &k1, &k2, 0, nullptr, nullptr);
            ASSERT_NE(j.table, dbINVALID) << a << "-" << b << ": " << rzvtest::all_messages();
            ASSERT_NE(k1, nullptr);
            ASSERT_NE(k2, nullptr);
            EXPECT_EQ(maxtbl(k1), maxtbl(k2));
            std::string keys;
            for (long i = 0; i < maxtbl(k1); ++i)
                keys += std::string((char *)gettbl(k1, i)) + "=" + (char *)gettbl(k2, i) + " ";
            // exactly the matching pair: left row 1 with right row 1
            ASSERT_EQ(count(j), 1) << a << "-" << b << " on " << keys;
            std::vector<long> recs;
            char ref[dbREF_SIZE];
            Dbptr row = j;
            row.record = 0;
            ASSERT_EQ(dbref(row, ref), 0);
            long n = 0, t1, r1, t2, r2;
            unsigned long serial;
            ASSERT_EQ(sscanf(ref, "@dbref %lu %ld %ld %ld %ld %ld", &serial, &n, &t1, &r1, &t2, &r2), 6) << ref;
            EXPECT_EQ(r1, 1) << a << "-" << b;
            EXPECT_EQ(r2, 1) << a << "-" << b;
            freetbl(k1, 0);
            freetbl(k2, 0);
            dbfree(j);
            dbclose(mem);
        }
    }
}

TEST_F(Audit, InferredKeysAreTheSchemasAndWrittenBackQualified) {
    Dbptr wf = table("wfdisc"), site = table("site");
    Tbl *k1 = nullptr, *k2 = nullptr;
    Dbptr j = dbjoin(wf, site, &k1, &k2, 0, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    ASSERT_EQ(maxtbl(k1), 2);
    EXPECT_STREQ((char *)gettbl(k1, 0), "wfdisc.sta");
    EXPECT_STREQ((char *)gettbl(k1, 1), "wfdisc.jdate");
    EXPECT_STREQ((char *)gettbl(k2, 0), "site.sta");
    EXPECT_STREQ((char *)gettbl(k2, 1), "site.ondate::site.offdate");
    freetbl(k1, 0);
    freetbl(k2, 0);
    dbfree(j);
    // lists given are left as they are
    Tbl *g1 = strtbl("sta", nullptr);
    Tbl *g2 = nullptr;
    j = dbjoin(wf, site, &g1, &g2, 0, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    EXPECT_EQ(maxtbl(g1), 1);
    EXPECT_EQ(g2, nullptr);
    freetbl(g1, 0);
    dbfree(j);
}

TEST_F(Audit, DayRangesIncludeTheirBoundsAndAnOpenEndReachesOn) {
    Dbptr wf = table("wfdisc"), site = table("site");
    dbaddv(site, nullptr, "sta", "ABC", "ondate", 2009001L, "offdate", 2009365L, "lat", 1.0, nullptr);
    dbaddv(site, nullptr, "sta", "ABC", "ondate", 2010001L, "offdate", -1L, "lat", 2.0, nullptr);
    dbaddv(site, nullptr, "sta", "XYZ", "ondate", -1L, "offdate", 2000001L, "lat", 3.0, nullptr);
    long days[] = {2008366, 2009001, 2009365, 2010001, 2030100, 1990001, 2000001, 2000002};
    const char *stas[] = {"ABC", "ABC", "ABC", "ABC", "ABC", "XYZ", "XYZ", "XYZ"};
    for (int i = 0; i < 8; ++i)
        dbaddv(wf, nullptr, "sta", stas[i], "chan", "Z", "time", 1.0 * i, "endtime", 1.0 * i + 1, "jdate", days[i],
               "wfid", (long)i, nullptr);
    Dbptr j = dbjoin(wf, site, nullptr, nullptr, 1, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    std::vector<double> lat;
    for (long r = 0; r < count(j); ++r) lat.push_back(dbl(j, r, "site.lat"));
    EXPECT_EQ(lat, (std::vector<double>{-999, 1, 1, 2, 2, 3, 3, -999}));
    EXPECT_EQ(column(j, "wfid"), (std::vector<long>{0, 1, 2, 3, 4, 5, 6, 7}));
    dbfree(j);
}

TEST_F(Audit, TimeRangesIncludeTheirBounds) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor");
    dbaddv(wf, nullptr, "sta", "A", "chan", "Z", "time", 1000.0, "endtime", 2000.0, "wfid", 1L, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 2000.0, "endtime", 3000.0, "inid", 1L, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 0.0, "endtime", 1000.0, "inid", 2L, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 2000.001, "endtime", 3000.0, "inid", 3L, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 0.0, "endtime", 999.999, "inid", 4L, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 1200.0, "endtime", 1300.0, "inid", 5L, nullptr);
    Dbptr j = dbjoin(wf, sensor, nullptr, nullptr, 0, nullptr, nullptr);
    // partners in the sensor table's order
    EXPECT_EQ(column(j, "inid"), (std::vector<long>{1, 2, 5}));
    dbfree(j);
}

TEST_F(Audit, ANullValueJoinsNoRangeEvenAnOpenOne) {
    Dbptr wf = table("wfdisc"), ar = table("arrival"), site = table("site");
    // a segment and a site epoch of unknown start (open), and rows of unknown time and day
    dbaddv(wf, nullptr, "sta", "C", "chan", "Z", "time", kTimeNull, "endtime", 100.0, "jdate", -1L, "wfid", 1L,
           nullptr);
    dbaddv(wf, nullptr, "sta", "C", "chan", "Z", "time", 50.0, "endtime", 60.0, "jdate", 1970001L, "wfid", 2L, nullptr);
    dbaddv(ar, nullptr, "sta", "C", "chan", "Z", "time", kTimeNull, "arid", 1L, nullptr);
    dbaddv(ar, nullptr, "sta", "C", "chan", "Z", "time", 55.0, "arid", 2L, nullptr);
    dbaddv(site, nullptr, "sta", "C", "ondate", -1L, "offdate", -1L, "lat", 4.0, nullptr);
    Dbptr j = dbjoin(ar, wf, nullptr, nullptr, 1, nullptr, nullptr);
    std::vector<std::pair<long, long>> got;
    for (long r = 0; r < count(j); ++r) got.push_back({lng(j, r, "arid"), lng(j, r, "wfid")});
    EXPECT_EQ(got, (std::vector<std::pair<long, long>>{{1, -1}, {2, 1}, {2, 2}}));
    dbfree(j);
    Dbptr rj = dbjoin(wf, ar, nullptr, nullptr, 1, nullptr, nullptr);
    got.clear();
    for (long r = 0; r < count(rj); ++r) got.push_back({lng(rj, r, "wfid"), lng(rj, r, "arid")});
    EXPECT_EQ(got, (std::vector<std::pair<long, long>>{{1, 2}, {2, 2}}));
    dbfree(rj);
    // the site epoch open at both ends takes every known day, not the unknown one
    Dbptr js = dbjoin(wf, site, nullptr, nullptr, 1, nullptr, nullptr);
    std::vector<double> lat;
    for (long r = 0; r < count(js); ++r) lat.push_back(dbl(js, r, "site.lat"));
    EXPECT_EQ(lat, (std::vector<double>{-999, 4}));
    dbfree(js);
}

TEST_F(Audit, OuterJoinOfAViewKeepsItsOrderAndReadsNullsForTheOtherSide) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor");
    for (long i = 0; i < 6; ++i)
        dbaddv(wf, nullptr, "sta", i % 2 ? "A" : "B", "chan", "Z", "time", 100.0 * i, "endtime", 100.0 * i + 50,
               "wfid", i, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 0.0, "endtime", kEndNull, "inid", 9L, "calper", 2.0,
           nullptr);
    Tbl *k = strtbl("time", nullptr);
    Dbptr rev = dbsort(wf, k, dbSORT_REVERSE, nullptr);
    Dbptr j = dbjoin(rev, sensor, nullptr, nullptr, 1, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    EXPECT_EQ(column(j, "wfid"), (std::vector<long>{5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(column(j, "inid"), (std::vector<long>{9, -1, 9, -1, 9, -1}));
    EXPECT_EQ(str(j, 1, "sensor.sta"), "-");
    EXPECT_EQ(str(j, 1, "sensor.chan"), "-");
    EXPECT_DOUBLE_EQ(dbl(j, 1, "sensor.time"), kTimeNull);
    EXPECT_DOUBLE_EQ(dbl(j, 1, "sensor.endtime"), kEndNull);
    EXPECT_DOUBLE_EQ(dbl(j, 1, "sensor.calper"), -1);
    EXPECT_DOUBLE_EQ(dbl(j, 0, "sensor.calper"), 2);
    // expressions, sorts and subsets read the same nulls
    double x = 0;
    Dbptr row = j;
    row.record = 1;
    ASSERT_EQ(dbex_evalstr(row, "sensor.calper + sensor.inid", dbREAL, &x), dbREAL);
    EXPECT_DOUBLE_EQ(x, -2);
    Dbptr s = dbsubset(j, "sensor.sta == \"-\"", nullptr);
    EXPECT_EQ(column(s, "wfid"), (std::vector<long>{4, 2, 0}));
    Tbl *ks = strtbl("sensor.inid", nullptr);
    Dbptr srt = dbsort(j, ks, 0, nullptr);
    EXPECT_EQ(column(srt, "wfid"), (std::vector<long>{4, 2, 0, 5, 3, 1}));
    freetbl(k, 0);
    freetbl(ks, 0);
    for (Dbptr v : {srt, s, j, rev}) dbfree(v);
}

TEST_F(Audit, QualifiedAndUnqualifiedNamesInAJoin) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor");
    dbaddv(wf, nullptr, "sta", "A", "chan", "Z", "time", 1000.0, "endtime", 2000.0, "calper", 1.5, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 500.0, "endtime", 5000.0, "calper", 7.0, nullptr);
    Dbptr j = dbjoin(wf, sensor, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(count(j), 1);
    EXPECT_DOUBLE_EQ(dbl(j, 0, "time"), 1000);
    EXPECT_DOUBLE_EQ(dbl(j, 0, "wfdisc.time"), 1000);
    EXPECT_DOUBLE_EQ(dbl(j, 0, "sensor.time"), 500);
    Dbptr row = j;
    row.record = 0;
    double x = 0;
    ASSERT_EQ(dbex_evalstr(row, "calper * 10 + sensor.calper", dbREAL, &x), dbREAL);
    EXPECT_DOUBLE_EQ(x, 22);
    ASSERT_EQ(dbex_evalstr(row, "sensor.endtime - wfdisc.endtime", dbREAL, &x), dbREAL);
    EXPECT_DOUBLE_EQ(x, 3000);
    EXPECT_EQ(count(dbsubset(j, "sensor.time < time && wfdisc.endtime < sensor.endtime", nullptr)), 1);
    elog_clear_register(0);
    EXPECT_EQ(dbsubset(j, "site.lat > 0", nullptr).table, dbINVALID);
    EXPECT_TRUE(has_message("unknown field 'site.lat'"));
    elog_clear_register(0);
    Tbl *fields = nullptr;
    ASSERT_EQ(dbquery(j, dbTABLE_FIELDS, &fields), 0);
    EXPECT_STREQ((char *)gettbl(fields, 0), "wfdisc.sta");
    long nf = 0;
    dbquery(j, dbFIELD_COUNT, &nf);
    EXPECT_EQ(nf, maxtbl(fields));
    dbfree(j);
}

TEST_F(Audit, BadKeysFailNamingThem) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor");
    Tbl *k1 = strtbl("sta", "chan", nullptr), *k2 = strtbl("sta", nullptr);
    EXPECT_EQ(dbjoin(wf, sensor, &k1, &k2, 0, nullptr, nullptr).table, dbINVALID);
    EXPECT_TRUE(has_message("2 keys for wfdisc but 1 for sensor"));
    elog_clear_register(0);
    Tbl *k3 = strtbl("sta", "inid", nullptr);
    EXPECT_EQ(dbjoin(wf, sensor, &k3, nullptr, 0, nullptr, nullptr).table, dbINVALID);
    EXPECT_TRUE(has_message("'inid'"));
    elog_clear_register(0);
    Tbl *k4 = strtbl("time::", nullptr);
    EXPECT_EQ(dbjoin(wf, sensor, &k4, nullptr, 0, nullptr, nullptr).table, dbINVALID);
    EXPECT_TRUE(has_message("dbjoin: bad join key"));
    elog_clear_register(0);
    for (Tbl *t : {k1, k2, k3, k4}) freetbl(t, 0);
}

TEST_F(Audit, EmptySidesGiveEmptyOrNullPartneredViews) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor");
    Dbptr j = dbjoin(wf, sensor, nullptr, nullptr, 1, nullptr, nullptr);
    ASSERT_NE(j.table, dbINVALID);
    EXPECT_EQ(count(j), 0);
    dbaddv(wf, nullptr, "sta", "A", "chan", "Z", "time", 1.0, "endtime", 2.0, "wfid", 3L, nullptr);
    Dbptr j2 = dbjoin(wf, sensor, nullptr, nullptr, 1, nullptr, nullptr);
    EXPECT_EQ(count(j2), 1);
    EXPECT_EQ(lng(j2, 0, "sensor.inid"), -1);
    Dbptr j3 = dbjoin(wf, sensor, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(count(j3), 0);
    Dbptr none = dbsubset(wf, "wfid > 10", nullptr);
    ASSERT_NE(none.table, dbINVALID);
    EXPECT_EQ(count(none), 0);
    Tbl *k = strtbl("sta", nullptr);
    Dbptr g = dbgroup(none, k, nullptr, 1);
    ASSERT_NE(g.table, dbINVALID);
    EXPECT_EQ(count(g), 0);
    Dbptr s = dbsort(none, k, 0, nullptr);
    EXPECT_EQ(count(s), 0);
    Dbptr jn = dbjoin(none, wf, &k, nullptr, 1, nullptr, nullptr);
    EXPECT_EQ(count(jn), 0);
    freetbl(k, 0);
    for (Dbptr v : {jn, s, g, none, j3, j2, j}) dbfree(v);
}

// ------------------------------------------------------------ sorts and groups

TEST_F(Audit, SortsMatchAStableReferenceSort) {
    Dbptr wf = table("wfdisc");
    Rand rnd(3);
    struct R {
        std::string sta;
        double t;
        long id;
    };
    std::vector<R> rows;
    const char *stas[] = {"A", "AB", "AB1", "B", "-", "A1"};
    for (long i = 0; i < 400; ++i) {
        R r{stas[rnd.next(6)], (double)(rnd.next(7) - 3), i};
        rows.push_back(r);
        dbaddv(wf, nullptr, "sta", r.sta.c_str(), "chan", "Z", "time", r.t, "endtime", r.t + 1, "wfid", i, nullptr);
    }
    auto less = [](const R &a, const R &b) { return a.sta != b.sta ? a.sta < b.sta : a.t < b.t; };
    auto same = [](const R &a, const R &b) { return a.sta == b.sta && a.t == b.t; };
    for (int flags : {0, dbSORT_REVERSE, dbSORT_UNIQUE, dbSORT_REVERSE | dbSORT_UNIQUE}) {
        std::vector<R> want = rows;
        if (flags & dbSORT_REVERSE)
            std::stable_sort(want.begin(), want.end(), [&](const R &a, const R &b) { return less(b, a); });
        else
            std::stable_sort(want.begin(), want.end(), less);
        if (flags & dbSORT_UNIQUE) want.erase(std::unique(want.begin(), want.end(), same), want.end());
        std::vector<long> ids;
        for (auto &r : want) ids.push_back(r.id);
        Tbl *k = strtbl("sta", "time", nullptr);
        Dbptr s = dbsort(wf, k, flags, nullptr);
        ASSERT_NE(s.table, dbINVALID);
        EXPECT_EQ(column(s, "wfid"), ids) << "flags " << flags;
        dbfree(s);
        freetbl(k, 0);
    }
}

TEST_F(Audit, GroupsOfUnorderedRowsMatchAStableReferenceSort) {
    Dbptr wf = table("wfdisc");
    Rand rnd(5);
    std::vector<std::pair<std::string, long>> rows;  // (sta/chan, wfid)
    const char *stas[] = {"B", "A", "C", "AA"};
    const char *chans[] = {"Z", "N", "E"};
    for (long i = 0; i < 300; ++i) {
        const char *s = stas[rnd.next(4)], *c = chans[rnd.next(3)];
        rows.push_back({std::string(s) + "/" + c, i});
        dbaddv(wf, nullptr, "sta", s, "chan", c, "time", (double)rnd.next(1000), "endtime", 5000.0, "wfid", i,
               nullptr);
    }
    std::vector<std::pair<std::string, long>> want = rows;
    std::stable_sort(want.begin(), want.end(),
                     [](const std::pair<std::string, long> &a, const std::pair<std::string, long> &b) {
                         std::string sa = a.first.substr(0, a.first.find('/')), sb = b.first.substr(0, b.first.find('/'));
                         if (sa != sb) return sa < sb;
                         return a.first.substr(a.first.find('/') + 1) < b.first.substr(b.first.find('/') + 1);
                     });
    Tbl *k = strtbl("sta", "chan", nullptr);
    Dbptr g = dbgroup(wf, k, nullptr, 1);
    ASSERT_NE(g.table, dbINVALID);
    std::vector<std::pair<std::string, long>> got;
    long expect_first = 0;
    for (long r = 0; r < count(g); ++r) {
        Dbptr row = g;
        row.record = r;
        Dbptr bundle;
        char sta[16], chan[16];
        ASSERT_EQ(dbgetv(row, nullptr, "sta", sta, "chan", chan, "bundle", &bundle, nullptr), 0);
        long first, last;
        ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
        EXPECT_EQ(first, expect_first);
        EXPECT_LT(first, last);
        expect_first = last;
        for (long i = first; i < last; ++i) {
            EXPECT_EQ(str(bundle, i, "sta"), sta);
            EXPECT_EQ(str(bundle, i, "chan"), chan);
            got.push_back({std::string(sta) + "/" + chan, lng(bundle, i, "wfid")});
        }
    }
    EXPECT_EQ(count(g), 12);
    EXPECT_EQ(got, want);
    freetbl(k, 0);
    dbfree(g);
}

TEST_F(Audit, GroupFieldsReadByPlainAndQualifiedNames) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor");
    dbaddv(wf, nullptr, "sta", "B", "chan", "Z", "time", 5.0, "endtime", 6.0, "wfid", 1L, nullptr);
    dbaddv(wf, nullptr, "sta", "A", "chan", "Z", "time", 1.0, "endtime", 2.0, "wfid", 2L, nullptr);
    dbaddv(sensor, nullptr, "sta", "A", "chan", "Z", "time", 0.0, "endtime", kEndNull, "inid", 4L, nullptr);
    Dbptr j = dbjoin(wf, sensor, nullptr, nullptr, 1, nullptr, nullptr);
    for (const char *key : {"sta", "wfdisc.sta"}) {
        Tbl *k = strtbl(key, "sensor.inid", nullptr);
        Dbptr g = dbgroup(j, k, nullptr, 1);
        ASSERT_EQ(count(g), 2) << key;
        EXPECT_EQ(str(g, 0, "sta"), "A");
        EXPECT_EQ(str(g, 0, "wfdisc.sta"), "A");
        EXPECT_EQ(lng(g, 0, "inid"), 4);
        EXPECT_EQ(lng(g, 1, "sensor.inid"), -1);
        Dbptr row = g;
        row.record = 1;
        char *s = nullptr;
        ASSERT_EQ(dbex_evalstr(row, "wfdisc.sta", dbSTRING, &s), dbSTRING);
        EXPECT_STREQ(s, "B");
        free(s);
        Tbl *fields = nullptr;
        ASSERT_EQ(dbquery(g, dbTABLE_FIELDS, &fields), 0);
        ASSERT_EQ(maxtbl(fields), 3);
        EXPECT_STREQ((char *)gettbl(fields, 0), "wfdisc.sta");
        EXPECT_STREQ((char *)gettbl(fields, 1), "sensor.inid");
        EXPECT_STREQ((char *)gettbl(fields, 2), "bundle");
        dbfree(g);
        freetbl(k, 0);
    }
    dbfree(j);
}

TEST_F(Audit, ASubsetOfAGroupOutlivesTheGroup) {
    Dbptr wf = table("wfdisc");
    const char *stas[] = {"B", "A", "B", "A", "C"};
    for (long i = 0; i < 5; ++i)
        dbaddv(wf, nullptr, "sta", stas[i], "chan", "Z", "time", 1.0 * i, "endtime", 1.0 * i + 1, "wfid", i, nullptr);
    Tbl *k = strtbl("sta", nullptr);
    Dbptr g = dbgroup(wf, k, nullptr, 1);  // unordered: bundles of a sorted copy
    ASSERT_EQ(count(g), 3);
    Dbptr gs = dbsubset(g, "sta != \"A\"", nullptr);
    Dbptr gr = dbsort(g, k, dbSORT_REVERSE, nullptr);
    ASSERT_EQ(count(gs), 2);
    dbfree(g);
    // the views made of the group still read their rows and bundles
    EXPECT_EQ(str(gs, 0, "sta"), "B");
    Dbptr row = gs;
    row.record = 0;
    Dbptr bundle;
    ASSERT_EQ(dbgetv(row, nullptr, "bundle", &bundle, nullptr), 0);
    long first = -1, last = -1;
    ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
    ASSERT_EQ(last - first, 2);
    EXPECT_EQ(lng(bundle, first, "wfid"), 0);
    EXPECT_EQ(lng(bundle, first + 1, "wfid"), 2);
    ASSERT_EQ(count(gr), 3);
    EXPECT_EQ(str(gr, 0, "sta"), "C");
    row = gr;
    row.record = 2;
    ASSERT_EQ(dbgetv(row, nullptr, "bundle", &bundle, nullptr), 0);
    ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
    ASSERT_EQ(last - first, 2);
    EXPECT_EQ(lng(bundle, first, "wfid"), 1);
    dbfree(gs);
    dbfree(gr);
    freetbl(k, 0);
}

// ------------------------------------------------------------ the data source's chain

TEST_F(Audit, WaveformSensorInstrumentSitechanSiteChainGroupedByStationChannel) {
    Dbptr wf = table("wfdisc"), sensor = table("sensor"), ins = table("instrument"), sc = table("sitechan"),
          site = table("site");
    const double T0 = 1262304000.0;  // 2010001
    // segments out of order, one station outside the selection
    struct {
        const char *sta, *chan;
        double t;
    } segs[] = {{"ABC", "BHZ", T0 + 7200}, {"ABD", "BHZ", T0}, {"ABC", "BHN", T0}, {"ABC", "BHZ", T0},
                {"XYZ", "BHZ", T0}, {"ABC", "BHZ", T0 + 3600}, {"ABD", "BHZ", T0 + 3600}};
    long id = 0;
    for (auto &s : segs)
        dbaddv(wf, nullptr, "sta", s.sta, "chan", s.chan, "time", s.t, "endtime", s.t + 3599.975, "jdate", 2010001L,
               "wfid", ++id, nullptr);
    dbaddv(sensor, nullptr, "sta", "ABC", "chan", "BHZ", "time", T0 - 86400, "endtime", kEndNull, "inid", 1L,
           "chanid", 11L, nullptr);
    dbaddv(sensor, nullptr, "sta", "ABC", "chan", "BHN", "time", T0 - 86400, "endtime", kEndNull, "inid", 1L,
           "chanid", 12L, nullptr);
    dbaddv(sensor, nullptr, "sta", "XYZ", "chan", "BHZ", "time", T0 - 86400, "endtime", kEndNull, "inid", 2L,
           "chanid", 13L, nullptr);
    dbaddv(ins, nullptr, "inid", 1L, "insname", "broadband", "dir", ".", "dfile", "bb.pz", nullptr);
    dbaddv(sc, nullptr, "sta", "ABC", "chan", "BHZ", "ondate", 2009001L, "offdate", -1L, "chanid", 11L, "hang", 0.0,
           "vang", 0.0, nullptr);
    dbaddv(sc, nullptr, "sta", "ABC", "chan", "BHN", "ondate", 2009001L, "offdate", -1L, "chanid", 12L, "hang", 0.0,
           "vang", 90.0, nullptr);
    dbaddv(site, nullptr, "sta", "ABC", "ondate", 2009001L, "offdate", -1L, "lat", 45.0, "lon", 7.0, nullptr);

    const char *expr = "( sta =~ /AB./ && chan =~ /BH./ && (time < 1262318400.00000 && endtime > 1262304000.00000) )";
    Dbptr sub = dbsubset(wf, expr, nullptr);
    ASSERT_EQ(count(sub), 6);
    // the rows in station, channel, time order, in an empty view filled by references
    Tbl *sk = strtbl("sta", "chan", "time", nullptr);
    Dbptr sorted = dbsort(sub, sk, 0, nullptr);
    char *tname = nullptr;
    ASSERT_EQ(dbquery(wf, dbTABLE_NAME, &tname), 0);
    Tbl *tabs = strtbl(tname, nullptr);
    Dbptr wv = dbtbl2view(db, tabs);
    ASSERT_NE(wv.table, dbINVALID);
    for (long r = 0; r < count(sorted); ++r) {
        Dbptr row = sorted;
        row.record = r;
        char ref[dbREF_SIZE];
        ASSERT_EQ(dbref(row, ref), 0);
        ASSERT_EQ(dbadd(wv, ref), r);
    }
    EXPECT_EQ(column(wv, "wfid"), (std::vector<long>{3, 4, 6, 1, 2, 7}));

    Dbptr ss = dbsubset(sensor, expr, nullptr);
    Dbptr s1 = dbjoin(ss, ins, nullptr, nullptr, 1, nullptr, nullptr);
    ASSERT_NE(s1.table, dbINVALID);
    Tbl *c1 = strtbl("sensor.chanid", nullptr), *c2 = strtbl("sitechan.chanid", nullptr);
    Dbptr s2 = dbjoin(s1, sc, &c1, &c2, 1, nullptr, nullptr);
    ASSERT_NE(s2.table, dbINVALID);
    Dbptr s3 = dbjoin(s2, site, nullptr, nullptr, 1, nullptr, nullptr);
    ASSERT_NE(s3.table, dbINVALID);
    ASSERT_EQ(count(s3), 2);
    EXPECT_DOUBLE_EQ(dbl(s3, 0, "site.lat"), 45.0);
    EXPECT_DOUBLE_EQ(dbl(s3, 0, "sitechan.vang"), 0.0);  // ABC/BHZ: the sensor table's order
    EXPECT_DOUBLE_EQ(dbl(s3, 1, "sitechan.vang"), 90.0);
    Tbl *w1 = strtbl("wfdisc.sta", "wfdisc.chan", "wfdisc.time::wfdisc.endtime", nullptr);
    Tbl *w2 = strtbl("sensor.sta", "sensor.chan", "sensor.time::sensor.endtime", nullptr);
    Dbptr dbsc = dbjoin(wv, s3, &w1, &w2, 1, nullptr, nullptr);
    ASSERT_NE(dbsc.table, dbINVALID);
    EXPECT_EQ(column(dbsc, "wfid"), (std::vector<long>{3, 4, 6, 1, 2, 7}));
    EXPECT_EQ(str(dbsc, 0, "instrument.insname"), "broadband");
    EXPECT_EQ(str(dbsc, 4, "instrument.insname"), "-");  // ABD: no sensor
    EXPECT_DOUBLE_EQ(dbl(dbsc, 1, "site.lon"), 7.0);
    Dbptr row = dbsc;
    row.record = 1;
    char path[FILENAME_MAX];
    EXPECT_GE(dbextfile(row, "instrument", path), 0);
    EXPECT_NE(std::string(path).find("bb.pz"), std::string::npos);

    Tbl *gk = strtbl("sta", "chan", nullptr);
    Dbptr gr = dbgroup(dbsc, gk, nullptr, 1);
    ASSERT_EQ(count(gr), 3);
    const char *ws[] = {"ABC", "ABC", "ABD"}, *wc[] = {"BHN", "BHZ", "BHZ"};
    long wn[] = {1, 3, 2};
    double wt[] = {T0, T0, T0}, we[] = {T0 + 3599.975, T0 + 7200 + 3599.975, T0 + 3600 + 3599.975};
    for (long r = 0; r < 3; ++r) {
        Dbptr g = gr;
        g.record = r;
        char sta[16], chan[16];
        Dbptr bundle;
        ASSERT_EQ(dbgetv(g, nullptr, "sta", sta, "chan", chan, "bundle", &bundle, nullptr), 0);
        EXPECT_STREQ(sta, ws[r]);
        EXPECT_STREQ(chan, wc[r]);
        long is, ie;
        ASSERT_EQ(dbget_range(bundle, &is, &ie), 0);
        EXPECT_EQ(ie - is, wn[r]);
        EXPECT_EQ(bundle.table, dbsc.table);  // already in order: the joined rows themselves
        EXPECT_DOUBLE_EQ(dbl(bundle, is, "time"), wt[r]);
        EXPECT_DOUBLE_EQ(dbl(bundle, ie - 1, "endtime"), we[r]);
    }
    for (Tbl *t : {sk, tabs, c1, c2, w1, w2, gk}) freetbl(t, 0);
    for (Dbptr v : {gr, dbsc, s3, s2, s1, ss, wv, sorted, sub}) EXPECT_EQ(dbfree(v), 0);
}

TEST_F(Audit, EventOriginAssocArrivalJoinedByTheSchema) {
    Dbptr ev = table("event"), org = table("origin"), as = table("assoc"), ar = table("arrival");
    dbaddv(ev, nullptr, "evid", 1L, "prefor", 11L, nullptr);
    dbaddv(ev, nullptr, "evid", 2L, "prefor", 21L, nullptr);
    dbaddv(org, nullptr, "orid", 21L, "evid", 2L, "time", 2000.0, "lat", 2.0, "lon", 2.0, "depth", 5.0, nullptr);
    dbaddv(org, nullptr, "orid", 11L, "evid", 1L, "time", 1000.0, "lat", 1.0, "lon", 1.0, "depth", 5.0, nullptr);
    dbaddv(org, nullptr, "orid", 12L, "evid", 1L, "time", 1001.0, "lat", 1.0, "lon", 1.0, "depth", 5.0, nullptr);
    dbaddv(ar, nullptr, "sta", "A", "time", 1100.0, "arid", 101L, "iphase", "P", nullptr);
    dbaddv(ar, nullptr, "sta", "B", "time", 1200.0, "arid", 102L, "iphase", "P", nullptr);
    dbaddv(as, nullptr, "arid", 102L, "orid", 11L, "sta", "B", nullptr);
    dbaddv(as, nullptr, "arid", 101L, "orid", 11L, "sta", "A", nullptr);
    dbaddv(as, nullptr, "arid", 101L, "orid", 12L, "sta", "A", nullptr);
    Dbptr j1 = dbjoin(ev, org, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(count(j1), 3);
    EXPECT_EQ(column(j1, "origin.orid"), (std::vector<long>{11, 12, 21}));
    Dbptr pref = dbsubset(j1, "orid == prefor", nullptr);
    EXPECT_EQ(column(pref, "orid"), (std::vector<long>{11, 21}));
    Dbptr j2 = dbjoin(j1, as, nullptr, nullptr, 0, nullptr, nullptr);
    Dbptr j3 = dbjoin(j2, ar, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(j3.table, dbINVALID);
    std::vector<std::pair<long, long>> got;
    for (long r = 0; r < count(j3); ++r) got.push_back({lng(j3, r, "origin.orid"), lng(j3, r, "arrival.arid")});
    EXPECT_EQ(got, (std::vector<std::pair<long, long>>{{11, 102}, {11, 101}, {12, 101}}));
    Tbl *tables = nullptr;
    ASSERT_EQ(dbquery(j3, dbVIEW_TABLES, &tables), 0);
    ASSERT_EQ(maxtbl(tables), 4);
    EXPECT_STREQ((char *)gettbl(tables, 3), "arrival");
    for (Dbptr v : {j3, j2, pref, j1}) dbfree(v);
}

}  // namespace

namespace {

// A long-running program makes and frees a view per request: past the
// 262,144 slots a database can number, freed slots must be reused.
TEST(AuditCore, MakingAndFreeingViewsRunsForever) {
    Dbptr db;
    ASSERT_EQ(dbopen_memory(&db), 0);
    Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
    for (long i = 0; i < 270000; ++i) {
        Dbptr v = dbsubset(wf, "wfid > 0", nullptr);
        ASSERT_NE(v.table, dbINVALID) << "view " << i;
        ASSERT_EQ(dbfree(v), 0);
    }
    dbclose(db);
}

}  // namespace
