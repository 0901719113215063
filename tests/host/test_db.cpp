// Tests of the database engine: opening, reading user files exactly,
// writing without damage, bad input, queries, views plumbing, files and
// SEED codes.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"

using dbfixture::Cell;
using dbfixture::hand_row;
using rzvtest::TempDir;

namespace {

class Db : public ::testing::Test {
protected:
    void SetUp() override {
        elog_clear_register(0);
        prefix = dir.file("ev1");
    }
    void TearDown() override { elog_clear_register(0); }
    TempDir dir;
    std::string prefix;
};

long count(Dbptr db) {
    long n = -1;
    EXPECT_EQ(dbquery(db, dbRECORD_COUNT, &n), 0);
    return n;
}

off_t file_size(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

// A small wfdisc written by the engine: two rows.
void add_two_wfdisc(Dbptr wf) {
    ASSERT_EQ(dbaddv(wf, 0, "sta", "ANMO", "chan", "BHZ", "time", 1262304000.0, "endtime", 1262307599.975,
                     "nsamp", 144000L, "samprate", 40.0, "wfid", 1L, "jdate", 2010001L, "dir", "wf/2010",
                     "dfile", "ANMO.BHZ.w", "datatype", "s4", (char *)0),
              0);
    ASSERT_EQ(dbaddv(wf, 0, "sta", "HRV", "chan", "BHN", "time", 1262304100.5, "endtime", 1262307000.0, "nsamp",
                     1000L, "samprate", 20.0, "wfid", 2L, "calib", 0.5, (char *)0),
              1);
}

}  // namespace

// ---------------------------------------------------------------- opening

TEST_F(Db, MissingTablesAreEmptyAndUnknownNamesFail) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_GE(wf.table, 0);
    EXPECT_EQ(count(wf), 0);
    Dbptr bad = dblookup(db, 0, "nosuchtable", 0, 0);
    EXPECT_EQ(bad.table, dbINVALID);
    EXPECT_TRUE(rzvtest::has_message("nosuchtable"));
    Dbptr badf = dblookup(db, 0, "wfdisc", "nosuchfield", 0);
    EXPECT_EQ(badf.field, dbINVALID);
    EXPECT_TRUE(rzvtest::has_message("nosuchfield"));
    Dbptr q = dblookup(db, 0, 0, "site.lat", 0);
    EXPECT_EQ(q.table, dblookup(db, 0, "site", 0, 0).table);
    EXPECT_GE(q.field, 0);
    EXPECT_EQ(dbclose(db), 0);
    EXPECT_LT(dbopen(prefix.c_str(), "w", &db), 0);
    EXPECT_EQ(db.database, dbINVALID);
}

TEST_F(Db, DescriptorFileGivesSearchPath) {
    std::string other = dir.file("master");
    dbfixture::write_rows(other, "site", {hand_row("site", {{"ANMO"}, {"1990001"}, {"-1"}, {"34.9459"}})});
    rzvtest::write_file(prefix, "# a descriptor\nschema css3.0\ndbpath master\n");
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr site = dblookup(db, 0, "site", 0, 0);
    EXPECT_EQ(count(site), 1);
    site.record = 0;
    double lat = 0;
    EXPECT_EQ(dbgetv(site, 0, "lat", &lat, (char *)0), 0);
    EXPECT_DOUBLE_EQ(lat, 34.9459);
    dbclose(db);
    rzvtest::write_file(prefix, "schema css3.0\nbogus line\n");
    EXPECT_LT(dbopen(prefix.c_str(), "r", &db), 0);
    EXPECT_TRUE(rzvtest::has_message("line 2"));
}

TEST_F(Db, ATableFileNamesItsDatabase) {
    dbfixture::write_rows(prefix, "wfdisc", {dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1)});
    dbfixture::write_rows(prefix, "site", {hand_row("site", {{"ANMO"}, {"1990001"}})});
    Dbptr db;
    ASSERT_EQ(dbopen((prefix + ".wfdisc").c_str(), "r", &db), 0);
    EXPECT_EQ(count(dblookup(db, 0, "wfdisc", 0, 0)), 1);
    EXPECT_EQ(count(dblookup(db, 0, "site", 0, 0)), 1);
    dbclose(db);
}

// ---------------------------------------------------------------- writing

TEST_F(Db, EngineWritesExactLayoutAndReadsItBack) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    add_two_wfdisc(wf);
    dbclose(db);
    std::string text = rzvtest::read_file(prefix + ".wfdisc");
    ASSERT_EQ(text.size(), 2u * 284);
    std::string row0 = text.substr(0, 283);
    EXPECT_EQ(row0.substr(0, 34), "ANMO   BHZ       1262304000.00000 ");
    EXPECT_EQ(row0.substr(88, 11), " 40.0000000");
    EXPECT_EQ(text[283], '\n');

    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    wf = dblookup(db, 0, "wfdisc", 0, "1");
    char sta[8], chan[10], dirs[80];
    double t, calib, calper;
    long nsamp, jdate;
    ASSERT_EQ(dbgetv(wf, 0, "sta", sta, "chan", chan, "time", &t, "nsamp", &nsamp, "calib", &calib, "calper",
                     &calper, "jdate", &jdate, "dir", dirs, (char *)0),
              0);
    EXPECT_STREQ(sta, "HRV");
    EXPECT_STREQ(chan, "BHN");
    EXPECT_DOUBLE_EQ(t, 1262304100.5);
    EXPECT_EQ(nsamp, 1000);
    EXPECT_DOUBLE_EQ(calib, 0.5);
    EXPECT_DOUBLE_EQ(calper, -1.0);  // null from the schema
    EXPECT_EQ(jdate, -1);
    EXPECT_STREQ(dirs, "-");
    dbclose(db);
}

TEST_F(Db, HandEditedRowsReadLikeEngineRows) {
    // Values anywhere in their columns, left- or right-justified.
    std::vector<std::string> rows = {
        hand_row("wfdisc", {{"ANMO", 1}, {"BHZ", -1}, {"1262304000.0", 0}, {"1", 3}, {"-1", 0}, {"2010001", 0},
                            {"1262307599.975", 2}, {"144000", 0}, {"40", 4}, {"1.0", -1}, {"-1", 5}}),
    };
    dbfixture::write_rows(prefix, "wfdisc", rows);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
    char sta[8], chan[10];
    double t, et, sr;
    long wfid, nsamp, jdate;
    ASSERT_EQ(dbgetv(wf, 0, "sta", sta, "chan", chan, "time", &t, "endtime", &et, "samprate", &sr, "wfid", &wfid,
                     "nsamp", &nsamp, "jdate", &jdate, (char *)0),
              0);
    dbclose(db);

    TempDir d2;
    Dbptr db2;
    ASSERT_EQ(dbopen(d2.file("x").c_str(), "r+", &db2), 0);
    Dbptr wf2 = dblookup(db2, 0, "wfdisc", 0, 0);
    ASSERT_EQ(dbaddv(wf2, 0, "sta", sta, "chan", chan, "time", t, "endtime", et, "samprate", sr, "wfid", wfid,
                     "nsamp", nsamp, "jdate", jdate, (char *)0),
              0);
    wf2.record = 0;
    char sta2[8], chan2[10];
    double t2, et2, sr2;
    long wfid2, nsamp2;
    ASSERT_EQ(dbgetv(wf2, 0, "sta", sta2, "chan", chan2, "time", &t2, "endtime", &et2, "samprate", &sr2, "wfid",
                     &wfid2, "nsamp", &nsamp2, (char *)0),
              0);
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_STREQ(sta2, sta);
    EXPECT_STREQ(chan, "BHZ");
    EXPECT_STREQ(chan2, chan);
    EXPECT_DOUBLE_EQ(t2, t);
    EXPECT_DOUBLE_EQ(et, 1262307599.975);
    EXPECT_DOUBLE_EQ(et2, et);
    EXPECT_DOUBLE_EQ(sr2, 40.0);
    EXPECT_EQ(wfid2, 1);
    EXPECT_EQ(nsamp2, 144000);
    dbclose(db2);
}

TEST_F(Db, PutRewritesInPlaceAndLeavesOtherRows) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    add_two_wfdisc(wf);
    std::string before = rzvtest::read_file(prefix + ".wfdisc");
    wf.record = 0;
    ASSERT_EQ(dbputv(wf, 0, "chan", "BHE", "calib", 2.25, (char *)0), 0);
    std::string after = rzvtest::read_file(prefix + ".wfdisc");
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.substr(284), before.substr(284));
    EXPECT_EQ(after.substr(7, 8), "BHE     ");
    // A failed put (unknown field among good ones) changes nothing.
    EXPECT_LT(dbputv(wf, 0, "chan", "XXX", "nosuch", 1.0, (char *)0), 0);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), after);
    // A value too wide for its field fails and changes nothing.
    EXPECT_LT(dbputv(wf, 0, "nsamp", 1234567890L, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("nsamp"));
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), after);
    dbclose(db);
}

