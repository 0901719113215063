// Trace tables: reading wfdisc rows of a database on disk, loading them
// (with station metadata from a joined view) into trace rows, splitting at
// gaps, splicing segments that meet, calibrating once, releasing rows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "db.h"
#include "rzvtest.h"
#include "stock.h"
#include "tr.h"

namespace {

using rzvtest::has_message;

const double T0 = 1580515200.0;  // 2020-02-01 00:00:00

// Big-endian 32-bit integers, byte by byte.
void write_s4(const std::string &path, const std::vector<int> &v) {
    std::ofstream f(path, std::ios::binary);
    for (int x : v) {
        uint32_t u = (uint32_t)x;
        char b[4] = {(char)(u >> 24), (char)(u >> 16), (char)(u >> 8), (char)u};
        f.write(b, 4);
    }
}

std::vector<int> ramp(int n, int start = 0) {
    std::vector<int> v(n);
    for (int i = 0; i < n; i++) v[i] = start + i;
    return v;
}

class TraceDb : public ::testing::Test {
protected:
    void SetUp() override {
        name = dir.file("db");
        ASSERT_EQ(dbopen(name.c_str(), "r+", &db), 0) << rzvtest::all_messages();
        wfdisc = dblookup(db, nullptr, "wfdisc", nullptr, "dbALL");
        ASSERT_GE(wfdisc.table, 0);
    }
    void TearDown() override {
        trdestroy(&tr);
        dbclose(db);
    }
    long add_row(const char *sta, const char *chan, double time, long nsamp, double rate, const char *dfile,
                 const char *datatype = "s4", long foff = 0, double calib = 1.0) {
        return dbaddv(wfdisc, nullptr, "sta", sta, "chan", chan, "time", time, "endtime",
                      time + (nsamp - 1) / rate, "nsamp", nsamp, "samprate", rate, "calib", calib, "calper", 1.0,
                      "segtype", "V", "datatype", datatype, "dir", ".", "dfile", dfile, "foff", foff, "jdate",
                      yearday(time), "chanid", 1L, (char *)0);
    }
    Dbptr row(long r) {
        Dbptr p = wfdisc;
        p.record = r;
        return p;
    }
    static std::string t(double x) {
        char b[64];
        snprintf(b, sizeof b, "(%.5f)", x);
        return b;
    }
    // Reads one trace row's samples as a vector.
    std::vector<float> samples(long r, double *time = nullptr, long *n = nullptr) {
        Dbptr p = tr;
        p.record = r;
        void *data = nullptr;
        long nsamp = 0;
        double tm = 0;
        EXPECT_EQ(dbgetv(p, nullptr, "data", &data, "nsamp", &nsamp, "time", &tm, (char *)0), 0);
        if (time) *time = tm;
        if (n) *n = nsamp;
        const float *f = static_cast<const float *>(data);
        return f ? std::vector<float>(f, f + nsamp) : std::vector<float>();
    }
    long count(Dbptr p) {
        long n = -1;
        dbquery(p, dbRECORD_COUNT, &n);
        return n;
    }
    rzvtest::TempDir dir;
    std::string name;
    Dbptr db{}, wfdisc{};
    Dbptr tr = dbinvalid();
};

// ------------------------------------------------------------ trgetwf on rows

TEST_F(TraceDb, TrgetwfReadsTheRowsFile) {
    write_s4(dir.file("a.w"), ramp(100));
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 100, 10.0, "a.w"), 0);
    float *data = nullptr;
    long size = 0, n = 0;
    double ts, te;
    ASSERT_EQ(trgetwf(row(0), &data, &size, T0 + 1.05, T0 + 2.0, &ts, &te, &n), 0) << rzvtest::all_messages();
    ASSERT_EQ(n, 10);  // samples 11 .. 20
    EXPECT_EQ(data[0], 11.0f);
    EXPECT_EQ(data[9], 20.0f);
    EXPECT_NEAR(ts, T0 + 1.1, 1e-6);
    EXPECT_NEAR(te, T0 + 2.0, 1e-6);
    free(data);
}

