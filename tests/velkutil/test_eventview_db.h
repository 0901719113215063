// Event databases for the event view's tests, written with the engine's own
// writers into a temporary directory.
#ifndef RZV_TEST_EVENTVIEW_DB_H
#define RZV_TEST_EVENTVIEW_DB_H

#include <string>

#include "KOEventView.h"
#include "db.h"
#include "rzvtest.h"

namespace evdb {

constexpr double T0 = 1262347200.0;  // 2010-01-01 12:00:00

struct EventDb {
    rzvtest::TempDir dir;
    std::string name = dir.path() + "/ev";
    Dbptr db;

    EventDb() { dbopen(name.c_str(), "r+", &db); }
    ~EventDb() { dbclose(db); }
    Dbptr table(const char *t) const { return dblookup(db, 0, t, 0, 0); }
    std::string file(const char *t) const { return name + "." + t; }

    long event(long evid, long prefor, double lddate = T0) {
        return dbaddv(table("event"), 0, "evid", evid, "prefor", prefor, "lddate", lddate, (char *)0);
    }
    long origin(long orid, long evid, double time, double lat = 0, double lon = 0, double depth = 10,
                double lddate = T0) {
        return dbaddv(table("origin"), 0, "orid", orid, "evid", evid, "time", time, "lat", lat, "lon", lon, "depth",
                      depth, "ndef", 7L, "nass", 9L, "lddate", lddate, (char *)0);
    }
    // the origin row's own magnitudes
    void origin_mags(long rec, double mb, long mbid, double ms = -999.0, long msid = -1, double ml = -999.0,
                     long mlid = -1) {
        Dbptr o = table("origin");
        o.record = rec;
        dbputv(o, 0, "mb", mb, "mbid", mbid, "ms", ms, "msid", msid, "ml", ml, "mlid", mlid, (char *)0);
    }
    long origerr(long orid) { return dbaddv(table("origerr"), 0, "orid", orid, "sdobs", 0.5, (char *)0); }
    // a further origerr row for an origin that has one, as another program
    // may have written it (dbaddv refuses a repeated orid; dbadd copies)
    long origerr_again(long orid) {
        Dbptr t = table("origerr");
        t.record = dbSCRATCH;
        if (dbputv(t, 0, "orid", orid, "sdobs", 0.5, (char *)0) != 0) return -1;
        t.record = dbALL;
        return dbadd(t, 0);
    }
    long netmag(long magid, long orid, const char *type, double mag) {
        return dbaddv(table("netmag"), 0, "magid", magid, "orid", orid, "magtype", type, "magnitude", mag, (char *)0);
    }
    long stamag(long magid, const char *sta, long arid, double mag) {
        return dbaddv(table("stamag"), 0, "magid", magid, "sta", sta, "arid", arid, "magnitude", mag, (char *)0);
    }
    long wfmeas(const char *sta, long arid, double time) {
        return dbaddv(table("wfmeas"), 0, "sta", sta, "chan", "BHZ", "meastype", "peakamp", "time", time, "endtime",
                      time + 10, "arid", arid, "val1", 1.5e-6, (char *)0);
    }
    long mt(long mtid, long orid, double lddate) {
        return dbaddv(table("mt"), 0, "mtid", mtid, "orid", orid, "scm", 1e17, "lddate", lddate, (char *)0);
    }
    long arrival(long arid, const char *sta, double time) {
        return dbaddv(table("arrival"), 0, "arid", arid, "sta", sta, "chan", "BHZ", "time", time, "iphase", "P",
                      (char *)0);
    }
    long assoc(long arid, long orid, const char *sta, const char *timedef = "d") {
        return dbaddv(table("assoc"), 0, "arid", arid, "orid", orid, "sta", sta, "phase", "P", "timedef", timedef,
                      (char *)0);
    }
    long site(const char *sta, double lat, double lon, long ondate = 2000001, long offdate = -1) {
        return dbaddv(table("site"), 0, "sta", sta, "ondate", ondate, "offdate", offdate, "lat", lat, "lon", lon,
                      "elev", 0.25, (char *)0);
    }
    long detection(const char *sta, const char *chan, double time, const char *state) {
        return dbaddv(table("detection"), 0, "srcid", "det", "sta", sta, "chan", chan, "time", time, "state", state,
                      (char *)0);
    }
};

// A view bound to a database, failing the test if binding fails.
inline bool bind(KOEventView &v, const std::string &name) { return v.configure("dbname", name.c_str(), (char *)0) == 0; }

// The first-arrival time of a phase ("ptime"/"stime") as the engine gives it.
inline double travel(Dbptr db, const char *phase, double distance, double depth) {
    char expr[96];
    snprintf(expr, sizeof expr, "%s(%f,%f)", phase, distance, depth);
    double v = -1;
    Dbptr s = dblookup(db, 0, "site", 0, 0);
    s.record = dbSCRATCH;
    dbex_evalstr(s, expr, dbREAL, &v);
    return v;
}

}  // namespace evdb

#endif