TEST_F(Db, WideNullsAreWrittenWithFewerDecimals) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr as = dblookup(db, 0, "assoc", 0, 0);
    ASSERT_EQ(dbaddv(as, 0, "arid", 5L, "orid", 7L, "belief", -1.0, (char *)0), 0);
    std::string text = rzvtest::read_file(prefix + ".assoc");
    ASSERT_EQ(text.size(), 153u);
    as.record = 0;
    double belief;
    ASSERT_EQ(dbgetv(as, 0, "belief", &belief, (char *)0), 0);
    EXPECT_DOUBLE_EQ(belief, -1.0);
    dbclose(db);
}

TEST_F(Db, ReadOnlyRefusesRowWritesButNotScratch) {
    dbfixture::write_rows(prefix, "wfdisc", {dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1)});
    std::string before = rzvtest::read_file(prefix + ".wfdisc");
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
    EXPECT_LT(dbputv(wf, 0, "sta", "XX", (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("read-only"));
    EXPECT_LT(dbaddv(wf, 0, "sta", "XX", (char *)0), 0);
    EXPECT_LT(dbadd(wf, 0), 0);
    Dbptr sc = dblookup(db, 0, "wfdisc", 0, "dbSCRATCH");
    ASSERT_EQ(dbputv(sc, 0, "sta", "XX", "time", 5.0, (char *)0), 0);
    char sta[8];
    double t;
    ASSERT_EQ(dbgetv(sc, 0, "sta", sta, "time", &t, (char *)0), 0);
    EXPECT_STREQ(sta, "XX");
    EXPECT_EQ(t, 5.0);
    dbclose(db);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), before);
}

TEST_F(Db, WholeRowsThroughDbgetDbputDbadd) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    std::string r = dbfixture::wfdisc_row("KONO", "BHZ", 10, 20, 3);
    EXPECT_EQ(dbadd(wf, r.c_str()), 0);
    EXPECT_EQ(dbadd(wf, (r + "\n").c_str()), 1);
    EXPECT_LT(dbadd(wf, r.substr(0, 100).c_str()), 0);
    EXPECT_TRUE(rzvtest::has_message("wfdisc"));
    wf.record = 1;
    char buf[400];
    ASSERT_EQ(dbget(wf, buf), 0);
    EXPECT_EQ(std::string(buf), r);
    // Copy a row to scratch, change it there, append it.
    ASSERT_EQ(dbget(wf, 0), 0);
    Dbptr sc = dblookup(wf, 0, 0, 0, "dbSCRATCH");
    ASSERT_EQ(dbputv(sc, 0, "sta", "COPY", (char *)0), 0);
    EXPECT_EQ(dbadd(wf, 0), 2);
    // A field pointer reads and writes the field's text.
    Dbptr f = dblookup(wf, 0, 0, "sta", "2");
    ASSERT_EQ(dbget(f, buf), 0);
    EXPECT_STREQ(buf, "COPY");
    ASSERT_EQ(dbput(f, "NEW"), 0);
    ASSERT_EQ(dbget(f, buf), 0);
    EXPECT_STREQ(buf, "NEW");
    EXPECT_LT(dbput(wf, "short"), 0);
    EXPECT_EQ(file_size(prefix + ".wfdisc"), 3 * 284);
    dbclose(db);
}

// ---------------------------------------------------------------- bad input

TEST_F(Db, WrongWidthLinesGoThroughANormalisedCopy) {
    std::string good = dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1);
    std::string trimmed = dbfixture::wfdisc_row("HRV", "BHZ", 300, 400, 2);
    while (trimmed.back() == ' ') trimmed.pop_back();
    rzvtest::write_file(prefix + ".wfdisc", good + "\n" + trimmed + "\n" + good.substr(0, 60));
    std::string before = rzvtest::read_file(prefix + ".wfdisc");
    FILE *log = tmpfile();
    elog_set_stream(log);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(count(wf), 3);
    elog_set_stream(0);
    rewind(log);
    char line[512] = {0};
    size_t got = fread(line, 1, sizeof line - 1, log);
    line[got] = 0;
    fclose(log);
    EXPECT_NE(strstr(line, (prefix + ".wfdisc line 2").c_str()), nullptr) << line;
    wf.record = 1;
    char sta[8];
    double t;
    ASSERT_EQ(dbgetv(wf, 0, "sta", sta, "time", &t, (char *)0), 0);
    EXPECT_STREQ(sta, "HRV");
    EXPECT_EQ(t, 300.0);
    // The truncated last line reads as far as it goes; the number cut in
    // the middle (endtime ends at column 60 of 61-77) fails, not misreads.
    wf.record = 2;
    ASSERT_EQ(dbgetv(wf, 0, "sta", sta, "time", &t, (char *)0), 0);
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_EQ(t, 100.0);
    std::string cut = good.substr(0, 70);
    elog_clear_register(0);
    Dbptr db2;
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    rzvtest::write_file(dir.file("cut.wfdisc"), good + "\n" + cut);
    ASSERT_EQ(dbopen(dir.file("cut").c_str(), "r", &db2), 0);
    Dbptr w2 = dblookup(db2, 0, "wfdisc", 0, "1");
    double et = 0;
    EXPECT_LT(dbgetv(w2, 0, "sta", sta, "endtime", &et, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("row 1 field endtime"));
    EXPECT_EQ(et, 9999999999.999);
    dbclose(db2);
    elog_set_stream(0);
    fclose(quiet);
    EXPECT_LT(dbputv(wf, 0, "sta", "X", (char *)0), 0);
    EXPECT_LT(dbaddv(wf, 0, "sta", "X", (char *)0), 0);
    dbclose(db);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), before);
}

TEST_F(Db, NonNumericTextFailsWithTableRowAndField) {
    dbfixture::write_rows(prefix, "site", {hand_row("site", {{"ANMO"}, {"1990001"}, {"-1"}, {"north"}, {"12.5"}})});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr site = dblookup(db, 0, "site", 0, "0");
    double lat = 0, lon = 0;
    long off = 0;
    EXPECT_LT(dbgetv(site, 0, "lat", &lat, "lon", &lon, "offdate", &off, (char *)0), 0);
    std::string m = rzvtest::all_messages();
    EXPECT_NE(m.find("site"), std::string::npos);
    EXPECT_NE(m.find("row 0"), std::string::npos);
    EXPECT_NE(m.find("lat"), std::string::npos);
    EXPECT_EQ(lat, -999.0);  // the null
    EXPECT_EQ(lon, 12.5);    // the other fields are still read
    EXPECT_EQ(off, -1);
    dbclose(db);
}

TEST_F(Db, StamagWithoutDeltaIsRecognisedByItsWidth) {
    std::string row(117, ' ');
    memcpy(&row[0], "       7", 8);
    memcpy(&row[9], "ANMO", 4);
    memcpy(&row[52], "mb", 2);
    memcpy(&row[59], "   5.25", 7);
    dbfixture::write_rows(prefix, "stamag", {row});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr sm = dblookup(db, 0, "stamag", 0, "0");
    double mag;
    char mt[8];
    ASSERT_EQ(dbgetv(sm, 0, "magnitude", &mag, "magtype", mt, (char *)0), 0);
    EXPECT_DOUBLE_EQ(mag, 5.25);
    EXPECT_STREQ(mt, "mb");
    long rs;
    dbquery(sm, dbRECORD_SIZE, &rs);
    EXPECT_EQ(rs, 117);
    dbclose(db);
}

