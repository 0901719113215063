/*
 * KOEventView.h -- the event view: an in-memory mirror of a database's
 * events, origins, origin errors, associations and arrivals, network and
 * station magnitudes with their waveform measurements, moment tensors, sites
 * and detections, for event displays and monitors.  The view is bound to one
 * database through its "dbname" option, reads it afresh on every refresh (only
 * the matching indexes are kept between calls), never writes to it (it is
 * opened read-only), and can run a monitor thread that looks at the eleven
 * tables' files at a fixed interval and tells a callback which tables changed.
 *
 * Records are handed to the caller by value inside host lists (Tbl, made
 * with inittbl for records of their size) and associative arrays (Arr); the
 * caller owns them and gives them back to the free operations below.
 * Pointers between records (pref_origin, pref_moment, station, origin) point
 * into the lists' storage and stay valid until the lists are freed; sorting
 * an event list moves event records, not what they point to.
 *
 * Every failure registers a message in the calling thread's error register
 * (ko_register_error), beginning with "KOEventView::" and the method's name,
 * and returns -1; the lists built so far stay with the caller and are freed
 * by the free operations like complete ones (everything a failed refresh
 * made is reachable from them).  Memory running out inside the engine is
 * such a failure ("KOEventView::<method>: out of memory.\n", or the step's
 * own message): no exception leaves the refresh, lookup, reset and
 * checkChanges operations or the monitor thread (whose callback's own
 * exceptions are dropped too), and a station's predicted times are never
 * left 0 for lack of memory.
 *
 * Reading real databases: each refresh and lookup first has the engine take
 * in rows that other programs appended to the tables it reads, the tables of
 * the caller's key records included (or read a rewritten or shortened file
 * again), so a view kept open for days sees new rows without a reset, and a
 * row that a shortened file no longer holds fails with a message.  A program
 * that shortens a table's file in place must still not do so while a refresh
 * is reading it.  A null id (-1) in a row identifies nothing: an event,
 * origin, netmag, assoc or stamag row with a null key is matched with no rows
 * (rather than with every row whose key is null too), while an origin keeps
 * the magnitudes of its own row.  An assoc row whose origin is missing is
 * never listed; an arrival whose station has no site row, or several valid on
 * its day, has no station position.
 *
 * Threads: the view is used from one thread at a time, except that its
 * monitor thread runs the change test on the tables' files while the owner
 * works.  The row counts and file times that both sides keep, the binding
 * and the monitor's settings are guarded inside the view; refreshes made from
 * within the callback (on the monitor thread) and from the owner's thread must
 * not overlap, since they share the matching hooks and the database (binding,
 * reset() and init() count as refreshes here).  The callback may call any
 * operation of the view except its destruction.
 */
#ifndef VELKUTIL_KOEVENTVIEW_H
#define VELKUTIL_KOEVENTVIEW_H

#include <pthread.h>

#include "KOConfigure.h"
#include "db.h"

/* The monitor's callback: called as callback(0, clientData, changes) on the
 * monitor thread, changes being the Arr of that look (table name -> change
 * code, see checkChanges), owned by the monitor and valid until its next
 * look.  The result is not used. */
typedef int(KO_EventViewCallbackProc)(int, KO_ClientData, void *);

/* One mirrored table. */
typedef struct koev_table_ {
    char name[32];     /* the table's name */
    Dbptr dbtable;     /* the table; its record member is the current row of the refreshes */
    long nrows;        /* record count when last looked at */
    char fname[512];   /* the file that holds the table */
    double mod_time;   /* that file's modification time when last looked at; 0 with no rows */
} KOEV_Table;

struct koev_origin_;
struct koev_magnitude_;
struct koev_moment_;

/* A station as seen from one origin; allocated one by one and owned by the
 * origin's `stations` array. */
typedef struct koev_origin_station_ {
    struct koev_origin_ *origin;    /* the origin it belongs to */
    char sta[16];
    double lat, lon, elev;          /* degrees, degrees, km (as the site row gives them) */
    double distance;                /* degrees from the origin */
    double predicted_P_time;        /* epoch seconds: origin time + first-arrival P time */
    double predicted_S_time;        /* epoch seconds: origin time + first-arrival S time */
    Dbptr dbsite;                   /* the site row */
} KOEVOriginStation;

