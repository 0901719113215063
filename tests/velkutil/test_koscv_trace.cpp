// Trace tables of station-channel views: samples of every waveform encoding
// the engine reads, missing and short files, gaps inside and between rows,
// calibration from the row and from the calibration table, windows that
// clip rows or fall between samples, and gap processing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "rzvtest.h"
#include "threadtest.h"
#include "tr.h"
#include "wfencode.h"
#include "velkutil.h"

namespace {

const bool guarded = rzvtest::bound_every_test(std::chrono::seconds(120));

using rzvtest::Bytes;
using rzvtest::dbits;
using rzvtest::fbits;
using rzvtest::put_be;
using rzvtest::put_le;
using rzvtest::encode;
using rzvtest::write_bytes;

// One 512-byte miniSEED record of big-endian IEEE floats.
Bytes mseed_record(const char *sta, const char *chan, int year, int doy, int tenk, int rate,
                   const std::vector<float> &v) {
    Bytes b;
    const char *seq = "000001D ";
    for (int i = 0; i < 8; i++) b.push_back((unsigned char)seq[i]);
    auto text = [&](const char *s, size_t w) {
        for (size_t i = 0; i < w; i++) b.push_back(i < strlen(s) ? s[i] : ' ');
    };
    text(sta, 5);
    text("", 2);
    text(chan, 3);
    text("XX", 2);
    put_be(b, year, 2);
    put_be(b, doy, 2);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    put_be(b, tenk, 2);
    put_be(b, v.size(), 2);
    put_be(b, rate, 2);
    put_be(b, 1, 2);
    for (int i = 0; i < 3; i++) b.push_back(0);
    b.push_back(1);
    put_be(b, 0, 4);
    put_be(b, 64, 2);
    put_be(b, 48, 2);
    put_be(b, 1000, 2);
    put_be(b, 0, 2);
    b.push_back(4);
    b.push_back(1);
    b.push_back(9);
    b.push_back(0);
    while (b.size() < 64) b.push_back(0);
    for (float f : v) put_be(b, fbits(f), 4);
    b.resize(512, 0);
    return b;
}

float gap() {
    float g;
    trfill_gap(&g, 1);
    return g;
}

struct Seg {
    int samp0, nsamp, type;
    bool operator==(const Seg &o) const { return samp0 == o.samp0 && nsamp == o.nsamp && type == o.type; }
};
std::ostream &operator<<(std::ostream &os, const Seg &s) {
    return os << "{" << s.samp0 << "," << s.nsamp << "," << s.type << "}";
}

std::vector<Seg> segs(const KOSCVTrace *t) {
    std::vector<Seg> v;
    for (long i = 0; i < maxtbl(t->segments); i++) {
        auto *s = (KOSCVTraceSegment *)gettbl(t->segments, i);
        v.push_back({s->samp0, s->nsamp, s->data_type});
    }
    return v;
}

KOSCVTrace *trace(Tbl *t, long i) { return (KOSCVTrace *)gettbl(t, i); }

// A database in a scratch directory with waveform rows and their files.
struct Fixture {
    rzvtest::TempDir dir;
    std::string db = dir.file("db");
    Dbptr w{};
    char handle[64] = "";
    KOSCVStaChan *sc = nullptr;
    Tbl *tbl = nullptr;