TEST_F(Db, BadPointersFailCleanly) {
    Dbptr bad = dbinvalid();
    double x;
    EXPECT_LT(dbgetv(bad, 0, "time", &x, (char *)0), 0);
    EXPECT_LT(dbaddv(bad, 0, "time", 1.0, (char *)0), 0);
    long n;
    EXPECT_LT(dbquery(bad, dbRECORD_COUNT, &n), 0);
    EXPECT_EQ(dbresolve(bad), dbINVALID);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    wf.record = 5;
    EXPECT_LT(dbgetv(wf, 0, "time", &x, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("record 5"));
    dbclose(db);
    EXPECT_LT(dbclose(db), 0);
}

// ---------------------------------------------------------------- queries

TEST_F(Db, QueriesDescribeTheRowsInMemory) {
    std::vector<std::string> rows;
    for (int i = 0; i < 5; i++) rows.push_back(dbfixture::wfdisc_row("ST", "HHZ", 1000.0 * i, 1000.0 * i + 999, i));
    dbfixture::write_rows(prefix, "wfdisc", rows);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    long n, size, off, width;
    char *name, *file, *addr;
    ASSERT_EQ(dbquery(wf, dbRECORD_COUNT, &n), 0);
    ASSERT_EQ(dbquery(wf, dbTABLE_NAME, &name), 0);
    ASSERT_EQ(dbquery(wf, dbTABLE_FILENAME, &file), 0);
    ASSERT_EQ(dbquery(wf, dbRECORD_SIZE, &size), 0);
    ASSERT_EQ(dbquery(wf, dbTABLE_ADDRESS, &addr), 0);
    Dbptr tf = dblookup(wf, 0, 0, "time", 0);
    ASSERT_EQ(dbquery(tf, dbFIELD_INDEX, &off), 0);
    ASSERT_EQ(dbquery(tf, dbFIELD_SIZE, &width), 0);
    EXPECT_EQ(n, 5);
    EXPECT_STREQ(name, "wfdisc");
    EXPECT_EQ(std::string(file), prefix + ".wfdisc");
    EXPECT_EQ(size, 283);
    EXPECT_EQ(off, 16);
    EXPECT_EQ(width, 17);
    EXPECT_EQ(std::string(addr + 3 * (size + 1) + off, width), "       3000.00000");
    EXPECT_EQ(addr[4 * (size + 1) + size], '\n');
    Tbl *pk;
    ASSERT_EQ(dbquery(wf, dbPRIMARY_KEY, &pk), 0);
    ASSERT_EQ(maxtbl(pk), 3);
    EXPECT_STREQ((char *)gettbl(pk, 2), "time::endtime");
    long type;
    dbquery(tf, dbFIELD_TYPE, &type);
    EXPECT_EQ(type, dbTIME);
    EXPECT_EQ(dbresolve(wf), dbTABLE_PTR);
    EXPECT_EQ(dbresolve(dblookup(wf, 0, 0, 0, "2")), dbRECORD_PTR);
    EXPECT_LT(dbquery(wf, 12345, &n), 0);
    dbclose(db);
}

// ---------------------------------------------------------------- memory and views

TEST_F(Db, MemoryTraceTableHoldsPointers) {
    Dbptr db;
    ASSERT_EQ(dbopen_memory(&db), 0);
    Dbptr tr = dblookup(db, 0, "trace", 0, 0);
    float samples[4] = {1, 2, 3, 4};
    long r = dbaddv(tr, 0, "sta", "AAK", "chan", "BHZ", "time", 10.0, "nsamp", 4L, "samprate", 1.0, "data",
                    (void *)samples, (char *)0);
    ASSERT_EQ(r, 0);
    tr.record = r;
    float *data = nullptr;
    void *resp = (void *)1;
    ASSERT_EQ(dbgetv(tr, 0, "data", &data, "response", &resp, (char *)0), 0);
    EXPECT_EQ(data, samples);
    EXPECT_EQ(resp, nullptr);
    ASSERT_EQ(dbputv(tr, 0, "data", (void *)0, (char *)0), 0);
    dbgetv(tr, 0, "data", &data, (char *)0);
    EXPECT_EQ(data, nullptr);
    // Deleted rows go away with dbcrunch.
    ASSERT_EQ(dbaddv(tr, 0, "sta", "KIV", (char *)0), 1);
    ASSERT_EQ(dbdelete(tr), 0);
    ASSERT_EQ(dbcrunch(tr), 0);
    EXPECT_EQ(count(tr), 1);
    tr.record = 0;
    char sta[8];
    dbgetv(tr, 0, "sta", sta, (char *)0);
    EXPECT_STREQ(sta, "KIV");
    // Origin rows in memory too.
    Dbptr org = dblookup(db, 0, "origin", 0, 0);
    EXPECT_EQ(dbaddv(org, 0, "time", 5.0, "lat", 1.5, "nass", 0L, (char *)0), 0);
    dbclose(db);
}

TEST_F(Db, ViewRowsReferToBaseRows) {
    Dbptr db;
    ASSERT_EQ(dbopen_memory(&db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    add_two_wfdisc(wf);
    Tbl *names = strtbl("wfdisc", (char *)0);
    Dbptr v = dbtbl2view(db, names);
    freetbl(names, 0);
    ASSERT_GE(v.table, 0);
    char ref[dbREF_SIZE];
    wf.record = 1;
    ASSERT_EQ(dbref(wf, ref), 0);
    EXPECT_EQ(dbadd(v, ref), 0);
    wf.record = 0;
    ASSERT_EQ(dbref(wf, ref), 0);
    EXPECT_EQ(dbadd(v, ref), 1);
    EXPECT_EQ(count(v), 2);
    v.record = 0;
    char sta[8];
    double t;
    ASSERT_EQ(dbgetv(v, 0, "wfdisc.sta", sta, "time", &t, (char *)0), 0);
    EXPECT_STREQ(sta, "HRV");
    EXPECT_DOUBLE_EQ(t, 1262304100.5);
    // Writes through a view row reach the base row.
    ASSERT_EQ(dbputv(v, 0, "chan", "BH1", (char *)0), 0);
    char chan[10];
    wf.record = 1;
    dbgetv(wf, 0, "chan", chan, (char *)0);
    EXPECT_STREQ(chan, "BH1");
    EXPECT_LT(dbadd(v, "garbage"), 0);
    long isview;
    dbquery(v, dbTABLE_IS_VIEW, &isview);
    EXPECT_EQ(isview, 1);
    EXPECT_EQ(dbfree(v), 0);
    Dbptr bundle = {db.database, 0, 7, 3};
    long first, last;
    ASSERT_EQ(dbget_range(bundle, &first, &last), 0);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(last, 7);
    dbclose(db);
}

TEST_F(Db, LoadDatesReadInBothForms) {
    dbfixture::write_rows(prefix, "event",
                          {hand_row("event", {{"1"}, {"-"}, {"2"}, {"-"}, {"-1"}, {"10-01-02 08:30:00"}}),
                           hand_row("event", {{"2"}, {"-"}, {"3"}, {"-"}, {"-1"}, {"1262421000.00000", -1}}),
                           hand_row("event", {{"3"}, {"-"}, {"4"}, {"-"}, {"-1"}, {"Jan 2 2010"}})});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr ev = dblookup(db, 0, "event", 0, 0);
    double ld[3];
    for (int i = 0; i < 3; i++) {
        ev.record = i;
        ASSERT_EQ(dbgetv(ev, 0, "lddate", &ld[i], (char *)0), 0);
    }
    EXPECT_DOUBLE_EQ(ld[0], 1262421000.0);
    EXPECT_DOUBLE_EQ(ld[1], 1262421000.0);
    EXPECT_EQ(ld[2], TIME_NULL);
    dbclose(db);
}

// ---------------------------------------------------------------- files

TEST_F(Db, ExternalFilesAndSeedCodes) {
    dbfixture::write_rows(prefix, "wfdisc",
                          {dbfixture::wfdisc_row("ANMO", "BHZ", 0, 10, 1, 10, 1.0, "wf", "a.w"),
                           dbfixture::wfdisc_row("ANMO", "BHZ", 20, 30, 2, 10, 1.0, "wf", "missing.w")});
    mkdir(dir.file("wf").c_str(), 0755);
    rzvtest::write_file(dir.file("wf/a.w"), "data");
    dbfixture::write_rows(prefix, "snetsta", {hand_row("snetsta", {{"IU"}, {"ANMO"}, {"ANMO"}})});
    dbfixture::write_rows(prefix, "schanloc", {hand_row("schanloc", {{"ANMO"}, {"BHZ"}, {"00"}, {"BHZ_00"}})});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
    char path[FILENAME_MAX];
    EXPECT_EQ(dbextfile(wf, "wfdisc", path), 1);
    EXPECT_EQ(std::string(path), dir.path() + "/wf/a.w");
    wf.record = 1;
    EXPECT_LT(dbextfile(wf, 0, path), 1);
    EXPECT_GT(dfiletime(dir.file("wf/a.w").c_str()), 1e9);
    EXPECT_EQ(dfiletime(dir.file("nope").c_str()), -9999999999.999);
    char net[16], sta[16], chan[16], loc[16];
    EXPECT_EQ(dbseed_net(db, "ANMO", net, sta), 0);
    EXPECT_STREQ(net, "IU");
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_EQ(dbseed_loc(db, "ANMO", "BHZ_00", chan, loc), 0);
    EXPECT_STREQ(chan, "BHZ");
    EXPECT_STREQ(loc, "00");
    EXPECT_LT(dbseed_net(db, "XYZ", net, sta), 0);
    EXPECT_STREQ(sta, "XYZ");
    EXPECT_STREQ(net, "");
    EXPECT_LT(dbseed_loc(db, "XYZ", "HHZ", chan, loc), 0);
    EXPECT_STREQ(chan, "HHZ");
    EXPECT_STREQ(loc, "");
    dbclose(db);
}

TEST_F(Db, CarriageReturnsAndBlankLinesAreNormalised) {
    std::string a = dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1);
    std::string b = dbfixture::wfdisc_row("HRV", "BHZ", 300, 400, 2);
    rzvtest::write_file(prefix + ".wfdisc", a + "\r\n\n" + b + "\r\n");
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(count(wf), 2);
    wf.record = 1;
    long wfid;
    char lddate[20];
    ASSERT_EQ(dbgetv(wf, 0, "wfid", &wfid, (char *)0), 0);
    EXPECT_EQ(wfid, 2);
    Dbptr f = dblookup(wf, 0, 0, "lddate", 0);
    ASSERT_EQ(dbget(f, lddate), 0);
    EXPECT_STREQ(lddate, "-");
    dbclose(db);
    elog_set_stream(0);
    fclose(quiet);
}

TEST_F(Db, ReadsTheReferenceExampleRowExactly) {
    const char *row =
        "ANMO   BHZ       1262304000.00000        1       -1  2010001  1262307599.97500   144000  40.0000000    "
        "     1.000000         1.000000 -      V s4 - wf/2010                                                     "
        "     ANMO.BHZ.2010001.w                        0       -1 10-01-02 08:30:00";
    ASSERT_EQ(strlen(row), 283u);
    dbfixture::write_rows(prefix, "wfdisc", {row});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, "0");
    char sta[8], chan[10], instype[8], segtype[4], datatype[4], clip[4], dirs[70], dfile[40];
    double time, endtime, samprate, calib, calper, lddate;
    long wfid, chanid, jdate, nsamp, foff, commid;
    ASSERT_EQ(dbgetv(wf, 0, "sta", sta, "chan", chan, "time", &time, "wfid", &wfid, "chanid", &chanid, "jdate",
                     &jdate, "endtime", &endtime, "nsamp", &nsamp, "samprate", &samprate, "calib", &calib, "calper",
                     &calper, "instype", instype, "segtype", segtype, "datatype", datatype, "clip", clip, "dir",
                     dirs, "dfile", dfile, "foff", &foff, "commid", &commid, "lddate", &lddate, (char *)0),
              0);
    EXPECT_STREQ(sta, "ANMO");
    EXPECT_STREQ(chan, "BHZ");
    EXPECT_EQ(time, 1262304000.0);
    EXPECT_EQ(wfid, 1);
    EXPECT_EQ(chanid, -1);
    EXPECT_EQ(jdate, 2010001);
    EXPECT_EQ(endtime, 1262307599.975);
    EXPECT_EQ(nsamp, 144000);
    EXPECT_EQ(samprate, 40.0);
    EXPECT_EQ(calib, 1.0);
    EXPECT_EQ(calper, 1.0);
    EXPECT_STREQ(instype, "-");
    EXPECT_STREQ(segtype, "V");
    EXPECT_STREQ(datatype, "s4");
    EXPECT_STREQ(clip, "-");
    EXPECT_STREQ(dirs, "wf/2010");
    EXPECT_STREQ(dfile, "ANMO.BHZ.2010001.w");
    EXPECT_EQ(foff, 0);
    EXPECT_EQ(commid, -1);
    EXPECT_EQ(lddate, 1262421000.0);  // 2010-01-02 08:30:00 UTC
    // Rewritten by the engine with the same values, the row is the same text
    // except the load date, which is written as epoch seconds.
    TempDir d2;
    Dbptr db2;
    ASSERT_EQ(dbopen(d2.file("c").c_str(), "r+", &db2), 0);
    Dbptr w2 = dblookup(db2, 0, "wfdisc", 0, 0);
    ASSERT_EQ(dbaddv(w2, 0, "sta", sta, "chan", chan, "time", time, "wfid", wfid, "jdate", jdate, "endtime", endtime,
                     "nsamp", nsamp, "samprate", samprate, "calib", calib, "calper", calper, "segtype", segtype,
                     "datatype", datatype, "dir", dirs, "dfile", dfile, "foff", foff, "lddate", lddate, (char *)0),
              0);
    std::string text = rzvtest::read_file(d2.file("c.wfdisc"));
    EXPECT_EQ(text.substr(0, 266), std::string(row).substr(0, 266));
    EXPECT_EQ(text.substr(266), " 1262421000.00000\n");
    dbclose(db2);
    dbclose(db);
}

TEST_F(Db, AppendAfterALastRowWithoutNewline) {
    std::string a = dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1);
    rzvtest::write_file(prefix + ".wfdisc", a);  // no final newline
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(count(wf), 1);
    ASSERT_EQ(dbaddv(wf, 0, "sta", "HRV", (char *)0), 1);
    std::string text = rzvtest::read_file(prefix + ".wfdisc");
    ASSERT_EQ(text.size(), 2u * 284);
    EXPECT_EQ(text.substr(0, 283), a);
    EXPECT_EQ(text.substr(284, 4), "HRV ");
    // A line cut short after the rows was left by a writer that stopped
    // (every writer holds the file's lock while it writes): the next row
    // takes its place, with a warning, rather than being glued to it.
    rzvtest::write_file(prefix + ".wfdisc", text + a.substr(0, 10));
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    EXPECT_EQ(dbaddv(wf, 0, "sta", "KIV", (char *)0), 2);
    elog_set_stream(0);
    fclose(quiet);
    text = rzvtest::read_file(prefix + ".wfdisc");
    ASSERT_EQ(text.size(), 3u * 284);
    EXPECT_EQ(text.substr(2 * 284, 4), "KIV ");
    // A file shortened behind the engine's back is not written.
    rzvtest::write_file(prefix + ".wfdisc", text.substr(0, 284));
    wf.record = 2;
    EXPECT_LT(dbputv(wf, 0, "sta", "XYZ", (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("changed on disk"));
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), text.substr(0, 284));
    dbclose(db);
}

