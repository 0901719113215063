// Table files at the edges of layout recognition: lines whose carriage
// return makes them as long as another layout's rows, and the like.  Each
// must read at its own columns, or through the normalising copy, never at
// the columns of a layout it is not in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

class DbLayoutEdges : public ::testing::Test {
protected:
    void SetUp() override {
        elog_clear_register(0);
        prefix = dir.file("edge");
    }
    void TearDown() override { elog_clear_register(0); }
    rzvtest::TempDir dir;
    std::string prefix;
};

// Opens the database with complaints sent to a file; returns what was printed.
std::string open_quietly(const std::string &prefix, const char *mode, Dbptr *db) {
    FILE *log = tmpfile();
    elog_set_stream(log);
    EXPECT_EQ(dbopen(prefix.c_str(), mode, db), 0);
    // the tables are loaded on first use: touch the ones the tests read
    for (const char *t : {"lastid", "remark", "sitechan", "event"}) {
        long n = 0;
        dbquery(dblookup(*db, 0, t, 0, 0), dbRECORD_COUNT, &n);
    }
    elog_set_stream(0);
    rewind(log);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, log)) > 0) out.append(buf, n);
    fclose(log);
    return out;
}

std::string crlf(const std::vector<std::string> &rows) {
    std::string s;
    for (const std::string &r : rows) s += r + "\r\n";
    return s;
}

long qlong(Dbptr db, int code) {
    long v = -99;
    EXPECT_EQ(dbquery(db, code, &v), 0) << code;
    return v;
}

