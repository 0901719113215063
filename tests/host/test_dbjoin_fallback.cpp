// Joins of sensor, wfdisc and arrival with sitechan when channel ids are
// missing: a null chanid on either side joins by station, channel and the
// day of the row's time within the channel's epoch; rows with ids keep
// joining by id, and explicit keys of another kind are left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db.h"
#include "rzvtest.h"

namespace {

const double kDay = 86400.0;
const double t2010 = 1262304000.0;  // 2010-01-01 (day 2010001)

class JoinFallback : public ::testing::Test {
protected:
    rzvtest::TempDir dir;
    Dbptr db{}, wf{}, sensor{}, sitechan{}, arrival{};

    void SetUp() override {
        elog_clear_register(0);
        ASSERT_EQ(dbopen(dir.file("db").c_str(), "r+", &db), 0);
        wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
        sensor = dblookup(db, nullptr, "sensor", nullptr, nullptr);
        sitechan = dblookup(db, nullptr, "sitechan", nullptr, nullptr);
        arrival = dblookup(db, nullptr, "arrival", nullptr, nullptr);
    }
    void TearDown() override { dbclose(db); }

    void add_sitechan(const char *sta, const char *chan, long ondate, long offdate, long chanid, double hang) {
        ASSERT_GE(dbaddv(sitechan, nullptr, "sta", sta, "chan", chan, "ondate", ondate, "offdate", offdate, "chanid",
                         chanid, "hang", hang, "vang", 90.0, nullptr),
                  0);
    }
    void add_sensor(const char *sta, const char *chan, double t, double et, long chanid) {
        ASSERT_GE(dbaddv(sensor, nullptr, "sta", sta, "chan", chan, "time", t, "endtime", et, "chanid", chanid,
                         "inid", 1L, nullptr),
                  0);
    }
    static long count(Dbptr v) {
        long n = -1;
        EXPECT_EQ(dbquery(v, dbRECORD_COUNT, &n), 0);
        return n;
    }
    // hang of each joined row (-1 for a row without partner)
    static std::vector<double> hangs(Dbptr v) {
        std::vector<double> out;
        long n = count(v);
        for (long r = 0; r < n; ++r) {
            v.record = r;
            double h = -99;
            int mark = elog_mark();
            dbgetv(v, nullptr, "sitechan.hang", &h, nullptr);
            elog_flush(0, mark);
            out.push_back(h);
        }
        return out;
    }
};

TEST_F(JoinFallback, SensorWithoutChanidFindsChannelByDay) {
    add_sitechan("AAK", "BHZ", 2009001, 2010005, -1, 0.0);   // epoch ends on day 5
    add_sitechan("AAK", "BHZ", 2010006, -1, -1, 10.0);       // open-ended
    add_sitechan("AAK", "BHN", 2009001, -1, -1, 20.0);       // other channel
    add_sitechan("BBK", "BHZ", 2009001, -1, -1, 30.0);       // other station
    add_sensor("AAK", "BHZ", t2010 + 2 * kDay, t2010 + 3 * kDay, -1);    // day 3: first epoch
    add_sensor("AAK", "BHZ", t2010 + 4 * kDay + 10, t2010 + 9 * kDay, -1);  // day 5: first epoch (bound included)
    add_sensor("AAK", "BHZ", t2010 + 400 * kDay, 9999999999.999, -1);   // next year: open epoch
    add_sensor("AAK", "BHE", t2010, t2010 + kDay, -1);                  // no channel at all

    Tbl *k1 = nullptr, *k2 = nullptr;
    Dbptr j = dbjoin(sensor, sitechan, &k1, &k2, 1, nullptr, nullptr);
    ASSERT_GE(j.table, 0);
    ASSERT_EQ(maxtbl(k1), 1);  // the inferred keys stay the id join
    EXPECT_STREQ((char *)gettbl(k1, 0), "sensor.chanid");
    EXPECT_EQ(hangs(j), (std::vector<double>{0.0, 0.0, 10.0, -1.0}));
    freetbl(k1, 0);
    freetbl(k2, 0);

    // spelled out, the id join gets the same fallback; inner join drops BHE
    Tbl *e1 = strtbl((char *)"sensor.chanid", nullptr), *e2 = strtbl((char *)"sitechan.chanid", nullptr);
    Dbptr inner = dbjoin(sensor, sitechan, &e1, &e2, 0, nullptr, nullptr);
    EXPECT_EQ(hangs(inner), (std::vector<double>{0.0, 0.0, 10.0}));
    freetbl(e1, 0);
    freetbl(e2, 0);
}

TEST_F(JoinFallback, IdsWinWhereBothSidesHaveThem) {
    add_sitechan("AAK", "BHZ", 2009001, -1, 7, 0.0);
    add_sitechan("AAK", "BHZ", 2009001, -1, 8, 45.0);  // same station and epoch, other id
    add_sensor("AAK", "BHZ", t2010, t2010 + kDay, 8);
    Dbptr j = dbjoin(sensor, sitechan, nullptr, nullptr, 1, nullptr, nullptr);
    EXPECT_EQ(hangs(j), (std::vector<double>{45.0}));
}

TEST_F(JoinFallback, ChannelWithoutIdJoinsSensorWithId) {
    add_sitechan("AAK", "BHZ", 2009001, -1, -1, 5.0);
    add_sensor("AAK", "BHZ", t2010, t2010 + kDay, 12);
    Dbptr j = dbjoin(sensor, sitechan, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(hangs(j), (std::vector<double>{5.0}));
    // and the other way round: sitechan first
    Dbptr back = dbjoin(sitechan, sensor, nullptr, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(count(back), 1);
    back.record = 0;
    long chanid = 0;
    EXPECT_EQ(dbgetv(back, nullptr, "sensor.chanid", &chanid, nullptr), 0);
    EXPECT_EQ(chanid, 12);
}

TEST_F(JoinFallback, WfdiscAndArrivalJoinSitechanByDay) {
    add_sitechan("AAK", "BHZ", 2010001, 2010001, -1, 0.0);  // one day only
    add_sitechan("AAK", "BHZ", 2010002, -1, -1, 90.0);
    ASSERT_GE(dbaddv(wf, nullptr, "sta", "AAK", "chan", "BHZ", "time", t2010 + 100, "endtime", t2010 + 200, "wfid",
                     1L, nullptr),
              0);
    ASSERT_GE(dbaddv(wf, nullptr, "sta", "AAK", "chan", "BHZ", "time", t2010 + kDay + 5, "endtime",
                     t2010 + kDay + 50, "wfid", 2L, nullptr),
              0);
    ASSERT_GE(dbaddv(wf, nullptr, "sta", "AAK", "chan", "BHN", "time", t2010 + 5, "endtime", t2010 + 50, "wfid", 3L,
                     nullptr),
              0);
    Tbl *nojoin = nullptr;
    Dbptr j = dbjoin(wf, sitechan, nullptr, nullptr, 0, &nojoin, nullptr);
    EXPECT_EQ(hangs(j), (std::vector<double>{0.0, 90.0}));
    ASSERT_EQ(maxtbl(nojoin), 1);
    EXPECT_EQ((long)gettbl(nojoin, 0), 2);
    freetbl(nojoin, 0);

    ASSERT_GE(dbaddv(arrival, nullptr, "sta", "AAK", "chan", "BHZ", "time", t2010 + kDay + 60, "arid", 1L, nullptr),
              0);
    Dbptr a = dbjoin(arrival, sitechan, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(hangs(a), (std::vector<double>{90.0}));
}

TEST_F(JoinFallback, OtherKeysAreNotWidened) {
    add_sitechan("AAK", "BHZ", 2009001, -1, -1, 5.0);
    add_sensor("AAK", "BHZ", t2010, t2010 + kDay, -1);
    // a join on station alone, or on ids together with another key, keeps
    // the plain rule: null ids match nothing
    Tbl *k1 = strtbl((char *)"sensor.chanid", (char *)"sensor.sta", nullptr);
    Tbl *k2 = strtbl((char *)"sitechan.chanid", (char *)"sitechan.sta", nullptr);
    Dbptr j = dbjoin(sensor, sitechan, &k1, &k2, 0, nullptr, nullptr);
    ASSERT_GE(j.table, 0);
    EXPECT_EQ(count(j), 0);
    freetbl(k1, 0);
    freetbl(k2, 0);
    Tbl *s1 = strtbl((char *)"sta", nullptr);
    Dbptr bysta = dbjoin(sensor, sitechan, &s1, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(count(bysta), 1);
    freetbl(s1, 0);
}

TEST_F(JoinFallback, JoinedViewOfSensorStillFallsBack) {
    // the left side is itself a view (sensor with instrument), as a loading
    // plan builds it
    Dbptr inst = dblookup(db, nullptr, "instrument", nullptr, nullptr);
    ASSERT_GE(dbaddv(inst, nullptr, "inid", 1L, "insname", "sts2", nullptr), 0);
    add_sitechan("AAK", "BHE", 2009001, -1, -1, 90.0);
    add_sensor("AAK", "BHE", t2010, t2010 + kDay, -1);
    Dbptr si = dbjoin(sensor, inst, nullptr, nullptr, 1, nullptr, nullptr);
    ASSERT_GE(si.table, 0);
    Tbl *k1 = strtbl((char *)"sensor.chanid", nullptr), *k2 = strtbl((char *)"sitechan.chanid", nullptr);
    Dbptr j = dbjoin(si, sitechan, &k1, &k2, 1, nullptr, nullptr);
    EXPECT_EQ(hangs(j), (std::vector<double>{90.0}));
    freetbl(k1, 0);
    freetbl(k2, 0);
}

}  // namespace
