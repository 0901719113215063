// Load dates in every form files carry them: the 17-character
// "yy-mm-dd hh:mm:ss" with its two-digit-year pivot, epoch seconds, the
// 19-character form of the KB Core layout and the forms other systems
// export.  A load date of no known form reads as null, and the engine says
// so once per table, naming the file and the text; the row is still read.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"
#include "stock.h"

namespace {

// Epoch seconds of a UTC calendar time, by the C library.
double utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return (double)timegm(&tm);
}

// A lastid row (the smallest table) with a load date text, in the css3.0
// (17 wide) or KB Core (19 wide) layout.
std::string lastid_row(bool kb, const char *key, long value, const char *lddate) {
    char buf[80];
    snprintf(buf, sizeof buf, kb ? "%-15.15s %9ld %-19.19s" : "%-15.15s %8ld %-17.17s", key, value, lddate);
    return buf;
}

// Runs f with complaints sent to a file; returns what was printed.
template <class F>
std::string complaints(F f) {
    FILE *log = tmpfile();
    elog_set_stream(log);
    f();
    elog_set_stream(0);
    rewind(log);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, log)) > 0) out.append(buf, n);
    fclose(log);
    return out;
}

int occurrences(const std::string &s, const std::string &what) {
    int n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
    return n;
}

class Lddate : public ::testing::Test {
protected:
    void SetUp() override {
        elog_clear_register(0);
        prefix = dir.file("ld");
    }
    void TearDown() override { elog_clear_register(0); }
    rzvtest::TempDir dir;
    std::string prefix;
};

struct Form {
    const char *text;
    double want;
    bool wide;  // needs the 19-character field
};

TEST_F(Lddate, EveryFormReadsAsEpochSeconds) {
    const Form forms[] = {
        // yy-mm-dd hh:mm:ss, both sides of the pivot
        {"10-01-01 12:00:00", utc(2010, 1, 1, 12), false},
        {"00-02-29 00:00:01", utc(2000, 2, 29, 0, 0, 1), false},
        {"68-12-31 23:59:59", utc(2068, 12, 31, 23, 59, 59), false},
        {"69-01-01 00:00:00", utc(1969, 1, 1), false},
        {"99-07-04 06:07:08", utc(1999, 7, 4, 6, 7, 8), false},
        // epoch seconds
        {" 1262347200.00000", 1262347200.0, false},
        {"1262347200.5", 1262347200.5, false},
        // the KB Core form
        {"2009-07-01 12:00:00", utc(2009, 7, 1, 12), true},
        {"1998-12-31 23:59:59", utc(1998, 12, 31, 23, 59, 59), true},
        // forms of other systems
        {"20090701 12:00:00", utc(2009, 7, 1, 12), false},
        {"2014-03-03T110706", utc(2014, 3, 3, 11, 7, 6), false},
        {"2014-03-03T11:07:06", utc(2014, 3, 3, 11, 7, 6), true},
        {"2009/07/01", utc(2009, 7, 1), false},
        {"2009/07/01 01:02", utc(2009, 7, 1, 1, 2), false},
        {"01-MAY-09", utc(2009, 5, 1), false},
        {"01-may-09", utc(2009, 5, 1), false},
        {"31-Dec-68", utc(2068, 12, 31), false},
        {"01-JAN-69", utc(1969, 1, 1), false},
        {"15-Aug-1995", utc(1995, 8, 15), false},
        {"2009-May-01", utc(2009, 5, 1), false},
        {"2009-MAY-01 10:00", utc(2009, 5, 1, 10), false},
        {"2009-sep-30", utc(2009, 9, 30), false},
        {"2009-07-01", utc(2009, 7, 1), false},
        {"2009-07-01T00:00:00Z", utc(2009, 7, 1), true},
    };
    for (bool kb : {false, true}) {
        std::vector<std::string> rows;
        std::vector<double> want;
        for (const Form &f : forms) {
            if (f.wide && !kb) continue;
            rows.push_back(lastid_row(kb, "arid", (long)rows.size(), f.text));
            want.push_back(f.want);
        }
        std::string p = prefix + (kb ? "kb" : "css");
        dbfixture::write_rows(p, "lastid", rows);
        Dbptr db;
        ASSERT_EQ(dbopen(p.c_str(), "r", &db), 0);
        Dbptr t = dblookup(db, 0, "lastid", 0, 0);
        long rs = 0;
        dbquery(t, dbRECORD_SIZE, &rs);
        EXPECT_EQ(rs, kb ? 45 : 42);
        std::string said = complaints([&] {
            for (t.record = 0; t.record < (long)rows.size(); t.record++) {
                double v = 0;
                ASSERT_EQ(dbgetv(t, 0, "lddate", &v, (char *)0), 0);
                EXPECT_EQ(v, want[t.record]) << rows[t.record];
            }
        });
        EXPECT_EQ(said, "");
        dbclose(db);
    }
}