// A carriage return makes a line one character longer: a css3.0 lastid or
// remark row (42, 116) then has the width of the KB Core mix (43, 117), a
// KB Core sitechan row (139) that of css3.0 (140), and an event row with an
// 8-wide prefor that of the 9-wide one.  Such files are still read at their
// own columns, through the normalising copy, and refuse writes.
TEST_F(DbLayoutEdges, CarriageReturnsDoNotMakeLinesOfAnotherLayout) {
    char lastid[2][80], remark[100 + 80], sitechan[200], event[200];
    snprintf(lastid[0], sizeof lastid[0], "%-15.15s %8ld %-17.17s", "arid", 12345678L, "10-01-02 08:30:00");
    snprintf(lastid[1], sizeof lastid[1], "%-15.15s %8ld %-17.17s", "wfid", 7L, "10-01-02 08:30:00");
    snprintf(remark, sizeof remark, "%8ld %8ld %-80.80s %-17.17s", 4L, 1L, "a line of a remark", "10-01-02 08:30:00");
    snprintf(sitechan, sizeof sitechan, "%-6.6s %-8.8s %8ld %8ld %8ld %-1.1s %9.4f %6.1f %6.1f %-50.50s %-19.19s",
             "AAK", "BHZ", 1990001L, 17L, 2286324L, "n", 0.03, -1.0, 0.0, "STS-2 vertical", "2010-01-02 08:30:00");
    snprintf(event, sizeof event, "%9ld %-32.32s %8ld %-20.20s %9ld %-17.17s", 123456789L, "Kazakhstan", 87654321L,
             "IDC_REB", 5L, "10-01-02 08:30:00");
    rzvtest::write_file(prefix + ".lastid", crlf({lastid[0], lastid[1]}));
    rzvtest::write_file(prefix + ".remark", crlf({remark}));
    rzvtest::write_file(prefix + ".sitechan", crlf({sitechan}));
    rzvtest::write_file(prefix + ".event", crlf({event}));
    const std::string before = rzvtest::read_file(prefix + ".lastid");

    Dbptr db;
    std::string said = open_quietly(prefix, "r+", &db);
    EXPECT_EQ(dbfixture::count_messages("normalised"), 0);  // printed, not left in the register
    for (const char *t : {"lastid", "remark", "sitechan", "event"})
        EXPECT_NE(said.find(prefix + "." + t), std::string::npos) << t << ": " << said;

    Dbptr li = dblookup(db, 0, "lastid", 0, 0);
    EXPECT_EQ(qlong(li, dbRECORD_SIZE), 42);
    EXPECT_EQ(qlong(li, dbTABLE_IS_WRITABLE), 0);
    for (li.record = 0; li.record < 2; li.record++) {
        char key[20];
        long value = 0;
        double lddate = 0;
        ASSERT_EQ(dbgetv(li, 0, "keyname", key, "keyvalue", &value, "lddate", &lddate, (char *)0), 0)
            << rzvtest::all_messages();
        EXPECT_STREQ(key, li.record ? "wfid" : "arid");
        EXPECT_EQ(value, li.record ? 7 : 12345678);
        EXPECT_EQ(lddate, 1262421000.0);
    }
    // a file that is not in its layout's rows is not written to
    li.record = 1;
    EXPECT_LT(dbputv(li, 0, "keyvalue", 8L, (char *)0), 0);

    Dbptr rm = dblookup(db, 0, "remark", 0, "0");
    EXPECT_EQ(qlong(rm, dbRECORD_SIZE), 116);
    char text[100];
    long commid = 0;
    double lddate = 0;
    ASSERT_EQ(dbgetv(rm, 0, "commid", &commid, "remark", text, "lddate", &lddate, (char *)0), 0);
    EXPECT_EQ(commid, 4);
    EXPECT_STREQ(text, "a line of a remark");
    EXPECT_EQ(lddate, 1262421000.0);

    Dbptr sc = dblookup(db, 0, "sitechan", 0, "0");
    EXPECT_EQ(qlong(sc, dbRECORD_SIZE), 139);
    char ctype[8], descrip[60];
    double edepth = 0;
    ASSERT_EQ(dbgetv(sc, 0, "ctype", ctype, "edepth", &edepth, "descrip", descrip, "lddate", &lddate, (char *)0), 0)
        << rzvtest::all_messages();
    EXPECT_STREQ(ctype, "n");
    EXPECT_EQ(edepth, 0.03);
    EXPECT_STREQ(descrip, "STS-2 vertical");
    EXPECT_EQ(lddate, 1262421000.0);

    Dbptr ev = dblookup(db, 0, "event", 0, "0");
    EXPECT_EQ(qlong(ev, dbRECORD_SIZE), 100);
    long prefor = 0;
    char auth[24];
    ASSERT_EQ(dbgetv(ev, 0, "prefor", &prefor, "auth", auth, "commid", &commid, (char *)0), 0);
    EXPECT_EQ(prefor, 87654321);
    EXPECT_STREQ(auth, "IDC_REB");
    EXPECT_EQ(commid, 5);
    dbclose(db);
    EXPECT_EQ(rzvtest::read_file(prefix + ".lastid"), before);
}

// A KB Core wfdisc of one row cut short (a copy that stopped, a row being
// written): no line is whole, yet the fields it has are where KB Core puts
// them, and are read there, not at the css3.0 columns.
TEST_F(DbLayoutEdges, OneCutRowIsReadAtTheLayoutItResembles) {
    char row[400];
    snprintf(row, sizeof row,
             "%-6.6s %-8.8s %17.5f %9ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
             "%-64.64s %-32.32s %10ld %9ld %-19.19s",
             "AAK", "BHZ", 1262304000.0, 123456789L, 7L, 2010001L, 1262307599.975, 144000L, 40.0, 1.0, 1.0, "-", "-",
             "s4", "-", "wf/2010", "AAK.BHZ.w", 0L, -1L, "2010-01-02 08:30:00");
    ASSERT_EQ(strlen(row), 287u);
    rzvtest::write_file(prefix + ".wfdisc", std::string(row, 230));  // cut inside dfile
    Dbptr db;
    FILE *log = tmpfile();
    elog_set_stream(log);
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
    EXPECT_EQ(qlong(wf, dbRECORD_COUNT), 1);
    elog_set_stream(0);
    fclose(log);
    EXPECT_EQ(qlong(wf, dbRECORD_SIZE), 287);
    long wfid = 0, chanid = 0, nsamp = 0;
    double samprate = 0;
    char dir[70];
    ASSERT_EQ(dbgetv(wf, 0, "wfid", &wfid, "chanid", &chanid, "nsamp", &nsamp, "samprate", &samprate, "dir", dir,
                     (char *)0),
              0)
        << rzvtest::all_messages();
    EXPECT_EQ(wfid, 123456789);
    EXPECT_EQ(chanid, 7);
    EXPECT_EQ(nsamp, 144000);
    EXPECT_EQ(samprate, 40.0);
    EXPECT_STREQ(dir, "wf/2010");
    dbclose(db);
}