TEST_F(Db, RecordCountSeesRowsAppendedByAnotherProgram) {
    std::string a = dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1);
    std::string b = dbfixture::wfdisc_row("HRV", "BHZ", 300, 400, 2);
    std::string f = prefix + ".wfdisc";
    rzvtest::write_file(f, a + "\n");
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(count(wf), 1);
    Dbptr sc = dblookup(wf, 0, 0, 0, "dbSCRATCH");
    dbputv(sc, 0, "sta", "HRV", "chan", "BHZ", "time", 0.0, "endtime", 1000.0, (char *)0);
    Tbl *list = nullptr;
    Hook *hook = nullptr;
    EXPECT_EQ(dbmatches(sc, wf, 0, 0, &hook, &list), 0);
    // another program appends a row, then half of one
    rzvtest::write_file(f, a + "\n" + b + "\n" + a.substr(0, 50));
    EXPECT_EQ(count(wf), 2);
    EXPECT_EQ(dbmatches(sc, wf, 0, 0, &hook, &list), 1);
    Dbptr r = wf;
    r.record = 1;
    long wfid = 0;
    ASSERT_EQ(dbgetv(r, 0, "wfid", &wfid, (char *)0), 0);
    EXPECT_EQ(wfid, 2);
    // the half row completes
    rzvtest::write_file(f, a + "\n" + b + "\n" + a + "\n");
    EXPECT_EQ(count(wf), 3);
    // the file is rewritten shorter: read again
    rzvtest::write_file(f, b + "\n");
    EXPECT_EQ(count(wf), 1);
    EXPECT_EQ(dbmatches(sc, wf, 0, 0, &hook, &list), 1);
    EXPECT_EQ((long)gettbl(list, 0), 0);
    free_hook(&hook);
    freetbl(list, 0);
    dbclose(db);

    // With "r+", rows appended by another program come before ours.
    rzvtest::write_file(f, a + "\n");
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(count(wf), 1);
    rzvtest::write_file(f, a + "\n" + b + "\n");
    EXPECT_EQ(dbaddv(wf, 0, "sta", "KIV", (char *)0), 2);
    EXPECT_EQ(rzvtest::read_file(f).size(), 3u * 284);
    dbclose(db);
    elog_set_stream(0);
    fclose(quiet);
}

// ---------------------------------------------------------------- schema

