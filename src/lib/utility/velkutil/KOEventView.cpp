// The event view: binding to a database read-only, mirroring its events,
// origins, magnitudes, moment tensors, associations, detections and station
// positions into caller-owned records, and watching the tables' files for
// changes from a monitor thread.

#include "KOEventView.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unordered_set>

#include "kobase.h"
#include "tt.h"

namespace {

constexpr double DFILETIME_ERROR = -9999999999.999;
constexpr double NULL_MAGNITUDE = -999.0;
constexpr long NULL_ID = -1;
constexpr double MAX_INCREMENT = 1e8;

// The eleven tables in the order they are opened and looked at.
KOEV_Table KOEV::*const TABLES[] = {&KOEV::event,  &KOEV::origin, &KOEV::origerr, &KOEV::assoc,
                                    &KOEV::arrival, &KOEV::wfmeas, &KOEV::netmag,  &KOEV::stamag,
                                    &KOEV::mt,      &KOEV::site,   &KOEV::detection};
const char *const TABLE_NAMES[] = {"event",  "origin", "origerr", "assoc", "arrival",  "wfmeas",
                                   "netmag", "stamag", "mt",      "site",  "detection"};

struct Lock {
    pthread_mutex_t *m;
    explicit Lock(pthread_mutex_t *mu) : m(mu) { pthread_mutex_lock(m); }
    ~Lock() { pthread_mutex_unlock(m); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

// A match list owned by one call.
struct MatchList {
    Tbl *t = nullptr;
    ~MatchList() { freetbl(t, 0); }
    long rec(long i) const { return (long)(intptr_t)gettbl(t, i); }
};

// Runs an undo unless the work it guards was committed: what a refresh
// makes for itself is freed when it fails (by its result or by an exception
// that the guard turns into one).
template <class F>
struct Undo {
    F f;
    bool committed = false;
    ~Undo() {
        if (!committed) f();
    }
    void commit() { committed = true; }
};
template <class F>
Undo<F> undo_unless_committed(F f) {
    return Undo<F>{f};
}

bool valid_row(const Dbptr &p) { return p.database != dbINVALID && p.table != dbINVALID && p.record >= 0; }

void copy_text(char *dest, size_t n, const char *src) { snprintf(dest, n, "%s", src ? src : ""); }

bool is_detector_state(const char *s) {
    return !strcmp(s, "-") || !strcmp(s, "ON") || !strcmp(s, "on") || !strcmp(s, "OFF") || !strcmp(s, "off");
}

int eventview_open_table(Dbptr db, const char *name, KOEV_Table *result) {
    memset(result, 0, sizeof *result);
    copy_text(result->name, sizeof result->name, name);
    errno = 0;
    result->dbtable = dblookup(db, 0, name, 0, 0);
    if (result->dbtable.table == dbINVALID) {
        if (errno == ENOMEM)
            ko_register_error(1, "eventview_open_table: dblookup(%s) error.\n", name);
        else
            ko_register_error(0, "eventview_open_table: no %s table in the schema.\n", name);
        return -1;
    }
    char *fname = nullptr;
    if (dbquery(result->dbtable, dbTABLE_FILENAME, &fname) < 0 || !fname) {
        ko_register_error(0, "eventview_open_table: dbquery(%s, file name) error.\n", name);
        return -1;
    }
    if (strlen(fname) >= sizeof result->fname) {
        ko_register_error(0, "eventview_open_table: file name %s of table %s is too long.\n", fname, name);
        return -1;
    }
    copy_text(result->fname, sizeof result->fname, fname);
    if (dbquery(result->dbtable, dbRECORD_COUNT, &result->nrows) < 0) {
        ko_register_error(0, "eventview_open_table: dbquery(%s, record count) error.\n", name);
        return -1;
    }
    if (result->nrows >= 1) {
        double t = dfiletime(result->fname);
        if (t == DFILETIME_ERROR) {
            ko_register_error(1, "eventview_open_table: dfiletime(%s) error.\n", result->fname);
            return -1;
        }
        result->mod_time = t;
    }
    return 0;
}

// The change test: 3 rows removed, 2 rows added, 1 same count and a later
// file time, 0 no change; the new state becomes the base of the next test.
// Only the table's database and table members are read, never the record
// member that the refreshes move.
int eventview_check_table(KOEV_Table *table, char **result) {
    Dbptr t = dbinvalid();
    t.database = table->dbtable.database;
    t.table = table->dbtable.table;
    t.field = dbALL;
    t.record = dbALL;
    long n = 0;
    if (dbquery(t, dbRECORD_COUNT, &n) < 0) {
        ko_register_error(0, "eventview_check_table: dbquery(%s) error.\n", table->name);
        return -1;
    }
    double mt = 0;
    if (n >= 1) {
        mt = dfiletime(table->fname);
        if (mt == DFILETIME_ERROR) {
            ko_register_error(1, "eventview_check_table: dfiletime(%s) error.\n", table->fname);
            return -1;
        }
    }
    intptr_t code = n < table->nrows ? 3 : n > table->nrows ? 2 : mt > table->mod_time ? 1 : 0;
    table->nrows = n;
    table->mod_time = mt;
    *result = reinterpret_cast<char *>(code);
    return 0;
}

char *eventview_print_dbname(KO_ConfigureSpec *, KO_ClientData, char *strucRec, int offset) {
    char *name = nullptr;
    memcpy(&name, strucRec + offset, sizeof name);
    return strdup(name ? name : "NULL");
}

void eventview_free_hooks(KOEV *koev) {
    if (!koev) return;
    Hook **hooks[] = {&koev->hook_event_origin_match,   &koev->hook_origin_origerr_match,
                      &koev->hook_origin_netmag_match,  &koev->hook_origin_mt_match,
                      &koev->hook_origin_assoc_match,   &koev->hook_assoc_arrival_match,
                      &koev->hook_site_match,           &koev->hook_netmag_stamag_match,
                      &koev->hook_stamag_wfmeas_match,  &koev->hook_origin_detection_match,
                      &koev->hook_detection_match};
    for (Hook **h : hooks)
        if (*h) free_hook(h);
    for (Hook **h : hooks) *h = nullptr;
}

// Whether a database has anything on disk: a descriptor at its name or a
// file of one of its tables.  Opening a name that has neither gives an empty
// database, which for a view is a mistyped name rather than data.  1 yes,
// 0 no, -1 when a table could not be looked at for lack of memory (the
// engine's message registered): that is no answer.
int database_exists(Dbptr db, const char *name) {
    struct stat st;
    if (stat(name, &st) == 0 && S_ISREG(st.st_mode)) return 1;
    long ntables = 0;
    errno = 0;
    if (dbquery(db, dbTABLE_COUNT, &ntables) < 0) return errno == ENOMEM ? -1 : 0;
    for (long i = 0; i < ntables; i++) {
        Dbptr t = db;
        t.table = i;
        t.field = dbALL;
        t.record = dbALL;
        long present = 0, isview = 0;
        errno = 0;
        if (dbquery(t, dbTABLE_IS_VIEW, &isview) == 0 && isview) continue;
        if (errno == ENOMEM) return -1;
        if (dbquery(t, dbTABLE_PRESENT, &present) == 0 && present) return 1;
        if (errno == ENOMEM) return -1;
    }
    return 0;
}

// Sleeps on the view's wake condition until the deadline or the view's
// destruction; the monitor's lock is held on entry and on return.
void eventview_usleep(pthread_cond_t *cond, pthread_mutex_t *mu, const bool *shutdown, double sec) {
    if (!(sec > 0)) return;
    if (sec > MAX_INCREMENT) sec = MAX_INCREMENT;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    time_t whole = (time_t)sec;
    long nsec = (long)((sec - (double)whole) * 1e9 + 0.5);
    deadline.tv_sec += whole;
    deadline.tv_nsec += nsec;
    while (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    while (!*shutdown) {
        int rc = pthread_cond_timedwait(cond, mu, &deadline);
        if (rc == ETIMEDOUT) break;
    }
}

const char *orNULL(const char *s) { return s ? s : "NULL"; }

// The distance in degrees from origin to station and the predicted P and S
// times, evaluated as expressions on the site row.  A phase that the
// travel-time tables cannot give (a null depth, S near the antipode) leaves
// its predicted time 0, as for a detection without an origin: one such
// station must not fail the refresh of every association of the origin.
// Memory running out is not such a phase: it fails the lookup (-1, with the
// engine's message); else 0.
int station_predictions(Dbptr dbsite, const KOEVOrigin *origin, double lat, double lon, double *distance,
                        double *ptime, double *stime) {
    const double pi = 3.141592653589793;
    double delta = 0, az = 0;
    dist(origin->lat * pi / 180.0, origin->lon * pi / 180.0, lat * pi / 180.0, lon * pi / 180.0, &delta, &az);
    *distance = delta * 57.29577951308232;
    const char *phases[] = {"ptime", "stime"};
    double *out[] = {ptime, stime};
    for (int i = 0; i < 2; i++) {
        char expr[128];
        double v = 0;
        snprintf(expr, sizeof expr, "%s(%f,%f)", phases[i], *distance, origin->depth);
        int mark = elog_mark();
        errno = 0;
        int rc = dbex_evalstr(dbsite, expr, dbREAL, &v);
        if (rc < 0 && errno == ENOMEM) return -1;
        if (rc < 0 || !std::isfinite(v)) {
            elog_flush(0, mark);
            *out[i] = 0;
        } else {
            *out[i] = origin->time + v;
        }
    }
    return 0;
}

// Asks the tables' record counts, which makes the engine take in rows that
// other programs appended (or read a rewritten file again) before a refresh
// reads them.  The counts are not recorded: they stay the monitor's base.
void look_again(const KOEV &koev, std::initializer_list<KOEV_Table KOEV::*> tables) {
    for (KOEV_Table KOEV::*t : tables) {
        Dbptr p = dbinvalid();
        p.database = (koev.*t).dbtable.database;
        p.table = (koev.*t).dbtable.table;
        p.field = dbALL;
        p.record = dbALL;
        long n = 0;
        int mark = elog_mark();
        if (dbquery(p, dbRECORD_COUNT, &n) < 0) elog_flush(0, mark);
    }
}

int compare_events(const void *a, const void *b, void *priv) {
    long type = *static_cast<long *>(priv);
    const KOEVEvent *x = static_cast<const KOEVEvent *>(a);
    const KOEVEvent *y = static_cast<const KOEVEvent *>(b);
    double d = type == 2 ? x->lddate_view - y->lddate_view : x->lddate - y->lddate;
    double ms = std::trunc(d * 1000.0);
    return ms > 0 ? 1 : ms < 0 ? -1 : 0;
}

}  // namespace

// ---------------------------------------------------------------- life cycle

KOEventView::KOEventView(Pf *params) : KOConfigure() {
    memset(&koev, 0, sizeof koev);
    koev.db = dbinvalid();
    pthread_mutex_init(&tables_mutex_, nullptr);
    pthread_mutex_init(&monitor_mutex_, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&monitor_wake_, &ca);
    pthread_condattr_destroy(&ca);
    if (init() < 0) {
        releasePatterns();
        pthread_cond_destroy(&monitor_wake_);
        pthread_mutex_destroy(&monitor_mutex_);
        pthread_mutex_destroy(&tables_mutex_);
        throw "KOEventView::KOEventView: init() error.";
    }
    if (params && configure(params) < 0) {
        ko_clear_register(1);
        unbind();
        releasePatterns();
        pthread_cond_destroy(&monitor_wake_);
        pthread_mutex_destroy(&monitor_mutex_);
        pthread_mutex_destroy(&tables_mutex_);
        throw "KOEventView::KOEventView: configure(params) error.";
    }
}

KOEventView::~KOEventView() {
    bool join = false;
    {
        Lock l(&monitor_mutex_);
        koev.monitor_state = 2;
        monitor_shutdown_ = true;
        pthread_cond_broadcast(&monitor_wake_);
        join = monitor_joinable_;
        monitor_joinable_ = false;
    }
    if (join) pthread_join(koev.monitor_thread, nullptr);
    unbind();
    releasePatterns();
    pthread_cond_destroy(&monitor_wake_);
    pthread_mutex_destroy(&monitor_mutex_);
    pthread_mutex_destroy(&tables_mutex_);
}

void KOEventView::releasePatterns() {
    Tbl **constant_lists[] = {
        &koev.kpat_event_origin_match,   &koev.tpat_event_origin_match,   &koev.kpat_origin_origerr_match,
        &koev.tpat_origin_origerr_match, &koev.kpat_origin_netmag_match,  &koev.tpat_origin_netmag_match,
        &koev.kpat_origin_mt_match,      &koev.tpat_origin_mt_match,      &koev.kpat_origin_assoc_match,
        &koev.tpat_origin_assoc_match,   &koev.kpat_assoc_arrival_match,  &koev.tpat_assoc_arrival_match,
        &koev.kpat_site_match,           &koev.tpat_site_match,           &koev.kpat_netmag_stamag_match,
        &koev.tpat_netmag_stamag_match,  &koev.kpat_stamag_wfmeas_match,  &koev.tpat_stamag_wfmeas_match,
        &koev.kpat_origin_detection_match, &koev.tpat_origin_detection_match, &koev.tpat_detection_match};
    for (Tbl **t : constant_lists) {
        freetbl(*t, 0);
        *t = nullptr;
    }
    freetbl(koev.kpat_detection_match, free);
    koev.kpat_detection_match = nullptr;
    eventview_free_hooks(&koev);
}

namespace {

// The constant join patterns of a fresh view: the key-side and table-side
// field lists of each join, in the order of PATTERN_LISTS.
Tbl *KOEV::*const PATTERN_LISTS[] = {
    &KOEV::kpat_event_origin_match,   &KOEV::tpat_event_origin_match,   &KOEV::kpat_origin_origerr_match,
    &KOEV::tpat_origin_origerr_match, &KOEV::kpat_origin_netmag_match,  &KOEV::tpat_origin_netmag_match,
    &KOEV::kpat_origin_mt_match,      &KOEV::tpat_origin_mt_match,      &KOEV::kpat_origin_assoc_match,
    &KOEV::tpat_origin_assoc_match,   &KOEV::kpat_assoc_arrival_match,  &KOEV::tpat_assoc_arrival_match,
    &KOEV::kpat_netmag_stamag_match,  &KOEV::tpat_netmag_stamag_match,  &KOEV::kpat_stamag_wfmeas_match,
    &KOEV::tpat_stamag_wfmeas_match,  &KOEV::kpat_origin_detection_match, &KOEV::tpat_origin_detection_match,
    &KOEV::tpat_detection_match};
const char *const PATTERN_FIELDS[] = {"evid", "evid", "orid", "orid", "orid", "orid", "orid",
                                      "orid", "orid", "orid", "arid", "arid", "magid", "magid",
                                      "arid", "arid", "time-10.0::time+1800.0", "time", "time"};
constexpr size_t NPATTERNS = sizeof PATTERN_LISTS / sizeof PATTERN_LISTS[0];
static_assert(sizeof PATTERN_FIELDS / sizeof PATTERN_FIELDS[0] == NPATTERNS, "one field list per pattern");

}  // namespace

int KOEventView::init() {
    // The new patterns are made first, so that running out of memory leaves
    // the view as it was (bound or not).
    Tbl *made[NPATTERNS] = {};
    for (size_t i = 0; i < NPATTERNS; i++) {
        if (!(made[i] = strtbl(PATTERN_FIELDS[i], (char *)0))) {
            for (Tbl *t : made) freetbl(t, 0);
            ko_register_error(1, "KOEventView::init: strtbl() error.\n");
            return -1;
        }
    }
    if (initialised_) {
        unbind();
        releasePatterns();
    }
    {
        // a fresh state, keeping the monitor's fields that a running thread uses
        Lock l(&tables_mutex_);
        Lock m(&monitor_mutex_);
        KOEV keep = koev;
        memset(&koev, 0, sizeof koev);
        koev.monitor_callback = keep.monitor_callback;
        koev.monitor_clientdata = keep.monitor_clientdata;
        koev.monitor_time_increment = keep.monitor_time_increment;
        koev.monitor_thread = keep.monitor_thread;
        koev.monitor_state = keep.monitor_state;
        koev.db = dbinvalid();
        for (KOEV_Table KOEV::*t : TABLES) (koev.*t).dbtable = dbinvalid();
    }
    initialised_ = true;
    for (size_t i = 0; i < NPATTERNS; i++) koev.*PATTERN_LISTS[i] = made[i];
    dbname_option_.parseProc = parseDbname;
    dbname_option_.printProc = eventview_print_dbname;
    dbname_option_.clientData = this;
    specs_[0] = {"custom", "dbname", nullptr, (int)offsetof(KOEV, dbname), 0, &dbname_option_};
    specs_[1] = {"end", nullptr, nullptr, 0, 0, nullptr};
    if (setConfigureSpecs(specs_, reinterpret_cast<char *>(&koev), "KOEventView") < 0) {
        // the view is fresh and unbound, with its patterns; configuring it
        // again (or init) completes it
        ko_register_error(0, "KOEventView::init: setConfigureSpecs() error.\n");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- binding

// Opens `name` read-only with its eleven tables; the binding is made under
// the tables' lock so that a running monitor sees all of it or none.  On
// failure the view is left unbound with no name.
int KOEventView::bind(const char *name, const char *who) {
    Lock l(&tables_mutex_);
    if (koev.dbname != name) {
        char *copy = strdup(name);
        if (!copy) {
            ko_register_error(1, "%s: strdup(%s) error.\n", who, name);
            return -1;
        }
        free(koev.dbname);
        koev.dbname = copy;
    }
    Dbptr db;
    bool ok = false;
    int exists = 0;
    if (dbopen(koev.dbname, "r", &db) < 0) {
        ko_register_error(1, "%s: dbopen(%s) error\n", who, koev.dbname);
    } else if ((exists = database_exists(db, koev.dbname)) <= 0) {
        if (exists == 0)
            ko_register_error(0, "%s: database %s does not exist: no descriptor and no table file.\n", who,
                              koev.dbname);
        else
            ko_register_error(1, "%s: database %s: dbquery() error.\n", who, koev.dbname);
        dbclose(db);
    } else {
        koev.db = db;
        ok = true;
        for (int i = 0; i < 11 && ok; i++) ok = eventview_open_table(db, TABLE_NAMES[i], &(koev.*TABLES[i])) == 0;
    }
    if (ok) return 0;
    ko_register_error(0, "%s: %s: eventview_open_table() error.\n", who, koev.dbname);
    if (koev.db.database != dbINVALID) dbclose(koev.db);
    koev.db = dbinvalid();
    for (KOEV_Table KOEV::*t : TABLES) {
        memset(&(koev.*t), 0, sizeof(KOEV_Table));
        (koev.*t).dbtable = dbinvalid();
    }
    free(koev.dbname);
    koev.dbname = nullptr;
    return -1;
}

void KOEventView::unbind() {
    Lock l(&tables_mutex_);
    eventview_free_hooks(&koev);
    if (koev.db.database != dbINVALID) dbclose(koev.db);
    koev.db = dbinvalid();
    for (KOEV_Table KOEV::*t : TABLES) (koev.*t).dbtable = dbinvalid();
    free(koev.dbname);
    koev.dbname = nullptr;
}

int KOEventView::parseDbname(KO_ConfigureSpec *, KO_ClientData clientData, char *value, char *strucRec,
                             int offset) {
    KOEventView *view = static_cast<KOEventView *>(clientData);
    if (!value) return 0;
    KOEV *koev = reinterpret_cast<KOEV *>(strucRec + offset - offsetof(KOEV, dbname));
    if (!view || koev != &view->koev) {
        ko_register_error(0, "eventview_parse_dbname: option record is not a view's.\n");
        return -1;
    }
    if (koev->dbname && koev->db.database != dbINVALID) {
        ko_register_error(0, "eventview_parse_dbname: database %s already open and cannot be reset to %s\n",
                          koev->dbname, value);
        return -1;
    }
    try {
        return view->bind(value, "eventview_parse_dbname");
    } catch (...) {
        ko_register_error(1, "KOEventView::configure(dbname): out of memory.\n");
        return -1;
    }
}

int KOEventView::resetUnguarded() {
    if (!koev.dbname) {
        ko_register_error(0, "KOEventView::reset: no database configured.\n");
        return -1;
    }
    std::string name = koev.dbname;
    {
        Lock l(&tables_mutex_);
        eventview_free_hooks(&koev);
        if (koev.db.database != dbINVALID) dbclose(koev.db);
        koev.db = dbinvalid();
        for (KOEV_Table KOEV::*t : TABLES) (koev.*t).dbtable = dbinvalid();
    }
    return bind(name.c_str(), "KOEventView::reset");
}

void KOEventView::numbers(long *events, long *origins, long *detections, long *arrivals, long *assocs, long *mts,
                          long *magnitudes) {
    Lock l(&tables_mutex_);
    if (events) *events = koev.event.nrows;
    if (origins) *origins = koev.origin.nrows;
    if (detections) *detections = koev.detection.nrows;
    if (arrivals) *arrivals = koev.arrival.nrows;
    if (assocs) *assocs = koev.assoc.nrows;
    if (mts) *mts = koev.mt.nrows;
    if (magnitudes) *magnitudes = koev.netmag.nrows;
}

// ---------------------------------------------------------------- free operations

void KOEventView::freeEvents(Tbl *events) {
    if (!events) return;
    if (events->size == (long)sizeof(KOEVEvent))
        for (long i = 0; i < maxtbl(events); i++) freeOrigins(static_cast<KOEVEvent *>(gettbl(events, i))->origins);
    freetbl(events, 0);
}

void KOEventView::freeOrigins(Tbl *origins) {
    if (!origins) return;
    for (long i = 0; i < maxtbl(origins); i++) {
        KOEVOrigin *o = static_cast<KOEVOrigin *>(gettbl(origins, i));
        freeStations(o->stations);
        freeDetections(o->detections);
        freeAssociations(o->associations);
        freeMagnitudes(o->magnitudes);
        freeMoments(o->moments);
    }
    freetbl(origins, 0);
}

void KOEventView::freeStations(Arr *stations) {
    if (stations) freearr(stations, free);
}

void KOEventView::freeMagnitudes(Tbl *magnitudes) {
    if (!magnitudes) return;
    for (long i = 0; i < maxtbl(magnitudes); i++)
        freeStamags(static_cast<KOEVMagnitude *>(gettbl(magnitudes, i))->stamags);
    freetbl(magnitudes, 0);
}

void KOEventView::freeAssociations(Tbl *associations) { freetbl(associations, 0); }
void KOEventView::freeDetections(Tbl *detections) { freetbl(detections, 0); }
void KOEventView::freeMoments(Tbl *moments) { freetbl(moments, 0); }
void KOEventView::freeStamags(Tbl *stamags) { freetbl(stamags, 0); }

// ---------------------------------------------------------------- events and origins

int KOEventView::refreshEventsUnguarded(Tbl **events) {
    if (!events) {
        ko_register_error(0, "KOEventView::refreshEvents: no list pointer.\n");
        return -1;
    }
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshEvents: No database currently open.\n");
        return -1;
    }
    freeEvents(*events);
    *events = nullptr;
    long nev = 0, nor = 0;
    if (dbquery(koev.event.dbtable, dbRECORD_COUNT, &nev) < 0 ||
        dbquery(koev.origin.dbtable, dbRECORD_COUNT, &nor) < 0) {
        ko_register_error(0, "KOEventView::refreshEvents: dbquery(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    {
        Lock l(&tables_mutex_);
        koev.event.nrows = nev;
        koev.origin.nrows = nor;
    }
    look_again(koev, {&KOEV::origerr, &KOEV::netmag, &KOEV::mt});
    if (nev == 0 && nor == 0) {
        *events = newtbl(0);
        if (!*events) {
            ko_register_error(1, "KOEventView::refreshEvents: newtbl(events) error.\n");
            return -1;
        }
        return 0;
    }
    long n = nev > 0 ? nev : nor;
    // The list is the caller's from the start: a failure part-way leaves
    // the records built so far there, everything they hold reachable from
    // it (records are stored before they are filled).
    Tbl *list = inittbl(0, n, 1, 0, sizeof(KOEVEvent));
    if (!list) {
        ko_register_error(1, "KOEventView::refreshEvents: inittbl(events,%ld) error.\n", n);
        return -1;
    }
    *events = list;
    MatchList matches;
    // Appends a record to a list made with room for it (checked all the
    // same); the record in the list, or null with a message.
    auto append = [](Tbl *t, const void *rec, const char *what) -> void * {
        if (pushtbl(t, rec) < 0) {
            ko_register_error(1, "KOEventView::refreshEvents: pushtbl(%s) error.\n", what);
            return nullptr;
        }
        return gettbl(t, maxtbl(t) - 1);
    };

    if (nev == 0) {
        // origins without events: one event per origin
        for (long i = 0; i < nor; i++) {
            KOEVEvent e;
            memset(&e, 0, sizeof e);
            e.evid = -1;
            e.dbevent = dbinvalid();
            e.origins = inittbl(0, 1, 1, 0, sizeof(KOEVOrigin));
            if (!e.origins) {
                ko_register_error(1, "KOEventView::refreshEvents: inittbl(origins,1) error.\n");
                return -1;
            }
            KOEVEvent *ep = static_cast<KOEVEvent *>(append(list, &e, "events"));
            if (!ep) {
                freetbl(e.origins, 0);
                return -1;
            }
            KOEVOrigin o;
            memset(&o, 0, sizeof o);
            KOEVOrigin *op = static_cast<KOEVOrigin *>(append(ep->origins, &o, "origins"));
            if (!op) return -1;
            ep->pref_origin = op;
            koev.origin.dbtable.record = i;
            if (fillOrigin(-1, op) < 0) {
                ko_register_error(0, "KOEventView::refreshEvents: refreshOrigin() error.\n");
                return -1;
            }
        }
        return 0;
    }

    for (long i = 0; i < nev; i++) {
        koev.event.dbtable.record = i;
        long evid = 0, prefor = 0;
        double lddate = 0;
        if (dbgetv(koev.event.dbtable, 0, "evid", &evid, "prefor", &prefor, "lddate", &lddate, (char *)0) < 0) {
            ko_register_error(0, "KOEventView::refreshEvents: dbgetv(%s) error.\n", orNULL(koev.dbname));
            return -1;
        }
        KOEVEvent e;
        memset(&e, 0, sizeof e);
        long nm = 0;
        if (evid != NULL_ID) {
            nm = dbmatches(koev.event.dbtable, koev.origin.dbtable, &koev.kpat_event_origin_match,
                           &koev.tpat_event_origin_match, &koev.hook_event_origin_match, &matches.t);
            if (nm < 0) {
                ko_register_error(0, "KOEventView::refreshEvents: dbmatches(%s) error.\n", orNULL(koev.dbname));
                return -1;
            }
        }
        if (nm == 0) {
            if (!append(list, &e, "events")) return -1;  // a zeroed record keeps the positions of later events
            continue;
        }
        e.evid = evid;
        e.prefor = prefor;
        e.lddate = lddate;
        e.dbevent = koev.event.dbtable;
        e.order = i;
        e.origins = inittbl(0, nm, 1, 0, sizeof(KOEVOrigin));
        if (!e.origins) {
            ko_register_error(1, "KOEventView::refreshEvents: inittbl(origins,%ld) error.\n", nm);
            return -1;
        }
        KOEVEvent *ep = static_cast<KOEVEvent *>(append(list, &e, "events"));
        if (!ep) {
            freetbl(e.origins, 0);
            return -1;
        }
        double latest_moment = 0;
        for (long k = 0; k < nm; k++) {
            KOEVOrigin o;
            memset(&o, 0, sizeof o);
            // filled in its place, so that whatever it holds is freed with the list
            KOEVOrigin *op = static_cast<KOEVOrigin *>(append(ep->origins, &o, "origins"));
            if (!op) return -1;
            koev.origin.dbtable.record = matches.rec(k);
            if (fillOrigin(-1, op) < 0) {
                ko_register_error(0, "KOEventView::refreshEvents: refreshOrigin() error.\n");
                return -1;
            }
            if (op->orid == ep->prefor) ep->pref_origin = op;
            if (op->pref_moment && op->pref_moment->lddate > latest_moment) {
                latest_moment = op->pref_moment->lddate;
                ep->pref_moment = op->pref_moment;
            }
            if (op->lddate > ep->lddate_view) ep->lddate_view = op->lddate;
        }
        if (!ep->pref_origin) {
            KOEVOrigin *last = static_cast<KOEVOrigin *>(gettbl(ep->origins, maxtbl(ep->origins) - 1));
            ko_complain(0, "KOEventView::refreshEvents: Cannot find preferred origin %ld for evid %ld - assigning %ld\n",
                        ep->prefor, ep->evid, last->orid);
            ep->pref_origin = last;
        }
    }
    return 0;
}

int KOEventView::sortEvents(Tbl *events, long sort_type) {
    if (events && events->size == (long)sizeof(KOEVEvent)) sorttbl(events, compare_events, &sort_type);
    return 0;
}

int KOEventView::refreshOriginUnguarded(long dborigin_record, KOEVOrigin *origin) {
    if (!origin) return 0;
    look_again(koev, {&KOEV::origin, &KOEV::origerr, &KOEV::netmag, &KOEV::mt});
    return fillOrigin(dborigin_record, origin);
}

int KOEventView::fillOrigin(long dborigin_record, KOEVOrigin *origin) {
    if (dborigin_record >= 0) koev.origin.dbtable.record = dborigin_record;
    double lat, lon, depth, time, mb, ms, ml, lddate;
    long orid, ndef, nass, mbid, msid, mlid;
    if (dbgetv(koev.origin.dbtable, 0, "lat", &lat, "lon", &lon, "depth", &depth, "time", &time, "orid", &orid,
               "ndef", &ndef, "nass", &nass, "mb", &mb, "mbid", &mbid, "ms", &ms, "msid", &msid, "ml", &ml, "mlid",
               &mlid, "lddate", &lddate, (char *)0) < 0) {
        ko_register_error(0, "KOEventView::refreshOrigin: dbgetv(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    memset(origin, 0, sizeof *origin);
    origin->orid = orid;
    origin->ndef = ndef;
    origin->nass = nass;
    origin->time = time;
    origin->lat = lat;
    origin->lon = lon;
    origin->depth = depth;
    origin->lddate = lddate;
    origin->dborigin = koev.origin.dbtable;
    origin->dborigerr = dbinvalid();
    Dbptr row = koev.origin.dbtable;
    // A null id identifies no rows: such an origin has no origin error, netmag
    // or moment tensor rows, but keeps the magnitudes of its own row.
    bool keyed = orid != NULL_ID;

    MatchList matches;
    long n = !keyed ? 0
                    : dbmatches(row, koev.origerr.dbtable, &koev.kpat_origin_origerr_match,
                                &koev.tpat_origin_origerr_match, &koev.hook_origin_origerr_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::refreshOrigin: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (n == 1) {
        koev.origerr.dbtable.record = matches.rec(0);
        origin->dborigerr = koev.origerr.dbtable;
    }

    long m = !keyed ? 0
                    : dbmatches(row, koev.netmag.dbtable, &koev.kpat_origin_netmag_match,
                                &koev.tpat_origin_netmag_match, &koev.hook_origin_netmag_match, &matches.t);
    if (m < 0) {
        ko_register_error(0, "KOEventView::refreshOrigin: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (m >= 1) {
        origin->magnitudes = inittbl(0, m, 1, 0, sizeof(KOEVMagnitude));
        if (!origin->magnitudes) {
            ko_register_error(1, "KOEventView::refreshOrigin: inittbl(magnitudes,%d) error.\n", (int)m);
            return -1;
        }
        for (long k = 0; k < m; k++) {
            KOEVMagnitude g;
            memset(&g, 0, sizeof g);
            koev.netmag.dbtable.record = matches.rec(k);
            if (dbgetv(koev.netmag.dbtable, 0, "magid", &g.magid, "magtype", g.magtype, "magnitude", &g.magnitude,
                       (char *)0) < 0) {
                ko_register_error(0, "KOEventView::refreshOrigin: dbgetv(%s) error.\n", orNULL(koev.dbname));
                return -1;
            }
            g.dbnetmag = koev.netmag.dbtable;
            pushtbl(origin->magnitudes, &g);
        }
    }
    struct {
        double value;
        long id;
        const char *type;
    } own[] = {{mb, mbid, "mb"}, {ms, msid, "ms"}, {ml, mlid, "ml"}};
    for (auto &o : own) {
        if (o.value == NULL_MAGNITUDE) continue;
        bool found = false;
        for (long k = 0; k < m && !found; k++)
            found = static_cast<KOEVMagnitude *>(gettbl(origin->magnitudes, k))->magid == o.id;
        if (found) continue;
        if (!origin->magnitudes && !(origin->magnitudes = inittbl(0, 1, 1, 0, sizeof(KOEVMagnitude)))) {
            ko_register_error(1, "KOEventView::refreshOrigin: inittbl(magnitudes,%d) error.\n", 1);
            return -1;
        }
        KOEVMagnitude g;
        memset(&g, 0, sizeof g);
        g.magid = o.id;
        copy_text(g.magtype, sizeof g.magtype, o.type);
        g.magnitude = o.value;
        g.dbnetmag = dbinvalid();
        if (pushtbl(origin->magnitudes, &g) < 0) {
            ko_register_error(1, "KOEventView::refreshOrigin: inittbl(magnitudes,%d) error.\n", 1);
            return -1;
        }
    }

    long k = !keyed ? 0
                    : dbmatches(row, koev.mt.dbtable, &koev.kpat_origin_mt_match, &koev.tpat_origin_mt_match,
                                &koev.hook_origin_mt_match, &matches.t);
    if (k < 0) {
        ko_register_error(0, "KOEventView::refreshOrigin: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (k >= 1) {
        origin->moments = inittbl(0, k, 1, 0, sizeof(KOEVMoment));
        if (!origin->moments) {
            ko_register_error(1, "KOEventView::refreshOrigin: inittbl(moments,%d) error.\n", (int)k);
            return -1;
        }
        double latest = 0;
        for (long j = 0; j < k; j++) {
            KOEVMoment t;
            memset(&t, 0, sizeof t);
            koev.mt.dbtable.record = matches.rec(j);
            if (dbgetv(koev.mt.dbtable, 0, "mtid", &t.mtid, "lddate", &t.lddate, (char *)0) < 0) {
                ko_register_error(0, "KOEventView::refreshOrigin: dbgetv(%s) error.\n", orNULL(koev.dbname));
                return -1;
            }
            t.dbmt = koev.mt.dbtable;
            pushtbl(origin->moments, &t);
            KOEVMoment *tp = static_cast<KOEVMoment *>(gettbl(origin->moments, j));
            if (tp->lddate > latest) {
                latest = tp->lddate;
                origin->pref_moment = tp;
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------- associations

int KOEventView::refreshAssociationsUnguarded(KOEVOrigin *origin) {
    if (!origin) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshAssociations: No database currently open.\n");
        return -1;
    }
    freeAssociations(origin->associations);
    origin->associations = nullptr;
    if (origin->orid == NULL_ID) return 0;
    // the origin row is read too, as the key of the match
    look_again(koev, {&KOEV::origin, &KOEV::assoc, &KOEV::arrival, &KOEV::site});
    MatchList matches;
    long n = dbmatches(origin->dborigin, koev.assoc.dbtable, &koev.kpat_origin_assoc_match,
                       &koev.tpat_origin_assoc_match, &koev.hook_origin_assoc_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::refreshAssociations: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (n == 0) return 0;
    Tbl *list = inittbl(0, n, 1, 0, sizeof(KOEVAssociation));
    if (!list) {
        ko_register_error(1, "KOEventView::refreshAssociations: inittbl(associations,%d) error.\n", (int)n);
        return -1;
    }
    origin->associations = list;  // the caller's, with what a failure leaves
    for (long i = 0; i < n; i++) {
        KOEVAssociation a;
        koev.assoc.dbtable.record = matches.rec(i);
        if (fillAssociation(origin, -1, &a) < 0) {
            ko_register_error(0, "KOEventView::refreshAssociations: refreshAssociation() error.\n");
            return -1;
        }
        if (pushtbl(list, &a) < 0) {
            ko_register_error(1, "KOEventView::refreshAssociations: pushtbl(associations) error.\n");
            return -1;
        }
    }
    return 0;
}

int KOEventView::refreshAssociationUnguarded(KOEVOrigin *origin, long dbassoc_record, KOEVAssociation *association) {
    if (!association) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshAssociation: No database currently open.\n");
        return -1;
    }
    look_again(koev, {&KOEV::assoc, &KOEV::arrival, &KOEV::site});
    return fillAssociation(origin, dbassoc_record, association);
}

int KOEventView::fillAssociation(KOEVOrigin *origin, long dbassoc_record, KOEVAssociation *association) {
    if (dbassoc_record >= 0) koev.assoc.dbtable.record = dbassoc_record;
    long arid = 0;
    char timedef[8] = "";
    if (dbgetv(koev.assoc.dbtable, 0, "arid", &arid, "timedef", timedef, (char *)0) < 0) {
        ko_register_error(0, "KOEventView::refreshAssociation: dbgetv(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    memset(association, 0, sizeof *association);
    association->arid = arid;
    association->dbassoc = koev.assoc.dbtable;
    association->dbarrival = dbinvalid();
    association->defining = timedef[0] == 'd' ? 0 : 1;
    if (arid == NULL_ID) return 0;
    MatchList matches;
    long n = dbmatches(koev.assoc.dbtable, koev.arrival.dbtable, &koev.kpat_assoc_arrival_match,
                       &koev.tpat_assoc_arrival_match, &koev.hook_assoc_arrival_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::refreshAssociation: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (n != 1) return 0;
    koev.arrival.dbtable.record = matches.rec(0);
    association->dbarrival = koev.arrival.dbtable;
    if (koev.site.dbtable.table == dbINVALID) return 0;
    double time = 0;
    char sta[16] = "";
    if (dbgetv(koev.arrival.dbtable, 0, "time", &time, "sta", sta, (char *)0) < 0) {
        ko_register_error(0, "KOEventView::refreshAssociation: dbgetv(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    KOEVOriginStation *station = nullptr;
    if (originStation(origin, sta, time, &station) < 0) {
        ko_register_error(0, "KOEventView::refreshAssociation: lookupStation(%s) error.\n", sta);
        return -1;
    }
    association->station = station;
    return 0;
}

int KOEventView::refreshAssociationsUnguarded(KOEVEvent *event) {
    if (!event || !event->origins) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshAssociations: No database currently open.\n");
        return -1;
    }
    long norigins = maxtbl(event->origins);
    if (norigins == 0) return 0;
    Tbl *seen = inittbl(0, 1, 1, 0, sizeof(KOEVAssociation));
    if (!seen) {
        ko_register_error(1, "KOEventView::refreshAssociations: newtbl(stations_tbl) error.\n");
        return -1;
    }
    auto free_seen = undo_unless_committed([&seen] { freetbl(seen, 0); });
    for (long i = 0; i < norigins; i++) {
        KOEVOrigin *o = static_cast<KOEVOrigin *>(gettbl(event->origins, i));
        if (refreshAssociations(o) < 0) {
            ko_register_error(0, "KOEventView::refreshAssociations: refreshAssociations() error.\n");
            return -1;
        }
        for (long k = 0; k < maxtbl(o->associations); k++) {
            KOEVAssociation *a = static_cast<KOEVAssociation *>(gettbl(o->associations, k));
            if (a->station && pushtbl(seen, a) < 0) {
                ko_register_error(1, "KOEventView::refreshAssociations: pushtbl(stations_tbl) error.\n");
                return -1;
            }
        }
    }
    for (long i = 0; i < norigins && maxtbl(seen) > 0; i++) {
        KOEVOrigin *o = static_cast<KOEVOrigin *>(gettbl(event->origins, i));
        std::unordered_set<std::string> have;
        for (long k = 0; k < maxtbl(o->associations); k++) {
            KOEVAssociation *a = static_cast<KOEVAssociation *>(gettbl(o->associations, k));
            if (a->station) have.insert(a->station->sta);
        }
        for (long w = 0; w < maxtbl(seen); w++) {
            KOEVAssociation copy = *static_cast<KOEVAssociation *>(gettbl(seen, w));
            if (!have.insert(copy.station->sta).second) continue;
            if (!o->associations && !(o->associations = inittbl(0, 1, 1, 0, sizeof(KOEVAssociation)))) {
                ko_register_error(1, "KOEventView::refreshAssociations: inittbl(associations,%d) error.\n", 1);
                return -1;
            }
            copy.defining = 2;
            if (pushtbl(o->associations, &copy) < 0) {
                ko_register_error(1, "KOEventView::refreshAssociations: inittbl(associations,%d) error.\n",
                                  (int)maxtbl(o->associations) + 1);
                return -1;
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------- station magnitudes

int KOEventView::refreshStamagsUnguarded(KOEVMagnitude *magnitude) {
    if (!magnitude || !valid_row(magnitude->dbnetmag)) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshStamags: No database currently open.\n");
        return -1;
    }
    freeStamags(magnitude->stamags);
    magnitude->stamags = nullptr;
    if (magnitude->magid == NULL_ID) return 0;
    look_again(koev, {&KOEV::netmag, &KOEV::stamag, &KOEV::wfmeas});
    MatchList matches;
    long n = dbmatches(magnitude->dbnetmag, koev.stamag.dbtable, &koev.kpat_netmag_stamag_match,
                       &koev.tpat_netmag_stamag_match, &koev.hook_netmag_stamag_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::refreshStamags: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (n == 0) return 0;
    Tbl *list = inittbl(0, n, 1, 0, sizeof(KOEVStamag));
    if (!list) {
        ko_register_error(1, "KOEventView::refreshStamags: inittbl(stamags,%d) error.\n", (int)n);
        return -1;
    }
    magnitude->stamags = list;  // the caller's, with what a failure leaves
    for (long i = 0; i < n; i++) {
        KOEVStamag s;
        koev.stamag.dbtable.record = matches.rec(i);
        if (fillStamag(-1, &s) < 0) {
            ko_register_error(0, "KOEventView::refreshStamags: refreshStamag() error.\n");
            return -1;
        }
        if (pushtbl(list, &s) < 0) {
            ko_register_error(1, "KOEventView::refreshStamags: pushtbl(stamags) error.\n");
            return -1;
        }
    }
    return 0;
}

int KOEventView::refreshStamagUnguarded(long dbstamag_record, KOEVStamag *stamag) {
    if (!stamag) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshStamag: No database currently open.\n");
        return -1;
    }
    look_again(koev, {&KOEV::stamag, &KOEV::wfmeas});
    return fillStamag(dbstamag_record, stamag);
}

int KOEventView::fillStamag(long dbstamag_record, KOEVStamag *stamag) {
    if (dbstamag_record >= 0) koev.stamag.dbtable.record = dbstamag_record;
    long magid = 0, arid = 0;
    double magnitude = 0;
    char sta[16] = "";
    if (dbgetv(koev.stamag.dbtable, 0, "magid", &magid, "magnitude", &magnitude, "sta", sta, "arid", &arid,
               (char *)0) < 0) {
        ko_register_error(0, "KOEventView::refreshStamag: dbgetv(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    memset(stamag, 0, sizeof *stamag);
    stamag->magid = magid;
    stamag->magnitude = magnitude;
    stamag->dbstamag = koev.stamag.dbtable;
    stamag->dbwfmeas = dbinvalid();
    if (arid == NULL_ID) return 0;
    MatchList matches;
    long n = dbmatches(koev.stamag.dbtable, koev.wfmeas.dbtable, &koev.kpat_stamag_wfmeas_match,
                       &koev.tpat_stamag_wfmeas_match, &koev.hook_stamag_wfmeas_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::refreshStamag: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (n == 1) {
        koev.wfmeas.dbtable.record = matches.rec(0);
        stamag->dbwfmeas = koev.wfmeas.dbtable;
    }
    return 0;
}

// ---------------------------------------------------------------- stations

namespace {

// The site row of `sta` valid on the day of `time`: its record, -1 when
// there is not exactly one, -2 on failure (message registered).
long site_row(KOEV &koev, const char *sta, double time) {
    Dbptr scratch = koev.site.dbtable;
    scratch.record = dbSCRATCH;
    long day = yearday(time);
    if (dbputv(scratch, 0, "sta", sta, "ondate", day, "offdate", day, (char *)0) < 0) {
        ko_register_error(0, "KOEventView::lookupStation: dbputv(%s) error.\n", orNULL(koev.dbname));
        return -2;
    }
    MatchList matches;
    long n = dbmatches(scratch, koev.site.dbtable, &koev.kpat_site_match, &koev.tpat_site_match,
                       &koev.hook_site_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::lookupStation: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -2;
    }
    return n == 1 ? matches.rec(0) : -1;
}

}  // namespace

int KOEventView::lookupStationUnguarded(KOEVOrigin *origin, char *sta, double statime, KOEVOriginStation **station) {
    KOEVOriginStation *none = nullptr;
    if (!station) station = &none;
    *station = nullptr;
    if (!origin || !sta) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::lookupStation: No database currently open.\n");
        return -1;
    }
    look_again(koev, {&KOEV::site});
    return originStation(origin, sta, statime, station);
}

int KOEventView::originStation(KOEVOrigin *origin, char *sta, double statime, KOEVOriginStation **station) {
    *station = nullptr;
    if (!origin || !sta) return 0;
    if (!origin->stations && !(origin->stations = newarr(0))) {
        ko_register_error(1, "KOEventView::lookupStation: newarr(origin->stations) error.\n");
        return -1;
    }
    KOEVOriginStation *known = static_cast<KOEVOriginStation *>(getarr(origin->stations, sta));
    if (known) {
        *station = known;
        return 0;
    }
    long rec = site_row(koev, sta, statime);
    if (rec == -2) return -1;
    if (rec < 0) return 0;
    koev.site.dbtable.record = rec;
    double lat, lon, elev;
    if (dbgetv(koev.site.dbtable, 0, "lat", &lat, "lon", &lon, "elev", &elev, (char *)0) < 0) {
        ko_register_error(0, "KOEventView::lookupStation: dbgetv(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    double distance, ptime, stime;
    if (station_predictions(koev.site.dbtable, origin, lat, lon, &distance, &ptime, &stime) < 0) {
        ko_register_error(1, "KOEventView::lookupStation: predicted times of %s: out of memory.\n", sta);
        return -1;
    }
    KOEVOriginStation *s = static_cast<KOEVOriginStation *>(calloc(1, sizeof(KOEVOriginStation)));
    if (!s) {
        ko_register_error(1, "KOEventView::lookupStation: malloc(KOEVOriginStation) error.\n");
        return -1;
    }
    s->origin = origin;
    copy_text(s->sta, sizeof s->sta, sta);
    s->lat = lat;
    s->lon = lon;
    s->elev = elev;
    s->distance = distance;
    s->predicted_P_time = ptime;
    s->predicted_S_time = stime;
    s->dbsite = koev.site.dbtable;
    if (setarr(origin->stations, sta, s) == ARR_FAILED) {
        free(s);
        ko_register_error(1, "KOEventView::lookupStation: setarr(%s) error.\n", sta);
        return -1;
    }
    *station = s;
    return 0;
}

int KOEventView::lookupStationUnguarded(KOEVDetection *detection, char *sta, KOEVOrigin *origin) {
    if (!detection || !sta) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::lookupStation: No database currently open.\n");
        return -1;
    }
    look_again(koev, {&KOEV::site});
    return detectionStation(detection, sta, origin);
}

int KOEventView::detectionStation(KOEVDetection *detection, char *sta, KOEVOrigin *origin) {
    long rec = site_row(koev, sta, detection->time);
    if (rec == -2) return -1;
    if (rec < 0) return 0;
    koev.site.dbtable.record = rec;
    double lat, lon, elev;
    if (dbgetv(koev.site.dbtable, 0, "lat", &lat, "lon", &lon, "elev", &elev, (char *)0) < 0) {
        ko_register_error(0, "KOEventView::lookupStation: dbgetv(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    // filled in a copy: a failure leaves the detection's station as it was
    KOEVDetectionStachan st;
    memset(&st, 0, sizeof st);
    copy_text(st.sta, sizeof st.sta, sta);
    memcpy(st.chan, detection->station.chan, sizeof st.chan);
    st.chan[sizeof st.chan - 1] = 0;
    st.dbsite = koev.site.dbtable;
    st.lat = lat;
    st.lon = lon;
    st.elev = elev;
    if (origin && station_predictions(koev.site.dbtable, origin, lat, lon, &st.distance, &st.predicted_P_time,
                                      &st.predicted_S_time) < 0) {
        ko_register_error(1, "KOEventView::lookupStation: predicted times of %s: out of memory.\n", sta);
        return -1;
    }
    detection->station = st;
    return 0;
}

// ---------------------------------------------------------------- detections

int KOEventView::refreshDetectionsUnguarded(KOEVOrigin *origin, int all) {
    if (!origin) return 0;
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshDetections: No database currently open.\n");
        return -1;
    }
    freeDetections(origin->detections);
    origin->detections = nullptr;
    look_again(koev, {&KOEV::origin, &KOEV::detection, &KOEV::site});
    MatchList matches;
    long n = dbmatches(origin->dborigin, koev.detection.dbtable, &koev.kpat_origin_detection_match,
                       &koev.tpat_origin_detection_match, &koev.hook_origin_detection_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::refreshDetections: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    if (n == 0) return 0;
    Tbl *list = inittbl(0, n, 1, 0, sizeof(KOEVDetection));
    if (!list) {
        ko_register_error(1, "KOEventView::refreshDetections: inittbl(detections,%d) error.\n", (int)n);
        return -1;
    }
    origin->detections = list;  // the caller's, with what a failure leaves
    Arr *best = nullptr;
    if (!all && !(best = newarr(0))) {
        ko_register_error(1, "KOEventView::refreshDetections: newarr(stations_arr) error.\n");
        return -1;
    }
    auto free_best = undo_unless_committed([&best] { freearr(best, free); });
    auto append = [&list](const KOEVDetection *d) {
        if (pushtbl(list, d) >= 0) return true;
        ko_register_error(1, "KOEventView::refreshDetections: pushtbl(detections) error.\n");
        return false;
    };
    for (long i = 0; i < n; i++) {
        KOEVDetection d;
        memset(&d, 0, sizeof d);
        koev.detection.dbtable.record = matches.rec(i);
        double time = 0, lddate = 0;
        char sta[16] = "", chan[16] = "", state[16] = "";
        if (dbgetv(koev.detection.dbtable, 0, "time", &time, "sta", sta, "chan", chan, "state", state, "lddate",
                   &lddate, (char *)0) < 0) {
            ko_register_error(0, "KOEventView::refreshDetections: dbgetv(%s) error.\n", orNULL(koev.dbname));
            return -1;
        }
        if (is_detector_state(state)) {
            if (all && !append(&d)) return -1;  // a zeroed record keeps the positions
            continue;
        }
        d.time = time;
        d.lddate = lddate;
        copy_text(d.phase, sizeof d.phase, state);
        copy_text(d.station.sta, sizeof d.station.sta, sta);
        copy_text(d.station.chan, sizeof d.station.chan, chan);
        d.dbdetection = koev.detection.dbtable;
        if (detectionStation(&d, sta, origin) < 0) {
            ko_register_error(0, "KOEventView::refreshDetections: lookupStation(%s_%s) error.\n", sta, chan);
            return -1;
        }
        if (all) {
            if (!append(&d)) return -1;
            continue;
        }
        d.residual = d.time - d.station.predicted_P_time;
        KOEVDetection *b = static_cast<KOEVDetection *>(getarr(best, sta));
        if (!b) {
            b = static_cast<KOEVDetection *>(malloc(sizeof *b));
            if (!b) {
                ko_register_error(1, "KOEventView::refreshDetections: malloc(best_detection) error.\n");
                return -1;
            }
            *b = d;
            if (setarr(best, sta, b) == ARR_FAILED) {
                free(b);
                ko_register_error(1, "KOEventView::refreshDetections: malloc(best_detection) error.\n");
                return -1;
            }
        } else if (std::fabs(d.residual) < std::fabs(b->residual)) {
            *b = d;
        }
    }
    if (best) {
        Tbl *vals = valsarr(best);
        if (!vals) {
            ko_register_error(1, "KOEventView::refreshDetections: valsarr(stations_arr) error.\n");
            return -1;
        }
        bool ok = true;
        for (long i = 0; i < maxtbl(vals) && ok; i++) ok = append(static_cast<KOEVDetection *>(gettbl(vals, i)));
        freetbl(vals, 0);
        if (!ok) return -1;
    }
    free_best.commit();
    freearr(best, free);
    return 0;
}

int KOEventView::refreshDetectionsUnguarded(Tbl **detections, double t1, double t2) {
    if (!detections) {
        ko_register_error(0, "KOEventView::refreshDetections: no list pointer.\n");
        return -1;
    }
    if (!bound()) {
        ko_register_error(0, "KOEventView::refreshDetections: No database currently open.\n");
        return -1;
    }
    freeDetections(*detections);
    *detections = nullptr;
    look_again(koev, {&KOEV::detection, &KOEV::site});
    char range[96];
    snprintf(range, sizeof range, "time::time+%f", t2 - t1);
    char *key = strdup(range);
    Tbl *keys = key ? newtbl(1) : nullptr;
    if (!keys || pushtbl(keys, key) < 0) {
        free(key);
        freetbl(keys, 0);
        ko_register_error(1, "KOEventView::refreshDetections: newtbl(%s) error.\n", range);
        return -1;
    }
    freetbl(koev.kpat_detection_match, free);
    koev.kpat_detection_match = keys;
    Dbptr scratch = koev.detection.dbtable;
    scratch.record = dbSCRATCH;
    if (dbputv(scratch, 0, "time", t1, (char *)0) < 0) {
        ko_register_error(0, "KOEventView::refreshDetections: dbputv(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    MatchList matches;
    long n = dbmatches(scratch, koev.detection.dbtable, &koev.kpat_detection_match, &koev.tpat_detection_match,
                       &koev.hook_detection_match, &matches.t);
    if (n < 0) {
        ko_register_error(0, "KOEventView::refreshDetections: dbmatches(%s) error.\n", orNULL(koev.dbname));
        return -1;
    }
    Tbl *list = inittbl(0, n, 1, 0, sizeof(KOEVDetection));
    if (!list) {
        ko_register_error(1, "KOEventView::refreshDetections: inittbl(detections,%d) error.\n", (int)n);
        return -1;
    }
    *detections = list;  // the caller's, with what a failure leaves
    for (long i = 0; i < n; i++) {
        KOEVDetection d;
        memset(&d, 0, sizeof d);
        koev.detection.dbtable.record = matches.rec(i);
        char sta[16] = "", chan[16] = "", state[16] = "";
        if (dbgetv(koev.detection.dbtable, 0, "time", &d.time, "sta", sta, "chan", chan, "state", state, "lddate",
                   &d.lddate, (char *)0) < 0) {
            ko_register_error(0, "KOEventView::refreshDetections: dbgetv(%s) error.\n", orNULL(koev.dbname));
            return -1;
        }
        if (is_detector_state(state)) continue;
        copy_text(d.phase, sizeof d.phase, state);
        d.dbdetection = koev.detection.dbtable;
        if (detectionStation(&d, sta, nullptr) < 0) {
            ko_register_error(0, "KOEventView::refreshDetections: lookupStation(%s_%s) error.\n", sta, chan);
            return -1;
        }
        copy_text(d.station.sta, sizeof d.station.sta, sta);
        copy_text(d.station.chan, sizeof d.station.chan, chan);
        if (pushtbl(list, &d) < 0) {
            ko_register_error(1, "KOEventView::refreshDetections: pushtbl(detections) error.\n");
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- change monitoring

int KOEventView::checkChangesUnguarded(Arr **changes) {
    if (!changes) {
        ko_register_error(0, "KOEventView::checkChanges: no array pointer.\n");
        return -1;
    }
    if (*changes) freearr(*changes, 0);
    *changes = newarr(0);
    if (!*changes) {
        ko_register_error(1, "KOEventView::checkChanges: newarr(changes) error.\n");
        return -1;
    }
    Lock l(&tables_mutex_);
    if (!bound()) {
        ko_register_error(0, "KOEventView::checkChanges: No database currently open.\n");
        return -1;
    }
    for (KOEV_Table KOEV::*t : TABLES) {
        char *code = nullptr;
        if (eventview_check_table(&(koev.*t), &code) < 0) {
            ko_register_error(0, "KOEventView::checkChanges: eventview_check_table() error.\n");
            return -1;
        }
        if (code && setarr(*changes, (koev.*t).name, code) == ARR_FAILED) {
            ko_register_error(1, "KOEventView::checkChanges: setarr(%s) error.\n", (koev.*t).name);
            return -1;
        }
    }
    return 0;
}

int KOEventView::monitorChangesThread(double time_increment, KO_EventViewCallbackProc *callbackProc,
                                      KO_ClientData clientData) {
    Lock l(&monitor_mutex_);
    if (!(time_increment > 0)) {
        koev.monitor_state = 2;
        return 0;
    }
    koev.monitor_callback = callbackProc;
    koev.monitor_clientdata = clientData;
    koev.monitor_time_increment = time_increment;
    koev.monitor_state = 1;
    if (monitor_running_) return 0;
    if (monitor_joinable_) {
        // the earlier thread has seen its stop and ends without the lock
        pthread_join(koev.monitor_thread, nullptr);
        monitor_joinable_ = false;
    }
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, runMonitor, this);
    if (rc != 0) {
        errno = rc;
        koev.monitor_state = 2;
        ko_register_error(1, "KOEventView::monitorChangesThread: pthread_create() error.\n");
        return -1;
    }
    koev.monitor_thread = tid;
    monitor_running_ = true;
    monitor_joinable_ = true;
    return 0;
}

void *KOEventView::runMonitor(void *arg) {
    KOEventView *v = static_cast<KOEventView *>(arg);
    Arr *changes = nullptr;
    pthread_mutex_lock(&v->monitor_mutex_);
    double increment = v->koev.monitor_time_increment;
    KO_EventViewCallbackProc *callback = v->koev.monitor_callback;
    KO_ClientData clientdata = v->koev.monitor_clientdata;
    while (v->koev.monitor_state != 2 && !v->monitor_shutdown_) {
        if (v->koev.monitor_state == 1) {
            increment = v->koev.monitor_time_increment;
            callback = v->koev.monitor_callback;
            clientdata = v->koev.monitor_clientdata;
            v->koev.monitor_state = 0;
        }
        pthread_mutex_unlock(&v->monitor_mutex_);
        if (callback) {
            int mark = elog_mark();
            v->checkChanges(&changes);  // a failed look still hands over the tables it saw
            try {
                callback(0, clientdata, changes);
            } catch (...) {
                // an exception of the callback's own ends that call, not the thread
            }
            elog_flush(0, mark);
        }
        pthread_mutex_lock(&v->monitor_mutex_);
        eventview_usleep(&v->monitor_wake_, &v->monitor_mutex_, &v->monitor_shutdown_, increment);
    }
    v->monitor_running_ = false;
    pthread_mutex_unlock(&v->monitor_mutex_);
    if (changes) freearr(changes, 0);
    return nullptr;
}

// ---------------------------------------------------------------- memory running out

// Memory running out inside the engine's calls (which may throw) is a
// failure of the operation like any other: it is reported and turned into
// the failure result, so no exception leaves the view, nor its monitor
// thread.
template <typename Body>
static int guarded(const char *method, Body body) {
    try {
        return body();
    } catch (...) {
        ko_register_error(1, "KOEventView::%s: out of memory.\n", method);
        return -1;
    }
}

int KOEventView::reset() {
    return guarded("reset", [&]() -> int { return resetUnguarded(); });
}

int KOEventView::refreshEvents(Tbl **events) {
    return guarded("refreshEvents", [&]() -> int { return refreshEventsUnguarded(events); });
}

int KOEventView::refreshOrigin(long dborigin_record, KOEVOrigin *origin) {
    return guarded("refreshOrigin", [&]() -> int { return refreshOriginUnguarded(dborigin_record, origin); });
}

int KOEventView::refreshAssociations(KOEVOrigin *origin) {
    return guarded("refreshAssociations", [&]() -> int { return refreshAssociationsUnguarded(origin); });
}

int KOEventView::refreshAssociation(KOEVOrigin *origin, long dbassoc_record, KOEVAssociation *association) {
    return guarded("refreshAssociation", [&]() -> int { return refreshAssociationUnguarded(origin, dbassoc_record, association); });
}

int KOEventView::refreshAssociations(KOEVEvent *event) {
    return guarded("refreshAssociations", [&]() -> int { return refreshAssociationsUnguarded(event); });
}

int KOEventView::refreshStamags(KOEVMagnitude *magnitude) {
    return guarded("refreshStamags", [&]() -> int { return refreshStamagsUnguarded(magnitude); });
}

int KOEventView::refreshStamag(long dbstamag_record, KOEVStamag *stamag) {
    return guarded("refreshStamag", [&]() -> int { return refreshStamagUnguarded(dbstamag_record, stamag); });
}

int KOEventView::lookupStation(KOEVOrigin *origin, char *sta, double statime, KOEVOriginStation **station) {
    return guarded("lookupStation",
                   [&]() -> int { return lookupStationUnguarded(origin, sta, statime, station); });
}

int KOEventView::lookupStation(KOEVDetection *detection, char *sta, KOEVOrigin *origin) {
    return guarded("lookupStation", [&]() -> int { return lookupStationUnguarded(detection, sta, origin); });
}

int KOEventView::refreshDetections(KOEVOrigin *origin, int all) {
    return guarded("refreshDetections", [&]() -> int { return refreshDetectionsUnguarded(origin, all); });
}

int KOEventView::refreshDetections(Tbl **detections, double t1, double t2) {
    return guarded("refreshDetections", [&]() -> int { return refreshDetectionsUnguarded(detections, t1, t2); });
}

int KOEventView::checkChanges(Arr **changes) {
    return guarded("checkChanges", [&]() -> int { return checkChangesUnguarded(changes); });
}