// The amplitude table, which only KB Core has, in a database of css3.0
// tables: rows written by hand with its print formats read back, join the
// css3.0 arrivals by arid, and rows the engine adds take its own layout.
TEST_F(DbLayoutEdges, AmplitudeInACss30Database) {
    auto amp_row = [](long ampid, long arid, double amp, double per, const char *amptype, const char *lddate) {
        char b[300];
        snprintf(b, sizeof b,
                 "%9ld %9ld %9ld %-8.8s %11.2f %7.2f %10.2f %17.5f %17.5f %7.2f %7.3f %-8.8s %-15.15s %-1.1s %-1.1s "
                 "%-20.20s %-19.19s",
                 ampid, arid, -1L, "BHZ", amp, per, 12.5, 1262304010.25, 1262304009.0, 3.0, -1.0, amptype, "nm", "n",
                 "y", "IDC", lddate);
        return std::string(b);
    };
    char arr[300];
    snprintf(arr, sizeof arr,
             "%-6.6s %17.5f %8ld %8ld %8ld %8ld %-8.8s %-8.8s %-1.1s %6.3f %7.2f %7.2f %7.2f %7.2f %7.2f %7.3f "
             "%10.1f %7.2f %7.2f %-1.1s %-2.2s %10.2f %-1.1s %-15.15s %8ld %-17.17s",
             "AAK", 1262304010.0, 42L, 2010001L, -1L, -1L, "BHZ", "P", "-", -1.0, -1.0, -1.0, -1.0, -1.0, -1.0, -1.0,
             -1.0, -1.0, -999.0, "-", "-", -1.0, "-", "-", -1L, "-");
    ASSERT_EQ(strlen(arr), 223u);
    dbfixture::write_rows(prefix, "arrival", {arr});
    dbfixture::write_rows(prefix, "amplitude",
                          {amp_row(500000001, 42, 1234.56, 0.85, "A5/2", "2010-01-02 08:30:00"),
                           amp_row(7, 43, 1.5, 1.0, "SBSNR", "-")});
    ASSERT_EQ(rzvtest::read_file(prefix + ".amplitude").size(), 2u * 192);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr am = dblookup(db, 0, "amplitude", 0, 0);
    EXPECT_EQ(qlong(am, dbRECORD_SIZE), 191);
    am.record = 0;
    long ampid = 0, arid = 0;
    double amp = 0, per = 0, amptime = 0, lddate = 0;
    char amptype[12], units[20], inarrival[4];
    ASSERT_EQ(dbgetv(am, 0, "ampid", &ampid, "arid", &arid, "amp", &amp, "per", &per, "amptime", &amptime, "amptype",
                     amptype, "units", units, "inarrival", inarrival, "lddate", &lddate, (char *)0),
              0)
        << rzvtest::all_messages();
    EXPECT_EQ(ampid, 500000001);
    EXPECT_EQ(arid, 42);
    EXPECT_EQ(amp, 1234.56);
    EXPECT_EQ(per, 0.85);
    EXPECT_EQ(amptime, 1262304010.25);
    EXPECT_STREQ(amptype, "A5/2");
    EXPECT_STREQ(units, "nm");
    EXPECT_STREQ(inarrival, "y");
    EXPECT_EQ(lddate, 1262421000.0);
    // the arrival finds its amplitude; the one of another arrival is left out
    Dbptr j = dbjoin(dblookup(db, 0, "arrival", 0, 0), dblookup(db, 0, "amplitude", 0, 0), 0, 0, 0, 0, 0);
    ASSERT_NE(j.table, dbINVALID) << rzvtest::all_messages();
    EXPECT_EQ(qlong(j, dbRECORD_COUNT), 1);
    j.record = 0;
    ASSERT_EQ(dbgetv(j, 0, "amplitude.ampid", &ampid, "arrival.iphase", amptype, (char *)0), 0);
    EXPECT_EQ(ampid, 500000001);
    EXPECT_STREQ(amptype, "P");
    EXPECT_EQ(dbaddv(dblookup(db, 0, "amplitude", 0, 0), 0, "ampid", 8L, "arid", 42L, "amp", 2.0, (char *)0), 2)
        << rzvtest::all_messages();
    // the css3.0 arrival table keeps its own layout beside it
    EXPECT_EQ(qlong(dblookup(db, 0, "arrival", 0, 0), dbRECORD_SIZE), 223);
    dbclose(db);
    std::string text = rzvtest::read_file(prefix + ".amplitude");
    ASSERT_EQ(text.size(), 3u * 192);
    EXPECT_EQ(text.substr(2 * 192, 20), "        8        42 ");
}