// Layout facts taken from the schema reference by hand, independent of the
// generator that compiled it.
TEST_F(Db, CompiledSchemaMatchesTheReference) {
    struct Want {
        const char *table, *field;
        long offset, width;
        const char *format, *null;
        long type;
    };
    const Want want[] = {
        {"wfdisc", "lddate", 266, 17, "%-17.17s", "-", dbDATE},
        {"wfdisc", "samprate", 88, 11, "%11.7f", "-1.0", dbREAL},
        {"wfdisc", "endtime", 61, 17, "%17.5f", "9999999999.999", dbTIME},
        {"wfdisc", "jdate", 52, 8, "%8ld", "-1", dbYEARDAY},
        {"wfdisc", "foff", 246, 10, "%10ld", "-1", dbINTEGER},
        {"site", "offdate", 16, 8, "%8ld", "2286324", dbYEARDAY},
        {"site", "dnorth", 118, 9, "%9.4f", "0.0", dbREAL},
        {"sitechan", "descrip", 72, 50, "%-50.50s", "-", dbSTRING},
        {"sitechan", "hang", 58, 6, "%6.1f", "-1.0", dbREAL},
        {"sensor", "tshift", 113, 6, "%6.2f", "-999.0", dbREAL},
        {"sensor", "instant", 120, 1, "%-1.1s", "-", dbSTRING},
        {"instrument", "dfile", 182, 32, "%-32.32s", "-", dbSTRING},
        {"instrument", "ncalib", 83, 16, "%16.6f", "1.0", dbREAL},
        {"arrival", "logat", 155, 7, "%7.2f", "-999.0", dbREAL},
        {"arrival", "auth", 181, 15, "%-15.15s", "-", dbSTRING},
        {"arrival", "amp", 136, 10, "%10.1f", "-1.0", dbREAL},
        {"event", "prefor", 25, 8, "%8ld", "-1", dbINTEGER},
        {"origin", "mlid", 170, 8, "%8ld", "-1", dbINTEGER},
        {"origin", "nass", 75, 4, "%4ld", "-1", dbINTEGER},
        {"origin", "depdp", 116, 9, "%9.4f", "-999.0", dbREAL},
        {"origerr", "conf", 225, 5, "%5.3f", "-1.0", dbREAL},
        {"origerr", "sxx", 9, 15, "%15.4f", "-100000000.0", dbREAL},
        {"assoc", "belief", 34, 4, "%4.2f", "-1.0", dbREAL},
        {"assoc", "vmodel", 110, 15, "%-15.15s", "-", dbSTRING},
        {"netmag", "uncertainty", 60, 7, "%7.2f", "-1.0", dbREAL},
        {"stamag", "delta", 52, 8, "%8.3f", "-1.0", dbREAL},
        {"stamag", "lddate", 109, 17, "%-17.17s", "-", dbDATE},
        {"detection", "snr", 173, 10, "%10.2f", "-1.0", dbREAL},
        {"detection", "filter", 133, 30, "%-30.30s", "-", dbSTRING},
        {"wfmeas", "val1", 123, 16, "%16.8g", "-999.0", dbREAL},
        {"wfmeas", "tmeas", 94, 17, "%17.5f", "-9999999999.999", dbTIME},
        {"mt", "pdc", 346, 7, "%7.2f", "-1.0", dbREAL},
        {"mt", "tmpp", 141, 15, "%15.6e", "-999.0", dbREAL},
        {"calibration", "units", 112, 12, "%-12.12s", "-", dbSTRING},
        {"snetsta", "fsta", 9, 10, "%-10.10s", "-", dbSTRING},
        {"schanloc", "loc", 16, 8, "%-8.8s", "-", dbSTRING},
        {"remark", "remark", 18, 80, "%-80.80s", "-", dbSTRING},
        {"stassoc", "location", 24, 32, "%-32.32s", "-", dbSTRING},
    };
    Dbptr db;
    ASSERT_EQ(dbopen_memory(&db), 0);
    for (const Want &w : want) {
        SCOPED_TRACE(std::string(w.table) + "." + w.field);
        Dbptr f = dblookup(db, 0, w.table, w.field, 0);
        ASSERT_GE(f.field, 0);
        long off = -1, width = -1, type = -1;
        char *fmt = nullptr, *null = nullptr;
        ASSERT_EQ(dbquery(f, dbFIELD_INDEX, &off), 0);
        ASSERT_EQ(dbquery(f, dbFIELD_SIZE, &width), 0);
        ASSERT_EQ(dbquery(f, dbFIELD_TYPE, &type), 0);
        ASSERT_EQ(dbquery(f, dbFIELD_FORMAT, &fmt), 0);
        ASSERT_EQ(dbquery(f, dbNULL_VALUE, &null), 0);
        EXPECT_EQ(off, w.offset);
        EXPECT_EQ(width, w.width);
        EXPECT_EQ(type, w.type);
        EXPECT_STREQ(fmt, w.format);
        EXPECT_STREQ(null, w.null);
    }
    const std::pair<const char *, long> sizes[] = {
        {"wfdisc", 283}, {"site", 155},    {"sitechan", 140}, {"sensor", 139},      {"instrument", 239},
        {"arrival", 223}, {"event", 76},   {"origin", 237},   {"origerr", 257},     {"assoc", 152},
        {"netmag", 110}, {"stamag", 126},  {"affiliation", 33}, {"network", 137},   {"remark", 116},
        {"lastid", 42},  {"wftag", 44},    {"gregion", 67},   {"sregion", 67},      {"stassoc", 187},
        {"detection", 201}, {"calibration", 160}, {"wfmeas", 225}, {"mt", 387},     {"snetsta", 53},
        {"schanloc", 51}};
    for (auto &s : sizes) {
        long rs = 0;
        EXPECT_EQ(dbquery(dblookup(db, 0, s.first, 0, 0), dbRECORD_SIZE, &rs), 0);
        EXPECT_EQ(rs, s.second) << s.first;
    }
    Tbl *pk = nullptr;
    ASSERT_EQ(dbquery(dblookup(db, 0, "wfmeas", 0, 0), dbPRIMARY_KEY, &pk), 0);
    ASSERT_EQ(maxtbl(pk), 5);
    EXPECT_STREQ((char *)gettbl(pk, 4), "time::endtime");
    dbclose(db);
}

// Every table's null row has the schema's width, and each of its fields
// reads back as the field's null.
TEST_F(Db, NullRowsOfEveryTableReadAsNulls) {
    Dbptr db;
    ASSERT_EQ(dbopen_memory(&db), 0);
    long nt = 0;
    ASSERT_EQ(dbquery(db, dbTABLE_COUNT, &nt), 0);
    for (long t = 0; t < nt; t++) {
        Dbptr tb = db;
        tb.table = t;
        char *name;
        ASSERT_EQ(dbquery(tb, dbTABLE_NAME, &name), 0);
        SCOPED_TRACE(name);
        long rs = 0, nf = 0;
        dbquery(tb, dbRECORD_SIZE, &rs);
        dbquery(tb, dbFIELD_COUNT, &nf);
        Dbptr nr = dblookup(tb, 0, 0, 0, "dbNULL");
        char row[600];
        ASSERT_EQ(dbget(nr, row), 0);
        EXPECT_EQ((long)strlen(row), rs);
        for (long f = 0; f < nf; f++) {
            Dbptr p = nr;
            p.field = f;
            long type = 0, width = 0, off = 0;
            char *null, *fname;
            dbquery(p, dbFIELD_TYPE, &type);
            dbquery(p, dbFIELD_SIZE, &width);
            dbquery(p, dbFIELD_INDEX, &off);
            dbquery(p, dbNULL_VALUE, &null);
            dbquery(p, dbFIELD_NAME, &fname);
            SCOPED_TRACE(fname);
            if (off + width < rs) {
                EXPECT_EQ(row[off + width], ' ');
            }
            if (type == dbSTRING) {
                char s[100];
                ASSERT_EQ(dbgetv(nr, 0, fname, s, (char *)0), 0);
                EXPECT_STREQ(s, null);
                EXPECT_EQ(row[off], null[0]);  // left-justified
            } else if (type == dbINTEGER || type == dbYEARDAY) {
                long v;
                ASSERT_EQ(dbgetv(nr, 0, fname, &v, (char *)0), 0);
                EXPECT_EQ(v, atol(null));
                EXPECT_NE(row[off + width - 1], ' ');  // right-justified
            } else if (type == dbREAL || type == dbTIME) {
                double v;
                ASSERT_EQ(dbgetv(nr, 0, fname, &v, (char *)0), 0);
                EXPECT_EQ(v, atof(null));
                EXPECT_NE(row[off + width - 1], ' ');
            }
        }
    }
    dbclose(db);
}

// ---------------------------------------------------------------- writing, exactly