TEST_F(TraceDb, LoadTakesARowWhoseRoundedEndIsJustBeforeTheWindow) {
    // 3 samples per second: sample 1 is at T0 + 0.333333..., the stored
    // endtime T0 + 0.33333; a window from T0 + 0.33334 holds the sample.
    write_s4(dir.file("r.w"), ramp(2, 5));
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 2, 3.0, "r.w"), 0);
    ASSERT_EQ(trload_cssgrp(wfdisc, t(T0 + 0.33334).c_str(), t(T0 + 10).c_str(), &tr, nullptr, nullptr), 0)
        << rzvtest::all_messages();
    ASSERT_EQ(count(tr), 1);
    EXPECT_EQ(samples(0), std::vector<float>({6}));
}

TEST_F(TraceDb, TrgetwfErrorsNameTheCause) {
    write_s4(dir.file("short.w"), ramp(10));
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 100, 10.0, "missing.w"), 0);
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 100, 10.0, "short.w"), 0);
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 10, 10.0, "short.w", "x7"), 0);
    float *data = nullptr;
    long size = 0, n = 0;
    double ts, te;
    int rc = trgetwf(row(0), &data, &size, 0, 1e10, &ts, &te, &n);
    EXPECT_EQ(rc, TRGETWF_ENOFILE);
    trgetwf_error(rc, row(0));
    EXPECT_TRUE(has_message("missing.w of wfdisc row 0 (ANMO BHZ) does not exist"));
    rc = trgetwf(row(1), &data, &size, 0, 1e10, &ts, &te, &n);
    EXPECT_EQ(rc, TRGETWF_ESHORT);
    trgetwf_error(rc, row(1));
    EXPECT_TRUE(has_message("has 40 bytes, the row needs 400"));
    rc = trgetwf(row(2), &data, &size, 0, 1e10, &ts, &te, &n);
    EXPECT_EQ(rc, TRGETWF_EDATATYPE);
    trgetwf_error(rc, row(2));
    EXPECT_TRUE(has_message("unknown datatype 'x7' in wfdisc row 2"));
    Dbptr bad = row(7);
    EXPECT_EQ(trgetwf(bad, &data, &size, 0, 1e10, &ts, &te, &n), TRGETWF_EROW);
    free(data);
}

// ------------------------------------------------------------ loading

TEST_F(TraceDb, LoadCutsRowsToTheWindow) {
    write_s4(dir.file("a.w"), ramp(100));
    write_s4(dir.file("b.w"), ramp(50, 1000));
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 100, 10.0, "a.w", "s4", 0, 2.5), 0);
    ASSERT_GE(add_row("ANMO", "BHN", T0 + 5.0, 50, 10.0, "b.w"), 0);
    ASSERT_GE(add_row("KONO", "BHZ", T0 + 500.0, 50, 10.0, "b.w"), 0);  // outside the window
    ASSERT_EQ(trload_cssgrp(wfdisc, t(T0 + 4.0).c_str(), t(T0 + 6.0).c_str(), &tr, nullptr, nullptr), 0)
        << rzvtest::all_messages();
    ASSERT_EQ(count(tr), 2);
    double time;
    long n;
    std::vector<float> a = samples(0, &time, &n);
    ASSERT_EQ(n, 21);  // 4.0 .. 6.0 s
    EXPECT_NEAR(time, T0 + 4.0, 1e-5);
    EXPECT_EQ(a[0], 40.0f);
    EXPECT_EQ(a[20], 60.0f);
    std::vector<float> b = samples(1, &time, &n);
    ASSERT_EQ(n, 11);  // 5.0 .. 6.0 s
    EXPECT_EQ(b[0], 1000.0f);
    Dbptr r0 = tr;
    r0.record = 0;
    char sta[16], chan[16], seg[4], dt[4];
    double calib, endtime, rate;
    ASSERT_EQ(dbgetv(r0, nullptr, "sta", sta, "chan", chan, "segtype", seg, "datatype", dt, "calib", &calib,
                     "endtime", &endtime, "samprate", &rate, (char *)0),
              0);
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_STREQ(chan, "BHZ");
    EXPECT_STREQ(seg, "V");
    EXPECT_STREQ(dt, "s4");
    EXPECT_EQ(calib, 2.5);
    EXPECT_NEAR(endtime, T0 + 6.0, 1e-5);
    EXPECT_EQ(rate, 10.0);
}

TEST_F(TraceDb, LoadAppendsToAnExistingTable) {
    write_s4(dir.file("a.w"), ramp(100));
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 100, 10.0, "a.w"), 0);
    ASSERT_EQ(trload_cssgrp(wfdisc, t(T0).c_str(), t(T0 + 1).c_str(), &tr, nullptr, nullptr), 0);
    ASSERT_EQ(trload_cssgrp(wfdisc, "2020-02-01 00:00:02", "2020-02-01 00:00:03", &tr, nullptr, nullptr), 0);
    ASSERT_EQ(count(tr), 2);
    EXPECT_EQ(samples(1)[0], 20.0f);
}

