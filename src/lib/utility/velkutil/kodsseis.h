/*
 * kodsseis.h -- the seismic data source: a prepared view of a waveform
 * database for one time span, its rows sorted by station, channel and time,
 * optionally joined with instruments (and their responses), channel
 * orientations and station coordinates, and grouped by station-channel.
 * Channels are extracted from a source into trace tables, with gap
 * handling, calibration, responses, and rotation of two or three orthogonal
 * components into any direction.
 *
 * Sources are addressed by "scg%d" handles; the first is scg1.  Loaded
 * instrument responses are kept for the life of the process, shared by all
 * sources: a response file is read once per process and path.
 *
 * Messages go to the calling thread's error register (elog_log).  Sources
 * are created, used and freed by one thread at a time.
 */
#ifndef VELKUTIL_KODSSEIS_H
#define VELKUTIL_KODSSEIS_H

#include "stock.h"
#include "db.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kodsseis_ {
    Dbptr dbin;   /* the caller's database (never closed here) */
    Dbptr dbscgr; /* one row per station-channel; "bundle" ranges into dbsc */
    Dbptr dbsc;   /* the sorted, joined rows */
} KODsseis;

/* Builds and registers a source.  argv: start time, end time (time strings),
 * then options with one value each:
 *   -sta expr      station regular expression
 *   -chan expr     channel regular expression
 *   -coord flag    join station coordinates (site)
 *   -ir flag       join instruments and read their responses; above 1 a
 *                  missing response file is an error
 *   -orient flag   join channel orientations (sitechan)
 * Results: 0 with *scg and handle set (handle holds at least 32 bytes);
 * 2 usage ("@db tstart tend [-sta sta_expr] ..."); 1 option error ("Need %s
 * argument.", "Unrecognized option %s", or a time that does not convert);
 * -1 failure of the memory or of the loading plan (its message). */
int kodsseis_create(Dbptr dbin, int argc, char **argv, KODsseis **scg, char *handle);

/* The registered source, or null with "kodsseis_get: No scgs" or
 * "kodsseis_get: Cannot find %s". */
KODsseis *kodsseis_get(char *handle);

/* Unregisters and frees a source and its views (not the database).  An
 * unknown tag is ignored and leaves the error register as it was. */
void kodsseis_free(char *handle);

/* argv[0] is a tag: the number of station-channel groups, or -1. */
int kodsseis_getnstachans(int argc, char **argv);

/* argv[0] a tag, argv[1] a group number from 0: writes "net sta chan nsegs
 * start end" ("%s %s %s %d %.5lf %.5lf", the network always "-") into out,
 * which holds at least 128 bytes.  nsegs counts the group's wfdisc rows (a
 * row joined with two sensors counts once); start is the first row's time,
 * end the last row's endtime.  0, or -1 with a message (a group number out
 * of range is refused). */
int kodsseis_getstachan(int argc, char **argv, char *out);

/* The loading plan, usable without a registered source: subsets wfdisc to
 * the expressions and the span (strict overlap; no time condition when both
 * times are 0), sorts it by station, channel and start time, joins sensor
 * (subset the same way) with instrument (ir: reading every response file
 * into the shared cache), sitechan (orient) and site (coords) as outer
 * joins, joins the sorted rows with that (a row whose span meets two
 * sensor epochs appears once per sensor), and groups by sta and chan.
 * Every intermediate view is freed.  net_expr is not used.  0 with *dbscgr and *dbsc set, or -1 with a
 * "grdb_sc_loadcss: ..." message. */
/* Memory running out in any of these entries is a failure (-1) with the
 * message "<entry>: malloc() error.\n" (flag 1; "grdb_sc_loadcss" and
 * "getchannel" for the two plans): a failed plan or source creation gives
 * back every view it made, and a failed extraction leaves only whole rows
 * (each sample array owned by one row) in the trace table. */
int dsseis_grdb_sc_loadcss(Dbptr dbin, char *net_expr, char *sta_expr, char *chan_expr, double tstart, double tend,
                           int coords, int ir, int orient, Dbptr *dbscgr, Dbptr *dbsc);

/* Loads the segments of the first channel of the first station of dbsc
 * that match the expressions (null: all) between tstart and tend (both 0:
 * the span of the rows) into *trace, after the rows it already holds (a
 * trace table pointer, or one whose table is dbINVALID for a new one).
 * gap: "seg" (null; split at gaps and splice what meets), "leave", "drop"
 * (only channels left with one segment); "interp" and "zero" are refused
 * as not implemented.  calib non-zero applies the calibration.  rotate
 * non-null: the first station's two or three orthogonal channels are
 * rotated into one channel named rotate, of strike and dip (degrees,
 * clockwise from north; downward from horizontal), with hang strike and
 * vang 90 + dip; samples where an input has no data are gaps and the output
 * is split there.  Inputs must have the same sample rate and known
 * orientations (hang and vang from a sitechan join); a finite strike and
 * dip.  A wfdisc row joined with two sensors is loaded once, with the
 * sensor in effect at its start.  Responses come from the shared cache,
 * through the instrument of the wfdisc row that holds each segment's start
 * (a segment starting on a row's last sample time belongs to the row that
 * starts there).  filter is not used.
 * On success 0: trace->record is the first new row, trace->field the row
 * count, *nsegs the number of new rows.  -1 with a message otherwise; a
 * waveform file missing for a row of the selected channels is a failure. */
int dsseis_getchannel(Dbptr dbsc, char *net, char *sta, char *chan, double tstart, double tend, char *gap, int calib,
                      char *rotate, double strike, double dip, char *filter, int *nsegs, Dbptr *trace);

/* argv[0] a tag; options "-time" (start), "-twin" (seconds from the start
 * read so far) and "-endtime".  Loads the first channel of the first
 * station, gap mode "seg", calibrated, as dsseis_getchannel.  0, 1 for an
 * option error ("Need %s argument.", "Unrecognized option %s"), or -1. */
int kodsseis_getchannel(int argc, char **argv, int *nsegs, Dbptr *trace);

/* Segment iseg of a result (the row trace.record + iseg; iseg < 0: that
 * row itself): start time, sample interval, sample count and the trace
 * table's own samples (not to be freed).  0, or -1 with a message. */
int kodsseis_getsegment(Dbptr trace, int iseg, double *tstart, double *dt, int *nsamp, float **data);

#ifdef __cplusplus
}
#endif

#endif