// Every table of every layout, rows of nulls and rows the engine fills,
// written exactly, with trailing blanks removed, with CR LF, with both, and
// without the last newline:
// each variant reads every field as the exact file does, whatever layout
// the database names for new files.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

std::vector<std::string> field_texts(const std::string &prefix, const char *table, long *rowsize) {
    std::vector<std::string> out;
    Dbptr db;
    if (dbopen(prefix.c_str(), "r", &db) != 0) return out;
    Dbptr t = dblookup(db, 0, table, 0, 0);
    long n = 0, nf = 0;
    dbquery(t, dbRECORD_COUNT, &n);
    dbquery(t, dbFIELD_COUNT, &nf);
    dbquery(t, dbRECORD_SIZE, rowsize);
    for (t.record = 0; t.record < n; t.record++)
        for (t.field = 0; t.field < nf; t.field++) {
            char buf[300];
            char *name = nullptr;
            dbquery(t, dbFIELD_NAME, &name);
            if (dbget(t, buf) != 0) snprintf(buf, sizeof buf, "(unreadable)");
            out.push_back(std::string(name ? name : "?") + "=" + buf);
        }
    dbclose(db);
    return out;
}

TEST_F(DbLayoutEdges, EveryTableInEveryLayoutSurvivesTrimmingAndCarriageReturns) {
    const char *tables[] = {"affiliation", "amplitude", "arrival",  "assoc",   "event",  "gregion", "instrument",
                            "lastid",      "netmag",    "network",  "origerr", "origin", "remark",  "sensor",
                            "site",        "sitechan",  "sregion",  "stamag",  "wfdisc", "wftag"};
    int k = 0;
    for (const char *table : tables) {
        for (int layout = 0; layout < 3; layout++) {  // css3.0, KB Core, the mix
            SCOPED_TRACE(std::string(table) + " layout " + std::to_string(layout));
            std::string p = prefix + std::to_string(k++);
            rzvtest::write_file(p, layout ? "schema kbcore\n" : "schema css3.0\n");
            Dbptr db;
            ASSERT_EQ(dbopen(p.c_str(), "r+", &db), 0);
            Dbptr t = dblookup(db, 0, table, 0, 0);
            ASSERT_EQ(dbadd(t, 0), 0) << rzvtest::all_messages();  // nulls only
            ASSERT_EQ(dbaddv(t, 0, "lddate", 1262421000.0, (char *)0), 1) << rzvtest::all_messages();
            dbclose(db);
            std::vector<std::string> rows = lines_of(rzvtest::read_file(p + "." + table));
            ASSERT_EQ(rows.size(), 2u);
            if (layout == 2) {
                // the mix: the 19-character load date becomes a 17-character one
                for (std::string &r : rows) {
                    std::string ld = r.substr(r.size() - 19);
                    r = r.substr(0, r.size() - 19) + (ld[0] == '-' ? std::string("-") + std::string(16, ' ')
                                                                     : std::string("10-01-02 08:30:00"));
                }
            }
            std::string exact, trimmed, cr, both;
            for (std::string r : rows) {
                exact += r + "\n";
                cr += r + "\r\n";
                while (!r.empty() && r.back() == ' ') r.pop_back();
                trimmed += r + "\n";
                both += r + "\r\n";
            }
            std::string e = p + "e";
            rzvtest::write_file(e + "." + table, exact);
            long want_size = 0;
            std::vector<std::string> want = field_texts(e, table, &want_size);
            ASSERT_FALSE(want.empty());
            EXPECT_EQ(want_size, (long)rows[0].size());
            std::string nolast = exact.substr(0, exact.size() - 1), trimmed_nolast = trimmed.substr(0, trimmed.size() - 1);
            int v = 0;
            for (const std::string *text : {&trimmed, &cr, &both, &nolast, &trimmed_nolast})
                for (const char *desc : {"", "schema kbcore\n"}) {
                    std::string q = p + "v" + std::to_string(v++);
                    if (*desc) rzvtest::write_file(q, desc);
                    rzvtest::write_file(q + "." + table, *text);
                    FILE *log = tmpfile();
                    elog_set_stream(log);
                    long size = 0;
                    std::vector<std::string> got = field_texts(q, table, &size);
                    elog_set_stream(0);
                    fclose(log);
                    EXPECT_EQ(got, want) << "variant " << v - 1;
                }
        }
    }
}

