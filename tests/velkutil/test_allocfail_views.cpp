// Allocation failures in the view and loader families: station-channel
// views and their subsets and trace tables, the event view and its
// refreshes, configurable objects, and the vector loaders of both
// generations with database scatter plots.  Each allocation of an operation
// is made to fail in turn; a failure must come back as the operation's
// failure result with a message, give back what it took (the hook's count
// of live blocks here, LeakSanitizer in the sanitized build) and leave
// nothing registered, and a successful call that absorbed a failure must
// have built its whole result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "allocfail.h"
#include "allocfail_interpose.h"
#include "allocsweep.h"
#include "KOConfigure.h"
#include "KOEventView.h"
#include "db2vector.h"
#include "koscv.h"
#include "kovector.h"
#include "kovector2.h"
#include "pf.h"
#include "rzvtest.h"
#include "test_eventview_db.h"
#include "tr.h"

namespace {

using rzvtest::allocfail_arm;
using rzvtest::allocfail_disarm;

using rzvtest::allocsweep::Seen;
using rzvtest::allocsweep::warm_register;

// One operation under the hook.  run, whole and undo run armed; leftover
// runs disarmed after a failed run.
struct Op {
    std::string name;
    std::function<bool(char *tag)> run;                   // true on success
    std::function<bool(char *tag)> whole = nullptr;        // a success is complete
    std::function<void(char *tag)> undo = nullptr;         // frees a success
    std::function<bool(const char *tag)> leftover = nullptr;  // something stayed registered
    bool throws_on_failure = false;                        // a constructor: throwing is its failure
};

struct Figures {
    long points = 0, fired = 0, clean = 0, absorbed = 0;
};

Figures sweep(const Op &o) {
    warm_register();
    char tag[64];
    bool ok = false, complete = true, threw = false;
    Seen seen;
    long live = 0;
    auto op = [&] {
        elog_clear_register(0);
        tag[0] = '\0';
        threw = false;
        complete = true;
        try {
            ok = o.run(tag);
        } catch (...) {
            ok = false;
            threw = true;
        }
        seen.take();
        if (ok) {
            if (o.whole) complete = o.whole(tag);
            if (o.undo) o.undo(tag);
        }
        elog_clear_register(0);
        live = rzvtest::allocfail_live();
    };
    // The first run sets up what a family keeps for good; the second is the
    // one counted, and its balance is the bound for every other run.
    op();
    EXPECT_TRUE(ok) << o.name << ": the plain run fails: " << seen.first;
    allocfail_arm(0);
    op();
    allocfail_disarm();
    EXPECT_TRUE(ok) << o.name << ": the counted run fails: " << seen.first;
    Figures f;
    f.points = rzvtest::allocfail_count();
    // Frees of blocks taken before the run count too, so a successful run
    // may come out below zero; a failed run must not come out above it or
    // above zero.  (LeakSanitizer checks the blocks themselves.)
    long bound = std::max(live, 0L);
    int shown = 0;
    for (long n = 1; n <= f.points; n++) {
        allocfail_arm(n);
        op();
        allocfail_disarm();
        if (!rzvtest::allocfail_fired()) continue;
        f.fired++;
        std::string why;
        if (live > bound) why += " " + std::to_string(live - bound) + " blocks stayed taken;";
        if (ok) {
            f.absorbed++;
            if (!complete) why += " the call succeeded with an incomplete result;";
        } else {
            if (threw && !o.throws_on_failure) why += " an exception escaped;";
            if (seen.count == 0 && !(threw && o.throws_on_failure)) why += " no message;";
            bool left = o.leftover && o.leftover(tag);
            elog_clear_register(0);
            if (left) why += " an object stayed registered;";
        }
        if (why.empty())
            f.clean++;
        else if (shown++ < 8)
            ADD_FAILURE() << o.name << ": allocation " << n << ":" << why << " (" << seen.first << ")";
    }
    // Nothing half-made blocks the next call.
    op();
    EXPECT_TRUE(ok) << o.name << ": the call after the sweep fails: " << seen.first;
    printf("allocation failures, %-44s %4ld points, %4ld failed, %4ld clean (%ld absorbed)\n", o.name.c_str(),
           f.points, f.fired, f.clean, f.absorbed);
    fflush(stdout);
    return f;
}

void expect_all_clean(const Figures &f) {
    EXPECT_GT(f.points, 0);
    EXPECT_EQ(f.fired, f.points);
    EXPECT_EQ(f.clean, f.fired);
}

long tag_number(const char *prefix, const char *tag) {
    size_t n = strlen(prefix);
    return strncmp(tag, prefix, n) == 0 ? atol(tag + n) : -1;
}

// ------------------------------------------------------------ a small waveform database

// Two stations of three channels with float samples in files, arrivals,
// detections, sites and a calibration row.
struct WaveDb {
    rzvtest::TempDir dir;
    std::string name = dir.file("wave");
    Dbptr db{};

