// Table files in the layouts archives keep them in: the CSS 3.0 layout, the
// wider KB Core layout and its mix with the 17-character load date.  The
// same rows, written by hand with each layout's print formats or by the
// engine, read the same values; record sizes, offsets and the row address
// follow the file's layout; writes keep it; tables of different layouts
// join and match; waveforms of a KB Core wfdisc read sample-exact.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"
#include "tr.h"

namespace {

enum Layout { CSS, KB, MIX };
const char *const kLayoutName[] = {"css3.0", "kbcore", "kbcore with a 17-character lddate"};

class DbLayout : public ::testing::Test {
protected:
    void SetUp() override {
        elog_clear_register(0);
        prefix = dir.file("arch");
    }
    void TearDown() override { elog_clear_register(0); }
    rzvtest::TempDir dir;
    std::string prefix;
};

// ------------------------------------------------------------- rows by hand

struct Wf {
    const char *sta, *chan;
    double time;
    long wfid, chanid, jdate;
    double endtime;
    long nsamp;
    double samprate, calib, calper;
    const char *instype, *segtype, *datatype, *clip, *dir, *dfile;
    long foff, commid;
};

const Wf kWf[] = {
    {"AAK", "BHZ", 1262304000.0, 123456789, 4711, 2010001, 1262307599.975, 144000, 40.0, 0.0271, 1.0, "STS-2", "V",
     "s4", "-", "wf/2010", "AAK.BHZ.2010001.w", 0, 987654321},
    {"KURK", "BHE", 1262390400.5, 7, -1, 2010002, 1262390410.475, 400, 40.0, 1.5, 20.0, "-", "-", "s4", "n", "wf",
     "KURK.BHE.w", 1600, -1},
};

std::string wf_text(Layout l, const Wf &w, const char *lddate) {
    char buf[400];
    const char *fmt =
        l == CSS ? "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
                   "%-64.64s %-32.32s %10ld %8ld %-17.17s"
        : l == KB ? "%-6.6s %-8.8s %17.5f %9ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
                    "%-64.64s %-32.32s %10ld %9ld %-19.19s"
                  : "%-6.6s %-8.8s %17.5f %9ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
                    "%-64.64s %-32.32s %10ld %9ld %-17.17s";
    // the css3.0 layout cannot hold a nine-digit identifier
    long wfid = l == CSS ? w.wfid % 100000000 : w.wfid, commid = l == CSS ? w.commid % 100000000 : w.commid;
    snprintf(buf, sizeof buf, fmt, w.sta, w.chan, w.time, wfid, w.chanid, w.jdate, w.endtime, w.nsamp, w.samprate,
             w.calib, w.calper, w.instype, w.segtype, w.datatype, w.clip, w.dir, w.dfile, w.foff, commid, lddate);
    return buf;
}

struct Site {
    const char *sta;
    long ondate, offdate;
    double lat, lon, elev;
    const char *staname;
};

const Site kSite[] = {
    {"AAK", 1990001, 2286324, 42.639004, 74.494234, 1.645, "Ala Archa, Kyrgyzstan"},
    {"KURK", 2005100, 2012365, 50.715401, 78.620201, 0.184, "Kurchatov cross array"},
};

std::string site_text(Layout l, const Site &s, const char *lddate) {
    char buf[300];
    const char *fmt = l == CSS  ? "%-6.6s %8ld %8ld %9.4f %9.4f %9.4f %-50.50s %-4.4s %-6.6s %9.4f %9.4f %-17.17s"
                      : l == KB ? "%-6.6s %8ld %8ld %11.6f %11.6f %9.4f %-50.50s %-4.4s %-6.6s %9.4f %9.4f %-19.19s"
                                : "%-6.6s %8ld %8ld %11.6f %11.6f %9.4f %-50.50s %-4.4s %-6.6s %9.4f %9.4f %-17.17s";
    snprintf(buf, sizeof buf, fmt, s.sta, s.ondate, s.offdate, s.lat, s.lon, s.elev, s.staname, "ss", s.sta, 0.0, 0.0,
             lddate);
    return buf;
}

std::string sensor_text(Layout l, const char *sta, const char *chan, double t0, double t1, long inid, double tshift,
                        const char *lddate) {
    char buf[300];
    const char *fmt = l == CSS  ? "%-6.6s %-8.8s %17.5f %17.5f %8ld %8ld %8ld %16.6f %16.6f %6.2f %-1.1s %-17.17s"
                      : l == KB ? "%-6.6s %-8.8s %17.5f %17.5f %8ld %8ld %8ld %16.6f %16.6f %16.2f %-1.1s %-19.19s"
                                : "%-6.6s %-8.8s %17.5f %17.5f %8ld %8ld %8ld %16.6f %16.6f %16.2f %-1.1s %-17.17s";
    snprintf(buf, sizeof buf, fmt, sta, chan, t0, t1, inid, -1L, yearday(t0), 1.0, 1.0, tshift, "n", lddate);
    return buf;
}

const char *lddate_of(Layout l) { return l == KB ? "2010-01-02 08:30:00" : "10-01-02 08:30:00"; }

long count(Dbptr db) {
    long n = -1;
    EXPECT_EQ(dbquery(db, dbRECORD_COUNT, &n), 0);
    return n;
}

long qlong(Dbptr db, int code) {
    long v = -99;
    EXPECT_EQ(dbquery(db, code, &v), 0) << code;
    return v;
}

// Every line of a file has n characters.
void expect_line_widths(const std::string &path, size_t n, size_t lines) {
    std::string text = rzvtest::read_file(path);
    size_t got = 0, at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        ASSERT_NE(nl, std::string::npos) << path;
        EXPECT_EQ(nl - at, n) << path << " line " << got + 1;
        at = nl + 1;
        got++;
    }
    EXPECT_EQ(got, lines) << path;
}

