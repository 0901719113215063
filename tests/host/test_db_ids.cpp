// Identifiers: dbaddv refuses a row whose identifier (wfid of wfdisc, orid
// of origin, ...) another row of its table has, whether that row came from
// the file, from this program or from another one; null identifiers and
// fields that only refer to other tables are never checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "db.h"
#include "dbfixture.h"
#include "rzvtest.h"

namespace {

long count(Dbptr t) {
    long n = -1;
    dbquery(t, dbRECORD_COUNT, &n);
    return n;
}

class Ids : public ::testing::Test {
protected:
    rzvtest::TempDir dir;
    std::string prefix = dir.file("ids");
    void SetUp() override { elog_clear_register(0); }
};

}  // namespace

TEST_F(Ids, EveryIdentifierTableRefusesARepeatedIdentifier) {
    const char *pairs[][2] = {{"wfdisc", "wfid"},     {"sitechan", "chanid"}, {"instrument", "inid"},
                              {"arrival", "arid"},    {"event", "evid"},      {"origin", "orid"},
                              {"origerr", "orid"},    {"netmag", "magid"},    {"gregion", "grn"},
                              {"sregion", "srn"},     {"stassoc", "stassid"}, {"mt", "mtid"}};
    Dbptr fdb, mdb;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &fdb), 0);
    ASSERT_EQ(dbopen_memory(&mdb), 0);
    for (Dbptr db : {fdb, mdb}) {
        for (auto &p : pairs) {
            SCOPED_TRACE(std::string(p[0]) + (db.database == fdb.database ? " (file)" : " (memory)"));
            Dbptr t = dblookup(db, 0, p[0], 0, 0);
            ASSERT_EQ(dbaddv(t, 0, p[1], 41L, (char *)0), 0);
            ASSERT_EQ(dbaddv(t, 0, p[1], 42L, (char *)0), 1);
            elog_clear_register(0);
            EXPECT_LT(dbaddv(t, 0, p[1], 41L, (char *)0), 0);
            std::string want = std::string("table ") + p[0] + " already has a row with " + p[1] + " 41";
            EXPECT_TRUE(rzvtest::has_message(want)) << rzvtest::all_messages();
            EXPECT_EQ(count(t), 2);
        }
    }
    dbclose(mdb);
    dbclose(fdb);
    // nothing of a refused row reached a file
    EXPECT_EQ(rzvtest::read_file(prefix + ".origin").size(), 2u * 238);
}

TEST_F(Ids, NullIdentifiersAndReferencesAreNeverChecked) {
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    // null identifiers: given as -1 or not given at all
    for (int i = 0; i < 3; i++) {
        EXPECT_GE(dbaddv(wf, 0, "sta", "AAA", "wfid", -1L, (char *)0), 0);
        EXPECT_GE(dbaddv(wf, 0, "sta", "BBB", (char *)0), 0);
    }
    // a reference in its table: chanid of wfdisc and sensor, arid and orid
    // of assoc, prefor of event, inid of sensor
    EXPECT_GE(dbaddv(wf, 0, "wfid", 1L, "chanid", 7L, (char *)0), 0);
    EXPECT_GE(dbaddv(wf, 0, "wfid", 2L, "chanid", 7L, (char *)0), 0);
    Dbptr sensor = dblookup(db, 0, "sensor", 0, 0);
    EXPECT_GE(dbaddv(sensor, 0, "chanid", 7L, "inid", 3L, (char *)0), 0);
    EXPECT_GE(dbaddv(sensor, 0, "chanid", 7L, "inid", 3L, (char *)0), 0);
    Dbptr assoc = dblookup(db, 0, "assoc", 0, 0);
    EXPECT_GE(dbaddv(assoc, 0, "arid", 5L, "orid", 6L, (char *)0), 0);
    EXPECT_GE(dbaddv(assoc, 0, "arid", 5L, "orid", 6L, (char *)0), 0);
    Dbptr event = dblookup(db, 0, "event", 0, 0);
    EXPECT_GE(dbaddv(event, 0, "evid", 1L, "prefor", 9L, (char *)0), 0);
    EXPECT_GE(dbaddv(event, 0, "evid", 2L, "prefor", 9L, (char *)0), 0);
    // in-memory trace tables hold copies of waveform rows: not checked
    Dbptr tr = dblookup(db, 0, "trace", 0, 0);
    EXPECT_GE(dbaddv(tr, 0, "sta", "AAA", "wfid", 1L, (char *)0), 0);
    EXPECT_GE(dbaddv(tr, 0, "sta", "AAA", "wfid", 1L, (char *)0), 0);
    EXPECT_EQ(count(wf), 8);
    // dbadd copies row text as it is given
    char row[300];
    wf.record = 6;
    ASSERT_EQ(dbget(wf, row), 0);
    wf.record = dbALL;
    EXPECT_EQ(dbadd(wf, row), 8);
    dbclose(db);
}