// Rows written by dbaddv are, byte for byte, the schema's formats.
TEST_F(Db, AddedRowsAreTheSchemaFormatsByteForByte) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr org = dblookup(db, 0, "origin", 0, 0);
    ASSERT_EQ(dbaddv(org, 0, "lat", -12.34567, "lon", 179.5, "depth", 33.0, "time", -86400.123456, "orid", 12L,
                     "evid", 3L, "jdate", 1969365L, "nass", 25L, "ndef", 9999L, "etype", "qb", "mb", 5.126, "ml",
                     -0.5, "auth", "a very long author name", "lddate", 1262304000.0, (char *)0),
              0);
    char want[400];
    snprintf(want, sizeof want,
             "%9.4f %9.4f %9.4f %17.5f %8ld %8ld %8ld %4ld %4ld %4ld %8ld %8ld %-7.7s %9.4f %-1.1s %7.2f %8ld %7.2f "
             "%8ld %7.2f %8ld %-15.15s %-15.15s %8ld %17.5f\n",
             -12.34567, 179.5, 33.0, -86400.123456, 12L, 3L, 1969365L, 25L, 9999L, -1L, -1L, -1L, "qb", -999.0, "-",
             5.126, -1L, -999.0, -1L, -0.5, -1L, "-", "a very long author name", -1L, 1262304000.0);
    EXPECT_EQ(rzvtest::read_file(prefix + ".origin"), want);
    // wfmeas values in %g, moment tensors in %e, sensor's wide null
    Dbptr wm = dblookup(db, 0, "wfmeas", 0, 0);
    ASSERT_EQ(dbaddv(wm, 0, "sta", "AB", "val1", 1.5e-12, "val2", 123456789.0, "lddate", 0.0, (char *)0), 0);
    std::string m = rzvtest::read_file(prefix + ".wfmeas");
    ASSERT_EQ(m.size(), 226u);
    EXPECT_EQ(m.substr(123, 16), "         1.5e-12");
    EXPECT_EQ(m.substr(140, 16), "   1.2345679e+08");
    Dbptr mt = dblookup(db, 0, "mt", 0, 0);
    ASSERT_EQ(dbaddv(mt, 0, "mtid", 1L, "tmpp", -3.25e17, "scm", 4e18, (char *)0), 0);
    std::string t = rzvtest::read_file(prefix + ".mt");
    ASSERT_EQ(t.size(), 388u);
    EXPECT_EQ(t.substr(141, 15), "  -3.250000e+17");
    EXPECT_EQ(t.substr(330, 15), "   4.000000e+18");
    EXPECT_EQ(t.substr(157, 15), "  -9.990000e+02");
    Dbptr se = dblookup(db, 0, "sensor", 0, 0);
    ASSERT_EQ(dbaddv(se, 0, "sta", "AB", "lddate", 0.0, (char *)0), 0);
    EXPECT_EQ(rzvtest::read_file(prefix + ".sensor").substr(113, 6), "-999.0");
    Dbptr oe = dblookup(db, 0, "origerr", 0, 0);
    ASSERT_EQ(dbaddv(oe, 0, "orid", 1L, "conf", 0.9, (char *)0), 0);
    EXPECT_EQ(rzvtest::read_file(prefix + ".origerr").substr(225, 5), "0.900");
    dbclose(db);
}

// Values that cannot be stored fail and leave the row as it was; values
// that can are cut or shortened without moving a column.
TEST_F(Db, UnstorableValuesNeverShiftTheRow) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    add_two_wfdisc(wf);
    std::string before = rzvtest::read_file(prefix + ".wfdisc");
    wf.record = 0;
    EXPECT_LT(dbputv(wf, 0, "sta", "XX", "time", NAN, (char *)0), 0);
    EXPECT_LT(dbputv(wf, 0, "sta", "XX", "samprate", INFINITY, (char *)0), 0);
    EXPECT_LT(dbputv(wf, 0, "sta", "XX", "calib", -INFINITY, (char *)0), 0);
    EXPECT_LT(dbputv(wf, 0, "sta", "XX", "time", 1e300, (char *)0), 0);
    EXPECT_LT(dbputv(wf, 0, "sta", "XX", "nsamp", LONG_MIN, (char *)0), 0);
    EXPECT_LT(dbputv(wf, 0, "sta", "XX", "dir", "a\nb", (char *)0), 0);
    EXPECT_LT(dbaddv(wf, 0, "sta", "XX", "time", NAN, (char *)0), 0);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), before);
    long n = count(wf);
    EXPECT_EQ(n, 2);
    // a load date that is not a number is written as the null
    ASSERT_EQ(dbputv(wf, 0, "lddate", NAN, (char *)0), 0);
    std::string text = rzvtest::read_file(prefix + ".wfdisc");
    EXPECT_EQ(text.substr(266, 18), "-                \n");
    // a very long string is cut to its column
    std::string longs(5000, 'Q');
    ASSERT_EQ(dbputv(wf, 0, "dfile", longs.c_str(), "sta", "ABCDEFGHIJ", (char *)0), 0);
    text = rzvtest::read_file(prefix + ".wfdisc");
    ASSERT_EQ(text.size(), before.size());
    EXPECT_EQ(text.substr(213, 33), std::string(32, 'Q') + " ");
    EXPECT_EQ(text.substr(0, 7), "ABCDEF ");
    EXPECT_EQ(text.substr(284), before.substr(284));
    // a real too wide for its decimals loses them; -1 fills samprate exactly
    ASSERT_EQ(dbputv(wf, 0, "samprate", 123456789.123, "time", -1.0, (char *)0), 0);
    text = rzvtest::read_file(prefix + ".wfdisc");
    EXPECT_EQ(text.substr(88, 12), "123456789.1 ");
    EXPECT_EQ(text.substr(16, 18), "         -1.00000 ");
    dbclose(db);
}

// ---------------------------------------------------------------- robustness

// Pointers with record, field, table or database numbers out of every range
// fail with a message, never reach memory.
TEST_F(Db, WildPointerMembersFail) {
    dbfixture::write_rows(prefix, "wfdisc", {dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1)});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    const long wild[] = {LONG_MAX, LONG_MIN, 1L << 32, (1L << 32) + 1, -1, -2, -505, -500, 1};
    char buf[400];
    double d;
    long l;
    for (long w : wild) {
        SCOPED_TRACE(w);
        Dbptr p = wf;
        p.record = w;
        EXPECT_LT(dbgetv(p, 0, "time", &d, (char *)0), 0);
        EXPECT_LT(dbputv(p, 0, "time", 1.0, (char *)0), 0);
        EXPECT_LT(dbget(p, buf), 0);
        EXPECT_LT(dbput(p, buf), 0);
        EXPECT_LT(dbdelete(p), 0);
        EXPECT_LT(dbextfile(p, 0, buf), 0);
        EXPECT_LT(dbref(p, buf), 0);
        Tbl *list = nullptr;
        EXPECT_LT(dbmatches(p, wf, 0, 0, 0, &list), 0);
        freetbl(list, 0);
        p = wf;
        p.record = 0;
        p.field = w;
        if (w != 1) {
            EXPECT_LT(dbquery(p, dbFIELD_SIZE, &l), 0);
            if (w >= 0) {
                EXPECT_LT(dbget(p, buf), 0);
                EXPECT_LT(dbput(p, "X"), 0);
            } else if (dbget(p, buf) == 0) {
                EXPECT_EQ(strlen(buf), 283u);  // no field: the whole row
            }
            EXPECT_EQ(dbresolve(p) == dbFIELD_VALUE_PTR, false);
        }
        p = wf;
        p.table = w;
        if (w != 1) {
            EXPECT_LT(dbquery(p, dbRECORD_COUNT, &l), 0);
            EXPECT_LT(dbgetv(p, 0, "time", &d, (char *)0), 0);
            EXPECT_LT(dbaddv(p, 0, "time", 1.0, (char *)0), 0);
            EXPECT_EQ(dbindex_arr(p), nullptr);
            EXPECT_LT(dbfree(p), 0);
        }
        p = wf;
        p.database = w;
        EXPECT_LT(dbquery(p, dbRECORD_COUNT, &l), 0);
        EXPECT_EQ(dblookup(p, 0, "wfdisc", 0, 0).table, dbINVALID);
        EXPECT_LT(dbclose(p) == 0 && w != db.database, 1);
    }
    EXPECT_EQ(count(wf), 1);
    dbclose(db);
}