void expect_wf(Dbptr wf, const Wf &w, bool nine_digit_ids, double want_lddate = 1262421000.0) {
    char sta[8], chan[10], instype[8], segtype[4], datatype[4], clip[4], d[70], dfile[40];
    double time, endtime, samprate, calib, calper, lddate;
    long wfid, chanid, jdate, nsamp, foff, commid;
    ASSERT_EQ(dbgetv(wf, 0, "sta", sta, "chan", chan, "time", &time, "wfid", &wfid, "chanid", &chanid, "jdate", &jdate,
                     "endtime", &endtime, "nsamp", &nsamp, "samprate", &samprate, "calib", &calib, "calper", &calper,
                     "instype", instype, "segtype", segtype, "datatype", datatype, "clip", clip, "dir", d, "dfile",
                     dfile, "foff", &foff, "commid", &commid, "lddate", &lddate, (char *)0),
              0)
        << rzvtest::all_messages();
    EXPECT_STREQ(sta, w.sta);
    EXPECT_STREQ(chan, w.chan);
    EXPECT_EQ(time, w.time);
    EXPECT_EQ(wfid, nine_digit_ids ? w.wfid : w.wfid % 100000000);
    EXPECT_EQ(chanid, w.chanid);
    EXPECT_EQ(jdate, w.jdate);
    EXPECT_EQ(endtime, w.endtime);
    EXPECT_EQ(nsamp, w.nsamp);
    EXPECT_EQ(samprate, w.samprate);
    EXPECT_EQ(calib, w.calib);
    EXPECT_EQ(calper, w.calper);
    EXPECT_STREQ(instype, w.instype);
    EXPECT_STREQ(segtype, w.segtype);
    EXPECT_STREQ(datatype, w.datatype);
    EXPECT_STREQ(clip, w.clip);
    EXPECT_STREQ(d, w.dir);
    EXPECT_STREQ(dfile, w.dfile);
    EXPECT_EQ(foff, w.foff);
    EXPECT_EQ(commid, nine_digit_ids ? w.commid : w.commid % 100000000);
    EXPECT_EQ(lddate, want_lddate);  // 2010-01-02 08:30:00, or the null
}

void expect_site(Dbptr s, const Site &x, double tol) {
    char sta[8], staname[60];
    long on, off;
    double lat, lon, elev;
    ASSERT_EQ(dbgetv(s, 0, "sta", sta, "ondate", &on, "offdate", &off, "lat", &lat, "lon", &lon, "elev", &elev,
                     "staname", staname, (char *)0),
              0)
        << rzvtest::all_messages();
    EXPECT_STREQ(sta, x.sta);
    EXPECT_EQ(on, x.ondate);
    EXPECT_EQ(off, x.offdate);
    EXPECT_NEAR(lat, x.lat, tol);
    EXPECT_NEAR(lon, x.lon, tol);
    EXPECT_NEAR(elev, x.elev, 1e-12);
    EXPECT_STREQ(staname, x.staname);
}

// ------------------------------------------------------------- reading