    Fixture() { EXPECT_EQ(dbopen(db.c_str(), "r+", &w), 0); }
    ~Fixture() {
        koscv_trace_free_table(tbl);
        koscv_free_stachan(sc);
        if (handle[0]) koscv_destroy(handle);
        dbclose(w);
    }
    long row(const char *sta, const char *chan, double time, long nsamp, double rate, const char *dt,
             const char *dfile, long foff = 0, double calib = 1.0, const char *segtype = "V") {
        double end = time + (nsamp - 1) / rate;
        return dbaddv(dblookup(w, nullptr, "wfdisc", nullptr, nullptr), nullptr, "sta", sta, "chan", chan, "time",
                      time, "endtime", end, "nsamp", nsamp, "samprate", rate, "calib", calib, "calper", 1.0,
                      "datatype", dt, "segtype", segtype, "dir", ".", "dfile", dfile, "foff", foff, (char *)0);
    }
    void open() {
        std::string d = db;
        char *argv[] = {&d[0]};
        ASSERT_EQ(koscv_create(1, argv, handle), 0) << rzvtest::all_messages();
    }
    KOSCV *scv() { return koscv_get(handle); }
    // Builds the trace table of one pair.
    int get(const char *stachan, double t0, double t1, int flags, int calib_from_db = 0) {
        EXPECT_EQ(koscv_subset(handle, (char *)stachan, -1e12, 1e12, 1, 0, 0, &sc), 0);
        return koscv_trace_get_table(scv(), sc, t0, t1, flags, calib_from_db, &tbl);
    }
};

const std::vector<double> kValues = {0, 1, -1, 1234, -4321, 32767, -32768, 77};

TEST(KoscvTrace, EveryDatatypeIsReadAndSplitIntoOneGoodRun) {
    Fixture f;
    const char *types[] = {"s2", "s3", "s4", "i2", "i4", "t4", "t8", "f4", "f8"};
    for (const char *dt : types) {
        Bytes b(7, 'x');  // samples start at byte 7
        Bytes e = encode(dt, kValues);
        b.insert(b.end(), e.begin(), e.end());
        std::string file = std::string("w.") + dt;
        write_bytes(f.dir.file(file), b);
        std::string chan = std::string("C") + dt;
        ASSERT_GE(f.row("STA", chan.c_str(), 1000, (long)kValues.size(), 10, dt, file.c_str(), 7), 0);
    }
    f.open();
    for (const char *dt : types) {
        SCOPED_TRACE(dt);
        std::string key = std::string("STA C") + dt;
        ASSERT_EQ(f.get(key.c_str(), 0, 0, 2), 0) << rzvtest::all_messages();
        ASSERT_EQ(maxtbl(f.tbl), 1);
        KOSCVTrace *t = trace(f.tbl, 0);
        ASSERT_EQ(t->nsamp, (int64_t)kValues.size());
        ASSERT_NE(t->data, nullptr);
        EXPECT_EQ(t->data_size, 4 * (int)kValues.size());
        for (size_t i = 0; i < kValues.size(); i++) EXPECT_EQ(t->data[i], (float)kValues[i]) << i;
        EXPECT_DOUBLE_EQ(t->tstart, 1000);
        EXPECT_DOUBLE_EQ(t->tend, 1000.7);
        EXPECT_DOUBLE_EQ(t->dt, 0.1);
        EXPECT_EQ(segs(t), (std::vector<Seg>{{0, 8, 1}, {0, 8, 4}}));
        EXPECT_STREQ(t->data_type, "V");
    }
}

TEST(KoscvTrace, MiniseedRecordsWithAGapInside) {
    Fixture f;
    // 2020 day 32 00:00:00 at 10 samples per second: 5 samples, a gap of
    // 3, then 4 samples, with a record of another channel between.
    Bytes b;
    for (const Bytes &r : {mseed_record("ANMO", "BHZ", 2020, 32, 0, 10, {1, 2, 3, 4, 5}),
                           mseed_record("ANMO", "BHN", 2020, 32, 0, 10, {9, 9, 9}),
                           mseed_record("ANMO", "BHZ", 2020, 32, 8000, 10, {9, 10, 11, 12})})
        b.insert(b.end(), r.begin(), r.end());
    write_bytes(f.dir.file("a.msd"), b);
    const double t = 1580515200.0;
    ASSERT_GE(f.row("ANMO", "BHZ", t, 12, 10, "sd", "a.msd"), 0);
    f.open();
    ASSERT_EQ(f.get("ANMO BHZ", 0, 0, 2), 0) << rzvtest::all_messages();
    KOSCVTrace *tr = trace(f.tbl, 0);
    ASSERT_EQ(tr->nsamp, 12);
    EXPECT_EQ(tr->data[5], gap());
    EXPECT_EQ(tr->data[8], 9.0f);
    EXPECT_EQ(segs(tr), (std::vector<Seg>{{0, 12, 1}, {0, 5, 4}, {5, 3, 3}, {8, 4, 4}}));
    ASSERT_EQ(koscv_trace_process_gaps(f.tbl, (char *)"zero"), 0);
    EXPECT_EQ(tr->data[5], 0.0f);
    EXPECT_EQ(tr->data[7], 0.0f);
    EXPECT_EQ(tr->data[4], 5.0f);
    EXPECT_EQ(segs(tr), (std::vector<Seg>{{0, 12, 4}}));
}

// Samples stored as the gap marker itself mark gaps as well.
TEST(KoscvTrace, RunsOfGoodSamplesAndGaps) {
    Fixture f;
    const float g = gap();
    struct Case {
        const char *chan;
        std::vector<double> v;
        std::vector<Seg> want;
    } cases[] = {
        {"A", {1, g, g, 2, 3}, {{0, 5, 1}, {0, 1, 4}, {1, 2, 3}, {3, 2, 4}}},
        {"B", {g, g, g, g, g}, {{0, 5, 1}, {0, 5, 3}}},
        {"C", {1, g, g}, {{0, 3, 1}, {0, 1, 4}, {1, 2, 3}}},
        {"D", {g, 1, 2}, {{0, 3, 1}, {0, 1, 3}, {1, 2, 4}}},
        {"E", {NAN, 1, g, NAN}, {{0, 4, 1}, {0, 2, 4}, {2, 1, 3}, {3, 1, 4}}},
        {"F", {}, {{0, 40, 1}, {0, 17, 4}, {17, 1, 3}, {18, 22, 4}}},
        {"G", {}, {{0, 35, 1}, {0, 34, 4}, {34, 1, 3}}},
        {"H", {}, {{0, 48, 1}, {0, 48, 4}}},
    };
    // Longer traces: a gap among the first sixteen samples' blocks, one at
    // the very end, none.
    cases[5].v.assign(40, 2.5);
    cases[5].v[17] = g;
    cases[6].v.assign(35, -1.0);
    cases[6].v[34] = g;
    cases[7].v.assign(48, 0.0);
    for (const Case &c : cases) {
        std::string file = std::string("g.") + c.chan;
        write_bytes(f.dir.file(file), encode("t4", c.v));
        ASSERT_GE(f.row("GAP", c.chan, 5000, (long)c.v.size(), 1, "t4", file.c_str()), 0);
    }
    f.open();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.chan);
        ASSERT_EQ(f.get((std::string("GAP ") + c.chan).c_str(), 0, 0, 2), 0);
        EXPECT_EQ(segs(trace(f.tbl, 0)), c.want);
    }
    // Anything but "zero" leaves samples and segments alone.
    ASSERT_EQ(f.get("GAP A", 0, 0, 2), 0);
    for (const char *how : {"none", "interp", ""}) {
        ASSERT_EQ(koscv_trace_process_gaps(f.tbl, (char *)how), 0);
        EXPECT_EQ(trace(f.tbl, 0)->data[1], g);
        EXPECT_EQ(segs(trace(f.tbl, 0)).size(), 4u);
    }
    EXPECT_EQ(koscv_trace_process_gaps(f.tbl, nullptr), 0);
    EXPECT_EQ(koscv_trace_process_gaps(nullptr, (char *)"zero"), 0);
}