    WaveDb() {
        EXPECT_EQ(dbopen(name.c_str(), "r+", &db), 0);
        const char *stas[] = {"AAA", "BBB"};
        const char *chans[] = {"BHZ", "BHN", "BHE"};
        long wfid = 1;
        for (const char *sta : stas) {
            for (const char *chan : chans) {
                for (int k = 0; k < 2; k++) {
                    std::string file = std::string("w.") + sta + chan + std::to_string(k);
                    std::vector<float> s(40);
                    for (size_t i = 0; i < s.size(); i++) s[i] = (float)(i % 7);
                    s[10] = 1.0e30f;  // one gap sample
                    rzvtest::write_file(dir.file(file), std::string((char *)s.data(), s.size() * 4));
                    double t = 1000.0 + 5.0 * k;
                    dbaddv(table("wfdisc"), nullptr, "sta", sta, "chan", chan, "time", t, "endtime", t + 3.9,
                           "nsamp", 40L, "samprate", 10.0, "calib", k ? 0.0 : 1.5, "calper", 1.0, "datatype", "f4",
                           "segtype", "V", "dir", ".", "dfile", file.c_str(), "foff", 0L, "wfid", wfid++,
                           (char *)nullptr);
                }
            }
            dbaddv(table("arrival"), nullptr, "sta", sta, "chan", "BHZ", "time", 1001.0, "arid", wfid++, "iphase",
                   "P", (char *)nullptr);
            dbaddv(table("detection"), nullptr, "srcid", "d", "sta", sta, "chan", "BHZ", "time", 1002.0, "state",
                   "P", (char *)nullptr);
            dbaddv(table("site"), nullptr, "sta", sta, "ondate", 1960001L, "lat", 10.0, "lon", 20.0, "elev", 0.1,
                   (char *)nullptr);
            dbaddv(table("calibration"), nullptr, "sta", sta, "chan", "BHZ", "time", 0.0, "endtime", 9e9, "calib",
                   2.5, "calper", 1.0, "segtype", "V", (char *)nullptr);
        }
    }
    ~WaveDb() { dbclose(db); }
    Dbptr table(const char *t) const { return dblookup(db, nullptr, t, nullptr, nullptr); }
};

// The record number of entry i of a row list.
long as_record_of(Tbl *rows, long i) { return (long)(intptr_t)gettbl(rows, i); }

// Whether a view is registered under tag; the messages already in the
// register (a failed call's) stay there.
bool koscv_registered(const char *tag) {
    int mark = elog_mark();
    KOSCV *scv = koscv_get((char *)tag);
    elog_flush(0, mark);
    return scv != nullptr;
}

// koscv_create as a caller uses it: a view left registered by a failed
// cache build is the caller's to destroy (its tag is in the handle).
Op koscv_create_op(const std::string &name, std::vector<std::string> args, long *last_tag, long *built_then_failed) {
    Op o;
    o.name = name;
    // The words are made here: the run itself allocates only in the family.
    auto words = std::make_shared<std::vector<std::string>>(std::move(args));
    auto argv = std::make_shared<std::vector<char *>>();
    for (auto &w : *words) argv->push_back(&w[0]);
    o.run = [words, argv, built_then_failed](char *tag) {
        int rc = koscv_create((int)argv->size(), argv->data(), tag);
        if (rc < 0 && tag[0]) {
            (*built_then_failed)++;
            EXPECT_TRUE(koscv_registered(tag));
            EXPECT_EQ(koscv_destroy(tag), 0);
            tag[0] = '\0';
        }
        return rc == 0;
    };
    o.whole = [last_tag](char *tag) {
        *last_tag = std::max(*last_tag, tag_number("koscv", tag));
        KOSCV *scv = koscv_get(tag);
        return scv && scv->stachans_tbl && maxtbl(scv->stachans_tbl) == 6;
    };
    o.undo = [](char *tag) { koscv_destroy(tag); };
    o.leftover = [last_tag](const char *) {
        bool any = false;
        for (long k = *last_tag + 1; k <= *last_tag + 4; k++) {
            char t[32];
            snprintf(t, sizeof t, "koscv%ld", k);
            if (koscv_registered(t)) any = true;
        }
        return any;
    };
    return o;
}

}  // namespace

// ------------------------------------------------------------ station-channel views