// Null arguments anywhere get a message and a failure.
TEST_F(Db, NullArgumentsFail) {
    Dbptr db;
    EXPECT_LT(dbopen(0, "r", &db), 0);
    EXPECT_LT(dbopen(prefix.c_str(), 0, &db), 0);
    EXPECT_LT(dbopen(prefix.c_str(), "r", 0), 0);
    EXPECT_LT(dbopen_memory(0), 0);
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_LT(dbquery(wf, dbRECORD_COUNT, 0), 0);
    EXPECT_EQ(dblookup(db, 0, 0, 0, 0).table, db.table);
    Dbptr sc = dblookup(wf, 0, 0, 0, "dbSCRATCH");
    EXPECT_LT(dbgetv(sc, 0, "time", (double *)0, (char *)0), 0);
    ASSERT_EQ(dbputv(sc, 0, "sta", (char *)0, (char *)0), 0);  // a null string: the null
    char sta[8];
    ASSERT_EQ(dbgetv(sc, 0, "sta", sta, (char *)0), 0);
    EXPECT_STREQ(sta, "-");
    Tbl *list = nullptr;
    EXPECT_LT(dbmatches(sc, wf, 0, 0, 0, 0), 0);
    EXPECT_LT(dbextfile(sc, 0, 0), 0);
    EXPECT_LT(dbref(sc, 0), 0);
    EXPECT_LT(dbget(dblookup(wf, 0, 0, "sta", "dbSCRATCH"), 0), 0);
    EXPECT_LT(dbput(dblookup(wf, 0, 0, "sta", "dbSCRATCH"), 0), 0);
    EXPECT_EQ(dbtbl2view(db, 0).table, dbINVALID);
    Tbl *bad = newtbl(1);
    pushtbl(bad, (void *)0);
    EXPECT_EQ(dbtbl2view(db, bad).table, dbINVALID);
    freetbl(bad, 0);
    EXPECT_LT(dfiletime(0), -9999999999.0);
    EXPECT_LT(dbseed_net(db, 0, 0, 0), 0);
    EXPECT_LT(dbseed_loc(db, "A", 0, 0, 0), 0);
    EXPECT_LT(dbseed_net(db, "A", 0, 0), 0);  // no outputs wanted: only the message
    dbfree_index(0);
    char *n = dbindex_name(wf, 0);
    ASSERT_NE(n, nullptr);
    free(n);
    freetbl(list, 0);
    dbclose(db);
}

// Closing twice and using a closed database fail cleanly; a new database
// does not answer for the closed one's pointers by accident of its table.
TEST_F(Db, UseAfterCloseFails) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    add_two_wfdisc(wf);
    Dbptr r = wf;
    r.record = 0;
    ASSERT_EQ(dbclose(db), 0);
    EXPECT_LT(dbclose(db), 0);
    EXPECT_TRUE(rzvtest::has_message("not open"));
    double t;
    long n;
    char buf[400];
    EXPECT_LT(dbgetv(r, 0, "time", &t, (char *)0), 0);
    EXPECT_LT(dbputv(r, 0, "time", 1.0, (char *)0), 0);
    EXPECT_LT(dbaddv(wf, 0, "time", 1.0, (char *)0), 0);
    EXPECT_LT(dbquery(wf, dbRECORD_COUNT, &n), 0);
    EXPECT_LT(dbget(r, buf), 0);
    EXPECT_EQ(dbindex_arr(wf), nullptr);
    Tbl *list = nullptr;
    EXPECT_LT(dbmatches(r, wf, 0, 0, 0, &list), 0);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc").size(), 2u * 284);
}

// A field of the wrong type in the key row, text in a numeric key field, and
// a key table that is not the table's do not crash the matcher.
TEST_F(Db, MatchingBadKeyRowsFails) {
    std::string row = hand_row("wfdisc", {{"ANMO"}, {"BHZ"}, {"soon"}, {"1"}, {"-1"}, {"2010001"}, {"later"}});
    dbfixture::write_rows(prefix, "wfdisc", {row, dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 2)});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    Dbptr k = wf;
    k.record = 0;
    Tbl *list = nullptr;
    Hook *hook = nullptr;
    EXPECT_LT(dbmatches(k, wf, 0, 0, &hook, &list), 0);
    EXPECT_TRUE(rzvtest::has_message("time"));
    k.record = 1;
    EXPECT_EQ(dbmatches(k, wf, 0, 0, &hook, &list), 1);  // the bad row never matches
    EXPECT_EQ((long)gettbl(list, 0), 1);
    free_hook(&hook);
    freetbl(list, 0);
    dbclose(db);
}

// A stamag file of the layout without delta whose rows lost their trailing
// blanks (or end in CR LF) is still read by that layout.
TEST_F(Db, StamagWithoutDeltaIsRecognisedWhenNormalised) {
    std::string row(117, ' ');
    memcpy(&row[0], "       7", 8);
    memcpy(&row[9], "ANMO", 4);
    memcpy(&row[52], "mb", 2);
    memcpy(&row[59], "   5.25", 7);
    memcpy(&row[91], "      -1", 8);
    row[100] = '-';
    std::string trimmed = row.substr(0, 101);
    std::string dated = row.substr(0, 100) + " 1262304000.00000";
    FILE *quiet = fopen("/dev/null", "w");
    elog_set_stream(quiet);
    const std::string files[] = {trimmed + "\n" + trimmed + "\n", dated + "\r\n" + trimmed + "\r\n"};
    for (const std::string &text : files) {
        rzvtest::write_file(prefix + ".stamag", text);
        Dbptr db;
        ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
        Dbptr sm = dblookup(db, 0, "stamag", 0, 0);
        EXPECT_EQ(count(sm), 2);
        for (sm.record = 0; sm.record < 2; sm.record++) {
            double mag = 0;
            long commid = 0;
            char mt[8];
            ASSERT_EQ(dbgetv(sm, 0, "magnitude", &mag, "magtype", mt, "commid", &commid, (char *)0), 0);
            EXPECT_DOUBLE_EQ(mag, 5.25);
            EXPECT_STREQ(mt, "mb");
            EXPECT_EQ(commid, -1);
        }
        dbclose(db);
    }
    // the layout with delta, trimmed, stays that layout
    std::string with = hand_row("stamag", {{"7"}, {"ANMO"}, {"-1"}, {"-1"}, {"-1"}, {"P"}, {"12.5"}, {"mb"}, {"4.5"}});
    while (with.back() == ' ') with.pop_back();
    rzvtest::write_file(prefix + ".stamag", with + "\n");
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr sm = dblookup(db, 0, "stamag", 0, "0");
    double delta = 0;
    ASSERT_EQ(dbgetv(sm, 0, "delta", &delta, (char *)0), 0);
    EXPECT_DOUBLE_EQ(delta, 12.5);
    dbclose(db);
    elog_set_stream(0);
    fclose(quiet);
}

// A file with CR LF line ends reads its values, warns naming the file and
// its first line, and is never written.
TEST_F(Db, CarriageReturnFilesReadButRefuseWrites) {
    std::string a = dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1);
    std::string b = dbfixture::wfdisc_row("HRV", "BHZ", 300, 400, 2);
    std::string text = a + "\r\n" + b + "\r\n";
    rzvtest::write_file(prefix + ".wfdisc", text);
    FILE *log = tmpfile();
    elog_set_stream(log);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(count(wf), 2);
    elog_set_stream(0);
    rewind(log);
    char line[512] = {0};
    line[fread(line, 1, sizeof line - 1, log)] = 0;
    fclose(log);
    EXPECT_NE(strstr(line, (prefix + ".wfdisc line 1").c_str()), nullptr) << line;
    wf.record = 1;
    char lddate[20];
    double et;
    ASSERT_EQ(dbgetv(wf, 0, "endtime", &et, "lddate", lddate, (char *)0), 0);
    EXPECT_EQ(et, 400.0);
    long w = 1;
    EXPECT_EQ(dbquery(wf, dbTABLE_IS_WRITABLE, &w), 0);
    EXPECT_EQ(w, 0);
    EXPECT_LT(dbputv(wf, 0, "sta", "X", (char *)0), 0);
    EXPECT_LT(dbput(wf, a.c_str()), 0);
    EXPECT_LT(dbdelete(wf), 0);
    EXPECT_LT(dbaddv(wf, 0, "sta", "X", (char *)0), 0);
    EXPECT_LT(dbadd(wf, a.c_str()), 0);
    dbclose(db);
    EXPECT_EQ(rzvtest::read_file(prefix + ".wfdisc"), text);
}