// The descriptor's layout names are read in any letter case.
TEST_F(DbLayoutEdges, DescriptorLayoutNamesInAnyCase) {
    const struct {
        const char *text;
        long size;
    } cases[] = {{"schema KBCore\n", 287}, {"schema CSS3.0\n", 283}, {"schema css3.0\n", 283}};
    int k = 0;
    for (const auto &c : cases) {
        std::string p = prefix + std::to_string(k++);
        rzvtest::write_file(p, c.text);
        FILE *log = tmpfile();
        elog_set_stream(log);
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        EXPECT_EQ(qlong(dblookup(db, 0, "wfdisc", 0, 0), dbRECORD_SIZE), c.size) << c.text;
        dbclose(db);
        elog_set_stream(0);
        EXPECT_EQ(ftell(log), 0) << c.text;  // nothing to warn about
        fclose(log);
    }
}

// A css3.0 wfdisc whose writer padded the load date to 17 characters
// without cutting it ("%-17s" of "2010-01-02 08:30:00") has rows of 285
// characters, the width of the KB Core mix.  Its fields do not sit where
// the mix puts them: it is read at the css3.0 columns (through the
// normalising copy, read-only), not at the mix's, which would take a digit
// off every jdate.
TEST_F(DbLayoutEdges, OverlongLoadDateDoesNotMakeAnotherLayout) {
    std::vector<std::string> rows;
    for (long k = 0; k < 3; k++) {
        char row[400];
        snprintf(row, sizeof row,
                 "%-6.6s %-8.8s %17.5f %8ld %8ld %8ld %17.5f %8ld %11.7f %16.6f %16.6f %-6.6s %-1.1s %-2.2s %-1.1s "
                 "%-64.64s %-32.32s %10ld %8ld %-17s",
                 "AAK", "BHZ", 1262304000.0 + 3600 * k, 1000 + k, 7L, 2010001L, 1262307599.975 + 3600 * k, 144000L,
                 40.0, 1.0, 1.0, "-", "-", "s4", "-", "wf/2010", "AAK.BHZ.w", 576000 * k, -1L, "2010-01-02 08:30:00");
        ASSERT_EQ(strlen(row), 285u);
        rows.push_back(row);
    }
    dbfixture::write_rows(prefix, "wfdisc", rows);
    const std::string before = rzvtest::read_file(prefix + ".wfdisc");
    Dbptr db;
    FILE *log = tmpfile();
    elog_set_stream(log);
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(qlong(wf, dbRECORD_COUNT), 3);
    elog_set_stream(0);
    fclose(log);
    EXPECT_EQ(qlong(wf, dbRECORD_SIZE), 283);
    for (wf.record = 0; wf.record < 3; wf.record++) {
        long wfid = 0, chanid = 0, jdate = 0, nsamp = 0, foff = 0;
        ASSERT_EQ(dbgetv(wf, 0, "wfid", &wfid, "chanid", &chanid, "jdate", &jdate, "nsamp", &nsamp, "foff", &foff,
                         (char *)0),
                  0)
            << rzvtest::all_messages();
        EXPECT_EQ(wfid, 1000 + wf.record);
        EXPECT_EQ(chanid, 7);
        EXPECT_EQ(jdate, 2010001);
        EXPECT_EQ(nsamp, 144000);
        EXPECT_EQ(foff, 576000 * wf.record);
    }
    wf.record = 0;
    EXPECT_LT(dbputv(wf, 0, "nsamp", 10L, (char *)0), 0);
    dbclose(db);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), before);
}