TEST_F(TraceDb, UnreadableRowIsReportedAndSkipped) {
    write_s4(dir.file("a.w"), ramp(100));
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 100, 10.0, "gone.w"), 0);
    ASSERT_GE(add_row("ANMO", "BHN", T0, 100, 10.0, "a.w"), 0);
    ASSERT_EQ(trload_cssgrp(wfdisc, t(T0).c_str(), t(T0 + 100).c_str(), &tr, nullptr, nullptr), 0);
    EXPECT_EQ(count(tr), 1);
    EXPECT_TRUE(has_message("trload_cssgrp: row 0 (ANMO BHZ) skipped.\n"));
    EXPECT_TRUE(has_message("gone.w"));
}

TEST_F(TraceDb, LoadRefusesBadArguments) {
    EXPECT_EQ(trload_cssgrp(wfdisc, "yesterday-ish", "now", &tr, nullptr, nullptr), -1);
    EXPECT_TRUE(has_message("trload_cssgrp: cannot read the start time 'yesterday-ish'.\n"));
    Dbptr site = dblookup(db, nullptr, "site", nullptr, "dbALL");
    EXPECT_EQ(trload_cssgrp(site, "0", "1", &tr, nullptr, nullptr), -1);
    EXPECT_TRUE(has_message("trload_cssgrp: the view holds no wfdisc table.\n"));
}

