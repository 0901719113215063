// Allocation failures in the trace layer: making and destroying trace
// tables, reading waveform rows, loading rows of a database (plain and
// joined with station metadata), splitting at gaps, splicing segments,
// calibrating, releasing rows, and reading response files.  Each allocation
// of an operation is made to fail in turn; a failure must come back as the
// operation's failure result with a message, give back what it took (the
// hook's count of live blocks here, LeakSanitizer in the sanitized build)
// and leave the trace table as it was, and a success that absorbed a failure
// must have built its whole result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "allocfail.h"
#include "allocfail_interpose.h"
#include "allocsweep.h"
#include "db.h"
#include "response.h"
#include "rzvtest.h"
#include "stock.h"
#include "tr.h"
#include "wfencode.h"

namespace {

using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;

using namespace rzvtest::allocsweep;

// ------------------------------------------------------------ trace tables in the test

const double T0 = 1580515200.0;  // 2020-02-01 00:00:00
const float GAP = TRGAP_VALUE;

Dbptr at(Dbptr tr, long r) {
    tr.record = r;
    tr.field = dbALL;
    return tr;
}

long count(Dbptr tr) {
    long n = -1;
    if (tr.database < 0 || dbquery(tr, dbRECORD_COUNT, &n) < 0) return -1;
    return n;
}

// A row as the test sees it: its text (the sample pointer included) and its
// samples.
struct RowImage {
    std::string text;
    std::vector<float> samples;
    bool operator==(const RowImage &o) const { return text == o.text && samples == o.samples; }
};

std::vector<RowImage> image(Dbptr tr) {
    std::vector<RowImage> out;
    long n = count(tr);
    for (long r = 0; r < n; r++) {
        char buf[1024];
        RowImage x;
        if (dbget(at(tr, r), buf) == 0) x.text = buf;
        void *p = nullptr;
        long nsamp = 0;
        if (dbgetv(at(tr, r), nullptr, "data", &p, "nsamp", &nsamp, (char *)0) == 0 && p)
            x.samples.assign((float *)p, (float *)p + nsamp);
        out.push_back(x);
    }
    elog_clear_register(0);
    return out;
}

void add(Dbptr tr, const char *sta, double time, const std::vector<float> &v, double calib = 1.0) {
    float *d = static_cast<float *>(malloc(v.size() * sizeof(float)));
    memcpy(d, v.data(), v.size() * sizeof(float));
    long rec = dbaddv(tr, nullptr, "net", "XX", "sta", sta, "chan", "BHZ", "time", time, "endtime",
                      time + (double)(v.size() - 1) / 10.0, "nsamp", (long)v.size(), "samprate", 10.0, "calib", calib,
                      "data", (void *)d, (char *)0);
    ASSERT_GE(rec, 0) << rzvtest::all_messages();
}

// A trace table rebuilt before every run of an operation that changes it,
// with a snapshot that a failed run must leave as it was.
struct Rows {
    Dbptr tr = dbinvalid();
    std::vector<RowImage> before;
    std::function<void(Dbptr)> fill;
    explicit Rows(std::function<void(Dbptr)> f) : fill(std::move(f)) {}
    ~Rows() { trdestroy(&tr); }
    void prepare() {
        trdestroy(&tr);
        tr = trnew(nullptr, nullptr);
        ASSERT_GE(tr.database, 0);
        fill(tr);
        before = image(tr);
    }
    bool changed() { return image(tr) != before; }
};

// ------------------------------------------------------------ a waveform database

// Two stations with three rows each (s4 samples in files), sites, and a
// wfdisc-site view.
struct WaveDb {
    rzvtest::TempDir dir;
    std::string name = dir.file("wave");
    Dbptr db{}, wfdisc{}, joined{};

    WaveDb() {
        EXPECT_EQ(dbopen(name.c_str(), "r+", &db), 0);
        wfdisc = dblookup(db, nullptr, "wfdisc", nullptr, "dbALL");
        long wfid = 1;
        for (const char *sta : {"AAA", "BBB"}) {
            for (int k = 0; k < 3; k++) {
                std::vector<double> v(50);
                for (size_t i = 0; i < v.size(); i++) v[i] = (double)(i % 9) - 4.0;
                std::string file = std::string("w.") + sta + std::to_string(k);
                rzvtest::write_bytes(dir.file(file), rzvtest::encode(k == 1 ? "i4" : "s4", v));
                double t = T0 + 5.0 * k;
                dbaddv(wfdisc, nullptr, "sta", sta, "chan", "BHZ", "time", t, "endtime", t + 4.9, "nsamp", 50L,
                       "samprate", 10.0, "calib", 2.0, "calper", 1.0, "segtype", "V", "datatype", k == 1 ? "i4" : "s4",
                       "dir", ".", "dfile", file.c_str(), "foff", 0L, "wfid", wfid++, "chanid", 1L, (char *)0);
            }
            dbaddv(dblookup(db, nullptr, "site", nullptr, nullptr), nullptr, "sta", sta, "ondate", 1960001L, "lat",
                   10.0, "lon", 20.0, "elev", 0.1, (char *)0);
        }
        joined = dbjoin(wfdisc, dblookup(db, nullptr, "site", nullptr, "dbALL"), nullptr, nullptr, 0, nullptr, nullptr);
        EXPECT_GE(joined.table, 0) << rzvtest::all_messages();
    }
    ~WaveDb() { dbclose(db); }
};

}  // namespace