/* An association of an arrival with an origin. */
typedef struct koev_association_ {
    long arid;
    /* 0 when the assoc row's timedef begins with the letter d (time-defining),
     * 1 otherwise; 2 for a station that only a sibling origin of the event
     * associates (added by refreshAssociations(KOEVEvent *)). */
    int defining;
    Dbptr dbassoc;                  /* the assoc row */
    Dbptr dbarrival;                /* the arrival row, invalid when there is not exactly one */
    KOEVOriginStation *station;     /* the origin's station record, or null */
} KOEVAssociation;

/* A detection's station and channel, with its position when the site table
 * has exactly one row for the station on the detection's day. */
typedef struct koev_detection_stachan_ {
    char sta[16];
    char chan[16];
    double lat, lon, elev;
    double distance;                /* degrees from the origin, 0 without one */
    double predicted_P_time;        /* epoch seconds, 0 without an origin */
    double predicted_S_time;
    Dbptr dbsite;
} KOEVDetectionStachan;

/* A detection labelled with a phase name. */
typedef struct koev_detection_ {
    double time;
    double residual;                /* time - predicted P time (best-per-station lists), else 0 */
    double lddate;
    char phase[16];                 /* the detection row's state field */
    Dbptr dbdetection;              /* the detection row */
    KOEVDetectionStachan station;
} KOEVDetection;

/* A station magnitude. */
typedef struct koev_stamag_ {
    long magid;
    double magnitude;
    Dbptr dbstamag;                 /* the stamag row */
    Dbptr dbwfmeas;                 /* the wfmeas row of its arrival, invalid unless exactly one */
} KOEVStamag;

/* A network magnitude (a netmag row, or one of the origin row's own mb, ms,
 * ml without a netmag row, whose dbnetmag is then invalid). */
typedef struct koev_magnitude_ {
    long magid;
    char magtype[8];
    double magnitude;
    Dbptr dbnetmag;
    Tbl *stamags;                   /* KOEVStamag records, or null until refreshStamags */
} KOEVMagnitude;

/* A moment tensor of an origin. */
typedef struct koev_moment_ {
    long mtid;
    double lddate;
    Dbptr dbmt;                     /* the mt row */
} KOEVMoment;

/* An origin. */
typedef struct koev_origin_ {
    long orid, ndef, nass;
    double time, lat, lon, depth, lddate;
    Dbptr dborigin;                 /* the origin row */
    Dbptr dborigerr;                /* the origerr row, invalid unless exactly one */
    Arr *stations;                  /* station name -> KOEVOriginStation *, or null */
    Tbl *associations;              /* KOEVAssociation records, or null */
    Tbl *detections;                /* KOEVDetection records, or null */
    Tbl *magnitudes;                /* KOEVMagnitude records, or null */
    Tbl *moments;                   /* KOEVMoment records, or null */
    KOEVMagnitude *pref_magnitude;  /* left null by the refreshes */
    KOEVMoment *pref_moment;        /* the moment with the latest load date, or null */
} KOEVOrigin;

/* An event. */
typedef struct koev_event_ {
    long evid;                      /* -1 for an event made for an origin of a database without events */
    long prefor;                    /* the preferred origin's id */
    long order;                     /* the event row's position when read */
    double lddate;                  /* the event row's load date */
    double lddate_view;             /* the latest load date of its origins */
    Dbptr dbevent;                  /* the event row (invalid for an origin-only event) */
    Tbl *origins;                   /* KOEVOrigin records */
    KOEVOrigin *pref_origin;
    KOEVMagnitude *pref_magnitude;  /* left null by the refreshes */
    KOEVMoment *pref_moment;        /* its origins' latest preferred moment, or null */
} KOEVEvent;

/* The view's state.  The monitor's fields are written under the view's own
 * lock; read them through the view's operations while a monitor runs. */