TEST(KoscvTrace, GapsBetweenRowsAndMissingFiles) {
    Fixture f;
    write_bytes(f.dir.file("one"), encode("s4", {1, 2, 3, 4, 5}));
    ASSERT_GE(f.row("AAK", "BHZ", 100, 5, 1, "s4", "one"), 0);        // 100..104
    ASSERT_GE(f.row("AAK", "BHZ", 110, 5, 1, "s4", "missing"), 0);    // 110..114, no file
    ASSERT_GE(f.row("AAK", "BHZ", 120, 5, 1, "s4", "one"), 0);        // 120..124
    f.open();
    // Rows only.
    ASSERT_EQ(f.get("AAK BHZ", 0, 0, 0), 0);
    ASSERT_EQ(maxtbl(f.tbl), 3);
    for (long i = 0; i < 3; i++) {
        EXPECT_EQ(segs(trace(f.tbl, i)), (std::vector<Seg>{{0, 5, 1}}));
        EXPECT_EQ(trace(f.tbl, i)->data, nullptr);
    }
    // Existence of the files.
    ASSERT_EQ(f.get("AAK BHZ", 0, 0, 1), 0);
    EXPECT_EQ(segs(trace(f.tbl, 0)), (std::vector<Seg>{{0, 5, 1}}));
    EXPECT_EQ(segs(trace(f.tbl, 1)), (std::vector<Seg>{{0, 5, 1}, {0, 5, 2}}));
    // Samples: the missing file is a segment, not a failure.
    elog_clear_register(0);
    ASSERT_EQ(f.get("AAK BHZ", 0, 0, 7), 0);
    EXPECT_EQ(elog_count(), 0);
    EXPECT_EQ(segs(trace(f.tbl, 1)), (std::vector<Seg>{{0, 5, 1}, {0, 5, 2}}));
    EXPECT_EQ(trace(f.tbl, 1)->data, nullptr);
    EXPECT_EQ(trace(f.tbl, 2)->data[4], 5.0f);
    EXPECT_DOUBLE_EQ(trace(f.tbl, 2)->tstart, 120);
    // Zeroing gives a trace without samples its one good segment too.
    ASSERT_EQ(koscv_trace_process_gaps(f.tbl, (char *)"zero"), 0);
    EXPECT_EQ(segs(trace(f.tbl, 1)), (std::vector<Seg>{{0, 5, 4}}));
}