TEST_F(TraceDb, JoinedViewSuppliesStationMetadata) {
    write_s4(dir.file("a.w"), ramp(100));
    ASSERT_GE(add_row("ANMO", "BHZ", T0, 100, 10.0, "a.w", "s4", 0, 0.0), 0);  // calib unknown
    Dbptr site = dblookup(db, nullptr, "site", nullptr, "dbALL");
    Dbptr sitechan = dblookup(db, nullptr, "sitechan", nullptr, "dbALL");
    Dbptr sensor = dblookup(db, nullptr, "sensor", nullptr, "dbALL");
    Dbptr instrument = dblookup(db, nullptr, "instrument", nullptr, "dbALL");
    ASSERT_GE(dbaddv(site, nullptr, "sta", "ANMO", "ondate", 2000001L, "offdate", -1L, "lat", 34.9462, "lon",
                     -106.4567, "elev", 1.85, (char *)0),
              0);
    ASSERT_GE(dbaddv(sitechan, nullptr, "sta", "ANMO", "chan", "BHZ", "ondate", 2000001L, "offdate", -1L, "chanid",
                     1L, "hang", 0.0, "vang", 0.0, "edepth", 0.1, (char *)0),
              0);
    ASSERT_GE(dbaddv(sensor, nullptr, "sta", "ANMO", "chan", "BHZ", "time", T0 - 1e6, "endtime", T0 + 1e6, "inid",
                     3L, "chanid", 1L, "calratio", 1.5, "calper", 1.0, (char *)0),
              0);
    ASSERT_GE(dbaddv(instrument, nullptr, "inid", 3L, "insname", "test", "instype", "STS2", "ncalib", 0.25,
                     "ncalper", 1.0, "samprate", 10.0, (char *)0),
              0);
    Dbptr v = dbjoin(wfdisc, site, nullptr, nullptr, 0, nullptr, nullptr);
    v = dbjoin(v, sitechan, nullptr, nullptr, 0, nullptr, nullptr);
    v = dbjoin(v, sensor, nullptr, nullptr, 0, nullptr, nullptr);
    v = dbjoin(v, instrument, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_GE(v.table, 0) << rzvtest::all_messages();
    ASSERT_EQ(count(v), 1);
    ASSERT_EQ(trload_cssgrp(v, t(T0).c_str(), t(T0 + 1).c_str(), &tr, nullptr, nullptr), 0)
        << rzvtest::all_messages();
    ASSERT_EQ(count(tr), 1);
    Dbptr r0 = tr;
    r0.record = 0;
    double lat, lon, elev, hang, vang, edepth, calib;
    char instype[16];
    ASSERT_EQ(dbgetv(r0, nullptr, "lat", &lat, "lon", &lon, "elev", &elev, "hang", &hang, "vang", &vang, "edepth",
                     &edepth, "calib", &calib, "instype", instype, (char *)0),
              0);
    EXPECT_NEAR(lat, 34.9462, 1e-6);
    EXPECT_NEAR(lon, -106.4567, 1e-6);
    EXPECT_NEAR(elev, 1.85, 1e-6);
    EXPECT_EQ(hang, 0.0);
    EXPECT_EQ(vang, 0.0);
    EXPECT_NEAR(edepth, 0.1, 1e-6);
    EXPECT_NEAR(calib, 0.25 * 1.5, 1e-9);  // nominal calibration refined by the sensor
    EXPECT_STREQ(instype, "STS2");
    dbfree(v);
}

// ------------------------------------------------------------ gaps, splicing

class TraceRows : public ::testing::Test {
protected:
    void SetUp() override {
        tr = trnew(nullptr, nullptr);
        ASSERT_GE(tr.database, 0);
        trfill_gap(&gap, 1);
    }
    void TearDown() override { trdestroy(&tr); }
    long add(const char *sta, const char *chan, double time, const std::vector<float> &v, double calib = 1.0) {
        float *d = static_cast<float *>(malloc(v.size() * sizeof(float) + 1));
        memcpy(d, v.data(), v.size() * sizeof(float));
        return dbaddv(tr, nullptr, "net", "XX", "sta", sta, "chan", chan, "time", time, "endtime",
                      time + (v.size() - 1) * 0.1, "nsamp", (long)v.size(), "samprate", 10.0, "calib", calib,
                      "data", (void *)d, (char *)0);
    }
    struct Row {
        std::string sta, chan;
        double time, endtime;
        std::vector<float> v;
    };
    std::vector<Row> rows() {
        std::vector<Row> out;
        long n = 0;
        dbquery(tr, dbRECORD_COUNT, &n);
        for (long r = 0; r < n; r++) {
            Dbptr p = tr;
            p.record = r;
            char sta[16], chan[16];
            void *data;
            long nsamp;
            Row x;
            EXPECT_EQ(dbgetv(p, nullptr, "sta", sta, "chan", chan, "time", &x.time, "endtime", &x.endtime, "data",
                             &data, "nsamp", &nsamp, (char *)0),
                      0);
            x.sta = sta;
            x.chan = chan;
            if (data) x.v.assign((float *)data, (float *)data + nsamp);
            out.push_back(x);
        }
        return out;
    }
    Dbptr tr{};
    float gap = 0;
};

TEST_F(TraceRows, SplitAtGapsKeepsOrder) {
    add("A", "Z", T0, {1, 2});
    add("B", "Z", T0, {1, gap, gap, 4, 5, gap});
    add("C", "Z", T0, {gap, gap});
    add("D", "Z", T0, {7});
    long nsplit = -1;
    ASSERT_EQ(trsplit(tr, &nsplit), 0) << rzvtest::all_messages();
    EXPECT_EQ(nsplit, 2);
    std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].sta, "A");
    EXPECT_EQ(r[1].sta, "B");
    EXPECT_EQ(r[1].v, std::vector<float>({1}));
    EXPECT_NEAR(r[1].time, T0, 1e-5);
    EXPECT_EQ(r[2].sta, "B");
    EXPECT_EQ(r[2].v, std::vector<float>({4, 5}));
    EXPECT_NEAR(r[2].time, T0 + 0.3, 1e-5);
    EXPECT_NEAR(r[2].endtime, T0 + 0.4, 1e-5);
    EXPECT_EQ(r[3].sta, "D");  // the all-gap row is gone
}

TEST_F(TraceRows, SplitOfOneRowOnly) {
    add("A", "Z", T0, {1, gap, 3});
    add("B", "Z", T0, {1, gap, 3});
    Dbptr one = tr;
    one.record = 1;
    ASSERT_EQ(trsplit(one, nullptr), 0);
    std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].v.size(), 3u);  // not in the set
    EXPECT_EQ(r[1].v, std::vector<float>({1}));
    EXPECT_EQ(r[2].v, std::vector<float>({3}));
}