typedef struct koev_ {
    char *dbname;                   /* owned; null while unbound */
    Dbptr db;                       /* database member dbINVALID while no database is open */
    KOEV_Table event, origin, origerr, assoc, arrival, wfmeas, netmag, stamag, mt, site, detection;

    /* join patterns: key-side fields, table-side fields, cached matching */
    Tbl *kpat_event_origin_match, *tpat_event_origin_match;
    Hook *hook_event_origin_match;
    Tbl *kpat_origin_origerr_match, *tpat_origin_origerr_match;
    Hook *hook_origin_origerr_match;
    Tbl *kpat_origin_netmag_match, *tpat_origin_netmag_match;
    Hook *hook_origin_netmag_match;
    Tbl *kpat_origin_mt_match, *tpat_origin_mt_match;
    Hook *hook_origin_mt_match;
    Tbl *kpat_origin_assoc_match, *tpat_origin_assoc_match;
    Hook *hook_origin_assoc_match;
    Tbl *kpat_assoc_arrival_match, *tpat_assoc_arrival_match;
    Hook *hook_assoc_arrival_match;
    Tbl *kpat_site_match, *tpat_site_match;
    Hook *hook_site_match;
    Tbl *kpat_netmag_stamag_match, *tpat_netmag_stamag_match;
    Hook *hook_netmag_stamag_match;
    Tbl *kpat_stamag_wfmeas_match, *tpat_stamag_wfmeas_match;
    Hook *hook_stamag_wfmeas_match;
    Tbl *kpat_origin_detection_match, *tpat_origin_detection_match;
    Hook *hook_origin_detection_match;
    Tbl *kpat_detection_match, *tpat_detection_match;  /* kpat holds malloc'ed strings */
    Hook *hook_detection_match;

    /* the monitor */
    KO_EventViewCallbackProc *monitor_callback;
    KO_ClientData monitor_clientdata;
    double monitor_time_increment;  /* seconds between two looks */
    pthread_t monitor_thread;       /* 0 until a thread was started */
    int monitor_state;              /* 0 running, 1 new settings to take over, 2 stop */
} KOEV;

class KOEventView : public KOConfigure {
public:
    /* Builds the view and, when params is not null, configures it from the
     * parameter file (its one option is "dbname", the database to bind).
     * A configuration failure clears the error register (printing it) and
     * throws (const char *) "KOEventView::KOEventView: configure(params)
     * error."; nothing is left open. */
    explicit KOEventView(Pf *params);
    /* Stops and joins a running monitor thread (waking it from its sleep),
     * then frees the name, closes the database, frees the join patterns and
     * releases the hooks.  Must not be called from the monitor's callback. */
    ~KOEventView();

    /* Fills a fresh state: no database, invalid table pointers, the join
     * patterns, and the "dbname" option (class "KOEventView") registered
     * with its default (none).  Called by the constructor; on a view that
     * was initialised before it first releases the binding and the patterns
     * (the monitor's settings are kept).  0, or -1 with a message; when the
     * new patterns cannot be made the view is left as it was. */
    int init();

    /* Binding (the "dbname" option): opens the database read-only with its
     * eleven tables.  A name that has neither a descriptor nor a file of any
     * table is refused ("eventview_parse_dbname: database %s does not exist:
     * no descriptor and no table file.\n") rather than bound to an empty
     * database.  Failures leave the view unbound with no name.
     *
     * Closes and reopens the configured database and its eleven tables.  0;
     * or -1 ("KOEventView::reset: dbopen(%s) error\n", "KOEventView::reset:
     * %s: eventview_open_table() error.\n"), the view then unbound with no
     * name. */
    int reset();

    /* Stores, for each pointer that is not null, the record count last seen
     * of the tables event, origin, detection, arrival, assoc, mt and netmag;
     * nothing is read from the database. */
    void numbers(long *events, long *origins, long *detections, long *arrivals, long *assocs, long *mts,
                 long *magnitudes);

    /* Free operations: each accepts null and then does nothing, and accepts
     * the zeroed records that refreshes leave in list positions they do not
     * fill.  freeEvents frees each event's origins (as freeOrigins) and the
     * list; freeOrigins frees each origin's stations, detections,
     * associations, magnitudes and moments and the list; freeStations every
     * station record and the array; freeMagnitudes each magnitude's station
     * magnitudes and the list; the others the list. */
    void freeEvents(Tbl *events);
    void freeOrigins(Tbl *origins);
    void freeStations(Arr *stations);
    void freeMagnitudes(Tbl *magnitudes);
    void freeAssociations(Tbl *associations);
    void freeDetections(Tbl *detections);
    void freeMoments(Tbl *moments);
    void freeStamags(Tbl *stamags);