TEST(AllocFailViews, StationChannelViews) {
    WaveDb w;
    long last_tag = 0, built_then_failed = 0;
    expect_all_clean(sweep(koscv_create_op("koscv_create (1 worker)", {w.name}, &last_tag, &built_then_failed)));
    long one = built_then_failed;
    expect_all_clean(sweep(koscv_create_op("koscv_create (2 workers)", {"-nthreads", "2", w.name}, &last_tag,
                                           &built_then_failed)));
    expect_all_clean(sweep(koscv_create_op("koscv_create (filters, window)",
                                           {"-tstart", "900", "-tend", "2000", "-stachan_accept", "AAA:.*,BBB:BH.",
                                            "-stachan_reject", "CCC:.*", w.name},
                                           &last_tag, &built_then_failed)));
    printf("koscv_create: %ld failures after registration (1 worker), %ld in all, destroyed by the caller\n", one,
           built_then_failed);

    char h[64];
    std::string dbname = w.name;
    char *argv[] = {&dbname[0]};
    ASSERT_EQ(koscv_create(1, argv, h), 0) << rzvtest::all_messages();

    // Rebuilding: a failure leaves the view with the cache it had.
    Op rebuild;
    rebuild.name = "koscv_create_cache";
    rebuild.run = [&](char *) {
        bool ok = koscv_create_cache(h) == 0;
        if (!ok && maxtbl(koscv_get(h)->stachans_tbl) != 6) ADD_FAILURE() << "a failed rebuild lost the cache";
        return ok;
    };
    rebuild.whole = [&](char *) { return maxtbl(koscv_get(h)->stachans_tbl) == 6; };
    expect_all_clean(sweep(rebuild));
    ASSERT_EQ(koscv_create_cache(h), 0);

    KOSCVStaChan *sc = nullptr;
    Op subset;
    subset.name = "koscv_subset";
    subset.run = [&](char *) {
        sc = nullptr;
        int rc = koscv_subset(h, (char *)"AAA BHZ", 0, 2000, 1, 1, 1, &sc);
        if (rc < 0) koscv_free_stachan(sc);  // whatever the failed call left
        return rc == 0;
    };
    subset.whole = [&](char *) {
        return sc && maxtbl(sc->wfdiscrows) == 2 && maxtbl(sc->arrivalrows) == 1 && maxtbl(sc->detectionrows) == 1;
    };
    subset.undo = [&](char *) { koscv_free_stachan(sc); };
    expect_all_clean(sweep(subset));

    sc = nullptr;
    ASSERT_EQ(koscv_subset(h, (char *)"AAA BHZ", 0, 2000, 1, 0, 0, &sc), 0);
    KOSCV *scv = koscv_get(h);

    // Station coordinates and calibration, each run matching afresh: the
    // hooks that keep the matching state between calls are dropped after
    // every run, failed or not, as a caller may.
    double lat = 0, lon = 0, elev = 0;
    free_hook(&sc->dbmatches_hook);
    Op where;
    where.name = "koscv_get_latlonelev";
    where.run = [&](char *) {
        lat = lon = 0;
        bool ok = koscv_get_latlonelev(scv, sc, 1000, &lat, &lon, &elev) == 0;
        if (!ok) free_hook(&sc->dbmatches_hook);
        return ok;
    };
    where.whole = [&](char *) { return lat == 10.0 && lon == 20.0; };
    where.undo = [&](char *) { free_hook(&sc->dbmatches_hook); };
    expect_all_clean(sweep(where));

    double rate = 0, calib = 0, calper = 0;
    char seg[8];
    Dbptr uncalibrated = dblookup(w.db, nullptr, "wfdisc", nullptr, nullptr);
    uncalibrated.record = as_record_of(sc->wfdiscrows, 1);
    Hook **calhook = &((KOSCVTable *)getarr(scv->tables, "calibration"))->dbmatches_hook;
    free_hook(calhook);
    Op cal;
    cal.name = "koscv_get_sampratecalib (calib from table)";
    cal.run = [&](char *) {
        calib = 0;
        bool ok = koscv_get_sampratecalib(scv, sc, uncalibrated, 1, &rate, &calib, &calper, seg) == 0;
        if (!ok) free_hook(calhook);
        return ok;
    };
    cal.whole = [&](char *) { return rate == 10.0 && calib == 2.5; };
    cal.undo = [&](char *) { free_hook(calhook); };
    expect_all_clean(sweep(cal));
    for (int flags : {0, 1, 2}) {
        for (int calib_from_db : {0, 1}) {
            Tbl *traces = nullptr;
            Op t;
            t.name = "koscv_trace_get_table (flags " + std::to_string(flags) + ", calib " +
                     std::to_string(calib_from_db) + ")";
            t.run = [&](char *) {
                traces = nullptr;
                int rc = koscv_trace_get_table(scv, sc, 0, 0, flags, calib_from_db, &traces);
                if (rc < 0) koscv_trace_free_table(traces);  // the traces built so far
                return rc == 0;
            };
            t.whole = [&](char *) {
                if (maxtbl(traces) != 2) return false;
                for (long i = 0; i < 2; i++) {
                    auto *tr = (KOSCVTrace *)gettbl(traces, i);
                    if (flags == 2 && (!tr->data || maxtbl(tr->segments) != 4)) return false;
                    if (calib_from_db && i == 1 && tr->calib != 2.5) return false;
                }
                return true;
            };
            t.undo = [&](char *) { koscv_trace_free_table(traces); };
            expect_all_clean(sweep(t));
        }
    }
    koscv_free_stachan(sc);
    EXPECT_EQ(koscv_destroy(h), 0);
}

