// The event view: binding to a database, events and origins with their
// errors, magnitudes and moment tensors, associations with station
// positions, detections, and bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "KOEventView.h"
#include "rzvtest.h"
#include "test_eventview_db.h"

using evdb::EventDb;
using evdb::T0;
using rzvtest::has_message;
using rzvtest::messages;

namespace {

// Catches what the printing log calls write while it is alive.
struct Printed {
    FILE *fp = tmpfile();
    Printed() { elog_set_stream(fp); }
    ~Printed() {
        elog_set_stream(nullptr);
        fclose(fp);
    }
    std::string text() {
        fflush(fp);
        rewind(fp);
        std::string s;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0) s.append(buf, n);
        return s;
    }
};

template <class T>
T *at(Tbl *t, long i) {
    return static_cast<T *>(gettbl(t, i));
}

bool invalid(const Dbptr &p) { return p.database == dbINVALID; }

char *print_dbname(KOEventView &v) {
    KOConfigureSpecs *r = (KOConfigureSpecs *)getarr(v.configure_specs_arr, "dbname");
    if (!r) return nullptr;
    KO_ConfigureSpec *s = r->configureSpec;
    return s->customPtr->printProc(s, s->customPtr->clientData, r->paramRec, s->offset);
}

}  // namespace

// ---------------------------------------------------------------- binding