TEST(KoscvTrace, WindowsClipRowsAndMayFallBetweenSamples) {
    Fixture f;
    std::vector<double> v;
    for (int i = 0; i <= 100; i++) v.push_back(i);
    write_bytes(f.dir.file("ramp"), encode("i4", v));
    ASSERT_GE(f.row("AAK", "BHZ", 100, 101, 1, "i4", "ramp"), 0);  // 100..200
    ASSERT_GE(f.row("AAK", "BHZ", 300, 101, 1, "i4", "ramp"), 0);  // 300..400
    f.open();
    // No bounds: every row, unclipped.
    ASSERT_EQ(f.get("AAK BHZ", 0, 0, 0), 0);
    ASSERT_EQ(maxtbl(f.tbl), 2);
    EXPECT_EQ(trace(f.tbl, 1)->tstart, 300);
    // A start only.
    ASSERT_EQ(f.get("AAK BHZ", 150, 0, 0), 0);
    ASSERT_EQ(maxtbl(f.tbl), 2);
    EXPECT_EQ(trace(f.tbl, 0)->tstart, 150);
    EXPECT_EQ(trace(f.tbl, 0)->tend, 200);
    // A row that ends exactly at the window start is kept, with no length.
    ASSERT_EQ(f.get("AAK BHZ", 200, 250, 0), 0);
    ASSERT_EQ(maxtbl(f.tbl), 1);
    EXPECT_EQ(trace(f.tbl, 0)->tstart, 200);
    EXPECT_EQ(trace(f.tbl, 0)->tend, 200);
    ASSERT_EQ(f.get("AAK BHZ", 200, 250, 2), 0);
    EXPECT_EQ(trace(f.tbl, 0)->nsamp, 1);
    EXPECT_EQ(trace(f.tbl, 0)->data[0], 100.0f);
    // A sample exactly at the window end is included.
    ASSERT_EQ(f.get("AAK BHZ", 150, 152, 2), 0);
    ASSERT_EQ(maxtbl(f.tbl), 1);
    KOSCVTrace *t = trace(f.tbl, 0);
    ASSERT_EQ(t->nsamp, 3);
    EXPECT_EQ(t->data[0], 50.0f);
    EXPECT_EQ(t->data[2], 52.0f);
    EXPECT_EQ(segs(t), (std::vector<Seg>{{0, 101, 1}, {0, 3, 4}}));
    // Bounds between samples: the samples inside.
    ASSERT_EQ(f.get("AAK BHZ", 150.5, 152.5, 2), 0);
    t = trace(f.tbl, 0);
    ASSERT_EQ(t->nsamp, 2);
    EXPECT_DOUBLE_EQ(t->tstart, 151);
    EXPECT_DOUBLE_EQ(t->tend, 152);
    EXPECT_EQ(t->data[0], 51.0f);
    // A window between two samples holds none: an empty trace, no failure.
    ASSERT_EQ(f.get("AAK BHZ", 150.2, 150.7, 2), 0) << rzvtest::all_messages();
    t = trace(f.tbl, 0);
    EXPECT_EQ(t->nsamp, 0);
    EXPECT_EQ(t->data, nullptr);
    EXPECT_EQ(segs(t), (std::vector<Seg>{{0, 101, 1}}));
    // A window that overlaps no row: an empty table.
    ASSERT_EQ(f.get("AAK BHZ", 220, 280, 2), 0);
    EXPECT_EQ(maxtbl(f.tbl), 0);
    EXPECT_EQ(f.get("AAK BHZ", NAN, 0, 2), -1);
}