// ------------------------------------------------------------ event views

namespace {

// Two events, three origins with errors, magnitudes, moments, arrivals,
// associations, sites and detections.
struct EventFixture {
    evdb::EventDb e;
    EventFixture() {
        const double T = evdb::T0;
        e.event(1, 11);
        e.event(2, 21);
        e.origin(11, 1, T, 10, 20, 15);
        e.origin(12, 1, T + 1, 10.2, 20.1, 12);
        e.origin(21, 2, T + 500, -5, 100, 33);
        e.origerr(11);
        e.origerr(21);
        e.origin_mags(0, 5.1, 101);
        e.netmag(102, 11, "ml", 4.9);
        e.netmag(103, 21, "mb", 5.5);
        e.mt(1, 11, T + 10);
        e.mt(2, 11, T + 20);
        const char *stas[] = {"S1", "S2", "S3"};
        for (int i = 0; i < 3; i++) {
            e.site(stas[i], 11 + i, 22 + i);
            e.arrival(200 + i, stas[i], T + 30 + 10 * i);
            e.assoc(200 + i, i == 2 ? 12 : 11, stas[i], i == 1 ? "n" : "d");
            e.stamag(102, stas[i], 200 + i, 4.8);
            e.wfmeas(stas[i], 200 + i, T + 30 + 10 * i);
            e.detection(stas[i], "BHZ", T + 31 + 10 * i, "P");
            e.detection(stas[i], "BHZ", T + 60 + 10 * i, "ON");
        }
        e.arrival(210, "S1", T + 530);
        e.assoc(210, 21, "S1");
    }
};

}  // namespace