// Rows written by hand in each layout read the same values, and the table
// reports that layout's record size.
TEST_F(DbLayout, HandWrittenRowsOfEveryLayoutReadTheSame) {
    for (Layout l : {CSS, KB, MIX}) {
        SCOPED_TRACE(kLayoutName[l]);
        std::string p = prefix + std::to_string(l);
        dbfixture::write_rows(p, "wfdisc", {wf_text(l, kWf[0], lddate_of(l)), wf_text(l, kWf[1], lddate_of(l))});
        dbfixture::write_rows(p, "site", {site_text(l, kSite[0], lddate_of(l)), site_text(l, kSite[1], lddate_of(l))});
        dbfixture::write_rows(p, "sensor", {sensor_text(l, "AAK", "BHZ", 1262304000, 1262307599.975, 3, 12.25,
                                                        lddate_of(l))});
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        EXPECT_EQ(qlong(wf, dbRECORD_SIZE), l == CSS ? 283 : l == KB ? 287 : 285);
        ASSERT_EQ(count(wf), 2);
        for (wf.record = 0; wf.record < 2; wf.record++) expect_wf(wf, kWf[wf.record], l != CSS);
        Dbptr s = dblookup(db, 0, "site", 0, 0);
        EXPECT_EQ(qlong(s, dbRECORD_SIZE), l == CSS ? 155 : l == KB ? 161 : 159);
        for (s.record = 0; s.record < 2; s.record++) expect_site(s, kSite[s.record], l == CSS ? 5e-5 : 5e-7);
        Dbptr sn = dblookup(db, 0, "sensor", 0, "0");
        EXPECT_EQ(qlong(sn, dbRECORD_SIZE), l == CSS ? 139 : l == KB ? 151 : 149);
        double tshift = 0;
        long inid = 0;
        ASSERT_EQ(dbgetv(sn, 0, "tshift", &tshift, "inid", &inid, (char *)0), 0) << rzvtest::all_messages();
        EXPECT_EQ(tshift, 12.25);
        EXPECT_EQ(inid, 3);
        // nothing was normalised, nothing complained about
        EXPECT_EQ(rzvtest::all_messages(), "");
        dbclose(db);
    }
}

// The wide values that the css3.0 widths cannot hold: six-decimal
// coordinates and a wide tshift.
TEST_F(DbLayout, WideValuesOfTheMixedLayout) {
    Site s = {"BRVK", 1995001, -1, -53.058098, -170.1234567, -0.321, "Borovoye"};
    dbfixture::write_rows(prefix, "site", {site_text(MIX, s, "09-05-01 00:00:00")});
    dbfixture::write_rows(prefix, "sensor",
                          {sensor_text(MIX, "BRVK", "BHZ", 1e9, 9999999999.999, 1, -123456.5, "09-05-01 00:00:00")});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr st = dblookup(db, 0, "site", 0, "0");
    double lat, lon, elev;
    ASSERT_EQ(dbgetv(st, 0, "lat", &lat, "lon", &lon, "elev", &elev, (char *)0), 0) << rzvtest::all_messages();
    EXPECT_EQ(lat, -53.058098);
    EXPECT_EQ(lon, -170.123457);
    EXPECT_EQ(elev, -0.321);
    double tshift;
    ASSERT_EQ(dbgetv(dblookup(db, 0, "sensor", 0, "0"), 0, "tshift", &tshift, (char *)0), 0);
    EXPECT_EQ(tshift, -123456.5);
    dbclose(db);
}

// dbquery gives each layout's offsets and widths, and the rows at the
// table's address are in that layout, so that code reading rows by offset
// works on every layout.
TEST_F(DbLayout, OffsetsWidthsAndRowAddressFollowTheLayout) {
    struct Want {
        const char *field;
        long off[3], width[3];
    };
    const Want wants[] = {
        {"wfid", {34, 34, 34}, {8, 9, 9}},         {"chanid", {43, 44, 44}, {8, 8, 8}},
        {"endtime", {61, 62, 62}, {17, 17, 17}},   {"dir", {148, 149, 149}, {64, 64, 64}},
        {"dfile", {213, 214, 214}, {32, 32, 32}},  {"foff", {246, 247, 247}, {10, 10, 10}},
        {"commid", {257, 258, 258}, {8, 9, 9}},    {"lddate", {266, 268, 268}, {17, 19, 17}},
    };
    for (Layout l : {CSS, KB, MIX}) {
        SCOPED_TRACE(kLayoutName[l]);
        std::string p = prefix + std::to_string(l);
        dbfixture::write_rows(p, "wfdisc", {wf_text(l, kWf[0], lddate_of(l)), wf_text(l, kWf[1], lddate_of(l))});
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        long rs = qlong(wf, dbRECORD_SIZE);
        char *rows = nullptr;
        ASSERT_EQ(dbquery(wf, dbTABLE_ADDRESS, &rows), 0);
        ASSERT_NE(rows, nullptr);
        for (const Want &w : wants) {
            Dbptr f = dblookup(wf, 0, 0, w.field, 0);
            EXPECT_EQ(qlong(f, dbFIELD_INDEX), w.off[l]) << w.field;
            EXPECT_EQ(qlong(f, dbFIELD_SIZE), w.width[l]) << w.field;
        }
        // the second row's dfile and foff, read at their offsets from the address
        long doff = qlong(dblookup(wf, 0, 0, "dfile", 0), dbFIELD_INDEX);
        long foff = qlong(dblookup(wf, 0, 0, "foff", 0), dbFIELD_INDEX);
        const char *row1 = rows + (rs + 1);
        EXPECT_EQ(rows[rs], '\n');
        EXPECT_EQ(std::string(row1 + doff, 10), "KURK.BHE.w");
        EXPECT_EQ(atol(std::string(row1 + foff, 10).c_str()), 1600);
        // a row text handed back by dbget is the layout's
        char text[400];
        wf.record = 1;
        ASSERT_EQ(dbget(wf, text), 0);
        EXPECT_EQ((long)strlen(text), rs);
        dbclose(db);
    }
}