// A date of eight digits with no time of day is YYYYMMDD at midnight, not
// a count of seconds (which would put it in 1970); longer numbers and
// numbers with a point stay epoch seconds.
TEST_F(Lddate, EightDigitsAreADate) {
    dbfixture::write_rows(prefix, "lastid",
                          {lastid_row(false, "a", 1, "20090701"), lastid_row(false, "b", 2, "19991231"),
                           lastid_row(false, "c", 3, "20090701.00000"), lastid_row(false, "d", 4, "1262347200"),
                           lastid_row(false, "e", 5, "20091301")});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr t = dblookup(db, 0, "lastid", 0, 0);
    const double want[] = {utc(2009, 7, 1), utc(1999, 12, 31), 20090701.0, 1262347200.0, 20091301.0};
    for (t.record = 0; t.record < 5; t.record++) {
        double v = 0;
        ASSERT_EQ(dbgetv(t, 0, "lddate", &v, (char *)0), 0);
        EXPECT_EQ(v, want[t.record]) << t.record;
    }
    dbclose(db);
}

// Text of no known form is the null; the engine says so once for the table,
// naming the file and the text; the other fields of the row read as usual.
TEST_F(Lddate, UnreadableLoadDatesAreNullWithOneMessagePerTable) {
    dbfixture::write_rows(prefix, "lastid",
                          {lastid_row(false, "arid", 10, "yesterday"), lastid_row(false, "orid", 11, "31-FEB-09"),
                           lastid_row(false, "evid", 12, "2009-13-01"), lastid_row(false, "wfid", 13, "-"),
                           lastid_row(false, "magid", 14, ""), lastid_row(false, "inid", 15, "09-02-29 00:00:00")});
    dbfixture::write_rows(prefix, "remark", {dbfixture::hand_row("remark", {{"1"}, {"1"}, {"a note"}, {"10:00"}})});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr t = dblookup(db, 0, "lastid", 0, 0);
    std::string said = complaints([&] {
        for (int pass = 0; pass < 2; pass++)
            for (t.record = 0; t.record < 6; t.record++) {
                double v = 0;
                long value = 0;
                EXPECT_EQ(dbgetv(t, 0, "lddate", &v, "keyvalue", &value, (char *)0), 0);
                EXPECT_EQ(v, -9999999999.999);
                EXPECT_EQ(value, 10 + t.record);
            }
        double v = 0;
        EXPECT_EQ(dbgetv(dblookup(db, 0, "remark", 0, "0"), 0, "lddate", &v, (char *)0), 0);
        EXPECT_EQ(v, -9999999999.999);
    });
    EXPECT_EQ(occurrences(said, "load date"), 2) << said;
    EXPECT_NE(said.find(prefix + ".lastid"), std::string::npos) << said;
    EXPECT_NE(said.find("\"yesterday\""), std::string::npos) << said;
    EXPECT_NE(said.find(prefix + ".remark"), std::string::npos) << said;
    EXPECT_NE(said.find("\"10:00\""), std::string::npos) << said;
    EXPECT_EQ(rzvtest::all_messages(), "");
    dbclose(db);
}

// A display orders rows by load date whatever forms they carry: sorting and
// expressions read load dates as times.
TEST_F(Lddate, SortingByLoadDateAcrossForms) {
    dbfixture::write_rows(prefix, "lastid",
                          {lastid_row(false, "c", 3, "01-MAY-09"), lastid_row(false, "a", 1, "20090101 00:00:00"),
                           lastid_row(false, "d", 4, "2014-03-03T110706"), lastid_row(false, "b", 2, "09-03-01 00:00:00"),
                           lastid_row(false, "e", 5, " 1420070400.00000")});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    Dbptr t = dblookup(db, 0, "lastid", 0, 0);
    Tbl *keys = strtbl((char *)"lddate", (char *)0);
    Dbptr s = dbsort(t, keys, 0, 0);
    ASSERT_NE(s.table, dbINVALID) << rzvtest::all_messages();
    long n = 0;
    dbquery(s, dbRECORD_COUNT, &n);
    ASSERT_EQ(n, 5);
    for (s.record = 0; s.record < 5; s.record++) {
        long v;
        ASSERT_EQ(dbgetv(s, 0, "keyvalue", &v, (char *)0), 0);
        EXPECT_EQ(v, s.record + 1);
    }
    long when = 0;
    t.record = 0;  // 01-MAY-09
    ASSERT_GE(dbex_evalstr(t, "lddate == 1241136000", dbBOOLEAN, &when), 0) << rzvtest::all_messages();
    EXPECT_EQ(when, 1);
    freetbl(keys, 0);
    dbclose(db);
}

// Only the load date has these forms: other time fields still want numbers.
TEST_F(Lddate, OtherTimeFieldsAreUnchanged) {
    std::string row = dbfixture::hand_row("wfdisc", {{"AAK"}, {"BHZ"}, {"2009-07-01"}, {"1"}});
    dbfixture::write_rows(prefix, "wfdisc", {row});
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r", &db), 0);
    double t = 0;
    EXPECT_LT(dbgetv(dblookup(db, 0, "wfdisc", 0, "0"), 0, "time", &t, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("\"2009-07-01\" is not a number")) << rzvtest::all_messages();
    dbclose(db);
}

}  // namespace