TEST(AllocFailViews, EventViews) {
    EventFixture fx;
    std::string dbline = "dbname " + fx.e.name + "\n";
    Pf *pf = nullptr;
    ASSERT_EQ(pfread_string(dbline.c_str(), &pf), 0);

    KOEventView *made = nullptr;
    Op ctor;
    ctor.name = "KOEventView::KOEventView (bound)";
    ctor.throws_on_failure = true;
    ctor.run = [&](char *) {
        made = nullptr;
        made = new KOEventView(pf);
        return true;
    };
    ctor.whole = [&](char *) { return made->koev.db.database != dbINVALID && made->koev.dbname; };
    ctor.undo = [&](char *) { delete made; };
    // A constructor that fails prints the register: keep that out of the test's output.
    FILE *quiet = fopen("/dev/null", "w");
    if (quiet) setvbuf(quiet, nullptr, _IONBF, 0);  // no buffer taken while the sweep counts
    elog_set_stream(quiet);
    expect_all_clean(sweep(ctor));
    elog_set_stream(nullptr);
    if (quiet) fclose(quiet);

    KOEventView v(pf);
    ASSERT_NE(v.koev.db.database, dbINVALID);

    Op init;
    init.name = "KOEventView::init + bind";
    init.run = [&](char *) {
        if (v.init() < 0) return false;
        return evdb::bind(v, fx.e.name);
    };
    init.whole = [&](char *) { return v.koev.db.database != dbINVALID; };
    expect_all_clean(sweep(init));
    ASSERT_EQ(v.init(), 0);
    ASSERT_TRUE(evdb::bind(v, fx.e.name)) << rzvtest::all_messages();

    Tbl *events = nullptr;
    Op refresh;
    refresh.name = "KOEventView::refreshEvents";
    refresh.run = [&](char *) {
        events = nullptr;
        if (v.refreshEvents(&events) < 0) {
            v.freeEvents(events);  // the lists built so far
            return false;
        }
        return true;
    };
    refresh.whole = [&](char *) {
        if (maxtbl(events) != 2) return false;
        auto *ev = (KOEVEvent *)gettbl(events, 0);
        return ev->origins && maxtbl(ev->origins) == 2 && ev->pref_origin && ev->pref_moment &&
               ev->pref_origin->magnitudes && maxtbl(ev->pref_origin->magnitudes) == 2;
    };
    refresh.undo = [&](char *) { v.freeEvents(events); };
    expect_all_clean(sweep(refresh));

    events = nullptr;  // the sweep freed its last list
    ASSERT_EQ(v.refreshEvents(&events), 0) << rzvtest::all_messages();
    auto *ev = (KOEVEvent *)gettbl(events, 0);
    KOEVOrigin *org = (KOEVOrigin *)gettbl(ev->origins, 0);
    ASSERT_EQ(org->orid, 11);

    // Each refresh replaces one list of the origin; the sweep keeps the
    // list of the last run and frees it at the end.  A failed refresh leaves
    // the lists built so far with the caller, who frees them.
    auto drop_associations = [&](KOEVOrigin *o) {
        v.freeAssociations(o->associations);
        v.freeStations(o->stations);
        o->associations = nullptr;
        o->stations = nullptr;
    };
    Op assocs;
    assocs.name = "KOEventView::refreshAssociations (origin)";
    assocs.run = [&](char *) {
        drop_associations(org);
        if (v.refreshAssociations(org) == 0) return true;
        drop_associations(org);
        return false;
    };
    assocs.whole = [&](char *) {
        if (maxtbl(org->associations) != 2) return false;
        auto *a = (KOEVAssociation *)gettbl(org->associations, 0);
        return a->station != nullptr;
    };
    expect_all_clean(sweep(assocs));

    Op evassocs;
    evassocs.name = "KOEventView::refreshAssociations (event)";
    evassocs.run = [&](char *) {
        for (long i = 0; i < maxtbl(ev->origins); i++) drop_associations((KOEVOrigin *)gettbl(ev->origins, i));
        if (v.refreshAssociations(ev) == 0) return true;
        for (long i = 0; i < maxtbl(ev->origins); i++) drop_associations((KOEVOrigin *)gettbl(ev->origins, i));
        return false;
    };
    evassocs.whole = [&](char *) {
        auto *o2 = (KOEVOrigin *)gettbl(ev->origins, 1);
        return maxtbl(org->associations) == 3 && maxtbl(o2->associations) == 3;
    };
    expect_all_clean(sweep(evassocs));

    for (int all : {1, 0}) {
        Op dets;
        dets.name = std::string("KOEventView::refreshDetections (origin, ") + (all ? "all)" : "best)");
        dets.run = [&](char *) {
            v.freeDetections(org->detections);
            org->detections = nullptr;
            if (v.refreshDetections(org, all) == 0) return true;
            v.freeDetections(org->detections);  // the list built so far
            org->detections = nullptr;
            return false;
        };
        dets.whole = [&](char *) {
            long n = 0;
            for (long i = 0; i < maxtbl(org->detections); i++)
                if (((KOEVDetection *)gettbl(org->detections, i))->phase[0]) n++;
            return n == 3;
        };
        expect_all_clean(sweep(dets));
    }

    Tbl *window = nullptr;
    Op wdets;
    wdets.name = "KOEventView::refreshDetections (window)";
    wdets.run = [&](char *) {
        window = nullptr;
        if (v.refreshDetections(&window, evdb::T0, evdb::T0 + 100) < 0) {
            v.freeDetections(window);
            return false;
        }
        return true;
    };
    wdets.whole = [&](char *) { return maxtbl(window) >= 3; };
    wdets.undo = [&](char *) { v.freeDetections(window); };
    expect_all_clean(sweep(wdets));

    Arr *changes = nullptr;
    Op check;
    check.name = "KOEventView::checkChanges";
    check.run = [&](char *) {
        changes = nullptr;
        int rc = v.checkChanges(&changes);
        if (rc < 0) freearr(changes, nullptr);
        return rc == 0;
    };
    check.undo = [&](char *) { freearr(changes, nullptr); };
    expect_all_clean(sweep(check));

    v.freeEvents(events);
    pffree(pf);
}

// ------------------------------------------------------------ configurable objects

namespace {

struct Settings {
    char *name;
    char *owner;
    int count;
    double gain;
    int enabled;
};

KO_ConfigureSpec kSpecs[] = {
    {"string", "name", "station", (int)offsetof(Settings, name), KO_CONFIGURE_NULL_OK, nullptr},
    {"uid", "owner", nullptr, (int)offsetof(Settings, owner), KO_CONFIGURE_NULL_OK, nullptr},
    {"int", "count", "3", (int)offsetof(Settings, count), 0, nullptr},
    {"double", "gain", "1.5", (int)offsetof(Settings, gain), 0, nullptr},
    {"boolean", "enabled", "yes", (int)offsetof(Settings, enabled), 0, nullptr},
    {"end", nullptr, nullptr, 0, 0, nullptr},
};

}  // namespace