// origerr's css3.0 layout and its mix with KB Core widths have the same row
// length; their lines tell them apart.
TEST_F(DbLayout, OrigerrLayoutsOfOneWidthAreToldApartByTheirLines) {
    auto origerr = [](bool mix, long orid, double stime, long commid) {
        char buf[300];
        snprintf(buf, sizeof buf,
                 mix ? "%9ld %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %9.4f %9.4f %9.4f "
                       "%6.2f %9.4f %6.2f %5.3f %9ld %-17.17s"
                     : "%8ld %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %9.4f %9.4f %9.4f "
                       "%6.2f %9.4f %8.2f %5.3f %8ld %-17.17s",
                 orid, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 0.5, 12.5, 7.25, 45.0, 3.5, stime, 0.9, commid,
                 "-");
        return std::string(buf);
    };
    for (bool mix : {false, true}) {
        SCOPED_TRACE(mix ? "mixed" : "css3.0");
        std::string p = prefix + (mix ? "m" : "c");
        dbfixture::write_rows(p, "origerr", {origerr(mix, 4242, 1.25, 17), origerr(mix, 7, 0.5, -1)});
        ASSERT_EQ(rzvtest::read_file(p + ".origerr").size(), 2u * 258);
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        Dbptr oe = dblookup(db, 0, "origerr", 0, "0");
        long orid, commid;
        double stime, conf, sdepth;
        ASSERT_EQ(dbgetv(oe, 0, "orid", &orid, "stime", &stime, "conf", &conf, "commid", &commid, "sdepth", &sdepth,
                         (char *)0),
                  0)
            << rzvtest::all_messages();
        EXPECT_EQ(orid, 4242);
        EXPECT_EQ(stime, 1.25);
        EXPECT_EQ(conf, 0.9);
        EXPECT_EQ(commid, 17);
        EXPECT_EQ(sdepth, 3.5);
        EXPECT_EQ(qlong(oe, dbFIELD_COUNT), 20);
        EXPECT_EQ(qlong(dblookup(oe, 0, 0, "commid", 0), dbFIELD_SIZE), mix ? 9 : 8);
        dbclose(db);
    }
}

// event rows whose prefor is 8 wide, as a few writers give it.
TEST_F(DbLayout, EventWithAnEightWidePrefor) {
    for (bool wide_date : {true, false}) {
        char buf[200];
        snprintf(buf, sizeof buf, wide_date ? "%9ld %-32.32s %8ld %-20.20s %9ld %-19.19s" : "%9ld %-32.32s %8ld %-20.20s %9ld %-17.17s",
                 123456789L, "Kazakhstan, 2009 May 1", 87654321L, "IDC_REB", 5L, wide_date ? "2009-05-01 00:00:00" : "-");
        std::string p = prefix + (wide_date ? "w" : "n");
        dbfixture::write_rows(p, "event", {buf});
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        Dbptr ev = dblookup(db, 0, "event", 0, "0");
        EXPECT_EQ(qlong(ev, dbRECORD_SIZE), wide_date ? 102 : 100);
        long evid, prefor, commid;
        char evname[40], auth[24];
        ASSERT_EQ(dbgetv(ev, 0, "evid", &evid, "evname", evname, "prefor", &prefor, "auth", auth, "commid", &commid,
                         (char *)0),
                  0);
        EXPECT_EQ(evid, 123456789);
        EXPECT_STREQ(evname, "Kazakhstan, 2009 May 1");
        EXPECT_EQ(prefor, 87654321);
        EXPECT_STREQ(auth, "IDC_REB");
        EXPECT_EQ(commid, 5);
        dbclose(db);
    }
}

// A KB Core file whose lines end in CR LF, or lost their trailing blanks,
// is still read at the KB Core columns (through the normalising copy, with
// its warning, and read-only).
TEST_F(DbLayout, KbCoreLinesThatAreNotExactAreStillReadAtTheirColumns) {
    std::string a = wf_text(KB, kWf[0], "2010-01-02 08:30:00"), b = wf_text(KB, kWf[1], "2010-01-02 08:30:00");
    std::string trimmed = wf_text(KB, kWf[1], "-");
    while (trimmed.back() == ' ') trimmed.pop_back();
    const std::string files[] = {a + "\r\n" + b + "\r\n", a + "\n" + trimmed + "\n"};
    for (const std::string &text : files) {
        rzvtest::write_file(prefix + ".wfdisc", text);
        FILE *log = tmpfile();
        elog_set_stream(log);
        Dbptr db;
        ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        EXPECT_EQ(count(wf), 2);
        elog_set_stream(0);
        rewind(log);
        char msg[600] = {0};
        msg[fread(msg, 1, sizeof msg - 1, log)] = 0;
        fclose(log);
        EXPECT_NE(strstr(msg, "normalised copy"), nullptr) << msg;
        EXPECT_EQ(qlong(wf, dbRECORD_SIZE), 287);
        wf.record = 0;
        expect_wf(wf, kWf[0], true);
        wf.record = 1;
        expect_wf(wf, kWf[1], true, text == files[0] ? 1262421000.0 : -9999999999.999);
        EXPECT_EQ(qlong(wf, dbTABLE_IS_WRITABLE), 0);
        dbclose(db);
        EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), text);
    }
}

