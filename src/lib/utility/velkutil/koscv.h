/*
 * koscv.h -- station-channel views of a waveform database.
 *
 * A view opens a database and keeps an in-memory index of it, the cache:
 * which station-channel pairs have rows in the wfdisc, arrival and detection
 * tables, which rows those are, and the time span they cover, restricted by
 * a time window and lists of accept and reject expressions.  The cache is
 * built by scanning the tables' fixed-width rows straight from memory, in
 * contiguous slices on the compute pool, and merging the slices in order,
 * so the result never depends on the number of workers.
 *
 * From the cache a program fetches the rows of one pair in a window
 * (koscv_subset), the station's coordinates and a row's calibration, and
 * trace tables: the samples of a pair's waveform rows split into runs of
 * good samples and gaps.
 *
 * Views are addressed by "koscv%d" tags (the first is koscv1).  The
 * registry is locked (koscv_mutex); a view itself is not: one thread at a
 * time builds, reads or destroys a given view.
 *
 * Every failure registers its message in the calling thread's error
 * register and returns -1 (or null); nothing prints unless "-v" was given.
 * Memory running out inside the engine or the containers is such a failure
 * ("<operation>: out of memory.\n"): no exception leaves these functions.
 */
#ifndef VELKUTIL_KOSCV_H
#define VELKUTIL_KOSCV_H

#include <stdint.h>

#include "stock.h"
#include "arrays.h"
#include "db.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One table of a view's database. */
typedef struct koscvtable_ {
    Dbptr db;              /* the table, field and record dbALL */
    int64_t record_n;      /* row length in bytes (without the newline) */
    int64_t sta_i, sta_n;  /* offset and width of sta in a row */
    int64_t chan_i, chan_n;
    int64_t time_i, time_n;
    int64_t endtime_i, endtime_n; /* -1 and 0 for a table without endtime */
    char *table_addr;      /* where the rows begin; asked again before every scan */
    Hook *dbmatches_hook;  /* matching state of koscv_subset and the trace tables */
    Tbl *matchlist1;       /* key side: "sta" "chan" "time::endtime" */
    Tbl *matchlist2;       /* table side: the same, or "sta" "chan" "time" */
    Tbl *rows;             /* cached record numbers, ascending */
} KOSCVTable;

/* One station-channel pair; the cache's records and the records that
 * koscv_subset fills for callers share this shape. */
typedef struct koscvstachan_ {
    char sta[32];
    char chan[32];
    char stachan[64];      /* the key: station, one blank, channel */
    char nscl[128];        /* room for the SEED name (empty in the cache) */
    double tstart;         /* earliest time of the pair's cached rows */
    double tend;           /* latest endtime (arrival, detection: time) */
    Hook *dbmatches_hook;  /* station lookups of koscv_get_latlonelev */
    Tbl *wfdiscrows;       /* record numbers, ascending */
    Tbl *arrivalrows;
    Tbl *detectionrows;
} KOSCVStaChan;

/* A worker's partial result for one pair. */
typedef struct koscvthreadstachan_ {
    Tbl *rows;
    double tstart;
    double tend;
} KOSCVThreadStaChan;

struct koscv_;

/* One worker's context, kept in the view and reused by every build. */
typedef struct koscvthread_ {
    int thread;            /* slice number */
    struct koscv_ *scv;
    char table[32];        /* the table being scanned */
    Dbptr db;
    Tbl *rows;             /* rows of the slice that passed the filters */
    Arr *stachans_arr;     /* key -> KOSCVThreadStaChan */
    int64_t bad_record;    /* the row that stopped the scan as a database error, or -1 */
} KOSCVThread;