TEST_F(Ids, RowsFromTheFileAndFromOtherProgramsCount) {
    std::vector<std::string> rows;
    for (long i = 1; i <= 50; i++) rows.push_back(dbfixture::wfdisc_row("AAA", "BHZ", i * 10.0, i * 10.0 + 5, i));
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", rows));
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_LT(dbaddv(wf, 0, "wfid", 50L, (char *)0), 0);
    EXPECT_EQ(dbaddv(wf, 0, "wfid", 51L, (char *)0), 50);
    EXPECT_LT(dbaddv(wf, 0, "wfid", 51L, (char *)0), 0);
    // another program appends rows with identifiers 52 and 53
    std::string text = rzvtest::read_file(prefix + ".wfdisc");
    text += dbfixture::wfdisc_row("BBB", "BHZ", 900, 905, 52) + "\n" +
            dbfixture::wfdisc_row("BBB", "BHZ", 910, 915, 53) + "\n";
    ASSERT_TRUE(rzvtest::write_file(prefix + ".wfdisc", text));
    EXPECT_LT(dbaddv(wf, 0, "wfid", 53L, (char *)0), 0);
    EXPECT_TRUE(rzvtest::has_message("wfid 53"));
    EXPECT_EQ(dbaddv(wf, 0, "wfid", 54L, (char *)0), 53);
    // a rewritten identifier frees the old one and takes the new one;
    // a deleted row frees its identifier
    wf.record = 0;
    ASSERT_EQ(dbputv(wf, 0, "wfid", 100L, (char *)0), 0);
    wf.record = 1;
    ASSERT_EQ(dbdelete(wf), 0);
    wf.record = dbALL;
    EXPECT_LT(dbaddv(wf, 0, "wfid", 100L, (char *)0), 0);
    EXPECT_EQ(dbaddv(wf, 0, "wfid", 1L, (char *)0), 54);
    EXPECT_EQ(dbaddv(wf, 0, "wfid", 2L, (char *)0), 55);
    // a file rewritten behind the engine's back is looked at again
    dbclose(db);
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", {dbfixture::wfdisc_row("CCC", "BHZ", 1, 2, 7)}));
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    wf = dblookup(db, 0, "wfdisc", 0, 0);
    EXPECT_EQ(dbaddv(wf, 0, "wfid", 8L, (char *)0), 1);
    ASSERT_TRUE(dbfixture::write_rows(prefix, "wfdisc", {dbfixture::wfdisc_row("CCC", "BHZ", 1, 2, 9)}));
    EXPECT_EQ(count(wf), 1);
    EXPECT_EQ(dbaddv(wf, 0, "wfid", 7L, (char *)0), 1);
    EXPECT_LT(dbaddv(wf, 0, "wfid", 9L, (char *)0), 0);
    dbclose(db);
}

TEST_F(Ids, TablesOfTheWiderLayoutAreCheckedToo) {
    ASSERT_TRUE(rzvtest::write_file(prefix, "schema kbcore\n"));
    Dbptr db;
    ASSERT_EQ(dbopen(prefix.c_str(), "r+", &db), 0);
    Dbptr ar = dblookup(db, 0, "arrival", 0, 0);
    long size = 0;
    ASSERT_EQ(dbquery(ar, dbRECORD_SIZE, &size), 0);
    EXPECT_EQ(size, 234);
    EXPECT_EQ(dbaddv(ar, 0, "sta", "AAA", "arid", 123456789L, (char *)0), 0);
    EXPECT_LT(dbaddv(ar, 0, "sta", "BBB", "arid", 123456789L, (char *)0), 0);
    Dbptr amp = dblookup(db, 0, "amplitude", 0, 0);
    EXPECT_EQ(dbaddv(amp, 0, "ampid", 5L, (char *)0), 0);
    EXPECT_LT(dbaddv(amp, 0, "ampid", 5L, (char *)0), 0);
    dbclose(db);
}