// Lines that fit no layout go through the normalising copy at the css3.0
// widths, as they always did.
TEST_F(DbLayout, LinesOfNoLayoutAreNormalisedAtTheMainLayout) {
    rzvtest::write_file(prefix + ".site", "AAK     1990001      -1   42.6390   74.4942    1.6450 x\nshort\n");
    FILE *log = tmpfile();
    elog_set_stream(log);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr s = dblookup(db, 0, "site", 0, "0");
    EXPECT_EQ(count(s), 2);
    elog_set_stream(0);
    fclose(log);
    EXPECT_EQ(qlong(s, dbRECORD_SIZE), 155);
    double lon;
    ASSERT_EQ(dbgetv(s, 0, "lon", &lon, (char *)0), 0);
    EXPECT_EQ(lon, 74.4942);
    dbclose(db);
}

// A view made while the file was in one layout keeps working after the
// file is rewritten in another: its fields are read, and written, at the
// columns of the rows as they are now, never past a row.
TEST_F(DbLayout, ViewsFollowAFileRewrittenInAnotherLayout) {
    dbfixture::write_rows(prefix, "wfdisc", {wf_text(KB, kWf[0], lddate_of(KB)), wf_text(KB, kWf[1], lddate_of(KB))});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    Tbl *keys = strtbl((char *)"wfid", (char *)0);
    Dbptr v = dbsort(wf, keys, 0, 0);
    ASSERT_NE(v.table, dbINVALID) << rzvtest::all_messages();
    freetbl(keys, 0);
    Expression *ex = nullptr;
    ASSERT_EQ(dbex_compile(wf, "foff + 1", &ex, dbREAL), 0);
    dbfixture::write_rows(prefix, "wfdisc", {wf_text(CSS, kWf[1], lddate_of(CSS)), wf_text(CSS, kWf[0], lddate_of(CSS))});
    EXPECT_EQ(count(wf), 2);
    EXPECT_EQ(qlong(wf, dbRECORD_SIZE), 283);
    // an expression compiled on the old layout is refused, not misread
    double x = 0;
    wf.record = 0;
    EXPECT_LT(dbex_eval(wf, ex, 0, &x), 0);
    EXPECT_TRUE(rzvtest::has_message("compile it again")) << rzvtest::all_messages();
    dbex_free(ex);
    ASSERT_EQ(dbex_compile(wf, "foff + 1", &ex, dbREAL), 0);
    EXPECT_GE(dbex_eval(wf, ex, 0, &x), 0);
    EXPECT_EQ(x, 1601.0);
    dbex_free(ex);
    elog_clear_register(0);
    for (v.record = 0; v.record < 2; v.record++) {
        // the view's rows are the base rows 1 and 0, read as they are now
        const Wf &w = kWf[v.record];
        char dfile[40], text[40];
        double lddate;
        long commid;
        ASSERT_EQ(dbgetv(v, 0, "dfile", dfile, "lddate", &lddate, "commid", &commid, (char *)0), 0)
            << rzvtest::all_messages();
        EXPECT_STREQ(dfile, w.dfile);
        EXPECT_EQ(lddate, 1262421000.0);
        EXPECT_EQ(commid, w.commid % 100000000);
        Dbptr f = dblookup(v, 0, 0, "wfdisc.lddate", 0);
        ASSERT_GE(f.field, 0);
        ASSERT_EQ(dbget(f, text), 0);
        EXPECT_STREQ(text, "10-01-02 08:30:00");
    }
    dbclose(db);
}

// ------------------------------------------------------------- writing