/* A view. */
typedef struct koscv_ {
    char *dbname;
    Dbptr db;
    Tbl *threads;                /* KOSCVThread records, one per worker */
    Arr *tables;                 /* "wfdisc" "arrival" "detection" "calibration" -> KOSCVTable */
    Tbl *stachan_accept_cache;   /* accept expressions, or null: accept all */
    Tbl *stachan_reject_cache;   /* reject expressions, or null: reject none */
    double tstart_cache;         /* window start; a bound only below 9e19 */
    double tend_cache;           /* window end; a bound only below 9e19 */
    Tbl *stachans_tbl;           /* cached keys in strcmp order (strings of stachans_arr) */
    Arr *stachans_arr;           /* key -> KOSCVStaChan */
} KOSCV;

/* One run of a trace's samples. */
typedef struct koscvtracesegment_ {
    int samp0;      /* first sample of the run */
    int nsamp;      /* samples in the run */
    int data_type;  /* KOSCV_SEG_* */
} KOSCVTraceSegment;

#define KOSCV_SEG_ROW 1      /* the whole trace as the row describes it */
#define KOSCV_SEG_NOFILE 2   /* the row's waveform file does not exist */
#define KOSCV_SEG_GAP 3      /* samples equal to the gap marker */
#define KOSCV_SEG_GOOD 4     /* good samples */

/* One waveform row's trace. */
typedef struct koscvtrace_ {
    Dbptr db;           /* the wfdisc row */
    double tstart;      /* the row's span clipped to the window; once read, first sample time */
    double tend;        /* ... last sample time */
    double dt;          /* 1 / samprate */
    int64_t nsamp;      /* the row's count; once read, the samples read */
    double calib;
    double calper;
    char data_type[32]; /* segtype */
    float *data;        /* the samples (owned), or null */
    int data_size;      /* bytes of data */
    Tbl *segments;      /* KOSCVTraceSegment records, in order */
} KOSCVTrace;

/* ------------------------------------------------------------ views */

/* koscv_create: opens the database named by the last word of argv and
 * builds its cache.  argv holds options only (no program name):
 *   -tstart T, -tend T     the window (zstr2epoch time strings)
 *   -stachan_accept L      comma-separated expressions; ':' stands for the
 *   -stachan_reject L      blank of a key ("AAK:BH." tests keys "AAK BHZ");
 *                          an expression without one tests SEED names
 *                          ("IU_AAK_.*"); '#' starts an ignored entry
 *   -nthreads N            workers of the build, 1 to 1024 (default 1)
 *   -v                     progress messages (for every view, from now on)
 * The view's tag is written into handle (room for 32 characters).  If the
 * build fails after the view was registered the tag is still written and
 * the caller frees it with koscv_destroy.  argv is not changed.
 * Messages: the usage text; "koscv_create: Need %s argument.\n";
 * "koscv_create: Unable to parse -tstart argument '%s'.\n" (and -tend);
 * "koscv_create: Unrecognized option %s\n"; "koscv_create: Need dbname
 * argument.\n"; "koscv_create: Unrecognized arguments.\n";
 * "koscv_create: -nthreads argument '%s' is not a whole number from 1 to
 * 1024.\n"; "koscv_create: dbopen(%s) error.\n"; "koscv_create: Cannot
 * lookup %s table for database %s.\n"; "koscv_create: koscv_set_offsets
 * (%s) error.\n"; "koscv_create: koscv_subset_cache(%s) error.\n".
 * 0, or -1. */
int koscv_create(int argc, char **argv, char *handle);

/* The view of a tag, or null with "koscv_get: No scvs" or "koscv_get:
 * Cannot find %s". */
KOSCV *koscv_get(char *handle);

/* Rebuilds the cache from the tables with the view's filters.  The new
 * cache replaces the old one only when it is whole: a failed build (memory
 * running out included, "koscv_create_cache: out of memory.\n") leaves the
 * view with the cache it had.  0, or -1. */
int koscv_create_cache(char *handle);

/* Replaces the filters and rebuilds.  A null list keeps the old filter, an
 * empty list removes it; a bound of 9e29 or more keeps the old bound, one
 * from 9e19 up to 9e29 lifts it.  When the rebuild fails the view keeps its
 * old filters, bounds and cache.  0, or -1. */