TEST(EventViewBinding, BindsReadOnlyAndRecordsEveryTable) {
    EventDb d;
    d.event(1, 10);
    d.origin(10, 1, T0);
    KOEventView v(nullptr);
    char *shown = print_dbname(v);
    EXPECT_STREQ(shown, "NULL");
    free(shown);
    ASSERT_TRUE(evdb::bind(v, d.name));
    shown = print_dbname(v);
    EXPECT_EQ(std::string(shown), d.name);
    free(shown);
    EXPECT_STREQ(v.koev.origin.name, "origin");
    EXPECT_EQ(std::string(v.koev.origin.fname), d.file("origin"));
    EXPECT_EQ(v.koev.origin.nrows, 1);
    EXPECT_GT(v.koev.origin.mod_time, 0);
    EXPECT_STREQ(v.koev.detection.name, "detection");
    EXPECT_EQ(v.koev.detection.nrows, 0);  // an empty table: no rows and no file time
    EXPECT_EQ(v.koev.detection.mod_time, 0);
    long tables_writable = 1;
    dbquery(v.koev.origin.dbtable, dbTABLE_IS_WRITABLE, &tables_writable);
    EXPECT_EQ(tables_writable, 0);

    long ev = -1, orig = -1, det = -1;
    v.numbers(&ev, &orig, &det, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(ev, 1);
    EXPECT_EQ(orig, 1);
    EXPECT_EQ(det, 0);
    v.numbers(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);

    // chosen once: a second name is refused and the binding stays
    EXPECT_EQ(v.configure("dbname", d.name.c_str(), (char *)0), -1);
    EXPECT_TRUE(has_message("eventview_parse_dbname: database " + d.name + " already open and cannot be reset to " +
                            d.name + "\n"));
    EXPECT_NE(v.koev.db.database, dbINVALID);
    EXPECT_EQ(std::string(v.koev.dbname), d.name);
}

TEST(EventViewBinding, MissingDatabaseLeavesTheViewUnbound) {
    rzvtest::TempDir dir;
    std::string name = dir.path() + "/nothing";
    KOEventView v(nullptr);
    EXPECT_EQ(v.configure("dbname", name.c_str(), (char *)0), -1);
    EXPECT_TRUE(has_message("eventview_parse_dbname: database " + name + " does not exist"));
    EXPECT_TRUE(has_message("eventview_parse_dbname: " + name + ": eventview_open_table() error.\n"));
    EXPECT_EQ(v.koev.dbname, nullptr);
    EXPECT_EQ(v.koev.db.database, dbINVALID);
    // an unbound view refuses its refreshes with messages
    Tbl *events = nullptr;
    elog_clear_register(0);
    EXPECT_EQ(v.refreshEvents(&events), -1);
    EXPECT_EQ(messages()[0], "KOEventView::refreshEvents: No database currently open.\n");
    KOEVOrigin o;
    memset(&o, 0, sizeof o);
    KOEVMagnitude m;
    memset(&m, 0, sizeof m);
    m.dbnetmag.database = 0;
    m.dbnetmag.table = 0;
    m.dbnetmag.record = 0;
    Tbl *dets = nullptr;
    Arr *changes = nullptr;
    EXPECT_EQ(v.refreshAssociations(&o), -1);
    EXPECT_EQ(v.refreshDetections(&o, 1), -1);
    EXPECT_EQ(v.refreshDetections(&dets, 0, 1), -1);
    EXPECT_EQ(v.refreshStamags(&m), -1);
    EXPECT_EQ(v.checkChanges(&changes), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshStamags: No database currently open.\n"));
    EXPECT_TRUE(has_message("KOEventView::checkChanges: No database currently open.\n"));
    freearr(changes, 0);
    EXPECT_EQ(v.reset(), -1);
    // null records are accepted everywhere
    EXPECT_EQ(v.refreshOrigin(0, nullptr), 0);
    EXPECT_EQ(v.refreshAssociation(nullptr, 0, nullptr), 0);
    EXPECT_EQ(v.refreshStamag(0, nullptr), 0);
    EXPECT_EQ(v.refreshDetections((KOEVOrigin *)nullptr, 0), 0);
    v.freeEvents(nullptr);
    v.freeOrigins(nullptr);
    v.freeStations(nullptr);
    v.freeMagnitudes(nullptr);

    Pf *pf = nullptr;
    ASSERT_EQ(pfread_string(("dbname " + name + "\n").c_str(), &pf), 0);
    Printed printed;
    try {
        KOEventView bad(pf);
        ADD_FAILURE() << "no exception";
    } catch (const char *what) {
        EXPECT_STREQ(what, "KOEventView::KOEventView: configure(params) error.");
    }
    EXPECT_EQ(elog_count(), 0);  // the register was printed and emptied
    EXPECT_NE(printed.text().find("does not exist"), std::string::npos);
    pffree(pf);
}

TEST(EventViewBinding, FailedOpeningsCarryTheSystemErrorFlag) {
    KOEventView v(nullptr);
    elog_clear_register(0);
    EXPECT_EQ(v.configure("dbname", "", (char *)0), -1);
    auto flag_of = [](const std::string &text) {
        for (int i = 0; i < elog_count(); i++)
            if (text == elog_message(i)) return elog_message_flag(i);
        return -1;
    };
    EXPECT_EQ(flag_of("eventview_parse_dbname: dbopen() error\n"), 1);
    EXPECT_EQ(flag_of("eventview_parse_dbname: : eventview_open_table() error.\n"), 0);

    // a descriptor that became unreadable: reset cannot open the database
    EventDb d;
    d.origin(10, -1, T0);
    ASSERT_TRUE(rzvtest::write_file(d.name, "schema css3.0\n"));
    ASSERT_TRUE(evdb::bind(v, d.name));
    ASSERT_TRUE(rzvtest::write_file(d.name, "schema css3.0\nnot a descriptor line\n"));
    elog_clear_register(0);
    EXPECT_EQ(v.reset(), -1);
    EXPECT_EQ(flag_of("KOEventView::reset: dbopen(" + d.name + ") error\n"), 1);
    EXPECT_EQ(flag_of("KOEventView::reset: " + d.name + ": eventview_open_table() error.\n"), 0);
    EXPECT_EQ(v.koev.dbname, nullptr);
}

TEST(EventViewBinding, ConstructorBindsFromParameterFileAndResetReopens) {
    EventDb d;
    d.origin(10, -1, T0);
    Pf *pf = nullptr;
    ASSERT_EQ(pfread_string(("dbname " + d.name + "\n").c_str(), &pf), 0);
    KOEventView v(pf);
    pffree(pf);
    ASSERT_NE(v.koev.db.database, dbINVALID);
    d.origin(11, -1, T0 + 1);
    EXPECT_EQ(v.reset(), 0);
    EXPECT_EQ(v.koev.origin.nrows, 2);
    Tbl *events = nullptr;
    EXPECT_EQ(v.refreshEvents(&events), 0);
    EXPECT_EQ(maxtbl(events), 2);
    v.freeEvents(events);

    // the files gone: reset fails and leaves the view unbound with no name
    unlink(d.file("origin").c_str());
    EXPECT_EQ(v.reset(), -1);
    EXPECT_TRUE(has_message("KOEventView::reset: database " + d.name + " does not exist"));
    EXPECT_TRUE(has_message("KOEventView::reset: " + d.name + ": eventview_open_table() error.\n"));
    EXPECT_EQ(v.koev.dbname, nullptr);
    EXPECT_EQ(v.koev.db.database, dbINVALID);
    EXPECT_EQ(v.refreshEvents(&events), -1);
}

// ---------------------------------------------------------------- events and origins

TEST(EventViewEvents, EmptyAndOriginOnlyDatabases) {
    EventDb d;
    ASSERT_TRUE(rzvtest::write_file(d.file("event"), ""));
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    ASSERT_NE(events, nullptr);
    EXPECT_EQ(maxtbl(events), 0);

    d.origin(21, -1, T0, 1, 2, 33);
    d.origin(22, -1, T0 + 60);
    d.origerr(22);
    ASSERT_EQ(v.refreshEvents(&events), 0);  // frees the earlier list
    ASSERT_EQ(maxtbl(events), 2);
    for (long i = 0; i < 2; i++) {
        KOEVEvent *e = at<KOEVEvent>(events, i);
        EXPECT_EQ(e->evid, -1);
        EXPECT_TRUE(invalid(e->dbevent));
        ASSERT_EQ(maxtbl(e->origins), 1);
        EXPECT_EQ(e->pref_origin, at<KOEVOrigin>(e->origins, 0));
        EXPECT_EQ(e->pref_origin->orid, 21 + i);
        EXPECT_EQ(e->lddate_view, 0);
    }
    KOEVOrigin *o = at<KOEVEvent>(events, 0)->pref_origin;
    EXPECT_DOUBLE_EQ(o->depth, 33);
    EXPECT_DOUBLE_EQ(o->lat, 1);
    EXPECT_EQ(o->ndef, 7);
    EXPECT_TRUE(invalid(o->dborigerr));
    EXPECT_FALSE(invalid(at<KOEVEvent>(events, 1)->pref_origin->dborigerr));
    long ev = -1, orig = -1;
    v.numbers(&ev, &orig, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(ev, 0);
    EXPECT_EQ(orig, 2);
    v.freeEvents(events);
}

TEST(EventViewEvents, EventsOriginsMagnitudesAndMoments) {
    EventDb d;
    d.event(1, 12, T0 + 5);
    d.event(2, 99, T0 + 6);  // prefor names none of its origins
    d.event(3, 30, T0 + 7);  // no origins at all
    d.event(4, 40, T0 + 8);
    long o11 = d.origin(11, 1, T0, 0, 0, 10, T0 + 100);
    d.origin(12, 1, T0 + 1, 0, 0, 10, T0 + 300);
    d.origin(13, 1, T0 + 2, 0, 0, 10, T0 + 200);
    d.origin(21, 2, T0 + 10);
    d.origin(22, 2, T0 + 11);
    d.origin(40, 4, T0 + 20);
    d.origin_mags(o11, 4.5, 7, 5.1, 8, -999.0, -1);  // mb 4.5 (magid 7 has no netmag row), ms 5.1 has
    d.origerr(11);
    d.origerr(12);
    d.origerr(12);  // two rows: no origin error
    d.netmag(8, 11, "ms", 5.1);
    d.netmag(9, 11, "mw", 5.3);
    d.mt(100, 11, T0 + 50);
    d.mt(101, 11, T0 + 50);  // same load date: the first wins
    d.mt(102, 12, T0 + 10);
    d.mt(103, 13, T0 + 80);

    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    Printed printed;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    EXPECT_NE(printed.text().find("KOEventView::refreshEvents: Cannot find preferred origin 99 for evid 2 - "
                                  "assigning 22\n"),
              std::string::npos);
    ASSERT_EQ(maxtbl(events), 4);

    KOEVEvent *e1 = at<KOEVEvent>(events, 0);
    EXPECT_EQ(e1->evid, 1);
    EXPECT_EQ(e1->order, 0);
    EXPECT_DOUBLE_EQ(e1->lddate, T0 + 5);
    EXPECT_DOUBLE_EQ(e1->lddate_view, T0 + 300);
    ASSERT_EQ(maxtbl(e1->origins), 3);
    EXPECT_EQ(e1->pref_origin->orid, 12);
    ASSERT_NE(e1->pref_moment, nullptr);
    EXPECT_EQ(e1->pref_moment->mtid, 103);
    EXPECT_EQ(e1->pref_magnitude, nullptr);

    KOEVOrigin *o11r = at<KOEVOrigin>(e1->origins, 0);
    EXPECT_EQ(o11r->orid, 11);
    EXPECT_FALSE(invalid(o11r->dborigerr));
    EXPECT_TRUE(invalid(at<KOEVOrigin>(e1->origins, 1)->dborigerr));
    ASSERT_EQ(maxtbl(o11r->magnitudes), 3);  // ms and mw rows, then the origin's own mb
    KOEVMagnitude *m = at<KOEVMagnitude>(o11r->magnitudes, 2);
    EXPECT_EQ(m->magid, 7);
    EXPECT_STREQ(m->magtype, "mb");
    EXPECT_DOUBLE_EQ(m->magnitude, 4.5);
    EXPECT_TRUE(invalid(m->dbnetmag));
    EXPECT_STREQ(at<KOEVMagnitude>(o11r->magnitudes, 1)->magtype, "mw");
    ASSERT_EQ(maxtbl(o11r->moments), 2);
    EXPECT_EQ(o11r->pref_moment->mtid, 100);
    EXPECT_EQ(at<KOEVOrigin>(e1->origins, 1)->magnitudes, nullptr);  // no netmag rows, mb null
    EXPECT_EQ(o11r->associations, nullptr);
    EXPECT_EQ(o11r->stations, nullptr);

    KOEVEvent *e2 = at<KOEVEvent>(events, 1);
    EXPECT_EQ(e2->pref_origin->orid, 22);
    EXPECT_EQ(e2->pref_origin, at<KOEVOrigin>(e2->origins, 1));
    KOEVEvent *e3 = at<KOEVEvent>(events, 2);  // zeroed
    EXPECT_EQ(e3->evid, 0);
    EXPECT_EQ(e3->origins, nullptr);
    EXPECT_EQ(at<KOEVEvent>(events, 3)->evid, 4);
    EXPECT_EQ(at<KOEVEvent>(events, 3)->order, 3);

    // refreshOrigin on a row number fills one origin the same way
    KOEVOrigin one;
    ASSERT_EQ(v.refreshOrigin(o11, &one), 0);
    EXPECT_EQ(one.orid, 11);
    EXPECT_EQ(maxtbl(one.magnitudes), 3);
    v.freeMagnitudes(one.magnitudes);
    v.freeMoments(one.moments);

    // the zeroed record passes through sorting and freeing
    EXPECT_EQ(v.sortEvents(events, 2), 0);
    EXPECT_EQ(at<KOEVEvent>(events, 0)->evid, 0);
    EXPECT_EQ(at<KOEVEvent>(events, 3)->evid, 1);
    v.freeEvents(events);
}

TEST(EventViewEvents, OriginWithANullIdKeepsItsOwnMagnitudes) {
    EventDb d;
    long r = d.origin(-1, -1, T0);
    d.origin_mags(r, 4.5, 7, -999.0, -1, 3.2, -1);
    d.netmag(7, -1, "mb", 9.9);  // a netmag row with a null orid belongs to no origin
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    ASSERT_EQ(maxtbl(events), 1);
    KOEVOrigin *o = at<KOEVEvent>(events, 0)->pref_origin;
    EXPECT_EQ(o->orid, -1);
    ASSERT_EQ(maxtbl(o->magnitudes), 2);
    KOEVMagnitude *mb = at<KOEVMagnitude>(o->magnitudes, 0), *ml = at<KOEVMagnitude>(o->magnitudes, 1);
    EXPECT_STREQ(mb->magtype, "mb");
    EXPECT_EQ(mb->magid, 7);
    EXPECT_DOUBLE_EQ(mb->magnitude, 4.5);
    EXPECT_TRUE(invalid(mb->dbnetmag));
    EXPECT_STREQ(ml->magtype, "ml");
    EXPECT_DOUBLE_EQ(ml->magnitude, 3.2);
    EXPECT_EQ(o->moments, nullptr);
    EXPECT_TRUE(invalid(o->dborigerr));
    v.freeEvents(events);
}

TEST(EventViewEvents, SortByLoadDates) {
    EventDb d;
    double dates[] = {T0 + 10 * 365 * 86400.0, T0 - 20 * 365 * 86400.0, T0, T0 + 0.0004};
    for (long i = 0; i < 4; i++) {
        d.event(i + 1, 100 + i, dates[i]);
        d.origin(100 + i, i + 1, T0, 0, 0, 10, dates[3 - i]);
    }
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    v.sortEvents(events, 1);
    long want[] = {2, 3, 4, 1};  // 3 and 4 are less than a millisecond apart: kept in order
    for (int i = 0; i < 4; i++) EXPECT_EQ(at<KOEVEvent>(events, i)->evid, want[i]);
    v.sortEvents(events, 2);
    long want2[] = {3, 2, 1, 4};  // by the origins' load dates; 2 and 1 less than a millisecond apart
    for (int i = 0; i < 4; i++) EXPECT_EQ(at<KOEVEvent>(events, i)->evid, want2[i]) << i;
    v.freeEvents(events);
}

TEST(EventViewEvents, StationMagnitudesAndWaveformMeasurements) {
    EventDb d;
    d.event(1, 11);
    long o = d.origin(11, 1, T0);
    d.origin_mags(o, 4.0, 50);
    d.netmag(5, 11, "ml", 3.9);
    d.stamag(5, "AAA", 201, 3.8);
    d.stamag(5, "BBB", 202, 4.0);
    d.stamag(5, "CCC", -1, 4.1);  // no arrival: linked to no measurement
    d.stamag(6, "AAA", 201, 9.9);
    d.wfmeas("AAA", 201, T0);
    d.wfmeas("BBB", 202, T0);
    d.wfmeas("BBB", 202, T0 + 20);  // two measurements: none chosen
    d.wfmeas("ZZZ", -1, T0);
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    KOEVOrigin *org = at<KOEVEvent>(events, 0)->pref_origin;
    ASSERT_EQ(maxtbl(org->magnitudes), 2);
    KOEVMagnitude *ml = at<KOEVMagnitude>(org->magnitudes, 0);
    ASSERT_EQ(v.refreshStamags(ml), 0);
    ASSERT_EQ(maxtbl(ml->stamags), 3);
    KOEVStamag *s0 = at<KOEVStamag>(ml->stamags, 0);
    EXPECT_EQ(s0->magid, 5);
    EXPECT_DOUBLE_EQ(s0->magnitude, 3.8);
    EXPECT_FALSE(invalid(s0->dbwfmeas));
    EXPECT_EQ(s0->dbwfmeas.record, 0);
    EXPECT_TRUE(invalid(at<KOEVStamag>(ml->stamags, 1)->dbwfmeas));
    EXPECT_TRUE(invalid(at<KOEVStamag>(ml->stamags, 2)->dbwfmeas));
    ASSERT_EQ(v.refreshStamags(ml), 0);  // again: the old list is replaced
    EXPECT_EQ(maxtbl(ml->stamags), 3);
    KOEVMagnitude *mb = at<KOEVMagnitude>(org->magnitudes, 1);
    EXPECT_EQ(v.refreshStamags(mb), 0);  // from the origin row: no station magnitudes
    EXPECT_EQ(mb->stamags, nullptr);
    v.freeEvents(events);
}

// ---------------------------------------------------------------- associations and stations

TEST(EventViewAssociations, StationsDefiningAndSiblingOrigins) {
    EventDb d;
    d.event(1, 11);
    d.origin(11, 1, T0, 0, 0, 10);
    d.origin(12, 1, T0 + 2, 0, 1, 20);
    d.site("A", 0, 10);
    d.site("B", 10, 0);
    d.site("C", 0, -30);
    d.site("C", 0, -31, 2012001, -1);  // a later epoch, not valid in 2010
    d.arrival(1, "A", T0 + 150);
    d.arrival(2, "B", T0 + 150);
    d.arrival(3, "B", T0 + 150);
    d.arrival(4, "C", T0 + 400);
    d.assoc(1, 11, "A", "d");
    d.assoc(2, 11, "B", "n");
    d.assoc(3, 12, "B", "d");
    d.assoc(4, 12, "C", "d");
    d.assoc(9, 12, "X", "d");  // its arrival is missing
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    KOEVEvent *e = at<KOEVEvent>(events, 0);
    KOEVOrigin *first = at<KOEVOrigin>(e->origins, 0), *second = at<KOEVOrigin>(e->origins, 1);

    ASSERT_EQ(v.refreshAssociations(first), 0);
    ASSERT_EQ(maxtbl(first->associations), 2);
    KOEVAssociation *a = at<KOEVAssociation>(first->associations, 0);
    EXPECT_EQ(a->arid, 1);
    EXPECT_EQ(a->defining, 0);
    ASSERT_NE(a->station, nullptr);
    EXPECT_STREQ(a->station->sta, "A");
    EXPECT_EQ(a->station->origin, first);
    EXPECT_NEAR(a->station->distance, 10.0, 1e-9);
    EXPECT_NEAR(a->station->predicted_P_time, T0 + evdb::travel(v.koev.db, "ptime", a->station->distance, 10), 1e-6);
    EXPECT_NEAR(a->station->predicted_S_time, T0 + evdb::travel(v.koev.db, "stime", a->station->distance, 10), 1e-6);
    EXPECT_DOUBLE_EQ(a->station->elev, 0.25);
    EXPECT_EQ(at<KOEVAssociation>(first->associations, 1)->defining, 1);

    ASSERT_EQ(v.refreshAssociations(e), 0);
    auto stations = [](KOEVOrigin *o) {
        std::string s;
        for (long i = 0; i < maxtbl(o->associations); i++) {
            KOEVAssociation *x = at<KOEVAssociation>(o->associations, i);
            s += (x->station ? x->station->sta : "-") + std::to_string(x->defining) + " ";
        }
        return s;
    };
    EXPECT_EQ(stations(first), "A0 B1 C2 ");
    EXPECT_EQ(stations(second), "B0 C0 -0 A2 ");
    KOEVAssociation *c2 = at<KOEVAssociation>(first->associations, 2);
    EXPECT_EQ(c2->station->origin, second);  // the sibling's station record
    KOEVAssociation *x = at<KOEVAssociation>(second->associations, 2);
    EXPECT_EQ(x->arid, 9);
    EXPECT_TRUE(invalid(x->dbarrival));
    EXPECT_EQ(cntarr(second->stations), 2);

    // a station is computed once per origin, when first asked for
    KOEVOriginStation *s1 = nullptr, *s2 = nullptr;
    ASSERT_EQ(v.lookupStation(first, (char *)"A", T0 + 5 * 365 * 86400.0, &s1), 0);
    EXPECT_EQ(s1, at<KOEVAssociation>(first->associations, 0)->station);  // lists were made again
    ASSERT_EQ(v.lookupStation(first, (char *)"Q", T0, &s2), 0);
    EXPECT_EQ(s2, nullptr);
    v.freeEvents(events);
}

TEST(EventViewAssociations, StationsWithSeveralEpochsOrNoPredictions) {
    EventDb d;
    d.event(1, 11);
    d.origin(11, 1, T0, 0, 0, -999.0);  // no depth: no predicted times
    d.site("DUP", 0, 5, 2009001, -1);
    d.site("DUP", 0, 6, 2009200, 2011001);  // both valid in 2010
    d.site("FAR", 0, 179.95);
    d.arrival(1, "DUP", T0 + 60);
    d.arrival(2, "FAR", T0 + 60);
    d.assoc(1, 11, "DUP");
    d.assoc(2, 11, "FAR");
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    KOEVOrigin *o = at<KOEVEvent>(events, 0)->pref_origin;
    ASSERT_EQ(v.refreshAssociations(o), 0);
    ASSERT_EQ(maxtbl(o->associations), 2);
    EXPECT_EQ(at<KOEVAssociation>(o->associations, 0)->station, nullptr);
    KOEVOriginStation *far = at<KOEVAssociation>(o->associations, 1)->station;
    ASSERT_NE(far, nullptr);
    EXPECT_NEAR(far->distance, 179.95, 1e-9);
    EXPECT_EQ(far->predicted_P_time, 0);
    EXPECT_EQ(far->predicted_S_time, 0);
    EXPECT_EQ(elog_count(), 0);
    v.freeEvents(events);
}

// ---------------------------------------------------------------- detections

TEST(EventViewDetections, BestPerStationAroundAnOrigin) {
    EventDb d;
    d.origin(11, -1, T0, 0, 0, 10);
    d.site("X", 0, 20);
    d.site("Y", 0, 40);
    double p = evdb::travel(d.db, "ptime", 20.0, 10);
    d.detection("X", "BHZ", T0 + p - 3, "P");
    d.detection("X", "BHZ", T0 + p + 1, "P");
    d.detection("X", "BHZ", T0 + p - 1, "Pn");
    d.detection("X", "BHZ", T0 + p, "ON");
    d.detection("Y", "HHZ", T0 - 9, "S");
    d.detection("Y", "HHZ", T0 + 1801, "P");   // after the window
    d.detection("Y", "HHZ", T0 - 11, "P");     // before it
    d.detection("Z", "BHZ", T0 + 100, "off");
    d.detection("Z", "BHZ", T0 + 101, "Lg");    // no site row
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    KOEVOrigin *o = at<KOEVEvent>(events, 0)->pref_origin;

    ASSERT_EQ(v.refreshDetections(o, 0), 0);
    ASSERT_EQ(maxtbl(o->detections), 3);
    KOEVDetection *x = at<KOEVDetection>(o->detections, 0);
    EXPECT_STREQ(x->station.sta, "X");
    EXPECT_STREQ(x->station.chan, "BHZ");
    EXPECT_STREQ(x->phase, "P");
    EXPECT_NEAR(x->residual, 1.0, 1e-4);  // the first of the two with |residual| 1
    EXPECT_NEAR(x->station.distance, 20.0, 1e-9);
    EXPECT_NEAR(x->station.predicted_P_time, T0 + p, 1e-6);
    EXPECT_FALSE(invalid(x->station.dbsite));
    KOEVDetection *y = at<KOEVDetection>(o->detections, 1);
    EXPECT_STREQ(y->phase, "S");
    EXPECT_NEAR(y->time, T0 - 9, 1e-6);
    KOEVDetection *z = at<KOEVDetection>(o->detections, 2);
    EXPECT_STREQ(z->station.sta, "Z");
    EXPECT_EQ(z->station.predicted_P_time, 0);
    EXPECT_NEAR(z->residual, T0 + 101, 1e-4);

    ASSERT_EQ(v.refreshDetections(o, 1), 0);
    ASSERT_EQ(maxtbl(o->detections), 7);  // one position per row in the window
    int zeroed = 0, kept = 0;
    for (long i = 0; i < maxtbl(o->detections); i++) {
        KOEVDetection *t = at<KOEVDetection>(o->detections, i);
        if (t->time == 0) {
            zeroed++;
            EXPECT_STREQ(t->phase, "");
        } else {
            kept++;
            EXPECT_EQ(t->residual, 0);
        }
    }
    EXPECT_EQ(zeroed, 2);
    EXPECT_EQ(kept, 5);
    v.freeEvents(events);
}

TEST(EventViewDetections, TimeWindow) {
    EventDb d;
    d.site("X", 0, 20);
    for (double t : {99.0, 100.0, 130.0, 160.0, 161.0}) d.detection("X", "BHZ", T0 + t, "P");
    d.detection("X", "BHZ", T0 + 131, "OFF");
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *dets = nullptr;
    ASSERT_EQ(v.refreshDetections(&dets, T0 + 100, T0 + 160), 0);
    ASSERT_EQ(maxtbl(dets), 3);
    EXPECT_STREQ((char *)gettbl(v.koev.kpat_detection_match, 0), "time::time+60.000000");
    for (long i = 0; i < 3; i++) {
        KOEVDetection *x = at<KOEVDetection>(dets, i);
        EXPECT_GE(x->time, T0 + 100);
        EXPECT_LE(x->time, T0 + 160);
        EXPECT_STREQ(x->station.sta, "X");
        EXPECT_STREQ(x->station.chan, "BHZ");
        EXPECT_DOUBLE_EQ(x->station.lat, 0);
        EXPECT_DOUBLE_EQ(x->station.lon, 20);
        EXPECT_EQ(x->station.distance, 0);
    }
    ASSERT_EQ(v.refreshDetections(&dets, T0 + 500, T0 + 600), 0);
    ASSERT_NE(dets, nullptr);
    EXPECT_EQ(maxtbl(dets), 0);
    v.freeDetections(dets);
}

// ---------------------------------------------------------------- bad input

TEST(EventViewBadInput, TextInNumericFieldsFailsTheRefresh) {
    EventDb d;
    d.event(1, 11);
    d.event(2, 21);
    d.origin(11, 1, T0);
    d.netmag(3, 11, "ml", 2.0);
    d.origin(21, 2, T0 + 5);
    d.netmag(4, 21, "ml", 2.5);
    // the second netmag row gets letters in its magnitude
    std::string text = rzvtest::read_file(d.file("netmag"));
    size_t second = text.find('\n') + 1;
    text.replace(second + 52, 7, "   abc ");
    ASSERT_TRUE(rzvtest::write_file(d.file("netmag"), text));
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    EXPECT_EQ(v.refreshEvents(&events), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshOrigin: dbgetv(" + d.name + ") error.\n"));
    EXPECT_TRUE(has_message("KOEventView::refreshEvents: refreshOrigin() error.\n"));
    ASSERT_NE(events, nullptr);  // what was built stays with the caller
    EXPECT_EQ(maxtbl(events), 2);
    EXPECT_EQ(maxtbl(at<KOEVEvent>(events, 0)->pref_origin->magnitudes), 1);
    // the view stays usable
    elog_clear_register(0);
    Tbl *dets = nullptr;
    EXPECT_EQ(v.refreshDetections(&dets, T0, T0 + 10), 0);
    v.freeDetections(dets);
    v.freeEvents(events);
}

TEST(EventViewBadInput, RowsOfTheWrongWidthAreStillRead) {
    EventDb d;
    d.event(1, 11);
    d.origin(11, 1, T0);
    std::string text = rzvtest::read_file(d.file("event"));
    text.insert(text.size() - 1, "\r");  // a line one character too long
    ASSERT_TRUE(rzvtest::write_file(d.file("event"), text));
    KOEventView v(nullptr);
    Printed printed;
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    ASSERT_EQ(maxtbl(events), 1);
    EXPECT_EQ(at<KOEVEvent>(events, 0)->pref_origin->orid, 11);
    EXPECT_NE(printed.text().find("read through a normalised copy"), std::string::npos);
    v.freeEvents(events);
}

TEST(EventViewBadInput, FilesShortenedBeforeOneRowIsRead) {
    EventDb d;
    d.origin(11, -1, T0, 0, 0, 10);
    d.site("A", 0, 10);
    d.arrival(5, "A", T0 + 150);
    long a0 = d.assoc(5, 11, "A");
    d.netmag(8, 11, "ml", 3.0);
    long s0 = d.stamag(8, "A", 5, 2.9);
    d.wfmeas("A", 5, T0 + 140);
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    KOEVOrigin o;
    ASSERT_EQ(v.refreshOrigin(0, &o), 0);
    KOEVAssociation lone;
    ASSERT_EQ(v.refreshAssociation(nullptr, a0, &lone), 0);  // without an origin: no station
    EXPECT_FALSE(invalid(lone.dbarrival));
    EXPECT_EQ(lone.station, nullptr);
    // another program empties the files in place; the rows the caller names
    // are gone, and reading them must fail rather than touch the old mapping
    for (const char *t : {"assoc", "stamag", "site", "wfmeas", "arrival"})
        ASSERT_EQ(truncate(d.file(t).c_str(), 0), 0) << t;
    elog_clear_register(0);
    KOEVAssociation a;
    EXPECT_EQ(v.refreshAssociation(&o, a0, &a), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshAssociation: dbgetv(" + d.name + ") error.\n"));
    KOEVStamag s;
    EXPECT_EQ(v.refreshStamag(s0, &s), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshStamag: dbgetv(" + d.name + ") error.\n"));
    KOEVOriginStation *st = (KOEVOriginStation *)&o;
    EXPECT_EQ(v.lookupStation(&o, (char *)"A", T0, &st), 0);
    EXPECT_EQ(st, nullptr);
    KOEVDetection det;
    memset(&det, 0, sizeof det);
    det.time = T0 + 140;
    EXPECT_EQ(v.lookupStation(&det, (char *)"A", &o), 0);
    EXPECT_STREQ(det.station.sta, "");
    v.freeStations(o.stations);
    v.freeMagnitudes(o.magnitudes);
}

TEST(EventViewBadInput, RecordsWhoseRowsAShortenedFileNoLongerHolds) {
    EventDb d;
    d.event(1, 11);
    d.origin(11, 1, T0);
    d.netmag(8, 11, "ml", 3.0);
    d.stamag(8, "A", 5, 2.9);
    d.assoc(5, 11, "A");
    d.detection("A", "BHZ", T0 + 5, "P");
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    KOEVEvent *e = at<KOEVEvent>(events, 0);
    KOEVOrigin *o = e->pref_origin;
    KOEVMagnitude *m = at<KOEVMagnitude>(o->magnitudes, 0);
    // the origin and netmag files are emptied in place under the caller's records
    ASSERT_EQ(truncate(d.file("origin").c_str(), 0), 0);
    ASSERT_EQ(truncate(d.file("netmag").c_str(), 0), 0);
    elog_clear_register(0);
    EXPECT_EQ(v.refreshAssociations(o), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshAssociations: dbmatches(" + d.name + ") error.\n"));
    EXPECT_EQ(v.refreshAssociations(e), -1);
    EXPECT_EQ(v.refreshDetections(o, 1), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshDetections: dbmatches(" + d.name + ") error.\n"));
    EXPECT_EQ(v.refreshStamags(m), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshStamags: dbmatches(" + d.name + ") error.\n"));
    // a fresh refresh sees the tables as they are now
    ASSERT_EQ(v.refreshEvents(&events), 0);
    EXPECT_EQ(maxtbl(events), 1);
    EXPECT_EQ(at<KOEVEvent>(events, 0)->origins, nullptr);
    v.freeEvents(events);
}

TEST(EventViewBadInput, NeverWritesTheDatabase) {
    EventDb d;
    d.event(1, 11);
    d.origin(11, 1, T0);
    d.site("A", 0, 1);
    d.detection("A", "BHZ", T0 + 20, "P");
    struct stat before, after;
    ASSERT_EQ(stat(d.file("site").c_str(), &before), 0);
    std::string site = rzvtest::read_file(d.file("site"));
    std::string det = rzvtest::read_file(d.file("detection"));
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr, *dets = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    ASSERT_EQ(v.refreshDetections(at<KOEVEvent>(events, 0)->pref_origin, 0), 0);
    ASSERT_EQ(v.refreshDetections(&dets, T0, T0 + 100), 0);
    EXPECT_EQ(maxtbl(dets), 1);
    ASSERT_EQ(stat(d.file("site").c_str(), &after), 0);
    EXPECT_EQ(rzvtest::read_file(d.file("site")), site);
    EXPECT_EQ(rzvtest::read_file(d.file("detection")), det);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    v.freeDetections(dets);
    v.freeEvents(events);
}

TEST(EventViewBadInput, WindowsThatAreNotNumbers) {
    EventDb d;
    d.detection("X", "BHZ", T0, "P");
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *dets = nullptr;
    EXPECT_EQ(v.refreshDetections(&dets, T0, NAN), -1);
    EXPECT_TRUE(has_message("KOEventView::refreshDetections: dbmatches(" + d.name + ") error.\n"));
    EXPECT_EQ(dets, nullptr);
    EXPECT_EQ(v.refreshDetections(&dets, T0 + 10, T0), 0);  // an end before the start selects nothing
    EXPECT_EQ(maxtbl(dets), 0);
    EXPECT_EQ(v.refreshDetections(&dets, T0 - 1, T0 + 1), 0);
    EXPECT_EQ(maxtbl(dets), 1);
    v.freeDetections(dets);
}

TEST(EventViewRecords, RowNumbersAndTheCurrentRow) {
    EventDb d;
    d.origin(11, -1, T0, 0, 0, 10);
    d.site("A", 0, 10);
    d.arrival(5, "A", T0 + 150);
    long a0 = d.assoc(5, 11, "A", "n");
    d.netmag(8, 11, "ml", 3.0);
    long s0 = d.stamag(8, "A", 5, 2.9);
    d.wfmeas("A", 5, T0 + 140);
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    KOEVOrigin o;
    ASSERT_EQ(v.refreshOrigin(0, &o), 0);
    EXPECT_EQ(o.dborigin.record, 0);
    KOEVAssociation a;
    ASSERT_EQ(v.refreshAssociation(&o, a0, &a), 0);
    EXPECT_EQ(a.arid, 5);
    EXPECT_EQ(a.defining, 1);
    EXPECT_EQ(a.dbassoc.record, a0);
    ASSERT_NE(a.station, nullptr);
    EXPECT_EQ(a.station, (KOEVOriginStation *)getarr(o.stations, "A"));
    KOEVStamag s;
    v.koev.stamag.dbtable.record = s0;  // -1: the row already set
    ASSERT_EQ(v.refreshStamag(-1, &s), 0);
    EXPECT_DOUBLE_EQ(s.magnitude, 2.9);
    EXPECT_EQ(s.dbwfmeas.record, 0);

    // a detection looked up relative to the origin
    KOEVDetection det;
    memset(&det, 0, sizeof det);
    det.time = T0 + 140;
    strcpy(det.station.chan, "HHZ");
    ASSERT_EQ(v.lookupStation(&det, (char *)"A", &o), 0);
    EXPECT_STREQ(det.station.sta, "A");
    EXPECT_STREQ(det.station.chan, "HHZ");
    EXPECT_NEAR(det.station.distance, 10.0, 1e-9);
    EXPECT_NEAR(det.station.predicted_P_time, a.station->predicted_P_time, 1e-9);
    KOEVDetection none = det;
    ASSERT_EQ(v.lookupStation(&none, (char *)"NOSITE", &o), 0);  // left as it was
    EXPECT_STREQ(none.station.sta, "A");
    v.freeStations(o.stations);
    v.freeMagnitudes(o.magnitudes);
}

TEST(EventViewBinding, InitAgainReleasesTheBinding) {
    EventDb d;
    d.origin(11, -1, T0);
    KOEventView v(nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    Tbl *events = nullptr;
    ASSERT_EQ(v.refreshEvents(&events), 0);
    EXPECT_EQ(v.init(), 0);
    EXPECT_EQ(v.koev.dbname, nullptr);
    EXPECT_EQ(v.koev.db.database, dbINVALID);
    EXPECT_EQ(v.koev.hook_event_origin_match, nullptr);
    ASSERT_TRUE(evdb::bind(v, d.name));
    ASSERT_EQ(v.refreshEvents(&events), 0);
    EXPECT_EQ(maxtbl(events), 1);
    v.freeEvents(events);
}