    /* Frees *events (null or a list of an earlier refresh) and stores a new
     * list of KOEVEvent: one per event row, in table order, with its origins
     * (their origin errors, network magnitudes and moment tensors), the
     * preferred origin and moment.  An event row without origins leaves a
     * zeroed record (origins null) at its position.  A database without event
     * rows gives one event per origin row (evid -1).  An event whose prefor
     * names none of its origins gets its last origin as preferred, with the
     * warning "KOEventView::refreshEvents: Cannot find preferred origin %ld
     * for evid %ld - assigning %ld\n" printed at once.  Also records the
     * event and origin counts (numbers).  0 or -1. */
    int refreshEvents(Tbl **events);
    /* Sorts an event list in place by lddate_view (sort_type 2) or lddate
     * (any other), ascending; dates less than a millisecond apart compare
     * equal (the sort is stable).  Returns 0. */
    int sortEvents(Tbl *events, long sort_type);
    /* Fills *origin (zeroing it first) from origin row dborigin_record (-1:
     * the row set in the view's origin table pointer): the origin's fields,
     * its origerr row, its netmag rows, the origin row's own mb, ms and ml
     * not found among them (as magnitudes without a netmag row), and its
     * moment tensors with the preferred one.  Associations, detections and
     * stations stay null.  0 or -1. */
    int refreshOrigin(long dborigin_record, KOEVOrigin *origin);
    /* Replaces the origin's associations (with their arrivals and stations,
     * see lookupStation).  0 or -1. */
    int refreshAssociations(KOEVOrigin *origin);
    /* Refreshes the associations of all the event's origins, then adds to
     * each origin, with defining 2, a copy of one association for every
     * station that only its sibling origins associate.  0 or -1. */
    int refreshAssociations(KOEVEvent *event);
    /* Fills one association from assoc row dbassoc_record (-1: the row set
     * in the view's assoc table pointer).  0 or -1. */
    int refreshAssociation(KOEVOrigin *origin, long dbassoc_record, KOEVAssociation *association);
    /* Replaces the magnitude's station magnitudes (none for a magnitude
     * without a netmag row).  0 or -1. */
    int refreshStamags(KOEVMagnitude *magnitude);
    /* Fills one station magnitude from stamag row dbstamag_record (-1: the
     * row set in the view's stamag table pointer).  0 or -1. */
    int refreshStamag(long dbstamag_record, KOEVStamag *stamag);

    /* Replaces the origin's detections with those from 10 s before to 1800 s
     * after its time: every one (all nonzero; positions of rows that carry a
     * detector state hold zeroed records), or the one per station whose time
     * is nearest its predicted P time (all zero), in station-name order.
     * Only rows whose state is a phase name (not "-", "ON", "on", "OFF",
     * "off") are detections.  0 or -1. */
    int refreshDetections(KOEVOrigin *origin, int all);
    /* Frees *detections and stores a new list of the detections with time
     * from t1 to t2.  0 or -1. */
    int refreshDetections(Tbl **detections, double t1, double t2);
    /* Finds or makes the origin's station record for sta: the site row valid
     * on the day of statime (exactly one, else *station is null and the
     * result still 0), its distance from the origin and predicted P and S
     * times (the origin time plus the first-arrival times that the
     * expressions ptime() and stime() give for the distance and the origin's
     * depth; a time the travel-time tables cannot give, as for a null depth
     * or S near the antipode, is 0).  A station is looked up once per origin.
     * 0 or -1. */
    int lookupStation(KOEVOrigin *origin, char *sta, double statime, KOEVOriginStation **station);
    /* Fills the detection's station position from the site row valid on the
     * detection's day (left as it was without exactly one), and, when origin
     * is given, the distance and predicted times relative to it.  0 or -1. */
    int lookupStation(KOEVDetection *detection, char *sta, KOEVOrigin *origin);