// ------------------------------------------------------------ making, reading, loading

TEST(AllocFailTrace, TraceTablesAndReading) {
    // A table made, given a row with samples (made before the run: the
    // table takes them over), and destroyed.
    Dbptr tr = dbinvalid();
    float *samples = nullptr;
    Op made;
    made.name = "trnew and trdestroy";
    made.prepare = [&] {
        free(samples);
        samples = static_cast<float *>(calloc(3, sizeof(float)));
    };
    made.run = [&] {
        tr = trnew(nullptr, nullptr);
        if (tr.database < 0) return false;
        if (dbaddv(tr, nullptr, "sta", "AAA", "time", T0, "nsamp", 3L, "samprate", 10.0, "data", (void *)samples,
                   (char *)0) < 0) {
            trdestroy(&tr);
            return false;
        }
        samples = nullptr;
        return trdestroy(&tr) == 0;
    };
    made.whole = [&] { return tr.database == dbINVALID; };
    made.changed = [&] { return tr.database != dbINVALID; };
    expect_all_clean(sweep(made));
    free(samples);

    WaveDb w;
    float *data = nullptr;
    long size = 0, got = 0;
    double ts = 0, te = 0;
    for (long row : {0L, 1L}) {
        Op read;
        read.name = std::string("trgetwf (") + (row ? "i4" : "s4") + ")";
        read.run = [&, row] {
            data = nullptr;
            size = 0;
            int rc = trgetwf(at(w.wfdisc, row), &data, &size, T0 - 10, T0 + 100, &ts, &te, &got);
            if (rc < 0) {
                trgetwf_error(rc, at(w.wfdisc, row));
                free(data);
                data = nullptr;
            }
            return rc == 0;
        };
        read.whole = [&] { return got == 50 && data && data[5] == 1.0f; };
        read.undo = [&] { free(data); };
        expect_all_clean(sweep(read));
    }

    for (bool view : {false, true}) {
        for (bool existing : {false, true}) {
            Op load;
            load.name = std::string("trload_cssgrp (") + (view ? "wfdisc-site view, " : "wfdisc, ") +
                        (existing ? "existing table)" : "new table)");
            Dbptr into = dbinvalid();
            long n0 = 0;
            std::vector<RowImage> before;
            load.prepare = [&, existing] {
                trdestroy(&into);
                if (existing) {
                    into = trnew(nullptr, nullptr);
                    add(into, "OLD", T0, {7, 8});
                    n0 = 1;
                    before = image(into);
                } else {
                    n0 = 0;
                }
            };
            load.run = [&, view] {
                Dbptr src = view ? w.joined : w.wfdisc;
                char t0[64], t1[64];
                snprintf(t0, sizeof t0, "(%.5f)", T0 + 2.0);
                snprintf(t1, sizeof t1, "(%.5f)", T0 + 12.0);
                return trload_cssgrp(src, t0, t1, &into, nullptr, nullptr) == 0;
            };
            load.whole = [&, view] {
                if (count(into) != n0 + 6) return false;
                double lat = 0;
                dbgetv(at(into, n0), nullptr, "lat", &lat, (char *)0);
                return !view || lat == 10.0;
            };
            load.undo = [&] { trdestroy(&into); };
            // The source rows are never touched, whatever fails.
            std::vector<RowImage> source = image(w.wfdisc);
            load.changed = [&, existing] {
                if (image(w.wfdisc) != source) return true;
                if (!existing) return into.database != dbINVALID;
                return image(into) != before;
            };
            expect_all_clean(sweep(load));
            trdestroy(&into);
        }
    }
}

// ------------------------------------------------------------ changing trace rows