TEST_F(TraceRows, RewritesKeepTheRowsAfterTheSet) {
    add("A", "Z", T0, {1, gap, 2});
    add("B", "Z", T0, {3, gap, 4});
    add("C", "Z", T0, {5});
    add("C", "Z", T0 + 0.1, {6});
    Dbptr middle = tr;
    middle.record = 1;
    long nsplit = 0;
    ASSERT_EQ(trsplit(middle, &nsplit), 0) << rzvtest::all_messages();
    EXPECT_EQ(nsplit, 1);
    std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].v, std::vector<float>({1, gap, 2}));  // before the set: as it was
    EXPECT_EQ(r[1].v, std::vector<float>({3}));
    EXPECT_EQ(r[2].v, std::vector<float>({4}));
    EXPECT_EQ(r[3].v, std::vector<float>({5}));  // after the set: in order
    EXPECT_EQ(r[4].v, std::vector<float>({6}));
    // Splicing rows 3 and 4 only: the rows before them stay as they are.
    Dbptr last = tr;
    last.record = 3;
    last.field = 5;
    long joins = 0;
    ASSERT_EQ(trsplice(last, 0.5, &joins), 0) << rzvtest::all_messages();
    EXPECT_EQ(joins, 1);
    r = rows();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[1].v, std::vector<float>({3}));
    EXPECT_EQ(r[2].v, std::vector<float>({4}));
    EXPECT_EQ(r[3].v, std::vector<float>({5, 6}));
    // Nothing to do changes nothing.
    ASSERT_EQ(trsplice(last, 0.5, &joins), 0);
    EXPECT_EQ(joins, 0);
    EXPECT_EQ(rows().size(), 4u);
}

TEST_F(TraceRows, SpliceJoinsSegmentsThatMeet) {
    add("A", "Z", T0 + 0.5, {6, 7});    // continues the next row
    add("A", "Z", T0, {1, 2, 3, 4, 5});
    add("A", "Z", T0 + 0.72, {9});      // 0.2 interval after the end of the join: within 0.5
    add("A", "Z", T0 + 2.0, {20});      // far away
    add("A", "N", T0 + 0.5, {60});      // other channel
    long joins = -1;
    ASSERT_EQ(trsplice(tr, 0.5, &joins), 0) << rzvtest::all_messages();
    EXPECT_EQ(joins, 2);
    std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 3u);
    // The joined row takes the place of the first row read (the earliest
    // segment's own row) -- rows are compacted, the others keep their order.
    EXPECT_EQ(r[0].v, std::vector<float>({1, 2, 3, 4, 5, 6, 7, 9}));
    EXPECT_NEAR(r[0].time, T0, 1e-5);
    EXPECT_NEAR(r[0].endtime, T0 + 0.7, 1e-5);
    EXPECT_EQ(r[1].v, std::vector<float>({20}));
    EXPECT_EQ(r[2].chan, "N");
}