    /* Frees *changes (null or an array of an earlier call) and stores a new
     * Arr of the tables that changed since they were last looked at, in the
     * order event, origin, origerr, assoc, arrival, wfmeas, netmag, stamag,
     * mt, site, detection: the table name maps to the pointer-sized code 1
     * (same row count, later file time), 2 (rows added) or 3 (rows removed).
     * Each look becomes the base of the next.  0; or -1 when the view is
     * unbound or a table's file cannot be looked at
     * ("KOEventView::checkChanges: eventview_check_table() error.\n") or a
     * change cannot be stored ("KOEventView::checkChanges: setarr(%s)
     * error.\n"), the array then holding the changes of the tables looked at
     * before. */
    int checkChanges(Arr **changes);
    /* With a positive increment (seconds), starts monitoring or takes new
     * settings: a thread looks at once and then every increment (plus the
     * time of the look and the callback), calling callbackProc(0, clientData,
     * changes) after each look.  New settings take effect after the current
     * sleep.  With 0 or less (or not a number), stops: the thread ends after
     * its current sleep, so the callback runs at most once more.  A positive
     * increment before the thread has seen the stop keeps it running; once it
     * has ended, a new thread is started.  Messages registered during a look
     * and its callback are in the monitor thread's register while the
     * callback runs and are dropped after it.  Increments above 1e8 s are
     * taken as 1e8 s.  0, or -1 ("KOEventView::monitorChangesThread:
     * pthread_create() error.\n"). */
    int monitorChangesThread(double time_increment, KO_EventViewCallbackProc *callbackProc,
                             KO_ClientData clientData);

    KOEV koev;

private:
    /* The operations above without the guard that turns an exception
     * thrown inside the engine into their failure result. */
    int resetUnguarded();
    int refreshEventsUnguarded(Tbl **events);
    int refreshOriginUnguarded(long dborigin_record, KOEVOrigin *origin);
    int refreshAssociationsUnguarded(KOEVOrigin *origin);
    int refreshAssociationsUnguarded(KOEVEvent *event);
    int refreshAssociationUnguarded(KOEVOrigin *origin, long dbassoc_record, KOEVAssociation *association);
    int refreshStamagsUnguarded(KOEVMagnitude *magnitude);
    int refreshStamagUnguarded(long dbstamag_record, KOEVStamag *stamag);
    int refreshDetectionsUnguarded(KOEVOrigin *origin, int all);
    int refreshDetectionsUnguarded(Tbl **detections, double t1, double t2);
    int lookupStationUnguarded(KOEVOrigin *origin, char *sta, double statime, KOEVOriginStation **station);
    int lookupStationUnguarded(KOEVDetection *detection, char *sta, KOEVOrigin *origin);
    int checkChangesUnguarded(Arr **changes);
    static int parseDbname(KO_ConfigureSpec *spec, KO_ClientData clientData, char *value, char *strucRec,
                           int offset);
    static void *runMonitor(void *arg);
    /* The workers of the row-level operations, without their checks and
     * without first having the engine look at the tables' files again (the
     * list-level refreshes look once, before their loops). */
    int fillOrigin(long dborigin_record, KOEVOrigin *origin);
    int fillAssociation(KOEVOrigin *origin, long dbassoc_record, KOEVAssociation *association);
    int fillStamag(long dbstamag_record, KOEVStamag *stamag);
    int originStation(KOEVOrigin *origin, char *sta, double statime, KOEVOriginStation **station);
    int detectionStation(KOEVDetection *detection, char *sta, KOEVOrigin *origin);
    int bind(const char *name, const char *who);
    void unbind();
    void releasePatterns();
    bool bound() const { return koev.db.database != dbINVALID; }

    KO_CustomOption dbname_option_;
    KO_ConfigureSpec specs_[2];
    bool initialised_ = false;

    /* guards the tables' counts and file times and the binding */
    pthread_mutex_t tables_mutex_;
    /* guards the monitor's settings, state and thread flags */
    pthread_mutex_t monitor_mutex_;
    pthread_cond_t monitor_wake_;
    bool monitor_running_ = false;   /* a thread runs and has not seen the stop */
    bool monitor_joinable_ = false;  /* a thread was started and not yet joined */
    bool monitor_shutdown_ = false;  /* the view is being destroyed */
};

#endif