int koscv_subset_cache(char *handle, Tbl *stachan_accept, Tbl *stachan_reject, double tstart, double tend);

/* Writes the SEED name of a pair into nscl (128 characters of room):
 * "NET_STA_CHAN_LOC", or "NET_STA_CHAN" without a location code.  A pair
 * the SEED tables do not know keeps its own codes; no message either way. */
void koscv_get_nscl(KOSCV *scv, char *sta, char *chan, char *nscl);

/* Unregisters and frees the view and closes its database.  "koscv_destroy:
 * Cannot find KOSCV for handle %s.\n" and -1 for an unknown tag; else 0. */
int koscv_destroy(char *handle);

/* ------------------------------------------------------------ subsets */

/* koscv_subset: fills *sc (allocated when null; the caller owns it and
 * frees it with koscv_free_stachan) with the cached pair `stachan`
 * ("STA CHAN") and, for each table whose flag is set, the pair's rows
 * overlapping tstart..tend (arrival and detection: rows whose time lies
 * in it).  Lists of unset flags are null.  A pair not in the cache gives
 * three empty lists, its names taken from the key, and 0.  0, or -1. */
int koscv_subset(char *handle, char *stachan, double tstart, double tend, int getwf, int getarrivel,
                 int getdetection, KOSCVStaChan **sc);

/* Frees a record filled by koscv_subset: its row lists, its hook and the
 * record.  Null is ignored. */
void koscv_free_stachan(KOSCVStaChan *sc);

/* Coordinates of the pair's station from the site row valid on the day of
 * `time`.  No such row: lat and lon -999, elev unchanged.  0, or -1. */
int koscv_get_latlonelev(KOSCV *scv, KOSCVStaChan *sc, double time, double *lat, double *lon, double *elev);

/* Sample rate and calibration of a wfdisc row; with calib_from_db set and
 * a calib of 0, calib, calper and segtype come from the first matching
 * calibration row.  segtype needs room for 2 characters; null outputs are
 * skipped.  0, or -1. */
int koscv_get_sampratecalib(KOSCV *scv, KOSCVStaChan *sc, Dbptr dbwfdisc, int calib_from_db, double *samprate,
                            double *calib, double *calper, char *segtype);

/* Drop the matching state of one table (or all three) so that the next
 * fetch sees rows added to the tables since.  0, or -1. */
int koscv_subset_refresh_wfdisc(char *handle);
int koscv_subset_refresh_arrival(char *handle);
int koscv_subset_refresh_detection(char *handle);
int koscv_subset_refresh(char *handle);

/* ------------------------------------------------------------ traces */

/* koscv_trace_get_table: one KOSCVTrace per row of sc->wfdiscrows that
 * overlaps tstart..tend (0: no bound), clipped to the window, into a new
 * list stored in *trace_tbl (an old list there is freed first).
 * read_flags 0: rows only; 1: also whether each waveform file exists; any
 * other value: also the samples, split into runs of good samples and gaps.
 * calib_from_db: a row with calib 0 takes calib, calper and segtype from
 * the calibration table.  A missing file is a segment of kind
 * KOSCV_SEG_NOFILE, no failure.  On failure the traces built so far stay
 * in *trace_tbl.  0, or -1. */
int koscv_trace_get_table(KOSCV *scv, KOSCVStaChan *sc, double tstart, double tend, int read_flags,
                          int calib_from_db, Tbl **trace_tbl);

/* "zero": gap samples become 0 and each trace gets the single good
 * segment {0, nsamp}; "none" or any other word: nothing.  0, or -1. */
int koscv_trace_process_gaps(Tbl *trace_tbl, char *how);

/* Free a trace (samples, segments, record) or a whole table; null is
 * ignored. */
void koscv_trace_free(KOSCVTrace *trace);
void koscv_trace_free_table(Tbl *trace_tbl);

#ifdef __cplusplus
}
#endif

#endif