// Writes through "r+" keep the file's layout: a rewritten row, an added
// row, the load date in the layout's own form.
TEST_F(DbLayout, WritesKeepTheFileLayout) {
    for (Layout l : {KB, MIX}) {
        SCOPED_TRACE(kLayoutName[l]);
        std::string p = prefix + std::to_string(l);
        dbfixture::write_rows(p, "wfdisc", {wf_text(l, kWf[0], lddate_of(l))});
        dbfixture::write_rows(p, "site", {site_text(l, kSite[0], lddate_of(l))});
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r+", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
        ASSERT_EQ(dbputv(wf, 0, "wfid", 999999999L, "foff", 4096L, (char *)0), 0) << rzvtest::all_messages();
        Wf w = kWf[1];
        long r = dbaddv(wf, 0, "sta", w.sta, "chan", w.chan, "time", w.time, "wfid", w.wfid, "jdate", w.jdate,
                        "endtime", w.endtime, "nsamp", w.nsamp, "samprate", w.samprate, "calib", w.calib, "calper",
                        w.calper, "segtype", w.segtype, "datatype", w.datatype, "clip", w.clip, "dir", w.dir, "dfile",
                        w.dfile, "foff", w.foff, "lddate", 1262421000.0, (char *)0);
        EXPECT_EQ(r, 1) << rzvtest::all_messages();
        Dbptr s = dblookup(db, 0, "site", 0, 0);
        Site x = kSite[1];
        EXPECT_EQ(dbaddv(s, 0, "sta", x.sta, "ondate", x.ondate, "offdate", x.offdate, "lat", x.lat, "lon", x.lon,
                         "elev", x.elev, "staname", x.staname, "lddate", 1262421000.0, (char *)0),
                  1)
            << rzvtest::all_messages();
        dbclose(db);
        expect_line_widths(p + ".wfdisc", l == KB ? 287 : 285, 2);
        expect_line_widths(p + ".site", l == KB ? 161 : 159, 2);
        std::string text = rzvtest::read_file(p + ".wfdisc");
        std::string added = text.substr(text.find('\n') + 1);
        if (l == KB)
            EXPECT_EQ(added.substr(268, 19), "2010-01-02 08:30:00");
        else
            EXPECT_EQ(added.substr(268, 17), " 1262421000.00000");
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        wf = dblookup(db, 0, "wfdisc", 0, "0");
        long wfid, foff;
        ASSERT_EQ(dbgetv(wf, 0, "wfid", &wfid, "foff", &foff, (char *)0), 0);
        EXPECT_EQ(wfid, 999999999);
        EXPECT_EQ(foff, 4096);
        wf.record = 1;
        Wf back = kWf[1];
        back.instype = "-";
        back.commid = -1;
        expect_wf(wf, back, true);
        s = dblookup(db, 0, "site", 0, 0);
        for (s.record = 0; s.record < 2; s.record++) expect_site(s, kSite[s.record], 5e-7);
        dbclose(db);
    }
}

// A nine-digit identifier does not fit a css3.0 row: the write fails and
// the row stays as it was.
TEST_F(DbLayout, NineDigitIdentifiersNeedTheWideLayout) {
    dbfixture::write_rows(prefix, "wfdisc", {wf_text(CSS, kWf[0], "-")});
    std::string before = rzvtest::read_file(prefix + ".wfdisc");
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
    EXPECT_LT(dbputv(wf, 0, "wfid", 123456789L, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("wider than the field"));
    dbclose(db);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), before);
}

// The descriptor names the layout of the table files the engine creates;
// files that exist keep theirs.
TEST_F(DbLayout, DescriptorNamesTheLayoutOfNewFiles) {
    struct Case {
        const char *descriptor;
        size_t wfdisc, site;
    };
    const Case cases[] = {{"schema kbcore\n", 287, 161}, {"# archive\nschema css3.0\n", 283, 155}, {"", 283, 155}};
    int k = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.descriptor);
        std::string p = prefix + std::to_string(k++);
        rzvtest::write_file(p, c.descriptor);
        dbfixture::write_rows(p, "sensor", {sensor_text(MIX, "AAK", "BHZ", 0, 100, 1, 0.5, "-")});
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r+", &db), 0) << rzvtest::all_messages();
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
        EXPECT_EQ(qlong(wf, dbRECORD_SIZE), (long)c.wfdisc);
        for (const Wf &w : kWf)
            ASSERT_GE(dbaddv(wf, 0, "sta", w.sta, "chan", w.chan, "time", w.time, "endtime", w.endtime, "nsamp",
                             w.nsamp, "samprate", w.samprate, "wfid", w.wfid % 100000000, (char *)0),
                      0)
                << rzvtest::all_messages();
        ASSERT_GE(dbaddv(dblookup(db, 0, "site", 0, 0), 0, "sta", "AAK", "lat", 42.639004, (char *)0), 0);
        // a table without a KB Core layout keeps its own
        ASSERT_GE(dbaddv(dblookup(db, 0, "detection", 0, 0), 0, "sta", "AAK", "time", 1.0, (char *)0), 0);
        // the existing sensor file keeps its layout
        ASSERT_GE(dbaddv(dblookup(db, 0, "sensor", 0, 0), 0, "sta", "AAK", "chan", "BHN", (char *)0), 0);
        dbclose(db);
        expect_line_widths(p + ".wfdisc", c.wfdisc, 2);
        expect_line_widths(p + ".site", c.site, 1);
        expect_line_widths(p + ".detection", 201, 1);
        expect_line_widths(p + ".sensor", 149, 2);
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        wf = dblookup(db, 0, "wfdisc", 0, 0);
        for (wf.record = 0; wf.record < 2; wf.record++) {
            double t, lddate;
            ASSERT_EQ(dbgetv(wf, 0, "time", &t, "lddate", &lddate, (char *)0), 0);
            EXPECT_EQ(t, kWf[wf.record].time);
            EXPECT_GT(lddate, 1.7e9);  // the engine's load date reads back as a time
        }
        double lat;
        ASSERT_EQ(dbgetv(dblookup(db, 0, "site", 0, "0"), 0, "lat", &lat, (char *)0), 0);
        EXPECT_NEAR(lat, 42.639004, c.site == 161 ? 1e-9 : 1e-4);
        dbclose(db);
    }
    // a schema that is not compiled in: css3.0, with a warning
    rzvtest::write_file(prefix, "schema mystery2.1\n");
    FILE *log = tmpfile();
    elog_set_stream(log);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    elog_set_stream(0);
    fclose(log);
    EXPECT_EQ(qlong(dblookup(db, 0, "wfdisc", 0, 0), dbRECORD_SIZE), 283);
    dbclose(db);
}