TEST(AllocFailViews, ConfigurableObjects) {
    Pf *pf = nullptr;
    ASSERT_EQ(pfread_string("name other\ncount 7\ngain 2.25\nenabled no\nowner me\n", &pf), 0);
    Settings s{};
    KOConfigure *c = nullptr;
    Op all;
    all.name = "KOConfigure (make, specs, pf, pairs)";
    all.throws_on_failure = true;
    all.run = [&](char *) {
        memset(&s, 0, sizeof s);
        c = nullptr;
        c = new KOConfigure();
        bool ok = c->setConfigureSpecs(kSpecs, (char *)&s, "Settings") == 0 && c->configure(pf) == 0 &&
                  c->configure("name", "third", "count", "9", (char *)0) == 0;
        if (!ok) {
            delete c;
            free(s.name);
            free(s.owner);
        }
        return ok;
    };
    all.whole = [&](char *) {
        return s.name && !strcmp(s.name, "third") && s.owner && !strcmp(s.owner, "me") && s.count == 9 &&
               s.gain == 2.25 && s.enabled == 0;
    };
    all.undo = [&](char *) {
        delete c;
        free(s.name);
        free(s.owner);
    };
    expect_all_clean(sweep(all));

    memset(&s, 0, sizeof s);  // the sweep freed the last run's strings
    KOConfigure k;
    ASSERT_EQ(k.setConfigureSpecs(kSpecs, (char *)&s, "Settings"), 0);
    Op defaults;
    defaults.name = "KOConfigure::configurePf (defaults and pf)";
    defaults.run = [&](char *) { return k.configurePf(pf, 1) == 0; };
    defaults.whole = [&](char *) { return s.name && !strcmp(s.name, "other") && s.count == 7; };
    expect_all_clean(sweep(defaults));
    free(s.name);
    free(s.owner);
    pffree(pf);
}

// ------------------------------------------------------------ vector loaders

