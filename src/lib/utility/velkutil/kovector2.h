/*
 * kovector2.h -- plot vectors: point series (x, ny y values and an optional
 * label per point) and time-sampled series (start time, interval, samples),
 * addressed by "vect%d" handles.  Released records go to a byte-budgeted
 * cache that later creations reuse by best fit.
 *
 * Point vectors keep their values in rows of y_size + 1 doubles (x, then the
 * y values); time-sampled vectors keep one double per sample.  Callers use
 * the family from one thread at a time.
 */
#ifndef VELKUTIL_KOVECTOR2_H
#define VELKUTIL_KOVECTOR2_H

#include "stock.h"
#include "arrays.h"
#include "db.h"
#include "pf.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kovector2_ {
    char ident[8];      /* "kovec2", NUL-padded, while the record is live or cached */
    int ny;             /* y values per point in use (1 for time-sampled) */
    int nx;             /* points (or samples) in use */
    char tag[64];       /* caller's group name, "" if none */
    double time;        /* time-sampled: time of sample 0 */
    double dt;          /* time-sampled: sample interval */
    int is_timeseries;  /* 0 point vector, 1 time-sampled */
    int x_size;         /* row (sample) capacity of dblbuf, >= nx */
    int y_size;         /* y capacity of a row (stride is y_size + 1) */
    int dblbuf_size;    /* bytes in dblbuf */
    double *dblbuf;     /* the values */
    int lblbuf_size;    /* bytes in lblbuf, 0 while there is none */
    char **lblbuf;      /* label slots (null or owned strings), or null */
    int heap_size;      /* bytes charged to the vector */
} KOVector2;

/* Store: lookup, creation, copies, growth, release and the cache. */
KOVector2 *kovector2_get_vector(char *handle);
KOVector2 *kovector2_create(int nx, int ny, char *tag, char *handle);
KOVector2 *kovector2_create_tsamp(int nsamp, double time, double samprate, double *data, char *tag,
                                  char *handle);
KOVector2 *kovector2_copy(char *in_handle, char *tag, char *handle);
KOVector2 *kovector2_copy_1y(char *in_handle, int yindex, char *tag, char *handle);
int kovector2_resize(char *handle);
int kovector2_resize_y(char *handle, int ny);
void kovector2_free_vector(KOVector2 *vector);
int kovector2_free(char *handle);
int kovector2_free_tag(char *tag);
int kovector2_set_cache(long max_size);
int kovector2_get_heap_size(char *tag, char *handle, long *nobjects, long *heap_total, long *cache_objects,
                            long *cache_total, long *nmallocs, long *nreallocs, long *nstrdups, long *nfrees);
KOVector2 *kovector2_find_space(int nx, int ny, int is_timeseries);
int kovector2_make_lblbuf(KOVector2 *vector);
/* Guards of the store beyond the plain contract, kept on purpose:
 *   - kovector2_create_tsamp refuses a sample rate that is not positive and
 *     finite, or whose interval is not finite (1e-320 Hz), with
 *     "kovector2_create_tsamp: Illegal sample rate %g.\n": no vector with a
 *     meaningless interval is made.
 *   - a size whose bytes would overflow is refused, not wrapped:
 *     "kovector2_find_space: vector of %ld rows of %ld values is too
 *     large.\n" and "kovector2_resize: vector of %ld rows is too large.\n".
 *   - kovector2_copy reports a label it could not copy with
 *     "kovector2_copy: strdup() error.\n" (flag 1) and makes no copy.
 *   - a creation or copy whose registration fails (out of memory) registers
 *     nothing, empties the handle buffer and returns null. */

/* Access and editing. */
int kovector2_get_point(char *handle, int index, double *x, double *y, char *label);
int kovector2_get_points(char *handle, int iy, int *nx, int *ny, double **xpts, int *xpts_size, double **ypts,
                         int *ypts_size, char ***labels);
int kovector2_get_tsamp(char *handle, int *nsamp, double *tstart, double *dt, double **data, int *data_size);
int kovector2_append(char *handle, int index, double x, double *y, char *label);
int kovector2_put(char *handle, int index, double x, double *y, char *label);
int kovector2_puty(char *handle, int index, double *y, char *label);
int kovector2_fill(char *handle, int nx, int ny, double *xpts, void *vypts, char **labels);
int kovector2_dump(char *handle);