// An empty table file is an empty, writable table; record names resolve.
TEST_F(Db, EmptyFilesAndRecordNames) {
    rzvtest::write_file(prefix + ".arrival", "");
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr ar = dblookup(db, 0, "arrival", 0, 0);
    EXPECT_EQ(count(ar), 0);
    long present = 0;
    dbquery(ar, dbTABLE_PRESENT, &present);
    EXPECT_EQ(present, 1);
    dbquery(dblookup(db, 0, "origin", 0, 0), dbTABLE_PRESENT, &present);
    EXPECT_EQ(present, 0);
    ASSERT_EQ(dbaddv(ar, 0, "sta", "ANMO", "time", 5.5, "arid", 3L, "iphase", "P", "lddate", 7.0, (char *)0), 0);
    std::string text = rzvtest::read_file(prefix + ".arrival");
    ASSERT_EQ(text.size(), 224u);
    EXPECT_EQ(text.substr(0, 34), "ANMO             5.50000        3 ");
    EXPECT_EQ(dblookup(ar, 0, 0, 0, "dbALL").record, dbALL);
    EXPECT_EQ(dblookup(ar, 0, 0, 0, "dbSCRATCH").record, dbSCRATCH);
    EXPECT_EQ(dblookup(ar, 0, 0, 0, "dbNULL").record, dbNULL);
    EXPECT_EQ(dblookup(ar, 0, 0, 0, "0").record, 0);
    EXPECT_EQ(dblookup(ar, 0, 0, 0, "1").record, dbINVALID);
    EXPECT_EQ(dblookup(ar, 0, 0, 0, "0x").record, dbINVALID);
    EXPECT_EQ(dblookup(ar, 0, 0, 0, "-504").record, dbINVALID);
    Dbptr f = dblookup(db, 0, 0, "arrival.iphase", "0");
    EXPECT_EQ(f.table, ar.table);
    EXPECT_EQ(f.record, 0);
    char ph[10];
    ASSERT_EQ(dbget(f, ph), 0);
    EXPECT_STREQ(ph, "P");
    EXPECT_EQ(dblookup(db, 0, "site", "arrival.iphase", 0).field, dbINVALID);
    EXPECT_EQ(dblookup(db, 0, 0, "nosuch.sta", 0).table, dbINVALID);
    // the null row is read-only, the scratch row is not
    Dbptr nr = dblookup(ar, 0, 0, 0, "dbNULL");
    EXPECT_LT(dbputv(nr, 0, "sta", "X", (char *)0), 0);
    EXPECT_LT(dbput(nr, text.substr(0, 223).c_str()), 0);
    dbclose(db);
}

// A table's external file: a relative dir from the table file's directory,
// an absolute one as it is, a null dfile gives no file.
TEST_F(Db, ExternalFilePathsResolve) {
    mkdir(dir.file("sub").c_str(), 0755);
    std::string p2 = dir.file("sub/ev2");
    dbfixture::write_rows(p2, "instrument",
                          {hand_row("instrument", {{"1"}, {"-"}, {"-"}, {"-"}, {"-"}, {"-1"}, {"1"}, {"-1"},
                                                   {dir.path()}, {"abs.resp"}}),
                           hand_row("instrument", {{"2"}, {"-"}, {"-"}, {"-"}, {"-"}, {"-1"}, {"1"}, {"-1"},
                                                   {"-"}, {"rel.resp"}}),
                           hand_row("instrument", {{"3"}})});
    rzvtest::write_file(dir.file("abs.resp"), "x");
    rzvtest::write_file(dir.file("sub/rel.resp"), "x");
    Dbptr db;
    ASSERT_EQ(dbopen(p2.c_str(), "r", &db), 0);
    Dbptr in = dblookup(db, 0, "instrument", 0, "0");
    char path[FILENAME_MAX];
    EXPECT_EQ(dbextfile(in, "instrument", path), 1);
    EXPECT_EQ(std::string(path), dir.path() + "/abs.resp");
    in.record = 1;
    EXPECT_EQ(dbextfile(in, 0, path), 1);
    EXPECT_EQ(std::string(path), dir.path() + "/sub/./rel.resp");
    in.record = 2;
    EXPECT_LT(dbextfile(in, 0, path), 1);
    EXPECT_LT(dbextfile(in, "origin", path), 0);  // no such part
    Dbptr org = dblookup(db, 0, "origin", 0, "dbSCRATCH");
    EXPECT_LT(dbextfile(org, 0, path), 0);  // no dir/dfile fields
    dbclose(db);
}

// A view whose base rows went away (the file was rewritten shorter and read
// again) reads those rows as nulls and drops them when crunched.
TEST_F(Db, ViewRowsWhoseBaseRowsWentAway) {
    std::string a = dbfixture::wfdisc_row("ANMO", "BHZ", 100, 200, 1);
    std::string b = dbfixture::wfdisc_row("HRV", "BHZ", 300, 400, 2);
    std::string f = prefix + ".wfdisc";
    std::string text = a + "\n";
    for (int i = 1; i < 40; i++) text += b + "\n";
    rzvtest::write_file(f, text);
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    ASSERT_EQ(count(wf), 40);
    Tbl *names = strtbl("wfdisc", (char *)0);
    Dbptr v = dbtbl2view(db, names);
    freetbl(names, 0);
    char ref[dbREF_SIZE];
    Dbptr r = wf;
    for (r.record = 0; r.record < 40; r.record += 38) {  // rows 0 and 38
        ASSERT_EQ(dbref(r, ref), 0);
        ASSERT_GE(dbadd(v, ref), 0);
    }
    rzvtest::write_file(f, a + "\n");
    ASSERT_EQ(count(wf), 1);
    v.record = 1;
    char sta[8];
    dbgetv(v, 0, "sta", sta, (char *)0);
    EXPECT_STREQ(sta, "-");
    std::string now = rzvtest::read_file(f);
    EXPECT_LT(dbputv(v, 0, "sta", "X", (char *)0), 0);
    EXPECT_LT(dbput(v, b.c_str()), 0);
    EXPECT_EQ(rzvtest::read_file(f), now);
    EXPECT_EQ(dbcrunch(v), 0);
    EXPECT_EQ(count(v), 1);
    v.record = 0;
    ASSERT_EQ(dbgetv(v, 0, "sta", sta, (char *)0), 0);
    EXPECT_STREQ(sta, "ANMO");
    dbclose(db);
}

// dbaddv stamps the load date with the current time unless it is given.
TEST_F(Db, AddedRowsGetTheLoadDate) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr ev = dblookup(db, 0, "event", 0, 0);
    double before = std::floor(std_now());
    ASSERT_EQ(dbaddv(ev, 0, "evid", 1L, (char *)0), 0);
    ASSERT_EQ(dbaddv(ev, 0, "evid", 2L, "lddate", 1262421000.0, (char *)0), 1);
    double ld0 = 0, ld1 = 0;
    ev.record = 0;
    ASSERT_EQ(dbgetv(ev, 0, "lddate", &ld0, (char *)0), 0);
    ev.record = 1;
    ASSERT_EQ(dbgetv(ev, 0, "lddate", &ld1, (char *)0), 0);
    EXPECT_GE(ld0, before);
    EXPECT_LE(ld0, std_now() + 1);
    EXPECT_EQ(ld1, 1262421000.0);
    EXPECT_EQ(rzvtest::read_file(prefix + ".event").substr(77 + 59, 18), " 1262421000.00000\n");
    dbclose(db);
}

// A stamag file rewritten in the other layout while open: read again, the
// field list and the values follow the new layout.
TEST_F(Db, StamagLayoutChangesWhenTheFileIsRewritten) {
    std::string with = hand_row("stamag", {{"7"}, {"ANMO"}, {"-1"}, {"-1"}, {"-1"}, {"P"}, {"12.5"}, {"mb"}, {"4.5"}});
    std::string without(117, ' ');
    memcpy(&without[0], "       8", 8);
    memcpy(&without[9], "HRV", 3);
    memcpy(&without[52], "ml", 2);
    memcpy(&without[59], "   3.25", 7);
    rzvtest::write_file(prefix + ".stamag", with + "\n");
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr sm = dblookup(db, 0, "stamag", 0, 0);
    EXPECT_EQ(count(sm), 1);
    Tbl *fields = nullptr;
    ASSERT_EQ(dbquery(sm, dbTABLE_FIELDS, &fields), 0);
    EXPECT_EQ(maxtbl(fields), 13);
    rzvtest::write_file(prefix + ".stamag", without + "\n" + without + "\n");
    EXPECT_EQ(count(sm), 2);
    Tbl *now = nullptr;
    long nf = 0;
    ASSERT_EQ(dbquery(sm, dbTABLE_FIELDS, &now), 0);
    ASSERT_EQ(dbquery(sm, dbFIELD_COUNT, &nf), 0);
    EXPECT_EQ(maxtbl(now), 12);
    EXPECT_EQ(nf, 12);
    EXPECT_STREQ((char *)gettbl(now, 6), "magtype");
    EXPECT_EQ(maxtbl(fields), 13);  // the old list is still readable
    sm.record = 1;
    char mt[8];
    double mag;
    ASSERT_EQ(dbgetv(sm, 0, "magtype", mt, "magnitude", &mag, (char *)0), 0);
    EXPECT_STREQ(mt, "ml");
    EXPECT_EQ(mag, 3.25);
    dbclose(db);
}