namespace {

long vectors2() {
    long n = 0;
    kovector2_get_heap_size(nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    elog_clear_register(0);
    return n;
}

long vectors1() {
    long n = 0;
    kovector_get_heap_size(nullptr, nullptr, &n, nullptr);
    elog_clear_register(0);
    return n;
}

// One trace row's text with the engine's trace table layout.
std::string trace_row(const char *sta, double time, double rate, long nsamp) {
    Dbptr tr = trnew(nullptr, nullptr);
    tr.record = dbaddv(tr, nullptr, "net", "XX", "sta", sta, "chan", "BHZ", "time", time, "samprate", rate, "nsamp",
                       nsamp, "endtime", time + (nsamp - 1) / rate, (char *)nullptr);
    char buf[1024];
    dbget(tr, buf);
    trdestroy(&tr);
    return buf;
}

void put_be(std::string &s, int v) {
    unsigned u = (unsigned)v;
    for (int sh = 24; sh >= 0; sh -= 8) s.push_back((char)(u >> sh));
}

std::string blob_record(const char *sta, double time) {
    std::string text = trace_row(sta, time, 20.0, 5);
    std::vector<float> v = {1, 2, 3, 4, 5};
    std::string s;
    put_be(s, (int)text.size());
    put_be(s, (int)v.size());
    s += text;
    s.append((const char *)v.data(), v.size() * sizeof(float));
    return s;
}

// Frees the trace table of a blob load and the vectors its rows name.
template <typename FreeFn>
void free_blob_rows(Dbptr *dbtr, FreeFn free_vector) {
    if (dbtr->database == dbINVALID) return;
    long n = 0;
    dbquery(*dbtr, dbRECORD_COUNT, &n);
    for (long i = 0; i < n; i++) {
        Dbptr r = *dbtr;
        r.record = i;
        char c[100] = "";
        dbgetv(r, nullptr, "comment", c, (char *)nullptr);
        if (c[0]) free_vector(c);
    }
    trdestroy(dbtr);
    *dbtr = dbinvalid();
}

}  // namespace

TEST(AllocFailViews, VectorLoaders) {
    rzvtest::TempDir dir;
    std::string columns = dir.file("cols.txt");
    ASSERT_TRUE(rzvtest::write_file(columns, "# header\nskip me\n1 10 100 a\n2, 20, 200 b\n\n3\t30 300 c\n"
                                             "4 40 400 # comment\n5 50 500 e\n"));
    std::string fap = dir.file("r.fap");
    ASSERT_TRUE(rzvtest::write_file(fap, "theoretical 0 instrument fap\n4\n0.1 1.0 -90\n1 2.0 -45\n10 1.5 0\n"
                                         "20 0.5 10\n"));
    std::string blob = dir.file("b.blob");
    ASSERT_TRUE(rzvtest::write_file(blob, blob_record("AAA", 1000) + blob_record("BBB", 1001)));
    Pf *pf = nullptr;
    ASSERT_EQ(pfread_string("pts [\n1 2 3\n# note\n4 5 6\n7 8 9\n]\n", &pf), 0);
    WaveDb w;

    int ypos[2] = {1, 2};
    auto counted2 = [](Op &o, long *before) {
        *before = vectors2();
        o.undo = [](char *tag) { kovector2_free(tag); };
        o.leftover = [before](const char *) { return vectors2() != *before; };
    };
    // Every run gives its vectors back, so the count before a sweep is the
    // count a failed run must leave.
    long before2 = vectors2();

    Op read2;
    read2.name = "kovector2_read";
    read2.run = [&](char *h) {
        return kovector2_read((char *)columns.c_str(), (char *)"sw", 2, 0, 2, ypos, 3, h) != nullptr;
    };
    read2.whole = [](char *h) {
        KOVector2 *v = kovector2_get_vector(h);
        return v && v->nx == 5;
    };
    counted2(read2, &before2);
    expect_all_clean(sweep(read2));

    int err = 0;
    Op pf2;
    pf2.name = "kovector2_create_from_pf";
    pf2.run = [&](char *h) {
        return kovector2_create_from_pf(pf, (char *)"pts", (char *)"sw", h, &err) != nullptr;
    };
    pf2.whole = [](char *h) {
        KOVector2 *v = kovector2_get_vector(h);
        return v && v->nx == 3;
    };
    counted2(pf2, &before2);
    expect_all_clean(sweep(pf2));

    Op fap2;
    fap2.name = "kovector2_create_response_fap";
    fap2.run = [&](char *h) {
        return kovector2_create_response_fap((char *)fap.c_str(), (char *)"sw", h, &err) != nullptr;
    };
    fap2.whole = [](char *h) {
        KOVector2 *v = kovector2_get_vector(h);
        return v && v->nx == 4;
    };
    counted2(fap2, &before2);
    expect_all_clean(sweep(fap2));

    Dbptr dbtr = dbinvalid();
    Op trblob2;
    trblob2.name = "kovector2_read_from_trblob";
    trblob2.run = [&](char *) {
        dbtr = dbinvalid();
        int rc = kovector2_read_from_trblob((char *)blob.c_str(), (char *)"sw", &dbtr);
        if (rc < 0) free_blob_rows(&dbtr, [](char *c) { kovector2_free(c); });
        return rc == 0;
    };
    trblob2.whole = [&](char *) {
        // Without allocating (this runs armed): each row names a vector.
        long n = 0;
        dbquery(dbtr, dbRECORD_COUNT, &n);
        for (long i = 0; i < n; i++) {
            Dbptr r = dbtr;
            r.record = i;
            char c[100] = "";
            if (dbgetv(r, nullptr, "comment", c, (char *)nullptr) < 0 || !kovector2_get_vector(c)) return false;
        }
        return n == 2;
    };
    trblob2.undo = [&](char *) { free_blob_rows(&dbtr, [](char *c) { kovector2_free(c); }); };
    trblob2.leftover = [&](const char *) { return vectors2() != before2; };
    before2 = vectors2();
    expect_all_clean(sweep(trblob2));

    double calib = 0, calper = 0;
    char segtype[8];
    for (int from_wf : {1, 0}) {
        Op fromdb;
        fromdb.name = std::string("kovector2_create_tsamp_from_db (calib from ") + (from_wf ? "wfdisc)" : "table)");
        fromdb.run = [&, from_wf](char *h) {
            return kovector2_create_tsamp_from_db(w.db, 1000, 1009, (char *)"AAA", (char *)"BHZ", 1, from_wf, &calib,
                                                  &calper, segtype, (char *)"sw", h) != nullptr;
        };
        fromdb.whole = [&, from_wf](char *h) {
            KOVector2 *v = kovector2_get_vector(h);
            return v && v->nx > 80 && calib == (from_wf ? 1.5 : 2.5);
        };
        counted2(fromdb, &before2);
        expect_all_clean(sweep(fromdb));
    }

    // First-generation vectors.
    long before1 = vectors1();
    auto counted1 = [&](Op &o) {
        before1 = vectors1();
        o.undo = [](char *tag) { kovector_free(tag); };
        o.leftover = [&](const char *) { return vectors1() != before1; };
    };
    Op create1;
    create1.name = "kovector_create";
    create1.run = [&](char *h) {
        return kovector_create(5, 3, (char *)"sw", h) != nullptr;
    };
    counted1(create1);
    expect_all_clean(sweep(create1));

    double samples[6] = {1, 2, 3, 4, 5, 6};
    Op tsamp1;
    tsamp1.name = "kovector_create_tsamp";
    tsamp1.run = [&](char *h) {
        return kovector_create_tsamp(6, 100.0, 20.0, samples, (char *)"sw", h) != nullptr;
    };
    counted1(tsamp1);
    expect_all_clean(sweep(tsamp1));

    Op read1;
    read1.name = "kovector_read";
    read1.run = [&](char *h) {
        return kovector_read((char *)columns.c_str(), (char *)"sw", 2, 0, 2, ypos, 3, h) != nullptr;
    };
    read1.whole = [](char *h) {
        KOVector *v = kovector_get_vector(h);
        return v && v->nx == 5;
    };
    counted1(read1);
    expect_all_clean(sweep(read1));

    char src[64];
    ASSERT_NE(kovector_read((char *)columns.c_str(), (char *)"src", 2, 0, 2, ypos, 3, src), nullptr);
    Op copy1;
    copy1.name = "kovector_copy (labels)";
    copy1.run = [&](char *h) {
        return kovector_copy(src, (char *)"sw", h) != nullptr;
    };
    copy1.whole = read1.whole;
    counted1(copy1);
    expect_all_clean(sweep(copy1));
    kovector_free(src);

    Op pf1;
    pf1.name = "kovector_create_from_pf";
    pf1.run = [&](char *h) {
        return kovector_create_from_pf(pf, (char *)"pts", (char *)"sw", h, &err) != nullptr;
    };
    counted1(pf1);
    expect_all_clean(sweep(pf1));

    Op fap1;
    fap1.name = "kovector_create_response_fap";
    fap1.run = [&](char *h) {
        return kovector_create_response_fap((char *)fap.c_str(), (char *)"sw", h, &err) != nullptr;
    };
    counted1(fap1);
    expect_all_clean(sweep(fap1));

    Op trblob1;
    trblob1.name = "kovector_read_from_trblob";
    trblob1.run = [&](char *) {
        dbtr = dbinvalid();
        int rc = kovector_read_from_trblob((char *)blob.c_str(), (char *)"sw", &dbtr);
        if (rc < 0) free_blob_rows(&dbtr, [](char *c) { kovector_free(c); });
        return rc == 0;
    };
    trblob1.undo = [&](char *) { free_blob_rows(&dbtr, [](char *c) { kovector_free(c); }); };
    trblob1.leftover = [&](const char *) { return vectors1() != before1; };
    before1 = vectors1();
    expect_all_clean(sweep(trblob1));

    // Scatter plots of the waveform rows, plain and labelled.
    Dbptr wf = w.table("wfdisc");
    for (bool labelled : {false, true}) {
        Op plot;
        plot.name = std::string("db2vector") + (labelled ? " (labels)" : "");
        plot.run = [&, labelled](char *h) {
            KOVector *v = labelled ? db2vector(wf, (char *)"time", (char *)"nsamp", (char *)"wfid", nullptr,
                                               (char *)"calib", (char *)"chan", 180, 360, 1, 5, (char *)"sw", h)
                                   : db2vector(wf, (char *)"time", (char *)"nsamp", nullptr, nullptr, nullptr, nullptr,
                                               0, 0, 0, 1, (char *)"sw", h);
            if (v && v->nx == 0 && elog_count() > 0) {
                // An expression that could not be compiled or evaluated
                // gives a registered vector without points and a message.
                kovector_free(h);
                h[0] = '\0';
                return false;
            }
            return v != nullptr;
        };
        plot.whole = [labelled](char *h) {
            KOVector *v = kovector_get_vector(h);
            if (!v || v->nx != 12) return false;
            for (int i = 0; labelled && i < v->nx; i++)
                if (!v->point[i].label || !strstr(v->point[i].label, "sy=")) return false;
            return true;
        };
        counted1(plot);
        expect_all_clean(sweep(plot));
    }
    pffree(pf);
}

// Freeing needs no memory: a vector freed while allocations fail is gone
// from the registry too, not left there pointing at released storage.
TEST(AllocFailViews, FreeingWhileMemoryIsOutUnregisters) {
    char h1[64], h2[64];
    ASSERT_NE(kovector_create(3, 1, (char *)"gone", h1), nullptr);
    ASSERT_NE(kovector2_create(3, 1, (char *)"gone", h2), nullptr);
    for (long n = 1; n <= 4; n++) {
        char h[64];
        ASSERT_NE(kovector_create(3, 1, (char *)"gone", h), nullptr);
        allocfail_arm(n);
        kovector_free(h);
        allocfail_disarm();
        EXPECT_EQ(kovector_get_vector(h), nullptr) << "allocation " << n;
        elog_clear_register(0);
    }
    allocfail_arm(1);
    kovector_free(h1);
    kovector2_free(h2);
    allocfail_disarm();
    EXPECT_EQ(kovector_get_vector(h1), nullptr);
    EXPECT_EQ(kovector2_get_vector(h2), nullptr);
    elog_clear_register(0);
}