/* Evaluation and statistics. */
int kovector2_eval(char *handle, double x, double *y);
long kovector2_nearest(char *handle, int iy, double x, double y);
int kovector2_maxmin(char *handle, int iy, double *xmin, double *xmax, double *ymin, double *ymax);
int kovector2_maxmin2(char *handle, int iy, double xstart, double xend, double *xmin, double *xmax, double *ymin,
                      double *ymax);
KOVector2 *kovector2_stats(Tbl *kovector2_handles, char *type, char *tag, char *handle);
int kovector2_stats_sort(const void *arg1, const void *arg2);

/* Transforms (in place; values only). */
int kovector2_transform_edp(char *handle, double lonr, double latr);
int kovector2_transform_invertx(char *handle);
int kovector2_transform_spec(char *handle, int ndif, int iy);
int kovector2_transform_ygain(char *handle, double ygain, int iy);
void latlon2xydel(double xlat1, double xlon1, double xlat2, double xlon2, double *xdel, double *ydel);

/* Loading (kovector2_load.cpp).  Each creates a new vector and registers it
 * under a "vect%d" tag written into handle (emptied first).  Memory running
 * out in the engine's calls is a failure like any other ("...: out of
 * memory ..."); no exception leaves these functions.
 *
 * kovector2_read: a column text file, one point per line: the first line_off
 *   lines skipped, lines that are empty or begin with '#' skipped; tokens
 *   separated by runs of ", \t\n" (and '\r'), a token beginning with '#'
 *   ends the line.  Token xpos is x, token ypos[k] (k < ny) y value k; ny 0
 *   takes one column from token 1.  Token lpos (-1: none) is the label, seen
 *   only when it comes before the scan has x and every y.  A line with x and
 *   at least one y is a point; a missing y column keeps its value from the
 *   line before.  handle is required (the vector grows by handle).  Messages
 *   "kovector2_read: fopen(%s) error.\n", "...: kovector2_create() error.\n",
 *   "...: kovector2_resize() error.\n", "...: fgets(%s) error.\n" and others.
 * kovector2_create_from_pf: the table `name` of pf, one row "x y1 [.. y10]"
 *   per entry (blank and '#' rows skipped); every row the same count.  *err
 *   0, or -1 with null.  handle may be null (unregistered vector).
 * kovector2_create_response_fap: a "fap" (x amp phase) or "fap2" (x amp
 *   phase and their bounds) response file; nx is the declared count, rows the
 *   file does not give stay zero.  *err 0; 1 for a file that is not a
 *   readable fap file; -1 for others (cannot open, cannot create).
 * kovector2_read_from_trblob: a trace blob stream ("-": standard input) into
 *   rows of the trace table of *dbtr (a new in-memory trace database when
 *   dbtr->database is dbINVALID) and one registered time-sampled vector per
 *   record, whose handle goes into the row's comment.  0, or -1 at the first
 *   bad record (records before it stay).
 * kovector2_create_tsamp_from_db: the samples of station sta, channel chan
 *   between t0 and t1 (widened by 11 s on each side) from the wfdisc rows of
 *   db, on the grid of the first row's rate; missing samples are 3.4e38.
 *   Rows whose rate differs by more than 1 % from the first's fail the call.
 *   Calibration from the calibration table unless calib_from_wfdisc; calib,
 *   calper, segtype (2 bytes or more) are optional outputs.  No matching row
 *   gives an empty vector starting at t0 - 11 with dt 1.  handle may be null.
 */
KOVector2 *kovector2_read(char *fname, char *tag, int line_off, int xpos, int ny, int *ypos, int lpos,
                          char *handle);
KOVector2 *kovector2_create_from_pf(Pf *pf, char *name, char *tag, char *handle, int *err);
KOVector2 *kovector2_create_response_fap(char *filename, char *tag, char *handle, int *err);
int kovector2_read_from_trblob(char *trblob, char *tag, Dbptr *dbtr);
KOVector2 *kovector2_create_tsamp_from_db(Dbptr db, double t0, double t1, char *sta, char *chan, int apply_calib,
                                          int calib_from_wfdisc, double *calib, double *calper, char *segtype,
                                          char *tag, char *handle);

/* Test support: after `skip` more successful allocations, the next n
 * allocations made by the family fail (n <= 0 turns it off).  Inert unless
 * called. */
void kovector2_test_fail_allocations(int skip, int n);

#ifdef __cplusplus
}
#endif

#endif