TEST(AllocFailTrace, SplitSpliceCalibrate) {
    Rows gaps([](Dbptr tr) {
        add(tr, "AAA", T0, {1, 2});
        add(tr, "BBB", T0, {1, GAP, GAP, 4, 5, GAP, 7});
        add(tr, "CCC", T0, {GAP, GAP});
        add(tr, "DDD", T0, {3, GAP, 3});
    });
    long nsplit = 0;
    Op split;
    split.name = "trsplit";
    split.prepare = [&] { gaps.prepare(); };
    split.run = [&] { return trsplit(gaps.tr, &nsplit) == 0; };
    split.whole = [&] {
        std::vector<RowImage> r = image(gaps.tr);
        return nsplit == 3 && r.size() == 6 && r[1].samples == std::vector<float>{1} &&
               r[3].samples == std::vector<float>{7} && r[5].samples == std::vector<float>{3};
    };
    split.changed = [&] { return gaps.changed(); };
    expect_all_clean(sweep(split));

    Rows pieces([](Dbptr tr) {
        add(tr, "AAA", T0 + 0.5, {6, 7});
        add(tr, "AAA", T0, {1, 2, 3, 4, 5});
        add(tr, "BBB", T0, {1});
        add(tr, "BBB", T0 + 0.1, {2});
        add(tr, "AAA", T0 + 3.0, {20});
    });
    long joins = 0;
    Op splice;
    splice.name = "trsplice";
    splice.prepare = [&] { pieces.prepare(); };
    splice.run = [&] { return trsplice(pieces.tr, 0.5, &joins) == 0; };
    splice.whole = [&] {
        std::vector<RowImage> r = image(pieces.tr);
        return joins == 2 && r.size() == 3 && r[0].samples == std::vector<float>({1, 2, 3, 4, 5, 6, 7}) &&
               r[1].samples == std::vector<float>({1, 2});
    };
    splice.changed = [&] { return pieces.changed(); };
    expect_all_clean(sweep(splice));

    // Calibration goes row by row: a failure leaves every row whole (its
    // samples scaled exactly when it is marked), and the next call finishes.
    Rows cal([](Dbptr tr) {
        add(tr, "AAA", T0, {1, GAP, 3}, 2.0);
        add(tr, "BBB", T0, {4}, 0.5);
        add(tr, "CCC", T0, {5}, 0.0);
    });
    Op calib;
    calib.name = "trapply_calib";
    calib.prepare = [&] { cal.prepare(); };
    calib.run = [&] { return trapply_calib(cal.tr) == 0; };
    calib.whole = [&] {
        std::vector<RowImage> r = image(cal.tr);
        return r[0].samples == std::vector<float>({2, GAP, 6}) && r[1].samples == std::vector<float>({2}) &&
               r[2].samples == std::vector<float>({5});
    };
    calib.changed = [&] {
        const std::vector<float> scaled[] = {{2, GAP, 6}, {2}};
        for (long r = 0; r < 2; r++) {
            std::vector<RowImage> now = image(cal.tr);
            bool marked = trcalibrated(at(cal.tr, r)) == 1;
            if (marked != (now[(size_t)r].samples == scaled[r])) return true;
        }
        elog_clear_register(0);
        if (trapply_calib(cal.tr) != 0) return true;
        std::vector<RowImage> now = image(cal.tr);
        return !(now[0].samples == scaled[0] && now[1].samples == scaled[1]);
    };
    expect_all_clean(sweep(calib));
}

// Releasing rows needs no memory: with every allocation failing from the
// first, rows and whole tables are still released.
TEST(AllocFailTrace, ReleasingWhileMemoryIsOut) {
    Dbptr tr = trnew(nullptr, nullptr);
    for (const char *s : {"A", "B", "C"}) add(tr, s, T0, {1, 2, 3});
    allocfail_arm(1);
    int one = trfree(at(tr, 1));
    allocfail_disarm();
    EXPECT_EQ(one, 0) << rzvtest::all_messages();
    EXPECT_EQ(rzvtest::allocfail_count(), 0) << "trfree allocated";
    EXPECT_EQ(image(tr)[1].samples.size(), 0u);
    allocfail_arm(1);
    int all = trdestroy(&tr);
    allocfail_disarm();
    EXPECT_EQ(all, 0) << rzvtest::all_messages();
    EXPECT_EQ(tr.database, dbINVALID);
    elog_clear_register(0);
}

// ------------------------------------------------------------ responses

TEST(AllocFailTrace, ReadingResponses) {
    rzvtest::TempDir dir;
    std::string path = dir.file("resp");
    ASSERT_TRUE(rzvtest::write_file(path, "# sensor\ntheoretical 1 acme paz XYZ.BHZ\n1.0 1.0\n2\n-4.443 4.443\n"
                                          "-4.443 -4.443\n2\n0 0\n0 0\n"
                                          "theoretical 2 acme fir\n100 1\n2\n0.5 0\n0.5 0\n0\n"
                                          "measured 3 acme fap\n2\n0.1 1.0 0\n10 2.0 90\n"
                                          "theoretical 4 acme delay\n0.005\n"));
    Response *r = nullptr;
    // The file is opened outside the runs (opening allocates); its buffer,
    // made on the first read, stays until the next run's file replaces it.
    FILE *fp = nullptr;
    Op read;
    read.name = "read_response (four stages)";
    read.prepare = [&] {
        if (fp) fclose(fp);
        fp = fopen(path.c_str(), "r");
        ASSERT_NE(fp, nullptr);
    };
    read.run = [&] { return read_response(fp, &r) == 0; };
    read.whole = [&] {
        return r && r->nstages == 4 && r->stages[0].npoles == 2 && r->stages[1].nnum == 2 &&
               r->stages[2].nfap == 2 && r->stages[3].delay == 0.005;
    };
    read.undo = [&] {
        free_response(r);
        r = nullptr;
    };
    expect_all_clean(sweep(read));
    if (fp) fclose(fp);
}