// origerr's css3.0 layout and its KB Core mix have one width: a write
// through "r+" goes to the columns of the layout the lines are in, and a
// row added keeps it.
TEST_F(DbLayoutEdges, WritesToOrigerrOfEitherLayoutOfOneWidth) {
    for (bool mix : {false, true}) {
        SCOPED_TRACE(mix ? "mix" : "css3.0");
        char row[300];
        snprintf(row, sizeof row,
                 mix ? "%9ld %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %9.4f %9.4f %9.4f "
                       "%6.2f %9.4f %6.2f %5.3f %9ld %-17.17s"
                     : "%8ld %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %15.4f %9.4f %9.4f %9.4f "
                       "%6.2f %9.4f %8.2f %5.3f %8ld %-17.17s",
                 17L, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 0.5, 12.5, 7.25, 45.0, 3.5, 1.25, 0.9, 3L,
                 "10-01-02 08:30:00");
        ASSERT_EQ(strlen(row), 257u);
        std::string p = prefix + (mix ? "m" : "c");
        dbfixture::write_rows(p, "origerr", {row});
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r+", &db), 0);
        Dbptr oe = dblookup(db, 0, "origerr", 0, "0");
        ASSERT_EQ(dbputv(oe, 0, "stime", 2.5, "commid", 4242L, (char *)0), 0) << rzvtest::all_messages();
        ASSERT_EQ(dbaddv(dblookup(db, 0, "origerr", 0, 0), 0, "orid", 18L, "stime", 0.75, "conf", 0.95, (char *)0),
                  1)
            << rzvtest::all_messages();
        dbclose(db);
        std::vector<std::string> lines = lines_of(rzvtest::read_file(p + ".origerr"));
        ASSERT_EQ(lines.size(), 2u);
        for (const std::string &l : lines) EXPECT_EQ(l.size(), 257u);
        EXPECT_EQ(lines[0].substr(0, 216), std::string(row, 216));  // the fields before stime are as they were
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        oe = dblookup(db, 0, "origerr", 0, 0);
        EXPECT_EQ(qlong(dblookup(oe, 0, 0, "commid", 0), dbFIELD_SIZE), mix ? 9 : 8);
        const double want_stime[] = {2.5, 0.75}, want_conf[] = {0.9, 0.95};
        const long want_commid[] = {4242, -1}, want_orid[] = {17, 18};
        for (oe.record = 0; oe.record < 2; oe.record++) {
            long orid = 0, commid = 0;
            double stime = 0, conf = 0, sdepth = 0;
            ASSERT_EQ(dbgetv(oe, 0, "orid", &orid, "stime", &stime, "conf", &conf, "commid", &commid, "sdepth",
                             &sdepth, (char *)0),
                      0);
            EXPECT_EQ(orid, want_orid[oe.record]);
            EXPECT_EQ(stime, want_stime[oe.record]);
            EXPECT_EQ(conf, want_conf[oe.record]);
            EXPECT_EQ(commid, want_commid[oe.record]);
            EXPECT_EQ(sdepth, oe.record ? -1.0 : 3.5);
        }
        dbclose(db);
    }
}

}  // namespace