TEST_F(TraceRows, SpliceLeavesGapsBeyondTolerance) {
    add("A", "Z", T0, {1, 2});
    add("A", "Z", T0 + 0.26, {3});  // 0.6 intervals late
    ASSERT_EQ(trsplice(tr, 0.5, nullptr), 0);
    EXPECT_EQ(rows().size(), 2u);
    ASSERT_EQ(trsplice(tr, 0.7, nullptr), 0);
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(TraceRows, CalibrationIsAppliedOnce) {
    add("A", "Z", T0, {1, gap, -3}, 2.0);
    add("B", "Z", T0, {5}, 0.0);  // unknown calibration: left alone
    Dbptr r0 = tr, r1 = tr;
    r0.record = 0;
    r1.record = 1;
    EXPECT_EQ(trcalibrated(r0), 0);
    ASSERT_EQ(trapply_calib(tr), 0);
    ASSERT_EQ(trapply_calib(tr), 0);
    std::vector<Row> r = rows();
    EXPECT_EQ(r[0].v, std::vector<float>({2, gap, -6}));  // gaps stay gaps
    EXPECT_EQ(r[1].v, std::vector<float>({5}));
    EXPECT_EQ(trcalibrated(r0), 1);
    EXPECT_EQ(trcalibrated(r1), 0);
    double calib;
    ASSERT_EQ(dbgetv(r0, nullptr, "calib", &calib, (char *)0), 0);
    EXPECT_EQ(calib, 1.0);  // samples times calib are still ground motion
    // Pieces of a calibrated row stay calibrated.
    ASSERT_EQ(trsplit(tr, nullptr), 0);
    ASSERT_EQ(trapply_calib(tr), 0);
    r = rows();
    EXPECT_EQ(r[0].v, std::vector<float>({2}));
    EXPECT_EQ(r[1].v, std::vector<float>({-6}));
    EXPECT_EQ(trcalibrated(r1), 1);
}

TEST_F(TraceRows, ARowWithAFreshCalibrationIsApplied) {
    add("A", "Z", T0, {1, 2}, 3.0);
    ASSERT_EQ(trapply_calib(tr), 0);
    // The row is given new samples and a calibration by its owner.
    Dbptr r0 = tr;
    r0.record = 0;
    ASSERT_EQ(dbputv(r0, nullptr, "calib", 10.0, (char *)0), 0);
    ASSERT_EQ(trapply_calib(tr), 0);
    EXPECT_EQ(rows()[0].v, std::vector<float>({30, 60}));
}

TEST_F(TraceRows, CalibrationMarkBelongsToTheRowNotItsArray) {
    add("A", "Z", T0, {1, 2}, 2.0);
    ASSERT_EQ(trapply_calib(tr), 0);
    Dbptr a = tr, b = tr;
    a.record = 0;
    b.record = 1;
    ASSERT_EQ(trcalibrated(a), 1);
    // The owner gives row A new samples and frees the old array itself; the
    // next array of that size usually lands at the same address.
    void *old = nullptr;
    ASSERT_EQ(dbgetv(a, nullptr, "data", &old, (char *)0), 0);
    float *fresh = static_cast<float *>(malloc(sizeof(float)));
    fresh[0] = 8;
    ASSERT_EQ(dbputv(a, nullptr, "data", (void *)fresh, "nsamp", 1L, (char *)0), 0);
    free(old);
    float *reused = static_cast<float *>(malloc(2 * sizeof(float) + 1));  // A's old size
    reused[0] = 5;
    reused[1] = 7;
    ASSERT_GE(dbaddv(tr, nullptr, "net", "XX", "sta", "B", "chan", "Z", "time", T0, "endtime", T0 + 0.1, "nsamp", 2L,
                     "samprate", 10.0, "data", (void *)reused, (char *)0),
              0);  // calib 1 (its null), never calibrated
    EXPECT_EQ(trcalibrated(b), 0);
    long mark = -1;
    ASSERT_EQ(dbgetv(b, nullptr, "calibrated", &mark, (char *)0), 0);
    EXPECT_EQ(mark, 0);
    // B's real calibration arrives; it must be applied whatever B's address.
    ASSERT_EQ(dbputv(b, nullptr, "calib", 3.0, (char *)0), 0);
    ASSERT_EQ(trapply_calib(tr), 0);
    std::vector<Row> r = rows();
    EXPECT_EQ(r[0].v, std::vector<float>({8}));  // A is still marked: left alone
    EXPECT_EQ(r[1].v, std::vector<float>({15, 21}));
    EXPECT_EQ(trcalibrated(b), 1);
}

TEST_F(TraceRows, SplicedRowKeepsItsCalibrationMark) {
    add("A", "Z", T0, {1, 2}, 2.0);
    add("A", "Z", T0 + 0.2, {3}, 2.0);
    ASSERT_EQ(trapply_calib(tr), 0);
    ASSERT_EQ(trsplice(tr, 0.5, nullptr), 0);
    Dbptr r0 = tr;
    r0.record = 0;
    EXPECT_EQ(trcalibrated(r0), 1);
    ASSERT_EQ(trapply_calib(tr), 0);
    EXPECT_EQ(rows()[0].v, std::vector<float>({2, 4, 6}));
}

TEST_F(TraceRows, FreeRowsRangesAndTables) {
    for (const char *s : {"A", "B", "C", "D"}) add(s, "Z", T0, {1, 2});
    Dbptr one = tr;
    one.record = 1;
    ASSERT_EQ(trfree(one), 0);
    Dbptr range = tr;
    range.record = 2;
    range.field = 4;
    ASSERT_EQ(trfree(range), 0);
    ASSERT_EQ(dbcrunch(tr), 0);
    std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].sta, "A");
    Dbptr bad = tr;
    bad.record = 9;
    EXPECT_EQ(trfree(bad), -1);
    EXPECT_TRUE(has_message("trfree: record 9 is not in the trace table (1 rows).\n"));
    ASSERT_EQ(trfree(tr), 0);
    ASSERT_EQ(dbcrunch(tr), 0);
    EXPECT_EQ(rows().size(), 0u);
}

}  // namespace