TEST(KoscvTrace, CalibrationFromTheRowOrTheCalibrationTable) {
    Fixture f;
    write_bytes(f.dir.file("c"), encode("s2", {1, 2, 3}));
    ASSERT_GE(f.row("AAK", "BHZ", 100, 3, 1, "s2", "c", 0, 0.0, "V"), 0);   // unknown calib
    ASSERT_GE(f.row("AAK", "BHZ", 200, 3, 1, "s2", "c", 0, 1.25, "V"), 0);  // its own
    ASSERT_GE(f.row("AAK", "BHZ", 900, 3, 1, "s2", "c", 0, 0.0, "V"), 0);   // no table row covers it
    ASSERT_GE(dbaddv(dblookup(f.w, nullptr, "calibration", nullptr, nullptr), nullptr, "sta", "AAK", "chan", "BHZ",
                     "time", 50.0, "endtime", 500.0, "calib", 2.5, "calper", 0.5, "segtype", "A", (char *)0),
              0);
    f.open();
    ASSERT_EQ(f.get("AAK BHZ", 0, 0, 2, 1), 0) << rzvtest::all_messages();
    ASSERT_EQ(maxtbl(f.tbl), 3);
    EXPECT_EQ(trace(f.tbl, 0)->calib, 2.5);
    EXPECT_EQ(trace(f.tbl, 0)->calper, 0.5);
    EXPECT_STREQ(trace(f.tbl, 0)->data_type, "A");
    EXPECT_EQ(trace(f.tbl, 1)->calib, 1.25);
    EXPECT_STREQ(trace(f.tbl, 1)->data_type, "V");
    EXPECT_EQ(trace(f.tbl, 2)->calib, 0.0);
    // The samples are not scaled: calib travels with them.
    EXPECT_EQ(trace(f.tbl, 0)->data[2], 3.0f);
    ASSERT_EQ(f.get("AAK BHZ", 0, 0, 0, 0), 0);
    EXPECT_EQ(trace(f.tbl, 0)->calib, 0.0);
    EXPECT_EQ(trace(f.tbl, 0)->calper, 1.0);
}

TEST(KoscvTrace, ShortFileFailsAndKeepsTheTracesBuilt) {
    Fixture f;
    write_bytes(f.dir.file("ok"), encode("s4", {1, 2, 3}));
    write_bytes(f.dir.file("short"), encode("s4", {1, 2}));
    ASSERT_GE(f.row("AAK", "BHZ", 100, 3, 1, "s4", "ok"), 0);
    ASSERT_GE(f.row("AAK", "BHZ", 200, 10, 1, "s4", "short"), 0);
    ASSERT_GE(f.row("AAK", "BHZ", 300, 3, 1, "s4", "ok"), 0);
    ASSERT_GE(f.row("AAK", "BHZ", 400, 3, 1, "q9", "ok"), 0);
    f.open();
    elog_clear_register(0);
    EXPECT_EQ(f.get("AAK BHZ", 0, 250, 2), -1);
    EXPECT_TRUE(rzvtest::has_message("koscv_trace_get_table: trgetwf() returns -3.")) << rzvtest::all_messages();
    ASSERT_EQ(maxtbl(f.tbl), 2);
    EXPECT_EQ(trace(f.tbl, 0)->nsamp, 3);
    EXPECT_EQ(trace(f.tbl, 1)->data, nullptr);
    // An unknown datatype fails the same way.
    elog_clear_register(0);
    EXPECT_EQ(f.get("AAK BHZ", 350, 0, 2), -1);
    EXPECT_TRUE(rzvtest::has_message("koscv_trace_get_table: trgetwf() returns -2."));
    // Rows that are gone from the table fail with a message.
    KOSCVStaChan bogus{};
    bogus.wfdiscrows = newtbl(0);
    pushtbl(bogus.wfdiscrows, (void *)99L);
    elog_clear_register(0);
    EXPECT_EQ(koscv_trace_get_table(f.scv(), &bogus, 0, 0, 0, 0, &f.tbl), -1);
    EXPECT_TRUE(rzvtest::has_message("koscv_trace_get_table: dbgetv() error.\n"));
    EXPECT_EQ(maxtbl(f.tbl), 0);
    freetbl(bogus.wfdiscrows, nullptr);
    // No rows at all: an empty table.
    KOSCVStaChan none{};
    EXPECT_EQ(koscv_trace_get_table(f.scv(), &none, 0, 0, 2, 0, &f.tbl), 0);
    EXPECT_EQ(maxtbl(f.tbl), 0);
    EXPECT_EQ(koscv_trace_get_table(nullptr, &none, 0, 0, 2, 0, &f.tbl), -1);
    koscv_trace_free(nullptr);
    koscv_trace_free_table(nullptr);
}

}  // namespace