// The fields only KB Core has are read and written by name in KB Core
// tables, and are unknown in css3.0 tables.
TEST_F(DbLayout, FieldsOnlyKbCoreHas) {
    std::string kb = prefix + "k", css = prefix + "c";
    rzvtest::write_file(kb, "schema kbcore\n");
    Dbptr db;
    ASSERT_EQ(dbopen(kb.c_str(), "r+", &db), 0);
    Dbptr sm = dblookup(db, 0, "stamag", 0, 0);
    ASSERT_EQ(dbaddv(sm, 0, "magid", 12L, "ampid", 345678901L, "sta", "AAK", "magtype", "mb", "magnitude", 4.5,
                     "magres", -0.25, "magdef", "d", "mmodel", "veith-clawson", (char *)0),
              0)
        << rzvtest::all_messages();
    Dbptr af = dblookup(db, 0, "affiliation", 0, 0);
    ASSERT_EQ(dbaddv(af, 0, "net", "KZ", "sta", "AAK", "time", 1e9, (char *)0), 0) << rzvtest::all_messages();
    dbclose(db);
    expect_line_widths(kb + ".stamag", 174, 1);
    expect_line_widths(kb + ".affiliation", 71, 1);
    ASSERT_EQ(dbopen(kb.c_str(), "r", &db), 0);
    long ampid;
    double magres, mag, t, et;
    char magdef[4], mmodel[20];
    ASSERT_EQ(dbgetv(dblookup(db, 0, "stamag", 0, "0"), 0, "ampid", &ampid, "magres", &magres, "magdef", magdef,
                     "mmodel", mmodel, "magnitude", &mag, (char *)0),
              0);
    EXPECT_EQ(ampid, 345678901);
    EXPECT_EQ(magres, -0.25);
    EXPECT_STREQ(magdef, "d");
    EXPECT_STREQ(mmodel, "veith-clawson");
    EXPECT_EQ(mag, 4.5);
    ASSERT_EQ(dbgetv(dblookup(db, 0, "affiliation", 0, "0"), 0, "time", &t, "endtime", &et, (char *)0), 0);
    EXPECT_EQ(t, 1e9);
    EXPECT_EQ(et, 9999999999.999);  // the null: open-ended
    dbclose(db);

    ASSERT_EQ(dbopen(css.c_str(), "r+", &db), 0);
    sm = dblookup(db, 0, "stamag", 0, 0);
    elog_clear_register(0);
    EXPECT_LT(dbaddv(sm, 0, "magid", 12L, "ampid", 3L, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("dbaddv: no field ampid in table stamag")) << rzvtest::all_messages();
    ASSERT_EQ(dbaddv(sm, 0, "magid", 12L, (char *)0), 0);
    elog_clear_register(0);
    EXPECT_LT(dbgetv(dblookup(db, 0, "stamag", 0, "0"), 0, "magres", &magres, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("dbgetv: no field magres in table stamag"));
    EXPECT_EQ(dblookup(db, 0, "affiliation", "endtime", 0).field, dbINVALID);
    dbclose(db);
}

// ------------------------------------------------------------- across layouts

// A KB Core site joins and matches a css3.0 wfdisc (and the other way).
TEST_F(DbLayout, KbCoreSiteJoinsAndMatchesCss30Wfdisc) {
    dbfixture::write_rows(prefix, "site", {site_text(KB, kSite[0], "-"), site_text(KB, kSite[1], "-")});
    Wf late = kWf[1];
    late.time = 1400000000.0;  // 2014: after KURK's epoch ends
    late.endtime = late.time + 10;
    late.jdate = 2014134;
    dbfixture::write_rows(prefix, "wfdisc",
                          {wf_text(CSS, kWf[0], "-"), wf_text(CSS, kWf[1], "-"), wf_text(CSS, late, "-")});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0), site = dblookup(db, 0, "site", 0, 0);
    Dbptr j = dbjoin(wf, site, 0, 0, 0, 0, 0);
    ASSERT_NE(j.table, dbINVALID) << rzvtest::all_messages();
    ASSERT_EQ(count(j), 2);
    for (j.record = 0; j.record < 2; j.record++) {
        char sta[8];
        double lat, lon;
        ASSERT_EQ(dbgetv(j, 0, "wfdisc.sta", sta, "site.lat", &lat, "site.lon", &lon, (char *)0), 0);
        EXPECT_STREQ(sta, kSite[j.record].sta);
        EXPECT_EQ(lat, kSite[j.record].lat);
        EXPECT_EQ(lon, kSite[j.record].lon);
    }
    // the other way round: the site's rows find their waveforms
    Dbptr j2 = dbjoin(site, wf, 0, 0, 1, 0, 0);
    ASSERT_NE(j2.table, dbINVALID) << rzvtest::all_messages();
    EXPECT_EQ(count(j2), 2);
    // matching a wfdisc row against the site table on sta and day
    Tbl *k1 = strtbl((char *)"sta", (char *)"jdate", (char *)0);
    Tbl *k2 = strtbl((char *)"sta", (char *)"ondate::offdate", (char *)0);
    Hook *hook = nullptr;
    Tbl *list = nullptr;
    for (long r = 0; r < 3; r++) {
        wf.record = r;
        long n = dbmatches(wf, site, &k1, &k2, &hook, &list);
        EXPECT_EQ(n, r < 2 ? 1 : 0) << r << rzvtest::all_messages();
        if (n == 1) {
            EXPECT_EQ((long)gettbl(list, 0), r);
        }
    }
    // and a site row as the key against the wfdisc table
    Tbl *ks = strtbl((char *)"sta", (char *)0);
    Hook *h2 = nullptr;
    site.record = 1;
    EXPECT_EQ(dbmatches(site, dblookup(db, 0, "wfdisc", 0, 0), &ks, &ks, &h2, &list), 2);
    free_hook(&hook);
    free_hook(&h2);
    freetbl(k1, 0);
    freetbl(k2, 0);
    freetbl(ks, 0);
    freetbl(list, 0);
    dbclose(db);
}

// ------------------------------------------------------------- waveforms

void put_be32(std::string &b, int32_t v) {
    for (int i = 3; i >= 0; i--) b.push_back((char)(((uint32_t)v >> (8 * i)) & 0xff));
}

// trgetwf reads the waveforms of a KB Core wfdisc sample-exact, through the
// dir, dfile and foff at the KB Core columns.
TEST_F(DbLayout, TrgetwfReadsAKbCoreWfdiscSampleExact) {
    std::string bytes(64, 'x');  // a header before the samples
    std::vector<int32_t> want;
    for (int k = 0; k < 400; k++) {
        int32_t v = (int32_t)(k * 7919 % 20011) - 10005 + (k % 3 ? 0 : 8000000);
        want.push_back(v);
        put_be32(bytes, v);
    }
    ASSERT_EQ(system(("mkdir -p " + dir.file("wf")).c_str()), 0);
    {
        std::ofstream f(dir.file("wf/AAK.BHZ.w"), std::ios::binary);
        f.write(bytes.data(), (std::streamsize)bytes.size());
    }
    for (Layout l : {KB, MIX}) {
        SCOPED_TRACE(kLayoutName[l]);
        Wf w = {"AAK", "BHZ", 1262304000.0, 123456789, -1, 2010001, 1262304000.0 + 399 / 40.0, 400, 40.0, 1.0, 1.0,
                "-", "-", "s4", "-", "wf", "AAK.BHZ.w", 64, -1};
        std::string p = prefix + std::to_string(l);
        dbfixture::write_rows(p, "wfdisc", {wf_text(l, w, lddate_of(l))});
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
        float *data = nullptr;
        long size = 0, n = 0;
        double t0 = 0, t1 = 0;
        int rc = trgetwf(wf, &data, &size, w.time, w.endtime, &t0, &t1, &n);
        ASSERT_EQ(rc, 0) << rzvtest::all_messages();
        ASSERT_EQ(n, 400);
        EXPECT_EQ(t0, w.time);
        for (int k = 0; k < 400; k++) ASSERT_EQ(data[k], (float)want[k]) << k;
        // a window inside the row
        rc = trgetwf(wf, &data, &size, w.time + 1.0, w.time + 2.0, &t0, &t1, &n);
        ASSERT_EQ(rc, 0);
        ASSERT_EQ(n, 41);
        EXPECT_EQ(data[0], (float)want[40]);
        EXPECT_EQ(data[40], (float)want[80]);
        free(data);
        dbclose(db);
    }
}

}  // namespace
